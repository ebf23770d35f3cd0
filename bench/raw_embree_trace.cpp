// Raw Embree reference for the trace benchmarks: builds the same two-level scene directly with
// the library (no scene manager) from a binary scene file, then traces rays on one thread and
// prints the throughput.
//
// With two arguments (scene.bin rays.bin) it traces the rays once with one rtcIntersect1 per
// ray. With more ray files it reads commands from standard input, one per line, so that a
// caller can interleave its own measurements with these on the same warm scene:
//   single <file index>   one rtcIntersect1 per ray of ray file <index> (0 = the first)
//   packet <file index>   rtcIntersect16 on consecutive groups of 16 rays
//   coherent <file index> the same with the library's coherent-ray flag
//   single_hq <file index> as single, on a second copy of the scene whose mesh trees come from
//                         the high-quality (spatial split) builder, as the scene manager builds
//                         them (built at the first such command; its build time goes to stderr)
//   replay <file index>   the recorded queries of query file <index> (0 = the first file whose
//                         name ends in .queries; those files are not ray files), each traced as
//                         recorded: rtcIntersect1 or rtcOccluded1 on its own interval
//   replay2 <file index>  the same on two threads, each taking one contiguous half
// and answers each with one output line; end of input ends the program.
//
// File formats: bench/scene_file.h; a query file holds int32 n, int32 kind[n] (1 = occlusion,
// 0 = closest hit), then float32 [n][8] (origin, direction, t_min, t_max).
// Output: "raw_embree rays=<n> hits=<h> seconds=<s> mrays_per_s=<x> cpu_seconds=<c>
// cpu_mrays_per_s=<y>" per run, the kind being raw_embree (single) or raw_embree16 (packet); the
// cpu_ figures use the process's processor time, which other load on the machine barely moves.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/scene_file.h"
#include "embree/embree_adapter.h"

using tesk::bench::read_block;
using tesk::bench::read_int;

using namespace tesk;

namespace {

struct RayFile {
  int32_t n = 0;
  std::vector<float> origins;     // [n][3]
  std::vector<float> directions;  // [n][3]
};

RayFile read_rays(const char* path) {
  std::ifstream in(path, std::ios::binary);
  RayFile f;
  f.n = read_int(in);
  f.origins = read_block<float>(in, 3 * static_cast<size_t>(f.n));
  f.directions = read_block<float>(in, 3 * static_cast<size_t>(f.n));
  return f;
}

struct QueryFile {
  int32_t n = 0;
  std::vector<int32_t> kind;  // [n], 1 = occlusion
  std::vector<float> rays;    // [n][8]
};

QueryFile read_queries(const char* path) {
  std::ifstream in(path, std::ios::binary);
  QueryFile f;
  f.n = read_int(in);
  f.kind = read_block<int32_t>(in, static_cast<size_t>(f.n));
  f.rays = read_block<float>(in, 8 * static_cast<size_t>(f.n));
  return f;
}

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Wall and processor clocks read together at the start of a run.
struct Start {
  std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
  std::clock_t cpu = std::clock();
};

void report(const char* kind, const RayFile& f, size_t hits, const Start& t0) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0.wall).count();
  const double cpu = static_cast<double>(std::clock() - t0.cpu) / CLOCKS_PER_SEC;
  std::printf(
      "%s rays=%d hits=%zu seconds=%.6f mrays_per_s=%.4f cpu_seconds=%.6f "
      "cpu_mrays_per_s=%.4f\n",
      kind, f.n, hits, seconds, f.n / seconds / 1e6, cpu, f.n / cpu / 1e6);
  std::fflush(stdout);
}

// One rtcIntersect1 per ray.
void trace_single(RTCScene top, const RayFile& f, const char* kind) {
  size_t hits = 0;
  const Start t0;
  for (int32_t i = 0; i < f.n; ++i) {
    RTCRayHit rh;
    const float* o = &f.origins[3 * static_cast<size_t>(i)];
    const float* d = &f.directions[3 * static_cast<size_t>(i)];
    embree::init_ray_hit(rh, {o[0], o[1], o[2]}, {d[0], d[1], d[2]}, 1e-4f, 1e30f);
    embree::intersect1(top, rh);
    hits += rh.hit.geomID != RTC_INVALID_GEOMETRY_ID;
  }
  report(kind, f, hits, t0);
}

// Queries [first, last) of a query file, each as recorded; returns the hits (or blocked rays).
size_t replay_range(RTCScene top, const QueryFile& f, int32_t first, int32_t last) {
  size_t hits = 0;
  for (int32_t i = first; i < last; ++i) {
    const float* q = &f.rays[8 * static_cast<size_t>(i)];
    if (f.kind[static_cast<size_t>(i)] != 0) {
      RTCRay ray;
      embree::init_ray(ray, {q[0], q[1], q[2]}, {q[3], q[4], q[5]}, q[6], q[7]);
      hits += embree::occluded1(top, ray);
    } else {
      RTCRayHit rh;
      embree::init_ray_hit(rh, {q[0], q[1], q[2]}, {q[3], q[4], q[5]}, q[6], q[7]);
      embree::intersect1(top, rh);
      hits += rh.hit.geomID != RTC_INVALID_GEOMETRY_ID;
    }
  }
  return hits;
}

// The recorded queries on `threads` threads (1 or 2), one contiguous share each.
void replay(RTCScene top, const QueryFile& f, int threads) {
  const Start t0;
  size_t hits = 0;
  if (threads <= 1) {
    hits = replay_range(top, f, 0, f.n);
  } else {
    size_t second = 0;
    std::thread worker([&] { second = replay_range(top, f, f.n / 2, f.n); });
    hits = replay_range(top, f, 0, f.n / 2);
    worker.join();
    hits += second;
  }
  RayFile shape;
  shape.n = f.n;
  report(threads <= 1 ? "raw_embree_replay" : "raw_embree_replay2", shape, hits, t0);
}

// rtcIntersect16 on consecutive groups of 16 rays; a short last group masks its empty lanes.
void trace_packets(RTCScene top, const RayFile& f, bool coherent) {
  size_t hits = 0;
  const Start t0;
  alignas(64) RTCRayHit16 packet;
  alignas(64) int valid[16];
  for (int32_t first = 0; first < f.n; first += 16) {
    const int lanes = std::min(16, f.n - first);
    for (int i = 0; i < 16; ++i) {
      valid[i] = i < lanes ? -1 : 0;
      if (i >= lanes) continue;
      const float* o = &f.origins[3 * static_cast<size_t>(first + i)];
      const float* d = &f.directions[3 * static_cast<size_t>(first + i)];
      embree::set_packet_lane(packet, i, {o[0], o[1], o[2]}, {d[0], d[1], d[2]}, 1e-4f, 1e30f);
    }
    embree::intersect16(valid, top, packet, coherent);
    for (int i = 0; i < lanes; ++i) hits += packet.hit.geomID[i] != RTC_INVALID_GEOMETRY_ID;
  }
  report(coherent ? "raw_embree16c" : "raw_embree16", f, hits, t0);
}

// The two-level scene of a scene file; the mesh scenes are appended to `meshes`.
RTCScene build_scene(RTCDevice device, const bench::SceneFile& file, RTCBuildQuality quality,
                     std::vector<RTCScene>& meshes) {
  RTCScene top = rtcNewScene(device);
  const size_t first = meshes.size();
  for (size_t m = 0; m < file.vertices.size(); ++m) {
    const std::vector<float3>& vertices = file.vertices[m];
    const std::vector<int3>& triangles = file.triangles[m];
    RTCScene mesh = rtcNewScene(device);
    meshes.push_back(mesh);
    rtcSetSceneBuildQuality(mesh, quality);
    RTCGeometry g = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
    rtcSetGeometryBuildQuality(g, quality);
    auto* vb = static_cast<float3*>(rtcSetNewGeometryBuffer(
        g, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, sizeof(float3), vertices.size()));
    auto* ib = static_cast<int3*>(rtcSetNewGeometryBuffer(
        g, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, sizeof(int3), triangles.size()));
    std::copy(vertices.begin(), vertices.end(), vb);
    std::copy(triangles.begin(), triangles.end(), ib);
    embree::set_geometry_mask_all(g);
    rtcCommitGeometry(g);
    rtcAttachGeometry(mesh, g);
    rtcReleaseGeometry(g);
    rtcCommitScene(mesh);
  }
  for (size_t i = 0; i < file.mesh_ids.size(); ++i) {
    const float* m = &file.xforms[12 * i];
    const float cm[16] = {m[0], m[4], m[8],  0, m[1], m[5], m[9],  0,
                          m[2], m[6], m[10], 0, m[3], m[7], m[11], 1};
    RTCGeometry g = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_INSTANCE);
    rtcSetGeometryInstancedScene(g, meshes[first + file.mesh_ids[i]]);
    rtcSetGeometryTransform(g, 0, RTC_FORMAT_FLOAT4X4_COLUMN_MAJOR, cm);
    embree::set_geometry_mask_all(g);
    rtcCommitGeometry(g);
    rtcAttachGeometry(top, g);
    rtcReleaseGeometry(g);
  }
  rtcCommitScene(top);
  return top;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s scene.bin rays.bin [more_rays.bin...] (commands on stdin)\n",
                 argv[0]);
    return 2;
  }
  const bench::SceneFile file = bench::read_scene_file(argv[1]);
  RTCDevice device = rtcNewDevice(nullptr);
  std::vector<RTCScene> meshes;
  const RTCScene top = build_scene(device, file, RTC_BUILD_QUALITY_MEDIUM, meshes);
  RTCScene top_hq = nullptr;
  std::vector<RayFile> files;
  std::vector<QueryFile> query_files;
  for (int a = 2; a < argc; ++a) {
    if (ends_with(argv[a], ".queries")) {
      query_files.push_back(read_queries(argv[a]));
    } else {
      files.push_back(read_rays(argv[a]));
    }
  }
  if (argc == 3 && !files.empty()) {
    trace_single(top, files[0], "raw_embree");
  } else {
    std::string command;
    size_t index = 0;
    while (std::cin >> command >> index) {
      if (command == "replay" || command == "replay2") {
        if (index >= query_files.size()) throw std::runtime_error("no such query file");
        replay(top, query_files[index], command == "replay2" ? 2 : 1);
        continue;
      }
      if (index >= files.size()) throw std::runtime_error("no such ray file");
      if (command == "single_hq") {
        // The same scene with the mesh BVHs built by the high-quality (spatial split) builder.
        if (top_hq == nullptr) {
          const auto t0 = std::chrono::steady_clock::now();
          top_hq = build_scene(device, file, RTC_BUILD_QUALITY_HIGH, meshes);
          std::fprintf(
              stderr, "high-quality build: %.1f ms\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() * 1e3);
        }
        trace_single(top_hq, files[index], "raw_embree_hq");
      } else if (command == "packet" || command == "coherent") {
        trace_packets(top, files[index], command == "coherent");
      } else {
        trace_single(top, files[index], "raw_embree");
      }
    }
  }
  for (RTCScene mesh : meshes) rtcReleaseScene(mesh);
  rtcReleaseScene(top);
  if (top_hq != nullptr) rtcReleaseScene(top_hq);
  rtcReleaseDevice(device);
  return 0;
}
