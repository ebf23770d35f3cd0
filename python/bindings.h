#pragma once

#include <pybind11/pybind11.h>

#include "core/scene_types.h"

namespace tesk::python {

/// Microwave evaluators: _evaluate_microwave_soil, _evaluate_microwave_soil_reflectivity,
/// _evaluate_microwave_trunk_ground, _evaluate_microwave_trunk.
void bind_microwave(pybind11::module_& m);
/// When built with Vulkan: HAS_VULKAN (True), VulkanContext, VulkanSceneManager with its
/// workflows and list_vulkan_devices; nothing otherwise.
void bind_vulkan(pybind11::module_& m);
/// Mesh generators: make_ground_plane, make_sphere, make_cylinder.
void bind_meshes(pybind11::module_& m);
/// HAS_EMBREE and the CPU scene manager class EmbreeSceneManager.
void bind_scene(pybind11::module_& m);
/// simulate_cpu: backward optical rendering of an EmbreeSceneManager.
void bind_optical(pybind11::module_& m);
/// simulate_brf_cpu: backward BRF toward view directions.
void bind_brf(pybind11::module_& m);
/// simulate_forward_cpu and simulate_flux_cpu: forward photon tracing of an EmbreeSceneManager.
void bind_forward(pybind11::module_& m);
/// run_energy_balance_multiband_cpu and run_energy_balance_cpu, and the scene manager's
/// run_energy_balance and run_energy_balance_multiband methods.
void bind_thermal(pybind11::module_& m);
/// simulate_lidar_cpu and EmbreeSceneManager.simulate_lidar: LiDAR waveforms and point clouds.
void bind_lidar(pybind11::module_& m);
/// solve_physiology_cpu: the leaf physiology solver on request dictionaries.
void bind_physiology(pybind11::module_& m);

/// The optical product request from the host's list of output names ("radiance",
/// "standard_error", "event_aov", "scattering_order"; a single string counts as one name).
/// Throws TypeError for non-strings, ValueError for unknown names and a negative
/// max_output_order when the order split is requested.
backend::OpticalProductRequest optical_request(const pybind11::object& outputs,
                                               int max_output_order);

/// Turbid domains: relation tables, leaf-area sampling and the domain registry functions.
void bind_turbid(pybind11::module_& m);

}  // namespace tesk::python
