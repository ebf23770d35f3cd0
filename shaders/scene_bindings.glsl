// The device scene every shader sees: the top-level structure and the concatenated meshes.
// Binding numbers 0..4 are the scene's; a workflow's own buffers start at 5.
#extension GL_EXT_ray_query : require
#extension GL_EXT_scalar_block_layout : require

#include "device_records.h"
#include "core/instance_normals.h"

// Workgroup width: specialisation constant 0, set by the host to kWorkgroupSize.
layout(local_size_x_id = 0) in;

layout(set = 0, binding = 0) uniform accelerationStructureEXT u_scene;
layout(set = 0, binding = 1, scalar) readonly buffer Instances { InstanceRecord instances[]; };
layout(set = 0, binding = 2, scalar) readonly buffer Vertices { float vertices[]; };
layout(set = 0, binding = 3, scalar) readonly buffer Normals { float vertex_normals[]; };
layout(set = 0, binding = 4, scalar) readonly buffer Indices { uint indices[]; };

// Index of this invocation's work item: workgroups are laid out in rows of gl_NumWorkGroups.x.
uint work_index() {
  return (gl_WorkGroupID.y * gl_NumWorkGroups.x + gl_WorkGroupID.x) * gl_WorkGroupSize.x +
         gl_LocalInvocationID.x;
}

// What the transport needs of a closest hit (the same fields as the CPU hit record).
struct SurfaceHit {
  bool hit;
  float t;
  vec3 position;
  vec3 normal;
  vec3 geometric_normal;
  int material_id;
  int primitive_id;
  int global_primitive_id;
  int instance_id;
  bool is_back_face;
};

vec3 mesh_vertex(int index) {
  return vec3(vertices[3 * index], vertices[3 * index + 1], vertices[3 * index + 2]);
}

vec3 mesh_normal(int index) {
  return vec3(vertex_normals[3 * index], vertex_normals[3 * index + 1],
              vertex_normals[3 * index + 2]);
}

bool finite3(vec3 v) {
  return !any(isnan(v)) && !any(isinf(v));
}

// Closest hit in [max(t_min, 0), t_max]. Rays with non-finite components, a zero direction or
// an empty interval miss. Normals follow the CPU scene manager: the object-space
// (P1-P0)x(P2-P0) and the interpolated vertex normal mapped by the instance's normal matrix
// (core/instance_normals.h); the geometric normal faces the ray and the shading normal lies on its side.
SurfaceHit trace_closest_hit(vec3 origin, vec3 direction, float t_min, float t_max) {
  SurfaceHit h;
  h.hit = false;
  h.t = t_max;
  h.position = vec3(0.0);
  h.normal = vec3(0.0, 0.0, 1.0);
  h.geometric_normal = vec3(0.0, 0.0, 1.0);
  h.material_id = -1;
  h.primitive_id = -1;
  h.global_primitive_id = -1;
  h.instance_id = -1;
  h.is_back_face = false;
  t_min = max(t_min, 0.0);
  if (!finite3(origin) || !finite3(direction) || dot(direction, direction) == 0.0 ||
      isnan(t_min) || isnan(t_max) || !(t_min < t_max)) {
    return h;
  }
  rayQueryEXT q;
  rayQueryInitializeEXT(q, u_scene, gl_RayFlagsOpaqueEXT, 0xFF, origin, t_min, direction, t_max);
  while (rayQueryProceedEXT(q)) {
  }
  if (rayQueryGetIntersectionTypeEXT(q, true) != gl_RayQueryCommittedIntersectionTriangleEXT) {
    return h;
  }
  const int inst = rayQueryGetIntersectionInstanceCustomIndexEXT(q, true);
  const int prim = rayQueryGetIntersectionPrimitiveIndexEXT(q, true);
  const vec2 bary = rayQueryGetIntersectionBarycentricsEXT(q, true);
  const InstanceRecord r = instances[inst];
  h.hit = true;
  h.t = rayQueryGetIntersectionTEXT(q, true);
  h.position = origin + h.t * direction;
  h.material_id = r.material_id;
  h.instance_id = inst;
  h.primitive_id = prim;
  h.global_primitive_id = r.primitive_offset + prim;
  const int tri = 3 * (r.triangle_offset + prim);
  const int i0 = r.vertex_offset + int(indices[tri]);
  const int i1 = r.vertex_offset + int(indices[tri + 1]);
  const int i2 = r.vertex_offset + int(indices[tri + 2]);
  const vec3 p0 = mesh_vertex(i0);
  const vec3 ng_obj = cross(mesh_vertex(i1) - p0, mesh_vertex(i2) - p0);
  vec3 ng = normalize(normal_to_world(r.normal_matrix, ng_obj));
  vec3 ns = ng;
  if (r.has_normals != 0) {
    const float u = bary.x;
    const float v = bary.y;
    const vec3 n_obj =
        (1.0 - u - v) * mesh_normal(i0) + u * mesh_normal(i1) + v * mesh_normal(i2);
    const vec3 n_world = normalize(normal_to_world(r.normal_matrix, n_obj));
    if (dot(n_world, n_world) > 0.0) ns = n_world;
  }
  h.is_back_face = dot(direction, ng) > 0.0;
  if (h.is_back_face) ng = -ng;
  if (dot(ns, ng) < 0.0) ns = -ns;
  h.geometric_normal = ng;
  h.normal = ns;
  return h;
}

// True when something lies between t_min and t_max along the ray.
bool occluded(vec3 origin, vec3 direction, float t_min, float t_max) {
  if (!finite3(origin) || !finite3(direction) || !(t_min < t_max)) return false;
  rayQueryEXT q;
  rayQueryInitializeEXT(q, u_scene,
                        gl_RayFlagsOpaqueEXT | gl_RayFlagsTerminateOnFirstHitEXT, 0xFF, origin,
                        t_min, direction, t_max);
  while (rayQueryProceedEXT(q)) {
  }
  return rayQueryGetIntersectionTypeEXT(q, true) == gl_RayQueryCommittedIntersectionTriangleEXT;
}
