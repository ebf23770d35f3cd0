#include "embree/backward_integrator.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <new>
#include <stdexcept>

#include "core/frame.h"
#include "core/host/parallel.h"
#include "core/illumination.h"
#include "core/leaf_emission.h"
#include "core/leaf_scattering.h"
#include "core/periodic.h"
#include "core/radiometry.h"
#include "core/random_streams.h"
#include "core/scattering.h"
#include "core/sensor.h"
#include "core/transport_constants.h"
#include "embree/illumination.h"
#include "embree/media_walk.h"
#include "embree/resident_leaf_sources.h"

namespace tesk::embree {
namespace {

using namespace tesk::transport;

constexpr int kEventSlots = kOpticalEventSlots;
// Pixels of one chunk of the image loop (whole rows, at least one).
constexpr int kChunkPixels = 4096;

// A render: the resolved scene plus the sensor and what the request asks for.
struct ImageRun {
  const TransportContext* c = nullptr;
  SensorData sensor{};
  int width = 0;
  int height = 0;
  bool want_se = false;
  bool want_events = false;
  bool want_orders = false;
  int order_slots = 0;
  size_t n_elements = 0;         // W * H * n_bands
  ResidentLeafSources resident;  // leaf sources of resident turbid domains (emission modes)
};

// One sample's running state; allocated once per partial and refilled for every sample.
struct SampleScratch {
  std::vector<double> throughput;
  std::vector<double> radiance;
  std::vector<double> events;   // [4][n_bands] when requested
  std::vector<double> orders;   // [order_slots][n_bands] when requested
  std::vector<float> response;  // per-band scattering response toward the sun
  RenderRayCounts rays;
  int n_bands = 0;
  bool want_events = false;
  bool want_orders = false;

  explicit SampleScratch(const ImageRun& r)
      : throughput(r.c->n_bands),
        radiance(r.c->n_bands),
        events(r.want_events ? kEventSlots * r.c->n_bands : 0),
        orders(r.want_orders ? static_cast<size_t>(r.order_slots) * r.c->n_bands : 0),
        response(r.c->n_bands),
        n_bands(r.c->n_bands),
        want_events(r.want_events),
        want_orders(r.want_orders) {}

  // Adds a contribution to band b of the radiance and of the requested splits.
  void add(int b, double value, OpticalEvent event, int order_slot) {
    radiance[b] += value;
    if (want_events) events[static_cast<int>(event) * n_bands + b] += value;
    if (want_orders) orders[order_slot * n_bands + b] += value;
  }
  // Clears the sample's running state.
  void clear() {
    std::fill(throughput.begin(), throughput.end(), 1.0);
    std::fill(radiance.begin(), radiance.end(), 0.0);
    std::fill(events.begin(), events.end(), 0.0);
    std::fill(orders.begin(), orders.end(), 0.0);
  }
};

size_t checked_mul(size_t a, size_t b) {
  size_t r = 0;
  if (__builtin_mul_overflow(a, b, &r)) throw std::bad_alloc();
  return r;
}

// Starts the pixel's stream (the same for every thread count) and makes the prepared camera
// ray; false when the sensor gives no ray for the pixel.
bool camera_ray(const ImageRun& r, int x, int y, int s, RenderRayCounts& rays, Pcg32& rng,
                float3& o, float3& d) {
  return start_camera_ray(*r.c, EmbreeTracer{r.c->scene}, r.sensor, r.width, r.height, x, y, s,
                          rays, rng, o, d);
}

// The path of a started sample in a scene without media (core/surface_path.h) on the CPU scene.
void trace_path(const ImageRun& r, Pcg32& rng, float3 o, float3 d, SampleScratch& sc,
                const FirstHit* first = nullptr) {
  trace_surface_path(*r.c, EmbreeTracer{r.c->scene}, r.order_slots, rng, o, d, sc, first);
}

// ---- the turbid-aware sample ------------------------------------------------------------------
//
// Scenes with optical turbid media run this variant. A path carries the set of media that
// contain its current point (found for the camera ray by the containment query) and advances
// with the combined free-path step of the media walker: surfaces, medium boundaries, tile walls
// and leaf interactions inside the active media compete, the free path being exponential in
// the summed extinction, so the attenuation inside media is sampled rather than weighted.
//  - Boundary: the medium is entered or left (its triangles are not surfaces).
//  - Tile wall: the path continues in the neighbouring copy, with the media found there.
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
// straight segment inside it enter `hotspot_transmittance`.
// In thermal and SIF-only modes a leaf emits at the collision (event slot 3, like surface
// emission): the collision estimator of the radiance the leaves emit along the path is the
// radiance of the leaf hit (core/leaf_emission.h). A medium whose instance carries a resident
// turbid domain with an observation source of the render's kind (thermal or fluorescence, its
// bands checked against the render's before transport) emits the source's per-band radiance of
// the face seen at the collision and leaf orientation, emissivity included. Otherwise thermal
// leaves emit eps * B(T): in a medium whose instance carries a resident turbid domain with a
// leaf-temperature field of an energy balance, the leaves emit the expectation over the sunlit and
// shaded conditions of the field's cell and orientation bin at the collision, eps (f B(T_sunlit) +
// (1 - f) B(T_shaded)) with f the bin's sunlit leaf-area fraction and T_sunlit, T_shaded its mean
// temperatures of each condition (the rule of the per-instance thermal state), eps the instance's
// emissivity when its thermal state is set, else Kirchhoff's 1 - rho - tau of the leaf optics;
// otherwise the same expectation over the instance's thermal state. Resident lookups never fall
// back to another orientation or to the per-instance state: a collision they cannot serve fails.
// Fluorescing leaves emit M / pi from the face that is seen, M the SIF exitance of the instance's
// source field at the collision and leaf normal.

// Emission of the leaf `leaf` of medium `model` hit at `position` inside the medium carried by
// instance `instance`, in thermal and SIF-only modes.
void leaf_emission(const ImageRun& r, SampleScratch& sc, const MediumLeafModel& model,
                   int32_t instance, const float3& position, const LeafHit& leaf, int slot) {
  const TransportContext& c = *r.c;
  const int nb = c.n_bands;
  const ResidentLeafSource& resident = r.resident.at(instance);
  if (has_resident_source(resident) && resident.kind != ResidentLeafSource::Kind::Field) {
    // An observation source, or a resident domain whose sources cannot serve this render
    // (the lookup raises the reason).
    for (int b = 0; b < nb; ++b) {
      const double e = resident_leaf_radiance(resident, position, leaf.normal, leaf.back_face, b);
      if (e != 0.0) sc.add(b, e * sc.throughput[b], OpticalEvent::Emission, slot);
    }
    return;
  }
  if (c.mode == TransportMode::Thermal) {
    const LeafThermalView& th = c.leaf_thermal;
    const bool has_state = instance >= 0 && instance < th.n_instances;
    if (resident.kind == ResidentLeafSource::Kind::Field) {
      const turbid::TurbidSourceSplit t =
          resident_leaf_temperatures(resident, position, leaf.normal);
      for (int b = 0; b < nb; ++b) {
        const float lambda = b < c.n_wavelengths ? c.wavelengths[b] : 0.0f;
        const float eps =
            has_state ? th.emissivity[instance] : leaf_kirchhoff_emissivity(model.optics, b);
        const double e = leaf_thermal_radiance(lambda, static_cast<float>(t.sunlit_mean),
                                               static_cast<float>(t.shaded_mean),
                                               static_cast<float>(t.sunlit_fraction), eps);
        if (e != 0.0) {
          sc.add(b, e * sc.throughput[b], OpticalEvent::Emission, slot);
        }
      }
      return;
    }
    if (!has_state) return;
    for (int b = 0; b < nb; ++b) {
      const float lambda = b < c.n_wavelengths ? c.wavelengths[b] : 0.0f;
      const double e = leaf_thermal_radiance(lambda, th.t_sunlit[instance], th.t_shaded[instance],
                                             th.sunlit_fraction[instance], th.emissivity[instance]);
      if (e != 0.0) sc.add(b, e * sc.throughput[b], OpticalEvent::Emission, slot);
    }
  } else if (c.mode == TransportMode::SifOnly) {
    for (int b = 0; b < nb; ++b) {
      const double m = sif_source_exitance(c.leaf_sif, instance, position, leaf.normal, b);
      if (m != 0.0) {
        sc.add(b, m * kInvPi * sc.throughput[b], OpticalEvent::Emission, slot);
      }
    }
  }
}

// Transmittance toward the sun from `origin`, which lies in the media of `path`, reached along
// the view direction `toward_viewer`: 0 when a surface blocks the sun, else Beer's law over the
// whole source path with the hotspot correction for the media around the origin.
double sun_transmittance(const TransportContext& c, const float3& origin, const PathMedia& path,
                         const float3& toward_viewer, RenderRayCounts& rays) {
  SourcePathInMedia source;
  const MediaTransmittance walk =
      walk_transmittance(c, origin, c.sun_dir, path.set, 0, &source, rays.shadow);
  if (walk.blocked) return 0.0;
  double t = 1.0;
  double correlated = 0.0;
  for (int32_t j = 0; j < path.set.count; ++j) {
    const int32_t m = path.set.medium_ids[j];
    if (source.length[j] > 0.0f && source.depth[j] > 0.0f) {
      t *= hotspot_transmittance(c.media.media[m], source.depth[j], source.length[j],
                                 path.observed[j], c.sun_dir, toward_viewer);
      correlated += source.depth[j];
    }
  }
  return t * std::exp(-std::max(walk.optical_depth - correlated, 0.0));
}

// The same in a scene with media.
void trace_path_media(const ImageRun& r, Pcg32& rng, float3 o, float3 d, SampleScratch& sc) {
  const TransportContext& c = *r.c;
  const int nb = c.n_bands;
  const int last_order_slot = r.order_slots - 1;
  PathMedia path;
  path.set = active_optical_media(*c.scene, o, d);
  int hits = 0;
  int k = 0;
  int crossings = 0;
  for (int step = 0; step < kMaxPathSteps; ++step) {
    const MediumTraceEvent ev = media_step(c, o, d, path.set, crossings, rng);
    ++(k == 0 ? sc.rays.camera : sc.rays.bounce);
    if (ev.kind == MediumEventKind::Escape) {
      add_escape(c, sc, d, k, std::min(hits, last_order_slot));
      return;
    }
    path.advance(ev.distance);
    if (ev.kind == MediumEventKind::TileCrossing) {
      o = wrap_path(c, o, d, ev.exit, path, sc.rays.bounce);
      ++crossings;
      continue;
    }
    if (ev.kind == MediumEventKind::MediumBoundary) {
      cross_medium_boundary(c.media, path, ev.medium_id, ev.instance_id, ev.hit.is_back_face);
      o = offset_ray_origin(ev.hit.position, ev.hit.geometric_normal, d);
      continue;
    }

    ++hits;
    const int slot = std::min(hits, last_order_slot);
    const float3 toward_viewer = -d;
    if (ev.kind == MediumEventKind::Surface) {
      const HitRecord& h = ev.hit;
      const MaterialRecord* mat = c.material(h.material_id);
      if (mat == nullptr) return;
      const ShadingFrame frame = ShadingFrame::from_normal(h.normal);
      const float3 wo = frame.to_local(-d);
      surface_emission_and_sun(c, EmbreeTracer{c.scene}, sc, h, *mat, frame, wo, slot,
                               [&](const float3& origin) {
                                 return sun_transmittance(c, origin, path, toward_viewer, sc.rays);
                               });
      float3 wi_world;
      if (!scatter_at_surface(c, sc, h, *mat, frame, wo, rng, true, wi_world)) return;
      d = wi_world;
      o = offset_ray_origin(h.position, h.geometric_normal, d);
    } else {  // a leaf inside medium ev.medium_id
      const MediumLeafModel& model = c.leaf_models[ev.medium_id];
      const LeafHit leaf = sample_leaf_normal(model.leaf_angle_type, d, rng);
      leaf_emission(r, sc, model, ev.instance_id, ev.position, leaf, slot);
      if (c.mode == TransportMode::Optical && c.sun_irradiance != nullptr) {
        const double cos_s = std::fabs(dot(leaf.facing, c.sun_dir));
        bool any = false;
        for (int b = 0; b < nb; ++b) {
          sc.response[b] = leaf_response(model.optics, b, leaf, c.sun_dir);
          any = any || sc.response[b] * c.sun_irradiance[b] != 0.0f;
        }
        if (any && cos_s > 0.0) {
          const double t = sun_transmittance(c, ev.position, path, toward_viewer, sc.rays);
          if (t > 0.0) {
            for (int b = 0; b < nb; ++b) {
              const double l = static_cast<double>(sc.response[b]) * sc.throughput[b] *
                               c.sun_irradiance[b] * cos_s * t;
              sc.add(b, l, OpticalEvent::TurbidMedium, slot);
            }
          }
        }
      }
      const LeafMeans& means = model.means[leaf.back_face ? 1 : 0];
      const float u1 = rng.uniform();
      const float u2 = rng.uniform();
      const float u3 = rng.uniform();
      const float u[3] = {u3, u2, u1};
      const LeafScatter scatter = scatter_at_leaf(leaf.facing, means.rho, means.tau, u);
      if (!scatter.valid) return;
      bool alive = false;
      for (int b = 0; b < nb; ++b) {
        sc.throughput[b] *= leaf_scatter_weight(model.optics, b, leaf.back_face, scatter);
        alive = alive || sc.throughput[b] > kMinThroughput;
      }
      if (!alive) return;
      d = scatter.direction;
      o = ev.position;
    }
    path.new_segment();
    if (!roulette(c, sc, k, rng)) return;
    ++k;
    if (k >= c.max_depth) return;
  }
}

// One sample of pixel (x, y) in pass s; leaves its radiance and splits in `sc`. Returns false
// when the camera ray is invalid (the sample then adds nothing).
bool sample_pixel(const ImageRun& r, int x, int y, int s, SampleScratch& sc) {
  Pcg32 rng;
  float3 o;
  float3 d;
  if (!camera_ray(r, x, y, s, sc.rays, rng, o, d)) return false;
  sc.clear();
  if (r.c->max_depth < 1) return true;
  if (r.c->has_media()) {
    trace_path_media(r, rng, o, d, sc);
  } else {
    trace_path(r, rng, o, d, sc);
  }
  return true;
}

// Whether the sun is tested by a shadow ray from a path's first surface: the condition of
// surface_emission_and_sun in optical mode (the response check aside), so a packet can trace
// the rays ahead of the paths.
bool sun_test_ahead(const TransportContext& c, const HitRecord& h, float3& origin) {
  if (!h.hit || c.mode != TransportMode::Optical || c.sun_irradiance == nullptr) return false;
  const MaterialRecord* mat = c.material(h.material_id);
  if (mat == nullptr) return false;
  const ShadingFrame frame = ShadingFrame::from_normal(h.normal);
  const float3 wi = frame.to_local(c.sun_dir);
  if (!((wi.z > 0.0f || mat->type == MaterialType::DiffuseTransmitting) &&
        std::fabs(wi.z) > 0.0f)) {
    return false;
  }
  origin = offset_ray_origin(h.position, h.geometric_normal, c.sun_dir);
  return true;
}

// Samples of up to kPacketWidth neighbouring pixels of one pass in a scene without media: the
// camera rays are traced as one packet, then the shadow rays toward the sun from the surfaces
// they hit as another, and each path goes on alone from there with its own stream. `done(i)`
// is called after lane i's sample, which `sc` then holds; lanes without a camera ray are
// skipped.
template <typename Done>
void sample_packet(const ImageRun& r, const int* xs, const int* ys, int count, int s,
                   SampleScratch& sc, Done&& done) {
  const TransportContext& c = *r.c;
  Pcg32 rng[kPacketWidth];
  float3 o[kPacketWidth];
  float3 d[kPacketWidth];
  int lane_of[kPacketWidth];  // packet slot -> lane
  int n = 0;
  for (int i = 0; i < count; ++i) {
    if (!camera_ray(r, xs[i], ys[i], s, sc.rays, rng[n], o[n], d[n])) continue;
    lane_of[n++] = i;
  }
  FirstHit first[kPacketWidth];
  HitRecord hits[kPacketWidth];
  if (c.max_depth >= 1) {
    c.scene->trace_ray_packet(o, d, n, kRayTMin, kRayTMax, hits);
    float3 sun_o[kPacketWidth];
    int sun_slot[kPacketWidth];
    int m = 0;
    for (int j = 0; j < n; ++j) {
      first[j].hit = hits[j];
      if (sun_test_ahead(c, hits[j], first[j].sun_origin)) {
        first[j].sun_tested = true;
        sun_o[m] = first[j].sun_origin;
        sun_slot[m++] = j;
      }
    }
    bool blocked[kPacketWidth];
    if (m > 0) occluded_periodic_packet(*c.scene, sun_o, m, c.sun_dir, blocked);
    for (int q = 0; q < m; ++q) first[sun_slot[q]].sun_blocked = blocked[q];
  }
  for (int j = 0; j < n; ++j) {
    sc.clear();
    if (c.max_depth >= 1) trace_path(r, rng[j], o[j], d[j], sc, &first[j]);
    done(lane_of[j]);
  }
}

// The samples of one chunk: whole rows [row0, row0 + rows) of one pass, band-fastest.
struct ChunkPartial {
  std::vector<double> radiance;  // rows * W * n_bands
  std::vector<double> events;    // [4][rows * W * n_bands] when requested
  std::vector<double> orders;    // [order_slots][rows * W * n_bands] when requested
  SampleScratch scratch;
  RenderRayCounts rays;

  ChunkPartial(const ImageRun& r, size_t elements)
      : radiance(elements),
        events(r.want_events ? kEventSlots * elements : 0),
        orders(r.want_orders ? static_cast<size_t>(r.order_slots) * elements : 0),
        scratch(r) {}
};

}  // namespace

int pass_block_size(int spp) {
  return std::max(1, (spp + kMaxPassBlocks - 1) / kMaxPassBlocks);
}

void check_pass_range(const PassRange& range, int spp) {
  if (range.whole()) return;
  const int block = pass_block_size(spp);
  const bool end_ok = range.end == spp || range.end % block == 0;
  if (range.begin < 0 || range.begin >= range.end || range.end > spp || range.begin % block != 0 ||
      !end_ok) {
    throw std::invalid_argument(
        "pass_range must satisfy 0 <= begin < end <= spp with begin and end on fold-block "
        "boundaries (or end = spp)");
  }
}

namespace {

// Per-pixel double sums of every requested product, element-aligned with the image.
struct ImageSums {
  std::vector<double> radiance, squares, events, orders;

  ImageSums(const ImageRun& r, bool allocate)
      : radiance(allocate ? r.n_elements : 0),
        squares(allocate && r.want_se ? r.n_elements : 0),
        events(allocate && r.want_events ? checked_mul(kEventSlots, r.n_elements) : 0),
        orders(allocate && r.want_orders
                   ? checked_mul(static_cast<size_t>(r.order_slots), r.n_elements)
                   : 0) {}
};

}  // namespace

OpticalImageResult integrate_image(const TransportContext& ctx, const SensorData& sensor, int spp,
                                   int n_threads, const backend::OpticalProductRequest& request,
                                   const ProgressCallback& progress,
                                   const InterruptCheck& interrupt, const PassRange& range) {
  ImageRun run;
  run.c = &ctx;
  run.sensor = sensor;
  run.width = std::max(sensor.width, 0);
  run.height = std::max(sensor.height, 0);
  run.want_se = request.standard_error;
  run.want_events = request.event_aov;
  run.want_orders = request.scattering_order;
  if (run.want_orders) {
    if (request.max_output_order < 0) {
      throw std::invalid_argument("max_output_order must be non-negative");
    }
    if (request.max_output_order > INT32_MAX - 2) throw std::bad_alloc();
    run.order_slots = request.max_output_order + 2;
  }
  const int nb = ctx.n_bands;
  if ((ctx.mode == TransportMode::Thermal || ctx.mode == TransportMode::SifOnly) &&
      ctx.has_media()) {
    run.resident = resolve_resident_leaf_sources(*ctx.scene, ctx.mode == TransportMode::Thermal,
                                                 ctx.n_bands, ctx.wavelengths, ctx.n_wavelengths);
  }
  run.n_elements = checked_mul(checked_mul(static_cast<size_t>(run.width), run.height), nb);
  const int passes = std::max(spp, 0);
  check_pass_range(range, passes);
  const int first_pass = range.whole() ? 0 : range.begin;
  const int end_pass = range.whole() ? passes : range.end;
  const int block_size = pass_block_size(passes);
  // Samples go straight into the totals when a block is one pass of a whole render; otherwise
  // into the block sums, which are folded into the totals (or kept, for a range) per block.
  const bool partial_run = !range.whole();
  const bool use_blocks = partial_run || block_size > 1;

  ImageSums totals(run, !partial_run);
  ImageSums block(run, use_blocks);
  ImageSums& target = use_blocks ? block : totals;
  OpticalImageResult result;
  auto& kept = result.partials;
  if (partial_run) {
    kept.first_block = first_pass / block_size;
    kept.n_blocks = (end_pass - first_pass + block_size - 1) / block_size;
    const size_t n = static_cast<size_t>(kept.n_blocks);
    kept.radiance.reserve(checked_mul(n, block.radiance.size()));
    kept.squares.reserve(checked_mul(n, block.squares.size()));
    kept.events.reserve(checked_mul(n, block.events.size()));
    kept.orders.reserve(checked_mul(n, block.orders.size()));
  }

  const int rows = std::clamp(kChunkPixels / std::max(run.width, 1), 1, std::max(run.height, 1));
  const int64_t blocks = run.height > 0 ? (run.height + rows - 1) / rows : 0;
  const int64_t n_chunks = run.width > 0 ? blocks * (end_pass - first_pass) : 0;
  const size_t row_elements = static_cast<size_t>(run.width) * nb;
  const size_t chunk_elements = checked_mul(row_elements, rows);
  const auto start = std::chrono::steady_clock::now();
  RenderRayCounts rays;
  // Neighbouring camera rays go through the packet path; media scenes trace alone.
  const bool packets = ctx.packets && !ctx.has_media();

  const int threads = run_chunks<ChunkPartial>(
      n_chunks, n_threads, interrupt, [&] { return ChunkPartial(run, chunk_elements); },
      [&](int64_t chunk, ChunkPartial& part) {
        const int s = first_pass + static_cast<int>(chunk / blocks);
        const int y0 = static_cast<int>(chunk % blocks) * rows;
        const int y1 = std::min(y0 + rows, run.height);
        SampleScratch& sc = part.scratch;
        sc.rays = RenderRayCounts{};
        std::fill(part.radiance.begin(), part.radiance.end(), 0.0);
        std::fill(part.events.begin(), part.events.end(), 0.0);
        std::fill(part.orders.begin(), part.orders.end(), 0.0);
        // Stores the sample of pixel (x, y) that `sc` holds.
        auto store = [&](int x, int y) {
          const size_t base =
              static_cast<size_t>(y - y0) * row_elements + static_cast<size_t>(x) * nb;
          for (int b = 0; b < nb; ++b) part.radiance[base + b] = sc.radiance[b];
          for (int j = 0; j < (run.want_events ? kEventSlots : 0); ++j) {
            for (int b = 0; b < nb; ++b) {
              part.events[j * chunk_elements + base + b] = sc.events[j * nb + b];
            }
          }
          for (int j = 0; j < (run.want_orders ? run.order_slots : 0); ++j) {
            for (int b = 0; b < nb; ++b) {
              part.orders[j * chunk_elements + base + b] =
                  sc.orders[static_cast<size_t>(j) * nb + b];
            }
          }
        };
        if (!packets) {
          for (int y = y0; y < y1; ++y) {
            for (int x = 0; x < run.width; ++x) {
              if (sample_pixel(run, x, y, s, sc)) store(x, y);
            }
          }
        } else {
          // Tiles of 4 rows by 4 columns (fewer rows at the chunk's end, then wider tiles).
          int xs[kPacketWidth];
          int ys[kPacketWidth];
          for (int ty = y0; ty < y1; ty += 4) {
            const int th = std::min(4, y1 - ty);
            const int tw = kPacketWidth / th;
            for (int tx = 0; tx < run.width; tx += tw) {
              int count = 0;
              for (int y = ty; y < ty + th; ++y) {
                for (int x = tx; x < std::min(tx + tw, run.width); ++x) {
                  xs[count] = x;
                  ys[count++] = y;
                }
              }
              sample_packet(run, xs, ys, count, s, sc, [&](int i) { store(xs[i], ys[i]); });
            }
          }
        }
        part.rays = sc.rays;
      },
      [&](int64_t chunk, ChunkPartial& part) {
        const int y0 = static_cast<int>(chunk % blocks) * rows;
        const int y1 = std::min(y0 + rows, run.height);
        const size_t offset = static_cast<size_t>(y0) * row_elements;
        const size_t count = static_cast<size_t>(y1 - y0) * row_elements;
        for (size_t i = 0; i < count; ++i) {
          const double l = part.radiance[i];
          target.radiance[offset + i] += l;
          if (run.want_se) target.squares[offset + i] += l * l;
        }
        for (int j = 0; j < (run.want_events ? kEventSlots : 0); ++j) {
          for (size_t i = 0; i < count; ++i) {
            target.events[j * run.n_elements + offset + i] += part.events[j * chunk_elements + i];
          }
        }
        for (int j = 0; j < (run.want_orders ? run.order_slots : 0); ++j) {
          for (size_t i = 0; i < count; ++i) {
            target.orders[j * run.n_elements + offset + i] += part.orders[j * chunk_elements + i];
          }
        }
        rays.camera += part.rays.camera;
        rays.bounce += part.rays.bounce;
        rays.shadow += part.rays.shadow;
        if (chunk % blocks != blocks - 1) return;
        // The last chunk of a pass completes the pass, and maybe a fold block.
        const int done = first_pass + static_cast<int>(chunk / blocks) + 1;
        if (use_blocks && (done % block_size == 0 || done == end_pass)) {
          auto fold = [&](std::vector<double>& from, std::vector<double>& sum,
                          std::vector<double>& keep) {
            if (partial_run) {
              keep.insert(keep.end(), from.begin(), from.end());
            } else {
              for (size_t i = 0; i < from.size(); ++i) sum[i] += from[i];
            }
            std::fill(from.begin(), from.end(), 0.0);
          };
          fold(block.radiance, totals.radiance, kept.radiance);
          fold(block.squares, totals.squares, kept.squares);
          fold(block.events, totals.events, kept.events);
          fold(block.orders, totals.orders, kept.orders);
        }
        if (progress) progress(done - first_pass, end_pass - first_pass, elapsed_ms(start));
      });
  result.width = run.width;
  result.height = run.height;
  result.n_bands = nb;
  result.threads = std::max(threads, 1);
  result.order_slots = run.want_orders ? run.order_slots : 0;
  result.rays = rays;
  if (partial_run) return result;

  image_means(passes, request, totals.radiance, totals.squares, totals.events, totals.orders,
              result);
  return result;
}

void image_means(int passes, const backend::OpticalProductRequest& request,
                 const std::vector<double>& radiance, const std::vector<double>& squares,
                 const std::vector<double>& events, const std::vector<double>& orders,
                 OpticalImageResult& result) {
  // Normalise by the full pass count (invalid camera rays count as zero samples).
  auto mean = [&](const std::vector<double>& sums, std::vector<float>& out) {
    out.assign(sums.size(), 0.0f);
    if (passes < 1) return;
    const double n = passes;
    for (size_t i = 0; i < sums.size(); ++i) out[i] = static_cast<float>(sums[i] / n);
  };
  mean(radiance, result.radiance);
  if (request.event_aov) mean(events, result.event_aov);
  if (request.scattering_order) mean(orders, result.scattering_order);
  if (request.standard_error) {
    const size_t n_elements = radiance.size();
    result.standard_error.assign(n_elements, 0.0f);
    if (passes > 1) {
      const double n = passes;
      for (size_t e = 0; e < n_elements; ++e) {
        const double v = (squares[e] - radiance[e] * radiance[e] / n) / (n - 1.0);
        result.standard_error[e] = v >= 0.0 ? static_cast<float>(std::sqrt(v / n)) : 0.0f;
      }
    }
  }
}

}  // namespace tesk::embree
