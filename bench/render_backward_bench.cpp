// Backward-renderer throughput on a scene exported by bench/render_backward.py: builds the
// scene manager from the scene file and a description
// file, renders once to warm up, then once per requested thread count, and prints per run the
// wall time, samples/s, rays/s by kind and the heap allocations made during the render.
//
// File formats: bench/scene_file.h; the helper's own record is
//   render <spp> <max_depth>
// Usage: tesk_bench_render_backward scene.bin description.txt <run>...
// where a run is a thread count, followed by "s" to trace every ray alone instead of in packets
// of neighbouring pixels ("2s": two threads, scalar), so that both can be timed in one process.
// Output lines: "render threads=<t> packets=<0|1> seconds=<s> samples_per_s=<x> rays=<n>
//   camera=<n> bounce=<n> shadow=<n> mrays_per_s=<x> allocations=<n> allocated_bytes=<n>
//   mean=<x>" (mean: the image's mean radiance over pixels and bands).

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/scene_file.h"
#include "embree/backward_integrator.h"
#include "embree/render_backward.h"
#include "embree/scene_manager.h"
#include "embree/transport_context.h"

namespace {

// Heap traffic of the whole process, to show that a render allocates only its accumulators
// and per-thread scratch (no per-sample allocation).
std::atomic<long long> g_allocations{0};
std::atomic<long long> g_allocated_bytes{0};

}  // namespace

void* operator new(size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  g_allocated_bytes.fetch_add(static_cast<long long>(size), std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, size_t) noexcept {
  std::free(p);
}

int main(int argc, char** argv) {
  using namespace tesk;
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s scene.bin description.txt threads...\n", argv[0]);
    return 2;
  }
  embree::EmbreeSceneManager scene;
  int spp = 16, max_depth = 8;
  bench::load_scene(scene, argv[1], argv[2], [&](const std::string& key, std::istringstream& in) {
    if (key == "render") in >> spp >> max_depth;
  });

  const backend::OpticalProductRequest request{};
  embree::render_backward(scene, 1, max_depth, 3, 0, {}, request);  // warm-up: page in the BVH
  for (int a = 3; a < argc; ++a) {
    const std::string run = argv[a];
    const int threads = std::atoi(run.c_str());
    embree::TransportContext ctx = embree::make_transport_context(scene, 0, max_depth, 3);
    ctx.packets = run.find('s') == std::string::npos;
    const long long allocs0 = g_allocations.load(), bytes0 = g_allocated_bytes.load();
    const auto t0 = std::chrono::steady_clock::now();
    const embree::OpticalImageResult r =
        embree::integrate_image(ctx, scene.description().sensor(), spp, threads, request, {}, {});
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const long long allocs = g_allocations.load() - allocs0;
    const long long bytes = g_allocated_bytes.load() - bytes0;
    const long long rays = r.rays.camera + r.rays.bounce + r.rays.shadow;
    const double samples = static_cast<double>(r.width) * r.height * spp;
    double mean = 0.0;
    for (const float v : r.radiance) mean += v;
    mean /= std::max<size_t>(r.radiance.size(), 1);
    std::printf(
        "render threads=%d packets=%d seconds=%.4f samples_per_s=%.1f rays=%lld camera=%lld "
        "bounce=%lld shadow=%lld mrays_per_s=%.4f allocations=%lld allocated_bytes=%lld "
        "mean=%.9g\n",
        r.threads, ctx.packets ? 1 : 0, s, samples / s, rays, static_cast<long long>(r.rays.camera),
        static_cast<long long>(r.rays.bounce), static_cast<long long>(r.rays.shadow),
        rays / s / 1e6, allocs, bytes, mean);
    std::fflush(stdout);
  }
  return 0;
}
