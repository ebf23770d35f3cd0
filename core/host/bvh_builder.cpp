#include "core/host/bvh_builder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numeric>

namespace tesk::bvh {
namespace {

constexpr int kBins = 16;
// Below this depth splits follow the surface-area heuristic; from it on they halve the item
// range, which bounds the depth by kSahDepthLimit + log2(n) < kMaxBvhDepth for int32 counts.
constexpr int kSahDepthLimit = 30;
// Relative cost of visiting a node against testing one item.
constexpr float kTraversalCost = 1.0f;

struct Bounds {
  float3 lo{std::numeric_limits<float>::max(), std::numeric_limits<float>::max(),
            std::numeric_limits<float>::max()};
  float3 hi{-std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
            -std::numeric_limits<float>::max()};
  void grow(float3 p_lo, float3 p_hi) {
    lo = min3(lo, p_lo);
    hi = max3(hi, p_hi);
  }
  void grow(const Bounds& b) { grow(b.lo, b.hi); }
  bool empty() const { return !(lo.x <= hi.x); }
  float area() const {
    if (empty()) return 0.0f;
    const float3 e = hi - lo;
    return 2.0f * (e.x * e.y + e.y * e.z + e.z * e.x);
  }
};

float axis(float3 v, int a) {
  return a == 0 ? v.x : (a == 1 ? v.y : v.z);
}

struct Builder {
  std::span<const ItemBox> boxes;
  std::vector<float3> centroids;
  std::vector<int32_t>& order;
  std::vector<BvhNode>& nodes;
  int max_leaf;

  void set_box(BvhNode& n, const Bounds& b) {
    n.lo[0] = b.lo.x;
    n.lo[1] = b.lo.y;
    n.lo[2] = b.lo.z;
    n.hi[0] = b.hi.x;
    n.hi[1] = b.hi.y;
    n.hi[2] = b.hi.z;
  }

  void make_leaf(int32_t node, int32_t begin, int32_t end) {
    nodes[node].first = begin;
    nodes[node].count = end - begin;
  }

  // Builds the subtree of `node` over order[begin, end).
  void build(int32_t node, int32_t begin, int32_t end, int depth) {
    Bounds box, cbox;
    for (int32_t i = begin; i < end; ++i) {
      const ItemBox& b = boxes[order[i]];
      box.grow(b.lo, b.hi);
      cbox.grow(centroids[order[i]], centroids[order[i]]);
    }
    set_box(nodes[node], box);
    const int32_t n = end - begin;
    if (n <= 1 || depth >= kMaxBvhDepth - 2) return make_leaf(node, begin, end);

    int32_t mid = -1;
    if (depth < kSahDepthLimit) mid = sah_split(begin, end, box, cbox);
    if (mid == -2) return make_leaf(node, begin, end);  // a leaf is cheaper than any split
    if (mid < 0) {
      if (n <= max_leaf) return make_leaf(node, begin, end);
      // Halve along the widest centroid axis (or by index when all centroids coincide).
      const float3 e = cbox.hi - cbox.lo;
      const int a = (e.x >= e.y && e.x >= e.z) ? 0 : (e.y >= e.z ? 1 : 2);
      mid = begin + n / 2;
      std::nth_element(
          order.begin() + begin, order.begin() + mid, order.begin() + end,
          [&](int32_t x, int32_t y) { return axis(centroids[x], a) < axis(centroids[y], a); });
    }
    const auto left = static_cast<int32_t>(nodes.size());
    nodes.resize(nodes.size() + 2);
    nodes[node].first = left;
    nodes[node].count = 0;
    build(left, begin, mid, depth + 1);
    build(left + 1, mid, end, depth + 1);
  }

  // Binned SAH over the three axes. Returns the split position, -1 when no split separates
  // the centroids, -2 when a leaf costs less than the best split (only for small ranges).
  int32_t sah_split(int32_t begin, int32_t end, const Bounds& box, const Bounds& cbox) {
    const int32_t n = end - begin;
    float best_cost = std::numeric_limits<float>::max();
    int best_axis = -1, best_bin = 0;
    for (int a = 0; a < 3; ++a) {
      const float lo = axis(cbox.lo, a), hi = axis(cbox.hi, a);
      if (!(hi > lo)) continue;
      const float scale = kBins / (hi - lo);
      std::array<Bounds, kBins> bin_box;
      std::array<int32_t, kBins> bin_count{};
      for (int32_t i = begin; i < end; ++i) {
        const int b =
            std::min(kBins - 1, static_cast<int>((axis(centroids[order[i]], a) - lo) * scale));
        bin_box[b].grow(boxes[order[i]].lo, boxes[order[i]].hi);
        ++bin_count[b];
      }
      std::array<float, kBins> right_area{};
      std::array<int32_t, kBins> right_count{};
      Bounds acc;
      int32_t count = 0;
      for (int b = kBins - 1; b > 0; --b) {
        acc.grow(bin_box[b]);
        count += bin_count[b];
        right_area[b] = acc.area();
        right_count[b] = count;
      }
      acc = Bounds{};
      count = 0;
      for (int b = 0; b < kBins - 1; ++b) {
        acc.grow(bin_box[b]);
        count += bin_count[b];
        if (count == 0 || right_count[b + 1] == 0) continue;
        const float cost = acc.area() * static_cast<float>(count) +
                           right_area[b + 1] * static_cast<float>(right_count[b + 1]);
        if (cost < best_cost) {
          best_cost = cost;
          best_axis = a;
          best_bin = b;
        }
      }
    }
    if (best_axis < 0) return -1;
    const float parent_area = box.area();
    const float split_cost =
        kTraversalCost + (parent_area > 0.0f ? best_cost / parent_area : static_cast<float>(n));
    if (n <= max_leaf && split_cost >= static_cast<float>(n)) return -2;
    const float lo = axis(cbox.lo, best_axis);
    const float scale = kBins / (axis(cbox.hi, best_axis) - lo);
    const auto it = std::partition(order.begin() + begin, order.begin() + end, [&](int32_t i) {
      const int b =
          std::min(kBins - 1, static_cast<int>((axis(centroids[i], best_axis) - lo) * scale));
      return b <= best_bin;
    });
    const auto mid = static_cast<int32_t>(it - order.begin());
    return (mid == begin || mid == end) ? -1 : mid;
  }
};

bool traceable(float3 v) {
  return std::fabs(v.x) < kMaxTraceableCoordinate && std::fabs(v.y) < kMaxTraceableCoordinate &&
         std::fabs(v.z) < kMaxTraceableCoordinate;  // false for NaN as well
}

// Row-major 3x4 inverse of a row-major 3x4 affine transform, computed in double.
void invert_affine(const float* m, float* out) {
  const double a = m[0], b = m[1], c = m[2], d = m[4], e = m[5], f = m[6], g = m[8], h = m[9],
               k = m[10];
  const double det = a * (e * k - f * h) - b * (d * k - f * g) + c * (d * h - e * g);
  const double s = det != 0.0 ? 1.0 / det : 0.0;
  const double inv[9] = {(e * k - f * h) * s, (c * h - b * k) * s, (b * f - c * e) * s,
                         (f * g - d * k) * s, (a * k - c * g) * s, (c * d - a * f) * s,
                         (d * h - e * g) * s, (b * g - a * h) * s, (a * e - b * d) * s};
  const double t[3] = {m[3], m[7], m[11]};
  for (int r = 0; r < 3; ++r) {
    out[4 * r + 0] = static_cast<float>(inv[3 * r + 0]);
    out[4 * r + 1] = static_cast<float>(inv[3 * r + 1]);
    out[4 * r + 2] = static_cast<float>(inv[3 * r + 2]);
    out[4 * r + 3] =
        static_cast<float>(-(inv[3 * r] * t[0] + inv[3 * r + 1] * t[1] + inv[3 * r + 2] * t[2]));
  }
}

}  // namespace

std::vector<BvhNode> build_hierarchy(std::span<const ItemBox> boxes, std::vector<int32_t>& order,
                                     int max_leaf) {
  std::vector<BvhNode> nodes(1);
  order.resize(boxes.size());
  std::iota(order.begin(), order.end(), 0);
  if (boxes.empty()) return nodes;
  nodes.reserve(2 * boxes.size());
  Builder builder{boxes, {}, order, nodes, std::max(max_leaf, 1)};
  builder.centroids.resize(boxes.size());
  for (size_t i = 0; i < boxes.size(); ++i) {
    builder.centroids[i] = (boxes[i].lo + boxes[i].hi) * 0.5f;
  }
  builder.build(0, 0, static_cast<int32_t>(boxes.size()), 0);
  return nodes;
}

void BvhScene::build(std::span<const BvhMeshInput> mesh_inputs,
                     std::span<const BvhInstanceInput> instance_inputs) {
  *this = BvhScene{};
  meshes.reserve(mesh_inputs.size());
  for (const BvhMeshInput& mesh : mesh_inputs) {
    BvhMeshRecord record;
    record.node_offset = static_cast<int32_t>(mesh_nodes.size());
    record.triangle_offset = static_cast<int32_t>(triangles.size());
    record.normal_offset = -1;
    if (!mesh.normals.empty()) {
      record.normal_offset = static_cast<int32_t>(normals.size());
      normals.insert(normals.end(), mesh.normals.begin(), mesh.normals.end());
    }
    // Every triangle keeps its slot in mesh_triangles (shading normals are looked up by the
    // triangle index); only traceable ones enter the hierarchy.
    mesh_triangles.insert(mesh_triangles.end(), mesh.triangles.begin(), mesh.triangles.end());
    std::vector<ItemBox> boxes;
    std::vector<int32_t> ids;
    boxes.reserve(mesh.triangles.size());
    ItemBox mesh_box{{1.0f, 1.0f, 1.0f}, {-1.0f, -1.0f, -1.0f}};
    for (size_t t = 0; t < mesh.triangles.size(); ++t) {
      const int3 tri = mesh.triangles[t];
      const float3 a = mesh.vertices[tri.x], b = mesh.vertices[tri.y], c = mesh.vertices[tri.z];
      if (!traceable(a) || !traceable(b) || !traceable(c)) continue;
      const ItemBox box{min3(a, min3(b, c)), max3(a, max3(b, c))};
      boxes.push_back(box);
      ids.push_back(static_cast<int32_t>(t));
      if (mesh_box.lo.x > mesh_box.hi.x) {
        mesh_box = box;
      } else {
        mesh_box = ItemBox{min3(mesh_box.lo, box.lo), max3(mesh_box.hi, box.hi)};
      }
    }
    mesh_boxes.push_back(mesh_box);
    std::vector<int32_t> order;
    const std::vector<BvhNode> nodes = build_hierarchy(boxes, order);
    mesh_nodes.insert(mesh_nodes.end(), nodes.begin(), nodes.end());
    for (int32_t k : order) {
      const int3 tri = mesh.triangles[ids[k]];
      triangles.push_back(
          BvhTriangle{mesh.vertices[tri.x], mesh.vertices[tri.y], mesh.vertices[tri.z], ids[k]});
    }
    record.n_triangles = static_cast<int32_t>(boxes.size());
    meshes.push_back(record);
  }
  // Material and global offsets: instances in insertion order, each adding its mesh's
  // triangles (all of them, traceable or not).
  instances.resize(instance_inputs.size());
  int64_t offset = 0;
  for (size_t i = 0; i < instance_inputs.size(); ++i) {
    const BvhMeshInput& mesh = mesh_inputs[instance_inputs[i].mesh_id];
    instances[i].mesh_id = instance_inputs[i].mesh_id;
    instances[i].material_id = mesh.material_id;
    instances[i].primitive_offset = static_cast<int32_t>(offset);
    offset += static_cast<int64_t>(mesh.triangles.size());
  }
  build_top_(instance_inputs);
}

void BvhScene::refit(std::span<const BvhInstanceInput> instance_inputs) {
  build_top_(instance_inputs);
}

void BvhScene::build_top_(std::span<const BvhInstanceInput> instance_inputs) {
  std::vector<ItemBox> boxes;
  std::vector<int32_t> ids;
  for (size_t i = 0; i < instance_inputs.size(); ++i) {
    const float* m = instance_inputs[i].transform;
    BvhInstanceRecord& record = instances[i];
    invert_affine(m, record.world_to_object);
    instance_normal_matrix(m, record.normal_matrix);
    const ItemBox& mb = mesh_boxes[record.mesh_id];
    if (!(mb.lo.x <= mb.hi.x)) continue;  // nothing traceable in this mesh
    ItemBox world{{std::numeric_limits<float>::max(), std::numeric_limits<float>::max(),
                   std::numeric_limits<float>::max()},
                  {-std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
                   -std::numeric_limits<float>::max()}};
    for (int corner = 0; corner < 8; ++corner) {
      const float3 c{(corner & 1) ? mb.hi.x : mb.lo.x, (corner & 2) ? mb.hi.y : mb.lo.y,
                     (corner & 4) ? mb.hi.z : mb.lo.z};
      const float3 w = transform_point(m, c);
      world.lo = min3(world.lo, w);
      world.hi = max3(world.hi, w);
    }
    // Widen by a relative ulp or two: the traversal transforms rays, not boxes.
    const float3 pad = (max3(world.hi - world.lo, float3{0.0f, 0.0f, 0.0f}) +
                        float3{std::fabs(world.lo.x) + std::fabs(world.hi.x),
                               std::fabs(world.lo.y) + std::fabs(world.hi.y),
                               std::fabs(world.lo.z) + std::fabs(world.hi.z)}) *
                       1e-6f;
    boxes.push_back(ItemBox{world.lo - pad, world.hi + pad});
    ids.push_back(static_cast<int32_t>(i));
  }
  std::vector<int32_t> order;
  top_nodes = build_hierarchy(boxes, order, 2);
  top_items.resize(order.size());
  for (size_t k = 0; k < order.size(); ++k) top_items[k] = ids[order[k]];
  if (boxes.empty()) top_nodes.clear();
}

BvhSceneView BvhScene::view() const {
  BvhSceneView v;
  v.top_nodes = top_nodes.data();
  v.top_items = top_items.data();
  v.instances = instances.data();
  v.meshes = meshes.data();
  v.mesh_nodes = mesh_nodes.data();
  v.triangles = triangles.data();
  v.mesh_triangles = mesh_triangles.data();
  v.normals = normals.data();
  v.n_top_nodes = static_cast<int32_t>(top_nodes.size());
  v.n_instances = static_cast<int32_t>(instances.size());
  return v;
}

}  // namespace tesk::bvh
