#pragma once

// The one walker of paths through optical turbid media, shared by the host and the device:
// containment (which media hold a point), the combined free-path step of a path, the crossing
// of a medium boundary or a tile wall (the only places where the set of media around a path
// changes), and the transmittance walk toward the sun or a view direction.
//
// Media are closed meshes whose triangles are not surfaces: a path enters or leaves the medium
// there. A path that wraps across a tile wall continues in the neighbouring copy of the scene,
// where a medium straddling the wall is another instance: containment is run again there, so
// the path carries the media it is really inside.
//
// The walk is written once over a tracer with two closest-hit queries: `trace` (hits carry the
// interpolated shading normal) and `trace_geometric` (hits carry the geometric normal only).
// The host runs it through Embree, the CUDA kernels through the BVH of core/bvh.h.

#include <cmath>
#include <cstdint>

#include "core/host_device.h"
#include "core/illumination.h"
#include "core/optical_media.h"
#include "core/pcg32.h"
#include "core/periodic.h"
#include "core/scene_types.h"
#include "core/surface_photon.h"
#include "core/transport_constants.h"
#include "core/vec.h"

namespace tesk {

/// The optical turbid media of a scene as plain arrays.
struct MediaView {
  const OpticalMediumRecord* media = nullptr;    ///< Medium records.
  int32_t n_media = 0;                           ///< Entries of `media`.
  const int32_t* material_medium_ids = nullptr;  ///< Medium bounded by each material, or -1.
  int32_t n_material_ids = 0;                    ///< Entries of `material_medium_ids`.

  /// The medium whose boundary is made of material `material_id`, or -1.
  TESK_HOST_DEVICE int32_t medium_of(int32_t material_id) const {
    if (material_id < 0 || material_id >= n_material_ids) return -1;
    const int32_t m = material_medium_ids[material_id];
    return m >= 0 && m < n_media ? m : -1;
  }
  /// Whether a hit on the boundary of medium `m` leaves it: the back of outward-facing
  /// triangles (orientation +1) or the front of inward-facing ones.
  TESK_HOST_DEVICE bool leaves(int32_t m, bool back_face) const {
    return media[m].orientation == (back_face ? 1 : -1);
  }
};

/// What ended one step of the combined free-path trace.
enum class MediumEventKind : int32_t {
  Escape = 0,          ///< Nothing hit, no tile crossing: the path leaves the scene.
  Surface = 1,         ///< An opaque or leaf surface that bounds no medium.
  MediumBoundary = 2,  ///< A triangle of a medium's closed boundary (enter or leave).
  TileCrossing = 3,    ///< A wall of the periodic tile.
  Interaction = 4      ///< A leaf inside a medium, sampled from the free-path distribution.
};

/// Result of one step of the combined free-path trace.
struct MediumTraceEvent {
  MediumEventKind kind = MediumEventKind::Escape;  ///< What ended the step.
  HitRecord hit{};                                 ///< Closest hit of the step's ray.
  TileExit exit{};                                 ///< Tile exit of the step's ray (axis -1: none).
  float distance = 1e16f;                          ///< Distance from the step origin to the event.
  float3 position{};                               ///< World position of the event.
  int32_t medium_id = -1;                          ///< Medium of the event, -1 when none.
  int32_t instance_id = -1;  ///< Instance of the event (boundary or hit), -1 when none.
};

/// The media around the current point of a path, with the length of the path's current
/// straight segment inside each (the observation distance of the hotspot correction).
struct PathMedia {
  ActiveMediumSet set{};                 ///< Media containing the point.
  float observed[kMaxActiveMedia] = {};  ///< Segment length inside each entry.

  /// The path moved `distance` along its current segment.
  TESK_HOST_DEVICE void advance(float distance) {
    for (int32_t i = 0; i < set.count; ++i) observed[i] += distance;
  }
  /// The path changed direction: a new straight segment starts.
  TESK_HOST_DEVICE void new_segment() {
    for (float& o : observed) o = 0.0f;
  }
};

/// Per-entry record of a transmittance walk from a point inside media: how long the walk
/// stayed in each medium of the starting set and the optical depth it met there (the inputs of
/// the hotspot correction).
struct SourcePathInMedia {
  float length[kMaxActiveMedia] = {};  ///< Walk length inside the entry's medium.
  float depth[kMaxActiveMedia] = {};   ///< Optical depth met there.
};

/// Result of a transmittance walk.
struct MediaTransmittance {
  bool blocked = false;        ///< A surface that bounds no medium stops the walk.
  double optical_depth = 0.0;  ///< Summed extinction times length over every medium crossed.
};

namespace media_detail {

/// The entry whose share of the combined extinction `sigma` contains selection_sample * sigma.
TESK_HOST_DEVICE inline int32_t select_entry(const MediaView& media, const ActiveMediumSet& active,
                                             ProjectionIndex direction, float sigma,
                                             float selection_sample) {
  float x = sigma * std::fmin(std::fmax(selection_sample, 0.0f), 0.99999994f);
  for (int32_t i = 0; i < active.count; ++i) {
    const int32_t id = active.medium_ids[i];
    if (id >= 0 && id < media.n_media) x -= medium_extinction(media.media[id], direction);
    if (x <= 0.0f) return i;
  }
  return active.count - 1;
}

/// Exponential free path of extinction `sigma` for a uniform `distance_sample`.
TESK_HOST_DEVICE inline float free_path(float sigma, float distance_sample) {
  const float x = 1.0f - distance_sample;
  return -std::log(x > 1e-7f ? x : 1e-7f) / sigma;
}

/// Adds or removes one (medium, instance) entry; `observed` (may be null) moves with the set.
TESK_HOST_DEVICE inline void update_set(const MediaView& media, ActiveMediumSet& set,
                                        float* observed, int32_t medium, int32_t instance,
                                        bool back_face) {
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

/// The geometric part of one step from o along d: the closest hit and, while the path may
/// still wrap, the tile exit. `limit` is the distance to whichever ends the step; a medium
/// boundary just before the wall yields to the wall, so a medium straddling the wall is entered
/// consistently on both sides.
struct WalkStep {
  HitRecord hit{};
  TileExit exit{};
  int32_t boundary = -1;  ///< Medium bounded by the hit triangle, -1 when none.
  bool crossing = false;  ///< The step ends at the tile wall.
  float limit = transport::kFarDistance;
};

}  // namespace media_detail

/// Enters or leaves medium `medium` of `instance` at a boundary hit on the `back_face` side.
/// Leaving a medium the set does not hold, or entering a ninth, changes nothing.
TESK_HOST_DEVICE inline void cross_medium_boundary(const MediaView& media, PathMedia& path,
                                                   int32_t medium, int32_t instance,
                                                   bool back_face) {
  media_detail::update_set(media, path.set, path.observed, medium, instance, back_face);
}

/// The free-path part of a step on its own: extinction of the active media along `direction`,
/// the distance -ln(max(1 - distance_sample, 1e-7)) / extinction (1e16 when the extinction is
/// zero) and the entry chosen with probability proportional to its extinction.
struct FreePathSample {
  float extinction = 0.0f;  ///< Combined extinction (1/m).
  float distance = 1e16f;   ///< Sampled free path.
  int32_t entry = -1;       ///< Chosen entry of the active set, -1 when the extinction is 0.
};
TESK_HOST_DEVICE inline FreePathSample sample_free_path(const MediaView& media,
                                                        const ActiveMediumSet& active,
                                                        float3 direction, float distance_sample,
                                                        float selection_sample) {
  FreePathSample out;
  if (active.count < 1 || active.count > kMaxActiveMedia) return out;
  out.extinction = combined_extinction(media.media, media.n_media, active, direction);
  if (!(out.extinction > 0.0f)) return out;
  out.distance = media_detail::free_path(out.extinction, distance_sample);
  out.entry = media_detail::select_entry(media, active, projection_index(direction), out.extinction,
                                         selection_sample);
  return out;
}

/// The media walk of one scene over `Tracer`: its media, tiling and box, and whether surface
/// hits of a step carry the shading normal.
template <class Tracer>
struct MediaWalk {
  Tracer tracer{};
  MediaView media{};
  TileView tiles{};
  SceneBounds bounds{};
  bool shading_normals = true;

  /// The media containing `point`, found by walking along `direction` and letting the first
  /// boundary met on each instance decide (a boundary left through is one we are inside).
  /// Points outside the scene box are in no medium. At most kMaxActiveMedia media and
  /// kMaxContainmentInstances boundary instances are considered.
  TESK_HOST_DEVICE ActiveMediumSet containment(float3 point, float3 direction) const {
    using namespace transport;
    ActiveMediumSet result;
    // A closed medium lies inside the scene box, so a point outside it is in no medium; this
    // saves the walk for camera rays that start above the scene.
    const SceneBounds& box = bounds;
    if (media.n_media == 0 ||
        !(point.x >= box.min_x && point.x <= box.max_x && point.y >= box.min_y &&
          point.y <= box.max_y && point.z >= box.min_z && point.z <= box.max_z)) {
      return result;
    }
    int32_t met[kMaxContainmentInstances];
    int n_met = 0;
    for (int step = 0; step < kMaxContainmentInstances; ++step) {
      const HitRecord h = tracer.trace_geometric(point, direction, kRayTMin, kRayTMax);
      if (!h.hit) break;
      const int32_t k = media.medium_of(h.material_id);
      if (k >= 0) {
        bool seen = false;
        for (int i = 0; i < n_met; ++i) seen |= met[i] == h.instance_id;
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

  /// The geometric part of a step (see media_detail::WalkStep), the closest-hit query bounded
  /// by `t_max`.
  TESK_HOST_DEVICE media_detail::WalkStep walk_step(const float3& o, const float3& d, int crossings,
                                                    float t_max = transport::kRayTMax,
                                                    bool shading = false) const {
    using namespace transport;
    media_detail::WalkStep s;
    s.hit = shading ? tracer.trace(o, d, kRayTMin, t_max)
                    : tracer.trace_geometric(o, d, kRayTMin, t_max);
    bool may_cross = false;
    if (tiles.periodic && crossings < tiles.num_repetitions) {
      s.exit = cross_tile(o, d, tiles.x, tiles.y);
      may_cross = s.exit.axis >= 0;
    }
    if (s.hit.hit) {
      s.limit = s.hit.t;
      s.boundary = media.medium_of(s.hit.material_id);
      if (may_cross && (s.hit.t > s.exit.t ||
                        (s.boundary >= 0 && s.hit.t + kWallBoundaryTolerance >= s.exit.t))) {
        s.crossing = true;
        s.limit = std::fmin(s.hit.t, s.exit.t);
      }
    } else if (may_cross) {
      s.crossing = true;
      s.limit = s.exit.t;
    }
    return s;
  }

  /// One step of a path: the closest of a surface hit, a tile crossing (while fewer than
  /// `num_repetitions` crossings were made) and, inside the active media, a leaf interaction at
  /// an exponentially distributed free path. Draws zero, one or two numbers from `stream`. The
  /// free path is drawn first and bounds the closest-hit query, so the `hit` of an Interaction
  /// event is a miss (nothing lies before the leaf). `zenith_hint`, when given, is
  /// projection_index(direction) resolved by the caller.
  TESK_HOST_DEVICE MediumTraceEvent step(float3 origin, float3 direction,
                                         const ProjectionIndex* zenith_hint,
                                         const ActiveMediumSet& active, int crossings, bool shading,
                                         Pcg32& stream) const {
    using namespace transport;
    // Inside media the free path is drawn first and bounds the closest-hit query: a surface, a
    // boundary or a wall farther than the leaf met on the way does not matter, and a short
    // query is much cheaper than one through the whole scene. The outcome is the one of tracing
    // to infinity and comparing: a hit beyond the free path (not reported) would lose to the
    // leaf, and a wall before the free path still ends the step there.
    float sigma = 0.0f;
    float t_free = kRayTMax;
    ProjectionIndex zenith{};
    if (active.count >= 1 && active.count <= kMaxActiveMedia) {
      zenith = zenith_hint != nullptr ? *zenith_hint : projection_index(direction);
      sigma = combined_extinction(media.media, media.n_media, active, zenith);
      if (sigma > 0.0f) t_free = media_detail::free_path(sigma, stream.uniform());
    }
    const media_detail::WalkStep s = walk_step(origin, direction, crossings, t_free, shading);
    MediumTraceEvent ev;
    ev.hit = s.hit;
    ev.exit = s.exit;
    if (sigma > 0.0f && t_free < s.limit) {
      const int32_t entry =
          media_detail::select_entry(media, active, zenith, sigma, stream.uniform());
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

  /// The step with the walk's own choice of normals.
  TESK_HOST_DEVICE MediumTraceEvent step(float3 origin, float3 direction,
                                         const ProjectionIndex* zenith_hint,
                                         const ActiveMediumSet& active, int crossings,
                                         Pcg32& stream) const {
    return step(origin, direction, zenith_hint, active, crossings, shading_normals, stream);
  }

  /// The geometric part of a step, without free-path sampling: the closest of a surface hit, a
  /// medium boundary and a tile crossing (for walks that integrate the media along the ray).
  TESK_HOST_DEVICE MediumTraceEvent boundary_step(float3 origin, float3 direction,
                                                  int crossings) const {
    // With no active media the step samples no free path, so the stream is never drawn from.
    Pcg32 unused;
    return step(origin, direction, nullptr, ActiveMediumSet{}, crossings, shading_normals, unused);
  }

  /// The containment of the point just across a wall; entries of a medium kind the old set held
  /// take over its segment length (the straight segment goes on in the copy of the medium).
  TESK_HOST_DEVICE ActiveMediumSet after_wrap(const float3& p, const float3& d,
                                              const ActiveMediumSet& old, const float* old_observed,
                                              float* new_observed, int64_t& queries) const {
    ++queries;
    const ActiveMediumSet now = containment(p, d);
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

  /// Moves a path across the tile wall `exit` of the ray (o, d): the point on the opposite
  /// wall, stepped kBoundaryStep into the tile. When the path was inside media, containment is
  /// run again there (counted in `queries`); media of the same kind keep their segment lengths.
  TESK_HOST_DEVICE float3 wrap_path(const float3& o, const float3& d, const TileExit& exit,
                                    PathMedia& path, int64_t& queries) const {
    const float3 p = wrap_at_exit(o, d, exit, tiles.x, tiles.y) + transport::kBoundaryStep * d;
    if (path.set.count > 0) {
      float observed[kMaxActiveMedia] = {};
      path.set = after_wrap(p, d, path.set, path.observed, observed, queries);
      for (int32_t i = 0; i < kMaxActiveMedia; ++i) path.observed[i] = observed[i];
    }
    return p;
  }

  /// Walks from `o` (inside the media of `start`) along the unit direction `v` out of the
  /// scene, crossing tile walls as a path does (`crossings` of the allowed wraps being used
  /// already). With `source` given, fills the per-entry lengths and depths of `start`. Counts
  /// its closest-hit and containment queries in `queries`. `zenith_hint`, when given, is
  /// projection_index(v) resolved by the caller. Without `source`, a walk whose optical depth
  /// passes `opaque_depth` stops there as blocked.
  TESK_HOST_DEVICE MediaTransmittance transmittance_walk(
      float3 o, const float3& v, const ActiveMediumSet& start, int crossings,
      SourcePathInMedia* source, int64_t& queries, const ProjectionIndex* zenith_hint = nullptr,
      double opaque_depth = transport::kOpaqueOpticalDepth) const {
    using namespace transport;
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
      nudge_into_tile(tiles, o, v);
      if (cur.count == 0 && escapes_upward(tiles, o, v)) return out;
      const media_detail::WalkStep s = walk_step(o, v, crossings);
      ++queries;
      const float seg = s.crossing || s.hit.hit ? s.limit : 0.0f;
      for (int32_t i = 0; i < cur.count; ++i) {
        const int32_t m = cur.medium_ids[i];
        if (m < 0 || m >= media.n_media) continue;
        const double t = static_cast<double>(medium_extinction(media.media[m], zenith)) * seg;
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
        o = wrap_at_exit(o, v, s.exit, tiles.x, tiles.y) + kBoundaryStep * v;
        ++crossings;
        if (cur.count > 0) {
          const ActiveMediumSet before = cur;
          cur = after_wrap(o, v, before, nullptr, nullptr, queries);
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
      if (media.leaves(s.boundary, s.hit.is_back_face)) {
        for (int32_t j = 0; j < start.count; ++j) {
          if (start.medium_ids[j] == s.boundary && followed[j] == s.hit.instance_id) {
            open[j] = false;
          }
        }
      }
      media_detail::update_set(media, cur, nullptr, s.boundary, s.hit.instance_id,
                               s.hit.is_back_face);
      o = offset_ray_origin(s.hit.position, s.hit.geometric_normal, v);
    }
    out.blocked = true;  // a walk that never ends is taken as blocked
    return out;
  }

  /// exp(-optical depth), 0 when blocked: the transmittance along a view or source direction
  /// without the hotspot correction. A caller that counts transmittances below
  /// `min_transmittance` as 0 passes it, and the walk stops as soon as it falls below.
  TESK_HOST_DEVICE double transmittance(const float3& o, const float3& v,
                                        const ActiveMediumSet& start, int crossings,
                                        int64_t& queries,
                                        const ProjectionIndex* zenith_hint = nullptr,
                                        double min_transmittance = 0.0) const {
    const double opaque = min_transmittance > 0.0 ? std::fmin(-std::log(min_transmittance),
                                                              transport::kOpaqueOpticalDepth)
                                                  : transport::kOpaqueOpticalDepth;
    const MediaTransmittance t =
        transmittance_walk(o, v, start, crossings, nullptr, queries, zenith_hint, opaque);
    if (t.blocked) return 0.0;
    const double value = std::exp(-t.optical_depth);
    return value < min_transmittance ? 0.0 : value;
  }
};

}  // namespace tesk
