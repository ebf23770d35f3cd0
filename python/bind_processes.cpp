// Scene processes over mesh primitives: the static and dynamic photosynthesis processes, the
// energy-balance process and the two SIF operations. Each reads its request dictionary into a
// native request, runs it and returns {payload, _execution}.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "embree/scene_manager.h"
#include "embree/surface_processes.h"
#include "physiology/processes.h"
#include "python/bindings.h"
#include "python/frame.h"

namespace tesk::python {
namespace {

using physiology::FloatBuffer;
using physiology::IntBuffer;

FloatBuffer fbuf(const carray<float>& a) {
  return FloatBuffer{a.data(), static_cast<size_t>(a.size())};
}
IntBuffer ibuf(const carray<int32_t>& a) {
  return IntBuffer{a.data(), static_cast<size_t>(a.size())};
}
std::span<const float> fspan(const carray<float>& a) {
  return {a.data(), static_cast<size_t>(a.size())};
}
std::span<const int32_t> ispan(const carray<int32_t>& a) {
  return {a.data(), static_cast<size_t>(a.size())};
}

// Optional "num_threads" (default 0: every hardware thread).
int threads_of(const py::dict& request) {
  return has_field(request, "num_threads") ? int32_field(request, "num_threads") : 0;
}

// Two-dimensional [element, band] spectra of equal shape.
std::vector<carray<float>> spectra_fields(const py::dict& request,
                                          std::initializer_list<const char*> keys) {
  std::vector<carray<float>> out;
  for (const char* key : keys) {
    out.push_back(array_field_any_rank<float>(request, key));
    const carray<float>& a = out.back();
    if (a.ndim() != 2 ||
        (out.size() > 1 && (a.shape(0) != out[0].shape(0) || a.shape(1) != out[0].shape(1)))) {
      throw py::value_error("absorbed spectra must share shape [element, band]");
    }
  }
  return out;
}

int32_t extent(py::ssize_t n) {
  if (n > INT32_MAX) throw py::value_error("request arrays exceed the int32 element range");
  return static_cast<int32_t>(n);
}

// ---- static photosynthesis ---------------------------------------------------------------------

py::dict photosynthesis_static(const embree::EmbreeSceneManager& scene, const py::dict& request) {
  const embree::SceneUse use = scene.acquire_use();
  const std::vector<carray<float>> spectra =
      spectra_fields(request, {"absorbed_top", "absorbed_bottom", "absorbed_direct"});
  const char* float_keys[] = {"wavelengths",
                              "sunlit_fraction",
                              "temperature_sunlit",
                              "temperature_shaded",
                              "vcmax25",
                              "jmax25",
                              "rd25",
                              "ball_berry_slope",
                              "ball_berry_intercept",
                              "quantum_yield"};
  std::vector<carray<float>> f;
  for (const char* key : float_keys) f.push_back(array_field<float>(request, key));
  const carray<int32_t> material_ids = array_field<int32_t>(request, "material_ids");
  const carray<int32_t> active = array_field<int32_t>(request, "material_active");
  const carray<int32_t> fluorescent = array_field<int32_t>(request, "material_fluorescent");
  physiology::PhotosynthesisProcessRequestView v;
  v.n_elements = extent(spectra[0].shape(0));
  v.n_bands = extent(spectra[0].shape(1));
  v.n_materials = extent(active.size());
  v.absorbed_top = fbuf(spectra[0]);
  v.absorbed_bottom = fbuf(spectra[1]);
  v.absorbed_direct = fbuf(spectra[2]);
  v.wavelengths = fbuf(f[0]);
  v.sunlit_fraction = fbuf(f[1]);
  v.temperature_sunlit = fbuf(f[2]);
  v.temperature_shaded = fbuf(f[3]);
  v.vcmax25 = fbuf(f[4]);
  v.jmax25 = fbuf(f[5]);
  v.rd25 = fbuf(f[6]);
  v.ball_berry_slope = fbuf(f[7]);
  v.ball_berry_intercept = fbuf(f[8]);
  v.quantum_yield = fbuf(f[9]);
  v.material_ids = ibuf(material_ids);
  v.material_active = ibuf(active);
  v.material_fluorescent = ibuf(fluorescent);
  v.co2 = real_field(request, "co2");
  v.relative_humidity = real_field(request, "relative_humidity");
  v.max_iterations = int32_field(request, "max_iterations");
  v.tolerance = real_field(request, "tolerance");
  const physiology::PhotosynthesisProcessResult r =
      physiology::execute_photosynthesis_process_static(v, threads_of(request),
                                                        interpreter_interrupt_check());
  py::dict p;
  p["temperature"] = to_numpy(r.temperature);
  p["an"] = to_numpy(r.an);
  p["gs"] = to_numpy(r.gs);
  p["phi_f"] = to_numpy(r.phi_f);
  p["apar"] = to_numpy(r.apar);
  p["temperature_sunlit"] = to_numpy(r.temperature_sunlit);
  p["temperature_shaded"] = to_numpy(r.temperature_shaded);
  p["sunlit_fraction"] = to_numpy(r.sunlit_fraction);
  p["apar_sunlit"] = to_numpy(r.apar_sunlit);
  p["apar_shaded"] = to_numpy(r.apar_shaded);
  p["an_sunlit"] = to_numpy(r.an_sunlit);
  p["an_shaded"] = to_numpy(r.an_shaded);
  p["active_mask"] = to_numpy(r.active_mask);
  p["converged"] = to_numpy(r.converged);
  return enveloped_result(p, r.execution);
}

// ---- coupled processes -------------------------------------------------------------------------

embree::CouplingControls coupling_of(const py::dict& request) {
  embree::CouplingControls c;
  c.sky_lw_radiance = real_field(request, "sky_lw_radiance");
  c.n_samples = int32_field(request, "n_samples");
  c.max_iterations = int32_field(request, "max_iterations");
  c.convergence_tolerance = real_field(request, "convergence_tolerance");
  c.damping = real_field(request, "damping");
  return c;
}

py::list history_of(const embree::CouplingDiagnostics& d) {
  py::list h;
  for (size_t i = 0; i < d.history.size(); ++i) {
    py::dict row;
    row["iteration"] = static_cast<int>(i + 1);
    row["max_dT"] = d.history[i];
    h.append(row);
  }
  return h;
}

void add_loop(py::dict& p, const embree::CouplingDiagnostics& d) {
  p["iterations"] = d.iterations;
  p["converged"] = d.converged;
  p["final_max_temperature_change"] = d.final_max_temperature_change;
}

py::dict photosynthesis_dynamic(embree::EmbreeSceneManager& scene, const py::dict& request) {
  const char* keys[] = {"apar",
                        "absorbed_shortwave",
                        "initial_temperature",
                        "emissivity",
                        "sidedness",
                        "leaf_width",
                        "stomata_sides",
                        "vcmax25",
                        "jmax25",
                        "rd25",
                        "ball_berry_slope",
                        "ball_berry_intercept",
                        "quantum_yield"};
  const carray<int32_t> active = array_field<int32_t>(request, "active");
  const carray<int32_t> fluorescent = array_field<int32_t>(request, "fluorescent");
  std::vector<carray<float>> f;
  for (const char* key : keys) f.push_back(array_field<float>(request, key));
  embree::DynamicPhotosynthesisRequest r;
  r.conditional = flag_field(request, "conditional");
  std::vector<carray<float>> cond;
  if (r.conditional) {
    for (const char* key : {"sunlit_fraction", "apar_sunlit", "apar_shaded", "shortwave_sunlit",
                            "shortwave_shaded"}) {
      cond.push_back(array_field<float>(request, key));
    }
    r.sunlit_fraction = fspan(cond[0]);
    r.apar_sunlit = fspan(cond[1]);
    r.apar_shaded = fspan(cond[2]);
    r.shortwave_sunlit = fspan(cond[3]);
    r.shortwave_shaded = fspan(cond[4]);
  }
  r.active = ispan(active);
  r.fluorescent = ispan(fluorescent);
  std::span<const float>* spans[] = {&r.apar,
                                     &r.absorbed_shortwave,
                                     &r.initial_temperature,
                                     &r.emissivity,
                                     &r.sidedness,
                                     &r.leaf_width,
                                     &r.stomata_sides,
                                     &r.vcmax25,
                                     &r.jmax25,
                                     &r.rd25,
                                     &r.ball_berry_slope,
                                     &r.ball_berry_intercept,
                                     &r.quantum_yield};
  for (size_t i = 0; i < f.size(); ++i) *spans[i] = fspan(f[i]);
  r.co2 = real_field(request, "co2");
  r.relative_humidity = real_field(request, "relative_humidity");
  r.air_temperature = real_field(request, "air_temperature");
  r.vapor_pressure = real_field(request, "vapor_pressure");
  r.pressure = real_field(request, "pressure");
  r.wind = real_field(request, "wind");
  r.coupling = coupling_of(request);
  r.physiology_max_iterations = int32_field(request, "physiology_max_iterations");
  r.physiology_tolerance = real_field(request, "physiology_tolerance");
  const embree::DynamicPhotosynthesisResult o = embree::execute_photosynthesis_process_dynamic(
      scene, r, threads_of(request), interpreter_interrupt_check());
  py::dict p;
  p["temperature"] = to_numpy(o.temperature);
  p["an"] = to_numpy(o.an);
  p["gs"] = to_numpy(o.gs);
  p["ci"] = to_numpy(o.ci);
  p["phi_f"] = to_numpy(o.phi_f);
  p["apar"] = to_numpy(o.apar);
  p["temperature_sunlit"] = to_numpy(o.temperature_sunlit);
  p["temperature_shaded"] = to_numpy(o.temperature_shaded);
  p["sunlit_fraction"] = to_numpy(o.sunlit_fraction);
  p["apar_sunlit"] = to_numpy(o.apar_sunlit);
  p["apar_shaded"] = to_numpy(o.apar_shaded);
  p["an_sunlit"] = to_numpy(o.an_sunlit);
  p["an_shaded"] = to_numpy(o.an_shaded);
  p["absorbed_longwave_top"] = to_numpy(o.absorbed_longwave_top);
  p["absorbed_longwave_bottom"] = to_numpy(o.absorbed_longwave_bottom);
  p["absorbed_longwave"] = to_numpy(o.absorbed_longwave);
  p["emitted_longwave"] = to_numpy(o.emitted_longwave);
  p["net_radiation"] = to_numpy(o.net_radiation);
  p["sensible_heat"] = to_numpy(o.sensible_heat);
  p["latent_heat"] = to_numpy(o.latent_heat);
  p["active_mask"] = to_numpy(o.active_mask);
  p["element_converged"] = to_numpy(o.element_converged);
  add_loop(p, o.loop);
  return enveloped_result(p, o.execution);
}

py::dict energy_balance_process(embree::EmbreeSceneManager& scene, const py::dict& request) {
  constexpr const char* kTableRank =
      "energy-balance material tables must be nonempty rank one arrays";
  const carray<int32_t> ids = array_field<int32_t>(request, "primitive_material_ids");
  const carray<int32_t> active = array_field<int32_t>(request, "material_active", kTableRank);
  const char* table_keys[] = {"material_initial_temperature",
                              "material_emissivity",
                              "material_sidedness",
                              "material_sensible_derivative",
                              "material_latent_coefficient",
                              "material_ground_heat",
                              "material_sw_albedo"};
  std::vector<carray<float>> t;
  for (const char* key : table_keys) t.push_back(array_field<float>(request, key, kTableRank));
  embree::EnergyBalanceProcessRequest r;
  r.primitive_material_ids = ispan(ids);
  r.material_active = ispan(active);
  std::span<const float>* spans[] = {&r.material_initial_temperature,
                                     &r.material_emissivity,
                                     &r.material_sidedness,
                                     &r.material_sensible_derivative,
                                     &r.material_latent_coefficient,
                                     &r.material_ground_heat,
                                     &r.material_sw_albedo};
  for (size_t i = 0; i < t.size(); ++i) *spans[i] = fspan(t[i]);
  r.precomputed_shortwave = flag_field(request, "precomputed_shortwave");
  carray<float> sw_top, sw_bottom;
  if (r.precomputed_shortwave) {
    sw_top = array_field<float>(request, "absorbed_shortwave_top");
    sw_bottom = array_field<float>(request, "absorbed_shortwave_bottom");
    r.absorbed_shortwave_top = fspan(sw_top);
    r.absorbed_shortwave_bottom = fspan(sw_bottom);
  }
  r.air_temperature = real_field(request, "air_temperature");
  r.vapor_pressure = real_field(request, "vapor_pressure");
  r.sw_direct = real_field(request, "sw_direct");
  r.sw_diffuse_radiance = real_field(request, "sw_diffuse_radiance");
  r.sun_dir_x = real_field(request, "sun_dir_x");
  r.sun_dir_y = real_field(request, "sun_dir_y");
  r.sun_dir_z = real_field(request, "sun_dir_z");
  r.coupling = coupling_of(request);
  r.newton_max_iterations = int32_field(request, "newton_max_iterations");
  r.newton_tolerance = real_field(request, "newton_tolerance");
  const embree::EnergyBalanceProcessResult o = embree::execute_energy_balance_process(
      scene, r, threads_of(request), interpreter_interrupt_check());
  py::dict p;
  p["temperature"] = to_numpy(o.temperature);
  p["absorbed_shortwave_top"] = to_numpy(o.absorbed_shortwave_top);
  p["absorbed_shortwave_bottom"] = to_numpy(o.absorbed_shortwave_bottom);
  p["absorbed_shortwave"] = to_numpy(o.absorbed_shortwave);
  p["absorbed_longwave_top"] = to_numpy(o.absorbed_longwave_top);
  p["absorbed_longwave_bottom"] = to_numpy(o.absorbed_longwave_bottom);
  p["absorbed_longwave"] = to_numpy(o.absorbed_longwave);
  p["emitted_longwave"] = to_numpy(o.emitted_longwave);
  p["net_radiation"] = to_numpy(o.net_radiation);
  p["sensible_heat"] = to_numpy(o.sensible_heat);
  p["latent_heat"] = to_numpy(o.latent_heat);
  p["ground_heat"] = to_numpy(o.ground_heat);
  p["active_mask"] = to_numpy(o.active_mask);
  p["element_converged"] = to_numpy(o.element_converged);
  add_loop(p, o.loop);
  p["history"] = history_of(o.loop);
  return enveloped_result(p, o.execution);
}

// ---- SIF
// -----------------------------------------------------------------------------------------

py::dict sif_finalize(const embree::EmbreeSceneManager& scene, const py::dict& request) {
  const embree::SceneUse use = scene.acquire_use();
  const std::vector<carray<float>> spectra =
      spectra_fields(request, {"absorbed_top", "absorbed_bottom"});
  const carray<int32_t> ids = array_field<int32_t>(request, "material_ids");
  const carray<float> material_phi_f = array_field<float>(request, "material_phi_f");
  const carray<int32_t> selected = array_field<int32_t>(request, "selected_band_indices");
  carray<float> element_phi_f;
  physiology::SifProcessRequestView v;
  if (has_field(request, "element_phi_f")) {
    element_phi_f = array_field<float>(request, "element_phi_f");
    v.element_phi_f = fbuf(element_phi_f);
  }
  v.n_elements = extent(spectra[0].shape(0));
  v.n_bands = extent(spectra[0].shape(1));
  v.n_selected = extent(selected.size());
  v.n_materials = extent(material_phi_f.size());
  v.absorbed_top = fbuf(spectra[0]);
  v.absorbed_bottom = fbuf(spectra[1]);
  v.material_ids = ibuf(ids);
  v.material_phi_f = fbuf(material_phi_f);
  v.selected_band_indices = ibuf(selected);
  const physiology::SifProcessResult r = physiology::finalize_sif_process(v, threads_of(request));
  py::dict p;
  p["phi_f"] = to_numpy(r.phi_f);
  p["top_selected"] = to_numpy(r.top_selected.data(), {v.n_elements, v.n_selected});
  p["bottom_selected"] = to_numpy(r.bottom_selected.data(), {v.n_elements, v.n_selected});
  return enveloped_result(p, r.execution);
}

// A float array field of any rank, read as its flat C-order values.
carray<float> flat_field(const py::dict& request, const char* key) {
  return array_field_any_rank<float>(request, key);
}

py::dict sif_assemble(const embree::EmbreeSceneManager& scene, const py::dict& request) {
  const embree::SceneUse use = scene.acquire_use();
  const carray<float> positions = flat_field(request, "positions");
  const carray<float> normals = flat_field(request, "normals");
  const carray<int32_t> instance_ids = array_field<int32_t>(request, "instance_ids");
  const carray<int32_t> grid_dims = array_field_any_rank<int32_t>(request, "grid_dims");
  const carray<float> source = flat_field(request, "source_band_major");
  const carray<float> direct = flat_field(request, "direct_source_band_major");
  const carray<float> bounds_min = flat_field(request, "bounds_min");
  const carray<float> bounds_max = flat_field(request, "bounds_max");
  physiology::SifSourceAssemblyRequestView v;
  v.n_instances = int32_field(request, "n_instances");
  v.n_samples = extent(instance_ids.size());
  v.n_bands = int32_field(request, "n_bands");
  v.cell_stride = int32_field(request, "cell_stride");
  v.orientation_theta_bins = int32_field(request, "orientation_theta_bins");
  v.orientation_phi_bins = int32_field(request, "orientation_phi_bins");
  v.positions = fbuf(positions);
  v.normals = fbuf(normals);
  v.instance_ids = ibuf(instance_ids);
  v.grid_dims = ibuf(grid_dims);
  v.source_band_major = fbuf(source);
  v.direct_source_band_major = fbuf(direct);
  v.bounds_min = fbuf(bounds_min);
  v.bounds_max = fbuf(bounds_max);
  const physiology::SifSourceFields r = physiology::assemble_sif_source(v, threads_of(request));
  py::dict p;
  p["spatial_field"] = to_numpy(r.spatial_field);
  p["orientation_field"] = to_numpy(r.orientation_field);
  p["joint_field"] = to_numpy(r.joint_field);
  p["direct_joint_field"] = to_numpy(r.direct_joint_field);
  p["band_totals"] = to_numpy(r.band_totals);
  p["direct_band_totals"] = to_numpy(r.direct_band_totals);
  p["spatial_counts"] = to_numpy(r.spatial_counts);
  p["orientation_counts"] = to_numpy(r.orientation_counts);
  p["joint_counts"] = to_numpy(r.joint_counts);
  return enveloped_result(p, r.execution);
}

}  // namespace

void bind_processes(py::module_& m) {
  m.def("execute_photosynthesis_process_static_cpu", &photosynthesis_static, py::arg("scene"),
        py::arg("request"),
        "Static photosynthesis per element from absorbed spectra and sunlit/shaded leaf "
        "temperatures: sunlit and shaded branches blended by the sunlit fraction. Returns "
        "{payload, _execution}; raises ValueError for an invalid request.");
  m.def("execute_photosynthesis_process_dynamic_cpu", &photosynthesis_dynamic, py::arg("scene"),
        py::arg("request"),
        "Leaf temperatures, photosynthesis and heat fluxes of every scene primitive, iterated "
        "with the scene's longwave exchange until the temperatures settle; the final "
        "temperatures stay in the scene's per-primitive temperatures. Returns {payload, "
        "_execution}.");
  m.def("execute_energy_balance_process_cpu", &energy_balance_process, py::arg("scene"),
        py::arg("request"),
        "Surface temperatures and heat fluxes of every scene primitive from per-material "
        "coefficients, iterated with the scene's longwave exchange; the final temperatures stay "
        "in the scene's per-primitive temperatures. Returns {payload, _execution}.");
  m.def("finalize_sif_process_cpu", &sif_finalize, py::arg("scene"), py::arg("request"),
        "Per-element fluorescence yield and absorbed spectra at the selected excitation bands. "
        "Returns {payload, _execution}.");
  m.def("assemble_sif_source_cpu", &sif_assemble, py::arg("scene"), py::arg("request"),
        "Bins per-sample SIF source spectra of instances into spatial, orientation and joint "
        "fields with sample counts (sums), the arrays set_instance_sif_source_fields accepts. "
        "Returns {payload, _execution}.");
}

}  // namespace tesk::python
