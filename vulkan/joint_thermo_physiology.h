#pragma once

// Joint thermo-physiology on the Vulkan device: the CPU outer loop of
// embree/joint_thermo_physiology.h (the same request, checks, scene state written before each
// transport, measures and final fluxes) with the device longwave transports and the element
// steps in "joint_thermo_physiology.spv", which includes the CPU's element step
// (physiology/joint_branch.h).

#include <cstdint>

#include "embree/joint_thermo_physiology.h"
#include "vulkan/scene_manager.h"

namespace tesk::vulkan {

/// Transfer counts of one device run.
struct JointDeviceCounters {
  int64_t iteration_dispatches = 0;  ///< Element-step dispatches (one per outer iteration).
  int64_t scalar_downloads = 0;      ///< Downloads of reduced scalars (the maxima are host-side).
  int64_t element_downloads = 0;     ///< Downloads of the per-element step outputs.
};

/// Stages a joint run on the device scene: mesh elements take their absorbed longwave from the
/// device energy balance (scenes without media) or the device leaf tracer (scenes with optical
/// turbid media, also for turbid owners), every element step runs on the device. The scene
/// record's previous thermal overrides are restored when staging ends. Throws the CPU staging's
/// errors (same order and messages) with std::runtime_error "Vulkan joint thermo-physiology
/// requires a built scene. No fallback was performed." for a scene whose device structures are
/// not current. `interrupt` (may be empty) is polled before every element step.
embree::StagedJointThermoPhysiology stage_joint_thermo_physiology(
    VulkanSceneManager& scene, const embree::OwnedJointThermoPhysiologyRequest& request,
    JointDeviceCounters& counters, const InterruptCheck& interrupt = {});

}  // namespace tesk::vulkan
