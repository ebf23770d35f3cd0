#include <gtest/gtest.h>

#include <cmath>
#include <new>
#include <string>

#include "core/host/allocation.h"
#include "core/host/mesh_generators.h"

namespace tesk {
namespace {

// Every triangle must wind counter-clockwise seen from the side its vertex normals point to.
void expect_outward_winding(const GeneratedMesh& m) {
  for (const int3& t : m.indices) {
    const float3 a = m.vertices[t.x], b = m.vertices[t.y], c = m.vertices[t.z];
    const float3 n = m.normals[t.x] + m.normals[t.y] + m.normals[t.z];
    ASSERT_GT(dot(cross(b - a, c - a), n), 0.0f);
  }
}

TEST(MeshGenerators, GroundPlaneGrid) {
  const GeneratedMesh g = make_ground_plane(1, 1, 1);
  ASSERT_EQ(g.vertices.size(), 9u);
  ASSERT_EQ(g.indices.size(), 8u);
  EXPECT_EQ(g.vertices.front().x, -1.0f);
  EXPECT_EQ(g.vertices.back().y, 1.0f);
  EXPECT_EQ(g.indices[0].x, 0);
  EXPECT_EQ(g.indices[0].y, 1);
  EXPECT_EQ(g.indices[0].z, 3);
  expect_outward_winding(g);

  const GeneratedMesh one = make_ground_plane(1, 1, 5);
  EXPECT_EQ(one.vertices.size(), 4u);
  EXPECT_EQ(one.indices.size(), 2u);

  // Edges never exceed the requested length, also for extents that do not divide evenly.
  const GeneratedMesh r = make_ground_plane(2.5f, 1.0f, 0.7f);
  for (const int3& t : r.indices) {
    for (auto [p, q] : {std::pair{t.x, t.y}, std::pair{t.y, t.z}, std::pair{t.z, t.x}}) {
      EXPECT_LE(std::fabs(r.vertices[p].x - r.vertices[q].x), 0.7f + 1e-6f);
      EXPECT_LE(std::fabs(r.vertices[p].y - r.vertices[q].y), 0.7f + 1e-6f);
    }
  }
  // A non-positive or NaN edge length degrades to a single cell instead of looping forever.
  EXPECT_EQ(make_ground_plane(1, 1, 0.0f).indices.size(), 2u);
  EXPECT_EQ(make_ground_plane(1, 1, NAN).indices.size(), 2u);
}

TEST(MeshGenerators, IcosphereCountsAndRadius) {
  const GeneratedMesh s0 = make_sphere(2, {0, 0, 0}, 0);
  EXPECT_EQ(s0.vertices.size(), 12u);
  EXPECT_EQ(s0.indices.size(), 20u);
  for (const float3& v : s0.vertices) EXPECT_NEAR(length(v), 2.0f, 1e-5f);
  expect_outward_winding(s0);

  const GeneratedMesh s1 = make_sphere(1, {0, 0, 0}, 1);
  EXPECT_EQ(s1.vertices.size(), 72u);
  EXPECT_EQ(s1.indices.size(), 80u);

  const GeneratedMesh s3 = make_sphere(0.5f, {1, 2, 3}, 3);
  EXPECT_EQ(s3.indices.size(), 20u * 64u);
  EXPECT_EQ(s3.vertices.size(), 12u + 60u * 63u / 3u);
  for (size_t i = 0; i < s3.vertices.size(); ++i) {
    EXPECT_NEAR(length(s3.vertices[i] - float3{1, 2, 3}), 0.5f, 1e-5f);
    EXPECT_NEAR(length(s3.normals[i]), 1.0f, 1e-5f);
  }
  expect_outward_winding(s3);
  EXPECT_EQ(make_sphere(1, {}, -3).indices.size(), 20u);
}

TEST(MeshGenerators, CylinderColumnsAndWinding) {
  const GeneratedMesh c = make_cylinder(1, 3, 4);
  ASSERT_EQ(c.vertices.size(), 10u);
  ASSERT_EQ(c.indices.size(), 8u);
  EXPECT_FLOAT_EQ(c.vertices[1].x, 1.0f);
  EXPECT_FLOAT_EQ(c.vertices[1].z, 3.0f);
  EXPECT_FLOAT_EQ(c.normals[1].x, 1.0f);
  EXPECT_NEAR(c.vertices[4].x, -1.0f, 1e-6f);  // column 2 at 180 degrees
  EXPECT_NEAR(c.vertices[8].x, 1.0f, 1e-6f);   // duplicated seam at 360 degrees
  expect_outward_winding(c);

  EXPECT_TRUE(make_cylinder(1, 1, -1).vertices.empty());
  const GeneratedMesh zero = make_cylinder(1, 1, 0);
  EXPECT_EQ(zero.vertices.size(), 2u);
  EXPECT_TRUE(zero.indices.empty());
  EXPECT_TRUE(is_finite(zero.vertices[0]));
}

// Resolutions no machine can hold fail before allocating, naming the bytes.
TEST(MeshGenerators, ImpossibleResolutionsAreMemoryErrors) {
  if (physical_memory_bytes() > 150e9) GTEST_SKIP() << "this machine could hold the meshes";
  try {
    make_cylinder(1.0f, 1.0f, 1'070'000'000);
    FAIL() << "expected a memory error";
  } catch (const std::bad_alloc& e) {
    EXPECT_EQ(std::string(e.what()).rfind("make_cylinder needs 154080000096 bytes, more than", 0),
              0u);
  }
  EXPECT_THROW(make_ground_plane(1e9f, 1e9f, 4.4e4f), std::bad_alloc);  // 45455^2 cells
}

}  // namespace
}  // namespace tesk
