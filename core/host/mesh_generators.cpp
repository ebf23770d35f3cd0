#include "core/host/mesh_generators.h"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "core/host/allocation.h"

namespace tesk {
namespace {

// Bytes a generated mesh occupies twice over: once here and once in the arrays the caller
// copies it into. Checked before allocating, so that a resolution nobody can hold fails with
// MemoryError instead of the process being killed.
void check_mesh_memory(double n_vertices, double n_triangles, const char* what) {
  const double bytes = 2.0 * (n_vertices * 2.0 * sizeof(float3) + n_triangles * sizeof(int3));
  check_allocation(bytes, what);
}

// Grid resolution along one axis: ceil(extent / edge), at least 1. Extents or edges that are
// not positive and finite give one cell; a count beyond the index range is an overflow.
int64_t cells_along_(float extent, float max_edge) {
  if (!(max_edge > 0.0f)) return 1;
  const float n = std::ceil(extent / max_edge);
  if (!(n >= 1.0f)) return 1;  // also catches NaN
  if (n > 46340.0f) {          // (n + 1)^2 vertices must stay addressable by int32
    throw std::overflow_error("ground plane grid is too fine for int32 vertex indices");
  }
  return static_cast<int64_t>(n);
}

}  // namespace

GeneratedMesh make_ground_plane(float half_w, float half_h, float max_tri_edge) {
  const int64_t nx = cells_along_(2.0f * half_w, max_tri_edge);
  const int64_t ny = cells_along_(2.0f * half_h, max_tri_edge);
  if ((nx + 1) * (ny + 1) > std::numeric_limits<int32_t>::max()) {
    throw std::overflow_error("ground plane grid is too fine for int32 vertex indices");
  }
  check_mesh_memory(static_cast<double>((nx + 1) * (ny + 1)), 2.0 * static_cast<double>(nx * ny),
                    "make_ground_plane");
  GeneratedMesh mesh;
  mesh.vertices.reserve((nx + 1) * (ny + 1));
  for (int64_t j = 0; j <= ny; ++j) {
    for (int64_t i = 0; i <= nx; ++i) {
      const float x = (static_cast<float>(i) / static_cast<float>(nx)) * 2.0f * half_w - half_w;
      const float y = (static_cast<float>(j) / static_cast<float>(ny)) * 2.0f * half_h - half_h;
      mesh.vertices.push_back({x, y, 0.0f});
    }
  }
  mesh.normals.assign(mesh.vertices.size(), float3{0.0f, 0.0f, 1.0f});
  mesh.indices.reserve(2 * nx * ny);
  auto v = [nx](int64_t i, int64_t j) { return static_cast<int32_t>(j * (nx + 1) + i); };
  for (int64_t j = 0; j < ny; ++j) {
    for (int64_t i = 0; i < nx; ++i) {
      mesh.indices.push_back({v(i, j), v(i + 1, j), v(i, j + 1)});
      mesh.indices.push_back({v(i + 1, j), v(i + 1, j + 1), v(i, j + 1)});
    }
  }
  return mesh;
}

GeneratedMesh make_sphere(float radius, float3 center, int subdivisions) {
  if (subdivisions > 10) {
    // Level 11 would hold 84 million faces and some 3 GB of vertices and normals.
    throw std::overflow_error("sphere subdivisions must not exceed 10");
  }
  if (subdivisions > 0) {
    const double faces = 20.0 * std::pow(4.0, subdivisions);
    check_mesh_memory(12.0 + (faces - 20.0), faces, "make_sphere");
  }
  const float t = 1.618034f;
  const float s = std::sqrt(3.618034f);
  std::vector<float3> unit = {{-1, t, 0}, {1, t, 0}, {-1, -t, 0}, {1, -t, 0},
                              {0, -1, t}, {0, 1, t}, {0, -1, -t}, {0, 1, -t},
                              {t, 0, -1}, {t, 0, 1}, {-t, 0, -1}, {-t, 0, 1}};
  for (float3& u : unit) u = u / s;
  std::vector<int3> faces = {{0, 11, 5}, {0, 5, 1},  {0, 1, 7},   {0, 7, 10}, {0, 10, 11},
                             {1, 5, 9},  {5, 11, 4}, {11, 10, 2}, {10, 7, 6}, {7, 1, 8},
                             {3, 9, 4},  {3, 4, 2},  {3, 2, 6},   {3, 6, 8},  {3, 8, 9},
                             {4, 9, 5},  {2, 4, 11}, {6, 2, 10},  {8, 6, 7},  {9, 8, 1}};
  for (int level = 0; level < subdivisions; ++level) {
    std::vector<int3> next;
    next.reserve(faces.size() * 4);
    unit.reserve(unit.size() + faces.size() * 3);
    for (const int3& f : faces) {
      const float3 a = unit[f.x], b = unit[f.y], c = unit[f.z];
      const int32_t m_ab = static_cast<int32_t>(unit.size());
      unit.push_back(normalize((a + b) * 0.5f));
      unit.push_back(normalize((b + c) * 0.5f));
      unit.push_back(normalize((c + a) * 0.5f));
      const int32_t m_bc = m_ab + 1, m_ca = m_ab + 2;
      next.push_back({f.x, m_ab, m_ca});
      next.push_back({f.y, m_bc, m_ab});
      next.push_back({f.z, m_ca, m_bc});
      next.push_back({m_ab, m_bc, m_ca});
    }
    faces = std::move(next);
  }
  GeneratedMesh mesh;
  mesh.vertices.reserve(unit.size());
  for (const float3& u : unit) mesh.vertices.push_back(center + radius * u);
  mesh.normals = std::move(unit);
  mesh.indices = std::move(faces);
  return mesh;
}

GeneratedMesh make_cylinder(float radius, float height, int segments) {
  GeneratedMesh mesh;
  if (segments < 0) return mesh;
  if (segments > (std::numeric_limits<int32_t>::max() - 4) / 2) {
    throw std::overflow_error("cylinder segments exceed the int32 vertex index range");
  }
  check_mesh_memory(2.0 * (static_cast<double>(segments) + 1.0), 2.0 * segments, "make_cylinder");
  const float two_pi = 6.2831855f;
  mesh.vertices.reserve(2 * (static_cast<size_t>(segments) + 1));
  mesh.normals.reserve(mesh.vertices.capacity());
  for (int i = 0; i <= segments; ++i) {
    const float theta =
        segments > 0 ? static_cast<float>(i) * two_pi / static_cast<float>(segments) : 0.0f;
    const float c = std::cos(theta), s = std::sin(theta);
    mesh.vertices.push_back({radius * c, radius * s, 0.0f});
    mesh.vertices.push_back({radius * c, radius * s, height});
    mesh.normals.push_back({c, s, 0.0f});
    mesh.normals.push_back({c, s, 0.0f});
  }
  mesh.indices.reserve(2 * static_cast<size_t>(segments));
  for (int i = 0; i < segments; ++i) {
    const int32_t b = 2 * i;
    mesh.indices.push_back({b, b + 2, b + 1});
    mesh.indices.push_back({b + 1, b + 2, b + 3});
  }
  return mesh;
}

}  // namespace tesk
