#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "vulkan/scene_manager.h"

namespace tesk::python {

/// The transport workflows of VulkanSceneManager (simulate_backward, ...).
void bind_vulkan_workflows(pybind11::class_<vulkan::VulkanSceneManager>& cls);

/// The Turbid workflows of VulkanSceneManager (run_turbid_leaf_rrt_gpu).
void bind_vulkan_turbid(pybind11::class_<vulkan::VulkanSceneManager>& cls);

/// The Turbid module functions of the Vulkan backend (_execute_turbid_radiation_field_vulkan).
void bind_vulkan_turbid_functions(pybind11::module_& m);

/// The Turbid field functions of the Vulkan backend (_build_turbid_field_vulkan, ...).
void bind_vulkan_turbid_fields(pybind11::module_& m);

/// The Vulkan physiology, process and SIF module functions (solve_physiology_vulkan, ...).
void bind_vulkan_physiology(pybind11::module_& m);

/// _execute_joint_thermo_physiology_vulkan.
void bind_vulkan_joint(pybind11::module_& m);

/// VulkanSceneManager.run_microwave_wavefront.
void bind_vulkan_microwave(pybind11::class_<vulkan::VulkanSceneManager>& cls);

/// The Turbid domain and state module functions of the Vulkan backend
/// (_build_turbid_domains_vulkan, _build_turbid_state_vulkan, ...).
void bind_vulkan_turbid_domains(pybind11::module_& m);

/// The Turbid sampling shader named by a host argument: `shader_path` itself when it is a file,
/// else turbid_sampling.spv in that directory.
std::string turbid_sampling_shader(const std::string& shader_path);

}  // namespace tesk::python
