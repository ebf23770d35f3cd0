#include "embree/render_forward.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <stdexcept>

#include "core/host/transport_settings.h"
#include "embree/illumination.h"
#include "embree/photon_path.h"

namespace tesk::embree {
namespace {

using photon::DepositLog;
using photon::Photon;
using photon::PhotonContext;
using photon::PhotonScratch;

// Per-worker tally arrays, in the order of ForwardFieldResult.
enum Slot : int {
  kGrid,
  kTerrain,
  kBrf,
  kAlbedo,
  kEscaped,
  kIncident,
  kGridDirect,
  kGridDiffuse,
  kMedium,
  kLeaf,
  kSlots
};

struct ForwardSetup {
  const PhotonContext* ctx = nullptr;
  int nx = 0;
  int ny = 0;
  int nl = 0;
  int nb = 0;
  float dx = 0.0f;
  float dy = 0.0f;
  const float* heights = nullptr;  // nl + 1 boundaries
  int terrain = -1;
  bool media = false;
  std::vector<float3> views;  // unit view directions
  bool per_leaf = false;      // per-primitive absorption is tallied
  std::vector<int> offsets;   // instance primitive offsets plus the total
  std::array<size_t, kSlots> sizes{};
};

// Column or row of coordinate `x` in cells of size `d`: truncation toward zero, clamped.
int clamp_cell(float x, float d, int n) {
  if (!(d > 0.0f)) return 0;
  const float f = x / d;
  if (!(f >= 1.0f)) return 0;  // also NaN
  if (f >= static_cast<float>(n)) return n - 1;
  return std::min(static_cast<int>(f), n - 1);
}

// The deposits of one chunk's photons.
class ForwardTally {
 public:
  ForwardTally(const ForwardSetup& f, DepositLog& log) : m_f(&f), m_log(&log), m_response(f.nb) {}
  void rebind(DepositLog& log) { m_log = &log; }

  void emitted(const Photon& ph, const double* w) {
    if (m_f->media) add(kIncident, 0, ph, w);
  }

  void escaped(const Photon& ph, const double* w) {
    if (!m_f->views.empty() && ph.d.z > 0.0f) add(kAlbedo, 0, ph, w);
    if (m_f->media) add(kEscaped, 0, ph, w);
  }

  void surface(const Photon& ph, const HitRecord& hit, const MaterialRecord* mat,
               const ShadingFrame& frame, const float3& wo, const float* alpha, const double* w,
               PhotonScratch& s) {
    if (m_f->terrain >= 0 && hit.instance_id == m_f->terrain) {
      absorb(kTerrain, 0, ph, alpha, w);
    } else {
      absorb_in_grid(hit.position, ph, alpha, w);
      if (m_f->per_leaf) absorb_per_primitive(hit, ph, alpha, w);
    }
    if (mat == nullptr) return;
    const PhotonContext& c = *m_f->ctx;
    const int nb = m_f->nb;
    for (size_t k = 0; k < m_f->views.size(); ++k) {
      const float3 v = m_f->views[k];
      if (!(v.z > 0.0f)) continue;
      const float3 vl = frame.to_local(v);
      const float cos_v = std::fabs(vl.z);
      if (!(cos_v >= 1e-6f)) continue;
      // The response first: directions the material cannot scatter into need no visibility.
      bool any = false;
      for (int b = 0; b < nb; ++b) {
        m_response[b] = eval_scattering(mat->type, mat->spectral_offset, b, wo, vl, c.spectral, nb,
                                        hit.is_back_face, false);
        any = any || m_response[b] * w[b] > 0.0;
      }
      if (!any) continue;
      const float3 origin = offset_ray_origin(hit.position, hit.geometric_normal, v);
      double visible = 1.0;
      if (m_f->media) {
        visible = media_transmittance(c, origin, v, ph.media.set, ph.crossings, s.rays.shadow);
      } else {
        ++s.rays.shadow;
        visible = occluded_periodic(*c.scene, origin, v) ? 0.0 : 1.0;
      }
      if (!(visible > 0.0)) continue;
      double* dst = m_log->entry(kBrf, k);
      for (int b = 0; b < nb; ++b) {
        const double e = m_response[b] * w[b] * cos_v * ph.power * visible;
        dst[b] = e > 0.0 ? e : 0.0;
      }
    }
  }

  void leaf(const Photon& ph, const float3& position, int32_t medium, const LeafHit& leaf,
            const float* alpha, const double* w, PhotonScratch& s) {
    absorb_in_grid(position, ph, alpha, w);
    absorb(kMedium, static_cast<size_t>(medium), ph, alpha, w);
    const PhotonContext& c = *m_f->ctx;
    const LeafOptics& optics = c.leaf_models[medium].optics;
    const int nb = m_f->nb;
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
      double* dst = m_log->entry(kBrf, k);
      for (int b = 0; b < nb; ++b) {
        const double e = m_response[b] * w[b] * cos_v * ph.power * visible;
        dst[b] = e > 0.0 ? e : 0.0;
      }
    }
  }

 private:
  size_t cell_index(const float3& p) const {
    const int ix = clamp_cell(p.x, m_f->dx, m_f->nx);
    const int iy = clamp_cell(p.y, m_f->dy, m_f->ny);
    const float* h = m_f->heights;
    int l = 0;
    if (p.z >= h[0]) {
      l = static_cast<int>(std::upper_bound(h, h + m_f->nl + 1, p.z) - h) - 1;
      l = std::min(std::max(l, 0), m_f->nl - 1);
    }
    return (static_cast<size_t>(l) * m_f->ny + iy) * m_f->nx + ix;
  }
  void absorb_in_grid(const float3& p, const Photon& ph, const float* alpha, const double* w) {
    const size_t c = cell_index(p);
    absorb(kGrid, c, ph, alpha, w);
    if (m_f->media) absorb(ph.direct ? kGridDirect : kGridDiffuse, c, ph, alpha, w);
  }
  void absorb_per_primitive(const HitRecord& hit, const Photon& ph, const float* alpha,
                            const double* w) {
    const std::vector<int>& off = m_f->offsets;
    if (hit.instance_id < 0 || hit.instance_id + 1 >= static_cast<int>(off.size())) return;
    const int64_t p = static_cast<int64_t>(off[hit.instance_id]) + hit.primitive_id;
    if (p < 0 || p >= off.back()) return;
    absorb(kLeaf, static_cast<size_t>(p), ph, alpha, w);
  }
  void add(int k, size_t index, const Photon& ph, const double* w) {
    m_log->deposit(k, index, ph.power, w);
  }
  void absorb(int k, size_t index, const Photon& ph, const float* alpha, const double* w) {
    m_log->deposit(k, index, ph.power, w, alpha);
  }

  const ForwardSetup* m_f;
  DepositLog* m_log;
  std::vector<float> m_response;  // responses toward one view
};

}  // namespace

ForwardFieldResult render_forward(const EmbreeSceneManager& scene, int nx, int ny,
                                  const std::vector<float>& layer_heights, int64_t num_photons,
                                  int num_bands, bool per_leaf, float prob_sun,
                                  const std::vector<float>& brf_directions, int num_brf_dirs,
                                  int max_depth, int rr_depth, int n_threads,
                                  const ProgressCallback& progress, int terrain_instance_id,
                                  const InterruptCheck& interrupt,
                                  const photon::PhotonRange& range) {
  constexpr int kIntMax = 2147483647;
  max_depth = announced_max_depth(max_depth, "[CPU fwd]");
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
  f.nx = nx;
  f.ny = ny;
  f.nl = nl;
  f.nb = num_bands;
  f.dx = lx / static_cast<float>(nx);
  f.dy = ly / static_cast<float>(ny);
  f.heights = layer_heights.data();
  f.terrain = terrain_instance_id;
  f.media = ctx.has_media();
  for (int k = 0; k < num_brf_dirs; ++k) {
    const float* v = &brf_directions[3 * static_cast<size_t>(k)];
    f.views.push_back(normalize(float3{v[0], v[1], v[2]}));
  }
  const size_t nb = num_bands;
  const size_t cells = static_cast<size_t>(nx) * ny * nl * nb;
  f.sizes[kGrid] = cells;
  if (terrain_instance_id >= 0) f.sizes[kTerrain] = nb;
  f.sizes[kBrf] = f.views.size() * nb;
  if (!f.views.empty()) f.sizes[kAlbedo] = nb;
  if (ctx.has_media()) {
    f.sizes[kEscaped] = f.sizes[kIncident] = nb;
    f.sizes[kGridDirect] = f.sizes[kGridDiffuse] = cells;
    f.sizes[kMedium] = ctx.leaf_models.size() * nb;
  }
  f.per_leaf = per_leaf;
  f.offsets = scene.instance_primitive_offsets();
  const int64_t n_primitives = f.offsets.empty() ? 0 : f.offsets.back();
  if (per_leaf) f.sizes[kLeaf] = static_cast<size_t>(n_primitives) * nb;
  photon::check_tally_memory(f.sizes, range, "forward field tallies");

  if (range.whole())
    std::printf("Forward fPAR (CPU): %lld photons, grid %dx%dx%d, %d bands, %d threads\n",
                static_cast<long long>(num_photons), nx, ny, nl, num_bands, T);
  std::fflush(stdout);

  auto run = photon::run_tallies<ForwardTally>(ctx, f, f.sizes, num_photons, T, progress, interrupt,
                                               range);

  ForwardFieldResult r;
  auto merge = [&](int k) { return std::move(run.slots[k]); };

  r.grid = merge(kGrid);
  r.terrain = merge(kTerrain);
  r.brf = merge(kBrf);
  r.albedo = merge(kAlbedo);
  r.escaped = merge(kEscaped);
  r.incident = merge(kIncident);
  r.grid_direct = merge(kGridDirect);
  r.grid_diffuse = merge(kGridDiffuse);
  r.medium = merge(kMedium);
  r.leaf = merge(kLeaf);
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
