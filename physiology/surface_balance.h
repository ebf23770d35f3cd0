#pragma once

// Energy balance of a non-photosynthesising surface element (soil, bark, roofs): absorbed
// radiation against grey emission, a linear sensible-heat term, a latent term proportional to
// the vapour-pressure deficit of the surface and a fixed ground-heat flux, solved for the
// surface temperature by clamped Newton steps. Plain records, no heap: host and device share it.

#include <math.h>

#include <type_traits>

#include "core/host_device.h"
#include "physiology/leaf_model.h"

namespace tesk::physiology {

/// Coefficients of one surface element.
struct SurfaceBalanceInputs {
  float absorbed = 0.0f;             ///< Absorbed shortwave + longwave (W m^-2).
  float emissivity = 1.0f;           ///< Longwave emissivity [0, 1].
  float sidedness = 1.0f;            ///< Emitting sides [1, 2].
  float sensible_derivative = 0.0f;  ///< dH/dT (W m^-2 K^-1).
  float latent_coefficient = 0.0f;   ///< Latent heat per Pa of deficit (W m^-2 Pa^-1).
  float ground_heat = 0.0f;          ///< Heat conducted away from the surface (W m^-2).
  float air_temperature = 293.15f;   ///< Air temperature (K).
  float vapor_pressure = 0.0f;       ///< Ambient vapour pressure (Pa).
};

/// Temperature and fluxes of one surface element.
struct SurfaceBalanceSolution {
  float temperature = 0.0f;       ///< Surface temperature (K).
  float net_radiation = 0.0f;     ///< Absorbed minus emitted (W m^-2).
  float sensible_heat = 0.0f;     ///< H (W m^-2).
  float latent_heat = 0.0f;       ///< lambda E (W m^-2).
  float emitted_longwave = 0.0f;  ///< e s sigma T^4 (W m^-2).
  bool converged = false;         ///< Whether a Newton step fell below the tolerance.
};

static_assert(std::is_trivially_copyable_v<SurfaceBalanceInputs>);
static_assert(std::is_trivially_copyable_v<SurfaceBalanceSolution>);

/// Fluxes of the surface at temperature `t` (K), with `converged` false.
TESK_HOST_DEVICE inline SurfaceBalanceSolution surface_fluxes(float t,
                                                              const SurfaceBalanceInputs& in) {
  using namespace leaf_constants;
  SurfaceBalanceSolution s;
  s.temperature = t;
  const float t2 = t * t;
  s.emitted_longwave = in.emissivity * in.sidedness * kStefanBoltzmann * t2 * t2;
  s.net_radiation = in.absorbed - s.emitted_longwave;
  s.sensible_heat = (t - in.air_temperature) * in.sensible_derivative;
  s.latent_heat = (saturation_vapor_pressure(t) - in.vapor_pressure) * in.latent_coefficient;
  return s;
}

/// Solves F(T) = Rabs - e s sigma T^4 - H(T) - lambda E(T) - G = 0 from `t0` (K) by Newton steps
/// limited to +-`max_step` K, T clamped to [200, 350] K, at most `max_iterations` steps; it is
/// converged when a step changes T by less than `tolerance`. Fluxes are those at the final T.
TESK_HOST_DEVICE inline SurfaceBalanceSolution solve_surface_balance(
    float t0, const SurfaceBalanceInputs& in, int max_iterations, float tolerance, float max_step) {
  using namespace leaf_constants;
  float t = t0;
  bool converged = false;
  for (int it = 0; it < max_iterations; ++it) {
    const float celsius = t - 273.15f;
    const float es = saturation_vapor_pressure(t);
    const float t3 = t * t * t;
    const float f = in.absorbed - in.emissivity * in.sidedness * kStefanBoltzmann * t3 * t -
                    (t - in.air_temperature) * in.sensible_derivative -
                    (es - in.vapor_pressure) * in.latent_coefficient - in.ground_heat;
    const float df =
        -4.0f * in.sidedness * in.emissivity * kStefanBoltzmann * t3 - in.sensible_derivative -
        17.27f * es * 237.3f / ((celsius + 237.3f) * (celsius + 237.3f)) * in.latent_coefficient;
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
  SurfaceBalanceSolution s = surface_fluxes(t, in);
  s.converged = converged;
  return s;
}

}  // namespace tesk::physiology
