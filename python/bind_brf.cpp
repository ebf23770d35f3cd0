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
                          int64_t num_photons, int max_depth, const py::object& progress,
                          const py::object& pass_range) {
  const embree::PassRange range = to_pass_range(pass_range);
  if (directions.ndim() != 1) {
    throw py::value_error("directions must be a nonempty flat float3 array");
  }
  const embree::SceneUse use = scene.acquire_use();
  const embree::BrfResult r =
      embree::render_brf(scene, to_vector(directions), num_photons, max_depth,
                         wrap_progress(progress), interpreter_interrupt_check(), range);
  py::dict out;
  if (!range.whole()) {
    const auto& p = r.partials;
    out["brf"] = to_numpy(p.radiance.data(), {p.n_blocks, r.n_dirs, 1024, r.n_bands});
    out["_brf_scale"] = to_numpy(p.scale.data(), {r.n_dirs, 3});
    out["_fold_blocks"] = py::make_tuple(p.first_block, p.n_blocks);
    out["_spp"] = r.spp;
    return flat_result(std::move(out), r.execution);
  }
  out["brf"] = to_numpy(r.brf.data(), {r.n_dirs, r.n_bands});
  return flat_result(std::move(out), r.execution);
}

}  // namespace

void bind_brf(py::module_& m) {
  m.def("simulate_brf_cpu", &simulate_brf_cpu, py::arg("scene"), py::arg("directions"),
        py::arg("num_photons"), py::arg("max_depth") = 16, py::arg("progress") = py::none(),
        py::kw_only(), py::arg("pass_range") = py::none(),
        "Backward BRF of the scene tile toward view directions (flat float32 array, 3 values\n"
        "per direction, pointing from the scene to the observer).\n\n"
        "One orthographic 32x32 render per direction with num_photons / (1024 n_dirs) samples\n"
        "per pixel (16..4096). Returns {'brf': float32 [n_dirs, n_bands], '_execution'} where\n"
        "brf = mean radiance leaving the tile * X * Y * d.z (X, Y the tile size): divide by the\n"
        "irradiance on the tile and multiply by pi / (X Y d.z) for a reflectance factor.\n"
        "progress(done, total, elapsed_ms) is called after each direction.\n\n"
        "pass_range=(begin, end) renders only those passes of every direction's render (block\n"
        "multiples of ceil(spp / MAX_PASS_BLOCKS), or end = spp) and returns the float64\n"
        "fold-block sums 'brf' [blocks, n_dirs, 1024 pixels, n_bands], '_brf_scale' [n_dirs, 3]\n"
        "(X, Y, d.z), '_fold_blocks' and '_spp'; tesk_gpu.distributed.merge_pass_ranges turns\n"
        "the ranges of a whole run into its result bit for bit.");
}

}  // namespace tesk::python
