// Leaf physiology: closed-form limits of the photosynthesis model, Ball-Berry consistency,
// temperature responses, leaf energy closure, the checks Python cannot reach, and threading.
// Request messages reachable through solve_physiology_cpu are checked in the Python tests.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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

  explicit RequestData(int elements, int n_bands = 1);
  PhysiologyRequestView view() const;
  PhysiologyResult solve(int threads = 0) const { return solve_physiology(view(), threads); }

  void set_par(int e, float par) {
    for (int b = 0; b < bands; ++b) apar[static_cast<size_t>(e) * bands + b] = par / bands;
  }
  void enable_energy(bool solve) {
    energy_balance = true;
    solve_temperature = solve;
  }
  LeafTraits traits(int e) const {
    return {vcmax25[e], jmax25[e], rd25[e], slope[e], intercept[e], quantum_yield[e]};
  }
  LeafMicroclimate micro(int e) const { return {co2[e], rh[e], pressure[e], wind[e]}; }
  LeafEnergyInputs energy(int e) const {
    return {shortwave[e],  longwave[e],  air_temperature[e], vapor_pressure[e],
            emissivity[e], sidedness[e], leaf_width[e],      stomata_sides[e]};
  }
};

// Each per-element array, its slot in the view and its default value.
struct Field {
  std::vector<float> RequestData::*data;
  FloatBuffer PhysiologyRequestView::*slot;
  float value;
};
using R = RequestData;
using V = PhysiologyRequestView;
const Field kFields[] = {
    {&R::temperature, &V::temperature, 298.15f},
    {&R::co2, &V::co2, 400.0f},
    {&R::rh, &V::relative_humidity, 0.7f},
    {&R::vpd, &V::vpd, 1000.0f},
    {&R::pressure, &V::pressure, 101.325f},
    {&R::wind, &V::wind, 1.0f},
    {&R::vcmax25, &V::vcmax25, 60.0f},
    {&R::jmax25, &V::jmax25, 120.0f},
    {&R::rd25, &V::rd25, 1.0f},
    {&R::slope, &V::ball_berry_slope, 9.0f},
    {&R::intercept, &V::ball_berry_intercept, 0.01f},
    {&R::quantum_yield, &V::quantum_yield, 0.5f},
    {&R::shortwave, &V::absorbed_shortwave, 0.0f},
    {&R::longwave, &V::absorbed_longwave, 0.0f},
    {&R::air_temperature, &V::air_temperature, 298.15f},
    {&R::vapor_pressure, &V::vapor_pressure, 1500.0f},
    {&R::emissivity, &V::emissivity, 0.98f},
    {&R::sidedness, &V::sidedness, 2.0f},
    {&R::leaf_width, &V::leaf_width, 0.05f},
    {&R::stomata_sides, &V::stomata_sides, 1.0f},
};

RequestData::RequestData(int elements, int n_bands) : n(elements), bands(n_bands) {
  apar.assign(static_cast<size_t>(n) * bands, 1000.0f / static_cast<float>(bands));
  for (const Field& f : kFields) (this->*f.data).assign(static_cast<size_t>(n), f.value);
}

PhysiologyRequestView RequestData::view() const {
  PhysiologyRequestView r;
  r.n_elements = n;
  r.n_bands = bands;
  r.apar = FloatBuffer{apar.data(), apar.size()};
  for (const Field& f : kFields)
    r.*f.slot = FloatBuffer{(this->*f.data).data(), (this->*f.data).size()};
  r.energy_balance = energy_balance;
  r.solve_temperature = solve_temperature;
  r.max_iterations = max_iterations;
  r.tolerance = tolerance;
  return r;
}

// ---- temperature responses ------------------------------------------------------------------

TEST(PhysiologyTemperatureResponse, ReferenceAt25CThenPeakAndDeactivation) {
  const LeafTraits traits{60.0f, 120.0f, 1.5f, 9.0f, 0.01f, 0.0f};
  const LeafRates ref = leaf_rates(traits, 298.15f);
  EXPECT_NEAR(high_temperature_deactivation(298.15f), 1.0, 1e-6);
  const std::pair<float, double> at25[] = {{ref.vcmax, 60.0}, {ref.jmax, 120.0},
                                           {ref.rd, 1.5},     {ref.kc, 404.9},
                                           {ref.ko, 278.4},   {ref.gamma_star, 42.7}};
  for (const auto& [got, want] : at25) EXPECT_NEAR(got, want, want * 1e-5);
  EXPECT_NEAR(ref.km, 404.9 * (1.0 + 209.0 / 278.4), 1e-2);

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
  EXPECT_GE(t400, 20.0f);
  EXPECT_LE(t400, 26.0f);
  EXPECT_GE(optimum(n_t), t400 + 2.0f);
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

TEST(PhysiologyLightResponse, LowLightIsLinearAndDarknessGivesMinusRd) {
  // Below the light compensation point A+ = 0, so stomata stay at g0 and Ci = Ca exactly.
  RequestData d(3, 3);
  const float par_lo = 1.0f, par_hi = 12.0f;
  d.set_par(0, par_lo);
  d.set_par(1, par_hi);
  d.set_par(2, 0.0f);
  d.temperature[2] = 303.15f;
  const PhysiologyResult r = d.solve();
  const double ca = 400.0, gamma = 42.7, jmax = 120.0;
  for (int e = 0; e < 3; ++e) {
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
  // In the dark An = -Rd(30 degC) and the fluorescence yield takes its dark value.
  EXPECT_NEAR(r.an[2], -1.0 * std::exp(46390.0 * 5.0 / (2478.819 * 303.15)), 1e-5);
  EXPECT_NEAR(r.phi_f[2], 0.5 / 0.03 * 0.01, 1e-6);

  d.max_iterations = 2;
  EXPECT_EQ(d.solve().converged[2], 1);
  d.max_iterations = 1;  // the first pass moves Ci from 0.7 Ca to Ca
  const PhysiologyResult one = d.solve();
  EXPECT_EQ(one.converged[2], 0);
  EXPECT_EQ(one.ci[2], 400.0f);
}

TEST(PhysiologyLightResponse, HighLightSaturatesAtTheRubiscoLimitedRate) {
  RequestData d(3);
  const float pars[] = {2000.0f, 3000.0f, 5000.0f};
  for (int e = 0; e < 3; ++e) d.set_par(e, pars[e]);
  const PhysiologyResult r = d.solve();
  const LeafRates k = leaf_rates(d.traits(0), 298.15f);
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

TEST(PhysiologyBallBerry, IntercellularCo2StaysWithinItsBounds) {
  RequestData d(4);
  d.intercept = {0.0f, 0.0f, 0.01f, 0.01f};
  d.slope = {0.0f, 0.5f, 9.0f, 9.0f};  // closed stomata drive Ci down to the floor
  d.co2 = {400.0f, 400.0f, 5.0f, 2000.0f};
  d.max_iterations = 5;  // bounds hold on every pass, converged or not
  const PhysiologyResult r = d.solve();
  EXPECT_EQ(r.ci[0], 10.0f);
  EXPECT_EQ(r.gs[0], 0.0f);
  EXPECT_EQ(r.ci[2], 5.0f);  // an ambient level below the floor caps Ci at Ca
  for (int e : {1, 3}) {
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

// Dry air makes the iteration oscillate for ever; an interrupt stops even a single element
// whose iteration limit would take minutes, and the exception reaches the caller.
TEST(PhysiologySolver, InterruptStopsAnEndlessIteration) {
  RequestData d(3);
  for (int e = 0; e < 3; ++e) d.set_par(e, 100.0f);
  for (int e = 0; e < 3; ++e) {
    d.rh[e] = 0.2f;
    d.co2[e] = 150.0f;
    d.slope[e] = 4.0f;
    d.temperature[e] = 283.15f;
  }
  d.max_iterations = std::numeric_limits<int32_t>::max();
  d.enable_energy(true);  // nested: up to 2^62 passes per element
  int polls = 0;
  const tesk::InterruptCheck stop_on_second_poll = [&polls] {
    if (++polls == 2) throw std::runtime_error("stop");
  };
  EXPECT_THROW(solve_physiology(d.view(), 2, stop_on_second_poll), std::runtime_error);
  EXPECT_EQ(polls, 2);
  // A check that never fires leaves short solves untouched.
  d.max_iterations = 100;
  const PhysiologyResult plain = d.solve(2);
  const PhysiologyResult polled = solve_physiology(d.view(), 2, [] {});
  EXPECT_EQ(plain.an, polled.an);
  EXPECT_EQ(plain.temperature, polled.temperature);
}

// ---- fluorescence ---------------------------------------------------------------------------

TEST(PhysiologyFluorescence, YieldScalesWithQuantumYieldAndMatchesClosedForms) {
  RequestData d(3);
  d.quantum_yield = {0.0f, 0.3f, 0.6f};
  const PhysiologyResult r = d.solve();
  EXPECT_EQ(r.phi_f[0], 0.0f);
  EXPECT_GT(r.phi_f[1], 0.0f);
  EXPECT_NEAR(r.phi_f[2], 2.0 * r.phi_f[1], 4 * kFloatEps * r.phi_f[2]);
  // The relative yield is at most 0.05, reached when photochemistry and excess light vanish.
  EXPECT_LT(r.phi_f[2], 0.6 / 0.03 * 0.05);

  // With 0.425 PAR = 2 jmax25 / 0.8 the excess equals the capacity, so the excess term is 1.
  const float jmax25 = 120.0f, an = 10.0f;
  const float par = 2.0f * jmax25 / 0.8f / 0.425f;
  const double photochemistry = 4.0 * an / (0.425 * par);
  const double relative = 0.05 / (1.0 + 4.0 * photochemistry / 0.8 + 1.0);
  EXPECT_NEAR(fluorescence_yield(par, an, jmax25, 0.9f), 0.9 / 0.03 * relative, 1e-6);
  // Photochemistry saturates at 0.8; negative assimilation counts as none; no light gives 0.01.
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

TEST(PhysiologyEnergyBalance, FixedTemperatureEvaluatesTermsAtTheInput) {
  RequestData d(2);
  d.enable_energy(false);
  d.shortwave = {400.0f, 0.0f};
  d.longwave = {800.0f, 700.0f};
  d.temperature = {305.0f, 290.0f};
  d.air_temperature = {300.0f, 295.0f};
  const PhysiologyResult r = d.solve();
  RequestData plain = d;
  plain.energy_balance = false;
  const PhysiologyResult photo = plain.solve();
  EXPECT_TRUE(photo.temperature.empty());
  EXPECT_TRUE(photo.latent_heat.empty());
  const double h = 2.0 * 1.225 * 1005.0 / (200.0 * std::sqrt(0.05 / 1.0));
  for (int e = 0; e < 2; ++e) {
    EXPECT_EQ(r.temperature[e], d.temperature[e]);
    EXPECT_EQ(r.an[e], photo.an[e]);
    EXPECT_EQ(r.gs[e], photo.gs[e]);
    const double t = d.temperature[e];
    const double emitted = 0.98 * 2.0 * 5.6703744e-8 * t * t * t * t;
    EXPECT_NEAR(r.net_radiation[e], d.shortwave[e] + d.longwave[e] - emitted, 1e-3);
    EXPECT_NEAR(r.sensible_heat[e], h * (t - d.air_temperature[e]), 1e-3);
  }
}

// A leaf in air at 25 degC and 50 % relative humidity receiving exactly its own longwave
// emission at air temperature; shortwave and wind vary per element.
RequestData energy_request(const std::vector<float>& shortwave, const std::vector<float>& winds,
                           float par) {
  RequestData d(static_cast<int>(winds.size()));
  d.enable_energy(true);
  d.tolerance = 1e-3f;
  const double ta = 298.15;
  const auto emission = static_cast<float>(0.98 * 2.0 * 5.6703744e-8 * ta * ta * ta * ta);
  d.wind = winds;
  d.shortwave = shortwave;
  d.longwave.assign(winds.size(), emission);
  d.vapor_pressure.assign(winds.size(), 0.5f * saturation_vapor_pressure(298.15f));
  for (int e = 0; e < d.n; ++e) d.set_par(e, par);
  return d;
}

TEST(PhysiologyEnergyBalance, ConvergedLeafClosesTheBalance) {
  const RequestData d = energy_request({0.0f, 0.0f, 0.0f, 300.0f, 600.0f, 900.0f},
                                       {0.2f, 1.0f, 3.0f, 8.0f, 0.5f, 2.0f}, 1200.0f);
  const PhysiologyResult r = d.solve();
  for (int e = 0; e < d.n; ++e) {
    ASSERT_EQ(r.converged[e], 1) << e;
    const double residual = r.net_radiation[e] - r.sensible_heat[e] - r.latent_heat[e];
    const double slope =
        leaf_energy_terms(r.temperature[e], r.gs[e], d.micro(e), d.energy(e)).derivative;
    // The last Newton step was below the tolerance, so |F| <= |F'| tol (plus float rounding of
    // terms of a few hundred W m^-2).
    const double scale = std::fabs(r.net_radiation[e]) + std::fabs(r.sensible_heat[e]) +
                         std::fabs(r.latent_heat[e]) + d.longwave[e];
    EXPECT_LE(std::fabs(residual), std::fabs(slope) * d.tolerance + 16 * kFloatEps * scale) << e;
  }
}

TEST(PhysiologyEnergyBalance, LeafOffsetFromAirShrinksWithWind) {
  // Dark, transpiring leaf: just below air temperature. Sunlit leaf: above it.
  const std::vector<float> winds = {0.2f, 0.5f, 1.0f, 2.0f, 5.0f, 10.0f};
  RequestData dark = energy_request(std::vector<float>(winds.size(), 0.0f), winds, 0.0f);
  dark.intercept.assign(winds.size(), 0.05f);  // night-time residual conductance
  const RequestData sun = energy_request(std::vector<float>(winds.size(), 600.0f), winds, 1500.0f);
  const PhysiologyResult rd = dark.solve(), rs = sun.solve();
  float previous_deficit = std::numeric_limits<float>::infinity(),
        previous_excess = previous_deficit;
  for (size_t e = 0; e < winds.size(); ++e) {
    ASSERT_EQ(rd.converged[e], 1);
    ASSERT_EQ(rs.converged[e], 1);
    const float deficit = 298.15f - rd.temperature[e];
    EXPECT_GT(deficit, 0.0f) << e;
    EXPECT_LT(deficit, 3.0f) << e;
    EXPECT_LT(deficit, previous_deficit) << e;
    EXPECT_GT(rd.latent_heat[e], 0.0f);
    EXPECT_LT(rd.sensible_heat[e], 0.0f);  // the cooled leaf gains heat from the air
    const float excess = rs.temperature[e] - 298.15f;
    EXPECT_GT(excess, 0.0f) << e;
    EXPECT_LT(excess, previous_excess) << e;
    EXPECT_GT(rs.sensible_heat[e], 0.0f);
    previous_deficit = deficit;
    previous_excess = excess;
  }
}

TEST(PhysiologyEnergyBalance, TemperatureClampsAndStepLimitHold) {
  // Elements: scorching sun, freezing air without radiation, and the same two again starting
  // elsewhere, solved to the end and then with one and three Newton steps allowed.
  RequestData d(4);
  d.enable_energy(true);
  d.tolerance = 1e-3f;
  d.shortwave = {20000.0f, 0.0f, 20000.0f, 0.0f};
  d.air_temperature = {300.0f, 120.0f, 300.0f, 120.0f};
  d.temperature = {300.0f, 250.0f, 300.0f, 345.0f};
  d.vapor_pressure.assign(4, 0.0f);
  d.wind.assign(4, 0.1f);
  PhysiologyResult r = d.solve();
  EXPECT_EQ(r.temperature, (std::vector<float>{350.0f, 200.0f, 350.0f, 200.0f}));
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

// ---- solver: checks the Python conversion cannot reach --------------------------------------

void expect_invalid(const RequestData& d, const std::string& message) {
  try {
    solve_physiology(d.view());
    ADD_FAILURE() << "expected: " << message;
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()), message);
  }
}

TEST(PhysiologyValidation, NativeOnlyChecks) {
  // Python shapes apar and temperature itself and never passes energy buffers without the flag.
  RequestData d(3, 2);
  d.apar.pop_back();
  expect_invalid(d, "apar buffer length mismatch");
  d.apar.push_back(1.0f);
  d.temperature.push_back(298.15f);
  expect_invalid(d, "temperature buffer length mismatch");
  d.temperature.pop_back();
  d.shortwave.clear();
  d.emissivity[1] = std::numeric_limits<float>::quiet_NaN();
  EXPECT_NO_THROW(solve_physiology(d.view()));
  d.energy_balance = true;
  expect_invalid(d, "absorbed_shortwave buffer length mismatch");

  try {
    checked_element_count(std::numeric_limits<size_t>::max() / 2 + 1, 2, "APAR");
    ADD_FAILURE();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "APAR size overflows size_t");
  }
  EXPECT_EQ(checked_element_count(1u << 20, 1u << 20, "APAR"), size_t{1} << 40);
}

// ---- solver: threading and invariances ------------------------------------------------------

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
  const PhysiologyResult one = d.solve(1), four = d.solve(4);
  EXPECT_EQ(one.an, four.an);
  EXPECT_EQ(one.gs, four.gs);
  EXPECT_EQ(one.ci, four.ci);
  EXPECT_EQ(one.phi_f, four.phi_f);
  EXPECT_EQ(one.converged, four.converged);
  EXPECT_EQ(one.temperature, four.temperature);
  EXPECT_EQ(one.latent_heat, four.latent_heat);
  // Every input reaches the kernel in its own slot.
  const int e = 29;
  const LeafSolution s =
      solve_leaf(total_par(&d.apar[2 * e], 2), d.temperature[e], d.traits(e), d.micro(e),
                 d.energy(e), true, true, SolverControl{d.max_iterations, d.tolerance});
  EXPECT_EQ(one.temperature[e], s.temperature);
  EXPECT_EQ(one.sensible_heat[e], s.sensible_heat);
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
