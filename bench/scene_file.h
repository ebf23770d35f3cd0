#pragma once

// Reading of the binary files the Python benchmarks write for the C++ helpers.
//
// Scene file (little-endian): int32 n_meshes; per mesh int32 nv, int32 nt, float32 [nv][3],
// int32 [nt][3]; int32 n_instances; int32 [n] mesh ids; float32 [n][12] row-major transforms.
// Ray file: int32 n; float32 [n][3] origins; float32 [n][3] directions.
// Description file, one record per line (numbers separated by blanks; bench/scene_export.py):
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
// plus records of the helper's own (the runs to make).

#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/host/scene_description.h"
#include "core/vec.h"
#include "embree/scene_manager.h"

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

template <typename T>
std::vector<T> read_list(std::istringstream& in, size_t n) {
  std::vector<T> v(n);
  for (T& x : v) in >> x;
  return v;
}

/// Fills and builds `scene` from a scene file and a description file; records with keys of
/// its own are handed to `other(key, line_stream)`.
template <typename Other>
void load_scene(embree::EmbreeSceneManager& scene, const std::string& scene_path,
                const std::string& description_path, Other&& other) {
  SceneFile file = read_scene_file(scene_path);
  std::vector<int> mesh_material(file.vertices.size(), 0);
  SceneDescription& d = scene.description();
  bool has_media = false;
  std::vector<float> lad, lengths;
  std::vector<int32_t> types, orientations, material_media;
  std::ifstream desc_in(description_path);
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
      size_t m, k;
      in >> m;
      lad = read_list<float>(in, m);
      types = read_list<int32_t>(in, m);
      orientations = read_list<int32_t>(in, m);
      lengths = read_list<float>(in, m);
      in >> k;
      material_media = read_list<int32_t>(in, k);
      has_media = true;
    } else if (!key.empty()) {
      other(key, in);
    }
  }
  // Media are validated against the materials, which are all known now.
  if (has_media) scene.set_optical_turbid_media(lad, types, orientations, lengths, material_media);
  for (size_t m = 0; m < file.vertices.size(); ++m) {
    scene.add_mesh(std::move(file.vertices[m]), {}, std::move(file.triangles[m]), mesh_material[m]);
  }
  for (size_t i = 0; i < file.mesh_ids.size(); ++i) {
    scene.add_instance(file.mesh_ids[i], &file.xforms[12 * i]);
  }
  scene.build();
}

}  // namespace tesk::bench
