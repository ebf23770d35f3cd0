#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "core/host/mesh_generators.h"
#include "python/bindings.h"
#include "python/frame.h"

namespace tesk::python {
namespace {

py::dict mesh_dict(const GeneratedMesh& mesh) {
  const auto nv = static_cast<py::ssize_t>(mesh.vertices.size());
  const auto nt = static_cast<py::ssize_t>(mesh.indices.size());
  py::dict out;
  out["vertices"] = to_numpy(reinterpret_cast<const float*>(mesh.vertices.data()), {nv, 3});
  out["normals"] = to_numpy(reinterpret_cast<const float*>(mesh.normals.data()), {nv, 3});
  out["indices"] = to_numpy(reinterpret_cast<const int32_t*>(mesh.indices.data()), {nt, 3});
  return out;
}

}  // namespace

void bind_meshes(py::module_& m) {
  m.def(
      "make_ground_plane",
      [](float half_w, float half_h, int /*material_id*/, float max_tri_edge) {
        return mesh_dict(make_ground_plane(half_w, half_h, max_tri_edge));
      },
      py::arg("half_w"), py::arg("half_h"), py::arg("material_id"), py::arg("max_tri_edge"),
      "Flat rectangle in z = 0 centred on the origin, split into triangles whose edges are at "
      "most max_tri_edge long in x and y. Returns {'vertices', 'normals', 'indices'}; "
      "material_id is accepted for symmetry with add_mesh and not used.");
  m.def(
      "make_sphere",
      [](float radius, const carray<float>& center, int subdivisions) {
        return mesh_dict(make_sphere(radius, float3_value(center, "center"), subdivisions));
      },
      py::arg("radius"), py::arg("center"), py::arg("subdivisions"),
      "Icosphere of the given radius around center, subdivided `subdivisions` times "
      "(20*4^k faces; midpoints are not shared between faces).");
  m.def(
      "make_cylinder",
      [](float radius, float height, int segments) {
        return mesh_dict(make_cylinder(radius, height, segments));
      },
      py::arg("radius"), py::arg("height"), py::arg("segments"),
      "Open tube along z from 0 to height with outward normals and a duplicated seam.");
}

}  // namespace tesk::python
