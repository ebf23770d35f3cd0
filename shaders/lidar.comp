#version 460
// LiDAR pulses, one invocation per pulse, with the CPU's per-pulse physics (core/lidar.h).
// Waveform mode traces the weighted footprint of the divergent beam and adds each ray's
// Lambertian surface return, in doubles and in footprint order, to the pulse's own slice of the
// raw waveform buffer, recording the first and last bin it filled; the host then convolves and
// extracts returns. Direct mode records the first return of the central ray. In scenes with
// optical turbid media a ray crosses medium boundaries, adds the leaves' volume returns to the
// bins it crosses inside media and attenuates the surface return behind them by exp(-2 tau):
// that walk is built only into lidar_turbid.spv (TURBID_MEDIA), so that surface scenes run a
// small program that CPU drivers compile in a second.
#extension GL_GOOGLE_include_directive : require
#extension GL_EXT_shader_explicit_arithmetic_types_float64 : require
#include "scene_bindings.glsl"
#include "transport.glsl"

layout(set = 0, binding = 5, scalar) readonly buffer Params { LidarParams P; };
layout(set = 0, binding = 6, scalar) readonly buffer Materials { DeviceMaterial materials[]; };
layout(set = 0, binding = 7, scalar) readonly buffer Spectral { float spectral[]; };
// Pulse origins and unit directions, 6 floats per pulse.
layout(set = 0, binding = 8, scalar) readonly buffer Pulses { float pulses[]; };
// Footprint samples (x, y, weight), 3 doubles each.
layout(set = 0, binding = 9, scalar) readonly buffer Footprint { double footprint[]; };
// Raw waveforms of the dispatch, [n_pulses][n_bins][n_wavelengths], zero beforehand.
layout(set = 0, binding = 10, scalar) buffer Raw { double raw[]; };
// Waveform mode: first and last filled bin per pulse. Direct mode: kLidarDirectFields floats.
layout(set = 0, binding = 11, scalar) writeonly buffer Extents { int extents[]; };
layout(set = 0, binding = 12, scalar) writeonly buffer Direct { float direct_records[]; };
#ifdef TURBID_MEDIA
#include "media_walk.glsl"
#endif

// Offset of the reflectance block a LiDAR reads at a hit (the back block of a two-sided leaf
// seen from behind), or -1 when the material names nothing or the block does not fit.
int reflectance_block(SurfaceHit hit) {
  if (hit.material_id < 0 || hit.material_id >= P.n_materials) return -1;
  const DeviceMaterial m = materials[hit.material_id];
  int offset = m.spectral_offset;
  if (m.type == 13 && hit.is_back_face) offset += P.n_bands;
  const int count = P.n_wavelengths;
  if (offset < 0 || offset > P.spectral_size - count) return -1;
  return offset;
}

// weight * energy * (area / r^2) * |cos| / pi
double lambertian_return(double weight, float r, float cosine) {
  const double rr = double(r);
  return weight * double(P.pulse_energy) * (double(P.sensor_area) / (rr * rr)) *
         double(abs(cosine)) / 3.14159265358979323846LF;
}

int range_bin(float r) {
  if (!(r >= P.min_range && r <= P.max_range)) return -1;
  const double q = (double(r) - double(P.min_range)) / double(P.bin_width);
  const int64_t bin = int64_t(q);
  return bin >= 0 && bin < int64_t(P.n_bins) ? int(bin) : -1;
}

// First and last filled bin of the pulse being traced, and its slice of the raw buffer.
int wave_lo;
int wave_hi;
uint wave_base;

void wave_add(int bin, int l, double value) {
  raw[wave_base + uint(bin) * uint(P.n_wavelengths) + uint(l)] += value;
  wave_lo = min(wave_lo, bin);
  wave_hi = max(wave_hi, bin);
}

#ifdef TURBID_MEDIA
float backscatter_phase(int leaf_angle_type, float mu) {
  if (leaf_angle_type == 0) return 1.0 / 3.0;
  if (leaf_angle_type == 1) return 0.625 * mu * mu + 0.125;
  if (leaf_angle_type == 2) return 0.375 - 0.125 * mu * mu;
  return 0.25 * mu * mu + 0.25;
}

// Volume backscatter coefficient of medium m in wavelength l along d.
float volume_backscatter(int m, int l, vec3 d) {
  if (!(medium_extinction(m, d) > 0.0)) return 0.0;
  const float mu = min(abs(d.z), 1.0);
  const DeviceLeafModel lm = leaf_models[m];
  const float rho_tau = leaf_reflectance(lm, l, false) + leaf_transmission(lm, l);
  return 0.5 * media[m].leaf_area_density * backscatter_phase(media[m].leaf_angle_type, mu) *
         rho_tau / 3.14159265;
}

// Volume returns of the media of `set` over the ray segment [a, b] (distances from the pulse
// origin along the unit d) where the optical depth at a is `tau`: per bin piece the exact
// integral of the two-way transmittance times the backscatter, 1/r^2 at the piece's midpoint.
void add_volume_returns(ActiveSet set, vec3 d, double weight, double a, double b, double tau) {
  const int nl = P.n_wavelengths;
  double k = 0.0;
  bool any = false;
  for (int e = 0; e < set.count; ++e) {
    const int m = set.medium_ids[e];
    if (m < 0 || m >= MP.n_media) continue;
    k += double(medium_extinction(m, d));
    for (int l = 0; l < nl && !any; ++l) any = volume_backscatter(m, l, d) > 0.0;
  }
  const double lo = max(a, double(P.min_range));
  const double hi = min(b, double(P.max_range));
  if (!any || !(hi > lo)) return;
  const double w = double(P.bin_width);
  const double scale = weight * double(P.pulse_energy) * double(P.sensor_area);
  int64_t bin = int64_t((lo - double(P.min_range)) / w);
  double p = lo;
  for (; p < hi && bin < int64_t(P.n_bins); ++bin) {
    const double q = min(hi, double(P.min_range) + double(bin + 1) * w);
    if (q <= p) continue;
    const double mid = 0.5 * (p + q);
    const double len = q - p;
    const double integral = k > 0.0 ? double(-expm1_(float(-2.0 * k * len))) / (2.0 * k) : len;
    const double e =
        scale * double(exp(float(-2.0 * (tau + k * (p - a))))) * integral / (mid * mid);
    for (int l = 0; l < nl; ++l) {
      double beta = 0.0;
      for (int j = 0; j < set.count; ++j) {
        const int m = set.medium_ids[j];
        if (m >= 0 && m < MP.n_media) beta += double(volume_backscatter(m, l, d));
      }
      if (beta > 0.0) wave_add(int(bin), l, e * beta);
    }
    p = q;
  }
}

#endif

// The surface a LiDAR ray meets first, behind the media it crosses (volume returns added when
// `volume`): hit flag, range, cosine, reflectance block and two-way transmittance.
struct LidarSurface {
  bool hit;
  vec3 position;
  float range;
  float cosine;
  int blk;
  float transmittance;
};

LidarSurface surface_return(vec3 o, vec3 d, SurfaceHit hit) {
  LidarSurface r;
  r.hit = true;
  r.position = hit.position;
  r.range = length(hit.position - o);
  r.cosine = dot(d, hit.normal);
  r.blk = reflectance_block(hit);
  r.transmittance = 1.0;
  return r;
}

#ifdef TURBID_MEDIA
LidarSurface walk_ray(vec3 o, vec3 d, ActiveSet start, double weight, bool volume) {
  LidarSurface none;
  none.hit = false;
  none.position = vec3(0.0);
  none.range = 0.0;
  none.cosine = 0.0;
  none.blk = -1;
  none.transmittance = 1.0;
  if (MP.n_media == 0) {
    const SurfaceHit hit = trace_closest_hit(o, d, kRayTMin, kRayTMax);
    return hit.hit ? surface_return(o, d, hit) : none;
  }
  ActiveSet set = start;
  vec3 p = o;
  double from = 0.0;
  double tau = 0.0;
  for (int step = 0; step < kMaxWalkSteps; ++step) {
    const WalkStep s = walk_step(p, d, 0);
    const bool escape = !s.hit.hit;
    const double end = escape ? max(from, double(P.max_range))
                              : double(dot(p - o, d)) + double(s.hit.t);
    if (set.count > 0 && end > from) {
      if (volume) add_volume_returns(set, d, weight, from, end, tau);
      tau += double(combined_extinction(set, d)) * (end - from);
    }
    if (escape || tau > kOpaqueOpticalDepth) return none;
    if (s.boundary < 0) {
      LidarSurface r = surface_return(o, d, s.hit);
      r.transmittance = exp(float(-2.0 * tau));
      return r;
    }
    update_set(set, false, s.boundary, s.hit.instance_id, s.hit.is_back_face);
    from = max(from, double(dot(s.hit.position - o, d)));
    p = offset_ray_origin(s.hit.position, s.hit.geometric_normal, d);
    if (from > double(P.max_range) && set.count == 0) return none;
  }
  return none;
}
#else
// Surface scenes: the first hit.
LidarSurface walk_ray(vec3 o, vec3 d, double weight, bool volume) {
  LidarSurface none;
  none.hit = false;
  none.position = vec3(0.0);
  none.range = 0.0;
  none.cosine = 0.0;
  none.blk = -1;
  none.transmittance = 1.0;
  const SurfaceHit hit = trace_closest_hit(o, d, kRayTMin, kRayTMax);
  return hit.hit ? surface_return(o, d, hit) : none;
}
#endif

void main() {
  const uint item = work_index();
  if (item >= uint(P.n_pulses)) return;
  const uint pulse = uint(P.first_pulse) + item;
  const vec3 o = vec3(pulses[6 * pulse], pulses[6 * pulse + 1], pulses[6 * pulse + 2]);
  const vec3 d = vec3(pulses[6 * pulse + 3], pulses[6 * pulse + 4], pulses[6 * pulse + 5]);
  if (P.direct != 0) {
    const uint at = item * uint(kLidarDirectFields);
    direct_records[at + 5] = 0.0;
#ifdef TURBID_MEDIA
    const LidarSurface hit = walk_ray(o, d, active_media(o, d), 1.0, false);
#else
    const LidarSurface hit = walk_ray(o, d, 1.0, false);
#endif
    if (!hit.hit) return;
    const float r = hit.range;
    if (!(r >= P.min_range && r <= P.max_range)) return;
    const double rho = hit.blk >= 0 ? double(spectral[hit.blk]) : 0.0;
    const double intensity =
        lambertian_return(1.0, r, hit.cosine) * rho * double(hit.transmittance);
    direct_records[at] = hit.position.x;
    direct_records[at + 1] = hit.position.y;
    direct_records[at + 2] = hit.position.z;
    direct_records[at + 3] = float(intensity);
    direct_records[at + 4] = r;
    direct_records[at + 5] = 1.0;
    return;
  }
  const int nl = P.n_wavelengths;
  wave_base = item * uint(P.n_bins) * uint(nl);
  wave_lo = P.n_bins;
  wave_hi = -1;
  const ShadingFrame frame = frame_from_normal(d);
#ifdef TURBID_MEDIA
  const ActiveSet start = active_media(o, d);
#endif
  for (int k = 0; k < P.n_samples; ++k) {
    const float x = float(footprint[3 * k]);
    const float y = float(footprint[3 * k + 1]);
    const double w = footprint[3 * k + 2];
    const vec3 dir =
        normalize(to_world(frame, vec3(P.tan_half_angle * x, P.tan_half_angle * y, 1.0)));
#ifdef TURBID_MEDIA
    const LidarSurface hit = walk_ray(o, dir, start, w, true);
#else
    const LidarSurface hit = walk_ray(o, dir, w, true);
#endif
    if (!hit.hit || hit.blk < 0 || abs(hit.cosine) < kMinReturnCosine) continue;
    const int bin = range_bin(hit.range);
    if (bin < 0) continue;
    const double e = lambertian_return(w, hit.range, hit.cosine) * double(hit.transmittance);
    for (int l = 0; l < nl; ++l) {
      const float rho = spectral[hit.blk + l];
      if (rho > 0.0) wave_add(bin, l, e * double(rho));
    }
  }
  extents[2 * item] = wave_lo;
  extents[2 * item + 1] = wave_hi;
}
