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
  std::span<const float> dihedral_ground_table;      ///< Empty or [soil][M][2]: F_H, F_V.
  std::span<const float> lut_info;                   ///< Empty or (C, A): cosine and azimuth cells.
  std::span<const float> mueller_lut;  ///< Empty or [vegetation][C][C][A][16] phase matrices.
  std::span<const float> cosine_cdf;   ///< Empty or [vegetation][C][C]: CDF of the out cell.
  std::span<const float> azimuth_cdf;  ///< Empty or [vegetation][C][C][A]: CDF of the azimuth.
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
/// 3 trunk, 4 smooth soil, with the index into that class's tables; unmapped materials absorb;
/// smooth soil absorbs too when smooth_soil_table is empty).
///
/// Passive: each ray follows its specular chain (at most max_depth interactions): soil and
/// trunk surfaces add T_B,p(mu) and reflect the rest with Gamma_p(mu) (the table's own
/// rough-surface reflectivity); a vegetation surface is a layer crossed straight with
/// transmissivity g = exp(-tau / mu), adding (1 - albedo)(1 - g) T; absorbers and exhausted
/// paths add the air temperature; an upward escape sees T_air (1 - t) + 2.725 t with
/// t = exp(-atmosphere_tau / mu), a downward escape T_air. mu = |cos| between the ray and the
/// surface's geometric normal (at least 1e-3), looked up linearly in the tables.
/// Smooth soil (passive) emits (1 - Gamma_s,p) T_eff, T_eff = (T_B,H + T_B,V) /
/// (2 - Gamma_H - Gamma_V) from its passive row, and reflects specularly with the smooth
/// Gamma_s,p; in active mode it returns nothing toward the sensor.
/// Vegetation phase tables (lut_info = (C, A), all four given or none): cosines of the
/// direction the line of sight travels against +z fall in C equal cells over [-1, 1], the
/// azimuth relative to the incident one in A equal cells over [0, 2 pi). mueller_lut holds per
/// class, incident cell, outgoing cell and azimuth cell a row-major 4 x 4 phase matrix in the
/// Stokes order (I_H, I_V, U, V), normalised so that the identity is isotropic scattering; only
/// its (H, V) intensity block is transported. cosine_cdf rows (per class and incident cell) are
/// the cumulative probabilities of the outgoing cells, azimuth_cdf rows (per class, incident
/// and outgoing cell) those of the azimuth cells. Passive: a vegetation crossing emits as
/// above and scatters with probability 1 - g (else passes straight) into a direction drawn
/// uniformly within cells drawn from the CDFs, the (H, V) weight (a row vector) multiplied by
/// albedo M / (4 pi pdf). Active: the volume term becomes albedo mu (1 - g^2) / 2 times
/// (M_HH, M_HV, M_VH, M_VV) of the backscatter cell (outgoing -d, azimuth cell A / 2).
/// Random numbers come from one PCG32 stream per ray index (StreamKey::MicrowaveRay), so
/// results do not depend on the dispatch size.
/// Active: vegetation layers before the first soil or trunk surface add the co-polarised volume
/// term albedo mu (1 - g^2) / 2 and attenuate what lies behind by g^2; that surface returns
/// its table sigmas (a trunk: direct plus double bounce). With dihedral_ground_table the double
/// bounce is scaled by the ground the line of sight mirrored off the trunk reaches: through
/// vegetation layers (g^2 each) to the first soil surface, whose row (F_H, F_V) at the cosine
/// there multiplies HH by F_H, VV by F_V, HV and VH by sqrt(F_H F_V); no soil reached, no
/// double bounce. trunk_parameters are checked for shape only.
///
/// Rays run in dispatches of up to 2^20; `progress` gets (rays done, n_rays, elapsed ms) after
/// each and `interrupt` is polled before each. Throws std::invalid_argument for malformed
/// arguments (messages name the argument), std::length_error "Vulkan microwave wavefront
/// supports at most 2^31-1 rays per run", std::runtime_error "Vulkan: build the scene before
/// tracing rays"; malformed phase tables (sizes against lut_info, CDF rows that are not
/// non-decreasing in [0, 1] ending at 1, non-finite matrices) are std::invalid_argument.
MicrowaveWavefrontResult run_microwave_wavefront(VulkanSceneManager& scene,
                                                 const MicrowaveWavefrontRequest& request,
                                                 const ProgressCallback& progress = {},
                                                 const InterruptCheck& interrupt = {});

}  // namespace tesk::vulkan
