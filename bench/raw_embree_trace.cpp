// Raw Embree reference for the trace benchmarks: builds the same two-level scene directly with
// the library (no scene manager) from a binary scene file, then traces the rays of a binary
// ray file with one rtcIntersect1 per ray on one thread, and prints the throughput.
//
// Scene file (little-endian): int32 n_meshes; per mesh int32 nv, int32 nt, float32 [nv][3],
// int32 [nt][3]; int32 n_instances; int32 [n] mesh ids; float32 [n][12] row-major transforms.
// Ray file: int32 n; float32 [n][3] origins; float32 [n][3] directions.
// Output: one line "raw_embree rays=<n> hits=<h> seconds=<s> mrays_per_s=<x>".

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "embree/embree_adapter.h"

using namespace tesk;

namespace {

template <typename T>
std::vector<T> read_block(std::ifstream& in, size_t count) {
  std::vector<T> v(count);
  in.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(count * sizeof(T)));
  if (!in) throw std::runtime_error("truncated input file");
  return v;
}

int32_t read_int(std::ifstream& in) { return read_block<int32_t>(in, 1)[0]; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s scene.bin rays.bin\n", argv[0]);
    return 2;
  }
  std::ifstream scene_in(argv[1], std::ios::binary), rays_in(argv[2], std::ios::binary);
  RTCDevice device = rtcNewDevice(nullptr);
  RTCScene top = rtcNewScene(device);
  std::vector<RTCScene> meshes(read_int(scene_in));
  for (RTCScene& mesh : meshes) {
    const int32_t nv = read_int(scene_in), nt = read_int(scene_in);
    const auto vertices = read_block<float>(scene_in, 3 * static_cast<size_t>(nv));
    const auto indices = read_block<uint32_t>(scene_in, 3 * static_cast<size_t>(nt));
    mesh = rtcNewScene(device);
    RTCGeometry g = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
    auto* vb = static_cast<float*>(rtcSetNewGeometryBuffer(g, RTC_BUFFER_TYPE_VERTEX, 0,
                                                           RTC_FORMAT_FLOAT3, 12, nv));
    auto* ib = static_cast<uint32_t*>(rtcSetNewGeometryBuffer(g, RTC_BUFFER_TYPE_INDEX, 0,
                                                              RTC_FORMAT_UINT3, 12, nt));
    std::copy(vertices.begin(), vertices.end(), vb);
    std::copy(indices.begin(), indices.end(), ib);
    embree::set_geometry_mask_all(g);
    rtcCommitGeometry(g);
    rtcAttachGeometry(mesh, g);
    rtcReleaseGeometry(g);
    rtcCommitScene(mesh);
  }
  const int32_t n_instances = read_int(scene_in);
  const auto mesh_ids = read_block<int32_t>(scene_in, n_instances);
  const auto xforms = read_block<float>(scene_in, 12 * static_cast<size_t>(n_instances));
  for (int32_t i = 0; i < n_instances; ++i) {
    const float* m = &xforms[12 * static_cast<size_t>(i)];
    const float cm[16] = {m[0], m[4], m[8], 0, m[1], m[5], m[9], 0,
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
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("raw_embree rays=%d hits=%zu seconds=%.6f mrays_per_s=%.4f\n", n, hits, seconds,
              n / seconds / 1e6);
  for (RTCScene mesh : meshes) rtcReleaseScene(mesh);
  rtcReleaseScene(top);
  rtcReleaseDevice(device);
  return 0;
}
