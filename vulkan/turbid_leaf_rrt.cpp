#include "vulkan/turbid_leaf_rrt.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "core/host/allocation.h"
#include "core/optical_media.h"
#include "core/random_streams.h"
#include "core/transport_constants.h"
#include "shaders/device_records.h"
#include "turbid/state_ops.h"
#include "vulkan/media_buffers.h"
#include "vulkan/physiology.h"

namespace tesk::vulkan {

// The shader's medium records and walker constants are the CPU's.
static_assert(sizeof(device::DeviceMedium) == sizeof(OpticalMediumRecord));
static_assert(offsetof(OpticalMediumRecord, G) == offsetof(device::DeviceMedium, G));
static_assert(device::kMaxActiveMedia == kMaxActiveMedia);
static_assert(device::kProjectionAngles == kProjectionAngles);
static_assert(device::kBoundaryStep == transport::kBoundaryStep);
static_assert(device::kWallBoundaryTolerance == transport::kWallBoundaryTolerance);
static_assert(device::kOpaqueOpticalDepth == transport::kOpaqueOpticalDepth);
static_assert(device::kMaxPathSteps == transport::kMaxPathSteps);
static_assert(device::kMaxWalkSteps == transport::kMaxWalkSteps);
static_assert(device::kMaxContainmentInstances == transport::kMaxContainmentInstances);
static_assert(device::kMinSunTransmittance == transport::kMinSunTransmittance);
static_assert(device::kTurbidDefaultEmissivity == transport::kTurbidDefaultEmissivity);
static_assert(device::kStreamLeafSample == static_cast<uint32_t>(StreamKey::LeafSample));

namespace {

// Walk events per dispatch: enough to fill a device, few enough that one submission stays short
// (drivers reset devices whose submissions run for seconds).
constexpr int64_t kEventsPerDispatch = int64_t{1} << 22;

double elapsed_ms(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

embree::TurbidLeafRRTResult run_turbid_leaf_rrt_gpu(VulkanSceneManager& scene,
                                                    const embree::TurbidLeafRRTParams& p,
                                                    const ProgressCallback& progress) {
  embree::TurbidLeafRRTResult r;
  r.execution = ExecutionIdentity{static_cast<uint8_t>(BackendCode::Vulkan),
                                  static_cast<uint8_t>(WorkflowCode::RadiationFieldProcess),
                                  "vulkan.ray_query.turbid_leaf_rrt", true};
  const embree::EmbreeSceneManager& host = scene.host();
  const int64_t n = embree::validate_turbid_leaf_rrt(host, p);
  if (p.n_bands > device::kMaxDeviceBands) {
    throw std::invalid_argument("Vulkan turbid leaf RRT supports 1 to 32 bands");
  }
  if (p.thermal_mode && (p.instance_lw_radiance.empty() || p.instance_emissivity.empty())) {
    throw std::invalid_argument(
        "Vulkan thermal turbid leaf RRT requires per-instance longwave source and emissivity");
  }
  if (n == 0) return r;
  scene.require_built("tracing rays");
  if (n > INT32_MAX) throw std::invalid_argument("Vulkan turbid leaf RRT supports 2^31-1 samples");
  const int64_t nb = p.n_bands;
  check_allocation(static_cast<double>(n) * (4 * nb + 2) * 2.0 * sizeof(float),
                   "turbid leaf RRT results");

  const SceneDescription& d = host.description();
  device::TurbidLeafRRTDeviceParams dp{};
  dp.n_samples = static_cast<int>(n);
  dp.n_bands = p.n_bands;
  dp.rays_per_sample = p.rays_per_sample;
  dp.max_depth = p.max_depth;
  dp.thermal = p.thermal_mode ? 1 : 0;
  dp.has_sun = std::any_of(p.sun_irradiance.begin(), p.sun_irradiance.end(),
                           [](float e) { return e > 0.0f; })
                   ? 1
                   : 0;
  dp.has_sky_diffuse = p.sky_diffuse_radiance.empty() ? 0 : 1;
  dp.has_reflectance = p.medium_reflectance.empty() ? 0 : 1;
  dp.has_back_reflectance = p.medium_back_reflectance.empty() ? 0 : 1;
  dp.has_transmittance = p.medium_transmittance.empty() ? 0 : 1;
  dp.n_materials = static_cast<int>(d.materials().size());
  // The call's directional sky table goes after the scene's spectral buffer.
  std::vector<float> spectral = d.spectral_params();
  dp.sky_directional = -1;
  if (!p.sky_directional_table.empty()) {
    dp.sky_directional = static_cast<int>(spectral.size());
    spectral.insert(spectral.end(), p.sky_directional_table.begin(), p.sky_directional_table.end());
  }
  if (spectral.size() > static_cast<size_t>(INT32_MAX)) {
    throw std::invalid_argument("Vulkan turbid leaf RRT spectral buffer exceeds 2^31-1 floats");
  }
  dp.spectral_size = static_cast<int>(spectral.size());
  const float3 sun = normalize(p.sun_dir);
  dp.sun[0] = sun.x;
  dp.sun[1] = sun.y;
  dp.sun[2] = sun.z;
  dp.seed_lo = static_cast<uint32_t>(p.seed);
  dp.seed_hi = static_cast<uint32_t>(p.seed >> 32);

  std::printf(
      "Turbid leaf RRT (Vulkan): %lld samples, %d bands, %d rays per side, max_depth=%d, %s, "
      "%s\n",
      static_cast<long long>(n), p.n_bands, p.rays_per_sample, p.max_depth,
      p.thermal_mode ? "thermal" : "shortwave", scene.context().device_name().c_str());
  std::fflush(stdout);

  VulkanContext& ctx = scene.context();
  auto upload = [&ctx](const auto& v) {
    return ctx.upload_buffer(v.data(), v.size() * sizeof(v[0]));
  };
  const Buffer params = ctx.upload_buffer(&dp, sizeof(dp));
  const Buffer materials =
      ctx.upload_buffer(d.materials().data(), d.materials().size() * sizeof(MaterialRecord));
  const Buffer spectral_buffer = upload(spectral);
  const MediaBuffers media = upload_media(scene);
  const Buffer positions = upload(p.positions);
  const Buffer normals = upload(p.normals);
  const Buffer offsets = upload(p.active_medium_offsets);
  const Buffer active_media = upload(p.active_medium_ids);
  const Buffer active_instances = upload(p.active_instance_ids);
  const Buffer sun_irradiance = upload(p.sun_irradiance);
  const Buffer sky = upload(p.sky_diffuse_radiance);
  const Buffer reflectance = upload(p.medium_reflectance);
  const Buffer back_reflectance = upload(p.medium_back_reflectance);
  const Buffer transmittance = upload(p.medium_transmittance);
  const Buffer lw = upload(p.instance_lw_radiance);
  const Buffer emissivity = upload(p.instance_emissivity);
  const size_t values = static_cast<size_t>(nb * n);
  const Buffer total_top = ctx.create_buffer(values * 4, 0);
  const Buffer total_bottom = ctx.create_buffer(values * 4, 0);
  const Buffer direct_top = ctx.create_buffer(values * 4, 0);
  const Buffer direct_bottom = ctx.create_buffer(values * 4, 0);
  const Buffer p_sun = ctx.create_buffer(static_cast<size_t>(n) * 4, 0);
  const Buffer rays = ctx.create_buffer(static_cast<size_t>(n) * 4, 0);
  ComputePipeline& pipeline = scene.pipeline("turbid_leaf_rrt.spv", "main", 29,
                                             sizeof(device::TurbidLeafRRTPush), "turbid leaf RRT");
  std::vector<const Buffer*> buffers = scene.scene_buffers();
  buffers.insert(buffers.end(), {&params,
                                 &materials,
                                 &spectral_buffer,
                                 &positions,
                                 &normals,
                                 &offsets,
                                 &active_media,
                                 &active_instances,
                                 &sun_irradiance,
                                 &sky,
                                 &media.params,
                                 &media.media,
                                 &media.material_media,
                                 &media.leaf_models,
                                 &reflectance,
                                 &back_reflectance,
                                 &transmittance,
                                 &lw,
                                 &emissivity,
                                 &total_top,
                                 &total_bottom,
                                 &direct_top,
                                 &direct_bottom,
                                 &p_sun,
                                 &rays});

  // Dispatches of whole samples, sized by the walks they start (2 sides x rays x max_depth).
  const int64_t events_per_sample =
      std::max<int64_t>(2 * int64_t{p.rays_per_sample} * std::max(p.max_depth, 1), 1);
  const int64_t per_dispatch = std::clamp<int64_t>(kEventsPerDispatch / events_per_sample,
                                                   device::kWorkgroupSize, int64_t{1} << 20);
  const auto start = std::chrono::steady_clock::now();
  for (int64_t first = 0; first < n; first += per_dispatch) {
    device::TurbidLeafRRTPush push{};
    push.first_sample = static_cast<uint32_t>(first);
    push.count = static_cast<uint32_t>(std::min(per_dispatch, n - first));
    pipeline.run(scene.top_level(), buffers, &push, push.count);
    if (progress) progress(first + push.count, n, static_cast<float>(elapsed_ms(start)));
  }

  r.total_top.resize(values);
  r.total_bottom.resize(values);
  r.direct_top.resize(values);
  r.direct_bottom.resize(values);
  r.p_sun.resize(static_cast<size_t>(n));
  total_top.download(r.total_top.data(), values * 4);
  total_bottom.download(r.total_bottom.data(), values * 4);
  direct_top.download(r.direct_top.data(), values * 4);
  direct_bottom.download(r.direct_bottom.data(), values * 4);
  p_sun.download(r.p_sun.data(), static_cast<size_t>(n) * 4);
  std::vector<uint32_t> queries(static_cast<size_t>(n));
  rays.download(queries.data(), queries.size() * 4);
  for (uint32_t q : queries) r.rays += q;
  r.threads = 1;
  return r;
}

turbid::OwnedTurbidState execute_turbid_radiation_field_gpu(
    VulkanSceneManager& scene, const turbid::TurbidDomainRecord& domain,
    const embree::OwnedTurbidRadiationRequest& q, const ProgressCallback& progress) {
  embree::validate_radiation_request(domain, q);
  const embree::EmbreeSceneManager& host = scene.host();
  const auto n_media = static_cast<int32_t>(host.optical_media().media.size());
  if (!scene.device_current() || n_media == 0) {
    throw std::runtime_error(
        "Vulkan Turbid radiation requires a built optical scene. No fallback was performed.");
  }
  const size_t n = domain.pool->samples.size();
  const size_t nb = q.wavelengths.size();
  if (n > static_cast<size_t>(INT32_MAX)) {
    throw std::overflow_error("Turbid radiation sample exceeds native device indexing");
  }
  if (nb > static_cast<size_t>(INT32_MAX)) {
    throw std::overflow_error("Turbid radiation band exceeds native device indexing");
  }
  const embree::TurbidRadiationOwnerTransport t =
      embree::prepare_turbid_radiation_owners(domain, q, n_media);
  const embree::TurbidLeafRRTInputs inputs = embree::leaf_rrt_inputs(domain, t);
  embree::TurbidLeafRRTParams p;
  embree::fill_radiation_leaf_rrt_params(domain, q, t, inputs, p);
  const embree::TurbidLeafRRTResult r = run_turbid_leaf_rrt_gpu(scene, p, progress);

  turbid::OwnerBandOptics optics;
  const size_t n_owners = q.owners.size();
  optics.front.resize(nb * n_owners);
  optics.back.resize(nb * n_owners);
  optics.transmittance.resize(nb * n_owners);
  for (size_t o = 0; o < n_owners; ++o) {
    for (size_t b = 0; b < nb; ++b) {
      optics.front[b * n_owners + o] = q.owners[o].reflectance[b];
      optics.back[b * n_owners + o] = q.owners[o].back_reflectance[b];
      optics.transmittance[b * n_owners + o] = q.owners[o].transmittance[b];
    }
  }
  return turbid::assemble_radiation_state(
      domain, turbid::fresh_token(domain, q.workflow_revision, turbid::TurbidStage::Radiation),
      q.wavelengths, optics, r.total_top, r.total_bottom, r.direct_top, r.direct_bottom, r.p_sun);
}

turbid::OwnedTurbidState execute_turbid_static_physiology_gpu(
    VulkanSceneManager& scene, const turbid::TurbidDomainRecord& domain,
    const embree::OwnedTurbidStaticPhysiologyRequest& q,
    const turbid::OwnedTurbidState& radiation) {
  embree::validate_static_physiology_request(domain, q);
  if (!scene.device_current() || scene.host().optical_media().media.empty()) {
    throw std::runtime_error(
        "Vulkan StaticPhysiology requires a built optical scene. No fallback was performed.");
  }
  return embree::execute_turbid_static_physiology(
      scene.host(), domain, q, radiation, {},
      [&scene](const physiology::PhysiologyRequestView& view) {
        return solve_physiology(scene, view);
      });
}

embree::TurbidEnergyBalanceRun execute_turbid_energy_balance_gpu(
    VulkanSceneManager& scene, const turbid::TurbidDomainRecord& domain,
    const embree::OwnedTurbidEnergyBalanceRequest& q, const turbid::OwnedTurbidState& source,
    const ProgressCallback& progress) {
  embree::validate_energy_balance_request(domain, q);
  if (!scene.device_current() || scene.host().optical_media().media.empty()) {
    throw std::runtime_error(
        "Vulkan Turbid energy balance requires a built optical scene. No fallback was performed.");
  }
  return embree::execute_turbid_energy_balance(
      scene.host(), domain, q, source, {}, {},
      [&scene, &progress](const embree::TurbidLeafRRTParams& p) {
        return run_turbid_leaf_rrt_gpu(scene, p, progress);
      });
}

}  // namespace tesk::vulkan
