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
inline void init_ray_hit(RTCRayHit& rh, const float3& origin, const float3& direction, float t_near,
                         float t_far) {
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

/// Rays of one packet query.
inline constexpr int kPacketWidth = 16;

/// Fills lane `i` of a packet as `init_ray_hit` fills one ray.
inline void set_packet_lane(RTCRayHit16& p, int i, const float3& origin, const float3& direction,
                            float t_near, float t_far) {
  p.ray.org_x[i] = origin.x;
  p.ray.org_y[i] = origin.y;
  p.ray.org_z[i] = origin.z;
  p.ray.tnear[i] = t_near;
  p.ray.dir_x[i] = direction.x;
  p.ray.dir_y[i] = direction.y;
  p.ray.dir_z[i] = direction.z;
  p.ray.time[i] = 0.0f;
  p.ray.tfar[i] = t_far;
  p.ray.mask[i] = kAllRaysMask;
  p.ray.id[i] = static_cast<unsigned>(i);
  p.ray.flags[i] = 0;
  p.hit.primID[i] = RTC_INVALID_GEOMETRY_ID;
  p.hit.geomID[i] = RTC_INVALID_GEOMETRY_ID;
  for (unsigned level = 0; level < RTC_MAX_INSTANCE_LEVEL_COUNT; ++level) {
    p.hit.instID[level][i] = RTC_INVALID_GEOMETRY_ID;
  }
}

/// Fills lane `i` of an occlusion packet as `init_ray` fills one ray.
inline void set_packet_lane(RTCRay16& p, int i, const float3& origin, const float3& direction,
                            float t_near, float t_far) {
  p.org_x[i] = origin.x;
  p.org_y[i] = origin.y;
  p.org_z[i] = origin.z;
  p.tnear[i] = t_near;
  p.dir_x[i] = direction.x;
  p.dir_y[i] = direction.y;
  p.dir_z[i] = direction.z;
  p.time[i] = 0.0f;
  p.tfar[i] = t_far;
  p.mask[i] = kAllRaysMask;
  p.id[i] = static_cast<unsigned>(i);
  p.flags[i] = 0;
}

/// Closest-hit query of the lanes whose `valid` entry is -1 (others 0). `coherent` tells the
/// library that the rays are neighbours (camera rays of adjacent pixels, parallel sun rays).
inline void intersect16(const int* valid, RTCScene scene, RTCRayHit16& packet, bool coherent) {
#if TESK_EMBREE_MAJOR == 4
  RTCIntersectArguments args;
  rtcInitIntersectArguments(&args);
  args.flags = coherent ? RTC_RAY_QUERY_FLAG_COHERENT : RTC_RAY_QUERY_FLAG_INCOHERENT;
  rtcIntersect16(valid, scene, &packet, &args);
#else
  RTCIntersectContext context;
  rtcInitIntersectContext(&context);
  context.flags =
      coherent ? RTC_INTERSECT_CONTEXT_FLAG_COHERENT : RTC_INTERSECT_CONTEXT_FLAG_INCOHERENT;
  rtcIntersect16(valid, scene, &context, &packet);
#endif
}

/// Occlusion query of the valid lanes; a blocked lane gets tfar = -inf.
inline void occluded16(const int* valid, RTCScene scene, RTCRay16& packet, bool coherent) {
#if TESK_EMBREE_MAJOR == 4
  RTCOccludedArguments args;
  rtcInitOccludedArguments(&args);
  args.flags = coherent ? RTC_RAY_QUERY_FLAG_COHERENT : RTC_RAY_QUERY_FLAG_INCOHERENT;
  rtcOccluded16(valid, scene, &packet, &args);
#else
  RTCIntersectContext context;
  rtcInitIntersectContext(&context);
  context.flags =
      coherent ? RTC_INTERSECT_CONTEXT_FLAG_COHERENT : RTC_INTERSECT_CONTEXT_FLAG_INCOHERENT;
  rtcOccluded16(valid, scene, &context, &packet);
#endif
}

/// Lets every ray (mask all ones) see the geometry, whatever the library's default mask.
inline void set_geometry_mask_all(RTCGeometry geometry) {
  rtcSetGeometryMask(geometry, kAllRaysMask);
}

}  // namespace tesk::embree
