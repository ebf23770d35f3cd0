// Bins of the SIF source assembly, in the C++/GLSL subset of core/shared_language.h: the CPU and
// the Vulkan shader put a sample in the same cell and orientation bin with this one code; the
// orientation bin is the renderers' own (core/sif_orientation.h).
#ifndef TESK_PHYSIOLOGY_SIF_BINNING_H
#define TESK_PHYSIOLOGY_SIF_BINNING_H

#include "core/grid.h"
#include "core/shared_language.h"
#include "core/sif_orientation.h"

#ifdef __cplusplus
namespace tesk::physiology {
#endif

#ifdef __cplusplus
/// The one orientation-bin rule of the SIF source fields (core/sif_orientation.h).
using tesk::sif_orientation_bin;
#endif

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
