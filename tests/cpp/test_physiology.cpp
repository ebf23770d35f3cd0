// Leaf physiology: closed-form limits of the photosynthesis model, Ball-Berry consistency,
// temperature responses, leaf energy closure and the solver's validation and threading.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "physiology/leaf_model.h"
#include "physiology/solver.h"

namespace {

using namespace tesk::physiology;

constexpr double kFloatEps = std::numeric_limits<float>::epsilon();

// Owned arrays behind one request view, filled with a typical sunlit C3 leaf at 25 degC.
struct RequestData {
  int n = 1;
  int bands = 1;
  std::vector<float> apar, temperature, co2, rh, vpd, pressure, wind, vcmax25, jmax25, rd25, slope,
      intercept, quantum_yield;
  std::vector<float> shortwave, longwave, air_temperature, vapor_pressure, emissivity, sidedness,
      leaf_width, stomata_sides;
  bool energy_balance = false;
  bool solve_temperature = false;
  int max_iterations = 100;
  float tolerance = 1e-4f;

  explicit RequestData(int elements, int n_bands = 1) : n(elements), bands(n_bands) {
    const auto m = static_cast<size_t>(n);
    apar.assign(m * bands, 1000.0f / static_cast<float>(bands));
    temperature.assign(m, 298.15f);
    co2.assign(m, 400.0f);
    rh.assign(m, 0.7f);
    vpd.assign(m, 1000.0f);
    pressure.assign(m, 101.325f);
    wind.assign(m, 1.0f);
    vcmax25.assign(m, 60.0f);
    jmax25.assign(m, 120.0f);
    rd25.assign(m, 1.0f);
    slope.assign(m, 9.0f);
    intercept.assign(m, 0.01f);
    quantum_yield.assign(m, 0.5f);
    shortwave.assign(m, 0.0f);
    longwave.assign(m, 0.0f);
    air_temperature.assign(m, 298.15f);
    vapor_pressure.assign(m, 1500.0f);
    emissivity.assign(m, 0.98f);
    sidedness.assign(m, 2.0f);
    leaf_width.assign(m, 0.05f);
    stomata_sides.assign(m, 1.0f);
  }

  void set_par(int e, float par) {
    for (int b = 0; b < bands; ++b) apar[static_cast<size_t>(e) * bands + b] = par / bands;
  }

  void enable_energy(bool solve) {
    energy_balance = true;
    solve_temperature = solve;
  }

  PhysiologyRequestView view() const {
    auto buf = [](const std::vector<float>& v) { return FloatBuffer{v.data(), v.size()}; };
    PhysiologyRequestView r;
    r.n_elements = n;
    r.n_bands = bands;
    r.apar = buf(apar);
    r.temperature = buf(temperature);
    r.co2 = buf(co2);
    r.relative_humidity = buf(rh);
    r.vpd = buf(vpd);
    r.pressure = buf(pressure);
    r.wind = buf(wind);
    r.vcmax25 = buf(vcmax25);
    r.jmax25 = buf(jmax25);
    r.rd25 = buf(rd25);
    r.ball_berry_slope = buf(slope);
    r.ball_berry_intercept = buf(intercept);
    r.quantum_yield = buf(quantum_yield);
    r.energy_balance = energy_balance;
    r.solve_temperature = solve_temperature;
    r.absorbed_shortwave = buf(shortwave);
    r.absorbed_longwave = buf(longwave);
    r.air_temperature = buf(air_temperature);
    r.vapor_pressure = buf(vapor_pressure);
    r.emissivity = buf(emissivity);
    r.sidedness = buf(sidedness);
    r.leaf_width = buf(leaf_width);
    r.stomata_sides = buf(stomata_sides);
    r.max_iterations = max_iterations;
    r.tolerance = tolerance;
    return r;
  }

  PhysiologyResult solve(int threads = 0) const { return solve_physiology(view(), threads); }
};

LeafTraits traits_of(const RequestData& d, int e) {
  return LeafTraits{d.vcmax25[e], d.jmax25[e],    d.rd25[e],
                    d.slope[e],   d.intercept[e], d.quantum_yield[e]};
}

// ---- temperature responses ------------------------------------------------------------------

TEST(PhysiologyTemperatureResponse, ReferenceValuesAt25C) {
  const LeafRates r = leaf_rates(LeafTraits{60.0f, 120.0f, 1.5f, 9.0f, 0.01f, 0.0f}, 298.15f);
  EXPECT_NEAR(high_temperature_deactivation(298.15f), 1.0, 1e-6);
  EXPECT_NEAR(r.vcmax, 60.0, 60.0 * 1e-5);
  EXPECT_NEAR(r.jmax, 120.0, 120.0 * 1e-5);
  EXPECT_NEAR(r.rd, 1.5, 1.5 * 1e-5);
  EXPECT_NEAR(r.kc, 404.9, 404.9 * 1e-5);
  EXPECT_NEAR(r.ko, 278.4, 278.4 * 1e-5);
  EXPECT_NEAR(r.gamma_star, 42.7, 42.7 * 1e-5);
  EXPECT_NEAR(r.km, 404.9 * (1.0 + 209.0 / 278.4), 1e-2);
}

TEST(PhysiologyTemperatureResponse, CapacitiesPeakThenFallWithDeactivation) {
  const LeafTraits traits{60.0f, 120.0f, 1.0f, 9.0f, 0.01f, 0.0f};
  float best_v = 0.0f, best_j = 0.0f, t_best_v = 0.0f, t_best_j = 0.0f;
  for (float c = 0.0f; c <= 60.0f; c += 0.1f) {
    const LeafRates r = leaf_rates(traits, 273.15f + c);
    if (r.vcmax > best_v) best_v = r.vcmax, t_best_v = c;
    if (r.jmax > best_j) best_j = r.jmax, t_best_j = c;
  }
  // Interior optima above 25 degC, with a steep fall beyond them.
  EXPECT_GT(t_best_v, 27.0f);
  EXPECT_LT(t_best_v, 40.0f);
  EXPECT_GT(t_best_j, 25.0f);
  EXPECT_LT(t_best_j, 40.0f);
  const LeafRates hot = leaf_rates(traits, 273.15f + 50.0f);
  EXPECT_LT(hot.vcmax, 0.5f * best_v);
  EXPECT_LT(hot.jmax, 0.5f * best_j);
  // Respiration has no deactivation: it keeps rising.
  EXPECT_GT(hot.rd, leaf_rates(traits, 273.15f + 40.0f).rd);
}

TEST(PhysiologyTemperatureResponse, AssimilationOptimumNear23CMovesWarmerWithCo2) {
  // One request holds the same sunlit leaf at temperatures 0..45 degC and two CO2 levels.
  const int n_t = 181;
  RequestData d(2 * n_t);
  for (int i = 0; i < 2 * n_t; ++i) {
    d.temperature[i] = 273.15f + 0.25f * static_cast<float>(i % n_t);
    d.co2[i] = i < n_t ? 400.0f : 1000.0f;
    d.set_par(i, 1500.0f);
  }
  const PhysiologyResult r = d.solve();
  auto optimum = [&](int offset) {
    const auto first = r.an.begin() + offset;
    return 0.25f * static_cast<float>(std::max_element(first, first + n_t) - first);
  };
  const float t400 = optimum(0);
  const float t1000 = optimum(n_t);
  EXPECT_GE(t400, 20.0f);
  EXPECT_LE(t400, 26.0f);
  EXPECT_GE(t1000, t400 + 2.0f);
}

// ---- light response -------------------------------------------------------------------------

TEST(PhysiologyLightResponse, ElectronTransportIsTheSmallerRootWithUnitInitialSlope) {
  const float jmax = 120.0f;
  EXPECT_EQ(electron_transport_rate(0.0f, jmax), 0.0f);
  for (float par : {5.0f, 200.0f, 1500.0f, 1e5f}) {
    const double j = electron_transport_rate(par, jmax);
    const double i2 = 0.3 * par;
    // theta J^2 - (I2 + Jmax) J + I2 Jmax = 0, and J <= min(I2, Jmax).
    EXPECT_NEAR(0.7 * j * j - (i2 + jmax) * j + i2 * jmax, 0.0, 1e-5 * (i2 + jmax) * jmax);
    EXPECT_LE(j, std::min(i2, static_cast<double>(jmax)) * (1 + 1e-6));
  }
  EXPECT_NEAR(electron_transport_rate(1e6f, jmax), jmax, 1e-3 * jmax);
}

TEST(PhysiologyLightResponse, LowLightIsElectronTransportLimitedAndLinear) {
  // Below the light compensation point A+ = 0, so stomata stay at g0 and Ci = Ca exactly.
  RequestData d(2);
  const float par_lo = 1.0f, par_hi = 12.0f;
  d.set_par(0, par_lo);
  d.set_par(1, par_hi);
  const PhysiologyResult r = d.solve();
  const double ca = 400.0, gamma = 42.7, jmax = 120.0;
  for (int e = 0; e < 2; ++e) {
    ASSERT_LT(r.an[e], 0.0f);
    EXPECT_EQ(r.ci[e], 400.0f);
    EXPECT_EQ(r.gs[e], 0.01f);
    EXPECT_EQ(r.converged[e], 1);
  }
  // dA/dPAR = 0.3 / 4 (Ca - G*) / (Ca + 2 G*) at the origin; J = I2 - (1 - theta) I2^2 / Jmax
  // to second order, so the chord slope is smaller by the relative amount below.
  const double expected = 0.075 * (ca - gamma) / (ca + 2.0 * gamma);
  const double curvature = (1.0 - 0.7) * 0.3 * (par_lo + par_hi) / jmax;
  const double slope = (r.an[1] - r.an[0]) / (par_hi - par_lo);
  EXPECT_LT(slope, expected);
  EXPECT_NEAR(slope, expected * (1.0 - curvature), expected * curvature * 0.2 + 1e-5);
}

TEST(PhysiologyLightResponse, HighLightSaturatesAtTheRubiscoLimitedRate) {
  RequestData d(3);
  const float pars[] = {2000.0f, 3000.0f, 5000.0f};
  for (int e = 0; e < 3; ++e) d.set_par(e, pars[e]);
  const PhysiologyResult r = d.solve();
  const LeafRates k = leaf_rates(traits_of(d, 0), 298.15f);
  for (int e = 0; e < 3; ++e) {
    ASSERT_EQ(r.converged[e], 1);
    const double ci = r.ci[e];
    const double ac = k.vcmax * (ci - k.gamma_star) / (ci + k.km);
    const double aj = electron_transport_rate(pars[e], k.jmax) / 4.0 * (ci - k.gamma_star) /
                      (ci + 2.0 * k.gamma_star);
    EXPECT_LT(ac, aj);
    // A belongs to the Ci before the last update, at most `tolerance` away.
    const double dac_dci = k.vcmax * (k.km + k.gamma_star) / ((ci + k.km) * (ci + k.km));
    EXPECT_NEAR(r.an[e], ac - k.rd, dac_dci * d.tolerance + 1e-4);
  }
  EXPECT_NEAR(r.an[2], r.an[0], 1e-4);
}

TEST(PhysiologyLightResponse, DarkLeafRespiresAndConvergesOnTheSecondPass) {
  RequestData d(1, 3);
  d.set_par(0, 0.0f);
  d.temperature[0] = 303.15f;
  const PhysiologyResult r = d.solve();
  EXPECT_NEAR(r.an[0], -leaf_rates(traits_of(d, 0), 303.15f).rd, 1e-6);
  EXPECT_NEAR(r.an[0], -1.0 * std::exp(46390.0 * 5.0 / (2478.819 * 303.15)), 1e-5);
  EXPECT_EQ(r.gs[0], 0.01f);
  EXPECT_EQ(r.ci[0], 400.0f);
  EXPECT_NEAR(r.phi_f[0], 0.5 / 0.03 * 0.01, 1e-6);

  d.max_iterations = 2;
  EXPECT_EQ(d.solve().converged[0], 1);
  d.max_iterations = 1;  // the first pass moves Ci from 0.7 Ca to Ca
  const PhysiologyResult one = d.solve();
  EXPECT_EQ(one.converged[0], 0);
  EXPECT_EQ(one.ci[0], 400.0f);
}

// ---- Ball-Berry coupling --------------------------------------------------------------------

TEST(PhysiologyBallBerry, ConductanceFollowsAssimilationHumidityAndCo2) {
  const int n = 64;
  RequestData d(n);
  for (int e = 0; e < n; ++e) {
    d.set_par(e, 300.0f + 25.0f * e);
    d.rh[e] = 0.5f + 0.00625f * e;
    d.co2[e] = 300.0f + 10.0f * e;
    d.slope[e] = 6.0f + 0.1f * e;
    d.temperature[e] = 288.15f + 0.25f * e;
  }
  const PhysiologyResult r = d.solve();
  for (int e = 0; e < n; ++e) {
    ASSERT_EQ(r.converged[e], 1) << e;
    ASSERT_GT(r.an[e], 0.0f) << e;
    const double drive = r.an[e] * d.rh[e] / d.co2[e];
    EXPECT_NEAR((r.gs[e] - d.intercept[e]) / drive, d.slope[e], 1e-4 * d.slope[e]) << e;
    // Ci is the diffusion balance Ca - 1.6 A / gs of the last pass.
    EXPECT_NEAR(r.ci[e], d.co2[e] - 1.6 * r.an[e] / r.gs[e], 4 * kFloatEps * d.co2[e]) << e;
    EXPECT_GE(r.ci[e], 10.0f);
    EXPECT_LE(r.ci[e], d.co2[e]);
  }
}

TEST(PhysiologyBallBerry, OscillatingIterationIsReportedNotRaised) {
  // Dry air, low CO2 and a weak slope: each pass with open stomata drives Ci to the floor,
  // where A < 0 closes them again, so the plain fixed point alternates between two states.
  RequestData d(1);
  d.set_par(0, 100.0f);
  d.rh[0] = 0.2f;
  d.co2[0] = 150.0f;
  d.slope[0] = 4.0f;
  d.temperature[0] = 283.15f;
  const PhysiologyResult even = d.solve();
  EXPECT_EQ(even.converged[0], 0);
  EXPECT_EQ(even.ci[0], 150.0f);  // 100 passes end on the closed state
  EXPECT_LT(even.an[0], 0.0f);
  d.max_iterations = 101;
  const PhysiologyResult odd = d.solve();
  EXPECT_EQ(odd.converged[0], 0);
  EXPECT_EQ(odd.ci[0], 10.0f);
  EXPECT_GT(odd.an[0], 0.0f);
}

TEST(PhysiologyBallBerry, IntercellularCo2StaysWithinItsBounds) {
  RequestData d(4);
  d.intercept = {0.0f, 0.0f, 0.01f, 0.01f};
  d.slope = {0.0f, 0.5f, 9.0f, 9.0f};  // closed stomata drive Ci down to the floor
  d.co2 = {400.0f, 400.0f, 5.0f, 2000.0f};
  d.max_iterations = 5;  // bounds hold on every pass, converged or not
  const PhysiologyResult r = d.solve();
  EXPECT_EQ(r.ci[0], 10.0f);
  EXPECT_GE(r.ci[1], 10.0f);
  EXPECT_LE(r.ci[1], 400.0f);
  EXPECT_EQ(r.ci[2], 5.0f);  // an ambient level below the floor caps Ci at Ca
  EXPECT_GE(r.ci[3], 10.0f);
  EXPECT_LE(r.ci[3], 2000.0f);
  EXPECT_EQ(r.gs[0], 0.0f);
}

// ---- fluorescence ---------------------------------------------------------------------------

TEST(PhysiologyFluorescence, YieldScalesWithQuantumYieldAndVanishesAtZero) {
  RequestData d(3);
  d.quantum_yield = {0.0f, 0.3f, 0.6f};
  const PhysiologyResult r = d.solve();
  EXPECT_EQ(r.phi_f[0], 0.0f);
  EXPECT_GT(r.phi_f[1], 0.0f);
  EXPECT_NEAR(r.phi_f[2], 2.0 * r.phi_f[1], 4 * kFloatEps * r.phi_f[2]);
  // The relative yield is at most 0.05, reached when photochemistry and excess light vanish.
  EXPECT_LT(r.phi_f[2], 0.6 / 0.03 * 0.05);
}

TEST(PhysiologyFluorescence, ClosedFormAtSaturatingLight) {
  // With 0.425 PAR = 2 jmax25 / 0.8 the excess equals the capacity, so the excess term is 1.
  const float jmax25 = 120.0f;
  const float par = 2.0f * jmax25 / 0.8f / 0.425f;
  const float an = 10.0f;
  const double photochemistry = 4.0 * an / (0.425 * par);
  const double relative = 0.05 / (1.0 + 4.0 * photochemistry / 0.8 + 1.0);
  EXPECT_NEAR(fluorescence_yield(par, an, jmax25, 0.9f), 0.9 / 0.03 * relative, 1e-6);
  // Photochemistry saturates at 0.8; negative assimilation counts as none.
  EXPECT_NEAR(fluorescence_yield(10.0f, 1e3f, jmax25, 0.9f), 0.9 / 0.03 * 0.05 / 5.0, 1e-6);
  EXPECT_NEAR(fluorescence_yield(10.0f, -2.0f, jmax25, 0.9f), 0.9 / 0.03 * 0.05, 1e-6);
  EXPECT_NEAR(fluorescence_yield(0.0f, 0.0f, jmax25, 0.9f), 0.9 / 0.03 * 0.01, 1e-6);
}

// ---- leaf energy balance --------------------------------------------------------------------

TEST(PhysiologyEnergyBalance, DerivativeMatchesFiniteDifference) {
  const LeafMicroclimate micro{400.0f, 0.6f, 101.325f, 2.0f};
  const LeafEnergyInputs energy{500.0f, 700.0f, 300.0f, 1500.0f, 0.97f, 2.0f, 0.04f, 1.0f};
  const float t = 305.0f, dt = 0.05f;
  const double up = leaf_energy_terms(t + dt, 0.2f, micro, energy).residual;
  const double down = leaf_energy_terms(t - dt, 0.2f, micro, energy).residual;
  const LeafEnergyTerms terms = leaf_energy_terms(t, 0.2f, micro, energy);
  // The Newton slope holds the stomatal resistance fixed, while rs = P / (R T gs) shrinks with
  // T; that omitted term makes the true slope steeper by at most lambda E / T.
  const double numeric = (up - down) / (2.0 * dt);
  const double noise = 1e-2;  // float rounding of residuals of ~1e3 W m^-2 over 2 dt
  EXPECT_LE(numeric, terms.derivative + noise);
  EXPECT_GE(numeric, terms.derivative - terms.latent_heat / t - noise);
  EXPECT_GT(terms.latent_heat, 0.0f);
  // Saturation vapour pressure at 0 and 25 degC.
  EXPECT_NEAR(saturation_vapor_pressure(273.15f), 610.78, 1e-3);
  EXPECT_NEAR(saturation_vapor_pressure(298.15f), 3168.0, 3.0);
}

// A leaf in air at 25 degC receiving exactly its own longwave emission at air temperature,
// in air at 50 % relative humidity; shortwave and wind vary per element.
RequestData energy_request(const std::vector<float>& shortwave, const std::vector<float>& winds,
                           float par) {
  RequestData d(static_cast<int>(winds.size()));
  d.enable_energy(true);
  d.tolerance = 1e-3f;
  const double ta = 298.15;
  const double emission = 0.98 * 2.0 * 5.6703744e-8 * ta * ta * ta * ta;
  for (size_t e = 0; e < winds.size(); ++e) {
    d.wind[e] = winds[e];
    d.shortwave[e] = shortwave[e];
    d.longwave[e] = static_cast<float>(emission);
    d.vapor_pressure[e] = 0.5f * saturation_vapor_pressure(298.15f);
    d.set_par(static_cast<int>(e), par);
  }
  return d;
}

TEST(PhysiologyEnergyBalance, ConvergedLeafClosesTheBalance) {
  const std::vector<float> winds = {0.2f, 1.0f, 3.0f, 8.0f, 0.5f, 2.0f};
  const std::vector<float> sw = {0.0f, 0.0f, 0.0f, 300.0f, 600.0f, 900.0f};
  const RequestData d = energy_request(sw, winds, 1200.0f);
  const PhysiologyResult r = d.solve();
  for (size_t e = 0; e < winds.size(); ++e) {
    ASSERT_EQ(r.converged[e], 1) << e;
    const double residual = r.net_radiation[e] - r.sensible_heat[e] - r.latent_heat[e];
    const LeafMicroclimate micro{d.co2[e], d.rh[e], d.pressure[e], d.wind[e]};
    const LeafEnergyInputs energy{d.shortwave[e],      d.longwave[e],     d.air_temperature[e],
                                  d.vapor_pressure[e], d.emissivity[e],   d.sidedness[e],
                                  d.leaf_width[e],     d.stomata_sides[e]};
    const double slope = leaf_energy_terms(r.temperature[e], r.gs[e], micro, energy).derivative;
    // The last Newton step was below the tolerance, so |F| <= |F'| tol (plus float rounding of
    // terms of a few hundred W m^-2).
    const double scale = std::fabs(r.net_radiation[e]) + std::fabs(r.sensible_heat[e]) +
                         std::fabs(r.latent_heat[e]) + d.longwave[e];
    EXPECT_LE(std::fabs(residual), std::fabs(slope) * d.tolerance + 16 * kFloatEps * scale) << e;
  }
}

TEST(PhysiologyEnergyBalance, TranspiringLeafInTheDarkSitsJustBelowAirTemperature) {
  const std::vector<float> winds = {0.2f, 0.5f, 1.0f, 2.0f, 5.0f, 10.0f};
  RequestData d = energy_request(std::vector<float>(winds.size(), 0.0f), winds, 0.0f);
  d.intercept.assign(winds.size(), 0.05f);  // night-time residual conductance
  const PhysiologyResult r = d.solve();
  float previous = std::numeric_limits<float>::infinity();
  for (size_t e = 0; e < winds.size(); ++e) {
    ASSERT_EQ(r.converged[e], 1);
    const float deficit = 298.15f - r.temperature[e];
    EXPECT_GT(deficit, 0.0f) << e;
    EXPECT_LT(deficit, 3.0f) << e;
    EXPECT_LT(deficit, previous) << e;
    EXPECT_GT(r.latent_heat[e], 0.0f);
    EXPECT_LT(r.sensible_heat[e], 0.0f);  // the cooled leaf gains heat from the air
    previous = deficit;
  }
}

TEST(PhysiologyEnergyBalance, SunlitLeafSitsAboveAirTemperatureLessSoInWind) {
  const std::vector<float> winds = {0.2f, 0.5f, 1.0f, 2.0f, 5.0f, 10.0f};
  const RequestData d = energy_request(std::vector<float>(winds.size(), 600.0f), winds, 1500.0f);
  const PhysiologyResult r = d.solve();
  float previous = std::numeric_limits<float>::infinity();
  for (size_t e = 0; e < winds.size(); ++e) {
    ASSERT_EQ(r.converged[e], 1);
    const float excess = r.temperature[e] - 298.15f;
    EXPECT_GT(excess, 0.0f) << e;
    EXPECT_LT(excess, previous) << e;
    EXPECT_GT(r.sensible_heat[e], 0.0f);
    previous = excess;
  }
}

TEST(PhysiologyEnergyBalance, TemperatureClampsAndStepLimitHold) {
  // Elements: scorching sun, freezing air without radiation, and the same two again with one
  // and three Newton steps allowed.
  RequestData d(4);
  d.enable_energy(true);
  d.tolerance = 1e-3f;
  d.shortwave = {20000.0f, 0.0f, 20000.0f, 0.0f};
  d.air_temperature = {300.0f, 120.0f, 300.0f, 120.0f};
  d.temperature = {300.0f, 250.0f, 300.0f, 345.0f};
  d.vapor_pressure.assign(4, 0.0f);
  d.wind.assign(4, 0.1f);
  PhysiologyResult r = d.solve();
  EXPECT_EQ(r.temperature[0], 350.0f);
  EXPECT_EQ(r.temperature[1], 200.0f);
  EXPECT_EQ(r.temperature[2], 350.0f);
  EXPECT_EQ(r.temperature[3], 200.0f);

  d.max_iterations = 1;
  r = d.solve();
  EXPECT_EQ(r.temperature[2], 310.0f);
  EXPECT_EQ(r.temperature[3], 335.0f);
  EXPECT_EQ(r.converged[2], 0);
  EXPECT_EQ(r.converged[3], 0);
  d.max_iterations = 3;
  r = d.solve();
  EXPECT_EQ(r.temperature[2], 330.0f);
  EXPECT_EQ(r.temperature[3], 315.0f);
}

TEST(PhysiologyEnergyBalance, FixedTemperatureEvaluatesTermsAtTheInput) {
  RequestData d(2);
  d.enable_energy(false);
  d.shortwave = {400.0f, 0.0f};
  d.longwave = {800.0f, 700.0f};
  d.temperature = {305.0f, 290.0f};
  d.air_temperature = {300.0f, 295.0f};
  const PhysiologyResult r = d.solve();
  const RequestData plain = [&] {
    RequestData p = d;
    p.energy_balance = false;
    return p;
  }();
  const PhysiologyResult photo = plain.solve();
  for (int e = 0; e < 2; ++e) {
    EXPECT_EQ(r.temperature[e], d.temperature[e]);
    EXPECT_EQ(r.an[e], photo.an[e]);
    EXPECT_EQ(r.gs[e], photo.gs[e]);
    const double t = d.temperature[e];
    const double emitted = 0.98 * 2.0 * 5.6703744e-8 * t * t * t * t;
    EXPECT_NEAR(r.net_radiation[e], d.shortwave[e] + d.longwave[e] - emitted, 1e-3);
    const double h = 2.0 * 1.225 * 1005.0 / (200.0 * std::sqrt(0.05 / 1.0));
    EXPECT_NEAR(r.sensible_heat[e], h * (t - d.air_temperature[e]), 1e-3);
  }
  EXPECT_TRUE(photo.temperature.empty());
  EXPECT_TRUE(photo.latent_heat.empty());
}

// ---- solver: validation ---------------------------------------------------------------------

void expect_invalid(const RequestData& d, const std::string& message) {
  try {
    solve_physiology(d.view());
    ADD_FAILURE() << "expected: " << message;
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()), message);
  }
}

TEST(PhysiologyValidation, CountsAndIterationSettings) {
  RequestData d(2, 2);
  d.n = 0;
  expect_invalid(d, "n_elements must be positive");
  d.n = 2;
  d.bands = 0;
  expect_invalid(d, "n_bands must be positive");
  d.bands = 2;
  d.max_iterations = 0;
  d.tolerance = 0.0f;  // the iteration limit is checked first
  expect_invalid(d, "max_iterations must be positive");
  d.max_iterations = 10;
  for (float bad : {0.0f, -1e-3f, std::numeric_limits<float>::infinity(),
                    std::numeric_limits<float>::quiet_NaN()}) {
    d.tolerance = bad;
    expect_invalid(d, "tolerance must be finite and positive");
  }
  try {
    checked_element_count(std::numeric_limits<size_t>::max() / 2 + 1, 2, "APAR");
    ADD_FAILURE();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "APAR size overflows size_t");
  }
  EXPECT_EQ(checked_element_count(1u << 20, 1u << 20, "APAR"), size_t{1} << 40);
}

// Every array field in checking order, with its name.
std::vector<std::pair<std::string, std::vector<float> RequestData::*>> physiology_fields() {
  return {{"apar", &RequestData::apar},
          {"temperature", &RequestData::temperature},
          {"co2", &RequestData::co2},
          {"relative_humidity", &RequestData::rh},
          {"vpd", &RequestData::vpd},
          {"pressure", &RequestData::pressure},
          {"wind", &RequestData::wind},
          {"vcmax25", &RequestData::vcmax25},
          {"jmax25", &RequestData::jmax25},
          {"rd25", &RequestData::rd25},
          {"ball_berry_slope", &RequestData::slope},
          {"ball_berry_intercept", &RequestData::intercept},
          {"quantum_yield", &RequestData::quantum_yield}};
}
std::vector<std::pair<std::string, std::vector<float> RequestData::*>> energy_fields() {
  return {{"absorbed_shortwave", &RequestData::shortwave},
          {"absorbed_longwave", &RequestData::longwave},
          {"air_temperature", &RequestData::air_temperature},
          {"vapor_pressure", &RequestData::vapor_pressure},
          {"emissivity", &RequestData::emissivity},
          {"sidedness", &RequestData::sidedness},
          {"leaf_width", &RequestData::leaf_width},
          {"stomata_sides", &RequestData::stomata_sides}};
}

TEST(PhysiologyValidation, EveryBufferIsCheckedForLengthAndFiniteValues) {
  auto fields = physiology_fields();
  for (const auto& f : energy_fields()) fields.push_back(f);
  for (const auto& [name, member] : fields) {
    RequestData d(3, 2);
    d.enable_energy(true);
    (d.*member).push_back(1.0f);
    expect_invalid(d, name + " buffer length mismatch");
    (d.*member).pop_back();
    (d.*member)[1] = std::numeric_limits<float>::infinity();
    expect_invalid(d, name + " contains a non-finite value");
    (d.*member)[1] = std::numeric_limits<float>::quiet_NaN();
    expect_invalid(d, name + " contains a non-finite value");
  }
}

TEST(PhysiologyValidation, LengthsBeforeValuesAndPhysiologyBeforeEnergyFields) {
  RequestData d(3);
  d.enable_energy(true);
  d.co2.pop_back();
  d.quantum_yield.pop_back();
  d.temperature[0] = std::numeric_limits<float>::quiet_NaN();
  expect_invalid(d, "co2 buffer length mismatch");  // earlier field, and lengths come first
  d.co2.push_back(400.0f);
  expect_invalid(d, "quantum_yield buffer length mismatch");
  d.quantum_yield.push_back(0.5f);
  d.shortwave.pop_back();  // energy lengths are checked after the physiology values
  expect_invalid(d, "temperature contains a non-finite value");
  d.temperature[0] = 298.15f;
  expect_invalid(d, "absorbed_shortwave buffer length mismatch");
  d.shortwave.push_back(0.0f);
  d.apar[0] = -1.0f;
  d.stomata_sides[2] = std::numeric_limits<float>::infinity();
  expect_invalid(d, "stomata_sides contains a non-finite value");
}

TEST(PhysiologyValidation, EnergyFieldsAreIgnoredWithoutTheEnergyBalance) {
  RequestData d(2);
  d.shortwave.clear();
  d.emissivity = {0.0f, std::numeric_limits<float>::quiet_NaN()};
  EXPECT_NO_THROW(solve_physiology(d.view()));
  d.energy_balance = true;
  expect_invalid(d, "absorbed_shortwave buffer length mismatch");
  d.shortwave = {0.0f, 0.0f};
  expect_invalid(d, "emissivity contains a non-finite value");
  d.emissivity = {0.0f, 1.0f};
  expect_invalid(d, "dynamic physiology input is outside its physical domain");
}

TEST(PhysiologyValidation, NegativeApar) {
  RequestData d(2, 3);
  d.apar[4] = -1e-3f;
  d.co2[0] = -1.0f;  // the apar check comes before the per-element domains
  expect_invalid(d, "apar cannot be negative");
}

TEST(PhysiologyValidation, PhysicalDomainsPerElement) {
  const std::string physiology = "physiology input is outside its physical domain";
  const std::string dynamic = "dynamic physiology input is outside its physical domain";
  struct Case {
    std::vector<float> RequestData::*field;
    float value;
    bool valid;
  };
  const Case cases[] = {
      {&RequestData::temperature, 0.0f, false},
      {&RequestData::co2, 0.0f, false},
      {&RequestData::pressure, 0.0f, false},
      {&RequestData::vpd, -1.0f, false},
      {&RequestData::vpd, 0.0f, true},
      {&RequestData::wind, -0.1f, false},
      {&RequestData::wind, 0.0f, true},
      {&RequestData::vcmax25, -1.0f, false},
      {&RequestData::jmax25, -1.0f, false},
      {&RequestData::rd25, -1.0f, false},
      {&RequestData::rd25, 0.0f, true},
      {&RequestData::slope, -1.0f, false},
      {&RequestData::intercept, -1e-3f, false},
      {&RequestData::rh, 1.0f, true},
      {&RequestData::rh, 1.01f, false},
      {&RequestData::rh, -0.01f, false},
      {&RequestData::rh, 0.0f, true},
      {&RequestData::quantum_yield, 1.0f, true},
      {&RequestData::quantum_yield, 1.5f, false},
      {&RequestData::quantum_yield, -0.1f, false},
  };
  for (const Case& c : cases) {
    RequestData d(3);
    (d.*c.field)[2] = c.value;
    if (c.valid) {
      EXPECT_NO_THROW(solve_physiology(d.view()));
    } else {
      expect_invalid(d, physiology);
    }
  }
  const Case energy_cases[] = {
      {&RequestData::shortwave, -1.0f, false},      {&RequestData::longwave, -1.0f, false},
      {&RequestData::air_temperature, 0.0f, false}, {&RequestData::vapor_pressure, -1.0f, false},
      {&RequestData::vapor_pressure, 0.0f, true},   {&RequestData::emissivity, 0.0f, false},
      {&RequestData::emissivity, 1.0f, true},       {&RequestData::emissivity, 1.01f, false},
      {&RequestData::sidedness, 0.0f, false},       {&RequestData::leaf_width, 0.0f, false},
      {&RequestData::stomata_sides, 0.0f, false},
  };
  for (const Case& c : energy_cases) {
    RequestData d(3);
    d.enable_energy(true);
    (d.*c.field)[2] = c.value;
    if (c.valid) {
      EXPECT_NO_THROW(solve_physiology(d.view()));
    } else {
      expect_invalid(d, dynamic);
    }
  }
  // Elements are checked in order, each for both domains: element 0's energy fault wins over
  // element 1's physiology fault.
  RequestData d(2);
  d.enable_energy(true);
  d.emissivity[0] = 0.0f;
  d.co2[1] = 0.0f;
  expect_invalid(d, dynamic);
  d.emissivity[0] = 0.98f;
  d.emissivity[1] = 0.0f;
  expect_invalid(d, physiology);
}

// ---- solver: threading and invariances ------------------------------------------------------

TEST(PhysiologySolver, EqualContiguousBlocks) {
  const ElementBlock expected[] = {{0, 4}, {4, 7}, {7, 10}};
  for (int t = 0; t < 3; ++t) {
    const ElementBlock b = element_block(10, 3, t);
    EXPECT_EQ(b.begin, expected[t].begin);
    EXPECT_EQ(b.end, expected[t].end);
  }
  EXPECT_EQ(element_block(2, 4, 1).begin, 1u);
  EXPECT_EQ(element_block(2, 4, 3).begin, element_block(2, 4, 3).end);
  size_t covered = 0;
  for (int t = 0; t < 7; ++t) {
    const ElementBlock b = element_block(1000003, 7, t);
    EXPECT_EQ(b.begin, covered);
    EXPECT_LE(b.end - b.begin, 1000003 / 7 + 1);
    covered = b.end;
  }
  EXPECT_EQ(covered, 1000003u);
}

TEST(PhysiologySolver, ResultsDoNotDependOnThreadCountAndMatchTheKernel) {
  const int n = 37;
  RequestData d(n, 2);
  d.enable_energy(true);
  d.tolerance = 1e-3f;
  for (int e = 0; e < n; ++e) {
    d.set_par(e, 40.0f * e);
    d.temperature[e] = 280.0f + e;
    d.shortwave[e] = 15.0f * e;
    d.longwave[e] = 350.0f;
    d.wind[e] = 0.1f * e;
  }
  const PhysiologyResult one = d.solve(1);
  const PhysiologyResult four = d.solve(4);
  EXPECT_EQ(one.an, four.an);
  EXPECT_EQ(one.gs, four.gs);
  EXPECT_EQ(one.ci, four.ci);
  EXPECT_EQ(one.phi_f, four.phi_f);
  EXPECT_EQ(one.converged, four.converged);
  EXPECT_EQ(one.temperature, four.temperature);
  EXPECT_EQ(one.latent_heat, four.latent_heat);
  const int e = 29;
  const LeafSolution s = solve_leaf(
      total_par(&d.apar[2 * e], 2), d.temperature[e], traits_of(d, e),
      LeafMicroclimate{d.co2[e], d.rh[e], d.pressure[e], d.wind[e]},
      LeafEnergyInputs{d.shortwave[e], d.longwave[e], d.air_temperature[e], d.vapor_pressure[e],
                       d.emissivity[e], d.sidedness[e], d.leaf_width[e], d.stomata_sides[e]},
      true, true, SolverControl{d.max_iterations, d.tolerance});
  EXPECT_EQ(one.temperature[e], s.temperature);
  EXPECT_EQ(one.sensible_heat[e], s.sensible_heat);
  EXPECT_EQ(one.execution.executor, "embree.cpu.physiology_solver");
  EXPECT_EQ(one.execution.workflow, 5);
  EXPECT_EQ(one.execution.backend, 2);
  EXPECT_TRUE(one.execution.native);
}

TEST(PhysiologySolver, BandsAreSummedAndVpdIsInert) {
  RequestData a(3, 1), b(3, 4);
  for (int e = 0; e < 3; ++e) {
    a.set_par(e, 300.0f * (e + 1));
    b.set_par(e, 300.0f * (e + 1));
    b.vpd[e] = 3000.0f * e;
  }
  b.apar[1] += 50.0f;  // uneven bands with the same sum
  b.apar[2] -= 50.0f;
  a.enable_energy(true);
  b.enable_energy(true);
  const PhysiologyResult ra = a.solve(), rb = b.solve();
  EXPECT_EQ(ra.an, rb.an);
  EXPECT_EQ(ra.ci, rb.ci);
  EXPECT_EQ(ra.phi_f, rb.phi_f);
  EXPECT_EQ(ra.temperature, rb.temperature);
}

}  // namespace
