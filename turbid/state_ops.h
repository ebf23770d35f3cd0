#pragma once

// Operations on resident turbid states: resolving a token against the registry, committing new
// states, assembling a radiation-stage state from leaf irradiances and the leaf-area-weighted
// aggregation per owner.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "turbid/registry.h"
#include "turbid/states.h"

namespace tesk::turbid {

/// The resident state a token names; std::runtime_error "Stale TurbidState token belongs to
/// another scene/domain or revision. No fallback was performed." when the state is not resident
/// or any identity or revision of the token differs from the state's or its domain's.
const OwnedTurbidState& resolve_state(const TurbidDomainStorage& storage,
                                      const TurbidStateToken& token);

/// The next snapshot: `current` with `states` added. std::invalid_argument "duplicate
/// TurbidState in atomic commit" when one id appears twice or is already resident.
TurbidDomainStorage storage_with_states(
    const TurbidDomainStorage& current,
    const std::vector<std::shared_ptr<const OwnedTurbidState>>& states);

/// The next snapshot: `current` with `field` added, or replacing the resident field of its id
/// when its revision is newer. std::invalid_argument "duplicate TurbidField in atomic commit".
TurbidDomainStorage storage_with_field(const TurbidDomainStorage& current,
                                       std::shared_ptr<const TurbidField> field);

/// Drops every state whose domain is gone or whose recorded revisions differ from the domain's,
/// and every field whose state was dropped.
void retain_compatible(TurbidDomainStorage& storage);

/// Checks a host-supplied state against the resident pool of `domain` (contract, sample ids,
/// finiteness and ranges of p_sun and every record field, convergence flags, the spectral part
/// of a radiation-stage state) and gives it a fresh token. Throws std::invalid_argument with the
/// state messages.
void validate_host_state(const TurbidDomainRecord& domain, uint64_t contract_revision,
                         OwnedTurbidState& state);

/// A fresh token for a state of `stage` computed from `domain` (a new state id; state revision 1).
TurbidStateToken fresh_token(const TurbidDomainRecord& domain, uint64_t workflow_revision,
                             TurbidStage stage);

/// Per-owner leaf optics of band b: upper-side reflectance, lower-side reflectance and
/// transmittance, band-major [n_bands][n_owners] each.
struct OwnerBandOptics {
  std::vector<float> front, back, transmittance;
};

/// The radiation-stage state of `domain` from leaf-RRT outputs (band-major [n_bands][n]): per
/// sample and band the direct absorbed d = E_dir a (sunlit only) and the diffuse absorbed
/// f = max(0, E_tot a - d p) per side, with a = max(0, 1 - rho_side - tau) of the sample's
/// owner; band sums fill the shortwave fields and bands within [400, 700] nm the PAR (umol m-2
/// s-1). std::invalid_argument "native Turbid leaf-RRT result shape mismatch" when an output
/// does not hold samples x bands values.
OwnedTurbidState assemble_radiation_state(
    const TurbidDomainRecord& domain, TurbidStateToken token, const std::vector<float>& wavelengths,
    const OwnerBandOptics& optics, const std::vector<float>& total_top,
    const std::vector<float>& total_bottom, const std::vector<float>& direct_top,
    const std::vector<float>& direct_bottom, const std::vector<float>& p_sun);

/// Moments of one field over one group, from sunlit and shaded values weighted by p_sun.
struct TurbidFieldMoments {
  double mean = 0.0, sunlit_mean = 0.0, shaded_mean = 0.0, second_moment = 0.0, variance = 0.0;
};

/// One aggregation group: the samples of one (instance, component) owner.
struct TurbidGroupAggregate {
  uint64_t instance_id = 0, component_id = 0;
  double leaf_area = 0.0;                  ///< Sum of the pool's leaf-area weights.
  uint64_t support = 0;                    ///< Samples.
  bool converged = true;                   ///< Every sunlit and shaded record converged.
  double p_sun = 0.0;                      ///< Leaf-area-weighted sunlit fraction.
  std::vector<TurbidFieldMoments> fields;  ///< One per requested field.
};

/// Result of an aggregation.
struct TurbidAggregation {
  std::vector<int> fields;                   ///< Field indices, request order.
  std::vector<TurbidGroupAggregate> groups;  ///< Owners in pool order.
  std::vector<size_t> diagnostic_samples;    ///< Pool indices of the requested sample ids.
};

/// The groups of an aggregation: (instance_id, component_id) pairs with CSR offsets into pool
/// sample indices and, per listed sample, its leaf-area weight normalised over its group.
struct TurbidAggregationGroups {
  std::vector<std::array<uint64_t, 2>> ids;  ///< (instance_id, component_id) per group.
  std::vector<uint64_t> offsets;             ///< groups + 1 offsets into `samples`.
  std::vector<uint64_t> samples;             ///< Pool sample indices.
  std::vector<double> weights;               ///< One per entry of `samples`.
};

/// The groups of a pool: one per owner, in pool order, with the owner's samples and their
/// leaf-area weights over the owner's total rounded to float (the form host weights take).
TurbidAggregationGroups pool_groups(const TurbidSamplePool& pool);

/// The weighted sums of an aggregation, before they become moments: group g sums the entries
/// [begin[g], end[g]), entry e being pool sample samples[e] with leaf-area weight weights[e].
struct TurbidMomentsJob {
  const OwnedTurbidState* state = nullptr;
  std::vector<int> fields;           ///< Field indices, request order.
  std::vector<uint64_t> begin, end;  ///< Entry range per group.
  std::vector<uint64_t> samples;     ///< Pool sample index per entry.
  std::vector<double> weights;       ///< Normalised leaf-area weight per entry.
};

/// Fills, for every group of a job, p_sun = sum g p, converged, and per field the raw sums
/// mean = sum g (p s + (1 - p) h), second_moment = sum g (p s^2 + (1 - p) h^2),
/// sunlit_mean = sum g p s and shaded_mean = sum g (1 - p) h, entries in order.
using TurbidMomentsSums = std::function<void(const TurbidMomentsJob&, TurbidAggregation&)>;

/// The sums of a job on the host, in doubles and entry order.
void turbid_moment_sums(const TurbidMomentsJob& job, TurbidAggregation& aggregation);

/// Leaf-area-weighted aggregation of a resident state over `groups`; `sums` forms the weighted
/// sums (empty: turbid_moment_sums), which become means, sunlit and shaded means and variances. The
/// groups must cover every pool sample exactly once, each with its authoritative owner, and their
/// weights must be normalised and agree with the pool's leaf areas within float rounding. Throws
/// std::invalid_argument with the aggregation messages (fields, sampling revision, groups,
/// weights, error bounds, diagnostics) and the stale-token errors of resolve_state.
TurbidAggregation aggregate_state(const TurbidDomainStorage& storage, const TurbidStateToken& token,
                                  const std::vector<std::string>& fields,
                                  const TurbidAggregationGroups& groups,
                                  const std::string& diagnostics,
                                  const std::optional<std::vector<uint64_t>>& requested,
                                  const TurbidMomentsSums& sums = {});

/// The same over the pool's own groups (pool_groups).
TurbidAggregation aggregate_state(const TurbidDomainStorage& storage, const TurbidStateToken& token,
                                  const std::vector<std::string>& fields,
                                  const std::string& diagnostics,
                                  const std::optional<std::vector<uint64_t>>& requested,
                                  const TurbidMomentsSums& sums = {});

/// Weighted moments of plain values (the test entry of the reduction): mean, second moment and
/// variance with weights w / sum(w). std::invalid_argument "weighted Turbid reduction requires
/// equally-sized values/weights", "weighted Turbid reduction input must be finite and
/// positive", "weighted Turbid reduction area is zero".
TurbidFieldMoments weighted_reduction(const std::vector<double>& values,
                                      const std::vector<double>& weights);

/// The checks of weighted_reduction (same messages) and its normalised weights w / sum(w).
std::vector<double> weighted_reduction_weights(const std::vector<double>& values,
                                               const std::vector<double>& weights);

/// The moments of weighted_reduction from its two sums: variance max(0, second - mean^2),
/// sunlit and shaded means equal to the mean.
TurbidFieldMoments weighted_reduction_moments(double mean, double second_moment);

}  // namespace tesk::turbid
