#include "embree/render_backward.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>

#include "core/frame.h"
#include "core/illumination.h"
#include "core/parallel.h"
#include "core/pcg32.h"
#include "core/periodic.h"
#include "core/radiometry.h"
#include "core/scattering.h"
#include "core/sensor.h"
#include "embree/illumination.h"

namespace tesk::embree {
namespace {

constexpr float kTMin = 0.0001f;
constexpr float kTMax = 1e30f;
constexpr int kEventSlots = 4;

// Everything a sample reads, resolved once per render so the path loop touches plain arrays.
struct BackwardContext {
  const EmbreeSceneManager* scene = nullptr;
  SensorData sensor{};
  int width = 0;
  int height = 0;
  int n_bands = 0;
  TransportMode mode = TransportMode::Optical;
  SpectralView spectral{};
  const MaterialRecord* materials = nullptr;
  int n_materials = 0;
  float3 sun_dir{};
  const float* sun_irradiance = nullptr;  // n_bands values, or nullptr without a sun spectrum.
  SkyParams sky{};
  bool periodic = false;
  int num_repetitions = 0;
  float tile_x = 0.0f;
  float tile_y = 0.0f;
  float z_top = 0.0f;
  const float* wavelengths = nullptr;
  int n_wavelengths = 0;
  const float* temperatures = nullptr;  // per primitive, or nullptr
  const float* sif = nullptr;           // [n_bands][n_primitives], or nullptr
  int n_primitives = 0;
  int max_depth = 0;
  int rr_depth = 0;
  bool want_se = false;
  bool want_events = false;
  bool want_orders = false;
  int order_slots = 0;
  size_t n_elements = 0;  // W * H * n_bands
};

// Per-thread scratch, allocated once per worker and refilled for every sample.
struct SampleScratch {
  std::vector<double> throughput;
  std::vector<double> radiance;
  std::vector<double> events;   // [4][n_bands] when requested
  std::vector<double> orders;   // [order_slots][n_bands] when requested
  std::vector<float> response;  // per-band scattering response toward the sun
  RenderRayCounts rays;

  explicit SampleScratch(const BackwardContext& c)
      : throughput(c.n_bands),
        radiance(c.n_bands),
        events(c.want_events ? kEventSlots * c.n_bands : 0),
        orders(c.want_orders ? static_cast<size_t>(c.order_slots) * c.n_bands : 0),
        response(c.n_bands) {}
};

// Shared double accumulators of the whole image.
struct Accumulators {
  std::vector<double> sum;
  std::vector<double> squares;
  std::vector<double> events;
  std::vector<double> orders;
};

size_t checked_mul(size_t a, size_t b) {
  size_t r = 0;
  if (__builtin_mul_overflow(a, b, &r)) throw std::bad_alloc();
  return r;
}

inline void add_contribution(const BackwardContext& c, SampleScratch& sc, int b, double value,
                             OpticalEvent event, int order_slot) {
  sc.radiance[b] += value;
  if (c.want_events) sc.events[static_cast<int>(event) * c.n_bands + b] += value;
  if (c.want_orders) sc.orders[order_slot * c.n_bands + b] += value;
}

// Surface temperature for thermal emission at primitive p of material `mat` hit at P.
float emission_temperature(const BackwardContext& c, const MaterialRecord& mat, int p,
                           const float3& P, const float3& ng, SampleScratch& sc) {
  if (c.temperatures != nullptr && p >= 0 && p < c.n_primitives) return c.temperatures[p];
  const float sunlit = mat.scalar_params[3];
  const float shaded = mat.scalar_params[4];
  if (sunlit > 0.0f && shaded > 0.0f) {
    ++sc.rays.shadow;
    const bool in_shade =
        occluded_periodic(*c.scene, offset_ray_origin(P, ng, c.sun_dir), c.sun_dir);
    return in_shade ? shaded : sunlit;
  }
  return mat.scalar_params[2];
}

// One sample of pixel (x, y) in pass s; leaves the sample's radiance and splits in `sc`.
// Returns false when the camera ray is invalid (the sample then adds nothing).
bool trace_sample(const BackwardContext& c, int x, int y, int s, SampleScratch& sc) {
  Pcg32 rng;
  rng.seed(static_cast<uint64_t>(c.width) * static_cast<uint64_t>(y) + static_cast<uint64_t>(x) +
               1000003ull * static_cast<uint64_t>(s),
           1ull + 7919ull * static_cast<uint64_t>(s));
  const float jx = rng.uniform();
  const float jy = rng.uniform();
  float3 o;
  float3 d;
  if (!sensor::generate_primary_ray(c.sensor, x, y, jx, jy, o, d)) return false;
  if (c.sensor.type == 0 && c.scene->description().terrain_following()) ++sc.rays.camera;
  o = prepare_camera_ray(*c.scene, c.sensor.type, o, d);

  std::fill(sc.throughput.begin(), sc.throughput.end(), 1.0);
  std::fill(sc.radiance.begin(), sc.radiance.end(), 0.0);
  std::fill(sc.events.begin(), sc.events.end(), 0.0);
  std::fill(sc.orders.begin(), sc.orders.end(), 0.0);
  if (c.max_depth < 1) return true;

  const int nb = c.n_bands;
  const int last_order_slot = c.order_slots - 1;
  const bool thermal = c.mode == TransportMode::Thermal;
  int hits = 0;
  int k = 0;
  int crossings = 0;
  for (;;) {
    const HitRecord h = c.scene->trace_ray(o, d, kTMin, kTMax);
    ++(k == 0 ? sc.rays.camera : sc.rays.bounce);

    if (!h.hit) {
      // In a periodic scene the ray continues in the neighbouring tile. Above the scene top a
      // ray that does not descend meets nothing in any tile, so it escapes at once (the result
      // is the same, the queries are saved).
      if (c.periodic && crossings < c.num_repetitions && !(o.z > c.z_top && d.z >= 0.0f)) {
        const TileExit exit = cross_tile(o, d, c.tile_x, c.tile_y);
        if (exit.axis >= 0) {
          o = wrap_at_exit(o, d, exit, c.tile_x, c.tile_y);
          ++crossings;
          continue;
        }
      }
      const int slot = std::min(hits, last_order_slot);
      if (k == 0 && c.mode == TransportMode::Optical && c.sun_irradiance != nullptr &&
          sun_seen(c.sun_dir, d)) {
        for (int b = 0; b < nb; ++b) {
          const double l = static_cast<double>(c.sun_irradiance[b]) / kSolarDiskSolidAngle;
          add_contribution(c, sc, b, l * sc.throughput[b], OpticalEvent::Outside, slot);
        }
      } else if (c.mode != TransportMode::SifOnly) {
        for (int b = 0; b < nb; ++b) {
          const float l = tesk::sky_radiance(c.sky, c.spectral, nb, d, b);
          if (l != 0.0f)
            add_contribution(c, sc, b, l * sc.throughput[b], OpticalEvent::Outside, slot);
        }
      }
      return true;
    }

    ++hits;
    // A material id that names no material absorbs: the path ends without contribution.
    if (h.material_id < 0 || h.material_id >= c.n_materials) return true;
    const MaterialRecord& mat = c.materials[h.material_id];
    const ShadingFrame frame = ShadingFrame::from_normal(h.normal);
    const float3 wo = frame.to_local(-d);
    const float3 P = h.position;
    const float3 ng = h.geometric_normal;
    const int p = h.global_primitive_id;
    const int slot = std::min(hits, last_order_slot);

    if (c.mode == TransportMode::SifOnly) {
      if (c.sif != nullptr && p >= 0 && p < c.n_primitives) {
        for (int b = 0; b < nb; ++b) {
          const double e = c.sif[static_cast<size_t>(b) * c.n_primitives + p];
          add_contribution(c, sc, b, e * sc.throughput[b], OpticalEvent::Emission, slot);
        }
      }
    } else if (thermal) {
      const float T = emission_temperature(c, mat, p, P, ng, sc);
      const float* emissivity = c.spectral.block(mat.spectral_offset, nb);
      if (T > 0.0f && emissivity != nullptr) {
        for (int b = 0; b < nb; ++b) {
          const float lambda = b < c.n_wavelengths ? c.wavelengths[b] : 0.0f;
          const double e = static_cast<double>(planck_radiance(lambda, T)) * emissivity[b];
          add_contribution(c, sc, b, e * sc.throughput[b], OpticalEvent::Emission, slot);
        }
      }
    } else if (c.sun_irradiance != nullptr) {
      // Next-event estimation toward the sun; leaves also transmit it from behind.
      const float3 wi = frame.to_local(c.sun_dir);
      if ((wi.z > 0.0f || mat.type == MaterialType::DiffuseTransmitting) &&
          std::fabs(wi.z) > 0.0f) {
        bool any = false;
        for (int b = 0; b < nb; ++b) {
          sc.response[b] = eval_scattering(mat.type, mat.spectral_offset, b, wo, wi, c.spectral, nb,
                                           h.is_back_face, false);
          any = any || (sc.response[b] * c.sun_irradiance[b] != 0.0f);
        }
        if (any) {
          ++sc.rays.shadow;
          if (!occluded_periodic(*c.scene, offset_ray_origin(P, ng, c.sun_dir), c.sun_dir)) {
            const double cos_i = std::fabs(wi.z);
            for (int b = 0; b < nb; ++b) {
              const double l = static_cast<double>(sc.response[b]) * sc.throughput[b] *
                               c.sun_irradiance[b] * cos_i;
              add_contribution(c, sc, b, l, OpticalEvent::SunScattered, slot);
            }
          }
        }
      }
    }

    // Scattering: three uniforms drawn in order, handed to the sampler in reverse.
    const float u1 = rng.uniform();
    const float u2 = rng.uniform();
    const float u3 = rng.uniform();
    const float u[3] = {u3, u2, u1};
    const ScatterSample smp = sample_scattering(mat, u);
    if (!(smp.pdf >= 1e-8f) || std::fabs(smp.wi.z) == 0.0f) return true;
    const double weight = static_cast<double>(std::fabs(smp.wi.z)) / smp.pdf;
    bool alive = false;
    for (int b = 0; b < nb; ++b) {
      const float f = eval_scattering(mat.type, mat.spectral_offset, b, wo, smp.wi, c.spectral, nb,
                                      h.is_back_face, thermal);
      sc.throughput[b] *= static_cast<double>(f) * weight;
      alive = alive || sc.throughput[b] > 1e-6;
    }
    if (!alive) return true;

    if (k >= c.rr_depth) {
      double max_t = 0.0;
      for (int b = 0; b < nb; ++b) max_t = std::max(max_t, sc.throughput[b]);
      const double q = std::min(0.95, max_t);
      if (rng.uniform() >= q) return true;
      for (int b = 0; b < nb; ++b) sc.throughput[b] /= q;
    }

    d = normalize(frame.to_world(smp.wi));
    o = offset_ray_origin(P, ng, d);
    ++k;
    if (k >= c.max_depth) return true;
  }
}

// Adds one finished sample of pixel (x, y) into the shared sums (rows are owned by one worker).
void accumulate(const BackwardContext& c, const SampleScratch& sc, int x, int y,
                Accumulators& acc) {
  const int nb = c.n_bands;
  const size_t base = (static_cast<size_t>(c.width) * y + x) * nb;
  for (int b = 0; b < nb; ++b) {
    const double l = sc.radiance[b];
    acc.sum[base + b] += l;
    if (c.want_se) acc.squares[base + b] += l * l;
  }
  if (c.want_events) {
    for (int j = 0; j < kEventSlots; ++j) {
      double* dst = acc.events.data() + j * c.n_elements + base;
      for (int b = 0; b < nb; ++b) dst[b] += sc.events[j * nb + b];
    }
  }
  if (c.want_orders) {
    for (int j = 0; j < c.order_slots; ++j) {
      double* dst = acc.orders.data() + j * c.n_elements + base;
      for (int b = 0; b < nb; ++b) dst[b] += sc.orders[static_cast<size_t>(j) * nb + b];
    }
  }
}

BackwardContext make_context(const EmbreeSceneManager& scene, const SensorData& sensor,
                             int max_depth, int rr_depth,
                             const backend::OpticalProductRequest& request) {
  const SceneDescription& d = scene.description();
  BackwardContext c;
  c.scene = &scene;
  c.sensor = sensor;
  c.width = std::max(sensor.width, 0);
  c.height = std::max(sensor.height, 0);
  c.n_bands = std::max(d.num_bands(), 0);
  c.mode = d.mode();
  c.spectral = spectral_view(d);
  c.materials = d.materials().data();
  c.n_materials = static_cast<int>(d.materials().size());
  c.sun_dir = d.emitter().direction;
  c.sun_irradiance = c.spectral.block(d.emitter().spectral_offset, c.n_bands);
  c.sky = sky_params(d);
  c.periodic = d.is_periodic();
  c.num_repetitions = d.num_repetitions();
  c.tile_x = d.scene_x_size();
  c.tile_y = d.scene_y_size();
  c.z_top = scene.bounds().max_z;
  c.wavelengths = d.band_wavelengths().data();
  c.n_wavelengths = static_cast<int>(d.band_wavelengths().size());
  c.n_primitives = scene.n_primitives();
  const std::vector<float>& temps = scene.primitive_temperatures();
  if (!temps.empty() && temps.size() == static_cast<size_t>(c.n_primitives)) {
    c.temperatures = temps.data();
  }
  const std::vector<float>& sif = scene.primitive_sif_spectra();
  if (!sif.empty() && scene.n_sif_bands() == c.n_bands &&
      sif.size() == static_cast<size_t>(c.n_bands) * c.n_primitives) {
    c.sif = sif.data();
  }
  c.max_depth = max_depth;
  c.rr_depth = rr_depth;
  c.want_se = request.standard_error;
  c.want_events = request.event_aov;
  c.want_orders = request.scattering_order;
  if (c.want_orders) {
    if (request.max_output_order < 0) {
      throw std::invalid_argument("max_output_order must be non-negative");
    }
    if (request.max_output_order > INT32_MAX - 2) throw std::bad_alloc();
    c.order_slots = request.max_output_order + 2;
  }
  c.n_elements = checked_mul(checked_mul(static_cast<size_t>(c.width), c.height), c.n_bands);
  return c;
}

// Joins the workers on every way out of the render (return or exception), after telling them
// to stop, so no thread outlives the accumulators it writes.
class WorkerGroup {
 public:
  WorkerGroup(std::atomic<bool>& stop, std::condition_variable& cv) : m_stop(stop), m_cv(cv) {}
  ~WorkerGroup() {
    m_stop.store(true);
    m_cv.notify_all();
    join();
  }
  WorkerGroup(const WorkerGroup&) = delete;
  WorkerGroup& operator=(const WorkerGroup&) = delete;
  template <typename F>
  void start(F&& f) {
    m_threads.emplace_back(std::forward<F>(f));
  }
  void join() {
    for (std::thread& t : m_threads) {
      if (t.joinable()) t.join();
    }
  }
  void reserve(size_t n) { m_threads.reserve(n); }

 private:
  std::atomic<bool>& m_stop;
  std::condition_variable& m_cv;
  std::vector<std::thread> m_threads;
};

}  // namespace

int effective_max_depth(int max_depth, bool* from_env) {
  if (from_env != nullptr) *from_env = false;
  const char* text = std::getenv("TESK_MAX_DEPTH");
  if (text == nullptr) return max_depth;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || value <= 0 || value > INT_MAX) return max_depth;
  if (from_env != nullptr) *from_env = true;
  return static_cast<int>(value);
}

OpticalImageResult render_backward(const EmbreeSceneManager& scene, int spp, int max_depth,
                                   int rr_depth, int n_threads, const ProgressCallback& progress,
                                   const backend::OpticalProductRequest& request,
                                   const InterruptCheck& interrupt) {
  return render_backward(scene, scene.description().sensor(), spp, max_depth, rr_depth, n_threads,
                         progress, request, interrupt);
}

OpticalImageResult render_backward(const EmbreeSceneManager& scene, const SensorData& sensor,
                                   int spp, int max_depth, int rr_depth, int n_threads,
                                   const ProgressCallback& progress,
                                   const backend::OpticalProductRequest& request,
                                   const InterruptCheck& interrupt) {
  if (!scene.is_built()) throw std::runtime_error("Embree: build the scene before tracing rays");
  bool depth_from_env = false;
  max_depth = effective_max_depth(max_depth, &depth_from_env);
  if (depth_from_env) {
    std::printf("[CPU bwd] TESK_MAX_DEPTH=%d\n", max_depth);
    std::fflush(stdout);
  }
  const BackwardContext ctx = make_context(scene, sensor, max_depth, rr_depth, request);
  const int passes = std::max(spp, 0);
  // A worker owns whole rows, so more workers than rows would only idle.
  const int T = std::min(resolve_thread_count(n_threads), std::max(ctx.height, 1));

  Accumulators acc;
  acc.sum.assign(ctx.n_elements, 0.0);
  if (ctx.want_se) acc.squares.assign(ctx.n_elements, 0.0);
  if (ctx.want_events) acc.events.assign(checked_mul(kEventSlots, ctx.n_elements), 0.0);
  if (ctx.want_orders) {
    acc.orders.assign(checked_mul(static_cast<size_t>(ctx.order_slots), ctx.n_elements), 0.0);
  }

  std::printf("Backward render (CPU): %dx%d pixels, %d bands, spp=%d, max_depth=%d, %d threads\n",
              ctx.width, ctx.height, ctx.n_bands, passes, max_depth, T);
  std::fflush(stdout);

  // Progress state: passes completed per worker; pass s is complete when every worker has
  // finished it. Workers update under the mutex, so the waiter cannot miss a notification.
  std::mutex mutex;
  std::condition_variable cv;
  std::atomic<bool> stop{false};
  std::vector<int> passes_done(T, 0);
  std::vector<RenderRayCounts> ray_counts(T);
  int workers_finished = 0;
  std::exception_ptr worker_error;

  const auto start = std::chrono::steady_clock::now();
  {
    WorkerGroup group(stop, cv);
    group.reserve(T);
    for (int t = 0; t < T; ++t) {
      group.start([&, t] {
        try {
          SampleScratch scratch(ctx);
          for (int s = 0; s < passes; ++s) {
            for (int y = t; y < ctx.height; y += T) {
              if (stop.load(std::memory_order_relaxed)) break;
              for (int x = 0; x < ctx.width; ++x) {
                if (trace_sample(ctx, x, y, s, scratch)) accumulate(ctx, scratch, x, y, acc);
              }
            }
            if (stop.load(std::memory_order_relaxed)) break;
            {
              std::lock_guard<std::mutex> lock(mutex);
              passes_done[t] = s + 1;
            }
            cv.notify_all();
          }
          ray_counts[t] = scratch.rays;
        } catch (...) {
          std::lock_guard<std::mutex> lock(mutex);
          if (!worker_error) worker_error = std::current_exception();
          stop.store(true);
        }
        {
          std::lock_guard<std::mutex> lock(mutex);
          ++workers_finished;
        }
        cv.notify_all();
      });
    }

    // The calling thread reports completed passes in order and polls for interruption; an
    // exception from either leaves through `group`, which stops and joins the workers.
    using Clock = std::chrono::steady_clock;
    constexpr auto kPoll = std::chrono::milliseconds(100);
    int reported = 0;
    auto last_poll = Clock::now();
    for (;;) {
      int complete = 0;
      bool finished = false;
      bool failed = false;
      {
        std::unique_lock<std::mutex> lock(mutex);
        auto min_done = [&] { return *std::min_element(passes_done.begin(), passes_done.end()); };
        cv.wait_for(lock, kPoll, [&] {
          return min_done() > reported || workers_finished == T || worker_error != nullptr;
        });
        complete = min_done();
        finished = workers_finished == T;
        failed = worker_error != nullptr;
      }
      if (failed) break;
      if (interrupt && Clock::now() - last_poll >= kPoll) {
        last_poll = Clock::now();
        interrupt();
      }
      while (reported < complete) {
        ++reported;
        if (progress) {
          const auto ns =
              std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
          progress(reported, passes, static_cast<float>(static_cast<double>(ns) / 1e6));
        }
      }
      if (finished) break;
    }
    group.join();
  }
  if (worker_error) std::rethrow_exception(worker_error);

  OpticalImageResult result;
  result.width = ctx.width;
  result.height = ctx.height;
  result.n_bands = ctx.n_bands;
  result.threads = T;
  result.order_slots = ctx.want_orders ? ctx.order_slots : 0;
  for (const RenderRayCounts& r : ray_counts) {
    result.rays.camera += r.camera;
    result.rays.bounce += r.bounce;
    result.rays.shadow += r.shadow;
  }
  result.execution = cpu_execution(WorkflowCode::OpticalBackward, "embree.cpu.optical_backward");

  // Normalise by the full pass count (invalid camera rays count as zero samples).
  auto mean = [&](const std::vector<double>& sums, std::vector<float>& out) {
    out.assign(sums.size(), 0.0f);
    if (passes < 1) return;
    const double n = passes;
    for (size_t i = 0; i < sums.size(); ++i) out[i] = static_cast<float>(sums[i] / n);
  };
  mean(acc.sum, result.radiance);
  if (ctx.want_events) mean(acc.events, result.event_aov);
  if (ctx.want_orders) mean(acc.orders, result.scattering_order);
  if (ctx.want_se) {
    result.standard_error.assign(ctx.n_elements, 0.0f);
    if (passes > 1) {
      const double n = passes;
      for (size_t e = 0; e < ctx.n_elements; ++e) {
        const double v = (acc.squares[e] - acc.sum[e] * acc.sum[e] / n) / (n - 1.0);
        result.standard_error[e] = v >= 0.0 ? static_cast<float>(std::sqrt(v / n)) : 0.0f;
      }
    }
  }
  return result;
}

}  // namespace tesk::embree
