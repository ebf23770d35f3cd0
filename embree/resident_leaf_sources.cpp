#include "embree/resident_leaf_sources.h"

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

}  // namespace

ResidentLeafSources resolve_resident_leaf_sources(const EmbreeSceneManager& scene) {
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
    const turbid::TurbidField* field = temperature_field(storage, domain_id);
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
      for (size_t o = 0; o < field->owners.size(); ++o) {
        if (field->owners[o].owner_id != part.owner_id) continue;
        s.kind = ResidentLeafSource::Kind::Field;
        s.field = field;
        s.owner = static_cast<uint32_t>(o);
        if (part.alias_medium_id != turbid::kNoAlias) {
          s.shift = float3{part.shift[0], part.shift[1], part.shift[2]};
        }
        any = true;
      }
    }
  }
  if (any) out.instances = std::move(sources);
  return out;
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
