#pragma once

// The backward path of one pixel sample through a scene of surfaces, written once for every
// backend. What differs per backend is only how a ray finds its hit: the functions here are
// templates over a tracer with two queries,
//   HitRecord trace(const float3& o, const float3& d, float t_min, float t_max) const;
//   bool shadow(const float3& o, const float3& d, float t_max) const;  // t from kRayTMin
// (Embree on the CPU, core/bvh_tracer.h on a CUDA device or on the host), and over the
// sample's running state `S`, which offers throughput[b] and response[b] (indexable per band),
// rays (a RenderRayCounts), clear() and add(band, value, event, order slot).

#include <cmath>
#include <cstdint>

#include "core/frame.h"
#include "core/host_device.h"
#include "core/illumination.h"
#include "core/pcg32.h"
#include "core/periodic.h"
#include "core/radiometry.h"
#include "core/random_streams.h"
#include "core/scattering.h"
#include "core/scene_types.h"
#include "core/sensor.h"
#include "core/spectral.h"
#include "core/transport_constants.h"
#include "core/vec.h"

namespace tesk {

/// Event slots of a backward image's event split.
enum class OpticalEvent : int32_t {
  SunScattered = 0,  ///< Sunlight scattered toward the sensor at a surface.
  TurbidMedium = 1,  ///< Sunlight scattered toward the sensor by leaves inside a medium.
  Outside = 2,       ///< Sky, and the directly seen sun.
  Emission = 3       ///< Surface emission (thermal and SIF).
};

/// Number of event slots.
inline constexpr int kOpticalEventSlots = 4;

/// Ray counts of one render (each closest-hit query counts once, also after a tile wrap).
struct RenderRayCounts {
  int64_t camera = 0;  ///< Closest-hit queries of camera rays (including terrain following).
  int64_t bounce = 0;  ///< Closest-hit queries of scattered rays.
  int64_t shadow = 0;  ///< Queries toward the sun (occlusion, media walks and containment).
};

/// What a path reads of the resolved scene, as plain values and pointers that all live on the
/// side running the path (host or device).
struct PathContext {
  int n_bands = 0;                              ///< Bands carried by every path.
  TransportMode mode = TransportMode::Optical;  ///< Optical, thermal or SIF-only.
  SpectralView spectral{};                      ///< The spectral parameter buffer.
  const MaterialRecord* materials = nullptr;    ///< Material list of the description.
  int n_materials = 0;                          ///< Entries of `materials`.
  float3 sun_dir{0.0f, 0.0f, 1.0f};             ///< Unit vector toward the sun.
  const float* sun_irradiance = nullptr;        ///< n_bands values, or nullptr.
  SkyParams sky{};                              ///< Sky models of the description.
  TileView tiles{};                             ///< Periodic tiling.
  bool terrain_following = false;       ///< Orthographic camera rays start above the terrain.
  const float* wavelengths = nullptr;   ///< Band centres (nm), for thermal emission.
  int n_wavelengths = 0;                ///< Entries of `wavelengths`.
  const float* temperatures = nullptr;  ///< Per-primitive temperatures (K), or nullptr.
  const float* sif = nullptr;           ///< [n_bands][n_primitives] SIF, or nullptr.
  int n_primitives = 0;                 ///< Global primitive count.
  int max_depth = 0;                    ///< Interactions after which a path ends.
  int rr_depth = 0;                     ///< Interactions before Russian roulette starts.

  /// The material of id `id`, or nullptr for an id that names no material.
  TESK_HOST_DEVICE const MaterialRecord* material(int32_t id) const {
    return id >= 0 && id < n_materials ? &materials[id] : nullptr;
  }
};
static_assert(std::is_trivially_copyable_v<PathContext>);

/// What a packet traced ahead for a camera ray: its first closest hit and, when the sun was
/// tested from that hit, the shadow ray's origin and answer.
struct FirstHit {
  HitRecord hit;
  bool sun_tested = false;
  float3 sun_origin{};
  bool sun_blocked = false;
};

/// The part of the periodic shadow test after the query in the ray's own tile (which found
/// nothing): the queries in the next `num_repetitions` tiles the ray crosses into, within a
/// total length of kFarDistance.
template <typename Tracer>
TESK_HOST_DEVICE bool occluded_in_next_tiles(const Tracer& tracer, const TileView& tiles,
                                             const float3& origin, const float3& d) {
  if (!tiles.periodic) return false;
  float budget = transport::kFarDistance;
  float3 o = origin;
  for (int crossing = 0; crossing < tiles.num_repetitions; ++crossing) {
    const TileExit exit = cross_tile(o, d, tiles.x, tiles.y);
    if (exit.axis < 0) return false;
    o = wrap_at_exit(o, d, exit, tiles.x, tiles.y);
    budget -= exit.t;
    if (budget <= 0.0f) return false;
    if (o.z > tiles.z_top && d.z >= 0.0f) return false;
    if (tracer.shadow(o, d, budget)) return true;
  }
  return false;
}

/// Shadow test toward direction `d` from `origin` (already offset from its surface): true when
/// geometry blocks the ray in this tile or, in a periodic scene, in one of the next tiles.
/// Nothing lies above the scene top, so a ray that starts there and does not descend is free.
template <typename Tracer>
TESK_HOST_DEVICE bool occluded_periodic(const Tracer& tracer, const TileView& tiles,
                                        const float3& origin, const float3& d) {
  if (origin.z > tiles.z_top && d.z >= 0.0f) return false;
  if (tracer.shadow(origin, d, transport::kFarDistance)) return true;
  return occluded_in_next_tiles(tracer, tiles, origin, d);
}

/// Camera-ray preparation before the first intersection. Terrain following (orthographic
/// sensors with the flag set): the origin becomes the surface point below the ray's footprint on
/// z = 0, moved kTerrainBackoff back along the ray. Periodic scenes: the origin is brought into
/// the tile by `periodic_entry`, entering from periodic_entry_margin above the scene top.
template <typename Tracer>
TESK_HOST_DEVICE float3 prepare_camera_ray(const Tracer& tracer, const TileView& tiles,
                                           bool terrain_following, SensorType sensor_type,
                                           float3 origin, const float3& d) {
  if (terrain_following && sensor_type == SensorType::Orthographic) {
    const float s = origin.z / d.z;
    const float x0 = origin.x - s * d.x;
    const float y0 = origin.y - s * d.y;
    const float3 top{x0, y0, origin.z};
    const HitRecord h =
        tracer.trace(top, float3{0.0f, 0.0f, -1.0f}, transport::kRayTMin, transport::kRayTMax);
    if (h.hit) origin = float3{x0, y0, origin.z - h.t} - transport::kTerrainBackoff * d;
  }
  if (tiles.periodic) {
    origin = periodic_entry(origin, d, tiles.x, tiles.y,
                            tiles.z_top + periodic_entry_margin(tiles.z_top));
  }
  return origin;
}

/// Starts the sample of pixel (x, y) in pass s of a width x height image: the pixel's stream
/// (the same for every thread count and backend) and the prepared camera ray. False when the
/// sensor gives no ray for the pixel.
template <typename Tracer>
TESK_HOST_DEVICE bool start_camera_ray(const PathContext& c, const Tracer& tracer,
                                       const SensorData& sensor, int width, int height, int x,
                                       int y, int s, RenderRayCounts& rays, Pcg32& rng, float3& o,
                                       float3& d) {
  rng = pixel_stream(width, height, x, y, s);
  const float jx = rng.uniform();
  const float jy = rng.uniform();
  if (!sensor::generate_primary_ray(sensor, x, y, jx, jy, o, d)) return false;
  if (sensor.type == SensorType::Orthographic && c.terrain_following) ++rays.camera;
  o = prepare_camera_ray(tracer, c.tiles, c.terrain_following, sensor.type, o, d);
  return true;
}

/// Surface temperature for thermal emission at primitive p of material `mat` hit at P: the
/// per-primitive temperature when set, else the sunlit or shaded temperature of the material
/// (a shadow ray decides) when both are set, else the material's surface temperature.
template <typename Tracer, typename S>
TESK_HOST_DEVICE float emission_temperature(const PathContext& c, const Tracer& tracer,
                                            const MaterialRecord& mat, int p, const float3& P,
                                            const float3& ng, S& sc) {
  if (c.temperatures != nullptr && p >= 0 && p < c.n_primitives) return c.temperatures[p];
  const float sunlit = mat.scalar_params[3];
  const float shaded = mat.scalar_params[4];
  if (sunlit > 0.0f && shaded > 0.0f) {
    ++sc.rays.shadow;
    const bool in_shade =
        occluded_periodic(tracer, c.tiles, offset_ray_origin(P, ng, c.sun_dir), c.sun_dir);
    return in_shade ? shaded : sunlit;
  }
  return mat.scalar_params[2];
}

/// A path leaving the scene along d after k bounces: the sun when a camera ray looks straight
/// at it (optical mode), else the sky (not in SIF-only mode).
template <typename S>
TESK_HOST_DEVICE void add_escape(const PathContext& c, S& sc, const float3& d, int k, int slot) {
  const int nb = c.n_bands;
  if (k == 0 && c.mode == TransportMode::Optical && c.sun_irradiance != nullptr &&
      sun_seen(c.sun_dir, d)) {
    for (int b = 0; b < nb; ++b) {
      const double l = static_cast<double>(c.sun_irradiance[b]) / kSolarDiskSolidAngle;
      sc.add(b, l * sc.throughput[b], OpticalEvent::Outside, slot);
    }
  } else if (c.mode != TransportMode::SifOnly) {
    for (int b = 0; b < nb; ++b) {
      const float l = sky_radiance(c.sky, c.spectral, nb, d, b);
      if (l != 0.0f) sc.add(b, l * sc.throughput[b], OpticalEvent::Outside, slot);
    }
  }
}

/// Emission and sunlight at a surface hit, by transport mode: SIF-only adds the primitive's SIF,
/// thermal its Planck emission, optical the sun by next-event estimation. `sun_transmittance`
/// maps the offset shadow-ray origin to the transmittance toward the sun (0 or 1 without
/// media); it is called only when the sun would add something.
template <typename Tracer, typename S, typename SunTransmittance>
TESK_HOST_DEVICE void surface_emission_and_sun(const PathContext& c, const Tracer& tracer, S& sc,
                                               const HitRecord& h, const MaterialRecord& mat,
                                               const ShadingFrame& frame, const float3& wo,
                                               int slot, SunTransmittance&& sun_transmittance) {
  const int nb = c.n_bands;
  const int p = h.global_primitive_id;
  if (c.mode == TransportMode::SifOnly) {
    if (c.sif != nullptr && p >= 0 && p < c.n_primitives) {
      for (int b = 0; b < nb; ++b) {
        const double e = c.sif[static_cast<size_t>(b) * c.n_primitives + p];
        sc.add(b, e * sc.throughput[b], OpticalEvent::Emission, slot);
      }
    }
  } else if (c.mode == TransportMode::Thermal) {
    const float T = emission_temperature(c, tracer, mat, p, h.position, h.geometric_normal, sc);
    const float* emissivity = c.spectral.block(mat.spectral_offset, nb);
    if (T > 0.0f && emissivity != nullptr) {
      for (int b = 0; b < nb; ++b) {
        const float lambda = b < c.n_wavelengths ? c.wavelengths[b] : 0.0f;
        const double e = static_cast<double>(planck_radiance(lambda, T)) * emissivity[b];
        sc.add(b, e * sc.throughput[b], OpticalEvent::Emission, slot);
      }
    }
  } else if (c.sun_irradiance != nullptr) {
    // Next-event estimation toward the sun; leaves also transmit it from behind.
    const float3 wi = frame.to_local(c.sun_dir);
    if ((wi.z > 0.0f || mat.type == MaterialType::DiffuseTransmitting) && std::fabs(wi.z) > 0.0f) {
      bool any = false;
      for (int b = 0; b < nb; ++b) {
        sc.response[b] = eval_scattering(mat.type, mat.spectral_offset, b, wo, wi, c.spectral, nb,
                                         h.is_back_face, false);
        any = any || (sc.response[b] * c.sun_irradiance[b] != 0.0f);
      }
      if (any) {
        const double t =
            sun_transmittance(offset_ray_origin(h.position, h.geometric_normal, c.sun_dir));
        if (t > 0.0) {
          const double cos_i = std::fabs(wi.z);
          for (int b = 0; b < nb; ++b) {
            const double l = static_cast<double>(sc.response[b]) * sc.throughput[b] *
                             c.sun_irradiance[b] * cos_i * t;
            sc.add(b, l, OpticalEvent::SunScattered, slot);
          }
        }
      }
    }
  }
}

/// Draws the scattered direction at a surface (three uniforms, handed to the sampler in
/// reverse; `banded` picks the band-averaged sampler) and updates the throughput. Returns
/// false when the path ends there; otherwise `d_out` is the new world direction.
template <typename S>
TESK_HOST_DEVICE bool scatter_at_surface(const PathContext& c, S& sc, const HitRecord& h,
                                         const MaterialRecord& mat, const ShadingFrame& frame,
                                         const float3& wo, Pcg32& rng, bool banded, float3& d_out) {
  const int nb = c.n_bands;
  const float u1 = rng.uniform();
  const float u2 = rng.uniform();
  const float u3 = rng.uniform();
  const float u[3] = {u3, u2, u1};
  const ScatterSample smp = banded
                                ? sample_scattering_banded(mat, c.spectral, nb, h.is_back_face, u)
                                : sample_scattering(mat, u);
  if (!(smp.pdf >= transport::kMinScatterPdf) || std::fabs(smp.wi.z) == 0.0f) return false;
  const double weight = static_cast<double>(std::fabs(smp.wi.z)) / smp.pdf;
  const bool thermal = c.mode == TransportMode::Thermal;
  bool alive = false;
  for (int b = 0; b < nb; ++b) {
    const float f = eval_scattering(mat.type, mat.spectral_offset, b, wo, smp.wi, c.spectral, nb,
                                    h.is_back_face, thermal);
    sc.throughput[b] *= static_cast<double>(f) * weight;
    alive = alive || sc.throughput[b] > transport::kMinThroughput;
  }
  if (!alive) return false;
  d_out = normalize(frame.to_world(smp.wi));
  return true;
}

/// Russian roulette from bounce rr_depth on: survive with q = min(0.95, max throughput) and
/// divide by q. Returns false when the path ends.
template <typename S>
TESK_HOST_DEVICE bool roulette(const PathContext& c, S& sc, int k, Pcg32& rng) {
  if (k < c.rr_depth) return true;
  double max_t = 0.0;
  for (int b = 0; b < c.n_bands; ++b) max_t = max_t < sc.throughput[b] ? sc.throughput[b] : max_t;
  const double q = max_t < transport::kMaxSurvival ? max_t : transport::kMaxSurvival;
  if (rng.uniform() >= q) return false;
  for (int b = 0; b < c.n_bands; ++b) sc.throughput[b] /= q;
  return true;
}

/// The path of a started sample in a scene without media, from the camera ray (o, d); leaves
/// the sample's radiance and splits in `sc` (cleared by the caller). Scattering orders above
/// order_slots - 2 share the last slot. `first` (may be null) holds the answers of the camera
/// ray's queries traced ahead; the path uses them in place of its own first queries, so the
/// sample is the same whether it was traced alone or in a packet.
template <typename Tracer, typename S>
TESK_HOST_DEVICE void trace_surface_path(const PathContext& c, const Tracer& tracer,
                                         int order_slots, Pcg32& rng, float3 o, float3 d, S& sc,
                                         const FirstHit* first) {
  const int last_order_slot = order_slots - 1;
  int hits = 0;
  int k = 0;
  int crossings = 0;
  for (;;) {
    const bool ahead = first != nullptr && k == 0 && crossings == 0;
    const HitRecord h =
        ahead ? first->hit : tracer.trace(o, d, transport::kRayTMin, transport::kRayTMax);
    ++(k == 0 ? sc.rays.camera : sc.rays.bounce);

    if (!h.hit) {
      // In a periodic scene the ray continues in the neighbouring tile. Above the scene top a
      // ray that does not descend meets nothing in any tile, so it escapes at once (the result
      // is the same, the queries are saved).
      if (c.tiles.periodic && crossings < c.tiles.num_repetitions &&
          !escapes_upward(c.tiles, o, d)) {
        const TileExit exit = cross_tile(o, d, c.tiles.x, c.tiles.y);
        if (exit.axis >= 0) {
          o = wrap_at_exit(o, d, exit, c.tiles.x, c.tiles.y);
          ++crossings;
          continue;
        }
      }
      add_escape(c, sc, d, k, hits < last_order_slot ? hits : last_order_slot);
      return;
    }

    ++hits;
    // A material id that names no material absorbs: the path ends without contribution.
    const MaterialRecord* mat = c.material(h.material_id);
    if (mat == nullptr) return;
    const ShadingFrame frame = ShadingFrame::from_normal(h.normal);
    const float3 wo = frame.to_local(-d);
    const int slot = hits < last_order_slot ? hits : last_order_slot;

    surface_emission_and_sun(c, tracer, sc, h, *mat, frame, wo, slot, [&](const float3& origin) {
      ++sc.rays.shadow;
      if (ahead && first->sun_tested && origin.x == first->sun_origin.x &&
          origin.y == first->sun_origin.y && origin.z == first->sun_origin.z) {
        return first->sun_blocked ? 0.0 : 1.0;
      }
      return occluded_periodic(tracer, c.tiles, origin, c.sun_dir) ? 0.0 : 1.0;
    });
    float3 wi_world;
    if (!scatter_at_surface(c, sc, h, *mat, frame, wo, rng, false, wi_world)) return;
    if (!roulette(c, sc, k, rng)) return;
    d = wi_world;
    o = offset_ray_origin(h.position, h.geometric_normal, d);
    ++k;
    if (k >= c.max_depth) return;
  }
}

/// One sample of pixel (x, y) in pass s in a scene without media; leaves its radiance and
/// splits in `sc`. Returns false when the camera ray is invalid (the sample then adds nothing).
template <typename Tracer, typename S>
TESK_HOST_DEVICE bool sample_surface_pixel(const PathContext& c, const Tracer& tracer,
                                           const SensorData& sensor, int width, int height,
                                           int order_slots, int x, int y, int s, S& sc) {
  Pcg32 rng;
  float3 o;
  float3 d;
  if (!start_camera_ray(c, tracer, sensor, width, height, x, y, s, sc.rays, rng, o, d)) {
    return false;
  }
  sc.clear();
  if (c.max_depth < 1) return true;
  trace_surface_path(c, tracer, order_slots, rng, o, d, sc, static_cast<const FirstHit*>(nullptr));
  return true;
}

}  // namespace tesk
