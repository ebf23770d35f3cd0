#include "embree/illumination.h"

#include <cmath>

#include "core/periodic.h"
#include "core/surface_path.h"
#include "core/transport_constants.h"
#include "embree/transport_context.h"

namespace tesk::embree {

float sky_radiance(const EmbreeSceneManager& scene, const float3& w, int b) {
  const SceneDescription& d = scene.description();
  return tesk::sky_radiance(sky_params(d), spectral_view(d), d.num_bands(), w, b);
}

bool sun_seen(const EmbreeSceneManager& scene, const float3& w) {
  return tesk::sun_seen(scene.description().emitter().direction, w);
}

bool occluded_periodic(const EmbreeSceneManager& scene, const float3& origin, const float3& d) {
  return tesk::occluded_periodic(EmbreeTracer{&scene}, tile_view(scene), origin, d);
}

void occluded_periodic_packet(const EmbreeSceneManager& scene, const float3* origins, int count,
                              const float3& d, bool* blocked) {
  const TileView tiles = tile_view(scene);
  const float z_top = tiles.z_top;
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
    blocked[lane_of[j]] = hit[j] || occluded_in_next_tiles(EmbreeTracer{&scene}, tiles, o[j], d);
  }
}

float3 prepare_camera_ray(const EmbreeSceneManager& scene, SensorType sensor_type, float3 origin,
                          const float3& d) {
  return tesk::prepare_camera_ray(EmbreeTracer{&scene}, tile_view(scene),
                                  scene.description().terrain_following(), sensor_type, origin, d);
}

}  // namespace tesk::embree
