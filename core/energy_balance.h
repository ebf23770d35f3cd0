#pragma once

// Per-sample pieces of the energy-balance workflows, shared by every backend: where a face
// sample starts and which way it looks, the grey longwave emission of a surface, the
// reflectance and transmittance a multiband path meets, and the random stream of a primitive.

#include <cmath>
#include <cstdint>

#include "core/frame.h"
#include "core/host_device.h"
#include "core/random_streams.h"
#include "core/scattering.h"
#include "core/transport_constants.h"
#include "core/vec.h"

namespace tesk {

/// Start state of the stream of primitive p: 1000003 p.
inline constexpr uint64_t kEnergyBalanceStateStride = 1000003ULL;

/// The random stream of primitive p. Its start state is 1000003 p and its sequence is derived
/// from p too, never from the worker that takes the primitive, so that a primitive's samples
/// (and every result) are the same for any thread count. The top face draws first, the bottom
/// face continues the same stream.
TESK_HOST_DEVICE inline Pcg32 energy_balance_stream(int64_t p) {
  const auto u = static_cast<uint64_t>(p);
  return derive_stream(StreamKey::EnergyBalance, u, kEnergyBalanceStateStride * u);
}

/// One sample ray of a face: its origin just off the face and a cosine-weighted direction.
struct FaceSample {
  float3 origin{};     ///< x + 1e-4 n (x - 1e-4 n for the bottom face).
  float3 direction{};  ///< Unit direction in the hemisphere of the face normal.
};
TESK_DEVICE_RECORD(FaceSample, 24);

/// Draws a sample of the face with unit normal `n` (the triangle's normal for the top face, its
/// negation for the bottom face) of triangle (a, b, c): four uniforms from `rng`, the point
/// (1 - u1 - u2) a + u1 b + u2 c (folded back when u1 + u2 > 1) and the cosine-weighted
/// direction r = sqrt(u4), phi = 2 pi u3 about n.
TESK_HOST_DEVICE inline FaceSample sample_face(const float3& a, const float3& b, const float3& c,
                                               const float3& n, Pcg32& rng) {
  float u1 = rng.uniform();
  float u2 = rng.uniform();
  if (u1 + u2 > 1.0f) {
    u1 = 1.0f - u1;
    u2 = 1.0f - u2;
  }
  const float u3 = rng.uniform();
  const float u4 = rng.uniform();
  const float3 x = (1.0f - u1 - u2) * a + u1 * b + u2 * c;
  const ShadingFrame frame = ShadingFrame::from_normal(n);
  return FaceSample{x + transport::kFaceSampleOffset * n,
                    frame.to_world(sample_cosine_hemisphere(u4, u3).wi)};
}

/// A cosine-weighted direction about the unit normal `n` from two uniforms of `rng`.
TESK_HOST_DEVICE inline float3 sample_cosine_about(const float3& n, Pcg32& rng) {
  const float u_phi = rng.uniform();
  const float u_r = rng.uniform();
  return ShadingFrame::from_normal(n).to_world(sample_cosine_hemisphere(u_r, u_phi).wi);
}

/// Grey Lambertian longwave radiance e sigma T^4 / pi (W m^-2 sr^-1); 0 unless T > 0.
TESK_HOST_DEVICE inline float grey_emission_radiance(float emissivity, float temperature) {
  if (!(temperature > 0.0f)) return 0.0f;
  const float t2 = temperature * temperature;
  return emissivity * transport::kStefanBoltzmann * t2 * t2 * kInvPi;
}

/// Per-primitive shortwave optics of a multiband run, band-major ([n_bands][n_primitives]);
/// a null array is absent.
struct BandOptics {
  const float* albedo = nullptr;            ///< One albedo per band and primitive.
  const float* reflectance = nullptr;       ///< Front-side reflectance.
  const float* back_reflectance = nullptr;  ///< Back-side reflectance.
  const float* transmittance = nullptr;     ///< Transmittance.
  int64_t n_primitives = 0;                 ///< Primitives per band.

  /// Whether any of the split arrays is given (they then replace the albedo).
  TESK_HOST_DEVICE bool split() const {
    return reflectance != nullptr || back_reflectance != nullptr || transmittance != nullptr;
  }
  /// Reflectance R and transmittance T of primitive q in band b, hit on its back side when
  /// `back`, each clamped to [0, 1]. Split optics: the side's reflectance and the
  /// transmittance (a missing array reads as 0); albedo only: R = albedo, T = 0; else black.
  TESK_HOST_DEVICE void at(int64_t q, int b, bool back, float& r, float& t) const {
    r = 0.0f;
    t = 0.0f;
    if (q < 0 || q >= n_primitives) return;
    const int64_t i = static_cast<int64_t>(b) * n_primitives + q;
    if (split()) {
      const float* side = back ? back_reflectance : reflectance;
      if (side != nullptr) r = clamp01(side[i]);
      if (transmittance != nullptr) t = clamp01(transmittance[i]);
    } else if (albedo != nullptr) {
      r = clamp01(albedo[i]);
    }
  }

  /// x clamped to [0, 1]; NaN reads as 0.
  TESK_HOST_DEVICE static float clamp01(float x) { return x > 0.0f ? (x < 1.0f ? x : 1.0f) : 0.0f; }
};
TESK_DEVICE_RECORD(BandOptics, 40);

}  // namespace tesk
