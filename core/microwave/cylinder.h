#pragma once

// The trunk as a finite dielectric cylinder, and the trunk standing on a rough dielectric
// ground.
//
// Time dependence e^{−iωt} throughout.
//
// Infinite cylinder (exact series). A plane wave with propagation direction î at polar angle ζ
// from the axis excites, for every order n, outgoing waves E_z, η0·H_z ∝ H^(1)_n(x0)e^{inφ}
// outside and regular waves ∝ J_n(x1)e^{inφ} inside, with x0 = k·a·sin ζ and
// x1 = k·a·√(ε − cos²ζ). Matching E_z, H_z, E_φ, H_φ at ρ = a gives, with
// P_X = X'/x0 − ε·ρ1·X/x1, Q_X = X'/x0 − ρ1·X/x1 (ρ1 = J'_n(x1)/J_n(x1)),
// G_n = i·n·cos ζ·(1/x0² − 1/x1²) and Δ_n = G_n²H² + Q_H·P_H:
//   a_n = (G_n²·H·J + Q_H·P_J)/Δ_n              (V in, V out)
//   b_n = −(G_n²·H·J + P_H·Q_J)/Δ_n             (H in, H out)
//   c_n = −2i·G_n / (π·x0²·Δ_n)                  (cross-polarized; odd in n)
// where J, H are J_n(x0), H^(1)_n(x0). The far field on the cone of directions with the same
// axial wavenumber is E_p = √(2/(π·k·ρ·sin ζ)) e^{i(k·ρ·sin ζ − π/4)} e^{iβz} T_pq(Θ), Θ the
// azimuthal scattering angle, with
//   T_vv = −(a_0 + 2Σ a_n cos nΘ),  T_hh = b_0 + 2Σ b_n cos nΘ,
//   T_hv = 2i·Σ c_n sin nΘ,         T_vh = −2i·Σ c_n sin nΘ,
// in the bases ĥ = normalize(ĉ × k̂), v̂ = ĥ × k̂ of each direction k̂ (ĉ the axis).
//
// Finite cylinder (infinite-cylinder approximation with the finite-length correction). The
// trunk of length L carries per unit length the currents of the infinite cylinder; summing
// their radiation over its length gives the scattering amplitude (E_s = F·E_i·e^{ikr}/r)
//   F(ŝ ← î) = −(i·L/π)·sinc(k·L·(î·ĉ − ŝ·ĉ)/2)·Σ_pq T_pq(ζ̄, Θ) p̂(ŝ) q̂(î)ᵀ,
// which on the cone (where the sinc is 1) is L times the infinite cylinder's amplitude per unit
// length and falls off as the sinc away from it. The cone angle ζ̄ is taken from the mean axial
// cosine cos ζ̄ = (î·ĉ + ŝ·ĉ)/2, which equals the true one on the cone and makes F reciprocal
// everywhere: F(ŝ ← î) = F(−î ← −ŝ)ᵀ.
//
// Series truncation: n = 0..N with N = ⌈x0 + 4.05·x0^{1/3} + 2⌉ (x0 at the cone angle used),
// the rule that converges cylindrical and spherical wave series (here to better than 10⁻⁸
// relative, far below the finite-length approximation's own error). sin ζ̄ is held at 10⁻³ or
// more for directions along the axis. The series model covers x0 ≤ 10⁴ and |x1| ≤ 10⁵; beyond
// that the routines report failure.
//
// All kernels work in caller-provided buffers of `Complex` and allocate nothing.

#include <cmath>
#include <type_traits>

#include "core/host_device.h"
#include "core/microwave/bessel.h"
#include "core/microwave/complex.h"
#include "core/microwave/surface.h"

namespace tesk::microwave {

/// A double-precision 3-vector of the microwave kernels.
struct Vec3 {
  double x = 0.0;  ///< x component.
  double y = 0.0;  ///< y component.
  double z = 0.0;  ///< z component.
};
TESK_DEVICE_RECORD(Vec3, 24);

TESK_HOST_DEVICE inline Vec3 operator+(Vec3 a, Vec3 b) {
  return {a.x + b.x, a.y + b.y, a.z + b.z};
}
TESK_HOST_DEVICE inline Vec3 operator-(Vec3 a, Vec3 b) {
  return {a.x - b.x, a.y - b.y, a.z - b.z};
}
TESK_HOST_DEVICE inline Vec3 operator-(Vec3 a) {
  return {-a.x, -a.y, -a.z};
}
TESK_HOST_DEVICE inline Vec3 operator*(Vec3 a, double s) {
  return {a.x * s, a.y * s, a.z * s};
}
TESK_HOST_DEVICE inline Vec3 operator*(double s, Vec3 a) {
  return a * s;
}
TESK_HOST_DEVICE inline double dot(Vec3 a, Vec3 b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}
TESK_HOST_DEVICE inline Vec3 cross(Vec3 a, Vec3 b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
TESK_HOST_DEVICE inline double length(Vec3 a) {
  return std::sqrt(dot(a, a));
}
/// Unit vector along `a`; a zero or non-finite vector gives NaNs.
TESK_HOST_DEVICE inline Vec3 normalize(Vec3 a) {
  const double len = length(a);
  return len > 0.0 ? a * (1.0 / len) : Vec3{NAN, NAN, NAN};
}

/// A 3×3 complex matrix acting on column vectors (m[row][column]): a dyadic scattering
/// amplitude maps an incident field vector to a scattered one.
struct Dyadic {
  Complex m[3][3];  ///< Elements.
};
TESK_DEVICE_RECORD(Dyadic, 144);

static_assert(std::is_trivially_copyable_v<Dyadic> && std::is_trivially_copyable_v<Vec3>);

/// c·a·bᵀ added to `d`.
TESK_HOST_DEVICE inline void add_outer(Dyadic& d, Complex c, Vec3 a, Vec3 b) {
  const double av[3] = {a.x, a.y, a.z};
  const double bv[3] = {b.x, b.y, b.z};
  for (int r = 0; r < 3; ++r) {
    for (int col = 0; col < 3; ++col) d.m[r][col] += c * (av[r] * bv[col]);
  }
}

/// Matrix product a·b.
TESK_HOST_DEVICE inline Dyadic operator*(const Dyadic& a, const Dyadic& b) {
  Dyadic out{};
  for (int r = 0; r < 3; ++r) {
    for (int col = 0; col < 3; ++col) {
      Complex s{};
      for (int k = 0; k < 3; ++k) s += a.m[r][k] * b.m[k][col];
      out.m[r][col] = s;
    }
  }
  return out;
}

/// Transpose.
TESK_HOST_DEVICE inline Dyadic transpose(const Dyadic& a) {
  Dyadic out{};
  for (int r = 0; r < 3; ++r) {
    for (int col = 0; col < 3; ++col) out.m[r][col] = a.m[col][r];
  }
  return out;
}

/// pᵀ·D·q for real polarization vectors p (receive) and q (transmit).
TESK_HOST_DEVICE inline Complex project(Vec3 p, const Dyadic& d, Vec3 q) {
  const double pv[3] = {p.x, p.y, p.z};
  const double qv[3] = {q.x, q.y, q.z};
  Complex s{};
  for (int r = 0; r < 3; ++r) {
    for (int col = 0; col < 3; ++col) s += d.m[r][col] * (pv[r] * qv[col]);
  }
  return s;
}

/// sin(x)/x.
TESK_HOST_DEVICE inline double sinc(double x) {
  return std::fabs(x) < 1e-4 ? 1.0 - x * x / 6.0 : std::sin(x) / x;
}

/// Horizontal polarization vector of a direction about an axis: normalize(axis × k). For a
/// direction along the axis a fixed perpendicular is used, with its sign following k·axis so
/// that the vector of −k is the negative of the vector of k (as it is everywhere else).
TESK_HOST_DEVICE inline Vec3 polarization_h(Vec3 axis, Vec3 k) {
  const Vec3 w = cross(axis, k);
  const double len = length(w);
  if (len > 1e-12) return w * (1.0 / len);
  const double ax = std::fabs(axis.x);
  const double ay = std::fabs(axis.y);
  const double az = std::fabs(axis.z);
  const Vec3 e =
      (ax <= ay && ax <= az) ? Vec3{1, 0, 0} : (ay <= az ? Vec3{0, 1, 0} : Vec3{0, 0, 1});
  const Vec3 h = normalize(cross(axis, e));
  return dot(k, axis) >= 0.0 ? h : -h;
}

/// Vertical polarization vector ĥ × k of a direction about an axis.
TESK_HOST_DEVICE inline Vec3 polarization_v(Vec3 axis, Vec3 k) {
  return cross(polarization_h(axis, k), k);
}

/// Largest outer argument x0 = k·a·sin ζ the series model accepts.
inline constexpr double kCylinderMaxOuterArgument = 1e4;
/// Largest inner argument |x1| the series model accepts.
inline constexpr double kCylinderMaxInnerArgument = 1e5;
/// Smallest sin ζ used (directions closer to the axis are read at this angle).
inline constexpr double kCylinderMinSinZeta = 1e-3;

/// Highest order N = ⌈x0 + 4.05·x0^{1/3} + 2⌉ of the series at outer argument `x0`.
TESK_HOST_DEVICE inline int cylinder_series_order(double x0) {
  return static_cast<int>(std::ceil(x0 + 4.05 * std::cbrt(x0) + 2.0));
}

/// Number of `Complex` values of work space the coefficients up to order `n_max` need.
TESK_HOST_DEVICE inline int cylinder_work_size(int n_max) {
  return 7 * (n_max + 2);
}

/// Series coefficients of the infinite cylinder for n = 0..n_max (views into the work space).
struct CylinderCoefficients {
  int n_max = 0;               ///< Highest order.
  const Complex* a = nullptr;  ///< a_n: V in, V out.
  const Complex* b = nullptr;  ///< b_n: H in, H out.
  const Complex* c = nullptr;  ///< c_n: cross-polarized coupling.
};
TESK_DEVICE_RECORD(CylinderCoefficients, 32);

/// Infinite-cylinder coefficients for outer argument `x0` > 0, inner argument `x1`,
/// permittivity `eps` and axial cosine `cos_zeta`, orders 0..n_max (n_max ≥ 1), computed in
/// `work` (at least cylinder_work_size(n_max) values).
TESK_HOST_DEVICE inline CylinderCoefficients cylinder_coefficients(double x0, Complex x1,
                                                                   Complex eps, double cos_zeta,
                                                                   int n_max, Complex* work) {
  const int n1 = n_max + 1;
  Complex* a = work;
  Complex* b = work + n1;
  Complex* c = work + 2 * n1;
  Complex* j = work + 3 * n1;
  Complex* h = work + 4 * n1;
  Complex* s = work + 5 * n1;
  Complex* sp = work + 6 * n1;
  bessel_jh(cplx(x0), n_max, j, h);
  bessel_j_derivative_pairs(x1, n_max, s, sp);
  const double inv_x0 = 1.0 / x0;
  const Complex inv_x1 = 1.0 / x1;
  const Complex g_base = times_i(cplx(cos_zeta * inv_x0 * inv_x0) - cos_zeta * inv_x1 * inv_x1);
  const double cross_scale = 2.0 / (kPi * x0 * x0);
  for (int n = 0; n <= n_max; ++n) {
    const Complex J = j[n];
    const Complex H = h[n];
    const Complex Jp = n == 0 ? -j[1] : j[n - 1] - J * (n * inv_x0);
    const Complex Hp = n == 0 ? -h[1] : h[n - 1] - H * (n * inv_x0);
    // The boundary terms multiplied through by J_n(x1) (pair s ∝ J_n, sp ∝ J'_n).
    const Complex sx = s[n] * inv_x0;
    const Complex spx = sp[n] * inv_x1;
    const Complex qj = sx * Jp - spx * J;
    const Complex pj = sx * Jp - eps * spx * J;
    const Complex qh = sx * Hp - spx * H;
    const Complex ph = sx * Hp - eps * spx * H;
    const Complex g = g_base * static_cast<double>(n);
    const Complex g2s2 = g * g * s[n] * s[n];
    const Complex delta = g2s2 * H * H + qh * ph;
    const Complex ghj = g2s2 * H * J;
    a[n] = (ghj + qh * pj) / delta;
    b[n] = -(ghj + ph * qj) / delta;
    c[n] = -times_i(g * s[n] * s[n] * cross_scale) / delta;
  }
  return {n_max, a, b, c};
}

/// Far-field functions T_pq (p scattered, q incident) of the infinite cylinder.
struct CylinderT {
  Complex vv;  ///< V in, V out.
  Complex vh;  ///< H in, V out.
  Complex hv;  ///< V in, H out.
  Complex hh;  ///< H in, H out.
};
TESK_DEVICE_RECORD(CylinderT, 64);

/// T_pq at azimuthal scattering angle `theta` (radians) from the series coefficients.
TESK_HOST_DEVICE inline CylinderT cylinder_t(const CylinderCoefficients& k, double theta) {
  Complex svv = k.a[0];
  Complex shh = k.b[0];
  Complex scr{};
  const double c1 = std::cos(theta);
  const double s1 = std::sin(theta);
  double cn = 1.0;
  double sn = 0.0;
  for (int n = 1; n <= k.n_max; ++n) {
    const double cn1 = cn * c1 - sn * s1;
    sn = sn * c1 + cn * s1;
    cn = cn1;
    svv += k.a[n] * (2.0 * cn);
    shh += k.b[n] * (2.0 * cn);
    scr += k.c[n] * (2.0 * sn);
  }
  return {-svv, -times_i(scr), times_i(scr), shh};
}

/// A tree trunk as a finite dielectric cylinder.
struct TrunkCylinder {
  double k = 0.0;         ///< Free-space wavenumber 2π·f/c (rad/m).
  double radius = 0.0;    ///< Radius a (m).
  double length = 0.0;    ///< Length L (m).
  Vec3 axis{0, 0, 1};     ///< Unit axis ĉ.
  Complex eps{1.0, 0.0};  ///< Relative permittivity of the wood.
};
TESK_DEVICE_RECORD(TrunkCylinder, 64);

/// Work space (`Complex` values) that trunk_amplitude needs for any pair of directions, with
/// `extra_terms` orders beyond the truncation rule.
TESK_HOST_DEVICE inline int trunk_work_size(const TrunkCylinder& t, int extra_terms = 0) {
  const double x0 = t.k * t.radius;
  if (!(x0 > 0.0) || !(x0 <= kCylinderMaxOuterArgument)) return 0;
  return cylinder_work_size(cylinder_series_order(x0) + extra_terms);
}

/// Dyadic scattering amplitude F(ŝ ← î) (m) of the finite trunk for unit propagation
/// directions `in` (incident) and `out` (scattered): E_s = F·E_i·e^{ikr}/r. `extra_terms`
/// lengthens the series beyond the truncation rule. Returns false (and leaves `result`
/// untouched) when the arguments are outside the series model or `capacity` is too small.
TESK_HOST_DEVICE inline bool trunk_amplitude(const TrunkCylinder& t, Vec3 out, Vec3 in,
                                             Complex* work, int capacity, Dyadic* result,
                                             int extra_terms = 0) {
  const Vec3 c = t.axis;
  const double ui = dot(in, c);
  const double us = dot(out, c);
  const double cz = 0.5 * (ui + us);
  double sz = std::sqrt(std::fmax(0.0, 1.0 - cz * cz));
  if (sz < kCylinderMinSinZeta) sz = kCylinderMinSinZeta;
  const double x0 = t.k * t.radius * sz;
  const Complex x1 = sqrt(t.eps - cz * cz) * (t.k * t.radius);
  if (!(x0 > 0.0 && x0 <= kCylinderMaxOuterArgument && abs(x1) > 0.0 &&
        abs(x1) <= kCylinderMaxInnerArgument)) {
    return false;
  }
  const int n_max = cylinder_series_order(x0) + extra_terms;
  if (cylinder_work_size(n_max) > capacity) return false;
  const CylinderCoefficients coef = cylinder_coefficients(x0, x1, t.eps, cz, n_max, work);
  // Azimuthal scattering angle about the axis, from the transverse directions.
  const Vec3 hi = polarization_h(c, in);
  const Vec3 hs = polarization_h(c, out);
  const Vec3 ti = cross(hi, c);
  const Vec3 ts = cross(hs, c);
  const double theta = std::atan2(dot(c, cross(ti, ts)), dot(ti, ts));
  const CylinderT T = cylinder_t(coef, theta);
  const Vec3 vi = cross(hi, in);
  const Vec3 vs = cross(hs, out);
  const double f = t.length / kPi * sinc(0.5 * t.k * t.length * (ui - us));
  const Complex factor = cplx(0.0, -f);  // −i·L/π·sinc
  Dyadic d{};
  add_outer(d, factor * T.vv, vs, vi);
  add_outer(d, factor * T.vh, vs, hi);
  add_outer(d, factor * T.hv, hs, vi);
  add_outer(d, factor * T.hh, hs, hi);
  *result = d;
  return true;
}

/// The ground under the trunk.
struct GroundSurface {
  double k = 0.0;           ///< Free-space wavenumber (rad/m).
  Complex eps{1.0, 0.0};    ///< Relative permittivity of the soil.
  double rms_height = 0.0;  ///< Surface rms height s (m).
};
TESK_DEVICE_RECORD(GroundSurface, 32);

/// Coherent reflection of a rough ground for the unit incident direction `in` on the unit
/// normal `n` (pointing against `in`): the Fresnel amplitudes at cosine max(|in·n|, 0.001)
/// attenuated by the roughness factor exp(−2·k²·s²·μ²), as the dyadic
/// r_H·ĥĥᵀ + r_V·v̂_r·v̂_iᵀ with ĥ = normalize(in × n), v̂ = ĥ × direction. Writes the specular
/// direction to `reflected` and the coherent power reflectivities to `coherent`.
TESK_HOST_DEVICE inline Dyadic ground_reflection(const GroundSurface& g, Vec3 in, Vec3 n,
                                                 Vec3* reflected, Reflectivity* coherent) {
  const double cos_in = -dot(in, n);
  const Vec3 r = in + n * (2.0 * cos_in);
  const double mu = clamp_cosine(cos_in);
  const FresnelAmplitudes fr = fresnel_amplitudes(g.eps, mu);
  const double ks = g.k * g.rms_height * mu;
  const double att = std::exp(-2.0 * ks * ks);
  Vec3 h = cross(in, n);
  const double len = length(h);
  if (len > 1e-12) {
    h = h * (1.0 / len);
  } else {
    h = polarization_h(n, n);  // normal incidence: any horizontal vector serves
  }
  Dyadic d{};
  add_outer(d, fr.h * att, h, h);
  add_outer(d, fr.v * att, cross(h, r), cross(h, in));
  *reflected = r;
  *coherent = {norm(fr.h) * att * att, norm(fr.v) * att * att};
  return d;
}

/// Horizontal polarization vector of a sensor looking along `d` (z up): normalize(ẑ × d), ŷ for
/// a vertical line of sight.
TESK_HOST_DEVICE inline Vec3 sensor_h(Vec3 d) {
  const Vec3 w = cross(Vec3{0, 0, 1}, d);
  const double len = length(w);
  return len > 1e-12 ? w * (1.0 / len) : Vec3{0, 1, 0};
}

/// Vertical polarization vector ĥ × d of a sensor looking along `d`.
TESK_HOST_DEVICE inline Vec3 sensor_v(Vec3 d) {
  return cross(sensor_h(d), d);
}

/// Responses of one trunk over the ground for one direction triple.
struct TrunkGroundResponse {
  double direct[4] = {0, 0, 0, 0};    ///< Trunk backscatter σ_HH, σ_HV, σ_VH, σ_VV (m²).
  double dihedral[4] = {0, 0, 0, 0};  ///< Trunk–ground double bounce σ_HH..σ_VV (m²).
  double extinction_h = 0.0;          ///< Trunk extinction cross section, H incidence (m²).
  double extinction_v = 0.0;          ///< Trunk extinction cross section, V incidence (m²).
  double ground_h = 0.0;              ///< Coherent ground reflectivity Γ_H at the bounce.
  double ground_v = 0.0;              ///< Coherent ground reflectivity Γ_V at the bounce.
};
TESK_DEVICE_RECORD(TrunkGroundResponse, 96);

/// 4π·|S|² of the four elements S_HH, S_HV, S_VH, S_VV (receive, transmit) into out[0..3].
TESK_HOST_DEVICE inline void radar_cross_sections(Complex shh, Complex shv, Complex svh,
                                                  Complex svv, double* out) {
  out[0] = 4.0 * kPi * norm(shh);
  out[1] = 4.0 * kPi * norm(shv);
  out[2] = 4.0 * kPi * norm(svh);
  out[3] = 4.0 * kPi * norm(svv);
}

/// Monostatic responses of a trunk over a rough ground (see the file comment for the trunk).
///
/// `to_trunk` is the unit line of sight from the sensor to the trunk, `to_ground` the unit
/// line of sight from the sensor to the ground point of the double bounce, `normal` the ground
/// normal there (either orientation; it is turned to face the sensor). With r = the specular
/// reflection of `to_ground`, the double bounce is the coherent sum of the two reciprocal
/// paths sensor → ground → trunk → sensor (F(−to_trunk ← r)·R(r ← to_ground)) and
/// sensor → trunk → ground → sensor (R(−to_ground ← −r)·F(−r ← to_trunk)), each projected on
/// the sensor's polarization vectors (backscatter alignment: ĥ = normalize(ẑ × d), v̂ = ĥ × d
/// for transmit and receive). σ = 4π|S|². Returns false when the trunk lies outside the
/// series model or `capacity` is below trunk_work_size.
TESK_HOST_DEVICE inline bool trunk_ground_response(const TrunkCylinder& t, const GroundSurface& g,
                                                   Vec3 to_trunk, Vec3 to_ground, Vec3 normal,
                                                   Complex* work, int capacity,
                                                   TrunkGroundResponse* out) {
  const Vec3 dt = normalize(to_trunk);
  const Vec3 dg = normalize(to_ground);
  Vec3 n = normalize(normal);
  if (dot(dg, n) > 0.0) n = -n;
  TrunkGroundResponse res;
  // Direct backscatter and forward (extinction) amplitudes.
  Dyadic fb{};
  Dyadic ff{};
  if (!trunk_amplitude(t, -dt, dt, work, capacity, &fb)) return false;
  if (!trunk_amplitude(t, dt, dt, work, capacity, &ff)) return false;
  const Vec3 ht = sensor_h(dt);
  const Vec3 vt = sensor_v(dt);
  radar_cross_sections(project(ht, fb, ht), project(ht, fb, vt), project(vt, fb, ht),
                       project(vt, fb, vt), res.direct);
  res.extinction_h = 4.0 * kPi / t.k * project(ht, ff, ht).im;
  res.extinction_v = 4.0 * kPi / t.k * project(vt, ff, vt).im;
  // Double bounce: ground first (path A), trunk first (path B).
  Vec3 r{};
  Reflectivity coherent{};
  const Dyadic ra = ground_reflection(g, dg, n, &r, &coherent);
  Vec3 back{};
  Reflectivity unused{};
  const Dyadic rb = ground_reflection(g, -r, n, &back, &unused);
  Dyadic fa{};
  Dyadic fbb{};
  if (!trunk_amplitude(t, -dt, r, work, capacity, &fa)) return false;
  if (!trunk_amplitude(t, -r, dt, work, capacity, &fbb)) return false;
  const Dyadic da = fa * ra;
  const Dyadic db = rb * fbb;
  const Vec3 hg = sensor_h(dg);
  const Vec3 vg = sensor_v(dg);
  const Complex shh = project(ht, da, hg) + project(hg, db, ht);
  const Complex shv = project(ht, da, vg) + project(hg, db, vt);
  const Complex svh = project(vt, da, hg) + project(vg, db, ht);
  const Complex svv = project(vt, da, vg) + project(vg, db, vt);
  radar_cross_sections(shh, shv, svh, svv, res.dihedral);
  res.ground_h = coherent.h;
  res.ground_v = coherent.v;
  *out = res;
  return true;
}

}  // namespace tesk::microwave
