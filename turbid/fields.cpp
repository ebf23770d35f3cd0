#include "turbid/fields.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>

#include "core/host/allocation.h"
#include "core/radiometry.h"
#include "core/turbid_sampling.h"
#include "turbid/registry.h"
#include "turbid/state_ops.h"

namespace tesk::turbid {
namespace {

constexpr double kPi = 3.14159265358979323846;

void require(bool ok, const char* message) {
  if (!ok) throw std::invalid_argument(message);
}

// The 10-bit quantised coordinates of p in [lo, hi], interleaved into a 30-bit path: level k
// (1..10) holds bit 10 - k of x, y and z as x | y << 1 | z << 2, most significant level first.
uint32_t spatial_path(const std::array<float, 3>& lo, const std::array<float, 3>& hi,
                      const double p[3]) {
  uint32_t q[3];
  for (int a = 0; a < 3; ++a) {
    const double extent = static_cast<double>(hi[a]) - lo[a];
    double u = extent > 0.0 ? (p[a] - lo[a]) / extent : 0.0;
    u = std::clamp(u, 0.0, 0.9999999999999999);
    if (!(u == u)) u = 0.0;
    q[a] = static_cast<uint32_t>(u * 1024.0);
  }
  uint32_t path = 0;
  for (int k = 1; k <= 10; ++k) {
    const int bit = 10 - k;
    const uint32_t digit =
        ((q[0] >> bit) & 1u) | (((q[1] >> bit) & 1u) << 1) | (((q[2] >> bit) & 1u) << 2);
    path = (path << 3) | digit;
  }
  return path;
}

// Octant of `path` at level `level` (1..10).
uint32_t digit_at(uint32_t path, uint32_t level) {
  return (path >> (3 * (10 - level))) & 7u;
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

// The leaf-area-weighted channel values of sample i of a state.
std::array<double, kFieldChannels> channels(const OwnedTurbidState& s, size_t i, int source) {
  const double p = s.p_sun[i];
  const auto& lit = s.sunlit[i].values;
  const auto& shade = s.shaded[i].values;
  const double direct = p * lit[kAbsorbedSwDirect];
  const double sw_lit = double{lit[kAbsorbedSwTop]} + lit[kAbsorbedSwBottom];
  const double sw_shade = double{shade[kAbsorbedSwTop]} + shade[kAbsorbedSwBottom];
  return {p * lit[source] + (1.0 - p) * shade[source], direct,
          p * (sw_lit - lit[kAbsorbedSwDirect]) + (1.0 - p) * sw_shade};
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

int orientation_bin(double nx, double ny, double nz) {
  if (nx == 0.0 && ny == 0.0 && nz == 0.0) {
    throw std::invalid_argument("Turbid field lookup normal is zero");
  }
  const double len = std::sqrt(nx * nx + ny * ny + nz * nz);
  nx /= len;
  ny /= len;
  nz /= len;
  if (nz < 0.0) {
    nx = -nx;
    ny = -ny;
    nz = -nz;
  }
  const double theta = std::acos(std::min(nz, 1.0));
  // A vertical normal, up or down, has azimuth 0 (as in the SIF source bins), not whatever
  // atan2 makes of the signs of two zeros.
  double phi = (nx != 0.0 || ny != 0.0) ? std::atan2(ny, nx) : 0.0;
  if (phi < 0.0) phi += 2.0 * kPi;
  const int a = std::min(static_cast<int>(phi / (2.0 * kPi) * kFieldAzimuthBins), 7);
  const int z = std::min(static_cast<int>(theta / (kPi / 2.0) * kFieldZenithBins), 3);
  return a + z * kFieldAzimuthBins;
}

TurbidField build_field(const TurbidDomainStorage& storage, const TurbidStateToken& token,
                        const TurbidFieldConfig& config, int64_t memory_budget) {
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

  std::vector<int32_t> leaf_of(pool.samples.size(), -1);
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
      if (c.sample_count <= f.max_samples_per_leaf_cell) {
        for (size_t k = at.lo; k < at.hi; ++k) leaf_of[keyed[k].second] = at.cell;
        continue;
      }
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
  for (size_t i = 0; i < pool.samples.size(); ++i) {
    const TurbidLeafAreaSample& smp = pool.samples[i];
    const int bin = orientation_bin(smp.normal[0], smp.normal[1], smp.normal[2]);
    const auto values = channels(state, i, source);
    const double p = state.p_sun[i];
    const double lit = p * state.sunlit[i].values[source];
    const double shade = (1.0 - p) * state.shaded[i].values[source];
    for (int32_t c = leaf_of[i]; c >= 0; c = f.cells[c].parent_index) {
      TurbidFieldBin& b = f.cells[c].bins[bin];
      b.weight += smp.weight;
      for (int k = 0; k < kFieldChannels; ++k) b.sum[k] += smp.weight * values[k];
      b.sunlit_weight += smp.weight * p;
      b.sunlit_sum += smp.weight * lit;
      b.shaded_sum += smp.weight * shade;
    }
  }
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

TurbidFieldLookup lookup_field(const TurbidField& f, const std::string& kind,
                               const float* positions, const float* normals, size_t n,
                               const TurbidFieldSelector* selector) {
  int channel = -1;
  if (kind == "source") channel = 0;
  if (kind == "direct") channel = 1;
  if (kind == "diffuse") channel = 2;
  if (channel < 0) throw std::invalid_argument("unknown Turbid field source kind: " + kind);
  for (size_t q = 0; q < 3 * n; ++q) {
    require(std::isfinite(positions[q]) && std::isfinite(normals[q]),
            "Turbid field lookup position/normal must be finite");
  }
  for (size_t q = 0; q < n; ++q) {
    require(normals[3 * q] != 0.0f || normals[3 * q + 1] != 0.0f || normals[3 * q + 2] != 0.0f,
            "Turbid field lookup normal must be non-zero");
  }
  TurbidFieldLookup out;
  out.values.resize(n);
  out.matched_depth.resize(n);
  out.fallback_depth.resize(n);
  for (size_t q = 0; q < n; ++q) {
    double p[3] = {positions[3 * q], positions[3 * q + 1], positions[3 * q + 2]};
    size_t owner = f.owners.size();
    if (selector == nullptr) {
      for (size_t o = 0; o < f.owners.size(); ++o) {
        if (!inside_union(f.owners[o].authoritative, p[0], p[1], p[2])) continue;
        require(owner == f.owners.size(),
                "Turbid field lookup is ambiguous without a stable owner/medium selector");
        owner = o;
      }
      require(owner < f.owners.size(), "Turbid field lookup is outside every field owner");
    } else {
      const uint64_t id = selector->owner_ids[q], medium = selector->medium_ids[q];
      const uint64_t alias = selector->resolved_alias_medium_ids[q];
      require(id != 0 && id != kReservedId && medium != 0 && medium != kReservedId,
              "Turbid field owner selection requires stable owner and medium IDs");
      for (size_t o = 0; o < f.owners.size(); ++o) {
        if (f.owners[o].owner_id == id) owner = o;
      }
      require(owner < f.owners.size(),
              "Turbid field owner selector does not belong to this domain");
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
    }
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

// A copy of resident field `token` that carries an observation source of `bands` bands whose
// per-sample face radiances `radiance(i, b, back)` are leaf-area averaged into every bin of the
// sample's leaf cell and its ancestors (the same cells and weights as the field's channels).
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

template <class Radiance>
TurbidField spectral_source(const TurbidDomainStorage& storage, const TurbidFieldToken& token,
                            const char* kind, const std::vector<float>& wavelengths_nm,
                            int64_t memory_budget, Radiance radiance) {
  const TurbidField& base = resolve_field(storage, token);
  require(base.spectral_wavelengths.empty(),
          "Turbid observation source must be built from a plain field");
  require(!wavelengths_nm.empty(), "Turbid observation source needs at least one band");
  for (const float w : wavelengths_nm) {
    require(std::isfinite(w) && w > 0.0f,
            "Turbid observation wavelengths must be positive and finite");
  }
  const TurbidSamplePool& pool = *storage.domains.at(base.token.domain_id).pool;
  const size_t nb = wavelengths_nm.size();
  check_source_budget(base, static_cast<double>(base.cells.size()) * kFieldBins * nb,
                      memory_budget);
  TurbidField f = base;
  const size_t n = f.cells.size() * kFieldBins * nb;
  std::vector<double> front(n, 0.0), back(n, 0.0);
  std::vector<double> r_front(nb), r_back(nb);
  for (size_t o = 0; o < f.owners.size(); ++o) {
    for (uint64_t i = pool.owner_offsets[o]; i < pool.owner_offsets[o + 1]; ++i) {
      const TurbidLeafAreaSample& smp = pool.samples[i];
      const double p[3] = {smp.position[0], smp.position[1], smp.position[2]};
      const int bin = orientation_bin(smp.normal[0], smp.normal[1], smp.normal[2]);
      for (size_t b = 0; b < nb; ++b) {
        r_front[b] = smp.weight * radiance(i, b, false);
        r_back[b] = smp.weight * radiance(i, b, true);
      }
      for (int32_t c = owner_leaf_cell(f, o, p); c >= 0; c = f.cells[c].parent_index) {
        const size_t at = (static_cast<size_t>(c) * kFieldBins + bin) * nb;
        for (size_t b = 0; b < nb; ++b) {
          front[at + b] += r_front[b];
          back[at + b] += r_back[b];
        }
      }
    }
  }
  f.spectral_front.resize(n);
  f.spectral_back.resize(n);
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
  f.source_field = kind;
  f.spectral_wavelengths = wavelengths_nm;
  f.resident_bytes += 2 * n * sizeof(float);
  f.source_field_id = base.token.field_id;
  f.source_field_revision = base.token.field_revision;
  f.token.field_id = field_ids().allocate();
  f.token.field_revision = 1;
  return f;
}

}  // namespace

TurbidField build_thermal_source(const TurbidDomainStorage& storage, const TurbidFieldToken& token,
                                 const std::vector<float>& wavelengths_nm,
                                 const std::vector<float>& emissivity_front,
                                 const std::vector<float>& emissivity_back, int64_t memory_budget) {
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
  const int t = state_field_index("temperature");
  for (size_t i = 0; i < state.p_sun.size(); ++i) {
    const float p = state.p_sun[i];
    const bool lit_ok =
        std::isfinite(state.sunlit[i].values[t]) && (p <= 0.0f || state.sunlit[i].values[t] > 0.0f);
    const bool shade_ok =
        std::isfinite(state.shaded[i].values[t]) && (p >= 1.0f || state.shaded[i].values[t] > 0.0f);
    require(lit_ok && shade_ok, "Turbid thermal source needs positive leaf temperatures");
  }
  return spectral_source(
      storage, token, kThermalSourceKind, wavelengths_nm, memory_budget,
      [&](size_t i, size_t b, bool back) {
        const double p = std::clamp(static_cast<double>(state.p_sun[i]), 0.0, 1.0);
        const float w = wavelengths_nm[b];
        const double lit = p > 0.0 ? planck_radiance(w, state.sunlit[i].values[t]) : 0.0;
        const double shade = p < 1.0 ? planck_radiance(w, state.shaded[i].values[t]) : 0.0;
        return (back ? emissivity_back[b] : emissivity_front[b]) * (p * lit + (1.0 - p) * shade);
      });
}

TurbidField build_sif_source(const TurbidDomainStorage& storage, const TurbidFieldToken& token,
                             const std::vector<float>& wavelengths_nm,
                             const std::vector<float>& exitance_front,
                             const std::vector<float>& exitance_back, int64_t memory_budget) {
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
  constexpr double kInvPi = 1.0 / kPi;
  return spectral_source(storage, token, kSifSourceKind, wavelengths_nm, memory_budget,
                         [&](size_t i, size_t b, bool back) {
                           return kInvPi * (back ? exitance_back : exitance_front)[i * nb + b];
                         });
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
