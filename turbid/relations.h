#pragma once

// The turbid scene-relation table: which medium owners exist, which closed surfaces bound them,
// which parts are periodic copies, which media overlap. Validated completely before anything
// is stored; the first violated rule throws its fixed message.

#include <array>
#include <cstdint>
#include <limits>
#include <vector>

namespace tesk::turbid {

inline constexpr uint64_t kReservedId = std::numeric_limits<uint64_t>::max();
inline constexpr uint64_t kNoAlias = kReservedId;

/// One placed medium component.
struct TurbidSceneOwner {
  uint64_t owner_id = 0;
  uint64_t instance_id = 0;
  uint64_t component_id = 0;
  uint64_t medium_id = 0;
  uint64_t domain_key = 0;
};

/// One closed surface bounding an owner.
struct TurbidScenePart {
  uint64_t part_id = 0;
  uint64_t owner_id = 0;
  uint64_t medium_id = 0;
  uint64_t alias_medium_id = kNoAlias;  ///< kNoAlias: authoritative part.
  uint64_t domain_key = 0;
  int32_t backend_instance_id = -1;  ///< Scene instance carrying the part; >= 0, unique.
  std::array<float, 3> shift{};      ///< Periodic translation of an alias; zero otherwise.
  std::array<float, 3> bounds_min{};
  std::array<float, 3> bounds_max{};
  double volume = 0.0;  ///< Declared enclosed volume (scene units cubed).
  uint64_t vertex_offset = 0, vertex_count = 0;
  uint64_t triangle_offset = 0, triangle_count = 0;
};

/// The relation table of one commit.
struct TurbidSceneRelations {
  uint32_t contract_revision = 1;
  uint64_t relation_revision = 0;
  std::vector<TurbidSceneOwner> owners;
  std::vector<TurbidScenePart> parts;
  std::vector<std::array<uint64_t, 2>> overlaps;  ///< Unordered medium pairs, a < b.
  std::vector<float> vertices;                    ///< xyz per vertex.
  std::vector<uint32_t> triangles;                ///< Three global vertex indices per triangle.
};

/// Checks every rule of the table in order; throws std::invalid_argument with the first
/// violated rule's message. Linear in triangles and parts.
void validate_scene_relations(const TurbidSceneRelations& relations);

/// Enclosed volume |S|/6 of triangles [t0, t0 + nt) of a pool, relative to vertex `ref`,
/// summed in double with Neumaier compensation.
double enclosed_volume(const std::vector<float>& vertices, const std::vector<uint32_t>& triangles,
                       uint64_t ref, uint64_t t0, uint64_t nt);

/// 64-bit FNV-1a over the little-endian bytes of `value`, continuing from `hash`.
uint64_t fnv1a_u64(uint64_t hash, uint64_t value);

}  // namespace tesk::turbid
