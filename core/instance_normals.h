// Normals of instanced meshes, in the C++/GLSL subset of core/shared_language.h: the CPU, CUDA
// and Vulkan backends map object-space normals to world space with these functions.
//
// A normal maps by the inverse transpose of the instance's linear part M (up to a positive
// factor), so that it stays perpendicular to the transformed surface under non-uniform scales
// and shears. The factor |det M| makes it sign(det M) times the cofactor matrix: the front face
// stays the side that the object's winding names, mirrored or not. Where M is a uniform scale
// times an orthogonal matrix, M itself is used: it is the same direction and keeps those
// instances' normals exactly as M has always mapped them.
#ifndef TESK_CORE_INSTANCE_NORMALS_H
#define TESK_CORE_INSTANCE_NORMALS_H

#include "core/shared_language.h"

#ifdef __cplusplus
#include <algorithm>
#include <cmath>

#include "core/vec.h"
namespace tesk {
#endif

/// Row `row` of the row-major 3x3 normal matrix `n` applied to the object normal (x, y, z).
TESK_SHARED_FN float normal_matrix_row(TESK_SHARED_ARRAY_IN(float, n, 9), int row, float x, float y,
                                       float z) {
  return n[3 * row] * x + n[3 * row + 1] * y + n[3 * row + 2] * z;
}

#ifdef __cplusplus
/// Unnormalised world direction of the object-space normal `v` under the normal matrix `n`.
TESK_HOST_DEVICE inline float3 normal_to_world(const float* n, float3 v) {
  return float3{normal_matrix_row(n, 0, v.x, v.y, v.z), normal_matrix_row(n, 1, v.x, v.y, v.z),
                normal_matrix_row(n, 2, v.x, v.y, v.z)};
}

/// Row-major 3x3 normal matrix of a row-major 3x4 object-to-world transform (see the top of this
/// file). The transform must be invertible; the result is scaled to a largest entry of 1.
inline void instance_normal_matrix(const float* transform, float out[9]) {
  const double m[3][3] = {{transform[0], transform[1], transform[2]},
                          {transform[4], transform[5], transform[6]},
                          {transform[8], transform[9], transform[10]}};
  // Gram matrix of the columns: a multiple of the identity exactly for a conformal map.
  double gram[3][3];
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      gram[i][j] = m[0][i] * m[0][j] + m[1][i] * m[1][j] + m[2][i] * m[2][j];
    }
  }
  const double s2 = (gram[0][0] + gram[1][1] + gram[2][2]) / 3.0;
  double off = 0.0;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) off = std::max(off, std::fabs(gram[i][j] - (i == j ? s2 : 0.0)));
  }
  // Rounding of a float rotation leaves about 1e-7; the directions then differ by ~1e-5 at most.
  if (off <= 1e-5 * s2) {
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) out[3 * i + j] = static_cast<float>(m[i][j]);
    }
    return;
  }
  double c[3][3];
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      const int i1 = (i + 1) % 3, i2 = (i + 2) % 3, j1 = (j + 1) % 3, j2 = (j + 2) % 3;
      c[i][j] = m[i1][j1] * m[i2][j2] - m[i1][j2] * m[i2][j1];
    }
  }
  const double det = m[0][0] * c[0][0] + m[0][1] * c[0][1] + m[0][2] * c[0][2];
  double largest = 0.0;
  for (const auto& row : c) {
    for (const double x : row) largest = std::max(largest, std::fabs(x));
  }
  const double scale = (det < 0.0 ? -1.0 : 1.0) / largest;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) out[3 * i + j] = static_cast<float>(c[i][j] * scale);
  }
}
#else
// Unnormalised world direction of the object-space normal `v` under the normal matrix `n`.
vec3 normal_to_world(float n[9], vec3 v) {
  return vec3(normal_matrix_row(n, 0, v.x, v.y, v.z), normal_matrix_row(n, 1, v.x, v.y, v.z),
              normal_matrix_row(n, 2, v.x, v.y, v.z));
}
#endif

#ifdef __cplusplus
}  // namespace tesk
#endif

#endif  // TESK_CORE_INSTANCE_NORMALS_H
