#pragma once

// Scene snapshots: a byte string holding everything the workflows read from a scene, from
// which an equal scene is rebuilt in another process (pickling, distributed runs). A restored
// scene gives the same transport results bit for bit.

#include <string>
#include <string_view>

#include "embree/scene_manager.h"

namespace tesk::embree {

/// The description, meshes, instances, optical media, attached per-primitive and per-instance
/// tables, the last committed joint thermo-physiology state, the per-primitive table flag and
/// whether the scene was built. Resident turbid domains are derived data tied to this process and
/// are not carried: a scene holding any throws std::invalid_argument "a scene holding turbid
/// domains cannot be snapshotted: build the domains again where the scene is restored".
std::string snapshot_scene(const EmbreeSceneManager& scene);

/// Replays a snapshot into `scene`, which must be new (no meshes, instances or materials:
/// std::invalid_argument "a snapshot is restored into a new scene" otherwise). Meshes,
/// instances, media and tables go through the scene's own checks; the scene is built when the
/// original was. Throws std::invalid_argument "not a scene snapshot (or one from another
/// version)" for bytes that are not a complete snapshot, and what the checks throw for a
/// snapshot whose contents they refuse.
void restore_scene(EmbreeSceneManager& scene, std::string_view bytes);

}  // namespace tesk::embree
