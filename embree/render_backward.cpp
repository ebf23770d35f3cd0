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
#include "core/leaf_scattering.h"
#include "core/optical_media.h"
#include "core/parallel.h"
#include "core/pcg32.h"
#include "core/periodic.h"
#include "core/radiometry.h"
#include "core/scattering.h"
#include "core/sensor.h"
#include "embree/illumination.h"
#include "embree/optical_media.h"

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
  // Optical turbid media (empty table: the surface-only sample runs).
  const OpticalMediaTable* media = nullptr;
  std::vector<LeafOptics> leaf_optics;  // per medium, from its boundary material
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

// Seeds the pixel's stream (the same for every thread count) and makes the prepared camera
// ray; false when the sensor gives no ray for the pixel. Clears the sample's scratch.
bool start_sample(const BackwardContext& c, int x, int y, int s, SampleScratch& sc, Pcg32& rng,
                  float3& o, float3& d) {
  rng.seed(static_cast<uint64_t>(c.width) * static_cast<uint64_t>(y) + static_cast<uint64_t>(x) +
               1000003ull * static_cast<uint64_t>(s),
           1ull + 7919ull * static_cast<uint64_t>(s));
  const float jx = rng.uniform();
  const float jy = rng.uniform();
  if (!sensor::generate_primary_ray(c.sensor, x, y, jx, jy, o, d)) return false;
  if (c.sensor.type == 0 && c.scene->description().terrain_following()) ++sc.rays.camera;
  o = prepare_camera_ray(*c.scene, c.sensor.type, o, d);
  std::fill(sc.throughput.begin(), sc.throughput.end(), 1.0);
  std::fill(sc.radiance.begin(), sc.radiance.end(), 0.0);
  std::fill(sc.events.begin(), sc.events.end(), 0.0);
  std::fill(sc.orders.begin(), sc.orders.end(), 0.0);
  return true;
}

// A path leaving the scene along d after k bounces: the sun when a camera ray looks straight at
// it (optical mode), else the sky (not in SIF-only mode).
void add_escape(const BackwardContext& c, SampleScratch& sc, const float3& d, int k, int slot) {
  const int nb = c.n_bands;
  if (k == 0 && c.mode == TransportMode::Optical && c.sun_irradiance != nullptr &&
      sun_seen(c.sun_dir, d)) {
    for (int b = 0; b < nb; ++b) {
      const double l = static_cast<double>(c.sun_irradiance[b]) / kSolarDiskSolidAngle;
      add_contribution(c, sc, b, l * sc.throughput[b], OpticalEvent::Outside, slot);
    }
  } else if (c.mode != TransportMode::SifOnly) {
    for (int b = 0; b < nb; ++b) {
      const float l = tesk::sky_radiance(c.sky, c.spectral, nb, d, b);
      if (l != 0.0f) add_contribution(c, sc, b, l * sc.throughput[b], OpticalEvent::Outside, slot);
    }
  }
}

// Emission and sunlight at a surface hit, by transport mode: SIF-only adds the primitive's SIF,
// thermal its Planck emission, optical the sun by next-event estimation. `sun_transmittance`
// maps the offset shadow-ray origin to the transmittance toward the sun (0 or 1 without
// media); it is called only when the sun would add something.
template <typename SunTransmittance>
void surface_emission_and_sun(const BackwardContext& c, SampleScratch& sc, const HitRecord& h,
                              const MaterialRecord& mat, const ShadingFrame& frame,
                              const float3& wo, int slot, SunTransmittance&& sun_transmittance) {
  const int nb = c.n_bands;
  const int p = h.global_primitive_id;
  if (c.mode == TransportMode::SifOnly) {
    if (c.sif != nullptr && p >= 0 && p < c.n_primitives) {
      for (int b = 0; b < nb; ++b) {
        const double e = c.sif[static_cast<size_t>(b) * c.n_primitives + p];
        add_contribution(c, sc, b, e * sc.throughput[b], OpticalEvent::Emission, slot);
      }
    }
  } else if (c.mode == TransportMode::Thermal) {
    const float T = emission_temperature(c, mat, p, h.position, h.geometric_normal, sc);
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
            add_contribution(c, sc, b, l, OpticalEvent::SunScattered, slot);
          }
        }
      }
    }
  }
}

// Draws the scattered direction at a surface (three uniforms, handed to the sampler in
// reverse; `banded` picks the band-averaged sampler) and updates the throughput. Returns
// false when the path ends there; otherwise `d_out` is the new world direction.
bool scatter_at_surface(const BackwardContext& c, SampleScratch& sc, const HitRecord& h,
                        const MaterialRecord& mat, const ShadingFrame& frame, const float3& wo,
                        Pcg32& rng, bool banded, float3& d_out) {
  const int nb = c.n_bands;
  const float u1 = rng.uniform();
  const float u2 = rng.uniform();
  const float u3 = rng.uniform();
  const float u[3] = {u3, u2, u1};
  const ScatterSample smp = banded
                                ? sample_scattering_banded(mat, c.spectral, nb, h.is_back_face, u)
                                : sample_scattering(mat, u);
  if (!(smp.pdf >= 1e-8f) || std::fabs(smp.wi.z) == 0.0f) return false;
  const double weight = static_cast<double>(std::fabs(smp.wi.z)) / smp.pdf;
  const bool thermal = c.mode == TransportMode::Thermal;
  bool alive = false;
  for (int b = 0; b < nb; ++b) {
    const float f = eval_scattering(mat.type, mat.spectral_offset, b, wo, smp.wi, c.spectral, nb,
                                    h.is_back_face, thermal);
    sc.throughput[b] *= static_cast<double>(f) * weight;
    alive = alive || sc.throughput[b] > 1e-6;
  }
  if (!alive) return false;
  d_out = normalize(frame.to_world(smp.wi));
  return true;
}

// Russian roulette from bounce rr_depth on: survive with q = min(0.95, max throughput) and
// divide by q. Returns false when the path ends.
bool roulette(const BackwardContext& c, SampleScratch& sc, int k, Pcg32& rng) {
  if (k < c.rr_depth) return true;
  double max_t = 0.0;
  for (int b = 0; b < c.n_bands; ++b) max_t = std::max(max_t, sc.throughput[b]);
  const double q = std::min(0.95, max_t);
  if (rng.uniform() >= q) return false;
  for (int b = 0; b < c.n_bands; ++b) sc.throughput[b] /= q;
  return true;
}

// One sample of pixel (x, y) in pass s; leaves the sample's radiance and splits in `sc`.
// Returns false when the camera ray is invalid (the sample then adds nothing).
bool trace_sample(const BackwardContext& c, int x, int y, int s, SampleScratch& sc) {
  Pcg32 rng;
  float3 o;
  float3 d;
  if (!start_sample(c, x, y, s, sc, rng, o, d)) return false;
  if (c.max_depth < 1) return true;

  const int last_order_slot = c.order_slots - 1;
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
      add_escape(c, sc, d, k, std::min(hits, last_order_slot));
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
    const int slot = std::min(hits, last_order_slot);

    surface_emission_and_sun(c, sc, h, mat, frame, wo, slot, [&](const float3& origin) {
      ++sc.rays.shadow;
      return occluded_periodic(*c.scene, origin, c.sun_dir) ? 0.0 : 1.0;
    });
    float3 wi_world;
    if (!scatter_at_surface(c, sc, h, mat, frame, wo, rng, false, wi_world)) return true;
    if (!roulette(c, sc, k, rng)) return true;
    d = wi_world;
    o = offset_ray_origin(P, ng, d);
    ++k;
    if (k >= c.max_depth) return true;
  }
}

// ---- the turbid-aware sample ------------------------------------------------------------------
//
// Scenes with optical turbid media run this variant. A path carries the set of media that
// contain its current point (found for the camera ray by the containment query) and advances
// with the combined free-path step: surfaces, medium boundaries, tile walls and leaf
// interactions inside the active media compete, the free path being exponential in the summed
// extinction, so the attenuation inside media is sampled rather than weighted.
//  - Boundary: the medium is entered or left (its triangles are not surfaces).
//  - Surface: as in the surface-only sample, but with the band-averaged sampler and the sun
//    attenuated by every medium on the shadow ray.
//  - Leaf: a leaf normal is drawn from the medium's inclination distribution weighted by the
//    projected area toward the path (core/leaf_scattering.h); the sun is added by next-event
//    estimation with the leaf's bi-Lambertian response (rho/pi on the side the path came from,
//    tau/pi through the leaf, optics of the medium's boundary material), event slot 1; the path
//    then reflects or transmits, its throughput multiplied by rho_b/p or tau_b/(1 - p).
// The sun's transmittance from a point inside media combines Beer's law along the whole
// source path with the hotspot correction per medium: for each medium the point lies in, the
// source path's length and optical depth inside it and the length of the path's current
// straight segment inside it enter `hotspot_transmittance`. Leaves inside media do not emit
// (thermal and SIF-only modes add only surface emission).

// The media around the path's current point, with the length of the current straight segment
// travelled inside each (the observation distance of the hotspot correction).
struct PathMedia {
  ActiveMediumSet set;
  float observed[kMaxActiveMedia] = {};

  void advance(float distance) {
    for (int32_t i = 0; i < set.count; ++i) observed[i] += distance;
  }
  void new_segment() { std::fill(observed, observed + kMaxActiveMedia, 0.0f); }
  // Enters or leaves medium `m` of `instance` at a boundary hit.
  void cross_boundary(int32_t m, int32_t instance, bool leaving) {
    for (int32_t i = 0; i < set.count; ++i) {
      if (set.medium_ids[i] == m && set.instance_ids[i] == instance) {
        if (leaving) {
          for (int32_t j = i + 1; j < set.count; ++j) {
            set.medium_ids[j - 1] = set.medium_ids[j];
            set.instance_ids[j - 1] = set.instance_ids[j];
            observed[j - 1] = observed[j];
          }
          --set.count;
        }
        return;
      }
    }
    if (!leaving && set.count < kMaxActiveMedia) {
      set.medium_ids[set.count] = m;
      set.instance_ids[set.count] = instance;
      observed[set.count] = 0.0f;
      ++set.count;
    }
  }
};

// Whether a boundary hit leaves the medium: the back of outward-facing triangles or the front
// of inward-facing ones.
bool leaves_medium(const OpticalMediaTable& media, int32_t m, const HitRecord& h) {
  return media.media[m].orientation == (h.is_back_face ? 1 : -1);
}

int32_t boundary_medium(const OpticalMediaTable& media, int32_t material_id) {
  if (material_id < 0 || material_id >= static_cast<int32_t>(media.material_medium_ids.size())) {
    return -1;
  }
  const int32_t m = media.material_medium_ids[material_id];
  return m >= 0 && m < static_cast<int32_t>(media.media.size()) ? m : -1;
}

// Transmittance toward the sun from `origin`, which lies in the media of `path`, reached along
// the view direction `toward_viewer`: 0 when a surface blocks the sun, else Beer's law over the
// whole source path with the hotspot correction for the media around the origin.
double sun_transmittance_through_media(const BackwardContext& c, float3 origin,
                                       const PathMedia& path, const float3& toward_viewer,
                                       RenderRayCounts& rays) {
  const OpticalMediaTable& media = *c.media;
  const float3 s = c.sun_dir;
  PathMedia cur = path;
  float a[kMaxActiveMedia] = {};    // source path length inside each starting medium
  float tau[kMaxActiveMedia] = {};  // and its optical depth there
  bool open[kMaxActiveMedia] = {};  // still inside it along the source path
  for (int32_t i = 0; i < path.set.count; ++i) open[i] = true;
  double tau_total = 0.0;
  int crossings = 0;
  constexpr int kMaxSteps = 256;
  for (int step = 0; step < kMaxSteps; ++step) {
    const HitRecord h = c.scene->trace_ray(origin, s, kTMin, kTMax);
    ++rays.shadow;
    const bool may_cross =
        c.periodic && crossings < c.num_repetitions && !(origin.z > c.z_top && s.z >= 0.0f);
    const TileExit exit = may_cross ? cross_tile(origin, s, c.tile_x, c.tile_y) : TileExit{};
    const int32_t b = h.hit ? boundary_medium(media, h.material_id) : -1;
    const bool crossing =
        exit.axis >= 0 && (!h.hit || h.t > exit.t || (b >= 0 && h.t + 0.0005f >= exit.t));
    const float seg = crossing ? (h.hit ? std::fmin(h.t, exit.t) : exit.t) : (h.hit ? h.t : 0.0f);
    for (int32_t i = 0; i < cur.set.count; ++i) {
      const int32_t m = cur.set.medium_ids[i];
      const double t = static_cast<double>(medium_extinction(media.media[m], s)) * seg;
      tau_total += t;
      for (int32_t j = 0; j < path.set.count; ++j) {
        if (open[j] && path.set.medium_ids[j] == m &&
            path.set.instance_ids[j] == cur.set.instance_ids[i]) {
          a[j] += seg;
          tau[j] += static_cast<float>(t);
        }
      }
    }
    if (crossing) {
      origin = wrap_at_exit(origin, s, exit, c.tile_x, c.tile_y);
      ++crossings;
      continue;
    }
    if (!h.hit) break;
    if (b < 0) return 0.0;  // an opaque surface or a leaf surface shades the point
    const bool leaving = leaves_medium(media, b, h);
    if (leaving) {
      for (int32_t j = 0; j < path.set.count; ++j) {
        if (path.set.medium_ids[j] == b && path.set.instance_ids[j] == h.instance_id) {
          open[j] = false;
        }
      }
    }
    cur.cross_boundary(b, h.instance_id, leaving);
    origin = h.position;
  }
  double t = 1.0;
  double correlated = 0.0;
  for (int32_t j = 0; j < path.set.count; ++j) {
    const int32_t m = path.set.medium_ids[j];
    if (a[j] > 0.0f && tau[j] > 0.0f) {
      t *= hotspot_transmittance(media.media[m], tau[j], a[j], path.observed[j], s, toward_viewer);
      correlated += tau[j];
    }
  }
  return t * std::exp(-std::max(tau_total - correlated, 0.0));
}

bool trace_sample_media(const BackwardContext& c, int x, int y, int s, SampleScratch& sc) {
  Pcg32 rng;
  float3 o;
  float3 d;
  if (!start_sample(c, x, y, s, sc, rng, o, d)) return false;
  if (c.max_depth < 1) return true;

  const OpticalMediaTable& media = *c.media;
  const int nb = c.n_bands;
  const int last_order_slot = c.order_slots - 1;
  PathMedia path;
  path.set = active_optical_media(*c.scene, o, d);
  int hits = 0;
  int k = 0;
  int crossings = 0;
  // Boundary crossings do not count as bounces; this bounds them should geometry trap a path.
  constexpr int kMaxSteps = 4096;
  for (int step = 0; step < kMaxSteps; ++step) {
    const MediumTraceEvent ev = trace_media_step(*c.scene, o, d, path.set, crossings, rng);
    ++(k == 0 ? sc.rays.camera : sc.rays.bounce);
    const auto kind = static_cast<MediumEventKind>(ev.kind);
    if (kind == MediumEventKind::Escape) {
      add_escape(c, sc, d, k, std::min(hits, last_order_slot));
      return true;
    }
    path.advance(ev.distance);
    if (kind == MediumEventKind::TileCrossing) {
      o = wrap_at_exit(o, d, ev.exit, c.tile_x, c.tile_y);
      ++crossings;
      continue;
    }
    if (kind == MediumEventKind::MediumBoundary) {
      path.cross_boundary(ev.medium_id, ev.instance_id, leaves_medium(media, ev.medium_id, ev.hit));
      o = ev.position;
      continue;
    }

    ++hits;
    const int slot = std::min(hits, last_order_slot);
    const float3 toward_viewer = -d;
    if (kind == MediumEventKind::Surface) {
      const HitRecord& h = ev.hit;
      if (h.material_id < 0 || h.material_id >= c.n_materials) return true;
      const MaterialRecord& mat = c.materials[h.material_id];
      const ShadingFrame frame = ShadingFrame::from_normal(h.normal);
      const float3 wo = frame.to_local(-d);
      surface_emission_and_sun(c, sc, h, mat, frame, wo, slot, [&](const float3& origin) {
        return sun_transmittance_through_media(c, origin, path, toward_viewer, sc.rays);
      });
      float3 wi_world;
      if (!scatter_at_surface(c, sc, h, mat, frame, wo, rng, true, wi_world)) return true;
      d = wi_world;
      o = offset_ray_origin(h.position, h.geometric_normal, d);
    } else {  // a leaf inside medium ev.medium_id
      const int32_t m = ev.medium_id;
      const LeafOptics& optics = c.leaf_optics[m];
      const LeafHit leaf = sample_leaf_normal(media.media[m].leaf_angle_type, d, rng);
      if (c.mode == TransportMode::Optical && c.sun_irradiance != nullptr) {
        const double cos_s = std::fabs(dot(leaf.facing, c.sun_dir));
        bool any = false;
        for (int b = 0; b < nb; ++b) {
          sc.response[b] = leaf_response(optics, b, leaf, c.sun_dir);
          any = any || sc.response[b] * c.sun_irradiance[b] != 0.0f;
        }
        if (any && cos_s > 0.0) {
          const double t =
              sun_transmittance_through_media(c, ev.position, path, toward_viewer, sc.rays);
          if (t > 0.0) {
            for (int b = 0; b < nb; ++b) {
              const double l = static_cast<double>(sc.response[b]) * sc.throughput[b] *
                               c.sun_irradiance[b] * cos_s * t;
              add_contribution(c, sc, b, l, OpticalEvent::TurbidMedium, slot);
            }
          }
        }
      }
      const LeafMeans means = leaf_band_means(optics, nb, leaf.back_face);
      const float u1 = rng.uniform();
      const float u2 = rng.uniform();
      const float u3 = rng.uniform();
      const float u[3] = {u3, u2, u1};
      const LeafScatter scatter = scatter_at_leaf(leaf.facing, means.rho, means.tau, u);
      if (!scatter.valid) return true;
      bool alive = false;
      for (int b = 0; b < nb; ++b) {
        sc.throughput[b] *= leaf_scatter_weight(optics, b, leaf.back_face, scatter);
        alive = alive || sc.throughput[b] > 1e-6;
      }
      if (!alive) return true;
      d = scatter.direction;
      o = ev.position;
    }
    path.new_segment();
    if (!roulette(c, sc, k, rng)) return true;
    ++k;
    if (k >= c.max_depth) return true;
  }
  return true;
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
  const OpticalMediaTable& media = scene.optical_media();
  if (!media.media.empty()) {
    c.media = &media;
    for (const OpticalMediumRecord& m : media.media) {
      const bool known = m.boundary_material >= 0 && m.boundary_material < c.n_materials;
      c.leaf_optics.push_back(
          known ? medium_leaf_optics(c.materials[m.boundary_material], c.spectral, c.n_bands)
                : LeafOptics{});
    }
  }
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
                const bool valid = ctx.media != nullptr ? trace_sample_media(ctx, x, y, s, scratch)
                                                        : trace_sample(ctx, x, y, s, scratch);
                if (valid) accumulate(ctx, scratch, x, y, acc);
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
