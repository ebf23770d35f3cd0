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
#include "media_walk.glsl"

layout(set = 0, binding = 5, scalar) readonly buffer Params { TurbidLeafRRTDeviceParams P; };
layout(set = 0, binding = 8, scalar) readonly buffer Positions { float positions[]; };
layout(set = 0, binding = 9, scalar) readonly buffer LeafNormals { float leaf_normals[]; };
layout(set = 0, binding = 10, scalar) readonly buffer Offsets { int sample_offsets[]; };
layout(set = 0, binding = 11, scalar) readonly buffer SampleMedia { int sample_media[]; };
layout(set = 0, binding = 12, scalar) readonly buffer SampleInstances { int sample_instances[]; };
layout(set = 0, binding = 13, scalar) readonly buffer SunIrradiance { float sun_irradiance[]; };
layout(set = 0, binding = 14, scalar) readonly buffer SkyDiffuse { float sky_diffuse[]; };
// Bindings 15..18: the media (media_walk.glsl).
layout(set = 0, binding = 19, scalar) readonly buffer Reflectance { float medium_reflectance[]; };
layout(set = 0, binding = 20, scalar) readonly buffer BackReflectance { float medium_back_reflectance[]; };
layout(set = 0, binding = 21, scalar) readonly buffer Transmittance { float medium_transmittance[]; };
layout(set = 0, binding = 22, scalar) readonly buffer InstanceRadiance { float instance_lw_radiance[]; };
layout(set = 0, binding = 23, scalar) readonly buffer InstanceEmissivity { float instance_emissivity[]; };
layout(set = 0, binding = 24, scalar) writeonly buffer TotalTop { float total_top[]; };
layout(set = 0, binding = 25, scalar) writeonly buffer TotalBottom { float total_bottom[]; };
layout(set = 0, binding = 26, scalar) writeonly buffer DirectTop { float direct_top[]; };
layout(set = 0, binding = 27, scalar) writeonly buffer DirectBottom { float direct_bottom[]; };
layout(set = 0, binding = 28, scalar) writeonly buffer PSun { float p_sun[]; };
layout(set = 0, binding = 29, scalar) writeonly buffer Rays { uint rays[]; };
layout(push_constant, scalar) uniform Push { TurbidLeafRRTPush R; };

double radiance[kMaxDeviceBands];
double throughput[kMaxDeviceBands];
double side_sum[kMaxDeviceBands];
float reflect_b[kMaxDeviceBands];
float transmit_b[kMaxDeviceBands];
float emission_b[kMaxDeviceBands];

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
// same geometry; the branch is chosen by band means and the band weights correct for it. With
// sun_only, o is the sample's own point and the walk only returns the transmittance toward the
// sun from there: both go through the one transmittance walk below.
double walk(vec3 o, vec3 d, ActiveSet start, vec3 sun, bool sun_only, inout Pcg32 rng) {
  const int nb = P.n_bands;
  path_set = start;
  for (int i = 0; i < kMaxActiveMedia; ++i) path_observed[i] = 0.0;
  for (int b = 0; b < nb; ++b) throughput[b] = 1.0;
  int crossings = 0;
  int events = 0;
  for (int step = 0; step < kMaxPathSteps; ++step) {
    MediumEvent ev;
    vec3 facing = vec3(0.0);
    vec3 sun_origin = o;
    bool front_lit = true;
    bool lit = sun_only;
    if (!sun_only) {
      o = nudge_into_tile_media(o, d);
      if (path_set.count == 0 && escapes_scene_top(o, d)) {
        for (int b = 0; b < nb; ++b) radiance[b] += throughput[b] * double(sky(d, b));
        return 0.0;
      }
      ev = media_step(o, d, path_set, crossings, rng);
      ++media_queries;
      if (ev.kind == kEventEscape) {
        for (int b = 0; b < nb; ++b) radiance[b] += throughput[b] * double(sky(d, b));
        return 0.0;
      }
      if (ev.kind == kEventTileCrossing) {
        o = wrap_path(o, d, ev.exit);
        ++crossings;
        continue;
      }
      if (ev.kind == kEventBoundary) {
        update_set(path_set, true, ev.medium_id, ev.instance_id, ev.hit.is_back_face);
        o = offset_ray_origin(ev.hit.position, ev.hit.geometric_normal, d);
        continue;
      }
      if (ev.kind == kEventSurface) {
        facing = ev.hit.geometric_normal;
        surface_optics(ev.hit);
        sun_origin = offset_ray_origin(ev.hit.position, ev.hit.geometric_normal, sun);
      } else {
        const LeafHit leaf = sample_leaf_normal(media[ev.medium_id].leaf_angle_type, d, rng);
        facing = leaf.facing;
        leaf_optics(ev.medium_id, ev.instance_id, leaf.back_face);
        sun_origin = ev.position + kBoundaryStep * sun;
      }
    }
    double mean_r = 0.0;
    double mean_t = 0.0;
    float cos_sun = 0.0;
    if (!sun_only) {
      for (int b = 0; b < nb; ++b) {
        radiance[b] += throughput[b] * double(emission_b[b]);
        mean_r += reflect_b[b];
        mean_t += transmit_b[b];
      }
      mean_r /= double(nb);
      mean_t /= double(nb);
      cos_sun = dot(facing, sun);
      // The sun lights the side the ray arrived on (reflection) or the far side (transmission).
      front_lit = cos_sun > 0.0;
      lit = P.has_sun != 0 && cos_sun != 0.0 && (front_lit ? mean_r : mean_t) > 0.0;
    }
    if (lit) {
      const double t = media_transmittance(sun_origin, sun, path_set, crossings,
                                           kMinSunTransmittance);
      if (sun_only) return t;
      if (t >= kMinSunTransmittance) {
        const double k = t * double(abs(cos_sun)) / 3.14159265358979323846;
        for (int b = 0; b < nb; ++b) {
          const float f = front_lit ? reflect_b[b] : transmit_b[b];
          radiance[b] += throughput[b] * double(f) * k * double(sun_irradiance[b]);
        }
      }
    }
    if (sun_only || ++events >= P.max_depth) return 0.0;
    const double u = double(pcg_uniform(rng));
    if (!(u < mean_r + mean_t)) return 0.0;  // absorbed
    const bool reflected = u < mean_r;
    const double pick = reflected ? mean_r : mean_t;
    double largest = 0.0;
    for (int b = 0; b < nb; ++b) {
      const float f = reflected ? reflect_b[b] : transmit_b[b];
      throughput[b] *= double(f) / pick;
      largest = max(largest, throughput[b]);
    }
    if (largest <= kMinThroughput) return 0.0;
    d = sample_cosine_about(reflected ? facing : -facing, rng);
    o = ev.kind == kEventSurface ? offset_ray_origin(ev.hit.position, ev.hit.geometric_normal, d)
                                 : ev.position;
    for (int i = 0; i < kMaxActiveMedia; ++i) path_observed[i] = 0.0;
  }
  return 0.0;
}

void main() {
  const uint local = work_index();
  if (local >= R.count) return;
  const uint s = R.first_sample + local;
  const int nb = P.n_bands;
  const uint n = uint(P.n_samples);
  set_optics(nb, P.spectral_size, -1, P.sky_directional, -1, vec3(0.0));
  media_queries = 0u;
  const vec3 pos = vec3(positions[3 * s], positions[3 * s + 1], positions[3 * s + 2]);
  const vec3 normal =
      normalize(vec3(leaf_normals[3 * s], leaf_normals[3 * s + 1], leaf_normals[3 * s + 2]));
  const vec3 sun = vec3(P.sun[0], P.sun[1], P.sun[2]);
  ActiveSet start_set = empty_set();
  for (int k = sample_offsets[s]; k < sample_offsets[s + 1]; ++k) {
    if (sample_media[k] < 0 || start_set.count == kMaxActiveMedia) continue;
    start_set.medium_ids[start_set.count] = sample_media[k];
    start_set.instance_ids[start_set.count] = sample_instances[k];
    ++start_set.count;
  }
  // The sample's stream: start state s * 1000003 + seed on the sequence of item s ^ seed.
  const uint64_t seed = (uint64_t(P.seed_hi) << 32) | uint64_t(P.seed_lo);
  Pcg32 rng;
  pcg_seed(rng, uint64_t(s) * 1000003ul + seed,
           mix_bits(mix_bits(uint64_t(kStreamLeafSample)) ^ (uint64_t(s) ^ seed)));

  // The direct sun: the side facing it receives |n.s| E when the leaf is sunlit; the
  // transmittance toward the sun through the media is the probability that it is. It is walk -1
  // of the first side, ahead of the hemisphere rays (it draws nothing).
  const float cos_sun = dot(normal, sun);
  const bool upper_lit = cos_sun >= 0.0;
  const vec3 lit_side = upper_lit ? normal : -normal;
  double t_sun = 0.0;
  const double c_abs = double(abs(cos_sun));
  const double inv_rays = 1.0 / double(P.rays_per_sample);

  for (int side = 0; side < 2; ++side) {
    const vec3 n_side = side == 0 ? normal : -normal;
    for (int b = 0; b < nb; ++b) side_sum[b] = 0.0;
    for (int i = side == 0 && cos_sun != 0.0 ? -1 : 0; i < P.rays_per_sample; ++i) {
      const bool sun_only = i < 0;
      for (int b = 0; b < nb; ++b) radiance[b] = 0.0;
      const vec3 o = sun_only ? pos + kBoundaryStep * lit_side : pos;
      const vec3 d = sun_only ? sun : sample_cosine_about(n_side, rng);
      const double t = walk(o, d, start_set, sun, sun_only, rng);
      if (sun_only) {
        t_sun = t;
      } else {
        for (int b = 0; b < nb; ++b) side_sum[b] += radiance[b];
      }
    }
    if (side == 0) p_sun[s] = float(t_sun);
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
  rays[s] = media_queries;
}
