#pragma once

#include <cmath>
#include <type_traits>

#include "core/host_device.h"
#include "core/vec.h"

namespace tesk {

/// Completes the unit vector `n` to an orthonormal frame (a, b, n): a local direction
/// (u, v, w) maps to the world vector u*a + v*b + w*n. Deterministic branch on |n.x| > |n.y|.
TESK_HOST_DEVICE inline void coordinate_system(const float3& n, float3& a, float3& b) {
  if (std::fabs(n.x) > std::fabs(n.y)) {
    const float inv = 1.0f / std::sqrt(n.x * n.x + n.z * n.z);
    b = float3{n.z * inv, 0.0f, -n.x * inv};
  } else {
    const float inv = 1.0f / std::sqrt(n.y * n.y + n.z * n.z);
    b = float3{0.0f, n.z * inv, -n.y * inv};
  }
  a = cross(b, n);
}

/// The shading frame at a surface hit: local z is the normal.
struct ShadingFrame {
  float3 a{1.0f, 0.0f, 0.0f};  ///< Local x axis (world).
  float3 b{0.0f, 1.0f, 0.0f};  ///< Local y axis (world).
  float3 n{0.0f, 0.0f, 1.0f};  ///< Local z axis, the shading normal (world).

  /// The frame of `coordinate_system` around the unit normal `normal`.
  TESK_HOST_DEVICE static ShadingFrame from_normal(const float3& normal) {
    ShadingFrame f;
    f.n = normal;
    coordinate_system(normal, f.a, f.b);
    return f;
  }
  /// Local coordinates (v.a, v.b, v.n) of a world vector.
  TESK_HOST_DEVICE float3 to_local(const float3& v) const {
    return float3{dot(v, a), dot(v, b), dot(v, n)};
  }
  /// World vector u*a + v*b + w*n of local coordinates (u, v, w).
  TESK_HOST_DEVICE float3 to_world(const float3& v) const { return a * v.x + b * v.y + n * v.z; }
};
TESK_DEVICE_RECORD(ShadingFrame, 36);

}  // namespace tesk
