// Microwave kernels and evaluators: complex Bessel functions against a SciPy reference,
// dielectric models, Fresnel and rough-surface models, the cylinder series (Rayleigh limit,
// optical theorem, convergence, reciprocity, physical-optics limit) and the trunk over ground.
// The evaluators' argument checks and messages are covered end to end by tests/python.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/microwave/bessel.h"
#include "core/microwave/cylinder.h"
#include "core/microwave/dielectric.h"
#include "core/microwave/surface.h"

namespace tesk::microwave {
namespace {

double rel_err(Complex a, Complex b) {
  return abs(a - b) / abs(b);
}

Vec3 direction(double theta_deg, double phi_deg) {
  const double t = theta_deg * kPi / 180.0;
  const double p = phi_deg * kPi / 180.0;
  return {std::sin(t) * std::cos(p), std::sin(t) * std::sin(p), std::cos(t)};
}

double max_element(const Dyadic& d) {
  double m = 0.0;
  for (const auto& row : d.m) {
    for (const Complex& c : row) m = std::fmax(m, abs(c));
  }
  return m;
}

double max_difference(const Dyadic& a, const Dyadic& b) {
  double m = 0.0;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) m = std::fmax(m, abs(a.m[r][c] - b.m[r][c]));
  }
  return m;
}

// ---- Bessel functions ------------------------------------------------------------------------

struct BesselReference {
  bool all = false;  // J, Y and H^(1) checked; otherwise J only
  int n = 0;
  Complex z, j, y, h;
};

std::vector<BesselReference> load_bessel_reference() {
  const auto path = std::filesystem::path(__FILE__).parent_path().parent_path() / "data" /
                    "microwave_bessel_reference.txt";
  std::ifstream in(path);
  if (!in) throw std::runtime_error("missing " + path.string());
  std::vector<BesselReference> rows;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream s(line);
    std::string kind;
    BesselReference r;
    s >> kind >> r.n >> r.z.re >> r.z.im >> r.j.re >> r.j.im >> r.y.re >> r.y.im >> r.h.re >>
        r.h.im;
    r.all = kind == "A";
    rows.push_back(r);
  }
  return rows;
}

TEST(MicrowaveBessel, MatchesScipyAtTheTrunkSeriesArguments) {
  const std::vector<BesselReference> rows = load_bessel_reference();
  ASSERT_GT(rows.size(), 300u);
  int checked_y = 0;
  for (const BesselReference& r : rows) {
    const int n_max = std::max(r.n, 1);
    std::vector<Complex> j(n_max + 1), y(n_max + 1), h(n_max + 1);
    bessel_jy(r.z, n_max, j.data(), y.data());
    EXPECT_LT(rel_err(j[r.n], r.j), 1e-10)
        << "J_" << r.n << " at " << r.z.re << "+" << r.z.im << "i";
    if (!r.all) continue;
    ++checked_y;
    EXPECT_LT(rel_err(y[r.n], r.y), 1e-10)
        << "Y_" << r.n << " at " << r.z.re << "+" << r.z.im << "i";
    bessel_jh(r.z, n_max, j.data(), h.data());
    EXPECT_LT(rel_err(h[r.n], r.h), 1e-10)
        << "H_" << r.n << " at " << r.z.re << "+" << r.z.im << "i";
  }
  EXPECT_GT(checked_y, 150);
}

TEST(MicrowaveBessel, WronskianHoldsForComplexArguments) {
  // J_{n+1}(z)·Y_n(z) − J_n(z)·Y_{n+1}(z) = 2/(π z) on both sides of the asymptotic switch.
  for (const Complex z : {cplx(0.3, 0.1), cplx(4.0, -2.0), cplx(16.9, 3.0), cplx(17.1, 3.0),
                          cplx(45.0, 9.0), cplx(2e-7, 1e-7)}) {
    const int n_max = 12;
    std::vector<Complex> j(n_max + 1), y(n_max + 1);
    bessel_jy(z, n_max, j.data(), y.data());
    const Complex expected = cplx(2.0 / kPi) / z;
    for (int n = 0; n < n_max; ++n) {
      const Complex w = j[n + 1] * y[n] - j[n] * y[n + 1];
      const double scale = abs(j[n + 1] * y[n]) + abs(j[n] * y[n + 1]);
      EXPECT_LT(abs(w - expected) / std::fmax(abs(expected), 1e-300),
                1e-11 * scale / abs(expected) + 1e-12)
          << "n=" << n << " z=" << z.re << "+" << z.im << "i";
    }
  }
}

TEST(MicrowaveBessel, DerivativePairsGiveTheLogarithmicDerivative) {
  // Moderate argument: against J'_n/J_n from the values themselves.
  const Complex z = cplx(9.0, 1.2);
  const int n_max = 20;
  std::vector<Complex> j(n_max + 1), y(n_max + 1), s(n_max + 1), sp(n_max + 1);
  bessel_jy(z, n_max, j.data(), y.data());
  bessel_j_derivative_pairs(z, n_max, s.data(), sp.data());
  for (int n = 1; n <= n_max; ++n) {
    const Complex ratio = (j[n - 1] - j[n] * (n / 1.0) / z) / j[n];
    EXPECT_LT(rel_err(sp[n] / s[n], ratio), 1e-11) << n;
  }
  // A strongly absorbing argument, where J_n itself overflows: J ∝ e^{−iz}, so J'/J → −i.
  const Complex big = cplx(900.0, 800.0);
  bessel_j_derivative_pairs(big, 5, s.data(), sp.data());
  for (int n = 0; n <= 5; ++n) {
    ASSERT_TRUE(std::isfinite(s[n].re) && std::isfinite(sp[n].re));
    EXPECT_LT(abs(sp[n] / s[n] - cplx(0.0, -1.0)), 1e-3) << n;
  }
}

TEST(MicrowaveBessel, ArgumentsOutsideTheDomainGiveNaN) {
  std::vector<Complex> j(4), y(4), s(4), sp(4);
  for (const Complex z : {cplx(NAN, 0.0), cplx(2e6, 0.0), cplx(1.0, INFINITY)}) {
    bessel_jy(z, 3, j.data(), y.data());
    bessel_j_derivative_pairs(z, 3, s.data(), sp.data());
    for (int n = 0; n <= 3; ++n) {
      EXPECT_TRUE(std::isnan(j[n].re) && std::isnan(y[n].re) && std::isnan(s[n].re)) << n;
    }
  }
}

// ---- dielectric models -----------------------------------------------------------------------

TEST(MicrowaveDielectric, HallikainenTableRowsAndInterpolation) {
  // The 1.4 GHz row as published.
  const double re14[9] = {2.862, -0.012, 0.001, 3.803, 0.462, -0.341, 119.006, -0.500, 0.633};
  const double im14[9] = {0.356, -0.003, -0.008, 5.507, 0.044, -0.002, 17.753, -0.313, 0.206};
  for (const double sand : {0.2, 0.41, 0.7}) {
    for (const double clay : {0.05, 0.19, 0.4}) {
      for (const double mv : {0.05, 0.2, 0.38}) {
        auto poly = [&](const double* c) {
          const double s = 100 * sand, k = 100 * clay;
          return (c[0] + c[1] * s + c[2] * k) + (c[3] + c[4] * s + c[5] * k) * mv +
                 (c[6] + c[7] * s + c[8] * k) * mv * mv;
        };
        const Complex e = soil_permittivity_hallikainen(1.4e9, sand, clay, mv);
        EXPECT_NEAR(e.re, poly(re14), 1e-12);
        EXPECT_NEAR(e.im, std::fmax(poly(im14), 0.0), 1e-12);
        // Below the first node the 1.4 GHz row is used unchanged.
        const Complex low = soil_permittivity_hallikainen(0.5e9, sand, clay, mv);
        EXPECT_EQ(low.re, e.re);
        EXPECT_EQ(low.im, e.im);
        // Linear in frequency between nodes: 5 GHz is the mean of 4 and 6 GHz.
        const Complex e4 = soil_permittivity_hallikainen(4e9, sand, clay, mv);
        const Complex e5 = soil_permittivity_hallikainen(5e9, sand, clay, mv);
        const Complex e6 = soil_permittivity_hallikainen(6e9, sand, clay, mv);
        EXPECT_NEAR(e5.re, 0.5 * (e4.re + e6.re), 1e-9);
        if (e4.im > 0 && e6.im > 0) {
          EXPECT_NEAR(e5.im, 0.5 * (e4.im + e6.im), 1e-9);
        }
        // At and above the last node the 18 GHz row.
        const Complex e18 = soil_permittivity_hallikainen(18e9, sand, clay, mv);
        const Complex e30 = soil_permittivity_hallikainen(30e9, sand, clay, mv);
        EXPECT_EQ(e18.re, e30.re);
        EXPECT_EQ(e18.im, e30.im);
      }
    }
  }
  // A negative loss from the polynomial is clamped at zero (8 GHz, dry, no sand or clay).
  EXPECT_EQ(soil_permittivity_hallikainen(8e9, 0.0, 0.0, 0.0).im, 0.0);
}

TEST(MicrowaveDielectric, DrySoilAndWoodClosedForms) {
  // Mironov, dry: ε = (n_d + i·k_d)².
  const double clay = 0.25;
  const double nd = 1.634 - 0.539 * clay + 0.2748 * clay * clay;
  const double kd = 0.03952 - 0.04038 * clay;
  const Complex m = soil_permittivity_mironov(1.4e9, clay, 0.0);
  EXPECT_NEAR(m.re, nd * nd - kd * kd, 1e-12);
  EXPECT_NEAR(m.im, 2 * nd * kd, 1e-12);
  // Dobson, dry: ε' = 1.833173^(1/α), no loss.
  const Complex d = soil_permittivity_dobson(1.4e9, 0.4, 0.2, 0.0, 293.15);
  EXPECT_NEAR(d.re, std::pow(1.833173, 1.5384616), 1e-9);
  EXPECT_EQ(d.im, 0.0);
  // Wood: dry matter alone is 1.5; up to m = 0.24 only bound water is added.
  const Complex dry = wood_permittivity(1.4e9, 0.0, 290.0);
  EXPECT_EQ(dry.re, 1.5);
  EXPECT_EQ(dry.im, 0.0);
  const double wt = 2 * kPi * 1.4e9 * 4e-11;
  const Complex bound = wood_permittivity(1.4e9, 0.2, 290.0);
  EXPECT_NEAR(bound.re, 1.5 + 0.1 * (4.9 + 52.8 / (1 + wt * wt) - 1.5), 1e-12);
  EXPECT_NEAR(bound.im, 0.1 * 52.8 * wt / (1 + wt * wt), 1e-12);
  EXPECT_GT(wood_permittivity(1.4e9, 0.8, 290.0).re, bound.re);
}

TEST(MicrowaveDielectric, LoamPermittivityGrowsWithMoistureAndModelsAgree) {
  // Loam (40 % sand, 20 % clay) at 1.4 GHz and 20 °C.
  const double sand = 0.4, clay = 0.2, f = 1.4e9, t = 293.15;
  const SoilDielectricModel models[3] = {
      SoilDielectricModel::Mironov, SoilDielectricModel::Hallikainen, SoilDielectricModel::Dobson};
  for (const SoilDielectricModel model : models) {
    double last = 0.0;
    for (double mv = 0.02; mv <= 0.45; mv += 0.01) {
      const Complex e = soil_permittivity(model, f, sand, clay, mv, t);
      EXPECT_GT(e.re, last) << static_cast<int>(model) << " mv=" << mv;
      EXPECT_GE(e.im, 0.0);
      last = e.re;
    }
  }
  // Published comparisons of the three models for loams at L band differ by up to about a
  // fifth to a quarter in ε' over the usual moisture range; check that spread.
  for (double mv = 0.1; mv <= 0.35; mv += 0.05) {
    double lo = 1e9, hi = 0.0;
    for (const SoilDielectricModel model : models) {
      const double e = soil_permittivity(model, f, sand, clay, mv, t).re;
      lo = std::fmin(lo, e);
      hi = std::fmax(hi, e);
    }
    EXPECT_LT(hi / lo, 1.25) << "mv=" << mv;
  }
}

TEST(MicrowaveDielectric, ModelSelectorAndEffectiveTemperature) {
  EXPECT_EQ(soil_model_from_float(0.0f), SoilDielectricModel::Mironov);
  EXPECT_EQ(soil_model_from_float(0.7f), SoilDielectricModel::Mironov);
  EXPECT_EQ(soil_model_from_float(-0.5f), SoilDielectricModel::Mironov);
  EXPECT_EQ(soil_model_from_float(2.9f), SoilDielectricModel::Hallikainen);
  EXPECT_EQ(soil_model_from_float(1.0f), SoilDielectricModel::Dobson);
  EXPECT_EQ(soil_model_from_float(-2.0f), SoilDielectricModel::Dobson);
  EXPECT_EQ(soil_model_from_float(NAN), SoilDielectricModel::Dobson);
  EXPECT_EQ(soil_model_from_float(1e30f), SoilDielectricModel::Dobson);
  // Wet soil emits at its surface temperature, dry soil at its deep temperature.
  EXPECT_DOUBLE_EQ(soil_effective_temperature(300.0, 285.0, 0.45), 300.0);
  EXPECT_DOUBLE_EQ(soil_effective_temperature(300.0, 285.0, 0.0), 285.0);
  EXPECT_NEAR(soil_effective_temperature(300.0, 285.0, 0.15), 285.0 + 15.0 * std::pow(0.5, 0.3),
              1e-12);
}

// ---- Fresnel and rough surfaces ---------------------------------------------------------------

TEST(MicrowaveFresnel, NormalIncidenceBrewsterAndBounds) {
  for (const double e : {1.5, 4.0, 25.0, 80.0}) {
    const Reflectivity r = fresnel_reflectivity(cplx(e), 1.0);
    const double expected = std::pow((std::sqrt(e) - 1) / (std::sqrt(e) + 1), 2);
    EXPECT_NEAR(r.h, expected, 1e-14);
    EXPECT_NEAR(r.v, expected, 1e-14);
    EXPECT_NEAR(fresnel_normal_reflectivity(cplx(e)), expected, 1e-14);
  }
  // Low-loss ε = 3: V vanishes near the Brewster angle atan(√3) = 60°.
  double best_deg = 0.0, best = 1.0;
  for (double deg = 0.0; deg < 89.9; deg += 0.01) {
    const double g = fresnel_reflectivity(cplx(3.0, 0.001), std::cos(deg * kPi / 180.0)).v;
    if (g < best) {
      best = g;
      best_deg = deg;
    }
  }
  EXPECT_NEAR(best_deg, 60.0, 0.05);
  EXPECT_LT(best, 1e-7);
  // Every reflectivity is in [0, 1], and V never exceeds H over a lossless half space.
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (int i = 0; i < 2000; ++i) {
    const Complex eps = cplx(1.0 + 79.0 * u(rng), i % 2 ? 40.0 * u(rng) : 0.0);
    const double mu = clamp_cosine(u(rng));
    const Reflectivity r = fresnel_reflectivity(eps, mu);
    EXPECT_GE(r.h, 0.0);
    EXPECT_LE(r.h, 1.0);
    EXPECT_GE(r.v, 0.0);
    EXPECT_LE(r.v, 1.0);
    if (eps.im == 0.0) {
      EXPECT_LE(r.v, r.h + 1e-15);
    }
  }
  // Cosines are read as max(|μ|, 0.001), at most 1.
  EXPECT_EQ(clamp_cosine(0.0), 0.001);
  EXPECT_EQ(clamp_cosine(-0.5), 0.5);
  EXPECT_EQ(clamp_cosine(1.5), 1.0);
}

TEST(MicrowaveRoughSurface, PassiveModelLimits) {
  const Reflectivity smooth{0.3, 0.1};
  const Reflectivity same = passive_rough_reflectivity(smooth, 0.7, {0.0, 0.0, 0.0, 0.0});
  EXPECT_DOUBLE_EQ(same.h, 0.3);
  EXPECT_DOUBLE_EQ(same.v, 0.1);
  const Reflectivity swapped = passive_rough_reflectivity(smooth, 0.7, {0.0, 0.0, 0.0, 1.0});
  EXPECT_DOUBLE_EQ(swapped.h, 0.1);
  EXPECT_DOUBLE_EQ(swapped.v, 0.3);
  const Reflectivity rough = passive_rough_reflectivity(smooth, 0.5, {0.4, 2.0, 1.0, 0.0});
  EXPECT_NEAR(rough.h, 0.3 * std::exp(-0.4 * 0.5), 1e-15);
  EXPECT_NEAR(rough.v, 0.1 * std::exp(-0.4 * 0.25), 1e-15);
  // μ' = max(μ, 0.01) and the result is clamped to [0, 1].
  const Reflectivity grazing = passive_rough_reflectivity(smooth, 0.001, {1.0, 1.0, 1.0, 0.0});
  EXPECT_NEAR(grazing.h, 0.3 * std::exp(-0.01), 1e-15);
  const Reflectivity clamped = passive_rough_reflectivity(smooth, 0.5, {-20.0, 1.0, 1.0, 0.0});
  EXPECT_EQ(clamped.h, 1.0);
  EXPECT_EQ(clamped.v, 1.0);
}

TEST(MicrowaveRoughSurface, ActiveBackscatterRatios) {
  const Complex eps = cplx(12.0, 2.5);
  const double g0 = fresnel_normal_reflectivity(eps);
  const double f = 5.3e9, k = 2 * kPi * f / kSpeedOfLight;
  for (const double s : {0.004, 0.01, 0.03}) {
    for (const double mu : {0.95, 0.7, 0.4}) {
      const Backscatter b = oh_backscatter(eps, mu, f, s);
      const double ks = std::fmin(std::fmax(k * s, 0.1), 6.0);
      EXPECT_NEAR(b.hv / b.vv, 0.23 * std::sqrt(g0) * (1 - std::exp(-ks)), 1e-12);
      EXPECT_EQ(b.hv, b.vh);
      EXPECT_LE(b.hh, b.vv);
      EXPECT_GT(b.vv, 0.0);
    }
  }
  // Rougher surfaces scatter more at oblique incidence.
  EXPECT_GT(oh_backscatter(eps, 0.6, f, 0.02).vv, oh_backscatter(eps, 0.6, f, 0.005).vv);
  // ks is held at 0.1 for very smooth surfaces.
  const Backscatter at_limit = oh_backscatter(eps, 0.8, f, 0.1 / k);
  const Backscatter smoother = oh_backscatter(eps, 0.8, f, 1e-9);
  EXPECT_NEAR(smoother.vv, at_limit.vv, 1e-12 * at_limit.vv);
  EXPECT_NEAR(smoother.hh, at_limit.hh, 1e-12 * at_limit.hh);
}

// ---- cylinder series --------------------------------------------------------------------------

TrunkCylinder make_trunk(double k, double radius, double length, Complex eps, Vec3 axis) {
  TrunkCylinder t;
  t.k = k;
  t.radius = radius;
  t.length = length;
  t.eps = eps;
  t.axis = normalize(axis);
  return t;
}

Dyadic amplitude(const TrunkCylinder& t, Vec3 out, Vec3 in, int extra_terms = 0) {
  std::vector<Complex> work(trunk_work_size(t, extra_terms));
  Dyadic d{};
  EXPECT_TRUE(
      trunk_amplitude(t, out, in, work.data(), static_cast<int>(work.size()), &d, extra_terms));
  return d;
}

TEST(MicrowaveCylinder, ThinCylinderReducesToTheQuasiStaticDipole) {
  // A needle (k·a ≪ 1) on its scattering cone: F = k²V/(4π)·P_s·α·P_i with the polarizability
  // of a long needle, (ε − 1) along the axis and 2(ε − 1)/(ε + 1) across it.
  const Complex eps = cplx(6.0, 1.5);
  const double k = 1.0, a = 0.002, L = 3.0;
  const Vec3 axis = normalize(Vec3{0.3, -0.2, 1.0});
  const TrunkCylinder t = make_trunk(k, a, L, eps, axis);
  const double volume = kPi * a * a * L;
  // Build incident / scattered directions on the cone about the tilted axis.
  const Vec3 e1 = normalize(cross(axis, Vec3{1, 0, 0}));
  const Vec3 e2 = cross(axis, e1);
  for (const double zeta_deg : {90.0, 60.0, 35.0}) {
    const double cz = std::cos(zeta_deg * kPi / 180), sz = std::sin(zeta_deg * kPi / 180);
    const Vec3 in = axis * cz + e1 * sz;
    for (const double phi_deg : {0.0, 40.0, 135.0, 180.0}) {
      const double p = phi_deg * kPi / 180;
      const Vec3 out = axis * cz + (e1 * std::cos(p) + e2 * std::sin(p)) * sz;
      const Dyadic f = amplitude(t, out, in);
      Dyadic expected{};
      const Complex across = (eps - 1.0) * 2.0 / (eps + 1.0);
      double pol_axis[3] = {axis.x, axis.y, axis.z};
      double po[3][3], pi[3][3];
      const double ov[3] = {out.x, out.y, out.z}, iv[3] = {in.x, in.y, in.z};
      for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
          po[r][c] = (r == c) - ov[r] * ov[c];
          pi[r][c] = (r == c) - iv[r] * iv[c];
        }
      }
      Complex alpha[3][3];
      for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
          const double along = pol_axis[r] * pol_axis[c];
          alpha[r][c] = (eps - 1.0) * along + across * ((r == c) - along);
        }
      }
      for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
          Complex s{};
          for (int m = 0; m < 3; ++m) {
            for (int n = 0; n < 3; ++n) s += alpha[m][n] * (po[r][m] * pi[n][c]);
          }
          expected.m[r][c] = s * (k * k * volume / (4 * kPi));
        }
      }
      EXPECT_LT(max_difference(f, expected), 1e-3 * max_element(expected))
          << "zeta=" << zeta_deg << " phi=" << phi_deg;
    }
  }
}

// Per-unit-length extinction and scattering of the infinite cylinder (both ×k/4).
void infinite_cylinder_balance(double x0, Complex eps, double cos_zeta, double out[4]) {
  const Complex x1 = sqrt(eps - cos_zeta * cos_zeta) * (x0 / std::sqrt(1 - cos_zeta * cos_zeta));
  const int n_max = cylinder_series_order(x0);
  std::vector<Complex> work(cylinder_work_size(n_max));
  const CylinderCoefficients c = cylinder_coefficients(x0, x1, eps, cos_zeta, n_max, work.data());
  Complex sum_a = c.a[0], sum_b = c.b[0];
  double sca_v = norm(c.a[0]), sca_h = norm(c.b[0]);
  for (int n = 1; n <= n_max; ++n) {
    sum_a += c.a[n] * 2.0;
    sum_b += c.b[n] * 2.0;
    sca_v += 2 * (norm(c.a[n]) + norm(c.c[n]));
    sca_h += 2 * (norm(c.b[n]) + norm(c.c[n]));
  }
  out[0] = sum_a.re;   // V extinction
  out[1] = sca_v;      // V scattering
  out[2] = -sum_b.re;  // H extinction
  out[3] = sca_h;      // H scattering
}

TEST(MicrowaveCylinder, LosslessInfiniteCylinderConservesEnergy) {
  // Optical theorem of the exact series: extinction equals scattering without loss, for both
  // polarizations and oblique incidence (where power also goes into the cross polarization).
  for (const double x0 : {0.4, 2.5, 11.0, 47.0}) {
    for (const double eps : {1.5, 4.0, 30.0}) {
      for (const double cz : {0.0, 0.45, -0.8}) {
        double b[4];
        infinite_cylinder_balance(x0, cplx(eps), cz, b);
        EXPECT_NEAR(b[0], b[1], 1e-10 * b[1]) << x0 << " " << eps << " " << cz;
        EXPECT_NEAR(b[2], b[3], 1e-10 * b[3]) << x0 << " " << eps << " " << cz;
      }
    }
  }
  // With loss, extinction exceeds scattering (absorption is positive).
  double b[4];
  infinite_cylinder_balance(6.0, cplx(20.0, 8.0), 0.3, b);
  EXPECT_GT(b[0], 1.05 * b[1]);
  EXPECT_GT(b[2], 1.05 * b[3]);
}

TEST(MicrowaveCylinder, SeriesConvergesAtTheTruncationRule) {
  const Complex eps = cplx(35.0, 14.0);
  for (const double ka : {0.5, 4.0, 25.0, 120.0}) {
    const TrunkCylinder t = make_trunk(10.0, ka / 10.0, 8.0, eps, Vec3{0.1, 0.0, 1.0});
    const Vec3 in = direction(70, 10), out = direction(80, 150);
    const Dyadic f = amplitude(t, out, in);
    const Dyadic longer = amplitude(t, out, in, 40);
    EXPECT_LT(max_difference(f, longer), 1e-8 * max_element(longer)) << "ka=" << ka;
    // The last coefficients of the rule are already negligible.
    const double x0 = ka;
    const int n_max = cylinder_series_order(x0);
    std::vector<Complex> work(cylinder_work_size(n_max));
    const CylinderCoefficients c =
        cylinder_coefficients(x0, sqrt(eps) * x0, eps, 0.0, n_max, work.data());
    double peak = 0.0;
    for (int n = 0; n <= n_max; ++n) peak = std::fmax(peak, abs(c.a[n]) + abs(c.b[n]));
    EXPECT_LT(abs(c.a[n_max]) + abs(c.b[n_max]), 1e-7 * peak) << "ka=" << ka;
  }
}

TEST(MicrowaveCylinder, AmplitudeIsReciprocal) {
  // F(ŝ ← î) = F(−î ← −ŝ)ᵀ, on and off the scattering cone, for a tilted lossy trunk.
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  const TrunkCylinder t = make_trunk(30.0, 0.15, 6.0, cplx(18.0, 6.0), Vec3{0.2, -0.1, 1.0});
  for (int i = 0; i < 40; ++i) {
    const Vec3 in = direction(180 * u(rng), 360 * u(rng));
    const Vec3 out = i % 4 == 0 ? -in : direction(180 * u(rng), 360 * u(rng));
    const Dyadic f = amplitude(t, out, in);
    const Dyadic g = transpose(amplitude(t, -in, -out));
    EXPECT_LT(max_difference(f, g), 1e-10 * std::fmax(max_element(f), 1e-30)) << i;
  }
}

TEST(MicrowaveCylinder, FiniteLosslessCylinderConservesEnergy) {
  // σ_ext from the forward amplitude against the scattered power integrated over the sphere;
  // they agree up to the finite-length correction's own error, O(1/(kL)).
  const double k = 20.0, a = 0.06, L = 5.0;  // ka = 1.2, kL = 100
  const TrunkCylinder t = make_trunk(k, a, L, cplx(3.0), Vec3{0, 0, 1});
  const Vec3 in = direction(70, 0);
  const Vec3 pols[2] = {polarization_h(Vec3{0, 0, 1}, in), polarization_v(Vec3{0, 0, 1}, in)};
  std::vector<Complex> work(trunk_work_size(t));
  for (const Vec3 pol : pols) {
    Dyadic fwd{};
    ASSERT_TRUE(trunk_amplitude(t, in, in, work.data(), static_cast<int>(work.size()), &fwd));
    const double ext = 4 * kPi / k * project(pol, fwd, pol).im;
    const int nu = 3000, nphi = 48;
    double sca = 0.0;
    for (int iu = 0; iu < nu; ++iu) {
      const double uz = -1.0 + (iu + 0.5) * 2.0 / nu;
      const double st = std::sqrt(1 - uz * uz);
      for (int ip = 0; ip < nphi; ++ip) {
        const double p = (ip + 0.5) * 2 * kPi / nphi;
        const Vec3 out{st * std::cos(p), st * std::sin(p), uz};
        Dyadic f{};
        ASSERT_TRUE(trunk_amplitude(t, out, in, work.data(), static_cast<int>(work.size()), &f));
        const Vec3 e[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
        for (const Vec3& ax : e) sca += norm(project(ax, f, pol));
      }
    }
    sca *= (2.0 / nu) * (2 * kPi / nphi);
    EXPECT_NEAR(sca / ext, 1.0, 0.015);
  }
}

TEST(MicrowaveCylinder, ThickLossyTrunkApproachesPhysicalOptics) {
  // Broadside backscatter of a thick absorbing cylinder: σ → Γ(0)·k·a·L²; its extinction
  // tends to twice the projected area, 4·a·L.
  const double f = 5e9, k = 2 * kPi * f / kSpeedOfLight, a = 0.3, L = 3.0;
  const Complex eps = wood_permittivity(f, 0.9, 293.15);
  const TrunkCylinder t = make_trunk(k, a, L, eps, Vec3{0, 0, 1});
  const Vec3 in = direction(90, 30);
  const Dyadic back = amplitude(t, -in, in);
  const Dyadic fwd = amplitude(t, in, in);
  const double po = fresnel_normal_reflectivity(eps) * k * a * L * L;
  for (const Vec3 pol : {polarization_h(t.axis, in), polarization_v(t.axis, in)}) {
    const double sigma = 4 * kPi * norm(project(pol, back, pol));
    EXPECT_NEAR(sigma / po, 1.0, 0.05);
    const double ext = 4 * kPi / k * project(pol, fwd, pol).im;
    EXPECT_NEAR(ext / (4 * a * L), 1.0, 0.08);
  }
}

// ---- trunk over ground ------------------------------------------------------------------------

TEST(MicrowaveTrunkGround, BackscatterIsReciprocalForAnyGeometry) {
  const double f = 1.4e9, k = 2 * kPi * f / kSpeedOfLight;
  GroundSurface g;
  g.k = k;
  g.eps = cplx(15.0, 3.0);
  g.rms_height = 0.01;
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  const TrunkCylinder tilted = make_trunk(k, 0.2, 10.0, cplx(20.0, 7.0), Vec3{0.15, 0.1, 1.0});
  std::vector<Complex> work(trunk_work_size(tilted));
  for (int i = 0; i < 30; ++i) {
    // A sensor nearby: slightly different lines of sight to the trunk and to the ground.
    const Vec3 dt = direction(100 + 60 * u(rng), 360 * u(rng));
    const Vec3 dg = normalize(dt + Vec3{0.05 * u(rng), -0.05 * u(rng), -0.1 * u(rng)});
    const Vec3 n = normalize(Vec3{0.1 * u(rng), 0.1 * u(rng), 1.0});
    TrunkGroundResponse r;
    ASSERT_TRUE(trunk_ground_response(tilted, g, dt, dg, n, work.data(),
                                      static_cast<int>(work.size()), &r));
    EXPECT_NEAR(r.direct[1], r.direct[2], 1e-9 * (r.direct[0] + r.direct[3]) + 1e-30) << i;
    EXPECT_NEAR(r.dihedral[1], r.dihedral[2], 1e-9 * (r.dihedral[0] + r.dihedral[3]) + 1e-30) << i;
    EXPECT_GT(r.extinction_h, 0.0);
    EXPECT_GT(r.extinction_v, 0.0);
  }
}

}  // namespace
}  // namespace tesk::microwave
