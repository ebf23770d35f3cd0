#pragma once

#include <cstdint>
#include <vector>

#include "core/host/execution.h"
#include "core/host/progress.h"
#include "embree/backward_integrator.h"
#include "embree/scene_manager.h"

namespace tesk::embree {

/// Backward BRF toward a set of view directions.
struct BrfResult {
  std::vector<float> brf;       ///< [n_dirs][n_bands], direction-major (see render_brf).
  int32_t n_dirs = 0;           ///< Number of view directions.
  int32_t n_bands = 0;          ///< Bands of the scene.
  int32_t spp = 0;              ///< Samples per pixel used for every direction.
  ExecutionIdentity execution;  ///< embree / optical_brf / "embree.cpu.optical_brf".
  /// Fold-block sums of a pass-range run (`brf` is then left empty).
  struct PassPartials {
    int32_t first_block = 0;  ///< Fold block of the range's first pass.
    int32_t n_blocks = 0;     ///< Blocks in the range (0 for a whole run).
    /// n_blocks x n_dirs x 1024 pixels x n_bands, block-major: per-pixel radiance sums.
    std::vector<double> radiance;
    /// Per direction (X, Y, d.z): brf = 0.0009765625 * sum of the 1024 pixel means, in pixel
    /// order, times X, times Y, times d.z, in double, then rounded to float.
    std::vector<double> scale;
  } partials;
};

/// Samples per pixel of a BRF run: num_photons / max(1, 1024 * n_dirs), clamped to [16, 4096].
int brf_samples_per_pixel(int64_t num_photons, int64_t n_dirs);

/// The orthographic 32 x 32 sensor that sees the tile [0, X] x [0, Y] at height `h_ref` along
/// -d from distance `camera_distance` (d unit, pointing up); other fields copied from `base`.
SensorData brf_sensor(const SensorData& base, float3 d, float X, float Y, float h_ref,
                      float camera_distance);

/// Estimates, for each view direction (3 floats each, from the scene toward the observer, any
/// length), the mean radiance leaving the scene tile times the tile area projected onto the
/// direction: brf[k][b] = mean pixel radiance * X * Y * d.z, from one backward render per
/// direction with a dedicated orthographic sensor (the scene's own sensor is not touched).
/// Dividing by the irradiance on the tile (E cos(theta_sun) X Y for a sun alone) and
/// multiplying by pi / (X Y d.z) gives the reflectance factor.
/// `progress` gets (min(1024 * spp * (k + 1), num_photons), num_photons, elapsed ms) after each
/// direction. A pass `range` of the per-direction spp (see integrate_image) renders only those
/// passes of every direction and returns their fold-block sums in `partials`. Throws
/// std::invalid_argument "directions must be a nonempty flat float3 array", "BRF photon count and
/// maximum depth must be positive", "BRF observation directions must be nonzero" or "BRF
/// observation directions must point upward" (the last two when the bad direction is reached), and
/// whatever the renderer or the callbacks throw.
BrfResult render_brf(const EmbreeSceneManager& scene, const std::vector<float>& directions,
                     int64_t num_photons, int max_depth, const ProgressCallback& progress,
                     const InterruptCheck& interrupt = {}, const PassRange& range = {});

}  // namespace tesk::embree
