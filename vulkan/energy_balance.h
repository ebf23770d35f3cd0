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

}  // namespace tesk::vulkan
