#pragma once

// Reading of the binary files the Python benchmarks write for the C++ helpers.
//
// Scene file (little-endian): int32 n_meshes; per mesh int32 nv, int32 nt, float32 [nv][3],
// int32 [nt][3]; int32 n_instances; int32 [n] mesh ids; float32 [n][12] row-major transforms.
// Ray file: int32 n; float32 [n][3] origins; float32 [n][3] directions.

#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/vec.h"

namespace tesk::bench {

template <typename T>
std::vector<T> read_block(std::ifstream& in, size_t count) {
  std::vector<T> v(count);
  in.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(count * sizeof(T)));
  if (!in) throw std::runtime_error("truncated input file");
  return v;
}

inline int32_t read_int(std::ifstream& in) {
  return read_block<int32_t>(in, 1)[0];
}

/// The meshes and instances of a scene file.
struct SceneFile {
  std::vector<std::vector<float3>> vertices;  ///< Per mesh.
  std::vector<std::vector<int3>> triangles;   ///< Per mesh.
  std::vector<int32_t> mesh_ids;              ///< Per instance.
  std::vector<float> xforms;                  ///< 12 floats per instance.
};

inline SceneFile read_scene_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  SceneFile f;
  const int32_t n_meshes = read_int(in);
  f.vertices.resize(n_meshes);
  f.triangles.resize(n_meshes);
  for (int32_t m = 0; m < n_meshes; ++m) {
    const int32_t nv = read_int(in), nt = read_int(in);
    f.vertices[m] = read_block<float3>(in, nv);
    f.triangles[m] = read_block<int3>(in, nt);
  }
  const int32_t n_instances = read_int(in);
  f.mesh_ids = read_block<int32_t>(in, n_instances);
  f.xforms = read_block<float>(in, 12 * static_cast<size_t>(n_instances));
  return f;
}

}  // namespace tesk::bench
