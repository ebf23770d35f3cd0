#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/host/mesh_generators.h"
#include "core/trace_batch.h"
#include "cuda/context.h"
#include "cuda/scene_manager.h"
#include "cuda/simulator.h"
#include "embree/bvh_export.h"
#include "tests/cpp/device_host_runs.h"

namespace tesk::cuda {
namespace {

// A ground plane and instanced spheres (shading normals) with rotated, scaled placements.
template <typename Scene>
void make_scene(Scene& s) {
  const GeneratedMesh ground = make_ground_plane(10.0f, 10.0f, 1.5f);
  const GeneratedMesh ball = make_sphere(1.0f, {0.0f, 0.0f, 0.0f}, 2);
  const int g = s.add_mesh(ground.vertices, ground.normals, ground.indices, 0);
  const int b = s.add_mesh(ball.vertices, ball.normals, ball.indices, 1);
  s.add_instance(g, 0.0f, 0.0f, 0.0f, 1.0f);
  std::mt19937 rng(4);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  for (int i = 0; i < 30; ++i) {
    const float c = std::cos(6.0f * u(rng)), sn = std::sin(6.0f * u(rng));
    const float sx = 0.5f + u(rng), sz = 1.0f + 2.0f * u(rng);
    const float m[12] = {c * sx,  -sn,  0.0f, -9.0f + 18.0f * u(rng),
                         sn * sx, c,    0.0f, -9.0f + 18.0f * u(rng),
                         0.0f,    0.0f, sz,   sz + 0.2f * u(rng)};
    s.add_instance(b, m);
  }
}

struct Batch {
  std::vector<float> origins, directions;
  int64_t count = 0;
};

Batch random_batch(int n) {
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  Batch b;
  for (int i = 0; i < n; ++i) {
    const float o[3] = {11.0f * u(rng), 11.0f * u(rng), 2.0f + 3.0f * u(rng)};
    const float d[3] = {u(rng), u(rng), u(rng) - 0.3f};
    b.origins.insert(b.origins.end(), o, o + 3);
    b.directions.insert(b.directions.end(), d, d + 3);
  }
  b.count = n;
  return b;
}

// The kernel bodies, run as host code over the host copy of the hierarchy, give the CPU scene
// manager's batch results: the device only adds the thread-to-item mapping.
TEST(CudaKernelBodies, TraceBatchItemsOnTheHostMatchTheCpuBatch) {
  embree::EmbreeSceneManager s;
  make_scene(s);
  s.build();
  const bvh::BvhScene bvh = embree::build_bvh_scene(s);
  const Batch b = random_batch(20000);
  std::vector<bvh::TraceResult> results(b.count);
  std::vector<int32_t> blocked(b.count);
  bvh::TraceBatchParams p;
  p.scene = bvh.view();
  p.origins = b.origins.data();
  p.directions = b.directions.data();
  p.results = results.data();
  p.occluded = blocked.data();
  p.count = b.count;
  p.t_max = 8.0f;
  for (int64_t i = 0; i < b.count; ++i) {
    bvh::trace_closest_item(p, i);
    bvh::trace_occluded_item(p, i);
  }
  std::vector<embree::HitRecord> cpu(b.count);
  std::vector<backend::Ray> rays(b.count);
  for (int64_t i = 0; i < b.count; ++i) {
    rays[i].origin = {b.origins[3 * i], b.origins[3 * i + 1], b.origins[3 * i + 2]};
    rays[i].direction = {b.directions[3 * i], b.directions[3 * i + 1], b.directions[3 * i + 2]};
    rays[i].t_min = p.t_min;
    rays[i].t_max = p.t_max;
  }
  s.trace_closest(rays, cpu, 2);
  int hits = 0, same_primitive = 0;
  for (int64_t i = 0; i < b.count; ++i) {
    ASSERT_EQ(cpu[i].hit, results[i].hit != 0) << "ray " << i;
    // Occlusion over the same interval agrees with the closest hit.
    ASSERT_EQ(blocked[i], results[i].hit) << "ray " << i;
    if (!cpu[i].hit) {
      EXPECT_EQ(results[i].t, p.t_max);
      continue;
    }
    ++hits;
    EXPECT_NEAR(cpu[i].t, results[i].t, 1e-4f * std::fmax(1.0f, cpu[i].t));
    if (cpu[i].global_primitive_id != results[i].global_primitive_id) continue;
    ++same_primitive;
    EXPECT_EQ(cpu[i].instance_id, results[i].instance_id);
    EXPECT_EQ(cpu[i].material_id, results[i].material_id);
    EXPECT_LT(length(cpu[i].normal - results[i].normal), 1e-3f);
  }
  EXPECT_GT(hits, 5000);
  EXPECT_GE(same_primitive, hits - 2);  // only ties on shared edges may differ
}

// Without a CUDA driver or device every entry point refuses with the driver's reason.
std::string no_device_reason() {
  try {
    CudaContext context(0);
    return "";
  } catch (const std::runtime_error& e) {
    return e.what();
  }
}

TEST(CudaContext, RefusesWithTheDriversReasonWhenNoDeviceIsPresent) {
  const std::string reason = no_device_reason();
  if (reason.empty()) GTEST_SKIP() << "a CUDA device is present";
  EXPECT_EQ(reason.rfind("Failed to set CUDA device: ", 0), 0u) << reason;
  EXPECT_THROW(device_info(0), std::runtime_error);
}

TEST(CudaKernelBodies, ScenesBeyondTheDevicePathsAreRefusedWithoutFallback) {
  embree::EmbreeSceneManager s;
  s.description().set_num_bands(33);
  make_scene(s);
  s.build();
  const embree::TransportContext wide = embree::make_transport_context(s, 0, 4, 3);
  const auto message = [](const embree::TransportContext& c, int bands, int order) {
    try {
      check_device_scene(c, "simulate", bands, order);
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  const std::string limits =
      "simulate: the CUDA paths carry at most 32 bands and max_output_order 14. No fallback was "
      "performed.";
  EXPECT_EQ(message(wide, kMaxDeviceBands, 0), limits);
  const embree::TransportContext narrow = embree::make_transport_context(s, 32, 4, 3);
  EXPECT_EQ(message(narrow, kMaxDeviceBands, 14), "");
  EXPECT_EQ(message(narrow, kMaxDeviceBands, 15), limits);
  embree::TransportContext media = narrow;
  media.media.n_media = 1;
  EXPECT_EQ(message(media, kMaxDeviceBands, 0),
            "simulate: the CUDA backend of this build has no device program for optical turbid "
            "media. No fallback was performed.");
  // The flux run has a device program for media.
  check_device_scene(media, "simulate_flux", kMaxDeviceBands, 0, true);
}

TEST(CudaDevice, DeviceBatchesMatchTheHostKernelBodies) {
  const std::string reason = no_device_reason();
  if (!reason.empty()) GTEST_SKIP() << "no CUDA device: " << reason;
  CudaContext context(0);
  CudaSceneManager scene(context);
  make_scene(scene);
  scene.build();
  CudaSimulator sim(context, TESK_PTX_DIR);
  const Batch b = random_batch(50000);
  std::vector<bvh::TraceResult> device(b.count);
  std::vector<int32_t> blocked(b.count);
  sim.trace_closest(scene, b.origins.data(), b.directions.data(), b.count, 1e-4f, 8.0f,
                    device.data());
  sim.trace_occluded(scene, b.origins.data(), b.directions.data(), b.count, 1e-4f, 8.0f,
                     blocked.data());
  const bvh::BvhSceneView host = scene.host_bvh().view();
  for (int64_t i = 0; i < b.count; ++i) {
    const float3 o{b.origins[3 * i], b.origins[3 * i + 1], b.origins[3 * i + 2]};
    const float3 d{b.directions[3 * i], b.directions[3 * i + 1], b.directions[3 * i + 2]};
    const bvh::TraceResult h = bvh::trace_closest_ray(host, o, d, 1e-4f, 8.0f);
    ASSERT_EQ(h.hit, device[i].hit) << "ray " << i;
    ASSERT_EQ(h.hit, blocked[i]) << "ray " << i;
    if (!h.hit) continue;
    // Same code, but the device may contract multiply-adds: t agrees to float rounding.
    EXPECT_NEAR(h.t, device[i].t, 1e-4f * std::fmax(1.0f, h.t));
  }
  // A moved instance reaches the device with refit_ias.
  const float moved[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 5};
  scene.update_instance_transform(1, moved);
  scene.refit_ias();
  const float o[3] = {0.0f, 0.0f, 20.0f}, dir[3] = {0.0f, 0.0f, -1.0f};
  bvh::TraceResult top;
  sim.trace_closest(scene, o, dir, 1, 0.0f, 100.0f, &top);
  EXPECT_EQ(top.instance_id, 1);
  EXPECT_NEAR(top.t, 14.0f, 1e-4f);
}

TEST(CudaDevice, BackwardImageMatchesTheHostKernelBodies) {
  const std::string reason = no_device_reason();
  if (!reason.empty()) GTEST_SKIP() << "no CUDA device: " << reason;
  CudaContext context(0);
  CudaSceneManager scene(context);
  SceneDescription& d = scene.description();
  d.set_num_bands(2);
  d.upload_spectral_params({0.3f, 0.5f, 0.1f, 0.2f, 0.4f, 0.3f, 900.0f, 500.0f, 30.0f, 60.0f});
  d.add_material(MaterialType::Diffuse, 0, {});
  d.add_material(MaterialType::DiffuseTransmitting, 0, {});
  d.set_emitter(EmitterType::Directional, normalize(float3{0.3f, 0.1f, 0.9f}), 6);
  d.set_sky(8);
  make_scene(scene);
  const float c[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 12, 0, 0, 0, 1};
  d.set_sensor(make_sensor(0, 40, 30, 20, 15, c, 16, 60.0f, 0));
  scene.build();
  const backend::OpticalProductRequest all{true, true, true, 1};
  CudaSimulator sim(context, TESK_PTX_DIR);
  // 70 passes: two per fold block.
  const embree::OpticalImageResult device = sim.simulate(scene, 70, 5, {}, all);
  const embree::OpticalImageResult host = embree::render_bvh(scene, 70, 5, all);
  ASSERT_EQ(device.radiance.size(), host.radiance.size());
  size_t close = 0;
  for (size_t e = 0; e < host.radiance.size(); ++e) {
    close += std::fabs(device.radiance[e] - host.radiance[e]) <= 1e-4f * host.radiance[e];
  }
  EXPECT_GE(close, host.radiance.size() * 99 / 100);
  EXPECT_EQ(device.execution.executor, kBackwardExecutor);
}

TEST(CudaDevice, EnergyBalanceMatchesTheHostKernelBodies) {
  const std::string reason = no_device_reason();
  if (!reason.empty()) GTEST_SKIP() << "no CUDA device: " << reason;
  CudaContext context(0);
  CudaSceneManager scene(context);
  SceneDescription& d = scene.description();
  d.set_num_bands(2);
  d.upload_spectral_params({0.3f, 0.5f, 0.1f, 0.2f, 0.4f, 0.3f, 900.0f, 500.0f, 30.0f, 60.0f});
  d.add_material(MaterialType::Diffuse, 0, {});
  d.add_material(MaterialType::DiffuseTransmitting, 0, {});
  d.set_emitter(EmitterType::Directional, normalize(float3{0.3f, 0.1f, 0.9f}), 6);
  d.set_sky(8);
  make_scene(scene);
  scene.build();
  CudaSimulator sim(context, TESK_PTX_DIR);
  const auto n = static_cast<size_t>(scene.n_primitives());
  std::vector<float> optics(2 * n);
  for (size_t i = 0; i < optics.size(); ++i) optics[i] = 0.1f + 0.3f * static_cast<float>(i % 3);
  const std::vector<float> sun{800.0f, 400.0f};
  const float3 s = normalize(float3{0.3f, 0.1f, 0.9f});
  const embree::EnergyBalanceMultibandResult device = sim.run_energy_balance_multiband(
      scene, 2, 16, 5, sun, {}, {}, s, true, {}, optics, {}, optics, {});
  const embree::HostEnergyBalance host = embree::energy_balance_bvh(
      scene, embree::energy_balance_multiband_params(scene, 2, 16, 5, sun, {}, {}, s, true, {},
                                                     optics, {}, optics));
  ASSERT_EQ(device.top.size(), host.top.size());
  size_t same = 0;
  for (size_t e = 0; e < host.top.size(); ++e) {
    same += std::fabs(device.top[e] - host.top[e]) <= 1e-4f * host.top[e] + 1e-6f;
    same += std::fabs(device.bot[e] - host.bot[e]) <= 1e-4f * host.bot[e] + 1e-6f;
  }
  EXPECT_GE(same, 2 * host.top.size() * 98 / 100);
  EXPECT_EQ(device.execution.executor, kEnergyBalanceMultibandExecutor);
}

TEST(CudaDevice, FluxMatchesTheHostKernelBodies) {
  const std::string reason = no_device_reason();
  if (!reason.empty()) GTEST_SKIP() << "no CUDA device: " << reason;
  CudaContext context(0);
  CudaSceneManager scene(context);
  SceneDescription& d = scene.description();
  d.set_num_bands(2);
  d.upload_spectral_params({0.3f, 0.5f, 0.1f, 0.2f, 0.4f, 0.3f, 900.0f, 500.0f, 30.0f, 60.0f});
  d.add_material(MaterialType::Diffuse, 0, {});
  d.add_material(MaterialType::DiffuseTransmitting, 0, {});
  d.set_emitter(EmitterType::Directional, normalize(float3{0.3f, 0.1f, 0.9f}), 6);
  d.set_sky(8);
  make_scene(scene);
  const float c[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 12, 0, 0, 0, 1};
  d.set_sensor(make_sensor(0, 4, 4, 20, 20, c, 16, 60.0f, 0));
  scene.build();
  CudaSimulator sim(context, TESK_PTX_DIR);
  const int64_t photons = 300000;
  const embree::FluxResult device =
      sim.simulate_flux(scene, 8, 8, photons, 2, 0.7f, 0, 12, 3, {}, true);
  const embree::HostFlux host = embree::render_flux_bvh(scene, 8, 8, photons, 2, 0.7f, 0, 12, 1000);
  ASSERT_EQ(device.downwelling.size(), host.down.size());
  for (size_t e = 0; e < host.down.size(); ++e) {
    EXPECT_NEAR(device.downwelling[e], host.down[e], 3e-3 * host.down[e] + 1e-6) << e;
    EXPECT_NEAR(device.upwelling[e], host.up[e], 3e-3 * host.up[e] + 1e-6) << e;
  }
  EXPECT_EQ(device.execution.executor, kFluxExecutor);
}

TEST(CudaDevice, FluxThroughLeafMediaMatchesTheHostKernelBody) {
  const std::string reason = no_device_reason();
  if (!reason.empty()) GTEST_SKIP() << "no CUDA device: " << reason;
  CudaContext context(0);
  CudaSceneManager scene(context);
  embree::leaf_slab_tile(scene, 1.5f, 0.4f, 0.3f, 0.2f);
  CudaSimulator sim(context, TESK_PTX_DIR);
  const int64_t photons = 200000;
  const embree::FluxResult device =
      sim.simulate_flux(scene, 4, 3, photons, 1, 1.0f, 0, 12, 3, {}, true);
  const embree::HostFlux host = embree::render_flux_bvh(scene, 4, 3, photons, 1, 1.0f, 0, 12, 1000);
  const std::vector<float>* got[kFluxMediaSlots] = {
      &device.grid,    &device.grid_direct, &device.grid_diffuse, &device.leaf,
      &device.terrain, &device.escaped,     &device.incident,     &device.medium};
  for (int k = 0; k < kFluxMediaSlots; ++k) {
    ASSERT_EQ(got[k]->size(), host.media[k].size()) << k;
    for (size_t e = 0; e < host.media[k].size(); ++e) {
      EXPECT_NEAR((*got[k])[e], host.media[k][e], 3e-3 * host.media[k][e] + 1e-6) << k << " " << e;
    }
  }
  for (size_t e = 0; e < host.down.size(); ++e) {
    EXPECT_NEAR(device.downwelling[e], host.down[e], 3e-3 * host.down[e] + 1e-6) << e;
  }
}

// The scene of FluxMatchesTheHostKernelBodies: ground and leaves under an oblique sun and a sky.
void lit_scene(CudaSceneManager& scene) {
  SceneDescription& d = scene.description();
  d.set_num_bands(2);
  d.upload_spectral_params({0.3f, 0.5f, 0.1f, 0.2f, 0.4f, 0.3f, 900.0f, 500.0f, 30.0f, 60.0f});
  d.add_material(MaterialType::Diffuse, 0, {});
  d.add_material(MaterialType::DiffuseTransmitting, 0, {});
  d.set_emitter(EmitterType::Directional, normalize(float3{0.3f, 0.1f, 0.9f}), 6);
  d.set_sky(8);
  make_scene(scene);
  const float c[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 12, 0, 0, 0, 1};
  d.set_sensor(make_sensor(0, 4, 4, 20, 20, c, 16, 60.0f, 0));
  scene.build();
}

TEST(CudaDevice, ForwardFieldMatchesTheHostKernelBodies) {
  const std::string reason = no_device_reason();
  if (!reason.empty()) GTEST_SKIP() << "no CUDA device: " << reason;
  CudaContext context(0);
  CudaSceneManager scene(context);
  lit_scene(scene);
  CudaSimulator sim(context, TESK_PTX_DIR);
  const int64_t photons = 300000;
  const std::vector<float> heights{0.0f, 1.0f, 2.0f, 4.0f, 8.0f};
  const std::vector<float> views{0.0f, 0.0f, 1.0f, 0.5f, 0.2f, 0.8f};
  const embree::ForwardFieldResult device = sim.simulate_forward(
      scene, 8, 8, heights, photons, 2, true, views, 2, 0.7f, 12, 3, 0, true, true, {});
  const embree::HostForward host = embree::render_forward_bvh(scene, 8, 8, heights, photons, 2,
                                                              true, views, 0.7f, 12, 0, true, 1000);
  ASSERT_EQ(device.grid.size(), host.slots[kForwardGrid].size());
  for (size_t e = 0; e < device.grid.size(); ++e) {
    EXPECT_NEAR(device.grid[e], host.slots[kForwardGrid][e],
                3e-3 * host.slots[kForwardGrid][e] + 1e-6)
        << e;
  }
  for (size_t e = 0; e < device.brf.size(); ++e) {
    EXPECT_NEAR(device.brf[e], host.slots[kForwardBrf][e], 3e-3 * host.slots[kForwardBrf][e]);
  }
  for (int b = 0; b < 2; ++b) {
    EXPECT_NEAR(device.incident[b], host.slots[kForwardIncident][b],
                1e-5 * host.slots[kForwardIncident][b]);
  }
  EXPECT_EQ(device.execution.executor, kForwardBrfExecutor);
}

TEST(CudaDevice, LidarAndLeafRrtMatchTheHostKernelBodies) {
  const std::string reason = no_device_reason();
  if (!reason.empty()) GTEST_SKIP() << "no CUDA device: " << reason;
  CudaContext context(0);
  CudaSceneManager scene(context);
  lit_scene(scene);
  CudaSimulator sim(context, TESK_PTX_DIR);
  const Batch b = random_batch(2000);
  std::vector<float> down(b.directions);
  for (size_t i = 2; i < down.size(); i += 3) down[i] = -std::fabs(down[i]) - 0.5f;
  embree::LidarRequest r;
  r.pulse_origins = b.origins;
  r.pulse_directions = down;
  r.num_pulses = b.count;
  r.num_wavelengths = 2;
  r.beam_half_angle_rad = 0.01f;
  r.keep_raw_waveform = true;
  for (const bool direct : {true, false}) {
    r.direct_mode = direct;
    const embree::LidarResult device = sim.simulate_lidar(scene, r, {});
    const embree::LidarResult host = embree::lidar_bvh(scene, r);
    EXPECT_NEAR(static_cast<double>(device.num_returns), static_cast<double>(host.num_returns),
                0.002 * static_cast<double>(host.num_returns) + 1.0);
    double sum_device = 0.0, sum_host = 0.0;
    for (size_t e = 0; e < host.raw_waveform.size(); ++e) {
      sum_device += device.raw_waveform[e];
      sum_host += host.raw_waveform[e];
    }
    EXPECT_NEAR(sum_device, sum_host, 1e-4 * sum_host);
  }
  const int n = 500;
  std::vector<float> positions(b.origins.begin(), b.origins.begin() + 3 * n);
  std::vector<float> normals(b.directions.begin(), b.directions.begin() + 3 * n);
  std::vector<int32_t> ids(n, -1), offsets(n + 1, 0);
  const std::vector<float> sun{900.0f, 500.0f}, sky{30.0f, 60.0f};
  embree::TurbidLeafRRTParams p;
  p.positions = positions;
  p.normals = normals;
  p.medium_ids = ids;
  p.instance_ids = ids;
  p.active_medium_offsets = offsets;
  p.n_bands = 2;
  p.rays_per_sample = 32;
  p.max_depth = 6;
  p.sun_irradiance = sun;
  p.sky_diffuse_radiance = sky;
  p.sun_dir = {0.3f, 0.1f, 0.9f};
  const embree::TurbidLeafRRTResult device = sim.run_turbid_leaf_rrt(scene, p, {});
  const embree::TurbidLeafRRTResult host = embree::leaf_rrt_bvh(scene, p);
  size_t same = 0;
  for (size_t e = 0; e < host.total_top.size(); ++e) {
    same += std::fabs(device.total_top[e] - host.total_top[e]) <= 1e-4f * host.total_top[e] + 1e-5f;
  }
  EXPECT_GE(same, host.total_top.size() * 97 / 100);
  EXPECT_EQ(device.execution.executor, kLeafRrtExecutor);
}

TEST(CudaDevice, MicrowaveImagesMatchTheHostKernelBodies) {
  const std::string reason = no_device_reason();
  if (!reason.empty()) GTEST_SKIP() << "no CUDA device: " << reason;
  CudaContext context(0);
  CudaSceneManager scene(context);
  scene.description().add_material(MaterialType::Diffuse, 0, {});
  scene.description().add_material(MaterialType::Diffuse, 0, {});
  make_scene(scene);
  // 40 degrees off nadir, so that lines of sight mirror between the spheres and the ground.
  const float st = std::sin(0.7f), ct = std::cos(0.7f);
  const float c[16] = {1, 0, 0, 0, 0, ct, -st, -10, 0, st, ct, 12, 0, 0, 0, 1};
  scene.description().set_sensor(make_sensor(0, 24, 16, 20, 14, c, 16, 60.0f, 0));
  scene.build();
  CudaSimulator sim(context, TESK_PTX_DIR);
  const std::vector<float> soil = {0.3f, 0.2f,   0.25f,  0.3f, 2.0f,  1.0f,
                                   0.1f, 295.0f, 290.0f, 0.0f, 0.01f, 0.0f};
  const std::vector<float> veg = {0.3f, 0.2f, 300.0f};
  // Isotropic phase tables (C = A = 4): the spheres scatter.
  std::vector<float> mueller(4 * 4 * 4 * 16, 0.0f);
  for (size_t e = 0; e < mueller.size(); e += 16) mueller[e] = mueller[e + 5] = 1.0f;
  const std::vector<int32_t> map = {1, 0, 2, 0};
  for (const bool active : {false, true}) {
    microwave::MicrowaveTableRequest r;
    r.active = active;
    r.air_temperature = 260.0f;
    r.atmosphere_tau = 0.05f;
    r.soil = microwave::FloatArray{soil.data(), {12}};
    r.vegetation = microwave::FloatArray{veg.data(), {1, 3}};
    r.material_map = map.data();
    r.n_map = 2;
    r.vegetation_mueller = microwave::FloatArray{mueller.data(), {mueller.size()}};
    r.lut_cosines = 4;
    r.lut_azimuths = 4;
    const microwave::MicrowaveTableSet t = microwave::build_microwave_tables(r);
    const int channels = active ? 4 : 2;
    const std::vector<float> device = sim.simulate_microwave(scene, t, 8, channels, {});
    const std::vector<float> host = embree::render_microwave_bvh(scene, t.view(), 8, channels);
    ASSERT_EQ(device.size(), host.size());
    // Same streams and rules: pixels differ only where a hit differs in its last bits.
    size_t same = 0;
    double sum_device = 0.0, sum_host = 0.0;
    for (size_t e = 0; e < host.size(); ++e) {
      same += std::fabs(device[e] - host[e]) <= 1e-4f * std::fabs(host[e]) + 1e-6f;
      sum_device += device[e];
      sum_host += host[e];
    }
    EXPECT_GE(same, host.size() * 97 / 100) << (active ? "active" : "passive");
    EXPECT_NEAR(sum_device, sum_host, 5e-3 * std::fabs(sum_host));
  }
}

TEST(CudaDevice, MissingPtxFailsWithTheModuleMessage) {
  const std::string reason = no_device_reason();
  if (!reason.empty()) GTEST_SKIP() << "no CUDA device: " << reason;
  CudaContext context(0);
  CudaSimulator sim(context, "/nonexistent");
  try {
    sim.init();
    FAIL() << "init() accepted a missing PTX file";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Module create failed: tesk_kernels.ptx");
  }
}

}  // namespace
}  // namespace tesk::cuda
