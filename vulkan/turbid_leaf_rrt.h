#pragma once

#include "core/host/progress.h"
#include "embree/turbid_energy_balance.h"
#include "embree/turbid_leaf_rrt.h"
#include "embree/turbid_radiation.h"
#include "embree/turbid_static_physiology.h"
#include "vulkan/scene_manager.h"

namespace tesk::vulkan {

/// The leaf reverse ray tracer on the device ("turbid_leaf_rrt.spv"): the CPU tracer of
/// embree/turbid_leaf_rrt.h with one invocation per sample, the same per-sample streams and
/// draws, the same media walker (containment, free paths, boundary and tile-wall crossings,
/// transmittance toward the sun) and the same outputs; `num_threads` is ignored. Samples run in
/// dispatches of bounded work; `progress` gets (samples done, n, elapsed ms) after each.
/// Record vulkan / radiation_field_process / "vulkan.ray_query.turbid_leaf_rrt".
///
/// Throws the CPU tracer's argument errors (same order and messages), std::invalid_argument
/// "Vulkan turbid leaf RRT supports 1 to 32 bands" and "Vulkan thermal turbid leaf RRT requires
/// per-instance longwave source and emissivity", and std::runtime_error "Vulkan: build the
/// scene before tracing rays" when the device structures are not current.
embree::TurbidLeafRRTResult run_turbid_leaf_rrt_gpu(VulkanSceneManager& scene,
                                                    const embree::TurbidLeafRRTParams& params,
                                                    const ProgressCallback& progress = {});

/// The turbid radiation-field process with its transport on the device: the CPU process of
/// embree/turbid_radiation.h (request checks, owner preparation, the same leaf RRT inputs and
/// seed, radiation-state assembly) with run_turbid_leaf_rrt_gpu in place of the CPU tracer.
/// `domain` is resident in the scene record. Returns the state (a fresh state id; not
/// committed). Throws the CPU process's request and preparation errors, std::runtime_error
/// "Vulkan Turbid radiation requires a built optical scene. No fallback was performed." and the
/// errors of run_turbid_leaf_rrt_gpu.
turbid::OwnedTurbidState execute_turbid_radiation_field_gpu(
    VulkanSceneManager& scene, const turbid::TurbidDomainRecord& domain,
    const embree::OwnedTurbidRadiationRequest& request, const ProgressCallback& progress = {});

/// The turbid static-physiology process with the leaf model on the device: the CPU process of
/// embree/turbid_static_physiology.h (request checks, one element per sample and condition of an
/// active owner, state assembly) with the elements solved by vulkan::solve_physiology.
/// `radiation` is the resolved radiation state in the scene record. Returns the state (not
/// committed). Throws the CPU process's errors and std::runtime_error "Vulkan StaticPhysiology
/// requires a built optical scene. No fallback was performed.".
turbid::OwnedTurbidState execute_turbid_static_physiology_gpu(
    VulkanSceneManager& scene, const turbid::TurbidDomainRecord& domain,
    const embree::OwnedTurbidStaticPhysiologyRequest& request,
    const turbid::OwnedTurbidState& radiation);

/// The turbid energy-balance process with its longwave transport on the device: the CPU process
/// of embree/turbid_energy_balance.h (request checks, the same iteration, streams and Newton
/// solves) with run_turbid_leaf_rrt_gpu in place of the CPU tracer. `source` is the resolved
/// source state in the scene record. Throws the CPU process's errors and std::runtime_error
/// "Vulkan Turbid energy balance requires a built optical scene. No fallback was performed.".
embree::TurbidEnergyBalanceRun execute_turbid_energy_balance_gpu(
    VulkanSceneManager& scene, const turbid::TurbidDomainRecord& domain,
    const embree::OwnedTurbidEnergyBalanceRequest& request, const turbid::OwnedTurbidState& source,
    const ProgressCallback& progress = {});

}  // namespace tesk::vulkan
