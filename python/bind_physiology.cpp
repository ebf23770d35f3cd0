// solve_physiology_cpu: reads the physiology request dictionary into a borrowed view, runs the
// leaf physiology solver and returns its enveloped result.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "embree/scene_manager.h"
#include "physiology/solver.h"
#include "python/bindings.h"
#include "python/frame.h"
#include "python/physiology_requests.h"

namespace tesk::python {
namespace {

using physiology::FloatBuffer;
using physiology::PhysiologyRequestView;
using physiology::PhysiologyResult;

// Per-element input arrays in the order the view lists them.
constexpr const char* kElementFields[] = {"co2",
                                          "relative_humidity",
                                          "vpd",
                                          "pressure",
                                          "wind",
                                          "vcmax25",
                                          "jmax25",
                                          "rd25",
                                          "ball_berry_slope",
                                          "ball_berry_intercept",
                                          "quantum_yield"};
constexpr const char* kEnergyFields[] = {
    "absorbed_shortwave", "absorbed_longwave", "air_temperature", "vapor_pressure",
    "emissivity",         "sidedness",         "leaf_width",      "stomata_sides"};

// A per-element input: one-dimensional, else "physiology element inputs must be rank one".
carray<float> element_field(const py::dict& request, const char* key) {
  return array_field<float>(request, key, "physiology element inputs must be rank one");
}

FloatBuffer buffer_of(const carray<float>& a) {
  return FloatBuffer{a.data(), static_cast<size_t>(a.size())};
}

// A count of the apar array as int32. Zero passes through so that the solver reports the
// empty dimension; a positive extent beyond int32 cannot be carried by the request.
int32_t apar_extent(py::ssize_t extent, py::ssize_t other) {
  if (extent <= std::numeric_limits<int32_t>::max()) return static_cast<int32_t>(extent);
  if (other == 0) return std::numeric_limits<int32_t>::max();
  throw py::value_error("APAR size overflows size_t");
}

}  // namespace

py::dict physiology_payload(const PhysiologyResult& r, bool energy_balance) {
  py::dict payload;
  payload["an"] = to_numpy(r.an);
  payload["gs"] = to_numpy(r.gs);
  payload["ci"] = to_numpy(r.ci);
  payload["phi_f"] = to_numpy(r.phi_f);
  payload["converged"] = to_numpy(r.converged);
  if (energy_balance) {
    payload["temperature"] = to_numpy(r.temperature);
    payload["net_radiation"] = to_numpy(r.net_radiation);
    payload["sensible_heat"] = to_numpy(r.sensible_heat);
    payload["latent_heat"] = to_numpy(r.latent_heat);
  }
  return payload;
}

PhysiologyRequest read_physiology_request(const py::dict& request) {
  PhysiologyRequest r;
  r.apar = array_field_any_rank<float>(request, "apar");
  if (r.apar.ndim() != 2) throw py::value_error("apar must have shape [element, band]");
  r.temperature = array_field_any_rank<float>(request, "temperature");
  if (r.temperature.ndim() != 1 || r.temperature.shape(0) != r.apar.shape(0)) {
    throw py::value_error("temperature must have shape [element] matching apar");
  }
  for (const char* key : kElementFields) r.element_arrays.push_back(element_field(request, key));
  const int32_t max_iterations = int32_field(request, "max_iterations");
  const float tolerance = real_field(request, "tolerance");
  r.dynamic = flag_field(request, "dynamic_energy_balance");
  if (r.dynamic) {
    for (const char* key : kEnergyFields) r.energy_arrays.push_back(element_field(request, key));
  }

  PhysiologyRequestView& view = r.view;
  view.n_elements = apar_extent(r.apar.shape(0), r.apar.shape(1));
  view.n_bands = apar_extent(r.apar.shape(1), r.apar.shape(0));
  view.apar = buffer_of(r.apar);
  view.temperature = buffer_of(r.temperature);
  FloatBuffer* element_buffers[] = {&view.co2,
                                    &view.relative_humidity,
                                    &view.vpd,
                                    &view.pressure,
                                    &view.wind,
                                    &view.vcmax25,
                                    &view.jmax25,
                                    &view.rd25,
                                    &view.ball_berry_slope,
                                    &view.ball_berry_intercept,
                                    &view.quantum_yield};
  for (size_t i = 0; i < r.element_arrays.size(); ++i) {
    *element_buffers[i] = buffer_of(r.element_arrays[i]);
  }
  // The host's dynamic energy balance always solves the leaf temperature as well.
  view.energy_balance = r.dynamic;
  view.solve_temperature = r.dynamic;
  if (r.dynamic) {
    FloatBuffer* energy_buffers[] = {&view.absorbed_shortwave, &view.absorbed_longwave,
                                     &view.air_temperature,    &view.vapor_pressure,
                                     &view.emissivity,         &view.sidedness,
                                     &view.leaf_width,         &view.stomata_sides};
    for (size_t i = 0; i < r.energy_arrays.size(); ++i) {
      *energy_buffers[i] = buffer_of(r.energy_arrays[i]);
    }
  }
  view.max_iterations = max_iterations;
  view.tolerance = tolerance;
  return r;
}

namespace {

py::dict solve_physiology_cpu(const embree::EmbreeSceneManager& scene, const py::dict& request) {
  const embree::SceneUse use = scene.acquire_use();
  // The converted arrays stay alive in this frame while the view borrows them.
  const PhysiologyRequest r = read_physiology_request(request);
  const PhysiologyResult result =
      physiology::solve_physiology(r.view, 0, interpreter_interrupt_check());
  return enveloped_result(physiology_payload(result, r.dynamic), result.execution);
}

}  // namespace

void bind_physiology(py::module_& m) {
  m.def("solve_physiology_cpu", &solve_physiology_cpu, py::arg("scene"), py::arg("request"),
        "Leaf physiology of every element of a request dictionary: net assimilation, stomatal "
        "conductance, intercellular CO2, fluorescence yield and, with dynamic_energy_balance, "
        "the solved leaf temperature with its heat fluxes. Returns {payload, _execution}; "
        "raises ValueError for an invalid request.");
}

}  // namespace tesk::python
