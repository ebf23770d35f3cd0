#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/host/execution.h"
#include "core/host/progress.h"
#include "vulkan/scene_manager.h"

namespace tesk::vulkan {

/// A microwave wavefront: lines of sight and the response tables the host evaluated (for
/// example with the soil and trunk evaluators of core/host/microwave) on the cosine grid
/// mu_i = i / (M - 1), i = 0..M - 1, M = `response_table_size`. All arrays are borrowed for the
/// call and read in C order.
struct MicrowaveWavefrontRequest {
  bool active_mode = false;                      ///< Backscatter instead of brightness temperature.
  int32_t max_depth = 4;                         ///< Surface interactions of one line of sight.
  float air_temperature = 290.0f;                ///< Air and atmosphere temperature (K).
  float atmosphere_tau = 0.0f;                   ///< Zenith optical depth of the atmosphere.
  int32_t soil_count = 0;                        ///< Soil classes.
  int32_t vegetation_count = 0;                  ///< Vegetation classes.
  int32_t trunk_count = 0;                       ///< Trunk classes.
  int32_t response_table_size = 0;               ///< M, cosine entries per class (at least 2).
  std::span<const float> origins;                ///< [n_rays][3].
  std::span<const float> directions;             ///< [n_rays][3] (any length, nonzero).
  std::span<const int32_t> material_map;         ///< [n_materials][2]: class, class index.
  std::span<const float> passive_soil_table;     ///< [soil][M][4]: T_B,H, T_B,V, Gamma_H, Gamma_V.
  std::span<const float> active_soil_table;      ///< [soil][M][4]: sigma_HH, HV, VH, VV.
  std::span<const float> smooth_soil_table;      ///< Empty or [soil][M][2]: smooth Gamma_H, V.
  std::span<const float> vegetation_parameters;  ///< [vegetation][3]: tau, albedo, T (K).
  std::span<const float> trunk_parameters;       ///< Empty or [trunk][7] trunk vectors.
  std::span<const float> trunk_response_table;   ///< [trunk][M][4] as the passive soil rows.
  std::span<const float> trunk_dihedral_scattering;  ///< [trunk][M][8]: direct, double bounce.
  std::span<const float> dihedral_ground_table;      ///< Empty or [soil][M][2].
  std::span<const float> lut_info;     ///< Mueller-matrix vegetation tables: must be empty.
  std::span<const float> mueller_lut;  ///< Must be empty.
  std::span<const float> cosine_cdf;   ///< Must be empty.
  std::span<const float> azimuth_cdf;  ///< Must be empty.
};

/// Result of a wavefront: 4 floats per ray, (T_B,H, T_B,V, 0, 0) in kelvin for passive runs,
/// (sigma_HH, sigma_HV, sigma_VH, sigma_VV) linear for active runs.
struct MicrowaveWavefrontResult {
  std::vector<float> values;
  int64_t n_rays = 0;
  bool active = false;
};

/// Traces the lines of sight on the device (microwave_wavefront.spv). The scene's material ids
/// are mapped to microwave classes by `material_map` (class 0 absorber, 1 soil, 2 vegetation,
/// 3 trunk, with the index into that class's tables; unmapped materials absorb).
///
/// Passive: each ray follows its specular chain (at most max_depth interactions): soil and
/// trunk surfaces add T_B,p(mu) and reflect the rest with Gamma_p(mu) (the table's own
/// rough-surface reflectivity); a vegetation surface is a layer crossed straight with
/// transmissivity g = exp(-tau / mu), adding (1 - albedo)(1 - g) T; absorbers and exhausted
/// paths add the air temperature; an upward escape sees T_air (1 - t) + 2.725 t with
/// t = exp(-atmosphere_tau / mu), a downward escape T_air. mu = |cos| between the ray and the
/// surface's geometric normal (at least 1e-3), looked up linearly in the tables.
/// Active: vegetation layers before the first soil or trunk surface add the co-polarised volume
/// term albedo mu (1 - g^2) / 2 and attenuate what lies behind by g^2; that surface returns
/// its table sigmas (a trunk: direct plus double bounce).
///
/// Rays run in dispatches of up to 2^20; `progress` gets (rays done, n_rays, elapsed ms) after
/// each and `interrupt` is polled before each. Throws std::invalid_argument for malformed
/// arguments (messages name the argument), std::length_error "Vulkan microwave wavefront
/// supports at most 2^31-1 rays per run", std::runtime_error "Vulkan: build the scene before
/// tracing rays", and std::runtime_error ending "No fallback was performed." when Mueller-matrix
/// vegetation tables are given (not run by this kernel).
MicrowaveWavefrontResult run_microwave_wavefront(VulkanSceneManager& scene,
                                                 const MicrowaveWavefrontRequest& request,
                                                 const ProgressCallback& progress = {},
                                                 const InterruptCheck& interrupt = {});

}  // namespace tesk::vulkan
