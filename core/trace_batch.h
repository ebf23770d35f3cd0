#pragma once

// Per-ray bodies of the batch tracing kernels. The CUDA kernels call them once per thread; the
// host runs the same functions in a loop (tests, and the reference for the device results).

#include <cstdint>

#include "core/bvh.h"
#include "core/host_device.h"

namespace tesk::bvh {

/// Launch parameters of a closest-hit or occlusion batch (all pointers on the tracing side).
struct TraceBatchParams {
  BvhSceneView scene{};               ///< The hierarchy to trace.
  const float* origins = nullptr;     ///< [count][3] world-space origins.
  const float* directions = nullptr;  ///< [count][3] directions (any length).
  TraceResult* results = nullptr;     ///< [count] closest hits (closest-hit batches).
  int32_t* occluded = nullptr;        ///< [count] 1 when blocked (occlusion batches).
  int64_t count = 0;                  ///< Number of rays.
  float t_min = 1e-4f;                ///< Smallest accepted hit distance.
  float t_max = 1e30f;                ///< Largest accepted hit distance.
};
TESK_DEVICE_RECORD(TraceBatchParams, 120);

/// Closest hit of ray `i` of the batch into results[i].
TESK_HOST_DEVICE inline void trace_closest_item(const TraceBatchParams& p, int64_t i) {
  const float* o = p.origins + 3 * i;
  const float* d = p.directions + 3 * i;
  p.results[i] = trace_closest_ray(p.scene, float3{o[0], o[1], o[2]}, float3{d[0], d[1], d[2]},
                                   p.t_min, p.t_max);
}

/// Whether anything blocks ray `i` of the batch in (t_min, t_max], into occluded[i].
TESK_HOST_DEVICE inline void trace_occluded_item(const TraceBatchParams& p, int64_t i) {
  const float* o = p.origins + 3 * i;
  const float* d = p.directions + 3 * i;
  p.occluded[i] =
      occluded(p.scene, float3{o[0], o[1], o[2]}, float3{d[0], d[1], d[2]}, p.t_min, p.t_max) ? 1
                                                                                              : 0;
}

}  // namespace tesk::bvh
