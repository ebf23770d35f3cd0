#pragma once

// A two-level bounding-volume hierarchy that host and device code traverse with the same
// functions: one binary BVH per mesh (object space) and one over the instances' world boxes.
// The host builds and flattens it (core/host/bvh_builder.h); a device backend copies the arrays
// and hands the traversal a view of device pointers.

#include <cstdint>

#include "core/host_device.h"
#include "core/instance_normals.h"
#include "core/vec.h"

namespace tesk::bvh {

/// One node of a flattened binary BVH (32 bytes, one half cache line).
struct BvhNode {
  float lo[3] = {};   ///< Box minimum.
  int32_t first = 0;  ///< Interior: index of the left child (the right one follows it).
                      ///< Leaf: first entry in the item list.
  float hi[3] = {};   ///< Box maximum.
  int32_t count = 0;  ///< Leaf: number of items (> 0). Interior: 0.
};
TESK_DEVICE_RECORD(BvhNode, 32);

/// One triangle in object space, in the order the mesh BVH's leaves list them.
struct BvhTriangle {
  float3 v0{};            ///< First vertex.
  float3 v1{};            ///< Second vertex.
  float3 v2{};            ///< Third vertex.
  int32_t primitive = 0;  ///< Triangle index within its mesh.
};
TESK_DEVICE_RECORD(BvhTriangle, 40);

/// Where one mesh's hierarchy lives in the shared arrays.
struct BvhMeshRecord {
  int32_t node_offset = 0;      ///< Index of the mesh's root in `mesh_nodes`.
  int32_t triangle_offset = 0;  ///< Index of the mesh's first triangle in `triangles`.
  int32_t n_triangles = 0;      ///< Triangles of the mesh (0: nothing to hit).
  int32_t normal_offset = -1;   ///< Index of the mesh's first vertex normal; -1 without normals.
};
TESK_DEVICE_RECORD(BvhMeshRecord, 16);

/// One placed copy of a mesh as the traversal needs it.
struct BvhInstanceRecord {
  float world_to_object[12] = {};  ///< Row-major 3x4 inverse of the instance transform.
  float normal_matrix[9] = {};     ///< Object-to-world normal map (core/instance_normals.h).
  int32_t mesh_id = 0;             ///< Instanced mesh.
  int32_t material_id = 0;         ///< Material of that mesh.
  int32_t primitive_offset = 0;    ///< Global index of the instance's first triangle.
};
TESK_DEVICE_RECORD(BvhInstanceRecord, 96);

/// The arrays of a built scene, in host or device memory (all on the same side).
struct BvhSceneView {
  const BvhNode* top_nodes = nullptr;            ///< Hierarchy over the instances.
  const int32_t* top_items = nullptr;            ///< Instance ids listed by top-level leaves.
  const BvhInstanceRecord* instances = nullptr;  ///< One per instance.
  const BvhMeshRecord* meshes = nullptr;         ///< One per mesh.
  const BvhNode* mesh_nodes = nullptr;           ///< Every mesh hierarchy, one after another.
  const BvhTriangle* triangles = nullptr;        ///< Every mesh's triangles in leaf order.
  const int3* mesh_triangles = nullptr;  ///< Vertex indices in mesh order (at triangle_offset).
  const float3* normals = nullptr;       ///< Every mesh's vertex normals (at normal_offset).
  int32_t n_top_nodes = 0;               ///< 0 when the scene has no instances.
  int32_t n_instances = 0;               ///< Instances.
};
TESK_DEVICE_RECORD(BvhSceneView, 72);

/// Deepest hierarchy the builder emits; the traversal stacks hold this many entries.
inline constexpr int kMaxBvhDepth = 64;

/// The closest hit found by a traversal.
struct BvhHit {
  float t = 0.0f;          ///< Distance in units of the world-space direction.
  float u = 0.0f;          ///< Barycentric weight of the second vertex.
  float v = 0.0f;          ///< Barycentric weight of the third vertex.
  int32_t instance = -1;   ///< Instance index; -1 on a miss.
  int32_t primitive = -1;  ///< Triangle index within the mesh.
  float3 object_normal{};  ///< Object-space (V1 - V0) x (V2 - V0), not normalised.
};
TESK_DEVICE_RECORD(BvhHit, 32);

/// Ray with precomputed reciprocal direction for slab tests.
struct BvhRay {
  float3 origin{};
  float3 direction{};
  float3 inv_direction{};
};

TESK_HOST_DEVICE inline BvhRay make_bvh_ray(float3 origin, float3 direction) {
  // 1/0 gives the signed infinity that the slab test needs for an axis-parallel ray.
  return BvhRay{origin, direction,
                float3{1.0f / direction.x, 1.0f / direction.y, 1.0f / direction.z}};
}

/// Entry distance of the ray into a node's box within [t_min, t_max] (0 when it starts inside
/// or t_min is negative), or a negative value when it misses. The exit distance is widened by a few
/// ulps so that rounding never drops a box that a triangle inside it touches.
TESK_HOST_DEVICE inline float box_entry(const BvhRay& r, const BvhNode& n, float t_min,
                                        float t_max) {
  const float o[3] = {r.origin.x, r.origin.y, r.origin.z};
  const float inv[3] = {r.inv_direction.x, r.inv_direction.y, r.inv_direction.z};
  float t0 = t_min, t1 = t_max;
  for (int a = 0; a < 3; ++a) {
    float ta = (n.lo[a] - o[a]) * inv[a];
    float tb = (n.hi[a] - o[a]) * inv[a];
    if (ta > tb) {
      const float s = ta;
      ta = tb;
      tb = s;
    }
    // NaN (origin on a slab plane of an axis-parallel ray) leaves the interval unchanged.
    t0 = ta > t0 ? ta : t0;
    tb *= 1.0f + 4.8e-7f;  // 2 * gamma(3) of pbrt's robust slab test
    t1 = tb < t1 ? tb : t1;
  }
  return t0 <= t1 ? (t0 > 0.0f ? t0 : 0.0f) : -1.0f;
}

/// Moeller-Trumbore test of one triangle (both faces). Updates `t_max`, `u` and `v` and returns
/// true when the triangle is hit within (t_min, t_max].
TESK_HOST_DEVICE inline bool intersect_triangle(const BvhRay& r, const BvhTriangle& tri,
                                                float t_min, float& t_max, float& u_out,
                                                float& v_out) {
  const float3 e1 = tri.v1 - tri.v0;
  const float3 e2 = tri.v2 - tri.v0;
  const float3 p = cross(r.direction, e2);
  const float det = dot(e1, p);
  if (det == 0.0f || !(det == det)) return false;
  const float inv_det = 1.0f / det;
  const float3 s = r.origin - tri.v0;
  const float u = dot(s, p) * inv_det;
  if (!(u >= 0.0f && u <= 1.0f)) return false;
  const float3 q = cross(s, e1);
  const float v = dot(r.direction, q) * inv_det;
  if (!(v >= 0.0f && u + v <= 1.0f)) return false;
  const float t = dot(e2, q) * inv_det;
  if (!(t > t_min && t <= t_max)) return false;
  t_max = t;
  u_out = u;
  v_out = v;
  return true;
}

/// Traverses one mesh hierarchy with an object-space ray. `any` stops at the first hit.
/// Returns true when a hit closer than `t_max` was found (then `t_max`, `hit` are updated).
TESK_HOST_DEVICE inline bool traverse_mesh(const BvhSceneView& scene, const BvhMeshRecord& mesh,
                                           const BvhRay& r, float t_min, float& t_max, BvhHit& hit,
                                           bool any) {
  if (mesh.n_triangles <= 0) return false;
  const BvhNode* nodes = scene.mesh_nodes + mesh.node_offset;
  const BvhTriangle* tris = scene.triangles + mesh.triangle_offset;
  int32_t stack[kMaxBvhDepth];
  int sp = 0;
  int32_t node = 0;
  bool found = false;
  if (box_entry(r, nodes[0], t_min, t_max) < 0.0f) return false;
  for (;;) {
    const BvhNode& n = nodes[node];
    if (n.count > 0) {
      for (int32_t i = n.first; i < n.first + n.count; ++i) {
        float u, v;
        if (intersect_triangle(r, tris[i], t_min, t_max, u, v)) {
          found = true;
          hit.u = u;
          hit.v = v;
          hit.primitive = tris[i].primitive;
          hit.object_normal = cross(tris[i].v1 - tris[i].v0, tris[i].v2 - tris[i].v0);
          if (any) return true;
        }
      }
    } else {
      // Visit the nearer child first; keep the farther one for later.
      const int32_t left = n.first, right = n.first + 1;
      const float tl = box_entry(r, nodes[left], t_min, t_max);
      const float tr = box_entry(r, nodes[right], t_min, t_max);
      if (tl >= 0.0f && tr >= 0.0f) {
        const bool left_first = tl <= tr;
        stack[sp++] = left_first ? right : left;
        node = left_first ? left : right;
        continue;
      }
      if (tl >= 0.0f) {
        node = left;
        continue;
      }
      if (tr >= 0.0f) {
        node = right;
        continue;
      }
    }
    // Pop, skipping nodes that a closer hit has since ruled out.
    for (;;) {
      if (sp == 0) return found;
      node = stack[--sp];
      if (box_entry(r, nodes[node], t_min, t_max) >= 0.0f) break;
    }
  }
}

/// Closest (or, with `any`, some) hit of a world-space ray in (t_min, t_max]. On a hit returns
/// true and fills `hit`; t is measured in units of `direction`, as in the instance's object
/// space (the instance transform maps the parameter unchanged).
TESK_HOST_DEVICE inline bool traverse_scene(const BvhSceneView& scene, float3 origin,
                                            float3 direction, float t_min, float t_max, BvhHit& hit,
                                            bool any) {
  if (scene.n_top_nodes <= 0) return false;
  const BvhRay r = make_bvh_ray(origin, direction);
  int32_t stack[kMaxBvhDepth];
  int sp = 0;
  int32_t node = 0;
  bool found = false;
  if (box_entry(r, scene.top_nodes[0], t_min, t_max) < 0.0f) return false;
  for (;;) {
    const BvhNode& n = scene.top_nodes[node];
    if (n.count > 0) {
      for (int32_t i = n.first; i < n.first + n.count; ++i) {
        const int32_t id = scene.top_items[i];
        const BvhInstanceRecord& inst = scene.instances[id];
        const BvhRay local = make_bvh_ray(transform_point(inst.world_to_object, origin),
                                          transform_vector(inst.world_to_object, direction));
        if (traverse_mesh(scene, scene.meshes[inst.mesh_id], local, t_min, t_max, hit, any)) {
          found = true;
          hit.t = t_max;
          hit.instance = id;
          if (any) return true;
        }
      }
    } else {
      const int32_t left = n.first, right = n.first + 1;
      const float tl = box_entry(r, scene.top_nodes[left], t_min, t_max);
      const float tr = box_entry(r, scene.top_nodes[right], t_min, t_max);
      if (tl >= 0.0f && tr >= 0.0f) {
        const bool left_first = tl <= tr;
        stack[sp++] = left_first ? right : left;
        node = left_first ? left : right;
        continue;
      }
      if (tl >= 0.0f) {
        node = left;
        continue;
      }
      if (tr >= 0.0f) {
        node = right;
        continue;
      }
    }
    for (;;) {
      if (sp == 0) return found;
      node = stack[--sp];
      if (box_entry(r, scene.top_nodes[node], t_min, t_max) >= 0.0f) break;
    }
  }
}

/// Closest hit of a world-space ray in (t_min, t_max]; false on a miss.
TESK_HOST_DEVICE inline bool closest_hit(const BvhSceneView& scene, float3 origin, float3 direction,
                                         float t_min, float t_max, BvhHit& hit) {
  return traverse_scene(scene, origin, direction, t_min, t_max, hit, false);
}

/// True when anything lies along the ray in (t_min, t_max].
TESK_HOST_DEVICE inline bool occluded(const BvhSceneView& scene, float3 origin, float3 direction,
                                      float t_min, float t_max) {
  BvhHit hit;
  return traverse_scene(scene, origin, direction, t_min, t_max, hit, true);
}

/// What a closest-hit query reports, field for field as the CPU scene manager's hit record.
struct TraceResult {
  float t = 0.0f;                             ///< Hit distance; t_max on a miss.
  float3 normal{0.0f, 0.0f, 1.0f};            ///< Unit shading normal, same side as geometric.
  float3 geometric_normal{0.0f, 0.0f, 1.0f};  ///< Unit geometric normal facing the ray.
  int32_t material_id = -1;                   ///< Material of the hit mesh.
  int32_t primitive_id = -1;                  ///< Triangle index within the mesh.
  int32_t global_primitive_id = -1;           ///< Global primitive index.
  int32_t instance_id = -1;                   ///< Instance index.
  int32_t hit = 0;                            ///< 1 when something was hit.
  int32_t is_back_face = 0;                   ///< 1 when the ray met the side opposite Ng.
};
TESK_DEVICE_RECORD(TraceResult, 52);

TESK_HOST_DEVICE inline bool finite_ray_value(float x) {
  return x == x && x - x == 0.0f;  // false for NaN and infinities
}

/// Closest hit of one ray in [max(t_min, 0), t_max] with the normals and indices the CPU
/// scene manager reports. Rays with non-finite values, a zero direction or an empty interval
/// miss.
TESK_HOST_DEVICE inline TraceResult trace_closest_ray(const BvhSceneView& scene, float3 origin,
                                                      float3 direction, float t_min, float t_max) {
  TraceResult rec;
  rec.t = t_max;
  if (!finite_ray_value(origin.x) || !finite_ray_value(origin.y) || !finite_ray_value(origin.z) ||
      !finite_ray_value(direction.x) || !finite_ray_value(direction.y) ||
      !finite_ray_value(direction.z) || t_min != t_min || t_max != t_max) {
    return rec;
  }
  if (direction.x == 0.0f && direction.y == 0.0f && direction.z == 0.0f) return rec;
  t_min = t_min > 0.0f ? t_min : 0.0f;
  if (t_min > t_max) return rec;
  // The interval is closed at t_min as for the CPU scene manager: start just below it.
  const float t_open = t_min > 0.0f ? t_min * (1.0f - 1.2e-7f) : -1e-30f;
  BvhHit h;
  if (!closest_hit(scene, origin, direction, t_open, t_max, h)) return rec;
  const BvhInstanceRecord& inst = scene.instances[h.instance];
  const BvhMeshRecord& mesh = scene.meshes[inst.mesh_id];
  const float* m = inst.normal_matrix;
  rec.hit = 1;
  rec.t = h.t;
  rec.material_id = inst.material_id;
  rec.primitive_id = h.primitive;
  rec.global_primitive_id = inst.primitive_offset + h.primitive;
  rec.instance_id = h.instance;
  float3 ng = normalize(normal_to_world(m, h.object_normal));
  float3 ns = ng;
  if (mesh.normal_offset >= 0) {
    const int3 tri = scene.mesh_triangles[mesh.triangle_offset + h.primitive];
    const float3* n = scene.normals + mesh.normal_offset;
    const float3 n_obj = (1.0f - h.u - h.v) * n[tri.x] + h.u * n[tri.y] + h.v * n[tri.z];
    const float3 n_world = normalize(normal_to_world(m, n_obj));
    if (dot(n_world, n_world) > 0.0f) ns = n_world;
  }
  rec.is_back_face = dot(direction, ng) > 0.0f ? 1 : 0;
  if (rec.is_back_face) ng = -ng;
  if (dot(ns, ng) < 0.0f) ns = -ns;
  rec.geometric_normal = ng;
  rec.normal = ns;
  return rec;
}

}  // namespace tesk::bvh
