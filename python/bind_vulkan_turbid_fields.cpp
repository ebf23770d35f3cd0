// Turbid fields of the Vulkan scene: field builds, lookups, observation sources and their
// diagnostics on a domain and state resident in the scene record, with the data-parallel steps
// in the pinned field shaders (vulkan/turbid_fields.h). Arguments, messages and result
// dictionaries are the CPU twins' (python/turbid_field_args.h); a field is committed to the
// record after the device work, outside the scene's use token.

#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "python/frame.h"
#include "python/turbid_field_args.h"
#include "python/turbid_results.h"
#include "python/vulkan_workflows.h"
#include "vulkan/turbid_fields.h"

namespace tesk::python {
namespace {

using vulkan::VulkanSceneManager;

// The execution keys of a device field operation.
void set_execution(py::dict& out, const char* workflow, const char* executor) {
  for (auto item : execution_dict(workflow, executor)) out[item.first] = item.second;
  out["backend"] = "vulkan";
}

// Commits a field formed on the device to the scene record, then keeps its device copy.
turbid::TurbidFieldToken commit(VulkanSceneManager& scene, vulkan::DeviceTurbidField built) {
  const turbid::TurbidFieldToken token = built.field->token;
  scene.host().commit_turbid_field(std::move(built.field));
  scene.turbid_field_buffers().keep(std::move(built.device));
  return token;
}

// Where a resident field is held: device memory when the scene holds its copy, else the host.
const char* residency(VulkanSceneManager& scene, const turbid::TurbidFieldToken& token) {
  return scene.turbid_field_buffers().find(token) ? vulkan::kTurbidFieldResidency : "host";
}

py::dict build_field_vulkan(VulkanSceneManager& scene, const py::object& state_token,
                            const py::dict& config, int64_t memory_budget) {
  const turbid::TurbidStateToken token = parse_turbid_state_token(state_token);
  const turbid::TurbidFieldConfig c = parse_turbid_field_config(config);
  vulkan::DeviceTurbidField built;
  {
    const embree::SceneUse use = scene.host().acquire_use();
    built = vulkan::build_turbid_field(scene, token, c, memory_budget);
  }
  py::dict out = turbid_field_token_dict(commit(scene, std::move(built)));
  set_execution(out, "turbid_field", "vulkan.slang.turbid_field");
  out["residency"] = vulkan::kTurbidFieldResidency;
  return out;
}

py::dict lookup_field_vulkan(VulkanSceneManager& scene, const py::object& field_token,
                             const py::object& positions, const py::object& normals,
                             const std::string& kind, const py::object& owner_ids,
                             const py::object& medium_ids, const py::object& alias_ids) {
  const TurbidLookupArgs a =
      convert_turbid_lookup_args(field_token, positions, normals, owner_ids, medium_ids, alias_ids);
  const embree::SceneUse use = scene.host().acquire_use();
  const auto storage = scene.host().turbid_domains();
  const turbid::TurbidField& field = turbid::resolve_field(*storage, a.token);
  const turbid::TurbidFieldLookup r = vulkan::lookup_turbid_field(
      scene, field, kind, a.positions.data(), a.normals.data(), a.n, a.selector_or_null());
  return turbid_lookup_dict(field, r, "vulkan", "vulkan.slang.turbid_field_lookup");
}

py::dict thermal_source_vulkan(VulkanSceneManager& scene, const py::object& field_token,
                               const py::object& wavelengths, const py::object& emissivity,
                               const py::object& back_emissivity, const py::object& memory_budget) {
  const TurbidSourceArgs a = convert_turbid_thermal_source_args(
      field_token, wavelengths, emissivity, back_emissivity, memory_budget);
  vulkan::DeviceTurbidField built;
  {
    const embree::SceneUse use = scene.host().acquire_use();
    built = vulkan::build_turbid_thermal_source(scene, a.token, a.bands, a.front, a.back, a.budget);
  }
  py::dict out = turbid_observation_source_dict(*built.field, "turbid_thermal_source", "vulkan",
                                                "vulkan.slang.turbid_thermal_source");
  commit(scene, std::move(built));
  return out;
}

py::dict sif_source_vulkan(VulkanSceneManager& scene, const py::object& field_token,
                           const py::object& wavelengths, const py::object& exitance,
                           const py::object& back_exitance, const py::object& memory_budget) {
  const TurbidSourceArgs a = convert_turbid_sif_source_args(field_token, wavelengths, exitance,
                                                            back_exitance, memory_budget);
  vulkan::DeviceTurbidField built;
  {
    const embree::SceneUse use = scene.host().acquire_use();
    built = vulkan::build_turbid_sif_source(scene, a.token, a.bands, a.front, a.back, a.budget);
  }
  py::dict out = turbid_observation_source_dict(*built.field, "turbid_sif_source", "vulkan",
                                                "vulkan.slang.turbid_sif_source");
  commit(scene, std::move(built));
  return out;
}

py::dict debug_field_vulkan(VulkanSceneManager& scene, const py::object& field_token) {
  const auto storage = scene.host().turbid_domains();
  const turbid::TurbidField& f =
      turbid::resolve_field(*storage, parse_turbid_field_token(field_token));
  scene.turbid_field_buffers().retain_resident(*storage);
  py::dict out = turbid_field_debug_dict(*storage, f);
  out["residency"] = residency(scene, f.token);
  const vulkan::TurbidFieldDeviceCopy* copy = scene.turbid_field_buffers().find(f.token);
  out["device_bytes"] = copy ? copy->bytes : 0;
  out["backend"] = "vulkan";
  return out;
}

py::dict field_residency_vulkan(VulkanSceneManager& scene) {
  const auto storage = scene.host().turbid_domains();
  scene.turbid_field_buffers().retain_resident(*storage);
  py::dict out = turbid_field_residency_dict(*storage);
  for (const py::handle entry : py::reinterpret_borrow<py::list>(out["fields"])) {
    const py::dict d = py::reinterpret_borrow<py::dict>(entry);
    const turbid::TurbidFieldToken t = parse_turbid_field_token(d);
    d["residency"] = residency(scene, t);
    const vulkan::TurbidFieldDeviceCopy* copy = scene.turbid_field_buffers().find(t);
    d["device_bytes"] = copy ? copy->bytes : 0;
  }
  out["backend"] = "vulkan";
  return out;
}

}  // namespace

void bind_vulkan_turbid_fields(py::module_& m) {
  m.def("_build_turbid_field_vulkan", &build_field_vulkan, py::arg("scene"), py::arg("state_token"),
        py::arg("config"), py::arg("memory_budget"),
        "As _build_turbid_field_embree on a VulkanSceneManager whose scene record holds the\n"
        "state: the tree is laid out on the host under the budget and the orientation bins are\n"
        "summed on the device (the pinned turbid_field_assemble shader). Commits the field to the\n"
        "record, keeps its cells and bins in device memory, and returns its token with the\n"
        "execution keys and residency 'vulkan.buffer.device_resident'.");
  m.def("_lookup_turbid_field_vulkan", &lookup_field_vulkan, py::arg("scene"),
        py::arg("field_token"), py::arg("positions"), py::arg("normals"), py::arg("kind"),
        py::arg("owner_ids") = py::none(), py::arg("medium_ids") = py::none(),
        py::arg("resolved_alias_medium_ids") = py::none(),
        "As _lookup_turbid_field_embree on a field resident in the scene record, with the tree\n"
        "descent, orientation bin and populated-ancestor search on the device (the pinned\n"
        "turbid_field_lookup shader) on the field's device copy (made on first use for a field\n"
        "built on the host): values, matched_depth, fallback_depth, same failures.");
  m.def("_build_turbid_thermal_source_vulkan", &thermal_source_vulkan, py::arg("scene"),
        py::arg("field_token"), py::arg("wavelengths"), py::arg("emissivity"),
        py::arg("back_emissivity") = py::none(), py::arg("memory_budget") = py::none(),
        "As _build_turbid_thermal_source_embree with the per-sample Planck emission and the\n"
        "per-bin leaf-area means formed on the device (the pinned turbid_observation_source\n"
        "shader); commits the source to the scene record and returns its token.");
  m.def("_build_turbid_sif_source_vulkan", &sif_source_vulkan, py::arg("scene"),
        py::arg("field_token"), py::arg("wavelengths"), py::arg("exitance"),
        py::arg("back_exitance") = py::none(), py::arg("memory_budget") = py::none(),
        "As _build_turbid_sif_source_embree with the per-bin leaf-area means of exitance / pi\n"
        "formed on the device (the pinned turbid_observation_source shader); commits the source\n"
        "to the scene record and returns its token.");
  m.def("_debug_turbid_field_vulkan", &debug_field_vulkan, py::arg("scene"), py::arg("field_token"),
        "The cells of a field resident in the scene record, as _debug_turbid_field_embree, with\n"
        "its residency ('vulkan.buffer.device_resident' while the device holds a copy, else\n"
        "'host') and the copy's device_bytes.");
  m.def("_debug_turbid_field_residency_vulkan", &field_residency_vulkan, py::arg("scene"),
        "The fields resident in the scene record with their tokens, as\n"
        "_debug_turbid_field_residency_embree, each with its residency and device_bytes.");
}

}  // namespace tesk::python
