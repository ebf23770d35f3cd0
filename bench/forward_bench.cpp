// Forward photon workflow throughput on a scene exported by bench/forward.py: builds the scene
// manager from the scene file (the format of raw_embree_trace.cpp) and a description file, runs
// each workflow once to warm up, then once per requested thread count, and prints per run the
// wall time, photons/s and rays/s (path, view and containment queries counted separately).
//
// Description file, one record per line (numbers separated by blanks):
//   n_bands <n>
//   spectral <count> <values...>
//   material <type> <offset> <8 scalars>
//   mesh_material <mesh id> <material id>
//   emitter <dx> <dy> <dz> <offset>
//   sky <offset>
//   repetitive <count> <size x> <size y>
//   measurement_plane <height>
//   sensor <type> <width> <height> <ortho_w> <ortho_h> <fov degrees> <projection> <16 floats>
//   media <M> <M densities> <M angle types> <M orientations> <M lengths> <K> <K material ids>
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

template <typename T>
std::vector<T> read_list(std::istringstream& in, size_t n) {
  std::vector<T> v(n);
  for (T& x : v) in >> x;
  return v;
}

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
  bench::SceneFile file = bench::read_scene_file(argv[1]);
  const auto n_meshes = static_cast<int32_t>(file.vertices.size());
  const auto n_instances = static_cast<int32_t>(file.mesh_ids.size());
  auto& vertices = file.vertices;
  auto& triangles = file.triangles;
  const auto& mesh_ids = file.mesh_ids;
  const auto& xforms = file.xforms;

  std::vector<int> mesh_material(n_meshes, 0);
  std::vector<Run> runs;
  SceneDescription& d = scene.description();
  bool has_media = false;
  std::vector<float> lad, lengths;
  std::vector<int32_t> types, orientations, material_media;
  std::ifstream desc_in(argv[2]);
  for (std::string line; std::getline(desc_in, line);) {
    std::istringstream in(line);
    std::string key;
    in >> key;
    if (key == "n_bands") {
      int n;
      in >> n;
      d.set_num_bands(n);
    } else if (key == "spectral") {
      size_t n;
      in >> n;
      d.upload_spectral_params(read_list<float>(in, n));
    } else if (key == "material") {
      int type, offset;
      in >> type >> offset;
      d.add_material(static_cast<MaterialType>(type), offset, read_list<float>(in, 8));
    } else if (key == "mesh_material") {
      int m, mat;
      in >> m >> mat;
      mesh_material.at(m) = mat;
    } else if (key == "emitter") {
      float3 dir;
      int offset;
      in >> dir.x >> dir.y >> dir.z >> offset;
      d.set_emitter(EmitterType::Directional, dir, offset);
    } else if (key == "sky") {
      int offset;
      in >> offset;
      d.set_sky(offset);
    } else if (key == "repetitive") {
      int count;
      float x, y;
      in >> count >> x >> y;
      d.set_repetitive(count, x, y);
    } else if (key == "measurement_plane") {
      float h;
      in >> h;
      d.set_measurement_plane(h);
    } else if (key == "sensor") {
      int type, w, h, projection;
      float ow, oh, fov;
      in >> type >> w >> h >> ow >> oh >> fov >> projection;
      const std::vector<float> c = read_list<float>(in, 16);
      d.set_sensor(make_sensor(type, w, h, ow, oh, c.data(), 16, fov, projection));
    } else if (key == "media") {
      size_t m;
      in >> m;
      lad = read_list<float>(in, m);
      types = read_list<int32_t>(in, m);
      orientations = read_list<int32_t>(in, m);
      lengths = read_list<float>(in, m);
      size_t k;
      in >> k;
      material_media = read_list<int32_t>(in, k);
      has_media = true;
    } else if (key == "flux" || key == "forward") {
      Run r;
      r.flux = key == "flux";
      in >> r.nx >> r.ny >> r.photons >> r.max_depth;
      if (!r.flux) {
        size_t n;
        in >> n;
        r.heights = read_list<float>(in, n);
        in >> n;
        r.directions = read_list<float>(in, 3 * n);
      }
      runs.push_back(r);
    }
  }
  if (has_media) scene.set_optical_turbid_media(lad, types, orientations, lengths, material_media);
  for (int32_t m = 0; m < n_meshes; ++m) {
    scene.add_mesh(std::move(vertices[m]), {}, std::move(triangles[m]), mesh_material[m]);
  }
  for (int32_t i = 0; i < n_instances; ++i)
    scene.add_instance(mesh_ids[i], &xforms[12 * static_cast<size_t>(i)]);
  scene.build();

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
