#pragma once

// One element of a SIF finalization: its fluorescence yield (the element override, else its
// material's, else 0) and its absorbed top and bottom values at the selected bands. The CPU
// finalization's loop and the CUDA kernel both call finalize_sif_element.

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/host_device.h"

namespace tesk::physiology {

/// The borrowed arrays of one finalization (host or device memory, whichever the caller runs
/// on) and the range of elements a device launch covers.
struct SifElementArrays {
  int32_t n_bands = 0;                             ///< Bands of the absorbed arrays.
  int32_t n_selected = 0;                          ///< Selected bands.
  const float* absorbed_top = nullptr;             ///< [n_elements x n_bands].
  const float* absorbed_bottom = nullptr;          ///< [n_elements x n_bands].
  const int32_t* material_ids = nullptr;           ///< [n_elements], -1 for none.
  const float* material_phi_f = nullptr;           ///< [n_materials].
  const int32_t* selected_band_indices = nullptr;  ///< [n_selected].
  const float* element_phi_f = nullptr;            ///< [n_elements] override; null when absent.
  float* phi_f = nullptr;                          ///< Output [n_elements].
  float* top_selected = nullptr;                   ///< Output [n_elements x n_selected].
  float* bottom_selected = nullptr;                ///< Output [n_elements x n_selected].
  int64_t element_begin = 0;                       ///< First element of a device launch.
  int64_t element_end = 0;                         ///< One past the last element of a launch.
};

TESK_DEVICE_RECORD(SifElementArrays, 96);

/// Writes element `e`'s yield and selected absorbed values.
TESK_HOST_DEVICE inline void finalize_sif_element(const SifElementArrays& a, size_t e) {
  const int32_t m = a.material_ids[e];
  a.phi_f[e] =
      a.element_phi_f != nullptr ? a.element_phi_f[e] : (m >= 0 ? a.material_phi_f[m] : 0.0f);
  const auto nb = static_cast<size_t>(a.n_bands);
  const auto nsel = static_cast<size_t>(a.n_selected);
  for (size_t j = 0; j < nsel; ++j) {
    const auto k = static_cast<size_t>(a.selected_band_indices[j]);
    a.top_selected[e * nsel + j] = a.absorbed_top[e * nb + k];
    a.bottom_selected[e * nsel + j] = a.absorbed_bottom[e * nb + k];
  }
}

}  // namespace tesk::physiology
