#include "vulkan/render_flux.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/host/parallel.h"
#include "core/host/transport_settings.h"
#include "embree/photon_path.h"
#include "shaders/device_records.h"
#include "vulkan/media_buffers.h"

namespace tesk::vulkan {
namespace {

// Photons per dispatch: bounds the time between progress reports and one submission's length.
constexpr uint32_t kDispatchPhotons = 1u << 22;
// Fixed-point units per photon of unit weight and nominal power: deposits keep about 16 bits
// below a photon's share, and sums stay far inside 64 bits for billions of photons.
constexpr double kUnitsPerPhoton = 65536.0;

// The device forward runs take built scenes whose surfaces have the three material kinds;
// returns whether the scene has optical turbid media.
bool check_scene(const VulkanSceneManager& scene, const std::string& what) {
  scene.require_built("tracing photons");
  for (const MaterialRecord& m : scene.host().description().materials()) {
    if (m.type != MaterialType::Diffuse && m.type != MaterialType::RPV &&
        m.type != MaterialType::DiffuseTransmitting) {
      throw std::runtime_error(what +
                               " supports diffuse, RPV, and diffuse-transmitting materials. No "
                               "fallback was performed.");
    }
  }
  return !scene.host().optical_media().media.empty();
}

// The photon parameters every forward run shares (the grid and tallies are the caller's).
device::FluxParams photon_params(VulkanSceneManager& scene, int64_t num_photons, int num_bands,
                                 float prob_sun, int max_depth, int rr_depth, float lx, float ly) {
  const embree::EmbreeSceneManager& host = scene.host();
  const SceneDescription& d = host.description();
  device::FluxParams p{};
  p.n_bands = num_bands;
  p.max_depth = max_depth;
  p.rr_depth = rr_depth;
  p.periodic = d.is_periodic() ? 1 : 0;
  p.num_repetitions = d.num_repetitions();
  p.n_materials = static_cast<int>(d.materials().size());
  p.spectral_size = static_cast<int>(std::min<size_t>(d.spectral_params().size(), INT32_MAX));
  const float3 s = d.emitter().direction;
  const float len = std::sqrt(dot(s, s));
  const float3 sun = len > 0.0f && std::isfinite(len) ? s * (1.0f / len) : float3{};
  p.sun_dir[0] = sun.x;
  p.sun_dir[1] = sun.y;
  p.sun_dir[2] = sun.z;
  const int sun_offset = d.emitter().spectral_offset;
  p.sun_offset =
      (sun_offset >= 0 && static_cast<int64_t>(sun_offset) + num_bands <= p.spectral_size)
          ? sun_offset
          : -1;
  p.sky_uniform = d.uniform_sky_offset();
  p.sky_directional = d.directional_sky_offset();
  p.sky_hw = d.hw_sky_offset();
  p.has_sky = (p.sky_uniform >= 0 || p.sky_directional >= 0 || p.sky_hw >= 0) ? 1 : 0;
  const float3 hw = d.hw_sun_direction();
  p.hw_sun[0] = hw.x;
  p.hw_sun[1] = hw.y;
  p.hw_sun[2] = hw.z;
  p.prob_sun = prob_sun;
  p.extent_x = lx;
  p.extent_y = ly;
  p.tile_x = d.scene_x_size();
  p.tile_y = d.scene_y_size();
  const embree::SceneBounds& box = host.bounds();
  p.z_top = box.max_z;
  p.measurement_plane = d.measurement_plane();
  p.box_min[0] = box.min_x;
  p.box_min[1] = box.min_y;
  p.box_min[2] = box.min_z;
  p.box_max[0] = box.max_x;
  p.box_max[1] = box.max_y;
  p.box_max[2] = box.max_z;
  p.power = static_cast<double>(lx) * static_cast<double>(ly) / static_cast<double>(num_photons);
  p.scale = kUnitsPerPhoton / p.power;
  return p;
}

// Runs every photon in dispatches of kDispatchPhotons and returns the fixed-point tallies
// (`entries` 64-bit sums); `media` picks the variant that walks optical turbid media.
std::vector<uint64_t> run_photons(VulkanSceneManager& scene, device::FluxParams& p, bool media,
                                  int64_t num_photons, size_t entries,
                                  const std::vector<float>& layers, const std::vector<float>& views,
                                  const ProgressCallback& progress,
                                  const InterruptCheck& interrupt) {
  const SceneDescription& d = scene.host().description();
  VulkanContext& ctx = scene.context();
  Buffer params = ctx.upload_buffer(&p, sizeof(p));
  const Buffer materials =
      ctx.upload_buffer(d.materials().data(), d.materials().size() * sizeof(MaterialRecord));
  const Buffer spectral =
      ctx.upload_buffer(d.spectral_params().data(), d.spectral_params().size() * sizeof(float));
  Buffer tallies = ctx.create_buffer(entries * sizeof(uint64_t), 0);
  const Buffer layer_buffer = ctx.upload_buffer(layers.data(), layers.size() * sizeof(float));
  const Buffer view_buffer = ctx.upload_buffer(views.data(), views.size() * sizeof(float));
  tallies.zero();
  // Scenes with media run the variants whose photons walk them; their media buffers sit at
  // bindings 15..18, after four unused bindings that repeat the view buffer.
  const MediaBuffers media_buffers = media ? upload_media(scene) : MediaBuffers{};
  const bool field = p.field != 0;
  const std::string file =
      std::string(field ? "forward_field" : "forward_flux") + (media ? "_turbid.spv" : ".spv");
  ComputePipeline& pipeline = scene.pipeline(file, "main", media ? 18 : 10, 0,
                                             field ? "forward radiation" : "forward flux");
  std::vector<const Buffer*> buffers = scene.scene_buffers();
  buffers.insert(buffers.end(),
                 {&params, &materials, &spectral, &tallies, &layer_buffer, &view_buffer});
  if (media) {
    buffers.insert(buffers.end(), {&view_buffer, &view_buffer, &view_buffer, &view_buffer,
                                   &media_buffers.params, &media_buffers.media,
                                   &media_buffers.material_media, &media_buffers.leaf_models});
  }
  const auto start = std::chrono::steady_clock::now();
  for (int64_t first = 0; first < num_photons; first += kDispatchPhotons) {
    if (interrupt) interrupt();
    const auto count =
        static_cast<uint32_t>(std::min<int64_t>(kDispatchPhotons, num_photons - first));
    p.first_photon_lo = static_cast<uint32_t>(first);
    p.first_photon_hi = static_cast<uint32_t>(static_cast<uint64_t>(first) >> 32);
    p.count = count;
    params.upload(&p, sizeof(p));
    pipeline.run(scene.top_level(), buffers, nullptr, count);
    if (progress) progress(first + count, num_photons, elapsed_ms(start));
  }

  std::vector<uint64_t> sums(entries);
  tallies.download(sums.data(), sums.size() * sizeof(uint64_t));
  return sums;
}

}  // namespace

embree::FluxResult render_flux(VulkanSceneManager& scene, int nx, int ny, int64_t num_photons,
                               int num_bands, float prob_sun, int max_bounces, int max_depth,
                               int rr_depth, bool decompose, const ProgressCallback& progress,
                               const InterruptCheck& interrupt) {
  constexpr int kIntMax = 2147483647;
  if (nx <= 0 || ny <= 0 || num_bands < 1) {
    throw std::invalid_argument("flux grid dimensions and band count must be positive");
  }
  if (nx > kIntMax / ny || nx * ny > kIntMax / num_bands) {
    throw std::overflow_error("flux grid element count exceeds signed device index range");
  }
  if (num_photons < 1) throw std::invalid_argument("Vulkan flux photon count must be positive");
  if (num_photons > int64_t{4294967295}) {
    throw std::length_error("Vulkan flux currently supports at most 2^32-1 photons per run");
  }
  if (num_bands > device::kMaxDeviceBands) {
    throw std::invalid_argument("Vulkan flux supports 1 to 32 bands");
  }
  if (!(prob_sun >= 0.0f && prob_sun <= 1.0f)) {
    throw std::invalid_argument("prob_sun must be in [0, 1]");
  }
  max_depth = announced_max_depth(max_depth, "[Vulkan flux]");
  const embree::EmbreeSceneManager& host = scene.host();
  float lx = 0.0f;
  float ly = 0.0f;
  embree::photon::grid_extent(host, lx, ly);
  constexpr float kMinNormal = 1.1754944e-38f;
  if (!(std::isfinite(lx) && std::isfinite(ly) && lx >= kMinNormal && ly >= kMinNormal)) {
    throw std::invalid_argument("flux scene extent must be at least the minimum normalized float");
  }
  const bool media = check_scene(scene, "Vulkan flux");

  device::FluxParams p =
      photon_params(scene, num_photons, num_bands, prob_sun, max_depth, rr_depth, lx, ly);
  p.nx = nx;
  p.ny = ny;
  p.max_bounces = max_bounces;
  p.decompose = decompose ? 1 : 0;
  const size_t cells = static_cast<size_t>(nx) * ny * num_bands;
  const size_t nb = static_cast<size_t>(num_bands);
  // Media scenes add the absorbed grid and its sun/sky split after the four flux grids, then
  // the absorption per primitive and the terrain, escaped and emitted energy.
  size_t entries = device::kFluxSlots * cells;
  const size_t leaf = media ? static_cast<size_t>(host.n_primitives()) * nb : 0;
  if (media) {
    p.n_primitives = host.n_primitives();
    p.grid_offset = static_cast<uint32_t>(entries);
    p.grid_direct_offset = static_cast<uint32_t>(entries + cells);
    p.grid_diffuse_offset = static_cast<uint32_t>(entries + 2 * cells);
    p.leaf_offset = static_cast<uint32_t>(entries + 3 * cells);
    p.terrain_offset = static_cast<uint32_t>(entries + 3 * cells + leaf);
    p.escaped_offset = static_cast<uint32_t>(entries + 3 * cells + leaf + nb);
    p.incident_offset = static_cast<uint32_t>(entries + 3 * cells + leaf + 2 * nb);
    entries += 3 * cells + leaf + 3 * nb;
  }
  if (entries > UINT32_MAX) {
    throw std::overflow_error("flux grid element count exceeds signed device index range");
  }

  std::printf(
      "Forward flux (Vulkan): %lld photons, grid %dx%d, %d bands, max_bounces_record=%d, %s\n",
      static_cast<long long>(num_photons), nx, ny, num_bands, max_bounces,
      scene.context().device_name().c_str());
  std::fflush(stdout);

  const std::vector<uint64_t> sums =
      run_photons(scene, p, media, num_photons, entries, {0.0f}, {0.0f}, progress, interrupt);
  auto slot = [&](size_t offset, size_t count) {
    std::vector<float> out(count);
    for (size_t i = 0; i < count; ++i) {
      out[i] = static_cast<float>(static_cast<double>(sums[offset + i]) / p.scale);
    }
    return out;
  };
  embree::FluxResult r;
  r.downwelling = slot(device::kFluxDown * cells, cells);
  r.upwelling = slot(device::kFluxUp * cells, cells);
  if (decompose) {
    r.downwelling_direct = slot(device::kFluxDownDirect * cells, cells);
    r.downwelling_diffuse = slot(device::kFluxDownDiffuse * cells, cells);
  }
  if (media) {
    r.grid = slot(p.grid_offset, cells);
    r.grid_direct = slot(p.grid_direct_offset, cells);
    r.grid_diffuse = slot(p.grid_diffuse_offset, cells);
    r.leaf = slot(p.leaf_offset, leaf);
    r.terrain = slot(p.terrain_offset, nb);
    r.escaped = slot(p.escaped_offset, nb);
    r.incident = slot(p.incident_offset, nb);
  }
  r.nx = nx;
  r.ny = ny;
  r.n_bands = num_bands;
  r.threads = 1;
  r.execution = ExecutionIdentity{static_cast<uint8_t>(BackendCode::Vulkan),
                                  static_cast<uint8_t>(WorkflowCode::OpticalFlux),
                                  "vulkan.ray_query.optical_flux", true};
  return r;
}

embree::ForwardFieldResult render_forward_field(
    VulkanSceneManager& scene, int nx, int ny, const std::vector<float>& layer_heights,
    int64_t num_photons, int num_bands, bool per_leaf, float prob_sun,
    const std::vector<float>& brf_directions, int max_depth, int rr_depth, int terrain_instance_id,
    const ProgressCallback& progress, const InterruptCheck& interrupt) {
  constexpr int kIntMax = 2147483647;
  max_depth = announced_max_depth(max_depth, "[Vulkan fwd]");
  if (layer_heights.size() < 2) {
    throw std::runtime_error("layer_heights must have at least 2 entries");
  }
  for (size_t i = 0; i < layer_heights.size(); ++i) {
    if (!std::isfinite(layer_heights[i]) || (i > 0 && !(layer_heights[i] > layer_heights[i - 1]))) {
      throw std::invalid_argument("layer_heights must be finite and strictly increasing");
    }
  }
  if (layer_heights.size() - 1 > static_cast<size_t>(kIntMax)) {
    throw std::overflow_error("forward grid element count exceeds signed device index range");
  }
  const int nl = static_cast<int>(layer_heights.size() - 1);
  if (nx <= 0 || ny <= 0 || num_bands < 1) {
    throw std::invalid_argument("forward grid dimensions and band count must be positive");
  }
  if (nx > kIntMax / ny || nx * ny > kIntMax / nl || nx * ny * nl > kIntMax / num_bands) {
    throw std::overflow_error("forward grid element count exceeds signed device index range");
  }
  if (num_photons < 1) throw std::invalid_argument("forward photon count must be positive");
  if (num_photons > int64_t{4294967295}) {
    throw std::length_error("Vulkan flux currently supports at most 2^32-1 photons per run");
  }
  if (num_bands > device::kMaxDeviceBands) {
    throw std::invalid_argument("Vulkan forward radiation supports 1 to 32 bands");
  }
  if (!(prob_sun >= 0.0f && prob_sun <= 1.0f)) {
    throw std::invalid_argument("prob_sun must be in [0, 1]");
  }
  if (brf_directions.size() % 3 != 0) {
    throw std::invalid_argument("num_brf_dirs must be non-negative and match brf_directions");
  }
  const bool media = check_scene(scene, "Vulkan forward radiation");
  const embree::EmbreeSceneManager& host = scene.host();
  float lx = 0.0f;
  float ly = 0.0f;
  embree::photon::grid_extent(host, lx, ly);
  device::FluxParams p =
      photon_params(scene, num_photons, num_bands, prob_sun, max_depth, rr_depth, lx, ly);
  const size_t nb = static_cast<size_t>(num_bands);
  const size_t cells = static_cast<size_t>(nx) * ny * nl * nb;
  const int n_views = static_cast<int>(brf_directions.size() / 3);
  const int n_primitives = host.n_primitives();
  p.nx = nx;
  p.ny = ny;
  p.field = 1;
  p.n_layers = nl;
  p.n_views = n_views;
  p.per_leaf = per_leaf ? 1 : 0;
  p.terrain_instance = terrain_instance_id;
  p.n_primitives = n_primitives;
  p.cell_x = lx / static_cast<float>(nx);
  p.cell_y = ly / static_cast<float>(ny);
  const size_t leaf = per_leaf ? static_cast<size_t>(n_primitives) * nb : 0;
  p.grid_offset = 0;
  p.leaf_offset = static_cast<uint32_t>(cells);
  p.terrain_offset = static_cast<uint32_t>(cells + leaf);
  p.brf_offset = static_cast<uint32_t>(cells + leaf + nb);
  p.albedo_offset = static_cast<uint32_t>(cells + leaf + nb + n_views * nb);
  size_t entries = cells + leaf + nb + n_views * nb + nb;
  if (media) {
    // The sun/sky split of the absorbed grid, the escaped and the emitted energy.
    p.grid_direct_offset = static_cast<uint32_t>(entries);
    p.grid_diffuse_offset = static_cast<uint32_t>(entries + cells);
    p.escaped_offset = static_cast<uint32_t>(entries + 2 * cells);
    p.incident_offset = static_cast<uint32_t>(entries + 2 * cells + nb);
    entries += 2 * cells + 2 * nb;
  }
  if (entries > UINT32_MAX) {
    throw std::overflow_error("forward grid element count exceeds signed device index range");
  }
  std::printf("Forward fPAR (Vulkan): %lld photons, grid %dx%dx%d, %d bands, %s\n",
              static_cast<long long>(num_photons), nx, ny, nl, num_bands,
              scene.context().device_name().c_str());
  std::fflush(stdout);
  const std::vector<uint64_t> sums = run_photons(
      scene, p, media, num_photons, entries, layer_heights,
      brf_directions.empty() ? std::vector<float>{0.0f} : brf_directions, progress, interrupt);
  auto slot = [&](size_t offset, size_t count) {
    std::vector<float> out(count);
    for (size_t i = 0; i < count; ++i) {
      out[i] = static_cast<float>(static_cast<double>(sums[offset + i]) / p.scale);
    }
    return out;
  };
  embree::ForwardFieldResult r;
  r.grid = slot(p.grid_offset, cells);
  if (per_leaf) r.leaf = slot(p.leaf_offset, leaf);
  if (terrain_instance_id >= 0) r.terrain = slot(p.terrain_offset, nb);
  r.brf = slot(p.brf_offset, n_views * nb);
  if (n_views > 0) r.albedo = slot(p.albedo_offset, nb);
  if (media) {
    r.grid_direct = slot(p.grid_direct_offset, cells);
    r.grid_diffuse = slot(p.grid_diffuse_offset, cells);
    r.escaped = slot(p.escaped_offset, nb);
    r.incident = slot(p.incident_offset, nb);
  }
  r.nx = nx;
  r.ny = ny;
  r.n_layers = nl;
  r.n_bands = num_bands;
  r.n_directions = n_views;
  r.threads = 1;
  const bool brf = n_views > 0;
  r.execution = ExecutionIdentity{
      static_cast<uint8_t>(BackendCode::Vulkan),
      static_cast<uint8_t>(brf ? WorkflowCode::OpticalBrf : WorkflowCode::OpticalForward),
      brf ? "vulkan.ray_query.optical_brf" : "vulkan.ray_query.optical_forward", true};
  return r;
}

}  // namespace tesk::vulkan
