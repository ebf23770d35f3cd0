#pragma once

#include <pybind11/pybind11.h>

#include "vulkan/scene_manager.h"

namespace tesk::python {

/// The transport workflows of VulkanSceneManager (simulate_backward, ...).
void bind_vulkan_workflows(pybind11::class_<vulkan::VulkanSceneManager>& cls);

/// VulkanSceneManager.run_microwave_wavefront.
void bind_vulkan_microwave(pybind11::class_<vulkan::VulkanSceneManager>& cls);

}  // namespace tesk::python
