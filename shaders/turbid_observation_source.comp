#version 460
// Observation source of a turbid field, in two passes of this one shader. Pass 0: invocation
// k = i * n_bands + b writes the leaf-area-weighted front and back radiance of pool sample i in
// band b: a thermal source emits eps (p B(T_sunlit) + (1 - p) B(T_shaded)), a SIF source its
// exitance / pi. Pass 1: invocation k = (cell * 32 + bin) * n_bands + b sums those of the cell's
// samples in that orientation bin, in key order, and divides by the bin's leaf area. Sums in
// double, as on the host.
#extension GL_GOOGLE_include_directive : require
#extension GL_EXT_scalar_block_layout : require
#extension GL_EXT_shader_explicit_arithmetic_types_float64 : require
#include "shaders/turbid_field_records.h"

layout(local_size_x_id = 0) in;
layout(set = 0, binding = 1, scalar) readonly buffer Order { uint order[]; };
layout(set = 0, binding = 2, scalar) readonly buffer CellBegin { uint cell_begin[]; };
layout(set = 0, binding = 3, scalar) readonly buffer CellEnd { uint cell_end[]; };
layout(set = 0, binding = 4, scalar) readonly buffer SampleBin { int sample_bin[]; };
layout(set = 0, binding = 5, scalar) readonly buffer Weight { double weight[]; };
layout(set = 0, binding = 6, scalar) readonly buffer PSun { float p_sun[]; };
layout(set = 0, binding = 7, scalar) readonly buffer TSunlit { float t_sunlit[]; };
layout(set = 0, binding = 8, scalar) readonly buffer TShaded { float t_shaded[]; };
layout(set = 0, binding = 9, scalar) readonly buffer Wavelengths { float wavelengths[]; };
layout(set = 0, binding = 10, scalar) readonly buffer Front { float front[]; };
layout(set = 0, binding = 11, scalar) readonly buffer Back { float back[]; };
layout(set = 0, binding = 12, scalar) buffer Radiance { double radiance[]; };
layout(set = 0, binding = 13, scalar) readonly buffer Bins { double bins[]; };
layout(set = 0, binding = 14, scalar) writeonly buffer OutFront { float out_front[]; };
layout(set = 0, binding = 15, scalar) writeonly buffer OutBack { float out_back[]; };
layout(push_constant, scalar) uniform Push { TurbidSourcePush P; };

const double kLn2 = 0.69314718055994530942LF;

// e^x for 0 <= x <= 500 in double from the single-precision exponential GLSL offers:
// x = k ln2 + r, e^r = e^float(r) (1 + (r - float(r))), scaled by 2^k exactly.
double exp_double(double x) {
  const double k = floor(x / kLn2);
  const double r = x - k * kLn2;
  const float rf = float(r);
  return ldexp(double(exp(rf)) * (1.0LF + (r - double(rf))), int(k));
}

// Planck spectral radiance (W m-2 sr-1 nm-1), rounded to single precision as on the host
// (core/radiometry.h); 0 for a non-positive temperature or beyond x = 500.
double planck(float wavelength_nm, float temperature_k) {
  if (!(temperature_k > 0.0)) return 0.0LF;
  const double lambda_m = double(wavelength_nm) * 1e-9LF;
  const double x = 0.014387768775039337LF / (double(temperature_k) * lambda_m);
  if (!(x <= 500.0LF)) return 0.0LF;
  const double l5 = lambda_m * lambda_m * lambda_m * lambda_m * lambda_m;
  return double(float(1.1910429723971884e-16LF / (l5 * (exp_double(x) - 1.0LF)) * 1e-9LF));
}

void main() {
  const uint k = (gl_WorkGroupID.y * gl_NumWorkGroups.x + gl_WorkGroupID.x) * gl_WorkGroupSize.x +
                 gl_LocalInvocationID.x;
  const uint nb = uint(P.n_bands);
  if (P.pass == 0) {
    if (k >= uint(P.n_samples) * nb) return;
    const uint i = k / nb;
    const uint b = k % nb;
    precise double rf;
    precise double rb;
    if (P.sif != 0) {
      const double inv_pi = 1.0LF / 3.14159265358979323846LF;
      rf = inv_pi * double(front[k]);
      rb = inv_pi * double(back[k]);
    } else {
      const double p = clamp(double(p_sun[i]), 0.0LF, 1.0LF);
      const float wl = wavelengths[b];
      const double lit = p > 0.0LF ? planck(wl, t_sunlit[i]) : 0.0LF;
      const double shade = p < 1.0LF ? planck(wl, t_shaded[i]) : 0.0LF;
      precise const double mix = p * lit + (1.0LF - p) * shade;
      rf = double(front[b]) * mix;
      rb = double(back[b]) * mix;
    }
    radiance[2u * k] = weight[i] * rf;
    radiance[2u * k + 1u] = weight[i] * rb;
    return;
  }
  if (k >= uint(P.n_cells) * uint(kFieldShaderBins) * nb) return;
  const uint cb = k / nb;  // cell * 32 + bin
  const uint b = k % nb;
  const uint c = cb / uint(kFieldShaderBins);
  const int bin = int(cb % uint(kFieldShaderBins));
  precise double sf = 0.0LF;
  precise double sb = 0.0LF;
  for (uint j = cell_begin[c]; j < cell_end[c]; ++j) {
    const uint i = order[j];
    if (sample_bin[i] != bin) continue;
    sf += radiance[2u * (i * nb + b)];
    sb += radiance[2u * (i * nb + b) + 1u];
  }
  const double w = bins[cb * uint(kFieldTermCount)];
  out_front[k] = w > 0.0LF ? float(sf / w) : 0.0;
  out_back[k] = w > 0.0LF ? float(sb / w) : 0.0;
}
