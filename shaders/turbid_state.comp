#version 460
// Leaf-area-weighted sums of a resident Turbid state per aggregation group (the CPU's
// turbid_moment_sums): one invocation per (group, requested field) adds its group's samples in
// pool order in double precision; `precise` keeps the products and sums unfused, as on the host.
#extension GL_GOOGLE_include_directive : require
#extension GL_EXT_scalar_block_layout : require
#extension GL_EXT_shader_explicit_arithmetic_types_float64 : require
#include "shaders/turbid_records.h"

layout(local_size_x_id = 0) in;
layout(set = 0, binding = 1, scalar) readonly buffer GroupBegin { uint group_begin[]; };
layout(set = 0, binding = 2, scalar) readonly buffer GroupEnd { uint group_end[]; };
layout(set = 0, binding = 3, scalar) readonly buffer Weights { double weights[]; };
layout(set = 0, binding = 4, scalar) readonly buffer PSun { float p_sun[]; };
layout(set = 0, binding = 5, scalar) readonly buffer Converged { int converged[]; };
layout(set = 0, binding = 6, scalar) readonly buffer Sunlit { float sunlit[]; };
layout(set = 0, binding = 7, scalar) readonly buffer Shaded { float shaded[]; };
layout(set = 0, binding = 8, scalar) writeonly buffer Sums { double sums[]; };
layout(push_constant, scalar) uniform Push { TurbidStatePush P; };

void main() {
  const uint k = (gl_WorkGroupID.y * gl_NumWorkGroups.x + gl_WorkGroupID.x) * gl_WorkGroupSize.x +
                 gl_LocalInvocationID.x;
  const uint nf = uint(P.n_fields);
  if (k >= uint(P.n_groups) * nf) return;
  const uint g = k / nf;
  const uint f = k % nf;
  precise double ps = 0.0LF;
  bool all_converged = true;
  precise double mean = 0.0LF;
  precise double second = 0.0LF;
  precise double sunlit_sum = 0.0LF;
  precise double shaded_sum = 0.0LF;
  for (uint i = group_begin[g]; i < group_end[g]; ++i) {
    const double w = weights[i];
    const double p = double(p_sun[i]);
    const double sv = double(sunlit[i * nf + f]);
    const double hv = double(shaded[i * nf + f]);
    ps += w * p;
    all_converged = all_converged && converged[i] != 0;
    mean += w * (p * sv + (1.0LF - p) * hv);
    second += w * (p * sv * sv + (1.0LF - p) * hv * hv);
    sunlit_sum += w * p * sv;
    shaded_sum += w * (1.0LF - p) * hv;
  }
  const uint row = g * uint(kTurbidGroupSums + kTurbidFieldSums * P.n_fields);
  if (f == 0u) {
    sums[row + uint(kTurbidGroupPSun)] = ps;
    sums[row + uint(kTurbidGroupConverged)] = all_converged ? 1.0LF : 0.0LF;
  }
  const uint base = row + uint(kTurbidGroupSums) + uint(kTurbidFieldSums) * f;
  sums[base + uint(kTurbidFieldMean)] = mean;
  sums[base + uint(kTurbidFieldSecondMoment)] = second;
  sums[base + uint(kTurbidFieldSunlit)] = sunlit_sum;
  sums[base + uint(kTurbidFieldShaded)] = shaded_sum;
}
