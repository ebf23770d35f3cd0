#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "core/host/execution.h"
#include "core/host/progress.h"
#include "core/lidar.h"
#include "embree/scene_manager.h"

namespace tesk::embree {

/// A LiDAR run: the pulses (borrowed from the caller for the call) and the instrument.
struct LidarRequest {
  std::span<const float> pulse_origins;     ///< [num_pulses][3] pulse start points.
  std::span<const float> pulse_directions;  ///< [num_pulses][3] pulse directions (any length).
  int64_t num_pulses = 0;                   ///< Pulse count; below 1 the outputs are empty.
  float beam_half_angle_rad = 0.0005f;      ///< Beam divergence half angle (radians).
  int32_t beam_samples_per_dim = 10;        ///< Footprint grid resolution S (below 1: one ray).
  float pulse_energy = 1.0f;                ///< Emitted energy per pulse.
  float sensor_area = 0.1f;                 ///< Receiver aperture area (scene units squared).
  float range_resolution = 0.15f;           ///< Range bin width (scene units).
  float min_range = 0.0f;                   ///< Start of the range gate.
  float max_range = 100.0f;                 ///< End of the range gate.
  int32_t num_wavelengths = 1;              ///< Wavelengths per bin (scene bands 0..n-1).
  float pulse_fwhm_ns = 4.0f;               ///< Transmit pulse full width at half maximum (ns).
  float peak_threshold = 1e-8f;             ///< Smallest summed amplitude of a return.
  int32_t max_returns_per_pulse = 5;        ///< Returns extracted per pulse (nearest first).
  bool direct_mode = false;                 ///< First return of the central ray only.
  bool keep_waveform = true;                ///< Return the convolved waveforms.
  bool keep_raw_waveform = false;           ///< Also return the waveforms before convolution.
};

/// Fields of one point record, in order.
inline constexpr int kLidarPointFields = 8;

/// Result of a LiDAR run.
struct LidarResult {
  /// Convolved waveforms [num_pulses][num_bins][num_wavelengths] (energy per bin); empty in
  /// direct mode or when not kept.
  std::vector<float> waveform;
  /// Waveforms before the pulse convolution, same layout; empty unless requested.
  std::vector<float> raw_waveform;
  /// [num_returns][8]: x, y, z, intensity, return number (1-based), returns of the pulse,
  /// range, pulse index; in pulse order, nearest return first.
  std::vector<float> points;
  int64_t num_pulses = 0;       ///< Pulses simulated (0 when num_pulses < 1).
  int32_t num_bins = 0;         ///< Range bins per waveform.
  int32_t num_wavelengths = 0;  ///< Wavelengths per bin.
  int64_t num_returns = 0;      ///< Point records.
  int32_t beam_samples = 0;     ///< Rays per pulse footprint (1 in direct mode).
  int32_t threads = 0;          ///< Worker threads that ran.
  int64_t rays = 0;             ///< Closest-hit and containment queries, for throughput figures.
  ExecutionIdentity execution;  ///< embree / lidar_point_cloud or lidar_waveform.
};

/// One beam sample of a pulse footprint: a point of the unit disk and its weight.
struct LidarFootprintSample {
  float x = 0.0f;
  float y = 0.0f;
  double weight = 1.0;
};

/// What every backend resolves from a checked request before tracing: the range gate, the
/// weighted footprint (waveform mode) and the normalised pulse kernel (waveform mode).
struct LidarPlan {
  lidar::RangeGate gate{};
  std::vector<LidarFootprintSample> footprint;  ///< Weights sum to one; empty in direct mode.
  std::vector<double> kernel;                   ///< Taps -(K + 1) .. K + 1; empty in direct mode.
  float tan_half_angle = 0.0f;                  ///< tan(beam_half_angle_rad).
};

/// Checks `request` for a scene of `n_bands` bands and resolves its plan. Throws the argument
/// errors listed at simulate_lidar.
LidarPlan plan_lidar(const LidarRequest& request, int32_t n_bands);

/// The result every backend starts from: execution record, bin and pulse counts, beam samples
/// and the kept waveforms sized and zeroed. Throws MemoryError-mapped std::bad_alloc through
/// check_allocation when the kept waveforms (and `scratch_bytes` of the backend's own work
/// buffers) cannot fit in memory.
LidarResult start_lidar_result(const LidarPlan& plan, const LidarRequest& request,
                               ExecutionIdentity execution, double scratch_bytes);

/// The pulses of a request as the device programs read them: origin and unit direction
/// (normalised as the CPU run does), 6 floats per pulse, written to `out` (6 x num_pulses).
void write_pulse_rows(const LidarRequest& request, int64_t num_pulses, float* out);

/// The host half of waveform mode, shared by the backends: the raw waveform of one pulse at a
/// time is added bin by bin, then `finish` convolves it with the pulse kernel, extracts its
/// returns and stores its kept waveforms. Only the bins that received energy (and the kernel's
/// reach around them) are touched, so a pulse costs its returns, not its range gate.
class LidarPulseWaveform {
 public:
  LidarPulseWaveform(const LidarPlan& plan, const LidarRequest& request);
  /// Adds `value` to bin `bin` (0 <= bin < n_bins), wavelength `l` of the current pulse.
  void add(int32_t bin, int32_t l, double value) {
    m_raw[static_cast<size_t>(bin) * m_nl + l] += value;
    m_lo = std::min(m_lo, bin);
    m_hi = std::max(m_hi, bin);
  }
  /// Finishes pulse `pulse`: convolution, returns appended to `points` (nearest first) and the
  /// convolved and raw waveforms written to `conv_out` and `raw_out` ([n_bins][n_wavelengths],
  /// zeros beforehand; null: not kept). Clears the scratch for the next pulse.
  void finish(int64_t pulse, std::vector<float>& points, float* conv_out, float* raw_out);

 private:
  const LidarPlan* m_plan;
  const LidarRequest* m_request;
  std::vector<double> m_raw;   // [n_bins][n_wavelengths]
  std::vector<double> m_conv;  // same layout
  std::vector<double> m_sum;   // [n_bins] wavelength sums of m_conv
  std::vector<int32_t> m_peaks;
  int32_t m_nl = 0;
  int32_t m_lo = 0;  // filled bins of m_raw; m_lo > m_hi when none
  int32_t m_hi = -1;
};

/// Appends the direct-mode point of pulse `pulse`: its first return at `position`, `range`
/// from the origin, with `intensity`.
void append_direct_point(int64_t pulse, const float3& position, float range, double intensity,
                         std::vector<float>& points);

/// The host half of a device run for the `count` pulses from `first`: in direct mode,
/// `records` holds [count][6] floats (x, y, z, range, intensity, found) and every found pulse
/// appends its point; in waveform mode, `raw` holds the pulses' raw waveforms
/// [count][n_bins][n_wavelengths] and `extents` [count][2] the lowest and highest bin each filled
/// (lo > hi: none), which `wave` convolves and searches for returns in pulse order (points and
/// kept waveforms go to `result`).
void finish_device_pulses(const LidarPlan& plan, int64_t first, int64_t count, const float* records,
                          const double* raw, const int32_t* extents, LidarPulseWaveform* wave,
                          LidarResult& result);

/// Simulates a discrete-pulse LiDAR over the built scene.
///
/// Direct mode: the central ray of each pulse gives at most one point, its first surface
/// return within [min_range, max_range], intensity |d.n| rho_0 E A / (pi r^2).
/// Waveform mode: the footprint of each pulse is sampled by a weighted disk of rays
/// ((S + 1)^2 grid candidates inside the unit disk, Gaussian weights summing to 1); each ray
/// adds the Lambertian return of the first surface it meets, w E (A / r^2) |d.n| rho / pi per
/// wavelength, to the range bin of r. Inside optical turbid media the ray also adds volume
/// returns of the leaves in every bin it crosses and surface returns behind leaves are
/// attenuated by the two-way transmittance exp(-2 tau). The raw waveform is convolved with the
/// normalised Gaussian transmit pulse and the nearest strict local maxima of the
/// wavelength-summed waveform above `peak_threshold` become points at their bin centres.
/// The scene is seen as placed (periodic tiling does not repeat it for the LiDAR).
///
/// Each pulse is traced on its own (no random numbers: the footprint is a fixed grid), so the
/// result is the same for any thread count (`n_threads`, below 1: the hardware concurrency).
/// `progress` (may be empty) gets (pulses done, num_pulses, elapsed ms) at most every 100 ms and
/// once at the end; `interrupt` (may be empty) is polled about every 100 ms. An exception from
/// either stops the workers, joins them and propagates.
///
/// Throws std::invalid_argument "pulse_origins must hold 3 * num_pulses floats",
/// "pulse_directions must hold 3 * num_pulses floats", "pulse_origins must be finite",
/// "pulse_directions must be finite and nonzero", "range_resolution must be finite and
/// positive", "min_range and max_range must be finite with min_range <= max_range",
/// "beam_samples_per_dim must be at most 4095", "beam_half_angle_rad must be finite,
/// non-negative and below pi/2", "num_wavelengths must be between 1 and the scene's band
/// count", "pulse_fwhm_ns must be finite and positive", "pulse_energy and sensor_area must be
/// finite and non-negative", "peak_threshold must be finite"; std::overflow_error "LiDAR range
/// gate exceeds 2147483647 bins" or "LiDAR pulse kernel exceeds 2147483647 taps";
/// std::runtime_error "Embree: build the scene before tracing rays"; std::bad_alloc when the
/// waveforms cannot fit in memory.
LidarResult simulate_lidar(const EmbreeSceneManager& scene, const LidarRequest& request,
                           int n_threads, const ProgressCallback& progress,
                           const InterruptCheck& interrupt = {});

}  // namespace tesk::embree
