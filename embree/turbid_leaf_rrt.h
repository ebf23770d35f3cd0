#pragma once

// The leaf reverse ray tracer: the light arriving at virtual leaves (leaf-area samples) inside
// optical turbid media. Rays start at a sample, on either side of its leaf, and are followed
// backwards through surfaces and media to the sky, the sun being added at every scattering
// event by a transmittance walk toward it.

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/host/execution.h"
#include "core/host/progress.h"
#include "core/leaf_rrt_path.h"
#include "embree/scene_manager.h"

namespace tesk::embree {

/// Inputs of one leaf RRT run; every array is borrowed from the caller for the run.
struct TurbidLeafRRTParams {
  std::span<const float> positions;                ///< [n][3] sample positions (world).
  std::span<const float> normals;                  ///< [n][3] leaf normals (normalised on use).
  std::span<const int32_t> medium_ids;             ///< [n] own medium of each sample, -1: none.
  std::span<const int32_t> instance_ids;           ///< [n] instance carrying that medium.
  std::span<const int32_t> active_medium_offsets;  ///< [n + 1] CSR offsets of the lists below.
  std::span<const int32_t> active_medium_ids;      ///< Media each sample starts inside.
  std::span<const int32_t> active_instance_ids;    ///< Instance of each active medium.
  int n_bands = 0;                                 ///< Spectral bands, > 0.
  int rays_per_sample = 64;                        ///< Hemisphere rays per sample and side.
  int max_depth = 8;                               ///< Scattering events per ray at most.
  std::span<const float> sun_irradiance;  ///< [n_bands] irradiance normal to the sun (empty: 0).
  std::span<const float> sky_diffuse_radiance;   ///< [n_bands] isotropic sky (empty: 0).
  std::span<const float> sky_directional_table;  ///< [n_bands][16][32] or empty.
  /// [n_media][n_bands] leaf optics of every medium: upper-side reflectance, lower-side
  /// reflectance, transmittance. All empty: black leaves.
  std::span<const float> medium_reflectance, medium_back_reflectance, medium_transmittance;
  bool thermal_mode = false;  ///< Longwave: surfaces and leaves emit, nothing reflects sunlight.
  std::span<const float> instance_lw_radiance;  ///< [num_instances] emitted radiance, or empty.
  std::span<const float> instance_emissivity;   ///< [num_instances] emissivity, or empty (0.98).
  float3 sun_dir{0.0f, 0.0f, 1.0f};             ///< Toward the sun, any non-zero length.
  uint64_t seed = 0;                            ///< Mixed into every sample's stream.
  int num_threads = 0;                          ///< Workers; below 1: the hardware concurrency.
};

/// Outputs of a run; irradiance arrays are band-major [n_bands][n] (W m^-2 or the input units).
struct TurbidLeafRRTResult {
  std::vector<float> total_top;      ///< Total irradiance on the side the normal points to.
  std::vector<float> total_bottom;   ///< Total irradiance on the other side.
  std::vector<float> direct_top;     ///< Direct sun on the upper side, given the leaf is sunlit.
  std::vector<float> direct_bottom;  ///< The same for the lower side.
  std::vector<float> p_sun;          ///< [n] probability that the leaf sees the sun.
  int32_t threads = 0;               ///< Workers that ran.
  int64_t rays = 0;                  ///< Closest-hit queries issued (each wall wrap counts).
  /// embree / radiation_field_process / "embree.cpu.turbid_leaf_rrt".
  ExecutionIdentity execution;
};

/// Runs the leaf RRT. For every sample and side, `rays_per_sample` cosine-weighted rays about
/// the side's normal are followed for at most `max_depth` scattering events; a ray adds
/// pi / rays_per_sample times its radiance to the side's total. Surfaces scatter by their
/// material (Lambertian reflector, two-sided leaf; others absorb; in thermal mode they reflect
/// 1 - e and emit the instance radiance), leaves inside media by the medium optics of the
/// request, and escaping rays see the sky (the directional table, else the isotropic value).
/// The direct sun enters the side facing it as |n.s| E (direct arrays) times the transmittance
/// toward the sun, which is also `p_sun`.
///
/// Each sample's random numbers come from its own stream (sample index and seed), so results do
/// not depend on the thread count. `progress` gets (samples done, n, elapsed ms); `interrupt` is
/// polled every 100 ms.
///
/// Throws std::invalid_argument with "positions must have shape [n_leaf_samples, 3]",
/// "normals must have the same [n_leaf_samples, 3] shape", "medium_ids must have shape
/// [n_leaf_samples]", "instance_ids must have shape [n_leaf_samples]", "active_medium_offsets
/// must have shape [n_leaf_samples + 1]", "n_bands must be positive", "sky_directional_table
/// must have shape [n_bands, 16, 32]", "At most 8 overlapping active turbid media are
/// supported.", and the messages of the further checks listed in the source (offsets, budgets,
/// band arrays, optics, sun direction, normals); std::out_of_range for a medium or instance id
/// outside the scene; std::runtime_error "Embree: build the scene before tracing rays".
TurbidLeafRRTResult run_turbid_leaf_rrt_cpu(const EmbreeSceneManager& scene,
                                            const TurbidLeafRRTParams& params,
                                            const ProgressCallback& progress = {},
                                            const InterruptCheck& interrupt = {});

/// The inputs of the shared surface walk (core/leaf_rrt_path.h) for a checked request, with host
/// pointers into `params` and the scene (absent arrays null).
LeafRrtInputs leaf_rrt_inputs(const EmbreeSceneManager& scene, const TurbidLeafRRTParams& params);

/// A leaf RRT run in place of run_turbid_leaf_rrt_cpu (a device backend's tracer), for the
/// processes that drive the tracer.
using TurbidLeafRRTTransport = std::function<TurbidLeafRRTResult(const TurbidLeafRRTParams&)>;

/// The argument checks of run_turbid_leaf_rrt_cpu on their own, in the same order and with the
/// same messages (shared by the device tracers, which run on the same scene record). Returns
/// the sample count.
int64_t validate_turbid_leaf_rrt(const EmbreeSceneManager& scene,
                                 const TurbidLeafRRTParams& params);

}  // namespace tesk::embree
