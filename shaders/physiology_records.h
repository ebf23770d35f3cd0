// Push constants and buffer layouts of the physiology, process and SIF shaders, shared by the
// Vulkan host code and the GLSL sources (the subset of core/shared_language.h). Per-element
// inputs and outputs travel field-major: field f of element e at f * n_elements + e.
#ifndef TESK_PHYSIOLOGY_RECORDS_H
#define TESK_PHYSIOLOGY_RECORDS_H

#include "core/shared_language.h"

#ifdef __cplusplus
#include <cstdint>
#include <type_traits>
namespace tesk::vulkan::device {
#endif

// What one dispatch of photosynthesis_process.spv computes.
TESK_SHARED_CONST int kModePhysiologySolver = 0;  // solve_physiology: one leaf per element
TESK_SHARED_CONST int kModeStaticProcess = 1;     // sunlit and shaded branches, blended
TESK_SHARED_CONST int kModeDynamicStep = 2;       // one relaxation step of the dynamic process

// Scalars of every photosynthesis dispatch (unused ones are zero).
struct PhysiologyPush {
  int mode;               // kMode...
  int n_elements;         // elements of this dispatch
  int n_bands;            // bands of the apar or absorbed spectra
  int n_materials;        // rows of the material table (static process)
  int max_iterations;     // leaf iteration limit
  float tolerance;        // leaf convergence threshold
  int energy_balance;     // solver: compute the energy terms
  int solve_temperature;  // solver: Newton on leaf temperature
  int conditional;        // dynamic step: sunlit and shaded branches
  float co2;              // scalar CO2 (processes)
  float relative_humidity;
  float air_temperature;
  float vapor_pressure;
  float pressure;
  float wind;
  float damping;  // dynamic step relaxation
};

// Solver inputs (element_in), field-major.
TESK_SHARED_CONST int kSolverTemperature = 0;
TESK_SHARED_CONST int kSolverCo2 = 1;
TESK_SHARED_CONST int kSolverRelativeHumidity = 2;
TESK_SHARED_CONST int kSolverPressure = 3;
TESK_SHARED_CONST int kSolverWind = 4;
TESK_SHARED_CONST int kSolverVcmax25 = 5;
TESK_SHARED_CONST int kSolverJmax25 = 6;
TESK_SHARED_CONST int kSolverRd25 = 7;
TESK_SHARED_CONST int kSolverSlope = 8;
TESK_SHARED_CONST int kSolverIntercept = 9;
TESK_SHARED_CONST int kSolverQuantumYield = 10;
TESK_SHARED_CONST int kSolverShortwave = 11;
TESK_SHARED_CONST int kSolverLongwave = 12;
TESK_SHARED_CONST int kSolverAirTemperature = 13;
TESK_SHARED_CONST int kSolverVaporPressure = 14;
TESK_SHARED_CONST int kSolverEmissivity = 15;
TESK_SHARED_CONST int kSolverSidedness = 16;
TESK_SHARED_CONST int kSolverLeafWidth = 17;
TESK_SHARED_CONST int kSolverStomataSides = 18;
TESK_SHARED_CONST int kSolverInputFields = 19;
// Solver outputs (element_out); converged is 0 or 1.
TESK_SHARED_CONST int kSolverOutAn = 0;
TESK_SHARED_CONST int kSolverOutGs = 1;
TESK_SHARED_CONST int kSolverOutCi = 2;
TESK_SHARED_CONST int kSolverOutPhiF = 3;
TESK_SHARED_CONST int kSolverOutConverged = 4;
TESK_SHARED_CONST int kSolverOutTemperature = 5;
TESK_SHARED_CONST int kSolverOutNetRadiation = 6;
TESK_SHARED_CONST int kSolverOutSensibleHeat = 7;
TESK_SHARED_CONST int kSolverOutLatentHeat = 8;
TESK_SHARED_CONST int kSolverOutputFields = 9;

// Static process: element_in holds sunlit fraction and the two temperatures; spectra holds
// absorbed top, bottom and direct (each n_elements x n_bands) and then the n_bands PAR factors;
// int_in holds material ids (n_elements), then active and fluorescent flags (n_materials each);
// material_in the six leaf traits, trait-major over materials.
TESK_SHARED_CONST int kStaticSunlitFraction = 0;
TESK_SHARED_CONST int kStaticTemperatureSunlit = 1;
TESK_SHARED_CONST int kStaticTemperatureShaded = 2;
TESK_SHARED_CONST int kStaticInputFields = 3;
TESK_SHARED_CONST int kTraitVcmax25 = 0;
TESK_SHARED_CONST int kTraitJmax25 = 1;
TESK_SHARED_CONST int kTraitRd25 = 2;
TESK_SHARED_CONST int kTraitSlope = 3;
TESK_SHARED_CONST int kTraitIntercept = 4;
TESK_SHARED_CONST int kTraitQuantumYield = 5;
TESK_SHARED_CONST int kTraitFields = 6;
TESK_SHARED_CONST int kStaticOutTemperature = 0;
TESK_SHARED_CONST int kStaticOutAn = 1;
TESK_SHARED_CONST int kStaticOutGs = 2;
TESK_SHARED_CONST int kStaticOutPhiF = 3;
TESK_SHARED_CONST int kStaticOutApar = 4;
TESK_SHARED_CONST int kStaticOutAparSunlit = 5;
TESK_SHARED_CONST int kStaticOutAparShaded = 6;
TESK_SHARED_CONST int kStaticOutAnSunlit = 7;
TESK_SHARED_CONST int kStaticOutAnShaded = 8;
TESK_SHARED_CONST int kStaticOutActive = 9;
TESK_SHARED_CONST int kStaticOutConverged = 10;
TESK_SHARED_CONST int kStaticOutputFields = 11;

// Dynamic step: element_in per element (quantum yield already zero for non-fluorescent leaves;
// the state fields are the branch temperatures before the step); int_in the active flags.
TESK_SHARED_CONST int kDynamicApar = 0;
TESK_SHARED_CONST int kDynamicShortwave = 1;
TESK_SHARED_CONST int kDynamicEmissivity = 2;
TESK_SHARED_CONST int kDynamicSidedness = 3;
TESK_SHARED_CONST int kDynamicLeafWidth = 4;
TESK_SHARED_CONST int kDynamicStomataSides = 5;
TESK_SHARED_CONST int kDynamicVcmax25 = 6;
TESK_SHARED_CONST int kDynamicJmax25 = 7;
TESK_SHARED_CONST int kDynamicRd25 = 8;
TESK_SHARED_CONST int kDynamicSlope = 9;
TESK_SHARED_CONST int kDynamicIntercept = 10;
TESK_SHARED_CONST int kDynamicQuantumYield = 11;
TESK_SHARED_CONST int kDynamicSunlitFraction = 12;
TESK_SHARED_CONST int kDynamicAparSunlit = 13;
TESK_SHARED_CONST int kDynamicAparShaded = 14;
TESK_SHARED_CONST int kDynamicShortwaveSunlit = 15;
TESK_SHARED_CONST int kDynamicShortwaveShaded = 16;
TESK_SHARED_CONST int kDynamicLongwave = 17;
TESK_SHARED_CONST int kDynamicTemperatureSunlit = 18;
TESK_SHARED_CONST int kDynamicTemperatureShaded = 19;
TESK_SHARED_CONST int kDynamicInputFields = 20;
TESK_SHARED_CONST int kDynamicOutTemperatureSunlit = 0;
TESK_SHARED_CONST int kDynamicOutTemperatureShaded = 1;
TESK_SHARED_CONST int kDynamicOutTemperature = 2;
TESK_SHARED_CONST int kDynamicOutChange = 3;
TESK_SHARED_CONST int kDynamicOutAn = 4;
TESK_SHARED_CONST int kDynamicOutAnSunlit = 5;
TESK_SHARED_CONST int kDynamicOutAnShaded = 6;
TESK_SHARED_CONST int kDynamicOutGs = 7;
TESK_SHARED_CONST int kDynamicOutCi = 8;
TESK_SHARED_CONST int kDynamicOutPhiF = 9;
TESK_SHARED_CONST int kDynamicOutNetRadiation = 10;
TESK_SHARED_CONST int kDynamicOutSensibleHeat = 11;
TESK_SHARED_CONST int kDynamicOutLatentHeat = 12;
TESK_SHARED_CONST int kDynamicOutEmitted = 13;
TESK_SHARED_CONST int kDynamicOutConverged = 14;
TESK_SHARED_CONST int kDynamicOutputFields = 15;

// Surface-balance step of the energy-balance process (energy_balance_process.spv).
struct SurfaceBalancePush {
  int n_elements;
  int newton_max_iterations;
  float newton_tolerance;
  float max_step;  // largest Newton step (K)
  float damping;
  float air_temperature;
  float vapor_pressure;
};
TESK_SHARED_CONST int kSurfaceAbsorbed = 0;  // shortwave + longwave
TESK_SHARED_CONST int kSurfaceEmissivity = 1;
TESK_SHARED_CONST int kSurfaceSidedness = 2;
TESK_SHARED_CONST int kSurfaceSensibleDerivative = 3;
TESK_SHARED_CONST int kSurfaceLatentCoefficient = 4;
TESK_SHARED_CONST int kSurfaceGroundHeat = 5;
TESK_SHARED_CONST int kSurfaceTemperature = 6;  // before the step
TESK_SHARED_CONST int kSurfaceInputFields = 7;
TESK_SHARED_CONST int kSurfaceOutTemperature = 0;  // relaxed
TESK_SHARED_CONST int kSurfaceOutChange = 1;
TESK_SHARED_CONST int kSurfaceOutNetRadiation = 2;
TESK_SHARED_CONST int kSurfaceOutSensibleHeat = 3;
TESK_SHARED_CONST int kSurfaceOutLatentHeat = 4;
TESK_SHARED_CONST int kSurfaceOutEmitted = 5;
TESK_SHARED_CONST int kSurfaceOutConverged = 6;
TESK_SHARED_CONST int kSurfaceOutputFields = 7;

// SIF finalization (sif_process.spv).
struct SifProcessPush {
  int n_elements;
  int n_bands;
  int n_selected;
  int has_element_phi_f;  // 1: element_phi_f overrides the material yield
};

// SIF source assembly (sif_source_assembly.spv): one invocation per (instance, band) adds that
// band of the instance's samples, in sample order, into double sums; band 0 also counts.
struct SifAssemblyPush {
  int n_instances;
  int n_samples;
  int n_bands;
  int cell_stride;
  int theta_bins;
  int phi_bins;
};

#ifdef __cplusplus
static_assert(sizeof(SifAssemblyPush) == 24);
static_assert(sizeof(PhysiologyPush) == 64 && std::is_trivially_copyable_v<PhysiologyPush>);
static_assert(sizeof(SurfaceBalancePush) == 28);
static_assert(sizeof(SifProcessPush) == 16);
}  // namespace tesk::vulkan::device
#endif

#endif  // TESK_PHYSIOLOGY_RECORDS_H
