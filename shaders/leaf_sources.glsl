// Emission of the leaves inside optical turbid media in thermal and SIF-only renders
// (core/leaf_emission.h): the expectation eps (f B(T_sunlit) + (1 - f) B(T_shaded)) of the
// instance's thermal state, and the SIF exitance of the instance's source fields at the
// collision and leaf normal, binned by the orientation rule of the source assembly
// (core/sif_orientation.h) and the cell rule of core/grid.h; and the resident Turbid sources of
// embree/resident_leaf_sources.h (collision part, owner frame, field tree, nearest populated
// ancestor of the leaf's orientation bin). Needs planck_radiance.
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

// Radiance of a leaf that is at t_sunlit with probability `fraction` (clamped to [0, 1]) and
// at t_shaded otherwise: emissivity (f B(T_sunlit) + (1 - f) B(T_shaded)).
double leaf_thermal_mixture(float wavelength_nm, float t_sunlit, float t_shaded, float fraction,
                            float emissivity) {
  const double f = fraction > 0.0 ? (fraction < 1.0 ? double(fraction) : 1.0) : 0.0;
  const double sunlit = f > 0.0 ? double(planck_radiance(wavelength_nm, t_sunlit)) : 0.0;
  const double shaded = f < 1.0 ? double(planck_radiance(wavelength_nm, t_shaded)) : 0.0;
  return double(emissivity) * (f * sunlit + (1.0 - f) * shaded);
}

float leaf_thermal_value(int instance, int field) {
  return leaf_thermal[instance * kLeafThermalFields + field];
}

// Thermal radiance of the leaves of instance `instance` (its state must be set).
double leaf_thermal_radiance(int instance, float wavelength_nm) {
  return leaf_thermal_mixture(wavelength_nm, leaf_thermal_value(instance, kLeafThermalSunlit),
                              leaf_thermal_value(instance, kLeafThermalShaded),
                              leaf_thermal_value(instance, kLeafThermalFraction),
                              leaf_thermal_value(instance, kLeafThermalEmissivity));
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

// ---- resident Turbid sources (embree/resident_leaf_sources.h) ---------------------------------
layout(set = 0, binding = 23, scalar) readonly buffer ResidentInts { int resident_ints[]; };
layout(set = 0, binding = 24, scalar) readonly buffer ResidentFloats { float resident_floats[]; };
layout(set = 0, binding = 25, scalar) buffer ResidentError { int resident_error[]; };

int resident_kind(int instance) {
  if (instance < 0 || instance >= LS.resident_instances) return kResidentNone;
  return resident_ints[instance * kResidentInstanceInts];
}

// Records the first failed collision; the host raises its message after the render.
void resident_fail(int code) {
  atomicCompSwap(resident_error[0], 0, code);
}

// Orientation bin of a field (turbid::orientation_bin): 4 zenith rows of 8 azimuth columns of
// the normal flipped into the upper hemisphere; a vertical normal has azimuth 0.
int field_orientation_bin(vec3 n) {
  n = normalize(n);
  if (n.z < 0.0) n = -n;
  const float theta = acos(min(n.z, 1.0));
  float phi = (n.x != 0.0 || n.y != 0.0) ? atan(n.y, n.x) : 0.0;
  if (phi < 0.0) phi += 2.0 * kSifPi;
  const int a = min(int(phi / (2.0 * kSifPi) * 8.0), 7);
  const int z = min(int(theta / (kSifPi / 2.0) * 4.0), 3);
  return a + z * 8;
}

// Octant path of owner-frame point q in the owner's box: 10 levels of 3 bits.
uint field_spatial_path(int owner, dvec3 q) {
  const int at = LS.resident_owner_boxes_at + 6 * owner;
  uint path = 0u;
  uint cell[3];
  for (int a = 0; a < 3; ++a) {
    const double lo = double(resident_floats[at + a]);
    const double extent = double(resident_floats[at + 3 + a]) - lo;
    double u = extent > 0.0 ? (q[a] - lo) / extent : 0.0LF;
    u = clamp(u, 0.0LF, 0.9999999999999999LF);
    if (!(u == u)) u = 0.0LF;
    cell[a] = uint(u * 1024.0LF);
  }
  for (int k = 1; k <= kResidentMaxDepth; ++k) {
    const int bit = kResidentMaxDepth - k;
    const uint digit = ((cell[0] >> bit) & 1u) | (((cell[1] >> bit) & 1u) << 1) |
                       (((cell[2] >> bit) & 1u) << 2);
    path = (path << 3) | digit;
  }
  return path;
}

int cell_int(int cell, int k) {
  return resident_ints[LS.resident_cells_at + cell * kResidentCellInts + k];
}

// Offset of bin `bin` of global cell `cell` in the values of field `field`.
int field_value_at(int field, int cell, int bin) {
  const int f = LS.resident_fields_at + field * kResidentFieldInts;
  const int kind = resident_ints[f];
  const int stride = kind == kResidentField ? 4 : 1 + 2 * resident_ints[f + 1];
  return resident_ints[f + 2] + ((cell - resident_ints[f + 3]) * kResidentFieldBins + bin) * stride;
}

// The field cell answering a collision of a leaf of normal n at world position p inside the
// media of instance `instance` (collision part, owner frame, leaf cell, nearest populated
// ancestor in the leaf's orientation bin), or -1 after recording why not.
int resident_lookup(int instance, vec3 p, vec3 n, int n_bands, out int field, out int bin) {
  const int at = instance * kResidentInstanceInts;
  const int kind = resident_ints[at];
  field = resident_ints[at + 3];
  bin = 0;
  if (kind == kResidentAmbiguous) {
    resident_fail(kResidentFailAmbiguous);
    return -1;
  }
  if (kind == kResidentIncompatible || field < 0) {
    resident_fail(kResidentFailIncompatible);
    return -1;
  }
  int part = -1;
  for (int k = 0; k < resident_ints[at + 2] && part < 0; ++k) {
    const int j = resident_ints[at + 1] + k;
    bool inside = true;
    for (int a = 0; a < 3 && inside; ++a) {
      const float lo = resident_floats[kResidentPartFloats * j + a];
      const float hi = resident_floats[kResidentPartFloats * j + 3 + a];
      const float slack = 1e-4 * (hi - lo) + 1e-5;
      inside = p[a] >= lo - slack && p[a] <= hi + slack;
    }
    if (inside) part = j;
  }
  if (part < 0) {
    resident_fail(kResidentFailNoPart);
    return -1;
  }
  const int owner = resident_ints[LS.resident_parts_at + part];
  if (owner < 0) {
    resident_fail(kResidentFailNoOwner);
    return -1;
  }
  if (kind == kResidentObservation &&
      resident_ints[LS.resident_fields_at + field * kResidentFieldInts + 1] < n_bands) {
    resident_fail(kResidentFailUnavailable);
    return -1;
  }
  const int s = kResidentPartFloats * part + 6;
  const dvec3 q = dvec3(p) - dvec3(resident_floats[s], resident_floats[s + 1], resident_floats[s + 2]);
  bin = field_orientation_bin(n);
  const uint path = field_spatial_path(owner, q);
  const int root = resident_ints[LS.resident_owners_at + owner];
  int c = root;
  while (cell_int(c, 0) < kResidentMaxDepth) {
    const int level = cell_int(c, 0) + 1;
    const int next = cell_int(c, 2 + int((path >> uint(3 * (kResidentMaxDepth - level))) & 7u));
    if (next < 0) break;
    c = next;
  }
  for (; c >= 0; c = cell_int(c, 1)) {
    if (resident_floats[field_value_at(field, c, bin)] > 0.0) return c;
  }
  bool any = false;
  for (int b = 0; b < kResidentFieldBins; ++b) {
    any = any || resident_floats[field_value_at(field, root, b)] > 0.0;
  }
  resident_fail(any ? kResidentFailNoOrientation : kResidentFailNoAncestor);
  return -1;
}
