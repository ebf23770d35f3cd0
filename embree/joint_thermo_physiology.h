#pragma once

// Joint thermo-physiology: longwave exchange, surface energy balance and leaf photosynthesis of
// a set of scene elements iterated together. Each outer iteration writes the element
// temperatures and emissivities into the scene, runs the scene's longwave transport, solves
// every dynamic element's branches (sunlit and shaded Farquhar leaves, or one energy-balance
// branch), relaxes the temperatures and measures the largest temperature change, energy
// residual and physiology change. Staging leaves the scene as it found it; the caller commits
// the staged state.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "core/host/progress.h"
#include "embree/energy_balance.h"
#include "embree/scene_manager.h"
#include "embree/turbid_leaf_rrt.h"
#include "physiology/joint_branch.h"

namespace tesk::embree {

/// Representation codes of joint elements.
enum class JointRepresentation : int32_t { MeshPrimitive = 0, TurbidOwner = 1 };
/// Mode codes of joint elements: 0 keeps a prescribed temperature, 3 is the Farquhar leaf
/// model, 1 and 2 solve a plain surface energy balance.
inline constexpr int32_t kJointModePrescribed = physiology::kJointModePrescribedTemperature;
inline constexpr int32_t kJointModeFarquhar = physiology::kJointModeFarquharLeaf;

/// A joint request converted from the host; it owns its arrays (one value per element).
struct OwnedJointThermoPhysiologyRequest {
  // Element records.
  std::vector<uint64_t> stable_ids;           ///< Non-zero, unique.
  std::vector<int32_t> representation_codes;  ///< JointRepresentation values.
  std::vector<int32_t> mode_codes;            ///< See kJointMode*.
  std::vector<int32_t> local_indices;         ///< Mesh: global primitive index.
  std::vector<int32_t> farquhar_indices;      ///< Leaf-model row, -1 for none.
  std::vector<float> areas;                   ///< m^2, > 0.
  std::vector<int32_t> dynamic;               ///< 1 when the temperature is solved.
  // Physical arrays.
  std::vector<float> initial_temperature, initial_temperature_sunlit, initial_temperature_shaded,
      sunlit_fraction, emissivity, sidedness, sensible_derivative, latent_coefficient, ground_heat,
      absorbed_shortwave, absorbed_shortwave_sunlit, absorbed_shortwave_shaded, apar, apar_sunlit,
      apar_shaded, leaf_width, stomata_sides, vcmax25, jmax25, rd25, ball_berry_slope,
      ball_berry_intercept, quantum_yield;
  // Controls.
  int32_t max_iterations = 20;
  float convergence_tolerance = 0.01f, energy_tolerance = 1.0f, physiology_tolerance = 0.01f;
  float damping = 1.0f;
  // Microclimate (pressure in kPa) and transport.
  float air_temperature = 293.15f, co2 = 400.0f, relative_humidity = 0.5f, pressure = 101.325f,
        wind_speed = 1.0f, vapor_pressure = 0.0f, sky_lw_radiance = 0.0f;
  int32_t rays_per_element = 64, max_depth = 8;
  // Transport identities, one per element when any element is a turbid owner (else may be
  // empty): the owner's resident domain and its component index in that domain, the scene
  // optical medium and the instance carrying it.
  std::vector<uint64_t> domain_ids, owner_ids;
  std::vector<int32_t> transport_medium_ids, transport_instance_ids;
  uint64_t seed = 0;  ///< Mixed into the turbid longwave streams (the same every iteration).
};

/// Per-element outputs and diagnostics of one staged run.
struct StagedJointThermoPhysiology {
  std::vector<float> temperature, sunlit_fraction, temperature_sunlit, temperature_shaded, an,
      an_sunlit, an_shaded, gs, gs_sunlit, gs_shaded, absorbed_longwave, net_radiation,
      net_radiation_sunlit, net_radiation_shaded, sensible_heat, sensible_heat_sunlit,
      sensible_heat_shaded, latent_heat, latent_heat_sunlit, latent_heat_shaded;
  int32_t iterations = 0;
  bool converged = false;
  float max_temperature_change = 0.0f;
  float max_energy_residual = 0.0f;
  float max_physiology_change = 0.0f;
  uint64_t max_temperature_change_id = 0;  ///< Stable id holding the temperature maximum.
  uint64_t max_energy_residual_id = 0;     ///< Stable id holding the residual maximum.
  uint64_t max_physiology_change_id = 0;   ///< Stable id holding the physiology maximum.
  float absorbed_longwave_mean = 0.0f;     ///< Mean absorbed longwave of the final transport.
  /// The state to commit: full per-primitive temperatures and emissivities.
  std::vector<float> primitive_temperatures, primitive_emissivities;
  /// Per-instance turbid thermal state to commit (num_instances each) when there are turbid
  /// owners: their instances carry the owners' final temperatures, sunlit fraction and
  /// emissivity, the others keep the scene's previous values.
  std::optional<InstanceTurbidThermalState> turbid_thermal;
};

/// Per-element measures of one outer step.
struct JointStepMeasures {
  std::vector<float> change;       ///< Largest branch temperature change (K).
  std::vector<float> residual;     ///< Largest branch energy residual (W m^-2).
  std::vector<float> physiology;   ///< Largest branch physiology change.
  std::vector<uint8_t> converged;  ///< 1 when every branch solve converged.
};

/// The parts of a joint run that differ between backends; the outer loop, the scene state
/// written before each transport, the measures and the final fluxes are shared.
struct JointBackend {
  /// Whether the scene (and the backend's structures) are built.
  bool scene_ready = false;
  /// The runtime error thrown when it is not.
  const char* unbuilt_message = "";
  /// The single-band longwave transport of the scene's current overrides at the primitives
  /// (render_energy_balance with band type 1, two-sided, no sun) for scenes without media.
  std::function<EnergyBalanceResult(int rays_per_element, int max_depth, float sky_lw_radiance)>
      surface_longwave;
  /// The leaf reverse ray tracer (thermal mode) for scenes with optical turbid media.
  std::function<TurbidLeafRRTResult(const TurbidLeafRRTParams&)> leaf_tracer;
  /// One outer step of every element (physiology::solve_joint_element) at the absorbed
  /// longwave `longwave`: updates the branch states and writes the measures (sized n).
  std::function<void(std::span<const float> longwave,
                     std::vector<physiology::JointBranchState>& sunlit,
                     std::vector<physiology::JointBranchState>& shaded, JointStepMeasures& out)>
      solve_elements;
};

/// The coefficients of element e for the branch solves.
physiology::JointElementInputs joint_element_inputs(const OwnedJointThermoPhysiologyRequest& r,
                                                    size_t e);
/// The leaf traits of element e.
physiology::LeafTraits joint_leaf_traits(const OwnedJointThermoPhysiologyRequest& r, size_t e);
/// The microclimate of the leaf solves (co2, humidity, pressure in kPa, wind).
physiology::LeafMicroclimate joint_microclimate(const OwnedJointThermoPhysiologyRequest& r);
/// Air temperature, vapour pressure and damping.
physiology::JointAir joint_air(const OwnedJointThermoPhysiologyRequest& r);

/// Checks a request in the documented order; throws std::invalid_argument with the message of
/// the first failed check.
void validate_joint_thermo_physiology(const OwnedJointThermoPhysiologyRequest& request);

/// Validates `request`, then runs the outer loop on `scene`. Mesh elements take their absorbed
/// longwave from the scene's longwave transport at their primitives; turbid owners from the leaf
/// reverse ray tracer in thermal mode over the leaf-area samples of their resident domain (the
/// leaf-area-weighted mean), where every owner's instance emits at its owner's current
/// temperatures and other instances as grey bodies at the air temperature. The scene's previous
/// per-primitive temperatures, emissivities and per-instance turbid thermal state are restored
/// when staging ends, on success and on failure. Throws std::out_of_range "joint mesh element
/// primitive index is outside the scene", "joint turbid owner transport medium or instance is
/// outside the scene", std::invalid_argument "joint mesh elements must reference distinct
/// primitives", "joint turbid owner is not a component of its domain", "joint turbid elements
/// must reference distinct owners", the registry's error for a domain that is not resident,
/// std::runtime_error "Embree joint thermo-physiology requires a built scene. No fallback was
/// performed." (also for turbid owners in a scene without optical turbid media) and whatever
/// the transports throw.
StagedJointThermoPhysiology stage_joint_thermo_physiology(
    EmbreeSceneManager& scene, const OwnedJointThermoPhysiologyRequest& request,
    int num_threads = 0, const InterruptCheck& interrupt = {});

/// The same staging with the transports and element steps of `backend` (the scene record
/// `scene` holds the overrides the transports read). Throws backend.unbuilt_message as
/// std::runtime_error when !backend.scene_ready, else as above.
StagedJointThermoPhysiology stage_joint_thermo_physiology(
    EmbreeSceneManager& scene, const OwnedJointThermoPhysiologyRequest& request,
    const JointBackend& backend);

/// Takes the next process-wide joint state identifier (1, 2, ...). Throws std::overflow_error
/// "joint state identifier space exhausted" once the counter would wrap.
uint64_t next_joint_state_id();

}  // namespace tesk::embree
