#version 460
// Microwave lines of sight through the scene, one invocation per ray, with the surface
// responses taken from the tables the host evaluated (linear interpolation in the cosine
// between the ray and the surface's geometric normal over the grid mu_i = i / (M - 1)).
//
// Passive (brightness temperature, H and V): the ray follows its specular chain. A soil or
// trunk surface adds its emission T_B,p(mu) and reflects the rest of the path with
// Gamma_p(mu); a vegetation surface is a layer of nadir optical depth tau, albedo w and
// temperature T crossed straight, with transmissivity g = exp(-tau / mu): it adds
// (1 - w)(1 - g) T and passes g of what lies behind it. An absorber (or an unmapped material)
// ends the path at the air temperature, and so does running out of interactions. A ray leaving
// upward sees the atmosphere: T_air (1 - t) + T_cosmic t with t = exp(-tau_atm / mu); leaving
// below the horizon it sees the air temperature.
//
// Active (monostatic backscatter HH, HV, VH, VV): vegetation layers in front of the first
// soil or trunk surface add the co-polarised volume term w mu (1 - g^2) / 2 and attenuate what
// lies behind them by g^2 (two-way); the first soil surface returns its table sigmas, the first
// trunk its direct and trunk-ground double-bounce sigmas. With a dihedral ground table the
// double bounce is scaled by the ground that the trunk's mirror image of the line of sight
// reaches (dihedral_ground_factor).
//
// Vegetation phase tables (P.lut_cosines > 0): a vegetation crossing still emits
// (1 - w)(1 - g) T, but the line of sight now scatters there with probability 1 - g (else it
// passes straight): its new direction is drawn from the cosine and relative-azimuth CDFs of
// the incident cosine cell, and its (H, V) weight is multiplied by w M / (4 pi pdf), M the 2 x 2
// intensity block of the cell's phase matrix. Directions are those the line of sight travels;
// cosines are against +z in P.lut_cosines cells over [-1, 1], azimuths relative to the
// incident one in P.lut_azimuths cells over [0, 2 pi). Active mode reads the backscatter cell
// of the block into the volume term. Random numbers come from the stream of the ray index.
//
// Smooth soil (class 4, passive): emits (1 - Gamma_s,p) T_eff and reflects specularly with the
// smooth reflectivities Gamma_s,p of smooth_soil_table; T_eff is the passive row's
// (T_B,H + T_B,V) / (2 - Gamma_H - Gamma_V). Active: a specular surface returns nothing.
#extension GL_GOOGLE_include_directive : require
#include "scene_bindings.glsl"
#include "transport.glsl"

layout(set = 0, binding = 5, scalar) readonly buffer Params { MicrowaveParams P; };
// Origins and unit directions, 6 floats per ray.
layout(set = 0, binding = 6, scalar) readonly buffer Rays { float rays[]; };
// (class, index) per scene material.
layout(set = 0, binding = 7, scalar) readonly buffer MaterialMap { int material_map[]; };
layout(set = 0, binding = 8, scalar) readonly buffer PassiveSoil { float passive_soil[]; };
layout(set = 0, binding = 9, scalar) readonly buffer ActiveSoil { float active_soil[]; };
layout(set = 0, binding = 10, scalar) readonly buffer Vegetation { float vegetation[]; };
layout(set = 0, binding = 11, scalar) readonly buffer TrunkResponse { float trunk_response[]; };
layout(set = 0, binding = 12, scalar) readonly buffer TrunkActive { float trunk_active[]; };
layout(set = 0, binding = 13, scalar) readonly buffer SmoothSoil { float smooth_soil[]; };
layout(set = 0, binding = 14, scalar) readonly buffer DihedralGround { float dihedral_ground[]; };
// Phase matrices [vegetation][cos in][cos out][azimuth][16] and their sampling CDFs
// [vegetation][cos in][cos out] and [vegetation][cos in][cos out][azimuth].
layout(set = 0, binding = 15, scalar) readonly buffer Mueller { float mueller[]; };
layout(set = 0, binding = 16, scalar) readonly buffer CosineCdf { float cosine_cdf[]; };
layout(set = 0, binding = 17, scalar) readonly buffer AzimuthCdf { float azimuth_cdf[]; };
// Passive: T_B,H, T_B,V, 0, 0; active: the four sigmas.
layout(set = 0, binding = 18, scalar) writeonly buffer Result { float result[]; };

// The table row below mu and the weight of the one above it.
void table_position(float mu, out int row, out float f) {
  const int M = P.table_size;
  const float x = clamp(mu, 0.0, 1.0) * float(M - 1);
  row = min(int(x), M - 2);
  f = x - float(row);
}

vec4 passive_soil_row(int soil, float mu) {
  int i;
  float f;
  table_position(mu, i, f);
  const int at = (soil * P.table_size + i) * kMicrowaveSurfaceColumns;
  vec4 a, b;
  for (int c = 0; c < 4; ++c) {
    a[c] = passive_soil[at + c];
    b[c] = passive_soil[at + kMicrowaveSurfaceColumns + c];
  }
  return mix(a, b, f);
}

vec4 trunk_row(int trunk, float mu) {
  int i;
  float f;
  table_position(mu, i, f);
  const int at = (trunk * P.table_size + i) * kMicrowaveSurfaceColumns;
  vec4 a, b;
  for (int c = 0; c < 4; ++c) {
    a[c] = trunk_response[at + c];
    b[c] = trunk_response[at + kMicrowaveSurfaceColumns + c];
  }
  return mix(a, b, f);
}

vec4 active_soil_row(int soil, float mu) {
  int i;
  float f;
  table_position(mu, i, f);
  const int at = (soil * P.table_size + i) * kMicrowaveBackscatterColumns;
  vec4 a, b;
  for (int c = 0; c < 4; ++c) {
    a[c] = active_soil[at + c];
    b[c] = active_soil[at + kMicrowaveBackscatterColumns + c];
  }
  return mix(a, b, f);
}

// Direct (first = 0) or double-bounce (first = 4) sigmas of a trunk.
vec4 trunk_active_row(int trunk, float mu, int first) {
  int i;
  float f;
  table_position(mu, i, f);
  const int at = (trunk * P.table_size + i) * kMicrowaveTrunkActiveColumns + first;
  const int next = at + kMicrowaveTrunkActiveColumns;
  vec4 a, b;
  for (int c = 0; c < 4; ++c) {
    a[c] = trunk_active[at + c];
    b[c] = trunk_active[next + c];
  }
  return mix(a, b, f);
}

vec2 smooth_soil_row(int soil, float mu) {
  int i;
  float f;
  table_position(mu, i, f);
  const int at = (soil * P.table_size + i) * 2;
  return mix(vec2(smooth_soil[at], smooth_soil[at + 1]),
             vec2(smooth_soil[at + 2], smooth_soil[at + 3]), f);
}

vec2 dihedral_ground_row(int soil, float mu) {
  int i;
  float f;
  table_position(mu, i, f);
  const int at = (soil * P.table_size + i) * 2;
  return mix(vec2(dihedral_ground[at], dihedral_ground[at + 1]),
             vec2(dihedral_ground[at + 2], dihedral_ground[at + 3]), f);
}

// Cosine cell of a direction's z component.
int cosine_cell(float z) {
  return clamp(int((z + 1.0) * 0.5 * float(P.lut_cosines)), 0, P.lut_cosines - 1);
}

// The (H, V) intensity block of the phase matrix of one table cell, as [row][column].
mat2 mueller_block(int veg, int cin, int cout, int az) {
  const int n = P.lut_cosines;
  const int at = (((veg * n + cin) * n + cout) * P.lut_azimuths + az) * kMicrowaveMuellerEntries;
  // mat2 is column-major: m[column][row].
  return mat2(mueller[at], mueller[at + 4], mueller[at + 1], mueller[at + 5]);
}

// First cell of a CDF row of `count` entries starting at `at` whose value exceeds u, with
// its probability.
int sample_cdf(bool azimuth, int at, int count, float u, out float p) {
  int k = 0;
  for (; k < count - 1; ++k) {
    const float c = azimuth ? azimuth_cdf[at + k] : cosine_cdf[at + k];
    if (u < c) break;
  }
  const float hi = azimuth ? azimuth_cdf[at + k] : cosine_cdf[at + k];
  const float lo = k == 0 ? 0.0 : (azimuth ? azimuth_cdf[at + k - 1] : cosine_cdf[at + k - 1]);
  p = hi - lo;
  return k;
}

// Scatters a line of sight travelling along d in vegetation class veg: the new direction and
// the (H, V) weight matrix multiplied on the right by M / (4 pi pdf) (without the albedo).
vec3 scatter_vegetation(int veg, vec3 d, inout Pcg32 rng, inout mat2 w) {
  const int n = P.lut_cosines;
  const int na = P.lut_azimuths;
  const int cin = cosine_cell(d.z);
  float p_mu, p_phi;
  const int cout = sample_cdf(false, (veg * n + cin) * n, n, pcg_uniform(rng), p_mu);
  const float mu = clamp(-1.0 + 2.0 * (float(cout) + pcg_uniform(rng)) / float(n), -1.0, 1.0);
  const int az = sample_cdf(true, ((veg * n + cin) * n + cout) * na, na, pcg_uniform(rng), p_phi);
  const float phi_in = d.x * d.x + d.y * d.y > 1e-12 ? atan(d.y, d.x) : 0.0;
  const float phi = phi_in + kTwoPi * (float(az) + pcg_uniform(rng)) / float(na);
  const float s = sqrt(max(1.0 - mu * mu, 0.0));
  // pdf over solid angle: p_mu p_phi / (cell width in cosine x cell width in azimuth).
  const float pdf = p_mu * p_phi * float(n) * float(na) / (4.0 * kPi);
  const float scale = pdf > 0.0 ? 1.0 / (4.0 * kPi * pdf) : 0.0;
  w = scale * (w * mueller_block(veg, cin, cout, az));
  return vec3(s * cos(phi), s * sin(phi), mu);
}

// The class and class index of a hit's material; the absorber when unmapped or out of range.
ivec2 microwave_class(int material_id) {
  if (material_id < 0 || material_id >= P.n_map) return ivec2(kMicrowaveAbsorber, 0);
  const ivec2 c = ivec2(material_map[2 * material_id], material_map[2 * material_id + 1]);
  if (c.x == kMicrowaveSoil && c.y >= 0 && c.y < P.soil_count) return c;
  if (c.x == kMicrowaveVegetation && c.y >= 0 && c.y < P.vegetation_count) return c;
  if (c.x == kMicrowaveTrunk && c.y >= 0 && c.y < P.trunk_count) return c;
  if (c.x == kMicrowaveSmoothSoil && P.smooth_soil != 0 && c.y >= 0 && c.y < P.soil_count) return c;
  return ivec2(kMicrowaveAbsorber, 0);
}

float sky_temperature(vec3 d) {
  if (!(d.z > 0.0)) return P.air_temperature;
  const float t = exp(-P.atmosphere_tau / max(d.z, kMicrowaveMinCosine));
  return P.air_temperature * (1.0 - t) + kCosmicBackground * t;
}

// Factor of a trunk's double-bounce sigmas from the ground it stands on: the line of sight
// mirrored off the trunk at p travels on, through vegetation layers (two-way g^2 each), to the
// first soil surface, whose dihedral_ground_table row (F_H, F_V) at the cosine there scales
// HH by F_H, VV by F_V and the cross terms by sqrt(F_H F_V). No soil reached: no double bounce.
vec4 dihedral_ground_factor(vec3 p, vec3 d, vec3 n) {
  const vec3 r = reflect(d, n);
  vec3 o = offset_ray_origin(p, n, r);
  float two_way = 1.0;
  for (int depth = 0; depth < P.max_depth; ++depth) {
    const SurfaceHit hit = trace_closest_hit(o, r, kRayTMin, kRayTMax);
    if (!hit.hit) break;
    const ivec2 c = microwave_class(hit.material_id);
    const float mu = max(abs(dot(r, hit.geometric_normal)), kMicrowaveMinCosine);
    if (c.x == kMicrowaveSoil || c.x == kMicrowaveSmoothSoil) {
      const vec2 f = dihedral_ground_row(c.y, mu);
      const float cross_term = sqrt(max(f.x * f.y, 0.0));
      return two_way * vec4(f.x, cross_term, cross_term, f.y);
    }
    if (c.x != kMicrowaveVegetation) break;
    const float g = exp(-vegetation[c.y * kMicrowaveVegetationColumns] / mu);
    two_way *= g * g;
    o = offset_ray_origin(hit.position, hit.geometric_normal, r);
  }
  return vec4(0.0);
}

void main() {
  const uint item = work_index();
  if (item >= uint(P.n_rays)) return;
  const uint ray = uint(P.first_ray) + item;
  vec3 o = vec3(rays[6 * ray], rays[6 * ray + 1], rays[6 * ray + 2]);
  vec3 d = vec3(rays[6 * ray + 3], rays[6 * ray + 4], rays[6 * ray + 5]);
  vec4 out_value = vec4(0.0);
  Pcg32 rng;
  pcg_seed(rng, uint64_t(ray) + 1000003ul, mix_bits(mix_bits(uint64_t(kStreamMicrowaveRay)) ^ uint64_t(ray)));
  if (P.active_mode == 0) {
    // Observed polarisation (row) from source polarisation (column) of what lies ahead.
    mat2 w = mat2(1.0);
    vec2 tb = vec2(0.0);
    bool ended = false;
    for (int depth = 0; depth < P.max_depth; ++depth) {
      const SurfaceHit hit = trace_closest_hit(o, d, kRayTMin, kRayTMax);
      if (!hit.hit) {
        tb += w * vec2(sky_temperature(d));
        ended = true;
        break;
      }
      const ivec2 c = microwave_class(hit.material_id);
      const vec3 n = hit.geometric_normal;
      const float mu = max(abs(dot(d, n)), kMicrowaveMinCosine);
      if (c.x == kMicrowaveSoil || c.x == kMicrowaveTrunk) {
        const vec4 row = c.x == kMicrowaveSoil ? passive_soil_row(c.y, mu) : trunk_row(c.y, mu);
        tb += w * row.xy;
        w = w * mat2(row.z, 0.0, 0.0, row.w);
        d = reflect(d, n);
      } else if (c.x == kMicrowaveSmoothSoil) {
        const vec4 row = passive_soil_row(c.y, mu);
        const vec2 gamma = smooth_soil_row(c.y, mu);
        const float t_eff = (row.x + row.y) / max(2.0 - row.z - row.w, 1e-6);
        tb += w * ((1.0 - gamma) * t_eff);
        w = w * mat2(gamma.x, 0.0, 0.0, gamma.y);
        d = reflect(d, n);
      } else if (c.x == kMicrowaveVegetation) {
        const int at = c.y * kMicrowaveVegetationColumns;
        const float g = exp(-vegetation[at] / mu);
        tb += w * vec2((1.0 - vegetation[at + 1]) * (1.0 - g) * vegetation[at + 2]);
        if (P.lut_cosines == 0) {
          w *= g;
        } else if (pcg_uniform(rng) >= g) {
          w *= vegetation[at + 1];
          d = scatter_vegetation(c.y, d, rng, w);
        }
      } else {
        tb += w * vec2(P.air_temperature);
        ended = true;
        break;
      }
      o = offset_ray_origin(hit.position, n, d);
    }
    if (!ended) tb += w * vec2(P.air_temperature);
    out_value = vec4(tb, 0.0, 0.0);
  } else {
    float two_way = 1.0;
    for (int depth = 0; depth < P.max_depth; ++depth) {
      const SurfaceHit hit = trace_closest_hit(o, d, kRayTMin, kRayTMax);
      if (!hit.hit) break;
      const ivec2 c = microwave_class(hit.material_id);
      const vec3 n = hit.geometric_normal;
      const float mu = max(abs(dot(d, n)), kMicrowaveMinCosine);
      if (c.x == kMicrowaveSoil) {
        out_value += two_way * active_soil_row(c.y, mu);
        break;
      }
      if (c.x == kMicrowaveTrunk) {
        vec4 double_bounce = trunk_active_row(c.y, mu, 4);
        if (P.dihedral_ground != 0) double_bounce *= dihedral_ground_factor(hit.position, d, n);
        out_value += two_way * (trunk_active_row(c.y, mu, 0) + double_bounce);
        break;
      }
      if (c.x != kMicrowaveVegetation) break;
      const int at = c.y * kMicrowaveVegetationColumns;
      const float g = exp(-vegetation[at] / mu);
      const float volume = vegetation[at + 1] * mu * (1.0 - g * g) * 0.5;
      if (P.lut_cosines == 0) {
        out_value += two_way * vec4(volume, 0.0, 0.0, volume);
      } else {
        // Backscatter: out along -d, half a turn from the incident azimuth.
        const mat2 m = mueller_block(c.y, cosine_cell(d.z), cosine_cell(-d.z), P.lut_azimuths / 2);
        out_value += two_way * volume * vec4(m[0][0], m[1][0], m[0][1], m[1][1]);
      }
      two_way *= g * g;
      o = offset_ray_origin(hit.position, n, d);
    }
  }
  for (int c = 0; c < 4; ++c) result[4 * item + uint(c)] = out_value[c];
}
