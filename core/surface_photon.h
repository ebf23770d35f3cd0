#pragma once

// Forward photons written once for every backend: emission from the sun and the sky, the
// absorbed fraction and scattering at a surface, roulette and the depth limit, and the photon
// loop of a scene of surfaces (templates over a tracer as in core/surface_path.h, a tally and
// the per-photon scratch `S`, which offers removed[b], roulette[b] and rays.closest). The CPU
// loop through optical turbid media uses the same event helpers.

#include <cmath>
#include <cstdint>

#include "core/frame.h"
#include "core/host_device.h"
#include "core/illumination.h"
#include "core/pcg32.h"
#include "core/periodic.h"
#include "core/scattering.h"
#include "core/scene_types.h"
#include "core/spectral.h"
#include "core/surface_path.h"
#include "core/transport_constants.h"
#include "core/vec.h"

namespace tesk {

/// Where and how photons are emitted: the scene box, the grid extent and the photon power.
struct PhotonSource {
  SceneBounds bounds{};            ///< Scene bounding box.
  bool has_sky = false;            ///< Any sky model is set (sky photons exist).
  float measurement_plane = 0.0f;  ///< Height under which periodic photons start.
  float extent_x = 0.0f;           ///< Grid extent Lx.
  float extent_y = 0.0f;           ///< Grid extent Ly.
  double power = 0.0;              ///< P0 = Lx Ly / num_photons.
  float prob_sun = 1.0f;           ///< Probability that a photon is a sun photon.
};

/// One photon in flight (without the media it is in).
struct PhotonState {
  float3 o{};                   ///< Origin of the next ray.
  float3 d{0.0f, 0.0f, -1.0f};  ///< Unit direction.
  double power = 0.0;           ///< Scalar power P (P0 over the probability of its kind).
  bool direct = true;           ///< Sun photon (true) or sky photon.
  int scatterings = 0;          ///< Scattering events so far (k).
  int crossings = 0;            ///< Tile walls crossed so far.
};

/// Moves a photon origin into the tile [0, X] x [0, Y] of a periodic scene (whole tile steps),
/// and across a wall that the ray (o, d) would reach within the minimum crossing distance: such
/// a wall is not reported as an exit, and a start outside the tile would take the wall it enters
/// through for an exit, so without the move the path would escape.
TESK_HOST_DEVICE inline void nudge_into_tile(const TileView& tiles, float3& o, const float3& d) {
  using namespace transport;
  if (!tiles.periodic) return;
  const float X = tiles.x;
  const float Y = tiles.y;
  if (o.x < 0.0f || o.x > X) o.x -= std::floor(o.x / X) * X;
  if (o.y < 0.0f || o.y > Y) o.y -= std::floor(o.y / Y) * Y;
  if (d.x > kParallelEpsilon && (X - o.x) <= kTileWallMin * d.x) o.x -= X;
  if (d.x < -kParallelEpsilon && o.x <= -kTileWallMin * d.x) o.x += X;
  if (d.y > kParallelEpsilon && (Y - o.y) <= kTileWallMin * d.y) o.y -= Y;
  if (d.y < -kParallelEpsilon && o.y <= -kTileWallMin * d.y) o.y += Y;
}

/// Index of the face whose cumulative share of `total` contains u * total (the last face with
/// a positive area when rounding leaves u * total at the very end).
TESK_HOST_DEVICE inline int choose_face(const double* areas, int n, double total, float u) {
  double x = static_cast<double>(u) * total;
  for (int f = 0; f < n; ++f) {
    if (areas[f] > 0.0 && x < areas[f]) return f;
    x -= areas[f];
  }
  for (int f = n - 1; f >= 0; --f) {
    if (areas[f] > 0.0) return f;
  }
  return 0;
}

/// Emits a photon from the stream `rng`: origin, direction, power, kind and the spectral
/// weights in `w`. Returns false when the photon is not emitted (sun near the horizon, zero
/// probability of its kind, degenerate emitting box, or no positive weight).
TESK_HOST_DEVICE inline bool emit_photon(const PathContext& c, const PhotonSource& src, Pcg32& rng,
                                         PhotonState& ph, double* w) {
  const int nb = c.n_bands;
  if (!(std::fabs(c.sun_dir.z) >= 0.01f)) return false;
  bool sky = false;
  if (src.has_sky) sky = rng.uniform() >= src.prob_sun;
  ph = PhotonState{};
  ph.direct = !sky;
  const SceneBounds& bx = src.bounds;
  const double dx = static_cast<double>(bx.max_x) - bx.min_x;
  const double dy = static_cast<double>(bx.max_y) - bx.min_y;
  const double dz = static_cast<double>(bx.max_z) - bx.min_z;
  const double top = dx * dy;
  float3 o{};
  float3 d{};
  if (sky) {
    if (!(src.prob_sun < 1.0f)) return false;
    ph.power = src.power / (1.0 - static_cast<double>(src.prob_sun));
    double factor = 1.0;
    if (!c.tiles.periodic) {
      // Top, x-min, x-max, y-min, y-max faces of the bounding box, by area.
      const double areas[5] = {top, dy * dz, dy * dz, dx * dz, dx * dz};
      const double total = areas[0] + areas[1] + areas[2] + areas[3] + areas[4];
      if (!(top > 0.0) || !std::isfinite(total)) return false;
      const int face = choose_face(areas, 5, total, rng.uniform());
      const float u1 = rng.uniform();
      const float u2 = rng.uniform();
      const float x = bx.min_x + u1 * static_cast<float>(dx);
      const float y = bx.min_y + u1 * static_cast<float>(dy);
      const float yy = bx.min_y + u2 * static_cast<float>(dy);
      const float z = bx.min_z + u2 * static_cast<float>(dz);
      float3 inward;
      switch (face) {
        case 0:
          o = float3{x, yy, bx.max_z + 0.1f};
          inward = float3{0.0f, 0.0f, -1.0f};
          break;
        case 1:
          o = float3{bx.min_x - 0.1f, y, z};
          inward = float3{1.0f, 0.0f, 0.0f};
          break;
        case 2:
          o = float3{bx.max_x + 0.1f, y, z};
          inward = float3{-1.0f, 0.0f, 0.0f};
          break;
        case 3:
          o = float3{x, bx.min_y - 0.1f, z};
          inward = float3{0.0f, 1.0f, 0.0f};
          break;
        default:
          o = float3{x, bx.max_y + 0.1f, z};
          inward = float3{0.0f, -1.0f, 0.0f};
          break;
      }
      const float u3 = rng.uniform();
      const float u4 = rng.uniform();
      const ScatterSample s = sample_cosine_hemisphere(u3, u4);
      d = normalize(ShadingFrame::from_normal(inward).to_world(s.wi));
      factor = total / top;
    } else {
      const float u1 = rng.uniform();
      const float u2 = rng.uniform();
      const float u3 = rng.uniform();
      const float u4 = rng.uniform();
      const ScatterSample s = sample_cosine_hemisphere(u3, u4);
      d = float3{s.wi.x, s.wi.y, -s.wi.z};
      const float t = 0.1f / std::fmax(std::fabs(d.z), 1e-6f);
      o = float3{u1 * src.extent_x - t * d.x, u2 * src.extent_y - t * d.y,
                 src.measurement_plane + 0.1f};
    }
    // The sky radiance of the direction the light comes from.
    const float3 from = -d;
    for (int b = 0; b < nb; ++b) {
      w[b] = static_cast<double>(sky_radiance(c.sky, c.spectral, nb, from, b)) * 3.14159265358979 *
             factor;
    }
  } else {
    if (!(c.sun_dir.z > 0.0f) || !(src.prob_sun > 0.0f)) return false;
    ph.power = src.power / static_cast<double>(src.prob_sun);
    const float3 s = c.sun_dir;
    d = -s;
    double factor = 1.0;
    if (!c.tiles.periodic) {
      // Faces seen by the sun: top, the x face and the y face, by projected area.
      const double areas[3] = {std::fabs(s.z) * top, std::fabs(s.x) * dy * dz,
                               std::fabs(s.y) * dx * dz};
      const double total = areas[0] + areas[1] + areas[2];
      if (!(top > 0.0) || !std::isfinite(total)) return false;
      const int face = choose_face(areas, 3, total, rng.uniform());
      const float u1 = rng.uniform();
      const float u2 = rng.uniform();
      if (face == 0) {
        o = float3{bx.min_x + u1 * static_cast<float>(dx), bx.min_y + u2 * static_cast<float>(dy),
                   bx.max_z + 0.1f};
      } else if (face == 1) {
        o = float3{s.x > 0.0f ? bx.max_x + 0.1f : bx.min_x - 0.1f,
                   bx.min_y + u1 * static_cast<float>(dy), bx.min_z + u2 * static_cast<float>(dz)};
      } else {
        o = float3{bx.min_x + u1 * static_cast<float>(dx),
                   s.y > 0.0f ? bx.max_y + 0.1f : bx.min_y - 0.1f,
                   bx.min_z + u2 * static_cast<float>(dz)};
      }
      factor = total / top;
    } else {
      const float u1 = rng.uniform();
      const float u2 = rng.uniform();
      const float t = 0.1f / s.z;
      o = float3{u1 * src.extent_x + t * s.x, u2 * src.extent_y + t * s.y,
                 src.measurement_plane + 0.1f};
      factor = std::fabs(s.z);
    }
    for (int b = 0; b < nb; ++b) {
      w[b] = c.sun_irradiance != nullptr ? static_cast<double>(c.sun_irradiance[b]) * factor : 0.0;
    }
  }
  ph.o = o;
  ph.d = d;
  bool any = false;
  for (int b = 0; b < nb; ++b) any = any || w[b] * ph.power > 0.0;
  return any;
}

/// Absorbed fraction per band of a surface hit: 1 - r for Diffuse and RPV (r from the first
/// block), 1 - (r_side + t) for DiffuseTransmitting, 1 for any other kind or a missing
/// material or block; clamped at 0.
TESK_HOST_DEVICE inline void surface_absorptance(const PathContext& c, const MaterialRecord* mat,
                                                 bool back_face, float* alpha) {
  const int nb = c.n_bands;
  for (int b = 0; b < nb; ++b) alpha[b] = 1.0f;
  if (mat == nullptr) return;
  switch (mat->type) {
    case MaterialType::Diffuse:
    case MaterialType::RPV: {
      const float* r = c.spectral.block(mat->spectral_offset, nb);
      if (r == nullptr) return;
      for (int b = 0; b < nb; ++b) alpha[b] = std::fmax(1.0f - r[b], 0.0f);
      return;
    }
    case MaterialType::DiffuseTransmitting: {
      const float* blk = c.spectral.block(mat->spectral_offset, 3 * static_cast<int64_t>(nb));
      if (blk == nullptr) return;
      const float* r = back_face ? blk + nb : blk;
      for (int b = 0; b < nb; ++b) alpha[b] = std::fmax(1.0f - (r[b] + blk[2 * nb + b]), 0.0f);
      return;
    }
    default:
      return;
  }
}

/// Scatters a photon at a surface hit of material `mat` (three uniforms; `banded` picks the
/// band-averaged sampler) and weights `w` by f cos / pdf. Returns false, booking the scattered
/// part (1 - alpha) to `removed`, when no direction is drawn.
template <typename P, typename S>
TESK_HOST_DEVICE bool scatter_photon_at_surface(const PathContext& c, const P& ph,
                                                const HitRecord& hit, const MaterialRecord& mat,
                                                const ShadingFrame& frame, const float3& wo,
                                                bool banded, const float* alpha, double* w,
                                                Pcg32& rng, S& s, float3& new_dir,
                                                float3& new_origin) {
  const int nb = c.n_bands;
  float u[3];
  u[0] = rng.uniform();
  u[1] = rng.uniform();
  u[2] = rng.uniform();
  const ScatterSample smp = banded
                                ? sample_scattering_banded(mat, c.spectral, nb, hit.is_back_face, u)
                                : sample_scattering(mat, u);
  if (!(smp.pdf >= transport::kMinScatterPdf)) {
    for (int b = 0; b < nb; ++b) s.removed[b] += (1.0 - alpha[b]) * w[b] * ph.power;
    return false;
  }
  const double factor = std::fabs(smp.wi.z) / static_cast<double>(smp.pdf);
  for (int b = 0; b < nb; ++b) {
    const float f = eval_scattering(mat.type, mat.spectral_offset, b, wo, smp.wi, c.spectral, nb,
                                    hit.is_back_face, false);
    w[b] *= static_cast<double>(f) * factor;
  }
  new_dir = normalize(frame.to_world(smp.wi));
  new_origin = offset_ray_origin(hit.position, hit.geometric_normal, new_dir);
  return true;
}

/// After a scattering event: the weight cut-off, Russian roulette from rr_depth scatterings on
/// (victims booked to `roulette`, survivors' gain subtracted there) and the depth limit (the
/// rest booked to `removed`). Returns false when the photon ends; otherwise it has moved to
/// (new_origin, new_dir) with one more scattering.
template <typename P, typename S>
TESK_HOST_DEVICE bool continue_photon(const PathContext& c, P& ph, double* w, Pcg32& rng, S& s,
                                      const float3& new_dir, const float3& new_origin) {
  using namespace transport;
  const int nb = c.n_bands;
  bool alive = false;
  double w_max = 0.0;
  for (int b = 0; b < nb; ++b) {
    alive = alive || w[b] > kMinPhotonWeight;
    w_max = w_max < w[b] ? w[b] : w_max;
  }
  if (!alive) {
    for (int b = 0; b < nb; ++b) s.removed[b] += w[b] * ph.power;
    return false;
  }
  if (ph.scatterings >= c.rr_depth) {
    const double q = kMaxSurvival < w_max ? kMaxSurvival : w_max;
    if (rng.uniform() >= q) {
      for (int b = 0; b < nb; ++b) s.roulette[b] += w[b] * ph.power;
      return false;
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
    for (int b = 0; b < nb; ++b) s.removed[b] += w[b] * ph.power;
    return false;
  }
  return true;
}

/// Follows an emitted photon through a scene of surfaces until it escapes or ends, calling
///   tally.surface(ph, hit, material or nullptr, frame, wo, alpha, w, s)  before scattering
///   tally.escaped(ph, w)                                                  leaving the scene
/// `w` and `alpha` hold n_bands values (the weights, and the absorbed fraction of the event).
template <typename Tracer, typename P, typename S, typename Tally>
TESK_HOST_DEVICE void trace_surface_photon(const PathContext& c, const Tracer& tracer, Pcg32& rng,
                                           P& ph, double* w, float* alpha, S& s, Tally& tally) {
  using namespace transport;
  const int nb = c.n_bands;
  for (int step = 0; step < kMaxPhotonSteps; ++step) {
    nudge_into_tile(c.tiles, ph.o, ph.d);
    if (escapes_upward(c.tiles, ph.o, ph.d)) {
      tally.escaped(ph, w);
      return;
    }
    const HitRecord hit = tracer.trace(ph.o, ph.d, kRayTMin, kRayTMax);
    ++s.rays.closest;
    if (!hit.hit) {
      if (c.tiles.periodic && ph.crossings < c.tiles.num_repetitions) {
        const TileExit exit = cross_tile(ph.o, ph.d, c.tiles.x, c.tiles.y);
        if (exit.axis >= 0) {
          ph.o = wrap_at_exit(ph.o, ph.d, exit, c.tiles.x, c.tiles.y);
          ++ph.crossings;
          continue;
        }
      }
      tally.escaped(ph, w);
      return;
    }
    const MaterialRecord* mat = c.material(hit.material_id);
    const ShadingFrame frame = ShadingFrame::from_normal(hit.normal);
    const float3 wo = frame.to_local(-ph.d);
    surface_absorptance(c, mat, hit.is_back_face, alpha);
    tally.surface(ph, hit, mat, frame, wo, alpha, w, s);
    if (mat == nullptr) return;  // absorbed whole
    float3 new_dir;
    float3 new_origin;
    if (!scatter_photon_at_surface(c, ph, hit, *mat, frame, wo, false, alpha, w, rng, s, new_dir,
                                   new_origin)) {
      return;
    }
    if (!continue_photon(c, ph, w, rng, s, new_dir, new_origin)) return;
  }
  for (int b = 0; b < nb; ++b) s.removed[b] += w[b] * ph.power;
}

}  // namespace tesk
