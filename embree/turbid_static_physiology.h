#pragma once

// The turbid static-physiology process: the leaf model (photosynthesis, stomatal conductance,
// fluorescence yield) at prescribed leaf temperatures for the sunlit and the shaded record of
// every leaf-area sample, driven by the absorbed PAR of a radiation-stage state.

#include <cstdint>
#include <functional>
#include <vector>

#include "core/host/progress.h"
#include "embree/scene_manager.h"
#include "physiology/solver.h"
#include "turbid/registry.h"
#include "turbid/states.h"

namespace tesk::embree {

/// Per-owner (domain component) leaf parameters of a static-physiology request.
struct TurbidPhysiologyOwner {
  double vcmax25 = 0.0;                ///< Maximum carboxylation rate at 25 degC (umol m-2 s-1).
  double jmax25 = 0.0;                 ///< Maximum electron transport at 25 degC (umol m-2 s-1).
  double rd25 = 0.0;                   ///< Dark respiration at 25 degC (umol m-2 s-1).
  double ball_berry_slope = 0.0;       ///< Ball-Berry slope m.
  double ball_berry_intercept = 0.0;   ///< Ball-Berry intercept g0 (mol m-2 s-1).
  double quantum_yield = 0.0;          ///< Fluorescence quantum-yield scale in [0, 1].
  uint32_t active = 1;                 ///< 0: the owner's samples keep zero gas exchange.
  uint32_t fluorescent = 1;            ///< 0: the fluorescence yield is 0.
  double temperature_sunlit = 298.15;  ///< Sunlit leaf temperature (K).
  double temperature_shaded = 298.15;  ///< Shaded leaf temperature (K).
};

/// A static-physiology request as the host gives it.
struct OwnedTurbidStaticPhysiologyRequest {
  uint64_t contract_revision = 1;
  uint64_t workflow_revision = 0;
  turbid::TurbidStateToken radiation_token;   ///< The radiation-stage source state.
  int64_t max_iterations = 50;                ///< Leaf-model iteration limit.
  double tolerance = 1e-3;                    ///< Leaf-model Ci threshold (umol mol-1).
  std::vector<TurbidPhysiologyOwner> owners;  ///< One per domain component, in order.
  std::vector<float> co2;                     ///< Per owner: ambient CO2 (umol mol-1).
  std::vector<float> relative_humidity;       ///< Per owner: relative humidity in [0, 1].
  int num_threads = 0;                        ///< Workers; below 1: the hardware concurrency.
};

/// Per-sample leaf-model outputs for one condition (n values each).
struct TurbidPhysiologyBranch {
  std::vector<float> an, gs, ci, phi_f;
  std::vector<uint8_t> converged;
};

/// Per-sample solver results of a static-physiology run.
struct TurbidPhysiologyResults {
  TurbidPhysiologyBranch sunlit, shaded;
};

/// Checks a request in the documented order against a domain (contract, workflow revision,
/// source stage, owners, array sizes, iteration settings, scalar inputs, owner parameters).
/// std::invalid_argument with the request's messages.
void validate_static_physiology_request(const turbid::TurbidDomainRecord& domain,
                                        const OwnedTurbidStaticPhysiologyRequest& request);

/// std::runtime_error "Embree StaticPhysiology requires a built optical scene. No fallback was
/// performed." unless `scene` is built with optical turbid media.
void require_static_physiology_scene(const EmbreeSceneManager& scene);

/// The static-physiology-stage state: `radiation` with the temperature, An, gs, Ci and Phi_f of
/// each record and the convergence flags replaced from `results`, a fresh state id and the state
/// revision advanced by one. Throws std::invalid_argument "Turbid state field count mismatch: "
/// + field, "non-finite Turbid state field: " + field, "Turbid convergence count mismatch",
/// "Turbid convergence flag must be zero or one"; std::overflow_error "Turbid state revision
/// overflow".
turbid::OwnedTurbidState assemble_turbid_static_physiology_state(
    const turbid::TurbidDomainRecord& domain, const OwnedTurbidStaticPhysiologyRequest& request,
    const turbid::OwnedTurbidState& radiation, const TurbidPhysiologyResults& results);

/// Runs the process with `radiation` (the resolved state of request.radiation_token) and returns
/// the static-physiology-stage state (not committed). The leaf model is the physiology solver's,
/// one element per sample and condition of an active owner; inactive owners' samples keep zero
/// gas exchange. Throws the validation errors, std::invalid_argument "StaticPhysiology requires
/// a compatible radiation-state token", "StaticPhysiology radiation state sample count
/// mismatch", std::runtime_error "Embree StaticPhysiology requires a built optical scene. No
/// fallback was performed.", the solver's errors and those of the assembly.
/// `solve`, when given, replaces the CPU solver for the per-element leaf model (a device
/// backend passes its own).
using TurbidPhysiologySolve =
    std::function<physiology::PhysiologyResult(const physiology::PhysiologyRequestView&)>;
turbid::OwnedTurbidState execute_turbid_static_physiology(
    const EmbreeSceneManager& scene, const turbid::TurbidDomainRecord& domain,
    const OwnedTurbidStaticPhysiologyRequest& request, const turbid::OwnedTurbidState& radiation,
    const InterruptCheck& interrupt = {}, const TurbidPhysiologySolve& solve = {});

}  // namespace tesk::embree
