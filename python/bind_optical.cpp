// simulate_cpu: argument checks, the product request and the result dictionary of the
// backward optical renderer. The render runs with the interpreter lock held (only this thread
// calls back into Python); the renderer polls for Ctrl-C while its workers run.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>

#include "core/host/allocation.h"
#include "embree/render_backward.h"
#include "embree/scene_manager.h"
#include "python/bindings.h"
#include "python/frame.h"

namespace tesk::python {

backend::OpticalProductRequest optical_request(const py::object& outputs, int max_output_order) {
  backend::OpticalProductRequest request;
  auto add = [&request](const py::handle& item) {
    if (!py::isinstance<py::str>(item)) {
      throw py::type_error("outputs must be an iterable of output names (str)");
    }
    const std::string name = item.cast<std::string>();
    if (name == "radiance") {
    } else if (name == "standard_error") {
      request.standard_error = true;
    } else if (name == "event_aov") {
      request.event_aov = true;
    } else if (name == "scattering_order") {
      request.scattering_order = true;
    } else {
      throw py::value_error("unknown optical output name: " + name);
    }
  };
  if (py::isinstance<py::str>(outputs)) {
    add(outputs);
  } else {
    if (!py::isinstance<py::iterable>(outputs)) {
      throw py::type_error("outputs must be an iterable of output names (str)");
    }
    for (const py::handle item : outputs) add(item);
  }
  if (request.scattering_order && max_output_order < 0) {
    throw py::value_error("max_output_order must be non-negative");
  }
  request.max_output_order = request.scattering_order ? max_output_order : 0;
  return request;
}

namespace {

// A float32 array [slots,] H, W, n_bands holding a copy of `data`.
py::array_t<float> image(const std::vector<float>& data, py::ssize_t slots,
                         const embree::OpticalImageResult& r) {
  std::vector<py::ssize_t> shape;
  if (slots > 0) shape.push_back(slots);
  shape.insert(shape.end(), {r.height, r.width, r.n_bands});
  return to_numpy(data.data(), shape);
}

// Refuses an image the machine cannot hold: per pixel and band the renderer keeps double sums
// for every requested product (twice when passes are folded in blocks), and the result copies
// them as float32 twice (native, NumPy), or as float64 block sums for a pass range.
void check_image_memory(const embree::EmbreeSceneManager& scene,
                        const backend::OpticalProductRequest& request, int spp,
                        const embree::PassRange& range) {
  const SensorData& sensor = scene.description().sensor();
  const double elements = std::max(0.0, static_cast<double>(sensor.width)) *
                          std::max(0.0, static_cast<double>(sensor.height)) *
                          std::max(1.0, static_cast<double>(scene.description().num_bands()));
  double slots = 1.0;
  if (request.standard_error) slots += 1.0;
  if (request.event_aov) slots += 4.0;
  if (request.scattering_order) slots += static_cast<double>(request.max_output_order) + 2.0;
  const double block_size = embree::pass_block_size(spp);
  double per_element = sizeof(double) + 2 * sizeof(float);
  if (!range.whole()) {
    per_element = sizeof(double) * (1.0 + 2.0 * std::ceil((range.end - range.begin) / block_size));
  } else if (block_size > 1) {
    per_element += sizeof(double);
  }
  check_allocation(elements * slots * per_element, "simulate_cpu image buffers");
}

}  // namespace

embree::PassRange to_pass_range(const py::object& range) {
  embree::PassRange r;
  if (range.is_none()) return r;
  const auto pair = range.cast<std::pair<int64_t, int64_t>>();
  // Out-of-range values are clamped to ones the workflow's range check rejects.
  r.begin = static_cast<int>(std::clamp<int64_t>(pair.first, -1, INT32_MAX));
  r.end = static_cast<int>(std::clamp<int64_t>(pair.second, 0, INT32_MAX));
  if (r.end == 0) r.begin = 0;
  return r;
}

namespace {

// The fold-block sums of a pass-range render: float64 [n_blocks, slots..., H, W, n_bands].
py::dict pass_range_result(const embree::OpticalImageResult& r,
                           const backend::OpticalProductRequest& request, int spp) {
  const auto& p = r.partials;
  auto blocks = [&](const std::vector<double>& data, py::ssize_t slots) {
    std::vector<py::ssize_t> shape{p.n_blocks};
    if (slots > 0) shape.push_back(slots);
    shape.insert(shape.end(), {r.height, r.width, r.n_bands});
    return to_numpy(data.data(), shape);
  };
  py::dict out;
  out["payload"] = blocks(p.radiance, 0);
  if (request.standard_error) out["squares"] = blocks(p.squares, 0);
  if (request.event_aov) out["event_aov"] = blocks(p.events, 4);
  if (request.scattering_order) out["scattering_order"] = blocks(p.orders, r.order_slots);
  out["_fold_blocks"] = py::make_tuple(p.first_block, p.n_blocks);
  out["_spp"] = spp;
  return flat_result(std::move(out), r.execution);
}

py::dict simulate_cpu(const embree::EmbreeSceneManager& scene, int spp, int max_depth,
                      const py::object& progress, const py::object& outputs, int max_output_order,
                      int num_threads, const py::object& pass_range) {
  if (spp < 1) throw py::value_error("spp must be at least 1");
  const backend::OpticalProductRequest request = optical_request(outputs, max_output_order);
  const embree::PassRange range = to_pass_range(pass_range);
  embree::check_pass_range(range, spp);
  const ProgressCallback callback = wrap_progress(progress);
  // Registered for the whole render: the progress callback cannot change the scene under it.
  const embree::SceneUse use = scene.acquire_use();
  check_image_memory(scene, request, spp, range);
  constexpr int kRussianRouletteDepth = 3;
  const embree::OpticalImageResult r =
      embree::render_backward(scene, spp, max_depth, kRussianRouletteDepth, num_threads, callback,
                              request, interpreter_interrupt_check(), range);
  if (!range.whole()) return pass_range_result(r, request, spp);
  py::dict out;
  auto optional = [](bool requested, auto&& make) -> py::object {
    return requested ? py::object(make()) : py::object(py::none());
  };
  out["payload"] = image(r.radiance, 0, r);
  out["standard_error"] =
      optional(request.standard_error, [&] { return image(r.standard_error, 0, r); });
  out["event_aov"] = optional(request.event_aov, [&] { return image(r.event_aov, 4, r); });
  out["scattering_order"] = optional(request.scattering_order,
                                     [&] { return image(r.scattering_order, r.order_slots, r); });
  return flat_result(std::move(out), r.execution);
}

}  // namespace

void bind_optical(py::module_& m) {
  m.def("simulate_cpu", &simulate_cpu, py::arg("scene"), py::arg("spp") = 16,
        py::arg("max_depth") = 16, py::arg("progress") = py::none(),
        py::arg("outputs") = py::make_tuple("radiance"), py::arg("max_output_order") = 0,
        py::kw_only(), py::arg("num_threads") = 0, py::arg("pass_range") = py::none(),
        "Render the scene's sensor by backward path tracing on the CPU.\n\n"
        "spp sample passes (>= 1) of one sample per pixel; paths of at most max_depth surface\n"
        "interactions (TESK_MAX_DEPTH overrides it). progress(done, total, elapsed_ms) is called\n"
        "once per completed pass. outputs names the products besides 'radiance':\n"
        "'standard_error', 'event_aov' (4 slots: sun scattered, turbid, sky/sun seen, emission)\n"
        "and 'scattering_order' (max_output_order + 2 slots, the last one for higher orders).\n"
        "num_threads workers (0: all hardware threads); results do not depend on it.\n"
        "A hit on a material id that names no material ends its path without contribution.\n"
        "Returns {'payload': float32 [H, W, n_bands], 'standard_error', 'event_aov',\n"
        "'scattering_order' (arrays or None), '_execution'}.\n\n"
        "pass_range=(begin, end) renders only passes begin .. end - 1 (each exactly as in the\n"
        "whole render). Passes are folded in blocks of ceil(spp / MAX_PASS_BLOCKS): begin and\n"
        "end must be block multiples (or end = spp). The result then holds, per fold block,\n"
        "the float64 per-pixel sums: 'payload' [blocks, H, W, n_bands], 'squares' (with\n"
        "'standard_error'), 'event_aov' [blocks, 4, H, W, n_bands], 'scattering_order', and\n"
        "'_fold_blocks' (first block, blocks) and '_spp'; tesk_gpu.distributed.merge_pass_ranges\n"
        "turns the ranges of a whole render into its result bit for bit.");
  m.attr("MAX_PASS_BLOCKS") = embree::kMaxPassBlocks;
}

}  // namespace tesk::python
