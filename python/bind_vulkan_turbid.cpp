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
#include "python/leaf_rrt_args.h"
#include "python/turbid_results.h"
#include "python/vulkan_workflows.h"
#include "vulkan/turbid_domains.h"
#include "vulkan/turbid_leaf_rrt.h"

namespace tesk::python {
namespace {

using vulkan::VulkanSceneManager;

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
  const LeafRrtArgs a = convert_leaf_rrt_args(
      positions_in, normals_in, medium_ids_in, instance_ids_in, offsets_in, active_media_in,
      active_instances_in, n_bands, rays_per_sample, max_depth, sun_irradiance,
      sky_diffuse_radiance, sky_directional_table, medium_reflectance, medium_back_reflectance,
      medium_transmittance, thermal_mode, instance_lw_radiance, instance_emissivity, sun_dir_x,
      sun_dir_y, sun_dir_z, seed);
  const ProgressCallback callback = wrap_progress(progress);
  const embree::SceneUse use = scene.host().acquire_use();
  const embree::TurbidLeafRRTResult r = vulkan::run_turbid_leaf_rrt_gpu(scene, a.params, callback);
  return flat_result(leaf_rrt_arrays(r, n_bands, a.n), r.execution);
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
  vulkan::commit_turbid_state(scene, state);
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
  vulkan::commit_turbid_state(scene, state);
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
  vulkan::commit_turbid_state(scene, state);
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
