// One outer step of a joint thermo-physiology element, written once for the CPU and the Vulkan
// shader (the subset of core/shared_language.h): the element's branches (sunlit and shaded
// Farquhar leaves, or one surface energy-balance branch) are solved at the absorbed radiation of
// the current transport, relaxed toward the solved temperatures and measured (temperature
// change, energy residual, physiology change).
#ifndef TESK_PHYSIOLOGY_JOINT_BRANCH_H
#define TESK_PHYSIOLOGY_JOINT_BRANCH_H

#include "physiology/leaf_model.h"
#include "physiology/surface_balance.h"

#ifdef __cplusplus
#include <type_traits>
namespace tesk::physiology {
#endif

/// Mode code of the Farquhar leaf element (sunlit and shaded branches).
TESK_SHARED_CONST int kJointModeFarquharLeaf = 3;
/// Mode code of an element with a prescribed temperature (not solved).
TESK_SHARED_CONST int kJointModePrescribedTemperature = 0;
/// Fixed limits of the branch solves: iterations and threshold (K, umol mol^-1), and the
/// largest Newton step of the surface balance (K).
TESK_SHARED_CONST int kJointBranchIterations = 20;
TESK_SHARED_CONST float kJointBranchThreshold = 0.01f;
TESK_SHARED_CONST float kJointSurfaceNewtonStep = 20.0f;

/// The state of one branch between outer iterations.
struct JointBranchState {
  float temperature TESK_SHARED_DEFAULT(0.0f);  ///< Branch temperature (K).
  float an TESK_SHARED_DEFAULT(0.0f);           ///< Previous net assimilation (umol m^-2 s^-1).
  float gs TESK_SHARED_DEFAULT(0.0f);           ///< Previous conductance (mol m^-2 s^-1).
};

/// The per-element coefficients of the branch solves (one element of the request).
struct JointElementInputs {
  int mode TESK_SHARED_DEFAULT(0);                      ///< Mode code.
  float apar_sunlit TESK_SHARED_DEFAULT(0.0f);          ///< Sunlit branch PAR (umol m^-2 s^-1).
  float apar_shaded TESK_SHARED_DEFAULT(0.0f);          ///< Shaded branch PAR.
  float shortwave TESK_SHARED_DEFAULT(0.0f);            ///< Energy-balance branch shortwave.
  float shortwave_sunlit TESK_SHARED_DEFAULT(0.0f);     ///< Sunlit branch shortwave (W m^-2).
  float shortwave_shaded TESK_SHARED_DEFAULT(0.0f);     ///< Shaded branch shortwave (W m^-2).
  float emissivity TESK_SHARED_DEFAULT(1.0f);           ///< Longwave emissivity.
  float sidedness TESK_SHARED_DEFAULT(1.0f);            ///< Emitting sides [1, 2].
  float sensible_derivative TESK_SHARED_DEFAULT(0.0f);  ///< dH/dT (W m^-2 K^-1).
  float latent_coefficient TESK_SHARED_DEFAULT(0.0f);   ///< W m^-2 Pa^-1.
  float ground_heat TESK_SHARED_DEFAULT(0.0f);          ///< W m^-2.
  float leaf_width TESK_SHARED_DEFAULT(0.05f);          ///< m.
  float stomata_sides TESK_SHARED_DEFAULT(1.0f);        ///< Sides carrying stomata.
};

/// The air shared by every element of a joint run.
struct JointAir {
  float air_temperature TESK_SHARED_DEFAULT(293.15f);  ///< K.
  float vapor_pressure TESK_SHARED_DEFAULT(0.0f);      ///< Pa.
  float damping TESK_SHARED_DEFAULT(1.0f);             ///< Relaxation in (0, 1].
};

/// What one branch solve yields.
struct JointBranchOutcome {
  JointBranchState state;                             ///< The relaxed state.
  float change TESK_SHARED_DEFAULT(0.0f);             ///< |T_new - T_previous| (K).
  float residual TESK_SHARED_DEFAULT(0.0f);           ///< |Rn - H - lambda E - G| at T_solved.
  float physiology_change TESK_SHARED_DEFAULT(0.0f);  ///< Relative change of A and gs.
  bool converged TESK_SHARED_DEFAULT(true);           ///< Whether the branch solve converged.
};

/// What one element step yields: both branch states (the shaded one equals the sunlit one for
/// an energy-balance element) and the element's measures (the larger of its branches).
struct JointElementOutcome {
  JointBranchState sunlit;
  JointBranchState shaded;
  float change TESK_SHARED_DEFAULT(0.0f);
  float residual TESK_SHARED_DEFAULT(0.0f);
  float physiology_change TESK_SHARED_DEFAULT(0.0f);
  bool converged TESK_SHARED_DEFAULT(true);
};

#ifdef __cplusplus
static_assert(std::is_trivially_copyable_v<JointBranchState>);
static_assert(std::is_trivially_copyable_v<JointElementInputs>);
static_assert(std::is_trivially_copyable_v<JointElementOutcome>);
#endif

/// |now - before| relative to the larger magnitude (at least 1e-6).
TESK_SHARED_FN float joint_relative_change(float now, float before) {
  return fabsf(now - before) / fmaxf(fmaxf(fabsf(before), fabsf(now)), 1e-6f);
}

/// The leaf energy inputs of one Farquhar branch.
TESK_SHARED_FN LeafEnergyInputs joint_leaf_inputs(TESK_SHARED_IN(JointElementInputs) e,
                                                  TESK_SHARED_IN(JointAir) air, float shortwave,
                                                  float longwave) {
  LeafEnergyInputs x;
  x.absorbed_shortwave = shortwave;
  x.absorbed_longwave = longwave;
  x.air_temperature = air.air_temperature;
  x.vapor_pressure = air.vapor_pressure;
  x.emissivity = e.emissivity;
  x.sidedness = e.sidedness;
  x.leaf_width = e.leaf_width;
  x.stomata_sides = e.stomata_sides;
  return x;
}

/// The surface-balance inputs of one energy-balance branch.
TESK_SHARED_FN SurfaceBalanceInputs joint_surface_inputs(TESK_SHARED_IN(JointElementInputs) e,
                                                         TESK_SHARED_IN(JointAir) air,
                                                         float shortwave, float longwave) {
  SurfaceBalanceInputs x;
  x.absorbed = shortwave + longwave;
  x.emissivity = e.emissivity;
  x.sidedness = e.sidedness;
  x.sensible_derivative = e.sensible_derivative;
  x.latent_coefficient = e.latent_coefficient;
  x.ground_heat = e.ground_heat;
  x.air_temperature = air.air_temperature;
  x.vapor_pressure = air.vapor_pressure;
  return x;
}

/// Solves one branch from `s` at PAR `apar`, shortwave and longwave (W m^-2): a Farquhar branch
/// by the leaf Newton solve, any other by the surface balance (at most 20 steps of +-20 K);
/// then relaxes T_new = T + damping (T_solved - T). The residual subtracts ground_heat also for
/// a Farquhar branch, which solves without it.
TESK_SHARED_FN JointBranchOutcome solve_joint_branch(TESK_SHARED_IN(JointBranchState) s,
                                                     TESK_SHARED_IN(JointElementInputs) e,
                                                     TESK_SHARED_IN(LeafTraits) traits,
                                                     TESK_SHARED_IN(LeafMicroclimate) micro,
                                                     TESK_SHARED_IN(JointAir) air, float apar,
                                                     float shortwave, float longwave) {
  JointBranchOutcome o;
  o.state = s;
  o.physiology_change = 0.0f;
  float solved = s.temperature;
  if (e.mode == kJointModeFarquharLeaf) {
    SolverControl control;
    control.max_iterations = kJointBranchIterations;
    control.tolerance = kJointBranchThreshold;
    const LeafSolution x =
        solve_leaf(apar, s.temperature, traits, micro,
                   joint_leaf_inputs(e, air, shortwave, longwave), true, true, control);
    o.residual = fabsf(x.net_radiation - x.sensible_heat - x.latent_heat - e.ground_heat);
    o.physiology_change =
        fmaxf(joint_relative_change(x.gs, s.gs), joint_relative_change(x.an, s.an));
    o.converged = x.converged;
    o.state.an = x.an;
    o.state.gs = x.gs;
    solved = x.temperature;
  } else {
    const SurfaceBalanceSolution x = solve_surface_balance(
        s.temperature, joint_surface_inputs(e, air, shortwave, longwave), kJointBranchIterations,
        kJointBranchThreshold, kJointSurfaceNewtonStep);
    o.residual = fabsf(x.net_radiation - x.sensible_heat - x.latent_heat - e.ground_heat);
    o.converged = x.converged;
    solved = x.temperature;
  }
  o.state.temperature = s.temperature + air.damping * (solved - s.temperature);
  o.change = fabsf(o.state.temperature - s.temperature);
  return o;
}

/// One outer step of a dynamic element with absorbed longwave `longwave`: both Farquhar
/// branches, or the single energy-balance branch (whose state the shaded branch copies). A
/// prescribed element keeps its state and measures zero.
TESK_SHARED_FN JointElementOutcome solve_joint_element(
    TESK_SHARED_IN(JointBranchState) sunlit, TESK_SHARED_IN(JointBranchState) shaded,
    TESK_SHARED_IN(JointElementInputs) e, TESK_SHARED_IN(LeafTraits) traits,
    TESK_SHARED_IN(LeafMicroclimate) micro, TESK_SHARED_IN(JointAir) air, float longwave) {
  JointElementOutcome r;
  r.sunlit = sunlit;
  r.shaded = shaded;
  r.change = 0.0f;
  r.residual = 0.0f;
  r.physiology_change = 0.0f;
  r.converged = true;
  if (e.mode == kJointModePrescribedTemperature) return r;
  if (e.mode == kJointModeFarquharLeaf) {
    const JointBranchOutcome a = solve_joint_branch(sunlit, e, traits, micro, air, e.apar_sunlit,
                                                    e.shortwave_sunlit, longwave);
    const JointBranchOutcome b = solve_joint_branch(shaded, e, traits, micro, air, e.apar_shaded,
                                                    e.shortwave_shaded, longwave);
    r.sunlit = a.state;
    r.shaded = b.state;
    r.change = fmaxf(a.change, b.change);
    r.residual = fmaxf(a.residual, b.residual);
    r.physiology_change = fmaxf(a.physiology_change, b.physiology_change);
    r.converged = a.converged && b.converged;
  } else {
    const JointBranchOutcome a =
        solve_joint_branch(sunlit, e, traits, micro, air, 0.0f, e.shortwave, longwave);
    r.sunlit = a.state;
    r.shaded = shaded;
    r.shaded.temperature = a.state.temperature;
    r.change = a.change;
    r.residual = a.residual;
    r.converged = a.converged;
  }
  return r;
}

#ifdef __cplusplus
}  // namespace tesk::physiology
#endif

#endif  // TESK_PHYSIOLOGY_JOINT_BRANCH_H
