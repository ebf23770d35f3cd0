#version 460
// Leaf physiology per element, one invocation per element: the physiology solver, the static
// photosynthesis process (sunlit and shaded branches blended by the sunlit fraction) and one
// relaxation step of the dynamic process. The equations are those of physiology/leaf_model.h,
// included here as they are compiled for the CPU.
#extension GL_GOOGLE_include_directive : require
#extension GL_EXT_scalar_block_layout : require
#include "physiology/leaf_model.h"
#include "shaders/physiology_records.h"

layout(local_size_x_id = 0) in;
layout(set = 0, binding = 1, scalar) readonly buffer ElementIn { float element_in[]; };
layout(set = 0, binding = 2, scalar) readonly buffer Spectra { float spectra[]; };
layout(set = 0, binding = 3, scalar) readonly buffer IntIn { int int_in[]; };
layout(set = 0, binding = 4, scalar) readonly buffer MaterialIn { float material_in[]; };
layout(set = 0, binding = 5, scalar) writeonly buffer ElementOut { float element_out[]; };
layout(push_constant, scalar) uniform Push { PhysiologyPush P; };

uint work_index() {
  return (gl_WorkGroupID.y * gl_NumWorkGroups.x + gl_WorkGroupID.x) * gl_WorkGroupSize.x +
         gl_LocalInvocationID.x;
}

float input_field(int field, uint e) { return element_in[uint(field) * uint(P.n_elements) + e]; }
void output_field(int field, uint e, float v) {
  element_out[uint(field) * uint(P.n_elements) + e] = v;
}

SolverControl control() {
  SolverControl c;
  c.max_iterations = P.max_iterations;
  c.tolerance = P.tolerance;
  return c;
}

void solve_element(uint e) {
  float par = 0.0f;
  const uint nb = uint(P.n_bands);
  for (uint b = 0u; b < nb; ++b) par += spectra[e * nb + b];
  const LeafTraits traits = LeafTraits(
      input_field(kSolverVcmax25, e), input_field(kSolverJmax25, e), input_field(kSolverRd25, e),
      input_field(kSolverSlope, e), input_field(kSolverIntercept, e),
      input_field(kSolverQuantumYield, e));
  const LeafMicroclimate micro =
      LeafMicroclimate(input_field(kSolverCo2, e), input_field(kSolverRelativeHumidity, e),
                       input_field(kSolverPressure, e), input_field(kSolverWind, e));
  const bool energy_balance = P.energy_balance != 0;
  LeafEnergyInputs energy = LeafEnergyInputs(0.0f, 0.0f, 293.15f, 0.0f, 0.98f, 2.0f, 0.05f, 1.0f);
  if (energy_balance) {
    energy = LeafEnergyInputs(
        input_field(kSolverShortwave, e), input_field(kSolverLongwave, e),
        input_field(kSolverAirTemperature, e), input_field(kSolverVaporPressure, e),
        input_field(kSolverEmissivity, e), input_field(kSolverSidedness, e),
        input_field(kSolverLeafWidth, e), input_field(kSolverStomataSides, e));
  }
  const LeafSolution s = solve_leaf(par, input_field(kSolverTemperature, e), traits, micro, energy,
                                    energy_balance, P.solve_temperature != 0, control());
  output_field(kSolverOutAn, e, s.an);
  output_field(kSolverOutGs, e, s.gs);
  output_field(kSolverOutCi, e, s.ci);
  output_field(kSolverOutPhiF, e, s.phi_f);
  output_field(kSolverOutConverged, e, s.converged ? 1.0f : 0.0f);
  output_field(kSolverOutTemperature, e, s.temperature);
  output_field(kSolverOutNetRadiation, e, s.net_radiation);
  output_field(kSolverOutSensibleHeat, e, s.sensible_heat);
  output_field(kSolverOutLatentHeat, e, s.latent_heat);
}

float trait(int field, int m) { return material_in[field * P.n_materials + m]; }

void static_element(uint e) {
  const float f = input_field(kStaticSunlitFraction, e);
  const float t_sun = input_field(kStaticTemperatureSunlit, e);
  const float t_shade = input_field(kStaticTemperatureShaded, e);
  output_field(kStaticOutTemperature, e, f * t_sun + (1.0f - f) * t_shade);
  for (int k = kStaticOutAn; k < kStaticOutputFields; ++k) output_field(k, e, 0.0f);
  const int m = int_in[e];
  if (m < 0 || int_in[P.n_elements + m] == 0) return;
  const uint nb = uint(P.n_bands);
  const uint n_spectrum = uint(P.n_elements) * nb;
  float par = 0.0f;
  float direct = 0.0f;
  for (uint b = 0u; b < nb; ++b) {
    const uint i = e * nb + b;
    const float factor = spectra[3u * n_spectrum + b];
    par += (spectra[i] + spectra[n_spectrum + i]) * factor;
    direct += spectra[2u * n_spectrum + i] * factor;
  }
  const float shaded = max(par - f * direct, 0.0f);
  const float sunlit = direct + shaded;
  const bool fluorescent = int_in[P.n_elements + P.n_materials + m] != 0;
  const LeafTraits traits =
      LeafTraits(trait(kTraitVcmax25, m), trait(kTraitJmax25, m), trait(kTraitRd25, m),
                 trait(kTraitSlope, m), trait(kTraitIntercept, m),
                 fluorescent ? trait(kTraitQuantumYield, m) : 0.0f);
  const LeafMicroclimate micro = LeafMicroclimate(P.co2, P.relative_humidity, 101.325f, 1.0f);
  const LeafEnergyInputs none = LeafEnergyInputs(0.0f, 0.0f, 293.15f, 0.0f, 0.98f, 2.0f, 0.05f, 1.0f);
  const LeafSolution a = solve_leaf(sunlit, t_sun, traits, micro, none, false, false, control());
  const LeafSolution b = solve_leaf(shaded, t_shade, traits, micro, none, false, false, control());
  output_field(kStaticOutApar, e, par);
  output_field(kStaticOutAparSunlit, e, sunlit);
  output_field(kStaticOutAparShaded, e, shaded);
  output_field(kStaticOutAnSunlit, e, a.an);
  output_field(kStaticOutAnShaded, e, b.an);
  output_field(kStaticOutAn, e, f * a.an + (1.0f - f) * b.an);
  output_field(kStaticOutGs, e, f * a.gs + (1.0f - f) * b.gs);
  output_field(kStaticOutPhiF, e, fluorescent ? f * a.phi_f + (1.0f - f) * b.phi_f : 0.0f);
  output_field(kStaticOutActive, e, 1.0f);
  output_field(kStaticOutConverged, e, a.converged && b.converged ? 1.0f : 0.0f);
}

LeafSolution dynamic_branch(uint e, float par, float shortwave, float t) {
  const LeafTraits traits = LeafTraits(
      input_field(kDynamicVcmax25, e), input_field(kDynamicJmax25, e),
      input_field(kDynamicRd25, e), input_field(kDynamicSlope, e),
      input_field(kDynamicIntercept, e), input_field(kDynamicQuantumYield, e));
  const LeafMicroclimate micro = LeafMicroclimate(P.co2, P.relative_humidity, P.pressure, P.wind);
  const LeafEnergyInputs energy = LeafEnergyInputs(
      shortwave, input_field(kDynamicLongwave, e), P.air_temperature, P.vapor_pressure,
      input_field(kDynamicEmissivity, e), input_field(kDynamicSidedness, e),
      input_field(kDynamicLeafWidth, e), input_field(kDynamicStomataSides, e));
  return solve_leaf(par, t, traits, micro, energy, true, true, control());
}

void dynamic_element(uint e) {
  const float t_sun = input_field(kDynamicTemperatureSunlit, e);
  const float t_shade = input_field(kDynamicTemperatureShaded, e);
  const float d = P.damping;
  if (int_in[e] == 0) {
    output_field(kDynamicOutTemperatureSunlit, e, t_sun);
    output_field(kDynamicOutTemperatureShaded, e, t_shade);
    output_field(kDynamicOutChange, e, 0.0f);
    return;
  }
  const float emit_scale =
      input_field(kDynamicEmissivity, e) * input_field(kDynamicSidedness, e) * kStefanBoltzmann;
  if (P.conditional == 0) {
    const LeafSolution s =
        dynamic_branch(e, input_field(kDynamicApar, e), input_field(kDynamicShortwave, e), t_sun);
    const float t_new = d * s.temperature + (1.0f - d) * t_sun;
    output_field(kDynamicOutTemperatureSunlit, e, t_new);
    output_field(kDynamicOutTemperatureShaded, e, t_new);
    output_field(kDynamicOutTemperature, e, t_new);
    output_field(kDynamicOutChange, e, abs(t_new - t_sun));
    output_field(kDynamicOutAn, e, s.an);
    output_field(kDynamicOutAnSunlit, e, s.an);
    output_field(kDynamicOutGs, e, s.gs);
    output_field(kDynamicOutCi, e, s.ci);
    output_field(kDynamicOutPhiF, e, s.phi_f);
    output_field(kDynamicOutNetRadiation, e, s.net_radiation);
    output_field(kDynamicOutSensibleHeat, e, s.sensible_heat);
    output_field(kDynamicOutLatentHeat, e, s.latent_heat);
    const float t = s.temperature;
    output_field(kDynamicOutEmitted, e, emit_scale * t * t * t * t);
    output_field(kDynamicOutConverged, e, s.converged ? 1.0f : 0.0f);
    return;
  }
  const float f = input_field(kDynamicSunlitFraction, e);
  const LeafSolution a = dynamic_branch(e, input_field(kDynamicAparSunlit, e),
                                        input_field(kDynamicShortwaveSunlit, e), t_sun);
  const LeafSolution b = dynamic_branch(e, input_field(kDynamicAparShaded, e),
                                        input_field(kDynamicShortwaveShaded, e), t_shade);
  const float new_sun = d * a.temperature + (1.0f - d) * t_sun;
  const float new_shade = d * b.temperature + (1.0f - d) * t_shade;
  output_field(kDynamicOutTemperatureSunlit, e, new_sun);
  output_field(kDynamicOutTemperatureShaded, e, new_shade);
  output_field(kDynamicOutTemperature, e, f * new_sun + (1.0f - f) * new_shade);
  output_field(kDynamicOutChange, e, max(abs(new_sun - t_sun), abs(new_shade - t_shade)));
  output_field(kDynamicOutAnSunlit, e, a.an);
  output_field(kDynamicOutAnShaded, e, b.an);
  output_field(kDynamicOutAn, e, f * a.an + (1.0f - f) * b.an);
  output_field(kDynamicOutGs, e, f * a.gs + (1.0f - f) * b.gs);
  output_field(kDynamicOutCi, e, f * a.ci + (1.0f - f) * b.ci);
  output_field(kDynamicOutPhiF, e, f * a.phi_f + (1.0f - f) * b.phi_f);
  output_field(kDynamicOutNetRadiation, e, f * a.net_radiation + (1.0f - f) * b.net_radiation);
  output_field(kDynamicOutSensibleHeat, e, f * a.sensible_heat + (1.0f - f) * b.sensible_heat);
  output_field(kDynamicOutLatentHeat, e, f * a.latent_heat + (1.0f - f) * b.latent_heat);
  const float ta = a.temperature;
  const float tb = b.temperature;
  output_field(kDynamicOutEmitted, e,
               f * (emit_scale * ta * ta * ta * ta) + (1.0f - f) * (emit_scale * tb * tb * tb * tb));
  output_field(kDynamicOutConverged, e, a.converged && b.converged ? 1.0f : 0.0f);
}

void main() {
  const uint e = work_index();
  if (e >= uint(P.n_elements)) return;
  if (P.mode == kModePhysiologySolver) {
    solve_element(e);
  } else if (P.mode == kModeStaticProcess) {
    static_element(e);
  } else {
    dynamic_element(e);
  }
}
