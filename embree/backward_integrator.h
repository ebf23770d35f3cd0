#pragma once

// The backward Monte Carlo integrator: one sample of a pixel (camera ray, surfaces, leaf media,
// sun, sky and emission) and the image loop that runs samples on the parallel driver. The
// optical renderer and the BRF both render through it.

#include <cstdint>
#include <vector>

#include "core/host/execution.h"
#include "core/host/progress.h"
#include "core/scene_types.h"
#include "embree/transport_context.h"

namespace tesk::embree {

/// Event slots of `OpticalImageResult::event_aov`.
enum class OpticalEvent : int32_t {
  SunScattered = 0,  ///< Sunlight scattered toward the sensor at a surface.
  TurbidMedium = 1,  ///< Sunlight scattered toward the sensor by leaves inside a medium.
  Outside = 2,       ///< Sky, and the directly seen sun.
  Emission = 3       ///< Surface emission (thermal and SIF).
};

/// Ray counts of one render (each closest-hit query counts once, also after a tile wrap).
struct RenderRayCounts {
  int64_t camera = 0;  ///< Closest-hit queries of camera rays (including terrain following).
  int64_t bounce = 0;  ///< Closest-hit queries of scattered rays.
  int64_t shadow = 0;  ///< Queries toward the sun (occlusion, media walks and containment).
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

/// Renders the image of `sensor` over the scene resolved in `ctx`: `spp` passes of one sample
/// per pixel, paths of at most ctx.max_depth interactions, Russian roulette from ctx.rr_depth
/// on, on `n_threads` workers (below 1: the hardware concurrency). Pixels are rendered in
/// chunks of rows of one pass; each sample's stream depends only on pixel and pass and chunks
/// are merged in order, so results are identical for every thread count. `progress` (may be
/// empty) gets (passes done, spp, elapsed ms) once per completed pass; `interrupt` (may be
/// empty) is polled about every 100 ms. The execution record is left empty.
/// Throws std::invalid_argument "max_output_order must be non-negative", std::bad_alloc when
/// the accumulators cannot be allocated, and whatever the callbacks throw.
OpticalImageResult integrate_image(const TransportContext& ctx, const SensorData& sensor, int spp,
                                   int n_threads, const backend::OpticalProductRequest& request,
                                   const ProgressCallback& progress,
                                   const InterruptCheck& interrupt);

}  // namespace tesk::embree
