// Raw Embree reference for the trace benchmarks: builds the same two-level scene directly with
// the library (no scene manager) from a binary scene file, then traces the rays of a binary
// ray file with one rtcIntersect1 per ray on one thread, and prints the throughput.
//
// File formats: bench/scene_file.h.
// Output: one line "raw_embree rays=<n> hits=<h> seconds=<s> mrays_per_s=<x>".

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "bench/scene_file.h"
#include "embree/embree_adapter.h"

using tesk::bench::read_block;
using tesk::bench::read_int;

using namespace tesk;

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s scene.bin rays.bin\n", argv[0]);
    return 2;
  }
  const bench::SceneFile file = bench::read_scene_file(argv[1]);
  std::ifstream rays_in(argv[2], std::ios::binary);
  RTCDevice device = rtcNewDevice(nullptr);
  RTCScene top = rtcNewScene(device);
  std::vector<RTCScene> meshes(file.vertices.size());
  for (size_t m = 0; m < meshes.size(); ++m) {
    const std::vector<float3>& vertices = file.vertices[m];
    const std::vector<int3>& triangles = file.triangles[m];
    meshes[m] = rtcNewScene(device);
    RTCGeometry g = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
    auto* vb = static_cast<float3*>(rtcSetNewGeometryBuffer(
        g, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, sizeof(float3), vertices.size()));
    auto* ib = static_cast<int3*>(rtcSetNewGeometryBuffer(
        g, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, sizeof(int3), triangles.size()));
    std::copy(vertices.begin(), vertices.end(), vb);
    std::copy(triangles.begin(), triangles.end(), ib);
    embree::set_geometry_mask_all(g);
    rtcCommitGeometry(g);
    rtcAttachGeometry(meshes[m], g);
    rtcReleaseGeometry(g);
    rtcCommitScene(meshes[m]);
  }
  const auto n_instances = static_cast<int32_t>(file.mesh_ids.size());
  const std::vector<int32_t>& mesh_ids = file.mesh_ids;
  const std::vector<float>& xforms = file.xforms;
  for (int32_t i = 0; i < n_instances; ++i) {
    const float* m = &xforms[12 * static_cast<size_t>(i)];
    const float cm[16] = {m[0], m[4], m[8],  0, m[1], m[5], m[9],  0,
                          m[2], m[6], m[10], 0, m[3], m[7], m[11], 1};
    RTCGeometry g = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_INSTANCE);
    rtcSetGeometryInstancedScene(g, meshes[mesh_ids[i]]);
    rtcSetGeometryTransform(g, 0, RTC_FORMAT_FLOAT4X4_COLUMN_MAJOR, cm);
    embree::set_geometry_mask_all(g);
    rtcCommitGeometry(g);
    rtcAttachGeometry(top, g);
    rtcReleaseGeometry(g);
  }
  rtcCommitScene(top);

  const int32_t n = read_int(rays_in);
  const auto origins = read_block<float>(rays_in, 3 * static_cast<size_t>(n));
  const auto directions = read_block<float>(rays_in, 3 * static_cast<size_t>(n));
  size_t hits = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (int32_t i = 0; i < n; ++i) {
    RTCRayHit rh;
    const float* o = &origins[3 * static_cast<size_t>(i)];
    const float* d = &directions[3 * static_cast<size_t>(i)];
    embree::init_ray_hit(rh, {o[0], o[1], o[2]}, {d[0], d[1], d[2]}, 1e-4f, 1e30f);
    embree::intersect1(top, rh);
    hits += rh.hit.geomID != RTC_INVALID_GEOMETRY_ID;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("raw_embree rays=%d hits=%zu seconds=%.6f mrays_per_s=%.4f\n", n, hits, seconds,
              n / seconds / 1e6);
  for (RTCScene mesh : meshes) rtcReleaseScene(mesh);
  rtcReleaseScene(top);
  rtcReleaseDevice(device);
  return 0;
}
