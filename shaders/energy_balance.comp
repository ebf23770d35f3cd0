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

const float kPi = 3.14159265;
const float kFaceSampleOffset = 1e-4;
const float kStefanBoltzmann = 5.6703744e-8;
const float kDefaultEmissivity = 0.97;
const uint kStreamEnergyBalance = 3u;

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

void main() {
  const uint p = work_index();
  if (p >= uint(P.n_primitives)) return;
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
