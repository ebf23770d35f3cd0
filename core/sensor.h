#pragma once

#include <cmath>

#include "core/host_device.h"
#include "core/scene_types.h"
#include "core/vec.h"

namespace tesk::sensor {

/// Camera-to-world transform of a point: C * (p, 1) with C the row-major 4x4 camera matrix.
TESK_HOST_DEVICE inline float3 camera_point(const float* c, const float3& p) {
  return float3{c[0] * p.x + c[1] * p.y + c[2] * p.z + c[3],
                c[4] * p.x + c[5] * p.y + c[6] * p.z + c[7],
                c[8] * p.x + c[9] * p.y + c[10] * p.z + c[11]};
}

/// Camera-to-world transform of a direction by the upper-left 3x3 block (not normalised).
TESK_HOST_DEVICE inline float3 camera_vector(const float* c, const float3& v) {
  return float3{c[0] * v.x + c[1] * v.y + c[2] * v.z, c[4] * v.x + c[5] * v.y + c[6] * v.z,
                c[8] * v.x + c[9] * v.y + c[10] * v.z};
}

/// Zenith angle (radians, from the camera's -z axis) of a fisheye image point at normalised
/// radius `r` (0.5 on the inscribed circle) for the given mapping; returns a negative value
/// where the mapping has no ray. Mappings: 0 equisolid angle, 1 equidistant, 2 orthographic
/// (sine law), anything else stereographic.
TESK_HOST_DEVICE inline float fisheye_zenith(float r, float theta_max, int projection_type) {
  switch (projection_type) {
    case 0: {
      const float s = 2.0f * r * std::sin(0.5f * theta_max);
      return s > 1.0f ? -1.0f : 2.0f * std::asin(s);
    }
    case 1:
      return 2.0f * r * theta_max;
    case 2: {
      const float s = 2.0f * r * std::sin(theta_max);
      return s > 1.0f ? -1.0f : std::asin(s);
    }
    default:
      return 2.0f * std::atan(2.0f * r * std::tan(0.5f * theta_max));
  }
}

/// Camera ray of pixel (x, y) at sub-pixel offsets (jx, jy) in [0, 1) for every sensor kind
/// (0 orthographic, 1 perspective, 3 pushbroom, 4 fisheye; the camera looks along its -z axis,
/// row 0 at camera -y, column 0 at camera -x). Writes the world origin and unit direction (both
/// zero first) and returns whether the ray is valid: false for the non-imaging kind 2, unknown
/// kinds, fisheye points outside the image circle and degenerate transforms. Never throws.
TESK_HOST_DEVICE inline bool generate_primary_ray(const SensorData& s, int x, int y, float jx,
                                                  float jy, float3& origin, float3& direction) {
  origin = float3{};
  direction = float3{};
  const float sx = (static_cast<float>(x) + jx) / static_cast<float>(s.width) - 0.5f;
  const float sy = (static_cast<float>(y) + jy) / static_cast<float>(s.height) - 0.5f;
  const float* c = s.camera_transform;
  float3 p_cam{};
  float3 d_cam{};
  switch (s.type) {
    case SensorType::Orthographic:
      p_cam = float3{sx * s.ortho_w, sy * s.ortho_h, 0.0f};
      d_cam = float3{0.0f, 0.0f, -1.0f};
      break;
    case SensorType::Perspective: {  // fov is the vertical full angle
      const float t = std::tan(0.5f * s.fov);
      const float a = 2.0f * sx * t * (static_cast<float>(s.width) / static_cast<float>(s.height));
      const float b = 2.0f * sy * t;
      const float inv = 1.0f / std::sqrt(a * a + b * b + 1.0f);
      d_cam = float3{a * inv, b * inv, -inv};
      break;
    }
    case SensorType::Pushbroom: {  // across-track angle along x, along-track position along y
      p_cam = float3{0.0f, sy * s.ortho_h, 0.0f};
      const float a = std::tan(sx * s.fov);
      const float inv = 1.0f / std::sqrt(a * a + 1.0f);
      d_cam = float3{a * inv, 0.0f, -inv};
      break;
    }
    case SensorType::Fisheye: {  // the image circle of radius 0.5 spans the full cone
      const float r = std::sqrt(sx * sx + sy * sy);
      const float theta_max = 0.5f * s.fov;
      const float theta = fisheye_zenith(r, theta_max, s.projection_type);
      if (!(theta >= 0.0f) || theta > theta_max) return false;
      const float phi = std::atan2(sy, sx);
      const float st = std::sin(theta);
      d_cam = float3{st * std::cos(phi), st * std::sin(phi), -std::cos(theta)};
      break;
    }
    default:  // 2 (non-imaging) and unknown kinds make no camera rays
      return false;
  }
  const float3 d = normalize(camera_vector(c, d_cam));
  const float3 o = camera_point(c, p_cam);
  if (!(dot(d, d) > 0.5f) || !is_finite(o)) return false;
  origin = o;
  direction = d;
  return true;
}

}  // namespace tesk::sensor
