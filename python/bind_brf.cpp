// simulate_brf_cpu: backward bidirectional reflectance toward a list of view directions.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "embree/render_brf.h"
#include "embree/scene_manager.h"
#include "python/bindings.h"
#include "python/frame.h"

namespace tesk::python {
namespace {

py::dict simulate_brf_cpu(const embree::EmbreeSceneManager& scene, const carray<float>& directions,
                          int64_t num_photons, int max_depth, const py::object& progress) {
  if (directions.ndim() != 1) {
    throw py::value_error("directions must be a nonempty flat float3 array");
  }
  const embree::SceneUse use = scene.acquire_use();
  const embree::BrfResult r =
      embree::render_brf(scene, to_vector(directions), num_photons, max_depth,
                         wrap_progress(progress), interpreter_interrupt_check());
  py::dict out;
  out["brf"] = to_numpy(r.brf.data(), {r.n_dirs, r.n_bands});
  return flat_result(std::move(out), r.execution);
}

}  // namespace

void bind_brf(py::module_& m) {
  m.def("simulate_brf_cpu", &simulate_brf_cpu, py::arg("scene"), py::arg("directions"),
        py::arg("num_photons"), py::arg("max_depth") = 16, py::arg("progress") = py::none(),
        "Backward BRF of the scene tile toward view directions (flat float32 array, 3 values\n"
        "per direction, pointing from the scene to the observer).\n\n"
        "One orthographic 32x32 render per direction with num_photons / (1024 n_dirs) samples\n"
        "per pixel (16..4096). Returns {'brf': float32 [n_dirs, n_bands], '_execution'} where\n"
        "brf = mean radiance leaving the tile * X * Y * d.z (X, Y the tile size): divide by the\n"
        "irradiance on the tile and multiply by pi / (X Y d.z) for a reflectance factor.\n"
        "progress(done, total, elapsed_ms) is called after each direction.");
}

}  // namespace tesk::python
