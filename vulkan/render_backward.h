#pragma once

#include <cstdint>
#include <vector>

#include "core/host/progress.h"
#include "core/scene_types.h"
#include "embree/backward_integrator.h"
#include "embree/render_brf.h"
#include "vulkan/scene_manager.h"

namespace tesk::vulkan {

/// Renders the scene's sensor by backward path tracing on the device: the CPU renderer's
/// surface transport (same streams, sensors, materials, sun, skies, thermal and SIF emission,
/// Russian roulette from `rr_depth`) with `spp` passes and paths of at most `max_depth`
/// interactions (TESK_MAX_DEPTH overrides it). Products as requested; the execution record is
/// vulkan / optical_backward / "vulkan.ray_query.optical_backward". Throws std::runtime_error
/// "Vulkan: build the scene before rendering" when not built, std::invalid_argument
/// "Vulkan backward rendering supports 1 to 32 bands" and "max_output_order must be
/// non-negative". Scenes with optical turbid media run the turbid variant
/// (backward_optical_turbid.spv, entry backwardOpticalTurbid): the CPU's media walk (containment
/// of the camera ray, combined free-path steps, leaf scattering, the sun through the media with
/// the hotspot correction, tile walls crossed with containment in the neighbouring copy) with
/// the same streams; in thermal and SIF-only modes the leaves emit from the per-instance thermal
/// state, SIF source fields and resident Turbid sources (vulkan/leaf_sources.h), and a collision
/// the resident sources cannot serve throws the CPU's error after the dispatches. Prints one
/// summary line. Passes run in
/// dispatches of about 2^20 samples; `progress` (may be empty) gets (passes done, spp, elapsed ms)
/// after each and `interrupt` (may be empty) is polled before each, so Ctrl-C stops a long render
/// between dispatches.
embree::OpticalImageResult render_backward(VulkanSceneManager& scene, int spp, int max_depth,
                                           int rr_depth,
                                           const backend::OpticalProductRequest& request,
                                           const ProgressCallback& progress = {},
                                           const InterruptCheck& interrupt = {});

/// The same render for the given sensor instead of the scene's, without the summary line and
/// without the TESK_MAX_DEPTH override (the caller applies it).
embree::OpticalImageResult render_image(VulkanSceneManager& scene, const SensorData& sensor,
                                        int spp, int max_depth, int rr_depth,
                                        const backend::OpticalProductRequest& request,
                                        const ProgressCallback& progress = {},
                                        const InterruptCheck& interrupt = {});

/// Backward BRF toward view directions on the device: the CPU BRF (same samples per pixel,
/// per-direction sensors, tile and normalisation, same messages) with each direction rendered
/// by render_image. Execution record vulkan / optical_brf / "vulkan.ray_query.optical_brf".
/// `progress` gets (photons done, num_photons, elapsed ms) after each direction; `interrupt`
/// is polled before every dispatch.
embree::BrfResult render_brf(VulkanSceneManager& scene, const std::vector<float>& directions,
                             int64_t num_photons, int max_depth, const ProgressCallback& progress,
                             const InterruptCheck& interrupt = {});

}  // namespace tesk::vulkan
