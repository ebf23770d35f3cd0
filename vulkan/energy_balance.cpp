#include "vulkan/energy_balance.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "shaders/device_records.h"

namespace tesk::vulkan {

namespace {

// The per-run inputs besides the parameters; empty spans bind placeholders.
struct BalanceInputs {
  std::span<const float> spectral;
  std::span<const float> albedos;
  std::span<const float> sun_irradiance;
  std::span<const float> sky_diffuse;
  std::span<const float> reflectance;
  std::span<const float> back_reflectance;
  std::span<const float> transmittance;
};

struct BalanceOutputs {
  std::vector<float> top;
  std::vector<float> bottom;
  std::vector<float> sunlit;
};

// Uploads the scene's primitives and the inputs, runs one invocation per primitive and
// downloads top (n_bands x n), bottom (when two-sided) and the sunlit fractions.
BalanceOutputs run_balance(VulkanSceneManager& scene, const device::EnergyBalanceParams& p,
                           const BalanceInputs& in) {
  const embree::EmbreeSceneManager& host = scene.host();
  const SceneDescription& d = host.description();
  const size_t n = static_cast<size_t>(p.n_primitives);
  const size_t values = n * static_cast<size_t>(std::max(p.n_bands, 1));
  std::vector<device::DevicePrimitive> prims(n);
  const std::vector<embree::PrimitiveGeometry> geometry = host.primitive_geometry();
  for (size_t i = 0; i < n; ++i) {
    const embree::PrimitiveGeometry& g = geometry[i];
    std::memcpy(prims[i].v0, &g.vertex0, sizeof(prims[i].v0));
    std::memcpy(prims[i].v1, &g.vertex1, sizeof(prims[i].v1));
    std::memcpy(prims[i].v2, &g.vertex2, sizeof(prims[i].v2));
    std::memcpy(prims[i].normal, &g.normal, sizeof(prims[i].normal));
  }
  VulkanContext& ctx = scene.context();
  auto upload = [&ctx](std::span<const float> v) {
    return ctx.upload_buffer(v.data(), v.size() * 4);
  };
  const Buffer params = ctx.upload_buffer(&p, sizeof(p));
  const Buffer materials =
      ctx.upload_buffer(d.materials().data(), d.materials().size() * sizeof(MaterialRecord));
  const Buffer spectral = upload(in.spectral);
  const Buffer primitives =
      ctx.upload_buffer(prims.data(), prims.size() * sizeof(device::DevicePrimitive));
  const Buffer temperatures = upload(host.primitive_temperatures());
  const Buffer emissivities = upload(host.primitive_emissivities());
  const Buffer albedos = upload(in.albedos);
  const Buffer top = ctx.create_buffer(values * 4, 0);
  const Buffer bottom = ctx.create_buffer(p.two_sided ? values * 4 : 4, 0);
  const Buffer sun = upload(in.sun_irradiance);
  const Buffer sky = upload(in.sky_diffuse);
  const Buffer reflectance = upload(in.reflectance);
  const Buffer back_reflectance = upload(in.back_reflectance);
  const Buffer transmittance = upload(in.transmittance);
  const Buffer sunlit = ctx.create_buffer(n * 4, 0);
  ComputePipeline& pipeline = scene.pipeline("energy_balance.spv", "main", 19, 0, "energy balance");
  std::vector<const Buffer*> buffers = scene.scene_buffers();
  buffers.insert(buffers.end(), {&params, &materials, &spectral, &primitives, &temperatures,
                                 &emissivities, &albedos, &top, &bottom, &sun, &sky, &reflectance,
                                 &back_reflectance, &transmittance, &sunlit});
  pipeline.run(scene.top_level(), buffers, nullptr, static_cast<uint64_t>(n));
  BalanceOutputs out;
  out.top.resize(values);
  top.download(out.top.data(), values * 4);
  if (p.two_sided) {
    out.bottom.resize(values);
    bottom.download(out.bottom.data(), values * 4);
  }
  if (p.multiband) {
    out.sunlit.resize(n);
    sunlit.download(out.sunlit.data(), n * 4);
  }
  return out;
}

void check_length(std::span<const float> a, int64_t expected, const char* message) {
  if (!a.empty() && static_cast<int64_t>(a.size()) != expected) {
    throw std::invalid_argument(message);
  }
}

float3 checked_sun(float3 sun_dir) {
  const float len = length(sun_dir);
  if (!(is_finite(sun_dir) && std::isfinite(len) && len > 0.0f)) {
    throw std::invalid_argument("sun direction must be finite and nonzero");
  }
  return sun_dir / len;
}

}  // namespace

embree::EnergyBalanceResult render_energy_balance(VulkanSceneManager& scene, int n_samples,
                                                  int band_type, float sun_irradiance,
                                                  float sky_diffuse_radiance, float sky_lw_radiance,
                                                  float3 sun_dir, bool two_sided,
                                                  std::span<const float> sw_albedos) {
  if (n_samples < 1) throw std::invalid_argument("n_samples must be positive");
  if (band_type != 0 && band_type != 1) {
    throw std::invalid_argument("band_type must be 0 (shortwave) or 1 (longwave)");
  }
  const float3 s = checked_sun(sun_dir);
  const embree::EmbreeSceneManager& host = scene.host();
  const int64_t n = host.n_primitives();
  if (!sw_albedos.empty() && static_cast<int64_t>(sw_albedos.size()) != n) {
    throw std::invalid_argument("sw_albedos must hold n_primitives values");
  }
  embree::EnergyBalanceResult r;
  if (n == 0) return r;
  scene.require_built("the energy balance");
  if (!host.optical_media().media.empty()) {
    throw std::invalid_argument("energy balance does not trace optical turbid media");
  }
  const SceneDescription& d = host.description();
  device::EnergyBalanceParams p{};
  p.n_primitives = static_cast<int>(n);
  p.n_samples = n_samples;
  p.longwave = band_type == 1 ? 1 : 0;
  p.two_sided = two_sided ? 1 : 0;
  p.n_albedos = static_cast<int>(sw_albedos.size());
  p.n_temperatures = static_cast<int>(host.primitive_temperatures().size());
  p.n_emissivities = static_cast<int>(host.primitive_emissivities().size());
  p.n_materials = static_cast<int>(d.materials().size());
  p.periodic = d.is_periodic() ? 1 : 0;
  p.num_repetitions = d.num_repetitions();
  p.e_sun = sun_irradiance;
  p.sky_sw = sky_diffuse_radiance;
  p.sky_lw = sky_lw_radiance;
  p.sun[0] = s.x;
  p.sun[1] = s.y;
  p.sun[2] = s.z;
  p.tile_x = d.scene_x_size();
  p.tile_y = d.scene_y_size();
  p.z_top = host.bounds().max_z;

  std::printf("Energy balance (Vulkan): %lld primitives, %s, %d samples per face, %s, %s\n",
              static_cast<long long>(n), p.longwave ? "longwave" : "shortwave", n_samples,
              two_sided ? "two-sided" : "top faces", scene.context().device_name().c_str());
  std::fflush(stdout);

  p.n_bands = 1;
  BalanceInputs in;
  in.albedos = sw_albedos;
  BalanceOutputs out = run_balance(scene, p, in);
  r.top = std::move(out.top);
  r.bot = std::move(out.bottom);
  r.threads = 1;
  return r;
}

embree::EnergyBalanceMultibandResult render_energy_balance_multiband(
    VulkanSceneManager& scene, int n_bands, int n_samples, int max_depth,
    std::span<const float> sun_irradiance, std::span<const float> sky_diffuse_radiance,
    std::span<const float> sky_directional_table, float3 sun_dir, bool two_sided,
    std::span<const float> sw_albedos, std::span<const float> sw_reflectance,
    std::span<const float> sw_back_reflectance, std::span<const float> sw_transmittance) {
  embree::EnergyBalanceMultibandResult r;
  r.execution = ExecutionIdentity{static_cast<uint8_t>(BackendCode::Vulkan),
                                  static_cast<uint8_t>(WorkflowCode::RadiationFieldProcess),
                                  "vulkan.ray_query.radiation_field_process", true};
  if (n_bands < 1 || n_bands > device::kMaxDeviceBands) {
    throw std::invalid_argument("Vulkan fused energy balance supports 1 to 32 bands");
  }
  if (n_samples < 1) throw std::invalid_argument("n_samples must be positive");
  if (max_depth < 1) throw std::invalid_argument("max_depth must be positive");
  const float3 s = checked_sun(sun_dir);
  const int64_t nb = n_bands;
  check_length(sun_irradiance, nb, "sun_irradiance must have shape [n_bands]");
  check_length(sky_diffuse_radiance, nb, "sky_diffuse_radiance must have shape [n_bands]");
  check_length(sky_directional_table, nb * 512,
               "sky_directional_table must have shape [n_bands, 16, 32]");
  const embree::EmbreeSceneManager& host = scene.host();
  const int64_t n = host.n_primitives();
  check_length(sw_albedos, nb * n, "sw_albedos must hold n_bands * n_primitives values");
  check_length(sw_reflectance, nb * n, "sw_reflectance must hold n_bands * n_primitives values");
  check_length(sw_back_reflectance, nb * n,
               "sw_back_reflectance must hold n_bands * n_primitives values");
  check_length(sw_transmittance, nb * n,
               "sw_transmittance must hold n_bands * n_primitives values");
  r.n_bands = n_bands;
  if (n == 0) return r;
  scene.require_built("the energy balance");
  if (!host.optical_media().media.empty()) {
    throw std::invalid_argument("energy balance does not trace optical turbid media");
  }
  const SceneDescription& d = host.description();
  device::EnergyBalanceParams p{};
  p.n_primitives = static_cast<int>(n);
  p.n_samples = n_samples;
  p.two_sided = two_sided ? 1 : 0;
  p.n_albedos = static_cast<int>(sw_albedos.size());
  p.n_materials = static_cast<int>(d.materials().size());
  p.periodic = d.is_periodic() ? 1 : 0;
  p.num_repetitions = d.num_repetitions();
  p.sun[0] = s.x;
  p.sun[1] = s.y;
  p.sun[2] = s.z;
  p.tile_x = d.scene_x_size();
  p.tile_y = d.scene_y_size();
  p.z_top = host.bounds().max_z;
  p.multiband = 1;
  p.n_bands = n_bands;
  p.max_depth = max_depth;
  p.has_sun = sun_irradiance.empty() ? 0 : 1;
  p.has_albedo = sw_albedos.empty() ? 0 : 1;
  p.has_reflectance = sw_reflectance.empty() ? 0 : 1;
  p.has_back_reflectance = sw_back_reflectance.empty() ? 0 : 1;
  p.has_transmittance = sw_transmittance.empty() ? 0 : 1;
  // Sky: the call's table (appended to the spectral buffer), else its isotropic radiances,
  // else the scene's own sky.
  std::vector<float> spectral = d.spectral_params();
  p.sky_uniform = -1;
  p.sky_directional = -1;
  p.sky_hw = -1;
  if (!sky_directional_table.empty()) {
    p.sky_directional = static_cast<int>(spectral.size());
    spectral.insert(spectral.end(), sky_directional_table.begin(), sky_directional_table.end());
    p.scene_n_bands = n_bands;
  } else if (!sky_diffuse_radiance.empty()) {
    p.sky_from_array = 1;
  } else {
    p.sky_uniform = d.uniform_sky_offset();
    p.sky_directional = d.directional_sky_offset();
    p.sky_hw = d.hw_sky_offset();
    p.scene_n_bands = std::max(d.num_bands(), 0);
  }
  p.spectral_size = static_cast<int>(std::min<size_t>(spectral.size(), INT32_MAX));
  const float3 hw = d.hw_sun_direction();
  p.hw_sun[0] = hw.x;
  p.hw_sun[1] = hw.y;
  p.hw_sun[2] = hw.z;
  std::printf(
      "Energy balance multiband (Vulkan): %lld primitives, %d bands, %d samples per face, "
      "max_depth=%d, %s, %s\n",
      static_cast<long long>(n), n_bands, n_samples, max_depth,
      two_sided ? "two-sided" : "top faces", scene.context().device_name().c_str());
  std::fflush(stdout);
  BalanceInputs in;
  in.spectral = spectral;
  in.albedos = sw_albedos;
  in.sun_irradiance = sun_irradiance;
  in.sky_diffuse = sky_diffuse_radiance;
  in.reflectance = sw_reflectance;
  in.back_reflectance = sw_back_reflectance;
  in.transmittance = sw_transmittance;
  BalanceOutputs out = run_balance(scene, p, in);
  r.top = std::move(out.top);
  r.bot = std::move(out.bottom);
  r.sunlit_fraction = std::move(out.sunlit);
  r.threads = 1;
  return r;
}

}  // namespace tesk::vulkan
