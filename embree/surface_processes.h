#pragma once

// Scene processes that couple surface temperatures to the scene's longwave exchange: the
// dynamic photosynthesis process (leaves solved with photosynthesis, stomata and energy
// balance) and the energy-balance process (non-photosynthesising surfaces). Both iterate
// longwave transport -> element solves -> damped relaxation until the temperatures settle,
// writing the temperatures into the scene's per-primitive temperature override between runs.
// Elements are the scene's primitives, in global primitive order.

#include <cstdint>
#include <functional>
#include <span>
#include <utility>
#include <vector>

#include "core/host/execution.h"
#include "core/host/progress.h"
#include "embree/energy_balance.h"
#include "embree/scene_manager.h"
#include "physiology/dynamic_element.h"
#include "physiology/surface_element.h"

namespace tesk::embree {

/// Restores the scene's per-primitive temperature override on scope exit unless dismissed, so a
/// failing process leaves the scene as it found it.
class TemperatureRestore {
 public:
  explicit TemperatureRestore(EmbreeSceneManager& scene)
      : m_scene(scene), m_saved(scene.primitive_temperatures()) {}
  TemperatureRestore(const TemperatureRestore&) = delete;
  TemperatureRestore& operator=(const TemperatureRestore&) = delete;
  ~TemperatureRestore() {
    if (m_dismissed) return;
    try {
      if (m_saved.empty()) {
        m_scene.clear_primitive_temperatures();
      } else {
        m_scene.set_primitive_temperatures(std::move(m_saved));
      }
    } catch (...) {
      // The scene refuses changes only while another workflow uses it; nothing to do then.
    }
  }
  void dismiss() { m_dismissed = true; }

 private:
  EmbreeSceneManager& m_scene;
  std::vector<float> m_saved;
  bool m_dismissed = false;
};

/// Controls of the outer radiative-temperature loop.
struct CouplingControls {
  float sky_lw_radiance = 0.0f;         ///< Longwave sky radiance (W m^-2 sr^-1).
  int32_t n_samples = 64;               ///< Longwave transport rays per face.
  int32_t max_iterations = 20;          ///< Outer iterations (>= 1).
  float convergence_tolerance = 0.01f;  ///< Largest temperature change that ends the loop (K).
  float damping = 1.0f;                 ///< Relaxation factor in (0, 1].
};

/// Per-element and scalar inputs of the dynamic photosynthesis process (spans borrow the
/// caller's arrays; flags are 0 or 1).
struct DynamicPhotosynthesisRequest {
  std::span<const int32_t> active, fluorescent;
  std::span<const float> apar, absorbed_shortwave, initial_temperature, emissivity, sidedness,
      leaf_width, stomata_sides, vcmax25, jmax25, rd25, ball_berry_slope, ball_berry_intercept,
      quantum_yield;
  bool conditional = false;  ///< Solve sunlit and shaded branches.
  std::span<const float> sunlit_fraction, apar_sunlit, apar_shaded, shortwave_sunlit,
      shortwave_shaded;  ///< Read in conditional mode only.
  float co2 = 400.0f, relative_humidity = 0.5f, air_temperature = 293.15f, vapor_pressure = 0.0f,
        pressure = 101.325f, wind = 1.0f;
  CouplingControls coupling;
  int32_t physiology_max_iterations = 50;
  float physiology_tolerance = 1e-3f;
};

/// Per-material coefficients of the energy-balance process, expanded to primitives by
/// `primitive_material_ids`; flags are 0 or 1.
struct EnergyBalanceProcessRequest {
  std::span<const int32_t> primitive_material_ids;
  std::span<const int32_t> material_active;
  std::span<const float> material_initial_temperature, material_emissivity, material_sidedness,
      material_sensible_derivative, material_latent_coefficient, material_ground_heat,
      material_sw_albedo;
  bool precomputed_shortwave = false;
  std::span<const float> absorbed_shortwave_top, absorbed_shortwave_bottom;  ///< When precomputed.
  float air_temperature = 293.15f, vapor_pressure = 0.0f, sw_direct = 0.0f,
        sw_diffuse_radiance = 0.0f, sun_dir_x = 0.0f, sun_dir_y = 0.0f, sun_dir_z = 1.0f;
  CouplingControls coupling;
  int32_t newton_max_iterations = 50;
  float newton_tolerance = 1e-3f;
};

/// Outer-loop diagnostics shared by both processes.
struct CouplingDiagnostics {
  int32_t iterations = 0;                     ///< Outer iterations run.
  bool converged = false;                     ///< Whether the last change was below tolerance.
  float final_max_temperature_change = 0.0f;  ///< damping * max |T_solved - T_current|.
  std::vector<float> history;                 ///< Max change of each iteration (K).
};

/// Result of the dynamic photosynthesis process, n_elements per array.
struct DynamicPhotosynthesisResult {
  std::vector<float> temperature, an, gs, ci, phi_f, apar, temperature_sunlit, temperature_shaded,
      sunlit_fraction, apar_sunlit, apar_shaded, an_sunlit, an_shaded, absorbed_longwave_top,
      absorbed_longwave_bottom, absorbed_longwave, emitted_longwave, net_radiation, sensible_heat,
      latent_heat;
  std::vector<uint8_t> active_mask, element_converged;
  CouplingDiagnostics loop;
  ExecutionIdentity execution;  ///< embree / photosynthesis_process_dynamic.
};

/// Result of the energy-balance process, n_elements per array.
struct EnergyBalanceProcessResult {
  std::vector<float> temperature, absorbed_shortwave_top, absorbed_shortwave_bottom,
      absorbed_shortwave, absorbed_longwave_top, absorbed_longwave_bottom, absorbed_longwave,
      emitted_longwave, net_radiation, sensible_heat, latent_heat, ground_heat;
  std::vector<uint8_t> active_mask, element_converged;
  CouplingDiagnostics loop;
  ExecutionIdentity execution;  ///< embree / energy_balance_process.
};

/// The outer loop of the coupled processes, shared by the CPU and device backends: writes
/// `scene_temperature` into the scene's per-primitive override, then per iteration runs
/// `transport` (the single-band longwave irradiances at the current override, two-sided), forms
/// each element's absorbed longwave (top e E_top, bottom e (sidedness - 1) E_bottom, total),
/// calls `step(total)` (solves, relaxes, updates `scene_temperature`, returns the largest
/// change), writes the temperatures back and stops once the change is below the tolerance. The
/// final temperatures stay in the scene; a failure restores the previous override. Throws
/// std::runtime_error "native longwave result length does not match elements" when the element
/// count or a transport's length differs from the scene's primitives.
void run_coupling_loop(EmbreeSceneManager& scene, const CouplingControls& c,
                       std::span<const float> emissivity, std::span<const float> sidedness,
                       std::vector<float>& scene_temperature,
                       const std::function<EnergyBalanceResult()>& transport,
                       std::vector<float>& lw_top, std::vector<float>& lw_bottom,
                       std::vector<float>& lw_total, CouplingDiagnostics& d,
                       const std::function<float(const std::vector<float>&)>& step);

/// Checks a dynamic request (messages "dynamic photosynthesis n_elements must be positive",
/// "<name> buffer length mismatch", "<name> contains a non-finite value", "dynamic
/// photosynthesis scalar must be finite", "energy balance scalar is outside its domain",
/// "energy balance element is outside its domain"); throws std::invalid_argument.
void validate_dynamic_photosynthesis(const DynamicPhotosynthesisRequest& request);

/// Checks an energy-balance request in the documented order; throws std::invalid_argument.
void validate_energy_balance_process(const EnergyBalanceProcessRequest& request);

/// The dynamic photosynthesis process on `scene` (built; one element per primitive). The
/// absorbed longwave of an element is e (E_top + (sidedness - 1) E_bottom) from the scene's
/// longwave transport at the current temperatures; every active element is solved by the leaf
/// model with its energy balance and temperature (in conditional mode as a sunlit and a shaded
/// branch with their own temperatures, the element temperature being their sunlit-fraction
/// blend), relaxed by the damping and written back to the scene. Reported fluxes are those of
/// the last solve. The final temperatures stay in the scene's per-primitive override; a failing
/// call restores the previous override. Throws std::invalid_argument for an invalid request,
/// std::runtime_error "native longwave result length does not match elements" when the element
/// count differs from the scene's primitive count, "Embree: build the scene before tracing
/// rays" for a scene that is not built; the scene must not be in use by another workflow.
DynamicPhotosynthesisResult execute_photosynthesis_process_dynamic(
    EmbreeSceneManager& scene, const DynamicPhotosynthesisRequest& request, int num_threads = 0,
    const InterruptCheck& interrupt = {});

/// The energy-balance process on `scene`: each primitive takes its material's row; absorbed
/// shortwave is precomputed or (1 - albedo)(E_top + (sidedness - 1) E_bottom) from the shortwave
/// transport with the given sun and sky; the outer loop is that of the dynamic process with the
/// surface balance element solve. Errors and scene state as for the dynamic process
/// ("native shortwave result length does not match elements" for the shortwave run).
EnergyBalanceProcessResult execute_energy_balance_process(
    EmbreeSceneManager& scene, const EnergyBalanceProcessRequest& request, int num_threads = 0,
    const InterruptCheck& interrupt = {});

/// The request's arrays, the branch and element temperatures, the per-element changes and the
/// result's arrays as physiology::dynamic_photosynthesis_element reads and writes them, over
/// every element; the absorbed longwave is set per step.
physiology::DynamicElementArrays dynamic_element_arrays(const DynamicPhotosynthesisRequest& request,
                                                        DynamicPhotosynthesisResult& out,
                                                        std::vector<float>& temperature_sunlit,
                                                        std::vector<float>& temperature_shaded,
                                                        std::vector<float>& temperature,
                                                        std::vector<float>& change);

/// The per-primitive state of an energy-balance process: the result sized and zeroed with its
/// active mask and `execution`, each primitive's material row (emissivity, sidedness, albedo,
/// initial temperature) and the per-element changes of the last step.
struct EnergyBalanceProcessState {
  EnergyBalanceProcessResult out;
  std::vector<float> emissivity, sidedness, albedo, temperature, change;
};

/// The state of a validated request before its shortwave.
EnergyBalanceProcessState start_energy_balance_process(const EnergyBalanceProcessRequest& request,
                                                       const ExecutionIdentity& execution);

/// Fills the absorbed shortwave: the precomputed arrays when `sw` is null, else (1 - albedo)
/// (E_top + (sidedness - 1) E_bottom) of the shortwave transport `sw`. Throws
/// std::runtime_error "native shortwave result length does not match elements" for a transport
/// of another length.
void set_absorbed_shortwave(const EnergyBalanceProcessRequest& request,
                            EnergyBalanceProcessState& state, const EnergyBalanceResult* sw);

/// The request's and state's arrays as physiology::surface_balance_element reads and writes
/// them, over every element; the absorbed longwave is set per step.
physiology::SurfaceElementArrays surface_element_arrays(const EnergyBalanceProcessRequest& request,
                                                        EnergyBalanceProcessState& state);

}  // namespace tesk::embree
