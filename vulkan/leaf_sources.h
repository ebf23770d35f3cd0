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
  Buffer resident_ints;    ///< Resident Turbid sources (binding 23).
  Buffer resident_floats;  ///< Their boxes and bin values (binding 24).
  Buffer resident_error;   ///< The first failed collision's code (binding 25).
  bool has_resident = false;
};

/// Uploads the per-instance thermal state and SIF source fields of `scene` as the CPU renderer
/// takes them (embree::make_transport_context: set, consistent and, for the SIF fields, of the
/// render's band count; placeholders otherwise) and, in thermal and SIF-only renders, the
/// resident Turbid sources of embree::resolve_resident_leaf_sources (whose errors it throws):
/// per instance its kind, parts and field, and per field its owners, cell trees and per-bin
/// values (the source split of a temperature field, the face radiances of an observation source).
LeafSourceBuffers upload_leaf_sources(VulkanSceneManager& scene);

/// Throws the error of the first collision the resident lookups could not serve (the CPU
/// renderer's message and kind), if any; call after the render's dispatches.
void check_resident_lookups(const LeafSourceBuffers& buffers);

}  // namespace tesk::vulkan
