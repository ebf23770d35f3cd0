#include "turbid/domains.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace tesk::turbid {
namespace {

[[noreturn]] void refuse(const char* message) {
  throw std::invalid_argument(message);
}

bool reserved(uint64_t v) {
  return v == 0 || v == kReservedId;
}

struct ComponentGeometry {
  uint64_t vertex_begin, vertex_end, triangle_begin, triangle_end;
};

ComponentGeometry geometry_of(const TurbidDomainDescriptor& d, size_t c) {
  if (d.component_vertex_offsets.empty()) {
    return {0, d.vertices.size() / 3, 0, d.triangles.size() / 3};
  }
  return {d.component_vertex_offsets[c], d.component_vertex_offsets[c + 1],
          d.component_triangle_offsets[c], d.component_triangle_offsets[c + 1]};
}

}  // namespace

TurbidSceneRelations synthesize_relations(const std::vector<const TurbidDomainDescriptor*>& domains,
                                          uint64_t relation_revision) {
  TurbidSceneRelations r;
  r.relation_revision = relation_revision;
  std::unordered_set<uint64_t> owner_ids, part_ids;
  int32_t instance = 0;
  for (const TurbidDomainDescriptor* d : domains) {
    if (reserved(d->domain_key)) refuse("Private Turbid descriptor domain key is reserved");
    for (size_t c = 0; c < d->components.size(); ++c) {
      const TurbidComponent& comp = d->components[c];
      uint64_t owner_id = fnv1a_u64(0x7696f6c495fb38d6ULL, d->domain_key);
      owner_id = fnv1a_u64(owner_id, comp.instance_id);
      owner_id = fnv1a_u64(owner_id, comp.component_id);
      owner_id = fnv1a_u64(owner_id, comp.medium_id);
      const uint64_t part_id =
          fnv1a_u64(fnv1a_u64(0x7426721307e64874ULL, owner_id), comp.geometry_id) *
          0x4ed743f86cd83673ULL;
      if (reserved(owner_id) || reserved(part_id)) {
        throw std::overflow_error("Synthesized Turbid relation identifier is reserved");
      }
      if (!owner_ids.insert(owner_id).second || !part_ids.insert(part_id).second) {
        refuse("Synthesized Turbid relation identity collision");
      }
      r.owners.push_back(
          {owner_id, comp.instance_id, comp.component_id, comp.medium_id, d->domain_key});
      const ComponentGeometry g = geometry_of(*d, c);
      const std::vector<float> world = component_world_vertices(*d, c);
      TurbidScenePart p;
      p.part_id = part_id;
      p.owner_id = owner_id;
      p.medium_id = comp.medium_id;
      p.domain_key = d->domain_key;
      p.backend_instance_id = instance++;
      p.vertex_offset = r.vertices.size() / 3;
      p.vertex_count = g.vertex_end - g.vertex_begin;
      p.triangle_offset = r.triangles.size() / 3;
      p.triangle_count = g.triangle_end - g.triangle_begin;
      r.vertices.insert(r.vertices.end(), world.begin(), world.end());
      for (uint64_t t = 3 * g.triangle_begin; t < 3 * g.triangle_end; ++t) {
        r.triangles.push_back(
            static_cast<uint32_t>(d->triangles[t] - g.vertex_begin + p.vertex_offset));
      }
      for (int k = 0; k < 3; ++k) {
        p.bounds_min[k] = std::numeric_limits<float>::infinity();
        p.bounds_max[k] = -std::numeric_limits<float>::infinity();
      }
      for (size_t i = 0; i < world.size(); ++i) {
        p.bounds_min[i % 3] = std::min(p.bounds_min[i % 3], world[i]);
        p.bounds_max[i % 3] = std::max(p.bounds_max[i % 3], world[i]);
      }
      p.volume = p.triangle_count >= 4 ? enclosed_volume(r.vertices, r.triangles, p.vertex_offset,
                                                         p.triangle_offset, p.triangle_count)
                                       : 0.0;
      if (!(p.volume > 0.0) || p.vertex_count < 4) {
        refuse("Synthesized Turbid relation part is not a closed volume");
      }
      r.parts.push_back(p);
    }
    for (size_t c = 0; c + 1 < d->overlap_offsets.size(); ++c) {
      for (uint64_t i = d->overlap_offsets[c]; i < d->overlap_offsets[c + 1]; ++i) {
        const uint64_t a = d->components[c].medium_id, b = d->overlap_medium_ids[i];
        if (a < b)
          r.overlaps.push_back({a, b});
        else
          r.overlaps.push_back({b, a});
      }
    }
  }
  // Each overlap was listed by both of its components at most once per direction.
  std::sort(r.overlaps.begin(), r.overlaps.end());
  r.overlaps.erase(std::unique(r.overlaps.begin(), r.overlaps.end()), r.overlaps.end());
  validate_scene_relations(r);
  return r;
}

void check_relation_coverage(const TurbidSceneRelations& r,
                             const std::vector<const TurbidDomainDescriptor*>& domains) {
  std::unordered_map<uint64_t, size_t> by_medium;
  for (size_t i = 0; i < r.owners.size(); ++i) by_medium[r.owners[i].medium_id] = i;
  std::vector<bool> covered(r.owners.size(), false);
  for (const TurbidDomainDescriptor* d : domains) {
    for (size_t c = 0; c < d->components.size(); ++c) {
      const TurbidComponent& comp = d->components[c];
      const auto it = by_medium.find(comp.medium_id);
      if (it == by_medium.end()) refuse("Missing Turbid domain/relation owner coverage");
      if (covered[it->second]) refuse("Duplicate Turbid domain/relation owner coverage");
      const TurbidSceneOwner& o = r.owners[it->second];
      if (o.instance_id != comp.instance_id || o.component_id != comp.component_id ||
          o.domain_key != d->domain_key) {
        refuse("Turbid domain/relation owner coverage mismatch");
      }
      covered[it->second] = true;
      const TurbidScenePart* part = nullptr;
      for (const TurbidScenePart& p : r.parts) {
        if (p.owner_id == o.owner_id && p.alias_medium_id == kNoAlias) {
          part = &p;
          break;
        }
      }
      if (part == nullptr) refuse("Turbid relation owner has no authoritative part");
      const ComponentGeometry g = geometry_of(*d, c);
      if (part->vertex_count != g.vertex_end - g.vertex_begin ||
          part->triangle_count != g.triangle_end - g.triangle_begin) {
        refuse("Turbid domain/relation geometry range mismatch");
      }
      const std::vector<float> world = component_world_vertices(*d, c);
      if (std::memcmp(world.data(), &r.vertices[3 * part->vertex_offset],
                      world.size() * sizeof(float)) != 0) {
        refuse("Turbid domain/relation vertex mismatch");
      }
      for (uint64_t t = 0; t < 3 * part->triangle_count; ++t) {
        const uint64_t mine = d->triangles[3 * g.triangle_begin + t] - g.vertex_begin;
        const uint64_t theirs = r.triangles[3 * part->triangle_offset + t] - part->vertex_offset;
        if (mine != theirs) refuse("Turbid domain/relation triangle mismatch");
      }
    }
  }
  for (bool c : covered) {
    if (!c) refuse("Turbid relation table contains an unowned resident");
  }
}

TurbidCommitPlan plan_domain_builds(const TurbidDomainStorage& current,
                                    std::vector<TurbidDomainBuild> builds,
                                    std::optional<TurbidSceneRelations> supplied,
                                    const InterruptCheck& interrupt,
                                    const TurbidCandidateGenerator& generator) {
  if (supplied) validate_scene_relations(*supplied);
  std::set<uint64_t> keys;
  for (const TurbidDomainBuild& b : builds) {
    validate_descriptor(b.descriptor);
    resolve_sample_budget(b.config);
    if (!keys.insert(b.descriptor.domain_key).second) {
      refuse("duplicate Turbid domain key in one build batch");
    }
  }
  std::vector<const TurbidDomainDescriptor*> descriptors;
  for (const TurbidDomainBuild& b : builds) descriptors.push_back(&b.descriptor);
  TurbidCommitPlan plan;
  if (supplied) {
    check_relation_coverage(*supplied, descriptors);
    plan.relations = std::make_shared<const TurbidSceneRelations>(std::move(*supplied));
  } else {
    const uint64_t previous = current.relations ? current.relations->relation_revision : 0;
    plan.relations = std::make_shared<const TurbidSceneRelations>(
        synthesize_relations(descriptors, previous == kReservedId - 1 ? 1 : previous + 1));
    check_relation_coverage(*plan.relations, descriptors);
  }
  std::vector<std::shared_ptr<const TurbidSamplePool>> pools;
  for (const TurbidDomainBuild& b : builds) {
    pools.push_back(std::make_shared<const TurbidSamplePool>(
        sample_domain(b.descriptor, b.config, interrupt, generator)));
  }
  for (size_t i = 0; i < builds.size(); ++i) {
    TurbidDomainRecord record;
    record.domain_key = builds[i].descriptor.domain_key;
    record.domain_id = domain_ids().allocate();
    record.revisions = builds[i].descriptor.revisions;
    record.resident_revision = 1;
    record.requested_sample_budget = record.resident_sample_budget =
        resolve_sample_budget(builds[i].config);
    record.config = builds[i].config;
    record.pool = pools[i];
    record.relations = plan.relations;
    record.descriptor =
        std::make_shared<const TurbidDomainDescriptor>(std::move(builds[i].descriptor));
    for (const auto& [id, resident] : current.domains) {
      if (resident.domain_key == record.domain_key) plan.removed.push_back(id);
    }
    plan.changed.push_back(std::move(record));
  }
  return plan;
}

TurbidCommitPlan plan_extension(const TurbidDomainStorage& current, uint64_t id,
                                const TurbidSamplingConfig& config, const InterruptCheck& interrupt,
                                const TurbidCandidateGenerator& generator) {
  const TurbidDomainRecord& old = resolve_domain(current, id);
  if (config.seed != old.config.seed) {
    refuse("Changing the Turbid seed requires a domain rebuild");
  }
  const uint32_t budget = resolve_sample_budget(config);
  TurbidCommitPlan plan;
  if (budget <= old.resident_sample_budget) return plan;
  TurbidSamplingConfig next_config = old.config;
  next_config.sample_budget = budget;
  next_config.quality = config.quality;
  next_config.num_threads = config.num_threads;
  next_config.max_candidates = config.max_candidates;
  auto pool = std::make_shared<TurbidSamplePool>(
      sample_domain(*old.descriptor, next_config, interrupt, generator));
  const TurbidSamplePool& before = *old.pool;
  if (pool->owners.size() != before.owners.size()) {
    refuse("Turbid owner set changed during extension");
  }
  for (size_t o = 0; o < before.owners.size(); ++o) {
    const uint64_t n_old = before.owner_offsets[o + 1] - before.owner_offsets[o];
    const uint64_t n_new = pool->owner_offsets[o + 1] - pool->owner_offsets[o];
    if (n_new < n_old) refuse("Turbid accepted prefix shrank");
    for (uint64_t k = 0; k < n_old; ++k) {
      const TurbidLeafAreaSample& a = before.samples[before.owner_offsets[o] + k];
      const TurbidLeafAreaSample& b = pool->samples[pool->owner_offsets[o] + k];
      if (a.sample_id != b.sample_id || std::memcmp(a.position, b.position, 12) != 0 ||
          std::memcmp(a.normal, b.normal, 12) != 0 || a.instance_id != b.instance_id ||
          a.component_id != b.component_id || a.medium_id != b.medium_id ||
          a.property_ids != b.property_ids) {
        throw std::runtime_error(
            "Native Turbid extension changed an accepted sample prefix. No fallback was "
            "performed.");
      }
    }
  }
  if (old.revisions.sampling == kReservedId || old.resident_revision == kReservedId ||
      old.extension_count == kReservedId) {
    throw std::overflow_error("TurbidDomain revision overflow");
  }
  TurbidDomainRecord record = old;
  record.revisions.sampling =
      std::max(old.revisions.sampling + 1, old.descriptor->revisions.sampling);
  pool->sampling_revision = record.revisions.sampling;
  record.extension_count += 1;
  record.resident_revision += 1;
  record.requested_sample_budget = record.resident_sample_budget = budget;
  record.config = next_config;
  record.pool = std::move(pool);
  plan.changed.push_back(std::move(record));
  return plan;
}

}  // namespace tesk::turbid
