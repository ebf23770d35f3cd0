// Host throughput of the device backends' traversal (core/bvh.h) next to the CPU scene manager
// on the same forest and rays, one thread each: the hierarchy's build time, node and triangle
// counts, and Mrays/s of EmbreeSceneManager::trace_ray and of bvh::trace_closest_ray. The
// device runs this same traversal; the host figure shows the hierarchy's quality, not GPU speed.
//
//   build/dev/tesk_bench_bvh [trees] [rays]      (defaults 2000 and 200000)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "core/bvh.h"
#include "core/host/mesh_generators.h"
#include "embree/bvh_export.h"
#include "embree/scene_manager.h"

using namespace tesk;

int main(int argc, char** argv) {
  const int trees = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int n_rays = argc > 2 ? std::atoi(argv[2]) : 200000;
  // The quickstart forest: a 100 m ground, icosphere crowns of radius 1.5-3 m on stems.
  embree::EmbreeSceneManager scene;
  const GeneratedMesh ground = make_ground_plane(50.0f, 50.0f, 5.0f);
  const GeneratedMesh crown = make_sphere(1.0f, {0.0f, 0.0f, 0.0f}, 3);
  const GeneratedMesh stem = make_cylinder(1.0f, 1.0f, 12);
  const int g = scene.add_mesh(ground.vertices, ground.normals, ground.indices, 0);
  const int c = scene.add_mesh(crown.vertices, crown.normals, crown.indices, 1);
  const int s = scene.add_mesh(stem.vertices, stem.normals, stem.indices, 2);
  scene.add_instance(g, 0.0f, 0.0f, 0.0f, 1.0f);
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  for (int i = 0; i < trees; ++i) {
    const float x = -47.0f + 94.0f * u(rng), y = -47.0f + 94.0f * u(rng);
    const float r = 1.5f + 1.5f * u(rng), h = 4.0f + 5.0f * u(rng);
    scene.add_instance(c, x, y, h + 0.8f * r, r);
    const float m[12] = {0.1f * r, 0, 0, x, 0, 0.1f * r, 0, y, 0, 0, h + 0.8f * r, 0};
    scene.add_instance(s, m);
  }
  scene.build();
  const auto t0 = std::chrono::steady_clock::now();
  const bvh::BvhScene bvh = embree::build_bvh_scene(scene);
  const double build_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  std::printf(
      "scene: %d instances, %d triangles; hierarchy build %.1f ms, %zu mesh nodes, %zu top nodes\n",
      scene.num_instances(), scene.n_primitives(), build_ms, bvh.mesh_nodes.size(),
      bvh.top_nodes.size());

  // Incoherent rays: origins in the scene box, directions uniform on the sphere.
  std::vector<float3> o(n_rays), d(n_rays);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  for (int i = 0; i < n_rays; ++i) {
    o[i] = {-50.0f + 100.0f * u(rng), -50.0f + 100.0f * u(rng), 15.0f * u(rng)};
    d[i] = normalize(float3{normal(rng), normal(rng), normal(rng)});
  }
  auto rate = [&](auto&& trace) {
    const auto start = std::chrono::steady_clock::now();
    int hits = 0;
    for (int i = 0; i < n_rays; ++i) hits += trace(o[i], d[i]) ? 1 : 0;
    const double sec =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return std::pair<double, int>{n_rays / sec / 1e6, hits};
  };
  const bvh::BvhSceneView view = bvh.view();
  const auto [embree_rate, embree_hits] =
      rate([&](float3 a, float3 b) { return scene.trace_ray(a, b, 1e-4f, 1e30f).hit; });
  const auto [bvh_rate, bvh_hits] = rate(
      [&](float3 a, float3 b) { return bvh::trace_closest_ray(view, a, b, 1e-4f, 1e30f).hit; });
  std::printf(
      "%d incoherent rays, 1 thread: EmbreeSceneManager::trace_ray %.3f Mrays/s (%d hits), "
      "bvh::trace_closest_ray %.3f Mrays/s (%d hits), ratio %.2f\n",
      n_rays, embree_rate, embree_hits, bvh_rate, bvh_hits, bvh_rate / embree_rate);
  return 0;
}
