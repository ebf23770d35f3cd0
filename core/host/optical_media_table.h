#pragma once

// Host side of the optical turbid media: the validated table of a scene and the process-wide
// projection tables it is built from. Device code reads the plain records of
// core/optical_media.h through a pointer and a count.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/optical_media.h"

namespace tesk {

/// The validated media of a scene and the medium of each material (-1: bounds none).
struct OpticalMediaTable {
  std::vector<OpticalMediumRecord> media;    ///< In input order.
  std::vector<int32_t> material_medium_ids;  ///< One per material.
};

/// The process-wide projection tables G_t(theta_v), 6 x 91 floats (type-major), computed once
/// (thread-safe) by midpoint quadrature over 4096 leaf inclinations in double precision.
const std::vector<float>& optical_lad_projection_tables();

/// Inclination density g_t(theta_L) of leaf angle type `type` (0..5); 0 for other types.
double leaf_inclination_density(int type, double theta_l);

/// Checks the media parameters and builds the table. Throws std::invalid_argument with a
/// fixed message for unequal array lengths, a material list that does not match
/// `n_materials`, a non-finite or negative density or leaf length, a leaf angle type outside
/// [0, 5], an orientation other than -1 or 1, or a material naming no medium.
OpticalMediaTable validate_optical_turbid_media(const std::vector<float>& leaf_area_density,
                                                const std::vector<int32_t>& leaf_angle_types,
                                                const std::vector<int32_t>& orientations,
                                                const std::vector<float>& leaf_lengths,
                                                const std::vector<int32_t>& material_medium_ids,
                                                size_t n_materials);

}  // namespace tesk
