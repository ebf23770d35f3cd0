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

}  // namespace tesk::vulkan
