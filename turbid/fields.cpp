#include "turbid/fields.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>

#include "core/host/allocation.h"
#include "core/radiometry.h"
#include "core/sif_orientation.h"
#include "core/turbid_field_rules.h"
#include "core/turbid_sampling.h"
#include "turbid/registry.h"
#include "turbid/state_ops.h"

namespace tesk::turbid {
namespace {

constexpr double kPi = 3.14159265358979323846;

void require(bool ok, const char* message) {
  if (!ok) throw std::invalid_argument(message);
}

// The spatial key of p in [lo, hi] by the shared rule (core/turbid_field_rules.h).
uint32_t spatial_path(const std::array<float, 3>& lo, const std::array<float, 3>& hi,
                      const double p[3]) {
  return static_cast<uint32_t>(turbid_field_path(turbid_field_quantize(p[0], lo[0], hi[0]),
                                                 turbid_field_quantize(p[1], lo[1], hi[1]),
                                                 turbid_field_quantize(p[2], lo[2], hi[2])));
}

// Octant of `path` at level `level` (1..10).
uint32_t digit_at(uint32_t path, uint32_t level) {
  return static_cast<uint32_t>(turbid_field_digit(static_cast<int>(path), static_cast<int>(level)));
}

uint64_t morton(uint32_t path, uint32_t depth) {
  const uint64_t prefix = depth == 0 ? 0 : static_cast<uint64_t>(path >> (3 * (10 - depth)));
  return (prefix << (36 - 3 * depth)) | depth;
}

bool inside_union(const std::vector<double>& tris, double x, double y, double z) {
  const uint64_t n = tris.size() / 9;
  // The boundary's orientation is not recorded here: the solid angle of either sign decides.
  return inside_closed_boundary(tris.data(), n, 1, x, y, z) ||
         inside_closed_boundary(tris.data(), n, -1, x, y, z);
}

}  // namespace

uint64_t field_cell_bytes() {
  return sizeof(TurbidFieldCell);
}

TurbidSourceSplit source_split(const TurbidFieldBin& b) {
  TurbidSourceSplit out;
  if (!(b.weight > 0.0)) return out;
  const double shaded_weight = b.weight - b.sunlit_weight;
  out.sunlit_fraction = std::clamp(b.sunlit_weight / b.weight, 0.0, 1.0);
  out.sunlit_mean = b.sunlit_weight > 0.0 ? b.sunlit_sum / b.sunlit_weight : 0.0;
  out.shaded_mean = shaded_weight > 0.0 ? b.shaded_sum / shaded_weight : 0.0;
  return out;
}

std::array<float, 3> field_unit_normal(double nx, double ny, double nz) {
  // Scaled by the largest component first, so neither tiny nor huge normals lose their length.
  const double m = std::max({std::fabs(nx), std::fabs(ny), std::fabs(nz)});
  if (!(m > 0.0) || !std::isfinite(m)) return {0.0f, 0.0f, 0.0f};
  nx /= m;
  ny /= m;
  nz /= m;
  const double len = std::sqrt(nx * nx + ny * ny + nz * nz);
  if (!(len > 0.0)) return {0.0f, 0.0f, 0.0f};
  return {static_cast<float>(nx / len), static_cast<float>(ny / len), static_cast<float>(nz / len)};
}

int orientation_bin(double nx, double ny, double nz) {
  if (nx == 0.0 && ny == 0.0 && nz == 0.0) {
    throw std::invalid_argument("Turbid field lookup normal is zero");
  }
  const std::array<float, 3> n = field_unit_normal(nx, ny, nz);
  const int bin = sif_orientation_bin(n[0], n[1], n[2], kFieldZenithBins, kFieldAzimuthBins);
  if (bin < 0) throw std::invalid_argument("Turbid field lookup normal is zero");
  return bin;
}

TurbidFieldLayout field_layout(const TurbidField& f, const TurbidSamplePool& pool) {
  TurbidFieldLayout l;
  const size_t n = pool.samples.size();
  l.order.reserve(n);
  l.leaf_of.assign(n, -1);
  l.bin.assign(n, 0);
  l.cell_begin.assign(f.cells.size(), 0);
  l.cell_end.assign(f.cells.size(), 0);
  for (size_t o = 0; o < f.owners.size(); ++o) {
    const TurbidFieldOwner& owner = f.owners[o];
    std::vector<std::pair<uint32_t, uint64_t>> keyed;  // (path, sample index)
    for (uint64_t i = pool.owner_offsets[o]; i < pool.owner_offsets[o + 1]; ++i) {
      const TurbidLeafAreaSample& s = pool.samples[i];
      const double p[3] = {s.position[0], s.position[1], s.position[2]};
      keyed.emplace_back(spatial_path(owner.bounds_min, owner.bounds_max, p), i);
      l.leaf_of[i] = owner_leaf_cell(f, o, p);
      l.bin[i] = orientation_bin(s.normal[0], s.normal[1], s.normal[2]);
    }
    std::sort(keyed.begin(), keyed.end());
    for (const auto& [path, i] : keyed) l.order.push_back(i);
  }
  // Runs: a cell's samples are those of its subtree, contiguous in key order.
  std::vector<bool> seen(f.cells.size(), false);
  for (uint64_t k = 0; k < l.order.size(); ++k) {
    for (int32_t c = l.leaf_of[l.order[k]]; c >= 0; c = f.cells[c].parent_index) {
      if (!seen[c]) l.cell_begin[c] = k;
      seen[c] = true;
      l.cell_end[c] = k + 1;
    }
  }
  return l;
}

void accumulate_field_bins(const TurbidFieldAssembly& a, TurbidField& f) {
  const OwnedTurbidState& state = a.state;
  const int s = a.source;
  for (size_t i = 0; i < a.pool.samples.size(); ++i) {
    const auto& lit = state.sunlit[i].values;
    const auto& shade = state.shaded[i].values;
    const TurbidFieldTerms t =
        turbid_field_terms(a.pool.samples[i].weight, state.p_sun[i], lit[s], shade[s],
                           lit[kAbsorbedSwDirect], lit[kAbsorbedSwTop], lit[kAbsorbedSwBottom],
                           shade[kAbsorbedSwTop], shade[kAbsorbedSwBottom]);
    for (int32_t c = a.layout.leaf_of[i]; c >= 0; c = f.cells[c].parent_index) {
      TurbidFieldBin& b = f.cells[c].bins[a.layout.bin[i]];
      b.weight += t.weight;
      b.sum[0] += t.source;
      b.sum[1] += t.direct;
      b.sum[2] += t.diffuse;
      b.sunlit_weight += t.sunlit_weight;
      b.sunlit_sum += t.sunlit_sum;
      b.shaded_sum += t.shaded_sum;
    }
  }
}

TurbidField build_field(const TurbidDomainStorage& storage, const TurbidStateToken& token,
                        const TurbidFieldConfig& config, int64_t memory_budget,
                        const TurbidFieldAccumulator& accumulate) {
  const OwnedTurbidState& state = resolve_state(storage, token);
  const TurbidDomainRecord& domain = storage.domains.at(token.domain_id);
  const TurbidSamplePool& pool = *domain.pool;
  require(config.orientation_theta_bins == 4 && config.orientation_phi_bins == 8,
          "Task 7 TurbidField requires the default 4 x 8 orientation layout");
  const int source = state_field_index(config.source_field);
  require(source >= 0, "Turbid field channels are missing");
  TurbidField f;
  f.source_field = config.source_field;
  f.max_samples_per_leaf_cell = config.max_samples_per_leaf_cell != 0
                                    ? config.max_samples_per_leaf_cell
                                    : domain.config.max_samples_per_leaf_cell;
  require(f.max_samples_per_leaf_cell > 0, "Turbid maximum samples per leaf cell must be positive");

  // Owners: the relation owner of each pool owner and its authoritative parts.
  if (!domain.relations) {
    throw std::invalid_argument("Turbid field owner has no authoritative scene relation");
  }
  const TurbidSceneRelations& rel = *domain.relations;
  for (const TurbidSampleOwner& po : pool.owners) {
    TurbidFieldOwner o;
    o.instance_id = po.instance_id;
    o.component_id = po.component_id;
    o.medium_id = po.medium_id;
    const auto ro = std::find_if(rel.owners.begin(), rel.owners.end(), [&](const auto& r) {
      return r.instance_id == po.instance_id && r.component_id == po.component_id &&
             r.medium_id == po.medium_id && r.domain_key == domain.domain_key;
    });
    if (ro == rel.owners.end()) {
      throw std::invalid_argument("Turbid field owner has no authoritative scene relation");
    }
    o.owner_id = ro->owner_id;
    bool authoritative = false;
    for (const TurbidScenePart& part : rel.parts) {
      if (part.owner_id != o.owner_id) continue;
      if (part.alias_medium_id != kNoAlias) {
        o.aliases.emplace_back(part.alias_medium_id, part.shift);
        continue;
      }
      if (!authoritative) {
        o.bounds_min = part.bounds_min;
        o.bounds_max = part.bounds_max;
      }
      for (int a = 0; a < 3; ++a) {
        o.bounds_min[a] = std::min(o.bounds_min[a], part.bounds_min[a]);
        o.bounds_max[a] = std::max(o.bounds_max[a], part.bounds_max[a]);
      }
      authoritative = true;
      for (uint64_t t = part.triangle_offset; t < part.triangle_offset + part.triangle_count; ++t) {
        for (int k = 0; k < 3; ++k) {
          const float* v = &rel.vertices[3 * static_cast<size_t>(rel.triangles[3 * t + k])];
          o.authoritative.insert(o.authoritative.end(), {v[0], v[1], v[2]});
        }
      }
    }
    if (!authoritative) {
      throw std::invalid_argument("Turbid field owner has no authoritative geometry part");
    }
    f.owners.push_back(std::move(o));
  }

  // Budget: every owner's root first, then each cell of a split as it is made.
  require(memory_budget > 0, "Turbid field memory budget must be positive");
  const uint64_t cell = field_cell_bytes();
  const auto budget = static_cast<uint64_t>(memory_budget);
  require(budget / cell >= f.owners.size(),
          "Turbid field memory budget cannot hold mandatory roots");
  uint64_t used = cell * f.owners.size();

  f.owner_cell_offsets.push_back(0);
  for (size_t o = 0; o < f.owners.size(); ++o) {
    const TurbidFieldOwner& owner = f.owners[o];
    const uint64_t begin = pool.owner_offsets[o], end = pool.owner_offsets[o + 1];
    std::vector<std::pair<uint32_t, uint64_t>> keyed;  // (path, sample index), by path
    keyed.reserve(end - begin);
    for (uint64_t i = begin; i < end; ++i) {
      const double p[3] = {pool.samples[i].position[0], pool.samples[i].position[1],
                           pool.samples[i].position[2]};
      keyed.emplace_back(spatial_path(owner.bounds_min, owner.bounds_max, p), i);
    }
    std::sort(keyed.begin(), keyed.end());
    // Depth-first splitting over contiguous ranges of the sorted keys.
    struct Pending {
      int32_t cell;
      size_t lo, hi;
    };
    const auto root = static_cast<int32_t>(f.cells.size());
    f.cells.emplace_back();
    f.cells[root].morton_code = morton(0, 0);
    std::vector<Pending> stack{{root, 0, keyed.size()}};
    while (!stack.empty()) {
      const Pending at = stack.back();
      stack.pop_back();
      TurbidFieldCell& c = f.cells[at.cell];
      c.sample_count = static_cast<uint32_t>(at.hi - at.lo);
      if (c.sample_count <= f.max_samples_per_leaf_cell) continue;
      if (c.depth >= kMaxFieldDepth) {
        throw std::invalid_argument("Turbid field depth cannot satisfy its leaf sample cap");
      }
      const uint32_t level = c.depth + 1;
      const uint32_t depth = c.depth;
      size_t k = at.lo;
      std::vector<Pending> children;
      while (k < at.hi) {
        const uint32_t digit = digit_at(keyed[k].first, level);
        size_t e = k;
        while (e < at.hi && digit_at(keyed[e].first, level) == digit) ++e;
        if (budget - used < cell) {
          throw std::invalid_argument("Turbid field memory budget cannot hold the next cell");
        }
        used += cell;
        const auto child = static_cast<int32_t>(f.cells.size());
        f.cells.emplace_back();
        TurbidFieldCell& n = f.cells[child];
        n.parent_index = at.cell;
        n.depth = depth + 1;
        n.morton_code = morton(keyed[k].first, depth + 1);
        f.cells[at.cell].children[digit] = child;
        children.push_back({child, k, e});
        k = e;
      }
      // Push in reverse so octants are visited in increasing order.
      for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back(*it);
    }
    f.owner_cell_offsets.push_back(f.cells.size());
  }

  // Every sample adds its leaf area and weighted channels to its orientation bin in its leaf
  // cell and every ancestor.
  accumulate(TurbidFieldAssembly{pool, state, source, field_layout(f, pool)}, f);
  f.resident_bytes = used;
  if (f.resident_bytes > budget) {
    throw std::invalid_argument("Turbid field final resident bytes exceed its hard budget");
  }

  f.token.domain_id = token.domain_id;
  f.token.state_id = token.state_id;
  if (config.replace_field_id != 0) {
    const auto old = storage.fields.find(config.replace_field_id);
    if (old == storage.fields.end()) {
      throw std::runtime_error(
          "Stale TurbidField token belongs to another scene/domain/state. No fallback was "
          "performed.");
    }
    if (old->second->token.field_revision == std::numeric_limits<uint64_t>::max()) {
      throw std::overflow_error("Turbid field revision overflow");
    }
    f.token.field_id = config.replace_field_id;
    f.token.field_revision = old->second->token.field_revision + 1;
  } else {
    f.token.field_id = field_ids().allocate();
    f.token.field_revision = 1;
  }
  return f;
}

const TurbidField& resolve_field(const TurbidDomainStorage& storage,
                                 const TurbidFieldToken& token) {
  const auto it = storage.fields.find(token.field_id);
  if (it == storage.fields.end() || it->second->token.domain_id != token.domain_id ||
      it->second->token.field_revision != token.field_revision ||
      it->second->token.state_id != token.state_id || !storage.states.count(token.state_id)) {
    throw std::runtime_error(
        "Stale TurbidField token belongs to another scene/domain/state. No fallback was "
        "performed.");
  }
  return *it->second;
}

int field_channel(const std::string& kind) {
  if (kind == "source") return 0;
  if (kind == "direct") return 1;
  if (kind == "diffuse") return 2;
  throw std::invalid_argument("unknown Turbid field source kind: " + kind);
}

void check_field_queries(const float* positions, const float* normals, size_t n) {
  for (size_t q = 0; q < 3 * n; ++q) {
    require(std::isfinite(positions[q]) && std::isfinite(normals[q]),
            "Turbid field lookup position/normal must be finite");
  }
  for (size_t q = 0; q < n; ++q) {
    require(normals[3 * q] != 0.0f || normals[3 * q + 1] != 0.0f || normals[3 * q + 2] != 0.0f,
            "Turbid field lookup normal must be non-zero");
  }
}

size_t lookup_owner(const TurbidField& f, const float* position, size_t q,
                    const TurbidFieldSelector* selector, double p[3]) {
  for (int a = 0; a < 3; ++a) p[a] = position[a];
  size_t owner = f.owners.size();
  if (selector == nullptr) {
    for (size_t o = 0; o < f.owners.size(); ++o) {
      if (!inside_union(f.owners[o].authoritative, p[0], p[1], p[2])) continue;
      require(owner == f.owners.size(),
              "Turbid field lookup is ambiguous without a stable owner/medium selector");
      owner = o;
    }
    require(owner < f.owners.size(), "Turbid field lookup is outside every field owner");
    return owner;
  }
  const uint64_t id = selector->owner_ids[q], medium = selector->medium_ids[q];
  const uint64_t alias = selector->resolved_alias_medium_ids[q];
  require(id != 0 && id != kReservedId && medium != 0 && medium != kReservedId,
          "Turbid field owner selection requires stable owner and medium IDs");
  for (size_t o = 0; o < f.owners.size(); ++o) {
    if (f.owners[o].owner_id == id) owner = o;
  }
  require(owner < f.owners.size(), "Turbid field owner selector does not belong to this domain");
  const TurbidFieldOwner& w = f.owners[owner];
  require(w.medium_id == medium, "Turbid field selector has no resident owner");
  std::array<float, 3> shift{};
  bool known = alias == w.medium_id;
  for (const auto& [a, s] : w.aliases) {
    if (!known && a == alias) {
      shift = s;
      known = true;
    }
  }
  require(known, "Turbid field resolved alias does not belong to its owner");
  for (int a = 0; a < 3; ++a) p[a] -= shift[a];
  require(inside_union(w.authoritative, p[0], p[1], p[2]),
          "Turbid field lookup lies outside the selected authoritative part union");
  return owner;
}

TurbidFieldLookup lookup_field(const TurbidField& f, const std::string& kind,
                               const float* positions, const float* normals, size_t n,
                               const TurbidFieldSelector* selector) {
  const int channel = field_channel(kind);
  check_field_queries(positions, normals, n);
  TurbidFieldLookup out;
  out.values.resize(n);
  out.matched_depth.resize(n);
  out.fallback_depth.resize(n);
  for (size_t q = 0; q < n; ++q) {
    double p[3];
    const size_t owner = lookup_owner(f, positions + 3 * q, q, selector, p);
    const int32_t leaf = owner_leaf_cell(f, owner, p);
    out.matched_depth[q] = static_cast<int32_t>(f.cells[leaf].depth);
    const int bin = orientation_bin(normals[3 * q], normals[3 * q + 1], normals[3 * q + 2]);
    int32_t c = leaf;
    while (c >= 0 && !(f.cells[c].bins[bin].weight > 0.0)) c = f.cells[c].parent_index;
    require(c >= 0, "Turbid field orientation has no populated ancestor");
    const TurbidFieldBin& b = f.cells[c].bins[bin];
    out.fallback_depth[q] = static_cast<int32_t>(f.cells[c].depth);
    out.values[q] = static_cast<float>(b.sum[channel] / b.weight);
  }
  return out;
}

namespace {

// The budget checks of a source of `n` radiance values per face on `base`, made before
// anything is allocated: the resident tables against the caller's budget (0: none), the
// build's tables (double sums and float means of both faces) against physical memory.
void check_source_budget(const TurbidField& base, double n, int64_t memory_budget) {
  require(memory_budget >= 0, "Turbid field memory budget must be positive");
  const double resident = static_cast<double>(base.resident_bytes) + 2.0 * n * sizeof(float);
  if (memory_budget > 0 && resident > static_cast<double>(memory_budget)) {
    throw std::invalid_argument("Turbid field final resident bytes exceed its hard budget");
  }
  check_allocation(2.0 * n * (sizeof(double) + sizeof(float)), "Turbid observation source");
}

// The face radiance (W m-2 sr-1 nm-1) of sample i in band b of a thermal source,
// eps (p B(T_sunlit) + (1 - p) B(T_shaded)), or of a SIF source, exitance / pi.
double source_radiance(const OwnedTurbidState& state, const TurbidSourceInputs& in, size_t i,
                       size_t b, bool back) {
  const size_t nb = in.wavelengths.size();
  if (std::string(in.kind) == kSifSourceKind) {
    constexpr double kInvPi = 1.0 / kPi;
    return kInvPi * (back ? in.back : in.front)[i * nb + b];
  }
  const int t = kTemperature;
  const double p = std::clamp(static_cast<double>(state.p_sun[i]), 0.0, 1.0);
  const float w = in.wavelengths[b];
  const double lit = p > 0.0 ? planck_radiance(w, state.sunlit[i].values[t]) : 0.0;
  const double shade = p < 1.0 ? planck_radiance(w, state.shaded[i].values[t]) : 0.0;
  return (back ? in.back : in.front)[b] * (p * lit + (1.0 - p) * shade);
}

// A copy of resident field `token` that carries an observation source of the inputs' bands:
// the shared checks, then `accumulate` fills the radiance tables.
TurbidField spectral_source(const TurbidDomainStorage& storage, const TurbidFieldToken& token,
                            const TurbidSourceInputs& inputs, int64_t memory_budget,
                            const TurbidSourceAccumulator& accumulate) {
  const TurbidField& base = resolve_field(storage, token);
  require(base.spectral_wavelengths.empty(),
          "Turbid observation source must be built from a plain field");
  require(!inputs.wavelengths.empty(), "Turbid observation source needs at least one band");
  for (const float w : inputs.wavelengths) {
    require(std::isfinite(w) && w > 0.0f,
            "Turbid observation wavelengths must be positive and finite");
  }
  const TurbidSamplePool& pool = *storage.domains.at(base.token.domain_id).pool;
  const OwnedTurbidState& state = *storage.states.at(base.token.state_id);
  const size_t nb = inputs.wavelengths.size();
  check_source_budget(base, static_cast<double>(base.cells.size()) * kFieldBins * nb,
                      memory_budget);
  TurbidField f = base;
  const size_t n = f.cells.size() * kFieldBins * nb;
  f.spectral_front.assign(n, 0.0f);
  f.spectral_back.assign(n, 0.0f);
  accumulate(TurbidFieldAssembly{pool, state, 0, field_layout(base, pool)}, inputs, f);
  f.source_field = inputs.kind;
  f.spectral_wavelengths = inputs.wavelengths;
  f.resident_bytes += 2 * n * sizeof(float);
  f.source_field_id = base.token.field_id;
  f.source_field_revision = base.token.field_revision;
  f.token.field_id = field_ids().allocate();
  f.token.field_revision = 1;
  return f;
}

}  // namespace

void accumulate_source_bins(const TurbidFieldAssembly& a, const TurbidSourceInputs& in,
                            TurbidField& f) {
  const size_t nb = in.wavelengths.size();
  const size_t n = f.cells.size() * kFieldBins * nb;
  std::vector<double> front(n, 0.0), back(n, 0.0);
  std::vector<double> r_front(nb), r_back(nb);
  for (size_t i = 0; i < a.pool.samples.size(); ++i) {
    const double w = a.pool.samples[i].weight;
    for (size_t b = 0; b < nb; ++b) {
      r_front[b] = w * source_radiance(a.state, in, i, b, false);
      r_back[b] = w * source_radiance(a.state, in, i, b, true);
    }
    for (int32_t c = a.layout.leaf_of[i]; c >= 0; c = f.cells[c].parent_index) {
      const size_t at = (static_cast<size_t>(c) * kFieldBins + a.layout.bin[i]) * nb;
      for (size_t b = 0; b < nb; ++b) {
        front[at + b] += r_front[b];
        back[at + b] += r_back[b];
      }
    }
  }
  for (size_t c = 0; c < f.cells.size(); ++c) {
    for (int bin = 0; bin < kFieldBins; ++bin) {
      const double w = f.cells[c].bins[bin].weight;
      const size_t at = (c * kFieldBins + bin) * nb;
      for (size_t b = 0; b < nb; ++b) {
        f.spectral_front[at + b] = w > 0.0 ? static_cast<float>(front[at + b] / w) : 0.0f;
        f.spectral_back[at + b] = w > 0.0 ? static_cast<float>(back[at + b] / w) : 0.0f;
      }
    }
  }
}

TurbidField build_thermal_source(const TurbidDomainStorage& storage, const TurbidFieldToken& token,
                                 const std::vector<float>& wavelengths_nm,
                                 const std::vector<float>& emissivity_front,
                                 const std::vector<float>& emissivity_back, int64_t memory_budget,
                                 const TurbidSourceAccumulator& accumulate) {
  const TurbidField& base = resolve_field(storage, token);
  const OwnedTurbidState& state = *storage.states.at(base.token.state_id);
  require(emissivity_front.size() == wavelengths_nm.size() &&
              emissivity_back.size() == wavelengths_nm.size(),
          "Turbid thermal source emissivity must have one value per band");
  for (size_t b = 0; b < wavelengths_nm.size(); ++b) {
    require(emissivity_front[b] >= 0.0f && emissivity_front[b] <= 1.0f &&
                emissivity_back[b] >= 0.0f && emissivity_back[b] <= 1.0f,
            "Turbid thermal source emissivity must lie in [0, 1]");
  }
  const int t = kTemperature;
  for (size_t i = 0; i < state.p_sun.size(); ++i) {
    const float p = state.p_sun[i];
    const bool lit_ok =
        std::isfinite(state.sunlit[i].values[t]) && (p <= 0.0f || state.sunlit[i].values[t] > 0.0f);
    const bool shade_ok =
        std::isfinite(state.shaded[i].values[t]) && (p >= 1.0f || state.shaded[i].values[t] > 0.0f);
    require(lit_ok && shade_ok, "Turbid thermal source needs positive leaf temperatures");
  }
  return spectral_source(storage, token,
                         {kThermalSourceKind, wavelengths_nm, emissivity_front, emissivity_back},
                         memory_budget, accumulate);
}

TurbidField build_sif_source(const TurbidDomainStorage& storage, const TurbidFieldToken& token,
                             const std::vector<float>& wavelengths_nm,
                             const std::vector<float>& exitance_front,
                             const std::vector<float>& exitance_back, int64_t memory_budget,
                             const TurbidSourceAccumulator& accumulate) {
  const TurbidField& base = resolve_field(storage, token);
  const size_t samples = storage.domains.at(base.token.domain_id).pool->samples.size();
  const size_t nb = wavelengths_nm.size();
  require(exitance_front.size() == samples * nb && exitance_back.size() == samples * nb,
          "Turbid SIF source spectra must be [samples, bands] arrays");
  for (size_t k = 0; k < exitance_front.size(); ++k) {
    require(std::isfinite(exitance_front[k]) && exitance_front[k] >= 0.0f &&
                std::isfinite(exitance_back[k]) && exitance_back[k] >= 0.0f,
            "Turbid SIF source spectra must be finite and non-negative");
  }
  return spectral_source(storage, token,
                         {kSifSourceKind, wavelengths_nm, exitance_front, exitance_back},
                         memory_budget, accumulate);
}

int32_t owner_leaf_cell(const TurbidField& f, size_t owner, const double p[3]) {
  const TurbidFieldOwner& w = f.owners[owner];
  const uint32_t path = spatial_path(w.bounds_min, w.bounds_max, p);
  auto c = static_cast<int32_t>(f.owner_cell_offsets[owner]);
  while (f.cells[c].depth < kMaxFieldDepth) {
    const int32_t next = f.cells[c].children[digit_at(path, f.cells[c].depth + 1)];
    if (next < 0) break;
    c = next;
  }
  return c;
}

int32_t transport_lookup_cell(const TurbidField& f, size_t owner, const double p[3], int bin) {
  const int32_t leaf = owner_leaf_cell(f, owner, p);
  for (int32_t c = leaf; c >= 0; c = f.cells[c].parent_index) {
    if (f.cells[c].bins[bin].weight > 0.0) return c;
  }
  // The root holds every sample of the owner: without leaf area there, none anywhere.
  const TurbidFieldCell& root = f.cells[f.owner_cell_offsets[owner]];
  for (const TurbidFieldBin& b : root.bins) {
    if (b.weight > 0.0)
      throw std::runtime_error("Turbid spectral field has no populated orientation");
  }
  throw std::runtime_error("Turbid field lookup has no populated spatial/orientation ancestor");
}

double owner_spectral_radiance(const TurbidField& f, size_t owner, const double p[3], int bin,
                               int band, bool back) {
  const size_t nb = f.spectral_wavelengths.size();
  const std::vector<float>& r = back ? f.spectral_back : f.spectral_front;
  const int32_t c = transport_lookup_cell(f, owner, p, bin);
  return r[(static_cast<size_t>(c) * kFieldBins + bin) * nb + static_cast<size_t>(band)];
}

}  // namespace tesk::turbid
