#include "embree/media_walk.h"

#include <algorithm>
#include <cmath>

#include "core/illumination.h"
#include "core/transport_constants.h"

namespace tesk::embree {
namespace {

using namespace tesk::transport;

// The geometric part of one step from o along d: the closest hit and, while the path may still
// wrap, the tile exit. `limit` is the distance to whichever ends the step; a medium boundary
// just before the wall yields to the wall, so a medium straddling the wall is entered
// consistently on both sides.
struct WalkStep {
  HitRecord hit{};
  TileExit exit{};
  int32_t boundary = -1;  // medium bounded by the hit triangle, -1 when none
  bool crossing = false;  // the step ends at the tile wall
  float limit = kFarDistance;
};

WalkStep walk_step(const EmbreeSceneManager& scene, const MediaView& media, const TileView& tiles,
                   const float3& o, const float3& d, int crossings, float t_max = kRayTMax,
                   bool shading = false) {
  WalkStep s;
  s.hit = shading ? scene.trace_ray(o, d, kRayTMin, t_max)
                  : scene.trace_ray_geometric(o, d, kRayTMin, t_max);
  bool may_cross = false;
  if (tiles.periodic && crossings < tiles.num_repetitions) {
    s.exit = cross_tile(o, d, tiles.x, tiles.y);
    may_cross = s.exit.axis >= 0;
  }
  if (s.hit.hit) {
    s.limit = s.hit.t;
    s.boundary = media.medium_of(s.hit.material_id);
    if (may_cross &&
        (s.hit.t > s.exit.t || (s.boundary >= 0 && s.hit.t + kWallBoundaryTolerance >= s.exit.t))) {
      s.crossing = true;
      s.limit = std::fmin(s.hit.t, s.exit.t);
    }
  } else if (may_cross) {
    s.crossing = true;
    s.limit = s.exit.t;
  }
  return s;
}

// The entry whose share of the combined extinction `sigma` contains selection_sample * sigma.
int32_t select_entry(const MediaView& media, const ActiveMediumSet& active,
                     ProjectionIndex direction, float sigma, float selection_sample) {
  float x = sigma * std::fmin(std::fmax(selection_sample, 0.0f), 0.99999994f);
  for (int32_t i = 0; i < active.count; ++i) {
    const int32_t id = active.medium_ids[i];
    if (id >= 0 && id < media.n_media) x -= medium_extinction(media.media[id], direction);
    if (x <= 0.0f) return i;
  }
  return active.count - 1;
}

float free_path(float sigma, float distance_sample) {
  const float x = 1.0f - distance_sample;
  return -std::log(x > 1e-7f ? x : 1e-7f) / sigma;
}

MediumTraceEvent step_event(const EmbreeSceneManager& scene, const MediaView& media,
                            const TileView& tiles, float3 origin, float3 direction,
                            const ProjectionIndex* zenith_hint, const ActiveMediumSet& active,
                            int crossings, bool shading, Pcg32& stream) {
  // Inside media the free path is drawn first and bounds the closest-hit query: a surface, a
  // boundary or a wall farther than the leaf met on the way does not matter, and a short query
  // is much cheaper than one through the whole scene. The outcome is the one of tracing to
  // infinity and comparing: a hit beyond the free path (not reported) would lose to the leaf,
  // and a wall before the free path still ends the step there.
  float sigma = 0.0f;
  float t_free = kRayTMax;
  ProjectionIndex zenith{};
  if (active.count >= 1 && active.count <= kMaxActiveMedia) {
    zenith = zenith_hint != nullptr ? *zenith_hint : projection_index(direction);
    sigma = combined_extinction(media.media, media.n_media, active, zenith);
    if (sigma > 0.0f) t_free = free_path(sigma, stream.uniform());
  }
  const WalkStep s = walk_step(scene, media, tiles, origin, direction, crossings, t_free, shading);
  MediumTraceEvent ev;
  ev.hit = s.hit;
  ev.exit = s.exit;
  if (sigma > 0.0f && t_free < s.limit) {
    const int32_t entry = select_entry(media, active, zenith, sigma, stream.uniform());
    ev.kind = MediumEventKind::Interaction;
    ev.distance = t_free;
    ev.position = origin + t_free * direction;
    ev.medium_id = active.medium_ids[entry];
    ev.instance_id = active.instance_ids[entry];
    return ev;
  }
  if (s.crossing) {
    ev.kind = MediumEventKind::TileCrossing;
    ev.distance = s.exit.t;
    ev.position = origin + s.exit.t * direction;
  } else if (s.hit.hit) {
    ev.kind = s.boundary >= 0 ? MediumEventKind::MediumBoundary : MediumEventKind::Surface;
    ev.distance = s.hit.t;
    ev.position = s.hit.position;
    ev.medium_id = s.boundary;
    ev.instance_id = s.hit.instance_id;
  }
  return ev;
}

// Adds or removes one (medium, instance) entry; `observed` (may be null) moves with the set.
void update_set(const MediaView& media, ActiveMediumSet& set, float* observed, int32_t medium,
                int32_t instance, bool back_face) {
  if (medium < 0 || medium >= media.n_media) return;
  int32_t found = -1;
  for (int32_t k = 0; k < set.count; ++k) {
    if (set.medium_ids[k] == medium && set.instance_ids[k] == instance) found = k;
  }
  if (media.leaves(medium, back_face)) {
    if (found < 0) return;
    for (int32_t k = found; k + 1 < set.count; ++k) {
      set.medium_ids[k] = set.medium_ids[k + 1];
      set.instance_ids[k] = set.instance_ids[k + 1];
      if (observed != nullptr) observed[k] = observed[k + 1];
    }
    --set.count;
  } else if (found < 0 && set.count < kMaxActiveMedia) {
    set.medium_ids[set.count] = medium;
    set.instance_ids[set.count] = instance;
    if (observed != nullptr) observed[set.count] = 0.0f;
    ++set.count;
  }
}

// The containment of the point just across a wall; entries of a medium kind the old set held
// take over its segment length (the straight segment goes on in the copy of the medium).
ActiveMediumSet media_after_wrap(const TransportContext& c, const float3& p, const float3& d,
                                 const ActiveMediumSet& old, const float* old_observed,
                                 float* new_observed, int64_t& queries) {
  ++queries;
  const ActiveMediumSet now = active_optical_media(*c.scene, p, d);
  if (new_observed != nullptr) {
    for (int32_t i = 0; i < now.count; ++i) {
      new_observed[i] = 0.0f;
      for (int32_t j = 0; j < old.count; ++j) {
        if (old.medium_ids[j] == now.medium_ids[i]) {
          new_observed[i] = old_observed[j];
          break;
        }
      }
    }
  }
  return now;
}

}  // namespace

ActiveMediumSet active_optical_media(const EmbreeSceneManager& scene, float3 point,
                                     float3 direction) {
  const OpticalMediaTable& table = scene.optical_media();
  const MediaView media = media_view(scene);
  ActiveMediumSet result;
  // A closed medium lies inside the scene box, so a point outside it is in no medium; this
  // saves the walk for camera rays that start above the scene.
  const SceneBounds& box = scene.bounds();
  if (table.media.empty() ||
      !(point.x >= box.min_x && point.x <= box.max_x && point.y >= box.min_y &&
        point.y <= box.max_y && point.z >= box.min_z && point.z <= box.max_z)) {
    return result;
  }
  int32_t met[kMaxContainmentInstances];
  int n_met = 0;
  for (int step = 0; step < kMaxContainmentInstances; ++step) {
    const HitRecord h = scene.trace_ray_geometric(point, direction, kRayTMin, kRayTMax);
    if (!h.hit) break;
    const int32_t k = media.medium_of(h.material_id);
    if (k >= 0) {
      const bool seen = std::find(met, met + n_met, h.instance_id) != met + n_met;
      if (!seen) {
        if (n_met == kMaxContainmentInstances) break;
        met[n_met++] = h.instance_id;
        // Leaving through the boundary means the point is inside.
        if (media.leaves(k, h.is_back_face)) {
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
    point = h.position + kBoundaryStep * direction;
  }
  return result;
}

MediumTraceEvent media_step(const TransportContext& c, float3 origin, float3 direction,
                            const ActiveMediumSet& active, int crossings, Pcg32& stream) {
  return step_event(*c.scene, c.media, c.tiles, origin, direction, nullptr, active, crossings,
                    c.shading_normals, stream);
}

MediumTraceEvent media_step(const TransportContext& c, float3 origin, float3 direction,
                            ProjectionIndex zenith, const ActiveMediumSet& active, int crossings,
                            Pcg32& stream) {
  return step_event(*c.scene, c.media, c.tiles, origin, direction, &zenith, active, crossings,
                    c.shading_normals, stream);
}

MediumTraceEvent media_boundary_step(const TransportContext& c, float3 origin, float3 direction,
                                     int crossings) {
  // With no active media the step samples no free path, so the stream is never drawn from.
  Pcg32 unused;
  return step_event(*c.scene, c.media, c.tiles, origin, direction, nullptr, ActiveMediumSet{},
                    crossings, c.shading_normals, unused);
}

MediumTraceEvent trace_media_step(const EmbreeSceneManager& scene, float3 origin, float3 direction,
                                  const ActiveMediumSet& active, int crossings, Pcg32& stream) {
  return step_event(scene, media_view(scene), tile_view(scene), origin, direction, nullptr, active,
                    crossings, true, stream);
}

void cross_medium_boundary(const MediaView& media, PathMedia& path, int32_t medium,
                           int32_t instance, bool back_face) {
  update_set(media, path.set, path.observed, medium, instance, back_face);
}

float3 wrap_path(const TransportContext& c, const float3& o, const float3& d, const TileExit& exit,
                 PathMedia& path, int64_t& queries) {
  const float3 p = wrap_at_exit(o, d, exit, c.tiles.x, c.tiles.y) + kBoundaryStep * d;
  if (path.set.count > 0) {
    float observed[kMaxActiveMedia] = {};
    path.set = media_after_wrap(c, p, d, path.set, path.observed, observed, queries);
    std::copy(observed, observed + kMaxActiveMedia, path.observed);
  }
  return p;
}

MediaTransmittance walk_transmittance(const TransportContext& c, float3 o, const float3& v,
                                      const ActiveMediumSet& start, int crossings,
                                      SourcePathInMedia* source, int64_t& queries,
                                      const ProjectionIndex* zenith_hint, double opaque_depth) {
  MediaTransmittance out;
  ActiveMediumSet cur = start;
  // The starting entries being followed: their instance (which changes when the walk wraps
  // into the copy of a medium straddling the wall) and whether the walk is still inside.
  int32_t followed[kMaxActiveMedia] = {};
  bool open[kMaxActiveMedia] = {};
  for (int32_t j = 0; j < start.count; ++j) {
    followed[j] = start.instance_ids[j];
    open[j] = true;
  }
  // The walk keeps its direction: one projection index for every segment.
  const ProjectionIndex zenith = zenith_hint != nullptr ? *zenith_hint : projection_index(v);
  for (int step = 0; step < kMaxWalkSteps; ++step) {
    nudge_into_tile(c.tiles, o, v);
    if (cur.count == 0 && escapes_upward(c.tiles, o, v)) return out;
    const WalkStep s = walk_step(*c.scene, c.media, c.tiles, o, v, crossings);
    ++queries;
    const float seg = s.crossing || s.hit.hit ? s.limit : 0.0f;
    for (int32_t i = 0; i < cur.count; ++i) {
      const int32_t m = cur.medium_ids[i];
      if (m < 0 || m >= c.media.n_media) continue;
      const double t = static_cast<double>(medium_extinction(c.media.media[m], zenith)) * seg;
      out.optical_depth += t;
      if (source == nullptr) continue;
      for (int32_t j = 0; j < start.count; ++j) {
        if (open[j] && start.medium_ids[j] == m && followed[j] == cur.instance_ids[i]) {
          source->length[j] += seg;
          source->depth[j] += static_cast<float>(t);
        }
      }
    }
    if (source == nullptr && out.optical_depth > opaque_depth) {
      out.blocked = true;
      return out;
    }
    if (s.crossing) {
      o = wrap_at_exit(o, v, s.exit, c.tiles.x, c.tiles.y) + kBoundaryStep * v;
      ++crossings;
      if (cur.count > 0) {
        const ActiveMediumSet before = cur;
        cur = media_after_wrap(c, o, v, before, nullptr, nullptr, queries);
        // A followed medium continues in its copy across the wall.
        for (int32_t j = 0; j < start.count; ++j) {
          if (!open[j]) continue;
          bool continues = false;
          for (int32_t i = 0; i < cur.count && !continues; ++i) {
            if (cur.medium_ids[i] == start.medium_ids[j]) {
              followed[j] = cur.instance_ids[i];
              continues = true;
            }
          }
          open[j] = continues;
        }
      }
      continue;
    }
    if (!s.hit.hit) return out;
    if (s.boundary < 0) {  // an opaque surface or a leaf surface blocks the way
      out.blocked = true;
      return out;
    }
    if (c.media.leaves(s.boundary, s.hit.is_back_face)) {
      for (int32_t j = 0; j < start.count; ++j) {
        if (start.medium_ids[j] == s.boundary && followed[j] == s.hit.instance_id) open[j] = false;
      }
    }
    update_set(c.media, cur, nullptr, s.boundary, s.hit.instance_id, s.hit.is_back_face);
    o = offset_ray_origin(s.hit.position, s.hit.geometric_normal, v);
  }
  out.blocked = true;  // a walk that never ends is taken as blocked
  return out;
}

double media_transmittance(const TransportContext& c, const float3& o, const float3& v,
                           const ActiveMediumSet& start, int crossings, int64_t& queries,
                           const ProjectionIndex* zenith, double min_transmittance) {
  const double opaque = min_transmittance > 0.0
                            ? std::fmin(-std::log(min_transmittance), kOpaqueOpticalDepth)
                            : kOpaqueOpticalDepth;
  const MediaTransmittance t =
      walk_transmittance(c, o, v, start, crossings, nullptr, queries, zenith, opaque);
  if (t.blocked) return 0.0;
  const double value = std::exp(-t.optical_depth);
  return value < min_transmittance ? 0.0 : value;
}

FreePathSample sample_free_path(const OpticalMediaTable& table, const ActiveMediumSet& active,
                                float3 direction, float distance_sample, float selection_sample) {
  FreePathSample out;
  if (active.count < 1 || active.count > kMaxActiveMedia) return out;
  MediaView media;
  media.media = table.media.data();
  media.n_media = static_cast<int32_t>(table.media.size());
  out.extinction = combined_extinction(media.media, media.n_media, active, direction);
  if (!(out.extinction > 0.0f)) return out;
  out.distance = free_path(out.extinction, distance_sample);
  out.entry =
      select_entry(media, active, projection_index(direction), out.extinction, selection_sample);
  return out;
}

}  // namespace tesk::embree
