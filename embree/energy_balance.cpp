#include "embree/energy_balance.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <string>

#include "core/energy_balance.h"
#include "core/host/allocation.h"
#include "core/host/log.h"
#include "core/host/parallel.h"
#include "core/illumination.h"
#include "core/periodic.h"
#include "core/transport_constants.h"
#include "embree/illumination.h"
#include "embree/media_walk.h"
#include "embree/transport_context.h"

namespace tesk::embree {
namespace {

// Samples per chunk of primitives: enough work to amortise the driver, small enough that a
// chunk ends quickly and progress moves. The chunking depends only on the request.
constexpr int64_t kSamplesPerChunk = int64_t{1} << 15;
constexpr int64_t kMaxPrimitivesPerChunk = 256;
// Progress reports per run (about).
constexpr int64_t kProgressReports = 100;

float3 checked_sun_direction(float3 s) {
  const float len = length(s);
  if (!(is_finite(s) && std::isfinite(len) && len > 0.0f)) {
    throw std::invalid_argument("sun direction must be finite and nonzero");
  }
  return s / len;
}

// What a worker keeps between primitives: its ray counts (merged in chunk order) and the
// per-band scratch of the multiband paths (face sums, throughput, surface optics).
struct Partial {
  EnergyBalanceRayCounts rays;
  std::vector<double> sum;
  std::vector<double> throughput;
  std::vector<float> reflect;
  std::vector<float> transmit;
};

// Runs body(p, partial) for every primitive on the parallel driver. Primitive results are
// written by index; only the ray counts are merged. `stop` is raised when the run fails
// (interrupt, progress), so that workers leave their chunk early.

// Primitives per chunk of a run with this many samples per primitive.
int64_t primitives_per_chunk(int64_t samples_per_primitive) {
  return std::clamp<int64_t>(kSamplesPerChunk / std::max<int64_t>(samples_per_primitive, 1), 1,
                             kMaxPrimitivesPerChunk);
}

// Workers that can run: one per chunk at most.
int worker_count(int n_threads, int64_t n, int64_t samples_per_primitive) {
  const int64_t per_chunk = primitives_per_chunk(samples_per_primitive);
  return static_cast<int>(
      std::min<int64_t>(resolve_thread_count(n_threads), (n + per_chunk - 1) / per_chunk));
}

template <typename Body>
int run_primitives(int64_t n, int64_t samples_per_primitive, size_t scratch_bands, int n_threads,
                   const ProgressCallback& progress, const InterruptCheck& interrupt,
                   std::atomic<bool>& stop, EnergyBalanceRayCounts& total, Body&& body) {
  const int64_t per_chunk = primitives_per_chunk(samples_per_primitive);
  const int64_t n_chunks = (n + per_chunk - 1) / per_chunk;
  const int64_t report_every = std::max<int64_t>(n_chunks / kProgressReports, 1);
  const auto start = std::chrono::steady_clock::now();
  const InterruptCheck check =
      interrupt_raising_stop(interrupt, [&stop] { stop.store(true, std::memory_order_relaxed); });
  auto make_partial = [scratch_bands] {
    Partial partial;
    partial.sum.resize(scratch_bands);
    partial.throughput.resize(scratch_bands);
    partial.reflect.resize(scratch_bands);
    partial.transmit.resize(scratch_bands);
    return partial;
  };
  return run_chunks<Partial>(
      n_chunks, n_threads, check, make_partial,
      [&](int64_t chunk, Partial& partial) {
        partial.rays = EnergyBalanceRayCounts{};
        const int64_t end = std::min(n, (chunk + 1) * per_chunk);
        for (int64_t p = chunk * per_chunk; p < end; ++p) {
          if (stop.load(std::memory_order_relaxed)) return;
          body(p, partial);
        }
      },
      [&](int64_t chunk, Partial& partial) {
        total.closest += partial.rays.closest;
        total.shadow += partial.rays.shadow;
        if (progress && ((chunk + 1) % report_every == 0 || chunk + 1 == n_chunks)) {
          try {
            progress(std::min(n, (chunk + 1) * per_chunk), n, elapsed_ms(start));
          } catch (...) {
            stop.store(true, std::memory_order_relaxed);
            throw;
          }
        }
      });
}

void check_optics_length(std::span<const float> a, int64_t expected, const char* message) {
  if (!a.empty() && static_cast<int64_t>(a.size()) != expected) {
    throw std::invalid_argument(message);
  }
}

}  // namespace

std::vector<FaceTriangle> face_triangles(const EmbreeSceneManager& scene) {
  const std::vector<PrimitiveGeometry> g = scene.primitive_geometry();
  std::vector<FaceTriangle> out(g.size());
  for (size_t i = 0; i < g.size(); ++i) {
    out[i] = FaceTriangle{g[i].vertex0, g[i].vertex1, g[i].vertex2, g[i].normal};
  }
  return out;
}

TransportContext energy_balance_context(const EmbreeSceneManager& scene) {
  // Optical turbid media are refused: their boundaries are not surfaces and the leaves inside
  // them are not traced by the energy balance.
  if (!scene.is_built()) throw std::runtime_error("Embree: build the scene before tracing rays");
  TransportContext c = make_transport_context(scene, 0, 1, 1);
  if (c.has_media()) {
    throw std::invalid_argument("energy balance does not trace optical turbid media");
  }
  return c;
}

EnergyBalanceParams energy_balance_params(const EmbreeSceneManager& scene, int n_samples,
                                          int band_type, const float* sun_irradiance,
                                          const float* sky_diffuse_radiance, float sky_lw_radiance,
                                          float3 sun_dir, bool two_sided,
                                          std::span<const float> sw_albedos) {
  if (n_samples < 1) throw std::invalid_argument("n_samples must be positive");
  if (band_type != 0 && band_type != 1) {
    throw std::invalid_argument("band_type must be 0 (shortwave) or 1 (longwave)");
  }
  EnergyBalanceParams p;
  p.sun_dir = checked_sun_direction(sun_dir);
  p.n_primitives = scene.n_primitives();
  check_optics_length(sw_albedos, p.n_primitives, "sw_albedos must hold n_primitives values");
  p.n_samples = n_samples;
  p.faces = two_sided ? 2 : 1;
  p.longwave = band_type == 1 ? 1 : 0;
  p.e_sun = sun_irradiance != nullptr ? *sun_irradiance : 0.0f;
  p.sky_sw = sky_diffuse_radiance != nullptr ? *sky_diffuse_radiance : 0.0f;
  p.sky_lw = sky_lw_radiance;
  const std::vector<float>& temperatures = scene.primitive_temperatures();
  const std::vector<float>& emissivities = scene.primitive_emissivities();
  p.temperatures = temperatures.empty() ? nullptr : temperatures.data();
  p.n_temperatures = static_cast<int64_t>(temperatures.size());
  p.emissivities = emissivities.empty() ? nullptr : emissivities.data();
  p.n_emissivities = static_cast<int64_t>(emissivities.size());
  p.albedos = sw_albedos.empty() ? nullptr : sw_albedos.data();
  return p;
}

EnergyBalanceParams energy_balance_multiband_params(
    const EmbreeSceneManager& scene, int n_bands, int n_samples, int max_depth,
    std::span<const float> sun_irradiance, std::span<const float> sky_diffuse_radiance,
    std::span<const float> sky_directional_table, float3 sun_dir, bool two_sided,
    std::span<const float> sw_albedos, std::span<const float> sw_reflectance,
    std::span<const float> sw_back_reflectance, std::span<const float> sw_transmittance) {
  if (n_samples < 1) throw std::invalid_argument("n_samples must be positive");
  if (max_depth < 1) throw std::invalid_argument("max_depth must be positive");
  EnergyBalanceParams p;
  p.sun_dir = checked_sun_direction(sun_dir);
  const int64_t nb = n_bands;
  if (!sun_irradiance.empty() && static_cast<int64_t>(sun_irradiance.size()) != nb) {
    throw std::invalid_argument("sun_irradiance must have shape [n_bands]");
  }
  if (!sky_diffuse_radiance.empty() && static_cast<int64_t>(sky_diffuse_radiance.size()) != nb) {
    throw std::invalid_argument("sky_diffuse_radiance must have shape [n_bands]");
  }
  if (!sky_directional_table.empty() &&
      static_cast<int64_t>(sky_directional_table.size()) != nb * 16 * 32) {
    throw std::invalid_argument("sky_directional_table must have shape [n_bands, 16, 32]");
  }
  const int64_t n = scene.n_primitives();
  check_optics_length(sw_albedos, nb * n, "sw_albedos must hold n_bands * n_primitives values");
  check_optics_length(sw_reflectance, nb * n,
                      "sw_reflectance must hold n_bands * n_primitives values");
  check_optics_length(sw_back_reflectance, nb * n,
                      "sw_back_reflectance must hold n_bands * n_primitives values");
  check_optics_length(sw_transmittance, nb * n,
                      "sw_transmittance must hold n_bands * n_primitives values");
  auto data = [](std::span<const float> a) { return a.empty() ? nullptr : a.data(); };
  p.n_primitives = n;
  p.n_samples = n_samples;
  p.faces = two_sided ? 2 : 1;
  p.n_bands = n_bands;
  p.max_depth = max_depth;
  p.sun_irradiance = data(sun_irradiance);
  p.sky_diffuse = data(sky_diffuse_radiance);
  p.sky_table = data(sky_directional_table);
  p.sky_table_size = static_cast<int64_t>(sky_directional_table.size());
  p.optics = BandOptics{data(sw_albedos), data(sw_reflectance), data(sw_back_reflectance),
                        data(sw_transmittance), n};
  return p;
}

EnergyBalanceResult render_energy_balance(
    const EmbreeSceneManager& scene, int n_samples, int /*max_depth*/, int band_type,
    const float* sun_irradiance, const float* sky_diffuse_radiance, float sky_lw_radiance,
    float sun_dir_x, float sun_dir_y, float sun_dir_z, bool two_sided,
    std::span<const float> sw_albedos, std::span<const float> /*sw_reflectance*/,
    std::span<const float> /*sw_back_reflectance*/, std::span<const float> /*sw_transmittance*/,
    int n_threads, const ProgressCallback& progress, const InterruptCheck& interrupt) {
  EnergyBalanceParams p = energy_balance_params(
      scene, n_samples, band_type, sun_irradiance, sky_diffuse_radiance, sky_lw_radiance,
      {sun_dir_x, sun_dir_y, sun_dir_z}, two_sided, sw_albedos);
  const int64_t n = p.n_primitives;
  EnergyBalanceResult r;
  r.execution = cpu_execution(WorkflowCode::RadiationFieldProcess, "embree.cpu.energy_balance");
  if (n == 0) return r;
  const TransportContext c = energy_balance_context(scene);
  const int faces = p.faces;
  check_allocation(static_cast<double>(n) * (faces * 2.0 * sizeof(float) + sizeof(FaceTriangle)),
                   "energy balance results");
  r.top.assign(static_cast<size_t>(n), 0.0f);
  if (two_sided) r.bot.assign(static_cast<size_t>(n), 0.0f);
  const std::vector<FaceTriangle> triangles = face_triangles(scene);
  p.ctx = c;
  p.triangles = triangles.data();
  p.top = r.top.data();
  p.bot = two_sided ? r.bot.data() : nullptr;

  const int threads = worker_count(n_threads, n, static_cast<int64_t>(n_samples) * faces);
  log_info("Energy balance (CPU): %lld primitives, %s, %d samples per face, %s, %d threads",
           static_cast<long long>(n), p.longwave ? "longwave" : "shortwave", n_samples,
           two_sided ? "two-sided" : "top faces", threads);
  const EmbreeTracer tracer{&scene};
  std::atomic<bool> stop{false};
  const auto stopped = [&stop] { return stop.load(std::memory_order_relaxed); };
  r.threads = run_primitives(n, static_cast<int64_t>(n_samples) * faces, 0, n_threads, progress,
                             interrupt, stop, r.rays, [&](int64_t i, Partial& partial) {
                               energy_balance_primitive(p, tracer, i, partial.rays, stopped);
                             });
  return r;
}

EnergyBalanceMultibandResult render_energy_balance_multiband(
    const EmbreeSceneManager& scene, int n_bands, int n_samples, int max_depth,
    std::span<const float> sun_irradiance, std::span<const float> sky_diffuse_radiance,
    std::span<const float> sky_directional_table, float3 sun_dir, bool two_sided,
    std::span<const float> sw_albedos, std::span<const float> sw_reflectance,
    std::span<const float> sw_back_reflectance, std::span<const float> sw_transmittance,
    int n_threads, const ProgressCallback& progress, const InterruptCheck& interrupt) {
  EnergyBalanceMultibandResult r;
  r.execution =
      cpu_execution(WorkflowCode::RadiationFieldProcess, "embree.cpu.radiation_field_process");
  if (n_bands < 1) return r;
  EnergyBalanceParams p = energy_balance_multiband_params(
      scene, n_bands, n_samples, max_depth, sun_irradiance, sky_diffuse_radiance,
      sky_directional_table, sun_dir, two_sided, sw_albedos, sw_reflectance, sw_back_reflectance,
      sw_transmittance);
  const int64_t n = p.n_primitives;
  const int64_t nb = n_bands;
  r.n_bands = n_bands;
  if (n == 0) return r;
  const TransportContext c = energy_balance_context(scene);
  const int faces = p.faces;
  check_allocation(
      static_cast<double>(n) * ((faces * nb + 1) * 2.0 * sizeof(float) + sizeof(FaceTriangle)),
      "energy balance results");
  r.top.assign(static_cast<size_t>(nb * n), 0.0f);
  if (two_sided) r.bot.assign(static_cast<size_t>(nb * n), 0.0f);
  r.sunlit_fraction.assign(static_cast<size_t>(n), 0.0f);
  const std::vector<FaceTriangle> triangles = face_triangles(scene);
  p.ctx = c;
  p.triangles = triangles.data();
  p.top = r.top.data();
  p.bot = two_sided ? r.bot.data() : nullptr;
  p.sunlit = r.sunlit_fraction.data();

  const int threads = worker_count(n_threads, n, static_cast<int64_t>(n_samples) * faces);
  log_info(
      "Energy balance multiband (CPU): %lld primitives, %d bands, %d samples per face, "
      "max_depth=%d, %s, %d threads",
      static_cast<long long>(n), n_bands, n_samples, max_depth,
      two_sided ? "two-sided" : "top faces", threads);
  const EmbreeTracer tracer{&scene};
  std::atomic<bool> stop{false};
  const auto stopped = [&stop] { return stop.load(std::memory_order_relaxed); };
  r.threads =
      run_primitives(n, static_cast<int64_t>(n_samples) * faces, static_cast<size_t>(nb), n_threads,
                     progress, interrupt, stop, r.rays, [&](int64_t i, Partial& sc) {
                       energy_balance_primitive_multiband(
                           p, tracer, i,
                           EnergyBalanceScratch{sc.sum.data(), sc.throughput.data(),
                                                sc.reflect.data(), sc.transmit.data()},
                           sc.rays, stopped);
                     });
  return r;
}

}  // namespace tesk::embree
