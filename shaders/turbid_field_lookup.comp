#version 460
// Turbid field lookup: invocation q descends its owner's tree along the spatial key of its
// position as far as cells exist (matched depth), then climbs from there to the first cell whose
// orientation bin of the query normal holds leaf area (fallback depth); the value is that bin's
// leaf-area-weighted channel mean. The key and the bin are the host's rules
// (core/turbid_field_rules.h, core/sif_orientation.h); owners are chosen on the host.
#extension GL_GOOGLE_include_directive : require
#extension GL_EXT_scalar_block_layout : require
#extension GL_EXT_shader_explicit_arithmetic_types_float64 : require
#include "core/shared_language.h"
#include "shaders/correctly_rounded_trig.glsl"
// The orientation rule's two inverse trigonometric functions as the host's C library rounds
// them, not GLSL's less accurate ones, so that a normal near a bin boundary falls in the bin the
// host puts it in.
#undef acosf
#undef atan2f
#define acosf(z) acos_rounded(z)
#define atan2f(y, x) atan2_rounded(y, x)
#include "core/sif_orientation.h"
#include "core/turbid_field_rules.h"
#include "shaders/turbid_field_records.h"

layout(local_size_x_id = 0) in;
layout(set = 0, binding = 1, scalar) readonly buffer Cells { int cells[]; };
layout(set = 0, binding = 2, scalar) readonly buffer Bins { double bins[]; };
layout(set = 0, binding = 3, scalar) readonly buffer OwnerBounds { float owner_bounds[]; };
layout(set = 0, binding = 4, scalar) readonly buffer OwnerRoot { int owner_root[]; };
layout(set = 0, binding = 5, scalar) readonly buffer QueryOwner { int query_owner[]; };
layout(set = 0, binding = 6, scalar) readonly buffer QueryPosition { double query_position[]; };
layout(set = 0, binding = 7, scalar) readonly buffer QueryNormal { float query_normal[]; };
layout(set = 0, binding = 8, scalar) writeonly buffer Values { float values[]; };
layout(set = 0, binding = 9, scalar) writeonly buffer Matched { int matched[]; };
layout(set = 0, binding = 10, scalar) writeonly buffer Fallback { int fallback[]; };
layout(set = 0, binding = 11, scalar) writeonly buffer Status { int status[]; };
layout(push_constant, scalar) uniform Push { TurbidFieldLookupPush P; };

void main() {
  const uint q = (gl_WorkGroupID.y * gl_NumWorkGroups.x + gl_WorkGroupID.x) * gl_WorkGroupSize.x +
                 gl_LocalInvocationID.x;
  if (q >= uint(P.n_queries)) return;
  const int o = query_owner[q];
  int qa[3];
  for (int a = 0; a < 3; ++a) {
    qa[a] = turbid_field_quantize(query_position[3u * q + uint(a)], owner_bounds[6 * o + a],
                                  owner_bounds[6 * o + 3 + a]);
  }
  const int path = turbid_field_path(qa[0], qa[1], qa[2]);
  int c = owner_root[o];
  while (cells[kFieldCellInts * c + kFieldCellDepth] < kTurbidFieldKeyBits) {
    const int level = cells[kFieldCellInts * c + kFieldCellDepth] + 1;
    const int next = cells[kFieldCellInts * c + turbid_field_digit(path, level)];
    if (next < 0) break;
    c = next;
  }
  matched[q] = cells[kFieldCellInts * c + kFieldCellDepth];
  const int bin = sif_orientation_bin(query_normal[3u * q], query_normal[3u * q + 1u],
                                      query_normal[3u * q + 2u], 4, 8);
  if (bin < 0) {
    status[q] = kFieldLookupZeroNormal;
    return;
  }
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
