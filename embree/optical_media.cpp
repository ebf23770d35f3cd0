#include "embree/optical_media.h"

#include <algorithm>
#include <cmath>

namespace tesk::embree {
namespace {

constexpr int kMaxMetInstances = 128;

int32_t medium_of_material_(const OpticalMediaTable& media, int32_t material_id) {
  if (material_id < 0 || material_id >= static_cast<int32_t>(media.material_medium_ids.size())) {
    return -1;
  }
  return media.material_medium_ids[material_id];
}

}  // namespace

ActiveMediumSet active_optical_media(const EmbreeSceneManager& scene, float3 point,
                                     float3 direction) {
  const OpticalMediaTable& media = scene.optical_media();
  ActiveMediumSet result;
  // A closed medium lies inside the scene box, so a point outside it is in no medium; this
  // saves the walk for camera rays that start above the scene.
  const SceneBounds& box = scene.bounds();
  if (media.media.empty() ||
      !(point.x >= box.min_x && point.x <= box.max_x && point.y >= box.min_y &&
        point.y <= box.max_y && point.z >= box.min_z && point.z <= box.max_z)) {
    return result;
  }
  int32_t met[kMaxMetInstances];
  int n_met = 0;
  for (int step = 0; step < kMaxMetInstances; ++step) {
    const HitRecord h = scene.trace_ray(point, direction, 0.0001f, 1e30f);
    if (!h.hit) break;
    const int32_t k = medium_of_material_(media, h.material_id);
    if (k >= 0 && k < static_cast<int32_t>(media.media.size())) {
      const bool seen = std::find(met, met + n_met, h.instance_id) != met + n_met;
      if (!seen) {
        if (n_met == kMaxMetInstances) break;
        met[n_met++] = h.instance_id;
        // Leaving through the boundary means the point is inside: the back of outward-facing
        // triangles, or the front of inward-facing ones.
        const bool leaving = media.media[k].orientation == (h.is_back_face ? 1 : -1);
        if (leaving) {
          bool present = false;
          for (int32_t i = 0; i < result.count; ++i) {
            present |= result.medium_ids[i] == k && result.instance_ids[i] == h.instance_id;
          }
          if (!present) {
            if (result.count == kMaxActiveMedia) break;
            result.medium_ids[result.count] = k;
            result.instance_ids[result.count] = h.instance_id;
            ++result.count;
          }
        }
      }
    }
    point = h.position + 0.0002f * direction;
  }
  return result;
}

namespace {

// The entry whose share of the combined extinction `sigma` contains selection_sample * sigma.
int32_t select_entry_(const OpticalMediaTable& media, const ActiveMediumSet& active,
                      float3 direction, float sigma, float selection_sample) {
  const auto n_media = static_cast<int32_t>(media.media.size());
  float x = sigma * std::fmin(std::fmax(selection_sample, 0.0f), 0.99999994f);
  for (int32_t i = 0; i < active.count; ++i) {
    const int32_t id = active.medium_ids[i];
    if (id >= 0 && id < n_media) x -= medium_extinction(media.media[id], direction);
    if (x <= 0.0f) return i;
  }
  return active.count - 1;
}

float free_path_(float sigma, float distance_sample) {
  return -std::log(std::fmax(1.0f - distance_sample, 1e-7f)) / sigma;
}

}  // namespace

FreePathSample sample_free_path(const OpticalMediaTable& media, const ActiveMediumSet& active,
                                float3 direction, float distance_sample, float selection_sample) {
  FreePathSample out;
  if (active.count < 1 || active.count > kMaxActiveMedia) return out;
  const auto n_media = static_cast<int32_t>(media.media.size());
  out.extinction = combined_extinction(media.media.data(), n_media, active, direction);
  if (!(out.extinction > 0.0f)) return out;
  out.distance = free_path_(out.extinction, distance_sample);
  out.entry = select_entry_(media, active, direction, out.extinction, selection_sample);
  return out;
}

MediumTraceEvent trace_media_step(const EmbreeSceneManager& scene, float3 origin, float3 direction,
                                  const ActiveMediumSet& active, int crossings, Pcg32& stream) {
  const OpticalMediaTable& media = scene.optical_media();
  const SceneDescription& desc = scene.description();
  MediumTraceEvent ev;
  ev.hit = scene.trace_ray(origin, direction, 0.0001f, 1e30f);
  ev.exit = cross_tile(origin, direction, desc.scene_x_size(), desc.scene_y_size());
  const bool may_cross = crossings < desc.num_repetitions() && ev.exit.axis >= 0;

  int32_t boundary = -1;
  float limit = 1e16f;
  bool crossing = false;
  if (ev.hit.hit) {
    limit = ev.hit.t;
    boundary = medium_of_material_(media, ev.hit.material_id);
    // A boundary hit just before the wall is left to the neighbouring tile, so a medium
    // straddling the wall is entered consistently on both sides.
    if (may_cross && (ev.hit.t > ev.exit.t || (boundary >= 0 && ev.hit.t + 0.0005f >= ev.exit.t))) {
      crossing = true;
      limit = std::fmin(ev.hit.t, ev.exit.t);
    }
  } else if (may_cross) {
    crossing = true;
    limit = ev.exit.t;
  }

  if (active.count >= 1 && active.count <= kMaxActiveMedia) {
    const auto n_media = static_cast<int32_t>(media.media.size());
    const float sigma = combined_extinction(media.media.data(), n_media, active, direction);
    if (sigma > 0.0f) {
      const float s = free_path_(sigma, stream.uniform());
      if (s < limit) {
        const int32_t entry = select_entry_(media, active, direction, sigma, stream.uniform());
        ev.kind = static_cast<int32_t>(MediumEventKind::Interaction);
        ev.distance = s;
        ev.position = origin + s * direction;
        ev.medium_id = active.medium_ids[entry];
        ev.instance_id = active.instance_ids[entry];
        return ev;
      }
    }
  }
  if (crossing) {
    ev.kind = static_cast<int32_t>(MediumEventKind::TileCrossing);
    ev.distance = ev.exit.t;
    ev.position = origin + ev.exit.t * direction;
  } else if (ev.hit.hit) {
    ev.kind = static_cast<int32_t>(boundary >= 0 ? MediumEventKind::MediumBoundary
                                                 : MediumEventKind::Surface);
    ev.distance = ev.hit.t;
    ev.position = ev.hit.position;
    ev.medium_id = boundary;
    ev.instance_id = ev.hit.instance_id;
  }
  return ev;
}

}  // namespace tesk::embree
