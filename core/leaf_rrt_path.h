#pragma once

// The leaf reverse ray tracer in a scene of surfaces (no optical turbid media), written once for
// every backend: the light arriving on both sides of a virtual leaf from rays followed backwards
// through surfaces and tile walls to the sky, with the sun added by next-event estimation at
// every scattering event. A template over the tracer (Embree on the CPU, the two-level
// hierarchy on a device or in the host tests); the CPU run takes it for scenes without media,
// whose walks through media then reduce to these steps (embree/turbid_leaf_rrt.cpp). One sample
// writes only its own outputs, so a device runs one thread per sample without atomics.

#include <cmath>
#include <cstdint>

#include "core/bvh_tracer.h"
#include "core/energy_balance.h"
#include "core/frame.h"
#include "core/host_device.h"
#include "core/illumination.h"
#include "core/leaf_scattering.h"
#include "core/pcg32.h"
#include "core/periodic.h"
#include "core/random_streams.h"
#include "core/scene_types.h"
#include "core/surface_path.h"
#include "core/surface_photon.h"
#include "core/transport_constants.h"
#include "core/vec.h"

namespace tesk {

/// Most bands a device leaf RRT carries.
inline constexpr int kMaxDeviceLeafRrtBands = 32;

/// What the leaf RRT of a scene of surfaces reads besides the scene (pointers on the running
/// side; null arrays are absent).
struct LeafRrtInputs {
  int n_bands = 0;                                ///< Bands, > 0.
  int rays_per_sample = 0;                        ///< Rays per sample and side.
  int max_depth = 0;                              ///< Scattering events per ray at most.
  bool thermal_mode = false;                      ///< Surfaces emit and reflect 1 - e only.
  bool has_sun = false;                           ///< Some band of the sun irradiance is positive.
  float3 sun{0.0f, 0.0f, 1.0f};                   ///< Unit vector toward the sun.
  uint64_t seed = 0;                              ///< Mixed into every sample's stream.
  const float* positions = nullptr;               ///< [n][3] sample positions.
  const float* normals = nullptr;                 ///< [n][3] leaf normals (normalised on use).
  const float* sun_irradiance = nullptr;          ///< [n_bands] or null.
  const float* sky_diffuse = nullptr;             ///< [n_bands] isotropic sky, or null.
  SpectralView sky_table{};                       ///< [n_bands][16][32] directional sky, or empty.
  const float* instance_lw = nullptr;             ///< [num_instances] emitted radiance, or null.
  const float* instance_emissivity = nullptr;     ///< [num_instances] emissivity, or null.
  const float* primitive_emissivities = nullptr;  ///< [n_primitive_emissivities], or null.
  int64_t n_primitive_emissivities = 0;           ///< Entries of primitive_emissivities.
};

/// Where one run's results go: band-major [n_bands][n] irradiances and [n] p_sun.
struct LeafRrtOutputs {
  int64_t n = 0;                   ///< Samples of the run.
  float* total_top = nullptr;      ///< Total irradiance on the side the normal points to.
  float* total_bottom = nullptr;   ///< Total irradiance on the other side.
  float* direct_top = nullptr;     ///< Direct sun on the upper side when sunlit.
  float* direct_bottom = nullptr;  ///< The same for the lower side.
  float* p_sun = nullptr;          ///< Probability that the leaf sees the sun.
};

/// Per-ray band scratch of one sample (n_bands values each).
struct LeafRrtBands {
  double* radiance = nullptr;
  double* throughput = nullptr;
  double* side_sum = nullptr;
  float* reflect = nullptr;
  float* transmit = nullptr;
  float* emission = nullptr;
};

/// v clamped to [lo, hi] (NaN stays NaN), as std::clamp.
TESK_HOST_DEVICE inline float leaf_rrt_clamp(float v, float lo, float hi) {
  return v < lo ? lo : (hi < v ? hi : v);
}

/// The leaf RRT of a scene of surfaces over `tracer` (geometric normals throughout).
template <typename Tracer>
struct LeafRrtSurfaceWalk {
  const PathContext* c = nullptr;
  const LeafRrtInputs* in = nullptr;
  Tracer tracer{};

  TESK_HOST_DEVICE float sky(const float3& d, int b) const {
    if (in->sky_table.data != nullptr) {
      return directional_sky_radiance(in->sky_table, 0, in->n_bands, d, b);
    }
    return in->sky_diffuse == nullptr ? 0.0f : in->sky_diffuse[b];
  }

  /// Optics of a surface hit, seen from the side the ray arrived on.
  TESK_HOST_DEVICE void surface_optics(const HitRecord& h, const LeafRrtBands& sc) const {
    const int nb = in->n_bands;
    if (in->thermal_mode) {
      float e = in->instance_emissivity != nullptr && h.instance_id >= 0
                    ? in->instance_emissivity[h.instance_id]
                    : transport::kTurbidDefaultEmissivity;
      if (in->instance_emissivity == nullptr && h.global_primitive_id >= 0 &&
          h.global_primitive_id < in->n_primitive_emissivities) {
        e = in->primitive_emissivities[h.global_primitive_id];
      }
      const float l =
          in->instance_lw != nullptr && h.instance_id >= 0 ? in->instance_lw[h.instance_id] : 0.0f;
      for (int b = 0; b < nb; ++b) {
        sc.reflect[b] = leaf_rrt_clamp(1.0f - e, 0.0f, 1.0f);
        sc.transmit[b] = 0.0f;
        sc.emission[b] = l;
      }
      return;
    }
    const MaterialRecord* m = c->material(h.material_id);
    const LeafOptics o = m != nullptr ? medium_leaf_optics(*m, c->spectral, nb) : LeafOptics{};
    for (int b = 0; b < nb; ++b) {
      const float rho = leaf_rrt_clamp(o.reflectance(b, h.is_back_face), 0.0f, 1.0f);
      sc.reflect[b] = rho;
      sc.transmit[b] = leaf_rrt_clamp(o.transmission(b), 0.0f, 1.0f - rho);
      sc.emission[b] = 0.0f;
    }
  }

  /// One query of a walk from `o` along `d` after `crossings` wall crossings: 0 escape,
  /// 1 surface `hit`, 2 tile crossing (`o` moved across the wall).
  TESK_HOST_DEVICE int step(float3& o, const float3& d, int& crossings, HitRecord& hit) const {
    const TileView& tiles = c->tiles;
    hit = tracer.trace(o, d, transport::kRayTMin, transport::kRayTMax);
    TileExit exit{};
    bool may_cross = false;
    if (tiles.periodic && crossings < tiles.num_repetitions) {
      exit = cross_tile(o, d, tiles.x, tiles.y);
      may_cross = exit.axis >= 0;
    }
    if (may_cross && (!hit.hit || hit.t > exit.t)) {
      o = wrap_at_exit(o, d, exit, tiles.x, tiles.y) + transport::kBoundaryStep * d;
      ++crossings;
      return 2;
    }
    return hit.hit ? 1 : 0;
  }

  /// 1 when nothing blocks the way from `o` along `v` (across tile walls), else 0.
  TESK_HOST_DEVICE double transmittance(float3 o, const float3& v, int crossings,
                                        int64_t& rays) const {
    for (int k = 0; k < transport::kMaxWalkSteps; ++k) {
      nudge_into_tile(c->tiles, o, v);
      if (escapes_upward(c->tiles, o, v)) return 1.0;
      HitRecord hit;
      const int kind = step(o, v, crossings, hit);
      ++rays;
      if (kind == 2) continue;
      return kind == 0 ? 1.0 : 0.0;
    }
    return 0.0;  // a walk that never ends is taken as blocked
  }

  /// Adds to sc.radiance the radiance arriving at `o` from direction -d.
  TESK_HOST_DEVICE void walk(float3 o, float3 d, Pcg32& rng, const LeafRrtBands& sc,
                             int64_t& rays) const {
    using namespace transport;
    const int nb = in->n_bands;
    for (int b = 0; b < nb; ++b) sc.throughput[b] = 1.0;
    int crossings = 0;
    int events = 0;
    for (int k = 0; k < kMaxPathSteps; ++k) {
      nudge_into_tile(c->tiles, o, d);
      if (escapes_upward(c->tiles, o, d)) {
        for (int b = 0; b < nb; ++b) sc.radiance[b] += sc.throughput[b] * sky(d, b);
        return;
      }
      HitRecord hit;
      const int kind = step(o, d, crossings, hit);
      ++rays;
      if (kind == 0) {
        for (int b = 0; b < nb; ++b) sc.radiance[b] += sc.throughput[b] * sky(d, b);
        return;
      }
      if (kind == 2) continue;
      const float3 facing = hit.geometric_normal;
      surface_optics(hit, sc);
      const float3 sun_origin = offset_ray_origin(hit.position, hit.geometric_normal, in->sun);
      double mean_r = 0.0, mean_t = 0.0;
      for (int b = 0; b < nb; ++b) {
        sc.radiance[b] += sc.throughput[b] * sc.emission[b];
        mean_r += sc.reflect[b];
        mean_t += sc.transmit[b];
      }
      mean_r /= nb;
      mean_t /= nb;
      if (in->has_sun) {
        const float cos_sun = dot(facing, in->sun);
        // The sun lights the side the ray arrived on (reflection) or the far side.
        const float* f = cos_sun > 0.0f ? sc.reflect : sc.transmit;
        if (cos_sun != 0.0f && (cos_sun > 0.0f ? mean_r : mean_t) > 0.0) {
          const double t = transmittance(sun_origin, in->sun, crossings, rays);
          if (t >= kMinSunTransmittance) {
            const double kk = t * std::fabs(cos_sun) / 3.14159265358979323846;
            for (int b = 0; b < nb; ++b) {
              sc.radiance[b] += sc.throughput[b] * f[b] * kk * in->sun_irradiance[b];
            }
          }
        }
      }
      if (++events >= in->max_depth) return;
      const double u = rng.uniform();
      if (!(u < mean_r + mean_t)) return;  // absorbed
      const bool reflected = u < mean_r;
      const float* f = reflected ? sc.reflect : sc.transmit;
      const double pick = reflected ? mean_r : mean_t;
      double largest = 0.0;
      for (int b = 0; b < nb; ++b) {
        sc.throughput[b] *= f[b] / pick;
        largest = largest < sc.throughput[b] ? sc.throughput[b] : largest;
      }
      if (largest <= kMinThroughput) return;
      d = sample_cosine_about(reflected ? facing : -facing, rng);
      o = offset_ray_origin(hit.position, hit.geometric_normal, d);
    }
  }

  /// Sample s: p_sun, the direct sun on the side facing it and the totals of both sides.
  /// `keep_going()` is asked before every ray (false: the run is being stopped; the sample is
  /// left unfinished). Returns false when stopped.
  template <typename KeepGoing>
  TESK_HOST_DEVICE bool sample(int64_t s, const LeafRrtBands& sc, const LeafRrtOutputs& out,
                               int64_t& rays, KeepGoing&& keep_going) const {
    using namespace transport;
    const int nb = in->n_bands;
    const int64_t n = out.n;
    const float* x = in->positions + 3 * s;
    const float* nv = in->normals + 3 * s;
    const float3 pos{x[0], x[1], x[2]};
    const float3 normal = normalize(float3{nv[0], nv[1], nv[2]});
    // The stream comes from the sample index and the seed, never from who runs the sample.
    Pcg32 rng = derive_stream(StreamKey::LeafSample, static_cast<uint64_t>(s) ^ in->seed,
                              static_cast<uint64_t>(s) * 1000003ULL + in->seed);
    // The direct sun: the side facing it receives |n.s| E when the leaf is sunlit; the
    // visibility of the sun is the probability that it is.
    const float cos_sun = dot(normal, in->sun);
    const bool upper_lit = cos_sun >= 0.0f;
    double t_sun = 0.0;
    if (cos_sun != 0.0f) {
      const float3 lit_side = upper_lit ? normal : -normal;
      t_sun = transmittance(pos + kBoundaryStep * lit_side, in->sun, 0, rays);
      if (t_sun < kMinSunTransmittance) t_sun = 0.0;
    }
    out.p_sun[s] = static_cast<float>(t_sun);
    float* direct = upper_lit ? out.direct_top : out.direct_bottom;
    const double c_abs = std::fabs(static_cast<double>(cos_sun));
    const double inv_rays = 1.0 / in->rays_per_sample;
    for (int side = 0; side < 2; ++side) {
      const float3 n_side = side == 0 ? normal : -normal;
      for (int b = 0; b < nb; ++b) sc.side_sum[b] = 0.0;
      for (int i = 0; i < in->rays_per_sample; ++i) {
        if (!keep_going()) return false;
        for (int b = 0; b < nb; ++b) sc.radiance[b] = 0.0;
        const float3 d = sample_cosine_about(n_side, rng);
        walk(pos, d, rng, sc, rays);
        for (int b = 0; b < nb; ++b) sc.side_sum[b] += sc.radiance[b];
      }
      float* total = side == 0 ? out.total_top : out.total_bottom;
      const bool lit = (side == 0) == upper_lit;
      for (int b = 0; b < nb; ++b) {
        const int64_t at = b * n + s;
        double value = sc.side_sum[b] * 3.14159265358979323846 * inv_rays;
        if (lit && in->sun_irradiance != nullptr) {
          const double e_dir = c_abs * in->sun_irradiance[b];
          direct[at] = static_cast<float>(e_dir);
          value += e_dir * t_sun;
        }
        total[at] = static_cast<float>(value);
      }
    }
    return true;
  }
};

/// Launch parameters of a device leaf RRT over a scene of surfaces (pointers on the running
/// side). Item i is sample sample_begin + i.
struct LeafRrtLaunchParams {
  PathContext ctx{};                   ///< The resolved scene (geometric normals).
  bvh::BvhSceneView scene{};           ///< The hierarchy the rays trace.
  LeafRrtInputs in{};                  ///< Samples, sun, sky and thermal inputs.
  LeafRrtOutputs out{};                ///< Results of the whole run.
  int64_t sample_begin = 0;            ///< First sample of the launch.
  int64_t sample_end = 0;              ///< One past its last sample.
  unsigned long long* rays = nullptr;  ///< Closest-hit queries issued.
};
static_assert(std::is_trivially_copyable_v<LeafRrtLaunchParams>);

/// Sample `s` of a device leaf RRT launch.
TESK_HOST_DEVICE inline void leaf_rrt_item(const LeafRrtLaunchParams& p, int64_t s) {
  double radiance[kMaxDeviceLeafRrtBands], throughput[kMaxDeviceLeafRrtBands],
      side_sum[kMaxDeviceLeafRrtBands];
  float reflect[kMaxDeviceLeafRrtBands], transmit[kMaxDeviceLeafRrtBands],
      emission[kMaxDeviceLeafRrtBands];
  const LeafRrtBands sc{radiance, throughput, side_sum, reflect, transmit, emission};
  const LeafRrtSurfaceWalk<bvh::BvhTracer> walk{&p.ctx, &p.in, bvh::BvhTracer{p.scene}};
  int64_t rays = 0;
  walk.sample(s, sc, p.out, rays, [] { return true; });
#if defined(__CUDA_ARCH__)
  atomicAdd(p.rays, static_cast<unsigned long long>(rays));
#else
  *p.rays += static_cast<unsigned long long>(rays);
#endif
}

}  // namespace tesk
