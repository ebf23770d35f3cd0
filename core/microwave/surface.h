#pragma once

// Surface kernels: smooth-surface Fresnel reflection, the passive rough-surface reflectivity
// (H_R, N_H, N_V, Q model) and the semi-empirical active backscatter of Oh, Sarabandi and
// Ulaby (1992). Pure host/device functions of a permittivity and a cosine of incidence.

#include <cmath>

#include "core/host_device.h"
#include "core/microwave/complex.h"
#include "core/microwave/dielectric.h"

namespace tesk::microwave {

/// Amplitude reflection coefficients of a plane interface, air above a medium of relative
/// permittivity ε, for the H (perpendicular) and V (parallel) polarizations.
struct FresnelAmplitudes {
  Complex h;  ///< r_H = (μ − w)/(μ + w), w = √(ε − (1 − μ²)).
  Complex v;  ///< r_V = (ε·μ − w)/(ε·μ + w); +1 for a perfect conductor.
};
TESK_DEVICE_RECORD(FresnelAmplitudes, 32);

/// Power reflectivities of a plane interface.
struct Reflectivity {
  double h = 0.0;  ///< Γ_H = |r_H|².
  double v = 0.0;  ///< Γ_V = |r_V|².
};
TESK_DEVICE_RECORD(Reflectivity, 16);

/// A cosine of incidence as the surface kernels read it: max(|μ|, 0.001), at most 1.
TESK_HOST_DEVICE inline double clamp_cosine(double mu) {
  double m = std::fabs(mu);
  if (m < 0.001) m = 0.001;
  if (m > 1.0) m = 1.0;
  return m;
}

/// Fresnel amplitude coefficients for incidence cosine `mu` (0 < μ ≤ 1) onto permittivity `eps`.
TESK_HOST_DEVICE inline FresnelAmplitudes fresnel_amplitudes(Complex eps, double mu) {
  const Complex w = sqrt(eps - (1.0 - mu * mu));
  const Complex em = eps * mu;
  return {(cplx(mu) - w) / (cplx(mu) + w), (em - w) / (em + w)};
}

/// Fresnel power reflectivities Γ_H, Γ_V for incidence cosine `mu` onto permittivity `eps`.
TESK_HOST_DEVICE inline Reflectivity fresnel_reflectivity(Complex eps, double mu) {
  const FresnelAmplitudes r = fresnel_amplitudes(eps, mu);
  return {norm(r.h), norm(r.v)};
}

/// Fresnel reflectivity at normal incidence |(√ε − 1)/(√ε + 1)|².
TESK_HOST_DEVICE inline double fresnel_normal_reflectivity(Complex eps) {
  const Complex n = sqrt(eps);
  return norm((n - 1.0) / (n + 1.0));
}

/// Clamp to [lo, hi] that lets NaN through (so a bad input shows as NaN, not as a bound).
TESK_HOST_DEVICE inline double clamp_nan(double x, double lo, double hi) {
  return x < lo ? lo : (x > hi ? hi : x);
}

/// Parameters of the passive rough-surface reflectivity model.
struct PassiveRoughness {
  double hr = 0.0;  ///< Roughness parameter H_R.
  double nv = 0.0;  ///< Exponent N_V of the vertical polarization.
  double nh = 0.0;  ///< Exponent N_H of the horizontal polarization.
  double q = 0.0;   ///< Polarization mixing Q.
};
TESK_DEVICE_RECORD(PassiveRoughness, 32);

/// Rough-surface reflectivities from the smooth ones `smooth` at cosine `mu`:
/// Γ_p,rough = clamp([(1 − Q)·Γ_p + Q·Γ_p']·exp(−H_R·μ'^N_p), 0, 1) with μ' = max(μ, 0.01).
TESK_HOST_DEVICE inline Reflectivity passive_rough_reflectivity(Reflectivity smooth, double mu,
                                                                const PassiveRoughness& r) {
  const double m = mu < 0.01 ? 0.01 : mu;
  const double gh = ((1.0 - r.q) * smooth.h + r.q * smooth.v) * std::exp(-r.hr * std::pow(m, r.nh));
  const double gv = ((1.0 - r.q) * smooth.v + r.q * smooth.h) * std::exp(-r.hr * std::pow(m, r.nv));
  return {clamp_nan(gh, 0.0, 1.0), clamp_nan(gv, 0.0, 1.0)};
}

/// Linear backscatter coefficients (m²/m²) of a rough surface, receive-transmit order.
struct Backscatter {
  double hh = 0.0;  ///< σ_HH.
  double hv = 0.0;  ///< σ_HV.
  double vh = 0.0;  ///< σ_VH.
  double vv = 0.0;  ///< σ_VV.
};
TESK_DEVICE_RECORD(Backscatter, 32);

/// Oh–Sarabandi–Ulaby backscatter of a surface of permittivity `eps` and rms height
/// `rms_height` (m) at `frequency` (Hz) for incidence cosine `mu` (0 < μ ≤ 1). ks is held in
/// [0.1, 6]; √p in [0.05, 0.99]; q in [0, 1].
TESK_HOST_DEVICE inline Backscatter oh_backscatter(Complex eps, double mu, double frequency,
                                                   double rms_height) {
  const Reflectivity g = fresnel_reflectivity(eps, mu);
  double g0 = fresnel_normal_reflectivity(eps);
  if (g0 < 0.001) g0 = 0.001;
  const double theta = std::acos(mu);
  const double ks = clamp_nan(2.0 * kPi * frequency / kSpeedOfLight * rms_height, 0.1, 6.0);
  const double e_ks = std::exp(-ks);
  const double sqrt_p =
      clamp_nan(1.0 - std::pow(2.0 * theta / kPi, 1.0 / (3.0 * g0)) * e_ks, 0.05, 0.99);
  const double p = sqrt_p * sqrt_p;
  const double q = clamp_nan(0.23 * std::sqrt(g0) * (1.0 - e_ks), 0.0, 1.0);
  const double mu2 = mu * mu;
  double vv = 0.7 * (1.0 - std::exp(-0.65 * std::pow(ks, 1.8))) * mu2 * mu2 / sqrt_p * (g.h + g.v);
  if (vv < 0.0) vv = 0.0;
  return {p * vv, q * vv, q * vv, vv};
}

}  // namespace tesk::microwave
