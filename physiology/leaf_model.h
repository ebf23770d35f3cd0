// The per-element leaf model: Farquhar-type C3 photosynthesis with Arrhenius temperature
// responses and high-temperature deactivation, Ball-Berry stomatal conductance coupled by a
// fixed-point iteration on intercellular CO2, a fluorescence yield, and a Newton closure of
// the leaf energy balance. Everything is single precision, works on plain records and uses no
// heap, exceptions or virtual calls, so the same functions serve every caller (the solver, the
// scene-level processes, the turbid states). The header is written in the subset of C++ and
// GLSL of core/shared_language.h: the Vulkan shaders include this very file, so the CPU, CUDA
// and Vulkan backends solve one copy of the equations.
#ifndef TESK_PHYSIOLOGY_LEAF_MODEL_H
#define TESK_PHYSIOLOGY_LEAF_MODEL_H

#include "core/shared_language.h"

#ifdef __cplusplus
#include <type_traits>

namespace tesk::physiology {

/// Model constants (single precision).
namespace leaf_constants {
#endif
TESK_SHARED_CONST float kGasConstant = 8.314f;       ///< R (J mol^-1 K^-1).
TESK_SHARED_CONST float kT25 = 298.15f;              ///< Reference temperature 25 degC (K).
TESK_SHARED_CONST float kRT25 = 2478.819f;           ///< R * T25 (J mol^-1).
TESK_SHARED_CONST float kOxygen = 209.0f;            ///< O2 partial pressure term (mmol mol^-1).
TESK_SHARED_CONST float kCurvature4 = 2.8f;          ///< 4 * theta, theta = 0.7.
TESK_SHARED_CONST float kCurvature2 = 1.4f;          ///< 2 * theta.
TESK_SHARED_CONST float kParToElectrons = 0.3f;      ///< Absorbed PAR to PSII electron factor.
TESK_SHARED_CONST float kCo2Diffusivity = 1.6f;      ///< Water/CO2 diffusivity ratio.
TESK_SHARED_CONST float kEpsilon = 1e-12f;           ///< Guard against zero denominators.
TESK_SHARED_CONST float kMinCi = 10.0f;              ///< Lower bound of intercellular CO2.
TESK_SHARED_CONST float kAirDensity = 1.225f;        ///< rho (kg m^-3).
TESK_SHARED_CONST float kAirHeatCapacity = 1005.0f;  ///< cp (J kg^-1 K^-1).
TESK_SHARED_CONST float kPsychrometric = 66.0f;      ///< gamma (Pa K^-1).
TESK_SHARED_CONST float kStefanBoltzmann = 5.6703744e-8f;  ///< sigma (W m^-2 K^-4).
TESK_SHARED_CONST float kMinLeafTemperature = 200.0f;      ///< Lower clamp of the Newton solve (K).
TESK_SHARED_CONST float kMaxLeafTemperature = 350.0f;      ///< Upper clamp of the Newton solve (K).
TESK_SHARED_CONST float kMaxNewtonStep = 10.0f;            ///< Largest Newton step (K).
#ifdef __cplusplus
}  // namespace leaf_constants
// Brings the model constants into a function's scope (they are global names in GLSL).
#define TESK_LEAF_CONSTANTS using namespace ::tesk::physiology::leaf_constants
#else
#define TESK_LEAF_CONSTANTS
#endif

/// Photosynthetic capacity and stomatal parameters of one leaf element.
struct LeafTraits {
  /// Maximum carboxylation rate at 25 degC (umol m^-2 s^-1).
  float vcmax25 TESK_SHARED_DEFAULT(0.0f);
  /// Maximum electron transport rate at 25 degC (umol m^-2 s^-1).
  float jmax25 TESK_SHARED_DEFAULT(0.0f);
  float rd25 TESK_SHARED_DEFAULT(0.0f);  ///< Dark respiration at 25 degC (umol m^-2 s^-1).
  float ball_berry_slope TESK_SHARED_DEFAULT(0.0f);      ///< Ball-Berry slope m (dimensionless).
  float ball_berry_intercept TESK_SHARED_DEFAULT(0.0f);  ///< Ball-Berry g0 (mol m^-2 s^-1).
  /// Fluorescence quantum-yield scale in [0, 1]; 0 disables it.
  float quantum_yield TESK_SHARED_DEFAULT(0.0f);
};

/// Air around one leaf element.
struct LeafMicroclimate {
  float co2 TESK_SHARED_DEFAULT(400.0f);  ///< Ambient CO2 mole fraction (umol mol^-1).
  /// Relative humidity at the leaf surface, fraction 0-1.
  float relative_humidity TESK_SHARED_DEFAULT(0.5f);
  float pressure TESK_SHARED_DEFAULT(101.325f);  ///< Air pressure (kPa).
  float wind TESK_SHARED_DEFAULT(1.0f);          ///< Wind speed (m s^-1).
};

/// Energy-balance inputs of one leaf element.
struct LeafEnergyInputs {
  float absorbed_shortwave TESK_SHARED_DEFAULT(0.0f);  ///< Absorbed shortwave radiation (W m^-2).
  float absorbed_longwave TESK_SHARED_DEFAULT(0.0f);   ///< Absorbed longwave radiation (W m^-2).
  float air_temperature TESK_SHARED_DEFAULT(293.15f);  ///< Air temperature (K).
  float vapor_pressure TESK_SHARED_DEFAULT(0.0f);      ///< Ambient vapour pressure (Pa).
  float emissivity TESK_SHARED_DEFAULT(0.98f);         ///< Longwave emissivity (0, 1].
  float sidedness TESK_SHARED_DEFAULT(2.0f);           ///< Number of emitting / convecting sides.
  float leaf_width TESK_SHARED_DEFAULT(0.05f);         ///< Characteristic leaf width (m).
  float stomata_sides TESK_SHARED_DEFAULT(1.0f);       ///< Number of sides carrying stomata.
};

/// Iteration limits shared by the fixed-point and Newton iterations.
struct SolverControl {
  /// Largest number of passes of each iteration (>= 1).
  int max_iterations TESK_SHARED_DEFAULT(50);
  /// Convergence threshold: Ci change (umol mol^-1) or T change (K).
  float tolerance TESK_SHARED_DEFAULT(1e-3f);
#ifdef __cplusplus
  /// Optional flag another thread sets to nonzero to stop the iterations early (the result is
  /// then unconverged and meant to be discarded); null: never stop.
  const int* stop = nullptr;
#endif
};

/// Passes between two reads of SolverControl::stop: a few microseconds of work.
TESK_SHARED_CONST int kStopPollPasses = 256;

#ifdef __cplusplus
/// Whether the solve was asked to stop; a relaxed read of a flag written by another thread.
TESK_HOST_DEVICE inline bool stop_requested(const SolverControl& control) {
  if (control.stop == nullptr) return false;
#if defined(__CUDA_ARCH__)
  return *static_cast<const volatile int*>(control.stop) != 0;
#else
  return __atomic_load_n(control.stop, __ATOMIC_RELAXED) != 0;
#endif
}
#else
// A shader invocation cannot be interrupted from outside.
bool stop_requested(in SolverControl control) {
  return false;
}
#endif

/// Temperature-adjusted kinetic parameters of one leaf at one temperature.
struct LeafRates {
  float vcmax TESK_SHARED_DEFAULT(0.0f);  ///< Maximum carboxylation rate (umol m^-2 s^-1).
  float jmax TESK_SHARED_DEFAULT(0.0f);   ///< Maximum electron transport rate (umol m^-2 s^-1).
  float rd TESK_SHARED_DEFAULT(0.0f);     ///< Dark respiration (umol m^-2 s^-1).
  float kc TESK_SHARED_DEFAULT(0.0f);     ///< Michaelis constant for CO2 (umol mol^-1).
  float ko TESK_SHARED_DEFAULT(0.0f);     ///< Michaelis constant for O2 (mmol mol^-1).
  /// CO2 compensation point without dark respiration (umol mol^-1).
  float gamma_star TESK_SHARED_DEFAULT(0.0f);
  /// Effective Michaelis constant Kc (1 + O2 / Ko) (umol mol^-1).
  float km TESK_SHARED_DEFAULT(0.0f);
};

/// Result of the coupled photosynthesis / stomatal conductance iteration.
struct GasExchange {
  float an TESK_SHARED_DEFAULT(0.0f);  ///< Net assimilation of the last pass (umol m^-2 s^-1).
  float gs TESK_SHARED_DEFAULT(0.0f);  ///< Stomatal conductance of the last pass (mol m^-2 s^-1).
  float ci TESK_SHARED_DEFAULT(0.0f);  ///< Intercellular CO2 after the last update (umol mol^-1).
  bool converged TESK_SHARED_DEFAULT(false);  ///< Whether the Ci change fell below the tolerance.
};

/// Energy-balance terms of one leaf at one temperature and conductance.
struct LeafEnergyTerms {
  /// Rn, absorbed minus emitted radiation (W m^-2).
  float net_radiation TESK_SHARED_DEFAULT(0.0f);
  /// H, sensible heat flux from leaf to air (W m^-2).
  float sensible_heat TESK_SHARED_DEFAULT(0.0f);
  float latent_heat TESK_SHARED_DEFAULT(0.0f);  ///< lambda E, latent heat flux (W m^-2).
  float residual TESK_SHARED_DEFAULT(0.0f);     ///< F = Rn - H - lambda E (W m^-2).
  float derivative TESK_SHARED_DEFAULT(0.0f);   ///< dF/dT at fixed conductance (W m^-2 K^-1).
};

/// Everything the solver reports for one element.
struct LeafSolution {
  float an TESK_SHARED_DEFAULT(0.0f);     ///< Net assimilation (umol m^-2 s^-1).
  float gs TESK_SHARED_DEFAULT(0.0f);     ///< Stomatal conductance (mol m^-2 s^-1).
  float ci TESK_SHARED_DEFAULT(0.0f);     ///< Intercellular CO2 (umol mol^-1).
  float phi_f TESK_SHARED_DEFAULT(0.0f);  ///< Fluorescence yield (dimensionless).
  /// Leaf temperature (K); the input unless it was solved.
  float temperature TESK_SHARED_DEFAULT(0.0f);
  /// Net radiation (W m^-2); 0 without the energy balance.
  float net_radiation TESK_SHARED_DEFAULT(0.0f);
  /// Sensible heat (W m^-2); 0 without the energy balance.
  float sensible_heat TESK_SHARED_DEFAULT(0.0f);
  /// Latent heat (W m^-2); 0 without the energy balance.
  float latent_heat TESK_SHARED_DEFAULT(0.0f);
  /// Whether every iteration that ran met the tolerance.
  bool converged TESK_SHARED_DEFAULT(false);
};

#ifdef __cplusplus
static_assert(std::is_trivially_copyable_v<LeafTraits>);
static_assert(std::is_trivially_copyable_v<LeafMicroclimate>);
static_assert(std::is_trivially_copyable_v<LeafEnergyInputs>);
static_assert(std::is_trivially_copyable_v<SolverControl>);
static_assert(std::is_trivially_copyable_v<LeafRates>);
static_assert(std::is_trivially_copyable_v<GasExchange>);
static_assert(std::is_trivially_copyable_v<LeafEnergyTerms>);
static_assert(std::is_trivially_copyable_v<LeafSolution>);
#endif

/// `x` limited to [lo, hi] (a NaN becomes lo).
TESK_SHARED_FN float clamp_value(float x, float lo, float hi) {
  return fminf(fmaxf(x, lo), hi);
}

/// Arrhenius factor exp(E (T - 298.15) / (R T25 T)) of activation energy `activation_energy`
/// (J mol^-1) at leaf temperature `t` (K); 1 at 25 degC.
TESK_SHARED_FN float arrhenius_factor(float activation_energy, float t) {
  TESK_LEAF_CONSTANTS;
  return expf(activation_energy * (t - kT25) / (kRT25 * t));
}

/// High-temperature deactivation of Vcmax and Jmax at leaf temperature `t` (K):
/// 1.2068106 / (1 + exp((490 T - 150000) / (R T))), equal to 1 at 25 degC and falling off
/// above about 35 degC.
TESK_SHARED_FN float high_temperature_deactivation(float t) {
  TESK_LEAF_CONSTANTS;
  return 1.2068106f / (1.0f + expf((490.0f * t - 150000.0f) / (kGasConstant * t)));
}

/// Kinetic parameters of a leaf with `traits` at leaf temperature `t` (K).
TESK_SHARED_FN LeafRates leaf_rates(TESK_SHARED_IN(LeafTraits) traits, float t) {
  TESK_LEAF_CONSTANTS;
  const float deactivation = high_temperature_deactivation(t);
  LeafRates r;
  r.vcmax = traits.vcmax25 * arrhenius_factor(65330.0f, t) * deactivation;
  r.jmax = traits.jmax25 * arrhenius_factor(43540.0f, t) * deactivation;
  r.rd = traits.rd25 * arrhenius_factor(46390.0f, t);
  r.kc = 404.9f * arrhenius_factor(79430.0f, t);
  r.ko = 278.4f * arrhenius_factor(36380.0f, t);
  r.gamma_star = 42.7f * arrhenius_factor(37830.0f, t);
  r.km = r.kc * (1.0f + kOxygen / r.ko);
  return r;
}

#ifdef __cplusplus
/// Sum of `n_bands` absorbed-PAR values (umol m^-2 s^-1), added in band order.
TESK_SHARED_FN float total_par(const float* apar, int n_bands) {
  float sum = 0.0f;
  for (int b = 0; b < n_bands; ++b) sum += apar[b];
  return sum;
}
#endif

/// Electron transport rate J (umol m^-2 s^-1) for absorbed PAR `par` and capacity `jmax`: the
/// smaller root of theta J^2 - (I2 + Jmax) J + I2 Jmax = 0 with I2 = 0.3 PAR, theta = 0.7.
TESK_SHARED_FN float electron_transport_rate(float par, float jmax) {
  TESK_LEAF_CONSTANTS;
  const float i2 = kParToElectrons * par;
  const float sum = i2 + jmax;
  return (sum - sqrtf(fmaxf(sum * sum - kCurvature4 * i2 * jmax, 0.0f))) / kCurvature2;
}

/// Fixed-point solve of net assimilation, Ball-Berry conductance and intercellular CO2 for
/// absorbed PAR `par` with `rates` at one temperature. Starts from Ci = 0.7 Ca and stops after
/// `control.max_iterations` passes or when Ci changes by less than `control.tolerance`; the
/// returned An and gs are those of the last pass, Ci the value updated by it.
TESK_SHARED_FN GasExchange solve_gas_exchange(float par, TESK_SHARED_IN(LeafRates) rates,
                                              TESK_SHARED_IN(LeafTraits) traits,
                                              TESK_SHARED_IN(LeafMicroclimate) micro,
                                              TESK_SHARED_IN(SolverControl) control) {
  TESK_LEAF_CONSTANTS;
  const float j = electron_transport_rate(par, rates.jmax);
  const float ca = micro.co2;
  const float g0 = traits.ball_berry_intercept;
  // Ball-Berry factor m RH / Ca, constant over the iteration.
  const float stomatal_gain = traits.ball_berry_slope * micro.relative_humidity / (ca + kEpsilon);
  GasExchange gas;
  gas.an = 0.0f;
  gas.gs = 0.0f;
  gas.converged = false;
  gas.ci = 0.7f * ca;
  for (int it = 0; it < control.max_iterations; ++it) {
    if (it % kStopPollPasses == kStopPollPasses - 1 && stop_requested(control)) break;
    const float ci_old = gas.ci;
    const float ac = rates.vcmax * (gas.ci - rates.gamma_star) / (gas.ci + rates.km + kEpsilon);
    const float aj =
        (j * 0.25f) * (gas.ci - rates.gamma_star) / (gas.ci + 2.0f * rates.gamma_star + kEpsilon);
    gas.an = fminf(ac, aj) - rates.rd;
    const float a_plus = fmaxf(gas.an, 0.0f);
    gas.gs = fmaxf(g0, a_plus * stomatal_gain + g0);
    gas.ci = fminf(ca, fmaxf(ca - kCo2Diffusivity * a_plus / (gas.gs + kEpsilon), kMinCi));
    if (fabsf(gas.ci - ci_old) < control.tolerance) {
      gas.converged = true;
      break;
    }
  }
  return gas;
}

/// Fluorescence yield for absorbed PAR `par` and net assimilation `an`, with the 25 degC
/// electron transport capacity `jmax25` and the quantum-yield scale `quantum_yield`
/// (dimensionless; 0 when quantum_yield <= 0). The relative yield falls as photochemistry
/// (4 A+ / (0.425 PAR)) rises and recovers when the light exceeds jmax25 / 0.8.
TESK_SHARED_FN float fluorescence_yield(float par, float an, float jmax25, float quantum_yield) {
  TESK_LEAF_CONSTANTS;
  if (quantum_yield <= 0.0f) return 0.0f;
  const float absorbed = 0.425f * par;
  float relative = 0.01f;
  if (!(absorbed < 1e-6f)) {
    const float photochemistry = fminf(4.0f * fmaxf(an, 0.0f) / absorbed, 0.8f);
    const float capacity = jmax25 / 0.8f;
    const float excess = fmaxf(absorbed - capacity, 0.0f);
    relative = 0.05f / (1.0f + 4.0f * photochemistry / 0.8f +
                        2.0f * excess / (capacity + excess + kEpsilon));
  }
  return quantum_yield / 0.03f * relative;
}

/// Saturation vapour pressure over water at temperature `t` (K), in Pa.
TESK_SHARED_FN float saturation_vapor_pressure(float t) {
  const float celsius = t - 273.15f;
  return 610.78f * expf(17.27f * celsius / (celsius + 237.3f));
}

/// Energy-balance terms of a leaf at temperature `t` (K) with stomatal conductance `gs`
/// (mol m^-2 s^-1): net radiation, sensible and latent heat (W m^-2), the residual
/// Rn - H - lambda E and its derivative with respect to T at fixed conductance.
TESK_SHARED_FN LeafEnergyTerms leaf_energy_terms(float t, float gs,
                                                 TESK_SHARED_IN(LeafMicroclimate) micro,
                                                 TESK_SHARED_IN(LeafEnergyInputs) energy) {
  TESK_LEAF_CONSTANTS;
  const float rb = 200.0f * sqrtf(energy.leaf_width / fmaxf(micro.wind, 0.1f));
  const float h = energy.sidedness * kAirDensity * kAirHeatCapacity / rb;
  const float celsius = t - 273.15f;
  const float es = saturation_vapor_pressure(t);
  const float es_slope = 17.27f * es * 237.3f / ((celsius + 237.3f) * (celsius + 237.3f));
  const float rs = (micro.pressure * 1000.0f) / (kGasConstant * t) / fmaxf(gs, kEpsilon);
  const float latent_coefficient =
      energy.stomata_sides * kAirDensity * kAirHeatCapacity / kPsychrometric / (rs + rb);
  const float t3 = t * t * t;
  LeafEnergyTerms terms;
  terms.net_radiation = energy.absorbed_shortwave + energy.absorbed_longwave -
                        energy.emissivity * energy.sidedness * kStefanBoltzmann * t3 * t;
  terms.sensible_heat = h * (t - energy.air_temperature);
  terms.latent_heat = latent_coefficient * (es - energy.vapor_pressure);
  terms.residual = terms.net_radiation - terms.sensible_heat - terms.latent_heat;
  terms.derivative = -4.0f * energy.sidedness * energy.emissivity * kStefanBoltzmann * t3 - h -
                     es_slope * latent_coefficient;
  return terms;
}

/// Solves one leaf element: photosynthesis and stomatal conductance at `temperature` (K) for
/// absorbed PAR `par`, and with `energy_balance` its energy terms. With `solve_temperature`
/// (meaningful only with `energy_balance`) the leaf temperature is first found by Newton
/// steps on Rn - H - lambda E, each limited to +-10 K and clamped to [200, 350] K, stopping
/// when a step is below the tolerance; photosynthesis is then solved once more at that
/// temperature. `converged` is set only if every iteration that ran met the tolerance.
TESK_SHARED_FN LeafSolution solve_leaf(float par, float temperature,
                                       TESK_SHARED_IN(LeafTraits) traits,
                                       TESK_SHARED_IN(LeafMicroclimate) micro,
                                       TESK_SHARED_IN(LeafEnergyInputs) energy, bool energy_balance,
                                       bool solve_temperature,
                                       TESK_SHARED_IN(SolverControl) control) {
  TESK_LEAF_CONSTANTS;
  float t = temperature;
  bool temperature_converged = true;
  if (energy_balance && solve_temperature) {
    temperature_converged = false;
    for (int it = 0; it < control.max_iterations; ++it) {
      if (stop_requested(control)) break;
      const GasExchange gas =
          solve_gas_exchange(par, leaf_rates(traits, t), traits, micro, control);
      const LeafEnergyTerms terms = leaf_energy_terms(t, gas.gs, micro, energy);
      float t_new = t;
      if (fabsf(terms.derivative) > kEpsilon) {
        t_new = t - clamp_value(terms.residual / terms.derivative, -kMaxNewtonStep, kMaxNewtonStep);
      }
      t_new = clamp_value(t_new, kMinLeafTemperature, kMaxLeafTemperature);
      const float change = fabsf(t_new - t);
      t = t_new;
      if (change < control.tolerance) {
        temperature_converged = true;
        break;
      }
    }
  }
  const GasExchange gas = solve_gas_exchange(par, leaf_rates(traits, t), traits, micro, control);
  LeafSolution solution;
  solution.an = gas.an;
  solution.gs = gas.gs;
  solution.ci = gas.ci;
  solution.phi_f = fluorescence_yield(par, gas.an, traits.jmax25, traits.quantum_yield);
  solution.temperature = t;
  solution.converged = gas.converged && temperature_converged;
  solution.net_radiation = 0.0f;
  solution.sensible_heat = 0.0f;
  solution.latent_heat = 0.0f;
  if (energy_balance) {
    const LeafEnergyTerms terms = leaf_energy_terms(t, gas.gs, micro, energy);
    solution.net_radiation = terms.net_radiation;
    solution.sensible_heat = terms.sensible_heat;
    solution.latent_heat = terms.latent_heat;
  }
  return solution;
}

#ifdef __cplusplus
}  // namespace tesk::physiology
#endif

#endif  // TESK_PHYSIOLOGY_LEAF_MODEL_H
