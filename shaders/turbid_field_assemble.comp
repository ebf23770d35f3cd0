#version 460
// Turbid field assembly: invocation k = cell * 32 + bin sums the terms of core/turbid_field_rules.h
// (the host's own code) over the cell's samples of that orientation bin, in the key order the
// tree was built in, in double precision. A cell's samples are one contiguous run of that order,
// so each (cell, bin) sum is written by one invocation and needs no atomics.
#extension GL_GOOGLE_include_directive : require
#extension GL_EXT_scalar_block_layout : require
#extension GL_EXT_shader_explicit_arithmetic_types_float64 : require
#include "core/turbid_field_rules.h"
#include "shaders/turbid_field_records.h"

layout(local_size_x_id = 0) in;
layout(set = 0, binding = 1, scalar) readonly buffer Order { uint order[]; };
layout(set = 0, binding = 2, scalar) readonly buffer CellBegin { uint cell_begin[]; };
layout(set = 0, binding = 3, scalar) readonly buffer CellEnd { uint cell_end[]; };
layout(set = 0, binding = 4, scalar) readonly buffer SampleBin { int sample_bin[]; };
layout(set = 0, binding = 5, scalar) readonly buffer Weight { double weight[]; };
layout(set = 0, binding = 6, scalar) readonly buffer Inputs { float inputs[]; };
layout(set = 0, binding = 7, scalar) writeonly buffer Sums { double sums[]; };
layout(push_constant, scalar) uniform Push { TurbidFieldAssemblePush P; };

void main() {
  const uint k = (gl_WorkGroupID.y * gl_NumWorkGroups.x + gl_WorkGroupID.x) * gl_WorkGroupSize.x +
                 gl_LocalInvocationID.x;
  if (k >= uint(P.n_cells) * uint(kFieldShaderBins)) return;
  const uint c = k / uint(kFieldShaderBins);
  const int bin = int(k % uint(kFieldShaderBins));
  precise double s[kFieldTermCount];
  for (int t = 0; t < kFieldTermCount; ++t) s[t] = 0.0LF;
  for (uint j = cell_begin[c]; j < cell_end[c]; ++j) {
    const uint i = order[j];
    if (sample_bin[i] != bin) continue;
    const uint at = i * uint(kFieldSampleInputs);
    const TurbidFieldTerms t = turbid_field_terms(
        weight[i], inputs[at + kFieldInputP], inputs[at + kFieldInputLitSource],
        inputs[at + kFieldInputShadeSource], inputs[at + kFieldInputLitDirect],
        inputs[at + kFieldInputLitTop], inputs[at + kFieldInputLitBottom],
        inputs[at + kFieldInputShadeTop], inputs[at + kFieldInputShadeBottom]);
    s[0] += t.weight;
    s[1] += t.source;
    s[2] += t.direct;
    s[3] += t.diffuse;
    s[4] += t.sunlit_weight;
    s[5] += t.sunlit_sum;
    s[6] += t.shaded_sum;
  }
  for (int t = 0; t < kFieldTermCount; ++t) sums[k * uint(kFieldTermCount) + uint(t)] = s[t];
}
