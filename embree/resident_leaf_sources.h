#pragma once

// Emission sources of the leaves inside a scene's optical media taken from resident turbid data:
// a scene instance that carries a part of a resident turbid domain emits from that domain's
// resident observation source (thermal or fluorescence radiance per band, built from a field)
// when it has one, else, in thermal mode, from its resident leaf-temperature field of an
// energy-balance state. Resolved once per render from the committed registry snapshot, which
// the result keeps alive.

#include <cstdint>
#include <memory>
#include <vector>

#include "core/vec.h"
#include "embree/scene_manager.h"
#include "turbid/fields.h"
#include "turbid/registry.h"

namespace tesk::embree {

/// One part of a resident domain carried by a scene instance: the box it spans (world) and the
/// field owner whose cells answer collisions inside it.
struct ResidentSourcePart {
  float3 bounds_min{}, bounds_max{};  ///< World box of the part.
  int32_t owner = -1;                 ///< Index into field->owners, -1: the field has none.
  float3 shift{};  ///< Periodic shift of an alias part: the owner's frame is p - shift.
};

/// Where the leaves of one scene instance's media take their emission from.
struct ResidentLeafSource {
  enum class Kind : uint8_t {
    None,          ///< No resident source: the per-instance thermal state applies.
    Field,         ///< The resident leaf-temperature field `field`.
    Observation,   ///< The resident observation source `field` (per-band radiance).
    Incompatible,  ///< The domain publishes observation sources, none of the render's kind.
    Ambiguous      ///< The instance carries parts of several resident domains.
  };
  Kind kind = Kind::None;
  const turbid::TurbidField* field = nullptr;  ///< Field or observation source.
  std::vector<ResidentSourcePart> parts;       ///< The domain's parts carried by the instance.
};

/// The resident sources of every scene instance.
struct ResidentLeafSources {
  std::shared_ptr<const turbid::TurbidDomainStorage> storage;  ///< Keeps the fields alive.
  std::vector<ResidentLeafSource> instances;  ///< By scene instance; empty when none applies.

  /// The source of scene instance `instance` (Kind::None outside the table).
  const ResidentLeafSource& at(int32_t instance) const;
};

/// Resolves the sources of `scene`'s instances from its committed turbid registry for a render
/// of `n_bands` bands at `wavelengths` (nm, `n_wavelengths` entries, none in a SIF-only render)
/// in thermal (`thermal` true) or SIF-only mode. An instance is tied to a resident domain when a
/// part of the domain's relation table names it as its backend instance. The domain's source is
/// its newest observation source of the render's kind; in thermal mode without one, its newest
/// resident field whose source is the leaf "temperature" of an energy-balance-stage state. A
/// domain with observation sources of the other kind only is incompatible with the render;
/// domains without any source leave their instances to the per-instance state. Throws
/// std::runtime_error, before any transport, when the observation sources of the tied domains
/// hold different bands ("Resident Turbid observation domains have mismatched spectral bands.
/// No fallback was performed."), when a source's bands are not the render's ("Passive Turbid
/// observation bands do not match the sensor. No fallback was performed."; without render
/// wavelengths only the band count is compared) and when the field a source was built from is
/// no longer resident at the revision it was built from ("Passive Turbid observation field is
/// not resident. No fallback was performed.").
ResidentLeafSources resolve_resident_leaf_sources(const EmbreeSceneManager& scene, bool thermal,
                                                  int n_bands, const float* wavelengths,
                                                  int n_wavelengths);

/// Whether collisions in the instance of `source` read a resident source (any kind but None).
inline bool has_resident_source(const ResidentLeafSource& source) {
  return source.kind != ResidentLeafSource::Kind::None;
}

/// Radiance (W m-2 sr-1 nm-1) of band `band` that the face of the leaf of unit normal `n` at
/// world position `p` seen by the path (`back_face`: its lower side) emits, from an observation
/// source. Per collision it throws std::runtime_error: "A backend instance belongs to multiple
/// resident Turbid observation domains" for an ambiguous instance, "Turbid collision has no
/// compatible resident spectral source" for an incompatible one, "Turbid spectral collision has
/// no authoritative transport part" when no part of the instance spans `p`, "Turbid spectral
/// collision owner has no resident field owner" when the part's owner has no cells in the
/// source, "Turbid resident spectral source is unavailable" when the source holds no radiance
/// of the band, and the no-fallback lookup failures of turbid::transport_lookup_cell.
double resident_leaf_radiance(const ResidentLeafSource& source, const float3& p, const float3& n,
                              bool back_face, int band);

/// The leaf temperatures of a Kind::Field source at world position `p` for a leaf of unit
/// normal `n`: the sunlit fraction and the sunlit and shaded mean temperatures (K) of the
/// field's cell and orientation bin there (turbid::source_split). Failures as
/// resident_leaf_radiance, for the parts and the lookup.
turbid::TurbidSourceSplit resident_leaf_temperatures(const ResidentLeafSource& source,
                                                     const float3& p, const float3& n);

}  // namespace tesk::embree
