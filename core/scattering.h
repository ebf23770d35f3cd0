#pragma once

#include <cmath>
#include <type_traits>

#include "core/host_device.h"
#include "core/scene_types.h"
#include "core/spectral.h"
#include "core/vec.h"

namespace tesk {

inline constexpr float kInvPi = 0.31830987f;  ///< 1/pi.
inline constexpr float kTwoPi = 6.2831855f;   ///< 2 pi.

/// A sampled scattering direction in the local shading frame and its solid-angle pdf.
struct ScatterSample {
  float3 wi{0.0f, 0.0f, 1.0f};  ///< Local direction (z along the shading normal).
  float pdf = 1.0f;             ///< Probability density per steradian.
};
TESK_DEVICE_RECORD(ScatterSample, 16);

/// Cosine-weighted hemisphere around local +z from two uniforms: r = sqrt(u_r), phi = 2 pi u_phi.
/// The pdf is cos(theta)/pi.
TESK_HOST_DEVICE inline ScatterSample sample_cosine_hemisphere(float u_r, float u_phi) {
  const float r = std::sqrt(u_r);
  const float phi = kTwoPi * u_phi;
  const float x = r * std::cos(phi);
  const float y = r * std::sin(phi);
  const float z = std::sqrt(std::fmax(1.0f - x * x - y * y, 0.0f));
  return ScatterSample{float3{x, y, z}, std::fmax(z, 0.0f) * kInvPi};
}

/// Rahman-Pinty-Verstraete response for wo, wi above the surface with the parameters rho0, k,
/// Theta and rho_c of one band (no 1/pi factor; clamped at 0).
TESK_HOST_DEVICE inline float rpv_response(const float3& wo, const float3& wi, float rho0, float k,
                                           float theta, float rho_c) {
  const float m = std::pow(wo.z, k - 1.0f) * std::pow(wi.z, k - 1.0f);
  const float d = 1.0f + theta * theta + 2.0f * theta * dot(wo, wi);
  const float f_hg = (1.0f - theta * theta) / (d * std::sqrt(std::fmax(d, 1e-6f)));
  const float sin_o = std::sqrt(std::fmax(1.0f - wo.z * wo.z, 0.0f));
  const float sin_i = std::sqrt(std::fmax(1.0f - wi.z * wi.z, 0.0f));
  const float tan_o = std::fabs(wo.z) >= 1e-6f ? sin_o / wo.z : 0.0f;
  const float tan_i = std::fabs(wi.z) >= 1e-6f ? sin_i / wi.z : 0.0f;
  float cos_phi = 0.0f;
  if (sin_o > 1e-6f && sin_i > 1e-6f) {
    cos_phi = (wo.x / sin_o) * (wi.x / sin_i) + (wo.y / sin_o) * (wi.y / sin_i);
    cos_phi = std::fmin(std::fmax(cos_phi, -1.0f), 1.0f);
  }
  const float g =
      std::sqrt(std::fmax(tan_o * tan_o + tan_i * tan_i - 2.0f * tan_o * tan_i * cos_phi, 0.0f));
  const float h = 1.0f + (1.0f - rho_c) / (1.0f + g);
  // fmax also maps a NaN (degenerate Theta = -1 in the forward direction) to 0.
  return std::fmax(0.0f, rho0 * m * f_hg * h);
}

/// Scattering response f of a material in band b such that f * |cos theta_i| * radiance is the
/// scattered radiance; wo points back along the incoming ray and wi toward the light, both in
/// the local frame. 0 whenever wo.z <= 0, for unknown kinds and when the material's block does
/// not fit in the buffer. In thermal mode a Diffuse block holds emissivities and reflects 1 - e.
TESK_HOST_DEVICE inline float eval_scattering(MaterialType type, int32_t off, int b,
                                              const float3& wo, const float3& wi,
                                              const SpectralView& spectral, int n_bands,
                                              bool is_back_face, bool thermal) {
  if (!(wo.z > 0.0f) || b < 0 || b >= n_bands) return 0.0f;
  switch (type) {
    case MaterialType::Diffuse: {
      const float* blk = spectral.block(off, n_bands);
      if (blk == nullptr || !(wi.z > 0.0f)) return 0.0f;
      const float r = thermal ? 1.0f - blk[b] : blk[b];
      return r * kInvPi;
    }
    case MaterialType::DiffuseTransmitting: {
      const float* blk = spectral.block(off, 3 * static_cast<int64_t>(n_bands));
      if (blk == nullptr) return 0.0f;
      if (wi.z > 0.0f) return (is_back_face ? blk[n_bands + b] : blk[b]) * kInvPi;
      return blk[2 * n_bands + b] * kInvPi;
    }
    case MaterialType::RPV: {
      const float* blk = spectral.block(off, 4 * static_cast<int64_t>(n_bands));
      if (blk == nullptr || !(wi.z > 0.0f)) return 0.0f;
      return rpv_response(wo, wi, blk[b], blk[n_bands + b], blk[2 * n_bands + b],
                          blk[3 * n_bands + b]);
    }
    default:
      return 0.0f;
  }
}

/// Reflection-or-transmission choice of a two-sided Lambertian leaf with band-mean reflectance
/// `rho` and transmittance `tau`: u[0] picks the side (reflect with p = rho/(rho+tau)), u[1] and
/// u[2] the cosine-weighted direction. When rho + tau < 1e-8 the result is (0, 0, 1) with pdf 1.
TESK_HOST_DEVICE inline ScatterSample sample_leaf(float rho, float tau, const float u[3]) {
  if (!(rho + tau >= 1e-8f)) return ScatterSample{};
  const float p = rho / (rho + tau);
  ScatterSample s = sample_cosine_hemisphere(u[1], u[2]);
  const float cos_pdf = s.pdf;
  if (u[0] >= p) {
    s.wi.z = -s.wi.z;
    s.pdf = cos_pdf * (1.0f - p);
  } else {
    s.pdf = cos_pdf * p;
  }
  return s;
}

/// The record-based sampler: Diffuse and RPV draw a cosine-weighted direction (u[0] radius,
/// u[1] azimuth); DiffuseTransmitting reflects or transmits by the band means stored in
/// scalar_params[0] and [1]; other kinds return (0, 0, 1) with pdf 1.
TESK_HOST_DEVICE inline ScatterSample sample_scattering(const MaterialRecord& material,
                                                        const float u[3]) {
  switch (material.type) {
    case MaterialType::Diffuse:
    case MaterialType::RPV:
      return sample_cosine_hemisphere(u[0], u[1]);
    case MaterialType::DiffuseTransmitting:
      return sample_leaf(material.scalar_params[0], material.scalar_params[1], u);
    default:
      return ScatterSample{};
  }
}

/// The band-averaged sampler: like `sample_scattering`, except that a DiffuseTransmitting
/// material takes its band means from the spectral block (reflectance of the side that was hit,
/// transmittance) instead of the record's scalars. A block that does not fit gives (0, 0, 1).
TESK_HOST_DEVICE inline ScatterSample sample_scattering_banded(const MaterialRecord& material,
                                                               const SpectralView& spectral,
                                                               int n_bands, bool is_back_face,
                                                               const float u[3]) {
  if (material.type != MaterialType::DiffuseTransmitting || n_bands <= 0) {
    return sample_scattering(material, u);
  }
  const float* blk = spectral.block(material.spectral_offset, 3 * static_cast<int64_t>(n_bands));
  if (blk == nullptr) return ScatterSample{};
  const float* refl = is_back_face ? blk + n_bands : blk;
  const float* trans = blk + 2 * n_bands;
  float rho = 0.0f;
  float tau = 0.0f;
  for (int b = 0; b < n_bands; ++b) {
    rho += refl[b];
    tau += trans[b];
  }
  const float inv = 1.0f / static_cast<float>(n_bands);
  return sample_leaf(rho * inv, tau * inv, u);
}

}  // namespace tesk
