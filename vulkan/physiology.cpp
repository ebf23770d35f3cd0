#include "vulkan/physiology.h"

#include <algorithm>
#include <cmath>
#include <span>
#include <stdexcept>
#include <vector>

#include "physiology/leaf_model.h"
#include "shaders/physiology_records.h"
#include "vulkan/energy_balance.h"

namespace tesk::vulkan {
namespace {

// The shaders read the model's constants from the model header itself; these are the process
// constants the host code shares with them.
constexpr float kSurfaceNewtonStep = 20.0f;  // largest Newton step of the surface balance (K)

ExecutionIdentity vulkan_execution(WorkflowCode workflow, const char* operation) {
  return ExecutionIdentity{static_cast<uint8_t>(BackendCode::Vulkan),
                           static_cast<uint8_t>(workflow),
                           std::string("vulkan.ray_query.") + operation, true};
}

template <typename T>
Buffer upload(VulkanContext& ctx, std::span<const T> values) {
  return ctx.upload_buffer(values.data(), values.size() * sizeof(T));
}

// One dispatch of photosynthesis_process.spv over p.n_elements elements; returns the
// `out_fields` field-major outputs.
std::vector<float> run_photosynthesis(VulkanSceneManager& scene, const device::PhysiologyPush& p,
                                      std::span<const float> element_in,
                                      std::span<const float> spectra,
                                      std::span<const int32_t> int_in,
                                      std::span<const float> material_in, int out_fields) {
  VulkanContext& ctx = scene.context();
  const size_t n_out = static_cast<size_t>(out_fields) * static_cast<size_t>(p.n_elements);
  const Buffer a = upload(ctx, element_in);
  const Buffer b = upload(ctx, spectra);
  const Buffer c = upload(ctx, int_in);
  const Buffer d = upload(ctx, material_in);
  const Buffer out = ctx.create_buffer(n_out * sizeof(float), 0);
  ComputePipeline& pipeline = scene.pipeline("photosynthesis_process.spv", "main", 5, sizeof(p),
                                             "photosynthesis process", false);
  pipeline.run(VK_NULL_HANDLE, {&a, &b, &c, &d, &out}, &p, static_cast<uint64_t>(p.n_elements));
  std::vector<float> values(n_out);
  out.download(values.data(), n_out * sizeof(float));
  return values;
}

// Field `field` of element `e` in a field-major array over n elements.
inline float& at(std::vector<float>& v, int field, size_t n, size_t e) {
  return v[static_cast<size_t>(field) * n + e];
}
inline float at(const std::vector<float>& v, int field, size_t n, size_t e) {
  return v[static_cast<size_t>(field) * n + e];
}

void copy_field(std::vector<float>& dst, int field, size_t n, const float* src) {
  std::copy(src, src + n, dst.begin() + static_cast<ptrdiff_t>(static_cast<size_t>(field) * n));
}

// The CPU processes' outer loop with the device longwave transport.
template <typename Step>
void run_coupling(VulkanSceneManager& scene, const embree::CouplingControls& c,
                  std::span<const float> emissivity, std::span<const float> sidedness,
                  std::vector<float>& scene_temperature, std::vector<float>& lw_top,
                  std::vector<float>& lw_bottom, std::vector<float>& lw_total,
                  embree::CouplingDiagnostics& d, Step&& step) {
  scene.require_built("the energy balance");
  const auto transport = [&] {
    return render_energy_balance(scene, c.n_samples, 1, 0.0f, 0.0f, c.sky_lw_radiance,
                                 float3{0.0f, 0.0f, 1.0f}, true, {});
  };
  embree::run_coupling_loop(scene.host(), c, emissivity, sidedness, scene_temperature, transport,
                            lw_top, lw_bottom, lw_total, d, step);
}

}  // namespace

physiology::PhysiologyResult solve_physiology(VulkanSceneManager& scene,
                                              const physiology::PhysiologyRequestView& r) {
  physiology::validate_physiology_request(r);
  const auto n = static_cast<size_t>(r.n_elements);
  std::vector<float> in(static_cast<size_t>(device::kSolverInputFields) * n, 0.0f);
  const std::pair<int, const physiology::FloatBuffer*> fields[] = {
      {device::kSolverTemperature, &r.temperature},
      {device::kSolverCo2, &r.co2},
      {device::kSolverRelativeHumidity, &r.relative_humidity},
      {device::kSolverPressure, &r.pressure},
      {device::kSolverWind, &r.wind},
      {device::kSolverVcmax25, &r.vcmax25},
      {device::kSolverJmax25, &r.jmax25},
      {device::kSolverRd25, &r.rd25},
      {device::kSolverSlope, &r.ball_berry_slope},
      {device::kSolverIntercept, &r.ball_berry_intercept},
      {device::kSolverQuantumYield, &r.quantum_yield}};
  for (const auto& [field, buffer] : fields) copy_field(in, field, n, buffer->data);
  if (r.energy_balance) {
    const std::pair<int, const physiology::FloatBuffer*> energy[] = {
        {device::kSolverShortwave, &r.absorbed_shortwave},
        {device::kSolverLongwave, &r.absorbed_longwave},
        {device::kSolverAirTemperature, &r.air_temperature},
        {device::kSolverVaporPressure, &r.vapor_pressure},
        {device::kSolverEmissivity, &r.emissivity},
        {device::kSolverSidedness, &r.sidedness},
        {device::kSolverLeafWidth, &r.leaf_width},
        {device::kSolverStomataSides, &r.stomata_sides}};
    for (const auto& [field, buffer] : energy) copy_field(in, field, n, buffer->data);
  }
  device::PhysiologyPush p{};
  p.mode = device::kModePhysiologySolver;
  p.n_elements = r.n_elements;
  p.n_bands = r.n_bands;
  p.max_iterations = r.max_iterations;
  p.tolerance = r.tolerance;
  p.energy_balance = r.energy_balance ? 1 : 0;
  p.solve_temperature = r.energy_balance && r.solve_temperature ? 1 : 0;
  const std::vector<float> o =
      run_photosynthesis(scene, p, in, std::span<const float>(r.apar.data, r.apar.size), {}, {},
                         device::kSolverOutputFields);
  physiology::PhysiologyResult out;
  auto field = [&](int f) {
    const auto begin = o.begin() + static_cast<ptrdiff_t>(static_cast<size_t>(f) * n);
    return std::vector<float>(begin, begin + static_cast<ptrdiff_t>(n));
  };
  out.an = field(device::kSolverOutAn);
  out.gs = field(device::kSolverOutGs);
  out.ci = field(device::kSolverOutCi);
  out.phi_f = field(device::kSolverOutPhiF);
  out.converged.resize(n);
  for (size_t e = 0; e < n; ++e) {
    out.converged[e] = at(o, device::kSolverOutConverged, n, e) != 0.0f ? 1 : 0;
  }
  if (r.energy_balance) {
    out.temperature = field(device::kSolverOutTemperature);
    out.net_radiation = field(device::kSolverOutNetRadiation);
    out.sensible_heat = field(device::kSolverOutSensibleHeat);
    out.latent_heat = field(device::kSolverOutLatentHeat);
  }
  out.execution = vulkan_execution(WorkflowCode::PhysiologySolver, "physiology_solver");
  return out;
}

physiology::PhotosynthesisProcessResult execute_photosynthesis_process_static(
    VulkanSceneManager& scene, const physiology::PhotosynthesisProcessRequestView& r) {
  physiology::validate_photosynthesis_process(r);
  const auto n = static_cast<size_t>(r.n_elements);
  const auto nb = static_cast<size_t>(r.n_bands);
  const auto nm = static_cast<size_t>(r.n_materials);
  std::vector<float> in(static_cast<size_t>(device::kStaticInputFields) * n);
  copy_field(in, device::kStaticSunlitFraction, n, r.sunlit_fraction.data);
  copy_field(in, device::kStaticTemperatureSunlit, n, r.temperature_sunlit.data);
  copy_field(in, device::kStaticTemperatureShaded, n, r.temperature_shaded.data);
  // Absorbed top, bottom and direct spectra, then the PAR factor of every band.
  std::vector<float> spectra;
  spectra.reserve(3 * n * nb + nb);
  for (const physiology::FloatBuffer* b : {&r.absorbed_top, &r.absorbed_bottom, &r.absorbed_direct})
    spectra.insert(spectra.end(), b->data, b->data + n * nb);
  for (size_t b = 0; b < nb; ++b) {
    spectra.push_back(physiology::par_conversion_factor(r.wavelengths.data[b]));
  }
  std::vector<int32_t> ints(r.material_ids.data, r.material_ids.data + n);
  ints.insert(ints.end(), r.material_active.data, r.material_active.data + nm);
  ints.insert(ints.end(), r.material_fluorescent.data, r.material_fluorescent.data + nm);
  std::vector<float> traits;
  for (const physiology::FloatBuffer* b : {&r.vcmax25, &r.jmax25, &r.rd25, &r.ball_berry_slope,
                                           &r.ball_berry_intercept, &r.quantum_yield}) {
    traits.insert(traits.end(), b->data, b->data + nm);
  }
  device::PhysiologyPush p{};
  p.mode = device::kModeStaticProcess;
  p.n_elements = r.n_elements;
  p.n_bands = r.n_bands;
  p.n_materials = r.n_materials;
  p.max_iterations = r.max_iterations;
  p.tolerance = r.tolerance;
  p.co2 = r.co2;
  p.relative_humidity = r.relative_humidity;
  const std::vector<float> o =
      run_photosynthesis(scene, p, in, spectra, ints, traits, device::kStaticOutputFields);
  physiology::PhotosynthesisProcessResult out;
  auto field = [&](int f) {
    const auto begin = o.begin() + static_cast<ptrdiff_t>(static_cast<size_t>(f) * n);
    return std::vector<float>(begin, begin + static_cast<ptrdiff_t>(n));
  };
  out.temperature = field(device::kStaticOutTemperature);
  out.an = field(device::kStaticOutAn);
  out.gs = field(device::kStaticOutGs);
  out.phi_f = field(device::kStaticOutPhiF);
  out.apar = field(device::kStaticOutApar);
  out.temperature_sunlit.assign(r.temperature_sunlit.data, r.temperature_sunlit.data + n);
  out.temperature_shaded.assign(r.temperature_shaded.data, r.temperature_shaded.data + n);
  out.sunlit_fraction.assign(r.sunlit_fraction.data, r.sunlit_fraction.data + n);
  out.apar_sunlit = field(device::kStaticOutAparSunlit);
  out.apar_shaded = field(device::kStaticOutAparShaded);
  out.an_sunlit = field(device::kStaticOutAnSunlit);
  out.an_shaded = field(device::kStaticOutAnShaded);
  out.active_mask.resize(n);
  out.converged.resize(n);
  for (size_t e = 0; e < n; ++e) {
    out.active_mask[e] = at(o, device::kStaticOutActive, n, e) != 0.0f ? 1 : 0;
    out.converged[e] = at(o, device::kStaticOutConverged, n, e) != 0.0f ? 1 : 0;
  }
  out.execution =
      vulkan_execution(WorkflowCode::PhotosynthesisProcessStatic, "photosynthesis_process_static");
  return out;
}

embree::DynamicPhotosynthesisResult execute_photosynthesis_process_dynamic(
    VulkanSceneManager& scene, const embree::DynamicPhotosynthesisRequest& r) {
  embree::validate_dynamic_photosynthesis(r);
  const size_t n = r.active.size();
  embree::DynamicPhotosynthesisResult out;
  for (std::vector<float>* v :
       {&out.temperature, &out.an, &out.gs, &out.ci, &out.phi_f, &out.apar, &out.temperature_sunlit,
        &out.temperature_shaded, &out.sunlit_fraction, &out.apar_sunlit, &out.apar_shaded,
        &out.an_sunlit, &out.an_shaded, &out.emitted_longwave, &out.net_radiation,
        &out.sensible_heat, &out.latent_heat}) {
    v->assign(n, 0.0f);
  }
  out.active_mask.assign(n, 0);
  out.element_converged.assign(n, 0);
  out.execution = vulkan_execution(WorkflowCode::PhotosynthesisProcessDynamic,
                                   "photosynthesis_process_dynamic");

  std::vector<float> t_sun(r.initial_temperature.begin(), r.initial_temperature.end());
  std::vector<float> t_shade = t_sun;
  std::vector<float> scene_t = t_sun;
  std::vector<float> in(static_cast<size_t>(device::kDynamicInputFields) * n, 0.0f);
  const std::pair<int, std::span<const float>> fields[] = {
      {device::kDynamicApar, r.apar},
      {device::kDynamicShortwave, r.absorbed_shortwave},
      {device::kDynamicEmissivity, r.emissivity},
      {device::kDynamicSidedness, r.sidedness},
      {device::kDynamicLeafWidth, r.leaf_width},
      {device::kDynamicStomataSides, r.stomata_sides},
      {device::kDynamicVcmax25, r.vcmax25},
      {device::kDynamicJmax25, r.jmax25},
      {device::kDynamicRd25, r.rd25},
      {device::kDynamicSlope, r.ball_berry_slope},
      {device::kDynamicIntercept, r.ball_berry_intercept},
      {device::kDynamicSunlitFraction, r.sunlit_fraction},
      {device::kDynamicAparSunlit, r.apar_sunlit},
      {device::kDynamicAparShaded, r.apar_shaded},
      {device::kDynamicShortwaveSunlit, r.shortwave_sunlit},
      {device::kDynamicShortwaveShaded, r.shortwave_shaded}};
  for (const auto& [field, values] : fields) {
    if (!values.empty()) copy_field(in, field, n, values.data());
  }
  for (size_t e = 0; e < n; ++e) {
    at(in, device::kDynamicQuantumYield, n, e) = r.fluorescent[e] != 0 ? r.quantum_yield[e] : 0.0f;
    const float f = r.conditional ? r.sunlit_fraction[e] : 1.0f;
    out.sunlit_fraction[e] = f;
    out.active_mask[e] = static_cast<uint8_t>(r.active[e]);
    out.apar[e] = r.apar[e];
    out.apar_sunlit[e] = r.conditional ? r.apar_sunlit[e] : r.apar[e];
    out.apar_shaded[e] = r.conditional ? r.apar_shaded[e] : 0.0f;
  }
  device::PhysiologyPush p{};
  p.mode = device::kModeDynamicStep;
  p.n_elements = static_cast<int>(n);
  p.max_iterations = r.physiology_max_iterations;
  p.tolerance = r.physiology_tolerance;
  p.conditional = r.conditional ? 1 : 0;
  p.co2 = r.co2;
  p.relative_humidity = r.relative_humidity;
  p.air_temperature = r.air_temperature;
  p.vapor_pressure = r.vapor_pressure;
  p.pressure = r.pressure;
  p.wind = r.wind;
  p.damping = r.coupling.damping;

  auto step = [&](const std::vector<float>& lw) {
    copy_field(in, device::kDynamicLongwave, n, lw.data());
    copy_field(in, device::kDynamicTemperatureSunlit, n, t_sun.data());
    copy_field(in, device::kDynamicTemperatureShaded, n, t_shade.data());
    const std::vector<float> o =
        run_photosynthesis(scene, p, in, {}, r.active, {}, device::kDynamicOutputFields);
    float change = 0.0f;
    for (size_t e = 0; e < n; ++e) {
      if (r.active[e] == 0) continue;
      t_sun[e] = at(o, device::kDynamicOutTemperatureSunlit, n, e);
      t_shade[e] = at(o, device::kDynamicOutTemperatureShaded, n, e);
      scene_t[e] = at(o, device::kDynamicOutTemperature, n, e);
      change = std::max(change, at(o, device::kDynamicOutChange, n, e));
      out.an[e] = at(o, device::kDynamicOutAn, n, e);
      out.an_sunlit[e] = at(o, device::kDynamicOutAnSunlit, n, e);
      if (r.conditional) out.an_shaded[e] = at(o, device::kDynamicOutAnShaded, n, e);
      out.gs[e] = at(o, device::kDynamicOutGs, n, e);
      out.ci[e] = at(o, device::kDynamicOutCi, n, e);
      out.phi_f[e] = at(o, device::kDynamicOutPhiF, n, e);
      out.net_radiation[e] = at(o, device::kDynamicOutNetRadiation, n, e);
      out.sensible_heat[e] = at(o, device::kDynamicOutSensibleHeat, n, e);
      out.latent_heat[e] = at(o, device::kDynamicOutLatentHeat, n, e);
      out.emitted_longwave[e] = at(o, device::kDynamicOutEmitted, n, e);
      out.element_converged[e] = at(o, device::kDynamicOutConverged, n, e) != 0.0f ? 1 : 0;
    }
    return change;
  };
  run_coupling(scene, r.coupling, r.emissivity, r.sidedness, scene_t, out.absorbed_longwave_top,
               out.absorbed_longwave_bottom, out.absorbed_longwave, out.loop, step);
  for (size_t e = 0; e < n; ++e) {
    out.temperature[e] = scene_t[e];
    out.temperature_sunlit[e] = t_sun[e];
    out.temperature_shaded[e] = t_shade[e];
  }
  return out;
}

embree::EnergyBalanceProcessResult execute_energy_balance_process(
    VulkanSceneManager& scene, const embree::EnergyBalanceProcessRequest& r) {
  embree::validate_energy_balance_process(r);
  const size_t n = r.primitive_material_ids.size();
  scene.require_built("the energy balance");
  if (static_cast<int64_t>(n) != scene.host().n_primitives()) {
    throw std::runtime_error(r.precomputed_shortwave
                                 ? "native longwave result length does not match elements"
                                 : "native shortwave result length does not match elements");
  }
  embree::EnergyBalanceProcessResult out;
  for (std::vector<float>* v :
       {&out.temperature, &out.absorbed_shortwave_top, &out.absorbed_shortwave_bottom,
        &out.absorbed_shortwave, &out.emitted_longwave, &out.net_radiation, &out.sensible_heat,
        &out.latent_heat, &out.ground_heat}) {
    v->assign(n, 0.0f);
  }
  out.active_mask.assign(n, 0);
  out.element_converged.assign(n, 0);
  out.execution = vulkan_execution(WorkflowCode::EnergyBalanceProcess, "energy_balance_process");

  std::vector<float> in(static_cast<size_t>(device::kSurfaceInputFields) * n, 0.0f);
  std::vector<float> emissivity(n), sidedness(n), albedo(n), t(n);
  std::vector<int32_t> active(n);
  for (size_t e = 0; e < n; ++e) {
    const auto m = static_cast<size_t>(r.primitive_material_ids[e]);
    emissivity[e] = r.material_emissivity[m];
    sidedness[e] = r.material_sidedness[m];
    albedo[e] = r.material_sw_albedo[m];
    t[e] = r.material_initial_temperature[m];
    active[e] = r.material_active[m];
    out.active_mask[e] = static_cast<uint8_t>(r.material_active[m]);
    at(in, device::kSurfaceEmissivity, n, e) = emissivity[e];
    at(in, device::kSurfaceSidedness, n, e) = sidedness[e];
    at(in, device::kSurfaceSensibleDerivative, n, e) = r.material_sensible_derivative[m];
    at(in, device::kSurfaceLatentCoefficient, n, e) = r.material_latent_coefficient[m];
    at(in, device::kSurfaceGroundHeat, n, e) = r.material_ground_heat[m];
  }
  if (r.precomputed_shortwave) {
    for (size_t e = 0; e < n; ++e) {
      out.absorbed_shortwave_top[e] = r.absorbed_shortwave_top[e];
      out.absorbed_shortwave_bottom[e] = r.absorbed_shortwave_bottom[e];
    }
  } else {
    const embree::EnergyBalanceResult sw =
        render_energy_balance(scene, r.coupling.n_samples, 0, r.sw_direct, r.sw_diffuse_radiance,
                              0.0f, float3{r.sun_dir_x, r.sun_dir_y, r.sun_dir_z}, true, albedo);
    if (sw.top.size() != n || sw.bot.size() != n) {
      throw std::runtime_error("native shortwave result length does not match elements");
    }
    for (size_t e = 0; e < n; ++e) {
      out.absorbed_shortwave_top[e] = (1.0f - albedo[e]) * sw.top[e];
      out.absorbed_shortwave_bottom[e] = (1.0f - albedo[e]) * (sidedness[e] - 1.0f) * sw.bot[e];
    }
  }
  for (size_t e = 0; e < n; ++e) {
    out.absorbed_shortwave[e] = out.absorbed_shortwave_top[e] + out.absorbed_shortwave_bottom[e];
  }
  device::SurfaceBalancePush p{};
  p.n_elements = static_cast<int>(n);
  p.newton_max_iterations = r.newton_max_iterations;
  p.newton_tolerance = r.newton_tolerance;
  p.max_step = kSurfaceNewtonStep;
  p.damping = r.coupling.damping;
  p.air_temperature = r.air_temperature;
  p.vapor_pressure = r.vapor_pressure;
  VulkanContext& ctx = scene.context();
  const Buffer flags = upload(ctx, std::span<const int32_t>(active));
  const size_t n_out = static_cast<size_t>(device::kSurfaceOutputFields) * n;

  auto step = [&](const std::vector<float>& lw) {
    for (size_t e = 0; e < n; ++e) {
      at(in, device::kSurfaceAbsorbed, n, e) = out.absorbed_shortwave[e] + lw[e];
    }
    copy_field(in, device::kSurfaceTemperature, n, t.data());
    const Buffer inputs = upload(ctx, std::span<const float>(in));
    const Buffer outputs = ctx.create_buffer(n_out * sizeof(float), 0);
    ComputePipeline& pipeline = scene.pipeline("energy_balance_process.spv", "main", 3, sizeof(p),
                                               "energy balance process", false);
    pipeline.run(VK_NULL_HANDLE, {&inputs, &flags, &outputs}, &p, n);
    std::vector<float> o(n_out);
    outputs.download(o.data(), n_out * sizeof(float));
    float change = 0.0f;
    for (size_t e = 0; e < n; ++e) {
      if (active[e] == 0) continue;
      t[e] = at(o, device::kSurfaceOutTemperature, n, e);
      change = std::max(change, at(o, device::kSurfaceOutChange, n, e));
      out.net_radiation[e] = at(o, device::kSurfaceOutNetRadiation, n, e);
      out.sensible_heat[e] = at(o, device::kSurfaceOutSensibleHeat, n, e);
      out.latent_heat[e] = at(o, device::kSurfaceOutLatentHeat, n, e);
      out.emitted_longwave[e] = at(o, device::kSurfaceOutEmitted, n, e);
      out.ground_heat[e] = at(in, device::kSurfaceGroundHeat, n, e);
      out.element_converged[e] = at(o, device::kSurfaceOutConverged, n, e) != 0.0f ? 1 : 0;
    }
    return change;
  };
  run_coupling(scene, r.coupling, emissivity, sidedness, t, out.absorbed_longwave_top,
               out.absorbed_longwave_bottom, out.absorbed_longwave, out.loop, step);
  out.temperature = t;
  return out;
}

physiology::SifProcessResult finalize_sif_process(VulkanSceneManager& scene,
                                                  const physiology::SifProcessRequestView& r) {
  physiology::validate_sif_process(r);
  const auto n = static_cast<size_t>(r.n_elements);
  const auto nsel = static_cast<size_t>(r.n_selected);
  VulkanContext& ctx = scene.context();
  auto floats = [&](const physiology::FloatBuffer& b) {
    return upload(ctx, std::span<const float>(b.data, b.size));
  };
  auto ints = [&](const physiology::IntBuffer& b) {
    return upload(ctx, std::span<const int32_t>(b.data, b.size));
  };
  const Buffer top = floats(r.absorbed_top);
  const Buffer bottom = floats(r.absorbed_bottom);
  const Buffer ids = ints(r.material_ids);
  const Buffer material_phi_f = floats(r.material_phi_f);
  const Buffer selected = ints(r.selected_band_indices);
  const Buffer element_phi_f = floats(r.element_phi_f);
  const Buffer phi_f = ctx.create_buffer(n * sizeof(float), 0);
  const Buffer top_selected = ctx.create_buffer(n * nsel * sizeof(float), 0);
  const Buffer bottom_selected = ctx.create_buffer(n * nsel * sizeof(float), 0);
  device::SifProcessPush p{};
  p.n_elements = r.n_elements;
  p.n_bands = r.n_bands;
  p.n_selected = r.n_selected;
  p.has_element_phi_f = r.element_phi_f.size > 0 ? 1 : 0;
  ComputePipeline& pipeline =
      scene.pipeline("sif_process.spv", "main", 9, sizeof(p), "SIF process", false);
  pipeline.run(VK_NULL_HANDLE,
               {&top, &bottom, &ids, &material_phi_f, &selected, &element_phi_f, &phi_f,
                &top_selected, &bottom_selected},
               &p, n);
  physiology::SifProcessResult out;
  out.phi_f.resize(n);
  out.top_selected.resize(n * nsel);
  out.bottom_selected.resize(n * nsel);
  phi_f.download(out.phi_f.data(), n * sizeof(float));
  top_selected.download(out.top_selected.data(), n * nsel * sizeof(float));
  bottom_selected.download(out.bottom_selected.data(), n * nsel * sizeof(float));
  out.n_selected = r.n_selected;
  out.execution =
      vulkan_execution(WorkflowCode::SifProcessFinalization, "sif_process_finalization");
  return out;
}

physiology::SifSourceFields assemble_sif_source(VulkanSceneManager& scene,
                                                const physiology::SifSourceAssemblyRequestView& r) {
  physiology::validate_sif_source_assembly(r);
  const auto ni = static_cast<size_t>(r.n_instances);
  const auto ns = static_cast<size_t>(r.n_samples);
  const auto nb = static_cast<size_t>(r.n_bands);
  const size_t n_orient =
      static_cast<size_t>(r.orientation_theta_bins) * static_cast<size_t>(r.orientation_phi_bins);
  const size_t n_cells = ni * static_cast<size_t>(r.cell_stride);
  const size_t n_joint_bins = n_cells * n_orient;
  const size_t n_orient_all = ni * n_orient;
  // Samples grouped by instance in sample order (a stable counting sort).
  std::vector<int32_t> offsets(ni + 1, 0), order(ns);
  for (size_t s = 0; s < ns; ++s) ++offsets[static_cast<size_t>(r.instance_ids.data[s]) + 1];
  for (size_t i = 0; i < ni; ++i) offsets[i + 1] += offsets[i];
  std::vector<int32_t> next(offsets.begin(), offsets.end() - 1);
  for (size_t s = 0; s < ns; ++s) {
    order[static_cast<size_t>(next[static_cast<size_t>(r.instance_ids.data[s])]++)] =
        static_cast<int32_t>(s);
  }
  VulkanContext& ctx = scene.context();
  auto floats = [&](const physiology::FloatBuffer& b) {
    return upload(ctx, std::span<const float>(b.data, b.size));
  };
  auto zeroed = [&](size_t bytes) {
    Buffer b = ctx.create_buffer(bytes, 0);
    b.zero();
    return b;
  };
  const Buffer positions = floats(r.positions);
  const Buffer normals = floats(r.normals);
  const Buffer order_buffer = upload(ctx, std::span<const int32_t>(order));
  const Buffer offset_buffer = upload(ctx, std::span<const int32_t>(offsets));
  const Buffer grid = upload(ctx, std::span<const int32_t>(r.grid_dims.data, r.grid_dims.size));
  const Buffer lo = floats(r.bounds_min);
  const Buffer hi = floats(r.bounds_max);
  const Buffer source = floats(r.source_band_major);
  const Buffer direct_source = floats(r.direct_source_band_major);
  const Buffer spatial = zeroed(n_cells * nb * sizeof(double));
  const Buffer orient = zeroed(n_orient_all * nb * sizeof(double));
  const Buffer joint = zeroed(n_joint_bins * nb * sizeof(double));
  const Buffer direct = zeroed(n_joint_bins * nb * sizeof(double));
  const Buffer spatial_counts = zeroed(n_cells * sizeof(int32_t));
  const Buffer orientation_counts = zeroed(n_orient_all * sizeof(int32_t));
  const Buffer joint_counts = zeroed(n_joint_bins * sizeof(int32_t));
  device::SifAssemblyPush p{
      r.n_instances,         r.n_samples, r.n_bands, r.cell_stride, r.orientation_theta_bins,
      r.orientation_phi_bins};
  ComputePipeline& pipeline = scene.pipeline("sif_source_assembly.spv", "main", 16, sizeof(p),
                                             "SIF source assembly", false);
  pipeline.run(VK_NULL_HANDLE,
               {&positions, &normals, &order_buffer, &offset_buffer, &grid, &lo, &hi, &source,
                &direct_source, &spatial, &orient, &joint, &direct, &spatial_counts,
                &orientation_counts, &joint_counts},
               &p, ni * nb);
  auto sums = [](const Buffer& b, size_t count) {
    std::vector<double> v(count);
    b.download(v.data(), count * sizeof(double));
    return v;
  };
  auto counts = [](const Buffer& b, size_t count) {
    std::vector<int32_t> v(count);
    b.download(v.data(), count * sizeof(int32_t));
    return v;
  };
  const std::vector<double> spatial_sums = sums(spatial, n_cells * nb);
  const std::vector<double> direct_sums = sums(direct, n_joint_bins * nb);
  auto to_float = [](const std::vector<double>& v) {
    return std::vector<float>(v.begin(), v.end());
  };
  physiology::SifSourceFields out;
  out.spatial_field = to_float(spatial_sums);
  out.orientation_field = to_float(sums(orient, n_orient_all * nb));
  out.joint_field = to_float(sums(joint, n_joint_bins * nb));
  out.direct_joint_field = to_float(direct_sums);
  // Per-band totals from the binned sums, cells in order (as the CPU adds them).
  std::vector<double> totals(nb, 0.0), direct_totals(nb, 0.0);
  for (size_t cell = 0; cell < n_cells; ++cell) {
    for (size_t b = 0; b < nb; ++b) totals[b] += spatial_sums[cell * nb + b];
  }
  for (size_t k = 0; k < n_joint_bins; ++k) {
    for (size_t b = 0; b < nb; ++b) direct_totals[b] += direct_sums[k * nb + b];
  }
  out.band_totals = to_float(totals);
  out.direct_band_totals = to_float(direct_totals);
  out.spatial_counts = counts(spatial_counts, n_cells);
  out.orientation_counts = counts(orientation_counts, n_orient_all);
  out.joint_counts = counts(joint_counts, n_joint_bins);
  out.execution = vulkan_execution(WorkflowCode::SifSourceAssembly, "sif_source_assembly");
  return out;
}

}  // namespace tesk::vulkan
