// Transport workflows of VulkanSceneManager: argument checks, the device run and the result
// dictionaries, shaped as those of the CPU functions.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <span>
#include <string>

#include "python/bindings.h"
#include "python/frame.h"
#include "python/vulkan_workflows.h"
#include "vulkan/energy_balance.h"
#include "vulkan/render_backward.h"
#include "vulkan/render_flux.h"

namespace tesk::python {
namespace {

using vulkan::VulkanSceneManager;

py::array_t<float> image(const std::vector<float>& data, py::ssize_t slots,
                         const embree::OpticalImageResult& r) {
  std::vector<py::ssize_t> shape;
  if (slots > 0) shape.push_back(slots);
  shape.insert(shape.end(), {r.height, r.width, r.n_bands});
  return to_numpy(data.data(), shape);
}

py::dict simulate_backward(VulkanSceneManager& scene, int spp, int max_depth,
                           const py::object& outputs, int max_output_order,
                           const py::object& progress) {
  if (spp < 1) throw py::value_error("spp must be at least 1");
  const backend::OpticalProductRequest request = optical_request(outputs, max_output_order);
  const ProgressCallback callback = wrap_progress(progress);
  const embree::SceneUse use = scene.host().acquire_use();
  constexpr int kRussianRouletteDepth = 3;
  const embree::OpticalImageResult r =
      vulkan::render_backward(scene, spp, max_depth, kRussianRouletteDepth, request, callback,
                              interpreter_interrupt_check());
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

py::dict simulate_brf(VulkanSceneManager& scene, const carray<float>& directions,
                      int64_t num_photons, int max_depth, const py::object& progress) {
  if (directions.ndim() != 1) {
    throw py::value_error("directions must be a nonempty flat float3 array");
  }
  const embree::SceneUse use = scene.host().acquire_use();
  const embree::BrfResult r =
      vulkan::render_brf(scene, to_vector(directions), num_photons, max_depth,
                         wrap_progress(progress), interpreter_interrupt_check());
  py::dict out;
  out["brf"] = to_numpy(r.brf.data(), {r.n_dirs, r.n_bands});
  return flat_result(std::move(out), r.execution);
}

py::dict simulate_flux(VulkanSceneManager& scene, int nx, int ny, int64_t num_photons,
                       int num_bands, float prob_sun, int max_bounces, int max_depth, int rr_depth,
                       bool decompose, const py::object& progress) {
  const ProgressCallback callback = wrap_progress(progress);
  const embree::SceneUse use = scene.host().acquire_use();
  const embree::FluxResult r =
      vulkan::render_flux(scene, nx, ny, num_photons, num_bands, prob_sun, max_bounces, max_depth,
                          rr_depth, decompose, callback, interpreter_interrupt_check());
  const std::vector<py::ssize_t> cells{r.ny, r.nx, r.n_bands};
  py::dict out;
  out["downwelling"] = to_numpy(r.downwelling.data(), cells);
  out["upwelling"] = to_numpy(r.upwelling.data(), cells);
  if (decompose) {
    out["downwelling_direct"] = to_numpy(r.downwelling_direct.data(), cells);
    out["downwelling_diffuse"] = to_numpy(r.downwelling_diffuse.data(), cells);
  }
  if (!r.incident.empty()) {  // media scenes
    const py::ssize_t nb = r.n_bands;
    out["grid"] = to_numpy(r.grid.data(), cells);
    out["grid_direct"] = to_numpy(r.grid_direct.data(), cells);
    out["grid_diffuse"] = to_numpy(r.grid_diffuse.data(), cells);
    if (!r.leaf.empty()) {
      out["leaf"] = to_numpy(r.leaf.data(), {static_cast<py::ssize_t>(r.leaf.size()) / nb, nb});
    }
    out["terrain"] = to_numpy(r.terrain);
    out["escaped"] = to_numpy(r.escaped);
    out["incident"] = to_numpy(r.incident);
  }
  return flat_result(std::move(out), r.execution);
}

py::tuple run_energy_balance(VulkanSceneManager& scene, int band_type, int n_samples,
                             float sun_irradiance, float sky_diffuse_radiance,
                             float sky_lw_radiance, float sun_dir_x, float sun_dir_y,
                             float sun_dir_z, bool two_sided, const carray<float>& sw_albedos) {
  if (sw_albedos.ndim() > 1) throw py::value_error("sw_albedos must be a flat float32 array");
  const embree::SceneUse use = scene.host().acquire_use();
  const embree::EnergyBalanceResult r = vulkan::render_energy_balance(
      scene, n_samples, band_type, sun_irradiance, sky_diffuse_radiance, sky_lw_radiance,
      float3{sun_dir_x, sun_dir_y, sun_dir_z}, two_sided,
      std::span<const float>(sw_albedos.data(), static_cast<size_t>(sw_albedos.size())));
  return py::make_tuple(to_numpy(r.top), to_numpy(r.bot));
}

// None (empty) or an array of floats; anything else is a ValueError naming the argument.
carray<float> optional_floats(const py::object& value, const char* name) {
  if (value.is_none()) return carray<float>(0);
  carray<float> a = carray<float>::ensure(value);
  if (!a) {
    PyErr_Clear();
    throw py::value_error(std::string(name) + " must be a float32 array or None");
  }
  return a;
}

std::span<const float> view(const carray<float>& a) {
  return {a.data(), static_cast<size_t>(a.size())};
}

py::dict run_energy_balance_multiband(
    VulkanSceneManager& scene, int n_bands, int n_samples, const carray<float>& sun_irradiance,
    const carray<float>& sky_diffuse_radiance, float sun_dir_x, float sun_dir_y, float sun_dir_z,
    bool two_sided, const carray<float>& sw_albedos, const py::object& sky_directional_table,
    int max_depth, const py::object& sw_reflectance, const py::object& sw_back_reflectance,
    const py::object& sw_transmittance) {
  const carray<float> table = optional_floats(sky_directional_table, "sky_directional_table");
  if (!sky_directional_table.is_none() && !(table.ndim() == 3 && table.shape(0) == n_bands &&
                                            table.shape(1) == 16 && table.shape(2) == 32)) {
    throw py::value_error("sky_directional_table must have shape [n_bands, 16, 32]");
  }
  if (sun_irradiance.ndim() != 1) throw py::value_error("sun_irradiance must have shape [n_bands]");
  if (sky_diffuse_radiance.ndim() != 1) {
    throw py::value_error("sky_diffuse_radiance must have shape [n_bands]");
  }
  if (sw_albedos.ndim() != 1)
    throw py::value_error("sw_albedos must be 1D (flattened [n_bands * n_prims])");
  const carray<float> r = optional_floats(sw_reflectance, "sw_reflectance");
  const carray<float> rb = optional_floats(sw_back_reflectance, "sw_back_reflectance");
  const carray<float> t = optional_floats(sw_transmittance, "sw_transmittance");
  const embree::SceneUse use = scene.host().acquire_use();
  const embree::EnergyBalanceMultibandResult a = vulkan::render_energy_balance_multiband(
      scene, n_bands, n_samples, max_depth, view(sun_irradiance), view(sky_diffuse_radiance),
      view(table), float3{sun_dir_x, sun_dir_y, sun_dir_z}, two_sided, view(sw_albedos), view(r),
      view(rb), view(t));
  const auto nb = static_cast<py::ssize_t>(a.n_bands);
  const auto n = nb > 0 ? static_cast<py::ssize_t>(a.top.size()) / nb : 0;
  py::dict payload;
  payload["top"] = to_numpy(a.top.data(), {nb, n});
  payload["bot"] = to_numpy(a.bot.data(), {a.bot.empty() ? 0 : nb, a.bot.empty() ? 0 : n});
  payload["sunlit_fraction"] = to_numpy(a.sunlit_fraction);
  return enveloped_result(std::move(payload), a.execution);
}

py::dict simulate_forward_radiation(VulkanSceneManager& scene, int nx, int ny,
                                    const carray<float>& layer_heights, int64_t num_photons,
                                    int num_bands, bool per_leaf, float prob_sun, int max_depth,
                                    int rr_depth, int terrain_instance_id, bool /*decompose*/,
                                    const py::object& progress,
                                    const carray<float>& brf_directions) {
  const ProgressCallback callback = wrap_progress(progress);
  const embree::SceneUse use = scene.host().acquire_use();
  const embree::ForwardFieldResult r = vulkan::render_forward_field(
      scene, nx, ny, to_vector(layer_heights), num_photons, num_bands, per_leaf, prob_sun,
      to_vector(brf_directions), max_depth, rr_depth, terrain_instance_id, callback,
      interpreter_interrupt_check());
  const py::ssize_t nb = r.n_bands;
  py::dict out;
  out["grid"] = to_numpy(r.grid.data(), {r.n_layers, r.ny, r.nx, nb});
  if (!r.leaf.empty())
    out["leaf"] = to_numpy(r.leaf.data(), {static_cast<py::ssize_t>(r.leaf.size()) / nb, nb});
  if (!r.brf.empty()) out["brf"] = to_numpy(r.brf.data(), {r.n_directions, nb});
  if (!r.albedo.empty()) out["albedo"] = to_numpy(r.albedo);
  if (!r.terrain.empty()) out["terrain"] = to_numpy(r.terrain);
  if (!r.incident.empty()) {  // media scenes
    const std::vector<py::ssize_t> cells{r.n_layers, r.ny, r.nx, nb};
    out["grid_direct"] = to_numpy(r.grid_direct.data(), cells);
    out["grid_diffuse"] = to_numpy(r.grid_diffuse.data(), cells);
    out["escaped"] = to_numpy(r.escaped);
    out["incident"] = to_numpy(r.incident);
  }
  return flat_result(std::move(out), r.execution);
}

}  // namespace

void bind_vulkan_workflows(py::class_<VulkanSceneManager>& cls) {
  cls.def("simulate_backward", &simulate_backward, py::arg("spp") = 16, py::arg("max_depth") = 16,
          py::arg("outputs") = py::make_tuple("radiance"), py::arg("max_output_order") = 0,
          py::kw_only(), py::arg("progress") = py::none(),
          "Render the scene's sensor by backward path tracing on the device: the transport,\n"
          "products and result keys of simulate_cpu (surface scenes, periodic or not, and scenes\n"
          "with optical turbid media, whose leaves in thermal and SIF-only modes emit from the\n"
          "per-instance thermal state, SIF source fields and resident Turbid sources; 1 to 32\n"
          "bands). "
          "Returns {'payload': float32 [H, W, n_bands],\n"
          "'standard_error', 'event_aov', 'scattering_order' (arrays or None), '_execution'}.\n"
          "Passes run in dispatches of about 2^20 samples: progress(passes done, spp,\n"
          "elapsed_ms) is called after each and Ctrl-C is seen between them.");
  cls.def("simulate_brf", &simulate_brf, py::arg("directions"), py::arg("num_photons"),
          py::arg("max_depth") = 16, py::arg("progress") = py::none(),
          "Backward BRF toward view directions on the device, as simulate_brf_cpu: returns\n"
          "{'brf': float32 [n_dirs, n_bands], '_execution'}.");
  cls.def("simulate_flux", &simulate_flux, py::arg("nx"), py::arg("ny"), py::arg("num_photons"),
          py::arg("num_bands"), py::arg("prob_sun") = 1.0f, py::arg("max_bounces") = 0,
          py::arg("max_depth") = 16, py::arg("rr_depth") = 3, py::arg("decompose") = false,
          py::arg("progress") = py::none(),
          "Forward photon flux on the device, as simulate_flux_cpu (the same photon streams):\n"
          "'downwelling', 'upwelling' and, with decompose, 'downwelling_direct' and\n"
          "'downwelling_diffuse', each float32 [ny, nx, num_bands], and '_execution'. Scenes with\n"
          "optical turbid media add 'grid', 'grid_direct', 'grid_diffuse', 'leaf', 'terrain',\n"
          "'escaped' and 'incident' as simulate_flux_cpu.\n"
          "progress(done, total, elapsed_ms) is called after each dispatch of up to 2^22 photons.");
  cls.def("simulate_forward_radiation", &simulate_forward_radiation, py::arg("nx"), py::arg("ny"),
          py::arg("layer_heights"), py::arg("num_photons"), py::arg("num_bands"),
          py::arg("per_leaf") = false, py::arg("prob_sun") = 1.0f, py::arg("max_depth") = 16,
          py::arg("rr_depth") = 3, py::arg("terrain_instance_id") = -1,
          py::arg("decompose") = false, py::arg("progress") = py::none(),
          py::arg("brf_directions") = carray<float>(0),
          "Forward radiation field on the device, as simulate_forward_cpu (the same photon\n"
          "streams): 'grid' [n_layers, ny, nx, num_bands], 'leaf' (per_leaf), 'terrain'\n"
          "(terrain_instance_id >= 0), with brf_directions (flat, 3 per view) 'brf'\n"
          "[n_views, num_bands] and 'albedo', and '_execution'. Scenes with optical turbid media\n"
          "add 'grid_direct', 'grid_diffuse', 'escaped' and 'incident' (leaf absorption in the\n"
          "grid), and their BRF also takes leaf collisions, through the media's transmittance.\n"
          "decompose is accepted and changes nothing.");
  cls.def("run_energy_balance_gpu", &run_energy_balance, py::arg("band_type"), py::arg("n_samples"),
          py::arg("sun_irradiance"), py::arg("sky_diffuse_radiance"), py::arg("sky_lw_radiance"),
          py::arg("sun_dir_x"), py::arg("sun_dir_y"), py::arg("sun_dir_z"), py::arg("two_sided"),
          py::arg("sw_albedos") = carray<float>(0),
          "Single-band energy balance on the device, as run_energy_balance_cpu: band_type 0\n"
          "shortwave or 1 longwave, n_samples rays per face. Returns (top, bottom) float32\n"
          "[n_primitives] irradiances (W m^-2); bottom is empty unless two_sided.");
  cls.def("run_energy_balance_multiband_gpu", &run_energy_balance_multiband, py::arg("n_bands"),
          py::arg("n_samples"), py::arg("sun_irradiance"), py::arg("sky_diffuse_radiance"),
          py::arg("sun_dir_x"), py::arg("sun_dir_y"), py::arg("sun_dir_z"), py::arg("two_sided"),
          py::arg("sw_albedos") = carray<float>(0), py::arg("sky_directional_table") = py::none(),
          py::arg("max_depth") = 8, py::arg("sw_reflectance") = py::none(),
          py::arg("sw_back_reflectance") = py::none(), py::arg("sw_transmittance") = py::none(),
          "Multiband shortwave energy balance on the device, as\n"
          "run_energy_balance_multiband_cpu (1 to 32 bands; empty sun_irradiance or\n"
          "sky_diffuse_radiance arrays mean absent). Returns {'payload': {'top', 'bot'\n"
          "[n_bands, n_primitives], 'sunlit_fraction'}, '_execution'}.");
}

}  // namespace tesk::python
