// Device kernels of the CUDA backend, compiled to PTX at build time and loaded at run time from
// the PTX directory. Each kernel only maps threads to work items; the per-item bodies are the
// host-and-device functions of core/ and physiology/, which the host code runs as well.

#include "core/backward_image.h"
#include "core/energy_balance_path.h"
#include "core/flux_grid.h"
#include "core/forward_field.h"
#include "core/leaf_rrt_path.h"
#include "core/lidar_pulse.h"
#include "core/microwave_path.h"
#include "core/trace_batch.h"
#include "physiology/dynamic_element.h"
#include "physiology/leaf_element.h"
#include "physiology/photosynthesis_element.h"
#include "physiology/sif_assembly_element.h"
#include "physiology/sif_element.h"
#include "physiology/surface_element.h"

extern "C" __global__ void tesk_trace_closest(tesk::bvh::TraceBatchParams params) {
  const int64_t i = static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (i < params.count) tesk::bvh::trace_closest_item(params, i);
}

extern "C" __global__ void tesk_trace_occluded(tesk::bvh::TraceBatchParams params) {
  const int64_t i = static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (i < params.count) tesk::bvh::trace_occluded_item(params, i);
}

// One thread per pixel; the launch covers the passes of one fold block.
extern "C" __global__ void tesk_backward(tesk::BackwardImageParams params) {
  const int64_t i = static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (i < static_cast<int64_t>(params.width) * params.height) tesk::backward_pixel_item(params, i);
}

// Each thread traces every n_threads-th photon of the launch.
extern "C" __global__ void tesk_flux(tesk::FluxLaunchParams params) {
  const int64_t t = static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (t < params.n_threads) tesk::flux_thread_item(params, t);
}

// Each thread traces every n_threads-th photon of the launch into the forward field.
extern "C" __global__ void tesk_forward(tesk::ForwardLaunchParams params) {
  const int64_t t = static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (t < params.n_threads) tesk::forward_thread_item(params, t);
}

// One thread per pulse of the launch.
extern "C" __global__ void tesk_lidar(tesk::lidar::LidarLaunchParams params) {
  const int64_t i = static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (i < params.n_pulses) tesk::lidar::lidar_pulse_item(params, i);
}

// One thread per leaf-area sample of the launch.
extern "C" __global__ void tesk_leaf_rrt(tesk::LeafRrtLaunchParams params) {
  const int64_t s =
      params.sample_begin + static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (s < params.sample_end) tesk::leaf_rrt_item(params, s);
}

// Each thread computes the faces of one primitive of the launch's range.
extern "C" __global__ void tesk_energy_balance(tesk::EnergyBalanceParams params) {
  const int64_t i =
      params.primitive_begin + static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (i < params.primitive_end) tesk::energy_balance_item(params, i);
}

// One thread per pixel of the launch's range; passive or active by the tables' flag.
extern "C" __global__ void tesk_microwave(tesk::microwave::MicrowaveLaunchParams params) {
  const int64_t i =
      params.pixel_begin + static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (i < params.pixel_end) tesk::microwave::microwave_pixel_item(params, i);
}

// One thread per leaf element of the launch's range: the CPU solver's per-element solve.
extern "C" __global__ void tesk_physiology(tesk::physiology::LeafElementLaunch params) {
  const int64_t e =
      params.element_begin + static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (e < params.element_end) {
    tesk::physiology::solve_leaf_element(params.in, params.control, static_cast<size_t>(e),
                                         params.out);
  }
}

// One thread per element of the launch's range: the CPU finalization's per-element step.
extern "C" __global__ void tesk_sif_process(tesk::physiology::SifElementArrays params) {
  const int64_t e =
      params.element_begin + static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (e < params.element_end)
    tesk::physiology::finalize_sif_element(params, static_cast<size_t>(e));
}

// One thread per element of the launch's range: the CPU static process's per-element step.
extern "C" __global__ void tesk_photosynthesis_static(
    tesk::physiology::StaticElementArrays params) {
  const int64_t e =
      params.element_begin + static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (e < params.element_end)
    tesk::physiology::photosynthesis_static_element(params, static_cast<size_t>(e));
}

// One thread per element of the launch's range: the CPU energy-balance process's element step.
extern "C" __global__ void tesk_surface_balance(tesk::physiology::SurfaceElementArrays params) {
  const int64_t e =
      params.element_begin + static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (e < params.element_end)
    tesk::physiology::surface_balance_element(params, static_cast<size_t>(e));
}

// One thread per (instance, band) item of the launch's range: the CPU assembly's item.
extern "C" __global__ void tesk_sif_assembly(tesk::physiology::SifAssemblyArrays params) {
  const int64_t item =
      params.item_begin + static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (item < params.item_end) {
    const auto nb = static_cast<int64_t>(params.n_bands);
    tesk::physiology::assemble_sif_item(params, static_cast<size_t>(item / nb),
                                        static_cast<size_t>(item % nb));
  }
}

// One thread per element of the launch's range: the CPU dynamic process's element step.
extern "C" __global__ void tesk_photosynthesis_dynamic(
    tesk::physiology::DynamicElementArrays params) {
  const int64_t e =
      params.element_begin + static_cast<int64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (e < params.element_end)
    tesk::physiology::dynamic_photosynthesis_element(params, static_cast<size_t>(e));
}
