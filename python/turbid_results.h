#pragma once

// Result dictionaries of the resident Turbid operations shared by the CPU and device bindings.

#include <pybind11/pybind11.h>

#include <string>

#include "turbid/state_ops.h"

namespace tesk::python {

/// A state token dictionary read as the CPU state operations read it.
turbid::TurbidStateToken parse_turbid_state_token(const pybind11::object& token);

/// The dictionary of an aggregation (state_token, groups, diagnostics, components, samples
/// with diagnostics='samples', and the execution keys with `backend` and `executor`).
pybind11::dict turbid_aggregation_result(const turbid::TurbidDomainStorage& storage,
                                         const turbid::TurbidStateToken& token,
                                         const turbid::TurbidAggregation& aggregation,
                                         const std::string& diagnostics, const char* backend,
                                         const char* executor);

}  // namespace tesk::python
