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
};

#ifdef __cplusplus
static_assert(std::is_trivially_copyable_v<LeafSourceParams>);
static_assert(sizeof(LeafSourceParams) == 10 * 4);
}  // namespace tesk::vulkan::device
#endif

#endif  // TESK_LEAF_SOURCE_RECORDS_H
