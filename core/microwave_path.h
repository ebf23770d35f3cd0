#pragma once

// Microwave lines of sight through a scene of surfaces, written once for every C++ backend: a
// template over the tracer (the two-level hierarchy on a CUDA device and in the host tests).
// The Vulkan wavefront shader (shaders/microwave_wavefront.comp) carries the same rules in
// GLSL; the tables and material classes below are laid out as its buffers.
//
// Surface responses come from tables the host filled (core/host/microwave/tables.h) on the
// cosine grid mu_i = i / (M - 1), looked up linearly in mu = max(|cos|, 1e-3) between the line
// of sight and the surface's geometric normal.
//
// Passive (brightness temperature, H and V): the line of sight follows its specular chain. A
// soil or trunk surface adds its emission T_B,p(mu) and reflects the rest of the path with
// Gamma_p(mu); a smooth soil emits (1 - Gamma_s,p) T_eff with its Fresnel reflectivities and
// T_eff = (T_B,H + T_B,V) / (2 - Gamma_H - Gamma_V) of its rough row; a vegetation surface is a
// layer of nadir optical depth tau, albedo w and temperature T with g = exp(-tau / mu): it adds
// (1 - w)(1 - g) T and passes g of what lies behind (without phase tables), or scatters with
// probability 1 - g into a direction drawn from its phase tables, the (H, V) weight multiplied
// by w M / (4 pi pdf). An absorber ends the path at the air temperature, and so does running
// out of interactions; an upward escape sees T_air (1 - t) + T_cosmic t, t = exp(-tau_atm / mu),
// a downward one T_air.
//
// Active (monostatic HH, HV, VH, VV): vegetation layers before the first soil or trunk surface
// add the volume term w mu (1 - g^2) / 2 (co-polarised, or times the backscatter cell of the
// phase table) and attenuate what lies behind by g^2; the first soil returns its table sigmas,
// the first trunk its direct plus double-bounce sigmas; a smooth soil returns nothing.

#include <cmath>
#include <cstdint>

#include "core/bvh_tracer.h"
#include "core/host_device.h"
#include "core/illumination.h"
#include "core/pcg32.h"
#include "core/random_streams.h"
#include "core/scene_types.h"
#include "core/sensor.h"
#include "core/transport_constants.h"
#include "core/vec.h"

namespace tesk::microwave {

/// Material classes of the material map (class, index into that class's tables).
inline constexpr int kClassAbsorber = 0;
inline constexpr int kClassSoil = 1;
inline constexpr int kClassVegetation = 2;
inline constexpr int kClassTrunk = 3;
inline constexpr int kClassSmoothSoil = 4;

/// Columns of the tables.
inline constexpr int kSurfaceColumns = 4;      ///< T_B,H, T_B,V (K), Gamma_H, Gamma_V.
inline constexpr int kBackscatterColumns = 4;  ///< sigma_HH, sigma_HV, sigma_VH, sigma_VV.
inline constexpr int kTrunkActiveColumns = 8;  ///< Direct, then double-bounce sigmas.
inline constexpr int kVegetationColumns = 3;   ///< Nadir optical depth, albedo, T (K).
inline constexpr int kMuellerEntries = 16;     ///< Row-major 4 x 4 phase matrix.

/// Cosmic background temperature (K).
inline constexpr float kCosmicBackground = 2.725f;
/// Pi in the precision of the paths.
inline constexpr float kPiF = 3.14159265f;
/// Smallest cosine a table lookup or an atmosphere path uses.
inline constexpr float kMinCosine = 1e-3f;

/// The tables of one microwave run (pointers on the running side; absent tables are null).
struct MicrowaveTables {
  int32_t active = 0;                     ///< 1: backscatter, 0: brightness temperature.
  int32_t max_depth = 4;                  ///< Surface interactions of one line of sight.
  float air_temperature = 290.0f;         ///< Air temperature, also of the atmosphere (K).
  float atmosphere_tau = 0.0f;            ///< Zenith optical depth of the atmosphere.
  int32_t table_size = 0;                 ///< M, cosine entries per class (at least 2).
  int32_t n_map = 0;                      ///< Materials in material_map.
  int32_t soil_count = 0;                 ///< Soil classes.
  int32_t vegetation_count = 0;           ///< Vegetation classes.
  int32_t trunk_count = 0;                ///< Trunk classes.
  int32_t lut_cosines = 0;                ///< C, cosine cells of the phase tables (0: none).
  int32_t lut_azimuths = 0;               ///< A, azimuth cells of the phase tables.
  const int32_t* material_map = nullptr;  ///< [n_map][2] class, class index.
  const float* passive_soil = nullptr;    ///< [soil][M][4] rough passive rows.
  const float* active_soil = nullptr;     ///< [soil][M][4] backscatter rows.
  const float* smooth_soil = nullptr;     ///< [soil][M][2] smooth Gamma_H, Gamma_V, or null.
  const float* vegetation = nullptr;      ///< [vegetation][3] tau, albedo, T.
  const float* trunk_response = nullptr;  ///< [trunk][M][4] passive rows.
  const float* trunk_active = nullptr;    ///< [trunk][M][8] direct and double-bounce sigmas.
  const float* mueller = nullptr;         ///< [vegetation][C][C][A][16] or null.
  const float* cosine_cdf = nullptr;      ///< [vegetation][C][C] CDF of the outgoing cell.
  const float* azimuth_cdf = nullptr;     ///< [vegetation][C][C][A] CDF of the azimuth cell.
};
static_assert(std::is_trivially_copyable_v<MicrowaveTables>);

/// Four values of one line of sight: passive (T_B,H, T_B,V, 0, 0), active the four sigmas.
struct MicrowaveValue {
  float v[4] = {0.0f, 0.0f, 0.0f, 0.0f};
};

/// Row-major 2 x 2 (H, V) weight: observed polarisation (row) from source polarisation (column).
struct Weight2 {
  float m[2][2] = {{1.0f, 0.0f}, {0.0f, 1.0f}};
};

/// Linear interpolation of `cols` columns at mu in the M-row table of one class starting at
/// `table`, into out.
TESK_HOST_DEVICE inline void table_row(const float* table, int M, int cols, float mu, float* out) {
  const float x = fminf(fmaxf(mu, 0.0f), 1.0f) * static_cast<float>(M - 1);
  int row = static_cast<int>(x);
  if (row > M - 2) row = M - 2;
  const float f = x - static_cast<float>(row);
  const float* a = table + static_cast<int64_t>(row) * cols;
  for (int c = 0; c < cols; ++c) out[c] = a[c] + f * (a[cols + c] - a[c]);
}

/// The class and class index of a material; the absorber when unmapped or out of range.
TESK_HOST_DEVICE inline void material_class(const MicrowaveTables& t, int material_id, int& cls,
                                            int& index) {
  cls = kClassAbsorber;
  index = 0;
  if (material_id < 0 || material_id >= t.n_map) return;
  const int c = t.material_map[2 * material_id];
  const int k = t.material_map[2 * material_id + 1];
  const bool ok = (c == kClassSoil && k >= 0 && k < t.soil_count) ||
                  (c == kClassVegetation && k >= 0 && k < t.vegetation_count) ||
                  (c == kClassTrunk && k >= 0 && k < t.trunk_count) ||
                  (c == kClassSmoothSoil && t.smooth_soil != nullptr && k >= 0 && k < t.soil_count);
  if (ok) {
    cls = c;
    index = k;
  }
}

/// Brightness temperature (K) of the sky seen along the unit direction d.
TESK_HOST_DEVICE inline float sky_temperature(const MicrowaveTables& t, const float3& d) {
  if (!(d.z > 0.0f)) return t.air_temperature;
  const float tr = expf(-t.atmosphere_tau / fmaxf(d.z, kMinCosine));
  return t.air_temperature * (1.0f - tr) + kCosmicBackground * tr;
}

/// d mirrored at the plane of unit normal n.
TESK_HOST_DEVICE inline float3 mirror(const float3& d, const float3& n) {
  return d - (2.0f * dot(n, d)) * n;
}

/// Cosine cell of a direction's z component among C cells over [-1, 1].
TESK_HOST_DEVICE inline int cosine_cell(float z, int C) {
  int k = static_cast<int>((z + 1.0f) * 0.5f * static_cast<float>(C));
  return k < 0 ? 0 : (k > C - 1 ? C - 1 : k);
}

/// Element (row r, column c) of the (H, V) intensity block of one phase-table cell.
TESK_HOST_DEVICE inline float mueller_entry(const MicrowaveTables& t, int veg, int cin, int cout,
                                            int az, int r, int c) {
  const int64_t C = t.lut_cosines;
  const int64_t at = (((veg * C + cin) * C + cout) * t.lut_azimuths + az) * kMuellerEntries;
  return t.mueller[at + 4 * r + c];
}

/// First entry of a CDF row of `count` values exceeding u, with its probability p.
TESK_HOST_DEVICE inline int sample_cdf(const float* row, int count, float u, float& p) {
  int k = 0;
  for (; k < count - 1; ++k) {
    if (u < row[k]) break;
  }
  p = row[k] - (k == 0 ? 0.0f : row[k - 1]);
  return k;
}

/// Scatters a line of sight travelling along d in vegetation class veg: returns the new
/// direction and multiplies w on the right by M / (4 pi pdf) (the albedo is applied apart).
TESK_HOST_DEVICE inline float3 scatter_vegetation(const MicrowaveTables& t, int veg,
                                                  const float3& d, Pcg32& rng, Weight2& w) {
  const int n = t.lut_cosines;
  const int na = t.lut_azimuths;
  const int cin = cosine_cell(d.z, n);
  float p_mu = 0.0f, p_phi = 0.0f;
  const int64_t row = (static_cast<int64_t>(veg) * n + cin) * n;
  const int cout = sample_cdf(t.cosine_cdf + row, n, rng.uniform(), p_mu);
  const float mu =
      fminf(fmaxf(-1.0f + 2.0f * (static_cast<float>(cout) + rng.uniform()) / static_cast<float>(n),
                  -1.0f),
            1.0f);
  const int az = sample_cdf(t.azimuth_cdf + (row + cout) * na, na, rng.uniform(), p_phi);
  const float phi_in = d.x * d.x + d.y * d.y > 1e-12f ? atan2f(d.y, d.x) : 0.0f;
  const float phi =
      phi_in + 2.0f * kPiF * (static_cast<float>(az) + rng.uniform()) / static_cast<float>(na);
  const float s = sqrtf(fmaxf(1.0f - mu * mu, 0.0f));
  // pdf over solid angle: cell probabilities over the cells' widths in cosine and azimuth.
  const float pdf = p_mu * p_phi * static_cast<float>(n) * static_cast<float>(na) / (4.0f * kPiF);
  const float scale = pdf > 0.0f ? 1.0f / (4.0f * kPiF * pdf) : 0.0f;
  Weight2 out;
  for (int r = 0; r < 2; ++r) {
    for (int c = 0; c < 2; ++c) {
      out.m[r][c] = scale * (w.m[r][0] * mueller_entry(t, veg, cin, cout, az, 0, c) +
                             w.m[r][1] * mueller_entry(t, veg, cin, cout, az, 1, c));
    }
  }
  w = out;
  return float3{s * cosf(phi), s * sinf(phi), mu};
}

/// One line of sight from o along the unit direction d over `tracer`; rng is consumed only by
/// vegetation with phase tables.
template <typename Tracer>
TESK_HOST_DEVICE MicrowaveValue trace_line_of_sight(const MicrowaveTables& t, const Tracer& tracer,
                                                    float3 o, float3 d, Pcg32& rng) {
  MicrowaveValue out;
  const int M = t.table_size;
  if (t.active == 0) {
    Weight2 w;
    float tb[2] = {0.0f, 0.0f};
    auto add = [&](float h, float v) {
      tb[0] += w.m[0][0] * h + w.m[0][1] * v;
      tb[1] += w.m[1][0] * h + w.m[1][1] * v;
    };
    bool ended = false;
    for (int depth = 0; depth < t.max_depth; ++depth) {
      const HitRecord hit = tracer.trace(o, d, transport::kRayTMin, transport::kRayTMax);
      if (!hit.hit) {
        const float s = sky_temperature(t, d);
        add(s, s);
        ended = true;
        break;
      }
      int cls = 0, k = 0;
      material_class(t, hit.material_id, cls, k);
      const float3 n = hit.geometric_normal;
      const float mu = fmaxf(fabsf(dot(d, n)), kMinCosine);
      if (cls == kClassSoil || cls == kClassTrunk || cls == kClassSmoothSoil) {
        float row[kSurfaceColumns];
        const float* table = cls == kClassTrunk ? t.trunk_response : t.passive_soil;
        table_row(table + static_cast<int64_t>(k) * M * kSurfaceColumns, M, kSurfaceColumns, mu,
                  row);
        float gh = row[2], gv = row[3];
        if (cls == kClassSmoothSoil) {
          float s[2];
          table_row(t.smooth_soil + static_cast<int64_t>(k) * M * 2, M, 2, mu, s);
          const float t_eff = (row[0] + row[1]) / fmaxf(2.0f - row[2] - row[3], 1e-6f);
          gh = s[0];
          gv = s[1];
          row[0] = (1.0f - gh) * t_eff;
          row[1] = (1.0f - gv) * t_eff;
        }
        add(row[0], row[1]);
        for (int r = 0; r < 2; ++r) {
          w.m[r][0] *= gh;
          w.m[r][1] *= gv;
        }
        d = mirror(d, n);
      } else if (cls == kClassVegetation) {
        const float* veg = t.vegetation + k * kVegetationColumns;
        const float g = expf(-veg[0] / mu);
        const float e = (1.0f - veg[1]) * (1.0f - g) * veg[2];
        add(e, e);
        if (t.lut_cosines == 0) {
          for (int r = 0; r < 2; ++r) {
            w.m[r][0] *= g;
            w.m[r][1] *= g;
          }
        } else if (rng.uniform() >= g) {
          for (int r = 0; r < 2; ++r) {
            w.m[r][0] *= veg[1];
            w.m[r][1] *= veg[1];
          }
          d = scatter_vegetation(t, k, d, rng, w);
        }
      } else {
        add(t.air_temperature, t.air_temperature);
        ended = true;
        break;
      }
      o = offset_ray_origin(hit.position, n, d);
    }
    if (!ended) add(t.air_temperature, t.air_temperature);
    out.v[0] = tb[0];
    out.v[1] = tb[1];
    return out;
  }
  float two_way = 1.0f;
  for (int depth = 0; depth < t.max_depth; ++depth) {
    const HitRecord hit = tracer.trace(o, d, transport::kRayTMin, transport::kRayTMax);
    if (!hit.hit) break;
    int cls = 0, k = 0;
    material_class(t, hit.material_id, cls, k);
    const float3 n = hit.geometric_normal;
    const float mu = fmaxf(fabsf(dot(d, n)), kMinCosine);
    if (cls == kClassSoil) {
      float row[kBackscatterColumns];
      table_row(t.active_soil + static_cast<int64_t>(k) * M * kBackscatterColumns, M,
                kBackscatterColumns, mu, row);
      for (int c = 0; c < 4; ++c) out.v[c] += two_way * row[c];
      break;
    }
    if (cls == kClassTrunk) {
      float row[kTrunkActiveColumns];
      table_row(t.trunk_active + static_cast<int64_t>(k) * M * kTrunkActiveColumns, M,
                kTrunkActiveColumns, mu, row);
      for (int c = 0; c < 4; ++c) out.v[c] += two_way * (row[c] + row[4 + c]);
      break;
    }
    if (cls != kClassVegetation) break;
    const float* veg = t.vegetation + k * kVegetationColumns;
    const float g = expf(-veg[0] / mu);
    const float volume = veg[1] * mu * (1.0f - g * g) * 0.5f;
    if (t.lut_cosines == 0) {
      out.v[0] += two_way * volume;
      out.v[3] += two_way * volume;
    } else {
      // Backscatter: out along -d, half a turn from the incident azimuth.
      const int C = t.lut_cosines;
      const int cin = cosine_cell(d.z, C), cout = cosine_cell(-d.z, C), az = t.lut_azimuths / 2;
      for (int c = 0; c < 4; ++c) {
        out.v[c] += two_way * volume * mueller_entry(t, k, cin, cout, az, c / 2, c % 2);
      }
    }
    two_way *= g * g;
    o = offset_ray_origin(hit.position, n, d);
  }
  return out;
}

/// Launch parameters of a microwave image (pointers on the running side).
struct MicrowaveImageParams {
  MicrowaveTables tables{};
  SensorData sensor{};
  int32_t width = 0;       ///< Image columns.
  int32_t height = 0;      ///< Image rows.
  int32_t spp = 1;         ///< Jittered lines of sight per pixel.
  int32_t n_channels = 4;  ///< Channels written per pixel (see microwave_channels).
  float* image = nullptr;  ///< [height][width][n_channels] means over the spp samples.
};

/// The channels of a pixel from the mean of its four values: passive n = 1 gives
/// (T_B,H + T_B,V) / 2, n = 2 (T_B,H, T_B,V); active n = 1 gives sigma_VV, n = 2
/// (sigma_HH, sigma_VV), n = 4 (sigma_HH, sigma_HV, sigma_VH, sigma_VV).
TESK_HOST_DEVICE inline void microwave_channels(bool active, int n, const double* mean,
                                                float* out) {
  if (n == 4) {
    for (int c = 0; c < 4; ++c) out[c] = static_cast<float>(mean[c]);
  } else if (n == 2) {
    out[0] = static_cast<float>(mean[0]);
    out[1] = static_cast<float>(active ? mean[3] : mean[1]);
  } else if (n == 1) {
    out[0] = static_cast<float>(active ? mean[3] : 0.5 * (mean[0] + mean[1]));
  }
}

/// Pixel i (row-major) of a microwave image: spp camera rays of the scene's sensor, jittered in
/// the pixel by the pixel's own stream (StreamKey::MicrowaveRay, one stream per pixel, so the
/// image does not depend on the launch shape), each traced by trace_line_of_sight; samples for
/// which the sensor gives no ray count as zero. Active values are multiplied by the two-way
/// atmospheric transmission exp(-2 tau_atm / |d_z|) of the camera ray.
template <typename Tracer>
TESK_HOST_DEVICE void microwave_pixel(const MicrowaveImageParams& p, const Tracer& tracer,
                                      int64_t i) {
  const int x = static_cast<int>(i % p.width);
  const int y = static_cast<int>(i / p.width);
  Pcg32 rng = derive_stream(StreamKey::MicrowaveRay, static_cast<uint64_t>(i),
                            static_cast<uint64_t>(i) + 1000003ULL);
  double sum[4] = {0.0, 0.0, 0.0, 0.0};
  for (int s = 0; s < p.spp; ++s) {
    const float jx = rng.uniform();
    const float jy = rng.uniform();
    float3 o{}, d{};
    if (!sensor::generate_primary_ray(p.sensor, x, y, jx, jy, o, d)) continue;
    const MicrowaveValue v = trace_line_of_sight(p.tables, tracer, o, d, rng);
    // Active: the sensor sees the scene through the atmosphere both ways.
    const float two_way =
        p.tables.active != 0 && p.tables.atmosphere_tau > 0.0f
            ? expf(-2.0f * p.tables.atmosphere_tau / fmaxf(fabsf(d.z), kMinCosine))
            : 1.0f;
    for (int c = 0; c < 4; ++c) sum[c] += static_cast<double>(two_way) * v.v[c];
  }
  const double inv = p.spp > 0 ? 1.0 / p.spp : 0.0;
  for (int c = 0; c < 4; ++c) sum[c] *= inv;
  microwave_channels(p.tables.active != 0, p.n_channels, sum, p.image + i * p.n_channels);
}

/// Launch parameters of one device launch of a microwave image: pixels [pixel_begin,
/// pixel_end) over the device hierarchy.
struct MicrowaveLaunchParams {
  MicrowaveImageParams image{};  ///< The image and its tables.
  bvh::BvhSceneView scene{};     ///< The hierarchy the lines of sight trace.
  int64_t pixel_begin = 0;       ///< First pixel (row-major) of the launch.
  int64_t pixel_end = 0;         ///< One past its last pixel.
};
static_assert(std::is_trivially_copyable_v<MicrowaveLaunchParams>);

/// Pixel i of a launch, traced over the launch's hierarchy.
TESK_HOST_DEVICE inline void microwave_pixel_item(const MicrowaveLaunchParams& p, int64_t i) {
  microwave_pixel(p.image, bvh::BvhTracer{p.scene}, i);
}

}  // namespace tesk::microwave
