#include "vulkan/render_backward.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "core/host/parallel.h"
#include "core/host/transport_settings.h"
#include "core/transport_constants.h"
#include "embree/illumination.h"
#include "embree/render_brf.h"
#include "shaders/device_records.h"
#include "vulkan/leaf_sources.h"
#include "vulkan/media_buffers.h"

namespace tesk::vulkan {

static_assert(sizeof(device::DeviceMaterial) == sizeof(MaterialRecord),
              "device materials must match the scene description's records");
static_assert(device::kMaxActiveMedia == kMaxActiveMedia &&
              device::kMaxContainmentInstances == transport::kMaxContainmentInstances &&
              device::kMaxWalkSteps == transport::kMaxWalkSteps &&
              device::kMaxPathSteps == transport::kMaxPathSteps &&
              device::kBoundaryStep == transport::kBoundaryStep &&
              device::kOpaqueOpticalDepth == transport::kOpaqueOpticalDepth &&
              device::kWallBoundaryTolerance == transport::kWallBoundaryTolerance);

namespace {

// A buffer holding `values`, or a 4-byte placeholder for an unused binding.
template <typename T>
Buffer upload_vector(VulkanContext& ctx, const std::vector<T>& values) {
  return ctx.upload_buffer(values.data(), values.size() * sizeof(T));
}

// Samples (pixels x passes) per dispatch of the backward shader.
constexpr uint64_t kDispatchSamples = uint64_t{1} << 20;

}  // namespace

// Checks shared by the image and the BRF: built scene, band count.
int checked_bands(const VulkanSceneManager& scene) {
  scene.require_built("rendering");
  const int nb = std::max(scene.host().description().num_bands(), 0);
  if (nb < 1 || nb > device::kMaxDeviceBands) {
    throw std::invalid_argument("Vulkan backward rendering supports 1 to 32 bands");
  }
  return nb;
}

embree::OpticalImageResult render_backward(VulkanSceneManager& scene, int spp, int max_depth,
                                           int rr_depth,
                                           const backend::OpticalProductRequest& request,
                                           const ProgressCallback& progress,
                                           const InterruptCheck& interrupt) {
  checked_bands(scene);
  if (request.scattering_order && request.max_output_order < 0) {
    throw std::invalid_argument("max_output_order must be non-negative");
  }
  max_depth = announced_max_depth(max_depth, "[Vulkan bwd]");
  const SensorData& sensor = scene.host().description().sensor();
  std::printf("Backward render (Vulkan): %dx%d pixels, %d bands, spp=%d, max_depth=%d, %s\n",
              std::max(sensor.width, 0), std::max(sensor.height, 0),
              scene.host().description().num_bands(), std::max(spp, 0), max_depth,
              scene.context().device_name().c_str());
  std::fflush(stdout);
  return render_image(scene, sensor, spp, max_depth, rr_depth, request, progress, interrupt);
}

embree::OpticalImageResult render_image(VulkanSceneManager& scene, const SensorData& sensor,
                                        int spp, int max_depth, int rr_depth,
                                        const backend::OpticalProductRequest& request,
                                        const ProgressCallback& progress,
                                        const InterruptCheck& interrupt) {
  const auto start = std::chrono::steady_clock::now();
  const int nb = checked_bands(scene);
  const embree::EmbreeSceneManager& host = scene.host();
  const SceneDescription& d = host.description();
  device::BackwardParams p{};
  p.width = std::max(sensor.width, 0);
  p.height = std::max(sensor.height, 0);
  p.n_bands = nb;
  p.spp = std::max(spp, 0);
  p.max_depth = max_depth;
  p.rr_depth = rr_depth;
  p.mode = static_cast<int>(d.mode());
  p.n_materials = static_cast<int>(d.materials().size());
  p.n_primitives = host.n_primitives();
  p.spectral_size = static_cast<int>(std::min<size_t>(d.spectral_params().size(), INT32_MAX));
  p.n_wavelengths = static_cast<int>(d.band_wavelengths().size());
  const embree::SceneAttachments& attached = host.attachments();
  const bool has_temps =
      attached.primitive.temperature.size() == static_cast<size_t>(p.n_primitives) &&
      p.n_primitives > 0;
  const bool has_sif = attached.n_sif_bands == nb && p.n_primitives > 0 &&
                       attached.primitive.sif.size() == static_cast<size_t>(nb) * p.n_primitives;
  p.has_temperatures = has_temps ? 1 : 0;
  p.has_sif = has_sif ? 1 : 0;
  const float3 s = d.emitter().direction;
  const float len = std::sqrt(dot(s, s));
  const float3 sun = len > 0.0f && std::isfinite(len) ? s * (1.0f / len) : float3{};
  p.sun_dir[0] = sun.x;
  p.sun_dir[1] = sun.y;
  p.sun_dir[2] = sun.z;
  const int sun_offset = d.emitter().spectral_offset;
  p.sun_offset = (sun_offset >= 0 && static_cast<int64_t>(sun_offset) + nb <= p.spectral_size)
                     ? sun_offset
                     : -1;
  p.sky_uniform = d.uniform_sky_offset();
  p.sky_directional = d.directional_sky_offset();
  p.sky_hw = d.hw_sky_offset();
  const float3 hw = d.hw_sun_direction();
  p.hw_sun[0] = hw.x;
  p.hw_sun[1] = hw.y;
  p.hw_sun[2] = hw.z;
  p.sensor_type = static_cast<int>(sensor.type);
  p.projection_type = sensor.projection_type;
  p.fov = sensor.fov;
  p.ortho_w = sensor.ortho_w;
  p.ortho_h = sensor.ortho_h;
  std::memcpy(p.camera, sensor.camera_transform, sizeof(p.camera));
  p.want_events = request.event_aov ? 1 : 0;
  p.want_orders = request.scattering_order ? 1 : 0;
  p.order_slots = request.scattering_order ? request.max_output_order + 2 : 1;
  p.terrain_following = d.terrain_following() ? 1 : 0;
  p.periodic = d.is_periodic() ? 1 : 0;
  p.num_repetitions = d.num_repetitions();
  p.tile_x = d.scene_x_size();
  p.tile_y = d.scene_y_size();
  p.z_top = host.bounds().max_z;
  p.entry_margin = embree::periodic_entry_margin(p.z_top);

  const size_t elements = static_cast<size_t>(p.width) * p.height * nb;

  VulkanContext& ctx = scene.context();
  Buffer params = ctx.upload_buffer(&p, sizeof(p));
  const Buffer materials = upload_vector(ctx, d.materials());
  const Buffer spectral = upload_vector(ctx, d.spectral_params());
  const Buffer wavelengths = upload_vector(ctx, d.band_wavelengths());
  const Buffer temperatures =
      upload_vector(ctx, has_temps ? attached.primitive.temperature : std::vector<float>{});
  const Buffer sif = upload_vector(ctx, has_sif ? attached.primitive.sif : std::vector<float>{});
  const Buffer sum = ctx.create_buffer(elements * sizeof(double), 0);
  const Buffer squares = ctx.create_buffer(elements * sizeof(double), 0);
  const size_t event_elements = request.event_aov ? device::kEventSlots * elements : 0;
  const size_t order_elements = request.scattering_order ? p.order_slots * elements : 0;
  const Buffer events = ctx.create_buffer(event_elements * sizeof(double), 0);
  const Buffer orders = ctx.create_buffer(order_elements * sizeof(double), 0);

  // Scenes with optical turbid media run the variant whose paths walk through them.
  const bool media = !host.optical_media().media.empty();
  const MediaBuffers media_buffers = media ? upload_media(scene) : MediaBuffers{};
  const LeafSourceBuffers leaf_sources = media ? upload_leaf_sources(scene) : LeafSourceBuffers{};
  ComputePipeline& pipeline =
      media ? scene.pipeline("backward_optical_turbid.spv", "backwardOpticalTurbid", 25, 0,
                             "backward optical turbid")
            : scene.pipeline("backward_optical_surface.spv", "backwardOptical", 14, 0,
                             "backward optical");
  std::vector<const Buffer*> buffers = scene.scene_buffers();
  buffers.insert(buffers.end(), {&params, &materials, &spectral, &wavelengths, &temperatures, &sif,
                                 &sum, &squares, &events, &orders});
  if (media) {
    buffers.insert(buffers.end(),
                   {&media_buffers.params, &media_buffers.media, &media_buffers.material_media,
                    &media_buffers.leaf_models, &leaf_sources.params, &leaf_sources.thermal,
                    &leaf_sources.sif, &leaf_sources.sif_grid, &leaf_sources.resident_ints,
                    &leaf_sources.resident_floats, &leaf_sources.resident_error});
  }
  // Passes in dispatches of about kDispatchSamples samples, so that no single submission runs
  // long enough for a display driver's watchdog; the sums carry over between dispatches.
  const uint64_t pixels = static_cast<uint64_t>(p.width) * p.height;
  const int passes_per_dispatch = static_cast<int>(
      std::clamp<uint64_t>(kDispatchSamples / std::max<uint64_t>(pixels, 1), 1, INT32_MAX));
  for (int begin = 0; begin < p.spp || begin == 0; begin += passes_per_dispatch) {
    if (interrupt) interrupt();
    p.pass_begin = begin;
    p.pass_end = std::min(p.spp, begin + passes_per_dispatch);
    params.upload(&p, sizeof(p));
    pipeline.run(scene.top_level(), buffers, nullptr, pixels);
    if (progress) progress(p.pass_end, p.spp, elapsed_ms(start));
    if (p.pass_end >= p.spp) break;
  }
  if (media) check_resident_lookups(leaf_sources);

  auto fetch = [](const Buffer& b, size_t n) {
    std::vector<double> v(n);
    b.download(v.data(), n * sizeof(double));
    return v;
  };
  embree::OpticalImageResult result;
  result.width = p.width;
  result.height = p.height;
  result.n_bands = nb;
  result.threads = 1;
  result.order_slots = request.scattering_order ? p.order_slots : 0;
  result.execution = ExecutionIdentity{static_cast<uint8_t>(BackendCode::Vulkan),
                                       static_cast<uint8_t>(WorkflowCode::OpticalBackward),
                                       "vulkan.ray_query.optical_backward", true};
  // Normalised as the CPU renderer does: by the full pass count.
  const double n = p.spp;
  auto mean = [&](const std::vector<double>& sums, std::vector<float>& out) {
    out.assign(sums.size(), 0.0f);
    if (p.spp < 1) return;
    for (size_t i = 0; i < sums.size(); ++i) out[i] = static_cast<float>(sums[i] / n);
  };
  const std::vector<double> sums = fetch(sum, elements);
  mean(sums, result.radiance);
  if (request.event_aov) mean(fetch(events, event_elements), result.event_aov);
  if (request.scattering_order) mean(fetch(orders, order_elements), result.scattering_order);
  if (request.standard_error) {
    const std::vector<double> sq = fetch(squares, elements);
    result.standard_error.assign(elements, 0.0f);
    if (p.spp > 1) {
      for (size_t e = 0; e < elements; ++e) {
        const double v = (sq[e] - sums[e] * sums[e] / n) / (n - 1.0);
        result.standard_error[e] = v >= 0.0 ? static_cast<float>(std::sqrt(v / n)) : 0.0f;
      }
    }
  }
  return result;
}

embree::BrfResult render_brf(VulkanSceneManager& scene, const std::vector<float>& directions,
                             int64_t num_photons, int max_depth, const ProgressCallback& progress,
                             const InterruptCheck& interrupt) {
  if (directions.empty() || directions.size() % 3 != 0) {
    throw std::invalid_argument("directions must be a nonempty flat float3 array");
  }
  if (max_depth <= 0 || num_photons <= 0) {
    throw std::invalid_argument("BRF photon count and maximum depth must be positive");
  }
  scene.require_built("rendering");
  checked_bands(scene);
  const embree::EmbreeSceneManager& host = scene.host();
  const auto n_dirs = static_cast<int64_t>(directions.size() / 3);
  const int spp = embree::brf_samples_per_pixel(num_photons, n_dirs);
  const SceneDescription& desc = host.description();
  const SensorData saved = desc.sensor();
  const float X = desc.scene_x_size() > 0.0f ? desc.scene_x_size() : saved.ortho_w;
  const float Y = desc.scene_y_size() > 0.0f ? desc.scene_y_size() : saved.ortho_h;
  const float h_ref = desc.measurement_plane();
  const embree::SceneBounds& box = host.bounds();
  const float D =
      std::max({1.0f, box.max_z - box.min_z + 1.0f, std::fabs(saved.camera_transform[11] - h_ref)});
  embree::BrfResult result;
  result.n_dirs = static_cast<int32_t>(n_dirs);
  result.n_bands = desc.num_bands();
  result.spp = spp;
  result.execution = ExecutionIdentity{static_cast<uint8_t>(BackendCode::Vulkan),
                                       static_cast<uint8_t>(WorkflowCode::OpticalBrf),
                                       "vulkan.ray_query.optical_brf", true};
  result.brf.assign(static_cast<size_t>(n_dirs) * result.n_bands, 0.0f);
  max_depth = announced_max_depth(max_depth, "[Vulkan brf]");
  const auto start = std::chrono::steady_clock::now();
  for (int64_t k = 0; k < n_dirs; ++k) {
    float3 d{directions[3 * k], directions[3 * k + 1], directions[3 * k + 2]};
    const float len2 = dot(d, d);
    if (!(len2 > 0.0f)) throw std::invalid_argument("BRF observation directions must be nonzero");
    d = d * (1.0f / std::sqrt(len2));
    if (!(d.z > 0.001f)) {
      throw std::invalid_argument("BRF observation directions must point upward");
    }
    const SensorData sensor = embree::brf_sensor(saved, d, X, Y, h_ref, D);
    const embree::OpticalImageResult image = render_image(
        scene, sensor, spp, max_depth, transport::kDefaultRouletteDepth, {}, {}, interrupt);
    for (int b = 0; b < result.n_bands; ++b) {
      double sum = 0.0;
      for (int p = 0; p < 1024; ++p)
        sum += image.radiance[static_cast<size_t>(p) * result.n_bands + b];
      result.brf[k * result.n_bands + b] = static_cast<float>(0.0009765625 * sum * X * Y * d.z);
    }
    if (progress) {
      progress(std::min<int64_t>(int64_t{1024} * spp * (k + 1), num_photons), num_photons,
               elapsed_ms(start));
    }
  }
  return result;
}

}  // namespace tesk::vulkan
