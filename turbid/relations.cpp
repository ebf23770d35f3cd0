#include "turbid/relations.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

namespace tesk::turbid {
namespace {

[[noreturn]] void refuse(const char* message) {
  throw std::invalid_argument(message);
}

bool finite_float(float x) {
  return std::fabs(x) <= 3.4028235e38f;
}

// The larger of the distances from x to its neighbouring floats.
double float_spacing(float x) {
  const float lo = std::nextafter(x, -std::numeric_limits<float>::infinity());
  const float hi = std::nextafter(x, std::numeric_limits<float>::infinity());
  return std::max(static_cast<double>(x) - static_cast<double>(lo),
                  static_cast<double>(hi) - static_cast<double>(x));
}

double double_spacing(double x) {
  const double lo = std::nextafter(x, -std::numeric_limits<double>::infinity());
  const double hi = std::nextafter(x, std::numeric_limits<double>::infinity());
  return std::max(x - lo, hi - x);
}

bool add_overflows(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b;
}

// Neumaier compensated sum.
struct CompensatedSum {
  double sum = 0.0, c = 0.0;
  void add(double x) {
    const double t = sum + x;
    if (std::fabs(sum) >= std::fabs(x)) {
      c += (sum - t) + x;
    } else {
      c += (x - t) + sum;
    }
    sum = t;
  }
  double value() const { return sum + c; }
};

void validate_part(const TurbidSceneRelations& r, const TurbidScenePart& p) {
  const uint64_t n_vertices = r.vertices.size() / 3;
  const uint64_t n_triangles = r.triangles.size() / 3;
  if (add_overflows(p.vertex_offset, p.vertex_count) ||
      add_overflows(p.triangle_offset, p.triangle_count) ||
      p.vertex_offset + p.vertex_count > n_vertices ||
      p.triangle_offset + p.triangle_count > n_triangles || p.vertex_count < 4 ||
      p.triangle_count < 4) {
    refuse("Turbid scene part geometry range is invalid");
  }
  const uint64_t v_end = p.vertex_offset + p.vertex_count;
  for (uint64_t t = p.triangle_offset; t < p.triangle_offset + p.triangle_count; ++t) {
    for (int k = 0; k < 3; ++k) {
      const uint64_t i = r.triangles[3 * t + k];
      if (i < p.vertex_offset || i >= v_end) {
        refuse("Turbid scene part triangle crosses a geometry range");
      }
    }
  }
  double lo[3] = {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity(),
                  std::numeric_limits<double>::infinity()};
  double hi[3] = {-lo[0], -lo[1], -lo[2]};
  for (uint64_t v = p.vertex_offset; v < v_end; ++v) {
    for (int k = 0; k < 3; ++k) {
      const float x = r.vertices[3 * v + k];
      if (!finite_float(x)) refuse("Turbid scene part vertex must be finite");
      lo[k] = std::min(lo[k], static_cast<double>(x));
      hi[k] = std::max(hi[k], static_cast<double>(x));
    }
  }
  auto agrees = [](float d, double c, double extent) {
    double scale = std::max({extent, std::fabs(static_cast<double>(d)), std::fabs(c)});
    double tol = scale < 2.2250738585072014e-308 ? 8e-323 : 3.552713678800501e-15 * scale;
    tol = std::max({tol, float_spacing(d), float_spacing(static_cast<float>(c))});
    return std::fabs(static_cast<double>(d) - c) <= tol;
  };
  for (int k = 0; k < 3; ++k) {
    const double extent = hi[k] - lo[k];
    if (!agrees(p.bounds_min[k], lo[k], extent) || !agrees(p.bounds_max[k], hi[k], extent)) {
      refuse("Turbid scene part bounds do not match authoritative geometry");
    }
  }
  for (uint64_t t = p.triangle_offset; t < p.triangle_offset + p.triangle_count; ++t) {
    const uint32_t* tri = &r.triangles[3 * t];
    if (tri[0] == tri[1] || tri[1] == tri[2] || tri[0] == tri[2]) {
      refuse("Turbid scene part contains a degenerate face");
    }
  }
  // Every undirected edge twice, once per direction.
  struct EdgeUse {
    int count = 0;
    int signed_count = 0;
  };
  std::unordered_map<uint64_t, EdgeUse> edges;
  edges.reserve(static_cast<size_t>(p.triangle_count) * 3);
  for (uint64_t t = p.triangle_offset; t < p.triangle_offset + p.triangle_count; ++t) {
    const uint32_t* tri = &r.triangles[3 * t];
    for (int k = 0; k < 3; ++k) {
      const uint32_t a = tri[k], b = tri[(k + 1) % 3];
      const uint64_t key = (static_cast<uint64_t>(std::min(a, b)) << 32) | std::max(a, b);
      EdgeUse& e = edges[key];
      ++e.count;
      e.signed_count += a < b ? 1 : -1;
    }
  }
  for (const auto& [key, e] : edges) {
    if (e.count != 2 || e.signed_count != 0) {
      refuse("Turbid scene part is not a consistently oriented closed surface");
    }
  }
  const double computed = enclosed_volume(r.vertices, r.triangles, p.vertex_offset,
                                          p.triangle_offset, p.triangle_count);
  const double box = (hi[0] - lo[0]) * (hi[1] - lo[1]) * (hi[2] - lo[2]);
  const double tol = std::max(7.105427357601002e-15 * std::max({box, p.volume, computed}),
                              8.0 * std::max(double_spacing(p.volume), double_spacing(computed)));
  if (!(computed > 0.0) || !std::isfinite(computed) || std::fabs(p.volume - computed) > tol) {
    refuse("Turbid scene part volume does not match authoritative geometry");
  }
}

}  // namespace

double enclosed_volume(const std::vector<float>& vertices, const std::vector<uint32_t>& triangles,
                       uint64_t ref, uint64_t t0, uint64_t nt) {
  const double rx = vertices[3 * ref], ry = vertices[3 * ref + 1], rz = vertices[3 * ref + 2];
  CompensatedSum s;
  for (uint64_t t = t0; t < t0 + nt; ++t) {
    double m[3][3];
    for (int k = 0; k < 3; ++k) {
      const uint64_t v = triangles[3 * t + k];
      m[k][0] = vertices[3 * v] - rx;
      m[k][1] = vertices[3 * v + 1] - ry;
      m[k][2] = vertices[3 * v + 2] - rz;
    }
    s.add(m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
          m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
          m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]));
  }
  return std::fabs(s.value()) / 6.0;
}

uint64_t fnv1a_u64(uint64_t hash, uint64_t value) {
  for (int b = 0; b < 8; ++b) {
    hash ^= (value >> (8 * b)) & 0xffU;
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

void validate_scene_relations(const TurbidSceneRelations& r) {
  if (r.contract_revision != 1) refuse("incompatible Turbid scene relation contract revision");
  if (r.relation_revision == 0) refuse("Turbid scene relation revision must be non-zero");
  if (r.vertices.size() % 3 != 0 || r.triangles.size() % 3 != 0) {
    refuse("Turbid scene part geometry shape mismatch");
  }
  auto reserved = [](uint64_t v) { return v == 0 || v == kReservedId; };
  std::unordered_map<uint64_t, size_t> owner_index;
  std::unordered_set<uint64_t> media;
  for (size_t i = 0; i < r.owners.size(); ++i) {
    const TurbidSceneOwner& o = r.owners[i];
    if (reserved(o.owner_id) || reserved(o.instance_id) || reserved(o.component_id) ||
        reserved(o.medium_id) || reserved(o.domain_key)) {
      refuse("Turbid scene owner stable identifier is reserved");
    }
    if (!owner_index.emplace(o.owner_id, i).second || !media.insert(o.medium_id).second) {
      refuse("duplicate Turbid scene owner or medium identifier");
    }
  }
  std::vector<uint64_t> part_counts(r.owners.size(), 0);
  std::unordered_set<uint64_t> part_ids, aliases;
  std::unordered_set<int32_t> instances;
  for (const TurbidScenePart& p : r.parts) {
    const auto owner = owner_index.find(p.owner_id);
    if (owner == owner_index.end() || reserved(p.part_id) ||
        p.medium_id != r.owners[owner->second].medium_id ||
        p.domain_key != r.owners[owner->second].domain_key || p.backend_instance_id < 0 ||
        part_ids.count(p.part_id) != 0) {
      refuse("invalid Turbid scene part ownership or identity");
    }
    part_ids.insert(p.part_id);
    if (!instances.insert(p.backend_instance_id).second) {
      refuse("duplicate Turbid scene part backend instance identity");
    }
    const bool alias = p.alias_medium_id != kNoAlias;
    if (alias) {
      if (p.alias_medium_id == 0 || p.alias_medium_id == p.medium_id ||
          media.count(p.alias_medium_id) != 0 || !aliases.insert(p.alias_medium_id).second) {
        refuse("invalid or duplicate Turbid periodic alias identity");
      }
    }
    for (int k = 0; k < 3; ++k) {
      if (!finite_float(p.shift[k]) || !finite_float(p.bounds_min[k]) ||
          !finite_float(p.bounds_max[k]) || !(p.bounds_max[k] > p.bounds_min[k])) {
        refuse("invalid Turbid scene part bounds or shift");
      }
    }
    const bool shifted = p.shift[0] != 0.0f || p.shift[1] != 0.0f || p.shift[2] != 0.0f;
    if (shifted != alias) refuse("Turbid scene part alias/shift structure is inconsistent");
    ++part_counts[owner->second];
    if (!(std::isfinite(p.volume) && p.volume > 0.0)) {
      refuse("Turbid scene part volume must be positive");
    }
    validate_part(r, p);
  }
  for (uint64_t count : part_counts) {
    if (count == 0) refuse("Turbid scene owner requires an authoritative part");
  }
  std::unordered_set<uint64_t> seen;
  for (const auto& pair : r.overlaps) {
    if (!(pair[0] < pair[1]) || media.count(pair[0]) == 0 || media.count(pair[1]) == 0) {
      refuse("invalid Turbid global overlap relation");
    }
    // Medium ids are unique 64-bit values; hash the ordered pair.
    const uint64_t key = fnv1a_u64(fnv1a_u64(0xcbf29ce484222325ULL, pair[0]), pair[1]);
    if (!seen.insert(key).second) {
      // A hash match alone is not proof: confirm against the earlier pairs.
      for (const auto& other : r.overlaps) {
        if (&other == &pair) break;
        if (other == pair) refuse("duplicate Turbid global overlap relation");
      }
    }
  }
}

}  // namespace tesk::turbid
