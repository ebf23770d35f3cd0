#pragma once

// The data a scene carries beside its geometry and description: per-primitive tables (global
// primitive order) and per-instance tables (insertion order), plain vectors with their shapes,
// kept in one place. The scene manager validates them when they are set; workflows read them.

#include <cstdint>
#include <vector>

namespace tesk::embree {

/// Per-instance SIF source fields read by the SIF workflows.
struct InstanceSifSourceFields {
  std::vector<float> spatial_spectra;
  std::vector<float> orientation_spectra;
  std::vector<float> joint_spectra;
  std::vector<float> direct_joint_spectra;
  std::vector<float> bounds_min;   ///< 3 floats per instance.
  std::vector<float> bounds_max;   ///< 3 floats per instance.
  std::vector<int32_t> grid_dims;  ///< 3 ints per instance.
  int32_t spatial_cell_stride = 0;
  int32_t orientation_theta_bins = 0;
  int32_t orientation_phi_bins = 0;
  int32_t n_bands = 0;  ///< SIF bands of the spectra (set by the scene manager).
};

/// Per-instance thermal state of turbid media.
struct InstanceTurbidThermalState {
  std::vector<float> temperature_sunlit;  ///< K.
  std::vector<float> temperature_shaded;  ///< K.
  std::vector<float> sunlit_fraction;     ///< 0..1.
  std::vector<float> emissivity;          ///< 0..1.
};

/// Per-primitive tables; an empty table is not set.
struct PrimitiveTables {
  std::vector<float> emissivity;   ///< One emissivity per primitive.
  std::vector<float> temperature;  ///< One temperature (K) per primitive.
  std::vector<float> sif;          ///< [n_sif_bands][n_primitives] SIF spectra.
};

/// Per-instance tables; an empty table is not set.
struct InstanceTables {
  std::vector<float> sif;                     ///< [n_sif_bands][n_instances] SIF spectra.
  InstanceTurbidThermalState turbid_thermal;  ///< Thermal state of turbid media.
  InstanceSifSourceFields sif_source;         ///< SIF source fields.
};

/// The committed outcome of a joint thermo-physiology run: per-element temperatures under the
/// identifier later thermal and fluorescence sources refer to.
struct JointThermoPhysiologyState {
  uint64_t id = 0;                        ///< Joint state identifier (0: none committed).
  std::vector<uint64_t> stable_ids;       ///< Element stable ids, request order.
  std::vector<float> temperature;         ///< Blended element temperature (K).
  std::vector<float> temperature_sunlit;  ///< Sunlit branch temperature (K).
  std::vector<float> temperature_shaded;  ///< Shaded branch temperature (K).
};

/// Everything attached to a scene.
struct SceneAttachments {
  PrimitiveTables primitive;         ///< Per-primitive tables.
  InstanceTables instance;           ///< Per-instance tables.
  int32_t n_sif_bands = 0;           ///< Bands of the SIF spectra (primitive and instance).
  JointThermoPhysiologyState joint;  ///< Last committed joint thermo-physiology state.
};

}  // namespace tesk::embree
