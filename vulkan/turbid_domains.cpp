#include "vulkan/turbid_domains.h"

#include <cstring>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/host/allocation.h"
#include "shaders/turbid_resident.h"
#include "vulkan/scene_manager.h"

namespace tesk::vulkan {
namespace {

static_assert(device::kTurbidResidentStateFields == turbid::kStateFieldCount);

// The device records of a pool's samples, in pool order.
std::vector<device::TurbidResidentSample> resident_samples(const turbid::TurbidSamplePool& pool) {
  check_allocation(pool.samples.size() * sizeof(device::TurbidResidentSample),
                   "Vulkan Turbid resident samples");
  std::vector<device::TurbidResidentSample> out(pool.samples.size());
  for (size_t o = 0; o + 1 < pool.owner_offsets.size(); ++o) {
    for (uint64_t i = pool.owner_offsets[o]; i < pool.owner_offsets[o + 1]; ++i) {
      const turbid::TurbidLeafAreaSample& s = pool.samples[i];
      device::TurbidResidentSample& d = out[i];
      std::memcpy(d.position, s.position, sizeof(d.position));
      std::memcpy(d.normal, s.normal, sizeof(d.normal));
      d.weight = s.weight;
      d.owner = static_cast<uint32_t>(o);
      d.id_low = static_cast<uint32_t>(s.sample_id);
      d.id_high = static_cast<uint32_t>(s.sample_id >> 32);
    }
  }
  return out;
}

std::vector<device::TurbidResidentStateSample> resident_state(const turbid::OwnedTurbidState& s) {
  const size_t n = s.sample_ids.size();
  check_allocation(n * sizeof(device::TurbidResidentStateSample), "Vulkan Turbid resident state");
  std::vector<device::TurbidResidentStateSample> out(n);
  for (size_t i = 0; i < n; ++i) {
    device::TurbidResidentStateSample& d = out[i];
    d.p_sun = s.p_sun[i];
    std::memcpy(d.sunlit, s.sunlit[i].values.data(), sizeof(d.sunlit));
    std::memcpy(d.shaded, s.shaded[i].values.data(), sizeof(d.shaded));
    d.converged = (s.sunlit[i].converged != 0 ? 1u : 0u) | (s.shaded[i].converged != 0 ? 2u : 0u);
  }
  return out;
}

// Releases the device copies the registry no longer holds: domains retired or replaced by a
// commit of any backend, and states dropped as incompatible.
void prune(TurbidDeviceStore& store, const turbid::TurbidDomainStorage& storage) {
  for (auto it = store.domains.begin(); it != store.domains.end();) {
    const auto r = storage.domains.find(it->first);
    const bool current = r != storage.domains.end() &&
                         r->second.buffer_generation_id == it->second.buffer_generation_id;
    it = current ? std::next(it) : store.domains.erase(it);
  }
  for (auto it = store.states.begin(); it != store.states.end();) {
    it = storage.states.count(it->first) != 0 ? std::next(it) : store.states.erase(it);
  }
}

}  // namespace

void commit_turbid_domains(VulkanSceneManager& scene, turbid::TurbidCommitPlan plan) {
  std::set<uint64_t> changed;
  for (const turbid::TurbidDomainRecord& r : plan.changed) changed.insert(r.domain_id);
  std::map<uint64_t, DeviceTurbidDomain> staged;
  VulkanContext& context = scene.context();
  scene.host().commit_turbid_domains(
      std::move(plan.changed), plan.removed, plan.relations, "Vulkan",
      [&](const turbid::TurbidDomainStorage& next) {
        for (uint64_t id : changed) {
          const turbid::TurbidDomainRecord& r = turbid::resolve_domain(next, id);
          const std::vector<device::TurbidResidentSample> samples = resident_samples(*r.pool);
          DeviceTurbidDomain d;
          d.buffer_generation_id = r.buffer_generation_id;
          d.sample_count = samples.size();
          d.samples = context.upload_buffer(samples.data(),
                                            samples.size() * sizeof(device::TurbidResidentSample));
          staged.emplace(id, std::move(d));
        }
      });
  TurbidDeviceStore& store = scene.turbid_store();
  for (auto& [id, d] : staged) store.domains[id] = std::move(d);
  prune(store, *scene.host().turbid_domains());
}

const DeviceTurbidDomain* device_turbid_domain(const VulkanSceneManager& scene,
                                               const turbid::TurbidDomainRecord& record) {
  const auto& domains = scene.turbid_store().domains;
  const auto it = domains.find(record.domain_id);
  if (it == domains.end() || it->second.buffer_generation_id != record.buffer_generation_id) {
    return nullptr;
  }
  return &it->second;
}

turbid::TurbidSamplePool download_turbid_pool(VulkanSceneManager& scene,
                                              const turbid::TurbidDomainRecord& record) {
  const DeviceTurbidDomain* d = device_turbid_domain(scene, record);
  if (d == nullptr) {
    throw std::runtime_error("TurbidDomain has no Vulkan device copy. No fallback was performed.");
  }
  std::vector<device::TurbidResidentSample> samples(d->sample_count);
  d->samples.download(samples.data(), samples.size() * sizeof(device::TurbidResidentSample));
  turbid::TurbidSamplePool pool = *record.pool;
  pool.samples.assign(samples.size(), {});
  for (size_t i = 0; i < samples.size(); ++i) {
    const device::TurbidResidentSample& s = samples[i];
    if (s.owner >= pool.owners.size()) {
      throw std::runtime_error(
          "Vulkan resident Turbid sample names no owner. No fallback was performed.");
    }
    const turbid::TurbidSampleOwner& o = pool.owners[s.owner];
    turbid::TurbidLeafAreaSample& out = pool.samples[i];
    out.sample_id = (static_cast<uint64_t>(s.id_high) << 32) | s.id_low;
    std::memcpy(out.position, s.position, sizeof(out.position));
    std::memcpy(out.normal, s.normal, sizeof(out.normal));
    out.weight = s.weight;
    out.instance_id = o.instance_id;
    out.component_id = o.component_id;
    out.medium_id = o.medium_id;
    out.property_ids = o.property_ids;
  }
  return pool;
}

void commit_turbid_state(VulkanSceneManager& scene,
                         std::shared_ptr<const turbid::OwnedTurbidState> state) {
  const std::vector<device::TurbidResidentStateSample> samples = resident_state(*state);
  DeviceTurbidState d;
  d.sample_count = samples.size();
  d.samples = scene.context().upload_buffer(
      samples.data(), samples.size() * sizeof(device::TurbidResidentStateSample));
  const uint64_t id = state->token.state_id;
  scene.host().commit_turbid_states({std::move(state)});
  TurbidDeviceStore& store = scene.turbid_store();
  store.states[id] = std::move(d);
  prune(store, *scene.host().turbid_domains());
}

const DeviceTurbidState* device_turbid_state(const VulkanSceneManager& scene, uint64_t state_id) {
  const auto& states = scene.turbid_store().states;
  const auto it = states.find(state_id);
  return it == states.end() ? nullptr : &it->second;
}

}  // namespace tesk::vulkan
