#pragma once

// Building and extending turbid domains: descriptors are validated and sampled, the batch's
// relation table is validated (or synthesised from the descriptors) and checked against the
// domains, and the result is a plan that the scene manager commits all at once.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "core/host/progress.h"
#include "turbid/registry.h"
#include "turbid/relations.h"
#include "turbid/sampling.h"

namespace tesk::turbid {

/// One domain of a build batch.
struct TurbidDomainBuild {
  TurbidDomainDescriptor descriptor;
  TurbidSamplingConfig config;
};

/// What one commit changes.
struct TurbidCommitPlan {
  std::vector<TurbidDomainRecord> changed;                ///< Records inserted or replaced.
  std::vector<uint64_t> removed;                          ///< Ids retired.
  std::shared_ptr<const TurbidSceneRelations> relations;  ///< Table of the commit, or null.
};

/// The relation table of domains built without one: one owner and one authoritative part per
/// component, identifiers by FNV-1a. Throws std::overflow_error or std::invalid_argument.
TurbidSceneRelations synthesize_relations(const std::vector<const TurbidDomainDescriptor*>& domains,
                                          uint64_t relation_revision);

/// Checks that `relations` covers exactly the components of `domains` with their boundaries.
void check_relation_coverage(const TurbidSceneRelations& relations,
                             const std::vector<const TurbidDomainDescriptor*>& domains);

/// Validates, samples and registers a batch. Each domain gets a fresh id; a resident domain
/// with the same domain key is retired by the same commit. Nothing is allocated or stored
/// when any domain or the relation table fails.
/// `generator` (when set) produces the candidates, as for sample_domain; the pools are the
/// same either way.
TurbidCommitPlan plan_domain_builds(const TurbidDomainStorage& current,
                                    std::vector<TurbidDomainBuild> builds,
                                    std::optional<TurbidSceneRelations> supplied,
                                    const InterruptCheck& interrupt = {},
                                    const TurbidCandidateGenerator& generator = {});

/// Extension of resident domain `id` to `config`'s budget. An empty plan (no changed record)
/// when the budget does not exceed the resident one.
TurbidCommitPlan plan_extension(const TurbidDomainStorage& current, uint64_t id,
                                const TurbidSamplingConfig& config,
                                const InterruptCheck& interrupt = {},
                                const TurbidCandidateGenerator& generator = {});

}  // namespace tesk::turbid
