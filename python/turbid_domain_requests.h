#pragma once

// Turbid domain and state requests and reports shared by the CPU and device bindings: one
// reading of build batches, sampling configurations and host states, and one shape of the
// domain records, relation tables and residency reports, so that every backend accepts the
// same dictionaries with the same messages and answers with the same keys.

#include <pybind11/pybind11.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "turbid/domains.h"
#include "turbid/registry.h"
#include "turbid/states.h"

namespace tesk::python {

/// The identity strings a backend reports with its Turbid domains.
struct TurbidDomainIdentity {
  const char* backend;
  const char* executor;
  const char* residency;
};

inline constexpr TurbidDomainIdentity kEmbreeTurbidDomains{"embree", "embree.cpp.turbid_domain",
                                                           "embree.cpp.host"};
inline constexpr TurbidDomainIdentity kVulkanTurbidDomains{"vulkan", "vulkan.slang.turbid_domain",
                                                           "vulkan.buffer.device_resident"};

/// The domains of one build call and the batch's relation table (none: synthesised).
struct TurbidBuildBatch {
  std::vector<turbid::TurbidDomainBuild> builds;
  std::optional<turbid::TurbidSceneRelations> relations;
};

/// A batch of _build_turbid_domains_*: each description holds a descriptor and its sampling
/// keys; `scene_relations` is None or the table. ValueError "Turbid scene relations must be
/// supplied once per batch" when a description carries its own table.
TurbidBuildBatch read_turbid_domain_batch(const pybind11::sequence& descriptions,
                                          const pybind11::object& scene_relations);

/// The single domain of _build_turbid_domain_*: `request` holds the descriptor (and optionally
/// scene_relations), `config` the sampling keys.
TurbidBuildBatch read_turbid_domain_request(const pybind11::dict& request,
                                            const pybind11::dict& config);

/// A sampling configuration dictionary (quality, sample_budget, seed, orientation bins, leaf
/// cell cap, max_candidates, num_threads) with its messages.
turbid::TurbidSamplingConfig read_turbid_config(const pybind11::dict& config);

/// The record of a resident domain as the domain functions return it.
pybind11::dict turbid_domain_record_dict(const turbid::TurbidDomainRecord& record,
                                         const TurbidDomainIdentity& identity);

/// The committed relation table as a dictionary; ValueError "no Turbid scene relations are
/// committed" when there is none.
pybind11::dict turbid_relations_dict(const turbid::TurbidDomainStorage& storage);

/// The residency report: one entry per resident domain (domain_id, resident_revision,
/// buffer_generation_id and what `entry` adds), the registry counters and the identity keys.
pybind11::dict turbid_residency_dict(
    const turbid::TurbidDomainStorage& storage, const TurbidDomainIdentity& identity,
    const std::function<void(const turbid::TurbidDomainRecord&, pybind11::dict&)>& entry);

/// A host-supplied state of resident domain `domain_id`, read and validated as
/// _build_turbid_state_embree reads it, with a fresh token.
std::shared_ptr<turbid::OwnedTurbidState> read_turbid_host_state(
    const turbid::TurbidDomainStorage& storage, uint64_t domain_id, const pybind11::dict& state);

/// The resident states with their tokens, sample and band counts (and what `entry` adds).
pybind11::list turbid_state_entries(
    const turbid::TurbidDomainStorage& storage,
    const std::function<void(const turbid::OwnedTurbidState&, pybind11::dict&)>& entry = {});

}  // namespace tesk::python
