// _execute_joint_thermo_physiology_vulkan: the CPU request and result with the device longwave
// transports and element steps, committed to the scene record as on the CPU.

#include <pybind11/pybind11.h>

#include "python/frame.h"
#include "python/joint_results.h"
#include "python/vulkan_workflows.h"
#include "vulkan/joint_thermo_physiology.h"

namespace tesk::python {
namespace {

py::dict joint_thermo_physiology_vulkan(vulkan::VulkanSceneManager& scene,
                                        const py::dict& request) {
  const embree::OwnedJointThermoPhysiologyRequest r = joint_request(request);
  vulkan::JointDeviceCounters counters;
  embree::StagedJointThermoPhysiology s =
      vulkan::stage_joint_thermo_physiology(scene, r, counters, interpreter_interrupt_check());
  int64_t n_mesh = 0, n_turbid = 0;
  for (const int32_t code : r.representation_codes) {
    (code == static_cast<int32_t>(embree::JointRepresentation::TurbidOwner) ? n_turbid : n_mesh)++;
  }
  const int32_t iterations = s.iterations;
  const auto extras = [&](py::dict& out, uint64_t state_id) {
    // Generations: the joint state this run commits, and how many times the mesh overrides
    // and the turbid thermal state were written for a transport (0 without such elements).
    const int64_t writes = int64_t{iterations} + 1;
    out["joint_generation"] = state_id;
    out["mesh_generation"] = n_mesh > 0 ? writes : 0;
    out["turbid_generation"] = n_turbid > 0 ? writes : 0;
    out["iteration_dispatches"] = counters.iteration_dispatches;
    out["scalar_downloads"] = counters.scalar_downloads;
    out["element_downloads"] = counters.element_downloads;
  };
  return commit_joint_result(scene.host(), r, s, "vulkan",
                             "vulkan.ray_query.joint_thermo_physiology", extras);
}

}  // namespace

void bind_vulkan_joint(py::module_& m) {
  m.def("_execute_joint_thermo_physiology_vulkan", &joint_thermo_physiology_vulkan,
        py::arg("scene"), py::arg("request"),
        "_execute_joint_thermo_physiology_embree on a VulkanSceneManager: the same request, "
        "checks, messages and result keys, with the longwave transport on the device (energy "
        "balance without media, the leaf reverse ray tracer with them) and every element step "
        "in joint_thermo_physiology.spv (the CPU's element step compiled for the device). Adds "
        "joint_generation, mesh_generation, turbid_generation, iteration_dispatches, "
        "scalar_downloads and element_downloads; commits to the scene record as the CPU does.");
}

}  // namespace tesk::python
