#pragma once

// Turbid domain descriptors and their deterministic leaf-area sampling: every placed component
// (an owner) becomes `budget` leaf-area samples inside its closed boundary, with normals from
// its de Wit leaf-angle distribution and equal shares of its leaf area as weights.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/host/progress.h"
#include "core/turbid_sampling.h"

namespace tesk::turbid {

/// Largest accepted sample budget per owner: candidate indices are 32-bit.
inline constexpr uint32_t kMaxSampleBudget = 4194303;

/// One placed medium component of a domain.
struct TurbidComponent {
  uint64_t instance_id = 0, component_id = 0, medium_id = 0, geometry_id = 0;
  std::array<float, 12> object_to_world{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};  ///< Row-major 3x4.
  std::array<float, 3> bounds_min{}, bounds_max{};  ///< Declared world bounds.
  float leaf_area_density = 0.0f;                   ///< One-sided leaf area per volume (m2 m-3).
  float leaf_length = 0.0f, leaf_width = 0.0f;      ///< Leaf size (m).
  uint32_t sidedness = 1;                           ///< 1 or 2.
  uint32_t leaf_angle = 0;                          ///< de Wit code 0..5.
  int32_t closed_orientation = 1;  ///< Sign making the boundary's signed volume positive.
  std::array<uint64_t, 4> property_ids{};
};

/// The seven caller-owned revision stamps of a domain, in reporting order.
struct TurbidRevisions {
  uint64_t domain = 0, geometry = 0, transport = 0, property = 0, illumination = 0,
           microclimate = 0, sampling = 0;
};

/// A domain as the host describes it.
struct TurbidDomainDescriptor {
  uint32_t contract_revision = 1;
  uint64_t domain_key = 0;
  TurbidRevisions revisions;
  std::vector<TurbidComponent> components;
  std::vector<float> vertices;      ///< Object-space boundary vertices, xyz.
  std::vector<uint32_t> triangles;  ///< Global vertex indices, three per triangle.
  /// Per-component CSR ranges (components + 1 entries each).
  std::vector<uint64_t> component_vertex_offsets, component_triangle_offsets;
  /// Per-component part ranges and per-part geometry ranges; empty: one part per component.
  std::vector<uint64_t> component_part_offsets, part_vertex_offsets, part_triangle_offsets;
  /// Per-component overlapping medium ids (CSR); empty: none.
  std::vector<uint64_t> overlap_offsets, overlap_medium_ids;
};

/// Sampling configuration of a domain.
struct TurbidSamplingConfig {
  uint32_t quality = 1;        ///< 0 preview, 1 standard, 2 high.
  uint32_t sample_budget = 0;  ///< Accepted samples per owner; 0: the quality's default.
  uint64_t seed = 0;
  uint32_t orientation_theta_bins = 4, orientation_phi_bins = 8;
  uint32_t max_samples_per_leaf_cell = 64;
  uint64_t max_candidates = 0;  ///< Candidate limit per owner; 0: budget x 1024.
  int num_threads = 0;          ///< Candidate-generation workers; below 1: all cores.
};

/// One accepted sample.
struct TurbidLeafAreaSample {
  uint64_t sample_id = 0;  ///< (owner tag << 32) | candidate index.
  float position[3] = {0, 0, 0};
  float normal[3] = {0, 0, 1};
  float weight = 0.0f;  ///< Leaf area represented (m2).
  uint64_t instance_id = 0, component_id = 0, medium_id = 0;
  std::array<uint64_t, 4> property_ids{};
};

/// Per-owner summary of a pool.
struct TurbidSampleOwner {
  uint64_t instance_id = 0, component_id = 0, medium_id = 0;
  std::array<uint64_t, 4> property_ids{};
  uint32_t budget = 0;
  double target_leaf_area = 0.0;  ///< leaf_area_density x enclosed volume (m2).
  float weight = 0.0f;            ///< target_leaf_area / budget.
  uint32_t tag = 0;               ///< Stable owner tag (high word of sample ids).
};

/// The samples of one domain, owners in component order.
struct TurbidSamplePool {
  uint64_t domain_revision = 0, geometry_revision = 0, sampling_revision = 0;
  bool integration_points = true;  ///< Samples are leaf-area integration points.
  std::vector<TurbidSampleOwner> owners;
  std::vector<uint64_t> owner_offsets;  ///< owners + 1 entries.
  std::vector<TurbidLeafAreaSample> samples;
  uint64_t candidates_tested = 0;
};

/// Budget of a configuration after defaulting; throws std::invalid_argument or
/// std::overflow_error with the configuration's messages.
uint32_t resolve_sample_budget(const TurbidSamplingConfig& config);

/// Checks a descriptor (identities, transforms, leaf parameters, overlaps, geometry ranges and
/// closed boundaries); throws std::invalid_argument with the first violated rule's message.
void validate_descriptor(const TurbidDomainDescriptor& descriptor);

/// World-space boundary vertices of component `c` (its vertex range, transformed in double
/// and rounded to float), xyz per vertex.
std::vector<float> component_world_vertices(const TurbidDomainDescriptor& descriptor, size_t c);

/// World-space boundary triangles of component `c`, nine doubles (three float-rounded
/// vertices) per triangle, as the containment test of the sampler reads them.
std::vector<double> component_world_triangles(const TurbidDomainDescriptor& descriptor, size_t c);

/// Samples every owner of a validated descriptor. Deterministic in (descriptor, seed, budget):
/// independent of `config.num_threads`, and a larger budget reproduces a smaller one's samples
/// as a prefix of each owner. Throws std::invalid_argument, std::overflow_error or
/// std::runtime_error with the sampling messages.
TurbidSamplePool sample_domain(const TurbidDomainDescriptor& descriptor,
                               const TurbidSamplingConfig& config,
                               const InterruptCheck& interrupt = {});

/// Fills `out` with candidates first, first + 1, ... of an owner (generate_candidate's values).
using TurbidCandidateGenerator = std::function<void(const CandidateOwnerView& owner, uint64_t first,
                                                    std::span<TurbidSamplingCandidate> out)>;

/// sample_domain with the candidates from `generator` (a device executor); the acceptor checks
/// every candidate it receives as it checks the host's.
TurbidSamplePool sample_domain(const TurbidDomainDescriptor& descriptor,
                               const TurbidSamplingConfig& config, const InterruptCheck& interrupt,
                               const TurbidCandidateGenerator& generator);

/// Checks a stored pool; throws std::invalid_argument with the pool messages.
void validate_sample_pool(const TurbidSamplePool& pool);

/// Bytes a pool holds resident.
uint64_t pool_bytes(const TurbidSamplePool& pool);

}  // namespace tesk::turbid
