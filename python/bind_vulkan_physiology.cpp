// The Vulkan physiology module functions: solve_physiology_vulkan, the photosynthesis and
// energy-balance processes and the SIF finalization and source assembly. Each reads the CPU
// function's request dictionary (python/physiology_requests.h), runs the device workflow and
// returns the same {payload, _execution} envelope.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <vector>

#include "python/frame.h"
#include "python/physiology_requests.h"
#include "python/turbid_results.h"
#include "python/vulkan_workflows.h"
#include "vulkan/physiology.h"
#include "vulkan/turbid_artifacts.h"
#include "vulkan/turbid_sampling.h"
#include "vulkan/turbid_state.h"

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

py::dict aggregate_turbid_state_vulkan(VulkanSceneManager& scene, const py::object& token_obj,
                                       const std::vector<std::string>& fields,
                                       const std::string& diagnostics,
                                       const std::optional<std::vector<uint64_t>>& requested) {
  const turbid::TurbidStateToken token = parse_turbid_state_token(token_obj);
  const turbid::TurbidAggregation a =
      vulkan::aggregate_turbid_state(scene, token, fields, diagnostics, requested);
  return turbid_aggregation_result(*scene.host().turbid_domains(), token, a, diagnostics, "vulkan",
                                   "vulkan.slang.turbid_state_reduction");
}

py::dict pinned_turbid_artifacts() {
  py::dict out;
  for (const auto& [name, digest] : vulkan::pinned_turbid_artifacts()) out[name.c_str()] = digest;
  return out;
}

std::string verify_turbid_artifact(const std::string& shader_dir, const std::string& artifact) {
  const std::vector<uint32_t> words = vulkan::read_verified_turbid_spirv(shader_dir, artifact);
  return vulkan::turbid_sha256(words.data(), words.size() * sizeof(uint32_t));
}

py::dict debug_turbid_samples_vulkan(vulkan::VulkanContext& context, VulkanSceneManager&,
                                     const std::string& shader_path, const py::dict& request,
                                     const std::string& quality, const py::handle& seed,
                                     const py::handle& sample_budget,
                                     const py::handle& max_candidates) {
  const turbid::TurbidDomainDescriptor descriptor = read_turbid_sampling_request(request);
  const turbid::TurbidSamplingConfig config =
      read_turbid_sampling_config(request, quality, seed, sample_budget, max_candidates);
  const turbid::TurbidSamplePool pool = vulkan::sample_turbid_domain(
      context, turbid_sampling_shader(shader_path), descriptor, config);
  py::dict execution = execution_dict("_turbid_sampling_debug", "vulkan.slang.turbid_sampling");
  execution["backend"] = "vulkan";
  py::dict out;
  out["payload"] = turbid_pool_dict(pool);
  out["_execution"] = execution;
  return out;
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
  m.def("_aggregate_turbid_state_vulkan", &aggregate_turbid_state_vulkan, py::arg("scene"),
        py::arg("state_token"), py::arg("fields"), py::arg("diagnostics") = "components",
        py::arg("requested_sample_ids") = py::none(),
        "_aggregate_turbid_state_embree of the scene record's resident state with the weighted "
        "sums formed by the pinned turbid_state shader; the same keys, backend 'vulkan'.");
  m.def("_pinned_turbid_artifacts_vulkan", &pinned_turbid_artifacts,
        "The pinned resident Turbid shaders and the SHA-256 digests (64 lowercase hex) of the "
        "files this build compiled; empty for an artifact the build does not compile.");
  m.def("_verify_turbid_artifact_vulkan", &verify_turbid_artifact, py::arg("shader_dir"),
        py::arg("artifact"),
        "Reads <shader_dir>/<artifact>.spv as a pinned resident Turbid shader and returns its "
        "digest; raises the pinned-artifact errors (invalid name, missing file, stale or "
        "unpinned hash).");
  m.def("_debug_turbid_samples_vulkan", &debug_turbid_samples_vulkan, py::arg("context"),
        py::arg("scene"), py::arg("shader_path"), py::arg("request"), py::arg("quality"),
        py::arg("seed"), py::arg("sample_budget") = 0, py::arg("max_candidates") = 0,
        "_debug_turbid_samples_embree with the candidates generated on the Vulkan device by "
        "turbid_sampling.spv (shader_path: the file or its directory); the same samples.");
}

}  // namespace tesk::python
