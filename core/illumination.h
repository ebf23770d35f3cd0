#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "core/host_device.h"
#include "core/spectral.h"
#include "core/vec.h"

namespace tesk {

inline constexpr float kSolarDiskSolidAngle = 6.794e-05f;  ///< sr; radiance of the seen sun.
inline constexpr float kSunViewCosine =
    0.999989f;  ///< Smallest cosine at which a ray sees the sun.

/// Start point for a new ray leaving surface point `p` (geometric normal `n`) in direction `d`:
/// the normal is turned to the side `d` leaves toward, then each coordinate moves off the
/// surface by 256 * n_i units in the last place (integer offset, robust at any magnitude), or by
/// n_i / 65536 near zero (|p_i| < 1/32) where units in the last place are too small.
TESK_HOST_DEVICE inline float3 offset_ray_origin(const float3& p, float3 n, const float3& d) {
  if (dot(n, d) < 0.0f) n = -n;
  const float pc[3] = {p.x, p.y, p.z};
  const float nc[3] = {n.x, n.y, n.z};
  float out[3];
  for (int i = 0; i < 3; ++i) {
    if (std::fabs(pc[i]) < 0.03125f) {
      out[i] = pc[i] + nc[i] * 1.5258789e-5f;
      continue;
    }
    const float scaled = 256.0f * nc[i];
    // Unit normals give |scaled| <= 256; anything else (NaN) leaves the point where it is.
    const int32_t ulps = std::fabs(scaled) <= 256.0f ? static_cast<int32_t>(scaled) : 0;
    uint32_t bits;
    std::memcpy(&bits, &pc[i], sizeof(bits));
    // Unsigned arithmetic wraps like the two's-complement sum without overflow UB.
    bits += static_cast<uint32_t>(pc[i] < 0.0f ? -ulps : ulps);
    std::memcpy(&out[i], &bits, sizeof(bits));
  }
  return float3{out[0], out[1], out[2]};
}

/// Which sky models a scene has set: float offsets into the spectral buffer, -1 (or any
/// negative value) meaning not set, and the sun direction of the Hosek-Wilkie model.
struct SkyParams {
  int32_t uniform_offset = -1;      ///< n_bands radiances.
  int32_t directional_offset = -1;  ///< Table [n_bands][16 zenith rows][32 azimuth columns].
  int32_t hw_offset = -1;           ///< 10 floats per band: c0..c8 and the zenith radiance.
  float3 hw_sun{0.0f, 0.0f, 1.0f};  ///< Sun direction of the Hosek-Wilkie model.
};
TESK_DEVICE_RECORD(SkyParams, 24);

/// Radiance of the directional sky table at `off` toward `w` in band b: bilinear in zenith
/// (rows every 6 degrees, row 15 the horizon) and azimuth (columns every 11.25 degrees, azimuth 0
/// toward -y growing toward +x, wrapping). 0 below the horizon or when the table does not fit.
TESK_HOST_DEVICE inline float directional_sky_radiance(const SpectralView& spectral, int32_t off,
                                                       int n_bands, const float3& w, int b) {
  const float* table = spectral.block(off, 512 * static_cast<int64_t>(n_bands));
  if (table == nullptr || !(w.z > 0.0f) || !is_finite(w) || b < 0 || b >= n_bands) return 0.0f;
  const float* t = table + 512 * static_cast<int64_t>(b);
  const float theta = std::acos(std::fmin(std::fmax(w.z, 0.0f), 1.0f));
  const float f_theta = theta * 0.63661975f * 15.0f;
  const int i = static_cast<int>(f_theta);
  int lo, hi;
  float w_theta;
  if (i < 15) {
    lo = i < 0 ? 0 : i;
    hi = lo + 1;
    w_theta = f_theta - static_cast<float>(lo);
  } else {
    lo = 14;
    hi = 15;
    w_theta = f_theta - 14.0f;
  }
  float phi = std::atan2(w.x, -w.y);
  if (phi < 0.0f) phi += 6.2831855f;
  const float f_phi = phi * 5.092958f;
  const float j = std::floor(f_phi);
  const float w_phi = f_phi - j;
  const int c0 = ((static_cast<int>(j) % 32) + 32) % 32;
  const int c1 = (c0 + 1) % 32;
  const float low = t[32 * lo + c0] + (t[32 * lo + c1] - t[32 * lo + c0]) * w_phi;
  const float high = t[32 * hi + c0] + (t[32 * hi + c1] - t[32 * hi + c0]) * w_phi;
  const float l = low + (high - low) * w_theta;
  return l > 0.0f ? l : 0.0f;
}

/// Hosek-Wilkie style sky radiance toward `w` in band b from the coefficients c0..c8 and the
/// zenith radiance c9 at off + 10 b, normalised so the zenith gives about c9. `sun` is the
/// model's own sun direction. 0 when c9 is not positive or the block does not fit.
TESK_HOST_DEVICE inline float hw_sky_radiance(const SpectralView& spectral, int32_t off,
                                              int n_bands, const float3& sun, const float3& w,
                                              int b) {
  const float* blk = spectral.block(off, 10 * static_cast<int64_t>(n_bands));
  if (blk == nullptr || b < 0 || b >= n_bands) return 0.0f;
  const float* c = blk + 10 * b;
  if (!(c[9] > 0.0f)) return 0.0f;
  const float cos_theta = std::fmax(0.001f, w.z);
  const float cos_gamma = std::fmin(std::fmax(dot(w, sun), -1.0f), 1.0f);
  const float gamma = std::acos(cos_gamma);
  const float l_rel =
      (1.0f + c[0] * std::exp(c[1] / cos_theta)) *
      (c[7] * std::sqrt(cos_theta) + c[4] * cos_gamma * cos_gamma + 1.0f +
       c[2] * std::exp(c[3] * gamma) + c[5] * std::exp(c[6] * gamma * gamma) + c[8]);
  const float cos_s = std::fmin(std::fmax(sun.z, 0.0f), 1.0f);
  const float theta_s = std::acos(cos_s);
  const float z = std::fmax(0.001f, (c[2] * std::exp(c[3] * theta_s) + 1.0f + c[4] * cos_s * cos_s +
                                     c[5] * std::exp(c[6] * theta_s * theta_s) + c[7] + c[8]) *
                                        (1.0f + c[0] * std::exp(c[1])));
  const float l = c[9] * l_rel / z;
  return l > 0.0f ? l : 0.0f;
}

/// Sky radiance toward the unit direction `w` in band b: the directional table when set, else
/// the Hosek-Wilkie sky when set, else the uniform sky when set, else 0.
TESK_HOST_DEVICE inline float sky_radiance(const SkyParams& sky, const SpectralView& spectral,
                                           int n_bands, const float3& w, int b) {
  if (sky.directional_offset >= 0) {
    return directional_sky_radiance(spectral, sky.directional_offset, n_bands, w, b);
  }
  if (sky.hw_offset >= 0)
    return hw_sky_radiance(spectral, sky.hw_offset, n_bands, sky.hw_sun, w, b);
  if (sky.uniform_offset >= 0) {
    const float* blk = spectral.block(sky.uniform_offset, n_bands);
    return (blk != nullptr && b >= 0 && b < n_bands) ? blk[b] : 0.0f;
  }
  return 0.0f;
}

/// Whether a ray leaving the scene along `w` sees the sun disk (sun direction `sun`).
TESK_HOST_DEVICE inline bool sun_seen(const float3& sun, const float3& w) {
  return dot(w, sun) >= kSunViewCosine;
}

}  // namespace tesk
