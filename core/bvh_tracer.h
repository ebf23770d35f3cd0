#pragma once

// The two-level hierarchy of core/bvh.h as the tracer of the shared path code
// (core/surface_path.h): what the CUDA kernels trace with, and what the host test suite runs
// over the host copy of the same arrays.

#include "core/bvh.h"
#include "core/host_device.h"
#include "core/scene_types.h"
#include "core/transport_constants.h"
#include "core/vec.h"

namespace tesk::bvh {

/// Closest-hit and shadow queries over one hierarchy (all pointers on the tracing side).
struct BvhTracer {
  BvhSceneView scene{};

  /// Closest hit in [t_min, t_max], with the fields of the CPU scene manager's record.
  TESK_HOST_DEVICE HitRecord trace(const float3& o, const float3& d, float t_min,
                                   float t_max) const {
    const TraceResult r = trace_closest_ray(scene, o, d, t_min, t_max);
    HitRecord h;
    h.t = r.t;
    if (r.hit == 0) return h;
    h.hit = true;
    h.position = o + r.t * d;
    h.normal = r.normal;
    h.geometric_normal = r.geometric_normal;
    h.material_id = r.material_id;
    h.primitive_id = r.primitive_id;
    h.global_primitive_id = r.global_primitive_id;
    h.instance_id = r.instance_id;
    h.is_back_face = r.is_back_face != 0;
    return h;
  }

  /// The closest hit with `normal` set to the geometric normal, as the walks through media
  /// read it (they cross boundaries and scatter off geometric faces).
  TESK_HOST_DEVICE HitRecord trace_geometric(const float3& o, const float3& d, float t_min,
                                             float t_max) const {
    HitRecord h = trace(o, d, t_min, t_max);
    h.normal = h.geometric_normal;
    return h;
  }

  /// Whether anything lies along the ray between kRayTMin and t_max.
  TESK_HOST_DEVICE bool shadow(const float3& o, const float3& d, float t_max) const {
    return occluded(scene, o, d, transport::kRayTMin, t_max);
  }
};

}  // namespace tesk::bvh
