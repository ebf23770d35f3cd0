#include "embree/render_brf.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <stdexcept>

#include "core/host/transport_settings.h"
#include "core/transport_constants.h"
#include "embree/backward_integrator.h"
#include "embree/transport_context.h"

namespace tesk::embree {

int brf_samples_per_pixel(int64_t num_photons, int64_t n_dirs) {
  const int64_t spp = num_photons / std::max<int64_t>(1, 1024 * n_dirs);
  return static_cast<int>(std::clamp<int64_t>(spp, 16, 4096));
}

SensorData brf_sensor(const SensorData& base, float3 d, float X, float Y, float h_ref,
                      float camera_distance) {
  SensorData s = base;  // fov, projection type and reserved fields stay the caller's
  s.type = SensorType::Orthographic;
  s.width = 32;
  s.height = 32;
  s.ortho_w = X;
  s.ortho_h = Y;
  // Camera x and y stay the world axes and camera z is d, so the pixel grid traced back along
  // -d to z = h_ref covers the tile exactly.
  const float L = camera_distance / d.z;
  const float m[16] = {1, 0, d.x, d.x * L + X / 2,  //
                       0, 1, d.y, d.y * L + Y / 2,  //
                       0, 0, d.z, d.z * L + h_ref,  //
                       0, 0, 0,   1};
  std::copy(m, m + 16, s.camera_transform);
  return s;
}

BrfResult render_brf(const EmbreeSceneManager& scene, const std::vector<float>& directions,
                     int64_t num_photons, int max_depth, const ProgressCallback& progress,
                     const InterruptCheck& interrupt, const PassRange& range) {
  if (directions.empty() || directions.size() % 3 != 0) {
    throw std::invalid_argument("directions must be a nonempty flat float3 array");
  }
  if (max_depth <= 0 || num_photons <= 0) {
    throw std::invalid_argument("BRF photon count and maximum depth must be positive");
  }
  if (!scene.is_built()) throw std::runtime_error("Embree: build the scene before tracing rays");
  const auto n_dirs = static_cast<int64_t>(directions.size() / 3);
  const int spp = brf_samples_per_pixel(num_photons, n_dirs);
  check_pass_range(range, spp);
  const SceneDescription& desc = scene.description();
  const SensorData saved = desc.sensor();
  const float X = desc.scene_x_size() > 0.0f ? desc.scene_x_size() : saved.ortho_w;
  const float Y = desc.scene_y_size() > 0.0f ? desc.scene_y_size() : saved.ortho_h;
  const float h_ref = desc.measurement_plane();
  const SceneBounds& box = scene.bounds();
  const float t_z = saved.camera_transform[11];
  const float D = std::max({1.0f, box.max_z - box.min_z + 1.0f, std::fabs(t_z - h_ref)});

  BrfResult result;
  result.n_dirs = static_cast<int32_t>(n_dirs);
  result.n_bands = desc.num_bands();
  result.spp = spp;
  result.execution = cpu_execution(WorkflowCode::OpticalBrf, "embree.cpu.optical_brf");
  if (range.whole()) {
    result.brf.assign(static_cast<size_t>(n_dirs) * std::max(result.n_bands, 0), 0.0f);
  }
  const backend::OpticalProductRequest radiance_only{};
  // The scene is resolved once; every direction renders it with its own sensor.
  const TransportContext ctx = make_transport_context(
      scene, 0, announced_max_depth(max_depth, "[CPU brf]"), transport::kDefaultRouletteDepth);
  const auto start = std::chrono::steady_clock::now();
  for (int64_t k = 0; k < n_dirs; ++k) {
    float3 d{directions[3 * k], directions[3 * k + 1], directions[3 * k + 2]};
    const float len2 = dot(d, d);
    if (!(len2 > 0.0f)) throw std::invalid_argument("BRF observation directions must be nonzero");
    d = d * (1.0f / std::sqrt(len2));
    if (!(d.z > 0.001f)) {
      throw std::invalid_argument("BRF observation directions must point upward");
    }
    const SensorData sensor = brf_sensor(saved, d, X, Y, h_ref, D);
    const OpticalImageResult image =
        integrate_image(ctx, sensor, spp, 0, radiance_only, {}, interrupt, range);
    const int nb = image.n_bands;
    if (!range.whole()) {
      auto& kept = result.partials;
      const auto& blocks = image.partials;
      const size_t per_block = blocks.radiance.size() / std::max(blocks.n_blocks, 1);
      if (k == 0) {
        kept.first_block = blocks.first_block;
        kept.n_blocks = blocks.n_blocks;
        kept.radiance.resize(blocks.radiance.size() * static_cast<size_t>(n_dirs));
      }
      for (int32_t j = 0; j < blocks.n_blocks; ++j) {
        std::copy_n(blocks.radiance.begin() + static_cast<ptrdiff_t>(j * per_block), per_block,
                    kept.radiance.begin() +
                        static_cast<ptrdiff_t>((j * n_dirs + k) * static_cast<int64_t>(per_block)));
      }
      kept.scale.insert(kept.scale.end(),
                        {static_cast<double>(X), static_cast<double>(Y), static_cast<double>(d.z)});
    }
    for (int b = 0; b < nb && b < result.n_bands && range.whole(); ++b) {
      double sum = 0.0;
      for (int p = 0; p < 1024; ++p) sum += image.radiance[static_cast<size_t>(p) * nb + b];
      result.brf[k * result.n_bands + b] = static_cast<float>(0.0009765625 * sum * X * Y * d.z);
    }
    if (progress) {
      const double ms =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count();
      if (range.whole()) {
        progress(std::min<int64_t>(int64_t{1024} * spp * (k + 1), num_photons), num_photons,
                 static_cast<float>(ms));
      } else {
        const int64_t per_direction = int64_t{1024} * (range.end - range.begin);
        progress(per_direction * (k + 1), per_direction * n_dirs, static_cast<float>(ms));
      }
    }
  }
  return result;
}

}  // namespace tesk::embree
