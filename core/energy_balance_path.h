#pragma once

// The face samples of the energy-balance workflows, written once for every backend: a
// primitive's top (and bottom) face samples and what each sample ray brings back, templated
// over the tracer of core/surface_path.h (Embree on the CPU, the hierarchy of core/bvh_tracer.h
// on a CUDA device or on the host). The CPU runs a primitive per chunk iteration; the CUDA
// kernel runs one primitive per thread.

#include <cmath>
#include <cstdint>

#include "core/bvh_tracer.h"
#include "core/energy_balance.h"
#include "core/host_device.h"
#include "core/illumination.h"
#include "core/periodic.h"
#include "core/scattering.h"
#include "core/surface_path.h"
#include "core/transport_constants.h"
#include "core/vec.h"

namespace tesk {

/// Queries of one energy-balance run, for throughput figures.
struct EnergyBalanceRayCounts {
  int64_t closest = 0;  ///< Closest-hit queries (each tile wrap counts once more).
  int64_t shadow = 0;   ///< Occlusion queries toward the sun (each tile wrap counts once more).
};

/// World geometry of one primitive as the face samples read it.
struct FaceTriangle {
  float3 v0{};      ///< First vertex (world).
  float3 v1{};      ///< Second vertex (world).
  float3 v2{};      ///< Third vertex (world).
  float3 normal{};  ///< Unit normal along (v1 - v0) x (v2 - v0).
};
TESK_DEVICE_RECORD(FaceTriangle, 48);

/// What an energy-balance run reads and writes (all pointers on the running side). `ctx`
/// supplies the tiling, the materials and the scene's sky; the rest are the run's inputs.
struct EnergyBalanceParams {
  PathContext ctx{};                        ///< Tiles, materials, spectral buffer, sky models.
  bvh::BvhSceneView scene{};                ///< The hierarchy of a device run.
  const FaceTriangle* triangles = nullptr;  ///< [n_primitives] primitive geometry.
  int64_t n_primitives = 0;                 ///< Global primitive count.
  float3 sun_dir{0.0f, 0.0f, 1.0f};         ///< Unit vector toward the sun.
  int32_t n_samples = 1;                    ///< Sample rays per face.
  int32_t faces = 1;                        ///< 1: top faces; 2: top and bottom.
  // Single band.
  int32_t longwave = 0;                 ///< 1: longwave (emission), 0: shortwave.
  float e_sun = 0.0f;                   ///< Sun irradiance (W m^-2), shortwave.
  float sky_sw = 0.0f;                  ///< Diffuse sky radiance, shortwave.
  float sky_lw = 0.0f;                  ///< Sky longwave radiance.
  const float* temperatures = nullptr;  ///< Per-primitive temperature (K), or null.
  int64_t n_temperatures = 0;           ///< Entries of `temperatures`.
  const float* emissivities = nullptr;  ///< Per-primitive emissivity, or null.
  int64_t n_emissivities = 0;           ///< Entries of `emissivities`.
  const float* albedos = nullptr;       ///< [n_primitives] shortwave albedo, or null.
  // Multiband.
  int32_t n_bands = 0;                    ///< Bands of the multiband paths.
  int32_t max_depth = 1;                  ///< Surface interactions of a multiband path.
  const float* sun_irradiance = nullptr;  ///< [n_bands] sun irradiance, or null (no sun).
  const float* sky_diffuse = nullptr;     ///< [n_bands] sky radiance, or null.
  const float* sky_table = nullptr;       ///< [n_bands][16][32] directional sky, or null.
  int64_t sky_table_size = 0;             ///< Entries of `sky_table`.
  BandOptics optics{};                    ///< Band-major surface optics.
  // Results, written by primitive index.
  float* top = nullptr;                ///< [n_primitives] (multiband: [n_bands][n_primitives]).
  float* bot = nullptr;                ///< The same for bottom faces; null unless faces == 2.
  float* sunlit = nullptr;             ///< [n_primitives] sunlit fractions (multiband).
  unsigned long long* rays = nullptr;  ///< [2] closest and shadow queries (device launches).
  int64_t primitive_begin = 0;         ///< First primitive of a device launch.
  int64_t primitive_end = 0;           ///< One past its last primitive.
};
static_assert(std::is_trivially_copyable_v<EnergyBalanceParams>);

/// Per-band scratch of a multiband sample (n_bands entries each, on the running side).
struct EnergyBalanceScratch {
  double* sum = nullptr;
  double* throughput = nullptr;
  float* reflect = nullptr;
  float* transmit = nullptr;
};

/// Closest hit along (o, d); in a periodic scene a ray that leaves the tile continues in the
/// neighbouring one, across at most num_repetitions walls.
template <typename Tracer>
TESK_HOST_DEVICE HitRecord energy_balance_hit(const Tracer& tracer, const TileView& tiles, float3 o,
                                              const float3& d, int64_t& queries) {
  int crossings = 0;
  for (;;) {
    const HitRecord h = tracer.trace(o, d, transport::kRayTMin, transport::kRayTMax);
    ++queries;
    if (h.hit || !tiles.periodic || crossings >= tiles.num_repetitions ||
        escapes_upward(tiles, o, d)) {
      return h;
    }
    const TileExit exit = cross_tile(o, d, tiles.x, tiles.y);
    if (exit.axis < 0) return h;
    o = wrap_at_exit(o, d, exit, tiles.x, tiles.y);
    ++crossings;
  }
}

/// Whether `origin` sees the sun along `s` (one shadow query counted).
template <typename Tracer>
TESK_HOST_DEVICE bool energy_balance_sees_sun(const Tracer& tracer, const TileView& tiles,
                                              const float3& origin, const float3& s,
                                              int64_t& queries) {
  ++queries;
  return !occluded_periodic(tracer, tiles, origin, s);
}

/// Single-band radiance arriving along a sample ray that met `h`: the sky when it escaped,
/// else the grey emission of the primitive hit (longwave) or its reflected sky and sun
/// (shortwave, the sun when the hit primitive's centroid sees it).
template <typename Tracer>
TESK_HOST_DEVICE float energy_balance_incoming(const EnergyBalanceParams& p, const Tracer& tracer,
                                               const HitRecord& h, EnergyBalanceRayCounts& rays) {
  if (!h.hit) return p.longwave ? p.sky_lw : p.sky_sw;
  const int64_t q = h.global_primitive_id;
  const bool valid = q >= 0 && q < p.n_primitives;
  if (p.longwave) {
    float temperature = 0.0f;
    if (valid && q < p.n_temperatures) {
      temperature = p.temperatures[q];
    } else if (const MaterialRecord* m = p.ctx.material(h.material_id)) {
      temperature = m->scalar_params[2];
    }
    const float e =
        valid && q < p.n_emissivities ? p.emissivities[q] : transport::kDefaultEmissivity;
    return grey_emission_radiance(e, temperature);
  }
  if (!valid || p.albedos == nullptr || !(p.albedos[q] > 0.0f)) return 0.0f;
  const float a = p.albedos[q];
  float l = a * p.sky_sw;
  if (p.e_sun > 0.0f) {
    const FaceTriangle& g = p.triangles[q];
    const float cos_q = std::fabs(dot(g.normal, p.sun_dir));
    if (cos_q > 0.0f) {
      const float3 side = dot(g.normal, p.sun_dir) >= 0.0f ? g.normal : -g.normal;
      const float3 centroid = (g.v0 + g.v1 + g.v2) / 3.0f;
      if (energy_balance_sees_sun(tracer, p.ctx.tiles,
                                  centroid + transport::kFaceSampleOffset * side, p.sun_dir,
                                  rays.shadow)) {
        l += a * kInvPi * p.e_sun * cos_q;
      }
    }
  }
  return l;
}

/// Single-band irradiance of primitive `i`'s faces into p.top[i] (and p.bot[i]): pi/N times
/// the incoming radiance of N cosine-weighted samples, plus, shortwave, E_sun (n.s) on the
/// fraction of samples whose origin sees the sun. Returns false, writing nothing, when
/// `stop()` turns true between samples.
template <typename Tracer, typename Stop>
TESK_HOST_DEVICE bool energy_balance_primitive(const EnergyBalanceParams& p, const Tracer& tracer,
                                               int64_t i, EnergyBalanceRayCounts& rays,
                                               const Stop& stop) {
  constexpr float kPi = 3.14159265f;
  const FaceTriangle& g = p.triangles[i];
  Pcg32 rng = energy_balance_stream(i);
  for (int face = 0; face < p.faces; ++face) {
    const float3 normal = face == 0 ? g.normal : -g.normal;
    const float c0 = dot(normal, p.sun_dir);
    const bool direct = !p.longwave && p.e_sun > 0.0f && c0 > 0.0f;
    double radiance = 0.0;
    int64_t lit = 0;
    for (int k = 0; k < p.n_samples; ++k) {
      if (stop()) return false;
      const FaceSample fs = sample_face(g.v0, g.v1, g.v2, normal, rng);
      radiance += energy_balance_incoming(
          p, tracer, energy_balance_hit(tracer, p.ctx.tiles, fs.origin, fs.direction, rays.closest),
          rays);
      if (direct &&
          energy_balance_sees_sun(tracer, p.ctx.tiles, fs.origin, p.sun_dir, rays.shadow)) {
        ++lit;
      }
    }
    const double value = radiance * kPi / p.n_samples +
                         static_cast<double>(c0) * p.e_sun * static_cast<double>(lit) / p.n_samples;
    (face == 0 ? p.top : p.bot)[i] = static_cast<float>(value);
  }
  return true;
}

/// Sky radiance toward the escaping direction d in band b: the directional table, else the
/// diffuse values, else the scene's own sky.
TESK_HOST_DEVICE inline float energy_balance_sky(const EnergyBalanceParams& p, const float3& d,
                                                 int b) {
  if (p.sky_table != nullptr) {
    return directional_sky_radiance(SpectralView{p.sky_table, p.sky_table_size}, 0, p.n_bands, d,
                                    b);
  }
  if (p.sky_diffuse != nullptr) return p.sky_diffuse[b];
  return sky_radiance(p.ctx.sky, p.ctx.spectral, p.ctx.n_bands, d, b);
}

/// Multiband irradiance of primitive `i`'s faces into p.top[b * n + i] (and p.bot) and its
/// sunlit fraction into p.sunlit[i]: each face sample starts a path of at most max_depth
/// surface interactions carrying one throughput per band (sun reflected or transmitted toward
/// it at each interaction, sky on escape, branch by the largest R and T). Returns false,
/// writing nothing for the faces not finished, when `stop()` turns true between samples.
template <typename Tracer, typename Stop>
TESK_HOST_DEVICE bool energy_balance_primitive_multiband(const EnergyBalanceParams& p,
                                                         const Tracer& tracer, int64_t i,
                                                         const EnergyBalanceScratch& sc,
                                                         EnergyBalanceRayCounts& rays,
                                                         const Stop& stop) {
  constexpr float kPi = 3.14159265f;
  const int nb = p.n_bands;
  const int64_t n = p.n_primitives;
  const float3 s = p.sun_dir;
  const bool has_sun = p.sun_irradiance != nullptr;
  const FaceTriangle& g = p.triangles[i];
  Pcg32 rng = energy_balance_stream(i);
  float sunlit = 0.0f;
  for (int face = 0; face < p.faces; ++face) {
    const float3 normal = face == 0 ? g.normal : -g.normal;
    const float c0 = dot(normal, s);
    for (int b = 0; b < nb; ++b) sc.sum[b] = 0.0;
    int64_t lit = 0;
    for (int k = 0; k < p.n_samples; ++k) {
      if (stop()) return false;
      const FaceSample fs = sample_face(g.v0, g.v1, g.v2, normal, rng);
      if (has_sun && c0 > 0.0f &&
          energy_balance_sees_sun(tracer, p.ctx.tiles, fs.origin, s, rays.shadow)) {
        ++lit;
      }
      for (int b = 0; b < nb; ++b) sc.throughput[b] = 1.0;
      float3 o = fs.origin;
      float3 d = fs.direction;
      for (int depth = 0; depth < p.max_depth; ++depth) {
        const HitRecord h = energy_balance_hit(tracer, p.ctx.tiles, o, d, rays.closest);
        if (!h.hit) {
          for (int b = 0; b < nb; ++b) sc.sum[b] += sc.throughput[b] * energy_balance_sky(p, d, b);
          break;
        }
        const float3 nq = h.geometric_normal;  // faces the incoming ray
        float max_r = 0.0f;
        float max_t = 0.0f;
        for (int b = 0; b < nb; ++b) {
          p.optics.at(h.global_primitive_id, b, h.is_back_face, sc.reflect[b], sc.transmit[b]);
          max_r = sc.reflect[b] > max_r ? sc.reflect[b] : max_r;
          max_t = sc.transmit[b] > max_t ? sc.transmit[b] : max_t;
        }
        const float cos_sun = dot(nq, s);
        if (has_sun && cos_sun != 0.0f &&
            energy_balance_sees_sun(tracer, p.ctx.tiles,
                                    h.position + transport::kBounceSunOffset * s, s, rays.shadow)) {
          // Reflected when the sun lights the side the path arrived on, else transmitted.
          const float* f = cos_sun > 0.0f ? sc.reflect : sc.transmit;
          const double kf = kInvPi * std::fabs(cos_sun);
          for (int b = 0; b < nb; ++b)
            sc.sum[b] += sc.throughput[b] * f[b] * kf * p.sun_irradiance[b];
        }
        const float total = max_r + max_t;
        if (total <= transport::kMinBranchProbability || depth + 1 == p.max_depth) break;
        bool reflect = max_r > transport::kMinBranchProbability;
        if (reflect && max_t > transport::kMinBranchProbability) {
          reflect = rng.uniform() * total < max_r;
        }
        const double pick = (reflect ? max_r : max_t) / total;
        const float* f = reflect ? sc.reflect : sc.transmit;
        double largest = 0.0;
        for (int b = 0; b < nb; ++b) {
          sc.throughput[b] *= f[b] / pick;
          largest = sc.throughput[b] > largest ? sc.throughput[b] : largest;
        }
        if (largest <= transport::kMinThroughput) break;
        d = sample_cosine_about(reflect ? nq : -nq, rng);
        o = offset_ray_origin(h.position, h.geometric_normal, d);
      }
    }
    float* out = face == 0 ? p.top : p.bot;
    for (int b = 0; b < nb; ++b) {
      const double direct = has_sun && lit > 0 ? static_cast<double>(c0) * p.sun_irradiance[b] *
                                                     static_cast<double>(lit) / p.n_samples
                                               : 0.0;
      out[b * n + i] = static_cast<float>(sc.sum[b] * kPi / p.n_samples + direct);
    }
    sunlit += static_cast<float>(static_cast<double>(lit) / p.n_samples);
  }
  p.sunlit[i] = sunlit;
  return true;
}

/// Most bands of a device multiband energy balance (per-thread scratch is sized by it).
inline constexpr int kMaxDeviceEnergyBalanceBands = 32;

/// Primitive `i` of a device launch (multiband when p.n_bands > 0, else single band), over the
/// hierarchy; its query counts are added to p.rays.
TESK_HOST_DEVICE inline void energy_balance_item(const EnergyBalanceParams& p, int64_t i) {
  const bvh::BvhTracer tracer{p.scene};
  const auto never = [] { return false; };
  EnergyBalanceRayCounts rays;
  if (p.n_bands > 0) {
    double sum[kMaxDeviceEnergyBalanceBands];
    double throughput[kMaxDeviceEnergyBalanceBands];
    float reflect[kMaxDeviceEnergyBalanceBands];
    float transmit[kMaxDeviceEnergyBalanceBands];
    energy_balance_primitive_multiband(
        p, tracer, i, EnergyBalanceScratch{sum, throughput, reflect, transmit}, rays, never);
  } else {
    energy_balance_primitive(p, tracer, i, rays, never);
  }
#if defined(__CUDA_ARCH__)
  atomicAdd(p.rays, static_cast<unsigned long long>(rays.closest));
  atomicAdd(p.rays + 1, static_cast<unsigned long long>(rays.shadow));
#else
  p.rays[0] += static_cast<unsigned long long>(rays.closest);
  p.rays[1] += static_cast<unsigned long long>(rays.shadow);
#endif
}

}  // namespace tesk
