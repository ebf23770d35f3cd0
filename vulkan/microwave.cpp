#include "vulkan/microwave.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/host/parallel.h"
#include "core/microwave_path.h"
#include "shaders/device_records.h"

namespace tesk::vulkan {

// The shader's microwave classes, table columns and constants are those of the C++ line-of-sight
// transport run by the CPU host tests and the CUDA kernel.
static_assert(device::kMicrowaveAbsorber == microwave::kClassAbsorber &&
              device::kMicrowaveSoil == microwave::kClassSoil &&
              device::kMicrowaveVegetation == microwave::kClassVegetation &&
              device::kMicrowaveTrunk == microwave::kClassTrunk &&
              device::kMicrowaveSmoothSoil == microwave::kClassSmoothSoil);
static_assert(device::kMicrowaveSurfaceColumns == microwave::kSurfaceColumns &&
              device::kMicrowaveBackscatterColumns == microwave::kBackscatterColumns &&
              device::kMicrowaveTrunkActiveColumns == microwave::kTrunkActiveColumns &&
              device::kMicrowaveVegetationColumns == microwave::kVegetationColumns &&
              device::kMicrowaveMuellerEntries == microwave::kMuellerEntries);
static_assert(device::kCosmicBackground == microwave::kCosmicBackground &&
              device::kMicrowaveMinCosine == microwave::kMinCosine);
namespace {

// Rays per dispatch: bounds the time between progress reports and interrupt polls.
constexpr int64_t kDispatchRays = int64_t{1} << 20;

// Throws unless `table` holds `rows` x `cols` floats (or is empty when `optional`).
void check_table(std::span<const float> table, double rows, int cols, bool optional,
                 const char* message) {
  if (optional && table.empty()) return;
  if (static_cast<double>(table.size()) != rows * cols) throw std::invalid_argument(message);
}

void check_request(const MicrowaveWavefrontRequest& r) {
  if (r.max_depth < 1) throw std::invalid_argument("max_depth must be at least 1");
  if (r.soil_count < 0 || r.vegetation_count < 0 || r.trunk_count < 0) {
    throw std::invalid_argument(
        "soil_count, vegetation_count and trunk_count must be non-negative");
  }
  if (r.response_table_size < 2) {
    throw std::invalid_argument("response_table_size must be at least 2");
  }
  if (!(std::isfinite(r.air_temperature) && r.air_temperature >= 0.0f &&
        std::isfinite(r.atmosphere_tau) && r.atmosphere_tau >= 0.0f)) {
    throw std::invalid_argument(
        "air_temperature and atmosphere_tau must be finite and non-negative");
  }
  if (r.origins.size() % 3 != 0 || r.origins.size() != r.directions.size()) {
    throw std::invalid_argument(
        "origins and directions must hold 3 floats per ray, as many of each");
  }
  if (!std::all_of(r.origins.begin(), r.origins.end(), [](float v) { return std::isfinite(v); })) {
    throw std::invalid_argument("origins must be finite");
  }
  for (size_t i = 0; i < r.directions.size(); i += 3) {
    const float3 d{r.directions[i], r.directions[i + 1], r.directions[i + 2]};
    const float len = length(d);
    if (!is_finite(d) || !(len > 0.0f) || !std::isfinite(len)) {
      throw std::invalid_argument("directions must be finite and nonzero");
    }
  }
  if (r.material_map.size() % 2 != 0) {
    throw std::invalid_argument("material_map must hold (class, index) pairs");
  }
  const double M = r.response_table_size;
  const double soil = r.soil_count;
  const double trunk = r.trunk_count;
  check_table(r.passive_soil_table, soil * M, 4, r.active_mode,
              "passive_soil_table must hold soil_count x response_table_size x 4 floats");
  check_table(r.active_soil_table, soil * M, 4, !r.active_mode,
              "active_soil_table must hold soil_count x response_table_size x 4 floats");
  check_table(
      r.smooth_soil_table, soil * M, 2, true,
      "smooth_soil_table must be empty or hold soil_count x response_table_size x 2 floats");
  check_table(r.dihedral_ground_table, soil * M, 2, true,
              "dihedral_ground_table must be empty or hold soil_count x response_table_size x 2 "
              "floats");
  check_table(r.vegetation_parameters, r.vegetation_count, 3, false,
              "vegetation_parameters must hold vegetation_count x 3 floats");
  check_table(r.trunk_parameters, trunk, 7, true,
              "trunk_parameters must be empty or hold trunk_count x 7 floats");
  check_table(r.trunk_response_table, trunk * M, 4, r.active_mode,
              "trunk_response_table must hold trunk_count x response_table_size x 4 floats");
  check_table(r.trunk_dihedral_scattering, trunk * M, 8, !r.active_mode,
              "trunk_dihedral_scattering must hold trunk_count x response_table_size x 8 floats");
  for (size_t i = 0; i < r.vegetation_parameters.size(); i += 3) {
    const float tau = r.vegetation_parameters[i];
    const float albedo = r.vegetation_parameters[i + 1];
    const float t = r.vegetation_parameters[i + 2];
    if (!(tau >= 0.0f && std::isfinite(tau) && albedo >= 0.0f && albedo <= 1.0f && t >= 0.0f &&
          std::isfinite(t))) {
      throw std::invalid_argument(
          "vegetation_parameters need finite tau >= 0, albedo in [0, 1] and temperature >= 0");
    }
  }
}

// Throws unless every row of `count` entries is a CDF: non-decreasing in [0, 1], ending at 1.
void check_cdf_rows(std::span<const float> cdf, size_t count) {
  for (size_t at = 0; at < cdf.size(); at += count) {
    bool ok = true;
    float previous = 0.0f;
    for (size_t k = 0; k < count && ok; ++k) {
      ok = cdf[at + k] >= previous && cdf[at + k] <= 1.0f;
      previous = cdf[at + k];
    }
    if (!ok || !(previous >= 1.0f - 1e-4f)) {
      throw std::invalid_argument(
          "cosine_cdf and azimuth_cdf rows must be non-decreasing in [0, 1] and end at 1");
    }
  }
}

// The cosine and azimuth cell counts of the vegetation phase tables (0, 0 when absent).
std::pair<int, int> check_phase_tables(const MicrowaveWavefrontRequest& r) {
  const bool any = !r.lut_info.empty() || !r.mueller_lut.empty() || !r.cosine_cdf.empty() ||
                   !r.azimuth_cdf.empty();
  if (!any) return {0, 0};
  if (r.lut_info.empty() || r.mueller_lut.empty() || r.cosine_cdf.empty() ||
      r.azimuth_cdf.empty()) {
    throw std::invalid_argument(
        "lut_info, mueller_lut, cosine_cdf and azimuth_cdf must be given together");
  }
  auto whole = [](float v) {
    return std::isfinite(v) && v >= 1.0f && v <= 4096.0f && v == std::floor(v);
  };
  if (r.lut_info.size() != 2 || !whole(r.lut_info[0]) || !whole(r.lut_info[1])) {
    throw std::invalid_argument(
        "lut_info must hold 2 whole numbers in [1, 4096]: cosine cells and azimuth cells");
  }
  const double c = r.lut_info[0];
  const double a = r.lut_info[1];
  const double v = r.vegetation_count;
  if (v * c * c * a * device::kMicrowaveMuellerEntries > 2147483647.0) {
    throw std::invalid_argument("mueller_lut must hold fewer than 2^31 floats");
  }
  check_table(r.mueller_lut, v * c * c * a, device::kMicrowaveMuellerEntries, false,
              "mueller_lut must hold vegetation_count x C x C x A x 16 floats (lut_info = C, A)");
  check_table(r.cosine_cdf, v * c, static_cast<int>(c), false,
              "cosine_cdf must hold vegetation_count x C x C floats (lut_info = C, A)");
  check_table(r.azimuth_cdf, v * c * c, static_cast<int>(a), false,
              "azimuth_cdf must hold vegetation_count x C x C x A floats (lut_info = C, A)");
  if (!std::all_of(r.mueller_lut.begin(), r.mueller_lut.end(),
                   [](float x) { return std::isfinite(x); })) {
    throw std::invalid_argument("mueller_lut must be finite");
  }
  check_cdf_rows(r.cosine_cdf, static_cast<size_t>(c));
  check_cdf_rows(r.azimuth_cdf, static_cast<size_t>(a));
  return {static_cast<int>(c), static_cast<int>(a)};
}

}  // namespace

MicrowaveWavefrontResult run_microwave_wavefront(VulkanSceneManager& scene,
                                                 const MicrowaveWavefrontRequest& request,
                                                 const ProgressCallback& progress,
                                                 const InterruptCheck& interrupt) {
  check_request(request);
  const auto [lut_cosines, lut_azimuths] = check_phase_tables(request);
  scene.require_built("tracing rays");
  const auto n_rays = static_cast<int64_t>(request.origins.size() / 3);
  if (n_rays > int64_t{2147483647}) {
    throw std::length_error("Vulkan microwave wavefront supports at most 2^31-1 rays per run");
  }
  const auto start = std::chrono::steady_clock::now();
  MicrowaveWavefrontResult result;
  result.n_rays = n_rays;
  result.active = request.active_mode;
  result.values.assign(4 * static_cast<size_t>(n_rays), 0.0f);
  std::printf("Microwave wavefront (Vulkan): %lld rays, %s, max_depth=%d, %s\n",
              static_cast<long long>(n_rays), request.active_mode ? "active" : "passive",
              request.max_depth, scene.context().device_name().c_str());
  std::fflush(stdout);
  if (n_rays == 0) {
    if (progress) progress(0, 0, elapsed_ms(start));
    return result;
  }

  std::vector<float> rays(6 * static_cast<size_t>(n_rays));
  for (int64_t i = 0; i < n_rays; ++i) {
    const size_t k = 3 * static_cast<size_t>(i);
    const float3 d = normalize(
        float3{request.directions[k], request.directions[k + 1], request.directions[k + 2]});
    const float row[6] = {
        request.origins[k], request.origins[k + 1], request.origins[k + 2], d.x, d.y, d.z};
    std::copy(row, row + 6, rays.begin() + 2 * static_cast<std::ptrdiff_t>(k));
  }
  device::MicrowaveParams p{};
  p.active_mode = request.active_mode ? 1 : 0;
  p.max_depth = request.max_depth;
  p.table_size = request.response_table_size;
  p.n_map = static_cast<int>(request.material_map.size() / 2);
  p.soil_count = request.soil_count;
  p.vegetation_count = request.vegetation_count;
  p.trunk_count = request.trunk_count;
  p.air_temperature = request.air_temperature;
  p.atmosphere_tau = request.atmosphere_tau;
  p.lut_cosines = lut_cosines;
  p.lut_azimuths = lut_azimuths;
  p.smooth_soil = request.smooth_soil_table.empty() ? 0 : 1;
  p.dihedral_ground = request.dihedral_ground_table.empty() ? 0 : 1;
  // A class whose tables the mode does not read has none to look up.
  if (request.active_mode ? request.active_soil_table.empty()
                          : request.passive_soil_table.empty()) {
    p.soil_count = 0;
  }
  if (request.active_mode ? request.trunk_dihedral_scattering.empty()
                          : request.trunk_response_table.empty()) {
    p.trunk_count = 0;
  }

  VulkanContext& ctx = scene.context();
  auto upload = [&](const auto& span) {
    return ctx.upload_buffer(span.data(), span.size() * sizeof(span[0]));
  };
  Buffer params = ctx.upload_buffer(&p, sizeof(p));
  const Buffer ray_buffer = ctx.upload_buffer(rays.data(), rays.size() * sizeof(float));
  const Buffer map = upload(request.material_map);
  const Buffer passive_soil = upload(request.passive_soil_table);
  const Buffer active_soil = upload(request.active_soil_table);
  const Buffer vegetation = upload(request.vegetation_parameters);
  const Buffer trunk_response = upload(request.trunk_response_table);
  const Buffer trunk_active = upload(request.trunk_dihedral_scattering);
  const Buffer smooth_soil = upload(request.smooth_soil_table);
  const Buffer dihedral_ground = upload(request.dihedral_ground_table);
  const Buffer mueller = upload(request.mueller_lut);
  const Buffer cosine_cdf = upload(request.cosine_cdf);
  const Buffer azimuth_cdf = upload(request.azimuth_cdf);
  const int64_t chunk = std::min(kDispatchRays, n_rays);
  Buffer out = ctx.create_buffer(4 * static_cast<size_t>(chunk) * sizeof(float), 0);
  ComputePipeline& pipeline =
      scene.pipeline("microwave_wavefront.spv", "main", 18, 0, "microwave wavefront");
  std::vector<const Buffer*> buffers = scene.scene_buffers();
  buffers.insert(buffers.end(), {&params, &ray_buffer, &map, &passive_soil, &active_soil,
                                 &vegetation, &trunk_response, &trunk_active, &smooth_soil,
                                 &dihedral_ground, &mueller, &cosine_cdf, &azimuth_cdf, &out});
  for (int64_t first = 0; first < n_rays; first += chunk) {
    if (interrupt) interrupt();
    const auto count = static_cast<int32_t>(std::min(chunk, n_rays - first));
    p.first_ray = static_cast<int32_t>(first);
    p.n_rays = count;
    params.upload(&p, sizeof(p));
    pipeline.run(scene.top_level(), buffers, nullptr, static_cast<uint64_t>(count));
    out.download(result.values.data() + 4 * static_cast<size_t>(first),
                 4 * static_cast<size_t>(count) * sizeof(float));
    if (progress) progress(first + count, n_rays, elapsed_ms(start));
  }
  return result;
}

}  // namespace tesk::vulkan
