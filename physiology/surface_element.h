#pragma once

// One element step of the energy-balance process: the surface balance of an active element from
// its current temperature, relaxed by the damping. The CPU process's loop and the CUDA kernel
// both call surface_balance_element, so the two backends step an element the same way.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/host_device.h"
#include "physiology/surface_balance.h"

namespace tesk::physiology {

/// The borrowed arrays of one step (host or device memory, whichever the caller runs on), the
/// scalars of the surface balance and the range of elements a device launch covers.
/// Per-element arrays hold n_elements values; the three material tables are indexed by
/// `material_ids`.
struct SurfaceElementArrays {
  int32_t newton_max_iterations = 0;
  float newton_tolerance = 0.0f;
  float max_step = 0.0f;  ///< Largest Newton step (K).
  float damping = 1.0f;   ///< Relaxation of the new temperature, (0, 1].
  float air_temperature = 0.0f;
  float vapor_pressure = 0.0f;
  const int32_t* material_ids = nullptr;
  const uint8_t* active = nullptr;
  const float* absorbed_shortwave = nullptr;
  const float* absorbed_longwave = nullptr;
  const float* emissivity = nullptr;
  const float* sidedness = nullptr;
  const float* sensible_derivative = nullptr;  ///< Per material.
  const float* latent_coefficient = nullptr;   ///< Per material.
  const float* ground_heat = nullptr;          ///< Per material.
  float* temperature = nullptr;                ///< Read, then replaced by the relaxed value.
  float* change = nullptr;                     ///< |relaxed - previous| (0 when inactive).
  float* net_radiation = nullptr;
  float* sensible_heat = nullptr;
  float* latent_heat = nullptr;
  float* emitted_longwave = nullptr;
  float* ground_heat_out = nullptr;
  uint8_t* converged = nullptr;
  int64_t element_begin = 0;  ///< First element of a device launch.
  int64_t element_end = 0;    ///< One past the last element of a launch.
};

TESK_DEVICE_RECORD(SurfaceElementArrays, 176);

/// Steps element `e`: an inactive element only reports no change; an active one solves its
/// surface balance from its temperature, relaxes it and writes its fluxes.
TESK_HOST_DEVICE inline void surface_balance_element(const SurfaceElementArrays& a, size_t e) {
  if (a.active[e] == 0) {
    a.change[e] = 0.0f;
    return;
  }
  const auto m = static_cast<size_t>(a.material_ids[e]);
  const SurfaceBalanceInputs in{a.absorbed_shortwave[e] + a.absorbed_longwave[e],
                                a.emissivity[e],
                                a.sidedness[e],
                                a.sensible_derivative[m],
                                a.latent_coefficient[m],
                                a.ground_heat[m],
                                a.air_temperature,
                                a.vapor_pressure};
  const float t = a.temperature[e];
  const SurfaceBalanceSolution s =
      solve_surface_balance(t, in, a.newton_max_iterations, a.newton_tolerance, a.max_step);
  const float t_new = a.damping * s.temperature + (1.0f - a.damping) * t;
  a.change[e] = fabsf(t_new - t);
  a.temperature[e] = t_new;
  a.net_radiation[e] = s.net_radiation;
  a.sensible_heat[e] = s.sensible_heat;
  a.latent_heat[e] = s.latent_heat;
  a.emitted_longwave[e] = s.emitted_longwave;
  a.ground_heat_out[e] = in.ground_heat;
  a.converged[e] = s.converged ? 1 : 0;
}

}  // namespace tesk::physiology
