#include "embree/turbid_leaf_rrt.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "core/energy_balance.h"
#include "core/host/allocation.h"
#include "core/host/parallel.h"
#include "core/illumination.h"
#include "core/leaf_scattering.h"
#include "core/periodic.h"
#include "core/random_streams.h"
#include "core/transport_constants.h"
#include "embree/media_walk.h"
#include "embree/transport_context.h"

namespace tesk::embree {
namespace {

using namespace tesk::transport;

constexpr double kPi = 3.14159265358979323846;
// Rays per chunk of samples: enough work to amortise the driver, small enough that progress
// moves. The chunking depends only on the request, never on the thread count.
constexpr int64_t kRaysPerChunk = int64_t{1} << 13;
constexpr int64_t kMaxSamplesPerChunk = 64;
constexpr int64_t kProgressReports = 100;

// What a worker keeps between chunks: its query count and the per-band scratch of one ray.
struct Scratch {
  int64_t rays = 0;
  std::vector<double> radiance;    // per band, the current ray's estimate
  std::vector<double> throughput;  // per band
  std::vector<double> side_sum;    // per band, sum over a side's rays
  std::vector<float> reflect;      // per band, reflectance of the side met
  std::vector<float> transmit;     // per band, transmittance
  std::vector<float> emission;     // per band, emitted radiance (thermal mode)
};

void require(bool ok, const char* message) {
  if (!ok) throw std::invalid_argument(message);
}

bool sized(std::span<const float> a, int64_t expected) {
  return a.empty() || static_cast<int64_t>(a.size()) == expected;
}

// The argument checks, in the order the host reports them. Returns the sample count.
int64_t validate(const EmbreeSceneManager& scene, const TurbidLeafRRTParams& p) {
  require(p.positions.size() % 3 == 0, "positions must have shape [n_leaf_samples, 3]");
  const int64_t n = static_cast<int64_t>(p.positions.size() / 3);
  require(static_cast<int64_t>(p.normals.size()) == 3 * n,
          "normals must have the same [n_leaf_samples, 3] shape");
  require(static_cast<int64_t>(p.medium_ids.size()) == n,
          "medium_ids must have shape [n_leaf_samples]");
  require(static_cast<int64_t>(p.instance_ids.size()) == n,
          "instance_ids must have shape [n_leaf_samples]");
  require(static_cast<int64_t>(p.active_medium_offsets.size()) == n + 1,
          "active_medium_offsets must have shape [n_leaf_samples + 1]");
  require(p.n_bands > 0, "n_bands must be positive");
  const int64_t nb = p.n_bands;
  require(sized(p.sky_directional_table, nb * 16 * 32),
          "sky_directional_table must have shape [n_bands, 16, 32]");
  // The active lists: a CSR table over both id arrays, at most eight media per sample.
  require(p.active_medium_ids.size() == p.active_instance_ids.size(),
          "active_medium_ids and active_instance_ids must have equal length");
  const auto n_active = static_cast<int64_t>(p.active_medium_ids.size());
  require(p.active_medium_offsets[0] == 0 && p.active_medium_offsets[n] == n_active,
          "active_medium_offsets must start at 0 and end at the active-media count");
  for (int64_t s = 0; s < n; ++s) {
    const int64_t count =
        int64_t{p.active_medium_offsets[s + 1]} - int64_t{p.active_medium_offsets[s]};
    require(count >= 0, "active_medium_offsets must be non-decreasing");
    require(count <= kMaxActiveMedia, "At most 8 overlapping active turbid media are supported.");
  }
  require(p.rays_per_sample >= 1, "rays_per_sample must be positive");
  require(p.max_depth >= 1, "max_depth must be positive");
  require(sized(p.sun_irradiance, nb), "sun_irradiance must have shape [n_bands]");
  require(sized(p.sky_diffuse_radiance, nb), "sky_diffuse_radiance must have shape [n_bands]");
  const int64_t n_media = static_cast<int64_t>(scene.optical_media().media.size());
  for (std::span<const float> optics :
       {p.medium_reflectance, p.medium_back_reflectance, p.medium_transmittance}) {
    require(sized(optics, n_media * nb),
            "medium optics must have shape [n_media * n_bands] (n_media optical turbid media)");
  }
  const int64_t n_instances = scene.num_instances();
  require(sized(p.instance_lw_radiance, n_instances) && sized(p.instance_emissivity, n_instances),
          "instance_lw_radiance and instance_emissivity must have shape [num_instances]");
  const float3 s = p.sun_dir;
  require(is_finite(s) && length(s) > 0.0f, "sun direction must be finite and nonzero");
  for (int64_t i = 0; i < n; ++i) {
    const float3 x{p.positions[3 * i], p.positions[3 * i + 1], p.positions[3 * i + 2]};
    require(is_finite(x), "positions must be finite");
    const float3 v{p.normals[3 * i], p.normals[3 * i + 1], p.normals[3 * i + 2]};
    require(is_finite(v) && length(v) > 0.0f, "normals must be finite and non-zero");
  }
  auto check_ids = [&](std::span<const int32_t> media, std::span<const int32_t> instances) {
    for (size_t i = 0; i < media.size(); ++i) {
      if (media[i] < -1 || media[i] >= n_media) {
        throw std::out_of_range("turbid medium id outside the scene's optical turbid-medium table");
      }
      if (instances[i] < -1 || instances[i] >= n_instances) {
        throw std::out_of_range("turbid instance id outside the scene's instances");
      }
    }
  };
  check_ids(p.medium_ids, p.instance_ids);
  check_ids(p.active_medium_ids, p.active_instance_ids);
  return n;
}

// The run's fixed inputs, resolved once.
struct Run {
  const TransportContext* c = nullptr;
  const TurbidLeafRRTParams* p = nullptr;
  int n_bands = 0;
  float3 sun{0.0f, 0.0f, 1.0f};
  ProjectionIndex sun_zenith{};  // of `sun`, shared by every walk toward it
  bool has_sun = false;
  SpectralView sky_table{};
  const std::vector<float>* primitive_emissivities = nullptr;

  float sky(const float3& d, int b) const {
    if (sky_table.data != nullptr) return directional_sky_radiance(sky_table, 0, n_bands, d, b);
    return p->sky_diffuse_radiance.empty() ? 0.0f : p->sky_diffuse_radiance[b];
  }
  float instance_emissivity(int32_t instance) const {
    if (!p->instance_emissivity.empty() && instance >= 0) return p->instance_emissivity[instance];
    return kTurbidDefaultEmissivity;
  }
  float instance_radiance(int32_t instance) const {
    if (!p->instance_lw_radiance.empty() && instance >= 0) return p->instance_lw_radiance[instance];
    return 0.0f;
  }

  // Optics of a surface hit, seen from the side the ray arrived on.
  void surface_optics(const HitRecord& h, Scratch& sc) const {
    if (p->thermal_mode) {
      float e = instance_emissivity(h.instance_id);
      if (p->instance_emissivity.empty() && h.global_primitive_id >= 0 &&
          h.global_primitive_id < static_cast<int64_t>(primitive_emissivities->size())) {
        e = (*primitive_emissivities)[h.global_primitive_id];
      }
      const float l = instance_radiance(h.instance_id);
      for (int b = 0; b < n_bands; ++b) {
        sc.reflect[b] = std::clamp(1.0f - e, 0.0f, 1.0f);
        sc.transmit[b] = 0.0f;
        sc.emission[b] = l;
      }
      return;
    }
    const MaterialRecord* m = c->material(h.material_id);
    const LeafOptics o = m != nullptr ? medium_leaf_optics(*m, c->spectral, n_bands) : LeafOptics{};
    for (int b = 0; b < n_bands; ++b) {
      const float rho = std::clamp(o.reflectance(b, h.is_back_face), 0.0f, 1.0f);
      sc.reflect[b] = rho;
      sc.transmit[b] = std::clamp(o.transmission(b), 0.0f, 1.0f - rho);
      sc.emission[b] = 0.0f;
    }
  }

  // Optics of a virtual leaf of medium `m` (carried by `instance`), hit on its lower side when
  // `back_face`.
  void leaf_optics(int32_t m, int32_t instance, bool back_face, Scratch& sc) const {
    if (p->thermal_mode) {
      const float e = instance_emissivity(instance);
      const float l = instance_radiance(instance);
      for (int b = 0; b < n_bands; ++b) {
        sc.reflect[b] = std::clamp(1.0f - e, 0.0f, 1.0f);
        sc.transmit[b] = 0.0f;
        sc.emission[b] = l;
      }
      return;
    }
    const std::span<const float> side = back_face && !p->medium_back_reflectance.empty()
                                            ? p->medium_back_reflectance
                                            : p->medium_reflectance;
    const size_t base = static_cast<size_t>(m) * static_cast<size_t>(n_bands);
    for (int b = 0; b < n_bands; ++b) {
      const float rho = side.empty() ? 0.0f : std::clamp(side[base + b], 0.0f, 1.0f);
      const float tau = p->medium_transmittance.empty() ? 0.0f : p->medium_transmittance[base + b];
      sc.reflect[b] = rho;
      sc.transmit[b] = std::clamp(tau, 0.0f, 1.0f - rho);
      sc.emission[b] = 0.0f;
    }
  }

  // Adds to sc.radiance the radiance arriving at `o` from direction -d: a backward walk through
  // surfaces and media that adds the sun at every scattering event (next-event estimation) and
  // the sky where it escapes. Every band follows the same geometry; the branch taken at an
  // event is chosen by the band means of its optics and the band weights correct for it.
  void walk(float3 o, float3 d, const ActiveMediumSet& start, Pcg32& rng, Scratch& sc) const {
    PathMedia path;
    path.set = start;
    std::fill(sc.throughput.begin(), sc.throughput.end(), 1.0);
    int crossings = 0;
    int events = 0;
    // The projection index of d, resolved once per direction (boundaries and walls keep it).
    ProjectionIndex zenith{};
    bool zenith_known = false;
    for (int step = 0; step < kMaxPathSteps; ++step) {
      nudge_into_tile(c->tiles, o, d);
      if (path.set.count == 0 && escapes_upward(c->tiles, o, d)) {
        for (int b = 0; b < n_bands; ++b) sc.radiance[b] += sc.throughput[b] * sky(d, b);
        return;
      }
      if (path.set.count > 0 && !zenith_known) {
        zenith = projection_index(d);
        zenith_known = true;
      }
      const MediumTraceEvent ev = path.set.count > 0
                                      ? media_step(*c, o, d, zenith, path.set, crossings, rng)
                                      : media_step(*c, o, d, path.set, crossings, rng);
      ++sc.rays;
      if (ev.kind == MediumEventKind::Escape) {
        for (int b = 0; b < n_bands; ++b) sc.radiance[b] += sc.throughput[b] * sky(d, b);
        return;
      }
      if (ev.kind == MediumEventKind::TileCrossing) {
        o = wrap_path(*c, o, d, ev.exit, path, sc.rays);
        ++crossings;
        continue;
      }
      if (ev.kind == MediumEventKind::MediumBoundary) {
        cross_medium_boundary(c->media, path, ev.medium_id, ev.instance_id, ev.hit.is_back_face);
        o = offset_ray_origin(ev.hit.position, ev.hit.geometric_normal, d);
        continue;
      }
      // A scattering event: a surface, or a leaf of one of the active media.
      float3 facing;  // unit normal on the side the ray arrived from
      float3 sun_origin;
      if (ev.kind == MediumEventKind::Surface) {
        facing = ev.hit.geometric_normal;
        surface_optics(ev.hit, sc);
        sun_origin = offset_ray_origin(ev.hit.position, ev.hit.geometric_normal, sun);
      } else {
        const int32_t m = ev.medium_id;
        const LeafHit leaf = sample_leaf_normal(c->media.media[m].leaf_angle_type, d, rng);
        facing = leaf.facing;
        leaf_optics(m, ev.instance_id, leaf.back_face, sc);
        sun_origin = ev.position + kBoundaryStep * sun;
      }
      double mean_r = 0.0, mean_t = 0.0;
      for (int b = 0; b < n_bands; ++b) {
        sc.radiance[b] += sc.throughput[b] * sc.emission[b];
        mean_r += sc.reflect[b];
        mean_t += sc.transmit[b];
      }
      mean_r /= n_bands;
      mean_t /= n_bands;
      if (has_sun) {
        const float cos_sun = dot(facing, sun);
        // The sun lights the side the ray arrived on (reflection) or the far side (transmission).
        const std::vector<float>& f = cos_sun > 0.0f ? sc.reflect : sc.transmit;
        if (cos_sun != 0.0f && (cos_sun > 0.0f ? mean_r : mean_t) > 0.0) {
          const double t = media_transmittance(*c, sun_origin, sun, path.set, crossings, sc.rays,
                                               &sun_zenith, kMinSunTransmittance);
          if (t >= kMinSunTransmittance) {
            const double k = t * std::fabs(cos_sun) / kPi;
            for (int b = 0; b < n_bands; ++b) {
              sc.radiance[b] += sc.throughput[b] * f[b] * k * p->sun_irradiance[b];
            }
          }
        }
      }
      if (++events >= p->max_depth) return;
      const double u = rng.uniform();
      if (!(u < mean_r + mean_t)) return;  // absorbed
      const bool reflected = u < mean_r;
      const std::vector<float>& f = reflected ? sc.reflect : sc.transmit;
      const double pick = reflected ? mean_r : mean_t;
      double largest = 0.0;
      for (int b = 0; b < n_bands; ++b) {
        sc.throughput[b] *= f[b] / pick;
        largest = std::max(largest, sc.throughput[b]);
      }
      if (largest <= kMinThroughput) return;
      d = sample_cosine_about(reflected ? facing : -facing, rng);
      zenith_known = false;
      o = ev.kind == MediumEventKind::Surface
              ? offset_ray_origin(ev.hit.position, ev.hit.geometric_normal, d)
              : ev.position;
      path.new_segment();
    }
  }
};

// The CPU scene's geometric closest hits as the tracer of the surface walk (the leaf RRT
// scatters about geometric faces).
struct GeometricTracer {
  const EmbreeSceneManager* scene = nullptr;
  HitRecord trace(const float3& o, const float3& d, float t_min, float t_max) const {
    return scene->trace_ray_geometric(o, d, t_min, t_max);
  }
};

}  // namespace

LeafRrtInputs leaf_rrt_inputs(const EmbreeSceneManager& scene, const TurbidLeafRRTParams& p) {
  auto data = [](std::span<const float> v) { return v.empty() ? nullptr : v.data(); };
  LeafRrtInputs in;
  in.n_bands = p.n_bands;
  in.rays_per_sample = p.rays_per_sample;
  in.max_depth = p.max_depth;
  in.thermal_mode = p.thermal_mode;
  for (float e : p.sun_irradiance) in.has_sun |= e > 0.0f;
  in.sun = normalize(p.sun_dir);
  in.seed = p.seed;
  in.positions = p.positions.data();
  in.normals = p.normals.data();
  in.sun_irradiance = data(p.sun_irradiance);
  in.sky_diffuse = data(p.sky_diffuse_radiance);
  if (!p.sky_directional_table.empty()) {
    in.sky_table = {p.sky_directional_table.data(),
                    static_cast<int64_t>(p.sky_directional_table.size())};
  }
  in.instance_lw = data(p.instance_lw_radiance);
  in.instance_emissivity = data(p.instance_emissivity);
  const std::vector<float>& eps = scene.primitive_emissivities();
  in.primitive_emissivities = eps.empty() ? nullptr : eps.data();
  in.n_primitive_emissivities = static_cast<int64_t>(eps.size());
  return in;
}

TurbidLeafRRTResult run_turbid_leaf_rrt_cpu(const EmbreeSceneManager& scene,
                                            const TurbidLeafRRTParams& p,
                                            const ProgressCallback& progress,
                                            const InterruptCheck& interrupt) {
  TurbidLeafRRTResult r;
  r.execution = cpu_execution(WorkflowCode::RadiationFieldProcess, "embree.cpu.turbid_leaf_rrt");
  const int64_t n = validate(scene, p);
  if (n == 0) return r;
  if (!scene.is_built()) throw std::runtime_error("Embree: build the scene before tracing rays");
  const int64_t nb = p.n_bands;
  check_allocation(static_cast<double>(n) * (4 * nb + 1) * 2.0 * sizeof(float),
                   "turbid leaf RRT results");
  r.total_top.assign(static_cast<size_t>(nb * n), 0.0f);
  r.total_bottom.assign(static_cast<size_t>(nb * n), 0.0f);
  r.direct_top.assign(static_cast<size_t>(nb * n), 0.0f);
  r.direct_bottom.assign(static_cast<size_t>(nb * n), 0.0f);
  r.p_sun.assign(static_cast<size_t>(n), 0.0f);

  TransportContext c = make_transport_context(scene, p.n_bands, p.max_depth, p.max_depth);
  c.shading_normals = false;  // surfaces scatter about their geometric faces here
  Run run;
  run.c = &c;
  run.p = &p;
  run.n_bands = p.n_bands;
  run.sun = normalize(p.sun_dir);
  run.sun_zenith = projection_index(run.sun);
  run.has_sun = false;
  for (float e : p.sun_irradiance) run.has_sun |= e > 0.0f;
  if (!p.sky_directional_table.empty()) {
    run.sky_table = {p.sky_directional_table.data(),
                     static_cast<int64_t>(p.sky_directional_table.size())};
  }
  run.primitive_emissivities = &scene.primitive_emissivities();

  const int64_t rays_per_sample = 2 * static_cast<int64_t>(p.rays_per_sample);
  const int64_t per_chunk =
      std::clamp<int64_t>(kRaysPerChunk / rays_per_sample, 1, kMaxSamplesPerChunk);
  const int64_t n_chunks = (n + per_chunk - 1) / per_chunk;
  const int threads =
      static_cast<int>(std::min<int64_t>(resolve_thread_count(p.num_threads), n_chunks));
  std::printf(
      "Turbid leaf RRT (CPU): %lld samples, %d bands, %d rays per side, max_depth=%d, %s, %d "
      "threads\n",
      static_cast<long long>(n), p.n_bands, p.rays_per_sample, p.max_depth,
      p.thermal_mode ? "thermal" : "shortwave", threads);
  std::fflush(stdout);

  const int64_t report_every = std::max<int64_t>(n_chunks / kProgressReports, 1);
  const auto start = std::chrono::steady_clock::now();
  std::atomic<bool> stop{false};
  const InterruptCheck check =
      interrupt_raising_stop(interrupt, [&stop] { stop.store(true, std::memory_order_relaxed); });
  auto make_scratch = [nb] {
    Scratch sc;
    for (auto* v : {&sc.radiance, &sc.throughput, &sc.side_sum}) v->resize(nb);
    for (auto* v : {&sc.reflect, &sc.transmit, &sc.emission}) v->resize(nb);
    return sc;
  };
  const double inv_rays = 1.0 / p.rays_per_sample;
  // Scenes without media: the surface walk every backend shares (core/leaf_rrt_path.h), which
  // is what the media walks below reduce to there.
  const LeafRrtInputs inputs = leaf_rrt_inputs(scene, p);
  const LeafRrtSurfaceWalk<GeometricTracer> surfaces{&c, &inputs, GeometricTracer{&scene}};
  const LeafRrtOutputs outputs{n,
                               r.total_top.data(),
                               r.total_bottom.data(),
                               r.direct_top.data(),
                               r.direct_bottom.data(),
                               r.p_sun.data()};

  auto sample = [&](int64_t s, Scratch& sc) {
    if (!c.has_media()) {
      const LeafRrtBands bands{sc.radiance.data(), sc.throughput.data(), sc.side_sum.data(),
                               sc.reflect.data(),  sc.transmit.data(),   sc.emission.data()};
      surfaces.sample(s, bands, outputs, sc.rays,
                      [&] { return !stop.load(std::memory_order_relaxed); });
      return;
    }
    const float3 pos{p.positions[3 * s], p.positions[3 * s + 1], p.positions[3 * s + 2]};
    const float3 normal =
        normalize(float3{p.normals[3 * s], p.normals[3 * s + 1], p.normals[3 * s + 2]});
    ActiveMediumSet active;
    for (int32_t k = p.active_medium_offsets[s]; k < p.active_medium_offsets[s + 1]; ++k) {
      if (p.active_medium_ids[k] < 0) continue;
      active.medium_ids[active.count] = p.active_medium_ids[k];
      active.instance_ids[active.count] = p.active_instance_ids[k];
      ++active.count;
    }
    // The stream comes from the sample index and the seed, never from the worker that runs
    // the sample: every sample draws the same numbers for any thread count or chunking.
    Pcg32 rng = derive_stream(StreamKey::LeafSample, static_cast<uint64_t>(s) ^ p.seed,
                              static_cast<uint64_t>(s) * 1000003ULL + p.seed);

    // The direct sun: the side facing it receives |n.s| E when the leaf is sunlit; the
    // transmittance toward the sun through the media is the probability that it is.
    const float cos_sun = dot(normal, run.sun);
    const bool upper_lit = cos_sun >= 0.0f;
    double t_sun = 0.0;
    if (cos_sun != 0.0f) {
      const float3 lit_side = upper_lit ? normal : -normal;
      t_sun = media_transmittance(c, pos + kBoundaryStep * lit_side, run.sun, active, 0, sc.rays,
                                  &run.sun_zenith, kMinSunTransmittance);
    }
    r.p_sun[s] = static_cast<float>(t_sun);
    std::vector<float>& direct = upper_lit ? r.direct_top : r.direct_bottom;
    const double c_abs = std::fabs(static_cast<double>(cos_sun));

    for (int side = 0; side < 2; ++side) {
      const float3 n_side = side == 0 ? normal : -normal;
      std::fill(sc.side_sum.begin(), sc.side_sum.end(), 0.0);
      for (int i = 0; i < p.rays_per_sample; ++i) {
        if (stop.load(std::memory_order_relaxed)) return;
        std::fill(sc.radiance.begin(), sc.radiance.end(), 0.0);
        const float3 d = sample_cosine_about(n_side, rng);
        run.walk(pos, d, active, rng, sc);
        for (int b = 0; b < p.n_bands; ++b) sc.side_sum[b] += sc.radiance[b];
      }
      std::vector<float>& total = side == 0 ? r.total_top : r.total_bottom;
      const bool lit = (side == 0) == upper_lit;
      for (int b = 0; b < p.n_bands; ++b) {
        const size_t at = static_cast<size_t>(b * n + s);
        double value = sc.side_sum[b] * kPi * inv_rays;
        if (lit && !p.sun_irradiance.empty()) {
          const double e_dir = c_abs * p.sun_irradiance[b];
          direct[at] = static_cast<float>(e_dir);
          value += e_dir * t_sun;
        }
        total[at] = static_cast<float>(value);
      }
    }
  };

  r.threads = run_chunks<Scratch>(
      n_chunks, p.num_threads, check, make_scratch,
      [&](int64_t chunk, Scratch& sc) {
        sc.rays = 0;
        const int64_t end = std::min(n, (chunk + 1) * per_chunk);
        for (int64_t s = chunk * per_chunk; s < end; ++s) {
          if (stop.load(std::memory_order_relaxed)) return;
          sample(s, sc);
        }
      },
      [&](int64_t chunk, Scratch& sc) {
        r.rays += sc.rays;
        if (progress && ((chunk + 1) % report_every == 0 || chunk + 1 == n_chunks)) {
          try {
            progress(std::min(n, (chunk + 1) * per_chunk), n, elapsed_ms(start));
          } catch (...) {
            stop.store(true, std::memory_order_relaxed);
            throw;
          }
        }
      });
  return r;
}

int64_t validate_turbid_leaf_rrt(const EmbreeSceneManager& scene,
                                 const TurbidLeafRRTParams& params) {
  return validate(scene, params);
}

}  // namespace tesk::embree
