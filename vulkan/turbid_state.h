#pragma once

// Resident Turbid state aggregation on the device: the host validates the request and forms the
// groups and leaf-area weights exactly as the CPU does (turbid::aggregate_state); the pinned
// shader "turbid_state" forms the weighted sums.

#include <optional>
#include <string>
#include <vector>

#include "turbid/state_ops.h"
#include "vulkan/scene_manager.h"

namespace tesk::vulkan {

/// turbid::aggregate_state of the scene record's resident state with the weighted sums of the
/// pinned "turbid_state" shader (one invocation per group and field, samples in pool order, in
/// double precision): the CPU's messages, and those of read_verified_turbid_spirv.
turbid::TurbidAggregation aggregate_turbid_state(
    VulkanSceneManager& scene, const turbid::TurbidStateToken& token,
    const std::vector<std::string>& fields, const std::string& diagnostics,
    const std::optional<std::vector<uint64_t>>& requested);

/// turbid::weighted_reduction of plain values with the weighted sums of the pinned
/// "turbid_state" shader: the CPU's checks and messages and the same normalised weights in
/// double; the values reach the shader as float32, as state fields do, so the moments equal the
/// CPU's for float32 values. Throws std::invalid_argument "Vulkan weighted Turbid reduction
/// supports float32 values" for a finite value beyond the float32 range.
turbid::TurbidFieldMoments weighted_reduction(VulkanSceneManager& scene,
                                              const std::vector<double>& values,
                                              const std::vector<double>& weights);

}  // namespace tesk::vulkan
