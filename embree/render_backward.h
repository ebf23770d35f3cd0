#pragma once

#include <cstdint>
#include <vector>

#include "core/host/execution.h"
#include "core/host/progress.h"
#include "core/scene_types.h"
#include "embree/backward_integrator.h"
#include "embree/scene_manager.h"

namespace tesk::embree {

/// Renders the image of `sensor` in the built scene by backward Monte Carlo path tracing:
/// `spp` passes of one sample per pixel, paths of at most `max_depth` surface interactions
/// (replaced by a positive decimal TESK_MAX_DEPTH, with a console line), Russian roulette from
/// bounce `rr_depth` on, on `n_threads` workers (below 1: the hardware concurrency). Each
/// sample's random stream depends only on pixel and pass, so results are identical for every
/// thread count. Radiance is in the units of the scene's spectra.
///
/// `progress` (may be empty) is called from the calling thread once per completed pass with
/// (passes done, spp, elapsed ms); `interrupt` (may be empty) is polled there about every 100 ms.
/// An exception from either stops the workers, joins them and propagates; nothing is returned.
/// A hit on a material id that names no material ends its path without contribution; a sample
/// whose camera ray is invalid adds nothing. spp < 1 gives all-zero images.
/// Throws std::runtime_error "Embree: build the scene before tracing rays" when the scene is not
/// built, std::bad_alloc when the accumulators cannot be allocated. A pass `range` renders only
/// those passes and returns their fold-block sums (see integrate_image).
OpticalImageResult render_backward(const EmbreeSceneManager& scene, const SensorData& sensor,
                                   int spp, int max_depth, int rr_depth, int n_threads,
                                   const ProgressCallback& progress,
                                   const backend::OpticalProductRequest& request,
                                   const InterruptCheck& interrupt = {},
                                   const PassRange& range = {});

/// The same with the scene's own sensor.
OpticalImageResult render_backward(const EmbreeSceneManager& scene, int spp, int max_depth,
                                   int rr_depth, int n_threads, const ProgressCallback& progress,
                                   const backend::OpticalProductRequest& request,
                                   const InterruptCheck& interrupt = {},
                                   const PassRange& range = {});

}  // namespace tesk::embree
