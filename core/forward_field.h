#pragma once

// The absorbed-radiation field of forward photons, written once for every backend: the layered
// grid cell of an event, where a surface hit's absorbed energy goes (grid, terrain, per
// primitive), the next-event estimate toward each view direction, the upward escape, and the
// per-thread body of the device run over a scene of surfaces (core/surface_photon.h traced over
// the two-level hierarchy, deposits added atomically on a device, plainly on the host).
//
// Deposits go to a sink with two calls:
//   deposit(slot, element, power, w, alpha or nullptr)  adds (alpha[b]) w[b] power where positive
//   values(slot, element, e)                            adds the n_bands values e[b] (>= 0)
// The CPU sink logs them in order (embree/photon_path.h), the device sink adds them at once.

#include <cstdint>

#include "core/bvh_tracer.h"
#include "core/flux_grid.h"
#include "core/frame.h"
#include "core/host_device.h"
#include "core/random_streams.h"
#include "core/scattering.h"
#include "core/surface_path.h"
#include "core/surface_photon.h"
#include "core/vec.h"

namespace tesk {

/// Tally slots of a forward field run, in the order of the CPU result.
enum ForwardSlot : int {
  kForwardGrid = 0,         ///< [n_layers][ny][nx][n_bands] absorbed, terrain excluded.
  kForwardTerrain = 1,      ///< [n_bands] absorbed by the terrain instance.
  kForwardBrf = 2,          ///< [n_views][n_bands] next-event estimates toward the viewer.
  kForwardAlbedo = 3,       ///< [n_bands] escaping upward (with view directions).
  kForwardEscaped = 4,      ///< [n_bands] leaving the scene.
  kForwardIncident = 5,     ///< [n_bands] emitted.
  kForwardGridDirect = 6,   ///< grid from sun photons.
  kForwardGridDiffuse = 7,  ///< grid from sky photons.
  kForwardMedium = 8,       ///< [n_media][n_bands] absorbed by leaves per medium (CPU only).
  kForwardLeaf = 9,         ///< [n_primitives][n_bands] absorbed per primitive.
  kForwardSlots = 10
};

/// Column or row of coordinate `x` in cells of size `d`: truncation toward zero, clamped to
/// [0, n - 1] (points outside the extent land in the border cells; NaN in cell 0).
TESK_HOST_DEVICE inline int forward_clamp_cell(float x, float d, int n) {
  if (!(d > 0.0f)) return 0;
  const float f = x / d;
  if (!(f >= 1.0f)) return 0;
  if (f >= static_cast<float>(n)) return n - 1;
  const int i = static_cast<int>(f);
  return i < n - 1 ? i : n - 1;
}

/// The layered grid and what a run tallies (pointers on the running side).
struct ForwardField {
  int nx = 0;                      ///< Cells along x.
  int ny = 0;                      ///< Cells along y.
  int n_layers = 0;                ///< Layers along z.
  float dx = 0.0f;                 ///< Cell size along x (Lx / nx).
  float dy = 0.0f;                 ///< Cell size along y (Ly / ny).
  const float* heights = nullptr;  ///< n_layers + 1 increasing layer boundaries.
  int terrain = -1;                ///< Instance whose absorption is terrain, or -1.
  bool split = false;              ///< Also split the grid into sun and sky photons.
  bool totals = false;             ///< Also tally the emitted and escaped energy.
  const float3* views = nullptr;   ///< Unit view directions (toward the viewer).
  int n_views = 0;                 ///< Entries of `views`.
  const int* offsets = nullptr;    ///< Instance primitive offsets plus the total (per leaf).
  int n_offsets = 0;               ///< Entries of `offsets`; 0: no per-primitive tally.

  /// Element of the grid holding point `p`: ((l ny + iy) nx + ix), with the layer l whose
  /// [h[l], h[l+1]) holds z (below h[0]: layer 0; at or above the top: the top layer).
  TESK_HOST_DEVICE int64_t cell(const float3& p) const {
    const int ix = forward_clamp_cell(p.x, dx, nx);
    const int iy = forward_clamp_cell(p.y, dy, ny);
    int l = 0;
    if (p.z >= heights[0]) {
      // The first boundary above z (upper bound), minus one.
      int lo = 0;
      int hi = n_layers + 1;
      while (lo < hi) {
        const int mid = lo + (hi - lo) / 2;
        if (p.z < heights[mid]) {
          hi = mid;
        } else {
          lo = mid + 1;
        }
      }
      l = lo - 1;
      if (l < 0) l = 0;
      if (l > n_layers - 1) l = n_layers - 1;
    }
    return (static_cast<int64_t>(l) * ny + iy) * nx + ix;
  }
};

/// Absorbed energy alpha w P of an event at `p` into its grid cell (and its sun or sky part).
template <typename Sink>
TESK_HOST_DEVICE void forward_absorb_in_grid(const ForwardField& f, const float3& p, bool direct,
                                             double power, const float* alpha, const double* w,
                                             Sink& sink) {
  const int64_t c = f.cell(p);
  sink.deposit(kForwardGrid, c, power, w, alpha);
  if (f.split) sink.deposit(direct ? kForwardGridDirect : kForwardGridDiffuse, c, power, w, alpha);
}

/// A photon leaving the scene along `d`: upward escapes feed "albedo" when views are tallied,
/// every escape feeds "escaped" when totals are.
template <typename Sink>
TESK_HOST_DEVICE void forward_escaped(const ForwardField& f, const float3& d, double power,
                                      const double* w, Sink& sink) {
  if (f.n_views > 0 && d.z > 0.0f) sink.deposit(kForwardAlbedo, 0, power, w, nullptr);
  if (f.totals) sink.deposit(kForwardEscaped, 0, power, w, nullptr);
}

/// A surface hit, before scattering: its absorbed energy (terrain, else grid and per primitive)
/// and, for every view direction v above the horizon, the next-event estimate
/// f(wo, v) w |cos_v| P T toward the viewer, T = visible(origin offset toward v, v) (0 or 1 for
/// surfaces, a transmittance through media). `response` (float) and `energy` (double) are
/// n_bands scratch values.
template <typename Visible, typename Sink>
TESK_HOST_DEVICE void forward_surface_event(const PathContext& c, const ForwardField& f,
                                            const HitRecord& hit, const MaterialRecord* mat,
                                            const ShadingFrame& frame, const float3& wo,
                                            bool direct, double power, const float* alpha,
                                            const double* w, float* response, double* energy,
                                            Visible&& visible, Sink& sink) {
  if (f.terrain >= 0 && hit.instance_id == f.terrain) {
    sink.deposit(kForwardTerrain, 0, power, w, alpha);
  } else {
    forward_absorb_in_grid(f, hit.position, direct, power, alpha, w, sink);
    if (f.n_offsets > 0 && hit.instance_id >= 0 && hit.instance_id + 1 < f.n_offsets) {
      const int64_t p = static_cast<int64_t>(f.offsets[hit.instance_id]) + hit.primitive_id;
      if (p >= 0 && p < f.offsets[f.n_offsets - 1]) sink.deposit(kForwardLeaf, p, power, w, alpha);
    }
  }
  if (mat == nullptr) return;
  const int nb = c.n_bands;
  for (int k = 0; k < f.n_views; ++k) {
    const float3 v = f.views[k];
    if (!(v.z > 0.0f)) continue;
    const float3 vl = frame.to_local(v);
    const float cos_v = std::fabs(vl.z);
    if (!(cos_v >= 1e-6f)) continue;
    // The response first: directions the material cannot scatter into need no visibility.
    bool any = false;
    for (int b = 0; b < nb; ++b) {
      response[b] = eval_scattering(mat->type, mat->spectral_offset, b, wo, vl, c.spectral, nb,
                                    hit.is_back_face, false);
      any = any || response[b] * w[b] > 0.0;
    }
    if (!any) continue;
    const float3 origin = offset_ray_origin(hit.position, hit.geometric_normal, v);
    const double t = visible(origin, v);
    if (!(t > 0.0)) continue;
    for (int b = 0; b < nb; ++b) {
      const double e = response[b] * w[b] * cos_v * power * t;
      energy[b] = e > 0.0 ? e : 0.0;
    }
    sink.values(kForwardBrf, k, energy);
  }
}

/// Launch parameters of a device forward field run over a scene of surfaces (pointers on the
/// running side). Thread t traces photons photon_begin + t, + n_threads, ... below photon_end.
struct ForwardLaunchParams {
  PathContext ctx{};                   ///< The resolved scene.
  PhotonSource source{};               ///< Emission geometry and photon power.
  bvh::BvhSceneView scene{};           ///< The hierarchy the photons trace.
  ForwardField field{};                ///< The grid and what is tallied.
  int64_t photon_begin = 0;            ///< First photon of the launch.
  int64_t photon_end = 0;              ///< One past its last photon.
  int64_t n_threads = 0;               ///< Threads of the launch.
  double* slots[kForwardSlots] = {};   ///< Tallies per ForwardSlot (null: not tallied).
  double* removed = nullptr;           ///< [n_bands] energy ended by depth and cut-offs.
  double* roulette = nullptr;          ///< [n_bands] roulette victims minus survivors' gain.
  unsigned long long* rays = nullptr;  ///< [2] closest-hit and shadow queries issued.
};
static_assert(std::is_trivially_copyable_v<ForwardLaunchParams>);

/// Per-thread state of the device forward run.
struct ForwardThreadScratch {
  double w[kMaxDeviceFluxBands];
  float alpha[kMaxDeviceFluxBands];
  float response[kMaxDeviceFluxBands];
  double energy[kMaxDeviceFluxBands];
  double removed[kMaxDeviceFluxBands];
  double roulette[kMaxDeviceFluxBands];
  struct {
    int64_t closest = 0;
    int64_t shadow = 0;
  } rays;
};

/// The device sink: every deposit added at once (atomically on a device).
struct ForwardDeviceSink {
  double* const* slots = nullptr;
  int n_bands = 0;

  TESK_HOST_DEVICE void deposit(int slot, int64_t element, double power, const double* w,
                                const float* alpha) const {
    double* dst = slots[slot] + element * n_bands;
    for (int b = 0; b < n_bands; ++b) {
      const double v = (alpha != nullptr ? alpha[b] : 1.0f) * w[b] * power;
      if (v > 0.0) accumulate(dst + b, v);
    }
  }
  TESK_HOST_DEVICE void values(int slot, int64_t element, const double* e) const {
    double* dst = slots[slot] + element * n_bands;
    for (int b = 0; b < n_bands; ++b) {
      if (e[b] > 0.0) accumulate(dst + b, e[b]);
    }
  }
};

/// The forward tally of one device thread (the Tally of trace_surface_photon).
struct ForwardDeviceTally {
  const ForwardLaunchParams* p = nullptr;
  bvh::BvhTracer tracer{};
  ForwardDeviceSink sink{};

  template <typename P>
  TESK_HOST_DEVICE void escaped(const P& ph, const double* w) const {
    forward_escaped(p->field, ph.d, ph.power, w, sink);
  }
  template <typename P>
  TESK_HOST_DEVICE void surface(const P& ph, const HitRecord& hit, const MaterialRecord* mat,
                                const ShadingFrame& frame, const float3& wo, const float* alpha,
                                const double* w, ForwardThreadScratch& s) {
    auto visible = [&](const float3& origin, const float3& v) -> double {
      ++s.rays.shadow;
      return occluded_periodic(tracer, p->ctx.tiles, origin, v) ? 0.0 : 1.0;
    };
    forward_surface_event(p->ctx, p->field, hit, mat, frame, wo, ph.direct, ph.power, alpha, w,
                          s.response, s.energy, visible, sink);
  }
};

/// Thread t of a device forward launch: its photons, then its removed and roulette sums and
/// query counts.
TESK_HOST_DEVICE inline void forward_thread_item(const ForwardLaunchParams& p, int64_t t) {
  const int nb = p.ctx.n_bands;
  ForwardThreadScratch s;
  for (int b = 0; b < nb; ++b) s.removed[b] = s.roulette[b] = 0.0;
  ForwardDeviceTally tally{&p, bvh::BvhTracer{p.scene}, ForwardDeviceSink{p.slots, nb}};
  for (int64_t i = p.photon_begin + t; i < p.photon_end; i += p.n_threads) {
    Pcg32 rng = photon_stream(i);
    PhotonState ph;
    if (!emit_photon(p.ctx, p.source, rng, ph, s.w)) continue;
    if (p.field.totals) tally.sink.deposit(kForwardIncident, 0, ph.power, s.w, nullptr);
    nudge_into_tile(p.ctx.tiles, ph.o, ph.d);
    trace_surface_photon(p.ctx, tally.tracer, rng, ph, s.w, s.alpha, s, tally);
  }
  for (int b = 0; b < nb; ++b) {
    if (s.removed[b] != 0.0) accumulate(p.removed + b, s.removed[b]);
    if (s.roulette[b] != 0.0) accumulate(p.roulette + b, s.roulette[b]);
  }
#if defined(__CUDA_ARCH__)
  atomicAdd(p.rays, static_cast<unsigned long long>(s.rays.closest));
  atomicAdd(p.rays + 1, static_cast<unsigned long long>(s.rays.shadow));
#else
  p.rays[0] += static_cast<unsigned long long>(s.rays.closest);
  p.rays[1] += static_cast<unsigned long long>(s.rays.shadow);
#endif
}

}  // namespace tesk
