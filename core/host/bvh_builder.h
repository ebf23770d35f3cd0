#pragma once

// Host construction of the two-level hierarchy of core/bvh.h: a binned surface-area-heuristic
// builder, used once per mesh (object space) and once over the instances' world boxes.

#include <cstdint>
#include <span>
#include <vector>

#include "core/bvh.h"
#include "core/vec.h"

namespace tesk::bvh {

/// Axis-aligned box of one item handed to the builder.
struct ItemBox {
  float3 lo{};  ///< Minimum corner.
  float3 hi{};  ///< Maximum corner.
};

/// Builds a binary hierarchy over `boxes` (binned SAH, at most `max_leaf` items per leaf where
/// a split pays, never deeper than kMaxBvhDepth). Returns the nodes (root first, siblings
/// adjacent) and writes to `order` the item indices in the order the leaves list them.
/// An empty item list gives one empty leaf.
std::vector<BvhNode> build_hierarchy(std::span<const ItemBox> boxes, std::vector<int32_t>& order,
                                     int max_leaf = 4);

/// One mesh as the builder reads it (object space).
struct BvhMeshInput {
  std::span<const float3> vertices;  ///< Positions.
  std::span<const float3> normals;   ///< Empty or one normal per vertex.
  std::span<const int3> triangles;   ///< Vertex indices (in range: not checked).
  int32_t material_id = 0;           ///< Material of the mesh.
};

/// One placed copy of a mesh.
struct BvhInstanceInput {
  int32_t mesh_id = 0;       ///< Index into the mesh list (in range: not checked).
  const float* transform{};  ///< Row-major 3x4 object-to-world matrix (invertible: not checked).
};

/// Largest vertex coordinate magnitude that a triangle may have and still be traced; triangles
/// with a vertex beyond it (or a non-finite one) are left out, as the CPU ray tracer does.
inline constexpr float kMaxTraceableCoordinate = 1.844e18f;

/// A built two-level hierarchy in host memory; `view()` points into it.
class BvhScene {
 public:
  /// Builds every mesh hierarchy and the instance hierarchy.
  void build(std::span<const BvhMeshInput> meshes, std::span<const BvhInstanceInput> instances);
  /// Replaces the instance transforms (same instances, same meshes) and rebuilds only the
  /// instance level.
  void refit(std::span<const BvhInstanceInput> instances);
  /// The arrays as a traversal view of host pointers.
  BvhSceneView view() const;

  std::vector<BvhNode> top_nodes;
  std::vector<int32_t> top_items;
  std::vector<BvhInstanceRecord> instances;
  std::vector<BvhMeshRecord> meshes;
  std::vector<BvhNode> mesh_nodes;
  std::vector<BvhTriangle> triangles;
  std::vector<int3> mesh_triangles;
  std::vector<float3> normals;
  std::vector<ItemBox> mesh_boxes;  ///< Object-space box per mesh (lo > hi when empty).

 private:
  void build_top_(std::span<const BvhInstanceInput> instances);
};

}  // namespace tesk::bvh
