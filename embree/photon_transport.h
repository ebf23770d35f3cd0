#pragma once

// The photon machinery shared by the forward workflows (photon flux grids and the layered
// absorbed-radiation field): the per-photon random stream, emission from the sun and the sky,
// the photon path through surfaces, tile walls and optical turbid media, Russian roulette,
// and the chunked worker scheme with progress and interruption. A workflow supplies a tally
// policy that records what it needs at each event; everything else is common.
//
// Interactions inside a medium use the leaf model of core/leaf_scattering.h: the absorbed part
// (1 - rho - tau of the medium's boundary material, for the side of the leaf that was hit) is
// handed to the tally, and the photon continues by bi-Lambertian scattering at a leaf whose
// normal is drawn from the medium's leaf angle distribution weighted by the projected area.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "core/frame.h"
#include "core/illumination.h"
#include "core/leaf_scattering.h"
#include "core/optical_media.h"
#include "core/pcg32.h"
#include "core/periodic.h"
#include "core/progress.h"
#include "core/scattering.h"
#include "embree/optical_media.h"
#include "embree/scene_manager.h"

namespace tesk::embree::photon {

inline constexpr float kTMin = 0.0001f;             ///< Nearest accepted hit of every photon ray.
inline constexpr float kTMax = 1e30f;               ///< Farthest accepted hit of every photon ray.
inline constexpr int64_t kChunk = 1000000;          ///< Photons between two progress reports.
inline constexpr int kMaxStepsPerPhoton = 1 << 20;  ///< Guard against endless boundary walks.

/// Ray queries of a forward run, for throughput figures.
struct PhotonRayCounts {
  int64_t closest = 0;      ///< Closest-hit queries along photon paths.
  int64_t shadow = 0;       ///< Queries toward view directions (occlusion or media steps).
  int64_t containment = 0;  ///< Media containment queries (each walks several boundaries).
};

/// The leaf model of one medium, resolved once per run.
struct MediumLeafModel {
  int32_t leaf_angle_type = 0;  ///< LeafAngleType of the medium.
  LeafOptics optics{};          ///< Per-band optics of the boundary material (null: black).
  LeafMeans means[2]{};         ///< Band means for the front [0] and back [1] side.
};

/// Everything a photon reads, resolved once per run.
struct PhotonContext {
  const EmbreeSceneManager* scene = nullptr;  ///< The built scene (read only).
  int n_bands = 0;                            ///< Bands carried by every photon.
  SpectralView spectral{};                    ///< The spectral parameter buffer.
  const MaterialRecord* materials = nullptr;  ///< Material list of the description.
  int n_materials = 0;                        ///< Entries of `materials`.
  float3 sun_dir{0.0f, 0.0f, 1.0f};           ///< Unit vector toward the sun.
  const float* sun_irradiance = nullptr;      ///< n_bands values, or nullptr.
  SkyParams sky{};                            ///< Sky models of the description.
  bool has_sky = false;                       ///< Any sky model is set.
  bool periodic = false;                      ///< Repetitive tiling is active.
  int num_repetitions = 0;                    ///< Tile walls a photon may cross.
  float tile_x = 0.0f;                        ///< Tile size along x.
  float tile_y = 0.0f;                        ///< Tile size along y.
  float measurement_plane = 0.0f;             ///< Height under which periodic photons are emitted.
  SceneBounds bounds{};                       ///< Scene bounding box.
  float extent_x = 0.0f;                      ///< Grid extent Lx.
  float extent_y = 0.0f;                      ///< Grid extent Ly.
  double power = 0.0;                         ///< P0 = Lx Ly / num_photons.
  float prob_sun = 1.0f;                      ///< Probability that a photon is a sun photon.
  int max_depth = 16;                         ///< Scattering events after which a photon ends.
  int rr_depth = 3;                           ///< Scattering events before Russian roulette starts.
  bool media = false;  ///< Optical turbid media are set: the event-stepping path is used.
  std::vector<MediumLeafModel> leaf_models;  ///< One per medium.
  std::vector<int> primitive_offsets;        ///< Instance primitive offsets plus the total.
};

/// Builds the context of a run. `extent_x`, `extent_y` and `power` are left for the caller.
PhotonContext make_photon_context(const EmbreeSceneManager& scene, int n_bands, float prob_sun,
                                  int max_depth, int rr_depth);

/// The grid extent of a forward run: the repetitive-domain size when both sizes are positive,
/// else the sensor's orthographic width and height.
void grid_extent(const EmbreeSceneManager& scene, float& lx, float& ly);

/// One photon in flight.
struct Photon {
  float3 o{};                   ///< Origin of the next ray.
  float3 d{0.0f, 0.0f, -1.0f};  ///< Unit direction.
  double power = 0.0;           ///< Scalar power P (P0 over the probability of its kind).
  bool direct = true;           ///< Sun photon (true) or sky photon.
  int scatterings = 0;          ///< Scattering events so far (k).
  int crossings = 0;            ///< Tile walls crossed so far.
  ActiveMediumSet active{};     ///< Media containing the photon.
};

/// Per-thread scratch and diagnostics of the photon driver.
struct PhotonScratch {
  std::vector<double> w;         ///< Spectral weights of the current photon.
  std::vector<float> alpha;      ///< Absorbed fraction per band at the current event.
  std::vector<double> removed;   ///< Energy ended by the depth limit and the weight cut-offs.
  std::vector<double> roulette;  ///< Energy of roulette victims minus the survivors' gain.
  PhotonRayCounts rays;

  explicit PhotonScratch(int n_bands)
      : w(n_bands), alpha(n_bands), removed(n_bands), roulette(n_bands) {}
};

/// Emits photon `index` (its stream already seeded): origin, direction, power, kind and the
/// spectral weights in `w`. Returns false when the photon is not emitted (sun near the horizon,
/// zero probability of its kind, degenerate emitting box, or no positive weight).
bool emit_photon(const PhotonContext& c, Pcg32& rng, Photon& ph, double* w);

/// Absorbed fraction per band of a surface hit: 1 - r for Diffuse and RPV (r from the first
/// block), 1 - (r_side + t) for DiffuseTransmitting, 1 for any other kind or a missing
/// material or block; clamped at 0.
void surface_absorptance(const PhotonContext& c, const MaterialRecord* mat, bool back_face,
                         float* alpha);

/// Adds or removes the (medium, instance) pair of a boundary crossing: the photon leaves the
/// medium through the back of outward-facing boundaries (orientation +1) and the front of
/// inward-facing ones.
void update_active_set(const PhotonContext& c, ActiveMediumSet& active, int32_t medium,
                       int32_t instance, bool back_face);

/// Transmittance from `o` along the unit direction `v` out of the scene: the product of
/// exp(-extinction * length) over the media crossed (starting with `active`), 0 when an opaque
/// surface blocks the way. Tile walls are crossed as in the photon path, `crossings` of the
/// allowed wraps being used already. Counts its queries in `rays.shadow`.
double media_transmittance(const PhotonContext& c, float3 o, const float3& v,
                           ActiveMediumSet active, int crossings, PhotonRayCounts& rays);

/// The media containing a photon that starts at `o` along `d` (empty above the scene top).
ActiveMediumSet initial_media(const PhotonContext& c, const float3& o, const float3& d,
                              PhotonRayCounts& rays);

/// In a periodic scene, moves `o` by whole periods (the same place of the periodic scene) into
/// the tile, and across a wall that the ray (o, d) would reach within the minimum crossing
/// distance 0.0001: such a wall is not reported as an exit, and a start outside the tile would
/// take the wall it enters through for an exit, so without the move the photon would escape.
inline void nudge_into_tile(const PhotonContext& c, float3& o, const float3& d) {
  if (!c.periodic) return;
  if (o.x < 0.0f || o.x > c.tile_x) o.x -= std::floor(o.x / c.tile_x) * c.tile_x;
  if (o.y < 0.0f || o.y > c.tile_y) o.y -= std::floor(o.y / c.tile_y) * c.tile_y;
  if (d.x > 1e-8f && (c.tile_x - o.x) <= 0.0001f * d.x) o.x -= c.tile_x;
  if (d.x < -1e-8f && o.x <= -0.0001f * d.x) o.x += c.tile_x;
  if (d.y > 1e-8f && (c.tile_y - o.y) <= 0.0001f * d.y) o.y -= c.tile_y;
  if (d.y < -1e-8f && o.y <= -0.0001f * d.y) o.y += c.tile_y;
}

/// Whether a ray from `o` along `d` can meet no geometry in any tile (above the top, rising).
inline bool leaves_upward(const PhotonContext& c, const float3& o, const float3& d) {
  return o.z > c.bounds.max_z && d.z >= 0.0f;
}

/// Traces photon `index` from emission to its end, calling the tally at each event:
///   emitted(ph, w)                                           after emission
///   surface(ph, hit, material or nullptr, frame, wo, alpha, w, scratch)  before scattering
///   leaf(ph, position, medium, leaf, alpha, w, scratch)      at an interaction in a medium
///   escaped(ph, w)                                           leaving the scene
/// `w` holds the weights at that moment; the photon's energy in band b is w[b] * ph.power.
template <typename Tally>
void trace_photon(const PhotonContext& c, int64_t index, PhotonScratch& s, Tally& tally) {
  Pcg32 rng;
  const auto i = static_cast<uint64_t>(index);
  rng.seed(i + 1000003ull, 7919ull * i + 1ull);
  Photon ph;
  double* w = s.w.data();
  float* alpha = s.alpha.data();
  const int nb = c.n_bands;
  if (!emit_photon(c, rng, ph, w)) return;
  tally.emitted(ph, w);
  nudge_into_tile(c, ph.o, ph.d);
  if (c.media) ph.active = initial_media(c, ph.o, ph.d, s.rays);
  const EmbreeSceneManager& scene = *c.scene;

  auto remove_all = [&](std::vector<double>& bucket) {
    for (int b = 0; b < nb; ++b) bucket[b] += w[b] * ph.power;
  };

  for (int step = 0; step < kMaxStepsPerPhoton; ++step) {
    HitRecord hit;
    bool at_leaf = false;
    float3 position{};
    int32_t medium = -1;
    nudge_into_tile(c, ph.o, ph.d);
    if (ph.active.count == 0 && leaves_upward(c, ph.o, ph.d)) {
      tally.escaped(ph, w);
      return;
    }
    if (!c.media) {
      hit = scene.trace_ray(ph.o, ph.d, kTMin, kTMax);
      ++s.rays.closest;
      if (!hit.hit) {
        if (c.periodic && ph.crossings < c.num_repetitions) {
          const TileExit exit = cross_tile(ph.o, ph.d, c.tile_x, c.tile_y);
          if (exit.axis >= 0) {
            ph.o = wrap_at_exit(ph.o, ph.d, exit, c.tile_x, c.tile_y);
            ++ph.crossings;
            continue;
          }
        }
        tally.escaped(ph, w);
        return;
      }
    } else {
      // Outside a periodic scene no wall is crossed: the step sees the wrap budget as spent.
      const int crossings = c.periodic ? ph.crossings : INT_MAX;
      const MediumTraceEvent ev = trace_media_step(scene, ph.o, ph.d, ph.active, crossings, rng);
      ++s.rays.closest;
      switch (static_cast<MediumEventKind>(ev.kind)) {
        case MediumEventKind::Escape:
          tally.escaped(ph, w);
          return;
        case MediumEventKind::TileCrossing:
          ph.o = wrap_at_exit(ph.o, ph.d, ev.exit, c.tile_x, c.tile_y) + 0.0002f * ph.d;
          ++ph.crossings;
          // Media straddling the wall continue in their copy on the other side.
          if (ph.active.count > 0) ph.active = initial_media(c, ph.o, ph.d, s.rays);
          continue;
        case MediumEventKind::MediumBoundary:
          update_active_set(c, ph.active, ev.medium_id, ev.instance_id, ev.hit.is_back_face);
          ph.o = offset_ray_origin(ev.hit.position, ev.hit.geometric_normal, ph.d);
          continue;
        case MediumEventKind::Surface:
          hit = ev.hit;
          break;
        case MediumEventKind::Interaction:
          at_leaf = true;
          position = ev.position;
          medium = ev.medium_id;
          break;
      }
    }

    float3 new_dir;
    float3 new_origin;
    if (!at_leaf) {
      const bool valid = hit.material_id >= 0 && hit.material_id < c.n_materials;
      const MaterialRecord* mat = valid ? &c.materials[hit.material_id] : nullptr;
      const ShadingFrame frame = ShadingFrame::from_normal(hit.normal);
      const float3 wo = frame.to_local(-ph.d);
      surface_absorptance(c, mat, hit.is_back_face, alpha);
      tally.surface(ph, hit, mat, frame, wo, alpha, w, s);
      if (mat == nullptr) return;  // absorbed whole
      float u[3];
      u[0] = rng.uniform();
      u[1] = rng.uniform();
      u[2] = rng.uniform();
      const ScatterSample smp =
          c.media ? sample_scattering_banded(*mat, c.spectral, nb, hit.is_back_face, u)
                  : sample_scattering(*mat, u);
      if (!(smp.pdf >= 1e-8f)) {
        for (int b = 0; b < nb; ++b) s.removed[b] += (1.0 - alpha[b]) * w[b] * ph.power;
        return;
      }
      const double factor = std::fabs(smp.wi.z) / static_cast<double>(smp.pdf);
      for (int b = 0; b < nb; ++b) {
        const float f = eval_scattering(mat->type, mat->spectral_offset, b, wo, smp.wi, c.spectral,
                                        nb, hit.is_back_face, false);
        w[b] *= static_cast<double>(f) * factor;
      }
      new_dir = normalize(frame.to_world(smp.wi));
      new_origin = offset_ray_origin(hit.position, hit.geometric_normal, new_dir);
    } else {
      if (medium < 0 || medium >= static_cast<int32_t>(c.leaf_models.size())) return;
      const MediumLeafModel& model = c.leaf_models[medium];
      const LeafHit leaf = sample_leaf_normal(model.leaf_angle_type, ph.d, rng);
      for (int b = 0; b < nb; ++b) alpha[b] = model.optics.absorptance(b, leaf.back_face);
      tally.leaf(ph, position, medium, leaf, alpha, w, s);
      const LeafMeans& m = model.means[leaf.back_face ? 1 : 0];
      float u[3];
      u[0] = rng.uniform();
      u[1] = rng.uniform();
      u[2] = rng.uniform();
      const LeafScatter sc = scatter_at_leaf(leaf.facing, m.rho, m.tau, u);
      if (!sc.valid) {
        for (int b = 0; b < nb; ++b) s.removed[b] += (1.0 - alpha[b]) * w[b] * ph.power;
        return;
      }
      for (int b = 0; b < nb; ++b) {
        w[b] *= static_cast<double>(leaf_scatter_weight(model.optics, b, leaf.back_face, sc));
      }
      new_dir = sc.direction;
      new_origin = position;
    }

    bool alive = false;
    double w_max = 0.0;
    for (int b = 0; b < nb; ++b) {
      alive = alive || w[b] > 1e-8;
      w_max = std::max(w_max, w[b]);
    }
    if (!alive) {
      remove_all(s.removed);
      return;
    }
    if (ph.scatterings >= c.rr_depth) {
      const double q = std::min(w_max, 0.95);
      if (rng.uniform() >= q) {
        remove_all(s.roulette);
        return;
      }
      for (int b = 0; b < nb; ++b) {
        s.roulette[b] -= (w[b] / q - w[b]) * ph.power;
        w[b] /= q;
      }
    }
    ph.d = new_dir;
    ph.o = new_origin;
    ++ph.scatterings;
    if (ph.scatterings >= c.max_depth) {
      remove_all(s.removed);
      return;
    }
  }
  remove_all(s.removed);
}

/// Runs work(thread, photon) for photons 0 .. total - 1 in chunks of a million: per chunk
/// `n_threads` workers take photon indices from an atomic counter, then they are joined and
/// `progress` (if set) gets (photons done, total, elapsed ms). `interrupt` (if set) is polled
/// about every 100 ms on the calling thread while workers run and between chunks. An exception
/// from a worker, from `progress` or from `interrupt`, and a failure to start a thread, stop
/// the workers; all started threads are joined before the exception propagates.
template <typename Work>
void run_photon_chunks(int64_t total, int n_threads, const ProgressCallback& progress,
                       const InterruptCheck& interrupt, Work&& work) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kPoll = std::chrono::milliseconds(100);
  const auto start = Clock::now();
  auto last_poll = start;
  auto poll = [&] {
    if (interrupt && Clock::now() - last_poll >= kPoll) {
      last_poll = Clock::now();
      interrupt();
    }
  };
  for (int64_t begin = 0; begin < total; begin += std::min(kChunk, total - begin)) {
    const int64_t end = begin + std::min(kChunk, total - begin);
    std::atomic<int64_t> next{begin};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable cv;
    int finished = 0;
    std::exception_ptr error;
    std::vector<std::thread> threads;
    // Stops and joins the workers on every way out of the chunk, normal or exceptional.
    struct Joiner {
      std::atomic<bool>& stop;
      std::vector<std::thread>& threads;
      ~Joiner() {
        stop.store(true);
        for (std::thread& t : threads) {
          if (t.joinable()) t.join();
        }
      }
    };
    {
      Joiner joiner{stop, threads};
      threads.reserve(static_cast<size_t>(n_threads));
      for (int t = 0; t < n_threads; ++t) {
        try {
          threads.emplace_back([&, t] {
            try {
              for (;;) {
                if (stop.load(std::memory_order_relaxed)) break;
                const int64_t i = next.fetch_add(1, std::memory_order_relaxed);
                if (i >= end) break;
                work(t, i);
              }
            } catch (...) {
              std::lock_guard<std::mutex> lock(mutex);
              if (!error) error = std::current_exception();
              stop.store(true);
            }
            {
              std::lock_guard<std::mutex> lock(mutex);
              ++finished;
            }
            cv.notify_all();
          });
        } catch (...) {
          std::lock_guard<std::mutex> lock(mutex);
          if (!error) error = std::current_exception();
          stop.store(true);
          break;
        }
      }
      const int started = static_cast<int>(threads.size());
      for (;;) {
        {
          std::unique_lock<std::mutex> lock(mutex);
          cv.wait_for(lock, kPoll, [&] { return finished == started; });
          if (finished == started) break;
        }
        poll();
      }
    }
    if (error) std::rethrow_exception(error);
    poll();
    if (progress) {
      const auto ns =
          std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
      progress(end, total, static_cast<float>(static_cast<double>(ns) / 1e6));
    }
  }
}

/// Number of worker threads of a forward run: the resolved request, at most one per photon.
int photon_thread_count(int requested, int64_t num_photons);

/// Throws std::bad_alloc when `bytes` exceed the machine's physical memory (a request that
/// could only end with the process killed while the tallies are zeroed).
void check_tally_memory(double bytes);

/// The path depth of a forward run: `max_depth`, or TESK_MAX_DEPTH when it holds a decimal
/// integer > 0, in which case "<prefix> TESK_MAX_DEPTH=<value>" is printed.
int forward_max_depth(int max_depth, const char* prefix);

/// Element-wise sum of per-thread arrays in thread order, converted to float. Each source
/// array is released once it has been added.
std::vector<float> merge_in_thread_order(std::vector<std::vector<double>>& per_thread);

/// Adds power * w[b] (times alpha[b] when `alpha` is given) to dst[b] for every band, skipping
/// contributions that are not positive.
inline void deposit(double* dst, int n_bands, double power, const double* w,
                    const float* alpha = nullptr) {
  for (int b = 0; b < n_bands; ++b) {
    const double e = (alpha != nullptr ? alpha[b] : 1.0f) * w[b] * power;
    if (e > 0.0) dst[b] += e;
  }
}

/// What a run leaves besides its tallies, merged over the threads.
struct PhotonRunStats {
  std::vector<float> removed;   ///< [n_bands] energy ended by the depth limit and cut-offs.
  std::vector<float> roulette;  ///< [n_bands] roulette victims minus survivors' gain.
  PhotonRayCounts rays;         ///< Queries issued.
};

/// Traces photons 0 .. num_photons - 1 on `n_threads` workers (run_photon_chunks), each with
/// its own Tally built from `setup` and its own scratch. Returns the tallies in thread order and
/// fills `stats` from the scratch.
template <typename Tally, typename Setup>
std::vector<Tally> run_photons(const PhotonContext& ctx, const Setup& setup, int64_t num_photons,
                               int n_threads, int n_bands, const ProgressCallback& progress,
                               const InterruptCheck& interrupt, PhotonRunStats& stats) {
  std::vector<Tally> tallies;
  std::vector<PhotonScratch> scratch;
  tallies.reserve(n_threads);
  scratch.reserve(n_threads);
  for (int t = 0; t < n_threads; ++t) {
    tallies.emplace_back(setup);
    scratch.emplace_back(n_bands);
  }
  run_photon_chunks(num_photons, n_threads, progress, interrupt,
                    [&](int t, int64_t i) { trace_photon(ctx, i, scratch[t], tallies[t]); });
  std::vector<std::vector<double>> removed, roulette;
  for (PhotonScratch& s : scratch) {
    removed.push_back(std::move(s.removed));
    roulette.push_back(std::move(s.roulette));
    stats.rays.closest += s.rays.closest;
    stats.rays.shadow += s.rays.shadow;
    stats.rays.containment += s.rays.containment;
  }
  stats.removed = merge_in_thread_order(removed);
  stats.roulette = merge_in_thread_order(roulette);
  return tallies;
}

/// Array `k` of every tally summed in thread order (each tally's copy is released).
template <typename Tally>
std::vector<float> merge_tallies(std::vector<Tally>& tallies, int k) {
  std::vector<std::vector<double>> parts;
  parts.reserve(tallies.size());
  for (Tally& tally : tallies) parts.push_back(std::move(tally.array(k)));
  return merge_in_thread_order(parts);
}

}  // namespace tesk::embree::photon
