#pragma once

// The per-pulse physics of the LiDAR simulation, shared by every backend: the range gate and
// its bins, the Gaussian transmit pulse, the weighted footprint of a divergent beam, the
// Lambertian return of a surface and the volume backscatter of leaves inside a turbid medium.
// Only finding the hits differs per backend.

#include <cmath>
#include <cstdint>

#include "core/frame.h"
#include "core/host_device.h"
#include "core/leaf_scattering.h"
#include "core/optical_media.h"
#include "core/scene_types.h"
#include "core/spectral.h"
#include "core/transport_constants.h"
#include "core/vec.h"

namespace tesk::lidar {

/// The range gate of a run: where returns are kept and how they are binned.
struct RangeGate {
  float min_range = 0.0f;         ///< Start of the gate (scene units).
  float max_range = 0.0f;         ///< End of the gate; returns beyond it are dropped.
  float bin_width = 0.0f;         ///< Range bin width (scene units), positive.
  int32_t n_bins = 0;             ///< trunc((max_range - min_range) / bin_width) + 1.
  int32_t n_wavelengths = 0;      ///< Wavelengths per bin.
  float sigma_range = 0.0f;       ///< Standard deviation of the transmit pulse in range.
  int32_t kernel_half_width = 0;  ///< K: the pulse kernel has taps -(K + 1) .. K + 1.
  int32_t reserved = 0;           ///< Zero.
};
TESK_DEVICE_RECORD(RangeGate, 32);

/// Standard deviation in range of a Gaussian pulse of the given full width at half maximum:
/// the two-way path halves the light travel distance.
TESK_HOST_DEVICE inline double pulse_sigma_range(double fwhm_ns) {
  return fwhm_ns * transport::kLightSpeedPerNs * 0.5 / transport::kFwhmPerSigma;
}

/// The bin of a return at range `r`, or -1 when it lies outside the gate or its bins.
TESK_HOST_DEVICE inline int32_t range_bin(const RangeGate& g, float r) {
  if (!(r >= g.min_range && r <= g.max_range)) return -1;
  const double q = (static_cast<double>(r) - g.min_range) / g.bin_width;
  const auto bin = static_cast<int64_t>(q);
  return bin >= 0 && bin < g.n_bins ? static_cast<int32_t>(bin) : -1;
}

/// Unnormalised weight of the pulse kernel tap at bin offset `k`.
TESK_HOST_DEVICE inline double pulse_tap(int32_t k, double bin_width, double sigma_range) {
  const double x = k * bin_width;
  return std::exp(-0.5 * x * x / (sigma_range * sigma_range));
}

/// Candidate (i, j) of an (S + 1) x (S + 1) footprint grid over [-1, 1]^2: its position and
/// unnormalised Gaussian weight. Returns false for points outside the unit disk (and for any
/// grid with S < 1, whose positions are not numbers).
TESK_HOST_DEVICE inline bool footprint_candidate(int32_t i, int32_t j, int32_t S, float& x,
                                                 float& y, float& weight) {
  x = 2.0f * static_cast<float>(i) / static_cast<float>(S) - 1.0f;
  y = 2.0f * static_cast<float>(j) / static_cast<float>(S) - 1.0f;
  const float r2 = x * x + y * y;
  if (!(r2 <= transport::kFootprintDiskRadius2)) return false;
  weight = std::exp(-0.5f * r2 / transport::kFootprintTwoVariance);
  return true;
}

/// The frame of a pulse: the unit direction `d` is the third axis.
TESK_HOST_DEVICE inline ShadingFrame pulse_frame(const float3& d) {
  return ShadingFrame::from_normal(d);
}

/// Direction of the footprint sample at (x, y) of the unit disk for a beam of divergence half
/// angle with tangent `tan_half_angle`: normalise(tan x, tan y, 1) in the pulse frame.
TESK_HOST_DEVICE inline float3 beam_direction(const ShadingFrame& frame, float tan_half_angle,
                                              float x, float y) {
  return normalize(frame.to_world(float3{tan_half_angle * x, tan_half_angle * y, 1.0f}));
}

/// Energy returned by a Lambertian surface of unit reflectance (the LiDAR equation):
/// weight * energy * (area / r^2) * |cos| / pi.
TESK_HOST_DEVICE inline double lambertian_return(double weight, double energy, double area,
                                                 double r, double cosine) {
  return weight * energy * (area / (r * r)) * std::fabs(cosine) / 3.14159265358979323846;
}

/// Reflectances a LiDAR reads at a surface hit: `n_wavelengths` values from the material's
/// block; a two-sided leaf hit on its back face reads its back block (one band count further).
/// Null (black) when the block does not fit in the buffer.
TESK_HOST_DEVICE inline const float* surface_reflectance(const MaterialRecord& m,
                                                         const SpectralView& spectral,
                                                         int32_t n_bands, int32_t n_wavelengths,
                                                         bool back_face) {
  int64_t offset = m.spectral_offset;
  if (m.type == MaterialType::DiffuseTransmitting && back_face) offset += n_bands;
  return spectral.block(offset, n_wavelengths);
}

/// Angular factor of leaf backscatter for a leaf angle distribution at |cos zenith| `mu`.
TESK_HOST_DEVICE inline float backscatter_phase(int32_t leaf_angle_type, float mu) {
  switch (leaf_angle_type) {
    case 0:
      return 1.0f / 3.0f;
    case 1:
      return 0.625f * mu * mu + 0.125f;
    case 2:
      return 0.375f - 0.125f * mu * mu;
    default:
      return 0.25f * mu * mu + 0.25f;
  }
}

/// Volume backscatter coefficient (per unit length and steradian) of a medium in wavelength
/// `b` along direction `d`: 0.5 u Phi(mu) (rho + tau) / pi, zero where the medium does not
/// extinguish (no leaves seen from this direction).
TESK_HOST_DEVICE inline float volume_backscatter(const OpticalMediumRecord& m,
                                                 const LeafOptics& optics, int32_t b,
                                                 const float3& d) {
  if (!(medium_extinction(m, d) > 0.0f)) return 0.0f;
  const float mu = std::fmin(std::fabs(d.z), 1.0f);
  const float rho_tau = optics.reflectance(b, false) + optics.transmission(b);
  return 0.5f * m.leaf_area_density * backscatter_phase(m.leaf_angle_type, mu) * rho_tau /
         3.14159265f;
}

/// Whether bin i of the summed waveform `s` is a return: strictly above both neighbours and
/// the threshold (a flat top yields none).
TESK_HOST_DEVICE inline bool is_return_peak(double previous, double here, double next,
                                            double threshold) {
  return here > previous && here > next && here > threshold;
}

}  // namespace tesk::lidar
