#pragma once

// The joint thermo-physiology request conversion and the result-and-commit step shared by the
// CPU and Vulkan bindings.

#include <pybind11/pybind11.h>

#include <cstdint>
#include <functional>

#include "embree/joint_thermo_physiology.h"

namespace tesk::python {

/// Converts the host request dictionary (arrays, controls, microclimate, transport identities).
embree::OwnedJointThermoPhysiologyRequest joint_request(const pybind11::dict& request);

/// Adds backend-specific keys to a joint result (called with the new joint state id).
using JointResultExtras = std::function<void(pybind11::dict&, uint64_t)>;

/// Builds the flat result dictionary of a staged run (backend, workflow, executor, native, the
/// per-element arrays, scalars, 'mesh' and 'turbid' slices, ids, then `extras`), then commits
/// the final per-primitive temperatures, emissivities, per-instance turbid thermal state and the
/// joint state to `scene` all at once; a refused commit leaves the scene as it was.
pybind11::dict commit_joint_result(embree::EmbreeSceneManager& scene,
                                   const embree::OwnedJointThermoPhysiologyRequest& request,
                                   embree::StagedJointThermoPhysiology& staged, const char* backend,
                                   const char* executor, const JointResultExtras& extras = {});

}  // namespace tesk::python
