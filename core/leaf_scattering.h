#pragma once

// The leaf model of optical turbid media, shared by the forward photon tracer and the backward
// renderer so both estimate the same radiative transfer.
//
// A medium is a cloud of small flat leaves. A photon travelling along d meets leaves whose
// upper-side normals n follow the medium's inclination density g(theta_L) (azimuth uniform),
// weighted by the projected area |n . d|: the normals of the leaves actually hit have the
// density g(theta_L) |n . d| / (2 pi G(d)), whose normaliser is the projection function G of
// the medium's table. `sample_leaf_normal` draws from it by inverse-CDF sampling of theta_L,
// uniform azimuth and acceptance with probability |n . d|.
//
// The photon hits the leaf's front (upper) side when it travels against n (n . d < 0), else the
// back side. The leaf optics are those of the medium's boundary material (front reflectance,
// back reflectance and transmittance of a DiffuseTransmitting material; a Diffuse material
// reflects on both sides and transmits nothing; anything else is black). At an interaction the
// fraction 1 - rho_side - tau is absorbed; the rest is scattered bi-Lambertian: reflected
// (cosine-weighted about the normal facing the incoming photon) with probability
// p = rho/(rho + tau) of the band means, else transmitted (cosine-weighted about the opposite
// normal). Per band the weight is multiplied by rho_b/p or tau_b/(1 - p), the response times
// |cos| over the pdf, which is rho + tau for grey leaves and (rho_b + tau_b) in expectation.

#include <cmath>
#include <cstdint>

#include "core/frame.h"
#include "core/host_device.h"
#include "core/scattering.h"
#include "core/scene_types.h"
#include "core/spectral.h"
#include "core/vec.h"

namespace tesk {

inline constexpr float kHalfPi = 1.5707964f;  ///< pi/2.

/// Cumulative distribution F(theta_L) of the leaf inclination density of `type` (0..5) over
/// [0, pi/2] (closed forms of the integrals of g); other types use the uniform distribution.
TESK_HOST_DEVICE inline float leaf_inclination_cdf(int type, float theta) {
  constexpr float two_over_pi = 0.63661977f;
  theta = std::fmin(std::fmax(theta, 0.0f), kHalfPi);
  switch (type) {
    case 0:
      return 1.0f - std::cos(theta);
    case 1:
      return two_over_pi * (theta + 0.5f * std::sin(2.0f * theta));
    case 2:
      return two_over_pi * (theta - 0.5f * std::sin(2.0f * theta));
    case 3:
      return two_over_pi * (theta - 0.25f * std::sin(4.0f * theta));
    case 4:
      return two_over_pi * (theta + 0.25f * std::sin(4.0f * theta));
    default:
      return two_over_pi * theta;
  }
}

/// Inclination density g(theta_L) of `type` (0..5; other types: uniform), the derivative of
/// `leaf_inclination_cdf`.
TESK_HOST_DEVICE inline float leaf_inclination_pdf(int type, float theta) {
  constexpr float two_over_pi = 0.63661977f;
  switch (type) {
    case 0:
      return std::sin(theta);
    case 1:
      return two_over_pi * (1.0f + std::cos(2.0f * theta));
    case 2:
      return two_over_pi * (1.0f - std::cos(2.0f * theta));
    case 3:
      return two_over_pi * (1.0f - std::cos(4.0f * theta));
    case 4:
      return two_over_pi * (1.0f + std::cos(4.0f * theta));
    default:
      return two_over_pi;
  }
}

/// Leaf inclination theta_L in [0, pi/2] (radians) with F(theta_L) = u for a uniform u in
/// [0, 1]: closed form for the spherical and uniform types, otherwise Newton steps kept inside
/// a shrinking bracket (bisection where the density vanishes or a step leaves the bracket).
TESK_HOST_DEVICE inline float sample_leaf_inclination(int type, float u) {
  u = std::fmin(std::fmax(u, 0.0f), 1.0f);
  if (type == 0) return std::acos(1.0f - u);
  if (type < 0 || type > 4) return u * kHalfPi;
  float lo = 0.0f;
  float hi = kHalfPi;
  float theta = u * kHalfPi;
  for (int it = 0; it < 40; ++it) {
    const float f = leaf_inclination_cdf(type, theta) - u;
    if (std::fabs(f) < 2e-7f) break;
    if (f > 0.0f) {
      hi = theta;
    } else {
      lo = theta;
    }
    if (hi - lo < 1e-7f) break;
    const float g = leaf_inclination_pdf(type, theta);
    float next = g > 1e-6f ? theta - f / g : lo - 1.0f;
    if (!(next > lo && next < hi)) next = 0.5f * (lo + hi);
    theta = next;
  }
  return theta;
}

/// A leaf met by a photon inside a medium.
struct LeafHit {
  float3 normal{0.0f, 0.0f, 1.0f};  ///< Upper-side unit normal (z >= 0) of the leaf.
  float3 facing{0.0f, 0.0f, 1.0f};  ///< Unit normal on the side the photon came from.
  bool back_face = false;           ///< The photon hit the lower (back) side.
};
TESK_DEVICE_RECORD(LeafHit, 28);

/// The leaf hit by a photon travelling along the unit direction `d` in a medium of leaf angle
/// type `type`: theta_L by inverse CDF, azimuth uniform, accepted with probability |n . d|
/// (three uniforms per try from `rng`, which must offer `float uniform()`). After 64 rejected
/// tries (probability below 1e-9 for every tabulated type) the last candidate is kept.
template <typename Rng>
TESK_HOST_DEVICE LeafHit sample_leaf_normal(int type, const float3& d, Rng& rng) {
  float3 n{0.0f, 0.0f, 1.0f};
  for (int tries = 0; tries < 64; ++tries) {
    const float u = rng.uniform();
    // Spherical leaves have cos(theta_L) = 1 - u: no inverse trigonometry needed.
    float c, s;
    if (type == 0) {
      c = 1.0f - (u > 0.0f ? (u < 1.0f ? u : 1.0f) : 0.0f);
      s = std::sqrt(std::fmax(1.0f - c * c, 0.0f));
    } else {
      const float theta = sample_leaf_inclination(type, u);
      c = std::cos(theta);
      s = std::sin(theta);
    }
    const float phi = kTwoPi * rng.uniform();
    n = float3{s * std::cos(phi), s * std::sin(phi), c};
    if (rng.uniform() < std::fabs(dot(n, d))) break;
  }
  LeafHit hit;
  hit.normal = n;
  hit.back_face = dot(n, d) > 0.0f;
  hit.facing = hit.back_face ? -n : n;
  return hit;
}

/// Per-band leaf optics of a medium, borrowed from the spectral buffer. A null pointer reads
/// as 0 (a medium without a usable boundary material has black leaves).
struct LeafOptics {
  const float* front = nullptr;          ///< n_bands front (upper side) reflectances.
  const float* back = nullptr;           ///< n_bands back (lower side) reflectances.
  const float* transmittance = nullptr;  ///< n_bands transmittances (both sides).

  /// Reflectance of the side that was hit in band b.
  TESK_HOST_DEVICE float reflectance(int b, bool back_face) const {
    const float* r = back_face ? back : front;
    return r != nullptr ? r[b] : 0.0f;
  }
  /// Transmittance in band b.
  TESK_HOST_DEVICE float transmission(int b) const {
    return transmittance != nullptr ? transmittance[b] : 0.0f;
  }
  /// Absorbed fraction max(1 - rho_side - tau, 0) in band b.
  TESK_HOST_DEVICE float absorptance(int b, bool back_face) const {
    return std::fmax(1.0f - reflectance(b, back_face) - transmission(b), 0.0f);
  }
};
TESK_DEVICE_RECORD(LeafOptics, 24);

/// The leaf optics of a medium whose boundary material is `material`: a DiffuseTransmitting
/// block gives front, back and transmittance; a Diffuse block reflects its values on both
/// sides; any other kind, or a block that does not fit in the buffer, gives black leaves.
TESK_HOST_DEVICE inline LeafOptics medium_leaf_optics(const MaterialRecord& material,
                                                      const SpectralView& spectral, int n_bands) {
  LeafOptics o;
  if (n_bands <= 0) return o;
  if (material.type == MaterialType::DiffuseTransmitting) {
    const float* blk = spectral.block(material.spectral_offset, 3 * static_cast<int64_t>(n_bands));
    if (blk != nullptr) {
      o.front = blk;
      o.back = blk + n_bands;
      o.transmittance = blk + 2 * n_bands;
    }
  } else if (material.type == MaterialType::Diffuse) {
    const float* blk = spectral.block(material.spectral_offset, n_bands);
    o.front = blk;
    o.back = blk;
  }
  return o;
}

/// Band means of the reflectance of one side and of the transmittance, the numbers that choose
/// between reflection and transmission.
struct LeafMeans {
  float rho = 0.0f;  ///< Mean reflectance of the side.
  float tau = 0.0f;  ///< Mean transmittance.
};
TESK_DEVICE_RECORD(LeafMeans, 8);

/// The band means of `optics` for the front (`back_face` false) or back side.
TESK_HOST_DEVICE inline LeafMeans leaf_band_means(const LeafOptics& optics, int n_bands,
                                                  bool back_face) {
  LeafMeans m;
  if (n_bands <= 0) return m;
  for (int b = 0; b < n_bands; ++b) {
    m.rho += optics.reflectance(b, back_face);
    m.tau += optics.transmission(b);
  }
  m.rho /= static_cast<float>(n_bands);
  m.tau /= static_cast<float>(n_bands);
  return m;
}

/// A scattered direction at a leaf.
struct LeafScatter {
  float3 direction{0.0f, 0.0f, 1.0f};  ///< New unit direction (world).
  bool transmitted = false;            ///< Went through the leaf (to the far side).
  float probability = 1.0f;  ///< Probability of the chosen side: p, or 1 - p when transmitted.
  bool valid = false;        ///< False when rho + tau < 1e-8 (a black leaf ends the photon).
};
TESK_DEVICE_RECORD(LeafScatter, 24);

/// Bi-Lambertian scattering at a leaf whose normal facing the incoming photon is `facing`,
/// with band-mean reflectance `rho` (of the side hit) and transmittance `tau`: u[0] chooses
/// reflection with p = rho/(rho + tau), u[1] and u[2] draw the cosine-weighted direction about
/// `facing` (reflection) or -`facing` (transmission).
TESK_HOST_DEVICE inline LeafScatter scatter_at_leaf(const float3& facing, float rho, float tau,
                                                    const float u[3]) {
  LeafScatter out;
  if (!(rho + tau >= 1e-8f)) return out;
  const ScatterSample s = sample_leaf(rho, tau, u);
  const ShadingFrame frame = ShadingFrame::from_normal(facing);
  const float p = rho / (rho + tau);
  out.direction = normalize(frame.to_world(s.wi));
  out.transmitted = s.wi.z < 0.0f;
  out.probability = out.transmitted ? 1.0f - p : p;
  out.valid = out.probability > 0.0f;
  return out;
}

/// Weight factor of band b after `scatter_at_leaf` (response times |cos| over the pdf):
/// rho_b/p for a reflection, tau_b/(1 - p) for a transmission.
TESK_HOST_DEVICE inline float leaf_scatter_weight(const LeafOptics& optics, int b, bool back_face,
                                                  const LeafScatter& s) {
  const float value = s.transmitted ? optics.transmission(b) : optics.reflectance(b, back_face);
  return s.probability > 0.0f ? value / s.probability : 0.0f;
}

/// Scattering response of a leaf toward the unit direction `v` (the f of f |cos| L): rho_b/pi
/// when `v` leaves on the side the photon came from, tau_b/pi on the far side. The cosine to
/// use with it is |facing . v|.
TESK_HOST_DEVICE inline float leaf_response(const LeafOptics& optics, int b, const LeafHit& leaf,
                                            const float3& v) {
  const float c = dot(leaf.facing, v);
  const float value = c > 0.0f ? optics.reflectance(b, leaf.back_face) : optics.transmission(b);
  return value * kInvPi;
}

/// The leaf model of one medium: inclination distribution and the optics of its boundary
/// material, with the band means of each side that choose between reflection and transmission.
struct MediumLeafModel {
  int32_t leaf_angle_type = 0;  ///< LeafAngleType of the medium.
  LeafOptics optics{};          ///< Per-band optics of the boundary material (null: black).
  LeafMeans means[2]{};         ///< Band means for the front [0] and back [1] side.
};

}  // namespace tesk
