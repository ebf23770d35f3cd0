// Scene processes over mesh primitives: the static and dynamic photosynthesis processes, the
// energy-balance process and the two SIF operations. Each reads its request dictionary into a
// native request, runs it and returns {payload, _execution}.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "embree/joint_thermo_physiology.h"
#include "embree/scene_manager.h"
#include "embree/surface_processes.h"
#include "physiology/processes.h"
#include "python/bindings.h"
#include "python/frame.h"
#include "python/joint_results.h"
#include "python/physiology_requests.h"

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

}  // namespace

StaticProcessRequest read_static_process_request(const py::dict& request) {
  StaticProcessRequest q;
  q.spectra = spectra_fields(request, {"absorbed_top", "absorbed_bottom", "absorbed_direct"});
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
  for (const char* key : float_keys) q.floats.push_back(array_field<float>(request, key));
  q.material_ids = array_field<int32_t>(request, "material_ids");
  q.active = array_field<int32_t>(request, "material_active");
  q.fluorescent = array_field<int32_t>(request, "material_fluorescent");
  const std::vector<carray<float>>& f = q.floats;
  physiology::PhotosynthesisProcessRequestView& v = q.view;
  v.n_elements = extent(q.spectra[0].shape(0));
  v.n_bands = extent(q.spectra[0].shape(1));
  v.n_materials = extent(q.active.size());
  v.absorbed_top = fbuf(q.spectra[0]);
  v.absorbed_bottom = fbuf(q.spectra[1]);
  v.absorbed_direct = fbuf(q.spectra[2]);
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
  v.material_ids = ibuf(q.material_ids);
  v.material_active = ibuf(q.active);
  v.material_fluorescent = ibuf(q.fluorescent);
  v.co2 = real_field(request, "co2");
  v.relative_humidity = real_field(request, "relative_humidity");
  v.max_iterations = int32_field(request, "max_iterations");
  v.tolerance = real_field(request, "tolerance");
  return q;
}

py::dict static_process_payload(const physiology::PhotosynthesisProcessResult& r) {
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
  return p;
}

namespace {

py::dict photosynthesis_static(const embree::EmbreeSceneManager& scene, const py::dict& request) {
  const embree::SceneUse use = scene.acquire_use();
  const StaticProcessRequest q = read_static_process_request(request);
  const physiology::PhotosynthesisProcessResult r =
      physiology::execute_photosynthesis_process_static(q.view, threads_of(request),
                                                        interpreter_interrupt_check());
  return enveloped_result(static_process_payload(r), r.execution);
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

}  // namespace

DynamicProcessRequest read_dynamic_process_request(const py::dict& request) {
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
  DynamicProcessRequest q;
  q.active = array_field<int32_t>(request, "active");
  q.fluorescent = array_field<int32_t>(request, "fluorescent");
  for (const char* key : keys) q.floats.push_back(array_field<float>(request, key));
  const std::vector<carray<float>>& f = q.floats;
  embree::DynamicPhotosynthesisRequest& r = q.request;
  r.conditional = flag_field(request, "conditional");
  std::vector<carray<float>>& cond = q.conditional;
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
  r.active = ispan(q.active);
  r.fluorescent = ispan(q.fluorescent);
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
  return q;
}

py::dict dynamic_process_payload(const embree::DynamicPhotosynthesisResult& o) {
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
  return p;
}

namespace {

py::dict photosynthesis_dynamic(embree::EmbreeSceneManager& scene, const py::dict& request) {
  const DynamicProcessRequest q = read_dynamic_process_request(request);
  const embree::DynamicPhotosynthesisResult o = embree::execute_photosynthesis_process_dynamic(
      scene, q.request, threads_of(request), interpreter_interrupt_check());
  return enveloped_result(dynamic_process_payload(o), o.execution);
}

}  // namespace

EnergyBalanceProcessRequest read_energy_balance_process_request(const py::dict& request) {
  constexpr const char* kTableRank =
      "energy-balance material tables must be nonempty rank one arrays";
  EnergyBalanceProcessRequest q;
  q.ids = array_field<int32_t>(request, "primitive_material_ids");
  q.active = array_field<int32_t>(request, "material_active", kTableRank);
  const char* table_keys[] = {"material_initial_temperature",
                              "material_emissivity",
                              "material_sidedness",
                              "material_sensible_derivative",
                              "material_latent_coefficient",
                              "material_ground_heat",
                              "material_sw_albedo"};
  std::vector<carray<float>>& t = q.tables;
  for (const char* key : table_keys) t.push_back(array_field<float>(request, key, kTableRank));
  embree::EnergyBalanceProcessRequest& r = q.request;
  r.primitive_material_ids = ispan(q.ids);
  r.material_active = ispan(q.active);
  std::span<const float>* spans[] = {&r.material_initial_temperature,
                                     &r.material_emissivity,
                                     &r.material_sidedness,
                                     &r.material_sensible_derivative,
                                     &r.material_latent_coefficient,
                                     &r.material_ground_heat,
                                     &r.material_sw_albedo};
  for (size_t i = 0; i < t.size(); ++i) *spans[i] = fspan(t[i]);
  r.precomputed_shortwave = flag_field(request, "precomputed_shortwave");
  if (r.precomputed_shortwave) {
    q.sw_top = array_field<float>(request, "absorbed_shortwave_top");
    q.sw_bottom = array_field<float>(request, "absorbed_shortwave_bottom");
    r.absorbed_shortwave_top = fspan(q.sw_top);
    r.absorbed_shortwave_bottom = fspan(q.sw_bottom);
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
  return q;
}

py::dict energy_balance_process_payload(const embree::EnergyBalanceProcessResult& o) {
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
  return p;
}

namespace {

py::dict energy_balance_process(embree::EmbreeSceneManager& scene, const py::dict& request) {
  const EnergyBalanceProcessRequest q = read_energy_balance_process_request(request);
  const embree::EnergyBalanceProcessResult o = embree::execute_energy_balance_process(
      scene, q.request, threads_of(request), interpreter_interrupt_check());
  return enveloped_result(energy_balance_process_payload(o), o.execution);
}

// ---- SIF
// -----------------------------------------------------------------------------------------

}  // namespace

SifProcessRequest read_sif_process_request(const py::dict& request) {
  SifProcessRequest q;
  q.spectra = spectra_fields(request, {"absorbed_top", "absorbed_bottom"});
  q.material_ids = array_field<int32_t>(request, "material_ids");
  q.material_phi_f = array_field<float>(request, "material_phi_f");
  q.selected = array_field<int32_t>(request, "selected_band_indices");
  physiology::SifProcessRequestView& v = q.view;
  if (has_field(request, "element_phi_f")) {
    q.element_phi_f = array_field<float>(request, "element_phi_f");
    v.element_phi_f = fbuf(q.element_phi_f);
  }
  v.n_elements = extent(q.spectra[0].shape(0));
  v.n_bands = extent(q.spectra[0].shape(1));
  v.n_selected = extent(q.selected.size());
  v.n_materials = extent(q.material_phi_f.size());
  v.absorbed_top = fbuf(q.spectra[0]);
  v.absorbed_bottom = fbuf(q.spectra[1]);
  v.material_ids = ibuf(q.material_ids);
  v.material_phi_f = fbuf(q.material_phi_f);
  v.selected_band_indices = ibuf(q.selected);
  return q;
}

py::dict sif_process_payload(const physiology::SifProcessResult& r) {
  const auto n = static_cast<py::ssize_t>(r.phi_f.size());
  const py::ssize_t n_selected = r.n_selected;
  py::dict p;
  p["phi_f"] = to_numpy(r.phi_f);
  p["top_selected"] = to_numpy(r.top_selected.data(), {n, n_selected});
  p["bottom_selected"] = to_numpy(r.bottom_selected.data(), {n, n_selected});
  return p;
}

namespace {

py::dict sif_finalize(const embree::EmbreeSceneManager& scene, const py::dict& request) {
  const embree::SceneUse use = scene.acquire_use();
  const SifProcessRequest q = read_sif_process_request(request);
  const physiology::SifProcessResult r =
      physiology::finalize_sif_process(q.view, threads_of(request));
  return enveloped_result(sif_process_payload(r), r.execution);
}

// A float array field of any rank, read as its flat C-order values.
carray<float> flat_field(const py::dict& request, const char* key) {
  return array_field_any_rank<float>(request, key);
}

}  // namespace

SifAssemblyRequest read_sif_assembly_request(const py::dict& request) {
  SifAssemblyRequest q;
  q.positions = flat_field(request, "positions");
  q.normals = flat_field(request, "normals");
  q.instance_ids = array_field<int32_t>(request, "instance_ids");
  q.grid_dims = array_field_any_rank<int32_t>(request, "grid_dims");
  q.source = flat_field(request, "source_band_major");
  q.direct = flat_field(request, "direct_source_band_major");
  q.bounds_min = flat_field(request, "bounds_min");
  q.bounds_max = flat_field(request, "bounds_max");
  physiology::SifSourceAssemblyRequestView& v = q.view;
  v.n_instances = int32_field(request, "n_instances");
  v.n_samples = extent(q.instance_ids.size());
  v.n_bands = int32_field(request, "n_bands");
  v.cell_stride = int32_field(request, "cell_stride");
  v.orientation_theta_bins = int32_field(request, "orientation_theta_bins");
  v.orientation_phi_bins = int32_field(request, "orientation_phi_bins");
  v.positions = fbuf(q.positions);
  v.normals = fbuf(q.normals);
  v.instance_ids = ibuf(q.instance_ids);
  v.grid_dims = ibuf(q.grid_dims);
  v.source_band_major = fbuf(q.source);
  v.direct_source_band_major = fbuf(q.direct);
  v.bounds_min = fbuf(q.bounds_min);
  v.bounds_max = fbuf(q.bounds_max);
  return q;
}

py::dict sif_assembly_payload(const physiology::SifSourceFields& r) {
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
  return p;
}

namespace {

py::dict sif_assemble(const embree::EmbreeSceneManager& scene, const py::dict& request) {
  const embree::SceneUse use = scene.acquire_use();
  const SifAssemblyRequest q = read_sif_assembly_request(request);
  const physiology::SifSourceFields r =
      physiology::assemble_sif_source(q.view, threads_of(request));
  return enveloped_result(sif_assembly_payload(r), r.execution);
}

// ---- joint thermo-physiology -----------------------------------------------------------------

std::vector<int32_t> int_vector(const py::dict& request, const char* key) {
  return to_vector(array_field<int32_t>(request, key));
}
std::vector<float> float_vector_of(const py::dict& request, const char* key) {
  return to_vector(array_field<float>(request, key));
}

}  // namespace

embree::OwnedJointThermoPhysiologyRequest joint_request(const py::dict& request) {
  embree::OwnedJointThermoPhysiologyRequest r;
  if (!has_field(request, "stable_ids")) throw py::value_error("stable_ids is required");
  using u64array = py::array_t<uint64_t, py::array::c_style | py::array::forcecast>;
  const u64array ids = u64array::ensure(request["stable_ids"]);
  if (!ids) {
    PyErr_Clear();
    throw py::value_error("stable_ids must be a uint64 array");
  }
  if (ids.ndim() != 1)
    throw py::value_error("stable_ids must be a contiguous one-dimensional array");
  r.stable_ids.assign(ids.data(), ids.data() + ids.size());
  r.representation_codes = int_vector(request, "representation_codes");
  r.mode_codes = int_vector(request, "mode_codes");
  r.local_indices = int_vector(request, "local_indices");
  r.farquhar_indices = int_vector(request, "farquhar_indices");
  r.areas = float_vector_of(request, "areas");
  r.dynamic = int_vector(request, "dynamic");
  std::vector<float>* physical[] = {&r.initial_temperature,
                                    &r.initial_temperature_sunlit,
                                    &r.initial_temperature_shaded,
                                    &r.sunlit_fraction,
                                    &r.emissivity,
                                    &r.sidedness,
                                    &r.sensible_derivative,
                                    &r.latent_coefficient,
                                    &r.ground_heat,
                                    &r.absorbed_shortwave,
                                    &r.absorbed_shortwave_sunlit,
                                    &r.absorbed_shortwave_shaded,
                                    &r.apar,
                                    &r.apar_sunlit,
                                    &r.apar_shaded,
                                    &r.leaf_width,
                                    &r.stomata_sides,
                                    &r.vcmax25,
                                    &r.jmax25,
                                    &r.rd25,
                                    &r.ball_berry_slope,
                                    &r.ball_berry_intercept,
                                    &r.quantum_yield};
  const char* physical_keys[] = {"initial_temperature",
                                 "initial_temperature_sunlit",
                                 "initial_temperature_shaded",
                                 "sunlit_fraction",
                                 "emissivity",
                                 "sidedness",
                                 "sensible_derivative",
                                 "latent_coefficient",
                                 "ground_heat",
                                 "absorbed_shortwave",
                                 "absorbed_shortwave_sunlit",
                                 "absorbed_shortwave_shaded",
                                 "apar",
                                 "apar_sunlit",
                                 "apar_shaded",
                                 "leaf_width",
                                 "stomata_sides",
                                 "vcmax25",
                                 "jmax25",
                                 "rd25",
                                 "ball_berry_slope",
                                 "ball_berry_intercept",
                                 "quantum_yield"};
  for (size_t i = 0; i < std::size(physical_keys); ++i) {
    *physical[i] = float_vector_of(request, physical_keys[i]);
  }
  // Transport identities are optional for mesh elements; when given they hold one per element.
  for (const char* key : {"domain_ids", "owner_ids", "transport_medium_ids",
                          "transport_instance_ids", "terrain_primitive_indices"}) {
    if (!has_field(request, key)) continue;
    const py::array a = py::array::ensure(request[key]);
    if (!a || a.ndim() != 1 || static_cast<size_t>(a.size()) != r.stable_ids.size()) {
      PyErr_Clear();
      throw py::value_error(std::string("joint ") + key + " length mismatch");
    }
  }
  for (auto [key, out] :
       {std::pair{"domain_ids", &r.domain_ids}, std::pair{"owner_ids", &r.owner_ids}}) {
    if (!has_field(request, key)) continue;
    const u64array a = u64array::ensure(request[key]);
    if (!a) {
      PyErr_Clear();
      throw py::value_error(std::string(key) + " must be a uint64 array");
    }
    out->assign(a.data(), a.data() + a.size());
  }
  if (has_field(request, "transport_medium_ids")) {
    r.transport_medium_ids = int_vector(request, "transport_medium_ids");
  }
  if (has_field(request, "transport_instance_ids")) {
    r.transport_instance_ids = int_vector(request, "transport_instance_ids");
  }
  if (has_field(request, "seed")) {
    const py::object seed = request["seed"];
    if (!PyIndex_Check(seed.ptr()) || py::isinstance<py::bool_>(seed)) {
      throw py::type_error("seed must be an integer");
    }
    r.seed = seed.cast<uint64_t>();
  }
  r.max_iterations = int32_field(request, "max_iterations");
  r.convergence_tolerance = real_field(request, "convergence_tolerance");
  r.energy_tolerance = real_field(request, "energy_tolerance");
  r.physiology_tolerance = real_field(request, "physiology_tolerance");
  r.damping = real_field(request, "damping");
  if (!has_field(request, "microclimate")) throw py::value_error("microclimate is required");
  if (!py::isinstance<py::dict>(request["microclimate"])) {
    throw py::type_error("microclimate must be a dict");
  }
  const py::dict micro = request["microclimate"];
  r.air_temperature = real_field(micro, "air_temperature");
  r.co2 = real_field(micro, "co2");
  r.relative_humidity = real_field(micro, "relative_humidity");
  r.pressure = real_field(micro, "pressure");
  r.wind_speed = real_field(micro, "wind_speed");
  r.vapor_pressure = real_field(request, "vapor_pressure");
  r.sky_lw_radiance = real_field(request, "sky_lw_radiance");
  r.rays_per_element = int32_field(request, "rays_per_element");
  r.max_depth = int32_field(request, "max_depth");
  return r;
}

py::dict commit_joint_result(embree::EmbreeSceneManager& scene,
                             const embree::OwnedJointThermoPhysiologyRequest& r,
                             embree::StagedJointThermoPhysiology& s, const char* backend,
                             const char* executor, const JointResultExtras& extras) {
  const uint64_t state_id = embree::next_joint_state_id();
  py::dict out;
  out["backend"] = backend;
  out["workflow"] = "joint_thermo_physiology";
  out["executor"] = executor;
  out["native"] = true;
  const std::pair<const char*, const std::vector<float>*> arrays[] = {
      {"temperature", &s.temperature},
      {"sunlit_fraction", &s.sunlit_fraction},
      {"temperature_sunlit", &s.temperature_sunlit},
      {"temperature_shaded", &s.temperature_shaded},
      {"an", &s.an},
      {"an_sunlit", &s.an_sunlit},
      {"an_shaded", &s.an_shaded},
      {"gs", &s.gs},
      {"gs_sunlit", &s.gs_sunlit},
      {"gs_shaded", &s.gs_shaded},
      {"absorbed_longwave", &s.absorbed_longwave},
      {"net_radiation", &s.net_radiation},
      {"net_radiation_sunlit", &s.net_radiation_sunlit},
      {"net_radiation_shaded", &s.net_radiation_shaded},
      {"sensible_heat", &s.sensible_heat},
      {"sensible_heat_sunlit", &s.sensible_heat_sunlit},
      {"sensible_heat_shaded", &s.sensible_heat_shaded},
      {"latent_heat", &s.latent_heat},
      {"latent_heat_sunlit", &s.latent_heat_sunlit},
      {"latent_heat_shaded", &s.latent_heat_shaded}};
  for (const auto& [key, values] : arrays) out[key] = to_numpy(*values);
  out["iterations"] = s.iterations;
  out["converged"] = s.converged;
  out["max_temperature_change"] = s.max_temperature_change;
  out["max_energy_residual"] = s.max_energy_residual;
  out["max_physiology_change"] = s.max_physiology_change;
  out["absorbed_longwave_mean"] = s.absorbed_longwave_mean;
  // Per-representation slices of the element outputs.
  std::vector<int32_t> mesh_elements, turbid_elements;
  for (size_t e = 0; e < r.stable_ids.size(); ++e) {
    const bool turbid =
        r.representation_codes[e] == static_cast<int32_t>(embree::JointRepresentation::TurbidOwner);
    (turbid ? turbid_elements : mesh_elements).push_back(static_cast<int32_t>(e));
  }
  auto pick = [](const auto& values, const std::vector<int32_t>& rows) {
    std::vector<std::decay_t<decltype(values[0])>> picked;
    picked.reserve(rows.size());
    for (int32_t e : rows) picked.push_back(values[static_cast<size_t>(e)]);
    return to_numpy(picked);
  };
  py::dict mesh;
  mesh["element_indices"] = to_numpy(mesh_elements);
  mesh["primitive_indices"] = pick(r.local_indices, mesh_elements);
  mesh["temperature"] = pick(s.temperature, mesh_elements);
  mesh["emissivity"] = pick(r.emissivity, mesh_elements);
  py::dict turbid;
  turbid["element_indices"] = to_numpy(turbid_elements);
  if (!turbid_elements.empty()) {
    turbid["domain_ids"] = pick(r.domain_ids, turbid_elements);
    turbid["owner_ids"] = pick(r.owner_ids, turbid_elements);
    turbid["transport_instance_ids"] = pick(r.transport_instance_ids, turbid_elements);
    turbid["temperature"] = pick(s.temperature, turbid_elements);
    turbid["temperature_sunlit"] = pick(s.temperature_sunlit, turbid_elements);
    turbid["temperature_shaded"] = pick(s.temperature_shaded, turbid_elements);
    turbid["sunlit_fraction"] = pick(s.sunlit_fraction, turbid_elements);
    turbid["emissivity"] = pick(r.emissivity, turbid_elements);
    turbid["absorbed_longwave"] = pick(s.absorbed_longwave, turbid_elements);
  }
  out["mesh"] = mesh;
  out["turbid"] = turbid;
  out["joint_state_id"] = state_id;
  out["max_temperature_change_id"] = s.max_temperature_change_id;
  out["max_energy_residual_id"] = s.max_energy_residual_id;
  out["max_physiology_change_id"] = s.max_physiology_change_id;
  if (extras) extras(out, state_id);
  // Commit last, all at once: a failure above leaves the scene untouched.
  embree::JointThermoPhysiologyState state;
  state.id = state_id;
  state.stable_ids = r.stable_ids;
  state.temperature = s.temperature;
  state.temperature_sunlit = s.temperature_sunlit;
  state.temperature_shaded = s.temperature_shaded;
  // The turbid thermal state goes in first and is put back when the joint commit refuses.
  if (s.turbid_thermal) {
    const embree::InstanceTurbidThermalState previous = scene.instance_turbid_thermal_state();
    scene.set_instance_turbid_thermal_state(std::move(*s.turbid_thermal));
    try {
      scene.commit_joint_thermal_state(std::move(s.primitive_temperatures),
                                       std::move(s.primitive_emissivities), std::move(state));
    } catch (...) {
      if (previous.emissivity.empty()) {
        scene.clear_instance_turbid_thermal_state();
      } else {
        scene.set_instance_turbid_thermal_state(previous);
      }
      throw;
    }
    return out;
  }
  scene.commit_joint_thermal_state(std::move(s.primitive_temperatures),
                                   std::move(s.primitive_emissivities), std::move(state));
  return out;
}

namespace {

py::dict joint_thermo_physiology(embree::EmbreeSceneManager& scene, const py::dict& request) {
  const embree::OwnedJointThermoPhysiologyRequest r = joint_request(request);
  embree::StagedJointThermoPhysiology s = embree::stage_joint_thermo_physiology(
      scene, r, threads_of(request), interpreter_interrupt_check());
  return commit_joint_result(scene, r, s, "embree", "embree.cpp.joint_thermo_physiology");
}

}  // namespace

void bind_joint_thermo_physiology(py::module_& m) {
  m.def("_execute_joint_thermo_physiology_embree", &joint_thermo_physiology, py::arg("scene"),
        py::arg("request"),
        "Longwave exchange, surface energy balance and leaf photosynthesis of mesh-primitive "
        "elements and turbid owners (representation code 1, placed by domain_ids, owner_ids "
        "(component index), transport_medium_ids and transport_instance_ids) iterated together; "
        "on success the final temperatures, emissivities and per-instance turbid thermal state "
        "are committed to the scene under a new joint state id. Returns a flat result "
        "dictionary with 'mesh' and 'turbid' slices.");
}

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
