// The backward renderer on scenes with closed-form answers not reachable as simply from the
// host (RPV, per-primitive temperatures, SIF, shade, the seen sun, fisheye), its splits and its
// determinism across thread counts; the illumination helpers that need a scene.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "core/host/transport_settings.h"
#include "core/radiometry.h"
#include "embree/backward_integrator.h"
#include "embree/illumination.h"
#include "embree/render_backward.h"
#include "embree/transport_context.h"

namespace tesk::embree {
namespace {

constexpr float kPi = 3.14159265f;
using backend::OpticalProductRequest;

// A square [0, X] x [0, Y] in the plane z = h, normal +z, as one mesh and instance.
void add_quad(EmbreeSceneManager& s, float X, float Y, float h, int material) {
  const int m = s.add_mesh({{0, 0, h}, {X, 0, h}, {X, Y, h}, {0, Y, h}}, {}, {{0, 1, 2}, {0, 2, 3}},
                           material);
  s.add_instance(m, 0, 0, 0, 1);
}

// Orthographic W x H sensor looking straight down on the tile [0, X] x [0, Y] from height z.
void set_nadir_sensor(EmbreeSceneManager& s, int W, int H, float X, float Y, float z) {
  const float c[16] = {1, 0, 0, X / 2, 0, 1, 0, Y / 2, 0, 0, 1, z, 0, 0, 0, 1};
  s.description().set_sensor(make_sensor(0, W, H, X, Y, c, 16, 60.0f, 0));
}

OpticalProductRequest all_products(int max_order) {
  return OpticalProductRequest{true, true, true, max_order};
}

TEST(OpticsRender, RpvGroundIsNotDividedByPi) {
  EmbreeSceneManager s;
  s.description().upload_spectral_params({0.3f, 1.0f, 0.0f, 1.0f, 100.0f});
  s.description().add_material(MaterialType::RPV, 0, {});
  s.description().set_emitter(EmitterType::Directional, {0, 0, 1}, 4);
  add_quad(s, 10, 10, 0, 0);
  set_nadir_sensor(s, 4, 4, 10, 10, 5);
  s.build();
  for (float v : render_backward(s, 2, 4, 3, 1, {}, {}).radiance) EXPECT_NEAR(v, 30.0f, 1e-4f);
}

TEST(OpticsRender, ThermalAndSifEmission) {
  EmbreeSceneManager s;
  // Emissivity 1, then the SIF spectrum's uniform sky, which SIF-only mode must ignore.
  s.description().upload_spectral_params({1.0f, 50.0f});
  s.description().add_material(MaterialType::Diffuse, 0, {0, 0, 300.0f});
  s.description().set_thermal_mode(true, {10000.0f});
  add_quad(s, 10, 10, 0, 0);
  set_nadir_sensor(s, 4, 3, 10, 10, 5);
  s.build();
  // Per-primitive temperatures win over the material's.
  s.set_primitive_temperatures({320.0f, 320.0f});
  for (float v : render_backward(s, 1, 4, 3, 1, {}, {}).radiance) {
    EXPECT_FLOAT_EQ(v, planck_radiance(10000.0f, 320.0f));
  }
  s.set_primitive_sif_spectra({0.25f, 0.25f}, 1);
  s.description().set_sky(1);
  s.description().set_sif_only_mode(true);
  const OpticalImageResult r = render_backward(s, 2, 4, 3, 1, {}, all_products(0));
  const size_t n = r.radiance.size();
  for (size_t e = 0; e < n; ++e) {
    EXPECT_FLOAT_EQ(r.radiance[e], 0.25f);
    EXPECT_EQ(r.event_aov[3 * n + e], 0.25f);
  }
}

TEST(OpticsRender, SunlitAndShadedTemperatures) {
  EmbreeSceneManager s;
  s.description().upload_spectral_params({1.0f, 1.0f});
  s.description().add_material(MaterialType::Diffuse, 0, {0, 0, 300.0f, 310.0f, 290.0f});
  s.description().set_thermal_mode(true, {10000.0f});
  s.description().set_emitter(EmitterType::Directional, {0, 0, 1}, 1);
  add_quad(s, 10, 10, 0, 0);
  add_quad(s, 5, 10, 1, 1);  // a black roof over the left half (material 1 does not exist)
  set_nadir_sensor(s, 4, 1, 10, 10, 0.5f);  // camera between roof and ground
  s.build();
  const OpticalImageResult r = render_backward(s, 1, 4, 3, 1, {}, {});
  EXPECT_FLOAT_EQ(r.radiance[0], planck_radiance(10000.0f, 290.0f));
  EXPECT_FLOAT_EQ(r.radiance[3], planck_radiance(10000.0f, 310.0f));
}

TEST(OpticsRender, DirectlySeenSunAndFisheyeCircle) {
  EmbreeSceneManager s;
  s.description().upload_spectral_params({6.794e-05f * 2.0f, 0.5f});
  s.description().set_emitter(EmitterType::Directional, {0, 0, 1}, 0);
  s.description().set_sky(1);
  add_quad(s, 1, 1, -100, 0);
  s.build();
  // Orthographic camera looking up (camera z = world -z): every ray sees the sun.
  const float up[16] = {1, 0, 0, 0, 0, -1, 0, 0, 0, 0, -1, 0, 0, 0, 0, 1};
  s.description().set_sensor(make_sensor(0, 3, 3, 1, 1, up, 16, 60, 0));
  OpticalImageResult r = render_backward(s, 2, 4, 3, 1, {}, all_products(0));
  for (size_t e = 0; e < 9; ++e) {
    EXPECT_NEAR(r.radiance[e], 2.0f, 1e-5f);
    EXPECT_EQ(r.event_aov[18 + e], r.radiance[e]);    // slot 2: from outside
    EXPECT_EQ(r.scattering_order[e], r.radiance[e]);  // order 0
  }
  // A fisheye looking up, sun moved away: inside the circle the sky, corners nothing.
  s.description().update_emitter_direction({1, 0, 0});
  s.description().set_sensor(make_sensor(4, 9, 9, 0, 0, up, 16, 170, 1));
  r = render_backward(s, 4, 4, 3, 1, {}, {});
  EXPECT_FLOAT_EQ(r.radiance[40], 0.5f);
  for (int corner : {0, 8, 72, 80}) EXPECT_EQ(r.radiance[corner], 0.0f);
}

// Leaf layer over a ground in a periodic tile, lit by sun and sky: every kind of event.
void leafy_scene(EmbreeSceneManager& s) {
  s.description().set_num_bands(2);
  s.description().upload_spectral_params(
      {0.1f, 0.4f, 0.1f, 0.4f, 0.2f, 0.5f, 0.6f, 0.3f, 900.0f, 500.0f, 30.0f, 60.0f});
  s.description().add_material(MaterialType::DiffuseTransmitting, 0, {0.25f, 0.35f});
  s.description().add_material(MaterialType::Diffuse, 6, {});
  s.description().set_emitter(EmitterType::Directional, normalize(float3{0.3f, 0.2f, 0.9f}), 8);
  s.description().set_sky(10);
  s.description().set_repetitive(4, 4.0f, 4.0f);
  add_quad(s, 4, 4, 0, 1);
  add_quad(s, 3, 2, 1, 0);  // leaves over part of the tile
  set_nadir_sensor(s, 7, 9, 4, 4, 3);
  s.build();
}

TEST(OpticsRender, BitIdenticalForAnyThreadCount) {
  EmbreeSceneManager s;
  leafy_scene(s);
  const OpticalImageResult a = render_backward(s, 5, 6, 1, 1, {}, all_products(2));
  for (int threads : {2, 4, 16}) {
    const OpticalImageResult b = render_backward(s, 5, 6, 1, threads, {}, all_products(2));
    EXPECT_EQ(a.radiance, b.radiance) << threads;
    EXPECT_EQ(a.standard_error, b.standard_error);
    EXPECT_EQ(a.event_aov, b.event_aov);
    EXPECT_EQ(a.scattering_order, b.scattering_order);
  }
  // The splits add up to the radiance, and the noise is real (standard error above zero).
  const size_t n = a.radiance.size();
  double se = 0.0;
  for (size_t e = 0; e < n; ++e) {
    float ev = 0.0f, ord = 0.0f;
    for (int j = 0; j < 4; ++j) ev += a.event_aov[j * n + e];
    for (int j = 0; j < 4; ++j) ord += a.scattering_order[j * n + e];
    EXPECT_NEAR(ev, a.radiance[e], 1e-4f * a.radiance[e]);
    EXPECT_NEAR(ord, a.radiance[e], 1e-4f * a.radiance[e]);
    se += a.standard_error[e];
  }
  EXPECT_GT(se, 0.0);
  EXPECT_GT(a.rays.shadow, 0);
  EXPECT_GE(a.rays.camera, 7 * 9 * 5);
}

TEST(OpticsRender, EdgeCases) {
  EmbreeSceneManager s;
  leafy_scene(s);
  // No passes: zero images of the right shape (the host refuses spp < 1 before this).
  const OpticalImageResult r = render_backward(s, 0, 8, 3, 2, {}, all_products(0));
  EXPECT_EQ(r.radiance.size(), 7u * 9u * 2u);
  EXPECT_EQ(r.scattering_order.size(), 2 * r.radiance.size());
  for (float v : r.radiance) EXPECT_EQ(v, 0.0f);
  EXPECT_THROW(render_backward(s, 1, 8, 3, 1, {}, OpticalProductRequest{false, false, true, -1}),
               std::invalid_argument);
  // TESK_MAX_DEPTH: a positive decimal with any trailing text wins; anything else is ignored.
  bool from_env = false;
  setenv("TESK_MAX_DEPTH", "3xyz", 1);
  EXPECT_EQ(effective_max_depth(16, &from_env), 3);
  EXPECT_TRUE(from_env);
  for (const char* value : {"0", "-3", "deep", ""}) {
    setenv("TESK_MAX_DEPTH", value, 1);
    EXPECT_EQ(effective_max_depth(16, &from_env), 16) << value;
    EXPECT_FALSE(from_env);
  }
  unsetenv("TESK_MAX_DEPTH");
}

// The image of `s` with its own sensor, neighbouring camera and sun rays traced as packets or
// every ray alone.
OpticalImageResult render_with(const EmbreeSceneManager& s, bool packets, int spp, int threads) {
  TransportContext ctx = make_transport_context(s, 0, 6, 1);
  ctx.packets = packets;
  return integrate_image(ctx, s.description().sensor(), spp, threads, all_products(2), {}, {});
}

TEST(OpticsRender, PacketsTraceTheSameSamples) {
  EmbreeSceneManager s;
  leafy_scene(s);
  // Partial tiles at the image's edges and a chunk end inside a tile row (9 rows, tiles of 4).
  const OpticalImageResult alone = render_with(s, false, 3, 1);
  const OpticalImageResult packed = render_with(s, true, 3, 2);
  EXPECT_EQ(alone.rays.camera, packed.rays.camera);
  EXPECT_EQ(alone.rays.bounce, packed.rays.bounce);
  EXPECT_EQ(alone.rays.shadow, packed.rays.shadow);
  ASSERT_EQ(alone.radiance.size(), packed.radiance.size());
  for (size_t e = 0; e < alone.radiance.size(); ++e) {
    EXPECT_NEAR(alone.radiance[e], packed.radiance[e], 1e-6f * alone.radiance[e]) << e;
  }
  EXPECT_EQ(alone.event_aov.size(), packed.event_aov.size());
}

// Sunlit ground under a black plate in a periodic unit tile, seen from straight above: the
// image mean is (albedo / pi) E cos(theta_sun) times the ground area neither covered by the
// plate nor in its shadow. The plate [0, 0.4]^2 at height 0.5 and the sun along (1, 1, 1) put
// the shadow at [0.5, 0.9]^2 (reached through the tile walls), so that area is 1 - 2 * 0.16.
TEST(OpticsRender, PacketImageMeanMatchesTheShadowedGround) {
  EmbreeSceneManager s;
  const float albedo = 0.5f, E = 2.0f;
  s.description().upload_spectral_params({albedo, 0.0f, E});
  s.description().add_material(MaterialType::Diffuse, 0, {});
  s.description().add_material(MaterialType::Diffuse, 1, {});
  s.description().set_emitter(EmitterType::Directional, normalize(float3{1, 1, 1}), 2);
  s.description().set_repetitive(3, 1.0f, 1.0f);
  add_quad(s, 1, 1, 0, 0);
  add_quad(s, 0.4f, 0.4f, 0.5f, 1);
  set_nadir_sensor(s, 40, 40, 1, 1, 3);
  s.build();
  const int spp = 6;
  const OpticalImageResult one = render_backward(s, spp, 4, 3, 1, {}, {});
  for (int threads : {2, 3}) {
    EXPECT_EQ(one.radiance, render_backward(s, spp, 4, 3, threads, {}, {}).radiance) << threads;
  }
  double mean = 0.0;
  for (float v : one.radiance) mean += v;
  mean /= static_cast<double>(one.radiance.size());
  const double lit = 1.0 - 2.0 * 0.16;
  const double c = albedo / kPi * E / std::sqrt(3.0);
  // Each sample is c or 0; the Bernoulli spread bounds the standard error of the mean.
  const double se = c * std::sqrt(lit * (1.0 - lit) / (40.0 * 40.0 * spp));
  EXPECT_NEAR(mean, c * lit, 3.0 * se);
  EXPECT_GT(one.rays.shadow, 0);
}

TEST(OpticsIllumination, ShadowsAcrossTilesAndCameraPreparation) {
  EmbreeSceneManager s;
  add_quad(s, 10, 10, 0, 0);
  add_quad(s, 1, 10, 1, 0);  // a strip over x in [0, 1] at height 1
  s.build();
  // From x = 9.5 toward +x at 45 degrees the ray leaves the tile at height 0.5 and meets the
  // strip's copy in the next tile.
  const float3 o{9.5f, 5.0f, 0.001f}, d = normalize(float3{1, 0, 1});
  EXPECT_FALSE(occluded_periodic(s, o, d));
  s.description().set_repetitive(1, 10, 10);
  EXPECT_TRUE(occluded_periodic(s, o, d));
  EXPECT_FALSE(occluded_periodic(s, o, normalize(float3{-1, 0, 1})));

  // Terrain following: the surface point under the footprint, 100000 back along the ray.
  s.description().set_repetitive(0, 0, 0);
  s.description().set_terrain_following(true);
  const float3 d2 = normalize(float3{0.1f, 0, -1});
  float3 p = prepare_camera_ray(s, SensorType::Orthographic, {4.0f, 5.0f, 10.0f}, d2);
  EXPECT_NEAR(p.x, 5.0f - 100000.0f * d2.x, 0.05f);
  EXPECT_NEAR(p.z, 0.0f - 100000.0f * d2.z, 0.05f);
  EXPECT_EQ(prepare_camera_ray(s, SensorType::Perspective, {4.0f, 5.0f, 10.0f}, d2).x,
            4.0f);  // perspective: unchanged
  // Periodic entry stops just above the scene top (z = 1) so the top surface is not skipped.
  s.description().set_terrain_following(false);
  s.description().set_repetitive(1, 10, 10);
  p = prepare_camera_ray(s, SensorType::Orthographic, {24.0f, 5.0f, 10.0f}, {0, 0, -1});
  EXPECT_NEAR(p.x, 4.0f, 1e-5f);
  EXPECT_GT(p.z, 1.0f);
  EXPECT_LT(p.z, 1.01f);
}

}  // namespace
}  // namespace tesk::embree
