#include "embree/lidar.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <stdexcept>

#include "core/host/allocation.h"
#include "core/host/parallel.h"
#include "core/illumination.h"
#include "core/lidar.h"
#include "core/lidar_pulse.h"
#include "core/transport_constants.h"
#include "embree/illumination.h"
#include "embree/media_walk.h"
#include "embree/transport_context.h"

namespace tesk::embree {
namespace {

using namespace tesk::transport;
using lidar::RangeGate;

constexpr double kInt32Max = 2147483647.0;
// Pulses per chunk of the parallel driver: enough work per chunk to amortise its handover.
constexpr int64_t kWaveformPulsesPerChunk = 16;
constexpr int64_t kDirectPulsesPerChunk = 1024;
constexpr std::chrono::milliseconds kProgressInterval{100};

// The weighted footprint disk: grid points of the unit disk with Gaussian weights summing to
// one; the single central ray when no point is kept.
std::vector<LidarFootprintSample> footprint(int32_t S) {
  std::vector<LidarFootprintSample> samples;
  if (S >= 0) {
    for (int32_t i = 0; i <= S; ++i) {
      for (int32_t j = 0; j <= S; ++j) {
        LidarFootprintSample s;
        float w = 0.0f;
        if (lidar::footprint_candidate(i, j, S, s.x, s.y, w)) {
          s.weight = w;
          samples.push_back(s);
        }
      }
    }
  }
  if (samples.empty()) samples.push_back(LidarFootprintSample{});
  double total = 0.0;
  for (const LidarFootprintSample& s : samples) total += s.weight;
  for (LidarFootprintSample& s : samples) s.weight /= total;
  return samples;
}

// Taps for offsets -(K + 1) .. K + 1, normalised to sum to one.
std::vector<double> pulse_kernel(const RangeGate& g) {
  std::vector<double> taps(2 * static_cast<size_t>(g.kernel_half_width) + 3);
  const int32_t reach = g.kernel_half_width + 1;
  double total = 0.0;
  for (int32_t k = -reach; k <= reach; ++k) {
    const double t = lidar::pulse_tap(k, g.bin_width, g.sigma_range);
    taps[static_cast<size_t>(k + reach)] = t;
    total += t;
  }
  for (double& t : taps) t /= total;
  return taps;
}

void check_request(const LidarRequest& r, int32_t n_bands) {
  const auto finite = [](float v) { return std::isfinite(v); };
  if (r.num_pulses >= 1) {
    const double needed = 3.0 * static_cast<double>(r.num_pulses);
    if (static_cast<double>(r.pulse_origins.size()) != needed) {
      throw std::invalid_argument("pulse_origins must hold 3 * num_pulses floats");
    }
    if (static_cast<double>(r.pulse_directions.size()) != needed) {
      throw std::invalid_argument("pulse_directions must hold 3 * num_pulses floats");
    }
    if (!std::all_of(r.pulse_origins.begin(), r.pulse_origins.end(), finite)) {
      throw std::invalid_argument("pulse_origins must be finite");
    }
    for (size_t i = 0; i < r.pulse_directions.size(); i += 3) {
      const float3 d{r.pulse_directions[i], r.pulse_directions[i + 1], r.pulse_directions[i + 2]};
      const float len = length(d);
      if (!is_finite(d) || !(len > 0.0f) || !std::isfinite(len)) {
        throw std::invalid_argument("pulse_directions must be finite and nonzero");
      }
    }
  }
  if (!(finite(r.range_resolution) && r.range_resolution > 0.0f)) {
    throw std::invalid_argument("range_resolution must be finite and positive");
  }
  if (!(finite(r.min_range) && finite(r.max_range) && r.min_range <= r.max_range)) {
    throw std::invalid_argument(
        "min_range and max_range must be finite with min_range <= max_range");
  }
  if (r.beam_samples_per_dim > kMaxBeamSamplesPerDim) {
    throw std::invalid_argument("beam_samples_per_dim must be at most 4095");
  }
  if (!(finite(r.beam_half_angle_rad) && r.beam_half_angle_rad >= 0.0f &&
        r.beam_half_angle_rad < 1.5707963f)) {
    throw std::invalid_argument("beam_half_angle_rad must be finite, non-negative and below pi/2");
  }
  if (r.num_wavelengths < 1 || r.num_wavelengths > n_bands) {
    throw std::invalid_argument("num_wavelengths must be between 1 and the scene's band count");
  }
  if (!(finite(r.pulse_fwhm_ns) && r.pulse_fwhm_ns > 0.0f)) {
    throw std::invalid_argument("pulse_fwhm_ns must be finite and positive");
  }
  if (!(finite(r.pulse_energy) && finite(r.sensor_area) && r.pulse_energy >= 0.0f &&
        r.sensor_area >= 0.0f)) {
    throw std::invalid_argument("pulse_energy and sensor_area must be finite and non-negative");
  }
  if (!finite(r.peak_threshold)) throw std::invalid_argument("peak_threshold must be finite");
}

RangeGate range_gate(const LidarRequest& r) {
  RangeGate g;
  g.min_range = r.min_range;
  g.max_range = r.max_range;
  g.bin_width = r.range_resolution;
  g.n_wavelengths = r.num_wavelengths;
  const double bins =
      std::trunc((static_cast<double>(r.max_range) - r.min_range) / r.range_resolution) + 1.0;
  if (!(bins <= kInt32Max)) throw std::overflow_error("LiDAR range gate exceeds 2147483647 bins");
  g.n_bins = static_cast<int32_t>(bins);
  const double sigma = lidar::pulse_sigma_range(r.pulse_fwhm_ns);
  const double half = std::trunc(kPulseKernelSigmas * sigma / r.range_resolution);
  if (!(2.0 * half + 3.0 <= kInt32Max)) {
    throw std::overflow_error("LiDAR pulse kernel exceeds 2147483647 taps");
  }
  g.sigma_range = static_cast<float>(sigma);
  g.kernel_half_width = static_cast<int32_t>(half);
  return g;
}

// Everything a pulse reads, resolved once per run.
struct LidarSetup {
  const TransportContext* ctx = nullptr;
  const LidarRequest* request = nullptr;
  const LidarPlan* plan = nullptr;
  RangeGate gate{};
  bool media = false;
};

// Scratch and output of one chunk of pulses.
struct ChunkWork {
  std::optional<LidarPulseWaveform> wave;  // waveform mode only
  std::vector<double> beta;  // [n_wavelengths] volume backscatter of the current segment
  std::vector<float> points;
  int64_t rays = 0;
};

using lidar::SurfaceReturn;

// The surface return of a hit (null reflectance when the material names nothing or its block
// does not fit the buffer).
SurfaceReturn surface_return(const LidarSetup& s, const float3& o, const float3& d,
                             const HitRecord& hit) {
  return lidar::surface_return(*s.ctx, s.gate.n_wavelengths, o, d, hit);
}

// Adds the volume returns of the media of `set` over the ray segment [a, b] (distances from the
// pulse origin along the unit direction d), where the optical depth at a is `tau`, to the
// waveform of `work`.
// Each piece of the segment inside one bin gets the exact integral of the two-way
// transmittance exp(-2 tau(s)) times the backscatter coefficient, with 1/r^2 taken at the
// piece's midpoint.
void add_volume_returns(const LidarSetup& s, const ActiveMediumSet& set, const float3& d,
                        double weight, double a, double b, double tau, ChunkWork& work) {
  double* beta = work.beta.data();
  LidarPulseWaveform& wave = *work.wave;
  const RangeGate& g = s.gate;
  const MediaView& media = s.ctx->media;
  const int32_t nl = g.n_wavelengths;
  std::fill(beta, beta + nl, 0.0);
  double k = 0.0;
  bool any = false;
  for (int32_t e = 0; e < set.count; ++e) {
    const int32_t m = set.medium_ids[e];
    if (m < 0 || m >= media.n_media) continue;
    k += medium_extinction(media.media[m], d);
    const LeafOptics& optics = s.ctx->leaf_models[static_cast<size_t>(m)].optics;
    for (int32_t l = 0; l < nl; ++l) {
      const float v = lidar::volume_backscatter(media.media[m], optics, l, d);
      beta[l] += v;
      any |= v > 0.0f;
    }
  }
  const double lo = std::max(a, static_cast<double>(g.min_range));
  const double hi = std::min(b, static_cast<double>(g.max_range));
  if (!any || !(hi > lo)) return;
  const double w = static_cast<double>(g.bin_width);
  const double scale = weight * s.request->pulse_energy * s.request->sensor_area;
  auto bin = static_cast<int64_t>((lo - g.min_range) / w);
  for (double p = lo; p < hi && bin < g.n_bins; ++bin) {
    const double q = std::min(hi, g.min_range + static_cast<double>(bin + 1) * w);
    if (q <= p) continue;  // rounding put `lo` at the very end of the previous bin
    const double mid = 0.5 * (p + q);
    const double len = q - p;
    // Integral of exp(-2 tau(s)) over the piece, without cancellation for small k len.
    const double integral = k > 0.0 ? -std::expm1(-2.0 * k * len) / (2.0 * k) : len;
    const double e = scale * std::exp(-2.0 * (tau + k * (p - a))) * integral / (mid * mid);
    for (int32_t l = 0; l < nl; ++l) {
      if (beta[l] > 0.0) wave.add(static_cast<int32_t>(bin), l, e * beta[l]);
    }
    p = q;
  }
}

// Follows one ray of a pulse from o along the unit direction d, starting inside the media of
// `start`, to its first surface. Media boundaries are crossed (they are not surfaces); volume
// returns go to `wave` when given. Returns the surface met, with the two-way transmittance of
// the media in front of it, or a null reflectance and zero range when the ray meets nothing
// that can return.
SurfaceReturn walk_ray(const LidarSetup& s, const float3& o, const float3& d,
                       const ActiveMediumSet& start, double weight, ChunkWork* wave,
                       int64_t& rays) {
  const TransportContext& c = *s.ctx;
  if (!s.media) {
    ++rays;
    return lidar::first_surface(EmbreeTracer{c.scene}, c, s.gate.n_wavelengths, o, d);
  }
  PathMedia path;
  path.set = start;
  float3 p = o;       // origin of the next query
  double from = 0.0;  // distance from o of the last boundary crossed: the segment starts there
  double tau = 0.0;   // optical depth from o to `from`
  for (int step = 0; step < kMaxWalkSteps; ++step) {
    ++rays;
    const MediumTraceEvent ev = media_boundary_step(c, p, d, 0);
    // The query started a little past the boundary (the origin offset); measuring the segment
    // from the boundary itself keeps that sliver of medium in the optical depth.
    const double end = ev.kind == MediumEventKind::Escape
                           ? std::max(from, static_cast<double>(s.gate.max_range))
                           : static_cast<double>(dot(p - o, d)) + ev.distance;
    if (path.set.count > 0 && end > from) {
      if (wave != nullptr) add_volume_returns(s, path.set, d, weight, from, end, tau, *wave);
      tau += static_cast<double>(combined_extinction(c.media.media, c.media.n_media, path.set, d)) *
             (end - from);
    }
    if (ev.kind == MediumEventKind::Escape || tau > kOpaqueOpticalDepth) return {};
    if (ev.kind == MediumEventKind::Surface) {
      SurfaceReturn r = surface_return(s, o, d, ev.hit);
      r.transmittance = std::exp(-2.0 * tau);
      return r;
    }
    if (ev.kind != MediumEventKind::MediumBoundary) return {};
    cross_medium_boundary(c.media, path, ev.medium_id, ev.instance_id, ev.hit.is_back_face);
    from = std::max(from, static_cast<double>(dot(ev.hit.position - o, d)));
    p = offset_ray_origin(ev.hit.position, ev.hit.geometric_normal, d);
    // Nothing beyond the gate can return once no medium holds the ray.
    if (from > s.gate.max_range && path.set.count == 0) return {};
  }
  return {};
}

float3 pulse_vector(std::span<const float> v, int64_t pulse) {
  const size_t i = 3 * static_cast<size_t>(pulse);
  return float3{v[i], v[i + 1], v[i + 2]};
}

// The media holding a pulse's origin (empty when the scene has none or the origin lies outside
// the scene box).
ActiveMediumSet origin_media(const LidarSetup& s, const float3& o, const float3& d, int64_t& rays) {
  if (!s.media) return {};
  ++rays;
  return active_optical_media(*s.ctx->scene, o, d);
}

void direct_pulse(const LidarSetup& s, int64_t pulse, ChunkWork& w) {
  const LidarRequest& r = *s.request;
  const float3 o = pulse_vector(r.pulse_origins, pulse);
  const float3 d = normalize(pulse_vector(r.pulse_directions, pulse));
  const ActiveMediumSet start = origin_media(s, o, d, w.rays);
  const SurfaceReturn hit = walk_ray(s, o, d, start, 1.0, nullptr, w.rays);
  double intensity = 0.0;
  if (!lidar::direct_return(s.gate, r.pulse_energy, r.sensor_area, hit, intensity)) return;
  append_direct_point(pulse, hit.position, hit.range, intensity, w.points);
}

// Raw waveform of one pulse into w.wave.
void raw_waveform(const LidarSetup& s, int64_t pulse, ChunkWork& w) {
  const LidarRequest& r = *s.request;
  const RangeGate& g = s.gate;
  LidarPulseWaveform& wave = *w.wave;
  const float3 o = pulse_vector(r.pulse_origins, pulse);
  const float3 d = normalize(pulse_vector(r.pulse_directions, pulse));
  const ShadingFrame frame = lidar::pulse_frame(d);
  const ActiveMediumSet start = origin_media(s, o, d, w.rays);
  for (const LidarFootprintSample& f : s.plan->footprint) {
    const float3 dir = lidar::beam_direction(frame, s.plan->tan_half_angle, f.x, f.y);
    const SurfaceReturn hit = walk_ray(s, o, dir, start, f.weight, &w, w.rays);
    lidar::add_surface_return(g, f.weight, r.pulse_energy, r.sensor_area, hit,
                              [&](int32_t bin, int32_t l, double v) { wave.add(bin, l, v); });
  }
}

}  // namespace

LidarPlan plan_lidar(const LidarRequest& request, int32_t n_bands) {
  check_request(request, n_bands);
  LidarPlan plan;
  plan.gate = range_gate(request);
  plan.tan_half_angle = std::tan(request.beam_half_angle_rad);
  if (!request.direct_mode) {
    plan.footprint = footprint(request.beam_samples_per_dim);
    plan.kernel = pulse_kernel(plan.gate);
  }
  return plan;
}

void write_pulse_rows(const LidarRequest& request, int64_t num_pulses, float* out) {
  for (int64_t i = 0; i < num_pulses; ++i) {
    const size_t k = 3 * static_cast<size_t>(i);
    const float3 d = normalize(float3{request.pulse_directions[k], request.pulse_directions[k + 1],
                                      request.pulse_directions[k + 2]});
    const float row[6] = {request.pulse_origins[k],
                          request.pulse_origins[k + 1],
                          request.pulse_origins[k + 2],
                          d.x,
                          d.y,
                          d.z};
    std::copy(row, row + 6, out + 2 * k);
  }
}

LidarResult start_lidar_result(const LidarPlan& plan, const LidarRequest& request,
                               ExecutionIdentity execution, double scratch_bytes) {
  LidarResult result;
  result.execution = std::move(execution);
  result.num_bins = plan.gate.n_bins;
  result.num_wavelengths = plan.gate.n_wavelengths;
  const int64_t P = std::max<int64_t>(request.num_pulses, 0);
  result.num_pulses = P;
  const bool direct = request.direct_mode;
  result.beam_samples = direct ? 1 : static_cast<int32_t>(plan.footprint.size());
  const size_t per_pulse = static_cast<size_t>(plan.gate.n_bins) * plan.gate.n_wavelengths;
  const bool keep_conv = !direct && request.keep_waveform;
  const bool keep_raw = !direct && request.keep_raw_waveform;
  if (!direct) {
    // Kept waveforms as floats with their host copies, the kernel and the backend's scratch.
    const double outputs = (keep_conv ? 1.0 : 0.0) + (keep_raw ? 1.0 : 0.0);
    check_allocation(
        static_cast<double>(per_pulse) * static_cast<double>(P) * outputs * 2.0 * sizeof(float) +
            static_cast<double>(plan.kernel.size()) * sizeof(double) + scratch_bytes,
        "LiDAR waveforms");
  }
  if (P > 0 && keep_conv) result.waveform.assign(per_pulse * static_cast<size_t>(P), 0.0f);
  if (P > 0 && keep_raw) result.raw_waveform.assign(per_pulse * static_cast<size_t>(P), 0.0f);
  return result;
}

LidarPulseWaveform::LidarPulseWaveform(const LidarPlan& plan, const LidarRequest& request)
    : m_plan(&plan), m_request(&request), m_nl(plan.gate.n_wavelengths), m_lo(plan.gate.n_bins) {
  const size_t per_pulse = static_cast<size_t>(plan.gate.n_bins) * m_nl;
  m_raw.assign(per_pulse, 0.0);
  m_conv.assign(per_pulse, 0.0);
  m_sum.assign(static_cast<size_t>(plan.gate.n_bins), 0.0);
}

void LidarPulseWaveform::finish(int64_t pulse, std::vector<float>& points, float* conv_out,
                                float* raw_out) {
  const LidarRequest& r = *m_request;
  const RangeGate& g = m_plan->gate;
  const int32_t nb = g.n_bins;
  const int32_t nl = m_nl;
  const int32_t reach = g.kernel_half_width + 1;
  m_peaks.clear();
  if (m_lo > m_hi) return;  // nothing returned
  const int32_t lo = std::max(m_lo - reach, 0);
  const int32_t hi = std::min(m_hi + reach, nb - 1);
  for (int32_t i = lo; i <= hi; ++i) {
    for (int32_t k = -reach; k <= reach; ++k) {
      const int32_t j = i + k;
      if (j < m_lo || j > m_hi) continue;
      const double tap = m_plan->kernel[static_cast<size_t>(k + reach)];
      for (int32_t l = 0; l < nl; ++l) {
        m_conv[static_cast<size_t>(i) * nl + l] += tap * m_raw[static_cast<size_t>(j) * nl + l];
      }
    }
    for (int32_t l = 0; l < nl; ++l) m_sum[i] += m_conv[static_cast<size_t>(i) * nl + l];
  }
  const size_t first = static_cast<size_t>(lo) * nl;
  const size_t last = static_cast<size_t>(hi + 1) * nl;
  auto to_float = [](double v) { return static_cast<float>(v); };
  if (conv_out != nullptr) {
    std::transform(m_conv.begin() + first, m_conv.begin() + last, conv_out + first, to_float);
  }
  if (raw_out != nullptr) {
    std::transform(m_raw.begin() + first, m_raw.begin() + last, raw_out + first, to_float);
  }
  // Bins outside lo..hi hold zeros, which cannot be strict maxima.
  if (nb >= 3 && r.max_returns_per_pulse > 0) {
    for (int32_t i = std::max(lo, 1); i <= std::min(hi, nb - 2); ++i) {
      if (!lidar::is_return_peak(m_sum[i - 1], m_sum[i], m_sum[i + 1], r.peak_threshold)) {
        continue;
      }
      m_peaks.push_back(i);
      if (static_cast<int64_t>(m_peaks.size()) >= r.max_returns_per_pulse) break;
    }
  }
  // The point records of the accepted peaks, at their bin centres along the pulse direction.
  const auto count = static_cast<int32_t>(m_peaks.size());
  const float3 o = pulse_vector(r.pulse_origins, pulse);
  const float3 d = normalize(pulse_vector(r.pulse_directions, pulse));
  for (int32_t k = 0; k < count; ++k) {
    const int32_t bin = m_peaks[static_cast<size_t>(k)];
    const float range = (static_cast<float>(bin) + 0.5f) * g.bin_width + g.min_range;
    const float3 p = o + range * d;
    const float record[kLidarPointFields] = {p.x,
                                             p.y,
                                             p.z,
                                             static_cast<float>(m_sum[bin]),
                                             static_cast<float>(k + 1),
                                             static_cast<float>(count),
                                             range,
                                             static_cast<float>(pulse)};
    points.insert(points.end(), record, record + kLidarPointFields);
  }
  std::fill(m_raw.begin() + first, m_raw.begin() + last, 0.0);
  std::fill(m_conv.begin() + first, m_conv.begin() + last, 0.0);
  std::fill(m_sum.begin() + lo, m_sum.begin() + hi + 1, 0.0);
  m_lo = nb;
  m_hi = -1;
}

void append_direct_point(int64_t pulse, const float3& position, float range, double intensity,
                         std::vector<float>& points) {
  const float record[kLidarPointFields] = {
      position.x, position.y, position.z, static_cast<float>(intensity),
      1.0f,       1.0f,       range,      static_cast<float>(pulse)};
  points.insert(points.end(), record, record + kLidarPointFields);
}

void finish_device_pulses(const LidarPlan& plan, int64_t first, int64_t count, const float* records,
                          const double* raw, const int32_t* extents, LidarPulseWaveform* wave,
                          LidarResult& result) {
  const RangeGate& g = plan.gate;
  const int32_t nl = g.n_wavelengths;
  const size_t per_pulse = static_cast<size_t>(g.n_bins) * nl;
  for (int64_t i = 0; i < count; ++i) {
    const int64_t pulse = first + i;
    if (wave == nullptr) {
      const float* rec = records + static_cast<size_t>(i) * lidar::kDirectRecordFields;
      if (rec[5] != 1.0f) continue;
      append_direct_point(pulse, float3{rec[0], rec[1], rec[2]}, rec[3], rec[4], result.points);
      continue;
    }
    const int32_t lo = extents[2 * i];
    const int32_t hi = extents[2 * i + 1];
    const double* slice = raw + static_cast<size_t>(i) * per_pulse;
    for (int32_t bin = std::max(lo, 0); bin <= std::min(hi, g.n_bins - 1); ++bin) {
      for (int32_t l = 0; l < nl; ++l) {
        const double v = slice[static_cast<size_t>(bin) * nl + l];
        if (v != 0.0) wave->add(bin, l, v);
      }
    }
    const size_t at = per_pulse * static_cast<size_t>(pulse);
    wave->finish(pulse, result.points,
                 result.waveform.empty() ? nullptr : result.waveform.data() + at,
                 result.raw_waveform.empty() ? nullptr : result.raw_waveform.data() + at);
  }
}

LidarResult simulate_lidar(const EmbreeSceneManager& scene, const LidarRequest& request,
                           int n_threads, const ProgressCallback& progress,
                           const InterruptCheck& interrupt) {
  const LidarPlan plan = plan_lidar(request, scene.description().num_bands());
  if (!scene.is_built()) throw std::runtime_error("Embree: build the scene before tracing rays");
  const auto start_time = std::chrono::steady_clock::now();

  const bool direct = request.direct_mode;
  LidarSetup s;
  s.request = &request;
  s.plan = &plan;
  s.gate = plan.gate;
  const int64_t P = std::max<int64_t>(request.num_pulses, 0);

  // The LiDAR sees the scene as placed: tile walls are not crossed.
  TransportContext ctx = make_transport_context(scene, 0, 0, 0);
  ctx.tiles.periodic = false;
  s.ctx = &ctx;
  s.media = ctx.has_media();

  const size_t per_pulse = static_cast<size_t>(s.gate.n_bins) * s.gate.n_wavelengths;
  const int64_t chunk = direct ? kDirectPulsesPerChunk : kWaveformPulsesPerChunk;
  const int64_t n_chunks = (P + chunk - 1) / chunk;
  const int T = static_cast<int>(
      std::min<int64_t>(resolve_thread_count(n_threads), std::max<int64_t>(n_chunks, 1)));
  // The double scratch of the 2 T partials the driver keeps in flight.
  LidarResult result = start_lidar_result(
      plan, request,
      direct ? cpu_execution(WorkflowCode::LidarPointCloud, "embree.cpu.lidar_point_cloud")
             : cpu_execution(WorkflowCode::LidarWaveform, "embree.cpu.lidar_waveform"),
      direct ? 0.0 : static_cast<double>(per_pulse) * 2.0 * T * 2.5 * sizeof(double));
  std::printf("LiDAR (CPU): %lld pulses, %d beam samples, %s mode, %d threads\n",
              static_cast<long long>(P), result.beam_samples, direct ? "direct" : "waveform", T);
  std::fflush(stdout);
  if (P == 0) {
    if (progress) progress(0, 0, elapsed_ms(start_time));
    return result;
  }
  const bool keep_conv = !result.waveform.empty();
  const bool keep_raw = !result.raw_waveform.empty();

  auto make_partial = [&] {
    ChunkWork w;
    if (!direct) {
      w.wave.emplace(plan, request);
      w.beta.assign(static_cast<size_t>(s.gate.n_wavelengths), 0.0);
    }
    return w;
  };
  auto work = [&](int64_t c, ChunkWork& w) {
    w.points.clear();
    w.rays = 0;
    const int64_t end = std::min(P, (c + 1) * chunk);
    for (int64_t pulse = c * chunk; pulse < end; ++pulse) {
      if (direct) {
        direct_pulse(s, pulse, w);
        continue;
      }
      raw_waveform(s, pulse, w);
      const size_t at = per_pulse * static_cast<size_t>(pulse);
      w.wave->finish(pulse, w.points, keep_conv ? result.waveform.data() + at : nullptr,
                     keep_raw ? result.raw_waveform.data() + at : nullptr);
    }
  };
  auto last_report = std::chrono::steady_clock::now();
  auto merge = [&](int64_t c, ChunkWork& w) {
    result.points.insert(result.points.end(), w.points.begin(), w.points.end());
    result.rays += w.rays;
    if (!progress) return;
    const auto now = std::chrono::steady_clock::now();
    if (c + 1 == n_chunks || now - last_report >= kProgressInterval) {
      last_report = now;
      progress(std::min(P, (c + 1) * chunk), P, elapsed_ms(start_time));
    }
  };
  result.threads = run_chunks<ChunkWork>(n_chunks, T, interrupt, make_partial, work, merge);
  result.num_returns = static_cast<int64_t>(result.points.size() / kLidarPointFields);
  return result;
}

}  // namespace tesk::embree
