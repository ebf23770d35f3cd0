#include "turbid/sampling.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "core/host/allocation.h"
#include "core/host/parallel.h"
#include "turbid/relations.h"

namespace tesk::turbid {
namespace {

[[noreturn]] void refuse(const std::string& message) {
  throw std::invalid_argument(message);
}
[[noreturn]] void native_failure(const char* message) {
  throw std::runtime_error(message);
}

// Candidates generated per chunk of the parallel driver.
constexpr size_t kCandidateChunk = 256;

bool finite_all(const float* x, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (!std::isfinite(x[i])) return false;
  }
  return true;
}

// A stable 32-bit mix of 32-bit words, started from an odd constant.
uint32_t fold_words(uint32_t h, std::initializer_list<uint64_t> values) {
  for (uint64_t v : values) {
    h = lowbias32(h ^ static_cast<uint32_t>(v)) * 0x9e3779b1U;
    h = lowbias32(h ^ static_cast<uint32_t>(v >> 32)) * 0x85ebca77U;
  }
  return lowbias32(h);
}

uint32_t owner_tag(const TurbidComponent& c) {
  return fold_words(0x27d4eb2fU, {c.instance_id, c.component_id});
}

uint32_t owner_stream_key(const TurbidComponent& c, uint64_t seed) {
  return fold_words(0x165667b1U, {c.instance_id, c.component_id, seed});
}

// Checks monotonic CSR offsets spanning [0, total]; `what` prefixes the messages.
void check_offsets(const std::vector<uint64_t>& offsets, uint64_t total, const std::string& what) {
  if (offsets.empty() || offsets.front() != 0 || offsets.back() != total) {
    refuse(what + " offsets must span the referenced buffer");
  }
  for (size_t i = 1; i < offsets.size(); ++i) {
    if (offsets[i] < offsets[i - 1] || offsets[i] > total) {
      refuse(what + " offsets are non-monotonic or out of range");
    }
  }
}

struct Range {
  uint64_t vertex_begin = 0, vertex_end = 0, triangle_begin = 0, triangle_end = 0;
};

Range component_range(const TurbidDomainDescriptor& d, size_t c) {
  if (d.component_vertex_offsets.empty()) {
    return {0, d.vertices.size() / 3, 0, d.triangles.size() / 3};
  }
  return {d.component_vertex_offsets[c], d.component_vertex_offsets[c + 1],
          d.component_triangle_offsets[c], d.component_triangle_offsets[c + 1]};
}

// Closed-boundary checks of one part: edges, fans around vertices.
void validate_closed_part(const TurbidDomainDescriptor& d, const Range& r) {
  if (r.triangle_end <= r.triangle_begin || r.vertex_end <= r.vertex_begin) {
    refuse("Turbid closed triangle boundary is missing geometry");
  }
  for (uint64_t t = r.triangle_begin; t < r.triangle_end; ++t) {
    for (int k = 0; k < 3; ++k) {
      const uint64_t i = d.triangles[3 * t + k];
      if (i < r.vertex_begin || i >= r.vertex_end) {
        refuse("Turbid part triangle references another geometry range");
      }
    }
  }
  for (uint64_t v = r.vertex_begin; v < r.vertex_end; ++v) {
    if (!finite_all(&d.vertices[3 * v], 3)) {
      refuse("Turbid closed triangle boundary contains non-finite vertices");
    }
  }
  for (uint64_t t = r.triangle_begin; t < r.triangle_end; ++t) {
    const uint32_t* tri = &d.triangles[3 * t];
    if (tri[0] == tri[1] || tri[1] == tri[2] || tri[0] == tri[2]) {
      refuse("Turbid closed triangle boundary contains a degenerate triangle");
    }
    double e[2][3];
    for (int k = 0; k < 3; ++k) {
      e[0][k] = static_cast<double>(d.vertices[3 * tri[1] + k]) - d.vertices[3 * tri[0] + k];
      e[1][k] = static_cast<double>(d.vertices[3 * tri[2] + k]) - d.vertices[3 * tri[0] + k];
    }
    const double nx = e[0][1] * e[1][2] - e[0][2] * e[1][1];
    const double ny = e[0][2] * e[1][0] - e[0][0] * e[1][2];
    const double nz = e[0][0] * e[1][1] - e[0][1] * e[1][0];
    if (nx * nx + ny * ny + nz * nz == 0.0) {
      refuse("Turbid closed triangle boundary contains a degenerate triangle");
    }
  }
  struct EdgeUse {
    int count = 0, signed_count = 0;
  };
  std::unordered_map<uint64_t, EdgeUse> edges;
  edges.reserve(static_cast<size_t>(r.triangle_end - r.triangle_begin) * 3);
  for (uint64_t t = r.triangle_begin; t < r.triangle_end; ++t) {
    for (int k = 0; k < 3; ++k) {
      const uint32_t a = d.triangles[3 * t + k], b = d.triangles[3 * t + (k + 1) % 3];
      EdgeUse& e = edges[(static_cast<uint64_t>(std::min(a, b)) << 32) | std::max(a, b)];
      ++e.count;
      e.signed_count += a < b ? 1 : -1;
    }
  }
  bool open = false, inconsistent = false;
  for (const auto& [key, e] : edges) {
    if (e.count > 2) refuse("Turbid closed triangle boundary has a non-manifold edge");
    if (e.count == 1) open = true;
    if (e.count == 2 && e.signed_count != 0) inconsistent = true;
  }
  if (open) refuse("Turbid closed triangle boundary is open");
  if (inconsistent) refuse("Turbid closed triangle boundary has inconsistent orientation");
  // One fan per vertex: the opposite edges of the triangles around a vertex form one cycle.
  std::unordered_map<uint32_t, std::vector<std::pair<uint32_t, uint32_t>>> links;
  for (uint64_t t = r.triangle_begin; t < r.triangle_end; ++t) {
    const uint32_t* tri = &d.triangles[3 * t];
    for (int k = 0; k < 3; ++k) links[tri[k]].emplace_back(tri[(k + 1) % 3], tri[(k + 2) % 3]);
  }
  for (auto& [vertex, link] : links) {
    std::unordered_map<uint32_t, uint32_t> next;
    for (const auto& [from, to] : link) next[from] = to;
    uint32_t at = link.front().first;
    size_t steps = 0;
    do {
      at = next[at];
      ++steps;
    } while (at != link.front().first && steps <= link.size());
    if (steps != link.size()) {
      refuse("Turbid closed triangle boundary has a bow-tie/non-manifold vertex");
    }
  }
}

// The world triangles of a component, three double vertices per triangle.
std::vector<double> world_triangles(const TurbidDomainDescriptor& d, size_t c, const Range& r) {
  const auto& m = d.components[c].object_to_world;
  std::vector<double> out;
  out.reserve(static_cast<size_t>(r.triangle_end - r.triangle_begin) * 9);
  for (uint64_t t = r.triangle_begin; t < r.triangle_end; ++t) {
    for (int k = 0; k < 3; ++k) {
      const float* v = &d.vertices[3 * d.triangles[3 * t + k]];
      for (int row = 0; row < 3; ++row) {
        const double w = static_cast<double>(m[4 * row]) * v[0] +
                         static_cast<double>(m[4 * row + 1]) * v[1] +
                         static_cast<double>(m[4 * row + 2]) * v[2] + m[4 * row + 3];
        out.push_back(static_cast<double>(static_cast<float>(w)));
      }
    }
  }
  return out;
}

// Everything the generator and acceptor need about one owner.
struct PreparedOwner {
  std::vector<double> triangles;
  CandidateOwnerView view;
  TurbidSampleOwner summary;
  uint64_t limit = 0;
};

PreparedOwner prepare_owner(const TurbidDomainDescriptor& d, size_t c, uint32_t budget,
                            const TurbidSamplingConfig& config) {
  const TurbidComponent& comp = d.components[c];
  PreparedOwner p;
  p.triangles = world_triangles(d, c, component_range(d, c));
  double lo[3], hi[3];
  for (int k = 0; k < 3; ++k) {
    lo[k] = std::numeric_limits<double>::infinity();
    hi[k] = -lo[k];
  }
  for (size_t i = 0; i < p.triangles.size(); ++i) {
    lo[i % 3] = std::min(lo[i % 3], p.triangles[i]);
    hi[i % 3] = std::max(hi[i % 3], p.triangles[i]);
  }
  for (int k = 0; k < 3; ++k) {
    const double tol_min = 1e-5 * std::max(1.0, std::fabs(static_cast<double>(comp.bounds_min[k])));
    const double tol_max = 1e-5 * std::max(1.0, std::fabs(static_cast<double>(comp.bounds_max[k])));
    if (std::fabs(lo[k] - comp.bounds_min[k]) > tol_min ||
        std::fabs(hi[k] - comp.bounds_max[k]) > tol_max) {
      refuse("Turbid component bounds do not match closed triangle boundary");
    }
    p.view.bounds_min[k] = static_cast<float>(lo[k]);
    p.view.bounds_max[k] = static_cast<float>(hi[k]);
  }
  double signed_sum = 0.0;
  const double* r = p.triangles.data();
  for (size_t t = 0; t < p.triangles.size() / 9; ++t) {
    const double* v = p.triangles.data() + 9 * t;
    const double a[3] = {v[0] - r[0], v[1] - r[1], v[2] - r[2]};
    const double b[3] = {v[3] - r[0], v[4] - r[1], v[5] - r[2]};
    const double e[3] = {v[6] - r[0], v[7] - r[1], v[8] - r[2]};
    signed_sum += a[0] * (b[1] * e[2] - b[2] * e[1]) - a[1] * (b[0] * e[2] - b[2] * e[0]) +
                  a[2] * (b[0] * e[1] - b[1] * e[0]);
  }
  const double volume = comp.closed_orientation * signed_sum / 6.0;
  const double box = (hi[0] - lo[0]) * (hi[1] - lo[1]) * (hi[2] - lo[2]);
  if (!(volume > 1e-9 * box) || !std::isfinite(volume)) {
    refuse("Turbid closed triangle boundary is degenerate or has wrong orientation");
  }
  const double area = static_cast<double>(comp.leaf_area_density) * volume;
  const double weight = area / budget;
  const float area_f = static_cast<float>(area), weight_f = static_cast<float>(weight);
  if (!(std::isfinite(area_f) && area_f > 0.0f && std::isfinite(weight_f) && weight_f > 0.0f)) {
    throw std::overflow_error(
        "Turbid target leaf area and sample weight must be finite, positive, and "
        "float-representable");
  }
  if (config.max_candidates > 0) {
    if (config.max_candidates > 0xffffffffULL) {
      throw std::overflow_error("Turbid candidate limit exceeds uint32 candidate indexing");
    }
    p.limit = config.max_candidates;
  } else {
    p.limit = std::min<uint64_t>(static_cast<uint64_t>(budget) * 1024ULL, 0xffffffffULL);
  }
  p.view.world_triangles = p.triangles.data();
  p.view.n_triangles = p.triangles.size() / 9;
  p.view.orientation = comp.closed_orientation;
  p.view.leaf_angle = comp.leaf_angle;
  p.view.stream_key = owner_stream_key(comp, config.seed);
  p.summary.instance_id = comp.instance_id;
  p.summary.component_id = comp.component_id;
  p.summary.medium_id = comp.medium_id;
  p.summary.property_ids = comp.property_ids;
  p.summary.budget = budget;
  p.summary.target_leaf_area = area;
  p.summary.weight = weight_f;
  p.summary.tag = owner_tag(comp);
  return p;
}

}  // namespace

uint32_t resolve_sample_budget(const TurbidSamplingConfig& config) {
  static constexpr uint32_t kDefaults[3] = {512, 4096, 16384};
  if (config.quality > 2) refuse("unknown Turbid quality");
  if (config.orientation_theta_bins == 0 || config.orientation_phi_bins == 0) {
    refuse("Turbid orientation dimensions must be positive");
  }
  if (static_cast<uint64_t>(config.orientation_theta_bins) * config.orientation_phi_bins >=
      (1ULL << 31)) {
    refuse("Turbid orientation exceeds native device indexing");
  }
  if (config.max_samples_per_leaf_cell == 0) {
    refuse("Turbid maximum samples per leaf cell must be positive");
  }
  const uint32_t budget =
      config.sample_budget != 0 ? config.sample_budget : kDefaults[config.quality];
  if (budget > kMaxSampleBudget) {
    throw std::overflow_error(
        "Turbid accepted sample budget exceeds the native candidate/index limit");
  }
  return budget;
}

std::vector<double> component_world_triangles(const TurbidDomainDescriptor& d, size_t c) {
  return world_triangles(d, c, component_range(d, c));
}

std::vector<float> component_world_vertices(const TurbidDomainDescriptor& d, size_t c) {
  const Range r = component_range(d, c);
  const auto& m = d.components[c].object_to_world;
  std::vector<float> out;
  out.reserve(static_cast<size_t>(r.vertex_end - r.vertex_begin) * 3);
  for (uint64_t i = r.vertex_begin; i < r.vertex_end; ++i) {
    const float* v = &d.vertices[3 * i];
    for (int row = 0; row < 3; ++row) {
      out.push_back(static_cast<float>(
          static_cast<double>(m[4 * row]) * v[0] + static_cast<double>(m[4 * row + 1]) * v[1] +
          static_cast<double>(m[4 * row + 2]) * v[2] + m[4 * row + 3]));
    }
  }
  return out;
}

void validate_descriptor(const TurbidDomainDescriptor& d) {
  if (d.contract_revision != 1) refuse("incompatible Turbid contract revision");
  const std::pair<uint64_t, const char*> revisions[] = {
      {d.revisions.domain, "domain revision"},
      {d.revisions.geometry, "geometry revision"},
      {d.revisions.transport, "transport revision"},
      {d.revisions.property, "property revision"},
      {d.revisions.illumination, "illumination revision"},
      {d.revisions.microclimate, "microclimate revision"}};
  for (const auto& [value, name] : revisions) {
    if (value == 0) refuse(std::string(name) + " must be non-zero");
  }
  if (d.components.empty()) refuse("Turbid domain must contain at least one placed component");
  std::set<std::pair<uint64_t, uint64_t>> pairs;
  std::unordered_set<uint64_t> media;
  for (const TurbidComponent& c : d.components) {
    if (c.instance_id == kReservedId || c.component_id == kReservedId ||
        c.medium_id == kReservedId) {
      refuse("Turbid component stable identifiers are missing");
    }
    if (!pairs.emplace(c.instance_id, c.component_id).second) {
      refuse("duplicate stable instance-component id");
    }
    if (!media.insert(c.medium_id).second) refuse("duplicate stable medium id");
    if (!finite_all(c.object_to_world.data(), 12)) {
      refuse("component transform contains a non-finite value");
    }
    if (!finite_all(c.bounds_min.data(), 3) || !finite_all(c.bounds_max.data(), 3)) {
      refuse("component bounds contains a non-finite value");
    }
    for (int k = 0; k < 3; ++k) {
      if (!(c.bounds_max[k] > c.bounds_min[k])) {
        refuse("Turbid component bounds must have positive extent");
      }
    }
    if (!std::isfinite(c.leaf_area_density))
      refuse("leaf area density contains a non-finite value");
    if (!std::isfinite(c.leaf_length)) refuse("leaf length contains a non-finite value");
    if (!std::isfinite(c.leaf_width)) refuse("leaf width contains a non-finite value");
    if (!(c.leaf_area_density > 0.0f && c.leaf_length > 0.0f && c.leaf_width > 0.0f)) {
      refuse("Turbid leaf density and dimensions must be positive");
    }
    if (c.sidedness != 1 && c.sidedness != 2) refuse("Turbid sidedness must be one or two");
    if (c.leaf_angle > 5) refuse("unknown Turbid leaf-angle distribution");
    if (c.geometry_id == kReservedId) refuse("Turbid boundary sampling geometry id is missing");
    if (c.closed_orientation != -1 && c.closed_orientation != 1) {
      refuse("Turbid closed-boundary orientation must be -1 or +1");
    }
  }
  const size_t n = d.components.size();
  if (!d.overlap_offsets.empty()) {
    check_offsets(d.overlap_offsets, d.overlap_medium_ids.size(), "Turbid overlap");
    if (d.overlap_offsets.size() != n + 1) {
      refuse("Turbid overlap offsets must span the referenced buffer");
    }
    std::set<std::pair<uint64_t, uint64_t>> edges;
    for (size_t c = 0; c < n; ++c) {
      for (uint64_t i = d.overlap_offsets[c]; i < d.overlap_offsets[c + 1]; ++i) {
        const uint64_t other = d.overlap_medium_ids[i];
        const uint64_t self = d.components[c].medium_id;
        if (other == self) refuse("Turbid overlap cannot reference the same medium");
        if (media.count(other) == 0) refuse("Turbid overlap references an unknown medium");
        if (!edges.emplace(std::min(self, other), std::max(self, other)).second) {
          refuse("duplicate Turbid overlap edge");
        }
      }
    }
  } else if (!d.overlap_medium_ids.empty()) {
    refuse("Turbid overlap offsets must span the referenced buffer");
  }
  // Geometry ranges.
  const uint64_t n_vertices = d.vertices.size() / 3, n_triangles = d.triangles.size() / 3;
  const bool have_cv = !d.component_vertex_offsets.empty();
  const bool have_ct = !d.component_triangle_offsets.empty();
  if (have_cv != have_ct || (!have_cv && n > 1)) {
    refuse("Turbid per-owner geometry offsets must be supplied together");
  }
  if (have_cv) {
    if (d.component_vertex_offsets.size() != n + 1) {
      refuse("Turbid owner vertex offsets must span the referenced buffer");
    }
    if (d.component_triangle_offsets.size() != n + 1) {
      refuse("Turbid owner triangle offsets must span the referenced buffer");
    }
    check_offsets(d.component_vertex_offsets, n_vertices, "Turbid owner vertex");
    check_offsets(d.component_triangle_offsets, n_triangles, "Turbid owner triangle");
  }
  const bool have_cp = !d.component_part_offsets.empty();
  const bool have_pv = !d.part_vertex_offsets.empty(), have_pt = !d.part_triangle_offsets.empty();
  if (have_cp != have_pv || have_pv != have_pt) {
    refuse("Turbid part geometry offsets must be supplied together");
  }
  if (have_cp) {
    if (d.part_vertex_offsets.size() != d.part_triangle_offsets.size() ||
        d.component_part_offsets.size() != n + 1) {
      refuse("Turbid part geometry offsets have inconsistent counts");
    }
    const uint64_t n_parts = d.part_vertex_offsets.size() - 1;
    check_offsets(d.component_part_offsets, n_parts, "Turbid owner part");
    check_offsets(d.part_vertex_offsets, n_vertices, "Turbid part vertex");
    check_offsets(d.part_triangle_offsets, n_triangles, "Turbid part triangle");
  }
  for (size_t c = 0; c < n; ++c) {
    const Range r = component_range(d, c);
    if (r.triangle_end <= r.triangle_begin) {
      refuse("Turbid owner geometry is missing a closed boundary");
    }
    for (uint64_t t = r.triangle_begin; t < r.triangle_end; ++t) {
      for (int k = 0; k < 3; ++k) {
        const uint64_t i = d.triangles[3 * t + k];
        if (i < r.vertex_begin || i >= r.vertex_end) {
          refuse("Turbid owner triangle references another owner geometry");
        }
      }
    }
    if (!have_cp) {
      validate_closed_part(d, r);
      continue;
    }
    const uint64_t p0 = d.component_part_offsets[c], p1 = d.component_part_offsets[c + 1];
    if (p1 <= p0 || d.part_vertex_offsets[p0] != r.vertex_begin ||
        d.part_vertex_offsets[p1] != r.vertex_end ||
        d.part_triangle_offsets[p0] != r.triangle_begin ||
        d.part_triangle_offsets[p1] != r.triangle_end) {
      refuse("Turbid part ranges do not partition owner geometry");
    }
    for (uint64_t p = p0; p < p1; ++p) {
      validate_closed_part(d, {d.part_vertex_offsets[p], d.part_vertex_offsets[p + 1],
                               d.part_triangle_offsets[p], d.part_triangle_offsets[p + 1]});
    }
  }
}

TurbidSamplePool sample_domain(const TurbidDomainDescriptor& d, const TurbidSamplingConfig& config,
                               const InterruptCheck& interrupt) {
  return sample_domain(d, config, interrupt, {});
}

TurbidSamplePool sample_domain(const TurbidDomainDescriptor& d, const TurbidSamplingConfig& config,
                               const InterruptCheck& interrupt,
                               const TurbidCandidateGenerator& generator) {
  const uint32_t budget = resolve_sample_budget(config);
  if (budget == 0) refuse("Turbid accepted sample budget must be positive");
  std::vector<PreparedOwner> owners;
  owners.reserve(d.components.size());
  std::unordered_set<uint32_t> tags, keys;
  for (size_t c = 0; c < d.components.size(); ++c) {
    owners.push_back(prepare_owner(d, c, budget, config));
    if (!tags.insert(owners.back().summary.tag).second) {
      refuse("Turbid stable owner tag collision; no ambiguous sample IDs were generated");
    }
    if (!keys.insert(owners.back().view.stream_key).second) {
      refuse(
          "Turbid owner stream key collision; no correlated native sampling streams were launched");
    }
  }
  TurbidSamplePool pool;
  pool.domain_revision = d.revisions.domain;
  pool.geometry_revision = d.revisions.geometry;
  pool.sampling_revision = d.revisions.sampling;
  const uint64_t total = static_cast<uint64_t>(budget) * owners.size();
  check_allocation(total * sizeof(TurbidLeafAreaSample), "Turbid leaf-area samples");
  pool.samples.reserve(static_cast<size_t>(total));
  pool.owner_offsets.push_back(0);
  const SobolDirections dirs = make_sobol_directions();
  std::vector<TurbidSamplingCandidate> batch;
  std::vector<uint8_t> verified;
  for (PreparedOwner& owner : owners) {
    uint64_t accepted = 0, next = 0;
    while (accepted < budget && next < owner.limit) {
      const uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(budget) * 4, owner.limit - next);
      check_allocation(n * sizeof(TurbidSamplingCandidate), "Turbid sampling candidates");
      batch.resize(static_cast<size_t>(n));
      const uint64_t first = next;
      const CandidateOwnerView view = owner.view;
      if (generator) {
        generator(view, first, std::span<TurbidSamplingCandidate>(batch));
        if (interrupt) interrupt();
      } else {
        parallel_for_chunks(
            static_cast<size_t>(n), config.num_threads, kCandidateChunk,
            [&](size_t begin, size_t end) {
              for (size_t j = begin; j < end; ++j) {
                batch[j] = generate_candidate(dirs, view, static_cast<uint32_t>(first + j));
              }
            },
            interrupt);
      }
      // The acceptor's re-check of the inside test is as costly as generation, so it runs in
      // parallel too, over the candidates up to the one that completes the budget.
      uint64_t used = 0;
      for (uint64_t inside = accepted; used < n && inside < budget; ++used) {
        if (batch[static_cast<size_t>(used)].status == kCandidateInside) ++inside;
      }
      verified.assign(static_cast<size_t>(used), 0);
      parallel_for_chunks(
          static_cast<size_t>(used), config.num_threads, kCandidateChunk,
          [&](size_t begin, size_t end) {
            for (size_t j = begin; j < end; ++j) {
              const TurbidSamplingCandidate& c = batch[j];
              verified[j] = c.status == kCandidateInside &&
                            inside_closed_boundary(view.world_triangles, view.n_triangles,
                                                   view.orientation, c.px, c.py, c.pz);
            }
          },
          interrupt);
      for (uint64_t j = 0; j < n && accepted < budget; ++j) {
        const TurbidSamplingCandidate& c = batch[static_cast<size_t>(j)];
        ++pool.candidates_tested;
        if (c.index != first + j) {
          native_failure(
              "Turbid downloaded candidate index is not sequential/in range. No fallback was "
              "performed.");
        }
        if (c.status > 2) {
          native_failure(
              "Turbid downloaded candidate status is outside the native ABI. No fallback was "
              "performed.");
        }
        const float six[6] = {c.px, c.py, c.pz, c.nx, c.ny, c.nz};
        if (!finite_all(six, 6)) {
          native_failure(
              "Turbid downloaded candidate contains non-finite data. No fallback was performed.");
        }
        if (c.status == kCandidateAngleFailure) {
          native_failure(
              "Turbid de Wit LAD transform exhausted its checked attempts. No fallback was "
              "performed.");
        }
        if (c.status == kCandidateOutside) continue;
        const double len2 = static_cast<double>(c.nx) * c.nx + static_cast<double>(c.ny) * c.ny +
                            static_cast<double>(c.nz) * c.nz;
        if (std::fabs(len2 - 1.0) > 0.0001) {
          native_failure(
              "Turbid downloaded accepted candidate normal is not unit length. No fallback was "
              "performed.");
        }
        if (!verified[static_cast<size_t>(j)]) {
          native_failure(
              "Turbid downloaded accepted candidate is outside the closed boundary. No fallback "
              "was performed.");
        }
        TurbidLeafAreaSample s;
        s.sample_id = (static_cast<uint64_t>(owner.summary.tag) << 32) | c.index;
        s.position[0] = c.px;
        s.position[1] = c.py;
        s.position[2] = c.pz;
        s.normal[0] = c.nx;
        s.normal[1] = c.ny;
        s.normal[2] = c.nz;
        s.weight = owner.summary.weight;
        s.instance_id = owner.summary.instance_id;
        s.component_id = owner.summary.component_id;
        s.medium_id = owner.summary.medium_id;
        s.property_ids = owner.summary.property_ids;
        pool.samples.push_back(s);
        ++accepted;
      }
      next += n;
    }
    if (accepted < budget) {
      native_failure(
          "Turbid boundary acceptance was too low for the checked candidate limit. No fallback "
          "was performed.");
    }
    pool.owners.push_back(owner.summary);
    pool.owner_offsets.push_back(pool.samples.size());
  }
  validate_sample_pool(pool);
  return pool;
}

void validate_sample_pool(const TurbidSamplePool& pool) {
  if (pool.owners.empty() && pool.samples.empty()) {
    refuse("Turbid sample pool must contain owners and accepted samples");
  }
  if (pool.owners.empty()) refuse("Turbid sample owners cannot be empty");
  if (!pool.integration_points) {
    refuse("Turbid samples must be scientific leaf-area integration points");
  }
  std::set<std::pair<uint64_t, uint64_t>> seen_owners;
  std::unordered_set<uint64_t> seen_media;
  uint64_t expected_total = 0;
  for (const TurbidSampleOwner& o : pool.owners) {
    if (o.instance_id == kReservedId || o.component_id == kReservedId ||
        o.medium_id == kReservedId) {
      refuse("Turbid sample owner stable identifiers are missing");
    }
    if (!seen_owners.emplace(o.instance_id, o.component_id).second) {
      refuse("duplicate Turbid sample owner");
    }
    if (!seen_media.insert(o.medium_id).second) refuse("duplicate Turbid sample owner medium id");
    expected_total += o.budget;
  }
  if (pool.owner_offsets.size() != pool.owners.size() + 1 ||
      pool.samples.size() != expected_total) {
    refuse("Turbid sample count must equal the accepted budget per owner");
  }
  std::unordered_set<uint64_t> ids;
  ids.reserve(pool.samples.size());
  for (size_t o = 0; o < pool.owners.size(); ++o) {
    const TurbidSampleOwner& owner = pool.owners[o];
    if (pool.owner_offsets[o + 1] < pool.owner_offsets[o] ||
        pool.owner_offsets[o + 1] - pool.owner_offsets[o] != owner.budget) {
      refuse("each Turbid owner must contain its accepted sample budget");
    }
    for (uint64_t i = pool.owner_offsets[o]; i < pool.owner_offsets[o + 1]; ++i) {
      const TurbidLeafAreaSample& s = pool.samples[static_cast<size_t>(i)];
      if (!std::isfinite(s.weight)) refuse("sample leaf-area weight contains a non-finite value");
      if (!(s.weight > 0.0f)) refuse("sample leaf-area weight must be positive");
      if (!finite_all(s.position, 3)) refuse("sample position contains a non-finite value");
      if (!finite_all(s.normal, 3)) refuse("sample normal contains a non-finite value");
      const double len2 = static_cast<double>(s.normal[0]) * s.normal[0] +
                          static_cast<double>(s.normal[1]) * s.normal[1] +
                          static_cast<double>(s.normal[2]) * s.normal[2];
      if (std::fabs(len2 - 1.0) > 0.0001) refuse("sample leaf normal must be normalized");
      if (s.instance_id != owner.instance_id || s.component_id != owner.component_id ||
          s.medium_id != owner.medium_id || s.property_ids != owner.property_ids ||
          (s.sample_id >> 32) != owner.tag) {
        refuse("Turbid sample does not match its stable owner");
      }
      if (!ids.insert(s.sample_id).second) refuse("duplicate or missing stable sample id");
    }
  }
}

uint64_t pool_bytes(const TurbidSamplePool& pool) {
  return pool.samples.size() * sizeof(TurbidLeafAreaSample) +
         pool.owners.size() * sizeof(TurbidSampleOwner) +
         pool.owner_offsets.size() * sizeof(uint64_t);
}

}  // namespace tesk::turbid
