// The device backward image's work items (core/backward_image.h) run on the host over the host
// copy of the device hierarchy: closed forms, and parity with the CPU renderer, whose paths are
// the same template traced with Embree.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/backward_image.h"
#include "core/host/mesh_generators.h"
#include "core/radiometry.h"
#include "embree/backward_integrator.h"
#include "embree/bvh_export.h"
#include "embree/render_backward.h"
#include "embree/render_flux.h"
#include "embree/transport_context.h"
#include "tests/cpp/device_host_runs.h"

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

TEST(DevicePaths, LambertianPlaneUnderSunAndSkyIsExact) {
  // Two bands: reflectance 0.3 / 0.6, sun 900 / 500 at 60 degrees from the zenith, sky 30 / 60.
  EmbreeSceneManager s;
  s.description().set_num_bands(2);
  s.description().upload_spectral_params({0.3f, 0.6f, 900.0f, 500.0f, 30.0f, 60.0f});
  s.description().add_material(MaterialType::Diffuse, 0, {});
  const float cos_s = 0.5f;
  s.description().set_emitter(EmitterType::Directional,
                              float3{std::sqrt(1.0f - cos_s * cos_s), 0.0f, cos_s}, 2);
  s.description().set_sky(4);
  add_quad(s, 100, 100, 0, 0);
  const float c[16] = {1, 0, 0, 50, 0, 1, 0, 50, 0, 0, 1, 5, 0, 0, 0, 1};
  s.description().set_sensor(make_sensor(0, 6, 5, 20, 20, c, 16, 60.0f, 0));
  s.description().set_terrain_following(true);  // camera rays start above the plane's surface
  s.build();
  const OpticalProductRequest all{true, true, true, 1};
  // Every sample is exact: the sun by next-event estimation, the sky after one cosine-sampled
  // bounce (the weight f cos / pdf is the reflectance).
  const double rho[2] = {0.3, 0.6}, sun[2] = {900, 500}, sky[2] = {30, 60};
  for (const OpticalImageResult& r :
       {render_bvh(s, 3, 4, all), render_backward(s, 3, 4, 3, 1, {}, all)}) {
    const size_t n = r.radiance.size();
    ASSERT_EQ(n, 6u * 5u * 2u);
    for (size_t e = 0; e < n; ++e) {
      const int b = static_cast<int>(e % 2);
      const double direct = rho[b] / kPi * sun[b] * cos_s, diffuse = rho[b] * sky[b];
      EXPECT_NEAR(r.radiance[e], direct + diffuse, 1e-5 * (direct + diffuse));
      EXPECT_NEAR(r.event_aov[e], direct, 1e-5 * direct);            // sun scattered
      EXPECT_NEAR(r.event_aov[2 * n + e], diffuse, 1e-5 * diffuse);  // outside
      EXPECT_NEAR(r.scattering_order[n + e], direct + diffuse, 1e-5 * (direct + diffuse));
      EXPECT_LE(r.standard_error[e], 1e-6 * (direct + diffuse));  // rounding only
    }
  }
}

TEST(DevicePaths, ThermalShadeAndSifThroughTheHierarchy) {
  EmbreeSceneManager s;
  s.description().upload_spectral_params({1.0f, 1.0f});
  s.description().add_material(MaterialType::Diffuse, 0, {0, 0, 300.0f, 310.0f, 290.0f});
  s.description().set_thermal_mode(true, {10000.0f});
  s.description().set_emitter(EmitterType::Directional, {0, 0, 1}, 1);
  add_quad(s, 10, 10, 0, 0);
  add_quad(s, 5, 10, 1, 1);  // a black roof over the left half (material 1 does not exist)
  const float c[16] = {1, 0, 0, 5, 0, 1, 0, 5, 0, 0, 1, 0.5f, 0, 0, 0, 1};
  s.description().set_sensor(make_sensor(0, 4, 1, 10, 10, c, 16, 60.0f, 0));
  s.build();
  // Under the roof the shadow ray (traced by the hierarchy) picks the shaded temperature.
  OpticalImageResult r = render_bvh(s, 1, 4, {});
  EXPECT_FLOAT_EQ(r.radiance[0], planck_radiance(10000.0f, 290.0f));
  EXPECT_FLOAT_EQ(r.radiance[3], planck_radiance(10000.0f, 310.0f));
  // SIF-only: the primitive's SIF, nothing from the sun or sky.
  s.set_primitive_sif_spectra({0.25f, 0.25f, 0.5f, 0.5f}, 1);
  s.description().set_sky(0);
  s.description().set_sif_only_mode(true);
  r = render_bvh(s, 2, 4, {});
  EXPECT_FLOAT_EQ(r.radiance[0], 0.25f);
  EXPECT_FLOAT_EQ(r.radiance[3], 0.25f);
}

// Asymmetric leaves (front and back differ) as instanced spheres over a ground in a periodic
// tile, lit by an oblique sun and a sky, seen by a perspective camera.
void leafy_tile(EmbreeSceneManager& s) {
  s.description().set_num_bands(2);
  s.description().upload_spectral_params(
      {0.1f, 0.4f, 0.05f, 0.3f, 0.2f, 0.5f, 0.6f, 0.3f, 900.0f, 500.0f, 30.0f, 60.0f});
  s.description().add_material(MaterialType::DiffuseTransmitting, 0, {0.25f, 0.35f});
  s.description().add_material(MaterialType::Diffuse, 6, {});
  s.description().set_emitter(EmitterType::Directional, normalize(float3{0.5f, 0.2f, 0.8f}), 8);
  s.description().set_sky(10);
  s.description().set_repetitive(3, 10.0f, 10.0f);
  add_quad(s, 10, 10, 0, 1);
  const GeneratedMesh ball = make_sphere(1.0f, float3{0, 0, 0}, 2);
  const int m = s.add_mesh(ball.vertices, ball.normals, ball.indices, 0);
  for (int i = 0; i < 6; ++i) {
    const float a = 0.9f * static_cast<float>(i);
    const float xf[12] = {1.5f * std::cos(a),
                          -std::sin(a),
                          0,
                          1.5f + 1.4f * i,
                          1.5f * std::sin(a),
                          std::cos(a),
                          0,
                          2.0f + 1.1f * (i % 4),
                          0,
                          0,
                          2,
                          2.5f};
    s.add_instance(m, xf);
  }
  // Looking down at 45 degrees from (5, -6, 9) toward +y (the camera looks along its -z axis).
  const float h = std::sqrt(0.5f);
  const float c[16] = {1, 0, 0, 5, 0, h, -h, -6, 0, h, h, 9, 0, 0, 0, 1};
  s.description().set_sensor(make_sensor(1, 24, 18, 0, 0, c, 16, 60.0f, 0));
  s.build();
}

TEST(DevicePaths, HierarchyImageMatchesTheCpuRenderer) {
  EmbreeSceneManager s;
  leafy_tile(s);
  const OpticalProductRequest all{true, true, true, 2};
  const int spp = 4;
  TransportContext ctx = make_transport_context(s, 0, 6, transport::kDefaultRouletteDepth);
  ctx.packets = false;
  const OpticalImageResult cpu =
      integrate_image(ctx, s.description().sensor(), spp, 1, all, {}, {});
  const OpticalImageResult dev = render_bvh(s, spp, 6, all);
  ASSERT_EQ(cpu.radiance.size(), dev.radiance.size());
  // The same streams and rules: a pixel differs only where a hit differs in its last bits.
  const size_t n = cpu.radiance.size();
  size_t same = 0;
  double sum_cpu = 0.0, sum_dev = 0.0;
  for (size_t e = 0; e < n; ++e) {
    same += std::fabs(cpu.radiance[e] - dev.radiance[e]) <= 1e-4f * cpu.radiance[e];
    sum_cpu += cpu.radiance[e];
    sum_dev += dev.radiance[e];
  }
  EXPECT_GE(same, n - n / 50);
  EXPECT_NEAR(sum_dev, sum_cpu, 2e-3 * sum_cpu);
  EXPECT_GT(sum_cpu, 0.0);
  // The splits travel with the radiance.
  for (size_t e = 0; e < n; ++e) {
    double events = 0.0, orders = 0.0;
    for (int j = 0; j < 4; ++j) events += dev.event_aov[j * n + e];
    for (int j = 0; j < 4; ++j) orders += dev.scattering_order[j * n + e];
    EXPECT_NEAR(events, dev.radiance[e], 1e-4 * dev.radiance[e] + 1e-6);
    EXPECT_NEAR(orders, dev.radiance[e], 1e-4 * dev.radiance[e] + 1e-6);
  }
}

TEST(DevicePaths, FoldBlocksSumAsTheCpuRenderer) {
  // More passes than fold blocks: two passes per block (the last one alone) on both sides.
  EmbreeSceneManager s;
  leafy_tile(s);
  const OpticalProductRequest se{true, false, false, 0};
  const int spp = kMaxPassBlocks + 3;
  TransportContext ctx = make_transport_context(s, 0, 2, transport::kDefaultRouletteDepth);
  ctx.packets = false;
  const OpticalImageResult cpu = integrate_image(ctx, s.description().sensor(), spp, 2, se, {}, {});
  const OpticalImageResult dev = render_bvh(s, spp, 2, se);
  size_t same = 0;
  for (size_t e = 0; e < cpu.radiance.size(); ++e) {
    same +=
        std::fabs(cpu.radiance[e] - dev.radiance[e]) <= 1e-4f * cpu.radiance[e] &&
        std::fabs(cpu.standard_error[e] - dev.standard_error[e]) <= 1e-3f * cpu.standard_error[e];
  }
  EXPECT_GE(same, cpu.radiance.size() * 98 / 100);
}

TEST(DevicePaths, FluxOfALambertianPlaneIsExact) {
  // Sun at the zenith over a 10 x 10 plane of reflectance 0.3 / 0.6: every photon lands, and
  // the cosine-sampled bounce carries exactly the reflectance back to the sky.
  EmbreeSceneManager s;
  s.description().set_num_bands(2);
  s.description().upload_spectral_params({0.3f, 0.6f, 900.0f, 500.0f});
  s.description().add_material(MaterialType::Diffuse, 0, {});
  s.description().set_emitter(EmitterType::Directional, {0, 0, 1}, 2);
  add_quad(s, 10, 10, 0, 0);
  const float c[16] = {1, 0, 0, 5, 0, 1, 0, 5, 0, 0, 1, 5, 0, 0, 0, 1};
  s.description().set_sensor(make_sensor(0, 4, 4, 10, 10, c, 16, 60.0f, 0));
  s.build();
  const HostFlux f = render_flux_bvh(s, 5, 4, 4000, 2, 1.0f, 0, 16, 7);
  const double sun[2] = {900.0, 500.0}, rho[2] = {0.3, 0.6};
  for (int b = 0; b < 2; ++b) {
    double down = 0.0, up = 0.0, direct = 0.0;
    for (size_t e = b; e < f.down.size(); e += 2) {
      down += f.down[e];
      up += f.up[e];
      direct += f.direct[e];
    }
    EXPECT_NEAR(down, sun[b] * 100.0, 1e-9 * sun[b] * 100.0);
    EXPECT_NEAR(direct, down, 1e-9 * down);
    EXPECT_NEAR(up, rho[b] * down, 1e-6 * down);  // the weight f cos / pdf is a float product
  }
  EXPECT_EQ(f.rays, 4000u);  // one hit per photon; the bounce leaves above the top unqueried
}

TEST(DevicePaths, FluxMatchesTheCpuRun) {
  // The same photons (streams by index) through the hierarchy, any thread split.
  EmbreeSceneManager s;
  leafy_tile(s);
  const int64_t photons = 20000;
  const FluxResult cpu =
      render_flux(s, 6, 5, photons, 2, 0.7f, 0, 12, transport::kDefaultRouletteDepth, 2, {}, true);
  const HostFlux dev = render_flux_bvh(s, 6, 5, photons, 2, 0.7f, 0, 12, 333);
  ASSERT_EQ(cpu.downwelling.size(), dev.down.size());
  double sum_cpu = 0.0, sum_dev = 0.0, up_cpu = 0.0, up_dev = 0.0;
  size_t close = 0;
  for (size_t e = 0; e < dev.down.size(); ++e) {
    sum_cpu += cpu.downwelling[e];
    sum_dev += dev.down[e];
    up_cpu += cpu.upwelling[e];
    up_dev += dev.up[e];
    close += std::fabs(cpu.downwelling_diffuse[e] - dev.diffuse[e]) <=
             1e-3 * cpu.downwelling_diffuse[e] + 1e-9;
  }
  EXPECT_GT(sum_cpu, 0.0);
  EXPECT_NEAR(sum_dev, sum_cpu, 1e-3 * sum_cpu);
  EXPECT_NEAR(up_dev, up_cpu, 2e-3 * up_cpu);
  EXPECT_GE(close, dev.down.size() * 9 / 10);
  for (int b = 0; b < 2; ++b) {
    EXPECT_NEAR(dev.removed[b], cpu.removed[b], 1e-2 * std::fabs(cpu.removed[b]) + 1e-6);
  }
  EXPECT_NEAR(static_cast<double>(dev.rays), static_cast<double>(cpu.rays.closest),
              1e-3 * static_cast<double>(cpu.rays.closest));
}

}  // namespace
}  // namespace tesk::embree
