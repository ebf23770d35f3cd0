#include "vulkan/render_flux.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "core/host/parallel.h"
#include "core/host/transport_settings.h"
#include "embree/photon_path.h"
#include "shaders/device_records.h"

namespace tesk::vulkan {
namespace {

// Photons per dispatch: bounds the time between progress reports and one submission's length.
constexpr uint32_t kDispatchPhotons = 1u << 22;
// Fixed-point units per photon of unit weight and nominal power: deposits keep about 16 bits
// below a photon's share, and sums stay far inside 64 bits for billions of photons.
constexpr double kUnitsPerPhoton = 65536.0;

}  // namespace

embree::FluxResult render_flux(VulkanSceneManager& scene, int nx, int ny, int64_t num_photons,
                               int num_bands, float prob_sun, int max_bounces, int max_depth,
                               int rr_depth, bool decompose, const ProgressCallback& progress) {
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
  scene.require_built("tracing photons");
  if (!host.optical_media().media.empty()) {
    throw std::runtime_error(
        "Vulkan flux supports surface scenes only (this one has optical turbid media). No "
        "fallback was performed.");
  }
  const SceneDescription& d = host.description();
  for (const MaterialRecord& m : d.materials()) {
    if (m.type != MaterialType::Diffuse && m.type != MaterialType::RPV &&
        m.type != MaterialType::DiffuseTransmitting) {
      throw std::runtime_error(
          "Vulkan flux supports diffuse, RPV, and diffuse-transmitting materials. No fallback "
          "was performed.");
    }
  }

  device::FluxParams p{};
  p.nx = nx;
  p.ny = ny;
  p.n_bands = num_bands;
  p.max_bounces = max_bounces;
  p.max_depth = max_depth;
  p.rr_depth = rr_depth;
  p.decompose = decompose ? 1 : 0;
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

  std::printf(
      "Forward flux (Vulkan): %lld photons, grid %dx%d, %d bands, max_bounces_record=%d, %s\n",
      static_cast<long long>(num_photons), nx, ny, num_bands, max_bounces,
      scene.context().device_name().c_str());
  std::fflush(stdout);

  VulkanContext& ctx = scene.context();
  const size_t cells = static_cast<size_t>(nx) * ny * num_bands;
  Buffer params = ctx.upload_buffer(&p, sizeof(p));
  const Buffer materials =
      ctx.upload_buffer(d.materials().data(), d.materials().size() * sizeof(MaterialRecord));
  const Buffer spectral =
      ctx.upload_buffer(d.spectral_params().data(), d.spectral_params().size() * sizeof(float));
  Buffer tallies = ctx.create_buffer(device::kFluxSlots * cells * sizeof(uint64_t), 0);
  tallies.zero();
  ComputePipeline& pipeline = scene.pipeline("forward_flux.spv", "main", 8, 0, "forward flux");
  std::vector<const Buffer*> buffers = scene.scene_buffers();
  buffers.insert(buffers.end(), {&params, &materials, &spectral, &tallies});
  const auto start = std::chrono::steady_clock::now();
  for (int64_t first = 0; first < num_photons; first += kDispatchPhotons) {
    const auto count =
        static_cast<uint32_t>(std::min<int64_t>(kDispatchPhotons, num_photons - first));
    p.first_photon_lo = static_cast<uint32_t>(first);
    p.first_photon_hi = static_cast<uint32_t>(static_cast<uint64_t>(first) >> 32);
    p.count = count;
    params.upload(&p, sizeof(p));
    pipeline.run(scene.top_level(), buffers, nullptr, count);
    if (progress) progress(first + count, num_photons, elapsed_ms(start));
  }

  std::vector<uint64_t> sums(device::kFluxSlots * cells);
  tallies.download(sums.data(), sums.size() * sizeof(uint64_t));
  auto slot = [&](int k) {
    std::vector<float> out(cells);
    for (size_t i = 0; i < cells; ++i) {
      out[i] = static_cast<float>(static_cast<double>(sums[k * cells + i]) / p.scale);
    }
    return out;
  };
  embree::FluxResult r;
  r.downwelling = slot(device::kFluxDown);
  r.upwelling = slot(device::kFluxUp);
  if (decompose) {
    r.downwelling_direct = slot(device::kFluxDownDirect);
    r.downwelling_diffuse = slot(device::kFluxDownDiffuse);
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

}  // namespace tesk::vulkan
