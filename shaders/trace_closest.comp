#version 460
// Closest hits of a batch of rays, one invocation per ray.
#extension GL_GOOGLE_include_directive : require
#include "scene_bindings.glsl"


layout(set = 0, binding = 5, scalar) readonly buffer Rays { TraceRay rays[]; };
layout(set = 0, binding = 6, scalar) writeonly buffer Hits { TraceHit hits[]; };
layout(push_constant, scalar) uniform Push { TracePush push; };

void main() {
  const uint i = work_index();
  if (i >= push.count) return;
  const TraceRay ray = rays[i];
  const vec3 o = vec3(ray.origin[0], ray.origin[1], ray.origin[2]);
  const vec3 d = vec3(ray.direction[0], ray.direction[1], ray.direction[2]);
  const SurfaceHit h = trace_closest_hit(o, d, ray.t_min, ray.t_max);
  TraceHit out_hit;
  out_hit.t = h.t;
  out_hit.instance_id = h.instance_id;
  out_hit.primitive_id = h.primitive_id;
  out_hit.global_primitive_id = h.global_primitive_id;
  out_hit.material_id = h.material_id;
  out_hit.hit = h.hit ? 1u : 0u;
  out_hit.is_back_face = h.is_back_face ? 1u : 0u;
  out_hit.normal = float[3](h.normal.x, h.normal.y, h.normal.z);
  out_hit.geometric_normal =
      float[3](h.geometric_normal.x, h.geometric_normal.y, h.geometric_normal.z);
  hits[i] = out_hit;
}
