// Push constants and buffer layouts of the resident Turbid shaders, shared by the Vulkan host
// code and the GLSL sources (the subset of core/shared_language.h).
#ifndef TESK_TURBID_RECORDS_H
#define TESK_TURBID_RECORDS_H

#include "core/shared_language.h"

#ifdef __cplusplus
#include <type_traits>
namespace tesk::vulkan::device {
#endif

// State aggregation (turbid_state.spv): invocation k = g * n_fields + f forms the weighted sums
// of field f over the samples [group_begin[g], group_end[g]) in pool order; the f = 0
// invocation also sums p_sun and the converged flags. Inputs per pool sample: weights
// (double), p_sun, converged (sunlit and shaded both 1), and the requested fields of the sunlit
// and shaded records, sample-major [n_samples x n_fields].
struct TurbidStatePush {
  int n_groups;
  int n_fields;
};
// Sums per group, [n_groups x (kTurbidGroupSums + kTurbidFieldSums n_fields)] doubles.
TESK_SHARED_CONST int kTurbidGroupPSun = 0;
TESK_SHARED_CONST int kTurbidGroupConverged = 1;  // 1 or 0
TESK_SHARED_CONST int kTurbidGroupSums = 2;
TESK_SHARED_CONST int kTurbidFieldMean = 0;
TESK_SHARED_CONST int kTurbidFieldSecondMoment = 1;
TESK_SHARED_CONST int kTurbidFieldSunlit = 2;
TESK_SHARED_CONST int kTurbidFieldShaded = 3;
TESK_SHARED_CONST int kTurbidFieldSums = 4;

// Leaf-area sampling candidates (turbid_sampling.spv): invocation j generates candidate
// first + j of one owner (core/turbid_sampling.h's generate_candidate); the owner's world
// triangles are doubles, nine per triangle; the 5 x 32 Sobol direction numbers come from the
// host's make_sobol_directions.
struct TurbidSamplingPush {
  uint first;  // first candidate index
  uint count;  // candidates of this dispatch
  uint n_triangles;
  int orientation;  // sign of the boundary's signed volume
  uint leaf_angle;  // de Wit code 0..5
  uint stream_key;
  float bounds_min[3];
  float bounds_max[3];
};

#ifdef __cplusplus
static_assert(sizeof(TurbidSamplingPush) == 48);
static_assert(sizeof(TurbidStatePush) == 8 && std::is_trivially_copyable_v<TurbidStatePush>);
}  // namespace tesk::vulkan::device
#endif

#endif  // TESK_TURBID_RECORDS_H
