// The Vulkan physiology module functions: solve_physiology_vulkan, the photosynthesis and
// energy-balance processes and the SIF finalization and source assembly. Each reads the CPU
// function's request dictionary (python/physiology_requests.h), runs the device workflow and
// returns the same {payload, _execution} envelope.

#include <pybind11/pybind11.h>

#include "python/frame.h"
#include "python/physiology_requests.h"
#include "python/vulkan_workflows.h"
#include "vulkan/physiology.h"

namespace tesk::python {
namespace {

using vulkan::VulkanSceneManager;

py::dict solve_physiology_vulkan(VulkanSceneManager& scene, const py::dict& request) {
  const embree::SceneUse use = scene.host().acquire_use();
  const PhysiologyRequest r = read_physiology_request(request);
  const physiology::PhysiologyResult result = vulkan::solve_physiology(scene, r.view);
  return enveloped_result(physiology_payload(result, r.dynamic), result.execution);
}

py::dict photosynthesis_static_vulkan(VulkanSceneManager& scene, const py::dict& request) {
  const embree::SceneUse use = scene.host().acquire_use();
  const StaticProcessRequest q = read_static_process_request(request);
  const physiology::PhotosynthesisProcessResult r =
      vulkan::execute_photosynthesis_process_static(scene, q.view);
  return enveloped_result(static_process_payload(r), r.execution);
}

py::dict photosynthesis_dynamic_vulkan(VulkanSceneManager& scene, const py::dict& request) {
  const DynamicProcessRequest q = read_dynamic_process_request(request);
  const embree::DynamicPhotosynthesisResult r =
      vulkan::execute_photosynthesis_process_dynamic(scene, q.request);
  return enveloped_result(dynamic_process_payload(r), r.execution);
}

py::dict energy_balance_process_vulkan(VulkanSceneManager& scene, const py::dict& request) {
  const EnergyBalanceProcessRequest q = read_energy_balance_process_request(request);
  const embree::EnergyBalanceProcessResult r =
      vulkan::execute_energy_balance_process(scene, q.request);
  return enveloped_result(energy_balance_process_payload(r), r.execution);
}

py::dict finalize_sif_process_vulkan(VulkanSceneManager& scene, const py::dict& request) {
  const embree::SceneUse use = scene.host().acquire_use();
  const SifProcessRequest q = read_sif_process_request(request);
  const physiology::SifProcessResult r = vulkan::finalize_sif_process(scene, q.view);
  return enveloped_result(sif_process_payload(r), r.execution);
}

py::dict assemble_sif_source_vulkan(VulkanSceneManager& scene, const py::dict& request) {
  const embree::SceneUse use = scene.host().acquire_use();
  const SifAssemblyRequest q = read_sif_assembly_request(request);
  const physiology::SifSourceFields r = vulkan::assemble_sif_source(scene, q.view);
  return enveloped_result(sif_assembly_payload(r), r.execution);
}

}  // namespace

void bind_vulkan_physiology(py::module_& m) {
  m.def("solve_physiology_vulkan", &solve_physiology_vulkan, py::arg("scene"), py::arg("request"),
        "The leaf physiology solver of solve_physiology_cpu on the Vulkan device, one shader "
        "invocation per element: the same request dictionary, checks, messages and payload "
        "keys. The scene need not be built. Returns {payload, _execution}.");
  m.def("execute_photosynthesis_process_static_vulkan", &photosynthesis_static_vulkan,
        py::arg("scene"), py::arg("request"),
        "Static photosynthesis per element on the Vulkan device, as "
        "execute_photosynthesis_process_static_cpu. Returns {payload, _execution}.");
  m.def("execute_photosynthesis_process_dynamic_vulkan", &photosynthesis_dynamic_vulkan,
        py::arg("scene"), py::arg("request"),
        "The dynamic photosynthesis process of execute_photosynthesis_process_dynamic_cpu with "
        "the device longwave transport and element solves (the scene must be built); the final "
        "temperatures stay in the scene's per-primitive temperatures. Returns {payload, "
        "_execution}.");
  m.def("execute_energy_balance_process_vulkan", &energy_balance_process_vulkan, py::arg("scene"),
        py::arg("request"),
        "The energy-balance process of execute_energy_balance_process_cpu with the device "
        "shortwave and longwave transport and element solves (the scene must be built). "
        "Returns {payload, _execution}.");
  m.def("finalize_sif_process_vulkan", &finalize_sif_process_vulkan, py::arg("scene"),
        py::arg("request"),
        "Per-element fluorescence yield and absorbed spectra at the selected excitation bands "
        "on the Vulkan device, as finalize_sif_process_cpu. Returns {payload, _execution}.");
  m.def("assemble_sif_source_vulkan", &assemble_sif_source_vulkan, py::arg("scene"),
        py::arg("request"),
        "Bins per-sample SIF source spectra into spatial, orientation and joint fields on the "
        "Vulkan device, as assemble_sif_source_cpu (the same sums and counts). Returns "
        "{payload, _execution}.");
}

}  // namespace tesk::python
