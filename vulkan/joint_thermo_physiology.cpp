#include "vulkan/joint_thermo_physiology.h"

#include <algorithm>
#include <span>
#include <vector>

#include "shaders/joint_records.h"
#include "vulkan/energy_balance.h"
#include "vulkan/turbid_leaf_rrt.h"

namespace tesk::vulkan {

using physiology::JointBranchState;

embree::StagedJointThermoPhysiology stage_joint_thermo_physiology(
    VulkanSceneManager& scene, const embree::OwnedJointThermoPhysiologyRequest& r,
    JointDeviceCounters& counters, const InterruptCheck& interrupt) {
  embree::JointBackend device;
  device.scene_ready = scene.host().is_built() && scene.device_current();
  device.unbuilt_message =
      "Vulkan joint thermo-physiology requires a built scene. No fallback was performed.";
  device.surface_longwave = [&scene](int rays, int, float sky_lw) {
    return render_energy_balance(scene, rays, 1, 0.0f, 0.0f, sky_lw, float3{0.0f, 0.0f, 1.0f}, true,
                                 {});
  };
  device.leaf_tracer = [&scene](const embree::TurbidLeafRRTParams& p) {
    return run_turbid_leaf_rrt_gpu(scene, p);
  };

  // The element coefficients and traits are uploaded once; each step uploads the branch states
  // and the absorbed longwave and downloads the field-major outputs.
  const size_t n = r.stable_ids.size();
  std::vector<physiology::JointElementInputs> elements(n);
  std::vector<physiology::LeafTraits> traits(n);
  for (size_t e = 0; e < n; ++e) {
    elements[e] = embree::joint_element_inputs(r, e);
    traits[e] = embree::joint_leaf_traits(r, e);
  }
  device::JointStepPush push{};
  push.n_elements = static_cast<int>(n);
  push.micro = embree::joint_microclimate(r);
  push.air = embree::joint_air(r);
  VulkanContext& ctx = scene.context();
  Buffer element_buffer, trait_buffer;  // uploaded at the first step (after validation)
  std::vector<JointBranchState> states(2 * n);
  std::vector<float> o(static_cast<size_t>(device::kJointOutputFields) * n);
  device.solve_elements = [&](std::span<const float> lw, std::vector<JointBranchState>& sun,
                              std::vector<JointBranchState>& shade, embree::JointStepMeasures& m) {
    if (interrupt) interrupt();
    if (element_buffer.handle() == VK_NULL_HANDLE) {
      element_buffer = ctx.upload_buffer(elements.data(), n * sizeof(elements[0]));
      trait_buffer = ctx.upload_buffer(traits.data(), n * sizeof(traits[0]));
    }
    std::copy(sun.begin(), sun.end(), states.begin());
    std::copy(shade.begin(), shade.end(), states.begin() + static_cast<ptrdiff_t>(n));
    const Buffer state_buffer = ctx.upload_buffer(states.data(), states.size() * sizeof(states[0]));
    const Buffer lw_buffer = ctx.upload_buffer(lw.data(), n * sizeof(float));
    const Buffer out = ctx.create_buffer(o.size() * sizeof(float), 0);
    ComputePipeline& pipeline = scene.pipeline("joint_thermo_physiology.spv", "main", 5,
                                               sizeof(push), "joint thermo-physiology", false);
    pipeline.run(VK_NULL_HANDLE, {&element_buffer, &trait_buffer, &state_buffer, &lw_buffer, &out},
                 &push, n);
    ++counters.iteration_dispatches;
    out.download(o.data(), o.size() * sizeof(float));
    ++counters.element_downloads;
    const auto field = [&](int f, size_t e) { return o[static_cast<size_t>(f) * n + e]; };
    for (size_t e = 0; e < n; ++e) {
      sun[e] = JointBranchState{field(device::kJointOutSunlitTemperature, e),
                                field(device::kJointOutSunlitAn, e),
                                field(device::kJointOutSunlitGs, e)};
      shade[e] = JointBranchState{field(device::kJointOutShadedTemperature, e),
                                  field(device::kJointOutShadedAn, e),
                                  field(device::kJointOutShadedGs, e)};
      m.change[e] = field(device::kJointOutChange, e);
      m.residual[e] = field(device::kJointOutResidual, e);
      m.physiology[e] = field(device::kJointOutPhysiologyChange, e);
      m.converged[e] = field(device::kJointOutConverged, e) != 0.0f ? 1 : 0;
    }
  };
  return embree::stage_joint_thermo_physiology(scene.host(), r, device);
}

}  // namespace tesk::vulkan
