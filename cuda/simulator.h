#pragma once

// The CUDA workflows: device programs loaded from a PTX directory and launched through the
// driver interface on the context's stream.

#include <span>
#include <string>
#include <vector>

#include "core/backward_image.h"
#include "core/bvh.h"
#include "core/host/microwave/tables.h"
#include "core/host/progress.h"
#include "cuda/context.h"
#include "cuda/scene_manager.h"
#include "embree/backward_integrator.h"
#include "embree/energy_balance.h"
#include "embree/lidar.h"
#include "embree/render_flux.h"
#include "embree/render_forward.h"
#include "embree/surface_processes.h"
#include "embree/transport_context.h"
#include "embree/turbid_leaf_rrt.h"
#include "physiology/processes.h"
#include "physiology/solver.h"

namespace tesk::cuda {

/// Executor of the device backward image (backend "optix", workflow optical_backward).
inline constexpr const char* kBackwardExecutor = "optix.cuda.optical_backward";

/// Executor of the device flux grid (backend "optix", workflow optical_flux).
inline constexpr const char* kFluxExecutor = "optix.cuda.optical_flux";

/// Executors of the device forward field, without and with view directions.
inline constexpr const char* kForwardExecutor = "optix.cuda.optical_forward";
inline constexpr const char* kForwardBrfExecutor = "optix.cuda.optical_brf";

/// Executors of the device LiDAR in direct and waveform mode.
inline constexpr const char* kLidarPointCloudExecutor = "optix.cuda.lidar_point_cloud";
inline constexpr const char* kLidarWaveformExecutor = "optix.cuda.lidar_waveform";

/// Executor of the device leaf reverse ray tracer (workflow radiation_field_process).
inline constexpr const char* kLeafRrtExecutor = "optix.cuda.turbid_leaf_rrt";

/// Executor of the device single-band energy balance (workflow radiation_field_process).
inline constexpr const char* kEnergyBalanceExecutor = "optix.cuda.energy_balance";

/// Executor of the device multiband energy balance (workflow radiation_field_process).
inline constexpr const char* kEnergyBalanceMultibandExecutor = "optix.cuda.radiation_field_process";

/// Executor of the device leaf physiology solver (workflow physiology_solver).
inline constexpr const char* kPhysiologyExecutor = "optix.cuda.physiology_solver";

/// Executor of the device SIF finalization (workflow sif_process_finalization).
inline constexpr const char* kSifProcessExecutor = "optix.cuda.sif_process_finalization";

/// Executor of the device static photosynthesis process (workflow
/// photosynthesis_process_static).
inline constexpr const char* kPhotosynthesisStaticExecutor =
    "optix.cuda.photosynthesis_process_static";

/// Executor of the device energy-balance process (workflow energy_balance_process).
inline constexpr const char* kEnergyBalanceProcessExecutor = "optix.cuda.energy_balance_process";

/// Executor of the device SIF source assembly (workflow sif_source_assembly).
inline constexpr const char* kSifAssemblyExecutor = "optix.cuda.sif_source_assembly";

/// Executor of the device dynamic photosynthesis process (workflow
/// photosynthesis_process_dynamic).
inline constexpr const char* kPhotosynthesisDynamicExecutor =
    "optix.cuda.photosynthesis_process_dynamic";

/// Name of the PTX file (in the directory given to the simulator) holding the kernels.
inline constexpr const char* kKernelFile = "tesk_kernels.ptx";

/// Refuses, before any device work, a scene the device paths do not cover: turbid media (no
/// device program, unless `media` says the operation has one), more than `max_bands` bands, or
/// an order split beyond kMaxDeviceOrderSlots.
/// Throws std::runtime_error "<operation>: the CUDA backend of this build has no device program
/// for optical turbid media. No fallback was performed." or "<operation>: the CUDA paths carry
/// at most <max_bands> bands and max_output_order 14. No fallback was performed.".
void check_device_scene(const embree::TransportContext& ctx, const char* operation, int max_bands,
                        int max_output_order, bool media = false);

/// Owns the loaded device programs and the per-workflow device buffers.
class CudaSimulator {
 public:
  /// Keeps the context and the PTX directory; nothing is loaded before init().
  CudaSimulator(const CudaContext& context, std::string ptx_path);
  ~CudaSimulator();
  CudaSimulator(const CudaSimulator&) = delete;
  CudaSimulator& operator=(const CudaSimulator&) = delete;

  /// Loads <ptx_path>/tesk_kernels.ptx and looks up its kernels (once). A file that cannot be
  /// read or compiled writes "[Module tesk_kernels.ptx] <log>" to standard error and throws
  /// std::runtime_error "Module create failed: tesk_kernels.ptx".
  void init();
  const std::string& ptx_path() const { return m_ptx_path; }
  /// Device time of the last kernel launch in milliseconds (stream events around the launch;
  /// copies excluded).
  float last_kernel_ms() const { return m_last_kernel_ms; }

  /// Closest hits of `count` rays (origins and directions: [count][3] host floats) into
  /// `results` (host, count entries). Calls init() when needed.
  void trace_closest(const CudaSceneManager& scene, const float* origins, const float* directions,
                     int64_t count, float t_min, float t_max, bvh::TraceResult* results);
  /// Occlusion of `count` rays in (t_min, t_max] into `occluded` (host, 1 when blocked).
  void trace_occluded(const CudaSceneManager& scene, const float* origins, const float* directions,
                      int64_t count, float t_min, float t_max, int32_t* occluded);

  /// Renders the scene's sensor by backward path tracing on the device: the CPU renderer's
  /// samples (same streams per pixel and pass, same path rules, Russian roulette from bounce 3,
  /// TESK_MAX_DEPTH honoured) traced over the device hierarchy, summed in the same fold blocks
  /// (one launch per block, one thread per pixel) and normalised on the host. `progress` (may
  /// be empty) gets (passes done, spp, elapsed ms) after each block. spp < 1 gives zero images.
  /// Throws std::runtime_error "CUDA: build the scene before tracing rays" before a build,
  /// "simulate: ..." for scenes the device program does not cover (turbid media, more than
  /// kMaxDeviceBands bands or kMaxDeviceOrderSlots order slots; no fallback is performed), and
  /// "CUDA: <label> - <error>" when a device call fails.
  embree::OpticalImageResult simulate(CudaSceneManager& scene, int spp, int max_depth,
                                      const ProgressCallback& progress,
                                      const backend::OpticalProductRequest& request);

  /// Forward photon flux on the nx x ny grid on the device: the photons of render_flux (same
  /// streams per photon index, emission and path rules, core/surface_photon.h) traced over the
  /// device hierarchy in batches, their deposits added atomically (results agree with the CPU
  /// to the rounding of the sums' order). Prints one summary line (photons, batches, grid,
  /// bands) and honours TESK_MAX_DEPTH. `progress` gets (photons done, num_photons, elapsed ms)
  /// after each batch. Throws the argument errors of render_flux (with "CUDA" for "Embree"),
  /// "simulate_flux: ..." for scenes with turbid media or more than kMaxDeviceFluxBands bands
  /// (no fallback), and "CUDA: <label> - <error>" when a device call fails.
  embree::FluxResult simulate_flux(CudaSceneManager& scene, int nx, int ny, int64_t num_photons,
                                   int num_bands, float prob_sun, int max_bounces, int max_depth,
                                   int rr_depth, const ProgressCallback& progress, bool decompose);

  /// Forward absorbed-radiation field on the device: the photons of render_forward (same
  /// streams per photon index, emission, path rules and tallies, core/forward_field.h) traced
  /// over the device hierarchy in batches, deposits added atomically (results agree with the
  /// CPU to the rounding of the sums' order and the rare hit that differs in its last bits).
  /// `track_incident` adds the emitted and escaped totals, `decompose` the sun/sky split of the
  /// grid (the CPU run tallies both in media scenes only). Prints one summary line (photons,
  /// batches, grid, bands) and honours TESK_MAX_DEPTH; `progress` gets (photons done,
  /// num_photons, elapsed ms) after each batch. Throws the argument errors of render_forward
  /// ("CUDA" for "Embree"), "simulate_forward: ..." for scenes with turbid media or more than
  /// kMaxDeviceFluxBands bands (no fallback), and "CUDA: <label> - <error>" on a device failure.
  embree::ForwardFieldResult simulate_forward(
      CudaSceneManager& scene, int nx, int ny, const std::vector<float>& layer_heights,
      int64_t num_photons, int num_bands, bool per_leaf, const std::vector<float>& brf_directions,
      int num_brf_dirs, float prob_sun, int max_depth, int rr_depth, int terrain_instance_id,
      bool track_incident, bool decompose, const ProgressCallback& progress);

  /// Discrete-pulse LiDAR on the device, as embree::simulate_lidar for scenes of surfaces: one
  /// thread per pulse traces the central ray (direct mode) or the footprint rays and fills the
  /// pulse's raw waveform (core/lidar_pulse.h); the host convolves each pulse and extracts its
  /// returns with the CPU's code (embree::LidarPulseWaveform), in pulse order. Results match
  /// the CPU's up to hits that differ in their last bits. Pulses run in launches of at most
  /// 32 MiB of raw waveform; `progress` gets (pulses done, num_pulses, elapsed ms) after each
  /// and `interrupt` is polled before each. Throws the argument errors of simulate_lidar,
  /// "CUDA: build the scene before tracing rays", "simulate_lidar: ..." for scenes with
  /// optical turbid media (no fallback) and "CUDA: <label> - <error>" on a device failure.
  embree::LidarResult simulate_lidar(CudaSceneManager& scene, const embree::LidarRequest& request,
                                     const ProgressCallback& progress,
                                     const InterruptCheck& interrupt = {});

  /// The leaf reverse ray tracer on the device for scenes of surfaces, as
  /// embree::run_turbid_leaf_rrt_cpu (same streams per sample and seed, same walks:
  /// core/leaf_rrt_path.h), one thread per sample in launches of about 2^22 rays; `progress`
  /// gets (samples done, n, elapsed ms) after each launch and `interrupt` is polled before each.
  /// Results match the CPU's up to hits that differ in their last bits. Throws the argument
  /// errors of run_turbid_leaf_rrt_cpu, "CUDA: build the scene before tracing rays",
  /// "run_turbid_leaf_rrt: ..." for scenes with optical turbid media (the media walk has no
  /// device program) or more than kMaxDeviceLeafRrtBands bands (no fallback), and
  /// "CUDA: <label> - <error>" on a device failure.
  embree::TurbidLeafRRTResult run_turbid_leaf_rrt(CudaSceneManager& scene,
                                                  const embree::TurbidLeafRRTParams& params,
                                                  const ProgressCallback& progress,
                                                  const InterruptCheck& interrupt = {});

  /// Single-band energy balance on the device: the face samples of render_energy_balance
  /// (core/energy_balance_path.h, same streams per primitive) with one thread per primitive,
  /// launched in batches of primitives; `progress` gets (primitives done, n_primitives, elapsed
  /// ms) after each batch. Results agree with the CPU up to hits that differ in their last
  /// bits. Throws the argument errors of render_energy_balance and "CUDA: <label> - <error>"
  /// when a device call fails.
  embree::EnergyBalanceResult run_energy_balance(CudaSceneManager& scene, int n_samples,
                                                 int band_type, const float* sun_irradiance,
                                                 const float* sky_diffuse_radiance,
                                                 float sky_lw_radiance, float3 sun_dir,
                                                 bool two_sided, std::span<const float> sw_albedos,
                                                 const ProgressCallback& progress);

  /// Multiband energy balance on the device, as render_energy_balance_multiband (same paths and
  /// streams), one thread per primitive in batches, `progress` as run_energy_balance. Throws
  /// the argument errors of render_energy_balance_multiband, std::runtime_error
  /// "run_energy_balance_multiband: the CUDA energy balance carries at most 32 bands. No
  /// fallback was performed." and the device errors.
  embree::EnergyBalanceMultibandResult run_energy_balance_multiband(
      CudaSceneManager& scene, int n_bands, int n_samples, int max_depth,
      std::span<const float> sun_irradiance, std::span<const float> sky_diffuse_radiance,
      std::span<const float> sky_directional_table, float3 sun_dir, bool two_sided,
      std::span<const float> sw_albedos, std::span<const float> sw_reflectance,
      std::span<const float> sw_back_reflectance, std::span<const float> sw_transmittance,
      const ProgressCallback& progress);

  /// Microwave image of the scene's sensor on the device (core/microwave_path.h): one thread
  /// per pixel traces `spp` jittered lines of sight from the pixel's own stream through the
  /// tables (passive or active by tables.header.active) and writes the pixel's n_channels
  /// means ([height][width][n_channels], microwave::microwave_channels), in launches of about
  /// 2^22 lines of sight; `progress` gets (pixels done, pixels, elapsed ms) after each launch
  /// and `interrupt` is polled before each. Results match the host run of the same items up to
  /// hits that differ in their last bits. Throws "CUDA: build the scene before tracing rays",
  /// "<simulate_microwave or simulate_active_microwave>: ..." for scenes with optical turbid
  /// media (no fallback) and "CUDA: <label> - <error>" on a device failure.
  std::vector<float> simulate_microwave(CudaSceneManager& scene,
                                        const microwave::MicrowaveTableSet& tables, int spp,
                                        int n_channels, const ProgressCallback& progress,
                                        const InterruptCheck& interrupt = {});

  /// The leaf physiology solver on the device: the CPU request, checks and messages
  /// (physiology::validate_physiology_request), then one thread per element runs the CPU's
  /// per-element solve (physiology::solve_leaf_element) in launches of 2^20 elements;
  /// `interrupt` is polled before each launch. Record optix / physiology_solver /
  /// kPhysiologyExecutor. Throws std::invalid_argument for an invalid request (before any
  /// device work) and "CUDA: <label> - <error>" on a device failure.
  physiology::PhysiologyResult solve_physiology(const physiology::PhysiologyRequestView& request,
                                                const InterruptCheck& interrupt = {});

  /// The SIF finalization on the device: the CPU request, checks and messages
  /// (physiology::validate_sif_process), then one thread per element runs the CPU's
  /// per-element step (physiology::finalize_sif_element) in launches of 2^20 elements, so the
  /// values equal the CPU's. Record optix / sif_process_finalization / kSifProcessExecutor.
  /// Throws std::invalid_argument for an invalid request and "CUDA: <label> - <error>" on a
  /// device failure.
  physiology::SifProcessResult finalize_sif_process(
      const physiology::SifProcessRequestView& request);

  /// The static photosynthesis process on the device: the CPU request, checks and messages
  /// (physiology::validate_photosynthesis_process), then one thread per element runs the CPU's
  /// per-element step (physiology::photosynthesis_static_element) in launches of 2^20
  /// elements; `interrupt` is polled before each launch. Record optix /
  /// photosynthesis_process_static / kPhotosynthesisStaticExecutor. Throws
  /// std::invalid_argument for an invalid request and "CUDA: <label> - <error>" on a device
  /// failure.
  physiology::PhotosynthesisProcessResult execute_photosynthesis_process_static(
      const physiology::PhotosynthesisProcessRequestView& request,
      const InterruptCheck& interrupt = {});

  /// The energy-balance process on the device: the CPU request, checks, messages and scene
  /// state (embree::validate_energy_balance_process, embree::run_coupling_loop), with the
  /// shortwave and longwave transport of run_energy_balance and one thread per element running
  /// the CPU's element step (physiology::surface_balance_element); `interrupt` is polled
  /// before each step. Record optix / energy_balance_process / kEnergyBalanceProcessExecutor.
  /// Throws std::invalid_argument for an invalid request, "CUDA: build the scene before the
  /// energy balance" for a scene that is not built, the CPU's length errors and "CUDA: <label>
  /// - <error>" on a device failure.
  embree::EnergyBalanceProcessResult execute_energy_balance_process(
      CudaSceneManager& scene, const embree::EnergyBalanceProcessRequest& request,
      const InterruptCheck& interrupt = {});

  /// The SIF source assembly on the device: the CPU request, checks and messages
  /// (physiology::validate_sif_source_assembly), then one thread per (instance, band) runs the
  /// CPU's item (physiology::assemble_sif_item) in launches of 2^20 items, so the fields and
  /// counts equal the CPU's. Record optix / sif_source_assembly / kSifAssemblyExecutor. Throws
  /// std::invalid_argument for an invalid request and "CUDA: <label> - <error>" on a device
  /// failure.
  physiology::SifSourceFields assemble_sif_source(
      const physiology::SifSourceAssemblyRequestView& request);

  /// The dynamic photosynthesis process on the device: the CPU request, checks, messages and
  /// scene state (embree::validate_dynamic_photosynthesis, embree::run_coupling_loop), with the
  /// longwave transport of run_energy_balance and one thread per element running the CPU's
  /// element step (physiology::dynamic_photosynthesis_element); `interrupt` is polled before
  /// each step. Record optix / photosynthesis_process_dynamic / kPhotosynthesisDynamicExecutor.
  /// Throws as execute_energy_balance_process.
  embree::DynamicPhotosynthesisResult execute_photosynthesis_process_dynamic(
      CudaSceneManager& scene, const embree::DynamicPhotosynthesisRequest& request,
      const InterruptCheck& interrupt = {});

 private:
  // Uploads the inputs of `p` (host pointers), runs every primitive in batches and downloads
  // top, bot and sunlit into the result vectors (already sized; bot or sunlit may be empty).
  void energy_balance_(CudaSceneManager& scene, EnergyBalanceParams p,
                       const embree::TransportContext& ctx, const ProgressCallback& progress,
                       std::vector<float>& top, std::vector<float>& bot, std::vector<float>& sunlit,
                       EnergyBalanceRayCounts& rays);
  // Launches one thread per item (count > 0) between the two timing events.
  void launch_(CUfunction kernel, int64_t count, void* params, const char* label);
  // Waits for the stream and reads the launch's device time.
  void finish_launch_(const char* label);

  const CudaContext* m_context;
  std::string m_ptx_path;
  CUmodule m_module = nullptr;
  CUfunction m_trace_closest = nullptr;
  CUfunction m_trace_occluded = nullptr;
  CUfunction m_backward = nullptr;
  CUfunction m_flux_kernel = nullptr;
  CUfunction m_energy_balance = nullptr;
  CUfunction m_forward = nullptr;
  CUfunction m_lidar = nullptr;
  CUfunction m_leaf_rrt = nullptr;
  CUfunction m_microwave = nullptr;
  CUfunction m_physiology = nullptr;
  CUfunction m_sif_process = nullptr;
  CUfunction m_photosynthesis_static = nullptr;
  CUfunction m_surface_balance = nullptr;
  CUfunction m_sif_assembly = nullptr;
  CUfunction m_photosynthesis_dynamic = nullptr;
  CUevent m_start = nullptr, m_stop = nullptr;  // around each launch
  float m_last_kernel_ms = 0.0f;
  DeviceBuffer m_rays;        // origins then directions
  DeviceBuffer m_results;     // per-ray outputs
  DeviceBuffer m_totals;      // image sums of a render
  DeviceBuffer m_block;       // sums of the fold block being rendered
  DeviceBuffer m_flux;        // flux tallies of a run
  DeviceBuffer m_flux_media;  // flux media tables, leaf models and primitive offsets
  DeviceBuffer m_fwd_in;      // forward field heights, views and primitive offsets
  DeviceBuffer m_fwd;         // forward field tallies of a run
  DeviceBuffer m_lidar_in;    // LiDAR pulses and footprint
  DeviceBuffer m_lidar_out;   // LiDAR raw waveforms (or direct records) and extents
  DeviceBuffer m_rrt_in;      // leaf RRT samples and input arrays
  DeviceBuffer m_rrt_out;     // leaf RRT results and query count
  DeviceBuffer m_eb_in;       // energy-balance geometry and input arrays
  DeviceBuffer m_eb_out;      // energy-balance query counts and results
  DeviceBuffer m_mw_in;       // microwave tables and material map
  DeviceBuffer m_mw_out;      // microwave image
  DeviceBuffer m_phys_in;     // physiology input arrays
  DeviceBuffer m_phys_out;    // physiology output arrays
};

}  // namespace tesk::cuda
