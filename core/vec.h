#pragma once

#include <cmath>
#include <cstdint>
#include <type_traits>

#include "core/host_device.h"

namespace tesk {

/// Three packed 32-bit floats (a point, a direction or an RGB-like triple).
struct float3 {
  float x = 0.0f;
  float y = 0.0f;
  float z = 0.0f;
};
TESK_DEVICE_RECORD(float3, 12);

/// Three packed 32-bit vertex indices of one triangle.
struct int3 {
  int32_t x = 0;
  int32_t y = 0;
  int32_t z = 0;
};
TESK_DEVICE_RECORD(int3, 12);

static_assert(sizeof(float3) == 12 && std::is_trivially_copyable_v<float3>);
static_assert(sizeof(int3) == 12 && std::is_trivially_copyable_v<int3>);

TESK_HOST_DEVICE inline float3 make_float3(float x, float y, float z) {
  return float3{x, y, z};
}
TESK_HOST_DEVICE inline float3 operator+(float3 a, float3 b) {
  return {a.x + b.x, a.y + b.y, a.z + b.z};
}
TESK_HOST_DEVICE inline float3 operator-(float3 a, float3 b) {
  return {a.x - b.x, a.y - b.y, a.z - b.z};
}
TESK_HOST_DEVICE inline float3 operator-(float3 a) {
  return {-a.x, -a.y, -a.z};
}
TESK_HOST_DEVICE inline float3 operator*(float3 a, float s) {
  return {a.x * s, a.y * s, a.z * s};
}
TESK_HOST_DEVICE inline float3 operator*(float s, float3 a) {
  return a * s;
}
TESK_HOST_DEVICE inline float3 operator*(float3 a, float3 b) {
  return {a.x * b.x, a.y * b.y, a.z * b.z};
}
TESK_HOST_DEVICE inline float3 operator/(float3 a, float s) {
  return {a.x / s, a.y / s, a.z / s};
}
TESK_HOST_DEVICE inline float3& operator+=(float3& a, float3 b) {
  a = a + b;
  return a;
}
TESK_HOST_DEVICE inline float dot(float3 a, float3 b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}
TESK_HOST_DEVICE inline float3 cross(float3 a, float3 b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
TESK_HOST_DEVICE inline float length(float3 a) {
  return std::sqrt(dot(a, a));
}
/// Unit vector along `a`; a zero vector stays zero.
TESK_HOST_DEVICE inline float3 normalize(float3 a) {
  const float len = length(a);
  return len > 0.0f ? a * (1.0f / len) : a;
}
TESK_HOST_DEVICE inline float3 min3(float3 a, float3 b) {
  return {std::fmin(a.x, b.x), std::fmin(a.y, b.y), std::fmin(a.z, b.z)};
}
TESK_HOST_DEVICE inline float3 max3(float3 a, float3 b) {
  return {std::fmax(a.x, b.x), std::fmax(a.y, b.y), std::fmax(a.z, b.z)};
}
TESK_HOST_DEVICE inline bool is_finite(float3 a) {
  return std::isfinite(a.x) && std::isfinite(a.y) && std::isfinite(a.z);
}

/// Applies the linear part of a row-major 3x4 transform [m00 m01 m02 tx, ...] to a vector.
TESK_HOST_DEVICE inline float3 transform_vector(const float* m, float3 v) {
  return {m[0] * v.x + m[1] * v.y + m[2] * v.z, m[4] * v.x + m[5] * v.y + m[6] * v.z,
          m[8] * v.x + m[9] * v.y + m[10] * v.z};
}

/// Applies a row-major 3x4 transform (linear part and translation) to a point.
TESK_HOST_DEVICE inline float3 transform_point(const float* m, float3 p) {
  const float3 v = transform_vector(m, p);
  return {v.x + m[3], v.y + m[7], v.z + m[11]};
}

}  // namespace tesk
