#include "embree/render_backward.h"

#include <algorithm>
#include <stdexcept>

#include "core/host/log.h"
#include "core/host/parallel.h"
#include "core/host/transport_settings.h"
#include "embree/transport_context.h"

namespace tesk::embree {

OpticalImageResult render_backward(const EmbreeSceneManager& scene, int spp, int max_depth,
                                   int rr_depth, int n_threads, const ProgressCallback& progress,
                                   const backend::OpticalProductRequest& request,
                                   const InterruptCheck& interrupt, const PassRange& range) {
  return render_backward(scene, scene.description().sensor(), spp, max_depth, rr_depth, n_threads,
                         progress, request, interrupt, range);
}

OpticalImageResult render_backward(const EmbreeSceneManager& scene, const SensorData& sensor,
                                   int spp, int max_depth, int rr_depth, int n_threads,
                                   const ProgressCallback& progress,
                                   const backend::OpticalProductRequest& request,
                                   const InterruptCheck& interrupt, const PassRange& range) {
  if (!scene.is_built()) throw std::runtime_error("Embree: build the scene before tracing rays");
  max_depth = announced_max_depth(max_depth, "[CPU bwd]");
  const TransportContext ctx = make_transport_context(scene, 0, max_depth, rr_depth);
  // The console line names the workers that can run: one per chunk of rows at most.
  const int threads =
      std::min(resolve_thread_count(n_threads), std::max(std::max(sensor.height, 0), 1));
  log_info("Backward render (CPU): %dx%d pixels, %d bands, spp=%d, max_depth=%d, %d threads",
           std::max(sensor.width, 0), std::max(sensor.height, 0), ctx.n_bands, std::max(spp, 0),
           max_depth, threads);
  OpticalImageResult result =
      integrate_image(ctx, sensor, spp, n_threads, request, progress, interrupt, range);
  result.execution = cpu_execution(WorkflowCode::OpticalBackward, "embree.cpu.optical_backward");
  return result;
}

}  // namespace tesk::embree
