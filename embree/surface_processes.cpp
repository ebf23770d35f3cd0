#include "embree/surface_processes.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "core/host/parallel.h"
#include "embree/energy_balance.h"
#include "physiology/dynamic_element.h"
#include "physiology/leaf_model.h"
#include "physiology/surface_balance.h"
#include "physiology/surface_element.h"

namespace tesk::embree {
namespace {

using physiology::LeafEnergyInputs;
using physiology::LeafMicroclimate;
using physiology::LeafSolution;
using physiology::LeafTraits;
using physiology::SolverControl;
using physiology::SurfaceBalanceInputs;
using physiology::SurfaceBalanceSolution;

// Elements per chunk of the parallel driver.
constexpr size_t kChunkElements = 512;
// Largest Newton step of the surface balance (K).
constexpr float kSurfaceNewtonStep = 20.0f;

template <typename T>
void check_length(std::span<const T> a, size_t n, const char* name) {
  if (a.size() != n) throw std::invalid_argument(std::string(name) + " buffer length mismatch");
}
void check_finite(std::span<const float> a, const char* name) {
  for (const float v : a) {
    if (!std::isfinite(v)) {
      throw std::invalid_argument(std::string(name) + " contains a non-finite value");
    }
  }
}
bool is_flag(int32_t v) {
  return v == 0 || v == 1;
}

struct NamedSpan {
  const char* name;
  std::span<const float> values;
};

// The CPU outer loop: the shared loop with the CPU longwave transport.
template <typename Step>
void run_coupling(EmbreeSceneManager& scene, const CouplingControls& c,
                  std::span<const float> emissivity, std::span<const float> sidedness,
                  std::vector<float>& scene_temperature, int num_threads,
                  const InterruptCheck& interrupt, std::vector<float>& lw_top,
                  std::vector<float>& lw_bottom, std::vector<float>& lw_total,
                  CouplingDiagnostics& d, Step&& step) {
  if (!scene.is_built()) throw std::runtime_error("Embree: build the scene before tracing rays");
  const auto transport = [&] {
    return render_energy_balance(scene, c.n_samples, 1, 1, nullptr, nullptr, c.sky_lw_radiance,
                                 0.0f, 0.0f, 1.0f, true, {}, {}, {}, {}, num_threads, {},
                                 interrupt);
  };
  run_coupling_loop(scene, c, emissivity, sidedness, scene_temperature, transport, lw_top,
                    lw_bottom, lw_total, d, step);
}

// Largest value of a per-element change vector (0 when empty).
float max_of(const std::vector<float>& v) {
  float m = 0.0f;
  for (const float x : v) m = std::max(m, x);
  return m;
}

void check_coupling_scalars(const CouplingControls& c, bool& finite, bool& in_domain) {
  finite = finite && std::isfinite(c.sky_lw_radiance) && std::isfinite(c.convergence_tolerance) &&
           std::isfinite(c.damping);
  in_domain = in_domain && c.sky_lw_radiance >= 0.0f && c.n_samples >= 1 && c.max_iterations >= 1 &&
              c.convergence_tolerance > 0.0f && c.damping > 0.0f && c.damping <= 1.0f;
}

}  // namespace

void run_coupling_loop(EmbreeSceneManager& scene, const CouplingControls& c,
                       std::span<const float> emissivity, std::span<const float> sidedness,
                       std::vector<float>& scene_temperature,
                       const std::function<EnergyBalanceResult()>& transport,
                       std::vector<float>& lw_top, std::vector<float>& lw_bottom,
                       std::vector<float>& lw_total, CouplingDiagnostics& d,
                       const std::function<float(const std::vector<float>&)>& step) {
  const size_t n = scene_temperature.size();
  if (static_cast<int64_t>(n) != scene.n_primitives()) {
    throw std::runtime_error("native longwave result length does not match elements");
  }
  TemperatureRestore restore(scene);
  scene.set_primitive_temperatures(scene_temperature);
  for (int it = 1; it <= c.max_iterations; ++it) {
    const EnergyBalanceResult r = transport();
    if (r.top.size() != n || r.bot.size() != n) {
      throw std::runtime_error("native longwave result length does not match elements");
    }
    lw_top.resize(n);
    lw_bottom.resize(n);
    lw_total.resize(n);
    for (size_t e = 0; e < n; ++e) {
      lw_top[e] = emissivity[e] * r.top[e];
      lw_bottom[e] = emissivity[e] * (sidedness[e] - 1.0f) * r.bot[e];
      lw_total[e] = lw_top[e] + lw_bottom[e];
    }
    const float change = step(lw_total);
    scene.set_primitive_temperatures(scene_temperature);
    d.history.push_back(change);
    d.iterations = it;
    d.final_max_temperature_change = change;
    if (change < c.convergence_tolerance) {
      d.converged = true;
      break;
    }
  }
  restore.dismiss();
}

void validate_dynamic_photosynthesis(const DynamicPhotosynthesisRequest& r) {
  const size_t n = r.active.size();
  if (n < 1) throw std::invalid_argument("dynamic photosynthesis n_elements must be positive");
  check_length(r.fluorescent, n, "fluorescent");
  std::vector<NamedSpan> fields = {{"apar", r.apar},
                                   {"absorbed_shortwave", r.absorbed_shortwave},
                                   {"initial_temperature", r.initial_temperature},
                                   {"emissivity", r.emissivity},
                                   {"sidedness", r.sidedness},
                                   {"leaf_width", r.leaf_width},
                                   {"stomata_sides", r.stomata_sides},
                                   {"vcmax25", r.vcmax25},
                                   {"jmax25", r.jmax25},
                                   {"rd25", r.rd25},
                                   {"ball_berry_slope", r.ball_berry_slope},
                                   {"ball_berry_intercept", r.ball_berry_intercept},
                                   {"quantum_yield", r.quantum_yield}};
  if (r.conditional) {
    fields.push_back({"sunlit_fraction", r.sunlit_fraction});
    fields.push_back({"apar_sunlit", r.apar_sunlit});
    fields.push_back({"apar_shaded", r.apar_shaded});
    fields.push_back({"shortwave_sunlit", r.shortwave_sunlit});
    fields.push_back({"shortwave_shaded", r.shortwave_shaded});
  }
  for (const NamedSpan& f : fields) check_length(f.values, n, f.name);
  for (const NamedSpan& f : fields) check_finite(f.values, f.name);
  bool finite = std::isfinite(r.co2) && std::isfinite(r.relative_humidity) &&
                std::isfinite(r.air_temperature) && std::isfinite(r.vapor_pressure) &&
                std::isfinite(r.pressure) && std::isfinite(r.wind) &&
                std::isfinite(r.physiology_tolerance);
  bool in_domain = r.air_temperature > 0.0f && r.vapor_pressure >= 0.0f && r.co2 > 0.0f &&
                   r.relative_humidity >= 0.0f && r.relative_humidity <= 1.0f &&
                   r.pressure > 0.0f && r.wind >= 0.0f && r.physiology_max_iterations >= 1 &&
                   r.physiology_tolerance > 0.0f;
  check_coupling_scalars(r.coupling, finite, in_domain);
  if (!finite) throw std::invalid_argument("dynamic photosynthesis scalar must be finite");
  if (!in_domain) throw std::invalid_argument("energy balance scalar is outside its domain");
  for (size_t e = 0; e < n; ++e) {
    bool ok = is_flag(r.active[e]) && is_flag(r.fluorescent[e]) && r.apar[e] >= 0.0f &&
              r.absorbed_shortwave[e] >= 0.0f && r.initial_temperature[e] > 0.0f &&
              r.emissivity[e] >= 0.0f && r.emissivity[e] <= 1.0f && r.sidedness[e] >= 1.0f &&
              r.sidedness[e] <= 2.0f && r.leaf_width[e] > 0.0f && r.stomata_sides[e] > 0.0f &&
              r.vcmax25[e] >= 0.0f && r.jmax25[e] >= 0.0f && r.rd25[e] >= 0.0f &&
              r.ball_berry_slope[e] >= 0.0f && r.ball_berry_intercept[e] >= 0.0f &&
              r.quantum_yield[e] >= 0.0f && r.quantum_yield[e] <= 1.0f;
    if (ok && r.conditional) {
      ok = r.sunlit_fraction[e] >= 0.0f && r.sunlit_fraction[e] <= 1.0f &&
           r.apar_sunlit[e] >= 0.0f && r.apar_shaded[e] >= 0.0f && r.shortwave_sunlit[e] >= 0.0f &&
           r.shortwave_shaded[e] >= 0.0f;
    }
    if (!ok) throw std::invalid_argument("energy balance element is outside its domain");
  }
}

void validate_energy_balance_process(const EnergyBalanceProcessRequest& r) {
  const size_t n = r.primitive_material_ids.size();
  if (n < 1) throw std::invalid_argument("energy balance n_elements must be positive");
  const size_t nm = r.material_active.size();
  const std::span<const float> tables[] = {r.material_initial_temperature,
                                           r.material_emissivity,
                                           r.material_sidedness,
                                           r.material_sensible_derivative,
                                           r.material_latent_coefficient,
                                           r.material_ground_heat,
                                           r.material_sw_albedo};
  if (nm == 0) {
    throw std::invalid_argument("energy-balance material tables must be nonempty rank one arrays");
  }
  for (const std::span<const float>& t : tables) {
    if (t.empty()) {
      throw std::invalid_argument(
          "energy-balance material tables must be nonempty rank one arrays");
    }
    if (t.size() != nm) {
      throw std::invalid_argument("energy-balance material tables must have equal length");
    }
  }
  for (const int32_t m : r.primitive_material_ids) {
    if (m < 0 || static_cast<size_t>(m) >= nm) {
      throw std::invalid_argument("primitive material id is outside material tables");
    }
  }
  const NamedSpan material_fields[] = {
      {"material_initial_temperature", r.material_initial_temperature},
      {"material_emissivity", r.material_emissivity},
      {"material_sidedness", r.material_sidedness},
      {"material_sensible_derivative", r.material_sensible_derivative},
      {"material_latent_coefficient", r.material_latent_coefficient},
      {"material_ground_heat", r.material_ground_heat},
      {"material_sw_albedo", r.material_sw_albedo}};
  if (r.precomputed_shortwave) {
    check_length(r.absorbed_shortwave_top, n, "absorbed_shortwave_top");
    check_length(r.absorbed_shortwave_bottom, n, "absorbed_shortwave_bottom");
  }
  for (const NamedSpan& f : material_fields) check_finite(f.values, f.name);
  if (r.precomputed_shortwave) {
    check_finite(r.absorbed_shortwave_top, "absorbed_shortwave_top");
    check_finite(r.absorbed_shortwave_bottom, "absorbed_shortwave_bottom");
  }
  bool finite = std::isfinite(r.air_temperature) && std::isfinite(r.vapor_pressure) &&
                std::isfinite(r.sw_direct) && std::isfinite(r.sw_diffuse_radiance) &&
                std::isfinite(r.sun_dir_x) && std::isfinite(r.sun_dir_y) &&
                std::isfinite(r.sun_dir_z) && std::isfinite(r.newton_tolerance);
  const float sun_len2 =
      r.sun_dir_x * r.sun_dir_x + r.sun_dir_y * r.sun_dir_y + r.sun_dir_z * r.sun_dir_z;
  bool in_domain = r.air_temperature > 0.0f && r.vapor_pressure >= 0.0f && r.sw_direct >= 0.0f &&
                   r.sw_diffuse_radiance >= 0.0f && sun_len2 > 1e-12f &&
                   r.newton_max_iterations >= 1 && r.newton_tolerance > 0.0f;
  check_coupling_scalars(r.coupling, finite, in_domain);
  if (!finite) throw std::invalid_argument("energy balance scalar must be finite");
  if (!in_domain) throw std::invalid_argument("energy balance scalar is outside its domain");
  for (size_t e = 0; e < n; ++e) {
    const auto m = static_cast<size_t>(r.primitive_material_ids[e]);
    bool ok = is_flag(r.material_active[m]) && r.material_initial_temperature[m] > 0.0f &&
              r.material_emissivity[m] >= 0.0f && r.material_emissivity[m] <= 1.0f &&
              r.material_sidedness[m] >= 1.0f && r.material_sidedness[m] <= 2.0f &&
              r.material_sensible_derivative[m] >= 0.0f &&
              r.material_latent_coefficient[m] >= 0.0f && r.material_sw_albedo[m] >= 0.0f &&
              r.material_sw_albedo[m] <= 1.0f;
    if (ok && r.precomputed_shortwave) {
      ok = r.absorbed_shortwave_top[e] >= 0.0f && r.absorbed_shortwave_bottom[e] >= 0.0f;
    }
    if (!ok) throw std::invalid_argument("energy balance element is outside its domain");
  }
}

physiology::DynamicElementArrays dynamic_element_arrays(const DynamicPhotosynthesisRequest& r,
                                                        DynamicPhotosynthesisResult& out,
                                                        std::vector<float>& temperature_sunlit,
                                                        std::vector<float>& temperature_shaded,
                                                        std::vector<float>& temperature,
                                                        std::vector<float>& change) {
  physiology::DynamicElementArrays a;
  a.control = SolverControl{r.physiology_max_iterations, r.physiology_tolerance, nullptr};
  a.micro.co2 = r.co2;
  a.micro.relative_humidity = r.relative_humidity;
  a.micro.pressure = r.pressure;
  a.micro.wind = r.wind;
  a.damping = r.coupling.damping;
  a.air_temperature = r.air_temperature;
  a.vapor_pressure = r.vapor_pressure;
  a.conditional = r.conditional ? 1 : 0;
  auto ptr = [](std::span<const float> v) { return v.empty() ? nullptr : v.data(); };
  a.active = r.active.data();
  a.fluorescent = r.fluorescent.data();
  a.apar = ptr(r.apar);
  a.absorbed_shortwave = ptr(r.absorbed_shortwave);
  a.emissivity = ptr(r.emissivity);
  a.sidedness = ptr(r.sidedness);
  a.leaf_width = ptr(r.leaf_width);
  a.stomata_sides = ptr(r.stomata_sides);
  a.vcmax25 = ptr(r.vcmax25);
  a.jmax25 = ptr(r.jmax25);
  a.rd25 = ptr(r.rd25);
  a.ball_berry_slope = ptr(r.ball_berry_slope);
  a.ball_berry_intercept = ptr(r.ball_berry_intercept);
  a.quantum_yield = ptr(r.quantum_yield);
  a.sunlit_fraction = ptr(r.sunlit_fraction);
  a.apar_sunlit = ptr(r.apar_sunlit);
  a.apar_shaded = ptr(r.apar_shaded);
  a.shortwave_sunlit = ptr(r.shortwave_sunlit);
  a.shortwave_shaded = ptr(r.shortwave_shaded);
  a.temperature_sunlit = temperature_sunlit.data();
  a.temperature_shaded = temperature_shaded.data();
  a.temperature = temperature.data();
  a.change = change.data();
  a.an = out.an.data();
  a.an_sunlit = out.an_sunlit.data();
  a.an_shaded = out.an_shaded.data();
  a.gs = out.gs.data();
  a.ci = out.ci.data();
  a.phi_f = out.phi_f.data();
  a.net_radiation = out.net_radiation.data();
  a.sensible_heat = out.sensible_heat.data();
  a.latent_heat = out.latent_heat.data();
  a.emitted_longwave = out.emitted_longwave.data();
  a.converged = out.element_converged.data();
  a.element_end = static_cast<int64_t>(r.active.size());
  return a;
}

DynamicPhotosynthesisResult execute_photosynthesis_process_dynamic(
    EmbreeSceneManager& scene, const DynamicPhotosynthesisRequest& r, int num_threads,
    const InterruptCheck& interrupt) {
  validate_dynamic_photosynthesis(r);
  const size_t n = r.active.size();
  DynamicPhotosynthesisResult out;
  for (std::vector<float>* v :
       {&out.temperature, &out.an, &out.gs, &out.ci, &out.phi_f, &out.apar, &out.temperature_sunlit,
        &out.temperature_shaded, &out.sunlit_fraction, &out.apar_sunlit, &out.apar_shaded,
        &out.an_sunlit, &out.an_shaded, &out.emitted_longwave, &out.net_radiation,
        &out.sensible_heat, &out.latent_heat}) {
    v->assign(n, 0.0f);
  }
  out.active_mask.assign(n, 0);
  out.element_converged.assign(n, 0);
  out.execution = cpu_execution(WorkflowCode::PhotosynthesisProcessDynamic,
                                "embree.cpu.photosynthesis_process_dynamic");

  // Branch temperatures (outside conditional mode only the sunlit one is used).
  std::vector<float> t_sun(r.initial_temperature.begin(), r.initial_temperature.end());
  std::vector<float> t_shade = t_sun;
  std::vector<float> scene_t = t_sun;
  std::vector<float> change(n, 0.0f);
  for (size_t e = 0; e < n; ++e) {
    const float f = r.conditional ? r.sunlit_fraction[e] : 1.0f;
    out.sunlit_fraction[e] = f;
    out.active_mask[e] = static_cast<uint8_t>(r.active[e]);
    out.apar[e] = r.apar[e];
    out.apar_sunlit[e] = r.conditional ? r.apar_sunlit[e] : r.apar[e];
    out.apar_shaded[e] = r.conditional ? r.apar_shaded[e] : 0.0f;
  }
  physiology::DynamicElementArrays arrays =
      dynamic_element_arrays(r, out, t_sun, t_shade, scene_t, change);
  auto step = [&](const std::vector<float>& lw) {
    arrays.absorbed_longwave = lw.data();
    parallel_for_chunks(
        n, num_threads, kChunkElements,
        [&](size_t begin, size_t end) {
          for (size_t e = begin; e < end; ++e)
            physiology::dynamic_photosynthesis_element(arrays, e);
        },
        interrupt);
    return max_of(change);
  };
  run_coupling(scene, r.coupling, r.emissivity, r.sidedness, scene_t, num_threads, interrupt,
               out.absorbed_longwave_top, out.absorbed_longwave_bottom, out.absorbed_longwave,
               out.loop, step);
  for (size_t e = 0; e < n; ++e) {
    out.temperature[e] = scene_t[e];
    out.temperature_sunlit[e] = t_sun[e];
    out.temperature_shaded[e] = t_shade[e];
  }
  return out;
}

EnergyBalanceProcessState start_energy_balance_process(const EnergyBalanceProcessRequest& r,
                                                       const ExecutionIdentity& execution) {
  const size_t n = r.primitive_material_ids.size();
  EnergyBalanceProcessState state;
  EnergyBalanceProcessResult& out = state.out;
  for (std::vector<float>* v :
       {&out.temperature, &out.absorbed_shortwave_top, &out.absorbed_shortwave_bottom,
        &out.absorbed_shortwave, &out.emitted_longwave, &out.net_radiation, &out.sensible_heat,
        &out.latent_heat, &out.ground_heat}) {
    v->assign(n, 0.0f);
  }
  out.active_mask.assign(n, 0);
  out.element_converged.assign(n, 0);
  out.execution = execution;
  // Per-primitive rows of the material tables.
  state.emissivity.resize(n);
  state.sidedness.resize(n);
  state.albedo.resize(n);
  state.temperature.resize(n);
  state.change.assign(n, 0.0f);
  for (size_t e = 0; e < n; ++e) {
    const auto m = static_cast<size_t>(r.primitive_material_ids[e]);
    state.emissivity[e] = r.material_emissivity[m];
    state.sidedness[e] = r.material_sidedness[m];
    state.albedo[e] = r.material_sw_albedo[m];
    state.temperature[e] = r.material_initial_temperature[m];
    out.active_mask[e] = static_cast<uint8_t>(r.material_active[m]);
  }
  return state;
}

void set_absorbed_shortwave(const EnergyBalanceProcessRequest& r, EnergyBalanceProcessState& state,
                            const EnergyBalanceResult* sw) {
  EnergyBalanceProcessResult& out = state.out;
  const size_t n = out.absorbed_shortwave.size();
  if (sw == nullptr) {
    for (size_t e = 0; e < n; ++e) {
      out.absorbed_shortwave_top[e] = r.absorbed_shortwave_top[e];
      out.absorbed_shortwave_bottom[e] = r.absorbed_shortwave_bottom[e];
    }
  } else {
    if (sw->top.size() != n || sw->bot.size() != n) {
      throw std::runtime_error("native shortwave result length does not match elements");
    }
    for (size_t e = 0; e < n; ++e) {
      const float absorbed = 1.0f - state.albedo[e];
      out.absorbed_shortwave_top[e] = absorbed * sw->top[e];
      out.absorbed_shortwave_bottom[e] = absorbed * (state.sidedness[e] - 1.0f) * sw->bot[e];
    }
  }
  for (size_t e = 0; e < n; ++e) {
    out.absorbed_shortwave[e] = out.absorbed_shortwave_top[e] + out.absorbed_shortwave_bottom[e];
  }
}

physiology::SurfaceElementArrays surface_element_arrays(const EnergyBalanceProcessRequest& r,
                                                        EnergyBalanceProcessState& state) {
  EnergyBalanceProcessResult& out = state.out;
  physiology::SurfaceElementArrays a;
  a.newton_max_iterations = r.newton_max_iterations;
  a.newton_tolerance = r.newton_tolerance;
  a.max_step = kSurfaceNewtonStep;
  a.damping = r.coupling.damping;
  a.air_temperature = r.air_temperature;
  a.vapor_pressure = r.vapor_pressure;
  a.material_ids = r.primitive_material_ids.data();
  a.active = out.active_mask.data();
  a.absorbed_shortwave = out.absorbed_shortwave.data();
  a.emissivity = state.emissivity.data();
  a.sidedness = state.sidedness.data();
  a.sensible_derivative = r.material_sensible_derivative.data();
  a.latent_coefficient = r.material_latent_coefficient.data();
  a.ground_heat = r.material_ground_heat.data();
  a.temperature = state.temperature.data();
  a.change = state.change.data();
  a.net_radiation = out.net_radiation.data();
  a.sensible_heat = out.sensible_heat.data();
  a.latent_heat = out.latent_heat.data();
  a.emitted_longwave = out.emitted_longwave.data();
  a.ground_heat_out = out.ground_heat.data();
  a.converged = out.element_converged.data();
  a.element_end = static_cast<int64_t>(out.active_mask.size());
  return a;
}

EnergyBalanceProcessResult execute_energy_balance_process(EmbreeSceneManager& scene,
                                                          const EnergyBalanceProcessRequest& r,
                                                          int num_threads,
                                                          const InterruptCheck& interrupt) {
  validate_energy_balance_process(r);
  const size_t n = r.primitive_material_ids.size();
  if (!scene.is_built()) throw std::runtime_error("Embree: build the scene before tracing rays");
  if (static_cast<int64_t>(n) != scene.n_primitives()) {
    throw std::runtime_error(r.precomputed_shortwave
                                 ? "native longwave result length does not match elements"
                                 : "native shortwave result length does not match elements");
  }
  EnergyBalanceProcessState state = start_energy_balance_process(
      r, cpu_execution(WorkflowCode::EnergyBalanceProcess, "embree.cpu.energy_balance_process"));
  if (r.precomputed_shortwave) {
    set_absorbed_shortwave(r, state, nullptr);
  } else {
    const EnergyBalanceResult sw = render_energy_balance(
        scene, r.coupling.n_samples, 1, 0, &r.sw_direct, &r.sw_diffuse_radiance, 0.0f, r.sun_dir_x,
        r.sun_dir_y, r.sun_dir_z, true, state.albedo, {}, {}, {}, num_threads, {}, interrupt);
    set_absorbed_shortwave(r, state, &sw);
  }
  physiology::SurfaceElementArrays arrays = surface_element_arrays(r, state);
  auto step = [&](const std::vector<float>& lw) {
    arrays.absorbed_longwave = lw.data();
    parallel_for_chunks(
        n, num_threads, kChunkElements,
        [&](size_t begin, size_t end) {
          for (size_t e = begin; e < end; ++e) physiology::surface_balance_element(arrays, e);
        },
        interrupt);
    return max_of(state.change);
  };
  EnergyBalanceProcessResult& out = state.out;
  run_coupling(scene, r.coupling, state.emissivity, state.sidedness, state.temperature, num_threads,
               interrupt, out.absorbed_longwave_top, out.absorbed_longwave_bottom,
               out.absorbed_longwave, out.loop, step);
  out.temperature = state.temperature;
  return std::move(out);
}

}  // namespace tesk::embree
