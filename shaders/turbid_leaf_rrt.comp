#version 460
// Leaf reverse ray tracing: one invocation per leaf-area sample runs the CPU tracer of
// embree/turbid_leaf_rrt.cpp on that sample, with the same stream (sample index and seed), the
// same draws in the same order, the sun transmittance that gives p_sun, and rays_per_sample
// cosine-weighted backward walks per side through surfaces and media, the sun added at every
// scattering event and the sky where a walk escapes. Sums stay in doubles per band.
#extension GL_GOOGLE_include_directive : require
#extension GL_EXT_shader_explicit_arithmetic_types_float64 : require
#include "scene_bindings.glsl"
#include "transport.glsl"
#include "optics.glsl"
#include "media.glsl"

layout(set = 0, binding = 5, scalar) readonly buffer Params { TurbidLeafRRTDeviceParams P; };
layout(set = 0, binding = 10, scalar) readonly buffer Positions { float positions[]; };
layout(set = 0, binding = 11, scalar) readonly buffer LeafNormals { float leaf_normals[]; };
layout(set = 0, binding = 12, scalar) readonly buffer Offsets { int active_offsets[]; };
layout(set = 0, binding = 13, scalar) readonly buffer ActiveMedia { int active_media[]; };
layout(set = 0, binding = 14, scalar) readonly buffer ActiveInstances { int active_instances[]; };
layout(set = 0, binding = 15, scalar) readonly buffer SunIrradiance { float sun_irradiance[]; };
layout(set = 0, binding = 16, scalar) readonly buffer SkyDiffuse { float sky_diffuse[]; };
layout(set = 0, binding = 17, scalar) readonly buffer Reflectance { float medium_reflectance[]; };
layout(set = 0, binding = 18, scalar) readonly buffer BackReflectance { float medium_back_reflectance[]; };
layout(set = 0, binding = 19, scalar) readonly buffer Transmittance { float medium_transmittance[]; };
layout(set = 0, binding = 20, scalar) readonly buffer InstanceRadiance { float instance_lw_radiance[]; };
layout(set = 0, binding = 21, scalar) readonly buffer InstanceEmissivity { float instance_emissivity[]; };
layout(set = 0, binding = 22, scalar) writeonly buffer TotalTop { float total_top[]; };
layout(set = 0, binding = 23, scalar) writeonly buffer TotalBottom { float total_bottom[]; };
layout(set = 0, binding = 24, scalar) writeonly buffer DirectTop { float direct_top[]; };
layout(set = 0, binding = 25, scalar) writeonly buffer DirectBottom { float direct_bottom[]; };
layout(set = 0, binding = 26, scalar) writeonly buffer PSun { float p_sun[]; };
layout(set = 0, binding = 27, scalar) writeonly buffer Rays { uint rays[]; };
layout(push_constant, scalar) uniform Push { TurbidLeafRRTPush R; };

double radiance[kMaxDeviceBands];
double throughput[kMaxDeviceBands];
double side_sum[kMaxDeviceBands];
float reflect_b[kMaxDeviceBands];
float transmit_b[kMaxDeviceBands];
float emission_b[kMaxDeviceBands];
uint g_queries;

// ---- leaf normals (core/leaf_scattering.h) --------------------------------------------------
const float kHalfPi = 1.5707964;

float leaf_inclination_cdf(int type, float theta) {
  const float two_over_pi = 0.63661977;
  theta = min(max(theta, 0.0), kHalfPi);
  if (type == 0) return 1.0 - cos(theta);
  if (type == 1) return two_over_pi * (theta + 0.5 * sin(2.0 * theta));
  if (type == 2) return two_over_pi * (theta - 0.5 * sin(2.0 * theta));
  if (type == 3) return two_over_pi * (theta - 0.25 * sin(4.0 * theta));
  if (type == 4) return two_over_pi * (theta + 0.25 * sin(4.0 * theta));
  return two_over_pi * theta;
}

float leaf_inclination_pdf(int type, float theta) {
  const float two_over_pi = 0.63661977;
  if (type == 0) return sin(theta);
  if (type == 1) return two_over_pi * (1.0 + cos(2.0 * theta));
  if (type == 2) return two_over_pi * (1.0 - cos(2.0 * theta));
  if (type == 3) return two_over_pi * (1.0 - cos(4.0 * theta));
  if (type == 4) return two_over_pi * (1.0 + cos(4.0 * theta));
  return two_over_pi;
}

// theta_L with F(theta_L) = u: closed forms for the spherical and uniform types, otherwise
// Newton steps inside a shrinking bracket.
float sample_leaf_inclination(int type, float u) {
  u = min(max(u, 0.0), 1.0);
  if (type == 0) return acos(1.0 - u);
  if (type < 0 || type > 4) return u * kHalfPi;
  float lo = 0.0;
  float hi = kHalfPi;
  float theta = u * kHalfPi;
  for (int it = 0; it < 40; ++it) {
    const float f = leaf_inclination_cdf(type, theta) - u;
    if (abs(f) < 2e-7) break;
    if (f > 0.0) {
      hi = theta;
    } else {
      lo = theta;
    }
    if (hi - lo < 1e-7) break;
    const float g = leaf_inclination_pdf(type, theta);
    float next = g > 1e-6 ? theta - f / g : lo - 1.0;
    if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
    theta = next;
  }
  return theta;
}

// The leaf met along d: inclination by inverse CDF, uniform azimuth, accepted with probability
// |n.d| (64 tries at most). Returns the normal facing the incoming ray; back_face tells whether
// the lower side was hit.
vec3 sample_leaf_facing(int type, vec3 d, inout Pcg32 rng, out bool back_face) {
  vec3 n = vec3(0.0, 0.0, 1.0);
  for (int tries = 0; tries < 64; ++tries) {
    const float theta = sample_leaf_inclination(type, pcg_uniform(rng));
    const float phi = kTwoPi * pcg_uniform(rng);
    const float s = sin(theta);
    n = vec3(s * cos(phi), s * sin(phi), cos(theta));
    if (pcg_uniform(rng) < abs(dot(n, d))) break;
  }
  back_face = dot(n, d) > 0.0;
  return back_face ? -n : n;
}

vec3 sample_cosine_about(vec3 n, inout Pcg32 rng) {
  const float u_phi = pcg_uniform(rng);
  const float u_r = pcg_uniform(rng);
  return to_world(frame_from_normal(n), sample_cosine_hemisphere(u_r, u_phi).wi);
}

// ---- sources and optics ---------------------------------------------------------------------
float sky(vec3 d, int b) {
  if (P.sky_directional >= 0) return directional_sky_radiance(P.sky_directional, d, b);
  return P.has_sky_diffuse != 0 ? sky_diffuse[b] : 0.0;
}

float clamp_to(float x, float hi) {
  return min(max(x, 0.0), hi);
}

// Thermal optics of an instance: reflectance 1 - e, nothing transmitted, its radiance emitted
// (a thermal run always carries both per-instance arrays).
void thermal_optics(int instance) {
  const bool valid = instance >= 0;
  const float e = valid ? instance_emissivity[instance] : kTurbidDefaultEmissivity;
  const float l = valid ? instance_lw_radiance[instance] : 0.0;
  for (int b = 0; b < P.n_bands; ++b) {
    reflect_b[b] = clamp_to(1.0 - e, 1.0);
    transmit_b[b] = 0.0;
    emission_b[b] = l;
  }
}

// Optics of a surface hit, seen from the side the ray arrived on: a Diffuse material reflects
// its block on both sides, a DiffuseTransmitting one reflects and transmits, others absorb.
void surface_optics(SurfaceHit h) {
  if (P.thermal != 0) {
    thermal_optics(h.instance_id);
    return;
  }
  const int nb = P.n_bands;
  int front = -1;
  int back = -1;
  int trans = -1;
  if (h.material_id >= 0 && h.material_id < P.n_materials) {
    const DeviceMaterial m = materials[h.material_id];
    if (m.type == 13) {
      const int blk = spectral_block(m.spectral_offset, 3 * nb);
      if (blk >= 0) {
        front = blk;
        back = blk + nb;
        trans = blk + 2 * nb;
      }
    } else if (m.type == 0) {
      front = spectral_block(m.spectral_offset, nb);
      back = front;
    }
  }
  const int side = h.is_back_face ? back : front;
  for (int b = 0; b < nb; ++b) {
    const float rho = side >= 0 ? clamp_to(spectral[side + b], 1.0) : 0.0;
    reflect_b[b] = rho;
    transmit_b[b] = clamp_to(trans >= 0 ? spectral[trans + b] : 0.0, 1.0 - rho);
    emission_b[b] = 0.0;
  }
}

// Optics of a virtual leaf of medium m (carried by `instance`), hit on its lower side when
// back_face: the call's per-medium optics.
void leaf_optics(int m, int instance, bool back_face) {
  if (P.thermal != 0) {
    thermal_optics(instance);
    return;
  }
  const int nb = P.n_bands;
  const int base = m * nb;
  const bool use_back = back_face && P.has_back_reflectance != 0;
  const bool has_side = use_back || P.has_reflectance != 0;
  for (int b = 0; b < nb; ++b) {
    float rho = 0.0;
    if (has_side) {
      rho = clamp_to(use_back ? medium_back_reflectance[base + b] : medium_reflectance[base + b],
                     1.0);
    }
    const float tau = P.has_transmittance != 0 ? medium_transmittance[base + b] : 0.0;
    reflect_b[b] = rho;
    transmit_b[b] = clamp_to(tau, 1.0 - rho);
    emission_b[b] = 0.0;
  }
}

// ---- the walk -------------------------------------------------------------------------------
// Adds to radiance[] what arrives at o from -d: a backward walk through surfaces and media that
// adds the sun at every scattering event and the sky where it escapes. Every band follows the
// same geometry; the branch is chosen by band means and the band weights correct for it.
void walk(vec3 o, vec3 d, ActiveSet start, vec3 sun, inout Pcg32 rng) {
  const int nb = P.n_bands;
  ActiveSet set = start;
  for (int b = 0; b < nb; ++b) throughput[b] = 1.0;
  int crossings = 0;
  int events = 0;
  for (int step = 0; step < kMaxPathSteps; ++step) {
    o = nudge_into_tile(o, d);
    if (set.count == 0 && escapes_upward(o, d)) {
      for (int b = 0; b < nb; ++b) radiance[b] += throughput[b] * double(sky(d, b));
      return;
    }
    const MediumEvent ev = media_step(o, d, set, crossings, rng);
    ++g_queries;
    if (ev.kind == kEventEscape) {
      for (int b = 0; b < nb; ++b) radiance[b] += throughput[b] * double(sky(d, b));
      return;
    }
    if (ev.kind == kEventTileCrossing) {
      o = wrap_path(o, d, ev.exit, set, g_queries);
      ++crossings;
      continue;
    }
    if (ev.kind == kEventBoundary) {
      update_set(set, ev.medium_id, ev.instance_id, ev.hit.is_back_face);
      o = offset_ray_origin(ev.hit.position, ev.hit.geometric_normal, d);
      continue;
    }
    vec3 facing;
    vec3 sun_origin;
    if (ev.kind == kEventSurface) {
      facing = ev.hit.geometric_normal;
      surface_optics(ev.hit);
      sun_origin = offset_ray_origin(ev.hit.position, ev.hit.geometric_normal, sun);
    } else {
      bool back_face;
      facing = sample_leaf_facing(media[ev.medium_id].leaf_angle_type, d, rng, back_face);
      leaf_optics(ev.medium_id, ev.instance_id, back_face);
      sun_origin = ev.position + kBoundaryStep * sun;
    }
    double mean_r = 0.0;
    double mean_t = 0.0;
    for (int b = 0; b < nb; ++b) {
      radiance[b] += throughput[b] * double(emission_b[b]);
      mean_r += reflect_b[b];
      mean_t += transmit_b[b];
    }
    mean_r /= double(nb);
    mean_t /= double(nb);
    if (P.has_sun != 0) {
      const float cos_sun = dot(facing, sun);
      // The sun lights the side the ray arrived on (reflection) or the far side (transmission).
      const bool front_lit = cos_sun > 0.0;
      if (cos_sun != 0.0 && (front_lit ? mean_r : mean_t) > 0.0) {
        const double t = media_transmittance(sun_origin, sun, set, crossings, g_queries);
        if (t >= kMinSunTransmittance) {
          const double k = t * double(abs(cos_sun)) / 3.14159265358979323846;
          for (int b = 0; b < nb; ++b) {
            const float f = front_lit ? reflect_b[b] : transmit_b[b];
            radiance[b] += throughput[b] * double(f) * k * double(sun_irradiance[b]);
          }
        }
      }
    }
    if (++events >= P.max_depth) return;
    const double u = double(pcg_uniform(rng));
    if (!(u < mean_r + mean_t)) return;  // absorbed
    const bool reflected = u < mean_r;
    const double pick = reflected ? mean_r : mean_t;
    double largest = 0.0;
    for (int b = 0; b < nb; ++b) {
      const float f = reflected ? reflect_b[b] : transmit_b[b];
      throughput[b] *= double(f) / pick;
      largest = max(largest, throughput[b]);
    }
    if (largest <= kMinThroughput) return;
    d = sample_cosine_about(reflected ? facing : -facing, rng);
    o = ev.kind == kEventSurface ? offset_ray_origin(ev.hit.position, ev.hit.geometric_normal, d)
                                 : ev.position;
  }
}

void main() {
  const uint local = work_index();
  if (local >= R.count) return;
  const uint s = R.first_sample + local;
  const int nb = P.n_bands;
  const uint n = uint(P.n_samples);
  set_optics(nb, P.spectral_size, -1, P.sky_directional, -1, vec3(0.0));
  set_media(P.n_media, P.n_material_ids, P.periodic, P.num_repetitions, P.tile_x, P.tile_y,
            P.z_top, vec3(P.box_min[0], P.box_min[1], P.box_min[2]),
            vec3(P.box_max[0], P.box_max[1], P.box_max[2]));
  g_queries = 0u;
  const vec3 pos = vec3(positions[3 * s], positions[3 * s + 1], positions[3 * s + 2]);
  const vec3 normal =
      normalize(vec3(leaf_normals[3 * s], leaf_normals[3 * s + 1], leaf_normals[3 * s + 2]));
  const vec3 sun = vec3(P.sun[0], P.sun[1], P.sun[2]);
  ActiveSet start_set = empty_set();
  for (int k = active_offsets[s]; k < active_offsets[s + 1]; ++k) {
    if (active_media[k] < 0 || start_set.count == kMaxActiveMedia) continue;
    start_set.medium_ids[start_set.count] = active_media[k];
    start_set.instance_ids[start_set.count] = active_instances[k];
    ++start_set.count;
  }
  // The sample's stream: start state s * 1000003 + seed on the sequence of item s ^ seed.
  const uint64_t seed = (uint64_t(P.seed_hi) << 32) | uint64_t(P.seed_lo);
  Pcg32 rng;
  pcg_seed(rng, uint64_t(s) * 1000003ul + seed,
           mix_bits(mix_bits(uint64_t(kStreamLeafSample)) ^ (uint64_t(s) ^ seed)));

  // The direct sun: the side facing it receives |n.s| E when the leaf is sunlit; the
  // transmittance toward the sun through the media is the probability that it is.
  const float cos_sun = dot(normal, sun);
  const bool upper_lit = cos_sun >= 0.0;
  double t_sun = 0.0;
  if (cos_sun != 0.0) {
    const vec3 lit_side = upper_lit ? normal : -normal;
    t_sun = media_transmittance(pos + kBoundaryStep * lit_side, sun, start_set, 0, g_queries);
    if (t_sun < kMinSunTransmittance) t_sun = 0.0;
  }
  p_sun[s] = float(t_sun);
  const double c_abs = double(abs(cos_sun));
  const double inv_rays = 1.0 / double(P.rays_per_sample);

  for (int side = 0; side < 2; ++side) {
    const vec3 n_side = side == 0 ? normal : -normal;
    for (int b = 0; b < nb; ++b) side_sum[b] = 0.0;
    for (int i = 0; i < P.rays_per_sample; ++i) {
      for (int b = 0; b < nb; ++b) radiance[b] = 0.0;
      const vec3 d = sample_cosine_about(n_side, rng);
      walk(pos, d, start_set, sun, rng);
      for (int b = 0; b < nb; ++b) side_sum[b] += radiance[b];
    }
    const bool lit = (side == 0) == upper_lit;
    for (int b = 0; b < nb; ++b) {
      const uint at = uint(b) * n + s;
      double value = side_sum[b] * 3.14159265358979323846 * inv_rays;
      float direct = 0.0;
      if (lit && P.has_sun != 0) {
        const double e_dir = c_abs * double(sun_irradiance[b]);
        direct = float(e_dir);
        value += e_dir * t_sun;
      }
      if (side == 0) {
        total_top[at] = float(value);
        direct_top[at] = direct;
      } else {
        total_bottom[at] = float(value);
        direct_bottom[at] = direct;
      }
    }
  }
  rays[s] = g_queries;
}
