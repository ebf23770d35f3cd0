#pragma once

#include <cmath>
#include <cstdint>
#include <type_traits>

#include "core/host_device.h"
#include "core/vec.h"

namespace tesk {

/// Number of tabulated view zenith angles of a projection function (0, 1, ..., 90 degrees).
inline constexpr int kProjectionAngles = 91;
/// Number of leaf inclination distributions.
inline constexpr int kLeafAngleTypes = 6;
/// Most media a point can be inside at once.
inline constexpr int kMaxActiveMedia = 8;

/// Leaf inclination distributions g(theta_L) over [0, pi/2].
enum class LeafAngleType : int32_t {
  Spherical = 0,     ///< sin(theta_L)
  Planophile = 1,    ///< (2/pi)(1 + cos 2 theta_L): mostly horizontal leaves
  Erectophile = 2,   ///< (2/pi)(1 - cos 2 theta_L): mostly vertical leaves
  Plagiophile = 3,   ///< (2/pi)(1 - cos 4 theta_L): mostly at 45 degrees
  Extremophile = 4,  ///< (2/pi)(1 + cos 4 theta_L): horizontal and vertical
  Uniform = 5        ///< 2/pi
};

/// One volumetric leaf medium bounded by a closed mesh.
struct OpticalMediumRecord {
  float leaf_area_density = 0.0f;           ///< One-sided leaf area per volume (m2 m-3).
  float leaf_characteristic_length = 0.0f;  ///< Leaf size (m), sets the hotspot width.
  int32_t leaf_angle_type = 0;              ///< LeafAngleType value.
  int32_t orientation = 1;          ///< +1: boundary normals point out of the medium; -1: inwards.
  int32_t boundary_material = -1;   ///< Highest material index bounding this medium, -1 if none.
  float G[kProjectionAngles] = {};  ///< Projection function G at view zenith 0..90 degrees.
};
TESK_DEVICE_RECORD(OpticalMediumRecord, 384);

/// The media that contain a point, with the instance of each medium's boundary.
struct ActiveMediumSet {
  int32_t count = 0;                           ///< Entries in use, 0..8.
  int32_t medium_ids[kMaxActiveMedia] = {};    ///< Medium index per entry.
  int32_t instance_ids[kMaxActiveMedia] = {};  ///< Boundary instance per entry.
};
TESK_DEVICE_RECORD(ActiveMediumSet, 68);

/// Where a direction falls in the per-degree projection tables: the whole degree `i` of its
/// view zenith angle (90 at most) and the interpolation weight `f` toward degree i + 1. Shared
/// by every medium, so a walk along one direction resolves it once.
struct ProjectionIndex {
  int32_t i = 0;   ///< Whole degrees of view zenith, 0..90.
  float f = 0.0f;  ///< Weight of degree i + 1 (unused at 90).
};

/// The projection index of direction `w` (any length along z handled through |w.z|).
TESK_HOST_DEVICE inline ProjectionIndex projection_index(float3 w) {
  // Plain comparisons instead of fmin: the same values (|w.z| is never NaN for a traced
  // direction, and a NaN reads as 1 either way), without a library call per lookup.
  const float z = std::fabs(w.z);
  const float theta = 57.29578f * std::acos(z < 1.0f ? z : 1.0f);
  ProjectionIndex k;
  k.i = static_cast<int32_t>(theta < 90.0f ? theta : 90.0f);
  k.f = theta - static_cast<float>(k.i);
  return k;
}

/// Projection function of a medium at a resolved projection index.
TESK_HOST_DEVICE inline float medium_projection(const OpticalMediumRecord& m, ProjectionIndex k) {
  if (k.i >= 90) return m.G[90];
  return (1.0f - k.f) * m.G[k.i] + k.f * m.G[k.i + 1];
}

/// Projection function of a medium for direction `w` (any length along z handled through
/// |w.z|), linearly interpolated between whole degrees of view zenith angle.
TESK_HOST_DEVICE inline float medium_projection(const OpticalMediumRecord& m, float3 w) {
  return medium_projection(m, projection_index(w));
}

/// Extinction coefficient (1/m) of a medium at a resolved projection index.
TESK_HOST_DEVICE inline float medium_extinction(const OpticalMediumRecord& m, ProjectionIndex k) {
  return m.leaf_area_density * medium_projection(m, k);
}

/// Extinction coefficient (1/m) of a medium for direction `w`: leaf area density times G.
TESK_HOST_DEVICE inline float medium_extinction(const OpticalMediumRecord& m, float3 w) {
  return medium_extinction(m, projection_index(w));
}

/// Summed extinction of the media of an active set at a resolved projection index; entries
/// naming no medium add nothing.
TESK_HOST_DEVICE inline float combined_extinction(const OpticalMediumRecord* media, int32_t n_media,
                                                  const ActiveMediumSet& set, ProjectionIndex k) {
  float sigma = 0.0f;
  for (int32_t e = 0; e < set.count && e < kMaxActiveMedia; ++e) {
    const int32_t id = set.medium_ids[e];
    if (id >= 0 && id < n_media) sigma += medium_extinction(media[id], k);
  }
  return sigma;
}

/// Summed extinction of the media of an active set for direction `w`.
TESK_HOST_DEVICE inline float combined_extinction(const OpticalMediumRecord* media, int32_t n_media,
                                                  const ActiveMediumSet& set, float3 w) {
  return combined_extinction(media, n_media, set, projection_index(w));
}

/// Transmittance along the source direction out of a point inside a medium, given that the
/// observation path reached the point through the same leaves (the hotspot effect).
/// `optical_depth` is the source path's optical depth in the medium, `initial_distance` the
/// source path's length in the medium and `observation_distance` the observation path's
/// length in it; directions are used as passed (not normalised) to measure their separation.
TESK_HOST_DEVICE inline float hotspot_transmittance(const OpticalMediumRecord& m,
                                                    float optical_depth, float initial_distance,
                                                    float observation_distance, float3 source,
                                                    float3 observation) {
  const float a = initial_distance, b = observation_distance, l = m.leaf_characteristic_length;
  if (b <= 0.0f || a <= 0.0f || l <= 0.0f) return std::exp(std::fmin(-optical_depth, 0.0f));
  const float delta = length(source - observation);
  const float kappa_s = medium_extinction(m, source);
  if (delta <= 1e-6f) return std::exp(-kappa_s * std::fmax(a - b, 0.0f));
  const float lambda = delta / l;
  // (1 - exp(-lambda min(a, b))) / lambda without cancellation for small arguments.
  const float c = -std::expm1(-lambda * std::fmin(a, b)) / lambda;
  const float kappa_o = medium_extinction(m, observation);
  float h = c * std::sqrt(std::fmax(kappa_s * kappa_o, 0.0f));
  h = std::fmin(h, std::fmin(kappa_s * a, b * kappa_o));
  return std::exp(std::fmin(h - optical_depth, 0.0f));
}

}  // namespace tesk
