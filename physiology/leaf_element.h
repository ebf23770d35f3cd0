#pragma once

// One element of a physiology request: its inputs gathered from element-major arrays, the leaf
// model solved, its outputs scattered back. The CPU solver's loop and the CUDA kernel both call
// solve_leaf_element, so the two backends read, solve and write an element the same way.

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/host_device.h"
#include "physiology/leaf_model.h"

namespace tesk::physiology {

/// Borrowed input arrays of a physiology request, one value per element unless said otherwise
/// (host or device memory, whichever the caller runs on). The energy arrays are read only with
/// `energy_balance`.
struct LeafElementInputs {
  int32_t n_bands = 0;          ///< Absorbed-PAR bands per element (>= 1).
  const float* apar = nullptr;  ///< Element-major [n_elements x n_bands].
  const float* temperature = nullptr;
  const float* co2 = nullptr;
  const float* relative_humidity = nullptr;
  const float* pressure = nullptr;
  const float* wind = nullptr;
  const float* vcmax25 = nullptr;
  const float* jmax25 = nullptr;
  const float* rd25 = nullptr;
  const float* ball_berry_slope = nullptr;
  const float* ball_berry_intercept = nullptr;
  const float* quantum_yield = nullptr;
  const float* absorbed_shortwave = nullptr;
  const float* absorbed_longwave = nullptr;
  const float* air_temperature = nullptr;
  const float* vapor_pressure = nullptr;
  const float* emissivity = nullptr;
  const float* sidedness = nullptr;
  const float* leaf_width = nullptr;
  const float* stomata_sides = nullptr;
  bool energy_balance = false;     ///< Compute the heat fluxes.
  bool solve_temperature = false;  ///< Solve the leaf temperature (only with energy_balance).
};

/// Output arrays of a solve, one value per element; the four energy arrays are written only
/// with LeafElementInputs::energy_balance.
struct LeafElementOutputs {
  float* an = nullptr;
  float* gs = nullptr;
  float* ci = nullptr;
  float* phi_f = nullptr;
  uint8_t* converged = nullptr;  ///< 1 when every iteration met the tolerance, else 0.
  float* temperature = nullptr;
  float* net_radiation = nullptr;
  float* sensible_heat = nullptr;
  float* latent_heat = nullptr;
};

/// One device launch of the solver: elements [element_begin, element_end). The control's stop
/// flag is null there (a launch is not interrupted; the host polls between launches).
struct LeafElementLaunch {
  LeafElementInputs in;
  LeafElementOutputs out;
  SolverControl control;
  int64_t element_begin = 0;
  int64_t element_end = 0;
};

TESK_DEVICE_RECORD(LeafElementInputs, 176);
TESK_DEVICE_RECORD(LeafElementOutputs, 72);
TESK_DEVICE_RECORD(LeafElementLaunch, 280);

/// Solves element `e`: total PAR over its bands, its traits, air and energy inputs, then
/// solve_leaf with `control`; writes its entries of `out`.
TESK_HOST_DEVICE inline void solve_leaf_element(const LeafElementInputs& in,
                                                const SolverControl& control, size_t e,
                                                const LeafElementOutputs& out) {
  const float par = total_par(in.apar + e * static_cast<size_t>(in.n_bands), in.n_bands);
  const LeafTraits traits{in.vcmax25[e],
                          in.jmax25[e],
                          in.rd25[e],
                          in.ball_berry_slope[e],
                          in.ball_berry_intercept[e],
                          in.quantum_yield[e]};
  const LeafMicroclimate micro{in.co2[e], in.relative_humidity[e], in.pressure[e], in.wind[e]};
  LeafEnergyInputs energy;
  if (in.energy_balance) {
    energy =
        LeafEnergyInputs{in.absorbed_shortwave[e], in.absorbed_longwave[e], in.air_temperature[e],
                         in.vapor_pressure[e],     in.emissivity[e],        in.sidedness[e],
                         in.leaf_width[e],         in.stomata_sides[e]};
  }
  const LeafSolution s = solve_leaf(par, in.temperature[e], traits, micro, energy,
                                    in.energy_balance, in.solve_temperature, control);
  out.an[e] = s.an;
  out.gs[e] = s.gs;
  out.ci[e] = s.ci;
  out.phi_f[e] = s.phi_f;
  out.converged[e] = s.converged ? 1 : 0;
  if (in.energy_balance) {
    out.temperature[e] = s.temperature;
    out.net_radiation[e] = s.net_radiation;
    out.sensible_heat[e] = s.sensible_heat;
    out.latent_heat[e] = s.latent_heat;
  }
}

}  // namespace tesk::physiology
