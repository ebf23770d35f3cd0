#pragma once

// Conversion of the energy-balance arguments shared by the CPU and CUDA bindings: optional
// arguments arrive as host objects (None means absent) and are checked here with the messages
// the host expects; lengths against the scene are checked by the workflow before any work.

#include <pybind11/pybind11.h>

#include <optional>
#include <span>
#include <string>

#include "python/frame.h"

namespace tesk::python {

// None, or one number (a host real or an array of one element).
inline std::optional<float> optional_scalar(const py::object& value, const char* name) {
  if (value.is_none()) return std::nullopt;
  carray<float> a = carray<float>::ensure(value);
  if (!a || a.size() != 1) {
    PyErr_Clear();
    throw py::value_error(std::string(name) + " must be a number or None");
  }
  return *a.data();
}

// None (empty), or an array converted as every float32 argument.
inline carray<float> optional_array(const py::object& value, const char* name) {
  if (value.is_none()) return carray<float>(0);
  carray<float> a = carray<float>::ensure(value);
  if (!a) {
    PyErr_Clear();
    throw py::type_error(std::string(name) + " must be a float32 array or None");
  }
  return a;
}

// An optional flat array: None (empty) or rank one, else ValueError `rank_message`.
inline carray<float> optional_flat(const py::object& value, const char* name,
                                   const char* rank_message) {
  carray<float> a = optional_array(value, name);
  if (!value.is_none() && a.ndim() != 1) throw py::value_error(rank_message);
  return a;
}

inline std::span<const float> view(const carray<float>& a) {
  return {a.data(), static_cast<size_t>(a.size())};
}

// The converted optional arguments of a single-band run. The split optics are accepted for the
// multiband signature's sake and only converted; the single-band estimator does not read them.
struct SingleBandArgs {
  std::optional<float> sun, sky;
  carray<float> albedos;
};
inline SingleBandArgs single_band_args(const py::object& sun_irradiance,
                                       const py::object& sky_diffuse_radiance,
                                       const py::object& sw_albedos,
                                       const py::object& sw_reflectance,
                                       const py::object& sw_back_reflectance,
                                       const py::object& sw_transmittance) {
  SingleBandArgs a{
      optional_scalar(sun_irradiance, "sun_irradiance"),
      optional_scalar(sky_diffuse_radiance, "sky_diffuse_radiance"),
      optional_flat(sw_albedos, "sw_albedos", "sw_albedos must be 1D (one value per primitive)")};
  optional_array(sw_reflectance, "sw_reflectance");
  optional_array(sw_back_reflectance, "sw_back_reflectance");
  optional_array(sw_transmittance, "sw_transmittance");
  return a;
}

// The converted optional arguments of a multiband run with n_bands >= 1.
struct MultibandArgs {
  carray<float> sun, sky, table, albedos, reflectance, back, transmittance;
};
inline MultibandArgs multiband_args(int n_bands, const py::object& sun_irradiance,
                                    const py::object& sky_diffuse_radiance,
                                    const py::object& sky_directional_table,
                                    const py::object& sw_albedos, const py::object& sw_reflectance,
                                    const py::object& sw_back_reflectance,
                                    const py::object& sw_transmittance) {
  auto band_vector = [n_bands](const py::object& value, const char* name, const char* message) {
    carray<float> a = optional_array(value, name);
    if (!value.is_none() && (a.ndim() != 1 || a.size() != n_bands)) {
      throw py::value_error(message);
    }
    return a;
  };
  MultibandArgs a;
  a.sun = band_vector(sun_irradiance, "sun_irradiance", "sun_irradiance must have shape [n_bands]");
  a.sky = band_vector(sky_diffuse_radiance, "sky_diffuse_radiance",
                      "sky_diffuse_radiance must have shape [n_bands]");
  a.table = optional_array(sky_directional_table, "sky_directional_table");
  if (!sky_directional_table.is_none() && (a.table.ndim() != 3 || a.table.shape(0) != n_bands ||
                                           a.table.shape(1) != 16 || a.table.shape(2) != 32)) {
    throw py::value_error("sky_directional_table must have shape [n_bands, 16, 32]");
  }
  a.albedos = optional_flat(sw_albedos, "sw_albedos",
                            "sw_albedos must be 1D (flattened [n_bands * n_prims])");
  a.reflectance = optional_flat(sw_reflectance, "sw_reflectance",
                                "sw_reflectance must be 1D (flattened [n_bands * n_prims])");
  a.back = optional_flat(sw_back_reflectance, "sw_back_reflectance",
                         "sw_back_reflectance must be 1D (flattened [n_bands * n_prims])");
  a.transmittance = optional_flat(sw_transmittance, "sw_transmittance",
                                  "sw_transmittance must be 1D (flattened [n_bands * n_prims])");
  return a;
}

}  // namespace tesk::python
