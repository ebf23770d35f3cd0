#pragma once

// The one place where Embree headers are included. It hides the differences between
// Embree 3.13 and Embree 4.x that this project touches:
//  - the query context (RTCIntersectContext in 3, optional RTCIntersectArguments in 4);
//  - the default geometry mask (all ones in 3, 0x1 in 4): callers set masks explicitly with
//    `kAllRaysMask` through `set_geometry_mask_all`.
#if TESK_EMBREE_MAJOR == 4
#include <embree4/rtcore.h>
#elif TESK_EMBREE_MAJOR == 3
#include <embree3/rtcore.h>
#else
#error "TESK_EMBREE_MAJOR must be 3 or 4 (set by the build)"
#endif

#include <cstdint>

#include "core/vec.h"

namespace tesk::embree {

/// Ray mask that every geometry of the project accepts.
inline constexpr unsigned kAllRaysMask = 0xFFFFFFFFu;

/// Fills every field of a ray: origin, direction, interval, mask all ones, no flags, time 0.
inline void init_ray(RTCRay& ray, const float3& origin, const float3& direction, float t_near,
                     float t_far) {
  ray.org_x = origin.x;
  ray.org_y = origin.y;
  ray.org_z = origin.z;
  ray.tnear = t_near;
  ray.dir_x = direction.x;
  ray.dir_y = direction.y;
  ray.dir_z = direction.z;
  ray.time = 0.0f;
  ray.tfar = t_far;
  ray.mask = kAllRaysMask;
  ray.id = 0;
  ray.flags = 0;
}

/// Fills a ray-hit record: the ray as in `init_ray` and an invalid hit.
inline void init_ray_hit(RTCRayHit& rh, const float3& origin, const float3& direction,
                         float t_near, float t_far) {
  init_ray(rh.ray, origin, direction, t_near, t_far);
  rh.hit.Ng_x = rh.hit.Ng_y = rh.hit.Ng_z = 0.0f;
  rh.hit.u = rh.hit.v = 0.0f;
  rh.hit.primID = RTC_INVALID_GEOMETRY_ID;
  rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
  for (unsigned level = 0; level < RTC_MAX_INSTANCE_LEVEL_COUNT; ++level) {
    rh.hit.instID[level] = RTC_INVALID_GEOMETRY_ID;
  }
}

/// One closest-hit query against a committed scene.
inline void intersect1(RTCScene scene, RTCRayHit& rh) {
#if TESK_EMBREE_MAJOR == 4
  rtcIntersect1(scene, &rh);
#else
  RTCIntersectContext context;
  rtcInitIntersectContext(&context);
  rtcIntersect1(scene, &context, &rh);
#endif
}

/// One occlusion query; true when the ray is blocked (Embree sets tfar to -inf).
inline bool occluded1(RTCScene scene, RTCRay& ray) {
#if TESK_EMBREE_MAJOR == 4
  rtcOccluded1(scene, &ray);
#else
  RTCIntersectContext context;
  rtcInitIntersectContext(&context);
  rtcOccluded1(scene, &context, &ray);
#endif
  return ray.tfar < 0.0f;
}

/// Lets every ray (mask all ones) see the geometry, whatever the library's default mask.
inline void set_geometry_mask_all(RTCGeometry geometry) {
  rtcSetGeometryMask(geometry, kAllRaysMask);
}

}  // namespace tesk::embree
