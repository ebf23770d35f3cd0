// simulate_lidar_cpu (and the same operation as EmbreeSceneManager.simulate_lidar): the LiDAR
// request from the host's arrays and scalars, and the flat result dictionary. The run holds the
// interpreter lock (only this thread calls back into Python); the workflow polls for Ctrl-C
// while its workers run.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <span>
#include <string>

#include "embree/lidar.h"
#include "embree/scene_manager.h"
#include "python/bindings.h"
#include "python/frame.h"
#include "python/lidar_args.h"

#ifdef TESK_HAS_VULKAN
#include "vulkan/lidar.h"
#endif

namespace tesk::python {
namespace {

py::dict simulate_lidar_cpu(const embree::EmbreeSceneManager& scene,
                            const carray<float>& pulse_origins,
                            const carray<float>& pulse_directions, int64_t num_pulses,
                            float beam_half_angle_rad, int beam_samples_per_dim, float pulse_energy,
                            float sensor_area, float range_resolution, float min_range,
                            float max_range, int num_wavelengths, float pulse_fwhm_ns,
                            float peak_threshold, int max_returns_per_pulse, bool direct_mode,
                            const py::object& progress, const py::object& waveforms,
                            int num_threads) {
  const ProgressCallback callback = wrap_progress(progress);
  return run_lidar(pulse_origins, pulse_directions, num_pulses, beam_half_angle_rad,
                   beam_samples_per_dim, pulse_energy, sensor_area, range_resolution, min_range,
                   max_range, num_wavelengths, pulse_fwhm_ns, peak_threshold, max_returns_per_pulse,
                   direct_mode, waveforms, [&](const embree::LidarRequest& request) {
                     const embree::SceneUse use = scene.acquire_use();
                     return embree::simulate_lidar(scene, request, num_threads, callback,
                                                   interpreter_interrupt_check());
                   });
}

#ifdef TESK_HAS_VULKAN
py::dict simulate_lidar_vulkan(vulkan::VulkanSceneManager& scene,
                               const carray<float>& pulse_origins,
                               const carray<float>& pulse_directions, int64_t num_pulses,
                               float beam_half_angle_rad, int beam_samples_per_dim,
                               float pulse_energy, float sensor_area, float range_resolution,
                               float min_range, float max_range, int num_wavelengths,
                               float pulse_fwhm_ns, float peak_threshold, int max_returns_per_pulse,
                               bool direct_mode, const py::object& progress,
                               const py::object& waveforms) {
  const ProgressCallback callback = wrap_progress(progress);
  return run_lidar(pulse_origins, pulse_directions, num_pulses, beam_half_angle_rad,
                   beam_samples_per_dim, pulse_energy, sensor_area, range_resolution, min_range,
                   max_range, num_wavelengths, pulse_fwhm_ns, peak_threshold, max_returns_per_pulse,
                   direct_mode, waveforms, [&](const embree::LidarRequest& request) {
                     const embree::SceneUse use = scene.host().acquire_use();
                     return vulkan::simulate_lidar(scene, request, callback,
                                                   interpreter_interrupt_check());
                   });
}

constexpr const char* kVulkanDoc =
    "Simulate a discrete-pulse LiDAR on the Vulkan device, as simulate_lidar_cpu (same\n"
    "arguments and result keys, optical turbid media included; the pulses are traced with ray\n"
    "queries and the waveforms finished on the host exactly as on the CPU). Pulses run in\n"
    "dispatches; progress(done, total, elapsed_ms) is called after each and Ctrl-C is seen\n"
    "between them.";
#endif

constexpr const char* kDoc =
    "Simulate a discrete-pulse LiDAR on the CPU.\n\n"
    "pulse_origins and pulse_directions hold num_pulses x 3 floats (flat or [n, 3]; directions\n"
    "are normalised). Direct mode: the first surface return of each pulse's central ray within\n"
    "[min_range, max_range], intensity |d.n| rho E A / (pi r^2). Waveform mode: the footprint\n"
    "(beam_half_angle_rad, (beam_samples_per_dim + 1)^2 grid points inside the unit disk with\n"
    "Gaussian weights) is traced; Lambertian surface returns w E (A / r^2) |d.n| rho / pi and,\n"
    "inside optical turbid media, leaf volume returns are binned by range (range_resolution,\n"
    "trunc((max_range - min_range) / range_resolution) + 1 bins) and by the first\n"
    "num_wavelengths scene bands; surface returns behind leaves are attenuated by the two-way\n"
    "transmittance. The waveform is convolved with the Gaussian transmit pulse (pulse_fwhm_ns)\n"
    "and its nearest strict local maxima above peak_threshold (at most max_returns_per_pulse)\n"
    "become points at their bin centres. The scene is seen as placed (no periodic repeats).\n"
    "waveforms names the waveforms returned in waveform mode: 'convolved' ('waveform') and\n"
    "'raw' ('raw_waveform'); () returns none. progress(done, total, elapsed_ms) is called at\n"
    "most every 100 ms and at the end; num_threads workers (0: all hardware threads); results,\n"
    "point order included, do not depend on it.\n"
    "Returns {'waveform': float32 [num_pulses, num_bins, num_wavelengths] ([0, ...] in direct\n"
    "mode or when not requested), 'points': float32 [num_returns, 8] (x, y, z, intensity, return\n"
    "number, returns of the pulse, range, pulse index; pulse order, nearest first; pulse\n"
    "indices are exact up to 2^24), 'num_bins', 'num_returns', '_execution'}.";

}  // namespace

void bind_lidar(py::module_& m) {
  // Calls `def` with the argument list shared by the function and the method.
  auto add = [](auto&& def) {
    def(py::arg("pulse_origins"), py::arg("pulse_directions"), py::arg("num_pulses"),
        py::arg("beam_half_angle_rad") = 0.0005f, py::arg("beam_samples_per_dim") = 10,
        py::arg("pulse_energy") = 1.0f, py::arg("sensor_area") = 0.1f,
        py::arg("range_resolution") = 0.15f, py::arg("min_range") = 0.0f,
        py::arg("max_range") = 100.0f, py::arg("num_wavelengths") = 1,
        py::arg("pulse_fwhm_ns") = 4.0f, py::arg("peak_threshold") = 1e-8f,
        py::arg("max_returns_per_pulse") = 5, py::arg("direct_mode") = false, py::kw_only(),
        py::arg("progress") = py::none(), py::arg("waveforms") = py::make_tuple("convolved"),
        py::arg("num_threads") = 0);
  };
#ifdef TESK_HAS_VULKAN
  // The device method: the same arguments without a thread count.
  py::object device = m.attr("VulkanSceneManager");
  device.attr("simulate_lidar") = py::cpp_function(
      &simulate_lidar_vulkan, py::name("simulate_lidar"), py::is_method(device),
      py::arg("pulse_origins"), py::arg("pulse_directions"), py::arg("num_pulses"),
      py::arg("beam_half_angle_rad") = 0.0005f, py::arg("beam_samples_per_dim") = 10,
      py::arg("pulse_energy") = 1.0f, py::arg("sensor_area") = 0.1f,
      py::arg("range_resolution") = 0.15f, py::arg("min_range") = 0.0f,
      py::arg("max_range") = 100.0f, py::arg("num_wavelengths") = 1,
      py::arg("pulse_fwhm_ns") = 4.0f, py::arg("peak_threshold") = 1e-8f,
      py::arg("max_returns_per_pulse") = 5, py::arg("direct_mode") = false, py::kw_only(),
      py::arg("progress") = py::none(), py::arg("waveforms") = py::make_tuple("convolved"),
      kVulkanDoc);
#endif
  add([&](auto&&... args) {
    m.def("simulate_lidar_cpu", &simulate_lidar_cpu, py::arg("scene"), args..., kDoc);
  });
  // The same operation as a method of the scene manager, as the device scene managers have it.
  py::object cls = m.attr("EmbreeSceneManager");
  add([&](auto&&... args) {
    cls.attr("simulate_lidar") = py::cpp_function(
        &simulate_lidar_cpu, py::name("simulate_lidar"), py::is_method(cls),
        py::sibling(py::getattr(cls, "simulate_lidar", py::none())), args..., kDoc);
  });
}

}  // namespace tesk::python
