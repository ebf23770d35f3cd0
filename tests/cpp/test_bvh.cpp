#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/bvh.h"
#include "core/host/bvh_builder.h"
#include "core/host/mesh_generators.h"
#include "core/transport_constants.h"
#include "embree/bvh_export.h"
#include "embree/scene_manager.h"

namespace tesk::bvh {
namespace {

using embree::EmbreeSceneManager;

// Row-major 3x4 transform: rotation about z by `angle`, a shear-free anisotropic scale and a
// translation, so that instance mapping of directions and normals is exercised.
std::vector<float> placement(float angle, float sx, float sy, float sz, float3 t) {
  const float c = std::cos(angle), s = std::sin(angle);
  return {c * sx, -s * sy, 0.0f, t.x, s * sx, c * sy, 0.0f, t.y, 0.0f, 0.0f, sz, t.z};
}

// A random triangle soup in the unit cube: many overlapping, thin and tiny triangles.
int add_soup(EmbreeSceneManager& s, std::mt19937& rng, int n, int material) {
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  std::vector<float3> v;
  std::vector<int3> t;
  for (int i = 0; i < n; ++i) {
    const float3 c{u(rng), u(rng), u(rng)};
    const float size = 0.02f + 0.15f * u(rng);
    for (int k = 0; k < 3; ++k) {
      v.push_back(c + float3{u(rng) - 0.5f, u(rng) - 0.5f, u(rng) - 0.5f} * size);
    }
    t.push_back({3 * i, 3 * i + 1, 3 * i + 2});
  }
  return s.add_mesh(v, {}, t, material);
}

// Forest-like scene: a ground plane, spheres with shading normals and soup crowns placed by
// rotated, scaled instances.
void make_scene(EmbreeSceneManager& s) {
  std::mt19937 rng(7);
  const GeneratedMesh ground = make_ground_plane(20.0f, 20.0f, 2.0f);
  const int g = s.add_mesh(ground.vertices, ground.normals, ground.indices, 0);
  const GeneratedMesh ball = make_sphere(1.0f, {0.0f, 0.0f, 0.0f}, 3);
  const int b = s.add_mesh(ball.vertices, ball.normals, ball.indices, 1);
  const int soup = add_soup(s, rng, 3000, 2);
  s.add_instance(g, 0.0f, 0.0f, 0.0f, 1.0f);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  for (int i = 0; i < 40; ++i) {
    const float3 at{-18.0f + 36.0f * u(rng), -18.0f + 36.0f * u(rng), 0.5f + 3.0f * u(rng)};
    const std::vector<float> m =
        placement(6.28f * u(rng), 1.0f + 2.0f * u(rng), 1.0f + u(rng), 2.0f + u(rng), at);
    s.add_instance(i % 2 == 0 ? soup : b, m.data());
  }
  s.build();
}

struct RayCase {
  float3 o, d;
};

std::vector<RayCase> random_rays(int n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<RayCase> rays;
  for (int i = 0; i < n; ++i) {
    const float3 o{22.0f * u(rng), 22.0f * u(rng), 3.0f + 4.0f * u(rng)};
    float3 d{u(rng), u(rng), u(rng)};
    d = d * (0.3f + std::fabs(u(rng)));  // non-unit directions
    rays.push_back({o, d});
  }
  return rays;
}

// Coherent batch: an orthographic camera looking down at a slant, plus axis-parallel rays. The
// grid is offset from the ground mesh's vertex lattice: rays through a shared edge exactly may
// leak through Embree's triangle test, whereas ours counts the edge in both triangles.
std::vector<RayCase> coherent_rays(int side) {
  std::vector<RayCase> rays;
  const float3 d = normalize(float3{0.2f, -0.1f, -1.0f});
  for (int j = 0; j < side; ++j) {
    for (int i = 0; i < side; ++i) {
      const float x = -20.0f + 40.0f * (i + 0.437f) / side;
      const float y = -20.0f + 40.0f * (j + 0.611f) / side;
      rays.push_back({{x, y, 10.0f}, d});
      rays.push_back({{x, y, 1.5f}, {1.0f, 0.0f, 0.0f}});
    }
  }
  return rays;
}

// Every ray: same hit flag, t within float tolerance, and the same primitive unless two
// surfaces lie at the same distance (shared edges, coplanar overlaps in the soup). The t
// tolerance covers grazing hits on thin soup triangles seen through scaled instances, where
// both tracers lose a few more bits than for frontal hits.
void expect_parity(const EmbreeSceneManager& s, const BvhSceneView& view,
                   const std::vector<RayCase>& rays, float t_min) {
  int hits = 0, mismatched = 0;
  for (const RayCase& r : rays) {
    const embree::HitRecord e = s.trace_ray(r.o, r.d, t_min, 1e30f);
    const TraceResult b = trace_closest_ray(view, r.o, r.d, t_min, 1e30f);
    const bool ok = e.hit == (b.hit != 0) &&
                    (!e.hit || (std::fabs(e.t - b.t) <= 1e-4f * std::fmax(1.0f, e.t) &&
                                (e.global_primitive_id == b.global_primitive_id ||
                                 std::fabs(e.t - b.t) <= 1e-5f * std::fmax(1.0f, e.t))));
    if (!ok) {
      ++mismatched;
      ADD_FAILURE() << "ray (" << r.o.x << "," << r.o.y << "," << r.o.z << ") dir (" << r.d.x << ","
                    << r.d.y << "," << r.d.z << "): embree hit " << e.hit << " t " << e.t
                    << " prim " << e.global_primitive_id << "; bvh hit " << b.hit << " t " << b.t
                    << " prim " << b.global_primitive_id;
      if (mismatched > 5) return;
      continue;
    }
    if (!e.hit) continue;
    ++hits;
    if (e.global_primitive_id != b.global_primitive_id) continue;
    EXPECT_EQ(e.instance_id, b.instance_id);
    EXPECT_EQ(e.primitive_id, b.primitive_id);
    EXPECT_EQ(e.material_id, b.material_id);
    EXPECT_EQ(e.is_back_face, b.is_back_face != 0);
    EXPECT_LT(length(e.geometric_normal - b.geometric_normal), 1e-4f);
    EXPECT_LT(length(e.normal - b.normal), 1e-3f);
  }
  EXPECT_GT(hits, static_cast<int>(rays.size()) / 4);  // the batch really exercises hits
}

TEST(BvhTraversal, ClosestHitMatchesEmbreeOnRandomAndCoherentBatches) {
  EmbreeSceneManager s;
  make_scene(s);
  const BvhScene bvh = embree::build_bvh_scene(s);
  expect_parity(s, bvh.view(), random_rays(40000, 3), 1e-4f);
  expect_parity(s, bvh.view(), coherent_rays(120), 0.0f);
}

// A tilted square (plane z = 0.5 x + 0.3 y, vertex normals along its object normal) placed by a
// sheared, stretched transform and by its mirror image. The world normals of both tracers must be
// perpendicular to the placed square's edges, face the ray, and keep the object's front face.
TEST(BvhTraversal, ShearedAndStretchedInstancesReportNormalsPerpendicularToTheirSurface) {
  const float3 n_obj = normalize({-0.5f, -0.3f, 1.0f});
  const std::vector<float3> quad{{0, 0, 0}, {1, 0, 0.5f}, {1, 1, 0.8f}, {0, 1, 0.3f}};
  const float sheared[12] = {2.0f, 0.7f,  0.0f, 1.0f, 0.0f, 0.5f,
                             0.4f, -2.0f, 0.3f, 0.0f, 1.5f, 0.5f};
  float mirrored[12];
  std::copy(sheared, sheared + 12, mirrored);
  for (int k = 0; k < 4; ++k) mirrored[k] = -mirrored[k];
  for (const float* xf :
       {static_cast<const float*>(sheared), static_cast<const float*>(mirrored)}) {
    EmbreeSceneManager s;
    s.add_instance(s.add_mesh(quad, {n_obj, n_obj, n_obj, n_obj}, {{0, 1, 2}, {0, 2, 3}}, 0), xf);
    s.build();
    const BvhScene bvh = embree::build_bvh_scene(s);
    const float3 e1 = transform_vector(xf, quad[1] - quad[0]);
    const float3 e2 = transform_vector(xf, quad[3] - quad[0]);
    for (const float3 p : {float3{0.3f, 0.2f, 0.21f}, float3{0.8f, 0.6f, 0.58f}}) {
      const float3 target = transform_point(xf, p);
      for (const float side : {1.0f, -1.0f}) {
        // Start on the object's front (side 1) or back side, off the normal so the ray is oblique.
        const float3 o = transform_point(xf, p + side * 0.4f * n_obj + float3{0.1f, -0.2f, 0.0f});
        const float3 d = target - o;
        const embree::HitRecord e = s.trace_ray(o, d, 0, 10);
        const TraceResult b = trace_closest_ray(bvh.view(), o, d, 0, 10);
        ASSERT_TRUE(e.hit);
        ASSERT_EQ(b.hit, 1);
        for (const float3 n : {e.geometric_normal, e.normal, b.geometric_normal, b.normal}) {
          EXPECT_NEAR(dot(n, e1) / length(e1), 0.0f, 2e-6f);
          EXPECT_NEAR(dot(n, e2) / length(e2), 0.0f, 2e-6f);
          EXPECT_NEAR(length(n), 1.0f, 1e-6f);
          EXPECT_LT(dot(n, d), 0.0f);
        }
        EXPECT_EQ(e.is_back_face, side < 0.0f);
        EXPECT_EQ(b.is_back_face, side < 0.0f ? 1 : 0);
      }
    }
  }
}

TEST(BvhTraversal, OcclusionMatchesEmbreeShadowRays) {
  EmbreeSceneManager s;
  make_scene(s);
  const BvhScene bvh = embree::build_bvh_scene(s);
  int blocked = 0, differing = 0;
  const std::vector<RayCase> rays = random_rays(20000, 11);
  for (size_t i = 0; i < rays.size(); ++i) {
    const float t_max = 0.5f + 20.0f * static_cast<float>(i % 97) / 97.0f;
    const bool e = s.trace_shadow(rays[i].o, rays[i].d, t_max);
    const bool b = occluded(bvh.view(), rays[i].o, rays[i].d, transport::kRayTMin, t_max);
    blocked += e ? 1 : 0;
    // A hit exactly at t_max may fall on either side of the bound in either tracer.
    if (e != b) {
      const embree::HitRecord h = s.trace_ray(rays[i].o, rays[i].d, transport::kRayTMin, 1e30f);
      if (!(h.hit && std::fabs(h.t - t_max) <= 1e-5f * t_max)) ++differing;
    }
  }
  EXPECT_EQ(differing, 0);
  EXPECT_GT(blocked, 1000);
}

TEST(BvhTraversal, RefitFollowsMovedInstancesAndEmptySceneMisses) {
  EmbreeSceneManager s;
  make_scene(s);
  BvhScene bvh = embree::build_bvh_scene(s);
  const std::vector<float> moved = placement(0.7f, 2.0f, 1.0f, 3.0f, {5.0f, -4.0f, 6.0f});
  s.update_instance_transform(3, moved.data());
  s.refit_ias();
  std::vector<BvhMeshInput> meshes;
  std::vector<BvhInstanceInput> instances;
  embree::bvh_inputs(s, meshes, instances);
  bvh.refit(instances);
  expect_parity(s, bvh.view(), coherent_rays(80), 0.0f);

  BvhScene empty;
  empty.build({}, {});
  EXPECT_EQ(trace_closest_ray(empty.view(), {0, 0, 1}, {0, 0, -1}, 0.0f, 5.0f).hit, 0);
  EXPECT_EQ(trace_closest_ray(empty.view(), {0, 0, 1}, {0, 0, -1}, 0.0f, 5.0f).t, 5.0f);
}

TEST(BvhBuilder, LeavesListEveryItemOnceInsideTheirBoxesAndDepthIsBounded) {
  // Half the items share one centroid (no split separates them), half are spread out.
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> u(0.0f, 100.0f);
  std::vector<ItemBox> boxes;
  for (int i = 0; i < 5000; ++i) {
    const float3 c = i % 2 == 0 ? float3{1, 1, 1} : float3{u(rng), u(rng), u(rng)};
    boxes.push_back({c - float3{0.1f, 0.1f, 0.1f}, c + float3{0.1f, 0.2f, 0.3f}});
  }
  std::vector<int32_t> order;
  const std::vector<BvhNode> nodes = build_hierarchy(boxes, order);
  std::vector<int> seen(boxes.size(), 0);
  // Walk the tree, checking child boxes lie inside their parent's and leaf items inside leaves.
  struct Entry {
    int32_t node;
    int depth;
  };
  std::vector<Entry> stack{{0, 0}};
  int max_depth = 0;
  while (!stack.empty()) {
    const Entry e = stack.back();
    stack.pop_back();
    const BvhNode& n = nodes[e.node];
    max_depth = std::max(max_depth, e.depth);
    if (n.count > 0) {
      for (int32_t k = n.first; k < n.first + n.count; ++k) {
        const ItemBox& b = boxes[order[k]];
        ++seen[order[k]];
        EXPECT_TRUE(b.lo.x >= n.lo[0] && b.hi.x <= n.hi[0] && b.lo.z >= n.lo[2] &&
                    b.hi.z <= n.hi[2]);
      }
      continue;
    }
    for (int32_t c : {n.first, n.first + 1}) {
      for (int a = 0; a < 3; ++a) {
        EXPECT_GE(nodes[c].lo[a], n.lo[a]);
        EXPECT_LE(nodes[c].hi[a], n.hi[a]);
      }
      stack.push_back({c, e.depth + 1});
    }
  }
  for (int count : seen) ASSERT_EQ(count, 1);
  EXPECT_LT(max_depth, kMaxBvhDepth);
}

}  // namespace
}  // namespace tesk::bvh
