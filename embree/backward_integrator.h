#pragma once

// The backward Monte Carlo integrator: one sample of a pixel (camera ray, surfaces, leaf media,
// sun, sky and emission) and the image loop that runs samples on the parallel driver. The
// optical renderer and the BRF both render through it.

#include <cstdint>
#include <vector>

#include "core/host/execution.h"
#include "core/host/progress.h"
#include "core/scene_types.h"
#include "core/surface_path.h"
#include "embree/transport_context.h"

namespace tesk::embree {

using tesk::OpticalEvent;
using tesk::RenderRayCounts;

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
  /// Fold-block sums of a pass-range render (the images above are then left empty).
  struct PassPartials {
    int32_t first_block = 0;       ///< Fold block of the range's first pass.
    int32_t n_blocks = 0;          ///< Blocks in the range (0 for a whole render).
    std::vector<double> radiance;  ///< n_blocks x W*H*n_bands, block-major: per-pixel sums.
    std::vector<double> squares;   ///< Same shape, sums of squares; empty unless standard_error.
    std::vector<double> events;    ///< n_blocks x 4 slots x W*H*n_bands; empty unless requested.
    std::vector<double> orders;  ///< n_blocks x order_slots x W*H*n_bands; empty unless requested.
  } partials;
};

/// Most fold blocks a render's passes are grouped into (see pass_block_size).
inline constexpr int kMaxPassBlocks = 64;

/// Passes per fold block of an spp-pass render: ceil(spp / kMaxPassBlocks), at least 1. The
/// render sums the samples of each block from zero and adds the block sums to the totals in
/// block order, so every pixel receives the same additions whether the passes run in one
/// render or in several pass ranges whose block sums are added afterwards in block order.
/// With spp <= kMaxPassBlocks a block is one pass and the sums are plain running sums.
int pass_block_size(int spp);

/// Sample passes [begin, end) of a render; end < 0 means every pass.
struct PassRange {
  int begin = 0;  ///< First pass, a multiple of pass_block_size(spp).
  int end = -1;   ///< One past the last pass: a multiple of the block size, or spp.
  bool whole() const { return end < 0; }
};

/// Checks a range against an spp-pass render. Throws std::invalid_argument "pass_range must
/// satisfy 0 <= begin < end <= spp with begin and end on fold-block boundaries (or end = spp)".
void check_pass_range(const PassRange& range, int spp);

/// Renders the image of `sensor` over the scene resolved in `ctx`: `spp` passes of one sample
/// per pixel, paths of at most ctx.max_depth interactions, Russian roulette from ctx.rr_depth
/// on, on `n_threads` workers (below 1: the hardware concurrency). Pixels are rendered in
/// chunks of rows of one pass; each sample's stream depends only on pixel and pass and chunks
/// are merged in order, so results are identical for every thread count. `progress` (may be
/// empty) gets (passes done, spp, elapsed ms) once per completed pass; `interrupt` (may be
/// empty) is polled about every 100 ms. The execution record is left empty.
/// With a pass `range` other than the whole render only those passes run (each with the stream
/// it has in the whole render), progress counts the range's passes, and the result holds the
/// fold-block sums in `partials` instead of images.
/// Throws std::invalid_argument "max_output_order must be non-negative" or the check_pass_range
/// message, std::bad_alloc when the accumulators cannot be allocated, and whatever the
/// callbacks throw.
OpticalImageResult integrate_image(const TransportContext& ctx, const SensorData& sensor, int spp,
                                   int n_threads, const backend::OpticalProductRequest& request,
                                   const ProgressCallback& progress,
                                   const InterruptCheck& interrupt, const PassRange& range = {});

/// Fills the images of `result` from per-element sums over `passes` passes (element-aligned
/// with the image, slot-major splits): the means of the requested products, and the standard
/// error of the mean from the sums of squares (zero below two passes).
void image_means(int passes, const backend::OpticalProductRequest& request,
                 const std::vector<double>& radiance, const std::vector<double>& squares,
                 const std::vector<double>& events, const std::vector<double>& orders,
                 OpticalImageResult& result);

}  // namespace tesk::embree
