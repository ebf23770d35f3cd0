#pragma once

#include "vulkan/context.h"
#include "vulkan/scene_manager.h"

namespace tesk::vulkan {

/// The emission sources of the leaves inside a scene's optical turbid media as
/// shaders/leaf_sources.glsl reads them at bindings 19..22: their layout, the per-instance
/// thermal state and the per-instance SIF source fields (floats and grid dimensions).
struct LeafSourceBuffers {
  Buffer params;
  Buffer thermal;
  Buffer sif;
  Buffer sif_grid;
};

/// Uploads the per-instance thermal state and SIF source fields of `scene` as the CPU renderer
/// takes them (embree::make_transport_context: set, consistent and, for the SIF fields, of the
/// render's band count; placeholders otherwise). In thermal and SIF-only renders, a medium whose
/// instance carries a resident turbid source (embree/resident_leaf_sources.h) would emit from
/// it, which the device does not look up: throws std::runtime_error "Vulkan backward rendering
/// supports leaves emitting from the per-instance thermal state and SIF source fields, not from
/// resident Turbid sources. No fallback was performed.", after the resolution's own errors
/// (mismatched or stale observation sources).
LeafSourceBuffers upload_leaf_sources(VulkanSceneManager& scene);

}  // namespace tesk::vulkan
