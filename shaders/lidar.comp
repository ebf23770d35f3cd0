#version 460
// LiDAR pulses on surface scenes, one invocation per pulse, with the CPU's per-pulse physics
// (core/lidar.h). Waveform mode traces the weighted footprint of the divergent beam and adds
// each ray's Lambertian surface return, in doubles and in footprint order, to the pulse's own
// slice of the raw waveform buffer, recording the first and last bin it filled; the host then
// convolves and extracts returns. Direct mode records the first return of the central ray.
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

void main() {
  const uint item = work_index();
  if (item >= uint(P.n_pulses)) return;
  const uint pulse = uint(P.first_pulse) + item;
  const vec3 o = vec3(pulses[6 * pulse], pulses[6 * pulse + 1], pulses[6 * pulse + 2]);
  const vec3 d = vec3(pulses[6 * pulse + 3], pulses[6 * pulse + 4], pulses[6 * pulse + 5]);
  if (P.direct != 0) {
    const uint at = item * uint(kLidarDirectFields);
    direct_records[at + 5] = 0.0;
    const SurfaceHit hit = trace_closest_hit(o, d, kRayTMin, kRayTMax);
    if (!hit.hit) return;
    const float r = length(hit.position - o);
    if (!(r >= P.min_range && r <= P.max_range)) return;
    const int blk = reflectance_block(hit);
    const double rho = blk >= 0 ? double(spectral[blk]) : 0.0;
    const double intensity = lambertian_return(1.0, r, dot(d, hit.normal)) * rho;
    direct_records[at] = hit.position.x;
    direct_records[at + 1] = hit.position.y;
    direct_records[at + 2] = hit.position.z;
    direct_records[at + 3] = float(intensity);
    direct_records[at + 4] = r;
    direct_records[at + 5] = 1.0;
    return;
  }
  const int nl = P.n_wavelengths;
  const uint base = item * uint(P.n_bins) * uint(nl);
  int lo = P.n_bins;
  int hi = -1;
  const ShadingFrame frame = frame_from_normal(d);
  for (int k = 0; k < P.n_samples; ++k) {
    const float x = float(footprint[3 * k]);
    const float y = float(footprint[3 * k + 1]);
    const double w = footprint[3 * k + 2];
    const vec3 dir =
        normalize(to_world(frame, vec3(P.tan_half_angle * x, P.tan_half_angle * y, 1.0)));
    const SurfaceHit hit = trace_closest_hit(o, dir, kRayTMin, kRayTMax);
    if (!hit.hit) continue;
    const int blk = reflectance_block(hit);
    const float cosine = dot(dir, hit.normal);
    if (blk < 0 || abs(cosine) < kMinReturnCosine) continue;
    const float r = length(hit.position - o);
    const int bin = range_bin(r);
    if (bin < 0) continue;
    const double e = lambertian_return(w, r, cosine);
    for (int l = 0; l < nl; ++l) {
      const float rho = spectral[blk + l];
      if (rho > 0.0) {
        raw[base + uint(bin) * uint(nl) + uint(l)] += e * double(rho);
        lo = min(lo, bin);
        hi = max(hi, bin);
      }
    }
  }
  extents[2 * item] = lo;
  extents[2 * item + 1] = hi;
}
