#include "turbid/registry.h"

#include <limits>
#include <stdexcept>

#include "turbid/state_ops.h"

namespace tesk::turbid {

uint64_t IdentifierCounter::allocate() {
  uint64_t value = m_next.load(std::memory_order_relaxed);
  for (;;) {
    if (value == 0 || value == std::numeric_limits<uint64_t>::max()) {
      throw std::overflow_error("TurbidDomain identifier space is permanently exhausted");
    }
    if (m_next.compare_exchange_weak(value, value + 1, std::memory_order_relaxed)) return value;
  }
}

IdentifierCounter& domain_ids() {
  static IdentifierCounter counter;
  return counter;
}
IdentifierCounter& state_ids() {
  static IdentifierCounter counter;
  return counter;
}
IdentifierCounter& field_ids() {
  static IdentifierCounter counter;
  return counter;
}

const TurbidDomainRecord& resolve_domain(const TurbidDomainStorage& storage, uint64_t id) {
  const auto it = storage.domains.find(id);
  if (it == storage.domains.end()) {
    throw std::runtime_error(
        "Stale TurbidDomain handle belongs to another scene/domain. No fallback was performed.");
  }
  return it->second;
}

TurbidDomainStorage next_storage(const TurbidDomainStorage& current,
                                 std::vector<TurbidDomainRecord> changed,
                                 const std::vector<uint64_t>& removed,
                                 std::shared_ptr<const TurbidSceneRelations> relations,
                                 std::string& armed, const char* backend) {
  for (uint64_t id : removed) resolve_domain(current, id);
  // The domain table and the derived states are changed on a copy; every stage is checked
  // before anything is published.
  TurbidDomainStorage next = current;
  for (const char* stage : kCommitStages) {
    if (!armed.empty() && armed == stage) {
      armed.clear();
      throw std::runtime_error(std::string("Injected ") + backend +
                               " Turbid commit failure: " + stage);
    }
  }
  TurbidResidencyCounters& k = next.counters;
  for (TurbidDomainRecord& record : changed) {
    const bool replaced = next.domains.count(record.domain_id) != 0;
    ++k.allocation_count;
    ++k.upload_count;
    if (replaced) ++k.free_count;
    record.buffer_generation_id = ++k.generation_count;
    next.domains[record.domain_id] = std::move(record);
  }
  for (uint64_t id : removed) {
    if (next.domains.erase(id) != 0) ++k.free_count;
  }
  if (relations) next.relations = std::move(relations);
  retain_compatible(next);
  ++k.commit_count;
  return next;
}

}  // namespace tesk::turbid
