#include "embree/resident_leaf_sources.h"

#include <algorithm>
#include <stdexcept>

#include "turbid/fields.h"
#include "turbid/relations.h"
#include "turbid/states.h"

namespace tesk::embree {

const ResidentLeafSource& ResidentLeafSources::at(int32_t instance) const {
  static const ResidentLeafSource none;
  if (instance < 0 || static_cast<size_t>(instance) >= instances.size()) return none;
  return instances[static_cast<size_t>(instance)];
}

namespace {

// The newest resident leaf-temperature field of domain `domain_id`, or null.
const turbid::TurbidField* temperature_field(const turbid::TurbidDomainStorage& storage,
                                             uint64_t domain_id) {
  const turbid::TurbidField* best = nullptr;
  for (const auto& [id, field] : storage.fields) {
    if (field->token.domain_id != domain_id || field->source_field != "temperature") continue;
    const auto state = storage.states.find(field->token.state_id);
    if (state == storage.states.end() ||
        state->second->token.stage != turbid::TurbidStage::EnergyBalance) {
      continue;
    }
    if (best == nullptr || id > best->token.field_id) best = field.get();
  }
  return best;
}

// The newest observation source of kind `kind` of domain `domain_id`, or null.
const turbid::TurbidField* observation_source(const turbid::TurbidDomainStorage& storage,
                                              uint64_t domain_id, const char* kind) {
  const turbid::TurbidField* best = nullptr;
  for (const auto& [id, field] : storage.fields) {
    if (field->token.domain_id != domain_id || field->source_field != kind) continue;
    if (best == nullptr || id > best->token.field_id) best = field.get();
  }
  return best;
}

[[noreturn]] void fail(const char* message) {
  throw std::runtime_error(message);
}

// Checks the observation sources the instances use against each other and the render's bands,
// and that the fields they were built from are still resident as they were.
void check_observation_sources(const turbid::TurbidDomainStorage& storage,
                               const std::vector<ResidentLeafSource>& sources, int n_bands,
                               const float* wavelengths, int n_wavelengths) {
  const turbid::TurbidField* first = nullptr;
  for (const ResidentLeafSource& s : sources) {
    if (s.kind != ResidentLeafSource::Kind::Observation) continue;
    if (first != nullptr && s.field->spectral_wavelengths != first->spectral_wavelengths) {
      fail(
          "Resident Turbid observation domains have mismatched spectral bands. No fallback was "
          "performed.");
    }
    if (first == nullptr) first = s.field;
  }
  for (const ResidentLeafSource& s : sources) {
    if (s.kind != ResidentLeafSource::Kind::Observation) continue;
    const auto base = storage.fields.find(s.field->source_field_id);
    if (base == storage.fields.end() ||
        base->second->token.field_revision != s.field->source_field_revision ||
        !storage.states.count(s.field->token.state_id)) {
      fail("Passive Turbid observation field is not resident. No fallback was performed.");
    }
  }
  if (first == nullptr) return;
  const std::vector<float>& w = first->spectral_wavelengths;
  const bool same = n_wavelengths > 0
                        ? n_wavelengths == n_bands && w.size() == static_cast<size_t>(n_bands) &&
                              std::equal(w.begin(), w.end(), wavelengths)
                        : w.size() == static_cast<size_t>(n_bands);
  if (!same) {
    fail("Passive Turbid observation bands do not match the sensor. No fallback was performed.");
  }
}

}  // namespace

ResidentLeafSources resolve_resident_leaf_sources(const EmbreeSceneManager& scene, bool thermal,
                                                  int n_bands, const float* wavelengths,
                                                  int n_wavelengths) {
  ResidentLeafSources out;
  out.storage = scene.turbid_domains();
  if (!out.storage || out.storage->domains.empty()) return out;
  const turbid::TurbidDomainStorage& storage = *out.storage;
  const size_t n_instances = static_cast<size_t>(scene.num_instances());
  // Resident domain of each instance (0: none yet).
  std::vector<uint64_t> domain_of(n_instances, 0);
  std::vector<ResidentLeafSource> sources(n_instances);
  bool any = false;
  for (const auto& [domain_id, record] : storage.domains) {
    if (!record.relations) continue;
    const turbid::TurbidField* mine = observation_source(
        storage, domain_id, thermal ? turbid::kThermalSourceKind : turbid::kSifSourceKind);
    const turbid::TurbidField* other = observation_source(
        storage, domain_id, thermal ? turbid::kSifSourceKind : turbid::kThermalSourceKind);
    const turbid::TurbidField* field =
        mine != nullptr ? mine : (thermal ? temperature_field(storage, domain_id) : nullptr);
    using Kind = ResidentLeafSource::Kind;
    const Kind kind = mine != nullptr    ? Kind::Observation
                      : field != nullptr ? Kind::Field
                      : other != nullptr ? Kind::Incompatible
                                         : Kind::None;
    for (const turbid::TurbidScenePart& part : record.relations->parts) {
      if (part.domain_key != record.domain_key || part.backend_instance_id < 0) continue;
      const auto i = static_cast<size_t>(part.backend_instance_id);
      if (i >= n_instances) continue;
      ResidentLeafSource& s = sources[i];
      if (domain_of[i] != 0 && domain_of[i] != domain_id) {
        s = ResidentLeafSource{};
        s.kind = Kind::Ambiguous;
        any = true;
        continue;
      }
      domain_of[i] = domain_id;
      if (s.kind == Kind::Ambiguous || kind == Kind::None) continue;
      s.kind = kind;
      s.field = field;
      any = true;
      if (field == nullptr) continue;
      ResidentSourcePart sp;
      sp.bounds_min = float3{part.bounds_min[0], part.bounds_min[1], part.bounds_min[2]};
      sp.bounds_max = float3{part.bounds_max[0], part.bounds_max[1], part.bounds_max[2]};
      if (part.alias_medium_id != turbid::kNoAlias) {
        sp.shift = float3{part.shift[0], part.shift[1], part.shift[2]};
      }
      for (size_t o = 0; o < field->owners.size(); ++o) {
        if (field->owners[o].owner_id == part.owner_id) sp.owner = static_cast<int32_t>(o);
      }
      s.parts.push_back(sp);
    }
  }
  check_observation_sources(storage, sources, n_bands, wavelengths, n_wavelengths);
  if (any) out.instances = std::move(sources);
  return out;
}

namespace {

// The part of `source` that spans world position `p` (its box widened by a hair, so a collision
// a rounding error outside the boundary still finds it), with the checks every collision makes.
const ResidentSourcePart& collision_part(const ResidentLeafSource& source, const float3& p) {
  using Kind = ResidentLeafSource::Kind;
  if (source.kind == Kind::Ambiguous) {
    fail("A backend instance belongs to multiple resident Turbid observation domains");
  }
  if (source.kind == Kind::Incompatible || source.field == nullptr) {
    fail("Turbid collision has no compatible resident spectral source");
  }
  const float pc[3] = {p.x, p.y, p.z};
  for (const ResidentSourcePart& part : source.parts) {
    const float lo[3] = {part.bounds_min.x, part.bounds_min.y, part.bounds_min.z};
    const float hi[3] = {part.bounds_max.x, part.bounds_max.y, part.bounds_max.z};
    bool inside = true;
    for (int a = 0; a < 3 && inside; ++a) {
      const float slack = 1e-4f * (hi[a] - lo[a]) + 1e-5f;
      inside = pc[a] >= lo[a] - slack && pc[a] <= hi[a] + slack;
    }
    if (!inside) continue;
    if (part.owner < 0) fail("Turbid spectral collision owner has no resident field owner");
    return part;
  }
  fail("Turbid spectral collision has no authoritative transport part");
}

// `p` in the frame of the owner of `part`.
void owner_frame(const ResidentSourcePart& part, const float3& p, double q[3]) {
  q[0] = static_cast<double>(p.x) - part.shift.x;
  q[1] = static_cast<double>(p.y) - part.shift.y;
  q[2] = static_cast<double>(p.z) - part.shift.z;
}

}  // namespace

double resident_leaf_radiance(const ResidentLeafSource& source, const float3& p, const float3& n,
                              bool back_face, int band) {
  const ResidentSourcePart& part = collision_part(source, p);
  const turbid::TurbidField& f = *source.field;
  if (band < 0 || static_cast<size_t>(band) >= f.spectral_wavelengths.size() ||
      f.spectral_front.empty() || f.spectral_back.empty()) {
    fail("Turbid resident spectral source is unavailable");
  }
  double q[3];
  owner_frame(part, p, q);
  const int bin = turbid::orientation_bin(n.x, n.y, n.z);
  return turbid::owner_spectral_radiance(f, static_cast<size_t>(part.owner), q, bin, band,
                                         back_face);
}

turbid::TurbidSourceSplit resident_leaf_temperatures(const ResidentLeafSource& source,
                                                     const float3& p, const float3& n) {
  const ResidentSourcePart& part = collision_part(source, p);
  double q[3];
  owner_frame(part, p, q);
  const int bin = turbid::orientation_bin(n.x, n.y, n.z);
  const auto owner = static_cast<size_t>(part.owner);
  const int32_t cell = turbid::transport_lookup_cell(*source.field, owner, q, bin);
  return turbid::source_split(source.field->cells[static_cast<size_t>(cell)].bins[bin]);
}

}  // namespace tesk::embree
