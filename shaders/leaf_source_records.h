// The emission sources of the leaves inside optical turbid media as the backward shader reads
// them (bindings 19..22 of backward_optical_turbid.spv), shared by the Vulkan host code and the
// GLSL source (the subset of core/shared_language.h): the per-instance thermal state and the
// per-instance SIF source fields of core/leaf_emission.h.
#ifndef TESK_LEAF_SOURCE_RECORDS_H
#define TESK_LEAF_SOURCE_RECORDS_H

#include "core/shared_language.h"

#ifdef __cplusplus
#include <type_traits>
namespace tesk::vulkan::device {
#endif

// Per-instance thermal state: kLeafThermalFields floats per instance, instance-major.
TESK_SHARED_CONST int kLeafThermalSunlit = 0;      // sunlit leaf temperature (K)
TESK_SHARED_CONST int kLeafThermalShaded = 1;      // shaded leaf temperature (K)
TESK_SHARED_CONST int kLeafThermalFraction = 2;    // sunlit probability
TESK_SHARED_CONST int kLeafThermalEmissivity = 3;  // leaf emissivity
TESK_SHARED_CONST int kLeafThermalFields = 4;

// Where the sources sit in their buffers. The SIF floats hold the spatial field, then the
// orientation field, the joint field and the boxes (3 floats per instance each), at the
// offsets below; the SIF ints hold the grid dimensions (3 per instance).
struct LeafSourceParams {
  int thermal_instances;   // instances with a thermal state (0: none)
  int sif_instances;       // instances the SIF fields cover (0: none)
  int sif_bands;           // bands of the SIF fields (the render's)
  int sif_cell_stride;     // cells reserved per instance
  int sif_theta_bins;      // zenith bins of the leaf normal
  int sif_phi_bins;        // azimuth bins of the leaf normal
  int sif_orientation_at;  // offset of the orientation field
  int sif_joint_at;        // offset of the joint field
  int sif_bounds_min_at;   // offset of the box minima
  int sif_bounds_max_at;   // offset of the box maxima
  // Resident Turbid sources (see below); 0 instances: none.
  int resident_instances;       // instances described at the start of the resident ints
  int resident_parts_at;        // ints: owner per part; floats: the parts' boxes and shifts at 0
  int resident_owners_at;       // ints: root cell per owner
  int resident_cells_at;        // ints: kResidentCellInts per cell
  int resident_fields_at;       // ints: kResidentFieldInts per field
  int resident_owner_boxes_at;  // floats: 6 per owner (minimum, maximum)
};

// Resident Turbid sources. Ints: per instance kResidentInstanceInts (kind, first part, part
// count, field), then the tables at the offsets above; cell and owner indices are global. Floats:
// per part 9 (box minimum, maximum, periodic shift), per owner 6, then the fields' bin values:
// per (cell, orientation bin) of a temperature field 4 floats (populated, sunlit fraction,
// sunlit and shaded mean temperature), of an observation source 1 + 2 n_bands (populated, front
// and back radiances).
TESK_SHARED_CONST int kResidentNone = 0;
TESK_SHARED_CONST int kResidentField = 1;
TESK_SHARED_CONST int kResidentObservation = 2;
TESK_SHARED_CONST int kResidentIncompatible = 3;
TESK_SHARED_CONST int kResidentAmbiguous = 4;
TESK_SHARED_CONST int kResidentInstanceInts = 4;
TESK_SHARED_CONST int kResidentCellInts = 10;  // depth, parent, children[8]
TESK_SHARED_CONST int kResidentFieldInts = 4;  // kind, n_bands, first value, first cell
TESK_SHARED_CONST int kResidentPartFloats = 9;
TESK_SHARED_CONST int kResidentFieldBins = 32;  // 4 zenith rows of 8 azimuth columns
TESK_SHARED_CONST int kResidentMaxDepth = 10;
// Failures recorded by a collision (the first one is reported after the render).
TESK_SHARED_CONST int kResidentFailAmbiguous = 1;
TESK_SHARED_CONST int kResidentFailIncompatible = 2;
TESK_SHARED_CONST int kResidentFailNoPart = 3;
TESK_SHARED_CONST int kResidentFailNoOwner = 4;
TESK_SHARED_CONST int kResidentFailUnavailable = 5;
TESK_SHARED_CONST int kResidentFailNoOrientation = 6;
TESK_SHARED_CONST int kResidentFailNoAncestor = 7;

#ifdef __cplusplus
static_assert(std::is_trivially_copyable_v<LeafSourceParams>);
static_assert(sizeof(LeafSourceParams) == 16 * 4);
}  // namespace tesk::vulkan::device
#endif

#endif  // TESK_LEAF_SOURCE_RECORDS_H
