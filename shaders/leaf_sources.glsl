// Emission of the leaves inside optical turbid media in thermal and SIF-only renders
// (core/leaf_emission.h): the expectation eps (f B(T_sunlit) + (1 - f) B(T_shaded)) of the
// instance's thermal state, and the SIF exitance of the instance's source fields at the
// collision and leaf normal, binned by the orientation rule of the source assembly
// (core/sif_orientation.h) and the cell rule of core/grid.h. Needs planck_radiance.
#include "core/grid.h"
#include "core/sif_orientation.h"
#include "shaders/leaf_source_records.h"

layout(set = 0, binding = 19, scalar) readonly buffer LeafSourceParamsBuffer { LeafSourceParams LS; };
layout(set = 0, binding = 20, scalar) readonly buffer LeafThermal { float leaf_thermal[]; };
layout(set = 0, binding = 21, scalar) readonly buffer LeafSif { float leaf_sif[]; };
layout(set = 0, binding = 22, scalar) readonly buffer LeafSifGrid { int leaf_sif_grid[]; };

bool has_leaf_thermal_state(int instance) {
  return instance >= 0 && instance < LS.thermal_instances;
}

// Thermal radiance of band b of the leaves of instance `instance` (its state must be set).
double leaf_thermal_radiance(int instance, float wavelength_nm) {
  const int at = instance * kLeafThermalFields;
  const float fraction = leaf_thermal[at + kLeafThermalFraction];
  const double f = fraction > 0.0 ? (fraction < 1.0 ? double(fraction) : 1.0) : 0.0;
  const double sunlit =
      f > 0.0 ? double(planck_radiance(wavelength_nm, leaf_thermal[at + kLeafThermalSunlit])) : 0.0;
  const double shaded =
      f < 1.0 ? double(planck_radiance(wavelength_nm, leaf_thermal[at + kLeafThermalShaded])) : 0.0;
  return double(leaf_thermal[at + kLeafThermalEmissivity]) * (f * sunlit + (1.0 - f) * shaded);
}

// SIF exitance of band `band` of the leaves of instance `instance` at world position p with leaf
// normal n: the joint (cell, orientation) bin when any of its bands is non-zero, else the
// spatial cell, else the orientation bin; outside the instance's grid the orientation bin only.
float leaf_sif_exitance(int instance, vec3 p, vec3 n, int band) {
  if (instance < 0 || instance >= LS.sif_instances || band < 0 || band >= LS.sif_bands) return 0.0;
  const int nb = LS.sif_bands;
  const int n_orient = LS.sif_theta_bins * LS.sif_phi_bins;
  const int o = sif_orientation_bin(n.x, n.y, n.z, LS.sif_theta_bins, LS.sif_phi_bins);
  const int lo = LS.sif_bounds_min_at + 3 * instance;
  const int hi = LS.sif_bounds_max_at + 3 * instance;
  const int g = 3 * instance;
  const int cx = world_to_cell(p.x - leaf_sif[lo], leaf_sif[hi] - leaf_sif[lo], leaf_sif_grid[g]);
  const int cy =
      world_to_cell(p.y - leaf_sif[lo + 1], leaf_sif[hi + 1] - leaf_sif[lo + 1], leaf_sif_grid[g + 1]);
  const int cz =
      world_to_cell(p.z - leaf_sif[lo + 2], leaf_sif[hi + 2] - leaf_sif[lo + 2], leaf_sif_grid[g + 2]);
  if (cx >= 0 && cy >= 0 && cz >= 0) {
    const int c = (cz * leaf_sif_grid[g + 1] + cy) * leaf_sif_grid[g] + cx;
    if (c < LS.sif_cell_stride) {
      const int cell = instance * LS.sif_cell_stride + c;
      if (o >= 0) {
        const int bin = LS.sif_joint_at + (cell * n_orient + o) * nb;
        for (int b = 0; b < nb; ++b) {
          if (leaf_sif[bin + b] != 0.0) return leaf_sif[bin + band];
        }
      }
      const int spatial = cell * nb;
      for (int b = 0; b < nb; ++b) {
        if (leaf_sif[spatial + b] != 0.0) return leaf_sif[spatial + band];
      }
    }
  }
  if (o < 0) return 0.0;
  return leaf_sif[LS.sif_orientation_at + (instance * n_orient + o) * nb + band];
}
