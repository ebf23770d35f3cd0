#pragma once

// Arguments and results of the turbid field operations, converted and checked once for the CPU
// bindings (bind_turbid_radiation.cpp) and the device bindings: the same messages in the same
// order on every backend.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

#include "turbid/fields.h"
#include "turbid/registry.h"
#include "turbid/states.h"

namespace tesk::python {

/// The dictionary of a field token (field_id, domain_id, field_revision, state_id).
pybind11::dict turbid_field_token_dict(const turbid::TurbidFieldToken& token);

/// A field token dictionary; TypeError "field_token must be a dictionary".
turbid::TurbidFieldToken parse_turbid_field_token(const pybind11::object& token);

/// A field build configuration (max_samples_per_leaf_cell, orientation_theta_bins,
/// orientation_phi_bins, source_field, replace_field_id); ValueError "Turbid maximum samples
/// per leaf cell must be positive" for a zero cap.
turbid::TurbidFieldConfig parse_turbid_field_config(const pybind11::dict& config);

/// The arguments of a lookup: positions and normals [N, 3] and the optional selector, checked
/// with the lookup's shape messages.
struct TurbidLookupArgs {
  pybind11::array_t<float, pybind11::array::c_style | pybind11::array::forcecast> positions,
      normals;
  turbid::TurbidFieldToken token;
  size_t n = 0;
  std::vector<uint64_t> owners, media, aliases;
  bool has_selector = false;
  turbid::TurbidFieldSelector selector;  ///< Points into owners, media, aliases.

  const turbid::TurbidFieldSelector* selector_or_null() const {
    return has_selector ? &selector : nullptr;
  }
};
TurbidLookupArgs convert_turbid_lookup_args(const pybind11::object& field_token,
                                            const pybind11::object& positions,
                                            const pybind11::object& normals,
                                            const pybind11::object& owner_ids,
                                            const pybind11::object& medium_ids,
                                            const pybind11::object& alias_ids);

/// The result of a lookup: field_token, values, matched_depth, fallback_depth and the execution
/// keys of `backend` and `executor`.
pybind11::dict turbid_lookup_dict(const turbid::TurbidField& field,
                                  const turbid::TurbidFieldLookup& lookup, const char* backend,
                                  const char* executor);

/// The arguments of an observation source: band centres, front and back face data (thermal:
/// emissivity per band; SIF: exitance [samples, bands], flattened), the optional budget (0:
/// none) and the field token. Arrays are converted first (TypeError for a wrong type whatever
/// else is wrong), then shapes and the budget are checked.
struct TurbidSourceArgs {
  std::vector<float> bands, front, back;
  int64_t budget = 0;
  turbid::TurbidFieldToken token;
};
TurbidSourceArgs convert_turbid_thermal_source_args(const pybind11::object& field_token,
                                                    const pybind11::object& wavelengths,
                                                    const pybind11::object& emissivity,
                                                    const pybind11::object& back_emissivity,
                                                    const pybind11::object& memory_budget);
TurbidSourceArgs convert_turbid_sif_source_args(const pybind11::object& field_token,
                                                const pybind11::object& wavelengths,
                                                const pybind11::object& exitance,
                                                const pybind11::object& back_exitance,
                                                const pybind11::object& memory_budget);

/// The result of an observation-source build: the new token, band_count, resident_bytes,
/// source_field_id and the execution keys of `backend`.
pybind11::dict turbid_observation_source_dict(const turbid::TurbidField& source,
                                              const char* workflow, const char* backend,
                                              const char* executor);

/// The cells of a resident field (_debug_turbid_field_embree's dictionary).
pybind11::dict turbid_field_debug_dict(const turbid::TurbidDomainStorage& storage,
                                       const turbid::TurbidField& field);

/// The resident fields with their tokens, cell counts and resident bytes.
pybind11::dict turbid_field_residency_dict(const turbid::TurbidDomainStorage& storage);

}  // namespace tesk::python
