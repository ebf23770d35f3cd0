#version 460
// Turbid leaf-area sampling candidates, one invocation per candidate index: the GLSL form of
// core/turbid_sampling.h's generate_candidate (scrambled Sobol position, closed-boundary inside
// test, de Wit leaf angle). The integer and double arithmetic is the host's; GLSL has no double
// trigonometry, so sin and cos are evaluated here in double precision (Cody-Waite reduction by
// pi/2 and the classic minimax kernels, about 1 ulp), which makes the float normals equal to the
// host's. The solid-angle sum of the inside test only needs to separate 4 pi from 0 and uses
// single-precision atan.
#extension GL_GOOGLE_include_directive : require
#extension GL_EXT_scalar_block_layout : require
#extension GL_EXT_shader_explicit_arithmetic_types_float64 : require
#include "shaders/turbid_records.h"

layout(local_size_x_id = 0) in;
layout(set = 0, binding = 1, scalar) readonly buffer Directions { uint sobol[]; };  // [5][32]
layout(set = 0, binding = 2, scalar) readonly buffer Triangles { double tris[]; };
struct Candidate {
  float px, py, pz, nx, ny, nz;
  uint index;
  uint status;
};
layout(set = 0, binding = 3, scalar) writeonly buffer Candidates { Candidate candidates[]; };
layout(push_constant, scalar) uniform Push { TurbidSamplingPush P; };

const double kHalfPi = 1.57079632679489661923LF;
const double kPio2Hi = 1.57079632673412561417LF;   // first 33 bits of pi/2
const double kPio2Lo = 6.07710050650619224932e-11LF;  // pi/2 - kPio2Hi
const double kTwoOverPi = 6.36619772367581382433e-01LF;

double kernel_sin(double x) {
  const double z = x * x;
  const double r = 8.33333333332248946124e-03LF +
                   z * (-1.98412698298579493134e-04LF +
                        z * (2.75573137070700676789e-06LF +
                             z * (-2.50507602534068634195e-08LF + z * 1.58969099521155010221e-10LF)));
  return x + x * z * (-1.66666666666666324348e-01LF + z * r);
}

double kernel_cos(double x) {
  const double z = x * x;
  const double r =
      z * (4.16666666666666019037e-02LF +
           z * (-1.38888888888741095749e-03LF +
                z * (2.48015872894767294178e-05LF +
                     z * (-2.75573143513906633035e-07LF +
                          z * (2.08757232129817482790e-09LF + z * -1.13596475577881948265e-11LF)))));
  const double hz = 0.5LF * z;
  const double w = 1.0LF - hz;
  return w + (((1.0LF - w) - hz) + z * r);
}

// sin (q = 0) or cos (q = 1) of x in [0, 8].
double sin_cos(double x, int q) {
  const double k = floor(x * kTwoOverPi + 0.5LF);
  const double r = (x - k * kPio2Hi) - k * kPio2Lo;
  const int quadrant = (int(k) + q) & 3;
  if (quadrant == 0) return kernel_sin(r);
  if (quadrant == 1) return kernel_cos(r);
  if (quadrant == 2) return -kernel_sin(r);
  return -kernel_cos(r);
}
double dsin(double x) { return sin_cos(x, 0); }
double dcos(double x) { return sin_cos(x, 1); }

// acos of u in [0, 1): the float estimate refined by Newton steps on cos(theta) = u.
double dacos(double u) {
  double t = double(acos(float(u)));
  for (int i = 0; i < 3; ++i) t += (dcos(t) - u) / dsin(t);
  return t;
}

uint lowbias32(uint x) {
  x ^= x >> 16;
  x *= 0x7feb352du;
  x ^= x >> 15;
  x *= 0x846ca68bu;
  x ^= x >> 16;
  return x;
}

uint sobol_raw(int slot, uint index) {
  uint g = index ^ (index >> 1);
  uint x = 0u;
  for (int j = 0; g != 0u; ++j, g >>= 1) {
    if ((g & 1u) != 0u) x ^= sobol[slot * 32 + j];
  }
  return x;
}

uint owen_scramble(uint raw, uint stream_key, uint dimension_key) {
  uint out_bits = 0u;
  for (uint t = 0u; t < 32u; ++t) {
    const uint bit = 31u - t;
    const uint prefix = t == 0u ? 0u : (out_bits >> (32u - t));
    const uint flip = lowbias32(prefix ^ stream_key ^ dimension_key ^ (932020981u + t * 2048144789u)) & 1u;
    out_bits |= (((raw >> bit) & 1u) ^ flip) << bit;
  }
  return out_bits;
}

float unit_from_bits(uint s) {
  const float u = float(double(s) * 2.3283064365386963e-10LF + 1.1641532182693481e-10LF);
  return u < 0.99999994f ? u : 0.99999994f;
}

bool inside_closed_boundary(double px, double py, double pz) {
  float omega = 0.0f;
  for (uint t = 0u; t < P.n_triangles; ++t) {
    const uint v = 9u * t;
    const double ax = tris[v] - px, ay = tris[v + 1u] - py, az = tris[v + 2u] - pz;
    const double bx = tris[v + 3u] - px, by = tris[v + 4u] - py, bz = tris[v + 5u] - pz;
    const double cx = tris[v + 6u] - px, cy = tris[v + 7u] - py, cz = tris[v + 8u] - pz;
    const double e1x = tris[v + 3u] - tris[v], e1y = tris[v + 4u] - tris[v + 1u],
                 e1z = tris[v + 5u] - tris[v + 2u];
    const double e2x = tris[v + 6u] - tris[v], e2y = tris[v + 7u] - tris[v + 1u],
                 e2z = tris[v + 8u] - tris[v + 2u];
    const double nx = e1y * e2z - e1z * e2y, ny = e1z * e2x - e1x * e2z, nz = e1x * e2y - e1y * e2x;
    const double nn = nx * nx + ny * ny + nz * nz;
    if (nn > 1e-20LF) {
      const double dist = -(nx * ax + ny * ay + nz * az);
      if (dist * dist <= 1e-12LF * nn) {
        const double wx = -ax, wy = -ay, wz = -az;
        const double d11 = e1x * e1x + e1y * e1y + e1z * e1z;
        const double d12 = e1x * e2x + e1y * e2y + e1z * e2z;
        const double d22 = e2x * e2x + e2y * e2y + e2z * e2z;
        const double dw1 = wx * e1x + wy * e1y + wz * e1z;
        const double dw2 = wx * e2x + wy * e2y + wz * e2z;
        const double den = d11 * d22 - d12 * d12;
        const double beta = (d22 * dw1 - d12 * dw2) / den;
        const double gamma = (d11 * dw2 - d12 * dw1) / den;
        if (beta >= -1e-6LF && gamma >= -1e-6LF && beta + gamma <= 1.000001LF) return true;
      }
    }
    const double la = sqrt(ax * ax + ay * ay + az * az);
    const double lb = sqrt(bx * bx + by * by + bz * bz);
    const double lc = sqrt(cx * cx + cy * cy + cz * cz);
    const double det = ax * (by * cz - bz * cy) - ay * (bx * cz - bz * cx) + az * (bx * cy - by * cx);
    const double den = la * lb * lc + (ax * bx + ay * by + az * bz) * lc + (ax * cx + ay * cy + az * cz) * lb +
                       (bx * cx + by * cy + bz * cz) * la;
    omega += 2.0f * atan(float(det), float(den));
  }
  return float(P.orientation) * omega > 6.0f;
}

double de_wit_cdf(uint code, double theta) {
  const double k2OverPi = 0.63661977236758134308LF;
  if (code == 0u) return 1.0LF - dcos(theta);
  if (code == 1u) return k2OverPi * (theta + dsin(2.0LF * theta) / 2.0LF);
  if (code == 2u) return k2OverPi * (theta - dsin(2.0LF * theta) / 2.0LF);
  if (code == 3u) return k2OverPi * (theta - dsin(4.0LF * theta) / 4.0LF);
  if (code == 4u) return k2OverPi * (theta + dsin(4.0LF * theta) / 4.0LF);
  return k2OverPi * theta;
}

double de_wit_zenith(uint code, float u) {
  const double target = double(u);
  if (code == 0u) return dacos(target);
  if (code == 5u) return target * kHalfPi;
  if (!(de_wit_cdf(code, 0.0LF) <= target && target <= de_wit_cdf(code, kHalfPi))) return -1.0LF;
  uint a = 0u;
  for (int bit = 31; bit >= 0; --bit) {
    const uint trial = a | (1u << uint(bit));
    if (de_wit_cdf(code, double(trial) * (kHalfPi * 2.3283064365386963e-10LF)) <= target) a = trial;
  }
  return double(a) * (kHalfPi * 2.3283064365386963e-10LF);
}

void main() {
  const uint j = (gl_WorkGroupID.y * gl_NumWorkGroups.x + gl_WorkGroupID.x) * gl_WorkGroupSize.x +
                 gl_LocalInvocationID.x;
  if (j >= P.count) return;
  const uint index = P.first + j;
  const uint kDimensionKey[5] = uint[5](0x00000000u, 0x9e3779b9u, 0x3c6ef372u, 0xdaa66d2bu, 0x1715609du);
  float u[5];
  for (int d = 0; d < 5; ++d) {
    u[d] = unit_from_bits(owen_scramble(sobol_raw(d, index), P.stream_key, kDimensionKey[d]));
  }
  Candidate c;
  c.index = index;
  c.nx = 0.0f;
  c.ny = 0.0f;
  c.nz = 1.0f;
  // Unfused, as the host rounds them.
  precise float px = P.bounds_min[0] + u[0] * (P.bounds_max[0] - P.bounds_min[0]);
  precise float py = P.bounds_min[1] + u[1] * (P.bounds_max[1] - P.bounds_min[1]);
  precise float pz = P.bounds_min[2] + u[2] * (P.bounds_max[2] - P.bounds_min[2]);
  c.px = px;
  c.py = py;
  c.pz = pz;
  if (!inside_closed_boundary(double(c.px), double(c.py), double(c.pz))) {
    c.status = 0u;
    candidates[j] = c;
    return;
  }
  const double theta = de_wit_zenith(P.leaf_angle, u[3]);
  if (!(theta >= 0.0LF)) {
    c.status = 2u;
    candidates[j] = c;
    return;
  }
  const double phi = 6.28318530717958647692LF * double(u[4]);
  const double s = dsin(theta);
  c.nx = float(s * dcos(phi));
  c.ny = float(s * dsin(phi));
  c.nz = float(dcos(theta));
  c.status = 1u;
  candidates[j] = c;
}
