#pragma once

// The photon machinery of the forward workflows (photon flux grids and the layered
// absorbed-radiation field): emission from the sun and the sky, the photon path through
// surfaces, tile walls and optical turbid media (through the media walker), Russian roulette,
// and the chunked run on the parallel driver. A workflow supplies a tally policy that records
// what it needs at each event as deposits; everything else is common.
//
// Deposits are logged per chunk of photons and summed in chunk order into the partial of their
// fold block, and the block partials are added to the totals in block order
// (embree/photon_range.h), so every tally element receives the same additions in the same order
// whatever the thread count or the split of the run into photon ranges.
//
// Interactions inside a medium use the leaf model of core/leaf_scattering.h: the absorbed part
// (1 - rho - tau of the medium's boundary material, for the side of the leaf that was hit) is
// handed to the tally, and the photon continues by bi-Lambertian scattering at a leaf whose
// normal is drawn from the medium's leaf angle distribution weighted by the projected area.

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/frame.h"
#include "core/host/allocation.h"
#include "core/host/parallel.h"
#include "core/host/progress.h"
#include "core/leaf_scattering.h"
#include "core/media_photon.h"
#include "core/pcg32.h"
#include "core/random_streams.h"
#include "core/scattering.h"
#include "core/surface_photon.h"
#include "core/transport_constants.h"
#include "embree/illumination.h"
#include "embree/media_walk.h"
#include "embree/photon_range.h"
#include "embree/ray_counts.h"
#include "embree/transport_context.h"

namespace tesk::embree::photon {

/// Photons per chunk of the parallel driver (fixed, so results do not depend on threads).
inline constexpr int64_t kChunkPhotons = 20000;
/// Photons between two progress reports.
inline constexpr int64_t kProgressPhotons = 1000000;

/// Everything a photon reads: the resolved scene plus the emission geometry of the run.
struct PhotonContext : TransportContext {
  float extent_x = 0.0f;  ///< Grid extent Lx.
  float extent_y = 0.0f;  ///< Grid extent Ly.
  double power = 0.0;     ///< P0 = Lx Ly / num_photons.
  float prob_sun = 1.0f;  ///< Probability that a photon is a sun photon.
};

/// Builds the context of a run. `extent_x`, `extent_y` and `power` are left for the caller.
PhotonContext make_photon_context(const EmbreeSceneManager& scene, int n_bands, float prob_sun,
                                  int max_depth, int rr_depth);

/// The grid extent of a forward run: the repetitive-domain size when both sizes are positive,
/// else the sensor's orthographic width and height.
void grid_extent(const EmbreeSceneManager& scene, float& lx, float& ly);

/// One photon in flight, with the media containing it.
struct Photon : PhotonState {
  PathMedia media{};  ///< Media containing the photon.
};

/// The deposits of one chunk of photons, in the order they were made: each names a tally slot,
/// an element of it and n_bands values. Applied to the totals in chunk order.
class DepositLog {
 public:
  explicit DepositLog(int n_bands) : m_nb(static_cast<size_t>(std::max(n_bands, 1))) {}
  /// Values per entry.
  size_t n_bands() const { return m_nb; }
  /// Room for the n_bands values of element `index` of slot `slot`; the caller writes all of
  /// them.
  double* entry(int slot, size_t index) {
    if (m_used + m_nb > m_values.size()) {
      m_values.resize(std::max<size_t>(2 * m_values.size(), 1024 * static_cast<size_t>(m_nb)));
    }
    m_keys.push_back((static_cast<uint64_t>(slot) << 56) | static_cast<uint64_t>(index));
    double* e = m_values.data() + m_used;
    m_used += m_nb;
    return e;
  }
  /// Withdraws the entry made last (its values turned out to be all zero).
  void drop_last() {
    m_keys.pop_back();
    m_used -= m_nb;
  }
  /// Logs power * w[b] (times alpha[b] when given) for every band, non-positive parts as 0; a
  /// deposit that is zero in every band is not logged (adding it would change nothing).
  void deposit(int slot, size_t index, double power, const double* w,
               const float* alpha = nullptr) {
    double* e = entry(slot, index);
    bool any = false;
    for (size_t b = 0; b < m_nb; ++b) {
      const double v = (alpha != nullptr ? alpha[b] : 1.0f) * w[b] * power;
      e[b] = v > 0.0 ? v : 0.0;
      any = any || v > 0.0;
    }
    if (!any) drop_last();
  }
  /// Adds every deposit to totals[slot][index * n_bands + b], in order, and clears the log.
  /// With `touched`, the key (slot << 56 | element) of every element that was all zero before
  /// is appended to it: deposits are never negative, so these are the elements touched for the
  /// first time since the totals were last zeroed (an all-zero deposit may list one twice,
  /// which a fold tolerates).
  void apply_and_clear(std::vector<std::vector<double>>& totals,
                       std::vector<uint64_t>* touched = nullptr) {
    const double* v = m_values.data();
    for (const uint64_t key : m_keys) {
      double* dst = totals[key >> 56].data() + (key & ((uint64_t{1} << 56) - 1)) * m_nb;
      if (touched != nullptr) {
        bool fresh = true;
        for (size_t b = 0; b < m_nb; ++b) fresh = fresh && dst[b] == 0.0;
        if (fresh) touched->push_back(key);
      }
      for (size_t b = 0; b < m_nb; ++b) dst[b] += v[b];
      v += m_nb;
    }
    m_keys.clear();
    m_used = 0;
  }

 private:
  size_t m_nb;
  size_t m_used = 0;             // values in use at the front of m_values
  std::vector<uint64_t> m_keys;  // slot << 56 | element, one per entry
  std::vector<double> m_values;  // n_bands per entry
};

/// Per-chunk scratch and diagnostics of the photon driver.
struct PhotonScratch {
  std::vector<double> w;         ///< Spectral weights of the current photon.
  std::vector<float> alpha;      ///< Absorbed fraction per band at the current event.
  std::vector<double> removed;   ///< Energy ended by the depth limit and the weight cut-offs.
  std::vector<double> roulette;  ///< Energy of roulette victims minus the survivors' gain.
  PhotonRayCounts rays;

  explicit PhotonScratch(int n_bands)
      : w(n_bands), alpha(n_bands), removed(n_bands), roulette(n_bands) {}
  void clear_chunk() {
    std::fill(removed.begin(), removed.end(), 0.0);
    std::fill(roulette.begin(), roulette.end(), 0.0);
    rays = PhotonRayCounts{};
  }
};

/// The emission geometry of a run as the shared photon code reads it.
PhotonSource photon_source(const PhotonContext& c);

/// Traces photon `index` from emission to its end, calling the tally at each event:
///   emitted(ph, w)                                           after emission
///   surface(ph, hit, material or nullptr, frame, wo, alpha, w, scratch)  before scattering
///   leaf(ph, position, medium, leaf, alpha, w, scratch)      at an interaction in a medium
///   escaped(ph, w)                                           leaving the scene
/// `w` holds the weights at that moment; the photon's energy in band b is w[b] * ph.power.
template <typename Tally>
void trace_photon(const PhotonContext& c, int64_t index, PhotonScratch& s, Tally& tally) {
  using namespace tesk::transport;
  Pcg32 rng = photon_stream(index);
  Photon ph;
  double* w = s.w.data();
  float* alpha = s.alpha.data();
  if (!emit_photon(c, photon_source(c), rng, ph, w)) return;
  tally.emitted(ph, w);
  nudge_into_tile(c.tiles, ph.o, ph.d);
  if (!c.has_media()) {
    // Scenes of surfaces: the loop every backend shares (core/surface_photon.h).
    trace_surface_photon(c, EmbreeTracer{c.scene}, rng, ph, w, alpha, s, tally);
    return;
  }
  // Scenes with media: the loop every backend shares (core/media_photon.h).
  trace_media_photon(c, embree_media_walk(c), c.leaf_models.data(),
                     static_cast<int32_t>(c.leaf_models.size()), rng, ph, w, alpha, s, tally);
}

/// Thread count of a forward run as its console line reports it: the resolved request, at most
/// one per photon (the driver starts no more workers than there are chunks).
int photon_thread_count(int requested, int64_t num_photons);

/// Refuses a run whose tallies the machine cannot hold (MemoryError naming the bytes): per
/// element of `sizes` a double total, a float result and its host copy, plus one double per
/// block partial that a range run returns.
template <size_t N>
void check_tally_memory(const std::array<size_t, N>& sizes, const PhotonRange& range,
                        const char* what) {
  const int64_t range_blocks =
      range.whole() ? 0 : (range.end - range.begin + kFoldPhotons - 1) / kFoldPhotons;
  double elements = 0.0;
  for (size_t s : sizes) elements += static_cast<double>(s);
  check_allocation(elements * (24.0 + 8.0 * static_cast<double>(range_blocks)), what);
}

/// What a run leaves besides its tallies.
struct PhotonRunStats {
  std::vector<float> removed;   ///< [n_bands] energy ended by the depth limit and cut-offs.
  std::vector<float> roulette;  ///< [n_bands] roulette victims minus survivors' gain.
  PhotonRayCounts rays;         ///< Queries issued.
};

/// Converts double totals to the float result arrays, releasing each total once converted.
std::vector<float> to_float(std::vector<double>& totals);

/// Adds the elements of `block` named by `touched` (keys of DepositLog) to `totals` (when
/// given) and zeroes them in `block`. A key seen twice adds zero the second time, which leaves
/// the total unchanged, so the fold equals a dense one.
inline void fold_block(std::vector<std::vector<double>>& block, std::vector<uint64_t>& touched,
                       size_t nb, std::vector<std::vector<double>>* totals) {
  for (const uint64_t key : touched) {
    const size_t slot = key >> 56;
    const size_t at = (key & ((uint64_t{1} << 56) - 1)) * nb;
    double* src = block[slot].data() + at;
    if (totals != nullptr) {
      double* dst = (*totals)[slot].data() + at;
      for (size_t b = 0; b < nb; ++b) dst[b] += src[b];
    }
    for (size_t b = 0; b < nb; ++b) src[b] = 0.0;
  }
  touched.clear();
}

/// Traces photons 0 .. num_photons - 1 (or those of `range`) on the parallel driver in chunks of
/// kChunkPhotons. Each chunk gets a Tally built from `setup` (Tally(setup, log)) that logs its
/// deposits; the logs are summed in chunk order into the partial of their fold block, and the
/// block partials are added in block order to `totals` (one array per slot, sized by the
/// caller). With a range, `totals` is only scratch and the block partials are written to
/// `partials` instead (n_blocks x slot size per slot). `progress` gets (photons done, photons of
/// the run or range, elapsed ms) every million photons and at the end.
template <typename Tally, typename Setup>
PhotonRunStats run_photons(const PhotonContext& ctx, const Setup& setup, int64_t num_photons,
                           int n_threads, const ProgressCallback& progress,
                           const InterruptCheck& interrupt,
                           std::vector<std::vector<double>>& totals, const PhotonRange& range = {},
                           RangePartials* partials = nullptr) {
  struct Partial {
    DepositLog log;
    Tally tally;
    PhotonScratch scratch;
    Partial(const Setup& setup, int nb) : log(nb), tally(setup, log), scratch(nb) {}
    Partial(Partial&& other) noexcept
        : log(std::move(other.log)),
          tally(std::move(other.tally)),
          scratch(std::move(other.scratch)) {
      tally.rebind(log);
    }
  };
  const int nb = ctx.n_bands;
  const int64_t first = range.whole() ? 0 : range.begin;
  const int64_t last = range.whole() ? num_photons : range.end;
  const int64_t count = last - first;
  const int64_t first_chunk = first / kChunkPhotons;
  const int64_t n_chunks = (count + kChunkPhotons - 1) / kChunkPhotons;
  const int64_t first_block = first / kFoldPhotons;
  // The block being summed: a separate buffer for a whole run, the totals for a range.
  std::vector<std::vector<double>> own_block;
  if (range.whole()) {
    own_block.resize(totals.size());
    for (size_t k = 0; k < totals.size(); ++k) own_block[k].assign(totals[k].size(), 0.0);
  } else if (partials != nullptr) {
    partials->first_block = first_block;
    partials->n_blocks = (count + kFoldPhotons - 1) / kFoldPhotons;
    partials->slots.resize(totals.size());
    for (size_t k = 0; k < totals.size(); ++k) {
      partials->slots[k].assign(totals[k].size() * static_cast<size_t>(partials->n_blocks), 0.0);
    }
  }
  std::vector<std::vector<double>>& block = range.whole() ? own_block : totals;
  std::vector<uint64_t> touched;
  std::vector<double> removed(nb, 0.0), roulette(nb, 0.0);
  std::vector<double> block_removed(nb, 0.0), block_roulette(nb, 0.0);
  PhotonRunStats stats;
  const auto start = std::chrono::steady_clock::now();
  run_chunks<Partial>(
      n_chunks, n_threads, interrupt, [&] { return Partial(setup, nb); },
      [&](int64_t chunk, Partial& p) {
        p.scratch.clear_chunk();
        const int64_t begin = (first_chunk + chunk) * kChunkPhotons;
        const int64_t end = std::min(last, begin + kChunkPhotons);
        for (int64_t i = begin; i < end; ++i) trace_photon(ctx, i, p.scratch, p.tally);
      },
      [&](int64_t chunk, Partial& p) {
        p.log.apply_and_clear(block, &touched);
        for (int b = 0; b < nb; ++b) {
          block_removed[b] += p.scratch.removed[b];
          block_roulette[b] += p.scratch.roulette[b];
        }
        stats.rays.closest += p.scratch.rays.closest;
        stats.rays.shadow += p.scratch.rays.shadow;
        stats.rays.containment += p.scratch.rays.containment;
        const int64_t end = std::min(last, (first_chunk + chunk + 1) * kChunkPhotons);
        if (end % kFoldPhotons == 0 || end == last) {
          if (range.whole()) {
            fold_block(block, touched, static_cast<size_t>(nb), &totals);
          } else {
            const size_t k_block = static_cast<size_t>((end - 1) / kFoldPhotons - first_block);
            for (size_t k = 0; k < block.size() && partials != nullptr; ++k) {
              std::copy(block[k].begin(), block[k].end(),
                        partials->slots[k].begin() + k_block * block[k].size());
            }
            fold_block(block, touched, static_cast<size_t>(nb), nullptr);
          }
          for (int b = 0; b < nb; ++b) {
            removed[b] += block_removed[b];
            roulette[b] += block_roulette[b];
            block_removed[b] = block_roulette[b] = 0.0;
          }
        }
        const int64_t done = end - first;
        if (progress && (done % kProgressPhotons == 0 || done == count)) {
          progress(done, count, elapsed_ms(start));
        }
      });
  stats.removed = to_float(removed);
  stats.roulette = to_float(roulette);
  return stats;
}

/// The float results of a forward run: one array per tally slot, plus what the run leaves.
template <size_t N>
struct PhotonTallies {
  std::array<std::vector<float>, N> slots;  ///< Totals per slot, converted to float.
  PhotonRunStats stats;                     ///< Removed and roulette energy, ray counts.
  RangePartials partials;                   ///< Block partials of a range run (else empty).

  /// Moves the run's bookkeeping into a workflow result with the same field names.
  template <typename Result>
  void move_stats_into(Result& r) {
    r.removed = std::move(stats.removed);
    r.roulette = std::move(stats.roulette);
    r.rays = stats.rays;
    r.partials = std::move(partials);
  }
};

/// run_photons with zeroed totals of the given slot sizes, converted to float at the end.
template <typename Tally, typename Setup, size_t N>
PhotonTallies<N> run_tallies(const PhotonContext& ctx, const Setup& setup,
                             const std::array<size_t, N>& sizes, int64_t num_photons, int n_threads,
                             const ProgressCallback& progress, const InterruptCheck& interrupt,
                             const PhotonRange& range) {
  std::vector<std::vector<double>> totals(N);
  for (size_t k = 0; k < N; ++k) totals[k].assign(sizes[k], 0.0);
  PhotonTallies<N> out;
  out.stats = run_photons<Tally>(ctx, setup, num_photons, n_threads, progress, interrupt, totals,
                                 range, &out.partials);
  for (size_t k = 0; k < N; ++k) out.slots[k] = to_float(totals[k]);
  return out;
}

}  // namespace tesk::embree::photon
