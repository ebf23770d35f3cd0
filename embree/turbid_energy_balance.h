#pragma once

// The turbid energy-balance process: sunlit and shaded leaf temperatures of every leaf-area
// sample of a resident domain. Shortwave comes from a radiation- or static-physiology-stage
// state; longwave is exchanged with the scene and between the media by the leaf reverse ray
// tracer in thermal mode, alternating with a per-sample Newton solve until temperatures settle.

#include <cstdint>
#include <vector>

#include "core/host/progress.h"
#include "embree/scene_manager.h"
#include "embree/turbid_leaf_rrt.h"
#include "turbid/registry.h"
#include "turbid/states.h"

namespace tesk::embree {

/// Per-owner (domain component) leaf parameters of an energy balance.
struct TurbidEnergyBalanceOwner {
  int64_t transport_medium_id = -1;    ///< Scene optical medium of the owner.
  int64_t transport_instance_id = -1;  ///< Scene instance carrying that medium.
  bool active = true;                  ///< Inactive owners stay at the air temperature.
  double emissivity = 0.98;            ///< Leaf emissivity, in (0, 1].
  double sidedness = 2.0;              ///< Emitting sides, in [1, 2].
  double leaf_width = 0.05;            ///< Leaf width (m), > 0.
  double stomata_sides = 1.0;          ///< Sides with stomata, > 0.
  double sensible_derivative = 0.0;    ///< dH/dT (W m-2 K-1), >= 0.
  double latent_coefficient = 0.0;     ///< dLE/de (W m-2 Pa-1), >= 0.
  double ground_heat = 0.0;            ///< Storage/ground term (W m-2), >= 0.
};

/// An energy-balance request as the host gives it.
struct OwnedTurbidEnergyBalanceRequest {
  uint64_t contract_revision = 1;
  uint64_t workflow_revision = 0;
  turbid::TurbidStateToken source_token;  ///< Radiation or static-physiology state.
  double air_temperature = 293.15;        ///< K, > 0.
  double vapor_pressure = 1000.0;         ///< Pa, >= 0.
  double pressure = 101325.0;             ///< Pa, > 0.
  double wind = 1.0;                      ///< m s-1, >= 0.
  double sky_lw_radiance = 0.0;           ///< W m-2 sr-1, >= 0.
  int64_t rays_per_sample = 32, max_depth = 8, max_iterations = 10;
  double convergence_tolerance = 0.05;  ///< K.
  double damping = 1.0;                 ///< In (0, 1].
  int64_t newton_max_iterations = 50;
  double newton_tolerance = 1e-4;                ///< K.
  std::vector<TurbidEnergyBalanceOwner> owners;  ///< One per domain component, in order.
  uint64_t seed = 0;
  int num_threads = 0;
};

/// Fluxes of one branch (sunlit or shaded) of one sample.
struct TurbidEnergyBalanceBranchFluxes {
  double temperature = 0.0;         ///< K.
  double absorbed_lw_top = 0.0;     ///< W m-2.
  double absorbed_lw_bottom = 0.0;  ///< W m-2.
  double emitted_longwave = 0.0;    ///< e sigma s T^4 (W m-2).
  double sensible_heat = 0.0;       ///< W m-2.
  double latent_heat = 0.0;         ///< W m-2.
  bool converged = false;           ///< The Newton solve met its tolerance.
};

/// Newton solve of one branch: f(T) = R - e sigma s T^4 - h (T - T_air) - k (e_s(T) - e_a) - G
/// from `start`, steps clamped to 20 K and T to [200, 350] K. Fills temperature, the emitted,
/// sensible and latent terms at the final T and the convergence flag.
TurbidEnergyBalanceBranchFluxes solve_turbid_leaf_branch(double absorbed, double start,
                                                         const TurbidEnergyBalanceOwner& owner,
                                                         const OwnedTurbidEnergyBalanceRequest& q);

/// Outcome of a process run.
struct TurbidEnergyBalanceRun {
  turbid::OwnedTurbidState state;       ///< Energy-balance stage, a fresh state id.
  int64_t iterations = 0;               ///< Outer iterations run.
  bool converged = false;               ///< The largest change fell within the tolerance.
  double max_temperature_change = 0.0;  ///< Of the last outer iteration (K).
};

/// Checks a request in the documented order against a domain and the source stage.
/// std::invalid_argument with the request's messages.
void validate_energy_balance_request(const turbid::TurbidDomainRecord& domain,
                                     const OwnedTurbidEnergyBalanceRequest& request);

/// Runs the process with `source` (the resolved state of request.source_token). Throws the
/// validation errors, std::runtime_error "Embree Turbid energy balance requires a built optical
/// scene. No fallback was performed.", std::overflow_error "Turbid state revision overflow",
/// and the errors of the leaf RRT. `transport`, when given, runs the longwave transport in place
/// of the CPU tracer (and the caller checks its own scene).
TurbidEnergyBalanceRun execute_turbid_energy_balance(const EmbreeSceneManager& scene,
                                                     const turbid::TurbidDomainRecord& domain,
                                                     const OwnedTurbidEnergyBalanceRequest& request,
                                                     const turbid::OwnedTurbidState& source,
                                                     const ProgressCallback& progress = {},
                                                     const InterruptCheck& interrupt = {},
                                                     const TurbidLeafRRTTransport& transport = {});

}  // namespace tesk::embree
