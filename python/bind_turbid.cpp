// Turbid domains on the CPU scene manager: relation tables and domain descriptors from host
// dictionaries, leaf-area sampling diagnostics, and the registry's build, extension, revision
// and residency functions. Everything runs with the interpreter lock held; candidate
// generation runs on the parallel driver and polls for Ctrl-C.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "embree/scene_manager.h"
#include "python/bindings.h"
#include "python/frame.h"
#include "python/turbid_domain_requests.h"
#include "python/turbid_results.h"
#include "turbid/domains.h"

namespace tesk::python {
namespace {

using namespace tesk::turbid;

uint64_t u64_field_or(const py::dict& d, const char* key, uint64_t fallback) {
  return has_field(d, key) ? to_u64(d[key], key) : fallback;
}

uint32_t u32_field_or(const py::dict& d, const char* key, uint32_t fallback) {
  const uint64_t v = u64_field_or(d, key, fallback);
  if (v > 0xffffffffULL) throw py::value_error(std::string(key) + " exceeds the uint32 range");
  return static_cast<uint32_t>(v);
}

template <size_t N>
std::array<float, N> floats_field(const py::dict& d, const char* key) {
  const carray<float> a(py::reinterpret_borrow<py::object>(required_field(d, key)));
  if (static_cast<size_t>(a.size()) != N) {
    throw py::value_error(std::string(key) + " must contain " + std::to_string(N) + " values");
  }
  std::array<float, N> out{};
  std::memcpy(out.data(), a.data(), N * sizeof(float));
  return out;
}

std::vector<uint64_t> u64_array(const py::dict& d, const char* key) {
  if (!has_field(d, key)) return {};
  const carray<uint64_t> a(py::reinterpret_borrow<py::object>(d[key]));
  return std::vector<uint64_t>(a.data(), a.data() + a.size());
}

uint32_t leaf_angle_code(const std::string& name) {
  static const char* kNames[] = {"spherical",   "planophile",   "erectophile",
                                 "plagiophile", "extremophile", "uniform"};
  for (uint32_t i = 0; i < 6; ++i) {
    if (name == kNames[i]) return i;
  }
  throw py::value_error("unknown de Wit leaf-angle distribution: " + name);
}

TurbidComponent parse_component(const py::handle& item) {
  if (!py::isinstance<py::dict>(item)) throw py::type_error("components must be dictionaries");
  const py::dict d = py::reinterpret_borrow<py::dict>(item);
  TurbidComponent c;
  c.instance_id = u64_field(d, "instance_id");
  c.component_id = u64_field(d, "component_id");
  c.medium_id = u64_field(d, "medium_id");
  c.geometry_id = u64_field(d, "geometry_id");
  if (has_field(d, "object_to_world")) c.object_to_world = floats_field<12>(d, "object_to_world");
  c.bounds_min = floats_field<3>(d, "bounds_min");
  c.bounds_max = floats_field<3>(d, "bounds_max");
  c.leaf_area_density = real_field(d, "leaf_area_density");
  c.leaf_length = real_field(d, "leaf_length");
  c.leaf_width = real_field(d, "leaf_width");
  c.sidedness = static_cast<uint32_t>(std::max<int32_t>(int32_field(d, "sidedness"), 0));
  if (int32_field(d, "sidedness") < 0) c.sidedness = 0;
  c.leaf_angle =
      leaf_angle_code(py::str(required_field(d, "leaf_angle_distribution")).cast<std::string>());
  c.closed_orientation = int32_field(d, "closed_orientation");
  const py::handle ids = required_field(d, "property_ids");
  if (!py::isinstance<py::sequence>(ids) || py::isinstance<py::str>(ids) || py::len(ids) != 4) {
    throw py::value_error("property_ids must contain four stable identifiers");
  }
  for (size_t k = 0; k < 4; ++k) {
    c.property_ids[k] = to_u64(py::reinterpret_borrow<py::sequence>(ids)[k], "property_ids");
  }
  return c;
}

std::vector<float> rows3_float(const py::dict& d, const char* key, const char* message) {
  const carray<float> a(py::reinterpret_borrow<py::object>(required_field(d, key)));
  if (a.ndim() != 2 || a.shape(1) != 3) throw py::value_error(message);
  return std::vector<float>(a.data(), a.data() + a.size());
}

std::vector<uint32_t> rows3_u32(const py::dict& d, const char* key, const char* message) {
  const carray<uint32_t> a(py::reinterpret_borrow<py::object>(required_field(d, key)));
  if (a.ndim() != 2 || a.shape(1) != 3) throw py::value_error(message);
  return std::vector<uint32_t>(a.data(), a.data() + a.size());
}

TurbidDomainDescriptor parse_descriptor(const py::dict& d) {
  TurbidDomainDescriptor out;
  out.contract_revision = u32_field_or(d, "contract_revision", 1);
  out.domain_key = u64_field(d, "domain_key");
  out.revisions.domain = u64_field(d, "domain_revision");
  out.revisions.geometry = u64_field(d, "geometry_revision");
  out.revisions.transport = u64_field(d, "transport_revision");
  out.revisions.property = u64_field(d, "property_revision");
  out.revisions.illumination = u64_field(d, "illumination_revision");
  out.revisions.microclimate = u64_field(d, "microclimate_revision");
  out.revisions.sampling = u64_field(d, "sampling_revision");
  if (out.revisions.sampling == 0) throw py::value_error("sampling revision must be non-zero");
  const py::handle components = required_field(d, "components");
  if (!py::isinstance<py::sequence>(components) || py::isinstance<py::str>(components)) {
    throw py::type_error("components must be a list of dictionaries");
  }
  for (const py::handle item : components) out.components.push_back(parse_component(item));
  out.vertices = rows3_float(d, "vertices", "vertices must have float32 shape [n, 3]");
  out.triangles = rows3_u32(d, "triangles", "triangles must have uint32 shape [n, 3]");
  const size_t owners = out.components.size();
  auto offsets = [&](const char* key, size_t expected, const char* what) {
    std::vector<uint64_t> v = u64_array(d, key);
    if (has_field(d, key) && (v.size() != expected || v.empty())) {
      throw py::value_error(std::string(key) + " must have uint64 shape [" + what + "+1]");
    }
    return v;
  };
  out.component_vertex_offsets = offsets("component_vertex_offsets", owners + 1, "owners");
  out.component_triangle_offsets = offsets("component_triangle_offsets", owners + 1, "owners");
  out.component_part_offsets = offsets("component_part_offsets", owners + 1, "owners");
  const std::vector<uint64_t> pv = u64_array(d, "part_vertex_offsets");
  out.part_vertex_offsets = offsets("part_vertex_offsets", std::max<size_t>(pv.size(), 1), "parts");
  out.part_triangle_offsets =
      offsets("part_triangle_offsets", std::max<size_t>(pv.size(), 1), "parts");
  out.overlap_offsets = u64_array(d, "overlap_offsets");
  out.overlap_medium_ids = u64_array(d, "overlap_medium_ids");
  return out;
}

TurbidSamplingConfig parse_config(const py::dict& d) {
  TurbidSamplingConfig c;
  if (has_field(d, "quality")) {
    const std::string q = py::str(d["quality"]).cast<std::string>();
    if (q == "preview")
      c.quality = 0;
    else if (q == "standard")
      c.quality = 1;
    else if (q == "high")
      c.quality = 2;
    else
      throw py::value_error("unknown Turbid sampling quality: " + q);
  }
  c.sample_budget = 0;
  const uint64_t budget = u64_field_or(d, "sample_budget", 0);
  if (budget > kMaxSampleBudget) {
    throw std::overflow_error(
        "Turbid accepted sample budget exceeds the native candidate/index limit");
  }
  c.sample_budget = static_cast<uint32_t>(budget);
  c.seed = u64_field(d, "seed");
  c.orientation_theta_bins = u32_field_or(d, "orientation_theta_bins", 4);
  c.orientation_phi_bins = u32_field_or(d, "orientation_phi_bins", 8);
  c.max_samples_per_leaf_cell = u32_field_or(d, "max_samples_per_leaf_cell", 64);
  c.max_candidates = u64_field_or(d, "max_candidates", 0);
  if (has_field(d, "num_threads")) c.num_threads = int32_field(d, "num_threads");
  return c;
}

py::dict as_dict(const py::handle& h, const char* what) {
  if (!py::isinstance<py::dict>(h)) throw py::type_error(std::string(what) + " must be a dict");
  return py::reinterpret_borrow<py::dict>(h);
}

template <typename T>
py::array_t<T> column(const std::vector<TurbidLeafAreaSample>& s,
                      T (*get)(const TurbidLeafAreaSample&)) {
  py::array_t<T> a(static_cast<py::ssize_t>(s.size()));
  T* out = a.mutable_data();
  for (size_t i = 0; i < s.size(); ++i) out[i] = get(s[i]);
  return a;
}

py::dict pool_dict(const TurbidSamplePool& pool) {
  py::dict d;
  d["semantics"] = "scientific_leaf_area_integration_point";
  d["domain_revision"] = pool.domain_revision;
  d["geometry_revision"] = pool.geometry_revision;
  d["sampling_revision"] = pool.sampling_revision;
  const auto& s = pool.samples;
  const auto n = static_cast<py::ssize_t>(s.size());
  d["sample_id"] = column<uint64_t>(s, [](const TurbidLeafAreaSample& x) { return x.sample_id; });
  py::array_t<float> pos({n, py::ssize_t{3}}), nrm({n, py::ssize_t{3}});
  py::array_t<uint64_t> props({n, py::ssize_t{4}});
  for (size_t i = 0; i < s.size(); ++i) {
    std::memcpy(pos.mutable_data() + 3 * i, s[i].position, 12);
    std::memcpy(nrm.mutable_data() + 3 * i, s[i].normal, 12);
    std::memcpy(props.mutable_data() + 4 * i, s[i].property_ids.data(), 32);
  }
  d["position"] = pos;
  d["normal"] = nrm;
  d["weight"] = column<float>(s, [](const TurbidLeafAreaSample& x) { return x.weight; });
  d["instance_id"] =
      column<uint64_t>(s, [](const TurbidLeafAreaSample& x) { return x.instance_id; });
  d["component_id"] =
      column<uint64_t>(s, [](const TurbidLeafAreaSample& x) { return x.component_id; });
  d["medium_id"] = column<uint64_t>(s, [](const TurbidLeafAreaSample& x) { return x.medium_id; });
  d["property_ids"] = props;
  d["owner_offsets"] = to_numpy(pool.owner_offsets);
  d["candidates_tested"] = pool.candidates_tested;
  return d;
}

constexpr const char* kLifecycle = "_turbid_domain_lifecycle";

py::dict record_dict(const TurbidDomainRecord& r, const TurbidDomainIdentity& identity) {
  py::dict d;
  d["domain_key"] = r.domain_key;
  d["domain_id"] = r.domain_id;
  d["domain_revision"] = r.revisions.domain;
  d["geometry_revision"] = r.revisions.geometry;
  d["transport_revision"] = r.revisions.transport;
  d["property_revision"] = r.revisions.property;
  d["illumination_revision"] = r.revisions.illumination;
  d["microclimate_revision"] = r.revisions.microclimate;
  d["sampling_revision"] = r.revisions.sampling;
  d["resident_revision"] = r.resident_revision;
  d["requested_sample_budget"] = r.requested_sample_budget;
  d["resident_sample_budget"] = r.resident_sample_budget;
  d["owner_count"] = r.pool->owners.size();
  d["sample_count"] = r.pool->samples.size();
  d["build_count"] = r.build_count;
  d["extension_count"] = r.extension_count;
  d["backend"] = identity.backend;
  d["workflow"] = kLifecycle;
  d["executor"] = identity.executor;
  d["residency"] = identity.residency;
  d["native"] = true;
  return d;
}

TurbidSceneRelations parse_relations(const py::dict& d) {
  TurbidSceneRelations r;
  r.contract_revision = u32_field_or(d, "contract_revision", 0);
  r.relation_revision = u64_field(d, "relation_revision");
  // The first two rules hold before any owner is read.
  if (r.contract_revision != 1 || r.relation_revision == 0) validate_scene_relations(r);
  const auto list = [&](const char* key) {
    const py::handle v = required_field(d, key);
    if (!py::isinstance<py::sequence>(v) || py::isinstance<py::str>(v)) {
      throw py::type_error(std::string(key) + " must be a list of dictionaries");
    }
    return py::reinterpret_borrow<py::sequence>(v);
  };
  for (const py::handle item : list("owners")) {
    const py::dict o = as_dict(item, "owners entries");
    r.owners.push_back({u64_field(o, "owner_id"), u64_field(o, "instance_id"),
                        u64_field(o, "component_id"), u64_field(o, "medium_id"),
                        u64_field(o, "domain_key")});
  }
  for (const py::handle item : list("parts")) {
    const py::dict p = as_dict(item, "parts entries");
    TurbidScenePart part;
    part.part_id = u64_field(p, "part_id");
    part.owner_id = u64_field(p, "owner_id");
    part.medium_id = u64_field(p, "medium_id");
    part.alias_medium_id = u64_field_or(p, "alias_medium_id", kNoAlias);
    part.domain_key = u64_field(p, "domain_key");
    part.backend_instance_id =
        has_field(p, "backend_instance_id") ? int32_field(p, "backend_instance_id") : -1;
    part.shift = has_field(p, "shift") ? floats_field<3>(p, "shift") : std::array<float, 3>{};
    part.bounds_min = floats_field<3>(p, "bounds_min");
    part.bounds_max = floats_field<3>(p, "bounds_max");
    part.volume = PyFloat_AsDouble(required_field(p, "volume").ptr());
    if (PyErr_Occurred()) {
      PyErr_Clear();
      throw py::type_error("volume must be a real number");
    }
    part.vertex_offset = u64_field(p, "vertex_offset");
    part.vertex_count = u64_field(p, "vertex_count");
    part.triangle_offset = u64_field(p, "triangle_offset");
    part.triangle_count = u64_field(p, "triangle_count");
    r.parts.push_back(part);
  }
  const char* geometry_message = "Turbid scene relation geometry must have [n,3] shapes";
  const carray<float> v(py::reinterpret_borrow<py::object>(required_field(d, "vertices")));
  const carray<uint32_t> t(py::reinterpret_borrow<py::object>(required_field(d, "triangles")));
  if (v.ndim() != 2 || v.shape(1) != 3 || t.ndim() != 2 || t.shape(1) != 3) {
    throw py::value_error(geometry_message);
  }
  r.vertices.assign(v.data(), v.data() + v.size());
  r.triangles.assign(t.data(), t.data() + t.size());
  if (has_field(d, "overlaps")) {
    const carray<uint64_t> o(py::reinterpret_borrow<py::object>(d["overlaps"]));
    if (!(o.ndim() == 2 && o.shape(1) == 2) && o.size() != 0) {
      throw py::value_error("Turbid global overlaps must have [n,2] shape");
    }
    for (py::ssize_t i = 0; i + 1 < o.size(); i += 2)
      r.overlaps.push_back({o.data()[i], o.data()[i + 1]});
  }
  return r;
}

py::dict relations_dict(const TurbidSceneRelations& r) {
  py::dict d;
  d["contract_revision"] = r.contract_revision;
  d["relation_revision"] = r.relation_revision;
  py::list owners, parts;
  for (const auto& o : r.owners) {
    py::dict e;
    e["owner_id"] = o.owner_id;
    e["instance_id"] = o.instance_id;
    e["component_id"] = o.component_id;
    e["medium_id"] = o.medium_id;
    e["domain_key"] = o.domain_key;
    owners.append(e);
  }
  for (const auto& p : r.parts) {
    py::dict e;
    e["part_id"] = p.part_id;
    e["owner_id"] = p.owner_id;
    e["medium_id"] = p.medium_id;
    e["alias_medium_id"] = p.alias_medium_id;
    e["domain_key"] = p.domain_key;
    e["backend_instance_id"] = p.backend_instance_id;
    e["shift"] = p.shift;
    e["bounds_min"] = p.bounds_min;
    e["bounds_max"] = p.bounds_max;
    e["volume"] = p.volume;
    e["vertex_offset"] = p.vertex_offset;
    e["vertex_count"] = p.vertex_count;
    e["triangle_offset"] = p.triangle_offset;
    e["triangle_count"] = p.triangle_count;
    parts.append(e);
  }
  d["owners"] = owners;
  d["parts"] = parts;
  py::array_t<uint64_t> overlaps({static_cast<py::ssize_t>(r.overlaps.size()), py::ssize_t{2}});
  for (size_t i = 0; i < r.overlaps.size(); ++i) {
    overlaps.mutable_data()[2 * i] = r.overlaps[i][0];
    overlaps.mutable_data()[2 * i + 1] = r.overlaps[i][1];
  }
  d["overlaps"] = overlaps;
  d["vertices"] = to_numpy(r.vertices.data(), {static_cast<py::ssize_t>(r.vertices.size() / 3), 3});
  d["triangles"] =
      to_numpy(r.triangles.data(), {static_cast<py::ssize_t>(r.triangles.size() / 3), 3});
  return d;
}

TurbidSamplePool debug_sampling(const py::dict& request, const TurbidSamplingConfig& config) {
  if (!has_field(request, "components") || !has_field(request, "vertices") ||
      !has_field(request, "triangles")) {
    throw py::value_error(
        "Turbid sampling diagnostic requires components, vertices, and triangles");
  }
  const TurbidDomainDescriptor descriptor = parse_descriptor(request);
  validate_descriptor(descriptor);
  return sample_domain(descriptor, config, interpreter_interrupt_check());
}

py::list build_domains(embree::EmbreeSceneManager& scene, TurbidBuildBatch batch) {
  const auto current = scene.turbid_domains();
  TurbidCommitPlan plan = plan_domain_builds(
      *current, std::move(batch.builds), std::move(batch.relations), interpreter_interrupt_check());
  std::vector<uint64_t> ids;
  for (const auto& r : plan.changed) ids.push_back(r.domain_id);
  scene.commit_turbid_domains(std::move(plan.changed), plan.removed, plan.relations);
  const auto committed = scene.turbid_domains();
  py::list out;
  for (uint64_t id : ids) {
    out.append(record_dict(resolve_domain(*committed, id), kEmbreeTurbidDomains));
  }
  return out;
}

}  // namespace

turbid::TurbidDomainDescriptor read_turbid_sampling_request(const py::dict& request) {
  if (!has_field(request, "components") || !has_field(request, "vertices") ||
      !has_field(request, "triangles")) {
    throw py::value_error(
        "Turbid sampling diagnostic requires components, vertices, and triangles");
  }
  TurbidDomainDescriptor descriptor = parse_descriptor(request);
  validate_descriptor(descriptor);
  return descriptor;
}

turbid::TurbidSamplingConfig read_turbid_sampling_config(const py::dict& request,
                                                         const std::string& quality,
                                                         const py::handle& seed,
                                                         const py::handle& sample_budget,
                                                         const py::handle& max_candidates) {
  py::dict config;
  config["quality"] = quality;
  config["seed"] = seed;
  config["sample_budget"] = sample_budget;
  config["max_candidates"] = max_candidates;
  if (has_field(request, "num_threads")) config["num_threads"] = request["num_threads"];
  return parse_config(config);
}

py::dict turbid_pool_dict(const turbid::TurbidSamplePool& pool) {
  return pool_dict(pool);
}

TurbidBuildBatch read_turbid_domain_batch(const py::sequence& descriptions,
                                          const py::object& scene_relations) {
  TurbidBuildBatch batch;
  if (!scene_relations.is_none()) {
    batch.relations = parse_relations(as_dict(scene_relations, "scene_relations"));
  }
  for (const py::handle item : descriptions) {
    const py::dict d = as_dict(item, "descriptions entries");
    if (has_field(d, "scene_relations")) {
      throw py::value_error("Turbid scene relations must be supplied once per batch");
    }
    batch.builds.push_back({parse_descriptor(d), parse_config(d)});
  }
  return batch;
}

TurbidBuildBatch read_turbid_domain_request(const py::dict& request, const py::dict& config) {
  TurbidBuildBatch batch;
  if (has_field(request, "scene_relations")) {
    batch.relations = parse_relations(as_dict(request["scene_relations"], "scene_relations"));
  }
  batch.builds.push_back({parse_descriptor(request), parse_config(config)});
  return batch;
}

turbid::TurbidSamplingConfig read_turbid_config(const py::dict& config) {
  return parse_config(config);
}

py::dict turbid_domain_record_dict(const TurbidDomainRecord& record,
                                   const TurbidDomainIdentity& identity) {
  return record_dict(record, identity);
}

py::dict turbid_relations_dict(const TurbidDomainStorage& storage) {
  if (!storage.relations) throw py::value_error("no Turbid scene relations are committed");
  return relations_dict(*storage.relations);
}

py::dict turbid_residency_dict(
    const TurbidDomainStorage& storage, const TurbidDomainIdentity& identity,
    const std::function<void(const TurbidDomainRecord&, py::dict&)>& entry) {
  py::list domains;
  for (const auto& [id, r] : storage.domains) {
    py::dict e;
    e["domain_id"] = id;
    e["resident_revision"] = r.resident_revision;
    e["buffer_generation_id"] = r.buffer_generation_id;
    if (entry) entry(r, e);
    domains.append(e);
  }
  py::dict counters;
  counters["allocation_count"] = storage.counters.allocation_count;
  counters["upload_count"] = storage.counters.upload_count;
  counters["free_count"] = storage.counters.free_count;
  counters["generation_count"] = storage.counters.generation_count;
  counters["commit_count"] = storage.counters.commit_count;
  py::dict d;
  d["domains"] = domains;
  d["counters"] = counters;
  d["backend"] = identity.backend;
  d["workflow"] = kLifecycle;
  d["executor"] = identity.executor;
  d["residency"] = identity.residency;
  d["native"] = true;
  return d;
}

void bind_turbid(py::module_& m) {
  using embree::EmbreeSceneManager;
  m.def(
      "_preflight_turbid_sampling_embree",
      [](const EmbreeSceneManager&, const py::dict& config) {
        return resolve_sample_budget(parse_config(config));
      },
      py::arg("scene"), py::arg("config"),
      "Validates a Turbid sampling configuration and returns its accepted budget per owner.");
  m.def(
      "_set_turbid_commit_failure_embree",
      [](EmbreeSceneManager& scene, const std::string& stage) {
        scene.fail_turbid_commit_if(stage);
      },
      py::arg("scene"), py::arg("stage"),
      "Arms a one-shot failure at a Turbid commit stage; an empty name disarms.");
  m.def(
      "_debug_turbid_residency_embree",
      [](const EmbreeSceneManager& scene) {
        return turbid_residency_dict(*scene.turbid_residency_diagnostics(), kEmbreeTurbidDomains,
                                     [](const TurbidDomainRecord& r, py::dict& e) {
                                       e["resident_bytes"] = pool_bytes(*r.pool);
                                     });
      },
      py::arg("scene"), "Residency diagnostics of the scene's Turbid domains.");
  m.def(
      "_build_turbid_domains_embree",
      [](EmbreeSceneManager& scene, const py::sequence& descriptions,
         const py::object& scene_relations) {
        return build_domains(scene, read_turbid_domain_batch(descriptions, scene_relations));
      },
      py::arg("scene"), py::arg("descriptions"), py::arg("scene_relations") = py::none(),
      "Builds a batch of Turbid domains (each description holds its descriptor and sampling "
      "keys) under one relation table, synthesised when None; returns their records.");
  m.def(
      "_build_turbid_domain_embree",
      [](EmbreeSceneManager& scene, const py::dict& request, const py::dict& config) {
        return build_domains(scene, read_turbid_domain_request(request, config))[0]
            .cast<py::dict>();
      },
      py::arg("scene"), py::arg("request"), py::arg("config"),
      "Builds one Turbid domain and returns its record.");
  m.def(
      "_extend_turbid_samples_embree",
      [](EmbreeSceneManager& scene, const py::handle& domain_id, const py::dict& config) {
        const uint64_t id = to_u64(domain_id, "domain_id");
        const auto current = scene.turbid_domains();
        TurbidCommitPlan plan =
            plan_extension(*current, id, parse_config(config), interpreter_interrupt_check());
        if (!plan.changed.empty()) {
          scene.commit_turbid_domains(std::move(plan.changed), plan.removed, nullptr);
        }
        return record_dict(resolve_domain(*scene.turbid_domains(), id), kEmbreeTurbidDomains);
      },
      py::arg("scene"), py::arg("domain_id"), py::arg("config"),
      "Raises the sample budget of a resident Turbid domain, keeping its accepted samples.");
  m.def(
      "_turbid_domain_revisions_embree",
      [](const EmbreeSceneManager& scene, const py::handle& domain_id) {
        return record_dict(resolve_domain(*scene.turbid_domains(), to_u64(domain_id, "domain_id")),
                           kEmbreeTurbidDomains);
      },
      py::arg("scene"), py::arg("domain_id"), "The record of one resident Turbid domain.");
  m.def(
      "_debug_turbid_domain_samples_embree",
      [](const EmbreeSceneManager& scene, const py::handle& domain_id) {
        const auto s = scene.turbid_domains();
        return pool_dict(*resolve_domain(*s, to_u64(domain_id, "domain_id")).pool);
      },
      py::arg("scene"), py::arg("domain_id"), "The resident sample pool of a Turbid domain.");
  m.def(
      "_debug_turbid_scene_relations_embree",
      [](const EmbreeSceneManager& scene) {
        return turbid_relations_dict(*scene.turbid_domains());
      },
      py::arg("scene"), "The committed Turbid scene-relation table.");
  m.def(
      "_test_turbid_domain_id_exhaustion",
      [] {
        IdentifierCounter counter(0xfffffffffffffffeULL);
        py::dict d;
        const uint64_t last = counter.allocate();
        auto exhausted = [&counter] {
          try {
            counter.allocate();
            return false;
          } catch (const std::overflow_error&) {
            return true;
          }
        };
        d["last_id"] = last;
        d["first_exhausted"] = exhausted();
        d["second_exhausted"] = exhausted();
        d["reused"] = false;
        return d;
      },
      "Runs the identifier allocation rule on a private counter at 2^64-2.");
  m.def(
      "_debug_turbid_samples_embree",
      [](const EmbreeSceneManager&, const py::dict& request, const std::string& quality,
         const py::handle& seed, const py::handle& sample_budget,
         const py::handle& max_candidates) {
        const TurbidSamplePool pool = debug_sampling(
            request,
            read_turbid_sampling_config(request, quality, seed, sample_budget, max_candidates));
        py::dict out;
        out["payload"] = pool_dict(pool);
        out["_execution"] = execution_dict("_turbid_sampling_debug", "embree.cpp.turbid_sampling");
        return out;
      },
      py::arg("scene"), py::arg("request"), py::arg("quality"), py::arg("seed"),
      py::arg("sample_budget") = 0, py::arg("max_candidates") = 0,
      "Samples a Turbid domain request without storing it (enveloped result).");
  m.def(
      "_turbid_sampling_debug",
      [](const py::dict& request) {
        py::dict out = pool_dict(debug_sampling(request, parse_config(request)));
        out["_execution"] = execution_dict("_turbid_sampling_debug", "embree.cpp.turbid_sampling");
        return out;
      },
      py::arg("request"),
      "Samples a Turbid descriptor holding its sampling keys; returns the samples.");
}

}  // namespace tesk::python
