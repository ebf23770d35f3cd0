#version 460
// Single-band energy balance: one invocation per primitive estimates the irradiance on its top
// (and bottom) face with the CPU's per-primitive stream, face samples, cosine-weighted rays,
// tile crossings, grey longwave emission, albedo-weighted sky and sun of the surfaces seen,
// and the direct sun on the face.
#extension GL_GOOGLE_include_directive : require
#extension GL_EXT_shader_explicit_arithmetic_types_float64 : require
#include "scene_bindings.glsl"
#include "transport.glsl"
#include "optics.glsl"

layout(set = 0, binding = 5, scalar) readonly buffer Params { EnergyBalanceParams P; };
layout(set = 0, binding = 8, scalar) readonly buffer Primitives { DevicePrimitive prims[]; };
layout(set = 0, binding = 9, scalar) readonly buffer Temperatures { float temperatures[]; };
layout(set = 0, binding = 10, scalar) readonly buffer Emissivities { float emissivities[]; };
layout(set = 0, binding = 11, scalar) readonly buffer Albedos { float albedos[]; };
layout(set = 0, binding = 12, scalar) writeonly buffer Top { float top[]; };
layout(set = 0, binding = 13, scalar) writeonly buffer Bottom { float bottom[]; };
layout(set = 0, binding = 14, scalar) readonly buffer SunIrradiance { float sun_irradiance[]; };
layout(set = 0, binding = 15, scalar) readonly buffer SkyDiffuse { float sky_diffuse[]; };
layout(set = 0, binding = 16, scalar) readonly buffer Reflectance { float sw_reflectance[]; };
layout(set = 0, binding = 17, scalar) readonly buffer BackReflectance { float sw_back_reflectance[]; };
layout(set = 0, binding = 18, scalar) readonly buffer Transmittance { float sw_transmittance[]; };
layout(set = 0, binding = 19, scalar) writeonly buffer Sunlit { float sunlit_fraction[]; };


vec3 prim_vertex(DevicePrimitive g, int k) {
  if (k == 0) return vec3(g.v0[0], g.v0[1], g.v0[2]);
  if (k == 1) return vec3(g.v1[0], g.v1[1], g.v1[2]);
  return vec3(g.v2[0], g.v2[1], g.v2[2]);
}

// Closest hit; in a periodic scene the ray continues across up to num_repetitions walls.
SurfaceHit closest_hit(vec3 o, vec3 d) {
  int crossings = 0;
  for (;;) {
    const SurfaceHit h = trace_closest_hit(o, d, kRayTMin, kRayTMax);
    if (h.hit || P.periodic == 0 || crossings >= P.num_repetitions ||
        (o.z > P.z_top && d.z >= 0.0)) {
      return h;
    }
    const TileExit exit = cross_tile(o, d, P.tile_x, P.tile_y);
    if (exit.axis < 0) return h;
    o = wrap_at_exit(o, d, exit, P.tile_x, P.tile_y);
    ++crossings;
  }
}

bool sees_sun(vec3 origin, vec3 d) {
  if (origin.z > P.z_top && d.z >= 0.0) return true;
  if (occluded(origin, d, kRayTMin, kFarDistance)) return false;
  if (P.periodic == 0) return true;
  float budget = kFarDistance;
  vec3 o = origin;
  for (int crossing = 0; crossing < P.num_repetitions; ++crossing) {
    const TileExit exit = cross_tile(o, d, P.tile_x, P.tile_y);
    if (exit.axis < 0) return true;
    o = wrap_at_exit(o, d, exit, P.tile_x, P.tile_y);
    budget -= exit.t;
    if (budget <= 0.0) return true;
    if (o.z > P.z_top && d.z >= 0.0) return true;
    if (occluded(o, d, kRayTMin, budget)) return false;
  }
  return true;
}

float grey_emission_radiance(float emissivity, float temperature) {
  if (!(temperature > 0.0)) return 0.0;
  const float t2 = temperature * temperature;
  return emissivity * kStefanBoltzmann * t2 * t2 * kInvPi;
}

float incoming(SurfaceHit h, vec3 s) {
  if (!h.hit) return P.longwave != 0 ? P.sky_lw : P.sky_sw;
  const int q = h.global_primitive_id;
  const bool valid = q >= 0 && q < P.n_primitives;
  if (P.longwave != 0) {
    float temperature = 0.0;
    if (valid && q < P.n_temperatures) {
      temperature = temperatures[q];
    } else if (h.material_id >= 0 && h.material_id < P.n_materials) {
      temperature = materials[h.material_id].scalar_params[2];
    }
    const float e = valid && q < P.n_emissivities ? emissivities[q] : kDefaultEmissivity;
    return grey_emission_radiance(e, temperature);
  }
  if (!valid || P.n_albedos == 0 || !(albedos[q] > 0.0)) return 0.0;
  const float a = albedos[q];
  float l = a * P.sky_sw;
  if (P.e_sun > 0.0) {
    const DevicePrimitive g = prims[q];
    const vec3 n = vec3(g.normal[0], g.normal[1], g.normal[2]);
    const float cos_q = abs(dot(n, s));
    if (cos_q > 0.0) {
      const vec3 side = dot(n, s) >= 0.0 ? n : -n;
      const vec3 mid = (prim_vertex(g, 0) + prim_vertex(g, 1) + prim_vertex(g, 2)) / 3.0;
      if (sees_sun(mid + kFaceSampleOffset * side, s)) l += a * kInvPi * P.e_sun * cos_q;
    }
  }
  return l;
}

float clamp01(float x) {
  return x > 0.0 ? (x < 1.0 ? x : 1.0) : 0.0;
}

// Reflectance r and transmittance t of primitive q in band b (the CPU's band optics).
void band_optics(int q, int b, bool back, out float r, out float t) {
  r = 0.0;
  t = 0.0;
  if (q < 0 || q >= P.n_primitives) return;
  const int i = b * P.n_primitives + q;
  if (P.has_reflectance != 0 || P.has_back_reflectance != 0 || P.has_transmittance != 0) {
    if (back) {
      if (P.has_back_reflectance != 0) r = clamp01(sw_back_reflectance[i]);
    } else if (P.has_reflectance != 0) {
      r = clamp01(sw_reflectance[i]);
    }
    if (P.has_transmittance != 0) t = clamp01(sw_transmittance[i]);
  } else if (P.has_albedo != 0) {
    r = clamp01(albedos[i]);
  }
}

double mb_sum[kMaxDeviceBands];
double mb_throughput[kMaxDeviceBands];
float mb_reflect[kMaxDeviceBands];
float mb_transmit[kMaxDeviceBands];

// All bands at once: multi-bounce paths through reflecting and transmitting surfaces.
void multiband(uint p) {
  const int nb = P.n_bands;
  const int n = P.n_primitives;
  const DevicePrimitive g = prims[p];
  const vec3 a = prim_vertex(g, 0);
  const vec3 b0 = prim_vertex(g, 1);
  const vec3 c = prim_vertex(g, 2);
  const vec3 s = vec3(P.sun[0], P.sun[1], P.sun[2]);
  const bool has_sun = P.has_sun != 0;
  Pcg32 rng;
  pcg_seed(rng, 1000003ul * uint64_t(p),
           mix_bits(mix_bits(uint64_t(kStreamEnergyBalance)) ^ uint64_t(p)));
  float sunlit = 0.0;
  for (int face = 0; face < (P.two_sided != 0 ? 2 : 1); ++face) {
    const vec3 normal = face == 0 ? vec3(g.normal[0], g.normal[1], g.normal[2])
                                  : -vec3(g.normal[0], g.normal[1], g.normal[2]);
    const float c0 = dot(normal, s);
    const ShadingFrame frame = frame_from_normal(normal);
    for (int b = 0; b < nb; ++b) mb_sum[b] = 0.0;
    int lit = 0;
    for (int i = 0; i < P.n_samples; ++i) {
      float u1 = pcg_uniform(rng);
      float u2 = pcg_uniform(rng);
      if (u1 + u2 > 1.0) {
        u1 = 1.0 - u1;
        u2 = 1.0 - u2;
      }
      const float u3 = pcg_uniform(rng);
      const float u4 = pcg_uniform(rng);
      const vec3 x = (1.0 - u1 - u2) * a + u1 * b0 + u2 * c;
      vec3 o = x + kFaceSampleOffset * normal;
      vec3 d = to_world(frame, sample_cosine_hemisphere(u4, u3).wi);
      if (has_sun && c0 > 0.0 && sees_sun(o, s)) ++lit;
      for (int b = 0; b < nb; ++b) mb_throughput[b] = 1.0;
      for (int depth = 0; depth < P.max_depth; ++depth) {
        const SurfaceHit h = closest_hit(o, d);
        if (!h.hit) {
          for (int b = 0; b < nb; ++b) {
            const float l = P.sky_from_array != 0 ? sky_diffuse[b] : sky_radiance(d, b);
            mb_sum[b] += mb_throughput[b] * double(l);
          }
          break;
        }
        const vec3 nq = h.geometric_normal;
        float max_r = 0.0;
        float max_t = 0.0;
        for (int b = 0; b < nb; ++b) {
          band_optics(h.global_primitive_id, b, h.is_back_face, mb_reflect[b], mb_transmit[b]);
          max_r = max(max_r, mb_reflect[b]);
          max_t = max(max_t, mb_transmit[b]);
        }
        const float cos_sun = dot(nq, s);
        if (has_sun && cos_sun != 0.0 && sees_sun(h.position + 2e-4 * s, s)) {
          const double k = double(kInvPi) * double(abs(cos_sun));
          for (int b = 0; b < nb; ++b) {
            const float f = cos_sun > 0.0 ? mb_reflect[b] : mb_transmit[b];
            mb_sum[b] += mb_throughput[b] * double(f) * k * double(sun_irradiance[b]);
          }
        }
        const float total = max_r + max_t;
        if (total <= 1e-8 || depth + 1 == P.max_depth) break;
        bool reflect = max_r > 1e-8;
        if (reflect && max_t > 1e-8) reflect = pcg_uniform(rng) * total < max_r;
        const double pick = double(reflect ? max_r : max_t) / double(total);
        double largest = 0.0;
        for (int b = 0; b < nb; ++b) {
          mb_throughput[b] *= double(reflect ? mb_reflect[b] : mb_transmit[b]) / pick;
          largest = max(largest, mb_throughput[b]);
        }
        if (largest <= kMinThroughput) break;
        const float u_phi = pcg_uniform(rng);
        const float u_r = pcg_uniform(rng);
        d = to_world(frame_from_normal(reflect ? nq : -nq), sample_cosine_hemisphere(u_r, u_phi).wi);
        o = offset_ray_origin(h.position, h.geometric_normal, d);
      }
    }
    for (int b = 0; b < nb; ++b) {
      const double direct = has_sun && lit > 0 ? double(c0) * double(sun_irradiance[b]) *
                                                     double(lit) / double(P.n_samples)
                                               : 0.0;
      const float value = float(mb_sum[b] * double(kPi) / double(P.n_samples) + direct);
      if (face == 0) {
        top[b * n + int(p)] = value;
      } else {
        bottom[b * n + int(p)] = value;
      }
    }
    sunlit += float(double(lit) / double(P.n_samples));
  }
  sunlit_fraction[p] = sunlit;
}

void main() {
  const uint p = work_index();
  if (p >= uint(P.n_primitives)) return;
  if (P.multiband != 0) {
    set_optics(P.scene_n_bands, P.spectral_size, P.sky_uniform, P.sky_directional, P.sky_hw,
               vec3(P.hw_sun[0], P.hw_sun[1], P.hw_sun[2]));
    multiband(p);
    return;
  }
  const DevicePrimitive g = prims[p];
  const vec3 a = prim_vertex(g, 0);
  const vec3 b = prim_vertex(g, 1);
  const vec3 c = prim_vertex(g, 2);
  const vec3 s = vec3(P.sun[0], P.sun[1], P.sun[2]);
  Pcg32 rng;
  pcg_seed(rng, 1000003ul * uint64_t(p),
           mix_bits(mix_bits(uint64_t(kStreamEnergyBalance)) ^ uint64_t(p)));
  for (int face = 0; face < (P.two_sided != 0 ? 2 : 1); ++face) {
    const vec3 n = face == 0 ? vec3(g.normal[0], g.normal[1], g.normal[2])
                             : -vec3(g.normal[0], g.normal[1], g.normal[2]);
    const float c0 = dot(n, s);
    const bool direct = P.longwave == 0 && P.e_sun > 0.0 && c0 > 0.0;
    const ShadingFrame frame = frame_from_normal(n);
    double radiance = 0.0;
    int lit = 0;
    for (int i = 0; i < P.n_samples; ++i) {
      float u1 = pcg_uniform(rng);
      float u2 = pcg_uniform(rng);
      if (u1 + u2 > 1.0) {
        u1 = 1.0 - u1;
        u2 = 1.0 - u2;
      }
      const float u3 = pcg_uniform(rng);
      const float u4 = pcg_uniform(rng);
      const vec3 x = (1.0 - u1 - u2) * a + u1 * b + u2 * c;
      const vec3 origin = x + kFaceSampleOffset * n;
      const vec3 dir = to_world(frame, sample_cosine_hemisphere(u4, u3).wi);
      radiance += double(incoming(closest_hit(origin, dir), s));
      if (direct && sees_sun(origin, s)) ++lit;
    }
    const double value = radiance * double(kPi) / double(P.n_samples) +
                         double(c0) * double(P.e_sun) * double(lit) / double(P.n_samples);
    if (face == 0) {
      top[p] = float(value);
    } else {
      bottom[p] = float(value);
    }
  }
}
