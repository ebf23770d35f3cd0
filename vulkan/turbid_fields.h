#pragma once

// Turbid fields on the device: the field builds, lookups and observation sources of
// turbid/fields.h with their data-parallel steps in the pinned shaders "turbid_field_assemble",
// "turbid_field_lookup" and "turbid_observation_source". The host keeps what the CPU does
// sequentially (checks, owner choice, the tree under its budget, commits) in the CPU's own code.

#include <string>
#include <vector>

#include "turbid/fields.h"
#include "turbid/states.h"
#include "vulkan/scene_manager.h"

namespace tesk::vulkan {

/// Residency identity of the fields assembled on the device.
inline constexpr const char* kTurbidFieldResidency = "vulkan.buffer.device_resident";

/// turbid::build_field on the scene record's resident state, with the orientation bins summed by
/// "turbid_field_assemble" (not committed). The CPU's messages and those of
/// read_verified_turbid_spirv; std::length_error beyond 2^32-1 samples or cells.
turbid::TurbidField build_turbid_field(VulkanSceneManager& scene,
                                       const turbid::TurbidStateToken& token,
                                       const turbid::TurbidFieldConfig& config,
                                       int64_t memory_budget);

/// turbid::lookup_field of a resident field with the descent, orientation bin and ancestor search
/// in "turbid_field_lookup": the same values, depths and failures, in the same query order.
turbid::TurbidFieldLookup lookup_turbid_field(VulkanSceneManager& scene,
                                              const turbid::TurbidField& field,
                                              const std::string& kind, const float* positions,
                                              const float* normals, size_t n,
                                              const turbid::TurbidFieldSelector* selector);

/// turbid::build_thermal_source with the radiance tables formed by "turbid_observation_source".
turbid::TurbidField build_turbid_thermal_source(VulkanSceneManager& scene,
                                                const turbid::TurbidFieldToken& token,
                                                const std::vector<float>& wavelengths_nm,
                                                const std::vector<float>& emissivity_front,
                                                const std::vector<float>& emissivity_back,
                                                int64_t memory_budget);

/// turbid::build_sif_source with the radiance tables formed by "turbid_observation_source".
turbid::TurbidField build_turbid_sif_source(VulkanSceneManager& scene,
                                            const turbid::TurbidFieldToken& token,
                                            const std::vector<float>& wavelengths_nm,
                                            const std::vector<float>& exitance_front,
                                            const std::vector<float>& exitance_back,
                                            int64_t memory_budget);

}  // namespace tesk::vulkan
