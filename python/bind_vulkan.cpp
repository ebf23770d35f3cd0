// The Vulkan backend: HAS_VULKAN, the device survey, VulkanContext and VulkanSceneManager.
// A build without the Vulkan loader and glslangValidator registers none of them (a backend
// that is not built is absent rather than advertised as False).

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "python/bindings.h"
#include "python/frame.h"

#ifdef TESK_HAS_VULKAN
#include "python/vulkan_workflows.h"
#include "vulkan/context.h"
#include "vulkan/scene_manager.h"
#endif

namespace tesk::python {

#ifndef TESK_HAS_VULKAN
void bind_vulkan(py::module_&) {}
#else
namespace {

using vulkan::VulkanContext;
using vulkan::VulkanSceneManager;

py::list list_vulkan_devices() {
  py::list out;
  const std::vector<vulkan::DeviceInfo> devices = vulkan::list_devices();
  for (size_t i = 0; i < devices.size(); ++i) {
    const vulkan::DeviceInfo& d = devices[i];
    py::dict r;
    r["device_index"] = static_cast<int>(i);
    r["physical_index"] = d.physical_index;
    r["name"] = d.device_name;
    r["vendor_id"] = d.vendor_id;
    r["device_id"] = d.device_id;
    r["device_type"] = d.device_type;
    r["is_discrete"] = d.is_discrete;
    r["api_version"] = d.api_version;
    r["device_local_memory_mb"] = d.device_local_memory_mb;
    r["has_compute_queue"] = d.has_compute_queue;
    r["has_acceleration_structure"] = d.has_acceleration_structure;
    r["has_ray_query"] = d.has_ray_query;
    r["has_buffer_device_address"] = d.has_buffer_device_address;
    r["compatible"] = d.compatible;
    r["unavailable_reason"] = d.unavailable_reason;
    out.append(r);
  }
  return out;
}

// The shaders shipped with the module: tesk_gpu/shaders beside the extension.
std::string default_shader_dir() {
  const py::object path = py::module_::import("os.path");
  const py::object here = path.attr("dirname")(py::module_::import("tesk_gpu").attr("__file__"));
  return path.attr("join")(here, "tesk_gpu", "shaders").cast<std::string>();
}

// A shader directory, or a file inside it (a trace shader's path names its directory).
std::string shader_dir_argument(const py::object& arg) {
  if (arg.is_none()) return default_shader_dir();
  const py::object path = py::module_::import("os.path");
  const py::object text = py::module_::import("os").attr("fspath")(arg);
  if (path.attr("isfile")(text).cast<bool>()) return path.attr("dirname")(text).cast<std::string>();
  return text.cast<std::string>();
}

// The scene vocabulary of the CPU scene manager that the device scene shares unchanged: each is
// forwarded to the scene record. Keyword names of the device class map to the CPU ones.
constexpr const char* kSharedVocabulary[] = {"add_mesh",
                                             "add_instance",
                                             "add_instance_xform",
                                             "add_instances_xform",
                                             "update_instance_transform",
                                             "set_num_bands",
                                             "add_material",
                                             "upload_spectral_params",
                                             "set_optical_turbid_media",
                                             "num_optical_turbid_media",
                                             "material_medium_ids",
                                             "optical_turbid_medium",
                                             "sample_combined_free_path",
                                             "conditional_hotspot_transmittance",
                                             "geometry_build_revision",
                                             "set_emitter",
                                             "update_emitter_direction",
                                             "set_sensor",
                                             "set_sky",
                                             "set_directional_sky",
                                             "set_hw_sky",
                                             "set_repetitive",
                                             "set_thermal_mode",
                                             "thermal_mode",
                                             "band_wavelengths",
                                             "clear_for_reuse",
                                             "is_built",
                                             "has_meshes",
                                             "num_instances",
                                             "total_triangles",
                                             "n_primitives",
                                             "max_height",
                                             "min_height",
                                             "aabb",
                                             "set_measurement_plane",
                                             "instance_triangle_counts",
                                             "get_instance_primitive_offsets",
                                             "is_populate_primitive_soa",
                                             "set_populate_primitive_soa",
                                             "get_primitive_mat_ids",
                                             "get_primitive_areas",
                                             "get_primitive_normals",
                                             "primitive_geometry",
                                             "set_primitive_emissivities",
                                             "get_primitive_emissivities",
                                             "clear_primitive_emissivities",
                                             "set_primitive_temperatures",
                                             "clear_primitive_temperatures",
                                             "get_primitive_temperatures",
                                             "set_primitive_sif_spectra",
                                             "clear_primitive_sif_spectra",
                                             "set_instance_turbid_thermal_state",
                                             "clear_instance_turbid_thermal_state",
                                             "get_instance_turbid_thermal_state",
                                             "set_instance_sif_spectra",
                                             "clear_instance_sif_spectra",
                                             "set_instance_sif_source_fields",
                                             "clear_instance_sif_source_fields",
                                             "set_sif_only_mode",
                                             "repetitive_config",
                                             "sensor_config"};

py::kwargs cpu_keywords(const py::kwargs& kwargs) {
  static const std::pair<const char*, const char*> kRenames[] = {{"transform", "xform"},
                                                                 {"transforms", "xforms"},
                                                                 {"instance_id", "id"},
                                                                 {"camera_transform", "cam_xform"}};
  py::kwargs out;
  for (auto item : kwargs) {
    std::string key = item.first.cast<std::string>();
    for (const auto& [device_name, cpu_name] : kRenames) {
      if (key == device_name) key = cpu_name;
    }
    out[py::str(key)] = item.second;
  }
  return out;
}

py::dict trace_closest(VulkanSceneManager& scene, const carray<float>& origins,
                       const carray<float>& directions, float t_min, float t_max) {
  if (origins.ndim() != 2 || origins.shape(1) != 3) {
    throw py::value_error("origins must have float32 shape [N, 3]");
  }
  if (directions.ndim() != 2 || directions.shape(1) != 3) {
    throw py::value_error("directions must have float32 shape [N, 3]");
  }
  if (origins.shape(0) != directions.shape(0)) {
    throw py::value_error("origins and directions must have the same number of rays");
  }
  scene.require_built("tracing rays");
  const embree::SceneUse use = scene.host().acquire_use();
  const py::ssize_t n = origins.shape(0);
  HitColumns columns(n);
  embree::RayBatchView rays{origins.data(), directions.data(), static_cast<size_t>(n), t_min,
                            t_max};
  const embree::HitBatchView out = columns.view();
  {
    py::gil_scoped_release release;
    scene.trace_closest(rays, out);
  }
  return columns.dict();
}

}  // namespace

void bind_vulkan(py::module_& m) {
  m.attr("HAS_VULKAN") = true;

  py::class_<VulkanContext> context(m, "VulkanContext", py::release_gil_before_calling_cpp_dtor(),
                                    "An open Vulkan device with ray queries: the device-th "
                                    "compatible device of list_vulkan_devices().");
  context.def(py::init<int>(), py::arg("device") = 0);
  context.def_property_readonly("device_name", &VulkanContext::device_name);
  context.def_property_readonly("physical_device_index", &VulkanContext::physical_device_index);
  context.def_property_readonly("total_vram_mb", &VulkanContext::total_vram_mb);
  context.def_property_readonly("api_version", &VulkanContext::api_version);
  context.def_property_readonly("queue_family_index", &VulkanContext::queue_family_index);

  py::class_<VulkanSceneManager> cls(m, "VulkanSceneManager",
                                     py::release_gil_before_calling_cpp_dtor(),
                                     "Device scene on a VulkanContext: the CPU scene vocabulary, "
                                     "acceleration structures and ray-query compute pipelines.");
  cls.def(py::init([](VulkanContext& context, const py::object& trace_shader) {
            return std::make_unique<VulkanSceneManager>(context, shader_dir_argument(trace_shader));
          }),
          py::arg("context"), py::arg("trace_shader") = py::none(), py::keep_alive<1, 2>(),
          "A scene on `context` reading its SPIR-V shaders from the directory `trace_shader` "
          "(or the directory of that file); None: the shaders installed with the module.");
  cls.def_property_readonly("shader_dir", &VulkanSceneManager::shader_dir);

  // The scene record, a CPU scene manager owned by the device scene (for the shared vocabulary
  // and for comparing both backends on one scene).
  cls.def(
      "_scene_record",
      [](VulkanSceneManager& s) -> embree::EmbreeSceneManager& { return s.host(); },
      py::return_value_policy::reference_internal);
  for (const char* name : kSharedVocabulary) {
    cls.def(
        name,
        [name](py::object self, py::args args, const py::kwargs& kwargs) {
          return self.attr("_scene_record")().attr(name)(*args, **cpu_keywords(kwargs));
        },
        (std::string("As EmbreeSceneManager.") + name + " (the scene vocabulary is shared).")
            .c_str());
  }
  cls.def(
      "update_spectral_params",
      [](VulkanSceneManager& s, int offset, const carray<float>& params) {
        const std::vector<float> values = to_vector(params);
        s.host().change_description(
            [&](SceneDescription& d) { d.update_spectral_params(offset, values); });
      },
      py::arg("offset"), py::arg("params"),
      "Overwrite part of the spectral parameter buffer starting at `offset`.");
  cls.def("build", &VulkanSceneManager::build,
          "Build the scene record and the device acceleration structures.");
  cls.def("refit_ias", &VulkanSceneManager::refit_ias,
          "Refit the top-level structure to updated instance transforms (scene must be built).");
  cls.def("refit_instances", &VulkanSceneManager::refit_ias, "Alias of refit_ias().");
  cls.def("build_reuse_gas", &VulkanSceneManager::build_reuse_gas,
          "Mark the scene built, reusing the existing acceleration structures.");
  cls.def("build_reuse_geometry", &VulkanSceneManager::build_reuse_gas,
          "Mark the scene built, reusing the existing acceleration structures.");
  cls.def("has_gpu_meshes", &VulkanSceneManager::device_current,
          "Whether device acceleration structures match the last build.");
  cls.def("trace_closest", &trace_closest, py::arg("origins"), py::arg("directions"),
          py::arg("t_min") = 1e-4f, py::arg("t_max") = 1e30f,
          "Closest hits of N rays (float32 [N, 3] origins and directions) on the device, in "
          "ray order, with the keys of the CPU query.");
  bind_vulkan_workflows(cls);
  bind_vulkan_turbid(cls);
  bind_vulkan_physiology(m);
  bind_vulkan_microwave(cls);
  bind_vulkan_turbid_functions(m);
  bind_vulkan_turbid_domains(m);
  bind_vulkan_turbid_fields(m);
  bind_vulkan_joint(m);

  m.def("list_vulkan_devices", &list_vulkan_devices,
        "Every Vulkan physical device in preference order, with its capabilities, whether the "
        "ray-query backend can use it and why not.");
}
#endif

}  // namespace tesk::python
