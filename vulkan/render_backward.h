#pragma once

#include "core/scene_types.h"
#include "embree/backward_integrator.h"
#include "vulkan/scene_manager.h"

namespace tesk::vulkan {

/// Renders the scene's sensor by backward path tracing on the device: the CPU renderer's
/// surface transport (same streams, sensors, materials, sun, skies, thermal and SIF emission,
/// Russian roulette from `rr_depth`) with `spp` passes and paths of at most `max_depth`
/// interactions (TESK_MAX_DEPTH overrides it). Products as requested; the execution record is
/// vulkan / optical_backward / "vulkan.ray_query.optical_backward". Throws std::runtime_error
/// "Vulkan: build the scene before rendering" when not built, std::invalid_argument
/// "Vulkan backward rendering supports 1 to 32 bands" and "max_output_order must be
/// non-negative", and std::runtime_error ending "No fallback was performed." for scenes with
/// optical turbid media, periodic tiling or a terrain-following camera.
embree::OpticalImageResult render_backward(VulkanSceneManager& scene, int spp, int max_depth,
                                           int rr_depth,
                                           const backend::OpticalProductRequest& request);

}  // namespace tesk::vulkan
