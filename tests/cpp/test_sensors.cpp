// Camera rays of every sensor kind, the PCG32 stream, Planck radiance, grid cells, the local
// frame and the periodic-tile helpers.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/frame.h"
#include "core/grid.h"
#include "core/pcg32.h"
#include "core/periodic.h"
#include "core/radiometry.h"
#include "core/sensor.h"

namespace tesk {
namespace {

constexpr double kPi = 3.14159265358979323846;

SensorData make(int type, int w, int h, float fov_deg, const float (&c)[16]) {
  SensorData s{};
  s.type = static_cast<SensorType>(type);
  s.width = w;
  s.height = h;
  s.fov = static_cast<float>(fov_deg * kPi / 180.0);
  for (int i = 0; i < 16; ++i) s.camera_transform[i] = c[i];
  return s;
}

const float kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

void expect_ray(const SensorData& s, int x, int y, float jx, float jy, float3 o_want,
                float3 d_want) {
  float3 o, d;
  ASSERT_TRUE(sensor::generate_primary_ray(s, x, y, jx, jy, o, d)) << x << "," << y;
  EXPECT_NEAR(o.x, o_want.x, 1e-5f);
  EXPECT_NEAR(o.y, o_want.y, 1e-5f);
  EXPECT_NEAR(o.z, o_want.z, 1e-5f);
  EXPECT_NEAR(d.x, d_want.x, 1e-6f);
  EXPECT_NEAR(d.y, d_want.y, 1e-6f);
  EXPECT_NEAR(d.z, d_want.z, 1e-6f);
}

TEST(OpticsSensor, PerspectiveRays) {
  SensorData s = make(1, 2, 1, 90.0f, kIdentity);
  expect_ray(s, 0, 0, 0.5f, 0.5f, {0, 0, 0}, {-0.70710678f, 0, -0.70710678f});
  // Camera at (1, 2, 3) rotated so that it looks along +y (camera y is world +z):
  // 4x2 image, 60 degrees, pixel (3, 1): sx = 0.375, sy = 0.25, direction
  // 0.375*2*tan30*2 * X + 0.25*2*tan30 * Y - Z = (0.8660254, 1, 0.2886751) / 1.3540064.
  const float c[16] = {1, 0, 0, 1, 0, 0, -1, 2, 0, 1, 0, 3, 0, 0, 0, 1};
  s = make(1, 4, 2, 60.0f, c);
  expect_ray(s, 3, 1, 0.5f, 0.5f, {1, 2, 3}, {0.63960215f, 0.73854895f, 0.21320072f});
  expect_ray(s, 1, 0, 1.0f, 1.0f, {1, 2, 3}, {0, 1, 0});  // image centre
}

TEST(OpticsSensor, OrthographicAndPushbroomRays) {
  SensorData s = make(0, 10, 10, 0.0f, kIdentity);
  s.ortho_w = s.ortho_h = 10.0f;
  expect_ray(s, 0, 0, 0.5f, 0.5f, {-4.5f, -4.5f, 0}, {0, 0, -1});
  const float c[16] = {1, 0, 0, 50, 0, 1, 0, 60, 0, 0, 1, 100, 0, 0, 0, 1};
  s = make(0, 4, 2, 0.0f, c);
  s.ortho_w = 8.0f;
  s.ortho_h = 2.0f;
  expect_ray(s, 3, 1, 0.0f, 0.25f, {50 + 2, 60 + 0.25f, 100}, {0, 0, -1});
  // Pushbroom 3x4, 30 degrees across track, 8 units along track; pixel (2, 0): sx = 1/3 gives
  // a 10 degree look angle, sy = -0.375 an along-track offset of -3.
  s = make(3, 3, 4, 30.0f, kIdentity);
  s.ortho_h = 8.0f;
  expect_ray(s, 2, 0, 0.5f, 0.5f, {0, -3, 0}, {0.17364818f, 0, -0.98480775f});
}

TEST(OpticsSensor, FisheyeMappings) {
  // fov 180: at normalised radius 0.25 (pixel 3 of a 4x1 image, jitter 0) the mappings give
  // zenith angles of 41.41 (equisolid), 45 (equidistant), 30 (sine law), 53.13 (stereographic).
  const double want_deg[4] = {2 * std::asin(0.5 * std::sin(kPi / 4)) * 180 / kPi, 45.0, 30.0,
                              2 * std::atan(0.5) * 180 / kPi};
  for (int mapping = 0; mapping < 5; ++mapping) {
    SCOPED_TRACE(mapping);
    SensorData s = make(4, 4, 1, 180.0f, kIdentity);
    s.projection_type = mapping;
    const double th = want_deg[std::min(mapping, 3)] * kPi / 180.0;
    expect_ray(s, 3, 0, 0.0f, 0.5f, {0, 0, 0},
               {static_cast<float>(std::sin(th)), 0, static_cast<float>(-std::cos(th))});
    // A square image: centre looks along -z, the four corners lie outside the circle.
    s.width = s.height = 5;
    expect_ray(s, 2, 2, 0.5f, 0.5f, {0, 0, 0}, {0, 0, -1});
    float3 o, d;
    for (int corner = 0; corner < 4; ++corner) {
      EXPECT_FALSE(sensor::generate_primary_ray(s, (corner & 1) * 4, (corner >> 1) * 4,
                                                (corner & 1) ? 0.99f : 0.0f,
                                                (corner >> 1) ? 0.99f : 0.0f, o, d));
      EXPECT_EQ(d.x * d.x + d.y * d.y + d.z * d.z, 0.0f);
    }
  }
}

TEST(OpticsSensor, KindsWithoutRays) {
  float3 o, d;
  for (int type : {2, 5, -1}) {
    EXPECT_FALSE(
        sensor::generate_primary_ray(make(type, 4, 4, 60, kIdentity), 1, 1, .5f, .5f, o, d));
  }
  const float zero[16] = {};
  EXPECT_FALSE(sensor::generate_primary_ray(make(1, 4, 4, 60, zero), 1, 1, .5f, .5f, o, d));
  EXPECT_FALSE(sensor::generate_primary_ray(make(0, 0, 0, 60, kIdentity), 0, 0, .5f, .5f, o, d));
}

TEST(OpticsRng, MatchesPcg32ReferenceStream) {
  // First outputs of the PCG32 reference demo for seed(42, 54).
  Pcg32 rng;
  rng.seed(42u, 54u);
  const uint32_t want[6] = {0xa15c02b7u, 0x7b47f409u, 0xba1d3330u,
                            0x83d2f293u, 0xbfa4784bu, 0xcbed606eu};
  for (uint32_t w : want) EXPECT_EQ(rng.next32(), w);
  // uniform() is the float of the next word times 2^-32, inside [0, 1].
  for (int i = 0; i < 1000; ++i) {
    Pcg32 copy = rng;
    const float u = rng.uniform();
    EXPECT_EQ(u, static_cast<float>(copy.next32()) * 0x1p-32f);
    EXPECT_TRUE(u >= 0.0f && u <= 1.0f);
  }
}

TEST(OpticsHelpers, PlanckRadiance) {
  // Independent form with h, c and k.
  auto planck = [](double nm, double T) {
    const double h = 6.62607015e-34, c = 299792458.0, k = 1.380649e-23, l = nm * 1e-9;
    return 2 * h * c * c / std::pow(l, 5) / (std::exp(h * c / (l * k * T)) - 1) * 1e-9;
  };
  EXPECT_NEAR(planck_radiance(10000.0f, 300.0f), 9.92e-3, 1e-5);
  // Pairs whose radiance stays a normal float (450 nm at 300 K would be ~1e-40).
  const float pairs[5][2] = {{450, 5800}, {1000, 1000}, {1000, 5800}, {4000, 300}, {10000, 300}};
  for (const auto& p : pairs) {
    EXPECT_NEAR(planck_radiance(p[0], p[1]) / planck(p[0], p[1]), 1.0, 1e-6) << p[0] << " " << p[1];
  }
  EXPECT_EQ(planck_radiance(500.0f, 0.0f), 0.0f);
  EXPECT_EQ(planck_radiance(100.0f, 50.0f), 0.0f);
  // Stefan-Boltzmann: pi * integral of B over wavelength = sigma T^4.
  double integral = 0.0;
  for (double nm = 100.0; nm < 2e6; nm += 1.0) integral += planck_radiance(float(nm + 0.5), 300.0f);
  EXPECT_NEAR(kPi * integral / (5.670374419e-8 * std::pow(300.0, 4)), 1.0, 1e-3);
}

TEST(OpticsHelpers, WorldToCell) {
  EXPECT_EQ(grid::world_to_cell(1.0f, 4.0f, 4), 1);
  EXPECT_EQ(grid::world_to_cell(4.0f, 4.0f, 4), 3);
  EXPECT_EQ(grid::world_to_cell(-1e-7f, 4.0f, 4), 0);
  EXPECT_EQ(grid::world_to_cell(4.0f + 1e-6f, 4.0f, 4), 3);
  EXPECT_EQ(grid::world_to_cell(-0.1f, 4.0f, 4), -1);
  EXPECT_EQ(grid::world_to_cell(0.5f, 0.0f, 4), -1);
  EXPECT_EQ(grid::world_to_cell(0.5f, 1.0f, 0), -1);
  EXPECT_EQ(grid::world_to_cell(NAN, 1.0f, 4), -1);
  EXPECT_EQ(grid::world_to_cell(0.5f, NAN, 4), -1);
  EXPECT_EQ(grid::world_to_cell(0.3f, 1.0f, 1), 0);
  // Every inner border of 10 cells over 0.7 belongs to the upper cell despite rounding.
  for (int i = 1; i < 10; ++i) EXPECT_EQ(grid::world_to_cell(0.7f * i / 10, 0.7f, 10), i);
}

TEST(OpticsHelpers, CoordinateSystemIsOrthonormalAndRightHanded) {
  for (float3 n : {float3{0, 0, 1}, float3{0, 0, -1}, float3{1, 0, 0}, float3{0, -1, 0},
                   normalize(float3{0.3f, -0.8f, 0.2f}), normalize(float3{-5, 1, 2})}) {
    float3 a, b;
    coordinate_system(n, a, b);
    EXPECT_NEAR(dot(a, a), 1.0f, 1e-6f);
    EXPECT_NEAR(dot(b, b), 1.0f, 1e-6f);
    EXPECT_NEAR(dot(a, b), 0.0f, 1e-6f);
    EXPECT_NEAR(dot(a, n), 0.0f, 1e-6f);
    EXPECT_NEAR(dot(b, n), 0.0f, 1e-6f);
    EXPECT_NEAR(dot(cross(a, b), n), 1.0f, 1e-6f);
    const ShadingFrame f = ShadingFrame::from_normal(n);
    const float3 v = normalize(float3{0.2f, 0.5f, -0.4f});
    const float3 back = f.to_world(f.to_local(v));
    EXPECT_NEAR(back.x, v.x, 1e-6f);
    EXPECT_NEAR(back.y, v.y, 1e-6f);
    EXPECT_NEAR(back.z, v.z, 1e-6f);
  }
}

TEST(OpticsHelpers, PeriodicEntryAndTileCrossing) {
  float3 o = periodic_entry({25.3f, -3.2f, 100.0f}, {0, 0, -1}, 10.0f, 10.0f, 20.0f);
  EXPECT_NEAR(o.x, 5.3f, 1e-5f);
  EXPECT_NEAR(o.y, 6.8f, 1e-5f);
  EXPECT_EQ(o.z, 20.0f);
  // An oblique ray from above: moved along itself to the top, then wrapped by whole tiles.
  const float3 d = normalize(float3{1, 0, -1});
  o = periodic_entry({-35.0f, 4.0f, 50.0f}, d, 10.0f, 10.0f, 20.0f);
  EXPECT_NEAR(o.x, 5.0f, 1e-4f);  // -35 + 30 = -5 at the top, wrapped by one tile
  EXPECT_NEAR(o.y, 4.0f, 1e-6f);
  EXPECT_NEAR(o.z, 20.0f, 1e-4f);
  // Below the top nothing moves but the wrap and the clamp.
  o = periodic_entry({10.0f, 15.0f, 1.0f}, d, 10.0f, 10.0f, 20.0f);
  EXPECT_NEAR(o.x, 9.999f, 1e-5f);
  EXPECT_NEAR(o.y, 5.0f, 1e-5f);

  TileExit e = cross_tile({2, 5, 0}, {1, 0, 0}, 10, 10);
  EXPECT_EQ(e.axis, 0);
  EXPECT_FLOAT_EQ(e.t, 8.0f);
  float3 w = wrap_at_exit({2, 5, 0}, {1, 0, 0}, e, 10, 10);
  EXPECT_FLOAT_EQ(w.x, 0.0f);
  EXPECT_FLOAT_EQ(w.y, 5.0f);
  e = cross_tile({2, 5, 1}, normalize(float3{-1, -3, 1}), 10, 10);  // y wall first, at y = 0
  EXPECT_EQ(e.axis, 1);
  w = wrap_at_exit({2, 5, 1}, normalize(float3{-1, -3, 1}), e, 10, 10);
  EXPECT_NEAR(w.y, 10.0f, 1e-5f);
  EXPECT_NEAR(w.x, 2.0f - 5.0f / 3.0f, 1e-5f);
  EXPECT_EQ(cross_tile({2, 5, 1}, {0, 0, 1}, 10, 10).axis, -1);
  EXPECT_EQ(cross_tile({5, 5, 0}, normalize(float3{1, 1, 0}), 10, 10).axis, 0);  // tie: x wins
}

}  // namespace
}  // namespace tesk
