#pragma once

// Emission of the leaves inside optical turbid media: thermal emission from a sunlit/shaded
// leaf temperature pair and solar-induced fluorescence looked up in per-instance source fields.
//
// A path that collides with a leaf inside a medium (free path sampled from the extinction
// sigma = LAD * G) scores the radiance the leaf emits toward the path: the emitted radiance per
// unit volume toward w is LAD * G(w) * L_leaf, so the collision estimator of the emitted
// radiance along the path is L_leaf itself. An isothermal black-leaf medium thus shows B(T).

#include <cmath>
#include <cstdint>

#include "core/grid.h"
#include "core/host_device.h"
#include "core/leaf_scattering.h"
#include "core/radiometry.h"
#include "core/scattering.h"
#include "core/sif_orientation.h"
#include "core/vec.h"

namespace tesk {

/// Thermal radiance (W m^-2 sr^-1 nm^-1) of a leaf at `wavelength_nm` whose temperature is
/// `t_sunlit` with probability `sunlit_fraction` and `t_shaded` otherwise: the expectation
/// emissivity * (f * B(T_sunlit) + (1 - f) * B(T_shaded)) over the two conditions, so no random
/// draw is spent on the choice. The fraction is clamped to [0, 1]; a temperature <= 0 emits 0.
TESK_HOST_DEVICE inline double leaf_thermal_radiance(float wavelength_nm, float t_sunlit,
                                                     float t_shaded, float sunlit_fraction,
                                                     float emissivity) {
  const double f = sunlit_fraction > 0.0f ? (sunlit_fraction < 1.0f ? sunlit_fraction : 1.0f) : 0.0;
  const double sunlit = f > 0.0 ? planck_radiance(wavelength_nm, t_sunlit) : 0.0;
  const double shaded = f < 1.0 ? planck_radiance(wavelength_nm, t_shaded) : 0.0;
  return static_cast<double>(emissivity) * (f * sunlit + (1.0 - f) * shaded);
}

/// Kirchhoff emissivity of a leaf in band b: 1 - (mean side reflectance) - transmittance,
/// clamped to [0, 1] (black leaves, null optics, emit as black bodies).
TESK_HOST_DEVICE inline float leaf_kirchhoff_emissivity(const LeafOptics& optics, int b) {
  const float rho = 0.5f * (optics.reflectance(b, false) + optics.reflectance(b, true));
  const float tau = optics.transmittance != nullptr ? optics.transmittance[b] : 0.0f;
  const float e = 1.0f - rho - tau;
  return e > 0.0f ? (e < 1.0f ? e : 1.0f) : 0.0f;
}

/// Per-instance thermal state of the leaves inside media (arrays of n_instances).
struct LeafThermalView {
  const float* t_sunlit = nullptr;         ///< Sunlit leaf temperature (K).
  const float* t_shaded = nullptr;         ///< Shaded leaf temperature (K).
  const float* sunlit_fraction = nullptr;  ///< Probability of a leaf being sunlit, 0..1.
  const float* emissivity = nullptr;       ///< Leaf emissivity, 0..1.
  int32_t n_instances = 0;                 ///< Entries of each array (0: not set).
};

/// Per-instance SIF source fields as flat arrays (see `sif_source_exitance` for the layout).
struct SifSourceFieldView {
  const float* spatial = nullptr;      ///< [n_instances][cell_stride][n_bands]
  const float* orientation = nullptr;  ///< [n_instances][n_orient][n_bands]
  const float* joint = nullptr;        ///< [n_instances][cell_stride][n_orient][n_bands]
  const float* bounds_min = nullptr;   ///< 3 floats per instance (world).
  const float* bounds_max = nullptr;   ///< 3 floats per instance (world).
  const int32_t* grid_dims = nullptr;  ///< 3 cells per instance (x, y, z).
  int32_t n_instances = 0;             ///< Instances covered.
  int32_t n_bands = 0;                 ///< SIF bands.
  int32_t cell_stride = 0;             ///< Cells reserved per instance.
  int32_t theta_bins = 0;              ///< Zenith bins of the leaf normal.
  int32_t phi_bins = 0;                ///< Azimuth bins of the leaf normal.
};

/// Orientation bin of a leaf normal in a theta x phi layout: the bin the SIF source assembly
/// puts a sample of this normal in (core/sif_orientation.h), -1 for a zero or non-finite normal.
TESK_HOST_DEVICE inline int32_t sif_orientation_bin(float3 n, int32_t theta_bins,
                                                    int32_t phi_bins) {
  return sif_orientation_bin(n.x, n.y, n.z, theta_bins, phi_bins);
}

/// SIF exitance (W m^-2 nm^-1 per unit leaf area, of the face that is seen) of the leaves of
/// instance `instance` at world position `p` with leaf normal `n`, in band `band`. The fields
/// hold per-bin means: the joint (cell, orientation) bin when any of its bands is non-zero, else
/// the spatial cell, else the orientation bin (a bin no sample reached reads as all zeros).
/// Outside the instance's grid only the orientation field applies. Returns 0 for an instance or
/// band the fields do not cover.
TESK_HOST_DEVICE inline float sif_source_exitance(const SifSourceFieldView& f, int32_t instance,
                                                  const float3& p, const float3& n, int32_t band) {
  if (f.joint == nullptr || instance < 0 || instance >= f.n_instances || band < 0 ||
      band >= f.n_bands) {
    return 0.0f;
  }
  const int32_t n_orient = f.theta_bins * f.phi_bins;
  const int32_t o = sif_orientation_bin(n, f.theta_bins, f.phi_bins);
  const float* lo = f.bounds_min + 3 * instance;
  const float* hi = f.bounds_max + 3 * instance;
  const int32_t* g = f.grid_dims + 3 * instance;
  const int32_t cx = grid::world_to_cell(p.x - lo[0], hi[0] - lo[0], g[0]);
  const int32_t cy = grid::world_to_cell(p.y - lo[1], hi[1] - lo[1], g[1]);
  const int32_t cz = grid::world_to_cell(p.z - lo[2], hi[2] - lo[2], g[2]);
  const bool in_grid = cx >= 0 && cy >= 0 && cz >= 0;
  const int64_t c = in_grid ? (static_cast<int64_t>(cz) * g[1] + cy) * g[0] + cx : -1;
  const int64_t nb = f.n_bands;
  if (in_grid && c < f.cell_stride) {
    const int64_t cell = static_cast<int64_t>(instance) * f.cell_stride + c;
    if (o >= 0) {
      const float* bin = f.joint + (cell * n_orient + o) * nb;
      for (int64_t b = 0; b < nb; ++b) {
        if (bin[b] != 0.0f) return bin[band];
      }
    }
    const float* spatial = f.spatial + cell * nb;
    for (int64_t b = 0; b < nb; ++b) {
      if (spatial[b] != 0.0f) return spatial[band];
    }
  }
  if (o < 0) return 0.0f;
  return f.orientation[(static_cast<int64_t>(instance) * n_orient + o) * nb + band];
}

}  // namespace tesk
