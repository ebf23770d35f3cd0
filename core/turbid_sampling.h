#pragma once

// Per-candidate pieces of turbid leaf-area sampling: scrambled Sobol points, the closed-boundary
// inside test and the de Wit leaf-angle transform. Every candidate is a pure function of its
// index, the owner's stream key and the owner's world geometry, so a candidate is the same
// whichever thread or device computes it, and a longer run reproduces a shorter one as a prefix.

#include <cmath>
#include <cstdint>

#include "core/host_device.h"
#include "core/vec.h"

namespace tesk::turbid {

/// One candidate as the generator hands it to the acceptor.
struct TurbidSamplingCandidate {
  float px = 0.0f, py = 0.0f, pz = 0.0f;  ///< World position (scene units).
  float nx = 0.0f, ny = 0.0f, nz = 1.0f;  ///< Unit leaf normal, world frame; (0,0,1) if rejected.
  uint32_t index = 0;                     ///< Candidate index within the owner's stream.
  uint32_t status = 0;  ///< 0 outside, 1 inside (accepted), 2 leaf-angle transform failure.
};
TESK_DEVICE_RECORD(TurbidSamplingCandidate, 32);

inline constexpr uint32_t kCandidateOutside = 0;
inline constexpr uint32_t kCandidateInside = 1;
inline constexpr uint32_t kCandidateAngleFailure = 2;

/// de Wit leaf-angle distribution codes.
enum class LeafAngleDistribution : uint32_t {
  Spherical = 0,
  Planophile = 1,
  Erectophile = 2,
  Plagiophile = 3,
  Extremophile = 4,
  Uniform = 5
};

/// lowbias32 finaliser: a bijective 32-bit mix.
TESK_HOST_DEVICE inline uint32_t lowbias32(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x;
}

/// Direction number j (0..31) of Sobol dimension d (0, 1, 2, 3 or 5), most significant bit
/// first. Computed by the dimension's recurrence; cheap enough to unroll per candidate.
struct SobolDirections {
  uint32_t v[5][32];
};

TESK_HOST_DEVICE inline SobolDirections make_sobol_directions() {
  SobolDirections s{};
  for (int j = 0; j < 32; ++j) s.v[0][j] = 0x80000000U >> j;
  s.v[1][0] = 0x80000000U;
  for (int j = 1; j < 32; ++j) s.v[1][j] = s.v[1][j - 1] ^ (s.v[1][j - 1] >> 1);
  s.v[2][0] = 0x80000000U;
  s.v[2][1] = 0xC0000000U;
  for (int j = 2; j < 32; ++j) s.v[2][j] = s.v[2][j - 1] ^ s.v[2][j - 2] ^ (s.v[2][j - 2] >> 2);
  s.v[3][0] = 0x80000000U;
  s.v[3][1] = 0xC0000000U;
  s.v[3][2] = 0x20000000U;
  for (int j = 3; j < 32; ++j) s.v[3][j] = s.v[3][j - 2] ^ s.v[3][j - 3] ^ (s.v[3][j - 3] >> 3);
  // Slot 4 holds Sobol dimension 5 (dimension 4 is not used).
  s.v[4][0] = 0x80000000U;
  s.v[4][1] = 0x40000000U;
  s.v[4][2] = 0x60000000U;
  s.v[4][3] = 0x30000000U;
  for (int j = 4; j < 32; ++j) s.v[4][j] = s.v[4][j - 3] ^ s.v[4][j - 4] ^ (s.v[4][j - 4] >> 4);
  return s;
}

/// Raw Sobol value of point `index` (Gray-code order) in direction slot `slot`.
TESK_HOST_DEVICE inline uint32_t sobol_raw(const SobolDirections& s, int slot, uint32_t index) {
  uint32_t g = index ^ (index >> 1);
  uint32_t x = 0;
  for (int j = 0; g != 0; ++j, g >>= 1) {
    if (g & 1U) x ^= s.v[slot][j];
  }
  return x;
}

/// Owen scrambling of a 32-bit value: each output bit, from the most significant down, is
/// flipped by a hash of the output bits already produced, the stream key and the dimension key.
TESK_HOST_DEVICE inline uint32_t owen_scramble(uint32_t raw, uint32_t stream_key,
                                               uint32_t dimension_key) {
  uint32_t out = 0;
  for (uint32_t t = 0; t < 32; ++t) {
    const uint32_t bit = 31U - t;
    const uint32_t prefix = t == 0 ? 0U : (out >> (32U - t));
    const uint32_t flip =
        lowbias32(prefix ^ stream_key ^ dimension_key ^ (932020981U + t * 2048144789U)) & 1U;
    out |= (((raw >> bit) & 1U) ^ flip) << bit;
  }
  return out;
}

/// A scrambled value as a float in (0, 1).
TESK_HOST_DEVICE inline float unit_from_bits(uint32_t s) {
  const float u = static_cast<float>(static_cast<double>(s) * 0x1p-32 + 0x1p-33);
  return u < 0.99999994f ? u : 0.99999994f;
}

/// Whether p lies inside the closed triangle boundary `tris` (world vertices, three per
/// triangle, `n_tris` triangles) whose signed enclosed volume has sign `orientation`. Points on
/// a face (within 1e-6 of its plane and inside its barycentric range) count as inside; other
/// points by the solid angle the boundary subtends (about 4 pi inside, 0 outside).
TESK_HOST_DEVICE inline bool inside_closed_boundary(const double* tris, uint64_t n_tris,
                                                    int orientation, double px, double py,
                                                    double pz) {
  double omega = 0.0;
  for (uint64_t t = 0; t < n_tris; ++t) {
    const double* v = tris + 9 * t;
    const double ax = v[0] - px, ay = v[1] - py, az = v[2] - pz;
    const double bx = v[3] - px, by = v[4] - py, bz = v[5] - pz;
    const double cx = v[6] - px, cy = v[7] - py, cz = v[8] - pz;
    // Face test: normal n = (b - a) x (c - a).
    const double e1x = v[3] - v[0], e1y = v[4] - v[1], e1z = v[5] - v[2];
    const double e2x = v[6] - v[0], e2y = v[7] - v[1], e2z = v[8] - v[2];
    const double nx = e1y * e2z - e1z * e2y, ny = e1z * e2x - e1x * e2z, nz = e1x * e2y - e1y * e2x;
    const double nn = nx * nx + ny * ny + nz * nz;
    if (nn > 1e-20) {
      // p - a = -(a - p)
      const double dist = -(nx * ax + ny * ay + nz * az);
      if (dist * dist <= 1e-12 * nn) {
        // Barycentric weights of b and c: (p - a) = beta e1 + gamma e2 in the plane.
        const double wx = -ax, wy = -ay, wz = -az;
        const double d11 = e1x * e1x + e1y * e1y + e1z * e1z;
        const double d12 = e1x * e2x + e1y * e2y + e1z * e2z;
        const double d22 = e2x * e2x + e2y * e2y + e2z * e2z;
        const double dw1 = wx * e1x + wy * e1y + wz * e1z;
        const double dw2 = wx * e2x + wy * e2y + wz * e2z;
        const double den = d11 * d22 - d12 * d12;
        const double beta = (d22 * dw1 - d12 * dw2) / den;
        const double gamma = (d11 * dw2 - d12 * dw1) / den;
        if (beta >= -1e-6 && gamma >= -1e-6 && beta + gamma <= 1.000001) return true;
      }
    }
    const double la = std::sqrt(ax * ax + ay * ay + az * az);
    const double lb = std::sqrt(bx * bx + by * by + bz * bz);
    const double lc = std::sqrt(cx * cx + cy * cy + cz * cz);
    const double det =
        ax * (by * cz - bz * cy) - ay * (bx * cz - bz * cx) + az * (bx * cy - by * cx);
    const double den = la * lb * lc + (ax * bx + ay * by + az * bz) * lc +
                       (ax * cx + ay * cy + az * cz) * lb + (bx * cx + by * cy + bz * cz) * la;
    omega += 2.0 * std::atan2(det, den);
  }
  return static_cast<double>(orientation) * omega > 6.0;
}

/// Cumulative distribution F(theta) of de Wit distribution `code` (theta in [0, pi/2]).
TESK_HOST_DEVICE inline double de_wit_cdf(uint32_t code, double theta) {
  constexpr double k2OverPi = 0.63661977236758134308;
  switch (code) {
    case 0:
      return 1.0 - std::cos(theta);
    case 1:
      return k2OverPi * (theta + std::sin(2.0 * theta) / 2.0);
    case 2:
      return k2OverPi * (theta - std::sin(2.0 * theta) / 2.0);
    case 3:
      return k2OverPi * (theta - std::sin(4.0 * theta) / 4.0);
    case 4:
      return k2OverPi * (theta + std::sin(4.0 * theta) / 4.0);
    default:
      return k2OverPi * theta;
  }
}

/// Leaf-normal zenith angle for the uniform variate u, or a negative value when the inverse
/// cannot be bracketed. Codes 1-4 invert F by bisection on a 32-bit fixed-point angle
/// (theta = a * (pi/2) / 2^32), so the result is exact to the last fixed-point step.
TESK_HOST_DEVICE inline double de_wit_zenith(uint32_t code, float u) {
  constexpr double kHalfPi = 1.57079632679489661923;
  const double target = static_cast<double>(u);
  if (code == 0) return std::acos(target);
  if (code == 5) return target * kHalfPi;
  if (!(de_wit_cdf(code, 0.0) <= target && target <= de_wit_cdf(code, kHalfPi))) return -1.0;
  uint32_t a = 0;
  for (int bit = 31; bit >= 0; --bit) {
    const uint32_t trial = a | (1U << bit);
    if (de_wit_cdf(code, static_cast<double>(trial) * (kHalfPi * 0x1p-32)) <= target) a = trial;
  }
  return static_cast<double>(a) * (kHalfPi * 0x1p-32);
}

/// The owner's geometry as the candidate generator sees it.
struct CandidateOwnerView {
  const double* world_triangles = nullptr;  ///< Three world vertices per triangle.
  uint64_t n_triangles = 0;
  float bounds_min[3] = {0, 0, 0};  ///< World box the positions are drawn from.
  float bounds_max[3] = {0, 0, 0};
  int orientation = 1;      ///< Sign of the boundary's signed volume.
  uint32_t leaf_angle = 0;  ///< de Wit code 0..5.
  uint32_t stream_key = 0;  ///< Per-owner scrambling key (identity and seed).
};

/// Candidate `index` of an owner.
TESK_HOST_DEVICE inline TurbidSamplingCandidate generate_candidate(const SobolDirections& dirs,
                                                                   const CandidateOwnerView& owner,
                                                                   uint32_t index) {
  constexpr uint32_t kDimensionKey[5] = {0x00000000U, 0x9e3779b9U, 0x3c6ef372U, 0xdaa66d2bU,
                                         0x1715609dU};
  float u[5];
  for (int d = 0; d < 5; ++d) {
    u[d] = unit_from_bits(
        owen_scramble(sobol_raw(dirs, d, index), owner.stream_key, kDimensionKey[d]));
  }
  TurbidSamplingCandidate c;
  c.index = index;
  float p[3];
  for (int k = 0; k < 3; ++k) {
    p[k] = owner.bounds_min[k] + u[k] * (owner.bounds_max[k] - owner.bounds_min[k]);
  }
  c.px = p[0];
  c.py = p[1];
  c.pz = p[2];
  if (!inside_closed_boundary(owner.world_triangles, owner.n_triangles, owner.orientation, p[0],
                              p[1], p[2])) {
    c.status = kCandidateOutside;
    return c;
  }
  const double theta = de_wit_zenith(owner.leaf_angle, u[3]);
  if (!(theta >= 0.0)) {
    c.status = kCandidateAngleFailure;
    return c;
  }
  constexpr double kTwoPi = 6.28318530717958647692;
  const double phi = kTwoPi * static_cast<double>(u[4]);
  const double s = std::sin(theta);
  c.nx = static_cast<float>(s * std::cos(phi));
  c.ny = static_cast<float>(s * std::sin(phi));
  c.nz = static_cast<float>(std::cos(theta));
  c.status = kCandidateInside;
  return c;
}

}  // namespace tesk::turbid
