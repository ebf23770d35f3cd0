#pragma once

// The arguments and results of the leaf reverse ray tracer as every backend's binding takes and
// returns them: converted and checked in one place, with the same messages in the same order,
// so run_turbid_leaf_rrt_cpu and its device twin cannot drift apart.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "embree/turbid_leaf_rrt.h"
#include "python/frame.h"

namespace tesk::python {

/// The converted arrays of one leaf RRT call and the parameters that view them (the arrays
/// keep their buffers alive; moving this record keeps the views valid).
struct LeafRrtArgs {
  carray<float> positions, normals, table, sun, sky, rho, rho_back, tau, lw, eps;
  carray<int32_t> medium_ids, instance_ids, offsets, active_media, active_instances;
  py::ssize_t n = 0;                   ///< Leaf-area samples.
  embree::TurbidLeafRRTParams params;  ///< Everything but num_threads, viewing the arrays.
};

namespace leaf_rrt_detail {

template <typename T>
std::span<const T> view(const carray<T>& a) {
  return {a.data(), static_cast<size_t>(a.size())};
}

// `value` as a C-contiguous array of T; None gives an empty array when `optional`. A value that
// is no array of numbers is a TypeError, as for every typed argument.
template <typename T>
carray<T> converted(const py::object& value, const char* name, bool optional) {
  const char* type = std::is_same_v<T, float> ? "float32" : "int32";
  if (value.is_none()) {
    if (optional) return carray<T>(0);
    throw py::type_error(std::string(name) + " must be a " + type + " array, not None");
  }
  carray<T> a = carray<T>::ensure(value);
  if (!a) {
    PyErr_Clear();
    throw py::type_error(std::string(name) + " must be a " + type + " array" +
                         (optional ? " or None" : ""));
  }
  return a;
}

inline bool rows_of_three(const carray<float>& a) {
  return (a.ndim() == 2 && a.shape(1) == 3) || (a.ndim() == 1 && a.size() == 0);
}

}  // namespace leaf_rrt_detail

/// Converts and checks the arguments of a leaf RRT call (positions and normals [n, 3], per-sample
/// medium and instance ids [n], active-media offsets [n + 1], optional per-band and per-medium
/// arrays, the directional sky table [n_bands, 16, 32]).
inline LeafRrtArgs convert_leaf_rrt_args(
    const py::object& positions, const py::object& normals, const py::object& medium_ids,
    const py::object& instance_ids, const py::object& offsets, const py::object& active_media,
    const py::object& active_instances, int n_bands, int rays_per_sample, int max_depth,
    const py::object& sun_irradiance, const py::object& sky_diffuse_radiance,
    const py::object& sky_directional_table, const py::object& medium_reflectance,
    const py::object& medium_back_reflectance, const py::object& medium_transmittance,
    bool thermal_mode, const py::object& instance_lw_radiance,
    const py::object& instance_emissivity, float sun_dir_x, float sun_dir_y, float sun_dir_z,
    uint64_t seed) {
  using leaf_rrt_detail::converted;
  using leaf_rrt_detail::rows_of_three;
  using leaf_rrt_detail::view;
  LeafRrtArgs a;
  a.positions = converted<float>(positions, "positions", false);
  if (!rows_of_three(a.positions)) {
    throw py::value_error("positions must have shape [n_leaf_samples, 3]");
  }
  const py::ssize_t n = a.positions.size() / 3;
  a.n = n;
  a.normals = converted<float>(normals, "normals", false);
  if (!rows_of_three(a.normals) || a.normals.size() != 3 * n) {
    throw py::value_error("normals must have the same [n_leaf_samples, 3] shape");
  }
  auto ids = [](const py::object& value, const char* name, py::ssize_t count, const char* message) {
    carray<int32_t> v = converted<int32_t>(value, name, false);
    if (v.ndim() != 1 || v.size() != count) throw py::value_error(message);
    return v;
  };
  a.medium_ids = ids(medium_ids, "medium_ids", n, "medium_ids must have shape [n_leaf_samples]");
  a.instance_ids =
      ids(instance_ids, "instance_ids", n, "instance_ids must have shape [n_leaf_samples]");
  a.offsets = ids(offsets, "active_medium_offsets", n + 1,
                  "active_medium_offsets must have shape [n_leaf_samples + 1]");
  a.active_media = converted<int32_t>(active_media, "active_medium_ids", false);
  a.active_instances = converted<int32_t>(active_instances, "active_instance_ids", false);
  if (n_bands < 1) throw py::value_error("n_bands must be positive");
  a.table = converted<float>(sky_directional_table, "sky_directional_table", true);
  if (!sky_directional_table.is_none() && (a.table.ndim() != 3 || a.table.shape(0) != n_bands ||
                                           a.table.shape(1) != 16 || a.table.shape(2) != 32)) {
    throw py::value_error("sky_directional_table must have shape [n_bands, 16, 32]");
  }
  a.sun = converted<float>(sun_irradiance, "sun_irradiance", true);
  a.sky = converted<float>(sky_diffuse_radiance, "sky_diffuse_radiance", true);
  a.rho = converted<float>(medium_reflectance, "medium_reflectance", true);
  a.rho_back = converted<float>(medium_back_reflectance, "medium_back_reflectance", true);
  a.tau = converted<float>(medium_transmittance, "medium_transmittance", true);
  a.lw = converted<float>(instance_lw_radiance, "instance_lw_radiance", true);
  a.eps = converted<float>(instance_emissivity, "instance_emissivity", true);

  embree::TurbidLeafRRTParams& p = a.params;
  p.positions = view(a.positions);
  p.normals = view(a.normals);
  p.medium_ids = view(a.medium_ids);
  p.instance_ids = view(a.instance_ids);
  p.active_medium_offsets = view(a.offsets);
  p.active_medium_ids = view(a.active_media);
  p.active_instance_ids = view(a.active_instances);
  p.n_bands = n_bands;
  p.rays_per_sample = rays_per_sample;
  p.max_depth = max_depth;
  p.sun_irradiance = view(a.sun);
  p.sky_diffuse_radiance = view(a.sky);
  p.sky_directional_table = view(a.table);
  p.medium_reflectance = view(a.rho);
  p.medium_back_reflectance = view(a.rho_back);
  p.medium_transmittance = view(a.tau);
  p.thermal_mode = thermal_mode;
  p.instance_lw_radiance = view(a.lw);
  p.instance_emissivity = view(a.eps);
  p.sun_dir = {sun_dir_x, sun_dir_y, sun_dir_z};
  p.seed = seed;
  return a;
}

/// The per-sample arrays of a leaf RRT result: irradiances [n_bands, n] (zeros where the run
/// produced none), p_sun [n] and the ray count.
inline py::dict leaf_rrt_arrays(const embree::TurbidLeafRRTResult& r, int n_bands, py::ssize_t n) {
  const py::ssize_t nb = n_bands;
  auto band_major = [&](const std::vector<float>& v) {
    return v.empty() ? to_numpy(std::vector<float>(static_cast<size_t>(nb * n)).data(), {nb, n})
                     : to_numpy(v.data(), {nb, n});
  };
  py::dict out;
  out["total_irradiance_top"] = band_major(r.total_top);
  out["total_irradiance_bottom"] = band_major(r.total_bottom);
  out["direct_irradiance_top"] = band_major(r.direct_top);
  out["direct_irradiance_bottom"] = band_major(r.direct_bottom);
  out["p_sun"] =
      r.p_sun.empty() ? to_numpy(std::vector<float>(static_cast<size_t>(n))) : to_numpy(r.p_sun);
  out["rays"] = r.rays;
  return out;
}

}  // namespace tesk::python
