// The energy balance: run_energy_balance_cpu and run_energy_balance_multiband_cpu, and the same
// two as methods of EmbreeSceneManager. Optional arguments are converted as in
// python/energy_balance_args.h. Runs hold the interpreter lock and the scene's
// use token; the workflows poll for Ctrl-C while their workers run.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "embree/energy_balance.h"
#include "embree/scene_manager.h"
#include "python/bindings.h"
#include "python/energy_balance_args.h"
#include "python/frame.h"

namespace tesk::python {
namespace {

using embree::EmbreeSceneManager;

std::tuple<py::array_t<float>, py::array_t<float>> energy_balance(
    const EmbreeSceneManager& scene, int n_samples, int max_depth, int band_type,
    const py::object& sun_irradiance, const py::object& sky_diffuse_radiance, float sky_lw_radiance,
    float sun_dir_x, float sun_dir_y, float sun_dir_z, bool two_sided, const py::object& sw_albedos,
    const py::object& sw_reflectance, const py::object& sw_back_reflectance,
    const py::object& sw_transmittance, const py::object& progress, int num_threads) {
  const SingleBandArgs a = single_band_args(sun_irradiance, sky_diffuse_radiance, sw_albedos,
                                            sw_reflectance, sw_back_reflectance, sw_transmittance);
  const ProgressCallback callback = wrap_progress(progress);
  const embree::SceneUse use = scene.acquire_use();
  const embree::EnergyBalanceResult r = embree::render_energy_balance(
      scene, n_samples, max_depth, band_type, a.sun ? &*a.sun : nullptr, a.sky ? &*a.sky : nullptr,
      sky_lw_radiance, sun_dir_x, sun_dir_y, sun_dir_z, two_sided, view(a.albedos), {}, {}, {},
      num_threads, callback, interpreter_interrupt_check());
  return {to_numpy(r.top), to_numpy(r.bot)};
}

// The multiband payload arrays: top and bot [n_bands, n_primitives] (bot and everything of a
// run without bands empty), sunlit_fraction [n_primitives].
struct MultibandArrays {
  py::array_t<float> top, bot, sunlit_fraction;
  ExecutionIdentity execution;
};

MultibandArrays energy_balance_multiband(
    const EmbreeSceneManager& scene, int n_bands, int n_samples, int max_depth,
    const py::object& sun_irradiance, const py::object& sky_diffuse_radiance,
    const py::object& sky_directional_table, float sun_dir_x, float sun_dir_y, float sun_dir_z,
    bool two_sided, const py::object& sw_albedos, const py::object& sw_reflectance,
    const py::object& sw_back_reflectance, const py::object& sw_transmittance,
    const py::object& progress, int num_threads) {
  MultibandArrays out;
  if (n_bands < 1) {
    const embree::EnergyBalanceMultibandResult none = embree::render_energy_balance_multiband(
        scene, n_bands, n_samples, max_depth, {}, {}, {}, {sun_dir_x, sun_dir_y, sun_dir_z},
        two_sided, {}, {}, {}, {}, num_threads);
    out.top = out.bot = out.sunlit_fraction = py::array_t<float>(0);
    out.execution = none.execution;
    return out;
  }
  const MultibandArgs a =
      multiband_args(n_bands, sun_irradiance, sky_diffuse_radiance, sky_directional_table,
                     sw_albedos, sw_reflectance, sw_back_reflectance, sw_transmittance);
  const ProgressCallback callback = wrap_progress(progress);
  const embree::SceneUse use = scene.acquire_use();
  const embree::EnergyBalanceMultibandResult r = embree::render_energy_balance_multiband(
      scene, n_bands, n_samples, max_depth, view(a.sun), view(a.sky), view(a.table),
      {sun_dir_x, sun_dir_y, sun_dir_z}, two_sided, view(a.albedos), view(a.reflectance),
      view(a.back), view(a.transmittance), num_threads, callback, interpreter_interrupt_check());
  const py::ssize_t nb = r.n_bands;
  const auto n = static_cast<py::ssize_t>(r.sunlit_fraction.size());
  out.top = to_numpy(r.top.data(), {nb, n});
  out.bot = two_sided ? to_numpy(r.bot.data(), {nb, n}) : py::array_t<float>(0);
  out.sunlit_fraction = to_numpy(r.sunlit_fraction);
  out.execution = r.execution;
  return out;
}

const char* const kSingleDoc =
    "Run the energy balance reverse RT kernel. Returns (top, bot) numpy arrays of length "
    "n_primitives. bot is empty when two_sided=False. sw_albedos: optional "
    "float32[n_primitives] for 2-bounce SW NEE.\n\n"
    "n_samples cosine-weighted rays per face estimate the irradiance incident on each\n"
    "primitive's top face (the side its normal points to) and bottom face: band_type 0\n"
    "(shortwave) adds the direct sun sun_irradiance * cos, the sky sky_diffuse_radiance and\n"
    "what the first surface seen reflects of them (with sw_albedos); band_type 1 (longwave)\n"
    "adds sky_lw_radiance and the grey emission e sigma T^4 / pi of the surfaces seen\n"
    "(set_primitive_temperatures / material temperature, set_primitive_emissivities / 0.97).\n"
    "max_depth and the split optics are accepted and not used. progress(done, total,\n"
    "elapsed_ms) counts primitives. num_threads workers (0: all hardware threads); results do\n"
    "not depend on it. Scenes with optical turbid media are refused.";

const char* const kMultibandDoc =
    "Multiband shortwave energy balance with multi-bounce transport.\n\n"
    "For every primitive face, n_samples cosine-weighted paths of at most max_depth surface\n"
    "interactions carry one weight per band through reflecting and transmitting surfaces:\n"
    "sw_reflectance (front), sw_back_reflectance and sw_transmittance (split optics, any of\n"
    "them given), else sw_albedos (reflectance only), else black; each band-major flattened\n"
    "[n_bands * n_primitives]. sun_irradiance and sky_diffuse_radiance [n_bands] and\n"
    "sky_directional_table [n_bands, 16, 32] are optional (no sun; the table, else the uniform\n"
    "sky, else the scene's sky). top and bot are [n_bands, n_primitives] irradiances (bot\n"
    "empty unless two_sided); sunlit_fraction is the fraction of face samples that see the sun.\n"
    "progress(done, total, elapsed_ms) counts primitives. num_threads workers (0: all hardware\n"
    "threads); results do not depend on it. Scenes with optical turbid media are refused.";

}  // namespace

void bind_thermal(py::module_& m) {
  const auto multiband_args = [] {
    return std::make_tuple(
        py::arg("n_bands"), py::arg("n_samples") = 64, py::arg("max_depth") = 8,
        py::arg("sun_irradiance") = py::none(), py::arg("sky_diffuse_radiance") = py::none(),
        py::arg("sky_directional_table") = py::none(), py::arg("sun_dir_x") = 0.0f,
        py::arg("sun_dir_y") = 0.0f, py::arg("sun_dir_z") = 1.0f, py::arg("two_sided") = true,
        py::arg("sw_albedos") = py::none(), py::arg("sw_reflectance") = py::none(),
        py::arg("sw_back_reflectance") = py::none(), py::arg("sw_transmittance") = py::none(),
        py::kw_only(), py::arg("progress") = py::none(), py::arg("num_threads") = 0);
  };
  const auto single_args = [] {
    return std::make_tuple(
        py::arg("n_samples") = 64, py::arg("max_depth") = 8, py::arg("band_type") = 0,
        py::arg("sun_irradiance") = py::none(), py::arg("sky_diffuse_radiance") = py::none(),
        py::arg("sky_lw_radiance") = 0.0f, py::arg("sun_dir_x") = 0.0f, py::arg("sun_dir_y") = 0.0f,
        py::arg("sun_dir_z") = 1.0f, py::arg("two_sided") = true,
        py::arg("sw_albedos") = py::none(), py::arg("sw_reflectance") = py::none(),
        py::arg("sw_back_reflectance") = py::none(), py::arg("sw_transmittance") = py::none(),
        py::kw_only(), py::arg("progress") = py::none(), py::arg("num_threads") = 0);
  };
  auto multiband_envelope =
      [](const EmbreeSceneManager& scene, int n_bands, int n_samples, int max_depth,
         const py::object& sun, const py::object& sky, const py::object& table, float sx, float sy,
         float sz, bool two_sided, const py::object& albedos, const py::object& r,
         const py::object& rb, const py::object& t, const py::object& progress, int num_threads) {
        MultibandArrays a =
            energy_balance_multiband(scene, n_bands, n_samples, max_depth, sun, sky, table, sx, sy,
                                     sz, two_sided, albedos, r, rb, t, progress, num_threads);
        py::dict payload;
        payload["top"] = a.top;
        payload["bot"] = a.bot;
        payload["sunlit_fraction"] = a.sunlit_fraction;
        return enveloped_result(std::move(payload), a.execution);
      };
  auto multiband_tuple = [](const EmbreeSceneManager& scene, int n_bands, int n_samples,
                            int max_depth, const py::object& sun, const py::object& sky,
                            const py::object& table, float sx, float sy, float sz, bool two_sided,
                            const py::object& albedos, const py::object& r, const py::object& rb,
                            const py::object& t, const py::object& progress, int num_threads) {
    MultibandArrays a =
        energy_balance_multiband(scene, n_bands, n_samples, max_depth, sun, sky, table, sx, sy, sz,
                                 two_sided, albedos, r, rb, t, progress, num_threads);
    return py::make_tuple(a.top, a.bot, a.sunlit_fraction);
  };

  // Docstrings live as long as the module (the binding layer keeps pointers to them).
  static const std::string envelope_doc =
      std::string(kMultibandDoc) +
      "\nReturns {'payload': {'top', 'bot', 'sunlit_fraction'}, '_execution'}.";
  static const std::string tuple_doc =
      std::string(kMultibandDoc) + "\nReturns (top, bot, sunlit_fraction).";
  std::apply(
      [&](auto&&... args) {
        m.def("run_energy_balance_multiband_cpu", multiband_envelope, py::arg("scene"), args...,
              envelope_doc.c_str());
      },
      multiband_args());
  std::apply(
      [&](auto&&... args) {
        m.def("run_energy_balance_cpu", &energy_balance, py::arg("scene"), args..., kSingleDoc);
      },
      single_args());

  auto cls = py::reinterpret_borrow<py::class_<EmbreeSceneManager>>(m.attr("EmbreeSceneManager"));
  std::apply(
      [&](auto&&... args) { cls.def("run_energy_balance", &energy_balance, args..., kSingleDoc); },
      single_args());
  std::apply(
      [&](auto&&... args) {
        cls.def("run_energy_balance_multiband", multiband_tuple, args..., tuple_doc.c_str());
      },
      multiband_args());
}

}  // namespace tesk::python
