#pragma once

// The surface returns of LiDAR pulses, written once for every backend: the return of a surface
// hit, the first surface along a ray of a scene of surfaces (a template over the tracer, as in
// core/surface_path.h), a footprint ray's Lambertian return binned by range, the direct-mode
// point, and the per-pulse body of the device run: one thread per pulse fills that pulse's raw
// waveform slice (no other thread writes it), which the host then convolves and searches for
// returns exactly as the CPU does (embree::LidarPulseWaveform).

#include <cmath>
#include <cstdint>

#include "core/bvh_tracer.h"
#include "core/frame.h"
#include "core/host_device.h"
#include "core/lidar.h"
#include "core/scene_types.h"
#include "core/surface_path.h"
#include "core/transport_constants.h"
#include "core/vec.h"

namespace tesk::lidar {

/// A surface met by a LiDAR ray.
struct SurfaceReturn {
  bool hit = false;                    ///< A surface was met.
  float range = 0.0f;                  ///< Distance from the ray origin to the hit.
  float cosine = 0.0f;                 ///< d . n with the shading normal.
  const float* reflectance = nullptr;  ///< n_wavelengths reflectances, or null (black).
  double transmittance = 1.0;          ///< Two-way transmittance of the media in front of it.
  float3 position{};                   ///< The hit point.
};

/// The return of `hit`, met by the ray from `o` along the unit direction `d` (null reflectance
/// when the material names nothing or its block does not fit the buffer).
TESK_HOST_DEVICE inline SurfaceReturn surface_return(const PathContext& c, int32_t n_wavelengths,
                                                     const float3& o, const float3& d,
                                                     const HitRecord& hit) {
  SurfaceReturn r;
  r.hit = true;
  r.position = hit.position;
  r.range = length(hit.position - o);
  r.cosine = dot(d, hit.normal);
  if (const MaterialRecord* m = c.material(hit.material_id)) {
    r.reflectance = surface_reflectance(*m, c.spectral, c.n_bands, n_wavelengths, hit.is_back_face);
  }
  return r;
}

/// The first surface along the ray from `o` along the unit direction `d` in a scene of
/// surfaces (nothing met: hit false).
template <typename Tracer>
TESK_HOST_DEVICE SurfaceReturn first_surface(const Tracer& tracer, const PathContext& c,
                                             int32_t n_wavelengths, const float3& o,
                                             const float3& d) {
  const HitRecord hit = tracer.trace(o, d, transport::kRayTMin, transport::kRayTMax);
  return hit.hit ? surface_return(c, n_wavelengths, o, d, hit) : SurfaceReturn{};
}

/// The Lambertian return of a footprint ray of weight `weight` at surface `s`:
/// add(bin, l, w E (A / r^2) |cos| / pi T rho_l) for every wavelength with rho_l > 0, when the
/// return lies in a bin of the gate and |cos| >= kMinReturnCosine.
template <typename Add>
TESK_HOST_DEVICE void add_surface_return(const RangeGate& g, double weight, float pulse_energy,
                                         float sensor_area, const SurfaceReturn& s, Add&& add) {
  if (s.reflectance == nullptr || std::fabs(s.cosine) < transport::kMinReturnCosine) return;
  const int32_t bin = range_bin(g, s.range);
  if (bin < 0) return;
  const double e =
      lambertian_return(weight, pulse_energy, sensor_area, s.range, s.cosine) * s.transmittance;
  for (int32_t l = 0; l < g.n_wavelengths; ++l) {
    const float rho = s.reflectance[l];
    if (rho > 0.0f) add(bin, l, e * rho);
  }
}

/// The direct-mode return of a pulse's central ray at surface `s`: false when nothing was met
/// within [min_range, max_range]; else `intensity` = |cos| rho_0 E A / (pi r^2) T.
TESK_HOST_DEVICE inline bool direct_return(const RangeGate& g, float pulse_energy,
                                           float sensor_area, const SurfaceReturn& s,
                                           double& intensity) {
  if (!s.hit || !(s.range >= g.min_range && s.range <= g.max_range)) return false;
  const double rho = s.reflectance != nullptr ? s.reflectance[0] : 0.0;
  intensity =
      lambertian_return(1.0, pulse_energy, sensor_area, s.range, s.cosine) * rho * s.transmittance;
  return true;
}

/// One point of the beam footprint: a point of the unit disk and its normalised weight.
struct FootprintPoint {
  float x = 0.0f;
  float y = 0.0f;
  double weight = 1.0;
};
static_assert(sizeof(FootprintPoint) == 16);

/// Floats of one direct-mode record of the device run: x, y, z, range, intensity, found (1/0).
inline constexpr int kDirectRecordFields = 6;

/// Launch parameters of a device LiDAR run over a scene of surfaces (pointers on the running
/// side). Item i is pulse i of the launch.
struct LidarLaunchParams {
  PathContext ctx{};                          ///< The resolved scene.
  bvh::BvhSceneView scene{};                  ///< The hierarchy the rays trace.
  RangeGate gate{};                           ///< Range gate and bins.
  const float* pulses = nullptr;              ///< [n_pulses][6] origin and unit direction.
  const FootprintPoint* footprint = nullptr;  ///< Footprint points (waveform mode).
  int32_t n_footprint = 0;                    ///< Entries of `footprint`.
  int32_t direct = 0;                         ///< 1: direct mode.
  float tan_half_angle = 0.0f;                ///< tan of the beam divergence half angle.
  float pulse_energy = 0.0f;                  ///< Emitted energy per pulse.
  float sensor_area = 0.0f;                   ///< Receiver aperture area.
  int64_t n_pulses = 0;                       ///< Pulses of the launch.
  double* raw = nullptr;                      ///< [n_pulses][n_bins][n_wavelengths], zeroed.
  int32_t* extents = nullptr;                 ///< [n_pulses][2] lowest and highest bin filled.
  float* records = nullptr;                   ///< [n_pulses][kDirectRecordFields] (direct mode).
};
static_assert(std::is_trivially_copyable_v<LidarLaunchParams>);

/// Pulse i of a device LiDAR launch: its direct-mode record, or its raw waveform slice and the
/// range of bins it filled (lo > hi when none).
TESK_HOST_DEVICE inline void lidar_pulse_item(const LidarLaunchParams& p, int64_t i) {
  const float* q = p.pulses + 6 * i;
  const float3 o{q[0], q[1], q[2]};
  const float3 d{q[3], q[4], q[5]};
  const bvh::BvhTracer tracer{p.scene};
  const int32_t nl = p.gate.n_wavelengths;
  if (p.direct != 0) {
    float* rec = p.records + kDirectRecordFields * i;
    const SurfaceReturn s = first_surface(tracer, p.ctx, nl, o, d);
    double intensity = 0.0;
    const bool found = direct_return(p.gate, p.pulse_energy, p.sensor_area, s, intensity);
    rec[0] = s.position.x;
    rec[1] = s.position.y;
    rec[2] = s.position.z;
    rec[3] = s.range;
    rec[4] = static_cast<float>(intensity);
    rec[5] = found ? 1.0f : 0.0f;
    return;
  }
  double* raw = p.raw + i * static_cast<int64_t>(p.gate.n_bins) * nl;
  int32_t lo = p.gate.n_bins;
  int32_t hi = -1;
  auto add = [&](int32_t bin, int32_t l, double v) {
    raw[static_cast<int64_t>(bin) * nl + l] += v;
    lo = bin < lo ? bin : lo;
    hi = bin > hi ? bin : hi;
  };
  const ShadingFrame frame = pulse_frame(d);
  for (int32_t k = 0; k < p.n_footprint; ++k) {
    const FootprintPoint& f = p.footprint[k];
    const float3 dir = beam_direction(frame, p.tan_half_angle, f.x, f.y);
    const SurfaceReturn s = first_surface(tracer, p.ctx, nl, o, dir);
    add_surface_return(p.gate, f.weight, p.pulse_energy, p.sensor_area, s, add);
  }
  p.extents[2 * i] = lo;
  p.extents[2 * i + 1] = hi;
}

}  // namespace tesk::lidar
