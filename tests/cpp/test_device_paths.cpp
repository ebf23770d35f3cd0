// The device backward image's work items (core/backward_image.h) run on the host over the host
// copy of the device hierarchy: closed forms, and parity with the CPU renderer, whose paths are
// the same template traced with Embree.

#include <gtest/gtest.h>

#include <cmath>
#include <span>
#include <utility>
#include <vector>

#include "core/backward_image.h"
#include "core/host/mesh_generators.h"
#include "core/radiometry.h"
#include "embree/backward_integrator.h"
#include "embree/bvh_export.h"
#include "embree/lidar.h"
#include "embree/render_backward.h"
#include "embree/render_flux.h"
#include "embree/render_forward.h"
#include "embree/transport_context.h"
#include "embree/turbid_leaf_rrt.h"
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

TEST(DevicePaths, FluxThroughLeafMedia) {
  // Black leaves over a black ground: the sun beam reaches the ground with probability
  // exp(-G LAI / mu) (G = 1/2), the rest is absorbed by the leaves; the
  // terrain and the leaves share the incident energy in that proportion.
  {
    EmbreeSceneManager s;
    leaf_slab_tile(s, 1.2f, 0.0f, 0.0f, 0.0f);
    const int64_t photons = 20000;
    const HostFlux f = render_flux_bvh(s, 2, 2, photons, 1, 1.0f, 0, 12, 97);
    const double t = std::exp(-0.5 * 1.2 / 0.8660254), incident = f.media[kFluxIncident][0];
    EXPECT_GT(incident, 0.0);
    const double se = incident * std::sqrt(t * (1 - t) / photons);
    EXPECT_NEAR(f.media[kFluxTerrain][0], incident * t, 4 * se);
    EXPECT_NEAR(f.media[kFluxMedium][0], incident * (1 - t), 4 * se);
    EXPECT_NEAR(f.media[kFluxTerrain][0] + f.media[kFluxMedium][0], incident, 1e-9 * incident);
  }
  // Scattering leaves over a grey ground: the same photons as the CPU run, so every tally agrees
  // up to the order of the double additions and the last bits of a hit.
  EmbreeSceneManager s;
  leaf_slab_tile(s, 1.5f, 0.4f, 0.3f, 0.2f);
  const int64_t photons = 20000;
  const FluxResult cpu =
      render_flux(s, 4, 3, photons, 1, 1.0f, 0, 12, transport::kDefaultRouletteDepth, 2, {}, true);
  const HostFlux dev = render_flux_bvh(s, 4, 3, photons, 1, 1.0f, 0, 12, 333);
  const std::vector<float>* ref[kFluxMediaSlots] = {
      &cpu.grid,    &cpu.grid_direct, &cpu.grid_diffuse, &cpu.leaf,
      &cpu.terrain, &cpu.escaped,     &cpu.incident,     &cpu.medium};
  for (int k = 0; k < kFluxMediaSlots; ++k) {
    ASSERT_EQ(ref[k]->size(), dev.media[k].size()) << k;
    double a = 0.0, b = 0.0;
    for (size_t e = 0; e < dev.media[k].size(); ++e) {
      a += (*ref[k])[e];
      b += dev.media[k][e];
    }
    EXPECT_NEAR(b, a, 1e-3 * std::fabs(a) + 1e-9) << k;
  }
  double down_cpu = 0.0, down_dev = 0.0;
  for (size_t e = 0; e < dev.down.size(); ++e) {
    down_cpu += cpu.downwelling[e];
    down_dev += dev.down[e];
  }
  EXPECT_GT(cpu.medium[0], 0.1 * cpu.incident[0]);
  EXPECT_NEAR(down_dev, down_cpu, 1e-3 * down_cpu);
  // Energy balance: what came in was absorbed, escaped, or ended by the depth limit.
  const double balance = dev.media[kFluxTerrain][0] + dev.media[kFluxMedium][0] +
                         dev.media[kFluxEscaped][0] + dev.removed[0] + dev.roulette[0];
  EXPECT_NEAR(balance, dev.media[kFluxIncident][0], 1e-3 * dev.media[kFluxIncident][0]);
}

TEST(DevicePaths, ForwardCellsClampIntoTheBorderCellsAndLayers) {
  const float h[3] = {0.0f, 1.0f, 4.0f};
  ForwardField f;
  f.nx = 4;
  f.ny = 2;
  f.n_layers = 2;
  f.dx = 2.5f;
  f.dy = 5.0f;
  f.heights = h;
  EXPECT_EQ(f.cell({-3.0f, 1.0f, 0.5f}), 0);                   // x < 0: column 0, layer 0
  EXPECT_EQ(f.cell({12.0f, 9.9f, 0.5f}), 1 * 4 + 3);           // beyond Lx: column nx - 1
  EXPECT_EQ(f.cell({5.0f, 0.0f, -2.0f}), 2);                   // below h[0]: layer 0
  EXPECT_EQ(f.cell({5.0f, 0.0f, 1.0f}), (1 * 2 + 0) * 4 + 2);  // on a boundary: the layer above
  EXPECT_EQ(f.cell({5.0f, 0.0f, 9.0f}), (1 * 2 + 0) * 4 + 2);  // above the top: the top layer
}

TEST(DevicePaths, ForwardFieldOfALambertianGroundIsExact) {
  // Sun at the zenith over a 10 x 10 plane of reflectance 0.3 / 0.6: every photon lands, alpha
  // of it is absorbed, and the estimate toward a view v is rho / pi cos_v E A (nothing above).
  EmbreeSceneManager s;
  s.description().set_num_bands(2);
  s.description().upload_spectral_params({0.3f, 0.6f, 900.0f, 500.0f});
  s.description().add_material(MaterialType::Diffuse, 0, {});
  s.description().set_emitter(EmitterType::Directional, {0, 0, 1}, 2);
  add_quad(s, 10, 10, 0, 0);
  const float c[16] = {1, 0, 0, 5, 0, 1, 0, 5, 0, 0, 1, 5, 0, 0, 0, 1};
  s.description().set_sensor(make_sensor(0, 4, 4, 10, 10, c, 16, 60.0f, 0));
  s.build();
  const std::vector<float> heights{-1.0f, 0.5f, 2.0f};
  const std::vector<float> views{0, 0, 1, 0.6f, 0, 0.8f, 0.3f, 0, -1};
  const int64_t n = 4000;
  const double sun[2] = {900.0, 500.0}, rho[2] = {0.3, 0.6}, area = 100.0;
  for (const int terrain : {-1, 0}) {
    const HostForward f =
        render_forward_bvh(s, 5, 4, heights, n, 2, true, views, 1.0f, 16, terrain, true, 3);
    const std::vector<double>& absorbed =
        terrain < 0 ? f.slots[kForwardGrid] : f.slots[kForwardTerrain];
    for (int b = 0; b < 2; ++b) {
      const double e = sun[b] * area;
      double total = 0.0, upper = 0.0, leaf = 0.0, first = 0.0;
      for (size_t i = b; i < absorbed.size(); i += 2) total += absorbed[i];
      for (size_t i = 40 + b; i < f.slots[kForwardGrid].size(); i += 2) {
        upper += f.slots[kForwardGrid][i];  // the upper layer holds no hit
      }
      for (size_t i = b; i < f.slots[kForwardLeaf].size(); i += 2) leaf += f.slots[kForwardLeaf][i];
      first = f.slots[kForwardLeaf].empty() ? 0.0 : f.slots[kForwardLeaf][b];
      EXPECT_NEAR(total, (1.0 - rho[b]) * e, 1e-6 * e);
      EXPECT_EQ(upper, 0.0);
      EXPECT_NEAR(f.slots[kForwardBrf][b], rho[b] / kPi * e, 1e-5 * e);
      EXPECT_NEAR(f.slots[kForwardBrf][2 + b], rho[b] / kPi * 0.8 * e, 1e-5 * e);
      EXPECT_EQ(f.slots[kForwardBrf][4 + b], 0.0);  // below the horizon
      EXPECT_NEAR(f.slots[kForwardAlbedo][b], rho[b] * e, 1e-5 * e);
      // Conservation: emitted = absorbed + escaped + ended by the cut-offs and roulette.
      EXPECT_NEAR(f.slots[kForwardIncident][b], e, 1e-9 * e);
      EXPECT_NEAR(total + f.slots[kForwardEscaped][b] + f.removed[b] + f.roulette[b], e, 1e-5 * e);
      if (terrain < 0) {
        // Per primitive: both triangles together hold the grid; each about half of it
        // (binomial share, 5 standard deviations).
        EXPECT_NEAR(leaf, total, 1e-9 * total);
        EXPECT_NEAR(first / total, 0.5, 5.0 * std::sqrt(0.25 / static_cast<double>(n)));
      } else {
        EXPECT_EQ(leaf, 0.0);  // terrain hits are not tallied per primitive
      }
    }
    EXPECT_EQ(f.rays[0], static_cast<unsigned long long>(n));
    EXPECT_EQ(f.rays[1], static_cast<unsigned long long>(2 * n));  // two views above the horizon
  }
}

TEST(DevicePaths, ForwardFieldMatchesTheCpuRun) {
  // The same photons through the hierarchy: asymmetric leaves, a periodic tile, sun and sky,
  // terrain, per-primitive tallies and views (one below the horizon).
  EmbreeSceneManager s;
  leafy_tile(s);
  const int64_t photons = 20000;
  const std::vector<float> heights{0.0f, 1.5f, 3.0f, 6.0f};
  const std::vector<float> views{0.2f, 0.1f, 1.0f, 0.0f, -0.6f, 0.8f, 0.5f, 0.0f, -1.0f};
  const ForwardFieldResult cpu = render_forward(s, 6, 5, heights, photons, 2, true, 0.7f, views, 3,
                                                12, transport::kDefaultRouletteDepth, 2, {}, 0);
  const HostForward dev =
      render_forward_bvh(s, 6, 5, heights, photons, 2, true, views, 0.7f, 12, 0, false, 333);
  auto compare = [](const std::vector<float>& ref, const std::vector<double>& got, double rtol) {
    ASSERT_EQ(ref.size(), got.size());
    double sum_ref = 0.0, sum_got = 0.0;
    size_t close = 0;
    for (size_t e = 0; e < ref.size(); ++e) {
      sum_ref += ref[e];
      sum_got += got[e];
      close += std::fabs(ref[e] - got[e]) <= 1e-3 * ref[e] + 1e-9;
    }
    EXPECT_GT(sum_ref, 0.0);
    EXPECT_NEAR(sum_got, sum_ref, rtol * sum_ref);
    EXPECT_GE(close, ref.size() * 9 / 10);
  };
  compare(cpu.grid, dev.slots[kForwardGrid], 1e-3);
  compare(cpu.terrain, dev.slots[kForwardTerrain], 1e-3);
  compare(cpu.leaf, dev.slots[kForwardLeaf], 1e-3);
  compare(cpu.albedo, dev.slots[kForwardAlbedo], 2e-3);
  ASSERT_EQ(cpu.brf.size(), 6u);
  for (int k = 0; k < 2; ++k) {
    for (int b = 0; b < 2; ++b) {
      EXPECT_NEAR(dev.slots[kForwardBrf][2 * k + b], cpu.brf[2 * k + b], 2e-3 * cpu.brf[2 * k + b]);
      EXPECT_GT(cpu.brf[2 * k + b], 0.0f);
    }
  }
  EXPECT_EQ(dev.slots[kForwardBrf][4] + dev.slots[kForwardBrf][5], 0.0);
  EXPECT_NEAR(static_cast<double>(dev.rays[0]), static_cast<double>(cpu.rays.closest),
              1e-3 * static_cast<double>(cpu.rays.closest));
  EXPECT_NEAR(static_cast<double>(dev.rays[1]), static_cast<double>(cpu.rays.shadow),
              1e-3 * static_cast<double>(cpu.rays.shadow));
}

TEST(DevicePaths, LidarReturnOfAPlaneIsTheLidarEquation) {
  // Pulses straight down onto a plane of reflectance 0.4 / 0.7 from 10 units: E A rho / (pi R^2)
  // in direct mode, and the same energy summed over the waveform (the footprint's weights sum
  // to one, its rays are within 5e-4 rad of the axis).
  EmbreeSceneManager s;
  s.description().set_num_bands(2);
  s.description().upload_spectral_params({0.4f, 0.7f});
  s.description().add_material(MaterialType::Diffuse, 0, {});
  add_quad(s, 10, 10, 0, 0);
  s.build();
  const std::vector<float> origins{5, 5, 10, 2, 3, 10, 20, 20, 10};  // the last one misses
  const std::vector<float> directions{0, 0, -1, 0, 0, -2, 0, 0, -1};
  LidarRequest r;
  r.pulse_origins = origins;
  r.pulse_directions = directions;
  r.num_pulses = 3;
  r.pulse_energy = 2.0f;
  r.sensor_area = 0.5f;
  r.num_wavelengths = 2;
  r.range_resolution = 0.3f;
  r.max_range = 30.0f;
  r.keep_raw_waveform = true;
  const double expected = 2.0 * 0.5 * 0.4 / (kPi * 100.0);
  r.direct_mode = true;
  const LidarResult direct = lidar_bvh(s, r);
  ASSERT_EQ(direct.num_returns, 2);
  for (int k = 0; k < 2; ++k) {
    EXPECT_NEAR(direct.points[8 * k + 3], expected, 1e-6 * expected);
    EXPECT_NEAR(direct.points[8 * k + 6], 10.0f, 1e-5f);
    EXPECT_EQ(direct.points[8 * k + 7], static_cast<float>(k));
  }
  r.direct_mode = false;
  const LidarResult wave = lidar_bvh(s, r);
  const LidarResult cpu = simulate_lidar(s, r, 2, {});
  const size_t per_pulse = static_cast<size_t>(wave.num_bins) * 2;
  for (int64_t pulse = 0; pulse < 3; ++pulse) {
    double sum[2] = {0.0, 0.0};
    for (size_t e = 0; e < per_pulse; ++e) sum[e % 2] += wave.raw_waveform[pulse * per_pulse + e];
    const double want = pulse < 2 ? expected : 0.0;
    EXPECT_NEAR(sum[0], want, 1e-5 * expected);
    EXPECT_NEAR(sum[1], want * 0.7 / 0.4, 1e-5 * expected);
  }
  // One return per hit pulse, at the bin centre holding range 10.
  ASSERT_EQ(wave.num_returns, 2);
  EXPECT_NEAR(wave.points[6], (std::floor(10.0f / 0.3f) + 0.5f) * 0.3f, 1e-4f);
  ASSERT_EQ(wave.points.size(), cpu.points.size());
  for (size_t e = 0; e < cpu.points.size(); ++e) {
    EXPECT_NEAR(wave.points[e], cpu.points[e], 1e-5f * std::fabs(cpu.points[e]) + 1e-12f);
  }
  ASSERT_EQ(wave.waveform.size(), cpu.waveform.size());
  for (size_t e = 0; e < cpu.waveform.size(); ++e) {
    EXPECT_NEAR(wave.waveform[e], cpu.waveform[e], 1e-5 * expected);
  }
}

TEST(DevicePaths, LidarMatchesTheCpuRun) {
  // Oblique pulses into the leaves and ground of the periodic tile (seen as placed), leaves hit
  // on both faces, two wavelengths: the same rays through the hierarchy.
  EmbreeSceneManager s;
  leafy_tile(s);
  std::vector<float> origins, directions;
  for (int i = 0; i < 60; ++i) {
    origins.insert(origins.end(), {0.5f + 0.15f * i, 1.0f + 0.1f * (i % 7), 12.0f});
    directions.insert(directions.end(), {0.1f * ((i % 5) - 2), 0.05f * ((i % 3) - 1), -1.0f});
  }
  LidarRequest r;
  r.pulse_origins = origins;
  r.pulse_directions = directions;
  r.num_pulses = 60;
  r.num_wavelengths = 2;
  r.beam_half_angle_rad = 0.02f;
  r.beam_samples_per_dim = 6;
  r.keep_raw_waveform = true;
  r.max_returns_per_pulse = 3;
  for (const bool direct : {true, false}) {
    r.direct_mode = direct;
    const LidarResult cpu = simulate_lidar(s, r, 2, {});
    const LidarResult dev = lidar_bvh(s, r);
    ASSERT_GT(cpu.num_returns, direct ? 50 : 60);
    ASSERT_EQ(dev.num_returns, cpu.num_returns);
    for (size_t e = 0; e < cpu.points.size(); ++e) {
      // Coordinates near 0 (the ground) differ by the rounding of the larger ones.
      EXPECT_NEAR(dev.points[e], cpu.points[e], 1e-4f * std::fabs(cpu.points[e]) + 1e-5f);
    }
    double sum_cpu = 0.0, sum_dev = 0.0;
    for (size_t e = 0; e < cpu.raw_waveform.size(); ++e) {
      sum_cpu += cpu.raw_waveform[e];
      sum_dev += dev.raw_waveform[e];
    }
    EXPECT_NEAR(sum_dev, sum_cpu, 1e-5 * sum_cpu);
  }
}

// A leaf RRT request for samples `pos` with normals `nrm` outside any medium.
struct LeafRequest {
  std::vector<float> pos, nrm, sun, sky;
  std::vector<int32_t> ids, offsets;
  TurbidLeafRRTParams params(int n_bands, int rays, int depth) const {
    TurbidLeafRRTParams p;
    p.positions = pos;
    p.normals = nrm;
    p.medium_ids = ids;
    p.instance_ids = ids;
    p.active_medium_offsets = offsets;
    p.n_bands = n_bands;
    p.rays_per_sample = rays;
    p.max_depth = depth;
    p.sun_irradiance = sun;
    p.sky_diffuse_radiance = sky;
    p.seed = 11;
    p.num_threads = 2;
    return p;
  }
};

TEST(DevicePaths, LeafRrtOverALambertianGroundIsClosedForm) {
  // A leaf 1 above a ground of reflectance 0.3 that fills a periodic tile, sun E = 800 at
  // cos 0.6, sky L = 40. The upper side sees the open sky and the sun: pi L + E cos. With one
  // scattering event the lower side receives exactly what the ground reflects of the sun,
  // rho E cos; with more, the sky reflected by the ground adds rho pi L on average.
  EmbreeSceneManager s;
  s.description().upload_spectral_params({0.3f});
  s.description().add_material(MaterialType::Diffuse, 0, {});
  s.description().set_repetitive(100000, 10.0f, 10.0f);  // every downward ray meets the ground
  add_quad(s, 10, 10, 0, 0);
  s.build();
  const LeafRequest q{{5, 5, 1}, {0, 0, 1}, {800}, {40}, {-1}, {0, 0}};
  TurbidLeafRRTParams p = q.params(1, 4000, 1);
  p.sun_dir = {0.8f, 0.0f, 0.6f};
  const double e_cos = 800.0 * 0.6, sky = kPi * 40.0;
  for (const TurbidLeafRRTResult& r : {leaf_rrt_bvh(s, p), run_turbid_leaf_rrt_cpu(s, p)}) {
    EXPECT_NEAR(r.total_top[0], sky + e_cos, 1e-5 * (sky + e_cos));
    EXPECT_NEAR(r.direct_top[0], e_cos, 1e-5 * e_cos);
    EXPECT_EQ(r.p_sun[0], 1.0f);
    EXPECT_NEAR(r.total_bottom[0], 0.3 * e_cos, 1e-5 * e_cos);
  }
  p.max_depth = 8;
  const TurbidLeafRRTResult r = leaf_rrt_bvh(s, p);
  // The reflected sky: pi L times a Bernoulli(rho) per ray (the walk continues with weight 1).
  const double sd = sky * std::sqrt(0.3 * 0.7 / 4000.0);
  EXPECT_NEAR(r.total_bottom[0], 0.3 * e_cos + 0.3 * sky, 5.0 * sd);
}

TEST(DevicePaths, LeafRrtMatchesTheCpuRun) {
  // Samples between asymmetric leaves and over the ground of the periodic tile, random
  // normals, two bands, shortwave and thermal: the same streams and walks through the hierarchy.
  EmbreeSceneManager s;
  leafy_tile(s);
  LeafRequest q{{}, {}, {900, 500}, {30, 60}, {}, {0}};
  for (int i = 0; i < 120; ++i) {
    const float a = 0.37f * static_cast<float>(i);
    q.pos.insert(q.pos.end(), {0.08f * i, 5.0f + 4.5f * std::sin(a), 0.3f + 0.035f * i});
    q.nrm.insert(q.nrm.end(), {std::cos(3 * a), std::sin(2 * a), std::cos(a)});
    q.ids.push_back(-1);
    q.offsets.push_back(0);
  }
  TurbidLeafRRTParams p = q.params(2, 16, 6);
  p.sun_dir = {0.5f, 0.2f, 0.8f};
  std::vector<float> lw(s.num_instances(), 350.0f);
  for (const bool thermal : {false, true}) {
    p.thermal_mode = thermal;
    p.instance_lw_radiance = thermal ? std::span<const float>(lw) : std::span<const float>();
    const TurbidLeafRRTResult cpu = run_turbid_leaf_rrt_cpu(s, p);
    const TurbidLeafRRTResult dev = leaf_rrt_bvh(s, p);
    for (const auto& [ref, got] :
         {std::pair{&cpu.total_top, &dev.total_top},
          std::pair{&cpu.total_bottom, &dev.total_bottom}, std::pair{&cpu.p_sun, &dev.p_sun}}) {
      double sum_ref = 0.0, sum_got = 0.0;
      size_t same = 0;
      for (size_t e = 0; e < ref->size(); ++e) {
        sum_ref += (*ref)[e];
        sum_got += (*got)[e];
        same += std::fabs((*ref)[e] - (*got)[e]) <= 1e-4f * std::fabs((*ref)[e]) + 1e-6f;
      }
      EXPECT_GT(sum_ref, 0.0);
      EXPECT_NEAR(sum_got, sum_ref, 2e-3 * sum_ref);
      EXPECT_GE(same, ref->size() * 95 / 100);
    }
    EXPECT_NEAR(static_cast<double>(dev.rays), static_cast<double>(cpu.rays), 1e-2 * cpu.rays);
  }
}

}  // namespace
}  // namespace tesk::embree
