#pragma once

#include <cstdint>
#include <vector>

#include "core/execution.h"
#include "core/progress.h"
#include "core/scene_types.h"
#include "embree/scene_manager.h"

namespace tesk::embree {

/// Event slots of `OpticalImageResult::event_aov`.
enum class OpticalEvent : int32_t {
  SunScattered = 0,  ///< Sunlight scattered toward the sensor at a surface.
  TurbidMedium = 1,  ///< Reserved for the turbid-media variant of the renderer.
  Outside = 2,       ///< Sky, and the directly seen sun.
  Emission = 3       ///< Surface emission (thermal and SIF).
};

/// Ray counts of one render (each closest-hit query counts once, also after a tile wrap).
struct RenderRayCounts {
  int64_t camera = 0;  ///< Closest-hit queries of camera rays (including terrain following).
  int64_t bounce = 0;  ///< Closest-hit queries of scattered rays.
  int64_t shadow = 0;  ///< Occlusion queries toward the sun.
};

/// Result of one backward render. Images are band-fastest: element (W*y + x)*n_bands + b;
/// splits are slot-major: slot j starts at j*W*H*n_bands.
struct OpticalImageResult {
  std::vector<float> radiance;          ///< W*H*n_bands mean radiance per pixel and band.
  std::vector<float> standard_error;    ///< Same shape; empty unless requested.
  std::vector<float> event_aov;         ///< 4 event slots; empty unless requested.
  std::vector<float> scattering_order;  ///< order_slots slots; empty unless requested.
  int32_t order_slots = 0;  ///< max_output_order + 2 when the order split was requested, else 0.
  int32_t width = 0;        ///< Image columns W.
  int32_t height = 0;       ///< Image rows H.
  int32_t n_bands = 0;      ///< Bands per pixel.
  int32_t threads = 0;      ///< Worker threads that ran.
  RenderRayCounts rays;     ///< Queries issued, for throughput figures.
  ExecutionIdentity execution;  ///< embree / optical_backward / "embree.cpu.optical_backward".
};

/// Renders the image of `sensor` in the built scene by backward Monte Carlo path tracing:
/// `spp` passes of one sample per pixel, paths of at most `max_depth` surface interactions
/// (replaced by a positive decimal TESK_MAX_DEPTH, with a console line), Russian roulette from
/// bounce `rr_depth` on, on `n_threads` workers (below 1: the hardware concurrency) that take
/// interleaved rows. Each sample's random stream depends only on pixel and pass, so results are
/// identical for every thread count. Radiance is in the units of the scene's spectra.
///
/// `progress` (may be empty) is called from the calling thread once per completed pass with
/// (passes done, spp, elapsed ms); `interrupt` (may be empty) is polled there about every 100 ms.
/// An exception from either stops the workers, joins them and propagates; nothing is returned.
/// A hit on a material id that names no material ends its path without contribution; a sample
/// whose camera ray is invalid adds nothing. spp < 1 gives all-zero images.
/// Throws std::runtime_error "Embree: build the scene before tracing rays" when the scene is not
/// built, std::bad_alloc when the accumulators cannot be allocated.
OpticalImageResult render_backward(const EmbreeSceneManager& scene, const SensorData& sensor,
                                   int spp, int max_depth, int rr_depth, int n_threads,
                                   const ProgressCallback& progress,
                                   const backend::OpticalProductRequest& request,
                                   const InterruptCheck& interrupt = {});

/// The same with the scene's own sensor.
OpticalImageResult render_backward(const EmbreeSceneManager& scene, int spp, int max_depth,
                                   int rr_depth, int n_threads, const ProgressCallback& progress,
                                   const backend::OpticalProductRequest& request,
                                   const InterruptCheck& interrupt = {});

/// The path depth a render uses: TESK_MAX_DEPTH when it holds a decimal integer > 0 (trailing
/// text ignored), else `max_depth`. `from_env` tells which one was taken.
int effective_max_depth(int max_depth, bool* from_env);

}  // namespace tesk::embree
