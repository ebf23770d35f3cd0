#pragma once

// Turbid domains and states resident on the Vulkan device. The registry itself (revisions,
// handles, relation tables, derived states) lives in the scene record, so that both backends
// validate and commit alike; the Vulkan scene keeps a device buffer with the committed samples
// of each domain it built or extended, and one with each state it committed, uploaded before
// the registry change is published: a failing stage or upload commits nothing and leaves the
// device buffers as they were.

#include <cstdint>
#include <map>
#include <memory>

#include "turbid/domains.h"
#include "turbid/registry.h"
#include "turbid/states.h"
#include "vulkan/context.h"

namespace tesk::vulkan {

class VulkanSceneManager;

/// The device copy of one committed domain's samples.
struct DeviceTurbidDomain {
  uint64_t buffer_generation_id = 0;  ///< Registry generation the copy holds.
  uint64_t sample_count = 0;
  Buffer samples;  ///< device::TurbidResidentSample per sample, pool order.
};

/// The device copy of one committed state.
struct DeviceTurbidState {
  uint64_t sample_count = 0;
  Buffer samples;  ///< device::TurbidResidentStateSample per sample, pool order.
};

/// The device copies of a Vulkan scene's resident Turbid domains and states, by id.
struct TurbidDeviceStore {
  std::map<uint64_t, DeviceTurbidDomain> domains;
  std::map<uint64_t, DeviceTurbidState> states;
};

/// Commits `plan` to the scene record (injected failures read "Injected Vulkan Turbid commit
/// failure: <stage>"). The samples of every changed domain are uploaded after the commit stages
/// passed and before the registry is published; afterwards the device holds copies of exactly
/// the committed domains it uploaded (retired and replaced copies are released). Throws the
/// registry and Vulkan errors with nothing changed.
void commit_turbid_domains(VulkanSceneManager& scene, turbid::TurbidCommitPlan plan);

/// The device copy of `record`'s current generation, or null when the scene holds none (a
/// domain committed through the scene record's CPU functions).
const DeviceTurbidDomain* device_turbid_domain(const VulkanSceneManager& scene,
                                               const turbid::TurbidDomainRecord& record);

/// The sample pool of `record` read back from its device copy (positions, normals, weights,
/// stable ids and owners), with the host pool's revisions and owner summaries. Throws
/// std::runtime_error "TurbidDomain has no Vulkan device copy. No fallback was performed." when
/// the scene holds none.
turbid::TurbidSamplePool download_turbid_pool(VulkanSceneManager& scene,
                                              const turbid::TurbidDomainRecord& record);

/// Uploads a validated state and commits it to the scene record; the device copy is kept only
/// when the commit succeeds. Throws the commit's errors ("duplicate TurbidState in atomic
/// commit") and the Vulkan errors with nothing changed.
void commit_turbid_state(VulkanSceneManager& scene,
                         std::shared_ptr<const turbid::OwnedTurbidState> state);

/// The device copy of resident state `state_id`, or null.
const DeviceTurbidState* device_turbid_state(const VulkanSceneManager& scene, uint64_t state_id);

}  // namespace tesk::vulkan
