#pragma once

// The LiDAR request of one call from the host's arrays and scalars, and the flat result
// dictionary: shared by simulate_lidar_cpu, the scene managers' method and the device
// simulators' method.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <span>
#include <string>
#include <vector>

#include "embree/lidar.h"
#include "python/bindings.h"
#include "python/frame.h"

namespace tesk::python {

// Which waveforms the host wants, from an iterable of names ("convolved", "raw"); a single
// string counts as one name.
inline void waveform_request(const py::object& waveforms, embree::LidarRequest& request) {
  request.keep_waveform = false;
  request.keep_raw_waveform = false;
  auto add = [&request](const py::handle& item) {
    if (!py::isinstance<py::str>(item)) {
      throw py::type_error("waveforms must be an iterable of waveform names (str)");
    }
    const std::string name = item.cast<std::string>();
    if (name == "convolved") {
      request.keep_waveform = true;
    } else if (name == "raw") {
      request.keep_raw_waveform = true;
    } else {
      throw py::value_error("unknown waveform name: " + name);
    }
  };
  if (py::isinstance<py::str>(waveforms)) {
    add(waveforms);
    return;
  }
  if (!py::isinstance<py::iterable>(waveforms)) {
    throw py::type_error("waveforms must be an iterable of waveform names (str)");
  }
  for (const py::handle item : waveforms) add(item);
}

inline py::array_t<float> waveform_array(const std::vector<float>& data,
                                         const embree::LidarResult& r) {
  const py::ssize_t pulses = data.empty() ? 0 : static_cast<py::ssize_t>(r.num_pulses);
  return to_numpy(data.data(), {pulses, r.num_bins, r.num_wavelengths});
}

// The request of one call (borrowing the host's arrays), its run by `simulate` and the result
// dictionary: shared by the CPU function and the device method.
template <typename Simulate>
py::dict run_lidar(const carray<float>& pulse_origins, const carray<float>& pulse_directions,
                   int64_t num_pulses, float beam_half_angle_rad, int beam_samples_per_dim,
                   float pulse_energy, float sensor_area, float range_resolution, float min_range,
                   float max_range, int num_wavelengths, float pulse_fwhm_ns, float peak_threshold,
                   int max_returns_per_pulse, bool direct_mode, const py::object& waveforms,
                   Simulate&& simulate) {
  embree::LidarRequest request;
  request.pulse_origins =
      std::span<const float>(pulse_origins.data(), static_cast<size_t>(pulse_origins.size()));
  request.pulse_directions =
      std::span<const float>(pulse_directions.data(), static_cast<size_t>(pulse_directions.size()));
  request.num_pulses = num_pulses;
  request.beam_half_angle_rad = beam_half_angle_rad;
  request.beam_samples_per_dim = beam_samples_per_dim;
  request.pulse_energy = pulse_energy;
  request.sensor_area = sensor_area;
  request.range_resolution = range_resolution;
  request.min_range = min_range;
  request.max_range = max_range;
  request.num_wavelengths = num_wavelengths;
  request.pulse_fwhm_ns = pulse_fwhm_ns;
  request.peak_threshold = peak_threshold;
  request.max_returns_per_pulse = max_returns_per_pulse;
  request.direct_mode = direct_mode;
  waveform_request(waveforms, request);
  const embree::LidarResult r = simulate(request);
  py::dict out;
  out["waveform"] = waveform_array(r.waveform, r);
  if (request.keep_raw_waveform) out["raw_waveform"] = waveform_array(r.raw_waveform, r);
  out["points"] = to_numpy(r.points.data(),
                           {static_cast<py::ssize_t>(r.num_returns), embree::kLidarPointFields});
  out["num_bins"] = r.num_bins;
  out["num_returns"] = r.num_returns;
  return flat_result(std::move(out), r.execution);
}

}  // namespace tesk::python
