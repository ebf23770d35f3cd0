#include "vulkan/lidar.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <vector>

#include "core/host/parallel.h"
#include "core/transport_constants.h"
#include "shaders/device_records.h"
#include "vulkan/media_buffers.h"

namespace tesk::vulkan {

static_assert(device::kMinReturnCosine == transport::kMinReturnCosine);

namespace {

// Bytes of raw waveform one dispatch may fill (bounds the device buffer and the host copy).
constexpr double kDispatchRawBytes = 32.0 * 1024 * 1024;
// Pulses per dispatch at most: bounds the time between progress reports and interrupt polls.
constexpr int64_t kDispatchPulses = 4096;

}  // namespace

embree::LidarResult simulate_lidar(VulkanSceneManager& scene, const embree::LidarRequest& request,
                                   const ProgressCallback& progress,
                                   const InterruptCheck& interrupt) {
  const embree::EmbreeSceneManager& host = scene.host();
  const SceneDescription& desc = host.description();
  const embree::LidarPlan plan = embree::plan_lidar(request, desc.num_bands());
  scene.require_built("tracing rays");
  if (request.num_pulses > int64_t{2147483647}) {
    throw std::length_error("Vulkan LiDAR supports at most 2^31-1 pulses per run");
  }
  const auto start_time = std::chrono::steady_clock::now();
  const bool direct = request.direct_mode;
  const int64_t P = std::max<int64_t>(request.num_pulses, 0);
  const size_t per_pulse = static_cast<size_t>(plan.gate.n_bins) * plan.gate.n_wavelengths;
  const int64_t chunk =
      direct ? kDispatchPulses
             : std::clamp<int64_t>(
                   static_cast<int64_t>(kDispatchRawBytes / (static_cast<double>(per_pulse) * 8.0)),
                   1, kDispatchPulses);
  const double raw_bytes = direct ? 0.0 : static_cast<double>(chunk * per_pulse) * 8.0;
  if (!direct && static_cast<double>(chunk) * static_cast<double>(per_pulse) > 4294967295.0) {
    throw std::overflow_error("LiDAR range gate exceeds 2147483647 bins");
  }
  embree::LidarResult result = embree::start_lidar_result(
      plan, request,
      ExecutionIdentity{
          static_cast<uint8_t>(BackendCode::Vulkan),
          static_cast<uint8_t>(direct ? WorkflowCode::LidarPointCloud
                                      : WorkflowCode::LidarWaveform),
          direct ? "vulkan.ray_query.lidar_point_cloud" : "vulkan.ray_query.lidar_waveform", true},
      2.0 * raw_bytes);
  result.threads = 1;
  std::printf("LiDAR (Vulkan): %lld pulses, %d beam samples, %s mode, %s\n",
              static_cast<long long>(P), result.beam_samples, direct ? "direct" : "waveform",
              scene.context().device_name().c_str());
  std::fflush(stdout);
  if (P == 0) {
    if (progress) progress(0, 0, elapsed_ms(start_time));
    return result;
  }

  // Origins and unit directions (normalised as the CPU does), 6 floats per pulse.
  std::vector<float> pulses(6 * static_cast<size_t>(P));
  embree::write_pulse_rows(request, P, pulses.data());
  std::vector<double> footprint;
  for (const embree::LidarFootprintSample& f : plan.footprint) {
    footprint.insert(footprint.end(), {f.x, f.y, f.weight});
  }
  if (footprint.empty()) footprint.push_back(0.0);

  device::LidarParams p{};
  p.n_samples = static_cast<int>(plan.footprint.size());
  p.direct = direct ? 1 : 0;
  p.n_bins = plan.gate.n_bins;
  p.n_wavelengths = plan.gate.n_wavelengths;
  p.n_bands = desc.num_bands();
  p.n_materials = static_cast<int>(desc.materials().size());
  p.spectral_size = static_cast<int>(std::min<size_t>(desc.spectral_params().size(), INT32_MAX));
  p.min_range = plan.gate.min_range;
  p.max_range = plan.gate.max_range;
  p.bin_width = plan.gate.bin_width;
  p.tan_half_angle = plan.tan_half_angle;
  p.pulse_energy = request.pulse_energy;
  p.sensor_area = request.sensor_area;

  VulkanContext& ctx = scene.context();
  Buffer params = ctx.upload_buffer(&p, sizeof(p));
  const Buffer materials =
      ctx.upload_buffer(desc.materials().data(), desc.materials().size() * sizeof(MaterialRecord));
  const Buffer spectral = ctx.upload_buffer(desc.spectral_params().data(),
                                            desc.spectral_params().size() * sizeof(float));
  const Buffer pulse_buffer = ctx.upload_buffer(pulses.data(), pulses.size() * sizeof(float));
  const Buffer footprint_buffer =
      ctx.upload_buffer(footprint.data(), footprint.size() * sizeof(double));
  const size_t raw_entries = direct ? 1 : static_cast<size_t>(chunk) * per_pulse;
  Buffer raw = ctx.create_buffer(raw_entries * sizeof(double), 0);
  Buffer extents = ctx.create_buffer(2 * static_cast<size_t>(chunk) * sizeof(int32_t), 0);
  Buffer records = ctx.create_buffer(
      direct ? static_cast<size_t>(chunk) * device::kLidarDirectFields * sizeof(float) : 4, 0);
  // The media as the LiDAR sees them: the scene as placed, no tile walls.
  const MediaBuffers media = upload_media(scene, false);
  const Buffer unused = ctx.create_buffer(4, 0);
  ComputePipeline& pipeline =
      host.optical_media().media.empty()
          ? scene.pipeline("lidar.spv", "main", 18, 0, "lidar")
          : scene.pipeline("lidar_turbid.spv", "main", 18, 0, "lidar turbid");
  std::vector<const Buffer*> buffers = scene.scene_buffers();
  buffers.insert(buffers.end(), {&params, &materials, &spectral, &pulse_buffer, &footprint_buffer,
                                 &raw, &extents, &records, &unused, &unused, &media.params,
                                 &media.media, &media.material_media, &media.leaf_models});

  std::vector<double> zeros(direct ? 0 : raw_entries, 0.0);
  std::vector<double> raw_host(direct ? 0 : raw_entries);
  std::vector<int32_t> extents_host(2 * static_cast<size_t>(chunk));
  std::vector<float> records_host(direct ? static_cast<size_t>(chunk) * device::kLidarDirectFields
                                         : 0);
  std::optional<embree::LidarPulseWaveform> wave;
  if (!direct) wave.emplace(plan, request);
  const int32_t nl = plan.gate.n_wavelengths;
  for (int64_t first = 0; first < P; first += chunk) {
    if (interrupt) interrupt();
    const auto count = static_cast<int32_t>(std::min(chunk, P - first));
    p.first_pulse = static_cast<int32_t>(first);
    p.n_pulses = count;
    params.upload(&p, sizeof(p));
    if (!direct) raw.upload(zeros.data(), static_cast<size_t>(count) * per_pulse * sizeof(double));
    pipeline.run(scene.top_level(), buffers, nullptr, static_cast<uint64_t>(count));
    if (direct) {
      records.download(records_host.data(),
                       static_cast<size_t>(count) * device::kLidarDirectFields * sizeof(float));
      for (int32_t i = 0; i < count; ++i) {
        const float* rec =
            records_host.data() + static_cast<size_t>(i) * device::kLidarDirectFields;
        if (rec[5] != 1.0f) continue;
        embree::append_direct_point(first + i, float3{rec[0], rec[1], rec[2]}, rec[4], rec[3],
                                    result.points);
      }
    } else {
      extents.download(extents_host.data(), 2 * static_cast<size_t>(count) * sizeof(int32_t));
      raw.download(raw_host.data(), static_cast<size_t>(count) * per_pulse * sizeof(double));
      for (int32_t i = 0; i < count; ++i) {
        const int64_t pulse = first + i;
        const int32_t lo = extents_host[2 * static_cast<size_t>(i)];
        const int32_t hi = extents_host[2 * static_cast<size_t>(i) + 1];
        const double* slice = raw_host.data() + static_cast<size_t>(i) * per_pulse;
        for (int32_t bin = std::max(lo, 0); bin <= std::min(hi, plan.gate.n_bins - 1); ++bin) {
          for (int32_t l = 0; l < nl; ++l) {
            const double v = slice[static_cast<size_t>(bin) * nl + l];
            if (v != 0.0) wave->add(bin, l, v);
          }
        }
        const size_t at = per_pulse * static_cast<size_t>(pulse);
        wave->finish(pulse, result.points,
                     result.waveform.empty() ? nullptr : result.waveform.data() + at,
                     result.raw_waveform.empty() ? nullptr : result.raw_waveform.data() + at);
      }
    }
    if (progress) progress(first + count, P, elapsed_ms(start_time));
  }
  result.num_returns = static_cast<int64_t>(result.points.size() / embree::kLidarPointFields);
  result.rays = direct ? P : P * static_cast<int64_t>(plan.footprint.size());
  return result;
}

}  // namespace tesk::vulkan
