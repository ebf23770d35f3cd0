#pragma once

// The media walker of core/media_walk.h run through Embree: the entry points every CPU
// workflow calls. The walk itself lives in core/media_walk.h (one copy for the host and the
// device); this file binds it to the Embree scene manager and a resolved transport context.

#include <cstdint>

#include "core/media_walk.h"
#include "core/optical_media.h"
#include "core/pcg32.h"
#include "core/periodic.h"
#include "core/surface_photon.h"
#include "core/transport_constants.h"
#include "embree/illumination.h"
#include "embree/scene_manager.h"
#include "embree/transport_context.h"

namespace tesk::embree {

using tesk::FreePathSample;
using tesk::MediaTransmittance;
using tesk::MediumEventKind;
using tesk::MediumTraceEvent;
using tesk::PathMedia;
using tesk::SourcePathInMedia;

/// The walker of a scene through Embree, with its media, tiling and box; `shading` says
/// whether surface hits of a step carry the shading normal.
MediaWalk<EmbreeTracer> embree_media_walk(const EmbreeSceneManager& scene, bool shading = true);
/// The walker of a resolved context (its scene, media, tiling, box and choice of normals).
MediaWalk<EmbreeTracer> embree_media_walk(const TransportContext& c);

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

/// Moves a path across the tile wall `exit` of the ray (o, d): the point on the opposite wall,
/// stepped kBoundaryStep into the tile. When the path was inside media, containment is run
/// again there (counted in `queries`); media of the same kind keep their segment lengths.
float3 wrap_path(const TransportContext& c, const float3& o, const float3& d, const TileExit& exit,
                 PathMedia& path, int64_t& queries);

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

/// The free-path part of a step on its own (core/media_walk.h sample_free_path) for the media
/// table of a scene.
FreePathSample sample_free_path(const OpticalMediaTable& media, const ActiveMediumSet& active,
                                float3 direction, float distance_sample, float selection_sample);

}  // namespace tesk::embree
