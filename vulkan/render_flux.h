#pragma once

#include <cstdint>
#include <vector>

#include "core/host/progress.h"
#include "embree/render_flux.h"
#include "embree/render_forward.h"
#include "vulkan/scene_manager.h"

namespace tesk::vulkan {

/// Forward photon flux on the device: the CPU flux (same photon streams, emission, scattering,
/// roulette, tile crossings, grid and tallies "downwelling", "upwelling" and, with `decompose`,
/// their sun/sky split of downwelling). In scenes with optical turbid media the photons walk
/// the media as the CPU's do (leaf interactions, boundaries, containment) and the run also
/// tallies the absorbed grid with its sun/sky split, the absorption per primitive, on the
/// terrain (instance 0), and the escaped and emitted energy. Photons run in dispatches of up
/// to 2^22; `progress` gets (photons done, num_photons, elapsed ms) after each. Throws the CPU
/// flux's argument errors, std::invalid_argument "Vulkan flux supports 1 to 32 bands",
/// std::length_error "Vulkan flux currently supports at most 2^32-1 photons per run", and
/// std::runtime_error ending "No fallback was performed." for material kinds other than
/// diffuse, RPV and diffuse-transmitting.
/// `interrupt` (may be empty) is polled before every dispatch.
embree::FluxResult render_flux(VulkanSceneManager& scene, int nx, int ny, int64_t num_photons,
                               int num_bands, float prob_sun, int max_bounces, int max_depth,
                               int rr_depth, bool decompose, const ProgressCallback& progress,
                               const InterruptCheck& interrupt = {});

/// Forward radiation field on the device: the CPU field (same photons; absorbed energy in the
/// layered grid, per primitive with `per_leaf`, on the terrain instance, and with view
/// directions (3 floats each) the next-event BRF and the upward albedo). In scenes with
/// optical turbid media the photons walk the media, leaf absorption goes to the layered grid,
/// and the run adds the grid's sun/sky split and the escaped and emitted energy; view
/// directions are refused there (std::runtime_error ending "No fallback was performed.").
/// Record optical_forward, or optical_brf with view directions. Throws the CPU field's
/// argument errors, the photon limit of render_flux and "Vulkan forward radiation supports 1
/// to 32 bands", and refuses other material kinds as render_flux does.
/// Progress and interruption as render_flux.
embree::ForwardFieldResult render_forward_field(
    VulkanSceneManager& scene, int nx, int ny, const std::vector<float>& layer_heights,
    int64_t num_photons, int num_bands, bool per_leaf, float prob_sun,
    const std::vector<float>& brf_directions, int max_depth, int rr_depth, int terrain_instance_id,
    const ProgressCallback& progress, const InterruptCheck& interrupt = {});

}  // namespace tesk::vulkan
