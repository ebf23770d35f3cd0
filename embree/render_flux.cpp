#include "embree/render_flux.h"

#include <array>
#include <cstdio>
#include <stdexcept>

#include "core/flux_grid.h"
#include "core/grid.h"
#include "core/host/transport_settings.h"
#include "embree/photon_path.h"

namespace tesk::embree {
namespace {

using photon::DepositLog;
using photon::Photon;
using photon::PhotonContext;
using photon::PhotonScratch;

// Tally arrays of one worker, in the order of FluxResult.
enum Slot : int {
  kDown = kFluxDown,
  kUp = kFluxUp,
  kDownDirect = kFluxDownDirect,
  kDownDiffuse = kFluxDownDiffuse,
  kGrid,
  kGridDirect,
  kGridDiffuse,
  kLeaf,
  kTerrain,
  kEscaped,
  kIncident,
  kMedium,
  kSlots
};

struct FluxSetup {
  FluxGrid grid;
  int nb = 0;
  bool media = false;
  int n_primitives = 0;
  const std::vector<int>* offsets = nullptr;
  std::array<size_t, kSlots> sizes{};
};

// The deposits of one chunk's photons and the grid bookkeeping of the current photon.
class FluxTally {
 public:
  FluxTally(const FluxSetup& f, DepositLog& log) : m_f(&f), m_log(&log) {}
  void rebind(DepositLog& log) { m_log = &log; }

  void emitted(const Photon& ph, const double* w) {
    m_rule.emitted();
    if (m_f->media) add(kIncident, 0, ph, w);
  }

  void escaped(const Photon& ph, const double* w) {
    m_rule.escaped(ph.scatterings, [&](int slot, int c) { add(slot, c, ph, w); });
    if (m_f->media) add(kEscaped, 0, ph, w);
  }

  void surface(const Photon& ph, const HitRecord& hit, const MaterialRecord*, const ShadingFrame&,
               const float3&, const float* alpha, const double* w, PhotonScratch&) {
    const int c = m_rule.surface(m_f->grid, hit.position, ph.direct,
                                 [&](int slot, int cell) { add(slot, cell, ph, w); });
    if (!m_f->media) return;
    if (hit.instance_id == 0) {
      absorb(kTerrain, 0, ph, alpha, w);
      return;
    }
    if (c >= 0) {
      absorb(kGrid, c, ph, alpha, w);
      absorb(ph.direct ? kGridDirect : kGridDiffuse, c, ph, alpha, w);
    }
    const std::vector<int>& off = *m_f->offsets;
    if (hit.instance_id >= 0 && hit.instance_id + 1 < static_cast<int>(off.size())) {
      const int64_t p = static_cast<int64_t>(off[hit.instance_id]) + hit.primitive_id;
      if (p >= 0 && p < m_f->n_primitives) absorb(kLeaf, static_cast<size_t>(p), ph, alpha, w);
    }
  }

  void leaf(const Photon& ph, const float3& position, int32_t medium, const LeafHit&,
            const float* alpha, const double* w, PhotonScratch&) {
    const int c = m_f->grid.cell(position);
    if (c >= 0) {
      absorb(kGrid, c, ph, alpha, w);
      absorb(ph.direct ? kGridDirect : kGridDiffuse, c, ph, alpha, w);
    }
    absorb(kMedium, static_cast<size_t>(medium), ph, alpha, w);
  }

 private:
  // Adds w[b] P (absorb: times alpha[b]) to element `index` of slot k (n_bands doubles each).
  void add(int k, size_t index, const Photon& ph, const double* w) {
    m_log->deposit(k, index, ph.power, w);
  }
  void absorb(int k, size_t index, const Photon& ph, const float* alpha, const double* w) {
    m_log->deposit(k, index, ph.power, w, alpha);
  }

  const FluxSetup* m_f;
  DepositLog* m_log;
  FluxCellRule m_rule;
};

}  // namespace

FluxResult render_flux(const EmbreeSceneManager& scene, int nx, int ny, int64_t num_photons,
                       int num_bands, float prob_sun, int max_bounces, int max_depth, int rr_depth,
                       int n_threads, const ProgressCallback& progress, bool decompose,
                       const InterruptCheck& interrupt, const photon::PhotonRange& range) {
  constexpr int kIntMax = 2147483647;
  if (nx <= 0 || ny <= 0 || num_bands < 1) {
    throw std::invalid_argument("flux grid dimensions and band count must be positive");
  }
  if (nx > kIntMax / ny || nx * ny > kIntMax / num_bands) {
    throw std::overflow_error("flux grid element count exceeds signed device index range");
  }
  if (num_photons < 1) throw std::invalid_argument("Embree flux photon count must be positive");
  if (!(prob_sun >= 0.0f && prob_sun <= 1.0f)) {
    throw std::invalid_argument("prob_sun must be in [0, 1]");
  }
  max_depth = announced_max_depth(max_depth, "[CPU flux]");
  float lx = 0.0f;
  float ly = 0.0f;
  photon::grid_extent(scene, lx, ly);
  constexpr float kMinNormal = 1.1754944e-38f;
  if (!(std::isfinite(lx) && std::isfinite(ly) && lx >= kMinNormal && ly >= kMinNormal)) {
    throw std::invalid_argument("flux scene extent must be at least the minimum normalized float");
  }
  if (!scene.is_built()) throw std::runtime_error("Embree: build the scene before tracing rays");
  photon::check_photon_range(range, num_photons);

  PhotonContext ctx = photon::make_photon_context(scene, num_bands, prob_sun, max_depth, rr_depth);
  ctx.extent_x = lx;
  ctx.extent_y = ly;
  ctx.power = static_cast<double>(lx) * static_cast<double>(ly) / static_cast<double>(num_photons);
  const int T = photon::photon_thread_count(n_threads, num_photons);

  FluxSetup f;
  f.grid = FluxGrid{nx, ny, lx, ly, max_bounces, decompose};
  f.nb = num_bands;
  f.media = ctx.has_media();
  const std::vector<int> offsets = scene.instance_primitive_offsets();
  f.offsets = &offsets;
  f.n_primitives = offsets.empty() ? 0 : offsets.back();
  const size_t cells = static_cast<size_t>(nx) * ny * num_bands;
  const size_t nb = num_bands;
  f.sizes[kDown] = f.sizes[kUp] = cells;
  if (decompose) f.sizes[kDownDirect] = f.sizes[kDownDiffuse] = cells;
  if (ctx.has_media()) {
    f.sizes[kGrid] = f.sizes[kGridDirect] = f.sizes[kGridDiffuse] = cells;
    f.sizes[kLeaf] = static_cast<size_t>(f.n_primitives) * nb;
    f.sizes[kTerrain] = f.sizes[kEscaped] = f.sizes[kIncident] = nb;
    f.sizes[kMedium] = ctx.leaf_models.size() * nb;
  }
  photon::check_tally_memory(f.sizes, range, "forward flux tallies");

  if (range.whole())
    std::printf(
        "Forward flux (CPU): %lld photons, grid %dx%d, %d bands, max_bounces_record=%d, %d "
        "threads\n",
        static_cast<long long>(num_photons), nx, ny, num_bands, max_bounces, T);
  std::fflush(stdout);

  auto run =
      photon::run_tallies<FluxTally>(ctx, f, f.sizes, num_photons, T, progress, interrupt, range);

  FluxResult r;
  auto merge = [&](int k) { return std::move(run.slots[k]); };

  r.downwelling = merge(kDown);
  r.upwelling = merge(kUp);
  r.downwelling_direct = merge(kDownDirect);
  r.downwelling_diffuse = merge(kDownDiffuse);
  r.grid = merge(kGrid);
  r.grid_direct = merge(kGridDirect);
  r.grid_diffuse = merge(kGridDiffuse);
  r.leaf = merge(kLeaf);
  r.terrain = merge(kTerrain);
  r.escaped = merge(kEscaped);
  r.incident = merge(kIncident);
  r.medium = merge(kMedium);
  run.move_stats_into(r);
  r.nx = nx;
  r.ny = ny;
  r.n_bands = num_bands;
  r.threads = T;
  r.execution = cpu_execution(WorkflowCode::OpticalFlux, "embree.cpu.optical_flux");
  return r;
}

}  // namespace tesk::embree
