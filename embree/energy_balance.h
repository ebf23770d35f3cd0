#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/energy_balance_path.h"
#include "core/host/execution.h"
#include "core/host/progress.h"
#include "core/vec.h"
#include "embree/scene_manager.h"
#include "embree/transport_context.h"

namespace tesk::embree {

using tesk::EnergyBalanceRayCounts;

/// Result of a single-band run: irradiance (W m^-2, or the units of the inputs) incident on
/// each primitive's faces, in global primitive order.
struct EnergyBalanceResult {
  std::vector<float> top;       ///< n_primitives values, face the normal points to.
  std::vector<float> bot;       ///< n_primitives values; empty unless two_sided.
  int32_t threads = 0;          ///< Worker threads that ran.
  EnergyBalanceRayCounts rays;  ///< Queries issued.
  /// Backend, radiation_field_process and the executor ("embree.cpu.energy_balance").
  ExecutionIdentity execution;
};

/// Result of a multiband run; "top" and "bot" are band-major [n_bands][n_primitives].
struct EnergyBalanceMultibandResult {
  std::vector<float> top;              ///< Irradiance on the top faces per band.
  std::vector<float> bot;              ///< The same for the bottom faces; empty unless two_sided.
  std::vector<float> sunlit_fraction;  ///< n_primitives fractions of face samples seeing the sun.
  int32_t n_bands = 0;                 ///< Bands of top and bot.
  int32_t threads = 0;                 ///< Worker threads that ran.
  EnergyBalanceRayCounts rays;         ///< Queries issued.
  /// embree / radiation_field_process / "embree.cpu.radiation_field_process".
  ExecutionIdentity execution;
};

/// Single-band energy balance: for every primitive, `n_samples` cosine-weighted sample rays
/// from random points of its top face (and bottom face when `two_sided`) estimate the
/// hemispherical irradiance pi/N sum L, where L is, for a ray that escapes, the sky
/// (`sky_lw_radiance` for longwave, band_type 1; `*sky_diffuse_radiance` or 0 for shortwave,
/// band_type 0) and, for a ray that meets primitive q, its grey emission e sigma T^4 / pi
/// (longwave: T the temperature override of q or its material's temperature, e the emissivity
/// override or 0.97) or its reflected sun and sky a (L_sky + E_sun |n_q.s| / pi [q's centroid
/// sees the sun]) with a = sw_albedos[q] (shortwave; 0 without albedos). Shortwave adds the
/// direct sun E_sun (n.s) on the fraction of samples whose origin sees it. `max_depth` and the
/// split optics are accepted and not used (at most two bounces). `sun_irradiance` and
/// `sky_diffuse_radiance` may be null (absent); `sun_dir` is normalised here. Periodic scenes
/// are traced across `num_repetitions` tile walls per ray and shadow ray.
///
/// Work: chunks of primitives on `n_threads` workers (below 1: the hardware concurrency); each
/// primitive's samples come from its own stream, so results do not depend on the thread count.
/// `progress` (may be empty) gets (primitives done, n_primitives, elapsed ms) about 100 times
/// per run; `interrupt` (may be empty) is polled every 100 ms and stops the run.
/// A scene without primitives gives empty results.
/// Throws std::invalid_argument "n_samples must be positive", "band_type must be 0 (shortwave)
/// or 1 (longwave)", "sun direction must be finite and nonzero", "sw_albedos must hold
/// n_primitives values", "energy balance does not trace optical turbid media",
/// std::runtime_error "Embree: build the scene before tracing rays", std::bad_alloc (or
/// MemoryError's native form) when the results cannot be allocated.
EnergyBalanceResult render_energy_balance(
    const EmbreeSceneManager& scene, int n_samples, int max_depth, int band_type,
    const float* sun_irradiance, const float* sky_diffuse_radiance, float sky_lw_radiance,
    float sun_dir_x, float sun_dir_y, float sun_dir_z, bool two_sided,
    std::span<const float> sw_albedos, std::span<const float> sw_reflectance,
    std::span<const float> sw_back_reflectance, std::span<const float> sw_transmittance,
    int n_threads, const ProgressCallback& progress = {}, const InterruptCheck& interrupt = {});

/// Multiband shortwave energy balance: the face samples of `render_energy_balance` start paths
/// of at most `max_depth` surface interactions carrying one throughput per band. An escaping
/// path adds its throughput times the sky: band b of `sky_directional_table` ([n_bands][16][32],
/// may be empty) looked up along the ray, else sky_diffuse_radiance[b] (may be empty), else the
/// scene's own sky. At a surface q the path adds the sun reflected (or transmitted, when the sun
/// is on the far side) toward it, F_b / pi E_sun,b |n_q.s| when a shadow ray from the hit point
/// (offset 2e-4 along s) is free, then reflects or transmits with probabilities in proportion to
/// the largest R_b and T_b (throughput times R_b / p or T_b / p) and ends when both vanish or the
/// throughput falls to 1e-6. R_b, T_b come from the split optics (front or back reflectance by
/// the side hit, transmittance; band-major [n_bands][n_primitives]) when any is given, else
/// from `sw_albedos` (reflectance only), else are 0. Each face sample whose origin sees the sun
/// adds E_sun,b (n.s) / N to the face and 1/N to the primitive's sunlit fraction.
/// `sun_irradiance` (may be empty: no sun) has n_bands values. n_bands < 1 or a scene without
/// primitives gives empty results. Threads, streams, progress and interruption as above.
/// Throws std::invalid_argument "n_samples must be positive", "max_depth must be positive",
/// "sun direction must be finite and nonzero", "sun_irradiance must have shape [n_bands]",
/// "sky_diffuse_radiance must have shape [n_bands]", "sky_directional_table must have shape
/// [n_bands, 16, 32]", "<name> must hold n_bands * n_primitives values" for an optics array,
/// "energy balance does not trace optical turbid media", std::runtime_error "Embree: build the
/// scene before tracing rays", std::bad_alloc when the results cannot be allocated.
/// The geometry of every primitive in global order, as the face samples read it.
std::vector<FaceTriangle> face_triangles(const EmbreeSceneManager& scene);

/// The checked inputs of a single-band run (render_energy_balance's arguments), pointing into
/// the caller's arrays and the scene's temperatures and emissivities; the context, geometry and
/// results are left for the caller (a scene without primitives needs none). Throws the argument
/// errors of render_energy_balance.
EnergyBalanceParams energy_balance_params(const EmbreeSceneManager& scene, int n_samples,
                                          int band_type, const float* sun_irradiance,
                                          const float* sky_diffuse_radiance, float sky_lw_radiance,
                                          float3 sun_dir, bool two_sided,
                                          std::span<const float> sw_albedos);

/// The checked inputs of a multiband run with n_bands >= 1, as energy_balance_params. Throws
/// the argument errors of render_energy_balance_multiband.
EnergyBalanceParams energy_balance_multiband_params(
    const EmbreeSceneManager& scene, int n_bands, int n_samples, int max_depth,
    std::span<const float> sun_irradiance, std::span<const float> sky_diffuse_radiance,
    std::span<const float> sky_directional_table, float3 sun_dir, bool two_sided,
    std::span<const float> sw_albedos, std::span<const float> sw_reflectance,
    std::span<const float> sw_back_reflectance, std::span<const float> sw_transmittance);

/// The scene's context for an energy balance: throws std::runtime_error "Embree: build the
/// scene before tracing rays" for a scene not built and std::invalid_argument "energy balance
/// does not trace optical turbid media" for one with media.
TransportContext energy_balance_context(const EmbreeSceneManager& scene);

EnergyBalanceMultibandResult render_energy_balance_multiband(
    const EmbreeSceneManager& scene, int n_bands, int n_samples, int max_depth,
    std::span<const float> sun_irradiance, std::span<const float> sky_diffuse_radiance,
    std::span<const float> sky_directional_table, float3 sun_dir, bool two_sided,
    std::span<const float> sw_albedos, std::span<const float> sw_reflectance,
    std::span<const float> sw_back_reflectance, std::span<const float> sw_transmittance,
    int n_threads, const ProgressCallback& progress = {}, const InterruptCheck& interrupt = {});

}  // namespace tesk::embree
