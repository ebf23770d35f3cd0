// The device energy balance's work items (core/energy_balance_path.h) run on the host over the
// host copy of the device hierarchy: closed forms, and parity with the CPU runs, whose face
// samples are the same templates traced with Embree.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/energy_balance_path.h"
#include "embree/energy_balance.h"
#include "tests/cpp/device_host_runs.h"

namespace tesk::embree {
namespace {

constexpr double kPi = 3.14159265358979;
constexpr double kSigma = 5.6703744e-8;

// A square [0, X] x [0, Y] in the plane z = h, normal +z, as one mesh and instance.
void add_quad(EmbreeSceneManager& s, float X, float Y, float h, int material) {
  const int m = s.add_mesh({{0, 0, h}, {X, 0, h}, {X, Y, h}, {0, Y, h}}, {}, {{0, 1, 2}, {0, 2, 3}},
                           material);
  s.add_instance(m, 0, 0, 0, 1);
}

// The closed cube [1, 3]^3 as twelve triangles of one mesh.
void add_cube(EmbreeSceneManager& s, int material) {
  std::vector<float3> v;
  for (int i = 0; i < 8; ++i) {
    v.push_back({i & 1 ? 3.0f : 1.0f, i & 2 ? 3.0f : 1.0f, i & 4 ? 3.0f : 1.0f});
  }
  const std::vector<int3> f = {{0, 2, 1}, {1, 2, 3}, {4, 5, 6}, {5, 7, 6}, {0, 1, 4}, {1, 5, 4},
                               {2, 6, 3}, {3, 6, 7}, {0, 4, 2}, {2, 4, 6}, {1, 3, 5}, {3, 7, 5}};
  s.add_instance(s.add_mesh(v, {}, f, material), 0, 0, 0, 1);
}

TEST(DeviceEnergyBalance, OpenPlaneUnderSunAndSkyIsExact) {
  // Every top sample sees the sun at 60 degrees and the sky; every bottom sample the sky only.
  EmbreeSceneManager s;
  s.description().upload_spectral_params({0.5f});
  s.description().add_material(MaterialType::Diffuse, 0, {});
  add_quad(s, 4, 3, 0, 0);
  s.build();
  const float3 sun{std::sqrt(0.75f), 0.0f, 0.5f};
  const float e_sun = 800.0f, sky = 40.0f;
  const HostEnergyBalance one =
      energy_balance_bvh(s, energy_balance_params(s, 16, 0, &e_sun, &sky, 0.0f, sun, true, {}));
  const std::vector<float> e{700.0f, 300.0f}, l{25.0f, 70.0f};
  const HostEnergyBalance multi = energy_balance_bvh(
      s, energy_balance_multiband_params(s, 2, 16, 4, e, l, {}, sun, true, {}, {}, {}, {}));
  for (int p = 0; p < 2; ++p) {
    EXPECT_NEAR(one.top[p], e_sun * 0.5 + kPi * sky, 1e-5 * (e_sun * 0.5 + kPi * sky));
    EXPECT_NEAR(one.bot[p], kPi * sky, 1e-5 * kPi * sky);
    for (int b = 0; b < 2; ++b) {
      const double top = e[b] * 0.5 + kPi * l[b];
      EXPECT_NEAR(multi.top[b * 2 + p], top, 1e-5 * top);
      EXPECT_NEAR(multi.bot[b * 2 + p], kPi * l[b], 1e-5 * kPi * l[b]);
    }
    EXPECT_FLOAT_EQ(multi.sunlit[p], 1.0f);
  }
  // 16 samples on 2 faces of 2 primitives escape; 16 top samples each test the sun.
  EXPECT_EQ(one.rays[0], 64u);
  EXPECT_EQ(one.rays[1], 32u);
}

TEST(DeviceEnergyBalance, ClosedBoxGlowsAtItsWallTemperature) {
  // Inside a closed box every sample meets a wall: the inner face receives e sigma T^4 (per-
  // primitive temperature and emissivity, or the material's temperature and 0.97); the outer
  // face receives the sky.
  for (const bool per_primitive : {true, false}) {
    EmbreeSceneManager s;
    s.description().upload_spectral_params({0.5f});
    s.description().add_material(MaterialType::Diffuse, 0, {0.0f, 0.0f, 280.0f});
    add_cube(s, 0);
    s.build();
    if (per_primitive) {
      s.set_primitive_temperatures(std::vector<float>(12, 300.0f));
      s.set_primitive_emissivities(std::vector<float>(12, 0.9f));
    }
    const double inner =
        per_primitive ? 0.9 * kSigma * std::pow(300.0, 4) : 0.97 * kSigma * std::pow(280.0, 4);
    const float sky_lw = 60.0f;
    const HostEnergyBalance r = energy_balance_bvh(
        s, energy_balance_params(s, 32, 1, nullptr, nullptr, sky_lw, {0, 0, 1}, true, {}));
    for (int p = 0; p < 12; ++p) {
      const double lo = std::min(r.top[p], r.bot[p]), hi = std::max(r.top[p], r.bot[p]);
      EXPECT_NEAR(lo, kPi * sky_lw, 1e-5 * kPi * sky_lw) << p;
      EXPECT_NEAR(hi, inner, 1e-5 * inner) << p;
    }
  }
}

// A periodic 6 x 6 tile: a ground of albedo-bearing squares and 40 tilted leaves between 0.5
// and 3 above it; three bands in the description (sun 900 / 500 / 300, sky 30 / 60 / 20).
void leaf_tile(EmbreeSceneManager& s) {
  s.description().set_num_bands(3);
  s.description().upload_spectral_params(
      {0.2f, 0.3f, 0.1f, 900.0f, 500.0f, 300.0f, 30.0f, 60.0f, 20.0f});
  s.description().add_material(MaterialType::Diffuse, 0, {0.0f, 0.0f, 295.0f});
  s.description().set_emitter(EmitterType::Directional, normalize(float3{0.4f, -0.3f, 0.8f}), 3);
  s.description().set_sky(6);
  s.description().set_repetitive(3, 6.0f, 6.0f);
  add_quad(s, 6, 6, 0, 0);
  std::vector<float3> v;
  std::vector<int3> f;
  for (int i = 0; i < 40; ++i) {
    const float x = 0.3f + 5.4f * std::fmod(0.618f * i, 1.0f);
    const float y = 0.3f + 5.4f * std::fmod(0.381f * i + 0.2f, 1.0f);
    const float z = 0.5f + 2.5f * std::fmod(0.733f * i, 1.0f);
    const float a = 1.7f * i, t = 0.4f + 0.9f * std::fmod(0.29f * i, 1.0f);
    const float3 u{0.4f * std::cos(a), 0.4f * std::sin(a), 0.0f};
    const float3 w{-0.3f * std::sin(a) * std::cos(t), 0.3f * std::cos(a) * std::cos(t),
                   0.3f * std::sin(t)};
    const int k = static_cast<int>(v.size());
    v.push_back(float3{x, y, z} - u);
    v.push_back(float3{x, y, z} + u);
    v.push_back(float3{x, y, z} + w);
    f.push_back({k, k + 1, k + 2});
  }
  s.add_instance(s.add_mesh(v, {}, f, 0), 0, 0, 0, 1);
  s.build();
}

// Fraction of elements of `dev` within rel of `cpu`, and the relative difference of the sums.
void expect_parity(const std::vector<float>& cpu, const std::vector<float>& dev, double rel) {
  ASSERT_EQ(cpu.size(), dev.size());
  double sum_cpu = 0.0, sum_dev = 0.0;
  size_t close = 0;
  for (size_t e = 0; e < cpu.size(); ++e) {
    sum_cpu += cpu[e];
    sum_dev += dev[e];
    close += std::fabs(cpu[e] - dev[e]) <= rel * std::fabs(cpu[e]) + 1e-6;
  }
  EXPECT_GT(sum_cpu, 0.0);
  EXPECT_NEAR(sum_dev, sum_cpu, 2e-3 * sum_cpu);
  EXPECT_GE(close, cpu.size() * 95 / 100);
}

TEST(DeviceEnergyBalance, SingleBandMatchesTheCpuRun) {
  EmbreeSceneManager s;
  leaf_tile(s);
  const int64_t n = s.n_primitives();
  std::vector<float> albedo(static_cast<size_t>(n)), temperature(albedo.size());
  for (int64_t q = 0; q < n; ++q) {
    albedo[q] = 0.1f + 0.02f * static_cast<float>(q % 20);
    temperature[q] = 285.0f + static_cast<float>(q % 7);
  }
  s.set_primitive_temperatures(temperature);
  const float3 sun = normalize(float3{0.4f, -0.3f, 0.8f});
  const float e_sun = 800.0f, sky = 40.0f;
  for (const int band_type : {0, 1}) {
    const EnergyBalanceResult cpu =
        render_energy_balance(s, 48, 8, band_type, &e_sun, &sky, 350.0f, sun.x, sun.y, sun.z, true,
                              albedo, {}, {}, {}, 2);
    const HostEnergyBalance dev = energy_balance_bvh(
        s, energy_balance_params(s, 48, band_type, &e_sun, &sky, 350.0f, sun, true, albedo));
    expect_parity(cpu.top, dev.top, 1e-4);
    expect_parity(cpu.bot, dev.bot, 1e-4);
    EXPECT_NEAR(static_cast<double>(dev.rays[0]), static_cast<double>(cpu.rays.closest),
                1e-3 * static_cast<double>(cpu.rays.closest));
    EXPECT_NEAR(static_cast<double>(dev.rays[1]), static_cast<double>(cpu.rays.shadow),
                1e-3 * static_cast<double>(cpu.rays.shadow) + 1.0);
  }
}

TEST(DeviceEnergyBalance, MultibandMatchesTheCpuRun) {
  // Split optics with front != back and transmission, against the scene's sky, the uniform sky
  // and the directional table.
  EmbreeSceneManager s;
  leaf_tile(s);
  const int64_t n = s.n_primitives();
  const int nb = 3;
  std::vector<float> front(static_cast<size_t>(nb * n)), back(front.size()), trans(front.size());
  for (int b = 0; b < nb; ++b) {
    for (int64_t q = 0; q < n; ++q) {
      const size_t i = static_cast<size_t>(b * n + q);
      front[i] = 0.05f + 0.15f * b + 0.01f * static_cast<float>(q % 5);
      back[i] = 0.5f * front[i];
      trans[i] = q < 2 ? 0.0f : 0.1f + 0.1f * b;
    }
  }
  std::vector<float> table(static_cast<size_t>(nb) * 16 * 32);
  for (size_t i = 0; i < table.size(); ++i) table[i] = 10.0f + static_cast<float>(i % 37);
  const std::vector<float> e{900.0f, 500.0f, 300.0f}, l{30.0f, 60.0f, 20.0f};
  const float3 sun = normalize(float3{0.4f, -0.3f, 0.8f});
  for (int sky_kind = 0; sky_kind < 3; ++sky_kind) {
    const std::span<const float> uniform =
        sky_kind == 1 ? std::span<const float>(l) : std::span<const float>{};
    const std::span<const float> directional =
        sky_kind == 2 ? std::span<const float>(table) : std::span<const float>{};
    const EnergyBalanceMultibandResult cpu = render_energy_balance_multiband(
        s, nb, 24, 6, e, uniform, directional, sun, true, {}, front, back, trans, 2);
    const HostEnergyBalance dev =
        energy_balance_bvh(s, energy_balance_multiband_params(s, nb, 24, 6, e, uniform, directional,
                                                              sun, true, {}, front, back, trans));
    expect_parity(cpu.top, dev.top, 1e-4);
    expect_parity(cpu.bot, dev.bot, 1e-4);
    expect_parity(cpu.sunlit_fraction, dev.sunlit, 1e-6);
  }
}

}  // namespace
}  // namespace tesk::embree
