#include "embree/illumination.h"

#include <cmath>

#include "core/periodic.h"
#include "core/transport_constants.h"

namespace tesk::embree {

float sky_radiance(const EmbreeSceneManager& scene, const float3& w, int b) {
  const SceneDescription& d = scene.description();
  return tesk::sky_radiance(sky_params(d), spectral_view(d), d.num_bands(), w, b);
}

bool sun_seen(const EmbreeSceneManager& scene, const float3& w) {
  return tesk::sun_seen(scene.description().emitter().direction, w);
}

namespace {

// The part of occluded_periodic after the query in the ray's own tile (which found nothing):
// the queries in the next tiles of a periodic scene.
bool occluded_in_next_tiles(const EmbreeSceneManager& scene, const float3& origin,
                            const float3& d) {
  const SceneDescription& desc = scene.description();
  if (!desc.is_periodic()) return false;
  const float z_top = scene.bounds().max_z;
  const float X = desc.scene_x_size();
  const float Y = desc.scene_y_size();
  float budget = transport::kFarDistance;
  float3 o = origin;
  for (int crossing = 0; crossing < desc.num_repetitions(); ++crossing) {
    const TileExit exit = cross_tile(o, d, X, Y);
    if (exit.axis < 0) return false;
    o = wrap_at_exit(o, d, exit, X, Y);
    budget -= exit.t;
    if (budget <= 0.0f) return false;
    if (o.z > z_top && d.z >= 0.0f) return false;
    if (scene.trace_shadow(o, d, budget)) return true;
  }
  return false;
}

}  // namespace

bool occluded_periodic(const EmbreeSceneManager& scene, const float3& origin, const float3& d) {
  // Nothing lies above the scene top, so a ray that starts there and does not descend is free
  // in every tile; this skips queries that cannot hit.
  const float z_top = scene.bounds().max_z;
  if (origin.z > z_top && d.z >= 0.0f) return false;
  if (scene.trace_shadow(origin, d, transport::kFarDistance)) return true;
  return occluded_in_next_tiles(scene, origin, d);
}

void occluded_periodic_packet(const EmbreeSceneManager& scene, const float3* origins, int count,
                              const float3& d, bool* blocked) {
  const float z_top = scene.bounds().max_z;
  // The rays that need a query in their own tile, gathered into one packet.
  float3 o[kPacketWidth];
  float3 dirs[kPacketWidth];
  int lane_of[kPacketWidth];
  int n = 0;
  for (int i = 0; i < count; ++i) {
    blocked[i] = false;
    if (origins[i].z > z_top && d.z >= 0.0f) continue;
    o[n] = origins[i];
    dirs[n] = d;
    lane_of[n++] = i;
  }
  bool hit[kPacketWidth];
  scene.trace_shadow_packet(o, dirs, n, transport::kFarDistance, hit);
  for (int j = 0; j < n; ++j) {
    blocked[lane_of[j]] = hit[j] || occluded_in_next_tiles(scene, o[j], d);
  }
}

float periodic_entry_margin(float z_top) {
  return std::fmax(1e-3f, 1e-6f * std::fabs(z_top));
}

float3 prepare_camera_ray(const EmbreeSceneManager& scene, SensorType sensor_type, float3 origin,
                          const float3& d) {
  const SceneDescription& desc = scene.description();
  if (desc.terrain_following() && sensor_type == SensorType::Orthographic) {
    const float s = origin.z / d.z;
    const float x0 = origin.x - s * d.x;
    const float y0 = origin.y - s * d.y;
    const float3 top{x0, y0, origin.z};
    const HitRecord h =
        scene.trace_ray(top, float3{0.0f, 0.0f, -1.0f}, transport::kRayTMin, transport::kRayTMax);
    if (h.hit) origin = float3{x0, y0, origin.z - h.t} - transport::kTerrainBackoff * d;
  }
  if (desc.is_periodic()) {
    const float z_top = scene.bounds().max_z;
    origin = periodic_entry(origin, d, desc.scene_x_size(), desc.scene_y_size(),
                            z_top + periodic_entry_margin(z_top));
  }
  return origin;
}

}  // namespace tesk::embree
