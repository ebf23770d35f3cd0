// Scattering responses and samplers (chi-square against their pdf), sky models and the
// ray-origin offset.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "core/illumination.h"
#include "core/pcg32.h"
#include "core/scattering.h"

namespace tesk {
namespace {

constexpr float kPi = 3.14159265f;

SpectralView view(const std::vector<float>& v) {
  return SpectralView{v.data(), static_cast<int64_t>(v.size())};
}

float3 dir(float theta_deg, float phi_deg) {
  const float t = theta_deg * kPi / 180, p = phi_deg * kPi / 180;
  return {std::sin(t) * std::cos(p), std::sin(t) * std::sin(p), std::cos(t)};
}

TEST(OpticsScattering, ResponsesOfTheThreeKinds) {
  const std::vector<float> diffuse = {0.3f, 0.6f};
  const float3 up = dir(20, 10), down = dir(150, 40);
  EXPECT_FLOAT_EQ(
      eval_scattering(MaterialType::Diffuse, 0, 1, up, up, view(diffuse), 2, false, false),
      0.6f / kPi);
  EXPECT_FLOAT_EQ(
      eval_scattering(MaterialType::Diffuse, 0, 0, up, up, view(diffuse), 2, false, true),
      0.7f / kPi);
  EXPECT_EQ(eval_scattering(MaterialType::Diffuse, 0, 0, up, down, view(diffuse), 2, false, true),
            0);
  EXPECT_EQ(eval_scattering(MaterialType::Diffuse, 1, 1, up, up, view(diffuse), 2, false, false), 0)
      << "a block that does not fit reads as absent";

  const std::vector<float> leaf = {0.4f, 0.2f, 0.5f};  // front, back, transmittance
  auto dt = [&](float3 wo, float3 wi, bool back) {
    return eval_scattering(MaterialType::DiffuseTransmitting, 0, 0, wo, wi, view(leaf), 1, back,
                           false);
  };
  EXPECT_FLOAT_EQ(dt(up, up, true), 0.2f / kPi);
  EXPECT_FLOAT_EQ(dt(up, up, false), 0.4f / kPi);
  EXPECT_FLOAT_EQ(dt(up, down, true), 0.5f / kPi);
  EXPECT_FLOAT_EQ(dt(up, down, false), 0.5f / kPi);
  EXPECT_EQ(dt(down, up, false), 0.0f);
  EXPECT_EQ(
      eval_scattering(static_cast<MaterialType>(7), 0, 0, up, up, view(leaf), 1, false, false),
      0.0f);

  // RPV: k = 1, Theta = 0, rho_c = 1 is the constant rho0 (no 1/pi); any parameters reciprocal.
  const std::vector<float> flat = {0.25f, 1.0f, 0.0f, 1.0f};
  const std::vector<float> rpv = {0.1f, 0.7f, -0.2f, 0.4f};
  for (float3 wo : {dir(0, 0), dir(35, 80), dir(70, 200)}) {
    for (float3 wi : {dir(10, 0), dir(45, 10), dir(80, 300)}) {
      EXPECT_FLOAT_EQ(eval_scattering(MaterialType::RPV, 0, 0, wo, wi, view(flat), 1, false, false),
                      0.25f);
      EXPECT_NEAR(eval_scattering(MaterialType::RPV, 0, 0, wo, wi, view(rpv), 1, false, false),
                  eval_scattering(MaterialType::RPV, 0, 0, wi, wo, view(rpv), 1, false, false),
                  1e-6f);
    }
    EXPECT_EQ(eval_scattering(MaterialType::RPV, 0, 0, wo, down, view(rpv), 1, false, false), 0);
  }
}

// Pearson chi-square of `n` samples against the bin masses of the pdf p(wi) = |z|/pi * side
// weight, over both hemispheres: 8 bins in |z|^2 (equal cosine-weighted mass) x 16 in azimuth.
void expect_matches_leaf_pdf(const std::function<ScatterSample(const float*)>& sample,
                             double reflect_weight) {
  constexpr int kZ = 8, kPhi = 16, n = 200000;
  std::vector<double> counts(2 * kZ * kPhi, 0.0);
  Pcg32 rng;
  rng.seed(7, 11);
  for (int i = 0; i < n; ++i) {
    const float u[3] = {rng.uniform(), rng.uniform(), rng.uniform()};
    const ScatterSample s = sample(u);
    const double z = s.wi.z;
    const double side = z > 0 ? reflect_weight : 1.0 - reflect_weight;
    ASSERT_NEAR(s.pdf, std::fabs(z) / kPi * side, 1e-5) << "reported pdf";
    ASSERT_NEAR(s.wi.x * s.wi.x + s.wi.y * s.wi.y + z * z, 1.0, 1e-5);
    const int iz = std::min(kZ - 1, static_cast<int>(z * z * kZ));
    double phi = std::atan2(s.wi.y, s.wi.x);
    if (phi < 0) phi += 2 * M_PI;
    const int ip = std::min(kPhi - 1, static_cast<int>(phi / (2 * M_PI) * kPhi));
    counts[((z > 0 ? 0 : 1) * kZ + iz) * kPhi + ip] += 1;
  }
  double chi2 = 0.0;
  int dof = -1;
  for (int h = 0; h < 2; ++h) {
    const double mass = (h == 0 ? reflect_weight : 1.0 - reflect_weight) / (kZ * kPhi);
    for (int b = 0; b < kZ * kPhi; ++b) {
      const double expected = mass * n;
      if (expected == 0.0) {
        EXPECT_EQ(counts[h * kZ * kPhi + b], 0.0);
        continue;
      }
      const double diff = counts[h * kZ * kPhi + b] - expected;
      chi2 += diff * diff / expected;
      ++dof;
    }
  }
  // Wilson-Hilferty critical value at significance 1e-4.
  const double k = dof, zc = 3.719;
  const double crit = k * std::pow(1 - 2 / (9 * k) + zc * std::sqrt(2 / (9 * k)), 3);
  EXPECT_LT(chi2, crit) << "dof " << dof;
}

TEST(OpticsScattering, SamplersMatchTheirPdf) {
  MaterialRecord diffuse{};
  expect_matches_leaf_pdf([&](const float* u) { return sample_scattering(diffuse, u); }, 1.0);
  MaterialRecord rpv{};
  rpv.type = MaterialType::RPV;
  expect_matches_leaf_pdf([&](const float* u) { return sample_scattering(rpv, u); }, 1.0);
  MaterialRecord leaf{};
  leaf.type = MaterialType::DiffuseTransmitting;
  leaf.scalar_params[0] = 0.1f;
  leaf.scalar_params[1] = 0.3f;
  expect_matches_leaf_pdf([&](const float* u) { return sample_scattering(leaf, u); }, 0.25);
  // The band-averaged sampler takes the means of the side that was hit: back 0.3, tau 0.1.
  const std::vector<float> spectra = {0.9f, 0.9f, 0.2f, 0.4f, 0.05f, 0.15f};
  leaf.spectral_offset = 0;
  expect_matches_leaf_pdf(
      [&](const float* u) { return sample_scattering_banded(leaf, view(spectra), 2, true, u); },
      0.75);
}

TEST(OpticsScattering, DegenerateSamplers) {
  const float u[3] = {0.3f, 0.6f, 0.9f};
  MaterialRecord leaf{};
  leaf.type = MaterialType::DiffuseTransmitting;  // no band means given
  for (const ScatterSample& s :
       {sample_scattering(leaf, u), sample_scattering_banded(leaf, {}, 2, false, u)}) {
    EXPECT_EQ(s.wi.z, 1.0f);
    EXPECT_EQ(s.pdf, 1.0f);
  }
  MaterialRecord other{};
  other.type = static_cast<MaterialType>(4);
  EXPECT_EQ(sample_scattering(other, u).pdf, 1.0f);
}

TEST(OpticsSky, ModelsAndPrecedence) {
  // Table value 1000 b + 100 row + column in two bands, uniform sky 7 / 8 after it, then
  // Hosek-Wilkie coefficients.
  std::vector<float> buf(1024 + 2 + 20, 0.0f);
  for (int b = 0; b < 2; ++b)
    for (int r = 0; r < 16; ++r)
      for (int c = 0; c < 32; ++c) buf[512 * b + 32 * r + c] = 1000.0f * b + 100.0f * r + c;
  buf[1024] = 7.0f;
  buf[1025] = 8.0f;
  const SpectralView v = view(buf);
  SkyParams sky;
  sky.directional_offset = 0;
  sky.uniform_offset = 1024;
  EXPECT_EQ(sky_radiance(sky, v, 2, dir(120, 0), 1), 0.0f);
  EXPECT_NEAR(sky_radiance(sky, v, 2, {0, 0, 1}, 1), 1016.0f, 1e-3f);  // azimuth of (0,0,1) is pi
  // Zenith 9 degrees: halfway between rows 1 and 2; azimuth 359 degrees: between columns 31 and 0.
  const float t = 9 * kPi / 180, p = 359 * kPi / 180;
  const float3 w{std::sin(t) * std::sin(p), -std::sin(t) * std::cos(p), std::cos(t)};
  const float f_phi = 359.0f / 11.25f - 31.0f;
  EXPECT_NEAR(sky_radiance(sky, v, 2, w, 0), 150.0f + 31.0f * (1 - f_phi), 2e-3f);
  sky.directional_offset = -1;
  EXPECT_EQ(sky_radiance(sky, v, 2, dir(120, 0), 1), 8.0f);  // uniform: every direction

  // Hosek-Wilkie: with the sun at the zenith the zenith radiance is c9 for any coefficients;
  // with c0..c8 = 0 the sky is c9 everywhere; c9 <= 0 gives 0.
  sky.hw_offset = 1026;
  const float c[10] = {-0.8f, -0.3f, 4.0f, -1.2f, 0.4f, 0.2f, -0.5f, 0.1f, 0.3f, 2.5f};
  for (int i = 0; i < 10; ++i) buf[1026 + i] = c[i];
  buf[1036 + 9] = 3.0f;
  sky.hw_sun = {0, 0, 1};
  EXPECT_NEAR(sky_radiance(sky, view(buf), 2, {0, 0, 1}, 0), 2.5f, 1e-5f);
  EXPECT_GT(sky_radiance(sky, view(buf), 2, dir(60, 30), 0), 0.0f);
  EXPECT_FLOAT_EQ(sky_radiance(sky, view(buf), 2, dir(60, 30), 1), 3.0f);
  buf[1036 + 9] = 0.0f;
  EXPECT_EQ(sky_radiance(sky, view(buf), 2, dir(60, 30), 1), 0.0f);
  sky = SkyParams{};
  EXPECT_EQ(sky_radiance(sky, view(buf), 2, {0, 0, 1}, 0), 0.0f);
}

TEST(OpticsIllumination, OffsetRayOrigin) {
  // Near zero: a fixed step along the normal turned toward d.
  float3 o = offset_ray_origin({100, -100, 0.01f}, {0, 0, -1}, {0, 0, 1});
  EXPECT_EQ(o.x, 100.0f);
  EXPECT_EQ(o.y, -100.0f);
  EXPECT_FLOAT_EQ(o.z, 0.01f + 1.5258789e-5f);
  // Elsewhere 256 units in the last place, away from the surface on either sign.
  const float ulp100 = std::nextafter(100.0f, 200.0f) - 100.0f;
  EXPECT_FLOAT_EQ(offset_ray_origin({100, 0, 0}, {1, 0, 0}, {1, 0, 0}).x, 100 + 256 * ulp100);
  EXPECT_FLOAT_EQ(offset_ray_origin({100, 0, 0}, {1, 0, 0}, {-1, 0, 0}).x, 100 - 256 * ulp100);
  EXPECT_FLOAT_EQ(offset_ray_origin({-100, 0, 0}, {1, 0, 0}, {1, 0, 0}).x, -100 + 256 * ulp100);
  EXPECT_TRUE(sun_seen({0, 0, 1}, normalize(float3{0.004f, 0, 1})));
  EXPECT_FALSE(sun_seen({0, 0, 1}, normalize(float3{0.005f, 0, 1})));
}

}  // namespace
}  // namespace tesk
