#pragma once

// Leaf physiology, the scene processes built on it and the SIF finalization as Vulkan compute
// dispatches. The per-element shaders include the CPU's leaf model and surface balance
// (physiology/leaf_model.h, physiology/surface_balance.h), so both backends solve the same
// equations; the coupled processes run the scene's longwave (and shortwave) exchange with the
// device energy-balance transport between element steps.

#include "embree/surface_processes.h"
#include "physiology/processes.h"
#include "physiology/solver.h"
#include "vulkan/scene_manager.h"

namespace tesk::vulkan {

/// The leaf physiology solver on the device: the CPU request, checks and messages
/// (physiology::validate_physiology_request), one invocation per element of
/// "photosynthesis_process.spv". Record vulkan / physiology_solver /
/// "vulkan.ray_query.physiology_solver". The scene is not consulted and need not be built.
physiology::PhysiologyResult solve_physiology(VulkanSceneManager& scene,
                                              const physiology::PhysiologyRequestView& request);

/// The static photosynthesis process on the device (PAR conversion, sunlit and shaded solves,
/// blending), with the CPU checks and messages. Record vulkan / photosynthesis_process_static.
physiology::PhotosynthesisProcessResult execute_photosynthesis_process_static(
    VulkanSceneManager& scene, const physiology::PhotosynthesisProcessRequestView& request);

/// The dynamic photosynthesis process: the CPU outer loop with the device longwave transport and
/// the element steps on the device. The final temperatures stay in the scene's per-primitive
/// override; a failing call restores the previous override. Throws the CPU's argument errors,
/// std::runtime_error "native longwave result length does not match elements" when the element
/// count differs from the scene's primitives and "Vulkan: build the scene before the energy
/// balance" for a scene that is not built.
embree::DynamicPhotosynthesisResult execute_photosynthesis_process_dynamic(
    VulkanSceneManager& scene, const embree::DynamicPhotosynthesisRequest& request);

/// The energy-balance process with the device shortwave and longwave transport and the surface
/// balance step on the device; scene state and errors as the dynamic process.
embree::EnergyBalanceProcessResult execute_energy_balance_process(
    VulkanSceneManager& scene, const embree::EnergyBalanceProcessRequest& request);

/// The SIF finalization on the device, with the CPU checks and messages.
/// Record vulkan / sif_process_finalization / "vulkan.ray_query.sif_process_finalization".
physiology::SifProcessResult finalize_sif_process(VulkanSceneManager& scene,
                                                  const physiology::SifProcessRequestView& request);

/// The SIF source assembly on the device: one invocation per (instance, band) adds the band of
/// the instance's samples in sample order into double sums, so the fields equal the CPU's; the
/// CPU checks and messages. Record vulkan / sif_source_assembly /
/// "vulkan.ray_query.sif_source_assembly".
physiology::SifSourceFields assemble_sif_source(
    VulkanSceneManager& scene, const physiology::SifSourceAssemblyRequestView& request);

}  // namespace tesk::vulkan
