#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/host/mesh_generators.h"
#include "embree/scene_manager.h"

namespace tesk::embree {
namespace {

const float kIdentity[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};

// Unit square in z = 0 made of two counter-clockwise triangles (normal +z).
int add_square(EmbreeSceneManager& s, int material = 0) {
  return s.add_mesh({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {}, {{0, 1, 2}, {0, 2, 3}},
                    material);
}

template <typename E, typename F>
void expect_message(F&& f, const std::string& message) {
  try {
    f();
    FAIL() << "expected: " << message;
  } catch (const E& e) {
    EXPECT_EQ(std::string(e.what()), message);
  }
}

TEST(EmbreeSceneManager, MeshChecksStoreNothing) {
  EmbreeSceneManager s;
  expect_message<std::invalid_argument>(
      [&] {
        s.add_mesh({}, {}, {{0, 0, 0}}, 0);
      },
      "mesh must contain at least one vertex");
  expect_message<std::invalid_argument>(
      [&] {
        s.add_mesh({{0, 0, 0}}, {}, {}, 0);
      },
      "mesh must contain at least one triangle");
  expect_message<std::invalid_argument>(
      [&] {
        s.add_mesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 0, 1}}, {{0, 1, 2}}, 0);
      },
      "mesh normals must be empty or have one entry per vertex");
  expect_message<std::invalid_argument>(
      [&] {
        s.add_mesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {}, {{0, 1, 3}}, 0);
      },
      "mesh triangle 0 references a vertex outside the vertex buffer");
  expect_message<std::invalid_argument>(
      [&] {
        s.add_mesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {}, {{0, 1, 2}, {0, -1, 2}}, 0);
      },
      "mesh triangle 1 references a vertex outside the vertex buffer");
  EXPECT_EQ(s.num_meshes(), 0);
}

TEST(EmbreeSceneManager, InstanceChecks) {
  EmbreeSceneManager s;
  for (int i = 0; i < 3; ++i) add_square(s);
  // The range check comes before the null check.
  expect_message<std::out_of_range>([&] { s.add_instance(5, nullptr); },
                                    "instance mesh id 5 is outside [0, 3)");
  expect_message<std::out_of_range>([&] { s.add_instances_xform(-1, kIdentity, 1); },
                                    "instance mesh id -1 is outside [0, 3)");
  expect_message<std::invalid_argument>([&] { s.add_instance(0, nullptr); },
                                        "instance transform must not be null");
  expect_message<std::invalid_argument>([&] { s.add_instances_xform(0, nullptr, 2); },
                                        "instance transforms must not be null");
  EXPECT_EQ(s.add_instances_xform(7, nullptr, 0), 0);
  EXPECT_EQ(s.num_instances(), 0);
  expect_message<std::runtime_error>([&] { s.update_instance_transform(0, kIdentity); },
                                     "update_instance_transform: id out of range");
}

TEST(EmbreeSceneManager, PrimitiveCountBeyondInt32IsAnOverflow) {
  EmbreeSceneManager s;
  // One mesh of a million (degenerate) triangles; 3000 instances would need 3e9 indices.
  const int mesh = s.add_mesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {},
                              std::vector<int3>(1000000, int3{0, 1, 2}), 0);
  std::vector<float> xforms(12 * 3000);
  for (size_t i = 0; i < 3000; ++i) std::memcpy(&xforms[12 * i], kIdentity, sizeof(kIdentity));
  EXPECT_EQ(s.add_instances_xform(mesh, xforms.data(), 2000), 0);
  EXPECT_THROW(s.add_instances_xform(mesh, xforms.data(), 1000), std::overflow_error);
  EXPECT_EQ(s.num_instances(), 2000);
  EXPECT_EQ(s.n_primitives(), 2000000000);
}

TEST(EmbreeSceneManager, GlobalPrimitiveNumbering) {
  EmbreeSceneManager s;
  const int two = add_square(s, 4);
  const int three = s.add_mesh({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {2, 2, 0}}, {},
                               {{0, 1, 2}, {0, 2, 3}, {2, 4, 3}}, 6);
  s.add_instance(two, 0, 0, 0, 1);
  s.add_instance(two, 5, 0, 0, 2);
  s.add_instance(three, 0, 5, 0, 1);
  EXPECT_EQ(s.instance_primitive_offsets(), (std::vector<int>{0, 2, 4, 7}));
  EXPECT_EQ(s.instance_triangle_counts(), (std::vector<int>{2, 2, 3}));
  EXPECT_EQ(s.n_primitives(), 7);
  EXPECT_EQ(s.total_triangles(), 5);

  const auto prims = s.primitive_geometry();
  ASSERT_EQ(prims.size(), 7u);
  EXPECT_FLOAT_EQ(prims[2].area, 2.0f);  // scale 2 quadruples the area of a half square
  EXPECT_FLOAT_EQ(prims[2].vertex1.x, 7.0f);
  EXPECT_EQ(prims[3].instance_id, 1);
  EXPECT_EQ(prims[3].primitive_id, 1);
  EXPECT_EQ(prims[6].material_id, 6);
  EXPECT_FLOAT_EQ(prims[6].normal.z, 1.0f);
  EXPECT_EQ(s.primitive_material_ids(), (std::vector<int32_t>{4, 4, 4, 4, 6, 6, 6}));

  s.build();
  const HitRecord h = s.trace_ray({6.5f, 0.5f, 1}, {0, 0, -1}, 0, 10);  // instance 1, triangle 0
  ASSERT_TRUE(h.hit);
  EXPECT_EQ(h.instance_id, 1);
  EXPECT_EQ(h.primitive_id, 0);
  EXPECT_EQ(h.global_primitive_id, 2);
  EXPECT_EQ(h.material_id, 4);
}

TEST(EmbreeSceneManager, HitRecordsAndFaceOrientation) {
  EmbreeSceneManager s;
  s.add_instance(add_square(s), kIdentity);
  EXPECT_THROW(s.trace_closest(std::vector<backend::Ray>(1)), std::runtime_error);
  s.build();

  HitRecord front = s.trace_ray({0.25f, 0.5f, 2}, {0, 0, -1}, 0, 100);
  ASSERT_TRUE(front.hit);
  EXPECT_FLOAT_EQ(front.t, 2.0f);
  EXPECT_FLOAT_EQ(front.position.x, 0.25f);
  EXPECT_FALSE(front.is_back_face);
  EXPECT_FLOAT_EQ(front.geometric_normal.z, 1.0f);

  HitRecord back = s.trace_ray({0.25f, 0.5f, -2}, {0, 0, 1}, 0, 100);
  ASSERT_TRUE(back.hit);
  EXPECT_TRUE(back.is_back_face);
  EXPECT_FLOAT_EQ(back.geometric_normal.z, -1.0f);  // faces the incoming ray
  EXPECT_FLOAT_EQ(back.normal.z, -1.0f);

  HitRecord miss = s.trace_ray({5, 5, 2}, {0, 0, -1}, 0, 100);
  EXPECT_FALSE(miss.hit);
  EXPECT_EQ(miss.t, 100.0f);
  EXPECT_EQ(miss.instance_id, -1);
  EXPECT_EQ(miss.global_primitive_id, -1);
  EXPECT_EQ(miss.normal.z, 1.0f);
  // The interval is honoured at both ends.
  EXPECT_FALSE(s.trace_ray({0.25f, 0.5f, 2}, {0, 0, -1}, 0, 1.5f).hit);
  EXPECT_FALSE(s.trace_ray({0.25f, 0.5f, 2}, {0, 0, -1}, 2.5f, 10).hit);

  EXPECT_TRUE(s.trace_shadow({0.5f, 0.25f, 1}, {0, 0, -1}, 2));
  EXPECT_FALSE(s.trace_shadow({0.5f, 0.25f, 1}, {0, 0, -1}, 0.5f));
  EXPECT_FALSE(s.trace_shadow({0.5f, 0.25f, 1}, {0, 0, 1}, 1e30f));
}

TEST(EmbreeSceneManager, NormalsFollowRotatedAndScaledInstances) {
  EmbreeSceneManager s;
  // Square with tilted vertex normals, so the shading normal differs from the geometric one.
  const float3 tilt = normalize({0.3f, 0, 1});
  const int mesh = s.add_mesh({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}},
                              {tilt, tilt, tilt, tilt}, {{0, 1, 2}, {0, 2, 3}}, 0);
  // Rotation by 90 degrees about x (z -> -y) with scale 3, moved to y = 10.
  const float xf[12] = {3, 0, 0, 0, 0, 0, -3, 10, 0, 3, 0, 0};
  s.add_instance(mesh, xf);
  s.build();
  const HitRecord h = s.trace_ray({1.5f, 0, 1.5f}, {0, 1, 0}, 0, 100);
  ASSERT_TRUE(h.hit);
  EXPECT_NEAR(h.t, 10.0f, 1e-5f);
  EXPECT_FALSE(h.is_back_face);  // object +z maps to world -y, facing the ray
  EXPECT_NEAR(h.geometric_normal.y, -1.0f, 1e-6f);
  EXPECT_NEAR(h.normal.x, tilt.x, 1e-6f);
  EXPECT_NEAR(h.normal.y, -tilt.z, 1e-6f);
  EXPECT_NEAR(length(h.normal), 1.0f, 1e-6f);
  // Seen from behind, both normals flip to the ray's side.
  const HitRecord b = s.trace_ray({1.5f, 20, 1.5f}, {0, -1, 0}, 0, 100);
  ASSERT_TRUE(b.hit);
  EXPECT_TRUE(b.is_back_face);
  EXPECT_GT(b.normal.y, 0.0f);
  EXPECT_GT(b.geometric_normal.y, 0.0f);
  // The geometric-only query reports the same hit with the geometric normal in both places.
  for (const float y : {0.0f, 20.0f}) {
    const float3 d{0, y == 0.0f ? 1.0f : -1.0f, 0};
    const HitRecord full = s.trace_ray({1.5f, y, 1.5f}, d, 0, 100);
    const HitRecord g = s.trace_ray_geometric({1.5f, y, 1.5f}, d, 0, 100);
    ASSERT_TRUE(g.hit);
    EXPECT_EQ(g.t, full.t);
    EXPECT_EQ(g.is_back_face, full.is_back_face);
    EXPECT_EQ(g.global_primitive_id, full.global_primitive_id);
    EXPECT_EQ(g.geometric_normal.y, full.geometric_normal.y);
    EXPECT_EQ(g.normal.x, g.geometric_normal.x);
    EXPECT_EQ(g.normal.y, g.geometric_normal.y);
  }
}

TEST(EmbreeSceneManager, MirroredAndStretchedInstancesKeepTheirFaces) {
  EmbreeSceneManager s;
  // Mirror in x with a shear of z into x: the square stays in the plane z = 0, so its normal is
  // still +z (not M n = (0.5, 0, 1)), and the mirror turns the triangles' world winding
  // clockwise without changing which face is front.
  const float xf[12] = {-1, 0, 0.5f, 0, 0, 2, 0, 0, 0, 0, 1, 0};
  s.add_instance(add_square(s), xf);
  s.build();
  const float3 expected{0, 0, 1};
  for (const bool packet : {false, true}) {
    const float3 o{-0.5f, 1.0f, 3};
    const float3 d{0, 0, -1};
    HitRecord h;
    if (packet) {
      s.trace_ray_packet(&o, &d, 1, 0, 100, &h);
    } else {
      h = s.trace_ray(o, d, 0, 100);
    }
    ASSERT_TRUE(h.hit);
    EXPECT_NEAR(h.t, 3.0f, 1e-5f);
    EXPECT_FALSE(h.is_back_face);
    EXPECT_NEAR(h.geometric_normal.x, expected.x, 1e-5f);
    EXPECT_NEAR(h.geometric_normal.z, expected.z, 1e-5f);
    EXPECT_EQ(h.instance_id, 0);
  }
  const HitRecord b = s.trace_ray({-0.5f, 1.0f, -3}, {0, 0, 1}, 0, 100);
  ASSERT_TRUE(b.hit);
  EXPECT_TRUE(b.is_back_face);
  EXPECT_NEAR(b.geometric_normal.z, -expected.z, 1e-5f);
}

TEST(EmbreeSceneManager, RefitMovesInstancesAndBounds) {
  EmbreeSceneManager s;
  EXPECT_THROW(s.refit_ias(), std::runtime_error);
  s.build();  // no instances: zero box
  EXPECT_EQ(s.bounds().max_z, 0.0f);
  EXPECT_EQ(s.bounds().min_x, 0.0f);
  const int mesh = add_square(s);
  s.add_instance(mesh, 0, 0, 1, 1);
  s.add_instance(mesh, 3, 0, 0, 1);
  s.build();
  EXPECT_EQ(s.build_revision(), 2);
  EXPECT_EQ(s.bounds().max_z, 1.0f);
  EXPECT_EQ(s.bounds().max_x, 4.0f);
  EXPECT_TRUE(s.trace_ray({0.5f, 0.2f, 5}, {0, 0, -1}, 0, 100).hit);

  const float up[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 7};
  s.update_instance_transform(0, up);
  s.refit_ias();
  EXPECT_EQ(s.build_revision(), 3);
  EXPECT_EQ(s.bounds().max_z, 7.0f);
  const HitRecord h = s.trace_ray({0.5f, 0.2f, 10}, {0, 0, -1}, 0, 100);
  ASSERT_TRUE(h.hit);
  EXPECT_NEAR(h.t, 3.0f, 1e-5f);

  // Reuse keeps geometry and structures; only the description is reset.
  s.description().add_material(MaterialType::Diffuse, 0, {});
  s.clear_for_reuse();
  s.build_reuse_gas();
  EXPECT_TRUE(s.description().materials().empty());
  EXPECT_TRUE(s.trace_ray({0.5f, 0.2f, 10}, {0, 0, -1}, 0, 100).hit);
}

TEST(EmbreeSceneManager, NonFiniteGeometryAndRaysAreHarmless) {
  EmbreeSceneManager s;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const int bad = s.add_mesh({{nan, 0, 0}, {1, inf, 0}, {0, 1, 0}}, {}, {{0, 1, 2}}, 0);
  const int good = add_square(s);
  s.add_instance(bad, kIdentity);  // its only triangle is dropped by the tracer
  s.add_instance(good, 0, 0, 0, 1);
  s.build();
  EXPECT_TRUE(std::isfinite(s.bounds().max_z));
  EXPECT_EQ(s.bounds().max_x, 1.0f);
  EXPECT_TRUE(s.trace_ray({0.5f, 0.2f, 5}, {0, 0, -1}, 0, 100).hit);
  EXPECT_FALSE(s.trace_ray({nan, 0, 5}, {0, 0, -1}, 0, 100).hit);
  EXPECT_FALSE(s.trace_ray({0.5f, 0.2f, 5}, {0, 0, inf}, 0, 100).hit);
  EXPECT_FALSE(s.trace_ray({0.5f, 0.2f, 5}, {0, 0, 0}, 0, 100).hit);
  EXPECT_FALSE(s.trace_ray({0.5f, 0.2f, 5}, {0, 0, -1}, 0, nan).hit);
  EXPECT_FALSE(s.trace_shadow({0.5f, 0.2f, 5}, {nan, 0, -1}, 100));
  // Embree aborts on a negative start; it counts as zero.
  EXPECT_FLOAT_EQ(s.trace_ray({0.5f, 0.2f, 5}, {0, 0, -1}, -inf, 100).t, 5.0f);
  EXPECT_FALSE(s.trace_ray({0.5f, 0.2f, 5}, {0, 0, -1}, -1, -0.5f).hit);
}

// Transforms the tracer cannot take are refused where they are stored, with nothing stored.
TEST(EmbreeSceneManager, UntraceableTransformsAreRefused) {
  EmbreeSceneManager s;
  const int mesh = add_square(s);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::string singular =
      "instance transform must be invertible with no axis scaled below 1e-7 (singular or nearly "
      "singular linear part)";
  const float zero[12] = {};
  const float flat[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1e-9f, 0};  // squashed along z
  const float rank2[12] = {1, 2, 0, 0, 2, 4, 0, 0, 0, 0, 1, 0};     // two equal directions
  const float nan_xf[12] = {nan, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
  const float far[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 1e20f};
  expect_message<std::invalid_argument>([&] { s.add_instance(mesh, 0, 0, 0, 0.0f); }, singular);
  expect_message<std::invalid_argument>([&] { s.add_instance(mesh, 0, 0, 0, 1e-20f); }, singular);
  expect_message<std::invalid_argument>([&] { s.add_instance(mesh, zero); }, singular);
  expect_message<std::invalid_argument>([&] { s.add_instance(mesh, flat); }, singular);
  expect_message<std::invalid_argument>([&] { s.add_instance(mesh, rank2); }, singular);
  expect_message<std::invalid_argument>([&] { s.add_instance(mesh, nan_xf); },
                                        "instance transform must be finite");
  expect_message<std::invalid_argument>([&] { s.add_instance(mesh, far); },
                                        "instance transform translation must lie within +-1e10");
  // A translation inside the range that still carries the mesh out of it (scale 1e10 of a
  // unit square reaches x = 1e10 + 1e10).
  expect_message<std::invalid_argument>(
      [&] { s.add_instance(mesh, 1e10f, 0, 0, 1e10f); },
      "instance would place mesh vertices beyond +-1e10 scene units, outside the range single "
      "precision can trace");
  // A batch is checked whole before anything is appended; the message names the bad row.
  std::vector<float> batch(36, 0.0f);
  std::copy(kIdentity, kIdentity + 12, batch.begin());
  std::copy(kIdentity, kIdentity + 12, batch.begin() + 12);
  expect_message<std::invalid_argument>([&] { s.add_instances_xform(mesh, batch.data(), 3); },
                                        "instance transform 2: " + singular);
  EXPECT_EQ(s.num_instances(), 0);

  // Small but regular scales, rotations and mirrors are fine.
  const float mirror_small[12] = {0, -1e-6f, 0, 5, 1e-6f, 0, 0, 0, 0, 0, -1e-6f, 0};
  EXPECT_EQ(s.add_instance(mesh, mirror_small), 0);
  const int id = s.add_instance(mesh, kIdentity);
  s.build();
  const float moved[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 2};
  s.update_instance_transform(id, moved);
  expect_message<std::invalid_argument>([&] { s.update_instance_transform(id, zero); }, singular);
  EXPECT_EQ(s.instances()[id].transform[11], 2.0f);  // the refused update kept the last one
  s.refit_ias();
  EXPECT_NEAR(s.trace_ray({0.5f, 0.5f, 10}, {0, 0, -1}, 0, 100).t, 8.0f, 1e-5f);
}

// Rays far outside the scene are traced from where they enter the traced box, so any finite
// origin works and distances keep referring to the caller's origin.
TEST(EmbreeSceneManager, FarOriginsAreTracedAndHugeDirectionsMiss) {
  EmbreeSceneManager s;
  const int mesh = add_square(s);
  s.add_instance(mesh, 0, 0, 0, 1e-7f);  // the smallest allowed scale: inverse 1e7
  s.add_instance(mesh, 0, 0, -1, 1);
  s.build();
  EXPECT_FALSE(s.trace_ray({1e19f, 0, 10}, {0, 0, -1}, 0, 1e30f).hit);
  EXPECT_FALSE(s.trace_ray({3e38f, 3e38f, 3e38f}, {1, 1, 1}, 0, 1e30f).hit);
  const HitRecord far = s.trace_ray({0.5f, 0.5f, 1e19f}, {0, 0, -1}, 0, 1e30f);
  ASSERT_TRUE(far.hit);
  EXPECT_EQ(far.instance_id, 1);
  EXPECT_FLOAT_EQ(far.t, 1e19f);
  // Slanted rays from 1e20 away into the tiny instance reach its object space scaled by 1e7;
  // Embree's own assertions abort the process if that leaves its float range.
  const float3 dir = normalize(float3{0.0f, 0.6f, 0.8f});
  for (float offset : {0.0f, 3e-8f, 1e-7f}) {
    const float3 target{offset, offset, 0.0f};
    (void)s.trace_ray(target - 1e20f * dir, dir, 0, 1e30f);
    (void)s.trace_shadow(target - 1e20f * dir, dir, 1e30f);
  }
  EXPECT_FALSE(s.trace_ray({0.5f, 0.5f, 1e19f}, {0, 0, -1}, 0, 1e18f).hit);  // stops short
  EXPECT_FALSE(s.trace_shadow({0.5f, 0.5f, 1e19f}, {0, 0, -1}, 1e18f));
  EXPECT_TRUE(s.trace_shadow({0.5f, 0.5f, -1e19f}, {0, 0, 1}, 1e30f));
  EXPECT_FALSE(s.trace_ray({0.5f, 0.5f, 10}, {0, 0, -1e11f}, 0, 1e30f).hit);
  EXPECT_TRUE(s.trace_ray({0.5f, 0.5f, 10}, {0, 0, -1e9f}, 0, 1e30f).hit);
}

// Workflows register as users; changes are refused while any is registered and allowed again
// once all have left, and nothing is changed by a refused call.
TEST(EmbreeSceneManager, ChangesAreRefusedWhileInUse) {
  EmbreeSceneManager s;
  const int mesh = add_square(s);
  s.add_instance(mesh, kIdentity);
  s.build();
  const std::string in_use = "scene is in use by a running workflow and cannot be changed";
  {
    const SceneUse first = s.acquire_use();
    SceneUse second = s.acquire_use();  // read-only users share the scene
    const SceneUse moved = std::move(second);
    EXPECT_EQ(s.use_count(), 2);
    const int revision = s.build_revision();
    expect_message<std::runtime_error>([&] { s.build(); }, in_use);
    expect_message<std::runtime_error>([&] { s.refit_ias(); }, in_use);
    expect_message<std::runtime_error>([&] { s.add_instance(mesh, kIdentity); }, in_use);
    expect_message<std::runtime_error>([&] { add_square(s); }, in_use);
    expect_message<std::runtime_error>([&] { s.update_instance_transform(0, kIdentity); }, in_use);
    expect_message<std::runtime_error>([&] { s.clear_for_reuse(); }, in_use);
    expect_message<std::runtime_error>([&] { s.set_primitive_temperatures({300, 300}); }, in_use);
    expect_message<std::runtime_error>(
        [&] { s.change_description([](SceneDescription& d) { d.set_num_bands(7); }); }, in_use);
    EXPECT_EQ(s.build_revision(), revision);
    EXPECT_EQ(s.num_instances(), 1);
    EXPECT_EQ(s.num_meshes(), 1);
    EXPECT_EQ(s.description().num_bands(), 1);
    EXPECT_TRUE(s.primitive_temperatures().empty());
    EXPECT_TRUE(s.trace_ray({0.5f, 0.5f, 1}, {0, 0, -1}, 0, 10).hit);
  }
  EXPECT_EQ(s.use_count(), 0);
  s.change_description([&](SceneDescription& d) {
    d.set_num_bands(2);
    // A workflow cannot start in the middle of a change.
    expect_message<std::runtime_error>(
        [&] { s.acquire_use(); },
        "scene is being changed and cannot be used until the change returns");
  });
  EXPECT_EQ(s.description().num_bands(), 2);
  s.build();  // a failed change released the scene as well
  EXPECT_EQ(s.use_count(), 0);
}

// Readers on several threads register and leave while the main thread keeps trying to
// change the scene: every attempt either succeeds with no reader inside or is refused.
TEST(EmbreeSceneManager, ConcurrentReadersAndWriterNeverOverlap) {
  EmbreeSceneManager s;
  const int mesh = add_square(s);
  s.add_instance(mesh, kIdentity);
  s.build();
  std::atomic<bool> done{false};
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      while (!done.load()) {
        try {
          const SceneUse use = s.acquire_use();
          ++inside;
          if (!s.trace_ray({0.5f, 0.5f, 1}, {0, 0, -1}, 0, 10).hit) ++overlaps;
          --inside;
        } catch (const std::runtime_error&) {
        }
      }
    });
  }
  int refused = 0;
  for (int i = 0; i < 2000; ++i) {
    try {
      s.change_description([&](SceneDescription&) {
        if (inside.load() != 0) ++overlaps;
      });
    } catch (const std::runtime_error&) {
      ++refused;
    }
  }
  done = true;
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(s.use_count(), 0);
  (void)refused;
}

TEST(EmbreeSceneManager, BatchResultsIndependentOfThreadCount) {
  EmbreeSceneManager s;
  const GeneratedMesh sphere = make_sphere(1, {0, 0, 0}, 2);
  const int mesh = s.add_mesh(sphere.vertices, sphere.normals, sphere.indices, 1);
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(-5, 5);
  for (int i = 0; i < 50; ++i) s.add_instance(mesh, u(rng), u(rng), u(rng), 0.8f);
  s.build();
  std::vector<backend::Ray> rays(20000);
  for (backend::Ray& r : rays) {
    r.origin = {u(rng), u(rng), u(rng)};
    r.direction = normalize({u(rng), u(rng), u(rng)});
  }
  std::vector<HitRecord> one(rays.size()), many(rays.size());
  s.trace_closest(rays, one, 1);
  s.trace_closest(rays, many, 3);
  ASSERT_EQ(std::memcmp(one.data(), many.data(), one.size() * sizeof(HitRecord)), 0);
  const std::vector<HitRecord> plain = s.trace_closest(rays);
  size_t hits = 0;
  for (size_t i = 0; i < rays.size(); ++i) {
    hits += plain[i].hit;
    const HitRecord ref =
        s.trace_ray(rays[i].origin, rays[i].direction, rays[i].t_min, rays[i].t_max);
    ASSERT_EQ(plain[i].global_primitive_id, ref.global_primitive_id);
  }
  EXPECT_GT(hits, rays.size() / 10);
}

TEST(EmbreeSceneManager, AttachedDataChecks) {
  EmbreeSceneManager s;
  const int mesh = add_square(s);
  s.add_instance(mesh, 0, 0, 0, 1);
  s.add_instance(mesh, 2, 0, 0, 1);  // n_primitives = 4, num_instances = 2
  expect_message<std::invalid_argument>(
      [&] {
        s.set_primitive_emissivities({1, 1, 1});
      },
      "Embree primitive emissivity count must equal n_primitives()");
  expect_message<std::invalid_argument>(
      [&] { s.set_primitive_temperatures({300}); },
      "Embree primitive temperature count must equal n_primitives()");
  expect_message<std::invalid_argument>([&] { s.set_primitive_sif_spectra({}, 0); },
                                        "Embree SIF band count must be positive");
  expect_message<std::invalid_argument>(
      [&] { s.set_primitive_sif_spectra(std::vector<float>(7), 2); },
      "Embree primitive SIF spectrum size must equal bands * n_primitives()");
  expect_message<std::invalid_argument>([&] { s.set_instance_sif_spectra({}, -1); },
                                        "Embree instance SIF band count must be positive");
  expect_message<std::invalid_argument>(
      [&] { s.set_instance_sif_spectra(std::vector<float>(5), 2); },
      "Embree instance SIF spectrum size must equal bands * num_instances()");
  expect_message<std::invalid_argument>(
      [&] {
        s.set_instance_turbid_thermal_state({{1, 1}, {1, 1}, {1}, {1, 1}});
      },
      "Embree instance turbid thermal state: every array length must equal num_instances()");
  EXPECT_EQ(s.n_sif_bands(), 0);

  s.set_primitive_sif_spectra(std::vector<float>(8, 1.0f), 2);
  EXPECT_EQ(s.n_sif_bands(), 2);
  s.clear_primitive_sif_spectra();
  EXPECT_EQ(s.n_sif_bands(), 0);

  auto fields = [](int cells, std::vector<int32_t> grids) {
    InstanceSifSourceFields f;
    const int n = 2, bands = 1, d1 = 2, d2 = 3;
    f.spatial_spectra.resize(bands * n * cells);
    f.orientation_spectra.resize(bands * n * d1 * d2);
    f.joint_spectra.resize(bands * n * cells * d1 * d2);
    f.direct_joint_spectra.resize(f.joint_spectra.size());
    f.bounds_min.resize(3 * n);
    f.bounds_max.resize(3 * n);
    f.grid_dims = std::move(grids);
    f.spatial_cell_stride = cells;
    f.orientation_theta_bins = d1;
    f.orientation_phi_bins = d2;
    return f;
  };
  expect_message<std::invalid_argument>(
      [&] {
        s.set_instance_sif_source_fields(fields(4, {1, 2, 2, 1, 1, 1}), 0);
      },
      "Embree instance SIF source fields: dimensions must be positive");
  InstanceSifSourceFields short_field = fields(4, {1, 2, 2, 1, 1, 1});
  short_field.bounds_max.pop_back();
  expect_message<std::invalid_argument>([&] { s.set_instance_sif_source_fields(short_field, 1); },
                                        "Embree instance SIF source fields: array length mismatch");
  expect_message<std::invalid_argument>(
      [&] {
        s.set_instance_sif_source_fields(fields(4, {1, 2, 3, 1, 1, 1}), 1);
      },
      "Embree instance SIF source fields: invalid instance grid");
  EXPECT_TRUE(s.instance_sif_source_fields().grid_dims.empty());
  s.set_instance_sif_source_fields(fields(4, {1, 2, 2, 1, 1, 1}), 1);
  EXPECT_EQ(s.instance_sif_source_fields().spatial_cell_stride, 4);
}

}  // namespace
}  // namespace tesk::embree
