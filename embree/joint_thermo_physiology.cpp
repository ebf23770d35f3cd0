#include "embree/joint_thermo_physiology.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <unordered_set>

#include "core/host/parallel.h"
#include "core/transport_constants.h"
#include "embree/energy_balance.h"
#include "embree/turbid_leaf_rrt.h"
#include "embree/turbid_radiation.h"
#include "physiology/leaf_model.h"
#include "physiology/surface_balance.h"
#include "turbid/registry.h"

namespace tesk::embree {
namespace {

using physiology::JointBranchState;
using physiology::LeafEnergyInputs;
using physiology::LeafMicroclimate;
using physiology::SurfaceBalanceSolution;

constexpr size_t kChunkElements = 256;
constexpr float kPi = 3.14159265358979323846f;
constexpr int32_t kTurbidOwner = static_cast<int32_t>(JointRepresentation::TurbidOwner);

std::atomic<uint64_t> g_next_joint_state_id{1};

// Restores the scene's temperature and emissivity overrides when staging ends.
class ThermalOverrideRestore {
 public:
  explicit ThermalOverrideRestore(EmbreeSceneManager& scene)
      : m_scene(scene),
        m_temperature(scene.primitive_temperatures()),
        m_emissivity(scene.primitive_emissivities()),
        m_turbid(scene.instance_turbid_thermal_state()) {}
  ThermalOverrideRestore(const ThermalOverrideRestore&) = delete;
  ThermalOverrideRestore& operator=(const ThermalOverrideRestore&) = delete;
  ~ThermalOverrideRestore() {
    try {
      if (m_temperature.empty()) {
        m_scene.clear_primitive_temperatures();
      } else {
        m_scene.set_primitive_temperatures(m_temperature);
      }
      if (m_emissivity.empty()) {
        m_scene.clear_primitive_emissivities();
      } else {
        m_scene.set_primitive_emissivities(m_emissivity);
      }
      if (m_turbid.emissivity.empty()) {
        m_scene.clear_instance_turbid_thermal_state();
      } else {
        m_scene.set_instance_turbid_thermal_state(m_turbid);
      }
    } catch (...) {
      // Refused only while another workflow uses the scene; staging wrote nothing then either.
    }
  }

 private:
  EmbreeSceneManager& m_scene;
  std::vector<float> m_temperature;
  std::vector<float> m_emissivity;
  InstanceTurbidThermalState m_turbid;
};

// The leaf RRT inputs of the turbid owners of one resident domain (stable addresses: the
// parameters borrow these arrays).
struct TurbidDomainGroup {
  const turbid::TurbidDomainRecord* domain = nullptr;
  TurbidRadiationOwnerTransport transport;
  TurbidLeafRRTInputs inputs;
  std::vector<size_t> elements;  // joint elements of this domain
};

bool finite_all(const std::vector<float>& v) {
  return std::all_of(v.begin(), v.end(), [](float x) { return std::isfinite(x); });
}

}  // namespace

uint64_t next_joint_state_id() {
  uint64_t id = g_next_joint_state_id.load(std::memory_order_relaxed);
  do {
    if (id == std::numeric_limits<uint64_t>::max()) {
      throw std::overflow_error("joint state identifier space exhausted");
    }
  } while (!g_next_joint_state_id.compare_exchange_weak(id, id + 1, std::memory_order_relaxed));
  return id;
}

physiology::JointElementInputs joint_element_inputs(const OwnedJointThermoPhysiologyRequest& r,
                                                    size_t e) {
  physiology::JointElementInputs x;
  x.mode = r.mode_codes[e];
  x.apar_sunlit = r.apar_sunlit[e];
  x.apar_shaded = r.apar_shaded[e];
  x.shortwave = r.absorbed_shortwave[e];
  x.shortwave_sunlit = r.absorbed_shortwave_sunlit[e];
  x.shortwave_shaded = r.absorbed_shortwave_shaded[e];
  x.emissivity = r.emissivity[e];
  x.sidedness = r.sidedness[e];
  x.sensible_derivative = r.sensible_derivative[e];
  x.latent_coefficient = r.latent_coefficient[e];
  x.ground_heat = r.ground_heat[e];
  x.leaf_width = r.leaf_width[e];
  x.stomata_sides = r.stomata_sides[e];
  return x;
}

physiology::LeafTraits joint_leaf_traits(const OwnedJointThermoPhysiologyRequest& r, size_t e) {
  return physiology::LeafTraits{
      r.vcmax25[e],      r.jmax25[e], r.rd25[e], r.ball_berry_slope[e], r.ball_berry_intercept[e],
      r.quantum_yield[e]};
}

physiology::LeafMicroclimate joint_microclimate(const OwnedJointThermoPhysiologyRequest& r) {
  LeafMicroclimate micro;
  micro.co2 = r.co2;
  micro.relative_humidity = r.relative_humidity;
  micro.pressure = r.pressure;
  micro.wind = r.wind_speed;
  return micro;
}

physiology::JointAir joint_air(const OwnedJointThermoPhysiologyRequest& r) {
  return physiology::JointAir{r.air_temperature, r.vapor_pressure, r.damping};
}

void validate_joint_thermo_physiology(const OwnedJointThermoPhysiologyRequest& r) {
  const size_t n = r.stable_ids.size();
  if (n == 0) throw std::invalid_argument("joint elements must be a non-empty buffer");
  if (n > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    throw std::invalid_argument("joint element count exceeds native device indexing");
  }
  struct IntField {
    const char* name;
    const std::vector<int32_t>* v;
  };
  for (const IntField& f :
       {IntField{"representation_codes", &r.representation_codes},
        IntField{"mode_codes", &r.mode_codes}, IntField{"local_indices", &r.local_indices},
        IntField{"farquhar_indices", &r.farquhar_indices}, IntField{"dynamic", &r.dynamic}}) {
    if (f.v->size() != n)
      throw std::invalid_argument(std::string("joint ") + f.name + " length mismatch");
  }
  if (r.areas.size() != n) throw std::invalid_argument("joint areas length mismatch");
  const auto positive = [](float x) { return std::isfinite(x) && x > 0.0f; };
  if (!positive(r.convergence_tolerance)) {
    throw std::invalid_argument("convergence_tolerance must be finite and positive");
  }
  if (!positive(r.energy_tolerance)) {
    throw std::invalid_argument("energy_tolerance must be finite and positive");
  }
  if (!positive(r.physiology_tolerance)) {
    throw std::invalid_argument("physiology_tolerance must be finite and positive");
  }
  std::unordered_set<uint64_t> seen;
  seen.reserve(n);
  for (size_t e = 0; e < n; ++e) {
    if (r.stable_ids[e] == 0)
      throw std::invalid_argument("joint element stable_id must be non-zero");
    if (!seen.insert(r.stable_ids[e]).second) {
      throw std::invalid_argument("joint element stable_id must be unique");
    }
    if (!positive(r.areas[e])) {
      throw std::invalid_argument("joint element area must be finite and positive");
    }
    const int32_t rep = r.representation_codes[e];
    if (rep != static_cast<int32_t>(JointRepresentation::MeshPrimitive) &&
        rep != static_cast<int32_t>(JointRepresentation::TurbidOwner)) {
      throw std::invalid_argument("joint element representation code is unknown");
    }
    const int32_t mode = r.mode_codes[e];
    if (mode < 0 || mode > kJointModeFarquhar) {
      throw std::invalid_argument("joint element mode code is unknown");
    }
    if (mode == kJointModeFarquhar && r.farquhar_indices[e] < 0) {
      throw std::invalid_argument("farquhar element requires a model row");
    }
    if (mode != kJointModeFarquhar && r.farquhar_indices[e] != -1) {
      throw std::invalid_argument("non-farquhar element cannot reference a model row");
    }
    if (mode == kJointModePrescribed && r.dynamic[e] != 0) {
      throw std::invalid_argument("prescribed temperature element cannot be dynamic");
    }
    if (mode != kJointModePrescribed && r.dynamic[e] == 0) {
      throw std::invalid_argument("non-prescribed element must be dynamic");
    }
  }
  if (!(r.damping > 0.0f && r.damping <= 1.0f)) {
    throw std::invalid_argument("damping must be in (0, 1]");
  }
  struct FloatField {
    const char* name;
    const std::vector<float>* v;
  };
  const FloatField physical[] = {{"initial_temperature", &r.initial_temperature},
                                 {"initial_temperature_sunlit", &r.initial_temperature_sunlit},
                                 {"initial_temperature_shaded", &r.initial_temperature_shaded},
                                 {"sunlit_fraction", &r.sunlit_fraction},
                                 {"emissivity", &r.emissivity},
                                 {"sidedness", &r.sidedness},
                                 {"sensible_derivative", &r.sensible_derivative},
                                 {"latent_coefficient", &r.latent_coefficient},
                                 {"ground_heat", &r.ground_heat},
                                 {"absorbed_shortwave", &r.absorbed_shortwave},
                                 {"absorbed_shortwave_sunlit", &r.absorbed_shortwave_sunlit},
                                 {"absorbed_shortwave_shaded", &r.absorbed_shortwave_shaded},
                                 {"apar", &r.apar},
                                 {"apar_sunlit", &r.apar_sunlit},
                                 {"apar_shaded", &r.apar_shaded},
                                 {"leaf_width", &r.leaf_width},
                                 {"stomata_sides", &r.stomata_sides},
                                 {"vcmax25", &r.vcmax25},
                                 {"jmax25", &r.jmax25},
                                 {"rd25", &r.rd25},
                                 {"ball_berry_slope", &r.ball_berry_slope},
                                 {"ball_berry_intercept", &r.ball_berry_intercept},
                                 {"quantum_yield", &r.quantum_yield}};
  for (const FloatField& f : physical) {
    if (f.v->size() != n)
      throw std::invalid_argument(std::string("joint ") + f.name + " length mismatch");
  }
  // Transport identities are needed only to place turbid owners.
  if (std::find(r.representation_codes.begin(), r.representation_codes.end(), kTurbidOwner) !=
      r.representation_codes.end()) {
    const std::pair<const char*, size_t> identities[] = {
        {"domain_ids", r.domain_ids.size()},
        {"owner_ids", r.owner_ids.size()},
        {"transport_medium_ids", r.transport_medium_ids.size()},
        {"transport_instance_ids", r.transport_instance_ids.size()}};
    for (const auto& [name, size] : identities) {
      if (size != n) throw std::invalid_argument(std::string("joint ") + name + " length mismatch");
    }
  }
  if (r.rays_per_element < 1 || r.max_depth < 1) {
    throw std::invalid_argument("joint transport controls must be positive");
  }
  for (const float x : {r.air_temperature, r.co2, r.relative_humidity, r.pressure, r.wind_speed,
                        r.vapor_pressure, r.sky_lw_radiance}) {
    if (!std::isfinite(x)) {
      throw std::invalid_argument("joint microclimate and transport scalars must be finite");
    }
  }
  if (!(r.air_temperature > 0.0f) ||
      !(r.relative_humidity >= 0.0f && r.relative_humidity <= 1.0f) || !(r.pressure > 0.0f) ||
      !(r.wind_speed >= 0.0f) || !(r.co2 > 0.0f) || !(r.vapor_pressure >= 0.0f) ||
      !(r.sky_lw_radiance >= 0.0f)) {
    throw std::invalid_argument("joint microclimate scalars are outside their domain");
  }
  for (const FloatField& f : physical) {
    if (!finite_all(*f.v)) throw std::invalid_argument("joint physical arrays must be finite");
  }
  for (size_t e = 0; e < n; ++e) {
    const bool ok = r.initial_temperature[e] > 0.0f && r.initial_temperature_sunlit[e] > 0.0f &&
                    r.initial_temperature_shaded[e] > 0.0f && r.sunlit_fraction[e] >= 0.0f &&
                    r.sunlit_fraction[e] <= 1.0f && r.emissivity[e] >= 0.0f &&
                    r.emissivity[e] <= 1.0f && r.sidedness[e] >= 1.0f && r.sidedness[e] <= 2.0f &&
                    r.sensible_derivative[e] >= 0.0f && r.latent_coefficient[e] >= 0.0f &&
                    r.absorbed_shortwave[e] >= 0.0f && r.absorbed_shortwave_sunlit[e] >= 0.0f &&
                    r.absorbed_shortwave_shaded[e] >= 0.0f && r.apar[e] >= 0.0f &&
                    r.apar_sunlit[e] >= 0.0f && r.apar_shaded[e] >= 0.0f &&
                    r.leaf_width[e] > 0.0f && r.stomata_sides[e] >= 0.0f && r.vcmax25[e] >= 0.0f &&
                    r.jmax25[e] >= 0.0f && r.rd25[e] >= 0.0f && r.ball_berry_slope[e] >= 0.0f &&
                    r.ball_berry_intercept[e] >= 0.0f && r.quantum_yield[e] >= 0.0f &&
                    r.quantum_yield[e] <= 1.0f;
    if (!ok) throw std::invalid_argument("joint physical coefficients are outside their domain");
  }
}

StagedJointThermoPhysiology stage_joint_thermo_physiology(
    EmbreeSceneManager& scene, const OwnedJointThermoPhysiologyRequest& r, int num_threads,
    const InterruptCheck& interrupt) {
  JointBackend cpu;
  cpu.scene_ready = scene.is_built();
  cpu.unbuilt_message =
      "Embree joint thermo-physiology requires a built scene. No fallback was performed.";
  cpu.surface_longwave = [&scene, num_threads, &interrupt](int rays, int max_depth, float sky_lw) {
    return render_energy_balance(scene, rays, max_depth, 1, nullptr, nullptr, sky_lw, 0.0f, 0.0f,
                                 1.0f, true, {}, {}, {}, {}, num_threads, {}, interrupt);
  };
  cpu.leaf_tracer = [&scene, num_threads, &interrupt](const TurbidLeafRRTParams& params) {
    TurbidLeafRRTParams p = params;
    p.num_threads = num_threads;
    return run_turbid_leaf_rrt_cpu(scene, p, {}, interrupt);
  };
  const LeafMicroclimate micro = joint_microclimate(r);
  const physiology::JointAir air = joint_air(r);
  cpu.solve_elements = [&](std::span<const float> lw, std::vector<JointBranchState>& sun,
                           std::vector<JointBranchState>& shade, JointStepMeasures& m) {
    parallel_for_chunks(
        sun.size(), num_threads, kChunkElements,
        [&](size_t begin, size_t end) {
          for (size_t e = begin; e < end; ++e) {
            const physiology::JointElementOutcome o =
                physiology::solve_joint_element(sun[e], shade[e], joint_element_inputs(r, e),
                                                joint_leaf_traits(r, e), micro, air, lw[e]);
            sun[e] = o.sunlit;
            shade[e] = o.shaded;
            m.change[e] = o.change;
            m.residual[e] = o.residual;
            m.physiology[e] = o.physiology_change;
            m.converged[e] = o.converged ? 1 : 0;
          }
        },
        interrupt);
  };
  return stage_joint_thermo_physiology(scene, r, cpu);
}

StagedJointThermoPhysiology stage_joint_thermo_physiology(
    EmbreeSceneManager& scene, const OwnedJointThermoPhysiologyRequest& r,
    const JointBackend& backend) {
  validate_joint_thermo_physiology(r);
  const size_t n = r.stable_ids.size();
  const auto is_turbid = [&](size_t e) { return r.representation_codes[e] == kTurbidOwner; };
  bool any_turbid = false, any_mesh = false;
  for (size_t e = 0; e < n; ++e) (is_turbid(e) ? any_turbid : any_mesh) = true;
  if (!backend.scene_ready || !scene.is_built() ||
      (any_turbid && scene.optical_media().media.empty())) {
    throw std::runtime_error(backend.unbuilt_message);
  }
  const int64_t n_prims = scene.n_primitives();
  std::vector<uint8_t> claimed(static_cast<size_t>(n_prims), 0);
  for (size_t e = 0; e < n; ++e) {
    if (is_turbid(e)) continue;
    const int32_t p = r.local_indices[e];
    if (p < 0 || p >= n_prims) {
      throw std::out_of_range("joint mesh element primitive index is outside the scene");
    }
    if (claimed[static_cast<size_t>(p)]++ != 0) {
      throw std::invalid_argument("joint mesh elements must reference distinct primitives");
    }
  }

  // Scene-wide temperatures and emissivities: the current overrides, else each primitive's
  // material temperature and the default emissivity; element primitives are overwritten.
  std::vector<float> scene_t = scene.primitive_temperatures();
  std::vector<float> scene_e = scene.primitive_emissivities();
  if (static_cast<int64_t>(scene_t.size()) != n_prims) {
    const std::vector<int32_t> ids = scene.primitive_material_ids();
    const std::vector<MaterialRecord>& materials = scene.description().materials();
    scene_t.assign(static_cast<size_t>(n_prims), 0.0f);
    for (size_t p = 0; p < scene_t.size(); ++p) {
      const int32_t m = ids[p];
      if (m >= 0 && static_cast<size_t>(m) < materials.size()) {
        scene_t[p] = materials[static_cast<size_t>(m)].scalar_params[2];
      }
    }
  }
  if (static_cast<int64_t>(scene_e.size()) != n_prims) {
    scene_e.assign(static_cast<size_t>(n_prims), transport::kDefaultEmissivity);
  }

  // Turbid owners: grouped by domain, each a distinct component with a medium and instance.
  const auto n_media = static_cast<int64_t>(scene.optical_media().media.size());
  const int32_t n_instances = scene.num_instances();
  std::shared_ptr<const turbid::TurbidDomainStorage> storage;
  std::vector<TurbidDomainGroup> groups;
  if (any_turbid) {
    storage = scene.turbid_domains();
    std::vector<std::pair<uint64_t, uint64_t>> owners;
    for (size_t e = 0; e < n; ++e) {
      if (!is_turbid(e)) continue;
      const turbid::TurbidDomainRecord& domain = turbid::resolve_domain(*storage, r.domain_ids[e]);
      if (r.owner_ids[e] >= domain.descriptor->components.size()) {
        throw std::invalid_argument("joint turbid owner is not a component of its domain");
      }
      const int32_t m = r.transport_medium_ids[e], i = r.transport_instance_ids[e];
      if (m < 0 || m >= n_media || i < 0 || i >= n_instances) {
        throw std::out_of_range(
            "joint turbid owner transport medium or instance is outside the scene");
      }
      const std::pair<uint64_t, uint64_t> key{r.domain_ids[e], r.owner_ids[e]};
      if (std::find(owners.begin(), owners.end(), key) != owners.end()) {
        throw std::invalid_argument("joint turbid elements must reference distinct owners");
      }
      owners.push_back(key);
      size_t g = 0;
      while (g < groups.size() && groups[g].domain != &domain) ++g;
      if (g == groups.size()) {
        groups.emplace_back();
        groups[g].domain = &domain;
        const size_t n_owners = domain.descriptor->components.size();
        groups[g].transport.owner_medium.assign(n_owners, -1);
        groups[g].transport.owner_instance.assign(n_owners, -1);
      }
      groups[g].transport.owner_medium[r.owner_ids[e]] = m;
      groups[g].transport.owner_instance[r.owner_ids[e]] = i;
      groups[g].elements.push_back(e);
    }
    for (TurbidDomainGroup& g : groups) {
      expand_active_media(*g.domain, g.transport);
      g.inputs = leaf_rrt_inputs(*g.domain, g.transport);
    }
  }
  // Per-instance turbid thermal state written for the transports: the scene's current one, else
  // every instance at the air temperature with the default emissivity.
  InstanceTurbidThermalState thermal = scene.instance_turbid_thermal_state();
  if (thermal.emissivity.size() != static_cast<size_t>(n_instances)) {
    const auto m = static_cast<size_t>(n_instances);
    thermal.temperature_sunlit.assign(m, r.air_temperature);
    thermal.temperature_shaded.assign(m, r.air_temperature);
    thermal.sunlit_fraction.assign(m, 0.0f);
    thermal.emissivity.assign(m, transport::kTurbidDefaultEmissivity);
  }

  // The scene's longwave transport: without optical turbid media the surface energy-balance
  // transport at the primitives; with them (which that transport does not cross) the leaf
  // tracer in thermal mode, at the owners' leaf-area samples and at two samples per mesh
  // element just above and below its primitive's centroid (taken to lie outside every medium).
  const bool leaf_tracer = !scene.optical_media().media.empty();
  std::vector<float> mesh_positions, mesh_normals;
  std::vector<int32_t> mesh_none, mesh_offsets;
  std::vector<PrimitiveGeometry> geometry;
  if (leaf_tracer && any_mesh) {
    geometry = scene.primitive_geometry();
    for (size_t e = 0; e < n; ++e) {
      if (is_turbid(e)) continue;
      const PrimitiveGeometry& g = geometry[static_cast<size_t>(r.local_indices[e])];
      const float3 c = (g.vertex0 + g.vertex1 + g.vertex2) * (1.0f / 3.0f);
      const float step = 1e-4f * std::max({1.0f, std::fabs(c.x), std::fabs(c.y), std::fabs(c.z)});
      for (const float side : {1.0f, -1.0f}) {
        const float3 q = c + g.normal * (side * step);
        mesh_positions.insert(mesh_positions.end(), {q.x, q.y, q.z});
        mesh_normals.insert(mesh_normals.end(), {g.normal.x, g.normal.y, g.normal.z});
      }
    }
    mesh_none.assign(mesh_positions.size() / 3, -1);
    mesh_offsets.assign(mesh_none.size() + 1, 0);
  }

  std::vector<JointBranchState> sun(n), shade(n);
  for (size_t e = 0; e < n; ++e) {
    if (r.mode_codes[e] == kJointModeFarquhar) {
      sun[e].temperature = r.initial_temperature_sunlit[e];
      shade[e].temperature = r.initial_temperature_shaded[e];
    } else {
      sun[e].temperature = shade[e].temperature = r.initial_temperature[e];
    }
  }
  auto element_temperature = [&](size_t e) {
    if (r.mode_codes[e] != kJointModeFarquhar) return sun[e].temperature;
    const float f = r.sunlit_fraction[e];
    return f * sun[e].temperature + (1.0f - f) * shade[e].temperature;
  };

  StagedJointThermoPhysiology out;
  for (std::vector<float>* v : {&out.temperature,
                                &out.sunlit_fraction,
                                &out.temperature_sunlit,
                                &out.temperature_shaded,
                                &out.an,
                                &out.an_sunlit,
                                &out.an_shaded,
                                &out.gs,
                                &out.gs_sunlit,
                                &out.gs_shaded,
                                &out.absorbed_longwave,
                                &out.net_radiation,
                                &out.net_radiation_sunlit,
                                &out.net_radiation_shaded,
                                &out.sensible_heat,
                                &out.sensible_heat_sunlit,
                                &out.sensible_heat_shaded,
                                &out.latent_heat,
                                &out.latent_heat_sunlit,
                                &out.latent_heat_shaded}) {
    v->assign(n, 0.0f);
  }

  ThermalOverrideRestore restore(scene);
  // Writes the element state into the scene and runs the longwave transports. A mesh element
  // absorbs e (E_top + (sidedness - 1) E_bottom) at its primitive; a turbid owner the same
  // combination averaged over its leaf-area samples with their leaf-area weights.
  const float sigma = transport::kStefanBoltzmann;
  auto transport = [&](std::vector<float>& lw) {
    lw.assign(n, 0.0f);
    if (any_mesh) {
      for (size_t e = 0; e < n; ++e) {
        if (is_turbid(e)) continue;
        const auto p = static_cast<size_t>(r.local_indices[e]);
        scene_t[p] = element_temperature(e);
        scene_e[p] = r.emissivity[e];
      }
      scene.set_primitive_temperatures(scene_t);
      scene.set_primitive_emissivities(scene_e);
    }
    if (any_turbid) {
      for (size_t e = 0; e < n; ++e) {
        if (!is_turbid(e)) continue;
        const auto i = static_cast<size_t>(r.transport_instance_ids[e]);
        thermal.temperature_sunlit[i] = sun[e].temperature;
        thermal.temperature_shaded[i] = shade[e].temperature;
        thermal.sunlit_fraction[i] =
            r.mode_codes[e] == kJointModeFarquhar ? r.sunlit_fraction[e] : 1.0f;
        thermal.emissivity[i] = r.emissivity[e];
      }
      scene.set_instance_turbid_thermal_state(thermal);
    }
    if (any_mesh && !leaf_tracer) {
      const EnergyBalanceResult t =
          backend.surface_longwave(r.rays_per_element, r.max_depth, r.sky_lw_radiance);
      if (static_cast<int64_t>(t.top.size()) != n_prims ||
          static_cast<int64_t>(t.bot.size()) != n_prims) {
        throw std::runtime_error("native longwave result length does not match elements");
      }
      for (size_t e = 0; e < n; ++e) {
        if (is_turbid(e)) continue;
        const auto p = static_cast<size_t>(r.local_indices[e]);
        lw[e] = r.emissivity[e] * (t.top[p] + (r.sidedness[e] - 1.0f) * t.bot[p]);
      }
    }
    if (leaf_tracer) {
      // Instances of turbid owners emit at their owners' temperatures, instances holding mesh
      // elements the area-weighted emission of their primitives, the others as grey bodies at
      // the air temperature; the same seed in every iteration keeps the update a smooth map of
      // the temperatures.
      const float ta = r.air_temperature;
      std::vector<float> radiance(
          static_cast<size_t>(n_instances),
          transport::kTurbidDefaultEmissivity * sigma * ta * ta * ta * ta / kPi);
      std::vector<float> emissivity(static_cast<size_t>(n_instances),
                                    transport::kTurbidDefaultEmissivity);
      if (any_mesh) {
        const auto m = static_cast<size_t>(n_instances);
        std::vector<double> area(m, 0.0), emitted(m, 0.0), eps(m, 0.0);
        std::vector<uint8_t> holds_element(m, 0);
        for (size_t e = 0; e < n; ++e) {
          if (is_turbid(e)) continue;
          holds_element[geometry[static_cast<size_t>(r.local_indices[e])].instance_id] = 1;
        }
        for (size_t q = 0; q < geometry.size(); ++q) {
          const auto i = static_cast<size_t>(geometry[q].instance_id);
          if (!holds_element[i]) continue;
          const double t2 = double{scene_t[q]} * scene_t[q];
          area[i] += geometry[q].area;
          emitted[i] += geometry[q].area * scene_e[q] * sigma * t2 * t2;
          eps[i] += geometry[q].area * scene_e[q];
        }
        for (size_t i = 0; i < m; ++i) {
          if (!(area[i] > 0.0)) continue;
          radiance[i] = static_cast<float>(emitted[i] / area[i] / kPi);
          emissivity[i] = static_cast<float>(eps[i] / area[i]);
        }
      }
      for (size_t e = 0; e < n; ++e) {
        if (!is_turbid(e)) continue;
        const auto i = static_cast<size_t>(r.transport_instance_ids[e]);
        const float f = thermal.sunlit_fraction[i];
        const float a = sun[e].temperature * sun[e].temperature;
        const float b = shade[e].temperature * shade[e].temperature;
        radiance[i] = r.emissivity[e] * sigma * (f * a * a + (1.0f - f) * b * b) / kPi;
        emissivity[i] = r.emissivity[e];
      }
      const std::vector<float> sky{r.sky_lw_radiance};
      auto params = [&] {
        TurbidLeafRRTParams p;
        p.n_bands = 1;
        p.rays_per_sample = r.rays_per_element;
        p.max_depth = r.max_depth;
        p.sky_diffuse_radiance = sky;
        p.thermal_mode = true;
        p.instance_lw_radiance = radiance;
        p.instance_emissivity = emissivity;
        p.seed = r.seed;
        return p;
      };
      for (TurbidDomainGroup& g : groups) {
        TurbidLeafRRTParams p = params();
        g.inputs.fill(p, g.transport);
        const TurbidLeafRRTResult t = backend.leaf_tracer(p);
        const turbid::TurbidSamplePool& pool = *g.domain->pool;
        for (size_t e : g.elements) {
          const uint64_t o = r.owner_ids[e];
          double area = 0.0, sum = 0.0;
          for (uint64_t i = pool.owner_offsets[o]; i < pool.owner_offsets[o + 1]; ++i) {
            const double w = pool.samples[i].weight;
            area += w;
            sum += w * (t.total_top[i] + (r.sidedness[e] - 1.0) * t.total_bottom[i]);
          }
          lw[e] = area > 0.0 ? static_cast<float>(r.emissivity[e] * sum / area) : 0.0f;
        }
      }
      if (any_mesh) {
        TurbidLeafRRTParams p = params();
        p.positions = mesh_positions;
        p.normals = mesh_normals;
        p.medium_ids = mesh_none;
        p.instance_ids = mesh_none;
        p.active_medium_offsets = mesh_offsets;
        const TurbidLeafRRTResult t = backend.leaf_tracer(p);
        size_t k = 0;  // the element's sample above its primitive; k + 1 the one below
        for (size_t e = 0; e < n; ++e) {
          if (is_turbid(e)) continue;
          lw[e] =
              r.emissivity[e] * (t.total_top[k] + (r.sidedness[e] - 1.0f) * t.total_bottom[k + 1]);
          k += 2;
        }
      }
    }
    double sum = 0.0;
    for (size_t e = 0; e < n; ++e) sum += lw[e];
    out.absorbed_longwave_mean = static_cast<float>(sum / static_cast<double>(n));
  };

  std::vector<float> lw;
  JointStepMeasures step;
  for (std::vector<float>* v : {&step.change, &step.residual, &step.physiology}) v->assign(n, 0.0f);
  step.converged.assign(n, 1);
  for (int it = 1; it <= r.max_iterations; ++it) {
    transport(lw);
    backend.solve_elements(lw, sun, shade, step);
    out.iterations = it;
    out.max_temperature_change = out.max_energy_residual = out.max_physiology_change = 0.0f;
    bool all_converged = true;
    for (size_t e = 0; e < n; ++e) {
      all_converged = all_converged && step.converged[e] != 0;
      if (e == 0 || step.change[e] > out.max_temperature_change) {
        out.max_temperature_change = step.change[e];
        out.max_temperature_change_id = r.stable_ids[e];
      }
      if (e == 0 || step.residual[e] > out.max_energy_residual) {
        out.max_energy_residual = step.residual[e];
        out.max_energy_residual_id = r.stable_ids[e];
      }
      if (e == 0 || step.physiology[e] > out.max_physiology_change) {
        out.max_physiology_change = step.physiology[e];
        out.max_physiology_change_id = r.stable_ids[e];
      }
    }
    if (all_converged && out.max_temperature_change <= r.convergence_tolerance &&
        out.max_energy_residual <= r.energy_tolerance &&
        out.max_physiology_change <= r.physiology_tolerance) {
      out.converged = true;
      break;
    }
  }

  // Final fluxes from one more transport at the final temperatures.
  transport(lw);
  const LeafMicroclimate micro = joint_microclimate(r);
  const physiology::JointAir air = joint_air(r);
  for (size_t e = 0; e < n; ++e) {
    const float f = r.mode_codes[e] == kJointModeFarquhar ? r.sunlit_fraction[e] : 1.0f;
    out.sunlit_fraction[e] = r.sunlit_fraction[e];
    out.temperature[e] = element_temperature(e);
    out.temperature_sunlit[e] = sun[e].temperature;
    out.temperature_shaded[e] = shade[e].temperature;
    out.absorbed_longwave[e] = lw[e];
    struct Fluxes {
      float an = 0.0f, gs = 0.0f, rn = 0.0f, h = 0.0f, le = 0.0f;
    };
    const physiology::JointElementInputs inputs = joint_element_inputs(r, e);
    auto fluxes = [&](const JointBranchState& s, float shortwave) {
      Fluxes x;
      if (r.mode_codes[e] == kJointModeFarquhar) {
        const LeafEnergyInputs in = physiology::joint_leaf_inputs(inputs, air, shortwave, lw[e]);
        const physiology::LeafEnergyTerms t =
            physiology::leaf_energy_terms(s.temperature, s.gs, micro, in);
        x = Fluxes{s.an, s.gs, t.net_radiation, t.sensible_heat, t.latent_heat};
      } else {
        const SurfaceBalanceSolution t = physiology::surface_fluxes(
            s.temperature, physiology::joint_surface_inputs(inputs, air, shortwave, lw[e]));
        x = Fluxes{0.0f, 0.0f, t.net_radiation, t.sensible_heat, t.latent_heat};
      }
      return x;
    };
    const bool farquhar = r.mode_codes[e] == kJointModeFarquhar;
    const Fluxes a =
        fluxes(sun[e], farquhar ? r.absorbed_shortwave_sunlit[e] : r.absorbed_shortwave[e]);
    const Fluxes b = farquhar ? fluxes(shade[e], r.absorbed_shortwave_shaded[e]) : a;
    const auto blend = [f](float x, float y) { return f * x + (1.0f - f) * y; };
    out.an_sunlit[e] = a.an;
    out.an_shaded[e] = b.an;
    out.an[e] = blend(a.an, b.an);
    out.gs_sunlit[e] = a.gs;
    out.gs_shaded[e] = b.gs;
    out.gs[e] = blend(a.gs, b.gs);
    out.net_radiation_sunlit[e] = a.rn;
    out.net_radiation_shaded[e] = b.rn;
    out.net_radiation[e] = blend(a.rn, b.rn);
    out.sensible_heat_sunlit[e] = a.h;
    out.sensible_heat_shaded[e] = b.h;
    out.sensible_heat[e] = blend(a.h, b.h);
    out.latent_heat_sunlit[e] = a.le;
    out.latent_heat_shaded[e] = b.le;
    out.latent_heat[e] = blend(a.le, b.le);
  }
  out.primitive_temperatures = scene_t;
  out.primitive_emissivities = scene_e;
  if (any_turbid) out.turbid_thermal = thermal;
  return out;
}

}  // namespace tesk::embree
