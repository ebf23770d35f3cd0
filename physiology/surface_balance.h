// Energy balance of a non-photosynthesising surface element (soil, bark, roofs): absorbed
// radiation against grey emission, a linear sensible-heat term, a latent term proportional to
// the vapour-pressure deficit of the surface and a fixed ground-heat flux, solved for the
// surface temperature by clamped Newton steps. Plain records, no heap, written in the C++/GLSL
// subset of core/shared_language.h: the CPU and the Vulkan shaders solve this one copy.
#ifndef TESK_PHYSIOLOGY_SURFACE_BALANCE_H
#define TESK_PHYSIOLOGY_SURFACE_BALANCE_H

#include "physiology/leaf_model.h"

#ifdef __cplusplus
#include <type_traits>

namespace tesk::physiology {
#endif

/// Coefficients of one surface element.
struct SurfaceBalanceInputs {
  float absorbed TESK_SHARED_DEFAULT(0.0f);             ///< Absorbed shortwave + longwave (W m^-2).
  float emissivity TESK_SHARED_DEFAULT(1.0f);           ///< Longwave emissivity [0, 1].
  float sidedness TESK_SHARED_DEFAULT(1.0f);            ///< Emitting sides [1, 2].
  float sensible_derivative TESK_SHARED_DEFAULT(0.0f);  ///< dH/dT (W m^-2 K^-1).
  /// Latent heat per Pa of deficit (W m^-2 Pa^-1).
  float latent_coefficient TESK_SHARED_DEFAULT(0.0f);
  float ground_heat TESK_SHARED_DEFAULT(0.0f);  ///< Heat conducted away from the surface (W m^-2).
  float air_temperature TESK_SHARED_DEFAULT(293.15f);  ///< Air temperature (K).
  float vapor_pressure TESK_SHARED_DEFAULT(0.0f);      ///< Ambient vapour pressure (Pa).
};

/// Temperature and fluxes of one surface element.
struct SurfaceBalanceSolution {
  float temperature TESK_SHARED_DEFAULT(0.0f);       ///< Surface temperature (K).
  float net_radiation TESK_SHARED_DEFAULT(0.0f);     ///< Absorbed minus emitted (W m^-2).
  float sensible_heat TESK_SHARED_DEFAULT(0.0f);     ///< H (W m^-2).
  float latent_heat TESK_SHARED_DEFAULT(0.0f);       ///< lambda E (W m^-2).
  float emitted_longwave TESK_SHARED_DEFAULT(0.0f);  ///< e s sigma T^4 (W m^-2).
  bool converged TESK_SHARED_DEFAULT(false);  ///< Whether a Newton step fell below the tolerance.
};

#ifdef __cplusplus
static_assert(std::is_trivially_copyable_v<SurfaceBalanceInputs>);
static_assert(std::is_trivially_copyable_v<SurfaceBalanceSolution>);
#endif

/// Fluxes of the surface at temperature `t` (K), with `converged` false.
TESK_SHARED_FN SurfaceBalanceSolution surface_fluxes(float t,
                                                     TESK_SHARED_IN(SurfaceBalanceInputs) inputs) {
  TESK_LEAF_CONSTANTS;
  SurfaceBalanceSolution s;
  s.temperature = t;
  s.converged = false;
  const float t2 = t * t;
  s.emitted_longwave = inputs.emissivity * inputs.sidedness * kStefanBoltzmann * t2 * t2;
  s.net_radiation = inputs.absorbed - s.emitted_longwave;
  s.sensible_heat = (t - inputs.air_temperature) * inputs.sensible_derivative;
  s.latent_heat =
      (saturation_vapor_pressure(t) - inputs.vapor_pressure) * inputs.latent_coefficient;
  return s;
}

/// Solves F(T) = Rabs - e s sigma T^4 - H(T) - lambda E(T) - G = 0 from `t0` (K) by Newton steps
/// limited to +-`max_step` K, T clamped to [200, 350] K, at most `max_iterations` steps; it is
/// converged when a step changes T by less than `tolerance`. Fluxes are those at the final T.
TESK_SHARED_FN SurfaceBalanceSolution
solve_surface_balance(float t0, TESK_SHARED_IN(SurfaceBalanceInputs) inputs, int max_iterations,
                      float tolerance, float max_step) {
  TESK_LEAF_CONSTANTS;
  float t = t0;
  bool converged = false;
  for (int it = 0; it < max_iterations; ++it) {
    const float celsius = t - 273.15f;
    const float es = saturation_vapor_pressure(t);
    const float t3 = t * t * t;
    const float f = inputs.absorbed -
                    inputs.emissivity * inputs.sidedness * kStefanBoltzmann * t3 * t -
                    (t - inputs.air_temperature) * inputs.sensible_derivative -
                    (es - inputs.vapor_pressure) * inputs.latent_coefficient - inputs.ground_heat;
    const float df = -4.0f * inputs.sidedness * inputs.emissivity * kStefanBoltzmann * t3 -
                     inputs.sensible_derivative -
                     17.27f * es * 237.3f / ((celsius + 237.3f) * (celsius + 237.3f)) *
                         inputs.latent_coefficient;
    float t_new = t;
    if (fabsf(df) > 1e-12f) t_new = t - clamp_value(f / df, -max_step, max_step);
    t_new = clamp_value(t_new, kMinLeafTemperature, kMaxLeafTemperature);
    const float change = fabsf(t_new - t);
    t = t_new;
    if (change < tolerance) {
      converged = true;
      break;
    }
  }
  SurfaceBalanceSolution s = surface_fluxes(t, inputs);
  s.converged = converged;
  return s;
}

#ifdef __cplusplus
}  // namespace tesk::physiology
#endif

#endif  // TESK_PHYSIOLOGY_SURFACE_BALANCE_H
