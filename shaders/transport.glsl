// The per-sample physics of the transport, ported line for line from the CPU core headers
// (random streams, sensors, scattering, skies, Planck, ray offsets) so that a device path draws
// the same random numbers and evaluates the same formulas as the CPU path. The numeric
// constants come from device_records.h, where the host checks them against the CPU's.
#extension GL_EXT_shader_explicit_arithmetic_types_int64 : require


// ---- PCG32 and the stream of a pixel and pass ----------------------------------------------
struct Pcg32 {
  uint64_t state;
  uint64_t inc;
};
const uint64_t kPcgMultiplier = 0x5851f42d4c957f2dUL;

void pcg_seed(inout Pcg32 r, uint64_t initstate, uint64_t initseq) {
  r.inc = (initseq << 1u) | 1ul;
  r.state = 0ul;
  r.state = r.state * kPcgMultiplier + r.inc;
  r.state += initstate;
  r.state = r.state * kPcgMultiplier + r.inc;
}

uint pcg_next32(inout Pcg32 r) {
  const uint64_t old = r.state;
  r.state = old * kPcgMultiplier + r.inc;
  const uint xorshifted = uint(((old >> 18u) ^ old) >> 27u);
  const uint rot = uint(old >> 59u);
  return (xorshifted >> rot) | (xorshifted << ((32u - rot) & 31u));
}

float pcg_uniform(inout Pcg32 r) {
  return float(pcg_next32(r)) * 2.3283064e-10;
}

uint64_t mix_bits(uint64_t z) {
  z += 0x9e3779b97f4a7c15UL;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9UL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebUL;
  return z ^ (z >> 31);
}


Pcg32 pixel_stream(int width, int height, int x, int y, int s) {
  const uint64_t w = uint64_t(width);
  const uint64_t pixel = w * uint64_t(y) + uint64_t(x);
  const uint64_t item = uint64_t(s) * w * uint64_t(height) + pixel;
  Pcg32 r;
  pcg_seed(r, pixel + 1000003ul * uint64_t(s), mix_bits(mix_bits(uint64_t(kStreamBackwardPixel)) ^ item));
  return r;
}

// ---- frames and offsets ---------------------------------------------------------------------
struct ShadingFrame {
  vec3 a;
  vec3 b;
  vec3 n;
};

ShadingFrame frame_from_normal(vec3 n) {
  ShadingFrame f;
  f.n = n;
  if (abs(n.x) > abs(n.y)) {
    const float inv = 1.0 / sqrt(n.x * n.x + n.z * n.z);
    f.b = vec3(n.z * inv, 0.0, -n.x * inv);
  } else {
    const float inv = 1.0 / sqrt(n.y * n.y + n.z * n.z);
    f.b = vec3(0.0, n.z * inv, -n.y * inv);
  }
  f.a = cross(f.b, n);
  return f;
}

vec3 to_local(ShadingFrame f, vec3 v) {
  return vec3(dot(v, f.a), dot(v, f.b), dot(v, f.n));
}

vec3 to_world(ShadingFrame f, vec3 v) {
  return f.a * v.x + f.b * v.y + f.n * v.z;
}

vec3 offset_ray_origin(vec3 p, vec3 n, vec3 d) {
  if (dot(n, d) < 0.0) n = -n;
  vec3 o;
  for (int i = 0; i < 3; ++i) {
    if (abs(p[i]) < 0.03125) {
      o[i] = p[i] + n[i] * 1.5258789e-5;
      continue;
    }
    const float scaled = 256.0 * n[i];
    const int ulps = abs(scaled) <= 256.0 ? int(scaled) : 0;
    uint bits = floatBitsToUint(p[i]);
    bits += uint(p[i] < 0.0 ? -ulps : ulps);
    o[i] = uintBitsToFloat(bits);
  }
  return o;
}

// ---- scattering -----------------------------------------------------------------------------
struct ScatterSample {
  vec3 wi;
  float pdf;
};

ScatterSample sample_cosine_hemisphere(float u_r, float u_phi) {
  const float r = sqrt(u_r);
  const float phi = kTwoPi * u_phi;
  const float x = r * cos(phi);
  const float y = r * sin(phi);
  const float z = sqrt(max(1.0 - x * x - y * y, 0.0));
  return ScatterSample(vec3(x, y, z), max(z, 0.0) * kInvPi);
}

ScatterSample sample_leaf(float rho, float tau, float u0, float u1, float u2) {
  if (!(rho + tau >= 1e-8)) return ScatterSample(vec3(0.0, 0.0, 1.0), 1.0);
  const float p = rho / (rho + tau);
  ScatterSample s = sample_cosine_hemisphere(u1, u2);
  const float cos_pdf = s.pdf;
  if (u0 >= p) {
    s.wi.z = -s.wi.z;
    s.pdf = cos_pdf * (1.0 - p);
  } else {
    s.pdf = cos_pdf * p;
  }
  return s;
}

float rpv_response(vec3 wo, vec3 wi, float rho0, float k, float theta, float rho_c) {
  const float m = pow(wo.z, k - 1.0) * pow(wi.z, k - 1.0);
  const float d = 1.0 + theta * theta + 2.0 * theta * dot(wo, wi);
  const float f_hg = (1.0 - theta * theta) / (d * sqrt(max(d, 1e-6)));
  const float sin_o = sqrt(max(1.0 - wo.z * wo.z, 0.0));
  const float sin_i = sqrt(max(1.0 - wi.z * wi.z, 0.0));
  const float tan_o = abs(wo.z) >= 1e-6 ? sin_o / wo.z : 0.0;
  const float tan_i = abs(wi.z) >= 1e-6 ? sin_i / wi.z : 0.0;
  float cos_phi = 0.0;
  if (sin_o > 1e-6 && sin_i > 1e-6) {
    cos_phi = (wo.x / sin_o) * (wi.x / sin_i) + (wo.y / sin_o) * (wi.y / sin_i);
    cos_phi = min(max(cos_phi, -1.0), 1.0);
  }
  const float g = sqrt(max(tan_o * tan_o + tan_i * tan_i - 2.0 * tan_o * tan_i * cos_phi, 0.0));
  const float h = 1.0 + (1.0 - rho_c) / (1.0 + g);
  const float v = rho0 * m * f_hg * h;
  return isnan(v) ? 0.0 : max(0.0, v);
}

// ---- periodic tiles -------------------------------------------------------------------------
struct TileExit {
  float t;
  int axis;  // 0: x wall, 1: y wall, -1: no exit
};

TileExit cross_tile(vec3 o, vec3 d, float X, float Y) {
  const float inf = uintBitsToFloat(0x7f800000u);
  float tx = inf;
  float ty = inf;
  if (abs(d.x) > kParallelEpsilon) {
    const float c0 = -o.x / d.x;
    const float c1 = (X - o.x) / d.x;
    if (c0 > kTileWallMin && c0 < kFarDistance) tx = c0;
    if (c1 > kTileWallMin && c1 < kFarDistance && c1 < tx) tx = c1;
  }
  if (abs(d.y) > kParallelEpsilon) {
    const float c0 = -o.y / d.y;
    const float c1 = (Y - o.y) / d.y;
    if (c0 > kTileWallMin && c0 < kFarDistance) ty = c0;
    if (c1 > kTileWallMin && c1 < kFarDistance && c1 < ty) ty = c1;
  }
  if (tx == inf && ty == inf) return TileExit(0.0, -1);
  if (tx <= ty) return TileExit(tx, 0);
  return TileExit(ty, 1);
}

vec3 wrap_at_exit(vec3 o, vec3 d, TileExit exit, float X, float Y) {
  vec3 p = o + exit.t * d;
  if (exit.axis == 0) {
    p.x = d.x > 0.0 ? p.x - X : p.x + X;
  } else if (exit.axis == 1) {
    p.y = d.y > 0.0 ? p.y - Y : p.y + Y;
  }
  return p;
}

vec3 periodic_entry(vec3 o, vec3 d, float X, float Y, float z_top) {
  if (o.z > z_top && d.z < -kParallelEpsilon) {
    const float t = (z_top - o.z) / d.z;
    o = o + t * d;
  }
  if (o.x > X) {
    o.x -= trunc(o.x / X) * X;
  } else if (o.x < 0.0) {
    o.x += trunc((X - o.x) / X) * X;
  }
  if (o.y > Y) {
    o.y -= trunc(o.y / Y) * Y;
  } else if (o.y < 0.0) {
    o.y += trunc((Y - o.y) / Y) * Y;
  }
  float t = 0.0;
  if (o.x < 0.0 && d.x > kParallelEpsilon) {
    t = -o.x / d.x;
  } else if (o.x > X && d.x < -kParallelEpsilon) {
    t = (X - o.x) / d.x;
  }
  float ty = 0.0;
  if (o.y < 0.0 && d.y > kParallelEpsilon) {
    ty = -o.y / d.y;
  } else if (o.y > Y && d.y < -kParallelEpsilon) {
    ty = (Y - o.y) / d.y;
  }
  if (ty > t) t = ty;
  if (t > 0.0) o = o + t * d;
  o.x = min(max(o.x, kTileEntryInset), X - kTileEntryInset);
  o.y = min(max(o.y, kTileEntryInset), Y - kTileEntryInset);
  return o;
}
