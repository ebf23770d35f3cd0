#pragma once

// The one walker of paths through optical turbid media, used by every workflow: containment
// (which media hold a point), the combined free-path step of a path, the crossing of a medium
// boundary or a tile wall (the only places where the set of media around a path changes), and
// the transmittance walk toward the sun or a view direction.
//
// Media are closed meshes whose triangles are not surfaces: a path enters or leaves the medium
// there. A path that wraps across a tile wall continues in the neighbouring copy of the scene,
// where a medium straddling the wall is another instance: containment is run again there, so
// the path carries the media it is really inside.

#include <cstdint>

#include "core/optical_media.h"
#include "core/pcg32.h"
#include "core/periodic.h"
#include "core/surface_photon.h"
#include "core/transport_constants.h"
#include "embree/scene_manager.h"
#include "embree/transport_context.h"

namespace tesk::embree {

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
  void advance(float distance) {
    for (int32_t i = 0; i < set.count; ++i) observed[i] += distance;
  }
  /// The path changed direction: a new straight segment starts.
  void new_segment() {
    for (float& o : observed) o = 0.0f;
  }
};

/// The media containing `point`, found by walking along `direction` and letting the first
/// boundary met on each instance decide (a boundary left through is one we are inside).
/// Points outside the scene box are in no medium. At most 8 media and 128 boundary instances
/// are considered.
ActiveMediumSet active_optical_media(const EmbreeSceneManager& scene, float3 point,
                                     float3 direction);

/// One step of a path in a scene with media: the closest of a surface hit, a tile crossing
/// (while fewer than `num_repetitions` crossings were made) and, inside the active media, a
/// leaf interaction at an exponentially distributed free path. Draws zero, one or two numbers
/// from `stream`. The free path is drawn first and bounds the closest-hit query, so the `hit`
/// of an Interaction event is a miss (nothing lies before the leaf). Surface hits carry the
/// shading normal unless the context turns `shading_normals` off.
MediumTraceEvent media_step(const TransportContext& c, float3 origin, float3 direction,
                            const ActiveMediumSet& active, int crossings, Pcg32& stream);
/// The same step with the projection index of `direction` resolved by the caller (a path
/// keeps its direction across boundaries and walls, so it resolves it once per direction).
MediumTraceEvent media_step(const TransportContext& c, float3 origin, float3 direction,
                            ProjectionIndex zenith, const ActiveMediumSet& active, int crossings,
                            Pcg32& stream);

/// The geometric part of a step, without free-path sampling: the closest of a surface hit, a
/// medium boundary and a tile crossing. For walks that integrate the media along the ray
/// instead of sampling interactions in them (LiDAR returns).
MediumTraceEvent media_boundary_step(const TransportContext& c, float3 origin, float3 direction,
                                     int crossings);

/// The same step for a scene without a resolved context (diagnostics and tests).
MediumTraceEvent trace_media_step(const EmbreeSceneManager& scene, float3 origin, float3 direction,
                                  const ActiveMediumSet& active, int crossings, Pcg32& stream);

/// Enters or leaves medium `medium` of `instance` at a boundary hit on the `back_face` side.
/// Leaving a medium the set does not hold, or entering a ninth, changes nothing.
void cross_medium_boundary(const MediaView& media, PathMedia& path, int32_t medium,
                           int32_t instance, bool back_face);

/// Moves a path across the tile wall `exit` of the ray (o, d): the point on the opposite wall,
/// stepped kBoundaryStep into the tile. When the path was inside media, containment is run
/// again there (counted in `queries`); media of the same kind keep their segment lengths.
float3 wrap_path(const TransportContext& c, const float3& o, const float3& d, const TileExit& exit,
                 PathMedia& path, int64_t& queries);

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

/// Walks from `o` (inside the media of `start`) along the unit direction `v` out of the scene,
/// crossing tile walls as a path does (`crossings` of the allowed wraps being used already).
/// With `source` given, fills the per-entry lengths and depths of `start`. Counts its closest-hit
/// and containment queries in `queries`. `zenith`, when given, is projection_index(v) resolved
/// by the caller (walks toward the sun share one). Without `source`, a walk whose optical depth
/// passes `opaque_depth` stops there as blocked.
MediaTransmittance walk_transmittance(const TransportContext& c, float3 o, const float3& v,
                                      const ActiveMediumSet& start, int crossings,
                                      SourcePathInMedia* source, int64_t& queries,
                                      const ProjectionIndex* zenith = nullptr,
                                      double opaque_depth = transport::kOpaqueOpticalDepth);

/// exp(-optical depth), 0 when blocked: the transmittance along a view or source direction
/// without the hotspot correction. A caller that counts transmittances below `min_transmittance`
/// as 0 passes it, and the walk stops as soon as it falls below.
double media_transmittance(const TransportContext& c, const float3& o, const float3& v,
                           const ActiveMediumSet& start, int crossings, int64_t& queries,
                           const ProjectionIndex* zenith = nullptr, double min_transmittance = 0.0);

/// The free-path part of a step on its own: extinction of the active media along `direction`,
/// the distance -ln(max(1 - distance_sample, 1e-7)) / extinction (1e16 when the extinction is
/// zero) and the entry chosen with probability proportional to its extinction.
struct FreePathSample {
  float extinction = 0.0f;  ///< Combined extinction (1/m).
  float distance = 1e16f;   ///< Sampled free path.
  int32_t entry = -1;       ///< Chosen entry of the active set, -1 when the extinction is 0.
};
FreePathSample sample_free_path(const OpticalMediaTable& media, const ActiveMediumSet& active,
                                float3 direction, float distance_sample, float selection_sample);

}  // namespace tesk::embree
