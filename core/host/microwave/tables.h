#pragma once

// The tables of a microwave image (core/microwave_path.h) filled from physical parameters: soil
// and trunk vectors through the evaluators of core/host/microwave/evaluators.h at the run's
// frequency, vegetation layers as given, and the sampling CDFs of the vegetation phase tables.
//
// Mapping of the arguments:
//   - soil: [S][>= 12] soil vectors (a single 1-D vector is one soil). Soil s gives the rough
//     passive rows (evaluate_soil, passive), the backscatter rows (evaluate_soil, active) and
//     the smooth Fresnel rows (evaluate_soil_reflectivity, Hallikainen not allowed, as the
//     passive rows) on the cosine grid mu_i = i / (M - 1), M = kMicrowaveTableSize.
//   - vegetation: [V][3] nadir optical depth, single-scattering albedo, temperature (K).
//   - trunk: [T][7] trunk vectors. Passive rows from evaluate_trunk. Active rows from
//     evaluate_trunk_ground over the first soil (no soil: no double bounce) for the monostatic
//     line of sight d = mu p - sqrt(1 - mu^2) a (a the trunk axis, p a unit vector normal to
//     it, ground normal +z), so that mu is the cosine between d and the trunk's surface normal
//     where d meets it; cross sections are divided by the silhouette area 2 a L mu (mu at
//     least 1e-3), giving backscatter per unit area normal to the line of sight. Rows the
//     cylinder model cannot evaluate are zero.
//   - material_map: [n_materials][2] (class, index): class 0 absorber, 1 soil, 2 vegetation,
//     3 trunk, 4 smooth soil; index into that class's rows.
//   - vegetation phase tables: empty, or [V][C][C][A][16] row-major 4 x 4 phase matrices per
//     class, incident cosine cell, outgoing cosine cell and relative azimuth cell (C cosine
//     cells over [-1, 1], A azimuth cells over [0, 2 pi)), normalised so that the identity is
//     isotropic scattering. Cells are sampled in proportion to the total intensity of their
//     (H, V) block (M_HH + M_HV + M_VH + M_VV, negative read as zero); a row of zero intensity
//     is sampled uniformly.

#include <cstdint>
#include <vector>

#include "core/host/microwave/evaluators.h"
#include "core/microwave_path.h"

namespace tesk::microwave {

/// Cosine entries of every response table.
inline constexpr int kMicrowaveTableSize = 181;

/// The physical parameters of a microwave image (arrays borrowed for the call).
struct MicrowaveTableRequest {
  double frequency = 1.4e9;               ///< Hz, > 0.
  bool active = false;                    ///< Backscatter instead of brightness temperature.
  int max_depth = 4;                      ///< Interactions per line of sight, >= 1.
  float air_temperature = 290.0f;         ///< K.
  float atmosphere_tau = 0.0f;            ///< Zenith optical depth, >= 0.
  FloatArray soil;                        ///< [S][>= 12] or [12].
  FloatArray vegetation;                  ///< [V][3] or empty.
  FloatArray trunk;                       ///< [T][7] or empty.
  const int32_t* material_map = nullptr;  ///< [n_map][2].
  int64_t n_map = 0;                      ///< Rows of material_map.
  FloatArray vegetation_mueller;          ///< Empty or [V][C][C][A][16] values.
  int lut_cosines = 0;                    ///< C (0: no phase tables).
  int lut_azimuths = 0;                   ///< A.
};

/// Host copies of the tables; view() points a MicrowaveTables at them.
struct MicrowaveTableSet {
  MicrowaveTables header{};  ///< Counts and settings (pointers set by view()).
  std::vector<int32_t> material_map;
  std::vector<float> passive_soil, active_soil, smooth_soil, vegetation, trunk_response,
      trunk_active, mueller, cosine_cdf, azimuth_cdf;

  /// The tables over this set's vectors (valid while the set lives unchanged).
  MicrowaveTables view() const;
};

/// Checks the request and fills the tables. Throws std::invalid_argument with a message naming
/// the argument for: frequency not finite and positive, max_depth < 1, non-finite or negative
/// temperatures or optical depth, arrays of the wrong shape, non-finite values, a material map
/// row whose class is not 0..4 or whose index has no row in its class's array, phase tables
/// whose size is not V C C A 16 or that hold non-finite values.
MicrowaveTableSet build_microwave_tables(const MicrowaveTableRequest& request);

}  // namespace tesk::microwave
