// VulkanSceneManager.run_microwave_wavefront: the wavefront's arrays (None: absent), the device
// run and the enveloped result.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <span>
#include <string>

#include "python/bindings.h"
#include "python/frame.h"
#include "python/vulkan_workflows.h"
#include "vulkan/microwave.h"

namespace tesk::python {
namespace {

using vulkan::VulkanSceneManager;

// None (empty) or an array converted to T; anything else is a ValueError naming the argument.
template <typename T>
carray<T> table(const py::object& value, const char* name) {
  if (value.is_none()) return carray<T>(0);
  carray<T> a = carray<T>::ensure(value);
  if (!a) {
    PyErr_Clear();
    throw py::value_error(std::string(name) + " must be a " +
                          (std::is_same_v<T, float> ? "float32" : "int32") + " array or None");
  }
  return a;
}

template <typename T>
std::span<const T> span_of(const carray<T>& a) {
  return {a.data(), static_cast<size_t>(a.size())};
}

py::dict run_microwave_wavefront(
    VulkanSceneManager& scene, bool active_mode, int max_depth, float air_temperature,
    float atmosphere_tau, int soil_count, int vegetation_count, int trunk_count,
    int response_table_size, const carray<float>& origins, const carray<float>& directions,
    const carray<int32_t>& material_map, const py::object& passive_soil_table,
    const py::object& active_soil_table, const py::object& smooth_soil_table,
    const py::object& vegetation_parameters, const py::object& trunk_parameters,
    const py::object& trunk_response_table, const py::object& trunk_dihedral_scattering,
    const py::object& dihedral_ground_table, const py::object& lut_info,
    const py::object& mueller_lut, const py::object& cosine_cdf, const py::object& azimuth_cdf,
    const py::object& progress) {
  const carray<float> tables[] = {
      table<float>(passive_soil_table, "passive_soil_table"),
      table<float>(active_soil_table, "active_soil_table"),
      table<float>(smooth_soil_table, "smooth_soil_table"),
      table<float>(vegetation_parameters, "vegetation_parameters"),
      table<float>(trunk_parameters, "trunk_parameters"),
      table<float>(trunk_response_table, "trunk_response_table"),
      table<float>(trunk_dihedral_scattering, "trunk_dihedral_scattering"),
      table<float>(dihedral_ground_table, "dihedral_ground_table"),
      table<float>(lut_info, "lut_info"),
      table<float>(mueller_lut, "mueller_lut"),
      table<float>(cosine_cdf, "cosine_cdf"),
      table<float>(azimuth_cdf, "azimuth_cdf")};
  vulkan::MicrowaveWavefrontRequest r;
  r.active_mode = active_mode;
  r.max_depth = max_depth;
  r.air_temperature = air_temperature;
  r.atmosphere_tau = atmosphere_tau;
  r.soil_count = soil_count;
  r.vegetation_count = vegetation_count;
  r.trunk_count = trunk_count;
  r.response_table_size = response_table_size;
  r.origins = span_of(origins);
  r.directions = span_of(directions);
  r.material_map = span_of(material_map);
  r.passive_soil_table = span_of(tables[0]);
  r.active_soil_table = span_of(tables[1]);
  r.smooth_soil_table = span_of(tables[2]);
  r.vegetation_parameters = span_of(tables[3]);
  r.trunk_parameters = span_of(tables[4]);
  r.trunk_response_table = span_of(tables[5]);
  r.trunk_dihedral_scattering = span_of(tables[6]);
  r.dihedral_ground_table = span_of(tables[7]);
  r.lut_info = span_of(tables[8]);
  r.mueller_lut = span_of(tables[9]);
  r.cosine_cdf = span_of(tables[10]);
  r.azimuth_cdf = span_of(tables[11]);
  const ProgressCallback callback = wrap_progress(progress);
  const embree::SceneUse use = scene.host().acquire_use();
  const vulkan::MicrowaveWavefrontResult result =
      vulkan::run_microwave_wavefront(scene, r, callback, interpreter_interrupt_check());
  py::dict payload;
  const auto n = static_cast<py::ssize_t>(result.n_rays);
  if (result.active) {
    payload["backscatter"] = to_numpy(result.values.data(), {n, 4});
  } else {
    std::vector<float> tb(2 * static_cast<size_t>(n));
    for (py::ssize_t i = 0; i < n; ++i) {
      tb[2 * i] = result.values[4 * i];
      tb[2 * i + 1] = result.values[4 * i + 1];
    }
    payload["brightness_temperature"] = to_numpy(tb.data(), {n, 2});
  }
  py::dict execution;
  execution["backend"] = "vulkan";
  execution["workflow"] = "microwave_wavefront";
  execution["executor"] = "vulkan.ray_query.microwave_wavefront";
  execution["native"] = true;
  py::dict out;
  out["payload"] = payload;
  out["_execution"] = execution;
  return out;
}

constexpr const char* kDoc =
    "Microwave lines of sight on the device (one ray per origin/direction row, float32 [N, 3]).\n"
    "material_map (int32 [n_materials, 2]) gives each scene material a class and an index into\n"
    "that class's tables: 0 absorber, 1 soil, 2 vegetation, 3 trunk. Tables are sampled on the\n"
    "cosine grid i / (response_table_size - 1) and interpolated linearly in |cos| between the\n"
    "ray and the surface normal: passive_soil_table and trunk_response_table [count, M, 4]\n"
    "(T_B,H, T_B,V, Gamma_H, Gamma_V, e.g. rows of _evaluate_microwave_soil and\n"
    "_evaluate_microwave_trunk), active_soil_table [soil_count, M, 4] (sigma_HH, HV, VH, VV),\n"
    "trunk_dihedral_scattering [trunk_count, M, 8] (direct and trunk-ground double-bounce\n"
    "sigmas), vegetation_parameters [vegetation_count, 3] (nadir optical depth, albedo, T).\n"
    "Passive: specular chains of at most max_depth interactions; soil and trunks emit and\n"
    "reflect, vegetation layers emit (1 - albedo)(1 - g) T and pass g = exp(-tau / mu), the\n"
    "sky is T_air (1 - t) + 2.725 t with t = exp(-atmosphere_tau / mu). Active: the first soil\n"
    "or trunk surface's sigmas behind two-way vegetation attenuation g^2, plus the vegetation\n"
    "volume term albedo mu (1 - g^2) / 2 (co-polarised).\n"
    "Smooth soil: material class 4 with an index into the soil tables; needs smooth_soil_table\n"
    "[soil_count, M, 2] (smooth Gamma_H, Gamma_V, e.g. _evaluate_microwave_soil_reflectivity):\n"
    "it emits (1 - Gamma_s) T_eff, T_eff = (T_B,H + T_B,V) / (2 - Gamma_H - Gamma_V) of its\n"
    "passive row, and reflects specularly with Gamma_s; in active mode it returns nothing.\n"
    "Vegetation phase tables (all four or none): lut_info = (C, A) cell counts; directions are\n"
    "those the line of sight travels, cosines against +z in C equal cells over [-1, 1], the\n"
    "azimuth relative to the incident one in A equal cells over [0, 2 pi). mueller_lut\n"
    "[vegetation_count, C, C, A, 16]: per incident cell, outgoing cell and azimuth cell a\n"
    "row-major 4 x 4 phase matrix, Stokes order (I_H, I_V, U, V), the identity being isotropic\n"
    "scattering (only the H, V intensity block is transported); cosine_cdf\n"
    "[vegetation_count, C, C] the cumulative probabilities of the outgoing cosine cell per\n"
    "incident cell, azimuth_cdf [vegetation_count, C, C, A] those of the azimuth cell per\n"
    "incident and outgoing cell (rows non-decreasing in [0, 1], ending at 1). Passive: a\n"
    "vegetation crossing scatters with probability 1 - g into a direction drawn from the CDFs\n"
    "(uniform within the cells), weight albedo M / (4 pi pdf); active: the volume term times\n"
    "the block (M_HH, M_HV, M_VH, M_VV) of the backscatter cell (outgoing -d, azimuth cell\n"
    "A // 2). One random stream per ray index. dihedral_ground_table [soil_count, M, 2]\n"
    "(F_H, F_V): when given, a trunk's double-bounce sigmas are scaled by the row of the first\n"
    "soil that its mirror image of the line of sight reaches (at the cosine there, through\n"
    "vegetation layers at g^2 each): HH by F_H, VV by F_V, HV and VH by sqrt(F_H F_V); none\n"
    "reached, no double bounce. trunk_parameters are checked for shape only.\n"
    "progress(done, total, elapsed_ms) after each dispatch of up to 2^20 rays.\n"
    "Returns {'payload': {'brightness_temperature': float32 [N, 2] (K, H and V)} or\n"
    "{'backscatter': float32 [N, 4]}, '_execution'}.";

}  // namespace

void bind_vulkan_microwave(py::class_<VulkanSceneManager>& cls) {
  const py::object none = py::none();
  cls.def("run_microwave_wavefront", &run_microwave_wavefront, py::arg("active_mode"),
          py::arg("max_depth"), py::arg("air_temperature"), py::arg("atmosphere_tau"),
          py::arg("soil_count"), py::arg("vegetation_count"), py::arg("trunk_count"),
          py::arg("response_table_size"), py::arg("origins"), py::arg("directions"),
          py::arg("material_map"), py::arg("passive_soil_table") = none,
          py::arg("active_soil_table") = none, py::arg("smooth_soil_table") = none,
          py::arg("vegetation_parameters") = none, py::arg("trunk_parameters") = none,
          py::arg("trunk_response_table") = none, py::arg("trunk_dihedral_scattering") = none,
          py::arg("dihedral_ground_table") = none, py::arg("lut_info") = none,
          py::arg("mueller_lut") = none, py::arg("cosine_cdf") = none,
          py::arg("azimuth_cdf") = none, py::kw_only(), py::arg("progress") = none, kDoc);
}

}  // namespace tesk::python
