#pragma once

// Thermal sources of the leaves inside a scene's optical media taken from resident turbid data:
// a scene instance that carries a part of a resident turbid domain emits from that domain's
// resident leaf-temperature field, built from an energy-balance state. Resolved once per render
// from the committed registry snapshot, which the result keeps alive.

#include <cstdint>
#include <memory>
#include <vector>

#include "core/vec.h"
#include "embree/scene_manager.h"
#include "turbid/registry.h"

namespace tesk::embree {

/// Where the leaves of one scene instance's media take their temperature from.
struct ResidentLeafSource {
  enum class Kind : uint8_t {
    None,      ///< No resident source: the per-instance thermal state applies.
    Field,     ///< The resident field `field`, owner `owner`.
    Ambiguous  ///< The instance carries parts of several resident domains.
  };
  Kind kind = Kind::None;
  const turbid::TurbidField* field = nullptr;  ///< Leaf-temperature field (Kind::Field).
  uint32_t owner = 0;                          ///< Index into field->owners.
  float3 shift{};  ///< Periodic shift of an alias part: the owner's frame is p - shift.
};

/// The resident sources of every scene instance.
struct ResidentLeafSources {
  std::shared_ptr<const turbid::TurbidDomainStorage> storage;  ///< Keeps the fields alive.
  std::vector<ResidentLeafSource> instances;  ///< By scene instance; empty when none applies.

  /// The source of scene instance `instance` (Kind::None outside the table).
  const ResidentLeafSource& at(int32_t instance) const;
};

/// Resolves the sources of `scene`'s instances from its committed turbid registry. An instance
/// is tied to a resident domain when a part of the domain's relation table names it as its
/// backend instance; the domain's field is its resident field whose source is the leaf
/// "temperature" of an energy-balance-stage state (the newest such field when there are
/// several). Domains without such a field leave their instances to the per-instance state.
ResidentLeafSources resolve_resident_leaf_sources(const EmbreeSceneManager& scene);

/// Leaf temperature (K) of the source at world position `p` for a leaf of unit normal `n`:
/// the field's p_sun-weighted leaf temperature in the cell and orientation bin there (see
/// turbid::owner_field_value). Returns false when the source holds no leaf area. Throws
/// std::runtime_error "A backend instance belongs to multiple resident Turbid observation
/// domains" for an ambiguous instance.
bool resident_leaf_temperature(const ResidentLeafSource& source, const float3& p, const float3& n,
                               float& temperature);

}  // namespace tesk::embree
