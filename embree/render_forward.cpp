#include "embree/render_forward.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <stdexcept>

#include "core/forward_field.h"
#include "core/host/transport_settings.h"
#include "embree/illumination.h"
#include "embree/photon_path.h"

namespace tesk::embree {
namespace {

using photon::DepositLog;
using photon::Photon;
using photon::PhotonContext;
using photon::PhotonScratch;

struct ForwardSetup {
  const PhotonContext* ctx = nullptr;
  ForwardField field{};  // grid, views and per-primitive offsets (pointers into the members)
  bool media = false;
  std::vector<float3> views;  // unit view directions
  std::vector<int> offsets;   // instance primitive offsets plus the total
  std::array<size_t, kForwardSlots> sizes{};
};

// The deposits of a photon event into the chunk's log, in the order they are made.
struct LogSink {
  DepositLog* log;
  void deposit(int slot, int64_t index, double power, const double* w, const float* alpha) const {
    log->deposit(slot, static_cast<size_t>(index), power, w, alpha);
  }
  void values(int slot, int64_t index, const double* e) const {
    double* dst = log->entry(slot, static_cast<size_t>(index));
    std::copy(e, e + log->n_bands(), dst);
  }
};

// The deposits of one chunk's photons.
class ForwardTally {
 public:
  ForwardTally(const ForwardSetup& f, DepositLog& log)
      : m_f(&f),
        m_log(&log),
        m_response(f.field.n_views > 0 ? f.ctx->n_bands : 0),
        m_energy(m_response.size()) {}
  void rebind(DepositLog& log) { m_log = &log; }

  void emitted(const Photon& ph, const double* w) {
    if (m_f->field.totals) sink().deposit(kForwardIncident, 0, ph.power, w, nullptr);
  }

  void escaped(const Photon& ph, const double* w) {
    const LogSink out = sink();
    forward_escaped(m_f->field, ph.d, ph.power, w, out);
  }

  void surface(const Photon& ph, const HitRecord& hit, const MaterialRecord* mat,
               const ShadingFrame& frame, const float3& wo, const float* alpha, const double* w,
               PhotonScratch& s) {
    const PhotonContext& c = *m_f->ctx;
    auto visible = [&](const float3& origin, const float3& v) -> double {
      if (m_f->media) {
        return media_transmittance(c, origin, v, ph.media.set, ph.crossings, s.rays.shadow);
      }
      ++s.rays.shadow;
      return occluded_periodic(*c.scene, origin, v) ? 0.0 : 1.0;
    };
    const LogSink out = sink();
    forward_surface_event(c, m_f->field, hit, mat, frame, wo, ph.direct, ph.power, alpha, w,
                          m_response.data(), m_energy.data(), visible, out);
  }

  void leaf(const Photon& ph, const float3& position, int32_t medium, const LeafHit& leaf,
            const float* alpha, const double* w, PhotonScratch& s) {
    const LogSink out = sink();
    forward_absorb_in_grid(m_f->field, position, ph.direct, ph.power, alpha, w, out);
    out.deposit(kForwardMedium, medium, ph.power, w, alpha);
    const PhotonContext& c = *m_f->ctx;
    const LeafOptics& optics = c.leaf_models[medium].optics;
    const int nb = c.n_bands;
    for (size_t k = 0; k < m_f->views.size(); ++k) {
      const float3 v = m_f->views[k];
      if (!(v.z > 0.0f)) continue;
      const float cos_v = std::fabs(dot(leaf.facing, v));
      bool any = false;
      for (int b = 0; b < nb; ++b) {
        m_response[b] = leaf_response(optics, b, leaf, v);
        any = any || m_response[b] * w[b] * cos_v > 0.0;
      }
      if (!any) continue;
      const double visible =
          media_transmittance(c, position, v, ph.media.set, ph.crossings, s.rays.shadow);
      if (!(visible > 0.0)) continue;
      for (int b = 0; b < nb; ++b) {
        const double e = m_response[b] * w[b] * cos_v * ph.power * visible;
        m_energy[b] = e > 0.0 ? e : 0.0;
      }
      out.values(kForwardBrf, static_cast<int64_t>(k), m_energy.data());
    }
  }

 private:
  LogSink sink() const { return LogSink{m_log}; }

  const ForwardSetup* m_f;
  DepositLog* m_log;
  std::vector<float> m_response;  // responses toward one view
  std::vector<double> m_energy;   // next-event estimates toward one view
};

}  // namespace

int check_forward_arguments(int nx, int ny, const std::vector<float>& layer_heights,
                            int64_t num_photons, int num_bands, float prob_sun,
                            const std::vector<float>& brf_directions, int num_brf_dirs) {
  constexpr int kIntMax = 2147483647;
  if (layer_heights.size() < 2)
    throw std::runtime_error("layer_heights must have at least 2 entries");
  for (size_t i = 0; i < layer_heights.size(); ++i) {
    if (!std::isfinite(layer_heights[i]) || (i > 0 && !(layer_heights[i] > layer_heights[i - 1]))) {
      throw std::invalid_argument("layer_heights must be finite and strictly increasing");
    }
  }
  if (layer_heights.size() - 1 > static_cast<size_t>(kIntMax)) {
    throw std::overflow_error("forward grid element count exceeds signed device index range");
  }
  const int nl = static_cast<int>(layer_heights.size() - 1);
  if (nx <= 0 || ny <= 0 || num_bands < 1) {
    throw std::invalid_argument("forward grid dimensions and band count must be positive");
  }
  if (nx > kIntMax / ny || nx * ny > kIntMax / nl || nx * ny * nl > kIntMax / num_bands) {
    throw std::overflow_error("forward grid element count exceeds signed device index range");
  }
  if (num_photons < 1) throw std::invalid_argument("forward photon count must be positive");
  if (!(prob_sun >= 0.0f && prob_sun <= 1.0f)) {
    throw std::invalid_argument("prob_sun must be in [0, 1]");
  }
  if (num_brf_dirs < 0 || brf_directions.size() != 3 * static_cast<size_t>(num_brf_dirs)) {
    throw std::invalid_argument("num_brf_dirs must be non-negative and match brf_directions");
  }
  return nl;
}

std::vector<float3> forward_views(const std::vector<float>& brf_directions, int num_brf_dirs) {
  std::vector<float3> views;
  for (int k = 0; k < num_brf_dirs; ++k) {
    const float* v = &brf_directions[3 * static_cast<size_t>(k)];
    views.push_back(normalize(float3{v[0], v[1], v[2]}));
  }
  return views;
}

std::array<size_t, kForwardSlots> forward_slot_sizes(const ForwardField& field, int n_bands,
                                                     int64_t n_primitives) {
  std::array<size_t, kForwardSlots> sizes{};
  const auto nb = static_cast<size_t>(n_bands);
  const size_t cells = static_cast<size_t>(field.nx) * field.ny * field.n_layers * nb;
  sizes[kForwardGrid] = cells;
  if (field.terrain >= 0) sizes[kForwardTerrain] = nb;
  sizes[kForwardBrf] = static_cast<size_t>(field.n_views) * nb;
  if (field.n_views > 0) sizes[kForwardAlbedo] = nb;
  if (field.totals) sizes[kForwardEscaped] = sizes[kForwardIncident] = nb;
  if (field.split) sizes[kForwardGridDirect] = sizes[kForwardGridDiffuse] = cells;
  if (field.n_offsets > 0) sizes[kForwardLeaf] = static_cast<size_t>(n_primitives) * nb;
  return sizes;
}

ForwardFieldResult render_forward(const EmbreeSceneManager& scene, int nx, int ny,
                                  const std::vector<float>& layer_heights, int64_t num_photons,
                                  int num_bands, bool per_leaf, float prob_sun,
                                  const std::vector<float>& brf_directions, int num_brf_dirs,
                                  int max_depth, int rr_depth, int n_threads,
                                  const ProgressCallback& progress, int terrain_instance_id,
                                  const InterruptCheck& interrupt,
                                  const photon::PhotonRange& range) {
  max_depth = announced_max_depth(max_depth, "[CPU fwd]");
  const int nl = check_forward_arguments(nx, ny, layer_heights, num_photons, num_bands, prob_sun,
                                         brf_directions, num_brf_dirs);
  if (!scene.is_built()) throw std::runtime_error("Embree: build the scene before tracing rays");
  photon::check_photon_range(range, num_photons);

  float lx = 0.0f;
  float ly = 0.0f;
  photon::grid_extent(scene, lx, ly);
  PhotonContext ctx = photon::make_photon_context(scene, num_bands, prob_sun, max_depth, rr_depth);
  ctx.extent_x = lx;
  ctx.extent_y = ly;
  ctx.power = static_cast<double>(lx) * static_cast<double>(ly) / static_cast<double>(num_photons);
  const int T = photon::photon_thread_count(n_threads, num_photons);

  ForwardSetup f;
  f.ctx = &ctx;
  f.media = ctx.has_media();
  f.views = forward_views(brf_directions, num_brf_dirs);
  f.offsets = scene.instance_primitive_offsets();
  const int64_t n_primitives = f.offsets.empty() ? 0 : f.offsets.back();
  ForwardField& field = f.field;
  field.nx = nx;
  field.ny = ny;
  field.n_layers = nl;
  field.dx = lx / static_cast<float>(nx);
  field.dy = ly / static_cast<float>(ny);
  field.heights = layer_heights.data();
  field.terrain = terrain_instance_id;
  field.split = field.totals = f.media;
  field.views = f.views.data();
  field.n_views = static_cast<int>(f.views.size());
  field.offsets = f.offsets.data();
  field.n_offsets = per_leaf ? static_cast<int>(f.offsets.size()) : 0;
  f.sizes = forward_slot_sizes(field, num_bands, n_primitives);
  if (f.media) f.sizes[kForwardMedium] = ctx.leaf_models.size() * static_cast<size_t>(num_bands);
  photon::check_tally_memory(f.sizes, range, "forward field tallies");

  if (range.whole())
    std::printf("Forward fPAR (CPU): %lld photons, grid %dx%dx%d, %d bands, %d threads\n",
                static_cast<long long>(num_photons), nx, ny, nl, num_bands, T);
  std::fflush(stdout);

  auto run = photon::run_tallies<ForwardTally>(ctx, f, f.sizes, num_photons, T, progress, interrupt,
                                               range);

  ForwardFieldResult r;
  r.grid = std::move(run.slots[kForwardGrid]);
  r.terrain = std::move(run.slots[kForwardTerrain]);
  r.brf = std::move(run.slots[kForwardBrf]);
  r.albedo = std::move(run.slots[kForwardAlbedo]);
  r.escaped = std::move(run.slots[kForwardEscaped]);
  r.incident = std::move(run.slots[kForwardIncident]);
  r.grid_direct = std::move(run.slots[kForwardGridDirect]);
  r.grid_diffuse = std::move(run.slots[kForwardGridDiffuse]);
  r.medium = std::move(run.slots[kForwardMedium]);
  r.leaf = std::move(run.slots[kForwardLeaf]);
  run.move_stats_into(r);
  r.nx = nx;
  r.ny = ny;
  r.n_layers = nl;
  r.n_bands = num_bands;
  r.n_directions = num_brf_dirs;
  r.threads = T;
  r.execution = f.views.empty()
                    ? cpu_execution(WorkflowCode::OpticalForward, "embree.cpu.optical_forward")
                    : cpu_execution(WorkflowCode::OpticalBrf, "embree.cpu.optical_brf");
  return r;
}

}  // namespace tesk::embree
