// Microwave evaluators: convert the arrays, hand them to the host evaluators (which check the
// shapes and raise the runtime errors with their messages) and return float32 tables.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "core/host/microwave/evaluators.h"
#include "python/bindings.h"
#include "python/frame.h"

namespace tesk::python {
namespace {

using microwave::FloatArray;
using microwave::ResultTable;

FloatArray view(const carray<float>& a) {
  FloatArray v;
  v.data = a.data();
  v.shape.reserve(static_cast<size_t>(a.ndim()));
  for (py::ssize_t d = 0; d < a.ndim(); ++d) v.shape.push_back(static_cast<size_t>(a.shape(d)));
  return v;
}

py::array_t<float> to_array(const ResultTable& t) {
  return to_numpy(t.values.data(),
                  {static_cast<py::ssize_t>(t.rows), static_cast<py::ssize_t>(t.cols)});
}

}  // namespace

void bind_microwave(py::module_& m) {
  m.def(
      "_evaluate_microwave_soil",
      [](double frequency, const carray<float>& parameters, const carray<float>& cosines,
         bool active) {
        return to_array(
            microwave::evaluate_soil(frequency, view(parameters), view(cosines), active));
      },
      py::arg("frequency"), py::arg("parameters"), py::arg("cosines"), py::arg("active") = false,
      "Soil microwave response per incidence cosine at frequency (Hz). Passive: [N, 4] rows "
      "(T_B,H, T_B,V, Gamma_H,rough, Gamma_V,rough); active: [N, 4] rows (sigma_HH, sigma_HV, "
      "sigma_VH, sigma_VV), linear.");
  m.def(
      "_evaluate_microwave_soil_reflectivity",
      [](double frequency, const carray<float>& parameters, const carray<float>& cosines,
         bool allow_hallikainen) {
        return to_array(microwave::evaluate_soil_reflectivity(frequency, view(parameters),
                                                              view(cosines), allow_hallikainen));
      },
      py::arg("frequency"), py::arg("parameters"), py::arg("cosines"),
      py::arg("allow_hallikainen") = false,
      "Smooth-surface Fresnel reflectivities of the soil per incidence cosine: [N, 2] rows "
      "(Gamma_H, Gamma_V).");
  m.def(
      "_evaluate_microwave_trunk_ground",
      [](double frequency, const carray<float>& soil_parameters,
         const carray<float>& trunk_parameters, const carray<float>& directions_to_trunk,
         const carray<float>& directions_to_ground, const carray<float>& ground_normals) {
        return to_array(microwave::evaluate_trunk_ground(
            frequency, view(soil_parameters), view(trunk_parameters), view(directions_to_trunk),
            view(directions_to_ground), view(ground_normals)));
      },
      py::arg("frequency"), py::arg("soil_parameters"), py::arg("trunk_parameters"),
      py::arg("directions_to_trunk"), py::arg("directions_to_ground"), py::arg("ground_normals"),
      "Trunk and trunk-ground responses per direction triple: [N, 12] rows (direct sigma_HH, "
      "sigma_HV, sigma_VH, sigma_VV; double-bounce sigma_HH, sigma_HV, sigma_VH, sigma_VV; "
      "trunk extinction cross sections H, V; coherent ground reflectivities Gamma_H, Gamma_V). "
      "Cross sections in m^2.");
  m.def(
      "_evaluate_microwave_trunk",
      [](double frequency, const carray<float>& parameters, const carray<float>& cosines) {
        return to_array(microwave::evaluate_trunk(frequency, view(parameters), view(cosines)));
      },
      py::arg("frequency"), py::arg("parameters"), py::arg("cosines"),
      "Trunk surface response per incidence cosine: [N, 4] rows (T_B,H, T_B,V, Gamma_H, "
      "Gamma_V).");
}

}  // namespace tesk::python
