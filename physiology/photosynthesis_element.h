#pragma once

// One element of the static photosynthesis process: absorbed PAR of both faces and of direct
// sunlight, the sunlit and shaded photosynthesis solves and their blend by the sunlit fraction.
// The CPU process's loop and the CUDA kernel both call photosynthesis_static_element, so the two
// backends compute an element the same way.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/host_device.h"
#include "physiology/leaf_model.h"

namespace tesk::physiology {

/// The borrowed arrays of one static process (host or device memory, whichever the caller runs
/// on), the solver control and the range of elements a device launch covers. Spectra are
/// element-major [n_elements x n_bands]; trait and flag arrays hold one value per material.
struct StaticElementArrays {
  int32_t n_bands = 0;
  float co2 = 0.0f;
  float relative_humidity = 0.0f;
  const float* absorbed_top = nullptr;
  const float* absorbed_bottom = nullptr;
  const float* absorbed_direct = nullptr;
  const float* par_factor = nullptr;  ///< [n_bands] photon flux per joule of each band.
  const float* sunlit_fraction = nullptr;
  const float* temperature_sunlit_in = nullptr;
  const float* temperature_shaded_in = nullptr;
  const int32_t* material_ids = nullptr;
  const int32_t* material_active = nullptr;
  const int32_t* material_fluorescent = nullptr;
  const float* vcmax25 = nullptr;
  const float* jmax25 = nullptr;
  const float* rd25 = nullptr;
  const float* ball_berry_slope = nullptr;
  const float* ball_berry_intercept = nullptr;
  const float* quantum_yield = nullptr;
  float* temperature = nullptr;
  float* an = nullptr;
  float* gs = nullptr;
  float* phi_f = nullptr;
  float* apar = nullptr;
  float* temperature_sunlit = nullptr;
  float* temperature_shaded = nullptr;
  float* sunlit_fraction_out = nullptr;
  float* apar_sunlit = nullptr;
  float* apar_shaded = nullptr;
  float* an_sunlit = nullptr;
  float* an_shaded = nullptr;
  uint8_t* active_mask = nullptr;
  uint8_t* converged = nullptr;
  SolverControl control;
  int64_t element_begin = 0;  ///< First element of a device launch.
  int64_t element_end = 0;    ///< One past the last element of a launch.
};

TESK_DEVICE_RECORD(StaticElementArrays, 288);

/// Writes every output of element `e`: the blended temperature and copied inputs always, the
/// solves and their blend for an element of an active material, zeros otherwise.
TESK_HOST_DEVICE inline void photosynthesis_static_element(const StaticElementArrays& a, size_t e) {
  const float f = a.sunlit_fraction[e];
  const float t_sun = a.temperature_sunlit_in[e];
  const float t_shade = a.temperature_shaded_in[e];
  a.temperature[e] = f * t_sun + (1.0f - f) * t_shade;
  a.temperature_sunlit[e] = t_sun;
  a.temperature_shaded[e] = t_shade;
  a.sunlit_fraction_out[e] = f;
  a.an[e] = a.gs[e] = a.phi_f[e] = a.apar[e] = 0.0f;
  a.apar_sunlit[e] = a.apar_shaded[e] = a.an_sunlit[e] = a.an_shaded[e] = 0.0f;
  a.active_mask[e] = 0;
  a.converged[e] = 0;
  const int32_t m = a.material_ids[e];
  if (m < 0 || a.material_active[m] == 0) return;
  const auto nb = static_cast<size_t>(a.n_bands);
  float par = 0.0f;
  float direct = 0.0f;
  for (size_t b = 0; b < nb; ++b) {
    const size_t i = e * nb + b;
    par += (a.absorbed_top[i] + a.absorbed_bottom[i]) * a.par_factor[b];
    direct += a.absorbed_direct[i] * a.par_factor[b];
  }
  const float shaded = fmaxf(par - f * direct, 0.0f);
  const float sunlit = direct + shaded;
  const bool fluorescent = a.material_fluorescent[m] != 0;
  const LeafTraits traits{a.vcmax25[m],
                          a.jmax25[m],
                          a.rd25[m],
                          a.ball_berry_slope[m],
                          a.ball_berry_intercept[m],
                          fluorescent ? a.quantum_yield[m] : 0.0f};
  LeafMicroclimate micro;
  micro.co2 = a.co2;
  micro.relative_humidity = a.relative_humidity;
  // The photosynthesis solve of the leaf model without energy balance, in each branch.
  const LeafSolution s_sun =
      solve_leaf(sunlit, t_sun, traits, micro, LeafEnergyInputs{}, false, false, a.control);
  const LeafSolution s_shade =
      solve_leaf(shaded, t_shade, traits, micro, LeafEnergyInputs{}, false, false, a.control);
  a.apar[e] = par;
  a.apar_sunlit[e] = sunlit;
  a.apar_shaded[e] = shaded;
  a.an_sunlit[e] = s_sun.an;
  a.an_shaded[e] = s_shade.an;
  a.an[e] = f * s_sun.an + (1.0f - f) * s_shade.an;
  a.gs[e] = f * s_sun.gs + (1.0f - f) * s_shade.gs;
  a.phi_f[e] = fluorescent ? f * s_sun.phi_f + (1.0f - f) * s_shade.phi_f : 0.0f;
  a.active_mask[e] = 1;
  a.converged[e] = s_sun.converged && s_shade.converged ? 1 : 0;
}

}  // namespace tesk::physiology
