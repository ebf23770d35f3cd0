#version 460
// Turbid field lookup: invocation q descends its owner's tree along the spatial key of its
// position as far as cells exist (matched depth), then climbs from there to the first cell whose
// orientation bin holds leaf area (fallback depth); the value is that bin's leaf-area-weighted
// channel mean. The host chooses the owner and evaluates the key (core/turbid_field_rules.h) and
// the bin (core/sif_orientation.h) with its own code, so that a query on a cell or bin boundary
// goes where the CPU sends it whatever the driver's division and arc functions round to.
#extension GL_GOOGLE_include_directive : require
#extension GL_EXT_scalar_block_layout : require
#extension GL_EXT_shader_explicit_arithmetic_types_float64 : require
#include "core/turbid_field_rules.h"
#include "shaders/turbid_field_records.h"

layout(local_size_x_id = 0) in;
layout(set = 0, binding = 1, scalar) readonly buffer Cells { int cells[]; };
layout(set = 0, binding = 2, scalar) readonly buffer Bins { double bins[]; };
layout(set = 0, binding = 3, scalar) readonly buffer QueryRoot { int query_root[]; };
layout(set = 0, binding = 4, scalar) readonly buffer QueryPath { int query_path[]; };
layout(set = 0, binding = 5, scalar) readonly buffer QueryBin { int query_bin[]; };
layout(set = 0, binding = 6, scalar) writeonly buffer Values { float values[]; };
layout(set = 0, binding = 7, scalar) writeonly buffer Matched { int matched[]; };
layout(set = 0, binding = 8, scalar) writeonly buffer Fallback { int fallback[]; };
layout(set = 0, binding = 9, scalar) writeonly buffer Status { int status[]; };
layout(push_constant, scalar) uniform Push { TurbidFieldLookupPush P; };

void main() {
  const uint q = (gl_WorkGroupID.y * gl_NumWorkGroups.x + gl_WorkGroupID.x) * gl_WorkGroupSize.x +
                 gl_LocalInvocationID.x;
  if (q >= uint(P.n_queries)) return;
  const int path = query_path[q];
  const int bin = query_bin[q];
  int c = query_root[q];
  while (cells[kFieldCellInts * c + kFieldCellDepth] < kTurbidFieldKeyBits) {
    const int level = cells[kFieldCellInts * c + kFieldCellDepth] + 1;
    const int next = cells[kFieldCellInts * c + turbid_field_digit(path, level)];
    if (next < 0) break;
    c = next;
  }
  matched[q] = cells[kFieldCellInts * c + kFieldCellDepth];
  while (c >= 0 && !(bins[kFieldTermCount * (kFieldShaderBins * c + bin)] > 0.0LF)) {
    c = cells[kFieldCellInts * c + kFieldCellParent];
  }
  if (c < 0) {
    status[q] = kFieldLookupNoAncestor;
    values[q] = 0.0;
    fallback[q] = -1;
    return;
  }
  const int at = kFieldTermCount * (kFieldShaderBins * c + bin);
  fallback[q] = cells[kFieldCellInts * c + kFieldCellDepth];
  values[q] = float(bins[at + 1 + P.channel] / bins[at]);
  status[q] = kFieldLookupOk;
}
