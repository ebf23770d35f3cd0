// Radiation inside turbid media and the states derived from it: run_turbid_leaf_rrt_cpu (the
// leaf reverse ray tracer over caller-given leaf-area samples), the radiation-field process over
// a resident domain, state aggregation and residency diagnostics. Shapes are checked here with
// the messages the host expects; the workflows repeat the size checks and check ids against the
// scene. Runs hold the interpreter lock and the scene's use token (released before a state is
// committed); the workflows poll for Ctrl-C while they run.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "embree/scene_manager.h"
#include "embree/turbid_energy_balance.h"
#include "embree/turbid_leaf_rrt.h"
#include "embree/turbid_radiation.h"
#include "embree/turbid_static_physiology.h"
#include "python/bindings.h"
#include "python/frame.h"
#include "python/leaf_rrt_args.h"
#include "python/turbid_domain_requests.h"
#include "python/turbid_field_args.h"
#include "python/turbid_results.h"
#include "turbid/state_ops.h"

namespace tesk::python {
namespace {

using embree::EmbreeSceneManager;

carray<int32_t> int_array(const py::object& value, const char* name) {
  carray<int32_t> a = carray<int32_t>::ensure(value);
  if (!a) {
    PyErr_Clear();
    throw py::type_error(std::string(name) + " must be an int32 array");
  }
  return a;
}

carray<float> float_array(const py::object& value, const char* name) {
  if (value.is_none())
    throw py::type_error(std::string(name) + " must be a float32 array, not None");
  carray<float> a = carray<float>::ensure(value);
  if (!a) {
    PyErr_Clear();
    throw py::type_error(std::string(name) + " must be a float32 array");
  }
  return a;
}

bool rows_of_three(const carray<float>& a) {
  return (a.ndim() == 2 && a.shape(1) == 3) || (a.ndim() == 1 && a.size() == 0);
}

py::dict leaf_rrt(const EmbreeSceneManager& scene, const py::object& positions_in,
                  const py::object& normals_in, const py::object& medium_ids_in,
                  const py::object& instance_ids_in, const py::object& offsets_in,
                  const py::object& active_media_in, const py::object& active_instances_in,
                  int n_bands, int rays_per_sample, int max_depth, const py::object& sun_irradiance,
                  const py::object& sky_diffuse_radiance, const py::object& sky_directional_table,
                  const py::object& medium_reflectance, const py::object& medium_back_reflectance,
                  const py::object& medium_transmittance, bool thermal_mode,
                  const py::object& instance_lw_radiance, const py::object& instance_emissivity,
                  float sun_dir_x, float sun_dir_y, float sun_dir_z, uint64_t seed,
                  const py::object& progress, int num_threads) {
  LeafRrtArgs a = convert_leaf_rrt_args(
      positions_in, normals_in, medium_ids_in, instance_ids_in, offsets_in, active_media_in,
      active_instances_in, n_bands, rays_per_sample, max_depth, sun_irradiance,
      sky_diffuse_radiance, sky_directional_table, medium_reflectance, medium_back_reflectance,
      medium_transmittance, thermal_mode, instance_lw_radiance, instance_emissivity, sun_dir_x,
      sun_dir_y, sun_dir_z, seed);
  a.params.num_threads = num_threads;
  const ProgressCallback callback = wrap_progress(progress);
  const embree::SceneUse use = scene.acquire_use();
  const embree::TurbidLeafRRTResult r =
      embree::run_turbid_leaf_rrt_cpu(scene, a.params, callback, interpreter_interrupt_check());
  py::dict payload = leaf_rrt_arrays(r, n_bands, a.n);
  payload["threads"] = r.threads;
  return enveloped_result(std::move(payload), r.execution);
}

const char* const kLeafRrtDoc =
    "Irradiance at leaf-area samples inside optical turbid media (leaf reverse ray tracing).\n\n"
    "positions and normals [n, 3] place a virtual leaf per sample; medium_ids and instance_ids\n"
    "[n] name its own medium (-1: none) and the instance carrying its boundary;\n"
    "active_medium_offsets [n + 1] index active_medium_ids / active_instance_ids, the media (at\n"
    "most 8) each sample starts inside. For every sample and side, rays_per_sample\n"
    "cosine-weighted rays are followed backwards for at most max_depth scattering events through\n"
    "surfaces (scene materials), leaves of the media (medium_reflectance, "
    "medium_back_reflectance,\n"
    "medium_transmittance, flattened [n_media * n_bands]; none: black) and out to the sky\n"
    "(sky_directional_table [n_bands, 16, 32], else sky_diffuse_radiance [n_bands]); the sun\n"
    "(sun_irradiance [n_bands], toward sun_dir) is added at every scattering event through the\n"
    "media's transmittance. thermal_mode: leaves and surfaces of instance i emit\n"
    "instance_lw_radiance[i] and reflect 1 - instance_emissivity[i] (0.98 when absent).\n\n"
    "Returns {'payload': {'total_irradiance_top', 'total_irradiance_bottom',\n"
    "'direct_irradiance_top', 'direct_irradiance_bottom' ([n_bands, n]; direct: the sun's\n"
    "irradiance on the side facing it given that the leaf is sunlit), 'p_sun' [n] (probability\n"
    "that the leaf sees the sun), 'rays', 'threads'}, '_execution'}. seed selects the random\n"
    "streams; results do not depend on num_threads (0: all hardware threads).";

// ---- states -----------------------------------------------------------------------------------

using turbid::TurbidStateToken;

std::vector<float> floats_of(const py::dict& d, const char* key) {
  const carray<float> a =
      float_array(py::reinterpret_borrow<py::object>(required_field(d, key)), key);
  return std::vector<float>(a.data(), a.data() + a.size());
}

py::dict token_dict(const TurbidStateToken& t) {
  py::dict d;
  d["state_id"] = t.state_id;
  d["domain_id"] = t.domain_id;
  d["stage"] = turbid::stage_name(static_cast<uint32_t>(t.stage));
  d["workflow_revision"] = t.workflow_revision;
  d["domain_revision"] = t.domain_revision;
  d["geometry_revision"] = t.geometry_revision;
  d["transport_revision"] = t.transport_revision;
  d["property_revision"] = t.property_revision;
  d["illumination_revision"] = t.illumination_revision;
  d["microclimate_revision"] = t.microclimate_revision;
  d["sampling_revision"] = t.sampling_revision;
  d["state_revision"] = t.state_revision;
  return d;
}

TurbidStateToken parse_token(const py::object& obj) {
  if (!py::isinstance<py::dict>(obj)) throw py::type_error("state_token must be a dictionary");
  const py::dict d = py::reinterpret_borrow<py::dict>(obj);
  TurbidStateToken t;
  t.state_id = u64_field(d, "state_id");
  t.domain_id = u64_field(d, "domain_id");
  t.workflow_revision = u64_field(d, "workflow_revision");
  t.domain_revision = u64_field(d, "domain_revision");
  t.geometry_revision = u64_field(d, "geometry_revision");
  t.transport_revision = u64_field(d, "transport_revision");
  t.property_revision = u64_field(d, "property_revision");
  t.illumination_revision = u64_field(d, "illumination_revision");
  t.microclimate_revision = u64_field(d, "microclimate_revision");
  t.sampling_revision = u64_field(d, "sampling_revision");
  t.state_revision = u64_field(d, "state_revision");
  turbid::validate_state_token(t);
  t.stage = turbid::stage_from_name(py::str(required_field(d, "stage")).cast<std::string>());
  return t;
}

embree::OwnedTurbidRadiationRequest parse_radiation_request(const py::dict& d) {
  embree::OwnedTurbidRadiationRequest q;
  q.contract_revision = u64_field(d, "contract_revision");
  q.workflow_revision = u64_field(d, "workflow_revision");
  q.wavelengths = floats_of(d, "wavelengths");
  q.band_widths = floats_of(d, "band_widths");
  q.direct_irradiance = floats_of(d, "direct_irradiance");
  q.sky_radiance = floats_of(d, "sky_radiance");
  const std::vector<float> sun = floats_of(d, "sun_direction");
  if (sun.size() != 3) throw py::value_error("sun_direction must contain 3 values");
  q.sun_direction = {sun[0], sun[1], sun[2]};
  q.rays_per_sample = to_i64(required_field(d, "rays_per_sample"), "rays_per_sample");
  q.max_depth = to_i64(required_field(d, "max_depth"), "max_depth");
  q.seed = has_field(d, "seed") ? to_u64(d["seed"], "seed") : 0;
  q.num_threads = has_field(d, "num_threads") ? int32_field(d, "num_threads") : 0;
  const py::handle owners = required_field(d, "owners");
  if (!py::isinstance<py::sequence>(owners) || py::isinstance<py::str>(owners)) {
    throw py::type_error("owners must be a sequence of dictionaries");
  }
  for (const py::handle item : owners) {
    if (!py::isinstance<py::dict>(item)) throw py::type_error("owners must be dictionaries");
    const py::dict o = py::reinterpret_borrow<py::dict>(item);
    embree::TurbidRadiationOwner w;
    w.instance_id = u64_field(o, "instance_id");
    w.component_id = u64_field(o, "component_id");
    w.medium_id = u64_field(o, "medium_id");
    w.transport_medium_id = to_i64(required_field(o, "transport_medium_id"), "transport_medium_id");
    w.transport_instance_id =
        to_i64(required_field(o, "transport_instance_id"), "transport_instance_id");
    w.reflectance = floats_of(o, "reflectance");
    w.back_reflectance = floats_of(o, "back_reflectance");
    w.transmittance = floats_of(o, "transmittance");
    q.owners.push_back(std::move(w));
  }
  return q;
}

py::dict radiation_field(EmbreeSceneManager& scene, uint64_t domain_id, const py::dict& request,
                         const py::object& progress) {
  const embree::OwnedTurbidRadiationRequest q = parse_radiation_request(request);
  const ProgressCallback callback = wrap_progress(progress);
  const auto storage = scene.turbid_domains();
  const turbid::TurbidDomainRecord& domain = turbid::resolve_domain(*storage, domain_id);
  std::shared_ptr<const turbid::OwnedTurbidState> state;
  {
    const embree::SceneUse use = scene.acquire_use();
    state = std::make_shared<const turbid::OwnedTurbidState>(embree::execute_turbid_radiation_field(
        scene, domain, q, callback, interpreter_interrupt_check()));
  }
  scene.commit_turbid_states({state});
  py::dict out = token_dict(state->token);
  out["sample_count"] = state->sample_ids.size();
  out["band_count"] = state->wavelengths.size();
  for (auto item : execution_dict("turbid_radiation_field", "embree.cpp.turbid_radiation")) {
    out[item.first] = item.second;
  }
  return out;
}

double double_of(const py::dict& d, const char* key) {
  const py::handle v = required_field(d, key);
  const double out = PyFloat_AsDouble(v.ptr());
  if (PyErr_Occurred()) {
    PyErr_Clear();
    throw py::type_error(std::string(key) + " must be a real number");
  }
  return out;
}

embree::OwnedTurbidEnergyBalanceRequest parse_energy_balance_request(const py::dict& d) {
  embree::OwnedTurbidEnergyBalanceRequest q;
  q.contract_revision = u64_field(d, "contract_revision");
  q.workflow_revision = u64_field(d, "workflow_revision");
  q.source_token =
      parse_token(py::reinterpret_borrow<py::object>(required_field(d, "source_token")));
  q.air_temperature = double_of(d, "air_temperature");
  q.vapor_pressure = double_of(d, "vapor_pressure");
  q.pressure = double_of(d, "pressure");
  q.wind = double_of(d, "wind");
  q.sky_lw_radiance = double_of(d, "sky_lw_radiance");
  q.rays_per_sample = to_i64(required_field(d, "rays_per_sample"), "rays_per_sample");
  q.max_depth = to_i64(required_field(d, "max_depth"), "max_depth");
  q.max_iterations = to_i64(required_field(d, "max_iterations"), "max_iterations");
  q.convergence_tolerance = double_of(d, "convergence_tolerance");
  q.damping = double_of(d, "damping");
  q.newton_max_iterations =
      to_i64(required_field(d, "newton_max_iterations"), "newton_max_iterations");
  q.newton_tolerance = double_of(d, "newton_tolerance");
  q.seed = has_field(d, "seed") ? to_u64(d["seed"], "seed") : 0;
  q.num_threads = has_field(d, "num_threads") ? int32_field(d, "num_threads") : 0;
  const py::handle owners = required_field(d, "owners");
  if (!py::isinstance<py::sequence>(owners) || py::isinstance<py::str>(owners)) {
    throw py::type_error("owners must be a sequence of dictionaries");
  }
  for (const py::handle item : owners) {
    if (!py::isinstance<py::dict>(item)) throw py::type_error("owners must be dictionaries");
    const py::dict o = py::reinterpret_borrow<py::dict>(item);
    embree::TurbidEnergyBalanceOwner w;
    w.transport_medium_id = to_i64(required_field(o, "transport_medium_id"), "transport_medium_id");
    w.transport_instance_id =
        to_i64(required_field(o, "transport_instance_id"), "transport_instance_id");
    w.active = !has_field(o, "active") || flag_field(o, "active");
    w.emissivity = double_of(o, "emissivity");
    w.sidedness = double_of(o, "sidedness");
    w.leaf_width = double_of(o, "leaf_width");
    w.stomata_sides = double_of(o, "stomata_sides");
    w.sensible_derivative = double_of(o, "sensible_derivative");
    w.latent_coefficient = double_of(o, "latent_coefficient");
    w.ground_heat = double_of(o, "ground_heat");
    q.owners.push_back(w);
  }
  return q;
}

py::dict energy_balance(EmbreeSceneManager& scene, uint64_t domain_id, const py::dict& request,
                        const py::object& progress) {
  const embree::OwnedTurbidEnergyBalanceRequest q = parse_energy_balance_request(request);
  const ProgressCallback callback = wrap_progress(progress);
  const auto storage = scene.turbid_domains();
  const turbid::TurbidDomainRecord& domain = turbid::resolve_domain(*storage, domain_id);
  embree::validate_energy_balance_request(domain, q);
  if (q.source_token.domain_id != domain_id) {
    throw std::runtime_error(
        "Stale TurbidState token belongs to another scene/domain or revision. No fallback was "
        "performed.");
  }
  const turbid::OwnedTurbidState& source = turbid::resolve_state(*storage, q.source_token);
  std::shared_ptr<const turbid::OwnedTurbidState> state;
  embree::TurbidEnergyBalanceRun run;
  {
    const embree::SceneUse use = scene.acquire_use();
    run = embree::execute_turbid_energy_balance(scene, domain, q, source, callback,
                                                interpreter_interrupt_check());
    state = std::make_shared<const turbid::OwnedTurbidState>(std::move(run.state));
  }
  scene.commit_turbid_states({state});
  py::dict out = token_dict(state->token);
  out["sample_count"] = state->sample_ids.size();
  out["iterations"] = run.iterations;
  out["converged"] = run.converged;
  out["max_temperature_change"] = run.max_temperature_change;
  for (auto item : execution_dict("turbid_energy_balance", "embree.cpp.turbid_energy_balance")) {
    out[item.first] = item.second;
  }
  return out;
}

// A 0/1 flag given as a bool or an integer (larger integers reach the request's validation).
uint32_t flag_of(const py::dict& d, const char* key) {
  if (!has_field(d, key)) return 1;
  const py::handle v = d[key];
  if (py::isinstance<py::bool_>(v)) return v.cast<bool>() ? 1 : 0;
  return static_cast<uint32_t>(std::min<uint64_t>(to_u64(v, key), 0xffffffffu));
}

embree::OwnedTurbidStaticPhysiologyRequest parse_static_physiology_request(const py::dict& d) {
  embree::OwnedTurbidStaticPhysiologyRequest q;
  q.contract_revision = u64_field(d, "contract_revision");
  q.workflow_revision = u64_field(d, "workflow_revision");
  q.radiation_token =
      parse_token(py::reinterpret_borrow<py::object>(required_field(d, "radiation_token")));
  q.max_iterations = to_i64(required_field(d, "max_iterations"), "max_iterations");
  q.tolerance = double_of(d, "tolerance");
  q.co2 = floats_of(d, "co2");
  q.relative_humidity = floats_of(d, "relative_humidity");
  q.num_threads = has_field(d, "num_threads") ? int32_field(d, "num_threads") : 0;
  const py::handle owners = required_field(d, "owners");
  if (!py::isinstance<py::sequence>(owners) || py::isinstance<py::str>(owners)) {
    throw py::type_error("owners must be a sequence of dictionaries");
  }
  for (const py::handle item : owners) {
    if (!py::isinstance<py::dict>(item)) throw py::type_error("owners must be dictionaries");
    const py::dict o = py::reinterpret_borrow<py::dict>(item);
    embree::TurbidPhysiologyOwner w;
    w.active = flag_of(o, "active");
    w.fluorescent = flag_of(o, "fluorescent");
    w.vcmax25 = double_of(o, "vcmax25");
    w.jmax25 = double_of(o, "jmax25");
    w.rd25 = double_of(o, "rd25");
    w.ball_berry_slope = double_of(o, "ball_berry_slope");
    w.ball_berry_intercept = double_of(o, "ball_berry_intercept");
    w.quantum_yield = double_of(o, "quantum_yield");
    w.temperature_sunlit = double_of(o, "temperature_sunlit");
    w.temperature_shaded = double_of(o, "temperature_shaded");
    q.owners.push_back(w);
  }
  return q;
}

py::dict static_physiology(EmbreeSceneManager& scene, uint64_t domain_id, const py::dict& request) {
  const embree::OwnedTurbidStaticPhysiologyRequest q = parse_static_physiology_request(request);
  const auto storage = scene.turbid_domains();
  const turbid::TurbidDomainRecord& domain = turbid::resolve_domain(*storage, domain_id);
  embree::validate_static_physiology_request(domain, q);
  embree::require_static_physiology_scene(scene);
  if (q.radiation_token.domain_id != domain_id) {
    throw std::invalid_argument("StaticPhysiology requires a compatible radiation-state token");
  }
  const turbid::OwnedTurbidState& radiation = turbid::resolve_state(*storage, q.radiation_token);
  std::shared_ptr<const turbid::OwnedTurbidState> state;
  {
    const embree::SceneUse use = scene.acquire_use();
    state =
        std::make_shared<const turbid::OwnedTurbidState>(embree::execute_turbid_static_physiology(
            scene, domain, q, radiation, interpreter_interrupt_check()));
  }
  scene.commit_turbid_states({state});
  py::dict out = token_dict(state->token);
  out["sample_count"] = state->sample_ids.size();
  size_t converged = 0;
  for (size_t i = 0; i < state->sunlit.size(); ++i) {
    converged += state->sunlit[i].converged && state->shaded[i].converged;
  }
  out["converged_samples"] = converged;
  for (auto item :
       execution_dict("turbid_static_physiology", "embree.cpp.turbid_static_physiology")) {
    out[item.first] = item.second;
  }
  return out;
}

// One condition's records from {field name: [n] array, ..., "converged": [n]}; absent fields are 0.
std::vector<turbid::TurbidLeafState> records_of(const py::handle& obj, size_t n, const char* name) {
  if (!py::isinstance<py::dict>(obj))
    throw py::type_error(std::string(name) + " must be a dictionary");
  const py::dict d = py::reinterpret_borrow<py::dict>(obj);
  std::vector<turbid::TurbidLeafState> out(n);
  for (int f = 0; f < turbid::kStateFieldCount; ++f) {
    const char* key = turbid::kStateFieldNames[f];
    if (!has_field(d, key)) continue;
    const carray<float> a = float_array(py::reinterpret_borrow<py::object>(d[key]), key);
    if (static_cast<size_t>(a.size()) != n) {
      throw py::value_error(std::string(name) + " shape mismatch");
    }
    for (size_t i = 0; i < n; ++i) out[i].values[f] = a.data()[i];
  }
  if (has_field(d, "converged")) {
    const carray<int32_t> c =
        int_array(py::reinterpret_borrow<py::object>(d["converged"]), "converged");
    if (static_cast<size_t>(c.size()) != n)
      throw py::value_error(std::string(name) + " shape mismatch");
    for (size_t i = 0; i < n; ++i) {
      out[i].converged = static_cast<uint8_t>(std::clamp<int32_t>(c.data()[i], 0, 255));
    }
  }
  return out;
}

std::shared_ptr<turbid::OwnedTurbidState> read_host_state(
    const turbid::TurbidDomainStorage& storage, uint64_t domain_id, const py::dict& d) {
  const uint64_t contract =
      has_field(d, "contract_revision") ? u64_field(d, "contract_revision") : 1;
  auto state = std::make_shared<turbid::OwnedTurbidState>();
  if (has_field(d, "sample_ids")) {
    const carray<uint64_t> ids = carray<uint64_t>::ensure(d["sample_ids"]);
    if (!ids) {
      PyErr_Clear();
      throw py::value_error("state sample_ids must be an unsigned 64-bit integer array");
    }
    state->sample_ids.assign(ids.data(), ids.data() + ids.size());
  }
  if (contract == 1 && state->sample_ids.empty()) {
    throw py::value_error("Turbid state must contain samples");
  }
  const size_t n = state->sample_ids.size();
  if (contract == 1) {
    if (!has_field(d, "p_sun") || !has_field(d, "sunlit") || !has_field(d, "shaded")) {
      throw py::value_error("Turbid state requires p_sun, sunlit, and shaded SoA values");
    }
    state->p_sun = floats_of(d, "p_sun");
    state->sunlit = records_of(d["sunlit"], n, "sunlit state");
    state->shaded = records_of(d["shaded"], n, "shaded state");
    if (has_field(d, "wavelengths")) state->wavelengths = floats_of(d, "wavelengths");
    if (has_field(d, "spectral_sunlit")) state->spectral_sunlit = floats_of(d, "spectral_sunlit");
    if (has_field(d, "spectral_shaded")) state->spectral_shaded = floats_of(d, "spectral_shaded");
  }
  state->token.stage = has_field(d, "stage")
                           ? turbid::stage_from_name(py::str(d["stage"]).cast<std::string>())
                           : turbid::TurbidStage::Generic;
  state->token.workflow_revision =
      has_field(d, "workflow_revision") ? u64_field(d, "workflow_revision") : 1;
  if (state->token.workflow_revision == 0) {
    throw py::value_error("workflow revision must be non-zero");
  }
  const turbid::TurbidDomainRecord& domain = turbid::resolve_domain(storage, domain_id);
  turbid::validate_host_state(domain, contract, *state);
  return state;
}

py::dict build_state(EmbreeSceneManager& scene, uint64_t domain_id, const py::dict& d) {
  const std::shared_ptr<turbid::OwnedTurbidState> state =
      read_host_state(*scene.turbid_domains(), domain_id, d);
  scene.commit_turbid_states({state});
  py::dict out = token_dict(state->token);
  for (auto item : execution_dict("turbid_state_residency", "embree.cpp.turbid_state")) {
    out[item.first] = item.second;
  }
  return out;
}

py::dict record_dict(const turbid::TurbidLeafState& r) {
  py::dict d;
  for (int f = 0; f < turbid::kStateFieldCount; ++f) d[turbid::kStateFieldNames[f]] = r.values[f];
  d["converged"] = r.converged;
  return d;
}

std::string output_name(int field) {
  std::string s = turbid::kStateFieldNames[field];
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

TurbidStateToken parse_turbid_state_token(const py::object& token) {
  return parse_token(token);
}

py::dict turbid_aggregation_result(const turbid::TurbidDomainStorage& storage,
                                   const TurbidStateToken& token,
                                   const turbid::TurbidAggregation& a,
                                   const std::string& diagnostics, const char* backend,
                                   const char* executor) {
  py::dict out;
  out["state_token"] = token_dict(token);
  py::list groups, components;
  for (const turbid::TurbidGroupAggregate& g : a.groups) {
    groups.append(py::make_tuple(g.instance_id, g.component_id));
    py::dict c;
    c["instance_id"] = g.instance_id;
    c["component_id"] = g.component_id;
    c["leaf_area"] = g.leaf_area;
    c["support"] = g.support;
    c["converged"] = g.converged;
    c["p_sun"] = g.p_sun;
    py::dict f;
    for (size_t k = 0; k < a.fields.size(); ++k) {
      const turbid::TurbidFieldMoments& m = g.fields[k];
      py::dict v;
      v["mean"] = m.mean;
      v["sunlit_mean"] = m.sunlit_mean;
      v["shaded_mean"] = m.shaded_mean;
      v["second_moment"] = m.second_moment;
      v["variance"] = m.variance;
      f[output_name(a.fields[k]).c_str()] = v;
    }
    c["fields"] = f;
    components.append(c);
  }
  out["groups"] = groups;
  out["diagnostics"] = diagnostics;
  out["components"] = components;
  if (diagnostics == "samples") {
    const turbid::OwnedTurbidState& state = turbid::resolve_state(storage, token);
    py::list samples;
    for (size_t i : a.diagnostic_samples) {
      py::dict s;
      s["sample_id"] = state.sample_ids[i];
      s["p_sun"] = state.p_sun[i];
      s["sunlit"] = record_dict(state.sunlit[i]);
      s["shaded"] = record_dict(state.shaded[i]);
      samples.append(s);
    }
    out["samples"] = samples;
  }
  for (auto item : execution_dict("turbid_state_aggregation", executor)) {
    out[item.first] = item.second;
  }
  out["backend"] = backend;
  return out;
}

namespace {

py::dict aggregate(const EmbreeSceneManager& scene, const py::object& token_obj,
                   const std::vector<std::string>& fields, const std::string& diagnostics,
                   const std::optional<std::vector<uint64_t>>& requested) {
  const TurbidStateToken token = parse_token(token_obj);
  const auto storage = scene.turbid_domains();
  const turbid::TurbidAggregation a =
      turbid::aggregate_state(*storage, token, fields, diagnostics, requested);
  return turbid_aggregation_result(*storage, token, a, diagnostics, "embree",
                                   "embree.cpp.turbid_state_reduction");
}

py::list state_entries(
    const turbid::TurbidDomainStorage& storage,
    const std::function<void(const turbid::OwnedTurbidState&, py::dict&)>& entry) {
  py::list states;
  for (const auto& [id, state] : storage.states) {
    py::dict d = token_dict(state->token);
    d["sample_count"] = state->sample_ids.size();
    d["band_count"] = state->wavelengths.size();
    if (entry) entry(*state, d);
    states.append(d);
  }
  return states;
}

py::dict state_residency(const EmbreeSceneManager& scene) {
  py::dict out;
  out["states"] = state_entries(*scene.turbid_domains(), {});
  for (auto item : execution_dict("turbid_state_residency", "embree.cpp.turbid_state")) {
    out[item.first] = item.second;
  }
  return out;
}

// ---- fields -------------------------------------------------------------------------------------

// A TypeError for the first required array given as None, before any other conversion.
void require_not_none(std::initializer_list<std::pair<const py::object*, const char*>> arrays) {
  for (const auto& [value, name] : arrays) {
    if (value->is_none()) {
      throw py::type_error(std::string(name) + " must be a float32 array, not None");
    }
  }
}

std::vector<float> float_vector(const py::object& value, const char* name) {
  const carray<float> a = float_array(value, name);
  return std::vector<float>(a.data(), a.data() + a.size());
}

// The optional hard budget (bytes) of an observation source; 0 when none is given.
int64_t source_budget(const py::object& memory_budget) {
  if (memory_budget.is_none()) return 0;
  const auto budget = memory_budget.cast<int64_t>();
  if (budget <= 0) throw py::value_error("Turbid field memory budget must be positive");
  return budget;
}

std::vector<uint64_t> selector_ids(const py::object& value, const char* name) {
  carray<uint64_t> a = carray<uint64_t>::ensure(value);
  if (!a) {
    PyErr_Clear();
    throw py::value_error(std::string(name) + " must be an unsigned 64-bit integer array");
  }
  return std::vector<uint64_t>(a.data(), a.data() + a.size());
}

py::dict build_field(EmbreeSceneManager& scene, const py::object& state_token,
                     const py::dict& config, int64_t memory_budget) {
  const TurbidStateToken token = parse_token(state_token);
  const turbid::TurbidFieldConfig c = parse_turbid_field_config(config);
  const auto storage = scene.turbid_domains();
  auto field =
      std::make_shared<turbid::TurbidField>(turbid::build_field(*storage, token, c, memory_budget));
  const turbid::TurbidFieldToken t = field->token;
  scene.commit_turbid_field(std::move(field));
  py::dict out = turbid_field_token_dict(t);
  for (auto item : execution_dict("turbid_field", "embree.cpp.turbid_field"))
    out[item.first] = item.second;
  return out;
}

py::dict build_thermal_source(EmbreeSceneManager& scene, const py::object& field_token,
                              const py::object& wavelengths, const py::object& emissivity,
                              const py::object& back_emissivity, const py::object& memory_budget) {
  const TurbidSourceArgs a = convert_turbid_thermal_source_args(
      field_token, wavelengths, emissivity, back_emissivity, memory_budget);
  const auto storage = scene.turbid_domains();
  auto f = std::make_shared<turbid::TurbidField>(
      turbid::build_thermal_source(*storage, a.token, a.bands, a.front, a.back, a.budget));
  py::dict out = turbid_observation_source_dict(*f, "turbid_thermal_source", "embree",
                                                "embree.cpp.turbid_thermal_source");
  scene.commit_turbid_field(std::move(f));
  return out;
}

py::dict build_sif_source(EmbreeSceneManager& scene, const py::object& field_token,
                          const py::object& wavelengths, const py::object& exitance,
                          const py::object& back_exitance, const py::object& memory_budget) {
  const TurbidSourceArgs a = convert_turbid_sif_source_args(field_token, wavelengths, exitance,
                                                            back_exitance, memory_budget);
  const auto storage = scene.turbid_domains();
  auto f = std::make_shared<turbid::TurbidField>(
      turbid::build_sif_source(*storage, a.token, a.bands, a.front, a.back, a.budget));
  py::dict out = turbid_observation_source_dict(*f, "turbid_sif_source", "embree",
                                                "embree.cpp.turbid_sif_source");
  scene.commit_turbid_field(std::move(f));
  return out;
}

py::dict lookup_field(const EmbreeSceneManager& scene, const py::object& field_token,
                      const py::object& positions_in, const py::object& normals_in,
                      const std::string& kind, const py::object& owner_ids,
                      const py::object& medium_ids, const py::object& alias_ids) {
  const TurbidLookupArgs a = convert_turbid_lookup_args(field_token, positions_in, normals_in,
                                                        owner_ids, medium_ids, alias_ids);
  const auto storage = scene.turbid_domains();
  const turbid::TurbidField& field = turbid::resolve_field(*storage, a.token);
  const turbid::TurbidFieldLookup r = turbid::lookup_field(
      field, kind, a.positions.data(), a.normals.data(), a.n, a.selector_or_null());
  return turbid_lookup_dict(field, r, "embree", "embree.cpp.turbid_field_lookup");
}

py::dict debug_field(const EmbreeSceneManager& scene, const py::object& field_token) {
  const auto storage = scene.turbid_domains();
  return turbid_field_debug_dict(
      *storage, turbid::resolve_field(*storage, parse_turbid_field_token(field_token)));
}

py::dict field_residency(const EmbreeSceneManager& scene) {
  return turbid_field_residency_dict(*scene.turbid_domains());
}

py::dict weighted_reduction(const EmbreeSceneManager& /*scene*/, const std::vector<double>& values,
                            const std::vector<double>& weights) {
  const turbid::TurbidFieldMoments m = turbid::weighted_reduction(values, weights);
  py::dict out;
  out["mean"] = m.mean;
  out["sunlit_mean"] = m.sunlit_mean;
  out["shaded_mean"] = m.shaded_mean;
  out["second_moment"] = m.second_moment;
  out["variance"] = m.variance;
  for (auto item : execution_dict("turbid_state_weighted_reduction_test",
                                  "embree.cpp.turbid_state_weighted_test")) {
    out[item.first] = item.second;
  }
  return out;
}

}  // namespace

py::dict turbid_field_token_dict(const turbid::TurbidFieldToken& t) {
  py::dict d;
  d["field_id"] = t.field_id;
  d["domain_id"] = t.domain_id;
  d["field_revision"] = t.field_revision;
  d["state_id"] = t.state_id;
  return d;
}

turbid::TurbidFieldToken parse_turbid_field_token(const py::object& obj) {
  if (!py::isinstance<py::dict>(obj)) throw py::type_error("field_token must be a dictionary");
  const py::dict d = py::reinterpret_borrow<py::dict>(obj);
  turbid::TurbidFieldToken t;
  t.field_id = u64_field(d, "field_id");
  t.domain_id = u64_field(d, "domain_id");
  t.field_revision = u64_field(d, "field_revision");
  t.state_id = u64_field(d, "state_id");
  return t;
}

turbid::TurbidFieldConfig parse_turbid_field_config(const py::dict& config) {
  turbid::TurbidFieldConfig c;
  if (has_field(config, "orientation_theta_bins")) {
    c.orientation_theta_bins = static_cast<uint32_t>(
        std::min<uint64_t>(u64_field(config, "orientation_theta_bins"), 0xffffffffULL));
  }
  if (has_field(config, "orientation_phi_bins")) {
    c.orientation_phi_bins = static_cast<uint32_t>(
        std::min<uint64_t>(u64_field(config, "orientation_phi_bins"), 0xffffffffULL));
  }
  if (has_field(config, "max_samples_per_leaf_cell")) {
    const uint64_t cap = u64_field(config, "max_samples_per_leaf_cell");
    if (cap == 0) throw py::value_error("Turbid maximum samples per leaf cell must be positive");
    c.max_samples_per_leaf_cell = static_cast<uint32_t>(std::min<uint64_t>(cap, 0xffffffffULL));
  }
  if (has_field(config, "source_field")) {
    c.source_field = py::str(config["source_field"]).cast<std::string>();
  }
  if (has_field(config, "replace_field_id"))
    c.replace_field_id = u64_field(config, "replace_field_id");
  return c;
}

TurbidLookupArgs convert_turbid_lookup_args(
    const py::object& field_token, const py::object& positions_in, const py::object& normals_in,
    const py::object& owner_ids, const py::object& medium_ids, const py::object& alias_ids) {
  // The arrays are converted first: a wrong type is a TypeError whatever else is wrong.
  TurbidLookupArgs a;
  a.positions = float_array(positions_in, "positions");
  a.normals = float_array(normals_in, "normals");
  a.token = parse_turbid_field_token(field_token);
  if (!rows_of_three(a.positions) || !rows_of_three(a.normals) ||
      a.positions.size() != a.normals.size()) {
    throw py::value_error("Turbid field lookup positions/normals must be matching [N,3] arrays");
  }
  a.n = static_cast<size_t>(a.positions.size() / 3);
  const int given = !owner_ids.is_none() + !medium_ids.is_none() + !alias_ids.is_none();
  if (given != 0 && given != 3) {
    throw py::value_error(
        "Turbid field lookup selector requires owner, medium, and resolved alias arrays");
  }
  if (given == 3) {
    a.owners = selector_ids(owner_ids, "owner_ids");
    a.media = selector_ids(medium_ids, "medium_ids");
    a.aliases = selector_ids(alias_ids, "resolved_alias_medium_ids");
    if (a.owners.size() != a.n || a.media.size() != a.n || a.aliases.size() != a.n) {
      throw py::value_error("Turbid field lookup selector arrays must match query count");
    }
    a.has_selector = true;
    a.selector = {a.owners.data(), a.media.data(), a.aliases.data()};
  }
  return a;
}

py::dict turbid_lookup_dict(const turbid::TurbidField& field, const turbid::TurbidFieldLookup& r,
                            const char* backend, const char* executor) {
  py::dict out;
  out["field_token"] = turbid_field_token_dict(field.token);
  out["values"] = to_numpy(r.values);
  out["matched_depth"] = to_numpy(r.matched_depth);
  out["fallback_depth"] = to_numpy(r.fallback_depth);
  for (auto item : execution_dict("turbid_field_lookup", executor)) out[item.first] = item.second;
  out["backend"] = backend;
  return out;
}

TurbidSourceArgs convert_turbid_thermal_source_args(const py::object& field_token,
                                                    const py::object& wavelengths,
                                                    const py::object& emissivity,
                                                    const py::object& back_emissivity,
                                                    const py::object& memory_budget) {
  // The arrays are converted first: a wrong type is a TypeError whatever else is wrong.
  require_not_none({{&wavelengths, "wavelengths"}, {&emissivity, "emissivity"}});
  TurbidSourceArgs a;
  a.bands = float_vector(wavelengths, "wavelengths");
  a.front = float_vector(emissivity, "emissivity");
  a.back = back_emissivity.is_none() ? a.front : float_vector(back_emissivity, "back_emissivity");
  a.budget = source_budget(memory_budget);
  a.token = parse_turbid_field_token(field_token);
  return a;
}

TurbidSourceArgs convert_turbid_sif_source_args(const py::object& field_token,
                                                const py::object& wavelengths,
                                                const py::object& exitance,
                                                const py::object& back_exitance,
                                                const py::object& memory_budget) {
  // The arrays are converted first: a wrong type is a TypeError whatever else is wrong.
  require_not_none({{&wavelengths, "wavelengths"}, {&exitance, "exitance"}});
  TurbidSourceArgs a;
  a.bands = float_vector(wavelengths, "wavelengths");
  const carray<float> front_in = float_array(exitance, "exitance");
  const carray<float> back_in =
      back_exitance.is_none() ? front_in : float_array(back_exitance, "back_exitance");
  const auto spectra = [&](const carray<float>& s) {
    if (s.ndim() != 2 || s.shape(1) != static_cast<py::ssize_t>(a.bands.size())) {
      throw py::value_error("Turbid SIF source spectra must be [samples, bands] arrays");
    }
    return std::vector<float>(s.data(), s.data() + s.size());
  };
  a.front = spectra(front_in);
  a.back = spectra(back_in);
  a.budget = source_budget(memory_budget);
  a.token = parse_turbid_field_token(field_token);
  return a;
}

py::dict turbid_observation_source_dict(const turbid::TurbidField& f, const char* workflow,
                                        const char* backend, const char* executor) {
  py::dict out = turbid_field_token_dict(f.token);
  out["band_count"] = f.spectral_wavelengths.size();
  out["resident_bytes"] = f.resident_bytes;
  out["source_field_id"] = f.source_field_id;
  for (auto item : execution_dict(workflow, executor)) out[item.first] = item.second;
  out["backend"] = backend;
  return out;
}

py::dict turbid_field_debug_dict(const turbid::TurbidDomainStorage& storage,
                                 const turbid::TurbidField& f) {
  const size_t n = f.cells.size();
  std::vector<uint64_t> morton(n), samples(n);
  std::vector<int32_t> parent(n), depth(n);
  double integrated = 0.0;
  for (size_t c = 0; c < n; ++c) {
    morton[c] = f.cells[c].morton_code;
    parent[c] = f.cells[c].parent_index;
    depth[c] = static_cast<int32_t>(f.cells[c].depth);
    samples[c] = f.cells[c].sample_count;
    if (f.cells[c].parent_index < 0) {
      for (const turbid::TurbidFieldBin& b : f.cells[c].bins) integrated += b.sum[0];
    }
  }
  py::dict out = turbid_field_token_dict(f.token);
  out["buffer_generation_id"] = f.buffer_generation_id;
  out["cell_count"] = n;
  out["morton_code"] = to_numpy(morton);
  out["parent_index"] = to_numpy(parent);
  out["depth"] = to_numpy(depth);
  out["sample_count"] = to_numpy(samples);
  out["owner_cell_offsets"] = to_numpy(f.owner_cell_offsets);
  out["max_leaf_samples"] = f.max_samples_per_leaf_cell;
  out["integrated_source"] = integrated;
  out["resident_bytes"] = f.resident_bytes;
  out["minimum_resident_bytes"] = turbid::field_cell_bytes() * f.owners.size();
  out["spectral_source_resident"] = !f.spectral_wavelengths.empty();
  if (!f.spectral_wavelengths.empty()) {
    const size_t nb = f.spectral_wavelengths.size();
    const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(n), turbid::kFieldBins,
                                         static_cast<py::ssize_t>(nb)};
    out["spectral_band_count"] = nb;
    out["spectral_wavelengths"] = to_numpy(f.spectral_wavelengths);
    out["spectral_source_front"] = to_numpy(f.spectral_front.data(), shape);
    out["spectral_source_back"] = to_numpy(f.spectral_back.data(), shape);
  }
  py::dict counters;
  counters["allocation_count"] = storage.counters.allocation_count;
  counters["generation_count"] = storage.counters.generation_count;
  counters["commit_count"] = storage.counters.commit_count;
  out["counters"] = counters;
  return out;
}

py::dict turbid_field_residency_dict(const turbid::TurbidDomainStorage& storage) {
  py::list fields;
  for (const auto& [id, f] : storage.fields) {
    py::dict d = turbid_field_token_dict(f->token);
    d["cell_count"] = f->cells.size();
    d["resident_bytes"] = f->resident_bytes;
    fields.append(d);
  }
  py::dict out;
  out["fields"] = fields;
  return out;
}

embree::OwnedTurbidRadiationRequest parse_turbid_radiation_request(const py::dict& request) {
  return parse_radiation_request(request);
}

std::shared_ptr<turbid::OwnedTurbidState> read_turbid_host_state(
    const turbid::TurbidDomainStorage& storage, uint64_t domain_id, const py::dict& state) {
  return read_host_state(storage, domain_id, state);
}

py::list turbid_state_entries(
    const turbid::TurbidDomainStorage& storage,
    const std::function<void(const turbid::OwnedTurbidState&, py::dict&)>& entry) {
  return state_entries(storage, entry);
}

py::dict turbid_state_token_dict(const TurbidStateToken& token) {
  return token_dict(token);
}

embree::OwnedTurbidEnergyBalanceRequest parse_turbid_energy_balance_request(
    const py::dict& request) {
  return parse_energy_balance_request(request);
}

embree::OwnedTurbidStaticPhysiologyRequest parse_turbid_static_physiology_request(
    const py::dict& request) {
  return parse_static_physiology_request(request);
}

void bind_turbid_radiation(py::module_& m) {
  m.def("run_turbid_leaf_rrt_cpu", &leaf_rrt, py::arg("scene"), py::arg("positions"),
        py::arg("normals"), py::arg("medium_ids"), py::arg("instance_ids"),
        py::arg("active_medium_offsets"), py::arg("active_medium_ids"),
        py::arg("active_instance_ids"), py::arg("n_bands"), py::arg("rays_per_sample") = 64,
        py::arg("max_depth") = 8, py::arg("sun_irradiance") = py::none(),
        py::arg("sky_diffuse_radiance") = py::none(), py::arg("sky_directional_table") = py::none(),
        py::arg("medium_reflectance") = py::none(), py::arg("medium_back_reflectance") = py::none(),
        py::arg("medium_transmittance") = py::none(), py::arg("thermal_mode") = false,
        py::arg("instance_lw_radiance") = py::none(), py::arg("instance_emissivity") = py::none(),
        py::arg("sun_dir_x") = 0.0f, py::arg("sun_dir_y") = 0.0f, py::arg("sun_dir_z") = 1.0f,
        py::kw_only(), py::arg("seed") = 0, py::arg("progress") = py::none(),
        py::arg("num_threads") = 0, kLeafRrtDoc);

  m.def("_execute_turbid_radiation_field_embree", &radiation_field, py::arg("scene"),
        py::arg("domain_id"), py::arg("request"), py::kw_only(), py::arg("progress") = py::none(),
        "Run the leaf RRT over the samples of resident domain `domain_id` and commit the\n"
        "radiation-stage state; returns its token (with sample_count, band_count and the\n"
        "execution keys). request: contract_revision, workflow_revision, wavelengths,\n"
        "band_widths, direct_irradiance, sky_radiance, sun_direction, rays_per_sample,\n"
        "max_depth, seed, owners (one per component: instance_id, component_id, medium_id,\n"
        "transport_medium_id, transport_instance_id, reflectance, back_reflectance,\n"
        "transmittance), optional num_threads.");
  m.def("_execute_turbid_energy_balance_embree", &energy_balance, py::arg("scene"),
        py::arg("domain_id"), py::arg("request"), py::kw_only(), py::arg("progress") = py::none(),
        "Sunlit and shaded leaf temperatures of every sample of resident domain `domain_id`:\n"
        "longwave transport (the leaf RRT in thermal mode) alternating with a per-sample Newton\n"
        "solve of the leaf energy budget until the largest change is within\n"
        "convergence_tolerance. Commits the energy-balance-stage state and returns its token\n"
        "with iterations, converged and max_temperature_change. request: contract_revision,\n"
        "workflow_revision, source_token (radiation or static_physiology stage),\n"
        "air_temperature, vapor_pressure, pressure, wind, sky_lw_radiance, rays_per_sample,\n"
        "max_depth, max_iterations, convergence_tolerance, damping, newton_max_iterations,\n"
        "newton_tolerance, owners (transport_medium_id, transport_instance_id, active,\n"
        "emissivity, sidedness, leaf_width, stomata_sides, sensible_derivative,\n"
        "latent_coefficient, ground_heat), optional seed and num_threads.");
  m.def("_execute_turbid_static_physiology_embree", &static_physiology, py::arg("scene"),
        py::arg("domain_id"), py::arg("request"),
        "Leaf model (photosynthesis, stomatal conductance, fluorescence yield) of the sunlit and\n"
        "the shaded record of every sample of resident domain `domain_id` at the owners'\n"
        "prescribed temperatures, with the absorbed PAR of a radiation-stage state. Commits the\n"
        "static-physiology-stage state and returns its token with sample_count,\n"
        "converged_samples and the execution keys. request: contract_revision,\n"
        "workflow_revision, radiation_token, max_iterations, tolerance, co2 and\n"
        "relative_humidity (float32, one per owner), owners (one per component: vcmax25,\n"
        "jmax25, rd25, ball_berry_slope, ball_berry_intercept, quantum_yield,\n"
        "temperature_sunlit, temperature_shaded, optional active and fluorescent flags),\n"
        "optional num_threads.");
  m.def("_aggregate_turbid_state_embree", &aggregate, py::arg("scene"), py::arg("state_token"),
        py::arg("fields"), py::arg("diagnostics") = "components",
        py::arg("requested_sample_ids") = py::none(),
        "Leaf-area-weighted aggregation of a resident state per (instance, component) owner:\n"
        "p_sun and, per requested field, mean, sunlit_mean, shaded_mean, second_moment and\n"
        "variance. diagnostics='samples' adds the records of requested_sample_ids.");
  m.def(
      "_build_turbid_field_embree", &build_field, py::arg("scene"), py::arg("state_token"),
      py::arg("config"), py::arg("memory_budget"),
      "Build and commit an adaptive field of a resident state: per owner a tree whose cells\n"
      "(split above max_samples_per_leaf_cell samples, down to depth 10) hold leaf-area-\n"
      "weighted channels (source: config source_field, default emitted_longwave; direct;\n"
      "diffuse absorbed shortwave) in 4 x 8 orientation bins. config: max_samples_per_leaf_cell,\n"
      "orientation_theta_bins, orientation_phi_bins, source_field, replace_field_id. Returns\n"
      "the field token.");
  m.def("_lookup_turbid_field_embree", &lookup_field, py::arg("scene"), py::arg("field_token"),
        py::arg("positions"), py::arg("normals"), py::arg("kind"),
        py::arg("owner_ids") = py::none(), py::arg("medium_ids") = py::none(),
        py::arg("resolved_alias_medium_ids") = py::none(),
        "Field values at positions [N,3] for leaf normals [N,3] and kind 'source', 'direct' or\n"
        "'diffuse', with the depth reached (matched_depth) and the depth of the cell whose\n"
        "orientation bin answered (fallback_depth).");
  m.def("_build_turbid_thermal_source_embree", &build_thermal_source, py::arg("scene"),
        py::arg("field_token"), py::arg("wavelengths"), py::arg("emissivity"),
        py::arg("back_emissivity") = py::none(), py::arg("memory_budget") = py::none(),
        "Build and commit the thermal observation source of a resident field for passive\n"
        "sensors: a new field with the same cells whose orientation bins hold, per band of\n"
        "wavelengths (nm, float32 [B]), the leaf-area mean of the front and back leaf radiance\n"
        "eps * (p_sun B(T_sunlit) + (1 - p_sun) B(T_shaded)) from the field's state\n"
        "(emissivity float32 [B], back_emissivity defaults to it). memory_budget (bytes, > 0)\n"
        "bounds the source's resident bytes, checked before building. Returns the new field\n"
        "token with band_count, resident_bytes, source_field_id and the execution keys.");
  m.def("_build_turbid_sif_source_embree", &build_sif_source, py::arg("scene"),
        py::arg("field_token"), py::arg("wavelengths"), py::arg("exitance"),
        py::arg("back_exitance") = py::none(), py::arg("memory_budget") = py::none(),
        "Build and commit the fluorescence observation source of a resident field: per\n"
        "orientation bin and band the leaf-area mean of the per-sample SIF exitance spectra\n"
        "(float32 [samples, B], W m-2 nm-1, pool order; back_exitance defaults to exitance)\n"
        "divided by pi. memory_budget (bytes, > 0) bounds the source's resident bytes.\n"
        "Returns the new field token with band_count, resident_bytes and the execution keys.");
  m.def("_debug_turbid_field_embree", &debug_field, py::arg("scene"), py::arg("field_token"),
        "The cells of a resident field.");
  m.def("_debug_turbid_field_residency_embree", &field_residency, py::arg("scene"),
        "The resident fields with their tokens.");
  m.def("_build_turbid_state_embree", &build_state, py::arg("scene"), py::arg("domain_id"),
        py::arg("state"),
        "Validate a host-supplied state of resident domain `domain_id` and commit it; returns\n"
        "its token. state: sample_ids (the pool's, in order), p_sun [n], sunlit and shaded\n"
        "(dictionaries of field name -> [n] values and 'converged'; absent fields are 0), stage\n"
        "('generic', 'radiation', 'static_physiology', 'energy_balance'), workflow_revision,\n"
        "contract_revision; a radiation stage adds wavelengths, spectral_sunlit and\n"
        "spectral_shaded ([n_bands * n]).");
  m.def("_debug_turbid_state_residency_embree", &state_residency, py::arg("scene"),
        "The resident turbid states with their tokens.");
  m.def("_test_turbid_weighted_reduction_embree", &weighted_reduction, py::arg("scene"),
        py::arg("values"), py::arg("weights"),
        "Weighted mean, second moment and variance of plain values (weights w / sum w).");
}

}  // namespace tesk::python
