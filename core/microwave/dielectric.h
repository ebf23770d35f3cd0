#pragma once

// Complex permittivities of moist soil (three published models), of fresh and saline water and
// of wood. Every function is a pure host/device kernel on plain values: frequencies in hertz,
// temperatures in kelvin, moisture as a volume fraction. The permittivity is ε = ε' + j·ε''
// with ε'' ≥ 0 (a lossy medium under the e^{−jωt} convention used throughout the microwave
// code).

#include <cmath>

#include "core/host_device.h"
#include "core/microwave/complex.h"

namespace tesk::microwave {

/// Permittivity of free space (F/m), as used by the conductivity terms.
inline constexpr double kVacuumPermittivity = 8.854e-12;
/// Speed of light (m/s) used to turn frequencies into wavenumbers.
inline constexpr double kSpeedOfLight = 2.998e8;

/// Dielectric model selector of the soil vector (index 9).
enum class SoilDielectricModel : int { Mironov = 0, Hallikainen = 2, Dobson = 1 };

/// The model named by the float at soil index 9: truncated toward zero, 0 is Mironov, 2 is
/// Hallikainen, every other value (NaN and infinities included) is Dobson.
TESK_HOST_DEVICE inline SoilDielectricModel soil_model_from_float(float value) {
  if (!(std::fabs(value) < 3.0f)) return SoilDielectricModel::Dobson;
  const double t = std::trunc(static_cast<double>(value));
  if (t == 0.0) return SoilDielectricModel::Mironov;
  if (t == 2.0) return SoilDielectricModel::Hallikainen;
  return SoilDielectricModel::Dobson;
}

/// A Debye relaxation ε∞ + Δε / (1 − j·ωτ) with the relaxation product ωτ given directly.
TESK_HOST_DEVICE inline Complex debye(double eps_inf, double delta_eps, double omega_tau) {
  const double d = 1.0 + omega_tau * omega_tau;
  return {eps_inf + delta_eps / d, delta_eps * omega_tau / d};
}

/// Moisture as read by the soil models: negative values are dry soil.
TESK_HOST_DEVICE inline double soil_moisture(double mv) {
  return mv < 0.0 ? 0.0 : mv;
}

/// Mironov's generalized refractive mixing model (Mironov et al. 2009): permittivity of a soil
/// with clay fraction `clay` (0..1) and volumetric moisture `mv` at `frequency` (Hz). The
/// model has no temperature dependence.
TESK_HOST_DEVICE inline Complex soil_permittivity_mironov(double frequency, double clay,
                                                          double mv) {
  mv = soil_moisture(mv);
  const double C = clay;
  const double omega = 2.0 * kPi * frequency;
  const double nd = 1.634 - 0.539 * C + 0.2748 * C * C;
  const double kd = 0.03952 - 0.04038 * C;
  const double mvt = 0.02863 + 0.30673 * C;
  const double eps0b = 79.8 - 85.4 * C + 32.7 * C * C;
  const double tau_b = 1.062e-11 + 3.45e-12 * C;
  const double sigma_b = 0.3112 + 0.467 * C;
  const double eps_inf = 4.9;
  Complex eb = debye(eps_inf, eps0b - eps_inf, omega * tau_b);
  eb.im += sigma_b / (omega * kVacuumPermittivity);
  const Complex eu = debye(eps_inf, 100.0 - eps_inf, omega * 8.837e-12);
  // Refractive index and normalized extinction of each water phase.
  const double mb = abs(eb);
  const double mu = abs(eu);
  const double nb = std::sqrt(0.5 * (mb + eb.re));
  const double kb = std::sqrt(0.5 * (mb - eb.re));
  const double nu = std::sqrt(0.5 * (mu + eu.re));
  const double ku = std::sqrt(0.5 * (mu - eu.re));
  double n = 0.0;
  double k = 0.0;
  if (mv <= mvt) {
    n = nd + (nb - 1.0) * mv;
    k = kd + kb * mv;
  } else {
    n = nd + (nb - 1.0) * mvt + (nu - 1.0) * (mv - mvt);
    k = kd + kb * mvt + ku * (mv - mvt);
  }
  const double eim = 2.0 * n * k;
  return {n * n - k * k, eim > 0.0 ? eim : 0.0};
}

/// One row of Hallikainen's coefficient table: ε' (first nine) and ε'' (last nine) as
/// a0, a1, a2, b0, b1, b2, c0, c1, c2.
struct HallikainenRow {
  double frequency_ghz;  ///< Table node (GHz).
  double real[9];        ///< Coefficients of ε'.
  double imag[9];        ///< Coefficients of ε''.
};
TESK_DEVICE_RECORD(HallikainenRow, 152);

/// Number of frequency nodes of Hallikainen's table.
inline constexpr int kHallikainenRows = 9;

/// Row `i` (0..8) of the published coefficient table of Hallikainen et al. (1985), nodes at
/// 1.4, 4, 6, 8, 10, 12, 14, 16 and 18 GHz. (A function-local table rather than a namespace
/// constant, so that device code can read it too.)
TESK_HOST_DEVICE inline HallikainenRow hallikainen_table_row(int i) {
  const HallikainenRow table[kHallikainenRows] = {
      {1.4,
       {2.862, -0.012, 0.001, 3.803, 0.462, -0.341, 119.006, -0.500, 0.633},
       {0.356, -0.003, -0.008, 5.507, 0.044, -0.002, 17.753, -0.313, 0.206}},
      {4.0,
       {2.927, -0.012, -0.001, 5.505, 0.371, 0.062, 114.826, -0.389, -0.547},
       {0.004, 0.001, 0.002, 0.951, 0.005, -0.010, 16.759, 0.192, 0.290}},
      {6.0,
       {1.993, 0.002, 0.015, 38.086, -0.176, -0.633, 10.720, 1.256, 1.522},
       {-0.123, 0.002, 0.003, 7.502, -0.058, -0.116, 2.942, 0.452, 0.543}},
      {8.0,
       {1.997, 0.002, 0.018, 25.579, -0.017, -0.412, 39.793, 0.723, 0.941},
       {-0.201, 0.003, 0.003, 11.266, -0.085, -0.155, 0.194, 0.584, 0.581}},
      {10.0,
       {2.502, -0.003, -0.003, 10.101, 0.221, -0.004, 77.482, -0.061, -0.135},
       {-0.070, 0.000, 0.001, 6.620, 0.015, -0.081, 21.578, 0.293, 0.332}},
      {12.0,
       {2.200, -0.001, 0.012, 26.473, 0.013, -0.523, 34.333, 0.284, 1.062},
       {-0.142, 0.001, 0.003, 11.868, -0.059, -0.225, 7.817, 0.570, 0.801}},
      {14.0,
       {2.301, 0.001, 0.009, 17.918, 0.084, -0.282, 50.149, 0.012, 0.387},
       {-0.096, 0.001, 0.002, 8.583, -0.005, -0.153, 28.707, 0.297, 0.357}},
      {16.0,
       {2.237, 0.002, 0.009, 15.505, 0.076, -0.217, 48.260, 0.168, 0.289},
       {-0.027, -0.001, 0.003, 6.179, 0.074, -0.086, 34.126, 0.143, 0.206}},
      {18.0,
       {1.912, 0.007, 0.021, 29.123, -0.190, -0.545, 6.960, 0.822, 1.195},
       {-0.071, 0.000, 0.003, 6.938, 0.029, -0.128, 29.945, 0.275, 0.377}},
  };
  return table[i];
}

/// The quadratic (a0 + a1·S% + a2·C%) + (b0 + b1·S% + b2·C%)·mv + (c0 + c1·S% + c2·C%)·mv².
TESK_HOST_DEVICE inline double hallikainen_polynomial(const double* c, double sand_pct,
                                                      double clay_pct, double mv) {
  const double a = c[0] + c[1] * sand_pct + c[2] * clay_pct;
  const double b = c[3] + c[4] * sand_pct + c[5] * clay_pct;
  const double q = c[6] + c[7] * sand_pct + c[8] * clay_pct;
  return a + b * mv + q * mv * mv;
}

/// Hallikainen's empirical model (Hallikainen et al. 1985) for sand and clay fractions (0..1)
/// and moisture `mv`. The coefficients are interpolated linearly in frequency between table
/// nodes; below 1.4 GHz the 1.4 GHz row and at or above 18 GHz the 18 GHz row are used as they
/// are. ε'' is clamped at 0.
TESK_HOST_DEVICE inline Complex soil_permittivity_hallikainen(double frequency, double sand,
                                                              double clay, double mv) {
  mv = soil_moisture(mv);
  const double f = frequency / 1e9;
  int lo = 0;
  double w = 0.0;  // weight of the upper node
  if (!(f > hallikainen_table_row(0).frequency_ghz)) {
    lo = 0;  // NaN frequencies too: the first row
  } else if (f >= hallikainen_table_row(kHallikainenRows - 1).frequency_ghz) {
    lo = kHallikainenRows - 1;
  } else {
    while (f >= hallikainen_table_row(lo + 1).frequency_ghz) ++lo;
    const double f0 = hallikainen_table_row(lo).frequency_ghz;
    w = (f - f0) / (hallikainen_table_row(lo + 1).frequency_ghz - f0);
  }
  const HallikainenRow r0 = hallikainen_table_row(lo);
  const HallikainenRow r1 = hallikainen_table_row(lo < kHallikainenRows - 1 ? lo + 1 : lo);
  double cr[9];
  double ci[9];
  for (int i = 0; i < 9; ++i) {
    cr[i] = (1.0 - w) * r0.real[i] + w * r1.real[i];
    ci[i] = (1.0 - w) * r0.imag[i] + w * r1.imag[i];
  }
  const double s = 100.0 * sand;
  const double c = 100.0 * clay;
  const double er = hallikainen_polynomial(cr, s, c, mv);
  const double ei = hallikainen_polynomial(ci, s, c, mv);
  return {er, ei > 0.0 ? ei : 0.0};
}

/// Saline pore water of the Dobson/Peplinski model after Stogryn, salinity 0.65 ‰, at
/// `frequency` (Hz) and water temperature `t_celsius`, without the conductivity term.
TESK_HOST_DEVICE inline Complex saline_water_permittivity(double frequency, double t_celsius) {
  const double t = t_celsius;
  const double two_pi_tau =
      (1.1109e-10 - 3.824e-12 * t + 6.938e-14 * t * t - 5.096e-16 * t * t * t) *
      (1.0 + 2.282e-5 * 0.65 * t - 0.00049646996 - 3.2785997e-6 + 3.034606e-9);
  const double eps_static = (87.134 - 0.1949 * t - 0.01276 * t * t + 0.0002491 * t * t * t) *
                            (1.0 + 1.613e-5 * 0.65 * t - 0.0023764 + 1.35622495e-5 - 1.16221294e-7);
  return debye(4.9, eps_static - 4.9, frequency * two_pi_tau);
}

/// Dobson's semi-empirical mixing model (Dobson et al. 1985) with the coefficients of
/// Peplinski et al. (1995): sand and clay fractions (0..1), moisture `mv`, water temperature
/// `temperature` (K). Dry soil (mv = 0) has ε'' = 0.
TESK_HOST_DEVICE inline Complex soil_permittivity_dobson(double frequency, double sand, double clay,
                                                         double mv, double temperature) {
  mv = soil_moisture(mv);
  const double S = sand;
  const double C = clay;
  const double alpha = 0.65;
  const double inv_alpha = 1.5384616;
  const double beta_re = 1.275 - 0.519 * S - 0.152 * C;
  const double beta_im = 1.338 - 0.603 * S - 0.166 * C;
  const double sigma_eff = 0.83692 - 2.256 * S + 1.594 * C;
  const double omega = 2.0 * kPi * frequency;
  const Complex fw = saline_water_permittivity(frequency, temperature - 273.15);
  const double fw_re = fw.re;
  double fw_im = 0.0;
  if (mv > 0.0) {
    fw_im = fw.im + sigma_eff * 1.38 / (omega * kVacuumPermittivity * 2.66 * mv);
  }
  if (!(fw_im > 0.0)) fw_im = 0.0;
  const double base = 1.833173 + std::pow(mv, beta_re) * (std::pow(fw_re, alpha) - 1.0) - mv;
  const double er = std::pow(base, inv_alpha);
  const double ei =
      mv > 0.0 ? std::pow(std::pow(mv, beta_im) * std::pow(fw_im, alpha), inv_alpha) : 0.0;
  return {er, ei};
}

/// Soil permittivity by model; `temperature` (K) is the water temperature of Dobson's model.
TESK_HOST_DEVICE inline Complex soil_permittivity(SoilDielectricModel model, double frequency,
                                                  double sand, double clay, double mv,
                                                  double temperature) {
  switch (model) {
    case SoilDielectricModel::Mironov:
      return soil_permittivity_mironov(frequency, clay, mv);
    case SoilDielectricModel::Hallikainen:
      return soil_permittivity_hallikainen(frequency, sand, clay, mv);
    default:
      return soil_permittivity_dobson(frequency, sand, clay, mv, temperature);
  }
}

/// Effective emitting temperature of a soil (K) from its surface and deep temperatures:
/// T_deep + (T_surf − T_deep)·min(min(mv/0.3, 10)^0.3, 1).
TESK_HOST_DEVICE inline double soil_effective_temperature(double t_surf, double t_deep, double mv) {
  mv = soil_moisture(mv);
  double r = mv / 0.3;
  if (r > 10.0) r = 10.0;
  double wgt = std::pow(r, 0.3);
  if (wgt > 1.0) wgt = 1.0;
  return t_deep + (t_surf - t_deep) * wgt;
}

/// Wood as a mixture of dry matter (ε = 1.5), bound water and free water, for gravimetric-like
/// moisture `moisture` and temperature `temperature` (K) at `frequency` (Hz). The bound-water
/// fraction is min(0.5·m, 0.12), the free-water fraction max(0.5·m − 0.12, 0).
TESK_HOST_DEVICE inline Complex wood_permittivity(double frequency, double moisture,
                                                  double temperature) {
  const double t = temperature - 273.15;
  double vb = 0.5 * moisture;
  if (vb > 0.12) vb = 0.12;
  if (vb < 0.0) vb = 0.0;
  double vf = 0.5 * moisture - 0.12;
  if (vf < 0.0) vf = 0.0;
  const double omega = 2.0 * kPi * frequency;
  const double eps_w0 = 88.045 - 0.4147 * t + 0.0006295 * t * t + 1.075e-5 * t * t * t;
  const double two_pi_tau = 1.1109e-10 - 3.824e-12 * t + 6.938e-14 * t * t - 5.096e-16 * t * t * t;
  const Complex free_water = debye(4.9, eps_w0 - 4.9, frequency * two_pi_tau);
  const Complex bound_water = debye(4.9, 52.8, omega * 4e-11);
  const double er = 1.5 + vb * (bound_water.re - 1.5) + vf * (free_water.re - 1.0);
  const double ei = vb * bound_water.im + vf * free_water.im;
  return {er, ei > 0.0 ? ei : 0.0};
}

}  // namespace tesk::microwave
