#pragma once

// Builds the device-layout hierarchy (core/bvh.h) from a CPU scene, so that a device backend
// and the tests traverse exactly the geometry the CPU scene manager holds.

#include <vector>

#include "core/host/bvh_builder.h"
#include "embree/scene_manager.h"

namespace tesk::embree {

/// The scene's meshes and instances as builder inputs (views into `scene`).
inline void bvh_inputs(const EmbreeSceneManager& scene, std::vector<bvh::BvhMeshInput>& meshes,
                       std::vector<bvh::BvhInstanceInput>& instances) {
  meshes.clear();
  instances.clear();
  for (const EmbreeMesh& m : scene.meshes()) {
    meshes.push_back(bvh::BvhMeshInput{m.vertices, m.normals, m.triangles, m.material_id});
  }
  for (const EmbreeInstance& i : scene.instances()) {
    instances.push_back(bvh::BvhInstanceInput{i.mesh_id, i.transform});
  }
}

/// Builds the two-level hierarchy of every mesh and instance of `scene`.
inline bvh::BvhScene build_bvh_scene(const EmbreeSceneManager& scene) {
  std::vector<bvh::BvhMeshInput> meshes;
  std::vector<bvh::BvhInstanceInput> instances;
  bvh_inputs(scene, meshes, instances);
  bvh::BvhScene out;
  out.build(meshes, instances);
  return out;
}

}  // namespace tesk::embree
