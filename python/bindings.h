#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "core/scene_types.h"
#include "embree/backward_integrator.h"
#include "embree/scene_manager.h"

namespace tesk::python {

/// The column arrays of a batch of closest hits, under the keys every backend's trace_closest
/// returns: t, instance_id, primitive_id, global_primitive_id, hit, is_back_face, normal and
/// geometric_normal ([n, 3]), material_id.
struct HitColumns {
  explicit HitColumns(pybind11::ssize_t n);
  /// Writable views of the columns, for a batch query.
  embree::HitBatchView view();
  pybind11::dict dict() const;

  pybind11::array_t<float> t, normal, geometric_normal;
  pybind11::array_t<int32_t> instance_id, primitive_id, global_primitive_id, material_id;
  pybind11::array_t<bool> hit, is_back_face;
};

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
/// A pass_range argument: None (every pass) or (begin, end), checked by the renderer.
embree::PassRange to_pass_range(const pybind11::object& range);
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
/// The scene processes over mesh primitives: static and dynamic photosynthesis, the
/// energy-balance process, SIF finalization and source assembly.
void bind_processes(pybind11::module_& m);
/// _execute_joint_thermo_physiology_embree (registered right after the turbid operations).
void bind_joint_thermo_physiology(pybind11::module_& m);

/// The CUDA backend: HAS_OPTIX, OptiXContext, SceneManager, Simulator, the device module
/// functions and device_info (nothing on a build without nvcc).
void bind_cuda(pybind11::module_& m);

/// The optical product request from the host's list of output names ("radiance",
/// "standard_error", "event_aov", "scattering_order"; a single string counts as one name).
/// Throws TypeError for non-strings, ValueError for unknown names and a negative
/// max_output_order when the order split is requested.
backend::OpticalProductRequest optical_request(const pybind11::object& outputs,
                                               int max_output_order);

/// Turbid domains: relation tables, leaf-area sampling and the domain registry functions.
void bind_turbid(pybind11::module_& m);

/// Radiation inside turbid media: run_turbid_leaf_rrt_cpu, the radiation-field and energy-balance
/// processes, states, their aggregation and fields.
void bind_turbid_radiation(pybind11::module_& m);

}  // namespace tesk::python
