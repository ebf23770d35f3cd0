#pragma once

// The leaf physiology solver over arrays of elements: request validation, one parallel loop
// of the per-element leaf model, owned result vectors.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/host/execution.h"
#include "core/host/progress.h"
#include "physiology/leaf_element.h"

namespace tesk::physiology {

/// A borrowed, read-only float array: pointer and element count.
struct FloatBuffer {
  const float* data = nullptr;  ///< First value; may be null only when size is 0.
  size_t size = 0;              ///< Number of float values.
};

/// Borrowed view of one physiology request; every buffer belongs to the caller for the
/// duration of the call and holds one value per element unless said otherwise.
struct PhysiologyRequestView {
  int32_t n_elements = 0;  ///< Number of leaf elements (>= 1).
  int32_t n_bands = 0;     ///< Number of absorbed-PAR bands (>= 1).
  FloatBuffer apar;        ///< Absorbed PAR, element-major [n_elements x n_bands] (umol m^-2 s^-1).
  FloatBuffer temperature;        ///< Leaf temperature (K); the start value when it is solved.
  FloatBuffer co2;                ///< Ambient CO2 mole fraction (umol mol^-1).
  FloatBuffer relative_humidity;  ///< Relative humidity at the leaf surface, fraction 0-1.
  FloatBuffer vpd;                ///< Vapour pressure deficit; validated, unused by the model.
  FloatBuffer pressure;           ///< Air pressure (kPa).
  FloatBuffer wind;               ///< Wind speed (m s^-1).
  FloatBuffer vcmax25;            ///< Maximum carboxylation rate at 25 degC (umol m^-2 s^-1).
  FloatBuffer jmax25;             ///< Maximum electron transport rate at 25 degC (umol m^-2 s^-1).
  FloatBuffer rd25;               ///< Dark respiration at 25 degC (umol m^-2 s^-1).
  FloatBuffer ball_berry_slope;   ///< Ball-Berry slope m.
  FloatBuffer ball_berry_intercept;  ///< Ball-Berry intercept g0 (mol m^-2 s^-1).
  FloatBuffer quantum_yield;         ///< Fluorescence quantum-yield scale 0-1; 0 turns it off.
  bool energy_balance = false;       ///< Compute net radiation, sensible and latent heat.
  bool solve_temperature = false;    ///< Solve leaf temperature (only with energy_balance).
  FloatBuffer absorbed_shortwave;    ///< Absorbed shortwave (W m^-2), energy balance only.
  FloatBuffer absorbed_longwave;     ///< Absorbed longwave (W m^-2), energy balance only.
  FloatBuffer air_temperature;       ///< Air temperature (K), energy balance only.
  FloatBuffer vapor_pressure;        ///< Ambient vapour pressure (Pa), energy balance only.
  FloatBuffer emissivity;            ///< Longwave emissivity (0, 1], energy balance only.
  FloatBuffer sidedness;             ///< Emitting / convecting sides (1 or 2), energy balance only.
  FloatBuffer leaf_width;            ///< Characteristic leaf width (m), energy balance only.
  FloatBuffer stomata_sides;         ///< Sides carrying stomata, energy balance only.
  int32_t max_iterations = 0;        ///< Iteration limit of both iterations (>= 1).
  float tolerance = 0.0f;            ///< Convergence threshold of both iterations (finite, > 0).
};

/// Per-element outputs of one solve (n_elements entries each).
struct PhysiologyResult {
  std::vector<float> an;             ///< Net CO2 assimilation (umol m^-2 s^-1).
  std::vector<float> gs;             ///< Stomatal conductance (mol m^-2 s^-1).
  std::vector<float> ci;             ///< Intercellular CO2 (umol mol^-1).
  std::vector<float> phi_f;          ///< Fluorescence yield (dimensionless).
  std::vector<uint8_t> converged;    ///< 1 when every iteration met the tolerance, else 0.
  std::vector<float> temperature;    ///< Leaf temperature (K); energy balance only, else empty.
  std::vector<float> net_radiation;  ///< Net radiation (W m^-2); energy balance only.
  std::vector<float> sensible_heat;  ///< Sensible heat (W m^-2); energy balance only.
  std::vector<float> latent_heat;    ///< Latent heat (W m^-2); energy balance only.
  ExecutionIdentity execution;       ///< embree / physiology_solver / embree.cpu.physiology_solver.
};

/// Product a * b, or std::invalid_argument "<what> size overflows size_t" when it does not fit.
size_t checked_element_count(size_t a, size_t b, const char* what);

/// Checks a request in the fixed order (counts, iteration settings, buffer lengths, finite
/// values, non-negative PAR, physical domains per element). Throws std::invalid_argument with
/// the message of the first failed check; returns normally for a valid request.
void validate_physiology_request(const PhysiologyRequestView& request);

/// The request's arrays as solve_leaf_element reads them (the view's pointers; the energy arrays
/// only with its energy balance).
LeafElementInputs leaf_element_inputs(const PhysiologyRequestView& request);

/// A result with every array sized for `request` (the four energy arrays only with its energy
/// balance) and no execution record.
PhysiologyResult sized_physiology_result(const PhysiologyRequestView& request);

/// The arrays of `result` as solve_leaf_element writes them (null for an empty array).
LeafElementOutputs leaf_element_outputs(PhysiologyResult& result);

/// Validates `request`, then solves every element (Farquhar photosynthesis, Ball-Berry
/// conductance, fluorescence yield and, when requested, the leaf energy balance) in chunks on
/// the parallel driver, `num_threads` workers (below 1: the hardware concurrency); every
/// element's result depends on that element alone.
/// Non-convergence is reported in `converged`, never thrown. Throws std::invalid_argument
/// for an invalid request (nothing is solved then). A non-empty `interrupt` is called on the
/// calling thread every 100 ms while the workers solve; an exception it throws stops them
/// within a few hundred iteration passes and is rethrown once they have stopped.
PhysiologyResult solve_physiology(const PhysiologyRequestView& request, int num_threads = 0,
                                  const InterruptCheck& interrupt = {});

}  // namespace tesk::physiology
