#pragma once

#include <span>

#include "embree/energy_balance.h"
#include "vulkan/scene_manager.h"

namespace tesk::vulkan {

/// Single-band energy balance on the device: the CPU estimator (same per-primitive streams,
/// face samples, tile crossings, longwave emission, albedo-weighted sky and sun, direct sun)
/// with one invocation per primitive. Top and bottom irradiances (W m^-2) per primitive; the
/// bottom is empty unless `two_sided`. Throws the CPU estimator's argument errors and
/// std::runtime_error "Vulkan: build the scene before the energy balance" when not built.
embree::EnergyBalanceResult render_energy_balance(VulkanSceneManager& scene, int n_samples,
                                                  int band_type, float sun_irradiance,
                                                  float sky_diffuse_radiance, float sky_lw_radiance,
                                                  float3 sun_dir, bool two_sided,
                                                  std::span<const float> sw_albedos);

/// Multiband energy balance on the device: the CPU estimator (same streams, multi-bounce paths
/// through reflecting and transmitting surfaces, split optics or albedos, the call's
/// directional or isotropic sky or the scene's own sky, direct sun and sunlit fractions).
/// Record vulkan / radiation_field_process / "vulkan.ray_query.radiation_field_process".
/// Throws std::invalid_argument "Vulkan fused energy balance supports 1 to 32 bands" and the
/// CPU estimator's argument errors.
embree::EnergyBalanceMultibandResult render_energy_balance_multiband(
    VulkanSceneManager& scene, int n_bands, int n_samples, int max_depth,
    std::span<const float> sun_irradiance, std::span<const float> sky_diffuse_radiance,
    std::span<const float> sky_directional_table, float3 sun_dir, bool two_sided,
    std::span<const float> sw_albedos, std::span<const float> sw_reflectance,
    std::span<const float> sw_back_reflectance, std::span<const float> sw_transmittance);

}  // namespace tesk::vulkan
