#include "turbid/state_ops.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <set>
#include <stdexcept>
#include <unordered_map>

namespace tesk::turbid {
namespace {

constexpr const char* kStaleState =
    "Stale TurbidState token belongs to another scene/domain or revision. No fallback was "
    "performed.";
// h c N_A (J m mol-1): absorbed W m-2 times wavelength (m) over this gives mol m-2 s-1.
constexpr double kPhotonEnergyPerMole = 0.119626565638697;
constexpr double kWeightTolerance = 9.5367431640625e-7;  // 2^-20

// Whether the revisions recorded in a token are the domain's current ones.
bool matches_domain(const TurbidStateToken& t, const TurbidDomainRecord& d) {
  const TurbidRevisions& r = d.revisions;
  return t.domain_id == d.domain_id && t.domain_revision == r.domain &&
         t.geometry_revision == r.geometry && t.transport_revision == r.transport &&
         t.property_revision == r.property && t.illumination_revision == r.illumination &&
         t.microclimate_revision == r.microclimate && t.sampling_revision == r.sampling;
}

bool same_token(const TurbidStateToken& a, const TurbidStateToken& b) {
  return a.state_id == b.state_id && a.domain_id == b.domain_id &&
         a.workflow_revision == b.workflow_revision && a.domain_revision == b.domain_revision &&
         a.geometry_revision == b.geometry_revision &&
         a.transport_revision == b.transport_revision &&
         a.property_revision == b.property_revision &&
         a.illumination_revision == b.illumination_revision &&
         a.microclimate_revision == b.microclimate_revision &&
         a.sampling_revision == b.sampling_revision && a.state_revision == b.state_revision &&
         a.stage == b.stage;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Field index of a requested name: a record name or its lower-case output form.
int requested_field(const std::string& name) {
  const int exact = state_field_index(name);
  if (exact >= 0) return exact;
  for (int i = 0; i < kStateFieldCount; ++i) {
    if (name == lower(kStateFieldNames[i])) return i;
  }
  return -1;
}

void require(bool ok, const char* message) {
  if (!ok) throw std::invalid_argument(message);
}

}  // namespace

const OwnedTurbidState& resolve_state(const TurbidDomainStorage& storage,
                                      const TurbidStateToken& token) {
  const auto it = storage.states.find(token.state_id);
  const auto domain = storage.domains.find(token.domain_id);
  if (it == storage.states.end() || domain == storage.domains.end() ||
      !same_token(it->second->token, token) || !matches_domain(token, domain->second)) {
    throw std::runtime_error(kStaleState);
  }
  return *it->second;
}

TurbidDomainStorage storage_with_states(
    const TurbidDomainStorage& current,
    const std::vector<std::shared_ptr<const OwnedTurbidState>>& states) {
  TurbidDomainStorage next = current;
  for (const auto& s : states) {
    if (!next.states.emplace(s->token.state_id, s).second) {
      throw std::invalid_argument("duplicate TurbidState in atomic commit");
    }
  }
  return next;
}

void retain_compatible(TurbidDomainStorage& storage) {
  std::erase_if(storage.states, [&](const auto& entry) {
    const TurbidStateToken& t = entry.second->token;
    const auto d = storage.domains.find(t.domain_id);
    return d == storage.domains.end() || !matches_domain(t, d->second) ||
           d->second.pool->samples.size() != entry.second->sample_ids.size();
  });
  std::erase_if(storage.fields, [&](const auto& entry) {
    return storage.states.count(entry.second->token.state_id) == 0;
  });
}

TurbidDomainStorage storage_with_field(const TurbidDomainStorage& current,
                                       std::shared_ptr<const TurbidField> field) {
  TurbidDomainStorage next = current;
  const auto old = next.fields.find(field->token.field_id);
  if (old != next.fields.end() &&
      field->token.field_revision <= old->second->token.field_revision) {
    throw std::invalid_argument("duplicate TurbidField in atomic commit");
  }
  next.fields[field->token.field_id] = std::move(field);
  return next;
}

void validate_host_state(const TurbidDomainRecord& domain, uint64_t contract_revision,
                         OwnedTurbidState& s) {
  require(contract_revision == 1, "incompatible Turbid contract revision");
  const size_t n = s.sample_ids.size();
  require(n > 0, "Turbid state must contain samples");
  require(s.p_sun.size() == n, "Turbid p_sun count mismatch");
  require(s.sunlit.size() == n, "sunlit state shape mismatch");
  require(s.shaded.size() == n, "shaded state shape mismatch");
  std::set<uint64_t> seen;
  for (size_t i = 0; i < n; ++i) {
    require(s.sample_ids[i] != std::numeric_limits<uint64_t>::max() &&
                seen.insert(s.sample_ids[i]).second,
            "duplicate or missing stable state sample id");
    require(std::isfinite(s.p_sun[i]), "p_sun contains a non-finite value");
    require(s.p_sun[i] >= 0.0f && s.p_sun[i] <= 1.0f, "p_sun must be within [0, 1]");
    for (const std::vector<TurbidLeafState>* records : {&s.sunlit, &s.shaded}) {
      const TurbidLeafState& r = (*records)[i];
      for (int f = 0; f < kStateFieldCount; ++f) {
        if (!std::isfinite(r.values[f])) {
          throw std::invalid_argument(std::string(kStateFieldNames[f]) +
                                      " contains a non-finite value");
        }
      }
      require(r.converged <= 1, "Turbid convergence flag must be zero or one");
    }
  }
  const TurbidSamplePool& pool = *domain.pool;
  require(pool.samples.size() == n, "Turbid state sample count is incompatible with sample pool");
  for (size_t i = 0; i < n; ++i) {
    require(pool.samples[i].sample_id == s.sample_ids[i],
            "Turbid state stable sample ids do not match sample pool");
  }
  if (s.token.stage == TurbidStage::Radiation) {
    const size_t values = s.wavelengths.size() * n;
    require(!s.wavelengths.empty() && s.spectral_sunlit.size() == values &&
                s.spectral_shaded.size() == values,
            "radiation-stage TurbidState requires spectral state");
  }
  s.token = fresh_token(domain, s.token.workflow_revision, s.token.stage);
}

TurbidStateToken fresh_token(const TurbidDomainRecord& domain, uint64_t workflow_revision,
                             TurbidStage stage) {
  TurbidStateToken t;
  t.state_id = state_ids().allocate();
  t.domain_id = domain.domain_id;
  t.workflow_revision = workflow_revision;
  const TurbidRevisions& r = domain.revisions;
  t.domain_revision = r.domain;
  t.geometry_revision = r.geometry;
  t.transport_revision = r.transport;
  t.property_revision = r.property;
  t.illumination_revision = r.illumination;
  t.microclimate_revision = r.microclimate;
  t.sampling_revision = r.sampling;
  t.state_revision = 1;
  t.stage = stage;
  return t;
}

OwnedTurbidState assemble_radiation_state(
    const TurbidDomainRecord& domain, TurbidStateToken token, const std::vector<float>& wavelengths,
    const OwnerBandOptics& optics, const std::vector<float>& total_top,
    const std::vector<float>& total_bottom, const std::vector<float>& direct_top,
    const std::vector<float>& direct_bottom, const std::vector<float>& p_sun) {
  const TurbidSamplePool& pool = *domain.pool;
  const size_t n = pool.samples.size();
  const size_t nb = wavelengths.size();
  const size_t n_owners = pool.owners.size();
  for (const std::vector<float>* v : {&total_top, &total_bottom, &direct_top, &direct_bottom}) {
    require(v->size() == n * nb, "native Turbid leaf-RRT result shape mismatch");
  }
  require(p_sun.size() == n, "native Turbid leaf-RRT result shape mismatch");
  OwnedTurbidState s;
  s.token = token;
  s.wavelengths = wavelengths;
  s.sample_ids.resize(n);
  s.p_sun.resize(n);
  s.sunlit.assign(n, TurbidLeafState{});
  s.shaded.assign(n, TurbidLeafState{});
  s.spectral_sunlit.assign(n * nb, 0.0f);
  s.spectral_shaded.assign(n * nb, 0.0f);
  for (size_t o = 0; o < n_owners; ++o) {
    for (uint64_t i = pool.owner_offsets[o]; i < pool.owner_offsets[o + 1]; ++i) {
      s.sample_ids[i] = pool.samples[i].sample_id;
      const double p = std::clamp(static_cast<double>(p_sun[i]), 0.0, 1.0);
      s.p_sun[i] = static_cast<float>(p);
      double sun_top = 0, sun_bot = 0, direct = 0, shade_top = 0, shade_bot = 0, par_sun = 0,
             par_shade = 0;
      for (size_t b = 0; b < nb; ++b) {
        const size_t ob = b * n_owners + o, at = b * n + i;
        const double tau = optics.transmittance[ob];
        const double a_top = std::max(0.0, 1.0 - optics.front[ob] - tau);
        const double a_bot = std::max(0.0, 1.0 - optics.back[ob] - tau);
        const double d_top = direct_top[at] * a_top, d_bot = direct_bottom[at] * a_bot;
        const double f_top = std::max(0.0, total_top[at] * a_top - d_top * p);
        const double f_bot = std::max(0.0, total_bottom[at] * a_bot - d_bot * p);
        const double lit = d_top + f_top + d_bot + f_bot, shade = f_top + f_bot;
        s.spectral_sunlit[at] = static_cast<float>(lit);
        s.spectral_shaded[at] = static_cast<float>(shade);
        sun_top += d_top + f_top;
        sun_bot += d_bot + f_bot;
        direct += d_top + d_bot;
        shade_top += f_top;
        shade_bot += f_bot;
        const double lambda = wavelengths[b];
        if (lambda >= 400.0 && lambda <= 700.0) {
          const double k = lambda * 1e-9 / kPhotonEnergyPerMole * 1e6;
          par_sun += lit * k;
          par_shade += shade * k;
        }
      }
      auto& lit = s.sunlit[i].values;
      auto& shade = s.shaded[i].values;
      lit[kAbsorbedSwTop] = static_cast<float>(sun_top);
      lit[kAbsorbedSwBottom] = static_cast<float>(sun_bot);
      lit[kAbsorbedSwDirect] = static_cast<float>(direct);
      lit[kApar] = static_cast<float>(par_sun);
      shade[kAbsorbedSwTop] = static_cast<float>(shade_top);
      shade[kAbsorbedSwBottom] = static_cast<float>(shade_bot);
      shade[kApar] = static_cast<float>(par_shade);
    }
  }
  return s;
}

void turbid_moment_sums(const TurbidMomentsJob& job, TurbidAggregation& out) {
  const OwnedTurbidState& state = *job.state;
  for (size_t k = 0; k < out.groups.size(); ++k) {
    TurbidGroupAggregate& g = out.groups[k];
    for (uint64_t e = job.begin[k]; e < job.end[k]; ++e) {
      const uint64_t i = job.samples[e];
      const double gi = job.weights[e], p = state.p_sun[i];
      g.p_sun += gi * p;
      g.converged = g.converged && state.sunlit[i].converged == 1 && state.shaded[i].converged == 1;
      for (size_t f = 0; f < job.fields.size(); ++f) {
        const double sv = state.sunlit[i].values[job.fields[f]];
        const double hv = state.shaded[i].values[job.fields[f]];
        TurbidFieldMoments& m = g.fields[f];
        m.mean += gi * (p * sv + (1.0 - p) * hv);
        m.second_moment += gi * (p * sv * sv + (1.0 - p) * hv * hv);
        m.sunlit_mean += gi * p * sv;
        m.shaded_mean += gi * (1.0 - p) * hv;
      }
    }
  }
}

TurbidAggregationGroups pool_groups(const TurbidSamplePool& pool) {
  TurbidAggregationGroups g;
  g.offsets.push_back(0);
  for (size_t o = 0; o < pool.owners.size(); ++o) {
    g.ids.push_back({pool.owners[o].instance_id, pool.owners[o].component_id});
    const uint64_t begin = pool.owner_offsets[o], end = pool.owner_offsets[o + 1];
    double area = 0.0;
    for (uint64_t i = begin; i < end; ++i) area += pool.samples[i].weight;
    for (uint64_t i = begin; i < end; ++i) {
      g.samples.push_back(i);
      g.weights.push_back(area > 0.0 ? static_cast<float>(pool.samples[i].weight / area) : 0.0f);
    }
    g.offsets.push_back(g.samples.size());
  }
  return g;
}

namespace {

// The largest spacing of float values next to f: the rounding slack of a float weight.
double float_spacing_at(float f) {
  const float up = std::nextafter(f, std::numeric_limits<float>::infinity());
  const float down = std::nextafter(f, -std::numeric_limits<float>::infinity());
  return std::max(static_cast<double>(up) - f, static_cast<double>(f) - down);
}

// Checks of the groups against the pool (every sample once, with its owner) and of their
// weights (finite, non-negative, normalised, within the rounding of the authoritative leaf
// areas).
void check_groups(const TurbidSamplePool& pool, const TurbidAggregationGroups& g) {
  const size_t n = pool.samples.size();
  require(!g.ids.empty(), "Turbid aggregation groups cannot be empty");
  require(g.offsets.size() == g.ids.size() + 1 && g.offsets.front() == 0 &&
              g.offsets.back() == g.samples.size() &&
              std::is_sorted(g.offsets.begin(), g.offsets.end()),
          "Turbid aggregation sample index is out of range");
  std::set<std::pair<uint64_t, uint64_t>> seen;
  for (const auto& id : g.ids) {
    require(id[0] != kReservedId && id[1] != kReservedId,
            "Turbid aggregation group stable identifiers are missing");
    require(seen.emplace(id[0], id[1]).second,
            "duplicate Turbid instance-component aggregation group");
  }
  std::vector<uint8_t> assigned(n, 0);
  for (size_t k = 0; k < g.ids.size(); ++k) {
    for (uint64_t e = g.offsets[k]; e < g.offsets[k + 1]; ++e) {
      const uint64_t i = g.samples[e];
      require(i < n, "Turbid aggregation sample index is out of range");
      require(assigned[i] == 0, "Turbid aggregation sample index is duplicated");
      assigned[i] = 1;
    }
  }
  require(std::find(assigned.begin(), assigned.end(), 0) == assigned.end(),
          "Turbid aggregation must assign every source sample exactly once");
  for (size_t k = 0; k < g.ids.size(); ++k) {
    for (uint64_t e = g.offsets[k]; e < g.offsets[k + 1]; ++e) {
      const TurbidLeafAreaSample& smp = pool.samples[g.samples[e]];
      require(smp.instance_id == g.ids[k][0] && smp.component_id == g.ids[k][1],
              "Turbid aggregation group does not match authoritative sample owner");
    }
  }
  require(g.weights.size() == g.samples.size(),
          "normalized leaf-area weights must have one value per grouped sample");
  for (const double w : g.weights) {
    require(std::isfinite(w), "normalized leaf-area weights contains a non-finite value");
    require(w >= 0.0, "Turbid aggregation weight cannot be negative");
  }
  for (size_t k = 0; k < g.ids.size(); ++k) {
    const uint64_t begin = g.offsets[k], end = g.offsets[k + 1];
    if (begin == end) continue;  // an owner without samples contributes nothing
    double sum = 0.0, area = 0.0;
    for (uint64_t e = begin; e < end; ++e) {
      sum += g.weights[e];
      area += pool.samples[g.samples[e]].weight;
    }
    require(
        sum <= 1.0 ? std::fabs(sum - 1.0) <= kWeightTolerance : sum - 1.0 <= sum * kWeightTolerance,
        "Turbid aggregation leaf-area weights must be normalized");
    // Each weight within the rounding of its authoritative share; the group within the sum.
    double deviation = 0.0, bound = 0.0;
    for (uint64_t e = begin; e < end; ++e) {
      const double a = pool.samples[g.samples[e]].weight / area;
      const float f = static_cast<float>(a);
      require(f > 0.0f, "authoritative Turbid leaf-area weight is not representable");
      const double ei = std::fabs(static_cast<double>(f) - a) + 2.0 * float_spacing_at(f);
      const double di = std::fabs(g.weights[e] - a);
      require(di <= ei, "Turbid aggregation leaf-area weights do not match authoritative samples");
      deviation += di;
      bound += ei;
    }
    require(deviation <= bound, "Turbid aggregation leaf-area weights exceed group error bounds");
  }
}

}  // namespace

TurbidAggregation aggregate_state(const TurbidDomainStorage& storage, const TurbidStateToken& token,
                                  const std::vector<std::string>& fields,
                                  const std::string& diagnostics,
                                  const std::optional<std::vector<uint64_t>>& requested,
                                  const TurbidMomentsSums& sums) {
  const auto domain_it = storage.domains.find(token.domain_id);
  TurbidAggregationGroups groups;
  if (domain_it != storage.domains.end() && domain_it->second.pool) {
    groups = pool_groups(*domain_it->second.pool);
  }
  return aggregate_state(storage, token, fields, groups, diagnostics, requested, sums);
}

TurbidAggregation aggregate_state(const TurbidDomainStorage& storage, const TurbidStateToken& token,
                                  const std::vector<std::string>& fields,
                                  const TurbidAggregationGroups& groups,
                                  const std::string& diagnostics,
                                  const std::optional<std::vector<uint64_t>>& requested,
                                  const TurbidMomentsSums& sums) {
  TurbidAggregation out;
  // 1. Fields.
  require(!fields.empty(), "Turbid aggregation fields cannot be empty");
  for (const std::string& name : fields) {
    const int f = requested_field(name);
    if (f < 0) throw std::invalid_argument("unknown Turbid state field: " + name);
    require(std::find(out.fields.begin(), out.fields.end(), f) == out.fields.end(),
            "duplicate Turbid aggregation field");
    out.fields.push_back(f);
  }
  // 2. The state against its domain's pool.
  const auto domain_it = storage.domains.find(token.domain_id);
  if (domain_it == storage.domains.end()) throw std::runtime_error(kStaleState);
  const TurbidDomainRecord& domain = domain_it->second;
  require(token.sampling_revision == domain.revisions.sampling, "sampling revision mismatch");
  const OwnedTurbidState& state = resolve_state(storage, token);
  const TurbidSamplePool& pool = *domain.pool;
  const size_t n = pool.samples.size();
  require(n > 0 && !groups.ids.empty(), "Turbid aggregation requires source samples and groups");
  require(state.sample_ids.size() == n,
          "Turbid aggregation source count is incompatible with sample pool");
  // 3.-5. Groups and weights.
  check_groups(pool, groups);
  // 6. Diagnostics, before any sums are formed.
  if (diagnostics != "components" && diagnostics != "samples") {
    throw std::invalid_argument("Turbid diagnostics must be 'components' or 'samples'");
  }
  if (diagnostics == "samples") {
    require(requested.has_value(), "sample diagnostics require explicit requested sample IDs");
    std::unordered_map<uint64_t, size_t> index;
    for (size_t i = 0; i < n; ++i) index.emplace(state.sample_ids[i], i);
    for (uint64_t id : *requested) {
      const auto it = index.find(id);
      require(it != index.end(), "requested Turbid diagnostic sample ID is not resident");
      out.diagnostic_samples.push_back(it->second);
    }
  } else {
    require(!requested.has_value(), "requested sample IDs require diagnostics='samples'");
  }
  // 7. Moments, per group with the given weights.
  TurbidMomentsJob job;
  job.state = &state;
  job.fields = out.fields;
  job.samples = groups.samples;
  job.weights = groups.weights;
  for (size_t k = 0; k < groups.ids.size(); ++k) {
    const uint64_t begin = groups.offsets[k], end = groups.offsets[k + 1];
    TurbidGroupAggregate g;
    g.instance_id = groups.ids[k][0];
    g.component_id = groups.ids[k][1];
    g.support = end - begin;
    g.fields.resize(out.fields.size());
    for (uint64_t e = begin; e < end; ++e) g.leaf_area += pool.samples[groups.samples[e]].weight;
    job.begin.push_back(begin);
    job.end.push_back(end);
    out.groups.push_back(std::move(g));
  }
  if (sums) {
    sums(job, out);
  } else {
    turbid_moment_sums(job, out);
  }
  for (TurbidGroupAggregate& g : out.groups) {
    for (TurbidFieldMoments& m : g.fields) {
      const double var = m.second_moment - m.mean * m.mean;
      m.variance = var > 0.0 ? var : 0.0;
      m.sunlit_mean = g.p_sun > 0.0 ? m.sunlit_mean / g.p_sun : 0.0;
      m.shaded_mean = g.p_sun < 1.0 ? m.shaded_mean / (1.0 - g.p_sun) : 0.0;
    }
  }
  return out;
}

std::vector<double> weighted_reduction_weights(const std::vector<double>& values,
                                               const std::vector<double>& weights) {
  require(!values.empty() && values.size() == weights.size(),
          "weighted Turbid reduction requires equally-sized values/weights");
  double area = 0.0;
  for (size_t i = 0; i < values.size(); ++i) {
    require(std::isfinite(values[i]) && std::isfinite(weights[i]) && weights[i] > 0.0,
            "weighted Turbid reduction input must be finite and positive");
    area += weights[i];
  }
  require(area > 0.0, "weighted Turbid reduction area is zero");
  std::vector<double> g(weights.size());
  for (size_t i = 0; i < weights.size(); ++i) g[i] = weights[i] / area;
  return g;
}

TurbidFieldMoments weighted_reduction_moments(double mean, double second_moment) {
  TurbidFieldMoments m;
  m.mean = mean;
  m.second_moment = second_moment;
  const double var = second_moment - mean * mean;
  m.variance = var > 0.0 ? var : 0.0;
  m.sunlit_mean = m.shaded_mean = mean;
  return m;
}

TurbidFieldMoments weighted_reduction(const std::vector<double>& values,
                                      const std::vector<double>& weights) {
  const std::vector<double> g = weighted_reduction_weights(values, weights);
  double mean = 0.0, second = 0.0;
  for (size_t i = 0; i < values.size(); ++i) {
    mean += g[i] * values[i];
    second += g[i] * values[i] * values[i];
  }
  return weighted_reduction_moments(mean, second);
}

}  // namespace tesk::turbid
