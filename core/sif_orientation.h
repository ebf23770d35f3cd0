// The orientation bin of a leaf normal for the SIF source fields, in the C++/GLSL subset of
// core/shared_language.h: the CPU and Vulkan source assembly and every renderer that looks a
// source up bin a normal with this one code, so a leaf is read from the bin it was written to.
#ifndef TESK_CORE_SIF_ORIENTATION_H
#define TESK_CORE_SIF_ORIENTATION_H

#include "core/shared_language.h"

#ifdef __cplusplus
namespace tesk {
#endif

/// pi in single precision.
TESK_SHARED_CONST float kSifPi = 3.14159265f;

/// Orientation bin of a normal (upper hemisphere; a downward normal is negated), or -1 for a
/// zero or non-finite normal: zenith bin t = acos(n_z) / (pi / 2) theta_bins and azimuth bin
/// a = atan2(n_y, n_x) / 2 pi phi_bins, each clamped to its last bin; the bin is t phi_bins + a.
/// A vertical normal, up or down, has azimuth 0.
TESK_SHARED_FN int sif_orientation_bin(float nx, float ny, float nz, int theta_bins, int phi_bins) {
  const float len = sqrtf(nx * nx + ny * ny + nz * nz);
  if (!(len > 0.0f) || isnan(len) || isinf(len)) return -1;
  nx /= len;
  ny /= len;
  nz /= len;
  if (nz < 0.0f) {
    nx = -nx;
    ny = -ny;
    nz = -nz;
  }
  int t = int(acosf(fminf(nz, 1.0f)) / (kSifPi / 2.0f) * float(theta_bins));
  if (t > theta_bins - 1) t = theta_bins - 1;
  // A vertical normal has no azimuth; atan2 of signed zeros would pick one by the zero signs.
  float phi = (nx != 0.0f || ny != 0.0f) ? atan2f(ny, nx) : 0.0f;
  if (phi < 0.0f) phi += 2.0f * kSifPi;
  int a = int(phi / (2.0f * kSifPi) * float(phi_bins));
  if (a > phi_bins - 1) a = phi_bins - 1;
  return t * phi_bins + a;
}

#ifdef __cplusplus
}  // namespace tesk
#endif

#endif  // TESK_CORE_SIF_ORIENTATION_H
