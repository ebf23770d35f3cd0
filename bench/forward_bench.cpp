// Forward photon workflow throughput on a scene exported by bench/forward.py: builds the scene
// manager from the scene file and a description file, runs
// each workflow once to warm up, then once per requested thread count, and prints per run the
// wall time, photons/s and rays/s (path, view and containment queries counted separately).
//
// File formats: bench/scene_file.h; the helper's own records are
//   flux <nx> <ny> <photons> <max_depth>
//   forward <nx> <ny> <photons> <max_depth> <n_heights> <heights...> <n_dirs> <3 n_dirs floats>
// Usage: tesk_bench_forward scene.bin description.txt <threads>...
// Output lines: "<flux|forward> threads=<t> seconds=<s> photons_per_s=<x> rays=<n>
//   closest=<n> view=<n> containment=<n> mrays_per_s=<x>".

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "bench/scene_file.h"
#include "embree/render_flux.h"
#include "embree/render_forward.h"
#include "embree/scene_manager.h"

namespace {

struct Run {
  bool flux = true;
  int nx = 1, ny = 1, max_depth = 16;
  long long photons = 0;
  std::vector<float> heights, directions;
};

void report(const char* name, int threads, double seconds, long long photons,
            const tesk::embree::photon::PhotonRayCounts& r) {
  const long long rays = r.closest + r.shadow + r.containment;
  std::printf(
      "%s threads=%d seconds=%.4f photons_per_s=%.1f rays=%lld closest=%lld view=%lld "
      "containment=%lld mrays_per_s=%.4f\n",
      name, threads, seconds, photons / seconds, rays, static_cast<long long>(r.closest),
      static_cast<long long>(r.shadow), static_cast<long long>(r.containment),
      rays / seconds / 1e6);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tesk;
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s scene.bin description.txt threads...\n", argv[0]);
    return 2;
  }
  embree::EmbreeSceneManager scene;
  std::vector<Run> runs;
  bench::load_scene(scene, argv[1], argv[2], [&](const std::string& key, std::istringstream& in) {
    if (key != "flux" && key != "forward") return;
    Run r;
    r.flux = key == "flux";
    in >> r.nx >> r.ny >> r.photons >> r.max_depth;
    if (!r.flux) {
      size_t n;
      in >> n;
      r.heights = bench::read_list<float>(in, n);
      in >> n;
      r.directions = bench::read_list<float>(in, 3 * n);
    }
    runs.push_back(r);
  });
  const SceneDescription& d = scene.description();

  const int nb = d.num_bands();
  for (const Run& run : runs) {
    auto once = [&](int threads, long long photons) {
      const auto t0 = std::chrono::steady_clock::now();
      embree::photon::PhotonRayCounts rays;
      int used = 0;
      if (run.flux) {
        const embree::FluxResult r = embree::render_flux(scene, run.nx, run.ny, photons, nb, 1.0f,
                                                         0, run.max_depth, 3, threads, {}, false);
        rays = r.rays;
        used = r.threads;
      } else {
        const embree::ForwardFieldResult r = embree::render_forward(
            scene, run.nx, run.ny, run.heights, photons, nb, false, 1.0f, run.directions,
            static_cast<int>(run.directions.size() / 3), run.max_depth, 3, threads, {}, -1);
        rays = r.rays;
        used = r.threads;
      }
      const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      return std::make_tuple(used, s, rays);
    };
    once(1, std::max(1LL, run.photons / 20));  // warm-up: page in the BVH
    for (int a = 3; a < argc; ++a) {
      const auto [used, seconds, rays] = once(std::atoi(argv[a]), run.photons);
      report(run.flux ? "flux" : "forward", used, seconds, run.photons, rays);
    }
  }
  return 0;
}
