// simulate_forward_cpu and simulate_flux_cpu: argument conversion and the flat result
// dictionaries of the forward photon workflows. The runs hold the interpreter lock (only this
// thread calls back into Python); the workflows poll for Ctrl-C while their workers run.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/transport_constants.h"
#include "embree/render_flux.h"
#include "embree/render_forward.h"
#include "embree/scene_manager.h"
#include "python/bindings.h"
#include "python/frame.h"

// The part of the docstrings that the two forward workflows share: progress, threads and
// photon ranges for exact distributed runs.
#define TESK_FORWARD_RUN_DOC                                                                    \
  "progress(done, total, elapsed_ms) (or a tqdm bar) is reported every million photons.\n"      \
  "num_threads workers (0: all hardware threads); results do not depend on it.\n"               \
  "photon_range=(begin, end) traces only photons begin .. end - 1 of the num_photons-photon\n"  \
  "run (begin and end multiples of FOLD_PHOTONS, or end = num_photons) and returns, under\n"    \
  "the same keys, float64 arrays [blocks, *shape]: the deposit sums of each fold block of\n"    \
  "FOLD_PHOTONS photons, plus '_fold_blocks' (first block, blocks). Adding the blocks of all\n" \
  "ranges in block order to zero float64 totals and rounding to float32 reproduces the\n"       \
  "whole run bit for bit (tesk_gpu.distributed.merge_photon_ranges).\n"

namespace tesk::python {
namespace {

// Adds `key` with a float32 array of the given shape unless the array is empty.
void put(py::dict& out, const char* key, const std::vector<float>& data,
         std::vector<py::ssize_t> shape) {
  if (data.empty()) return;
  out[key] = to_numpy(data.data(), std::move(shape));
}

// The block partials of a range run under the keys of the whole run: float64 arrays
// [n_blocks, *shape] of the slots named in `keys` (in slot order; nullptr: not returned), with
// `shapes` giving each slot's element shape (a leading -1 is filled from the slot size).
py::dict range_result(const embree::photon::RangePartials& p, const std::vector<const char*>& keys,
                      const std::vector<std::vector<py::ssize_t>>& shapes,
                      const ExecutionIdentity& execution) {
  py::dict out;
  const py::ssize_t n = p.n_blocks;
  for (size_t k = 0; k < keys.size() && k < p.slots.size(); ++k) {
    if (keys[k] == nullptr || p.slots[k].empty()) continue;
    std::vector<py::ssize_t> shape{n};
    py::ssize_t inner = 1;
    for (py::ssize_t d : shapes[k]) inner *= d > 0 ? d : 1;
    for (py::ssize_t d : shapes[k]) {
      shape.push_back(d > 0 ? d : static_cast<py::ssize_t>(p.slots[k].size()) / n / inner);
    }
    out[keys[k]] = to_numpy(p.slots[k].data(), std::move(shape));
  }
  out["_fold_blocks"] = py::make_tuple(p.first_block, p.n_blocks);
  return flat_result(std::move(out), execution);
}

// photon_range: None (the whole run) or (begin, end).
embree::photon::PhotonRange to_range(const py::object& range) {
  embree::photon::PhotonRange r;
  if (range.is_none()) return r;
  const auto pair = range.cast<std::pair<int64_t, int64_t>>();
  r.begin = pair.first;
  r.end = pair.second;
  if (r.end < 0) r.end = 0;  // rejected by the workflow's range check
  return r;
}

py::dict simulate_flux_cpu(const embree::EmbreeSceneManager& scene, int nx, int ny,
                           int64_t num_photons, int num_bands, float prob_sun, int max_bounces,
                           int max_depth, int rr_depth, bool decompose, const py::object& progress,
                           int num_threads, const py::object& photon_range) {
  const ProgressCallback callback = wrap_progress(progress);
  const embree::photon::PhotonRange range = to_range(photon_range);
  const embree::SceneUse use = scene.acquire_use();
  const embree::FluxResult r = embree::render_flux(
      scene, nx, ny, num_photons, num_bands, prob_sun, max_bounces, max_depth, rr_depth,
      num_threads, callback, decompose, interpreter_interrupt_check(), range);
  const py::ssize_t nb = r.n_bands;
  const std::vector<py::ssize_t> cells{r.ny, r.nx, nb};
  if (!range.whole()) {
    return range_result(
        r.partials,
        {"downwelling", "upwelling", "downwelling_direct", "downwelling_diffuse", "grid",
         "grid_direct", "grid_diffuse", "leaf", "terrain", "escaped", "incident", nullptr},
        {cells, cells, cells, cells, cells, cells, cells, {-1, nb}, {nb}, {nb}, {nb}, {nb}},
        r.execution);
  }
  py::dict out;
  put(out, "downwelling", r.downwelling, cells);
  put(out, "upwelling", r.upwelling, cells);
  put(out, "downwelling_direct", r.downwelling_direct, cells);
  put(out, "downwelling_diffuse", r.downwelling_diffuse, cells);
  put(out, "terrain", r.terrain, {nb});
  put(out, "escaped", r.escaped, {nb});
  put(out, "incident", r.incident, {nb});
  put(out, "grid", r.grid, cells);
  put(out, "grid_direct", r.grid_direct, cells);
  put(out, "grid_diffuse", r.grid_diffuse, cells);
  put(out, "leaf", r.leaf, {static_cast<py::ssize_t>(r.leaf.size()) / nb, nb});
  return flat_result(std::move(out), r.execution);
}

py::dict simulate_forward_cpu(const embree::EmbreeSceneManager& scene, int nx, int ny,
                              const carray<float>& layer_heights, int64_t num_photons,
                              int num_bands, bool per_leaf, const carray<float>& brf_directions,
                              int num_brf_dirs, float prob_sun, int max_depth,
                              int terrain_instance_id, const py::object& progress, int num_threads,
                              const py::object& photon_range) {
  const ProgressCallback callback = wrap_progress(progress);
  const embree::photon::PhotonRange range = to_range(photon_range);
  const embree::SceneUse use = scene.acquire_use();
  // num_brf_dirs = 0 means no BRF whatever brf_directions holds; otherwise the workflow
  // checks that the array holds exactly num_brf_dirs directions.
  std::vector<float> directions;
  if (num_brf_dirs != 0) directions = to_vector(brf_directions);
  const embree::ForwardFieldResult r = embree::render_forward(
      scene, nx, ny, to_vector(layer_heights), num_photons, num_bands, per_leaf, prob_sun,
      directions, num_brf_dirs, max_depth, transport::kDefaultRouletteDepth, num_threads, callback,
      terrain_instance_id, interpreter_interrupt_check(), range);
  const py::ssize_t nb = r.n_bands;
  const std::vector<py::ssize_t> cells{r.n_layers, r.ny, r.nx, nb};
  if (!range.whole()) {
    return range_result(
        r.partials,
        {"grid", "terrain", "brf", "albedo", "escaped", "incident", "grid_direct", "grid_diffuse",
         nullptr, "leaf"},
        {cells, {nb}, {r.n_directions, nb}, {nb}, {nb}, {nb}, cells, cells, {nb}, {-1, nb}},
        r.execution);
  }
  py::dict out;
  put(out, "grid", r.grid, cells);
  put(out, "leaf", r.leaf, {static_cast<py::ssize_t>(r.leaf.size()) / nb, nb});
  put(out, "brf", r.brf, {r.n_directions, nb});
  put(out, "albedo", r.albedo, {nb});
  put(out, "terrain", r.terrain, {nb});
  put(out, "escaped", r.escaped, {nb});
  put(out, "incident", r.incident, {nb});
  put(out, "grid_direct", r.grid_direct, cells);
  put(out, "grid_diffuse", r.grid_diffuse, cells);
  return flat_result(std::move(out), r.execution);
}

}  // namespace

void bind_forward(py::module_& m) {
  m.attr("FOLD_PHOTONS") = embree::photon::kFoldPhotons;
  m.def("simulate_forward_cpu", &simulate_forward_cpu, py::arg("scene"), py::arg("nx") = 1,
        py::arg("ny") = 1, py::arg("layer_heights"), py::arg("num_photons") = 10000000,
        py::arg("num_bands") = 1, py::arg("per_leaf") = false,
        py::arg("brf_directions") = carray<float>(0), py::arg("num_brf_dirs") = 0,
        py::arg("prob_sun") = 1.0f, py::arg("max_depth") = 16, py::arg("terrain_instance_id") = -1,
        py::arg("progress") = py::none(), py::kw_only(), py::arg("num_threads") = 0,
        py::arg("photon_range") = py::none(),
        "Forward photon tracing of absorbed radiation (fPAR) on the CPU.\n\n"
        "num_photons photons from the sun (probability prob_sun) and the sky are followed through\n"
        "surfaces and optical turbid media; the energy absorbed at every event is added to a\n"
        "grid of layers (layer_heights: increasing boundaries in z) x ny x nx cells over the\n"
        "repetitive domain (else the sensor's orthographic footprint). Hits on\n"
        "terrain_instance_id (>= 0) go to 'terrain'; per_leaf adds per-primitive absorption.\n"
        "brf_directions holds num_brf_dirs view directions (3 floats each, toward the viewer;\n"
        "num_brf_dirs = 0 ignores it):\n"
        "'brf' gets the radiant intensity reflected toward each (next-event estimates) and\n"
        "'albedo' the energy escaping upward. TESK_MAX_DEPTH overrides "
        "max_depth.\n" TESK_FORWARD_RUN_DOC
        "Returns a dict of float32 arrays ('grid' [layers, ny, nx, bands], 'leaf', 'brf',\n"
        "'albedo', 'terrain', 'escaped', 'incident', 'grid_direct', 'grid_diffuse'; those not\n"
        "produced are left out) and '_execution'.");
  m.def("simulate_flux_cpu", &simulate_flux_cpu, py::arg("scene"), py::arg("nx"), py::arg("ny"),
        py::arg("num_photons"), py::arg("num_bands"), py::arg("prob_sun") = 1.0f,
        py::arg("max_bounces") = 0, py::arg("max_depth") = 16, py::arg("rr_depth") = 3,
        py::arg("decompose") = false, py::arg("progress") = py::none(), py::kw_only(),
        py::arg("num_threads") = 0, py::arg("photon_range") = py::none(),
        "Forward photon flux on a horizontal grid on the CPU.\n\n"
        "num_photons photons from the sun (probability prob_sun) and the sky are followed until\n"
        "they escape, lose Russian roulette (from rr_depth scatterings on) or reach max_depth\n"
        "scatterings (TESK_MAX_DEPTH overrides it). Every hit adds the photon's energy to\n"
        "'downwelling' of its cell (at most max_bounces hits per photon when > 0), energy\n"
        "leaving a cell for another cell or the sky to 'upwelling'; decompose splits downwelling\n"
        "into sun and sky parts. Scenes with optical turbid media also return 'terrain' (instance\n"
        "0), 'grid' and its sun/sky split, 'leaf' (per primitive), 'escaped' and "
        "'incident'.\n" TESK_FORWARD_RUN_DOC
        "Returns a dict of float32 arrays [ny, nx, bands] (per-band totals [bands]) and\n"
        "'_execution'.");
}

}  // namespace tesk::python
