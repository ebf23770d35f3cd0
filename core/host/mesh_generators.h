#pragma once

#include <vector>

#include "core/vec.h"

namespace tesk {

/// A generated triangle mesh: positions, unit vertex normals and counter-clockwise triangles
/// (seen from the side the normals point to).
struct GeneratedMesh {
  std::vector<float3> vertices;  ///< Vertex positions (scene units).
  std::vector<float3> normals;   ///< Unit normal per vertex.
  std::vector<int3> indices;     ///< Vertex indices per triangle.
};

/// A rectangle in z = 0 centred on the origin with half extents `half_w` (x) and `half_h` (y),
/// split into a regular grid whose cells are at most `max_tri_edge` long in x and y.
/// The arguments are not checked: a non-positive or non-finite edge length gives one cell.
/// Throws std::overflow_error when the grid needs more than int32 vertex indices and
/// AllocationTooLarge (a std::bad_alloc) when it needs more than the machine's memory.
GeneratedMesh make_ground_plane(float half_w, float half_h, float max_tri_edge);

/// An icosphere of `radius` around `center`, subdivided `subdivisions` times; every face adds
/// its own midpoints, so after k levels there are 20*4^k faces and 12 + 60*(4^k - 1)/3 vertices.
/// Throws std::overflow_error beyond 10 levels and AllocationTooLarge when the mesh needs more
/// than the machine's memory.
GeneratedMesh make_sphere(float radius, float3 center, int subdivisions);

/// An open tube of `radius` along z from 0 to `height` with `segments` columns and a duplicated
/// seam; a negative `segments` gives an empty mesh, zero gives two vertices and no triangles.
/// Throws std::overflow_error beyond int32 vertex indices and AllocationTooLarge when the mesh
/// needs more than the machine's memory.
GeneratedMesh make_cylinder(float radius, float height, int segments);

}  // namespace tesk
