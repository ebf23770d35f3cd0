#pragma once

// Result dictionaries of the resident Turbid operations shared by the CPU and device bindings.

#include <pybind11/pybind11.h>

#include <string>

#include "embree/turbid_energy_balance.h"
#include "embree/turbid_radiation.h"
#include "embree/turbid_static_physiology.h"
#include "turbid/sampling.h"
#include "turbid/state_ops.h"

namespace tesk::python {

/// A radiation-field request read and checked as _execute_turbid_radiation_field_embree reads it.
embree::OwnedTurbidRadiationRequest parse_turbid_radiation_request(const pybind11::dict& request);

/// A static-physiology request read and checked as _execute_turbid_static_physiology_embree
/// reads it.
embree::OwnedTurbidStaticPhysiologyRequest parse_turbid_static_physiology_request(
    const pybind11::dict& request);

/// A Turbid energy-balance request read and checked as _execute_turbid_energy_balance_embree
/// reads it.
embree::OwnedTurbidEnergyBalanceRequest parse_turbid_energy_balance_request(
    const pybind11::dict& request);

/// The dictionary of a state token (ids, stage name and revision stamps).
pybind11::dict turbid_state_token_dict(const turbid::TurbidStateToken& token);

/// A state token dictionary read as the CPU state operations read it.
turbid::TurbidStateToken parse_turbid_state_token(const pybind11::object& token);

/// The dictionary of an aggregation (state_token, groups, diagnostics, components, samples
/// with diagnostics='samples', and the execution keys with `backend` and `executor`).
pybind11::dict turbid_aggregation_result(const turbid::TurbidDomainStorage& storage,
                                         const turbid::TurbidStateToken& token,
                                         const turbid::TurbidAggregation& aggregation,
                                         const std::string& diagnostics, const char* backend,
                                         const char* executor);

/// A sampling diagnostic request read and validated as _debug_turbid_samples_embree reads it
/// (ValueError "Turbid sampling diagnostic requires components, vertices, and triangles" and
/// the descriptor messages).
turbid::TurbidDomainDescriptor read_turbid_sampling_request(const pybind11::dict& request);

/// The sampling configuration of a diagnostic call (quality, seed, budget, candidate limit and
/// the request's optional num_threads).
turbid::TurbidSamplingConfig read_turbid_sampling_config(const pybind11::dict& request,
                                                         const std::string& quality,
                                                         const pybind11::handle& seed,
                                                         const pybind11::handle& sample_budget,
                                                         const pybind11::handle& max_candidates);

/// The columns of a sample pool as the sampling diagnostics return them.
pybind11::dict turbid_pool_dict(const turbid::TurbidSamplePool& pool);

}  // namespace tesk::python
