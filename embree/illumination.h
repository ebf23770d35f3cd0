#pragma once

// Illumination helpers of the CPU transport that need the scene: sky and sun lookups bound to
// the scene description, the shadow test across periodic tiles and the preparation of camera
// rays (terrain following, periodic entry). All are read-only on the scene and thread-safe.

#include "core/host/scene_description.h"
#include "core/illumination.h"
#include "core/periodic.h"
#include "core/spectral.h"
#include "core/vec.h"
#include "embree/scene_manager.h"

namespace tesk::embree {

/// The CPU scene's queries as the tracer of the shared path code (core/surface_path.h).
struct EmbreeTracer {
  const EmbreeSceneManager* scene = nullptr;
  HitRecord trace(const float3& o, const float3& d, float t_min, float t_max) const {
    return scene->trace_ray(o, d, t_min, t_max);
  }
  /// The closest hit without the interpolated shading normal (`normal` is the geometric one).
  HitRecord trace_geometric(const float3& o, const float3& d, float t_min, float t_max) const {
    return scene->trace_ray_geometric(o, d, t_min, t_max);
  }
  bool shadow(const float3& o, const float3& d, float t_max) const {
    return scene->trace_shadow(o, d, t_max);
  }
};

/// View of the description's spectral parameter buffer.
inline SpectralView spectral_view(const SceneDescription& d) {
  const std::vector<float>& v = d.spectral_params();
  return SpectralView{v.data(), static_cast<int64_t>(v.size())};
}

/// The description's sky offsets and Hosek-Wilkie sun direction.
inline SkyParams sky_params(const SceneDescription& d) {
  return SkyParams{d.uniform_sky_offset(), d.directional_sky_offset(), d.hw_sky_offset(),
                   d.hw_sun_direction()};
}

/// Sky radiance of the scene toward unit direction `w` in band b (0 when no sky is set).
float sky_radiance(const EmbreeSceneManager& scene, const float3& w, int b);

/// Whether a ray leaving the scene along `w` sees the scene's sun disk.
bool sun_seen(const EmbreeSceneManager& scene, const float3& w);

/// Shadow test toward direction `d` from `origin` (already offset from its surface): true when
/// geometry blocks the ray in this tile or, in a periodic scene, in one of the next
/// `num_repetitions` tiles the ray crosses into. The scene must be built.
bool occluded_periodic(const EmbreeSceneManager& scene, const float3& origin, const float3& d);

/// occluded_periodic for `count` (at most kPacketWidth) neighbouring origins and one direction,
/// the queries in the rays' own tile traced as one packet: blocked[i] is
/// occluded_periodic(scene, origins[i], d) (up to the last float bit of the packet arithmetic).
void occluded_periodic_packet(const EmbreeSceneManager& scene, const float3* origins, int count,
                              const float3& d, bool* blocked);

/// Camera-ray preparation before the first intersection. Terrain following (orthographic
/// sensors with the flag set): the origin becomes the surface point below the ray's footprint on
/// z = 0, moved 100000 units back along the ray. Periodic scenes: the origin is brought into the
/// tile by `periodic_entry`, entering from just above the scene top (`top_margin` above it, so a
/// surface lying exactly at the top is not skipped by the first query's minimum distance).
/// Returns the new origin; the direction is unchanged.
float3 prepare_camera_ray(const EmbreeSceneManager& scene, SensorType sensor_type, float3 origin,
                          const float3& d);

using tesk::periodic_entry_margin;

}  // namespace tesk::embree
