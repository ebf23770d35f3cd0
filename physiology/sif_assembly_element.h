#pragma once

// One (instance, band) item of the SIF source assembly: the instance's samples, in sample order,
// binned by the one cell and orientation-bin rule (physiology/sif_binning.h) and the band of
// their sources added into double sums. The CPU assembly and the CUDA kernel both call
// assemble_sif_item, so the sums are added in the same order and the fields are equal.

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/host_device.h"
#include "physiology/sif_binning.h"

namespace tesk::physiology {

/// The borrowed arrays of one assembly (host or device memory, whichever the caller runs on)
/// and the range of items a device launch covers (item = instance n_bands + band).
struct SifAssemblyArrays {
  int32_t n_samples = 0;
  int32_t n_bands = 0;
  int32_t cell_stride = 0;
  int32_t theta_bins = 0;
  int32_t phi_bins = 0;
  const float* positions = nullptr;      ///< [n_samples x 3].
  const float* normals = nullptr;        ///< [n_samples x 3].
  const float* bounds_min = nullptr;     ///< [n_instances x 3].
  const float* bounds_max = nullptr;     ///< [n_instances x 3].
  const int32_t* grid_dims = nullptr;    ///< [n_instances x 3].
  const float* source = nullptr;         ///< Band-major [n_bands x n_samples].
  const float* direct_source = nullptr;  ///< Band-major [n_bands x n_samples].
  const int32_t* order = nullptr;        ///< Samples grouped by instance, in sample order.
  const int32_t* offsets = nullptr;      ///< [n_instances + 1] start of each instance in order.
  double* spatial = nullptr;             ///< (i cell_stride + c) n_bands + b.
  double* orientation = nullptr;         ///< (i n_orient + o) n_bands + b.
  double* joint = nullptr;               ///< ((i cell_stride + c) n_orient + o) n_bands + b.
  double* direct = nullptr;              ///< Same layout as joint, direct source.
  int32_t* spatial_counts = nullptr;
  int32_t* orientation_counts = nullptr;
  int32_t* joint_counts = nullptr;
  int64_t item_begin = 0;  ///< First item of a device launch.
  int64_t item_end = 0;    ///< One past the last item of a launch.
};

TESK_DEVICE_RECORD(SifAssemblyArrays, 168);

/// Adds band `b` of instance `i`'s binned samples into the sums; the band-0 item also counts
/// them. A sample outside its instance's box or without an orientation bin is skipped.
TESK_HOST_DEVICE inline void assemble_sif_item(const SifAssemblyArrays& a, size_t i, size_t b) {
  const int32_t* g = a.grid_dims + 3 * i;
  const float* lo = a.bounds_min + 3 * i;
  const float* hi = a.bounds_max + 3 * i;
  const auto nb = static_cast<size_t>(a.n_bands);
  const auto ns = static_cast<size_t>(a.n_samples);
  const auto stride = static_cast<size_t>(a.cell_stride);
  const auto n_orient = static_cast<size_t>(a.theta_bins) * static_cast<size_t>(a.phi_bins);
  for (int32_t k = a.offsets[i]; k < a.offsets[i + 1]; ++k) {
    const auto s = static_cast<size_t>(a.order[k]);
    const float* p = a.positions + 3 * s;
    const int cell_index = sif_cell(p[0] - lo[0], p[1] - lo[1], p[2] - lo[2], hi[0] - lo[0],
                                    hi[1] - lo[1], hi[2] - lo[2], g[0], g[1], g[2]);
    if (cell_index < 0) continue;
    const auto c = static_cast<size_t>(cell_index);
    const float* nrm = a.normals + 3 * s;
    const int o = sif_orientation_bin(nrm[0], nrm[1], nrm[2], a.theta_bins, a.phi_bins);
    if (c >= stride || o < 0) continue;
    const size_t cell = i * stride + c;
    const size_t obin = i * n_orient + static_cast<size_t>(o);
    const size_t jbin = cell * n_orient + static_cast<size_t>(o);
    if (b == 0) {
      ++a.spatial_counts[cell];
      ++a.orientation_counts[obin];
      ++a.joint_counts[jbin];
    }
    const double v = a.source[b * ns + s];
    a.spatial[cell * nb + b] += v;
    a.orientation[obin * nb + b] += v;
    a.joint[jbin * nb + b] += v;
    a.direct[jbin * nb + b] += a.direct_source[b * ns + s];
  }
}

}  // namespace tesk::physiology
