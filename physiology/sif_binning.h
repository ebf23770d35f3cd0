// Bins of the SIF source assembly, in the C++/GLSL subset of core/shared_language.h: the CPU and
// the Vulkan shader put a sample in the same cell and orientation bin with this one code.
#ifndef TESK_PHYSIOLOGY_SIF_BINNING_H
#define TESK_PHYSIOLOGY_SIF_BINNING_H

#include "core/grid.h"
#include "core/shared_language.h"

#ifdef __cplusplus
namespace tesk::physiology {
#endif

/// pi in single precision.
TESK_SHARED_CONST float kSifPi = 3.14159265f;

/// Orientation bin of a normal (upper hemisphere; a downward normal is negated), or -1 for a
/// zero or non-finite normal: zenith bin t = acos(n_z) / (pi / 2) theta_bins and azimuth bin
/// a = atan2(n_y, n_x) / 2 pi phi_bins (azimuth 0 for a vertical normal), each clamped to its
/// last bin; the bin is t phi_bins + a.
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

/// Cell of local coordinates (x, y, z) (position minus the box minimum) in a box of extents
/// (lx, ly, lz) with (gx, gy, gz) cells: (c_z g_y + c_y) g_x + c_x, or -1 outside.
TESK_SHARED_FN int sif_cell(float x, float y, float z, float lx, float ly, float lz, int gx, int gy,
                            int gz) {
#ifdef __cplusplus
  using grid::world_to_cell;
#endif
  const int cx = world_to_cell(x, lx, gx);
  const int cy = world_to_cell(y, ly, gy);
  const int cz = world_to_cell(z, lz, gz);
  if (cx < 0 || cy < 0 || cz < 0) return -1;
  return (cz * gy + cy) * gx + cx;
}

#ifdef __cplusplus
}  // namespace tesk::physiology
#endif

#endif  // TESK_PHYSIOLOGY_SIF_BINNING_H
