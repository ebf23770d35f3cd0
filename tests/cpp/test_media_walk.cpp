// The media walker of core/media_walk.h over the host copy of the device hierarchy against the
// same walker through Embree, and both against Beer's law through a slab of leaf medium.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/bvh_tracer.h"
#include "core/media_walk.h"
#include "embree/bvh_export.h"
#include "embree/media_walk.h"

namespace tesk::embree {
namespace {

constexpr float kTile = 4.0f;

// Closed axis-aligned box [lo, hi] with outward-facing (counter-clockwise) triangles.
int add_box(EmbreeSceneManager& s, float3 lo, float3 hi, int material) {
  std::vector<float3> v;
  for (int i = 0; i < 8; ++i) {
    v.push_back({(i & 1) ? hi.x : lo.x, (i & 2) ? hi.y : lo.y, (i & 4) ? hi.z : lo.z});
  }
  const std::vector<int3> t = {{0, 2, 1}, {1, 2, 3}, {4, 5, 6}, {5, 7, 6}, {0, 1, 4}, {1, 5, 4},
                               {2, 6, 3}, {3, 6, 7}, {0, 4, 2}, {2, 4, 6}, {1, 3, 5}, {3, 7, 5}};
  return s.add_mesh(v, {}, t, material);
}

// A periodic tile: a ground, a slab of medium 0 spanning the tile between z = 0.5 and 1.5, an
// opaque block inside the slab, and a denser box of medium 1 straddling the x = 0 wall (with
// its copy on the other side), overlapping the slab.
void media_tile(EmbreeSceneManager& s) {
  s.description().add_material(MaterialType::DiffuseTransmitting, 0, {});  // medium 0
  s.description().add_material(MaterialType::DiffuseTransmitting, 0, {});  // medium 1
  s.description().add_material(MaterialType::Diffuse, 0, {});              // opaque
  s.add_instance(s.add_mesh({{0, 0, 0}, {kTile, 0, 0}, {kTile, kTile, 0}, {0, kTile, 0}}, {},
                            {{0, 1, 2}, {0, 2, 3}}, 2),
                 0, 0, 0, 1);
  s.add_instance(add_box(s, {0, 0, 0.5f}, {kTile, kTile, 1.5f}, 0), 0, 0, 0, 1);
  s.add_instance(add_box(s, {2.5f, 2.5f, 0.8f}, {3.0f, 3.0f, 1.2f}, 2), 0, 0, 0, 1);
  const int dense = add_box(s, {-0.6f, 1.0f, 1.0f}, {0.6f, 2.0f, 2.2f}, 1);
  s.add_instance(dense, 0, 0, 0, 1);
  s.add_instance(dense, kTile, 0, 0, 1);
  s.set_optical_turbid_media({1.2f, 2.5f}, {0, 1}, {1, 1}, {0, 0}, {0, 1, -1});
  s.description().set_repetitive(3, kTile, kTile);
  s.build();
}

template <class Tracer>
MediaWalk<Tracer> walk_of(const EmbreeSceneManager& s, const Tracer& tracer) {
  MediaWalk<Tracer> w;
  w.tracer = tracer;
  w.media = media_view(s);
  w.tiles = tile_view(s);
  w.bounds = s.bounds();
  return w;
}

// What one straight path records: its events and the media around it after each.
struct PathRecord {
  std::vector<MediumTraceEvent> events;
  std::vector<ActiveMediumSet> sets;
  double transmittance = 0.0;
};

// A straight path from `o` along `d` as the workflows walk it: containment, steps that cross
// boundaries and walls until a surface, an interaction or an escape, and the transmittance
// from the start along `d`.
template <class Tracer>
PathRecord walk_path(const MediaWalk<Tracer>& w, float3 o, float3 d, uint64_t seed) {
  PathRecord r;
  Pcg32 stream;
  stream.seed(seed, 7);
  PathMedia path;
  path.set = w.containment(o, d);
  int64_t queries = 0;
  r.transmittance = w.transmittance(o, d, path.set, 0, queries);
  int crossings = 0;
  for (int k = 0; k < 64; ++k) {
    const MediumTraceEvent ev = w.step(o, d, nullptr, path.set, crossings, stream);
    r.events.push_back(ev);
    if (ev.kind == MediumEventKind::TileCrossing) {
      o = w.wrap_path(o, d, ev.exit, path, queries);
      ++crossings;
    } else if (ev.kind == MediumEventKind::MediumBoundary) {
      cross_medium_boundary(w.media, path, ev.medium_id, ev.instance_id, ev.hit.is_back_face);
      o = offset_ray_origin(ev.hit.position, ev.hit.geometric_normal, d);
    } else {
      break;
    }
    r.sets.push_back(path.set);
  }
  return r;
}

bool same_set(const ActiveMediumSet& a, const ActiveMediumSet& b) {
  if (a.count != b.count) return false;
  for (int i = 0; i < a.count; ++i) {
    if (a.medium_ids[i] != b.medium_ids[i] || a.instance_ids[i] != b.instance_ids[i]) return false;
  }
  return true;
}

TEST(MediaWalkOverBvh, EventsAndTransmittancesMatchEmbree) {
  EmbreeSceneManager s;
  media_tile(s);
  const bvh::BvhScene hierarchy = build_bvh_scene(s);
  const MediaWalk<EmbreeTracer> cpu = walk_of(s, EmbreeTracer{&s});
  const MediaWalk<bvh::BvhTracer> dev = walk_of(s, bvh::BvhTracer{hierarchy.view()});
  Pcg32 rng;
  rng.seed(11, 3);
  const int n = 2000;
  int differing = 0, events = 0, inside = 0, crossings = 0, interactions = 0;
  for (int i = 0; i < n; ++i) {
    const float3 o{kTile * rng.uniform(), kTile * rng.uniform(), 0.1f + 2.3f * rng.uniform()};
    const float z = 2.0f * rng.uniform() - 1.0f, phi = 6.2831853f * rng.uniform();
    const float r = std::sqrt(1.0f - z * z);
    const float3 d{r * std::cos(phi), r * std::sin(phi), z};
    const PathRecord a = walk_path(cpu, o, d, i);
    const PathRecord b = walk_path(dev, o, d, i);
    inside += cpu.containment(o, d).count > 0;
    // The two hierarchies may differ in the last bits of a hit, which can flip a grazing event:
    // such paths are counted, every other path must agree event by event.
    bool same = a.events.size() == b.events.size() && a.sets.size() == b.sets.size();
    for (size_t k = 0; same && k < a.events.size(); ++k) {
      const MediumTraceEvent &x = a.events[k], &y = b.events[k];
      same = x.kind == y.kind && x.medium_id == y.medium_id && x.instance_id == y.instance_id &&
             std::fabs(x.distance - y.distance) <= 1e-4f * (1.0f + std::fabs(x.distance));
      crossings += x.kind == MediumEventKind::TileCrossing;
      interactions += x.kind == MediumEventKind::Interaction;
    }
    for (size_t k = 0; same && k < a.sets.size(); ++k) same = same_set(a.sets[k], b.sets[k]);
    same = same && std::fabs(a.transmittance - b.transmittance) <= 1e-4 * (1e-6 + a.transmittance);
    differing += !same;
    events += static_cast<int>(a.events.size());
  }
  // The scene exercises every kind of event and both media.
  EXPECT_GT(inside, n / 5);
  EXPECT_GT(crossings, n / 20);
  EXPECT_GT(interactions, n / 10);
  EXPECT_GT(events, 2 * n);
  EXPECT_LE(differing, n / 200);
}

TEST(MediaWalkOverBvh, SlabTransmittanceIsBeersLaw) {
  // A periodic slab of spherical leaves (G = 1/2) of density L and thickness D over nothing:
  // from below, the transmittance along a direction of cosine mu is exp(-G L D / mu), whichever
  // tile walls the walk crosses; sampled free paths straight up leave the slab unscattered with
  // that probability. The walk skips kBoundaryStep past each boundary and wall (a few of them
  // on the way, about 2e-4 of the optical depth each), hence the 1e-3 relative tolerance.
  constexpr float kL = 1.6f, kD = 1.0f;
  EmbreeSceneManager s;
  s.description().add_material(MaterialType::DiffuseTransmitting, 0, {});
  s.add_instance(add_box(s, {0, 0, 0.5f}, {kTile, kTile, 0.5f + kD}, 0), 0, 0, 0, 1);
  s.set_optical_turbid_media({kL}, {0}, {1}, {0}, {0});
  s.description().set_repetitive(100, kTile, kTile);
  s.build();
  const bvh::BvhScene hierarchy = build_bvh_scene(s);
  const MediaWalk<EmbreeTracer> cpu = walk_of(s, EmbreeTracer{&s});
  const MediaWalk<bvh::BvhTracer> dev = walk_of(s, bvh::BvhTracer{hierarchy.view()});
  for (float mu : {1.0f, 0.8f, 0.5f, 0.3f}) {
    const float sin_t = std::sqrt(1.0f - mu * mu);
    const float3 v{0.6f * sin_t, 0.8f * sin_t, mu};
    const double expected = std::exp(-0.5 * kL * kD / mu);
    for (float3 o : {float3{1.0f, 2.0f, 0.2f}, float3{3.9f, 3.7f, 0.3f}}) {
      int64_t queries = 0;
      EXPECT_NEAR(cpu.transmittance(o, v, {}, 0, queries), expected, 1e-3 * expected) << mu;
      EXPECT_NEAR(dev.transmittance(o, v, {}, 0, queries), expected, 1e-3 * expected) << mu;
      // From inside the slab, half way up, along the same direction.
      const float3 mid{o.x, o.y, 0.5f + 0.5f * kD};
      const ActiveMediumSet in = cpu.containment(mid, v);
      ASSERT_EQ(in.count, 1);
      EXPECT_NEAR(dev.transmittance(mid, v, in, 0, queries), std::sqrt(expected),
                  1e-3 * std::sqrt(expected));
    }
  }
  const int n = 20000;
  const double p = std::exp(-0.5 * kL * kD);
  for (const bool device : {false, true}) {
    Pcg32 stream;
    stream.seed(5, 9);
    const float3 o{1.3f, 2.1f, 0.5f + 1e-3f}, up{0, 0, 1};
    const ActiveMediumSet in = cpu.containment(o, up);
    ASSERT_EQ(in.count, 1);
    int through = 0;
    for (int i = 0; i < n; ++i) {
      const MediumTraceEvent ev = device ? dev.step(o, up, nullptr, in, 0, stream)
                                         : cpu.step(o, up, nullptr, in, 0, stream);
      through += ev.kind == MediumEventKind::MediumBoundary;
    }
    EXPECT_NEAR(through / double(n), p, 4.0 * std::sqrt(p * (1.0 - p) / n)) << device;
  }
}

}  // namespace
}  // namespace tesk::embree
