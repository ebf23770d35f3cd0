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
    const turbid::TurbidField* observation = observation_source(
        storage, domain_id, thermal ? turbid::kThermalSourceKind : turbid::kSifSourceKind);
    const turbid::TurbidField* field =
        observation != nullptr ? observation
                               : (thermal ? temperature_field(storage, domain_id) : nullptr);
    const auto kind = observation != nullptr ? ResidentLeafSource::Kind::Observation
                                             : ResidentLeafSource::Kind::Field;
    for (const turbid::TurbidScenePart& part : record.relations->parts) {
      if (part.domain_key != record.domain_key || part.backend_instance_id < 0) continue;
      const auto i = static_cast<size_t>(part.backend_instance_id);
      if (i >= n_instances) continue;
      ResidentLeafSource& s = sources[i];
      if (domain_of[i] != 0 && domain_of[i] != domain_id) {
        s = ResidentLeafSource{};
        s.kind = ResidentLeafSource::Kind::Ambiguous;
        any = true;
        continue;
      }
      domain_of[i] = domain_id;
      if (field == nullptr || s.kind == ResidentLeafSource::Kind::Ambiguous) continue;
      if (observation != nullptr && s.kind == ResidentLeafSource::Kind::None) {
        s.kind = ResidentLeafSource::Kind::NoOwner;  // until the part's owner is found
        any = true;
      }
      for (size_t o = 0; o < field->owners.size(); ++o) {
        if (field->owners[o].owner_id != part.owner_id) continue;
        s.kind = kind;
        s.field = field;
        s.owner = static_cast<uint32_t>(o);
        if (part.alias_medium_id != turbid::kNoAlias) {
          s.shift = float3{part.shift[0], part.shift[1], part.shift[2]};
        }
        any = true;
      }
    }
  }
  check_observation_sources(storage, sources, n_bands, wavelengths, n_wavelengths);
  if (any) out.instances = std::move(sources);
  return out;
}

double resident_leaf_radiance(const ResidentLeafSource& source, const float3& p, const float3& n,
                              bool back_face, int band) {
  if (source.kind == ResidentLeafSource::Kind::Ambiguous) {
    fail("A backend instance belongs to multiple resident Turbid observation domains");
  }
  if (source.kind == ResidentLeafSource::Kind::NoOwner) {
    fail("Turbid spectral collision owner has no resident field owner");
  }
  const double q[3] = {static_cast<double>(p.x) - source.shift.x,
                       static_cast<double>(p.y) - source.shift.y,
                       static_cast<double>(p.z) - source.shift.z};
  const int bin = turbid::orientation_bin(n.x, n.y, n.z);
  double value = 0.0;
  if (!turbid::owner_spectral_radiance(*source.field, source.owner, q, bin, band, back_face,
                                       value)) {
    fail("Turbid resident spectral source is unavailable");
  }
  return value;
}

bool resident_leaf_temperature(const ResidentLeafSource& source, const float3& p, const float3& n,
                               float& temperature) {
  if (source.kind == ResidentLeafSource::Kind::Ambiguous) {
    throw std::runtime_error(
        "A backend instance belongs to multiple resident Turbid observation domains");
  }
  if (source.kind != ResidentLeafSource::Kind::Field) return false;
  const double q[3] = {static_cast<double>(p.x) - source.shift.x,
                       static_cast<double>(p.y) - source.shift.y,
                       static_cast<double>(p.z) - source.shift.z};
  const int bin = turbid::orientation_bin(n.x, n.y, n.z);
  double t = 0.0;
  if (!turbid::owner_field_value(*source.field, source.owner, q, bin, 0, t)) return false;
  temperature = static_cast<float>(t);
  return true;
}

}  // namespace tesk::embree
