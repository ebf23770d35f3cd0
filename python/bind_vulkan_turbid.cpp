// Turbid workflows of the Vulkan scene: run_turbid_leaf_rrt_gpu, the leaf reverse ray tracer on
// the device, and _execute_turbid_radiation_field_vulkan, the radiation-field process over a
// domain resident in the scene record with its transport on the device. Arguments are converted
// and checked as for the CPU twins, with the same messages in the same order.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <span>
#include <string>
#include <vector>

#include "python/frame.h"
#include "python/turbid_results.h"
#include "python/vulkan_workflows.h"
#include "vulkan/turbid_leaf_rrt.h"

namespace tesk::python {
namespace {

using vulkan::VulkanSceneManager;

template <typename T>
std::span<const T> view(const carray<T>& a) {
  return {a.data(), static_cast<size_t>(a.size())};
}

// `value` as a C-contiguous array of T; None gives an empty array when `optional`.
template <typename T>
carray<T> converted(const py::object& value, const char* name, bool optional) {
  const char* type = std::is_same_v<T, float> ? "float32" : "int32";
  if (value.is_none()) {
    if (optional) return carray<T>(0);
    throw py::type_error(std::string(name) + " must be a " + type + " array, not None");
  }
  carray<T> a = carray<T>::ensure(value);
  if (!a) {
    PyErr_Clear();
    throw py::value_error(std::string(name) + " must be a " + type + " array" +
                          (optional ? " or None" : ""));
  }
  return a;
}

bool rows_of_three(const carray<float>& a) {
  return (a.ndim() == 2 && a.shape(1) == 3) || (a.ndim() == 1 && a.size() == 0);
}

py::dict leaf_rrt_gpu(VulkanSceneManager& scene, const py::object& positions_in,
                      const py::object& normals_in, const py::object& medium_ids_in,
                      const py::object& instance_ids_in, const py::object& offsets_in,
                      const py::object& active_media_in, const py::object& active_instances_in,
                      int n_bands, int rays_per_sample, int max_depth,
                      const py::object& sun_irradiance, const py::object& sky_diffuse_radiance,
                      const py::object& sky_directional_table, const py::object& medium_reflectance,
                      const py::object& medium_back_reflectance,
                      const py::object& medium_transmittance, bool thermal_mode,
                      const py::object& instance_lw_radiance, const py::object& instance_emissivity,
                      float sun_dir_x, float sun_dir_y, float sun_dir_z, uint64_t seed,
                      const py::object& progress) {
  const carray<float> positions = converted<float>(positions_in, "positions", false);
  if (!rows_of_three(positions)) {
    throw py::value_error("positions must have shape [n_leaf_samples, 3]");
  }
  const py::ssize_t n = positions.size() / 3;
  const carray<float> normals = converted<float>(normals_in, "normals", false);
  if (!rows_of_three(normals) || normals.size() != 3 * n) {
    throw py::value_error("normals must have the same [n_leaf_samples, 3] shape");
  }
  auto ids = [](const py::object& value, const char* name, py::ssize_t count, const char* message) {
    carray<int32_t> a = converted<int32_t>(value, name, false);
    if (a.ndim() != 1 || a.size() != count) throw py::value_error(message);
    return a;
  };
  const carray<int32_t> medium_ids =
      ids(medium_ids_in, "medium_ids", n, "medium_ids must have shape [n_leaf_samples]");
  const carray<int32_t> instance_ids =
      ids(instance_ids_in, "instance_ids", n, "instance_ids must have shape [n_leaf_samples]");
  const carray<int32_t> offsets = ids(offsets_in, "active_medium_offsets", n + 1,
                                      "active_medium_offsets must have shape [n_leaf_samples + 1]");
  const carray<int32_t> active_media =
      converted<int32_t>(active_media_in, "active_medium_ids", false);
  const carray<int32_t> active_instances =
      converted<int32_t>(active_instances_in, "active_instance_ids", false);
  if (n_bands < 1) throw py::value_error("n_bands must be positive");
  const carray<float> table =
      converted<float>(sky_directional_table, "sky_directional_table", true);
  if (!sky_directional_table.is_none() && (table.ndim() != 3 || table.shape(0) != n_bands ||
                                           table.shape(1) != 16 || table.shape(2) != 32)) {
    throw py::value_error("sky_directional_table must have shape [n_bands, 16, 32]");
  }
  const carray<float> sun = converted<float>(sun_irradiance, "sun_irradiance", true);
  const carray<float> sky = converted<float>(sky_diffuse_radiance, "sky_diffuse_radiance", true);
  const carray<float> rho = converted<float>(medium_reflectance, "medium_reflectance", true);
  const carray<float> rho_back =
      converted<float>(medium_back_reflectance, "medium_back_reflectance", true);
  const carray<float> tau = converted<float>(medium_transmittance, "medium_transmittance", true);
  const carray<float> lw = converted<float>(instance_lw_radiance, "instance_lw_radiance", true);
  const carray<float> eps = converted<float>(instance_emissivity, "instance_emissivity", true);

  embree::TurbidLeafRRTParams p;
  p.positions = view(positions);
  p.normals = view(normals);
  p.medium_ids = view(medium_ids);
  p.instance_ids = view(instance_ids);
  p.active_medium_offsets = view(offsets);
  p.active_medium_ids = view(active_media);
  p.active_instance_ids = view(active_instances);
  p.n_bands = n_bands;
  p.rays_per_sample = rays_per_sample;
  p.max_depth = max_depth;
  p.sun_irradiance = view(sun);
  p.sky_diffuse_radiance = view(sky);
  p.sky_directional_table = view(table);
  p.medium_reflectance = view(rho);
  p.medium_back_reflectance = view(rho_back);
  p.medium_transmittance = view(tau);
  p.thermal_mode = thermal_mode;
  p.instance_lw_radiance = view(lw);
  p.instance_emissivity = view(eps);
  p.sun_dir = {sun_dir_x, sun_dir_y, sun_dir_z};
  p.seed = seed;

  const ProgressCallback callback = wrap_progress(progress);
  const embree::SceneUse use = scene.host().acquire_use();
  const embree::TurbidLeafRRTResult r = vulkan::run_turbid_leaf_rrt_gpu(scene, p, callback);
  const py::ssize_t nb = n_bands;
  auto band_major = [&](const std::vector<float>& v) {
    return v.empty() ? to_numpy(std::vector<float>(static_cast<size_t>(nb * n)).data(), {nb, n})
                     : to_numpy(v.data(), {nb, n});
  };
  py::dict out;
  out["total_irradiance_top"] = band_major(r.total_top);
  out["total_irradiance_bottom"] = band_major(r.total_bottom);
  out["direct_irradiance_top"] = band_major(r.direct_top);
  out["direct_irradiance_bottom"] = band_major(r.direct_bottom);
  out["p_sun"] =
      r.p_sun.empty() ? to_numpy(std::vector<float>(static_cast<size_t>(n))) : to_numpy(r.p_sun);
  out["rays"] = r.rays;
  return flat_result(std::move(out), r.execution);
}

py::dict radiation_field_vulkan(VulkanSceneManager& scene, uint64_t domain_id,
                                const py::dict& request, const py::object& progress) {
  const embree::OwnedTurbidRadiationRequest q = parse_turbid_radiation_request(request);
  const ProgressCallback callback = wrap_progress(progress);
  embree::EmbreeSceneManager& record = scene.host();
  const auto storage = record.turbid_domains();
  const turbid::TurbidDomainRecord& domain = turbid::resolve_domain(*storage, domain_id);
  std::shared_ptr<const turbid::OwnedTurbidState> state;
  {
    const embree::SceneUse use = record.acquire_use();
    state = std::make_shared<const turbid::OwnedTurbidState>(
        vulkan::execute_turbid_radiation_field_gpu(scene, domain, q, callback));
  }
  record.commit_turbid_states({state});
  py::dict out = turbid_state_token_dict(state->token);
  out["sample_count"] = state->sample_ids.size();
  out["band_count"] = state->wavelengths.size();
  out["backend"] = "vulkan";
  out["workflow"] = "turbid_radiation_field";
  out["executor"] = "vulkan.slang.turbid_radiation";
  out["native"] = true;
  return out;
}

py::dict static_physiology_vulkan(VulkanSceneManager& scene, uint64_t domain_id,
                                  const py::dict& request) {
  const embree::OwnedTurbidStaticPhysiologyRequest q =
      parse_turbid_static_physiology_request(request);
  embree::EmbreeSceneManager& record = scene.host();
  const auto storage = record.turbid_domains();
  const turbid::TurbidDomainRecord& domain = turbid::resolve_domain(*storage, domain_id);
  embree::validate_static_physiology_request(domain, q);
  if (q.radiation_token.domain_id != domain_id) {
    throw std::invalid_argument("StaticPhysiology requires a compatible radiation-state token");
  }
  const turbid::OwnedTurbidState& radiation = turbid::resolve_state(*storage, q.radiation_token);
  std::shared_ptr<const turbid::OwnedTurbidState> state;
  {
    const embree::SceneUse use = record.acquire_use();
    state = std::make_shared<const turbid::OwnedTurbidState>(
        vulkan::execute_turbid_static_physiology_gpu(scene, domain, q, radiation));
  }
  record.commit_turbid_states({state});
  py::dict out = turbid_state_token_dict(state->token);
  out["sample_count"] = state->sample_ids.size();
  size_t converged = 0;
  for (size_t i = 0; i < state->sunlit.size(); ++i) {
    converged += state->sunlit[i].converged && state->shaded[i].converged;
  }
  out["converged_samples"] = converged;
  out["backend"] = "vulkan";
  out["workflow"] = "turbid_static_physiology";
  out["executor"] = "vulkan.slang.turbid_static_physiology";
  out["native"] = true;
  return out;
}

py::dict energy_balance_vulkan(VulkanSceneManager& scene, uint64_t domain_id,
                               const py::dict& request, const py::object& progress) {
  const embree::OwnedTurbidEnergyBalanceRequest q = parse_turbid_energy_balance_request(request);
  const ProgressCallback callback = wrap_progress(progress);
  embree::EmbreeSceneManager& record = scene.host();
  const auto storage = record.turbid_domains();
  const turbid::TurbidDomainRecord& domain = turbid::resolve_domain(*storage, domain_id);
  embree::validate_energy_balance_request(domain, q);
  if (q.source_token.domain_id != domain_id) {
    throw std::runtime_error(
        "Stale TurbidState token belongs to another scene/domain or revision. No fallback was "
        "performed.");
  }
  const turbid::OwnedTurbidState& source = turbid::resolve_state(*storage, q.source_token);
  std::shared_ptr<const turbid::OwnedTurbidState> state;
  embree::TurbidEnergyBalanceRun run;
  {
    const embree::SceneUse use = record.acquire_use();
    run = vulkan::execute_turbid_energy_balance_gpu(scene, domain, q, source, callback);
    state = std::make_shared<const turbid::OwnedTurbidState>(std::move(run.state));
  }
  record.commit_turbid_states({state});
  py::dict out = turbid_state_token_dict(state->token);
  out["sample_count"] = state->sample_ids.size();
  out["iterations"] = run.iterations;
  out["converged"] = run.converged;
  out["max_temperature_change"] = run.max_temperature_change;
  out["backend"] = "vulkan";
  out["workflow"] = "turbid_energy_balance";
  out["executor"] = "vulkan.slang.turbid_energy_balance";
  out["native"] = true;
  return out;
}

}  // namespace

void bind_vulkan_turbid_functions(py::module_& m) {
  m.def("_execute_turbid_energy_balance_vulkan", &energy_balance_vulkan, py::arg("scene"),
        py::arg("domain_id"), py::arg("request"), py::kw_only(), py::arg("progress") = py::none(),
        "As _execute_turbid_energy_balance_embree on a VulkanSceneManager whose scene record\n"
        "holds domain `domain_id` and the source state of the request, with the longwave leaf\n"
        "transport on the device: commits the energy-balance state to the record and returns its\n"
        "token with sample_count, iterations, converged, max_temperature_change and the\n"
        "execution keys.");
  m.def("_execute_turbid_static_physiology_vulkan", &static_physiology_vulkan, py::arg("scene"),
        py::arg("domain_id"), py::arg("request"),
        "As _execute_turbid_static_physiology_embree on a VulkanSceneManager whose scene record\n"
        "holds domain `domain_id` and the radiation state of the request, with the leaf model\n"
        "solved on the device: commits the static-physiology state to the record and returns\n"
        "its token with sample_count, converged_samples and the execution keys.");
  m.def("_execute_turbid_radiation_field_vulkan", &radiation_field_vulkan, py::arg("scene"),
        py::arg("domain_id"), py::arg("request"), py::kw_only(), py::arg("progress") = py::none(),
        "As _execute_turbid_radiation_field_embree on a VulkanSceneManager whose scene record\n"
        "holds domain `domain_id`, with the leaf RRT on the device (run_turbid_leaf_rrt_gpu):\n"
        "commits the radiation-stage state to the record and returns its token with\n"
        "sample_count, band_count and the execution keys.");
}

void bind_vulkan_turbid(py::class_<VulkanSceneManager>& cls) {
  cls.def("run_turbid_leaf_rrt_gpu", &leaf_rrt_gpu, py::arg("positions"), py::arg("normals"),
          py::arg("medium_ids"), py::arg("instance_ids"), py::arg("active_medium_offsets"),
          py::arg("active_medium_ids"), py::arg("active_instance_ids"), py::arg("n_bands"),
          py::arg("rays_per_sample") = 64, py::arg("max_depth") = 8,
          py::arg("sun_irradiance") = py::none(), py::arg("sky_diffuse_radiance") = py::none(),
          py::arg("sky_directional_table") = py::none(), py::arg("medium_reflectance") = py::none(),
          py::arg("medium_back_reflectance") = py::none(),
          py::arg("medium_transmittance") = py::none(), py::arg("thermal_mode") = false,
          py::arg("instance_lw_radiance") = py::none(), py::arg("instance_emissivity") = py::none(),
          py::arg("sun_dir_x") = 0.0f, py::arg("sun_dir_y") = 0.0f, py::arg("sun_dir_z") = 1.0f,
          py::kw_only(), py::arg("seed") = 0, py::arg("progress") = py::none(),
          "Leaf reverse ray tracing on the device, as run_turbid_leaf_rrt_cpu (same arguments,\n"
          "streams and estimates; 1 to 32 bands; a thermal run needs instance_lw_radiance and\n"
          "instance_emissivity). Returns {'total_irradiance_top', 'total_irradiance_bottom',\n"
          "'direct_irradiance_top', 'direct_irradiance_bottom' [n_bands, n], 'p_sun' [n],\n"
          "'rays' (closest-hit queries), '_execution'}.");
}

}  // namespace tesk::python
