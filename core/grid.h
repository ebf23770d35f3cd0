// Cell lookup of a uniform grid, in the C++/GLSL subset of core/shared_language.h: the CPU, CUDA
// and Vulkan backends bin coordinates with this one function.
#ifndef TESK_CORE_GRID_H
#define TESK_CORE_GRID_H

#include "core/shared_language.h"

#ifdef __cplusplus
namespace tesk::grid {
#endif

/// Index of the cell holding coordinate `c` in a grid of `n` equal cells over [0, extent], or -1.
/// A coordinate on an inner border belongs to the upper cell and `extent` itself to the last
/// cell; values up to 2^-20 * extent outside the grid are pulled to the nearest edge cell.
/// Returns -1 for n < 1, an extent that is not a positive normal finite float, a NaN or
/// non-finite coordinate, and coordinates further outside.
TESK_SHARED_FN int world_to_cell(float c, float extent, int n) {
  const float kMaxFloat = 3.4028235e38f;
  if (n < 1 || !(extent >= 1.1754944e-38f) || extent > kMaxFloat || isnan(c) ||
      fabsf(c) > kMaxFloat) {
    return -1;
  }
  const float tol = 9.536743e-7f * extent;
  if (c < -tol || c > extent + tol) return -1;
  c = fminf(fmaxf(c, 0.0f), extent);
  const float fn = float(n);
  const int i = int(c / extent * fn);
  if (i < n) {
    if (i > 0 && float(i) * extent / fn > c) return i - 1;
    if (i < n - 1 && c == extent * float(i + 1) / fn) return i + 1;
    return i < 0 ? 0 : i;
  }
  if (n == 1) return 0;
  return (float(n - 1) * extent / fn > c) ? n - 2 : n - 1;
}

#ifdef __cplusplus
}  // namespace tesk::grid
#endif

#endif  // TESK_CORE_GRID_H
