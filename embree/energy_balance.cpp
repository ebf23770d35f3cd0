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

using namespace tesk::transport;

constexpr float kPi = 3.14159265f;
// Samples per chunk of primitives: enough work to amortise the driver, small enough that a
// chunk ends quickly and progress moves. The chunking depends only on the request.
constexpr int64_t kSamplesPerChunk = int64_t{1} << 15;
constexpr int64_t kMaxPrimitivesPerChunk = 256;
// Progress reports per run (about).
constexpr int64_t kProgressReports = 100;

// Global primitive index -> (instance, triangle) through the instance offsets.
class PrimitiveIndex {
 public:
  explicit PrimitiveIndex(const EmbreeSceneManager& scene)
      : m_scene(&scene), m_offsets(scene.instance_primitive_offsets()) {}
  PrimitiveGeometry at(int64_t p) const {
    const auto it = std::upper_bound(m_offsets.begin(), m_offsets.end(), static_cast<int>(p));
    const int instance = static_cast<int>(it - m_offsets.begin()) - 1;
    return m_scene->primitive_geometry(instance, static_cast<int>(p) - m_offsets[instance]);
  }

 private:
  const EmbreeSceneManager* m_scene;
  std::vector<int> m_offsets;
};

float3 checked_sun_direction(float3 s) {
  const float len = length(s);
  if (!(is_finite(s) && std::isfinite(len) && len > 0.0f)) {
    throw std::invalid_argument("sun direction must be finite and nonzero");
  }
  return s / len;
}

// The resolved scene, refused when it holds optical turbid media: their boundaries are not
// surfaces and the leaves inside them are not traced by the energy balance.
TransportContext checked_context(const EmbreeSceneManager& scene) {
  if (!scene.is_built()) throw std::runtime_error("Embree: build the scene before tracing rays");
  TransportContext c = make_transport_context(scene, 0, 1, 1);
  if (c.has_media()) {
    throw std::invalid_argument("energy balance does not trace optical turbid media");
  }
  return c;
}

// Closest hit along (o, d); in a periodic scene a ray that leaves the tile continues in the
// neighbouring one, across at most num_repetitions walls.
HitRecord closest_hit(const TransportContext& c, float3 o, const float3& d, int64_t& queries) {
  int crossings = 0;
  for (;;) {
    const HitRecord h = c.scene->trace_ray(o, d, kRayTMin, kRayTMax);
    ++queries;
    if (h.hit || !c.tiles.periodic || crossings >= c.tiles.num_repetitions ||
        escapes_upward(c.tiles, o, d)) {
      return h;
    }
    const TileExit exit = cross_tile(o, d, c.tiles.x, c.tiles.y);
    if (exit.axis < 0) return h;
    o = wrap_at_exit(o, d, exit, c.tiles.x, c.tiles.y);
    ++crossings;
  }
}

bool sees_sun(const TransportContext& c, const float3& origin, const float3& s, int64_t& queries) {
  ++queries;
  return !occluded_periodic(*c.scene, origin, s);
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

EnergyBalanceResult render_energy_balance(
    const EmbreeSceneManager& scene, int n_samples, int /*max_depth*/, int band_type,
    const float* sun_irradiance, const float* sky_diffuse_radiance, float sky_lw_radiance,
    float sun_dir_x, float sun_dir_y, float sun_dir_z, bool two_sided,
    std::span<const float> sw_albedos, std::span<const float> /*sw_reflectance*/,
    std::span<const float> /*sw_back_reflectance*/, std::span<const float> /*sw_transmittance*/,
    int n_threads, const ProgressCallback& progress, const InterruptCheck& interrupt) {
  if (n_samples < 1) throw std::invalid_argument("n_samples must be positive");
  if (band_type != 0 && band_type != 1) {
    throw std::invalid_argument("band_type must be 0 (shortwave) or 1 (longwave)");
  }
  const float3 s = checked_sun_direction({sun_dir_x, sun_dir_y, sun_dir_z});
  const int64_t n = scene.n_primitives();
  check_optics_length(sw_albedos, n, "sw_albedos must hold n_primitives values");
  EnergyBalanceResult r;
  if (n == 0) return r;
  const TransportContext c = checked_context(scene);
  const int faces = two_sided ? 2 : 1;
  check_allocation(static_cast<double>(n) * faces * 2.0 * sizeof(float), "energy balance results");
  r.top.assign(static_cast<size_t>(n), 0.0f);
  if (two_sided) r.bot.assign(static_cast<size_t>(n), 0.0f);

  const bool longwave = band_type == 1;
  const float e_sun = sun_irradiance != nullptr ? *sun_irradiance : 0.0f;
  const float sky_sw = sky_diffuse_radiance != nullptr ? *sky_diffuse_radiance : 0.0f;
  const std::vector<float>& temperatures = scene.primitive_temperatures();
  const std::vector<float>& emissivities = scene.primitive_emissivities();
  const PrimitiveIndex index(scene);
  const int threads = worker_count(n_threads, n, static_cast<int64_t>(n_samples) * faces);
  log_info("Energy balance (CPU): %lld primitives, %s, %d samples per face, %s, %d threads",
           static_cast<long long>(n), longwave ? "longwave" : "shortwave", n_samples,
           two_sided ? "two-sided" : "top faces", threads);

  // Radiance arriving along a sample ray that met `h` (nothing when it escaped).
  auto incoming = [&](const HitRecord& h, EnergyBalanceRayCounts& rays) -> float {
    if (!h.hit) return longwave ? sky_lw_radiance : sky_sw;
    const int64_t q = h.global_primitive_id;
    const bool valid = q >= 0 && q < n;
    if (longwave) {
      float temperature = 0.0f;
      if (valid && q < static_cast<int64_t>(temperatures.size())) {
        temperature = temperatures[q];
      } else if (const MaterialRecord* m = c.material(h.material_id)) {
        temperature = m->scalar_params[2];
      }
      const float e = valid && q < static_cast<int64_t>(emissivities.size()) ? emissivities[q]
                                                                             : kDefaultEmissivity;
      return grey_emission_radiance(e, temperature);
    }
    if (!valid || sw_albedos.empty() || !(sw_albedos[q] > 0.0f)) return 0.0f;
    const float a = sw_albedos[q];
    float l = a * sky_sw;
    if (e_sun > 0.0f) {
      const PrimitiveGeometry g = scene.primitive_geometry(h.instance_id, h.primitive_id);
      const float cos_q = std::fabs(dot(g.normal, s));
      if (cos_q > 0.0f) {
        const float3 side = dot(g.normal, s) >= 0.0f ? g.normal : -g.normal;
        const float3 centroid = (g.vertex0 + g.vertex1 + g.vertex2) / 3.0f;
        if (sees_sun(c, centroid + kFaceSampleOffset * side, s, rays.shadow)) {
          l += a * kInvPi * e_sun * cos_q;
        }
      }
    }
    return l;
  };

  std::atomic<bool> stop{false};
  r.threads = run_primitives(
      n, static_cast<int64_t>(n_samples) * faces, 0, n_threads, progress, interrupt, stop, r.rays,
      [&](int64_t p, Partial& partial) {
        EnergyBalanceRayCounts& rays = partial.rays;
        const PrimitiveGeometry g = index.at(p);
        Pcg32 rng = energy_balance_stream(p);
        for (int face = 0; face < faces; ++face) {
          const float3 normal = face == 0 ? g.normal : -g.normal;
          const float c0 = dot(normal, s);
          const bool direct = !longwave && e_sun > 0.0f && c0 > 0.0f;
          double radiance = 0.0;
          int64_t lit = 0;
          for (int i = 0; i < n_samples; ++i) {
            if (stop.load(std::memory_order_relaxed)) return;
            const FaceSample fs = sample_face(g.vertex0, g.vertex1, g.vertex2, normal, rng);
            radiance += incoming(closest_hit(c, fs.origin, fs.direction, rays.closest), rays);
            if (direct && sees_sun(c, fs.origin, s, rays.shadow)) ++lit;
          }
          const double value = radiance * kPi / n_samples + static_cast<double>(c0) * e_sun *
                                                                static_cast<double>(lit) /
                                                                n_samples;
          (face == 0 ? r.top : r.bot)[static_cast<size_t>(p)] = static_cast<float>(value);
        }
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
  if (n_samples < 1) throw std::invalid_argument("n_samples must be positive");
  if (max_depth < 1) throw std::invalid_argument("max_depth must be positive");
  const float3 s = checked_sun_direction(sun_dir);
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
  r.n_bands = n_bands;
  if (n == 0) return r;
  const TransportContext c = checked_context(scene);
  const int faces = two_sided ? 2 : 1;
  check_allocation(static_cast<double>(n) * (faces * nb + 1) * 2.0 * sizeof(float),
                   "energy balance results");
  r.top.assign(static_cast<size_t>(nb * n), 0.0f);
  if (two_sided) r.bot.assign(static_cast<size_t>(nb * n), 0.0f);
  r.sunlit_fraction.assign(static_cast<size_t>(n), 0.0f);

  auto data = [](std::span<const float> a) { return a.empty() ? nullptr : a.data(); };
  const BandOptics optics{data(sw_albedos), data(sw_reflectance), data(sw_back_reflectance),
                          data(sw_transmittance), n};
  const bool has_sun = !sun_irradiance.empty();
  const SpectralView table{data(sky_directional_table),
                           static_cast<int64_t>(sky_directional_table.size())};
  // Sky radiance toward the escaping direction d in band b.
  auto sky = [&](const float3& d, int b) -> float {
    if (!sky_directional_table.empty()) return directional_sky_radiance(table, 0, n_bands, d, b);
    if (!sky_diffuse_radiance.empty()) return sky_diffuse_radiance[b];
    return tesk::sky_radiance(c.sky, c.spectral, c.n_bands, d, b);
  };
  const PrimitiveIndex index(scene);
  const int threads = worker_count(n_threads, n, static_cast<int64_t>(n_samples) * faces);
  log_info(
      "Energy balance multiband (CPU): %lld primitives, %d bands, %d samples per face, "
      "max_depth=%d, %s, %d threads",
      static_cast<long long>(n), n_bands, n_samples, max_depth,
      two_sided ? "two-sided" : "top faces", threads);

  std::atomic<bool> stop{false};
  r.threads = run_primitives(
      n, static_cast<int64_t>(n_samples) * faces, static_cast<size_t>(nb), n_threads, progress,
      interrupt, stop, r.rays, [&](int64_t p, Partial& sc) {
        EnergyBalanceRayCounts& rays = sc.rays;
        const PrimitiveGeometry g = index.at(p);
        Pcg32 rng = energy_balance_stream(p);
        for (int face = 0; face < faces; ++face) {
          const float3 normal = face == 0 ? g.normal : -g.normal;
          const float c0 = dot(normal, s);
          std::fill(sc.sum.begin(), sc.sum.end(), 0.0);
          int64_t lit = 0;
          for (int i = 0; i < n_samples; ++i) {
            if (stop.load(std::memory_order_relaxed)) return;
            const FaceSample fs = sample_face(g.vertex0, g.vertex1, g.vertex2, normal, rng);
            if (has_sun && c0 > 0.0f && sees_sun(c, fs.origin, s, rays.shadow)) ++lit;
            std::fill(sc.throughput.begin(), sc.throughput.end(), 1.0);
            float3 o = fs.origin;
            float3 d = fs.direction;
            for (int depth = 0; depth < max_depth; ++depth) {
              const HitRecord h = closest_hit(c, o, d, rays.closest);
              if (!h.hit) {
                for (int b = 0; b < n_bands; ++b) sc.sum[b] += sc.throughput[b] * sky(d, b);
                break;
              }
              const float3 nq = h.geometric_normal;  // faces the incoming ray
              float max_r = 0.0f;
              float max_t = 0.0f;
              for (int b = 0; b < n_bands; ++b) {
                optics.at(h.global_primitive_id, b, h.is_back_face, sc.reflect[b], sc.transmit[b]);
                max_r = std::max(max_r, sc.reflect[b]);
                max_t = std::max(max_t, sc.transmit[b]);
              }
              const float cos_sun = dot(nq, s);
              if (has_sun && cos_sun != 0.0f &&
                  sees_sun(c, h.position + kBounceSunOffset * s, s, rays.shadow)) {
                // Reflected when the sun lights the side the path arrived on, else transmitted.
                const std::vector<float>& f = cos_sun > 0.0f ? sc.reflect : sc.transmit;
                const double k = kInvPi * std::fabs(cos_sun);
                for (int b = 0; b < n_bands; ++b) {
                  sc.sum[b] += sc.throughput[b] * f[b] * k * sun_irradiance[b];
                }
              }
              const float total = max_r + max_t;
              if (total <= kMinBranchProbability || depth + 1 == max_depth) break;
              bool reflect = max_r > kMinBranchProbability;
              if (reflect && max_t > kMinBranchProbability) reflect = rng.uniform() * total < max_r;
              const double pick = (reflect ? max_r : max_t) / total;
              const std::vector<float>& f = reflect ? sc.reflect : sc.transmit;
              double largest = 0.0;
              for (int b = 0; b < n_bands; ++b) {
                sc.throughput[b] *= f[b] / pick;
                largest = std::max(largest, sc.throughput[b]);
              }
              if (largest <= kMinThroughput) break;
              d = sample_cosine_about(reflect ? nq : -nq, rng);
              o = offset_ray_origin(h.position, h.geometric_normal, d);
            }
          }
          std::vector<float>& out = face == 0 ? r.top : r.bot;
          for (int b = 0; b < n_bands; ++b) {
            const double direct = has_sun && lit > 0 ? static_cast<double>(c0) * sun_irradiance[b] *
                                                           static_cast<double>(lit) / n_samples
                                                     : 0.0;
            out[static_cast<size_t>(b * n + p)] =
                static_cast<float>(sc.sum[b] * kPi / n_samples + direct);
          }
          r.sunlit_fraction[static_cast<size_t>(p)] +=
              static_cast<float>(static_cast<double>(lit) / n_samples);
        }
      });
  return r;
}

}  // namespace tesk::embree
