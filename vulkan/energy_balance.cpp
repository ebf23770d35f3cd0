#include "vulkan/energy_balance.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "shaders/device_records.h"

namespace tesk::vulkan {

embree::EnergyBalanceResult render_energy_balance(VulkanSceneManager& scene, int n_samples,
                                                  int band_type, float sun_irradiance,
                                                  float sky_diffuse_radiance, float sky_lw_radiance,
                                                  float3 sun_dir, bool two_sided,
                                                  std::span<const float> sw_albedos) {
  if (n_samples < 1) throw std::invalid_argument("n_samples must be positive");
  if (band_type != 0 && band_type != 1) {
    throw std::invalid_argument("band_type must be 0 (shortwave) or 1 (longwave)");
  }
  const float len = length(sun_dir);
  if (!(is_finite(sun_dir) && std::isfinite(len) && len > 0.0f)) {
    throw std::invalid_argument("sun direction must be finite and nonzero");
  }
  const float3 s = sun_dir / len;
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

  std::vector<device::DevicePrimitive> prims(static_cast<size_t>(n));
  const std::vector<embree::PrimitiveGeometry> geometry = host.primitive_geometry();
  for (size_t i = 0; i < prims.size(); ++i) {
    const embree::PrimitiveGeometry& g = geometry[i];
    std::memcpy(prims[i].v0, &g.vertex0, sizeof(prims[i].v0));
    std::memcpy(prims[i].v1, &g.vertex1, sizeof(prims[i].v1));
    std::memcpy(prims[i].v2, &g.vertex2, sizeof(prims[i].v2));
    std::memcpy(prims[i].normal, &g.normal, sizeof(prims[i].normal));
  }
  VulkanContext& ctx = scene.context();
  const Buffer params = ctx.upload_buffer(&p, sizeof(p));
  const Buffer materials =
      ctx.upload_buffer(d.materials().data(), d.materials().size() * sizeof(MaterialRecord));
  const Buffer spectral = ctx.create_buffer(4, 0);  // not read: optics come from the arguments
  const Buffer primitives =
      ctx.upload_buffer(prims.data(), prims.size() * sizeof(device::DevicePrimitive));
  const Buffer temperatures = ctx.upload_buffer(host.primitive_temperatures().data(),
                                                host.primitive_temperatures().size() * 4);
  const Buffer emissivities = ctx.upload_buffer(host.primitive_emissivities().data(),
                                                host.primitive_emissivities().size() * 4);
  const Buffer albedos = ctx.upload_buffer(sw_albedos.data(), sw_albedos.size() * 4);
  const Buffer top = ctx.create_buffer(static_cast<size_t>(n) * 4, 0);
  const Buffer bottom = ctx.create_buffer(two_sided ? static_cast<size_t>(n) * 4 : 4, 0);
  ComputePipeline& pipeline = scene.pipeline("energy_balance.spv", "main", 13, 0, "energy balance");
  std::vector<const Buffer*> buffers = scene.scene_buffers();
  buffers.insert(buffers.end(), {&params, &materials, &spectral, &primitives, &temperatures,
                                 &emissivities, &albedos, &top, &bottom});
  pipeline.run(scene.top_level(), buffers, nullptr, static_cast<uint64_t>(n));
  r.top.resize(static_cast<size_t>(n));
  top.download(r.top.data(), r.top.size() * 4);
  if (two_sided) {
    r.bot.resize(static_cast<size_t>(n));
    bottom.download(r.bot.data(), r.bot.size() * 4);
  }
  r.threads = 1;
  return r;
}

}  // namespace tesk::vulkan
