#pragma once

// One element step of the dynamic photosynthesis process: the leaf model with its energy balance
// and temperature from the element's current temperatures (in conditional mode a sunlit and a
// shaded branch blended by the sunlit fraction), relaxed by the damping. The CPU process's loop
// and the CUDA kernel both call dynamic_photosynthesis_element.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/host_device.h"
#include "physiology/leaf_model.h"

namespace tesk::physiology {

/// The borrowed arrays of one step (host or device memory, whichever the caller runs on), one
/// value per element; the four branch arrays and the sunlit fraction are read only in
/// conditional mode.
struct DynamicElementArrays {
  SolverControl control;
  LeafMicroclimate micro;
  float damping = 1.0f;
  float air_temperature = 0.0f;
  float vapor_pressure = 0.0f;
  int32_t conditional = 0;
  const int32_t* active = nullptr;
  const int32_t* fluorescent = nullptr;
  const float* apar = nullptr;
  const float* absorbed_shortwave = nullptr;
  const float* absorbed_longwave = nullptr;
  const float* emissivity = nullptr;
  const float* sidedness = nullptr;
  const float* leaf_width = nullptr;
  const float* stomata_sides = nullptr;
  const float* vcmax25 = nullptr;
  const float* jmax25 = nullptr;
  const float* rd25 = nullptr;
  const float* ball_berry_slope = nullptr;
  const float* ball_berry_intercept = nullptr;
  const float* quantum_yield = nullptr;
  const float* sunlit_fraction = nullptr;
  const float* apar_sunlit = nullptr;
  const float* apar_shaded = nullptr;
  const float* shortwave_sunlit = nullptr;
  const float* shortwave_shaded = nullptr;
  float* temperature_sunlit = nullptr;  ///< Read, then replaced by the relaxed value.
  float* temperature_shaded = nullptr;  ///< Read, then replaced by the relaxed value.
  float* temperature = nullptr;         ///< The element temperature written to the scene.
  float* change = nullptr;              ///< Largest branch change (0 when inactive).
  float* an = nullptr;
  float* an_sunlit = nullptr;
  float* an_shaded = nullptr;  ///< Written only in conditional mode.
  float* gs = nullptr;
  float* ci = nullptr;
  float* phi_f = nullptr;
  float* net_radiation = nullptr;
  float* sensible_heat = nullptr;
  float* latent_heat = nullptr;
  float* emitted_longwave = nullptr;
  uint8_t* converged = nullptr;
  int64_t element_begin = 0;  ///< First element of a device launch.
  int64_t element_end = 0;    ///< One past the last element of a launch.
};

TESK_DEVICE_RECORD(DynamicElementArrays, 344);

/// Steps element `e`; an inactive element only reports no change.
TESK_HOST_DEVICE inline void dynamic_photosynthesis_element(const DynamicElementArrays& a,
                                                            size_t e) {
  if (a.active[e] == 0) {
    a.change[e] = 0.0f;
    return;
  }
  const float d = a.damping;
  const LeafTraits traits{a.vcmax25[e],
                          a.jmax25[e],
                          a.rd25[e],
                          a.ball_berry_slope[e],
                          a.ball_berry_intercept[e],
                          a.fluorescent[e] != 0 ? a.quantum_yield[e] : 0.0f};
  const auto solve = [&](float par, float shortwave, float t) {
    const LeafEnergyInputs energy{shortwave,        a.absorbed_longwave[e], a.air_temperature,
                                  a.vapor_pressure, a.emissivity[e],        a.sidedness[e],
                                  a.leaf_width[e],  a.stomata_sides[e]};
    return solve_leaf(par, t, traits, a.micro, energy, true, true, a.control);
  };
  const float emit_scale = a.emissivity[e] * a.sidedness[e] * leaf_constants::kStefanBoltzmann;
  const auto emitted = [&](float t) { return emit_scale * t * t * t * t; };
  const float t_sun = a.temperature_sunlit[e];
  if (a.conditional == 0) {
    const LeafSolution s = solve(a.apar[e], a.absorbed_shortwave[e], t_sun);
    const float t_new = d * s.temperature + (1.0f - d) * t_sun;
    a.change[e] = fabsf(t_new - t_sun);
    a.temperature_sunlit[e] = a.temperature_shaded[e] = a.temperature[e] = t_new;
    a.an[e] = a.an_sunlit[e] = s.an;
    a.gs[e] = s.gs;
    a.ci[e] = s.ci;
    a.phi_f[e] = s.phi_f;
    a.net_radiation[e] = s.net_radiation;
    a.sensible_heat[e] = s.sensible_heat;
    a.latent_heat[e] = s.latent_heat;
    a.emitted_longwave[e] = emitted(s.temperature);
    a.converged[e] = s.converged ? 1 : 0;
    return;
  }
  const float t_shade = a.temperature_shaded[e];
  const float f = a.sunlit_fraction[e];
  const LeafSolution sa = solve(a.apar_sunlit[e], a.shortwave_sunlit[e], t_sun);
  const LeafSolution sb = solve(a.apar_shaded[e], a.shortwave_shaded[e], t_shade);
  const float new_sun = d * sa.temperature + (1.0f - d) * t_sun;
  const float new_shade = d * sb.temperature + (1.0f - d) * t_shade;
  a.change[e] = fmaxf(fabsf(new_sun - t_sun), fabsf(new_shade - t_shade));
  a.temperature_sunlit[e] = new_sun;
  a.temperature_shaded[e] = new_shade;
  a.temperature[e] = f * new_sun + (1.0f - f) * new_shade;
  const auto blend = [f](float x, float y) { return f * x + (1.0f - f) * y; };
  a.an_sunlit[e] = sa.an;
  a.an_shaded[e] = sb.an;
  a.an[e] = blend(sa.an, sb.an);
  a.gs[e] = blend(sa.gs, sb.gs);
  a.ci[e] = blend(sa.ci, sb.ci);
  a.phi_f[e] = blend(sa.phi_f, sb.phi_f);
  a.net_radiation[e] = blend(sa.net_radiation, sb.net_radiation);
  a.sensible_heat[e] = blend(sa.sensible_heat, sb.sensible_heat);
  a.latent_heat[e] = blend(sa.latent_heat, sb.latent_heat);
  a.emitted_longwave[e] = blend(emitted(sa.temperature), emitted(sb.temperature));
  a.converged[e] = sa.converged && sb.converged ? 1 : 0;
}

}  // namespace tesk::physiology
