// The module frame: import check, then every subsystem's registrations in one fixed order
// (the order in which the module namespace is filled).

#include <pybind11/pybind11.h>

#include <cctype>
#include <cstring>
#include <string>

#include "core/host/log.h"
#include "python/bindings.h"

namespace py = pybind11;

namespace {

#define TESK_STR_(x) #x
#define TESK_STR(x) TESK_STR_(x)

// Refuses an interpreter of another minor series than the one the module was compiled for.
void check_interpreter_version() {
  const char* compiled = TESK_STR(PY_MAJOR_VERSION) "." TESK_STR(PY_MINOR_VERSION);
  const std::string running = Py_GetVersion();
  const size_t n = std::strlen(compiled);
  const bool same_series =
      running.compare(0, n, compiled) == 0 &&
      (running.size() == n || !std::isdigit(static_cast<unsigned char>(running[n])));
  if (!same_series) {
    const std::string version = running.substr(0, running.find(' '));
    throw py::import_error(std::string("Python version mismatch: module was compiled for Python ") +
                           compiled + ", but the interpreter version is incompatible: " + version +
                           ".");
  }
}

// Makes every method and property accessor of the module's classes refuse None as `self`.
// pybind11 lets None through as a null `self` when a method was declared without named
// arguments, so an unbound call such as `EmbreeSceneManager.build(None)` would dereference a
// null pointer; with a `self` record that refuses None the call fails with the binding layer's
// TypeError instead.
void refuse_none_self(py::handle function) {
  const py::handle underlying = py::detail::get_function(function);
  if (!underlying || !PyCFunction_Check(underlying.ptr())) return;
  PyObject* capsule = PyCFunction_GET_SELF(underlying.ptr());
  if (capsule == nullptr) return;
  for (py::detail::function_record* rec = py::detail::function_record_ptr_from_PyObject(capsule);
       rec != nullptr; rec = rec->next) {
    if (!rec->is_method || rec->is_constructor) continue;
    if (rec->args.empty()) {
      // The record owns its argument names (pybind11 frees them with the function).
      rec->args.emplace_back(strdup("self"), nullptr, py::handle(), /*convert=*/true,
                             /*none=*/false);
    } else {
      rec->args.front().none = false;
    }
  }
}

void refuse_none_self_in_classes(const py::module_& m) {
  const py::object property = py::module_::import("builtins").attr("property");
  for (const auto& [name, value] : py::reinterpret_borrow<py::dict>(m.attr("__dict__"))) {
    (void)name;
    if (!PyType_Check(value.ptr())) continue;
    if (py::detail::get_type_info(reinterpret_cast<PyTypeObject*>(value.ptr())) == nullptr) {
      continue;
    }
    // A type's own attributes (its __dict__ attribute is a read-only proxy of this dict).
    PyObject* own = reinterpret_cast<PyTypeObject*>(value.ptr())->tp_dict;
    for (const auto& [attr, member] : py::reinterpret_borrow<py::dict>(own)) {
      (void)attr;
      if (py::isinstance(member, property)) {
        for (const char* accessor : {"fget", "fset"}) {
          refuse_none_self(member.attr(accessor));
        }
      } else {
        refuse_none_self(member);
      }
    }
  }
}

}  // namespace

PYBIND11_MODULE(tesk_gpu, m) {
  check_interpreter_version();
  try {
    // 1. Turbid operations (the sample budget constant for now).
    m.attr("TURBID_MAX_SAMPLE_BUDGET") = 4194303;
    // 2. Joint thermo-physiology.
    tesk::python::bind_joint_thermo_physiology(m);
    // 3. Module documentation and version.
    m.doc() = "TESK - multi-backend 3D Radiative Transfer Model";
    m.attr("__version__") = "3.0.0rc1";
    // 4. Microwave evaluation functions.
    tesk::python::bind_microwave(m);
    // 5. Vulkan backend: HAS_VULKAN, VulkanContext, VulkanSceneManager, list_vulkan_devices.
    tesk::python::bind_vulkan(m);
    // 7. Mesh generators.
    tesk::python::bind_meshes(m);
    // 8. CPU backend: HAS_EMBREE, EmbreeSceneManager and the CPU module functions.
    tesk::python::bind_scene(m);
    tesk::python::bind_optical(m);
    tesk::python::bind_brf(m);
    tesk::python::bind_forward(m);
    tesk::python::bind_thermal(m);
    tesk::python::bind_physiology(m);
    tesk::python::bind_processes(m);
    tesk::python::bind_lidar(m);
    tesk::python::bind_turbid(m);
    tesk::python::bind_turbid_radiation(m);
    // 6. CUDA backend: HAS_OPTIX, its classes and module functions, device_info. Registered
    //    after the CPU classes because its SceneManager extends EmbreeSceneManager.
    tesk::python::bind_cuda(m);
    refuse_none_self_in_classes(m);
    // 10. Pure-Python companions (scan patterns, validation, ...) live in the folder tesk_gpu/
    //     beside the extension; giving the module a __path__ makes them its submodules, so
    //     `import tesk_gpu.lidar` works in an installation and in a build directory alike.
    const py::object path = py::module_::import("os.path");
    const py::object here = path.attr("dirname")(m.attr("__file__"));
    py::list package_path;
    package_path.append(path.attr("join")(here, "tesk_gpu"));
    m.attr("__path__") = package_path;
    // 11. The workflows' informational lines go to the "tesk_gpu" logger (silent unless the
    //     user enables it). They are emitted on the thread that called the workflow, which
    //     holds the interpreter lock; a failing handler must not abort the run.
    tesk::set_log_sink([](const std::string& line) {
      py::gil_scoped_acquire gil;
      try {
        py::module_::import("logging").attr("getLogger")("tesk_gpu").attr("info")(line);
      } catch (py::error_already_set& e) {
        e.discard_as_unraisable("tesk_gpu logging");
      }
    });
  } catch (const py::import_error&) {
    throw;
  } catch (const std::exception& e) {
    throw py::import_error(e.what());
  } catch (...) {
    throw py::import_error("initialization failed");
  }
}
