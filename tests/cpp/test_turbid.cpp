#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "core/sif_orientation.h"
#include "embree/scene_manager.h"
#include "turbid/domains.h"
#include "turbid/fields.h"
#include "turbid/registry.h"
#include "turbid/relations.h"
#include "turbid/sampling.h"
#include "turbid/state_ops.h"
#include "turbid/states.h"

namespace tesk::turbid {
namespace {

// An outward-wound unit cube [0,1]^3.
void unit_cube(std::vector<float>& v, std::vector<uint32_t>& t) {
  v = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 0, 0, 1, 1, 0, 1, 1, 1, 1, 0, 1, 1};
  t = {0, 2, 1, 0, 3, 2, 4, 5, 6, 4, 6, 7, 0, 1, 5, 0, 5, 4,
       1, 2, 6, 1, 6, 5, 2, 3, 7, 2, 7, 6, 3, 0, 4, 3, 4, 7};
}

TurbidDomainDescriptor cube_domain(uint64_t key) {
  TurbidDomainDescriptor d;
  d.domain_key = key;
  d.revisions = {1, 1, 1, 1, 1, 1, 1};
  unit_cube(d.vertices, d.triangles);
  TurbidComponent c;
  c.instance_id = 3;
  c.component_id = 4;
  c.medium_id = 5;
  c.geometry_id = 6;
  // Scaled by 2 and shifted: a placed component.
  c.object_to_world = {2, 0, 0, 1, 0, 2, 0, 0, 0, 0, 2, 0};
  c.bounds_min = {1, 0, 0};
  c.bounds_max = {3, 2, 2};
  c.leaf_area_density = 1.5f;
  c.leaf_length = c.leaf_width = 0.05f;
  c.leaf_angle = 1;
  c.property_ids = {1, 2, 3, 4};
  d.components.push_back(c);
  return d;
}

TEST(TurbidRelations, SynthesizedCubeValidatesAndDetectsFlippedFace) {
  const TurbidDomainDescriptor d = cube_domain(9);
  TurbidSceneRelations r = synthesize_relations({&d}, 1);
  ASSERT_EQ(r.parts.size(), 1u);
  EXPECT_NEAR(r.parts[0].volume, 8.0, 1e-12);
  check_relation_coverage(r, {&d});
  std::swap(r.triangles[1], r.triangles[2]);
  try {
    validate_scene_relations(r);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Turbid scene part is not a consistently oriented closed surface");
  }
}

TEST(TurbidSampling, DeterministicAcrossThreadsAndPrefixStable) {
  const TurbidDomainDescriptor d = cube_domain(9);
  TurbidSamplingConfig c;
  c.seed = 77;
  c.sample_budget = 300;
  c.num_threads = 1;
  const TurbidSamplePool a = sample_domain(d, c);
  c.num_threads = 3;
  const TurbidSamplePool b = sample_domain(d, c);
  c.sample_budget = 900;
  const TurbidSamplePool longer = sample_domain(d, c);
  ASSERT_EQ(a.samples.size(), 300u);
  for (size_t i = 0; i < a.samples.size(); ++i) {
    EXPECT_EQ(std::memcmp(&a.samples[i], &b.samples[i], sizeof(TurbidLeafAreaSample)), 0);
    EXPECT_EQ(a.samples[i].sample_id, longer.samples[i].sample_id);
    EXPECT_EQ(std::memcmp(a.samples[i].position, longer.samples[i].position, 12), 0);
  }
  // Weights share the leaf area density x volume = 1.5 x 8.
  double total = 0.0;
  for (const auto& s : longer.samples) total += s.weight;
  EXPECT_NEAR(total, 12.0, 1e-4);
}

TEST(TurbidRegistry, InjectedFailuresLeaveTheSnapshotAndReadersSeeWholeTables) {
  TurbidDomainStorage storage;
  TurbidCommitPlan plan = plan_domain_builds(storage, {{cube_domain(1), {}}}, std::nullopt);
  std::string armed;
  for (const char* stage : kCommitStages) {
    armed = stage;
    EXPECT_THROW(next_storage(storage, plan.changed, plan.removed, plan.relations, armed),
                 std::runtime_error);
    EXPECT_TRUE(armed.empty());
  }
  EXPECT_TRUE(storage.domains.empty());
  EXPECT_THROW(next_storage(storage, {}, {12345}, nullptr, armed), std::runtime_error);

  // Readers take snapshots while a writer publishes commits; every snapshot is consistent
  // (its commit count equals the number of domains it holds, as each commit adds one).
  std::atomic<std::shared_ptr<const TurbidDomainStorage>> published{
      std::make_shared<const TurbidDomainStorage>()};
  std::atomic<bool> done{false};
  std::atomic<int> inconsistent{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t) {
    readers.emplace_back([&] {
      while (!done.load()) {
        const auto s = published.load();
        if (s->counters.commit_count != s->domains.size()) ++inconsistent;
      }
    });
  }
  for (int i = 0; i < 40; ++i) {
    const auto current = published.load();
    TurbidDomainRecord record = plan.changed[0];
    record.domain_id = domain_ids().allocate();
    armed = (i % 3 == 0) ? "table_replace" : "";
    try {
      published.store(std::make_shared<const TurbidDomainStorage>(
          next_storage(*current, {record}, {}, nullptr, armed)));
    } catch (const std::runtime_error&) {
    }
  }
  done = true;
  for (auto& r : readers) r.join();
  EXPECT_EQ(inconsistent.load(), 0);
  EXPECT_EQ(published.load()->counters.commit_count, 26u);
}

TEST(TurbidRegistry, AFailingDeviceCopyCommitsNothingAndStagesNameTheirBackend) {
  embree::EmbreeSceneManager scene;
  const auto build = [&] {
    return plan_domain_builds(*scene.turbid_domains(), {{cube_domain(1), {}}}, std::nullopt);
  };
  TurbidCommitPlan plan = build();
  const auto before = scene.turbid_domains();
  // A device backend uploads its copy from the next snapshot before it is published; when the
  // upload fails the published snapshot is the old one.
  uint64_t seen_generation = 0;
  EXPECT_THROW(scene.commit_turbid_domains(plan.changed, plan.removed, plan.relations, "Vulkan",
                                           [&](const TurbidDomainStorage& next) {
                                             seen_generation =
                                                 next.domains.begin()->second.buffer_generation_id;
                                             throw std::runtime_error("device out of memory");
                                           }),
               std::runtime_error);
  EXPECT_EQ(scene.turbid_domains(), before);
  EXPECT_EQ(seen_generation, 1u);
  scene.fail_turbid_commit_if("table_stage");
  try {
    scene.commit_turbid_domains(plan.changed, plan.removed, plan.relations, "Vulkan");
    ADD_FAILURE() << "the armed stage did not fire";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Injected Vulkan Turbid commit failure: table_stage");
  }
  EXPECT_EQ(scene.turbid_domains(), before);
  bool prepared = false;
  scene.commit_turbid_domains(plan.changed, plan.removed, plan.relations, "Vulkan",
                              [&](const TurbidDomainStorage&) { prepared = true; });
  EXPECT_TRUE(prepared);
  EXPECT_EQ(scene.turbid_domains()->counters.commit_count, 1u);
  EXPECT_EQ(scene.turbid_domains()->domains.size(), 1u);
}

TEST(TurbidRegistry, IdentifierCounterStopsBeforeTheReservedValue) {
  IdentifierCounter counter(0xfffffffffffffffeULL);
  EXPECT_EQ(counter.allocate(), 0xfffffffffffffffeULL);
  EXPECT_THROW(counter.allocate(), std::overflow_error);
  EXPECT_THROW(counter.allocate(), std::overflow_error);
}

TEST(TurbidFieldOrientation, AVerticalNormalHasAzimuthBinZeroWhicheverWayItFaces) {
  for (const double x : {0.0, -0.0}) {
    for (const double y : {0.0, -0.0}) {
      EXPECT_EQ(orientation_bin(x, y, 1.0), 0);
      EXPECT_EQ(orientation_bin(x, y, -2.0), 0);
    }
  }
  // The same bins as the SIF source fields in the default 4 x 8 layout.
  for (const float3 n : {float3{0.3f, -0.7f, -0.5f}, float3{-0.9f, 0.1f, 0.2f}, float3{0, 0, -1}}) {
    EXPECT_EQ(orientation_bin(n.x, n.y, n.z), sif_orientation_bin(n.x, n.y, n.z, 4, 8));
  }
}

TEST(TurbidFieldValue, TransportLookupsTakeTheDeepestPopulatedBinAndNeverFallBack) {
  // One owner over the unit cube: a root and its child in octant 0 (x, y, z < 0.5).
  TurbidField f;
  f.owners.resize(1);
  f.owners[0].bounds_max = {1.0f, 1.0f, 1.0f};
  f.owner_cell_offsets = {0, 2};
  f.cells.resize(2);
  f.cells[0].children[0] = 1;
  f.cells[1].parent_index = 0;
  f.cells[1].depth = 1;
  // Leaf area w, sunlit fraction p, sunlit and shaded values.
  auto fill = [](TurbidFieldBin& b, double w, double p, double lit, double shade) {
    b.weight += w;
    b.sunlit_weight += w * p;
    b.sunlit_sum += w * p * lit;
    b.shaded_sum += w * (1.0 - p) * shade;
  };
  fill(f.cells[0].bins[3], 4.0, 0.25, 310.0, 290.0);
  fill(f.cells[0].bins[3], 1.0, 1.0, 320.0, 0.0);
  fill(f.cells[0].bins[5], 1.0, 0.0, 0.0, 280.0);
  fill(f.cells[1].bins[3], 1.0, 1.0, 320.0, 0.0);
  const double inside[3] = {0.2, 0.2, 0.2}, outside[3] = {0.8, 0.2, 0.2};
  EXPECT_EQ(owner_leaf_cell(f, 0, inside), 1);
  EXPECT_EQ(owner_leaf_cell(f, 0, outside), 0);
  EXPECT_EQ(transport_lookup_cell(f, 0, inside, 3), 1);
  EXPECT_EQ(transport_lookup_cell(f, 0, inside, 5), 0);  // the child lacks bin 5: the root's
  EXPECT_EQ(transport_lookup_cell(f, 0, outside, 3), 0);
  // The root's bin 3: sunlit area 1 + 1, shaded 3; means by condition.
  const TurbidSourceSplit root = source_split(f.cells[0].bins[3]);
  EXPECT_DOUBLE_EQ(root.sunlit_fraction, 2.0 / 5.0);
  EXPECT_DOUBLE_EQ(root.sunlit_mean, (310.0 + 320.0) / 2.0);
  EXPECT_DOUBLE_EQ(root.shaded_mean, 290.0);
  const TurbidSourceSplit shaded = source_split(f.cells[0].bins[5]);
  EXPECT_EQ(shaded.sunlit_fraction, 0.0);
  EXPECT_EQ(shaded.sunlit_mean, 0.0);
  EXPECT_EQ(shaded.shaded_mean, 280.0);
  // No cell holds bin 7: no other orientation stands in for it.
  auto message = [&](int bin) {
    try {
      transport_lookup_cell(f, 0, inside, bin);
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  EXPECT_EQ(message(7), "Turbid spectral field has no populated orientation");
  f.cells[0].bins = {};
  f.cells[1].bins = {};
  EXPECT_EQ(message(3), "Turbid field lookup has no populated spatial/orientation ancestor");
}

// A resident domain of two owners, (11, 4) with samples of leaf area 1 and 3 and (12, 4) with
// 2 and 2, and a state in which temperature is 300 + sample index (sunlit) or 290 (shaded).
struct GroupedState {
  TurbidDomainStorage storage;
  TurbidStateToken token;

  GroupedState() {
    auto pool = std::make_shared<TurbidSamplePool>();
    const float weights[4] = {1.0f, 3.0f, 2.0f, 2.0f};
    for (int o = 0; o < 2; ++o) {
      TurbidSampleOwner owner;
      owner.instance_id = 11 + o;
      owner.component_id = 4;
      pool->owners.push_back(owner);
    }
    pool->owner_offsets = {0, 2, 4};
    for (int i = 0; i < 4; ++i) {
      TurbidLeafAreaSample smp;
      smp.sample_id = 100 + i;
      smp.weight = weights[i];
      smp.instance_id = i < 2 ? 11 : 12;
      smp.component_id = 4;
      pool->samples.push_back(smp);
    }
    TurbidDomainRecord& d = storage.domains[1];
    d.domain_id = 1;
    d.revisions = TurbidRevisions{1, 1, 1, 1, 1, 1, 1};
    d.pool = pool;
    auto state = std::make_shared<OwnedTurbidState>();
    state->token = token = fresh_token(d, 1, TurbidStage::Generic);
    const int t = state_field_index("temperature");
    for (int i = 0; i < 4; ++i) {
      state->sample_ids.push_back(100 + i);
      state->p_sun.push_back(0.5f);
      state->sunlit.emplace_back();
      state->shaded.emplace_back();
      state->sunlit.back().values[t] = 300.0f + i;
      state->shaded.back().values[t] = 290.0f;
    }
    storage.states[token.state_id] = state;
  }
  // The aggregation over `g`, or the message it fails with.
  std::string failure(const TurbidAggregationGroups& g) const {
    try {
      aggregate_state(storage, token, {"temperature"}, g, "components", std::nullopt);
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  }
};

TEST(TurbidAggregation, GivenGroupsAreCheckedAgainstThePoolAndItsLeafAreas) {
  const GroupedState s;
  const TurbidAggregationGroups good = pool_groups(*s.storage.domains.at(1).pool);
  ASSERT_EQ(good.weights, (std::vector<double>{0.25, 0.75, 0.5, 0.5}));
  // Both groups reversed and regrouped by hand give the same moments as the pool's groups.
  TurbidAggregationGroups swapped;
  swapped.ids = {{12, 4}, {11, 4}};
  swapped.offsets = {0, 2, 4};
  swapped.samples = {3, 2, 1, 0};
  swapped.weights = {0.5, 0.5, 0.75, 0.25};
  const TurbidAggregation a =
      aggregate_state(s.storage, s.token, {"temperature"}, swapped, "components", std::nullopt);
  ASSERT_EQ(a.groups.size(), 2u);
  EXPECT_EQ(a.groups[1].instance_id, 11u);
  EXPECT_DOUBLE_EQ(a.groups[1].leaf_area, 4.0);
  // Sunlit mean of owner 11: 0.25 * 300 + 0.75 * 301; the mean halves with the shaded 290.
  EXPECT_DOUBLE_EQ(a.groups[1].fields[0].sunlit_mean, 300.75);
  EXPECT_DOUBLE_EQ(a.groups[1].fields[0].mean, 0.5 * 300.75 + 0.5 * 290.0);
  EXPECT_DOUBLE_EQ(a.groups[0].fields[0].sunlit_mean, 302.5);

  auto with = [&](auto change) {
    TurbidAggregationGroups g = good;
    change(g);
    return s.failure(g);
  };
  EXPECT_EQ(with([](auto& g) { g = {}; }), "Turbid aggregation requires source samples and groups");
  EXPECT_EQ(with([](auto& g) {
              g.ids[1] = {11, 4};
            }),
            "duplicate Turbid instance-component aggregation group");
  EXPECT_EQ(with([](auto& g) { g.ids[0][0] = kReservedId; }),
            "Turbid aggregation group stable identifiers are missing");
  EXPECT_EQ(with([](auto& g) { g.samples[3] = 4; }),
            "Turbid aggregation sample index is out of range");
  EXPECT_EQ(with([](auto& g) { g.samples[3] = 2; }),
            "Turbid aggregation sample index is duplicated");
  EXPECT_EQ(with([](auto& g) {
              g.offsets = {0, 2, 3};
              g.samples.pop_back();
              g.weights = {0.25, 0.75, 1.0};
            }),
            "Turbid aggregation must assign every source sample exactly once");
  EXPECT_EQ(with([](auto& g) { std::swap(g.samples[1], g.samples[2]); }),
            "Turbid aggregation group does not match authoritative sample owner");
  EXPECT_EQ(with([](auto& g) { g.weights[0] = std::nan(""); }),
            "normalized leaf-area weights contains a non-finite value");
  EXPECT_EQ(with([](auto& g) {
              g.weights = {-0.25, 1.25, 0.5, 0.5};
            }),
            "Turbid aggregation weight cannot be negative");
  EXPECT_EQ(with([](auto& g) { g.weights[0] = 0.3; }),
            "Turbid aggregation leaf-area weights must be normalized");
  // Normalised but not the leaf areas' shares.
  EXPECT_EQ(with([](auto& g) {
              g.weights = {0.5, 0.5, 0.5, 0.5};
            }),
            "Turbid aggregation leaf-area weights do not match authoritative samples");
  // A sum of 1 + 2^-21 passes normalisation but is farther from the share than float rounding;
  // one float step is within it.
  EXPECT_EQ(with([](auto& g) { g.weights[1] += std::ldexp(1.0, -21); }),
            "Turbid aggregation leaf-area weights do not match authoritative samples");
  EXPECT_EQ(with([](auto& g) { g.weights[1] = std::nextafter(0.75f, 1.0f); }), "");
}

}  // namespace
}  // namespace tesk::turbid
