#pragma once

// The downwelling/upwelling rule of the forward flux grid, shared by the CPU tally and the
// device kernel, and the per-thread body of the device flux run: photons of a scene of surfaces
// (core/surface_photon.h) or of a scene with leaf media (core/media_photon.h) traced over the
// two-level hierarchy, their deposits added to the grid with atomic additions on a device (plain
// additions on the host, which runs the same body in the tests).

#include <cstdint>

#include "core/bvh_tracer.h"
#include "core/grid.h"
#include "core/host_device.h"
#include "core/media_photon.h"
#include "core/random_streams.h"
#include "core/surface_photon.h"

namespace tesk {

/// Most bands a device flux run carries.
inline constexpr int kMaxDeviceFluxBands = 32;

/// Flux slots, in the order of the CPU result.
enum FluxSlot : int { kFluxDown = 0, kFluxUp = 1, kFluxDownDirect = 2, kFluxDownDiffuse = 3 };

/// Absorption slots of a flux run in a scene with media, in the order of the CPU result:
/// absorbed per cell (all, sun, sky), per primitive, by the terrain (instance 0), and the
/// escaped and incident energy, and the absorption per medium.
enum FluxMediaSlot : int {
  kFluxGrid = 0,
  kFluxGridDirect = 1,
  kFluxGridDiffuse = 2,
  kFluxLeaf = 3,
  kFluxTerrain = 4,
  kFluxEscaped = 5,
  kFluxIncident = 6,
  kFluxMedium = 7,
  kFluxMediaSlots = 8
};

/// The horizontal grid of a flux run over [0, lx] x [0, ly].
struct FluxGrid {
  int nx = 0;              ///< Cells along x.
  int ny = 0;              ///< Cells along y.
  float lx = 0.0f;         ///< Extent along x.
  float ly = 0.0f;         ///< Extent along y.
  int max_bounces = 0;     ///< Hits recorded per photon (0: all).
  bool decompose = false;  ///< Sun/sky split of downwelling.

  /// The cell of a point (iy * nx + ix), or -1 outside the grid.
  TESK_HOST_DEVICE int cell(const float3& p) const {
    const int ix = grid::world_to_cell(p.x, lx, nx);
    const int iy = grid::world_to_cell(p.y, ly, ny);
    return (ix < 0 || iy < 0) ? -1 : iy * nx + ix;
  }
};

/// Per-photon bookkeeping of downwelling and upwelling: every recorded hit adds the photon's
/// energy to downwelling of its cell (and its sun or sky part), energy leaving a cell for
/// another cell (or, after a scattering, for the sky) to upwelling of the cell it left.
/// `add(slot, cell)` performs one addition of the photon's energy.
struct FluxCellRule {
  int prev = -1;     ///< Cell of the last hit, or -1.
  int recorded = 0;  ///< Hits recorded so far.

  /// A new photon.
  TESK_HOST_DEVICE void emitted() {
    prev = -1;
    recorded = 0;
  }
  /// The photon leaves the scene after `scatterings` scatterings.
  template <typename Add>
  TESK_HOST_DEVICE void escaped(int scatterings, Add&& add) const {
    if (scatterings >= 1 && prev >= 0) add(kFluxUp, prev);
  }
  /// A hit at `position` of a sun (`direct`) or sky photon; returns its cell (-1 outside).
  template <typename Add>
  TESK_HOST_DEVICE int surface(const FluxGrid& g, const float3& position, bool direct, Add&& add) {
    const int c = g.cell(position);
    if (c < 0) {
      prev = -1;
    } else if (g.max_bounces > 0 && recorded >= g.max_bounces) {
      prev = c;
    } else {
      add(kFluxDown, c);
      if (g.decompose) add(direct ? kFluxDownDirect : kFluxDownDiffuse, c);
      if (prev >= 0 && prev != c) add(kFluxUp, prev);
      ++recorded;
      prev = c;
    }
    return c;
  }
};

/// Adds `v` to `*at`: atomically on a device, plainly on the host.
TESK_HOST_DEVICE inline void accumulate(double* at, double v) {
#if defined(__CUDA_ARCH__)
  atomicAdd(at, v);
#else
  *at += v;
#endif
}

/// The leaf media of a device flux run (n_media 0 in `media`: a scene of surfaces).
struct FluxMediaParams {
  MediaView media{};                             ///< Media and the medium of each material.
  SceneBounds bounds{};                          ///< Scene box (containment is empty outside).
  const MediumLeafModel* leaf_models = nullptr;  ///< Leaf model per medium.
  int32_t n_leaf_models = 0;                     ///< Entries of `leaf_models`.
  const int32_t* primitive_offsets = nullptr;    ///< First global primitive of each instance.
  int32_t n_offsets = 0;                ///< Entries of `primitive_offsets` (instances + 1).
  int32_t n_primitives = 0;             ///< Primitives of the scene.
  double* slots[kFluxMediaSlots] = {};  ///< Per FluxMediaSlot, [element][n_bands].
};

/// Launch parameters of a device flux run (pointers on the running side). Thread t traces
/// photons photon_begin + t, + n_threads, ... below photon_end.
struct FluxLaunchParams {
  PathContext ctx{};           ///< The resolved scene.
  PhotonSource source{};       ///< Emission geometry and photon power.
  bvh::BvhSceneView scene{};   ///< The hierarchy the photons trace.
  FluxMediaParams media{};     ///< Leaf media and their absorption slots.
  FluxGrid grid{};             ///< The tally grid.
  int64_t photon_begin = 0;    ///< First photon of the launch.
  int64_t photon_end = 0;      ///< One past its last photon.
  int64_t n_threads = 0;       ///< Threads of the launch.
  double* slots[4] = {};       ///< [ny][nx][n_bands] per FluxSlot (split slots may be null).
  double* removed = nullptr;   ///< [n_bands] energy ended by depth and cut-offs.
  double* roulette = nullptr;  ///< [n_bands] roulette victims minus survivors' gain.
  unsigned long long* rays = nullptr;  ///< Closest-hit queries issued.
};
static_assert(std::is_trivially_copyable_v<FluxLaunchParams>);

/// Per-thread state of the device flux run.
struct FluxThreadScratch {
  double w[kMaxDeviceFluxBands];
  float alpha[kMaxDeviceFluxBands];
  double removed[kMaxDeviceFluxBands];
  double roulette[kMaxDeviceFluxBands];
  struct {
    int64_t closest = 0;
    int64_t containment = 0;
  } rays;
};

/// A photon of the device flux run with the media around it.
struct FluxPhoton : PhotonState {
  PathMedia media{};  ///< Media containing the photon.
};

/// The flux tally of one device thread: the cell rule, with every addition made at once.
struct FluxDeviceTally {
  const FluxLaunchParams* p = nullptr;
  FluxCellRule rule;

  TESK_HOST_DEVICE void add(int slot, int cell, double power, const double* w) const {
    const int nb = p->ctx.n_bands;
    double* dst = p->slots[slot] + static_cast<int64_t>(cell) * nb;
    for (int b = 0; b < nb; ++b) {
      const double v = w[b] * power;
      if (v > 0.0) accumulate(dst + b, v);
    }
  }
  /// Adds alpha[b] w[b] power (w[b] power without `alpha`) to element `index` of media slot
  /// `slot`, as the CPU tally logs a deposit.
  TESK_HOST_DEVICE void media_add(int slot, int64_t index, double power, const double* w,
                                  const float* alpha) const {
    const int nb = p->ctx.n_bands;
    double* dst = p->media.slots[slot] + index * nb;
    for (int b = 0; b < nb; ++b) {
      const double v = (alpha != nullptr ? alpha[b] : 1.0f) * w[b] * power;
      if (v > 0.0) accumulate(dst + b, v);
    }
  }
  TESK_HOST_DEVICE bool has_media() const { return p->media.media.n_media > 0; }

  template <typename P>
  TESK_HOST_DEVICE void emitted(const P& ph, const double* w) {
    rule.emitted();
    if (has_media()) media_add(kFluxIncident, 0, ph.power, w, nullptr);
  }
  template <typename P>
  TESK_HOST_DEVICE void escaped(const P& ph, const double* w) const {
    rule.escaped(ph.scatterings, [&](int slot, int cell) { add(slot, cell, ph.power, w); });
    if (has_media()) media_add(kFluxEscaped, 0, ph.power, w, nullptr);
  }
  template <typename P, typename S>
  TESK_HOST_DEVICE void surface(const P& ph, const HitRecord& hit, const MaterialRecord*,
                                const ShadingFrame&, const float3&, const float* alpha,
                                const double* w, S&) {
    const int c = rule.surface(p->grid, hit.position, ph.direct,
                               [&](int slot, int cell) { add(slot, cell, ph.power, w); });
    if (!has_media()) return;
    // Absorption as the CPU tallies it: the terrain is instance 0, other surfaces count in
    // their cell and as their primitive.
    if (hit.instance_id == 0) {
      media_add(kFluxTerrain, 0, ph.power, w, alpha);
      return;
    }
    if (c >= 0) {
      media_add(kFluxGrid, c, ph.power, w, alpha);
      media_add(ph.direct ? kFluxGridDirect : kFluxGridDiffuse, c, ph.power, w, alpha);
    }
    const FluxMediaParams& m = p->media;
    if (hit.instance_id >= 0 && hit.instance_id + 1 < m.n_offsets) {
      const int64_t prim =
          static_cast<int64_t>(m.primitive_offsets[hit.instance_id]) + hit.primitive_id;
      if (prim >= 0 && prim < m.n_primitives) media_add(kFluxLeaf, prim, ph.power, w, alpha);
    }
  }
  template <typename P, typename S>
  TESK_HOST_DEVICE void leaf(const P& ph, const float3& position, int32_t medium, const LeafHit&,
                             const float* alpha, const double* w, S&) const {
    const int c = p->grid.cell(position);
    if (c >= 0) {
      media_add(kFluxGrid, c, ph.power, w, alpha);
      media_add(ph.direct ? kFluxGridDirect : kFluxGridDiffuse, c, ph.power, w, alpha);
    }
    media_add(kFluxMedium, medium, ph.power, w, alpha);
  }
};

/// Thread t of a device flux launch: its photons, then its removed and roulette sums.
TESK_HOST_DEVICE inline void flux_thread_item(const FluxLaunchParams& p, int64_t t) {
  const int nb = p.ctx.n_bands;
  FluxThreadScratch s;
  for (int b = 0; b < nb; ++b) s.removed[b] = s.roulette[b] = 0.0;
  const bvh::BvhTracer tracer{p.scene};
  FluxDeviceTally tally{&p, FluxCellRule{}};
  MediaWalk<bvh::BvhTracer> walk;
  walk.tracer = tracer;
  walk.media = p.media.media;
  walk.tiles = p.ctx.tiles;
  walk.bounds = p.media.bounds;
  for (int64_t i = p.photon_begin + t; i < p.photon_end; i += p.n_threads) {
    Pcg32 rng = photon_stream(i);
    FluxPhoton ph;
    if (!emit_photon(p.ctx, p.source, rng, ph, s.w)) continue;
    tally.emitted(ph, s.w);
    nudge_into_tile(p.ctx.tiles, ph.o, ph.d);
    if (tally.has_media()) {
      trace_media_photon(p.ctx, walk, p.media.leaf_models, p.media.n_leaf_models, rng, ph, s.w,
                         s.alpha, s, tally);
    } else {
      trace_surface_photon(p.ctx, tracer, rng, ph, s.w, s.alpha, s, tally);
    }
  }
  for (int b = 0; b < nb; ++b) {
    if (s.removed[b] != 0.0) accumulate(p.removed + b, s.removed[b]);
    if (s.roulette[b] != 0.0) accumulate(p.roulette + b, s.roulette[b]);
  }
#if defined(__CUDA_ARCH__)
  atomicAdd(p.rays, static_cast<unsigned long long>(s.rays.closest));
#else
  *p.rays += static_cast<unsigned long long>(s.rays.closest);
#endif
}

}  // namespace tesk
