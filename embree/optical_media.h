#pragma once

#include <cstdint>

#include "core/optical_media.h"
#include "core/pcg32.h"
#include "core/periodic.h"
#include "embree/scene_manager.h"

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
  int32_t kind = 0;          ///< MediumEventKind value.
  HitRecord hit{};           ///< Closest hit of the step's ray.
  TileExit exit{};           ///< Tile exit of the step's ray (axis -1: none).
  float distance = 1e16f;    ///< Distance from the step origin to the event.
  float3 position{};         ///< World position of the event.
  int32_t medium_id = -1;    ///< Medium of the event, -1 when none.
  int32_t instance_id = -1;  ///< Instance of the event (boundary or hit), -1 when none.
};

/// The media containing `point`, found by walking along `direction` and letting the first
/// boundary met on each instance decide (a boundary left through is one we are inside).
/// At most 8 media and 128 boundary instances are considered.
ActiveMediumSet active_optical_media(const EmbreeSceneManager& scene, float3 point,
                                     float3 direction);

/// One step of a path in a scene with media: the closest of a surface hit, a tile crossing
/// (while fewer than `num_repetitions` crossings were made) and, inside the active media, a
/// leaf interaction at an exponentially distributed free path. Draws zero, one or two numbers
/// from `stream`.
MediumTraceEvent trace_media_step(const EmbreeSceneManager& scene, float3 origin, float3 direction,
                                  const ActiveMediumSet& active, int crossings, Pcg32& stream);

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
