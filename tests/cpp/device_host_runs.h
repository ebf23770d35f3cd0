#pragma once

// The device workflows run on the host: the kernels' work items over the host copy of the device
// hierarchy, launched as the CUDA simulator launches them. Shared by the host tests of the
// device paths and the device tests that compare against them.

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "core/backward_image.h"
#include "core/energy_balance_path.h"
#include "core/flux_grid.h"
#include "core/forward_field.h"
#include "core/leaf_rrt_path.h"
#include "core/lidar_pulse.h"
#include "core/microwave_path.h"
#include "embree/backward_integrator.h"
#include "embree/bvh_export.h"
#include "embree/energy_balance.h"
#include "embree/lidar.h"
#include "embree/photon_path.h"
#include "embree/render_flux.h"
#include "embree/render_forward.h"
#include "embree/transport_context.h"
#include "embree/turbid_leaf_rrt.h"

namespace tesk::embree {

// The device microwave image on the host: the kernel's pixel items over the host copy of the
// hierarchy, [height][width][n_channels] values.
inline std::vector<float> render_microwave_bvh(const EmbreeSceneManager& s,
                                               const microwave::MicrowaveTables& tables, int spp,
                                               int n_channels) {
  const bvh::BvhScene hierarchy = build_bvh_scene(s);
  const SensorData& sensor = s.description().sensor();
  std::vector<float> image(static_cast<size_t>(sensor.width) * sensor.height * n_channels);
  microwave::MicrowaveImageParams p;
  p.tables = tables;
  p.sensor = sensor;
  p.width = sensor.width;
  p.height = sensor.height;
  p.spp = spp;
  p.n_channels = n_channels;
  p.image = image.data();
  const bvh::BvhTracer tracer{hierarchy.view()};
  for (int64_t i = 0; i < static_cast<int64_t>(sensor.width) * sensor.height; ++i) {
    microwave::microwave_pixel(p, tracer, i);
  }
  return image;
}

// What the CUDA simulator does, with the kernel's work items run in a loop on the host: one
// "launch" per fold block, block sums zeroed before each.
inline OpticalImageResult render_bvh(const EmbreeSceneManager& s, int spp, int max_depth,
                                     const backend::OpticalProductRequest& request) {
  const bvh::BvhScene hierarchy = build_bvh_scene(s);
  const TransportContext ctx =
      make_transport_context(s, 0, max_depth, transport::kDefaultRouletteDepth);
  const SensorData& sensor = s.description().sensor();
  BackwardImageParams p;
  p.ctx = ctx;
  p.scene = hierarchy.view();
  p.sensor = sensor;
  p.width = sensor.width;
  p.height = sensor.height;
  p.order_slots = request.scattering_order ? request.max_output_order + 2 : 0;
  p.want_squares = request.standard_error;
  p.want_events = request.event_aov;
  const size_t n = static_cast<size_t>(sensor.width) * sensor.height * ctx.n_bands;
  p.n_elements = static_cast<int64_t>(n);
  std::vector<double> total[4], block[4];
  const size_t sizes[4] = {n, request.standard_error ? n : 0, request.event_aov ? 4 * n : 0,
                           p.order_slots * n};
  for (int j = 0; j < 4; ++j) total[j].assign(sizes[j], 0.0);
  p.radiance = total[0].data();
  p.squares = total[1].data();
  p.events = total[2].data();
  p.orders = total[3].data();
  const int block_size = pass_block_size(spp);
  for (int begin = 0; begin < spp; begin += block_size) {
    for (int j = 0; j < 4; ++j) block[j].assign(sizes[j], 0.0);
    p.block_radiance = block[0].data();
    p.block_squares = block[1].data();
    p.block_events = block[2].data();
    p.block_orders = block[3].data();
    p.pass_begin = begin;
    p.pass_end = std::min(begin + block_size, spp);
    for (int64_t i = 0; i < static_cast<int64_t>(sensor.width) * sensor.height; ++i) {
      backward_pixel_item(p, i);
    }
  }
  OpticalImageResult r;
  r.width = sensor.width;
  r.height = sensor.height;
  r.n_bands = ctx.n_bands;
  r.order_slots = p.order_slots;
  image_means(spp, request, total[0], total[1], total[2], total[3], r);
  return r;
}

// A periodic 4 x 4 tile: a grey ground (instance 0) under a slab of spherical leaves of leaf
// area index `lai` between z = 0.5 and 1.5, sun at 30 degrees from the zenith, photons
// starting above the slab.
inline void leaf_slab_tile(EmbreeSceneManager& s, float lai, float rho, float tau, float ground) {
  s.description().set_num_bands(1);
  s.description().upload_spectral_params({ground, rho, rho, tau, 1000.0f});
  s.description().add_material(MaterialType::Diffuse, 0, {});
  s.description().add_material(MaterialType::DiffuseTransmitting, 1, {rho, tau});
  s.add_instance(
      s.add_mesh({{0, 0, 0}, {4, 0, 0}, {4, 4, 0}, {0, 4, 0}}, {}, {{0, 1, 2}, {0, 2, 3}}, 0), 0, 0,
      0, 1);
  std::vector<float3> v;
  for (int i = 0; i < 8; ++i) {
    v.push_back({(i & 1) ? 4.0f : 0.0f, (i & 2) ? 4.0f : 0.0f, (i & 4) ? 1.5f : 0.5f});
  }
  s.add_instance(s.add_mesh(v, {},
                            {{0, 2, 1},
                             {1, 2, 3},
                             {4, 5, 6},
                             {5, 7, 6},
                             {0, 1, 4},
                             {1, 5, 4},
                             {2, 6, 3},
                             {3, 6, 7},
                             {0, 4, 2},
                             {2, 4, 6},
                             {1, 3, 5},
                             {3, 7, 5}},
                            1),
                 0, 0, 0, 1);
  s.set_optical_turbid_media({lai}, {0}, {1}, {0.0f}, {-1, 0});
  s.description().set_emitter(EmitterType::Directional, {0.5f, 0.0f, 0.8660254f}, 4);
  s.description().set_repetitive(200, 4, 4);
  s.description().set_measurement_plane(1.6f);  // photons start above the slab
  s.build();
}

// The device flux run with `threads` threads over all photons, on the host. Returns the
// downwelling and upwelling sums (double) in `down` and `up`, and the removed and roulette
// energy per band; in a scene with media also the absorption slots (per FluxMediaSlot).
struct HostFlux {
  std::vector<double> down, up, direct, diffuse, removed, roulette;
  unsigned long long rays = 0;
  std::array<std::vector<double>, kFluxMediaSlots> media;
};
inline HostFlux render_flux_bvh(const EmbreeSceneManager& s, int nx, int ny, int64_t photons,
                                int nb, float prob_sun, int max_bounces, int max_depth,
                                int64_t threads) {
  const bvh::BvhScene hierarchy = build_bvh_scene(s);
  photon::PhotonContext ctx =
      photon::make_photon_context(s, nb, prob_sun, max_depth, transport::kDefaultRouletteDepth);
  float lx = 0.0f, ly = 0.0f;
  photon::grid_extent(s, lx, ly);
  ctx.extent_x = lx;
  ctx.extent_y = ly;
  ctx.power = static_cast<double>(lx) * ly / static_cast<double>(photons);
  const size_t cells = static_cast<size_t>(nx) * ny * nb;
  HostFlux out{std::vector<double>(cells),
               std::vector<double>(cells),
               std::vector<double>(cells),
               std::vector<double>(cells),
               std::vector<double>(nb),
               std::vector<double>(nb),
               0,
               {}};
  FluxLaunchParams p;
  p.ctx = ctx;
  p.source = photon::photon_source(ctx);
  p.scene = hierarchy.view();
  p.grid = FluxGrid{nx, ny, lx, ly, max_bounces, true};
  p.photon_begin = 0;
  p.photon_end = photons;
  p.n_threads = threads;
  p.slots[kFluxDown] = out.down.data();
  p.slots[kFluxUp] = out.up.data();
  p.slots[kFluxDownDirect] = out.direct.data();
  p.slots[kFluxDownDiffuse] = out.diffuse.data();
  p.removed = out.removed.data();
  p.roulette = out.roulette.data();
  p.rays = &out.rays;
  const std::vector<int> offsets = s.instance_primitive_offsets();
  if (ctx.has_media()) {
    FluxMediaParams& m = p.media;
    m.media = ctx.media;
    m.bounds = ctx.bounds;
    m.leaf_models = ctx.leaf_models.data();
    m.n_leaf_models = static_cast<int32_t>(ctx.leaf_models.size());
    m.primitive_offsets = offsets.data();
    m.n_offsets = static_cast<int32_t>(offsets.size());
    m.n_primitives = offsets.empty() ? 0 : offsets.back();
    const size_t sizes[kFluxMediaSlots] = {
        cells,      cells,      cells,      static_cast<size_t>(m.n_primitives) * nb,
        size_t(nb), size_t(nb), size_t(nb), ctx.leaf_models.size() * nb};
    for (int k = 0; k < kFluxMediaSlots; ++k) {
      out.media[k].assign(sizes[k], 0.0);
      m.slots[k] = out.media[k].data();
    }
  }
  for (int64_t t = 0; t < threads; ++t) flux_thread_item(p, t);
  return out;
}

// The device forward field run with `threads` threads over all photons, on the host: the double
// sums per ForwardSlot, the removed and roulette energy and the query counts.
struct HostForward {
  std::array<std::vector<double>, kForwardSlots> slots;
  std::vector<double> removed, roulette;
  unsigned long long rays[2] = {0, 0};  // closest, shadow
};
inline HostForward render_forward_bvh(const EmbreeSceneManager& s, int nx, int ny,
                                      const std::vector<float>& heights, int64_t photons, int nb,
                                      bool per_leaf, const std::vector<float>& directions,
                                      float prob_sun, int max_depth, int terrain, bool totals,
                                      int64_t threads) {
  const bvh::BvhScene hierarchy = build_bvh_scene(s);
  photon::PhotonContext ctx =
      photon::make_photon_context(s, nb, prob_sun, max_depth, transport::kDefaultRouletteDepth);
  float lx = 0.0f, ly = 0.0f;
  photon::grid_extent(s, lx, ly);
  ctx.extent_x = lx;
  ctx.extent_y = ly;
  ctx.power = static_cast<double>(lx) * ly / static_cast<double>(photons);
  const std::vector<float3> views =
      forward_views(directions, static_cast<int>(directions.size() / 3));
  const std::vector<int> offsets = s.instance_primitive_offsets();
  ForwardLaunchParams p;
  ForwardField& f = p.field;
  f.nx = nx;
  f.ny = ny;
  f.n_layers = static_cast<int>(heights.size()) - 1;
  f.dx = lx / static_cast<float>(nx);
  f.dy = ly / static_cast<float>(ny);
  f.heights = heights.data();
  f.terrain = terrain;
  f.split = f.totals = totals;
  f.views = views.data();
  f.n_views = static_cast<int>(views.size());
  f.offsets = offsets.data();
  f.n_offsets = per_leaf ? static_cast<int>(offsets.size()) : 0;
  const auto sizes = forward_slot_sizes(f, nb, offsets.empty() ? 0 : offsets.back());
  HostForward out;
  for (int k = 0; k < kForwardSlots; ++k) {
    out.slots[k].assign(sizes[k], 0.0);
    p.slots[k] = sizes[k] > 0 ? out.slots[k].data() : nullptr;
  }
  out.removed.assign(nb, 0.0);
  out.roulette.assign(nb, 0.0);
  p.ctx = ctx;
  p.source = photon::photon_source(ctx);
  p.scene = hierarchy.view();
  p.photon_begin = 0;
  p.photon_end = photons;
  p.n_threads = threads;
  p.removed = out.removed.data();
  p.roulette = out.roulette.data();
  p.rays = out.rays;
  for (int64_t t = 0; t < threads; ++t) forward_thread_item(p, t);
  return out;
}

// The device LiDAR on the host: every pulse's work item over the host copy of the hierarchy in
// one launch, finished by the host half the CUDA simulator uses.
inline LidarResult lidar_bvh(const EmbreeSceneManager& s, const LidarRequest& request) {
  const bvh::BvhScene hierarchy = build_bvh_scene(s);
  const LidarPlan plan = plan_lidar(request, s.description().num_bands());
  LidarResult result = start_lidar_result(plan, request, {}, 0.0);
  const int64_t P = request.num_pulses;
  std::vector<float> pulses;
  for (int64_t i = 0; i < P; ++i) {
    const float* o = &request.pulse_origins[3 * i];
    const float* d = &request.pulse_directions[3 * i];
    const float3 u = normalize(float3{d[0], d[1], d[2]});
    pulses.insert(pulses.end(), {o[0], o[1], o[2], u.x, u.y, u.z});
  }
  std::vector<lidar::FootprintPoint> footprint;
  for (const LidarFootprintSample& f : plan.footprint) footprint.push_back({f.x, f.y, f.weight});
  TransportContext ctx = make_transport_context(s, 0, 0, 0);
  ctx.tiles.periodic = false;
  const size_t per_pulse = static_cast<size_t>(plan.gate.n_bins) * plan.gate.n_wavelengths;
  std::vector<double> raw(request.direct_mode ? 0 : per_pulse * P, 0.0);
  std::vector<int32_t> extents(2 * P);
  std::vector<float> records(lidar::kDirectRecordFields * P);
  lidar::LidarLaunchParams p;
  p.ctx = ctx;
  p.scene = hierarchy.view();
  p.gate = plan.gate;
  p.pulses = pulses.data();
  p.footprint = footprint.data();
  p.n_footprint = static_cast<int32_t>(footprint.size());
  p.direct = request.direct_mode ? 1 : 0;
  p.tan_half_angle = plan.tan_half_angle;
  p.pulse_energy = request.pulse_energy;
  p.sensor_area = request.sensor_area;
  p.n_pulses = P;
  p.raw = raw.data();
  p.extents = extents.data();
  p.records = records.data();
  for (int64_t i = 0; i < P; ++i) lidar::lidar_pulse_item(p, i);
  std::optional<LidarPulseWaveform> wave;
  if (!request.direct_mode) wave.emplace(plan, request);
  finish_device_pulses(plan, 0, P, records.data(), raw.data(), extents.data(),
                       wave ? &*wave : nullptr, result);
  result.num_returns = static_cast<int64_t>(result.points.size() / kLidarPointFields);
  return result;
}

// The device leaf RRT on the host: every sample's work item over the host copy of the
// hierarchy, with the inputs of a checked request.
inline TurbidLeafRRTResult leaf_rrt_bvh(const EmbreeSceneManager& s, const TurbidLeafRRTParams& p) {
  const bvh::BvhScene hierarchy = build_bvh_scene(s);
  const int64_t n = validate_turbid_leaf_rrt(s, p);
  TransportContext ctx = make_transport_context(s, p.n_bands, p.max_depth, p.max_depth);
  ctx.shading_normals = false;
  const auto block = static_cast<size_t>(p.n_bands * n);
  TurbidLeafRRTResult r;
  r.total_top.assign(block, 0.0f);
  r.total_bottom.assign(block, 0.0f);
  r.direct_top.assign(block, 0.0f);
  r.direct_bottom.assign(block, 0.0f);
  r.p_sun.assign(static_cast<size_t>(n), 0.0f);
  unsigned long long rays = 0;
  LeafRrtLaunchParams lp;
  lp.ctx = ctx;
  lp.scene = hierarchy.view();
  lp.in = leaf_rrt_inputs(s, p);
  lp.out = LeafRrtOutputs{n,
                          r.total_top.data(),
                          r.total_bottom.data(),
                          r.direct_top.data(),
                          r.direct_bottom.data(),
                          r.p_sun.data()};
  lp.sample_begin = 0;
  lp.sample_end = n;
  lp.rays = &rays;
  for (int64_t i = 0; i < n; ++i) leaf_rrt_item(lp, i);
  r.rays = static_cast<int64_t>(rays);
  return r;
}

// The device energy balance on the host: every primitive's work item over the host copy of the
// hierarchy, with the checked inputs `p` of a run (host pointers; results are sized here).
struct HostEnergyBalance {
  std::vector<float> top, bot, sunlit;
  unsigned long long rays[2] = {0, 0};  // closest, shadow
};
inline HostEnergyBalance energy_balance_bvh(const EmbreeSceneManager& s, EnergyBalanceParams p) {
  const bvh::BvhScene hierarchy = build_bvh_scene(s);
  const std::vector<FaceTriangle> triangles = face_triangles(s);
  const int64_t n = p.n_primitives;
  const auto values = static_cast<size_t>((p.n_bands > 0 ? p.n_bands : 1) * n);
  HostEnergyBalance out;
  out.top.assign(values, 0.0f);
  if (p.faces == 2) out.bot.assign(values, 0.0f);
  if (p.n_bands > 0) out.sunlit.assign(static_cast<size_t>(n), 0.0f);
  p.ctx = energy_balance_context(s);
  p.scene = hierarchy.view();
  p.triangles = triangles.data();
  p.top = out.top.data();
  p.bot = out.bot.empty() ? nullptr : out.bot.data();
  p.sunlit = out.sunlit.empty() ? nullptr : out.sunlit.data();
  p.rays = out.rays;
  p.primitive_begin = 0;
  p.primitive_end = n;
  for (int64_t i = 0; i < n; ++i) energy_balance_item(p, i);
  return out;
}

}  // namespace tesk::embree
