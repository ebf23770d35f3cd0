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
#include "turbid/registry.h"

namespace tesk::embree {

/// Where the leaves of one scene instance's media take their temperature from.
struct ResidentLeafSource {
  enum class Kind : uint8_t {
    None,         ///< No resident source: the per-instance thermal state applies.
    Field,        ///< The resident leaf-temperature field `field`, owner `owner`.
    Observation,  ///< The resident observation source `field` (per-band radiance), owner `owner`.
    NoOwner,      ///< The domain's observation source has no owner for the instance's part.
    Ambiguous     ///< The instance carries parts of several resident domains.
  };
  Kind kind = Kind::None;
  const turbid::TurbidField* field = nullptr;  ///< Field or observation source.
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

/// Resolves the sources of `scene`'s instances from its committed turbid registry for a render
/// of `n_bands` bands at `wavelengths` (nm, `n_wavelengths` entries, none in a SIF-only render)
/// in thermal (`thermal` true) or SIF-only mode. An instance is tied to a resident domain when a
/// part of the domain's relation table names it as its backend instance. The domain's source is
/// its newest observation source of the render's kind; in thermal mode without one, its newest
/// resident field whose source is the leaf "temperature" of an energy-balance-stage state.
/// Domains without either leave their instances to the per-instance state. Throws
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

/// Leaf temperature (K) of the source at world position `p` for a leaf of unit normal `n`:
/// the field's p_sun-weighted leaf temperature in the cell and orientation bin there (see
/// turbid::owner_field_value). Returns false when the source holds no leaf area. Throws
/// std::runtime_error "A backend instance belongs to multiple resident Turbid observation
/// domains" for an ambiguous instance.
/// Radiance (W m-2 sr-1 nm-1) of band `band` that the face of the leaf of unit normal `n` at
/// world position `p` seen by the path (`back_face`: its lower side) emits, from an observation
/// source. Throws std::runtime_error "Turbid resident spectral source is unavailable" when the
/// owner holds no leaf area, "Turbid spectral collision owner has no resident field owner" for
/// Kind::NoOwner and the ambiguity message of resident_leaf_temperature.
double resident_leaf_radiance(const ResidentLeafSource& source, const float3& p, const float3& n,
                              bool back_face, int band);

bool resident_leaf_temperature(const ResidentLeafSource& source, const float3& p, const float3& n,
                               float& temperature);

}  // namespace tesk::embree
