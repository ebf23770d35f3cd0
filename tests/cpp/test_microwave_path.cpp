// Microwave lines of sight (core/microwave_path.h) run on the host over the host copy of the
// device hierarchy, against the soil evaluators and closed forms.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/host/microwave/evaluators.h"
#include "core/host/microwave/tables.h"
#include "core/microwave_path.h"
#include "tests/cpp/device_host_runs.h"

namespace tesk::embree {
namespace {

using microwave::FloatArray;
using microwave::MicrowaveTableRequest;
using microwave::MicrowaveTableSet;

constexpr double kFrequency = 1.4e9;
constexpr float kCosmic = 2.725f;

const std::vector<float> kSoil = {0.3f, 0.2f,   0.25f,  0.3f, 2.0f,  1.0f,
                                  0.1f, 295.0f, 295.0f, 0.0f, 0.01f, 0.0f};

// A square [-R, R]^2 at height h, normal +z, with the given material.
void add_plane(EmbreeSceneManager& s, float R, float h, int material) {
  const int m = s.add_mesh({{-R, -R, h}, {R, -R, h}, {R, R, h}, {-R, R, h}}, {},
                           {{0, 1, 2}, {0, 2, 3}}, material);
  s.add_instance(m, 0, 0, 0, 1);
}

// An orthographic w x h camera 20 m up looking along (0, sin t, -cos t), or along
// (0, sin t, cos t) when `up`.
void look(EmbreeSceneManager& s, double theta, bool up, int w, int h) {
  const float st = static_cast<float>(std::sin(theta)), ct = static_cast<float>(std::cos(theta));
  const float sz = up ? -1.0f : 1.0f;
  // Columns: camera x, y and z axes (the camera looks along -z) in world coordinates.
  const float c[16] = {1, 0, 0, 0, 0, ct, -st, 0, 0, sz * st, sz * ct, 20.0f, 0, 0, 0, 1};
  s.description().set_sensor(make_sensor(0, w, h, 4, 4, c, 16, 60.0f, 0));
}

MicrowaveTableSet tables(bool active, float air, float tau, const std::vector<int32_t>& map,
                         const std::vector<float>& veg = {}, const std::vector<float>& mueller = {},
                         int C = 0, int A = 0) {
  MicrowaveTableRequest r;
  r.frequency = kFrequency;
  r.active = active;
  r.max_depth = 6;
  r.air_temperature = air;
  r.atmosphere_tau = tau;
  r.soil = FloatArray{kSoil.data(), {kSoil.size()}};
  if (!veg.empty()) r.vegetation = FloatArray{veg.data(), {veg.size() / 3, 3}};
  r.material_map = map.data();
  r.n_map = static_cast<int64_t>(map.size() / 2);
  if (!mueller.empty()) r.vegetation_mueller = FloatArray{mueller.data(), {mueller.size()}};
  r.lut_cosines = C;
  r.lut_azimuths = A;
  return microwave::build_microwave_tables(r);
}

std::vector<float> soil_rows(double mu, bool active) {
  const float m = static_cast<float>(mu);
  return microwave::evaluate_soil(kFrequency, FloatArray{kSoil.data(), {12}}, FloatArray{&m, {1}},
                                  active)
      .values;
}

TEST(MicrowavePath, BareSoilIsTheSoilEvaluatorAtTheViewCosine) {
  // Seen at 60 degrees (mu = 0.5, a table node): passive T_B,p plus Gamma_p times the sky
  // (the atmosphere at tau 0.3, air 250 K, over the mirrored path); active the four sigmas
  // through the two-way atmosphere exp(-2 tau / mu).
  EmbreeSceneManager s;
  s.description().add_material(MaterialType::Diffuse, 0, {});
  add_plane(s, 1000, 0, 0);
  look(s, M_PI / 3, false, 3, 2);
  s.build();
  const double mu = 0.5, tau = 0.3, air = 250.0;
  const double t = std::exp(-tau / mu), sky = air * (1 - t) + kCosmic * t;
  const std::vector<float> passive = soil_rows(mu, false), active = soil_rows(mu, true);
  const MicrowaveTableSet tp = tables(false, air, tau, {1, 0});
  const std::vector<float> tb = render_microwave_bvh(s, tp.view(), 2, 2);
  for (size_t p = 0; p < 6; ++p) {
    for (int c = 0; c < 2; ++c) {
      const double want = passive[c] + passive[2 + c] * sky;
      EXPECT_NEAR(tb[2 * p + c], want, 1e-4 * want) << "pixel " << p << " channel " << c;
    }
  }
  const std::vector<float> mean = render_microwave_bvh(s, tp.view(), 1, 1);
  const double half = 0.5 * (passive[0] + passive[1] + (passive[2] + passive[3]) * sky);
  EXPECT_NEAR(mean[0], half, 1e-4 * half);
  const MicrowaveTableSet ta = tables(true, air, tau, {1, 0});
  const double a = std::exp(-2 * tau / mu);  // two-way atmosphere of the active image
  const std::vector<float> sigma = render_microwave_bvh(s, ta.view(), 2, 4);
  for (size_t p = 0; p < 6; ++p) {
    for (int c = 0; c < 4; ++c) EXPECT_NEAR(sigma[4 * p + c], a * active[c], 1e-4 * a * active[c]);
  }
  const std::vector<float> two = render_microwave_bvh(s, ta.view(), 1, 2);
  EXPECT_NEAR(two[0], a * active[0], 1e-4 * a * active[0]);
  EXPECT_NEAR(two[1], a * active[3], 1e-4 * a * active[3]);
}

TEST(MicrowavePath, SmoothSoilAndTheOpenSky) {
  // Smooth soil at 50 degrees: (1 - Gamma_s) T plus Gamma_s times the cosmic background (no
  // atmosphere); a smooth soil returns no backscatter. The sky straight up through tau 0.4 at
  // 40 degrees from the zenith: T_air (1 - t) + T_cosmic t with t = exp(-tau / mu).
  EmbreeSceneManager s;
  s.description().add_material(MaterialType::Diffuse, 0, {});
  add_plane(s, 1000, 0, 0);
  const double theta = 50.0 * M_PI / 180.0, mu = std::cos(theta);
  look(s, theta, false, 2, 2);
  s.build();
  const float m = static_cast<float>(mu);
  const std::vector<float> gamma =
      microwave::evaluate_soil_reflectivity(kFrequency, FloatArray{kSoil.data(), {12}},
                                            FloatArray{&m, {1}}, false)
          .values;
  const MicrowaveTableSet tp = tables(false, 270.0f, 0.0f, {4, 0});
  const std::vector<float> tb = render_microwave_bvh(s, tp.view(), 1, 2);
  for (int c = 0; c < 2; ++c) {
    const double want = (1.0 - gamma[c]) * kSoil[7] + gamma[c] * kCosmic;
    // Linear table interpolation between nodes 1/180 apart: second-order error.
    EXPECT_NEAR(tb[c], want, 2e-3 * want);
    EXPECT_NEAR(tb[6 - c], want, 2e-3 * want);
  }
  const MicrowaveTableSet ta = tables(true, 270.0f, 0.0f, {4, 0});
  for (float v : render_microwave_bvh(s, ta.view(), 1, 4)) EXPECT_EQ(v, 0.0f);

  const double up = 40.0 * M_PI / 180.0, tau = 0.4, air = 260.0;
  look(s, up, true, 2, 1);
  s.build();
  const double t = std::exp(-tau / std::cos(up));
  const MicrowaveTableSet sky =
      tables(false, static_cast<float>(air), static_cast<float>(tau), {1, 0});
  for (float v : render_microwave_bvh(s, sky.view(), 1, 2)) {
    EXPECT_NEAR(v, air * (1 - t) + kCosmic * t, 1e-4 * air);
  }
}

TEST(MicrowavePath, VegetationLayerOverBlackGround) {
  // A layer (tau 0.4, albedo 0.3, 300 K) at z = 2 over an absorbing ground at the air
  // temperature 0 K, seen at 60 degrees: passive (1 - w)(1 - g) T; active w mu (1 - g^2) / 2
  // co-polarised (the absorber returns nothing).
  EmbreeSceneManager s;
  s.description().add_material(MaterialType::Diffuse, 0, {});
  s.description().add_material(MaterialType::Diffuse, 0, {});
  add_plane(s, 1000, 0, 0);
  add_plane(s, 1000, 2, 1);
  look(s, M_PI / 3, false, 2, 2);
  s.build();
  const double mu = 0.5, tau = 0.4, w = 0.3, T = 300.0, g = std::exp(-tau / mu);
  const std::vector<float> veg = {0.4f, 0.3f, 300.0f};
  const std::vector<int32_t> map = {0, 0, 2, 0};
  const MicrowaveTableSet tp = tables(false, 0.0f, 0.0f, map, veg);
  for (float v : render_microwave_bvh(s, tp.view(), 1, 2)) {
    EXPECT_NEAR(v, (1 - w) * (1 - g) * T, 1e-4 * T);
  }
  const MicrowaveTableSet ta = tables(true, 0.0f, 0.0f, map, veg);
  const std::vector<float> sigma = render_microwave_bvh(s, ta.view(), 1, 4);
  const double volume = w * mu * (1 - g * g) / 2;
  for (size_t p = 0; p < 4; ++p) {
    EXPECT_NEAR(sigma[4 * p], volume, 1e-5);
    EXPECT_EQ(sigma[4 * p + 1], 0.0f);
    EXPECT_NEAR(sigma[4 * p + 3], volume, 1e-5);
  }
}

TEST(MicrowavePath, ScatteringLayerIsTheSingleScatteringClosedForm) {
  // The same layer with a phase table scattering 3/4 of its power upward (M = 1.5 I in the
  // upper cosine cells, 0.5 I in the lower ones) over an absorbing ground at T_air = 300 K and
  // a sky of the cosmic background. Sampling follows M, so every scattered line of sight keeps
  // the weight w: E[T_B] = (1 - w)(1 - g) T + g T_air + (1 - g) w (3/4 T_cosmic + 1/4 T_air).
  // Pixels are independent samples of that mean; 4 standard errors.
  EmbreeSceneManager s;
  s.description().add_material(MaterialType::Diffuse, 0, {});
  s.description().add_material(MaterialType::Diffuse, 0, {});
  add_plane(s, 1000, 0, 0);
  add_plane(s, 1000, 2, 1);
  look(s, M_PI / 3, false, 40, 40);
  s.build();
  const int C = 4, A = 4;
  std::vector<float> mueller(static_cast<size_t>(C) * C * A * 16, 0.0f);
  for (int cin = 0; cin < C; ++cin) {
    for (int cout = 0; cout < C; ++cout) {
      for (int a = 0; a < A; ++a) {
        float* m = mueller.data() + ((cin * C + cout) * A + a) * 16;
        const float v = cout >= C / 2 ? 1.5f : 0.5f;
        m[0] = m[5] = m[10] = m[15] = v;
      }
    }
  }
  const double mu = 0.5, tau = 0.4, w = 0.3, T = 300.0, air = 300.0, g = std::exp(-tau / mu);
  const MicrowaveTableSet t = tables(false, static_cast<float>(air), 0.0f, {0, 0, 2, 0},
                                     {0.4f, 0.3f, 300.0f}, mueller, C, A);
  const int spp = 4;
  const std::vector<float> img = render_microwave_bvh(s, t.view(), spp, 2);
  const double want = (1 - w) * (1 - g) * T + g * air + (1 - g) * w * (0.75 * kCosmic + 0.25 * air);
  for (int c = 0; c < 2; ++c) {
    double sum = 0, sq = 0;
    const int n = 40 * 40;
    for (int p = 0; p < n; ++p) {
      sum += img[2 * p + c];
      sq += static_cast<double>(img[2 * p + c]) * img[2 * p + c];
    }
    const double mean = sum / n, se = std::sqrt((sq / n - mean * mean) / (n - 1));
    EXPECT_GT(se, 0.0);
    EXPECT_NEAR(mean, want, 4 * se) << "channel " << c;
  }
}

TEST(MicrowavePath, TrunkWallEmitsAndReturnsItsTableRows) {
  // A vertical trunk surface (the plane y = 5, normal -y) seen 30 degrees off nadir: mu = 0.5
  // against its normal. Passive: T_B,p of _evaluate_microwave_trunk plus Gamma_p times the air
  // temperature the mirrored, downward line of sight escapes to. Active: direct plus double
  // bounce of the trunk-ground model for the table's line of sight, per silhouette area 2 a L mu.
  EmbreeSceneManager s;
  s.description().add_material(MaterialType::Diffuse, 0, {});
  const float R = 1000.0f;
  const int m =
      s.add_mesh({{-R, 5, -R}, {R, 5, -R}, {R, 5, R}, {-R, 5, R}}, {}, {{0, 1, 2}, {0, 2, 3}}, 0);
  s.add_instance(m, 0, 0, 0, 1);
  look(s, M_PI / 6, false, 2, 2);
  s.build();
  const std::vector<float> trunk = {0.2f, 10.0f, 0.4f, 290.0f, 0.0f, 0.0f, 1.0f};
  const double mu = 0.5, air = 270.0;
  MicrowaveTableRequest r;
  r.frequency = kFrequency;
  r.air_temperature = static_cast<float>(air);
  r.soil = FloatArray{kSoil.data(), {12}};
  r.trunk = FloatArray{trunk.data(), {1, 7}};
  const std::vector<int32_t> map = {3, 0};
  r.material_map = map.data();
  r.n_map = 1;
  const float m0 = static_cast<float>(mu);
  const std::vector<float> row =
      microwave::evaluate_trunk(kFrequency, FloatArray{trunk.data(), {7}}, FloatArray{&m0, {1}})
          .values;
  const MicrowaveTableSet tp = microwave::build_microwave_tables(r);
  const std::vector<float> tb = render_microwave_bvh(s, tp.view(), 1, 2);
  for (size_t p = 0; p < 4; ++p) {
    for (int c = 0; c < 2; ++c) {
      const double want = row[c] + row[2 + c] * air;
      EXPECT_NEAR(tb[2 * p + c], want, 1e-4 * want);
    }
  }
  r.active = true;
  const MicrowaveTableSet ta = microwave::build_microwave_tables(r);
  // The table's line of sight for a vertical axis: mu (0, 1, 0) - sqrt(1 - mu^2) (0, 0, 1).
  const float d[3] = {0.0f, 0.5f, -std::sqrt(0.75f)}, up[3] = {0.0f, 0.0f, 1.0f};
  const std::vector<float> g =
      microwave::evaluate_trunk_ground(kFrequency, FloatArray{kSoil.data(), {12}},
                                       FloatArray{trunk.data(), {7}}, FloatArray{d, {1, 3}},
                                       FloatArray{d, {1, 3}}, FloatArray{up, {1, 3}})
          .values;
  const double area = 2.0 * 0.2 * 10.0 * mu;
  ASSERT_GT(g[4] + g[7], 0.0f);  // the ground bounce is part of the return
  const std::vector<float> sigma = render_microwave_bvh(s, ta.view(), 1, 4);
  for (size_t p = 0; p < 4; ++p) {
    for (int c = 0; c < 4; ++c) {
      const double want = (g[c] + g[4 + c]) / area;
      EXPECT_NEAR(sigma[4 * p + c], want, 1e-4 * std::fabs(want) + 1e-12);
    }
  }
}

TEST(MicrowavePath, TableRequestsAreChecked) {
  const std::vector<int32_t> bad_class = {5, 0}, bad_index = {1, 1};
  EXPECT_THROW(tables(false, 290.0f, 0.0f, bad_class), std::invalid_argument);
  EXPECT_THROW(tables(false, 290.0f, 0.0f, bad_index), std::invalid_argument);
  EXPECT_THROW(tables(false, -1.0f, 0.0f, {1, 0}), std::invalid_argument);
  EXPECT_THROW(tables(false, 290.0f, NAN, {1, 0}), std::invalid_argument);
  EXPECT_THROW(tables(false, 290.0f, 0.0f, {2, 0}, {0.1f, 1.5f, 300.0f}), std::invalid_argument);
  EXPECT_THROW(tables(false, 290.0f, 0.0f, {2, 0}, {0.1f, 0.5f, 300.0f}, {1.0f}, 1, 1),
               std::invalid_argument);
}

}  // namespace
}  // namespace tesk::embree
