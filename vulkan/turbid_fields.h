#pragma once

// Turbid fields on the device: the field builds, lookups and observation sources of
// turbid/fields.h with their data-parallel steps in the pinned shaders "turbid_field_assemble",
// "turbid_field_lookup" and "turbid_observation_source". The host keeps what the CPU does
// sequentially (checks, owner choice, the tree under its budget, commits) in the CPU's own code.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "turbid/fields.h"
#include "turbid/registry.h"
#include "turbid/states.h"
#include "vulkan/scene_manager.h"

namespace tesk::vulkan {

/// Residency identity of the fields held in device memory.
inline constexpr const char* kTurbidFieldResidency = "vulkan.buffer.device_resident";

/// The device copy of one resident field: its cells (kFieldCellInts ints each), its orientation
/// bins (kFieldTermCount doubles per cell and bin, as the assembly shader writes them) and, for
/// an observation source, its front and back radiance tables.
struct TurbidFieldDeviceCopy {
  turbid::TurbidFieldToken token;
  Buffer cells, bins, source_front, source_back;
  uint64_t bytes = 0;  ///< Device bytes of the four buffers.
};

/// The device copies of the fields resident in a Vulkan scene's record, by field id. A copy is
/// kept while its field stays resident at the same token; lookups and sources read it instead
/// of uploading the field again. Fields built on the host get a copy on first device use.
class TurbidFieldBuffers {
 public:
  /// Drops the copies whose field is no longer resident in `storage` with the same token.
  void retain_resident(const turbid::TurbidDomainStorage& storage);
  /// The copy of `field` (resident in the record), uploaded from the host when absent.
  const TurbidFieldDeviceCopy& acquire(VulkanContext& context, const turbid::TurbidField& field);
  /// Keeps `copy` for its field once that field is committed.
  void keep(std::unique_ptr<TurbidFieldDeviceCopy> copy);
  /// The copy of field `token`, or nullptr.
  const TurbidFieldDeviceCopy* find(const turbid::TurbidFieldToken& token) const;

 private:
  std::map<uint64_t, std::unique_ptr<TurbidFieldDeviceCopy>> m_copies;
};

/// A field formed on the device: the host record's copy (not committed) and the device copy to
/// keep once it is.
struct DeviceTurbidField {
  std::shared_ptr<turbid::TurbidField> field;
  std::unique_ptr<TurbidFieldDeviceCopy> device;
};

/// turbid::build_field on the scene record's resident state, with the orientation bins summed by
/// "turbid_field_assemble". The CPU's messages and those of read_verified_turbid_spirv;
/// std::length_error beyond 2^27-1 samples or cells.
DeviceTurbidField build_turbid_field(VulkanSceneManager& scene,
                                     const turbid::TurbidStateToken& token,
                                     const turbid::TurbidFieldConfig& config,
                                     int64_t memory_budget);

/// turbid::lookup_field of a resident field with the descent, orientation bin and ancestor search
/// in "turbid_field_lookup" on the field's device copy (owners, keys and bins chosen on the host
/// by the CPU's code): the same values, depths and failures, in
/// the same query order.
turbid::TurbidFieldLookup lookup_turbid_field(VulkanSceneManager& scene,
                                              const turbid::TurbidField& field,
                                              const std::string& kind, const float* positions,
                                              const float* normals, size_t n,
                                              const turbid::TurbidFieldSelector* selector);

/// turbid::build_thermal_source with the radiance tables formed by "turbid_observation_source"
/// from the base field's device copy.
DeviceTurbidField build_turbid_thermal_source(VulkanSceneManager& scene,
                                              const turbid::TurbidFieldToken& token,
                                              const std::vector<float>& wavelengths_nm,
                                              const std::vector<float>& emissivity_front,
                                              const std::vector<float>& emissivity_back,
                                              int64_t memory_budget);

/// turbid::build_sif_source with the radiance tables formed by "turbid_observation_source" from
/// the base field's device copy.
DeviceTurbidField build_turbid_sif_source(VulkanSceneManager& scene,
                                          const turbid::TurbidFieldToken& token,
                                          const std::vector<float>& wavelengths_nm,
                                          const std::vector<float>& exitance_front,
                                          const std::vector<float>& exitance_back,
                                          int64_t memory_budget);

}  // namespace tesk::vulkan
