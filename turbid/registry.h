#pragma once

// The registry of resident turbid domains of one scene manager. A registry is an immutable
// snapshot: a commit builds the next snapshot beside the current one and publishes it in one
// step, so a failed commit (an injected stage included) leaves everything as it was and a
// reader always sees one whole committed table.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "turbid/fields.h"
#include "turbid/relations.h"
#include "turbid/sampling.h"
#include "turbid/states.h"

namespace tesk::turbid {

/// A process-wide identifier counter (starts at 1; 0 and 2^64-1 are never handed out).
class IdentifierCounter {
 public:
  explicit IdentifierCounter(uint64_t first = 1) : m_next(first) {}
  /// The next identifier; std::overflow_error "TurbidDomain identifier space is permanently
  /// exhausted" once the counter reads 0 or 2^64-1.
  uint64_t allocate();

 private:
  std::atomic<uint64_t> m_next;
};

/// The counters of domain, state and field identifiers.
IdentifierCounter& domain_ids();
IdentifierCounter& state_ids();
IdentifierCounter& field_ids();

/// One resident domain.
struct TurbidDomainRecord {
  uint64_t domain_key = 0;
  uint64_t domain_id = 0;
  TurbidRevisions revisions;
  uint64_t resident_revision = 1;
  uint32_t requested_sample_budget = 0, resident_sample_budget = 0;
  uint64_t build_count = 1, extension_count = 0;
  uint64_t buffer_generation_id = 0;
  std::shared_ptr<const TurbidDomainDescriptor> descriptor;
  TurbidSamplingConfig config;
  std::shared_ptr<const TurbidSamplePool> pool;
  std::shared_ptr<const TurbidSceneRelations> relations;  ///< Table of the domain's commit.
};

/// Residency bookkeeping of a scene manager (monotonic).
struct TurbidResidencyCounters {
  uint64_t allocation_count = 0, upload_count = 0, free_count = 0, generation_count = 0,
           commit_count = 0;
};

/// One committed snapshot of the registry.
struct TurbidDomainStorage {
  std::map<uint64_t, TurbidDomainRecord> domains;         ///< By domain id.
  std::shared_ptr<const TurbidSceneRelations> relations;  ///< Table of the last commit.
  TurbidResidencyCounters counters;
  TurbidStateTable states;  ///< States derived from the resident domains, by state id.
  TurbidFieldTable fields;  ///< Fields built from the resident states, by field id.
};

/// Read-only view of one resident domain.
using TurbidResident = TurbidDomainRecord;

/// The commit stages at which a failure can be injected, in the order they are checked.
inline constexpr const char* kCommitStages[] = {"derived_prune_stage", "table_stage",
                                                "table_replace", "removal"};

/// The record of `id` in `storage`; std::runtime_error (stale handle) when it is not resident.
const TurbidDomainRecord& resolve_domain(const TurbidDomainStorage& storage, uint64_t id);

/// The next snapshot: `current` with `changed` records inserted or replaced, `removed` ids
/// retired and `relations` (when given) as the committed table. `armed` names a stage to
/// fail at (cleared when it fires; "Injected <backend> Turbid commit failure: <stage>", backend
/// "Embree", "OptiX" or "Vulkan"). Throws before building anything when a removed id is not
/// resident.
TurbidDomainStorage next_storage(const TurbidDomainStorage& current,
                                 std::vector<TurbidDomainRecord> changed,
                                 const std::vector<uint64_t>& removed,
                                 std::shared_ptr<const TurbidSceneRelations> relations,
                                 std::string& armed, const char* backend = "Embree");

}  // namespace tesk::turbid
