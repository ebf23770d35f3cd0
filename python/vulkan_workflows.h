#pragma once

#include <pybind11/pybind11.h>

#include "vulkan/scene_manager.h"

namespace tesk::python {

/// The transport workflows of VulkanSceneManager (simulate_backward, ...).
void bind_vulkan_workflows(pybind11::class_<vulkan::VulkanSceneManager>& cls);

/// The Turbid workflows of VulkanSceneManager (run_turbid_leaf_rrt_gpu).
void bind_vulkan_turbid(pybind11::class_<vulkan::VulkanSceneManager>& cls);

/// The Turbid module functions of the Vulkan backend (_execute_turbid_radiation_field_vulkan).
void bind_vulkan_turbid_functions(pybind11::module_& m);

/// The Vulkan physiology, process and SIF module functions (solve_physiology_vulkan, ...).
void bind_vulkan_physiology(pybind11::module_& m);

/// _execute_joint_thermo_physiology_vulkan.
void bind_vulkan_joint(pybind11::module_& m);

/// VulkanSceneManager.run_microwave_wavefront.
void bind_vulkan_microwave(pybind11::class_<vulkan::VulkanSceneManager>& cls);

}  // namespace tesk::python
