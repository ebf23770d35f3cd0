#version 460
// Forward photon transport of surface scenes: one invocation per photon, with the CPU's photon
// streams, emission from the sun and the sky, surface scattering, Russian roulette and tile
// crossings. Flux runs tally the downwelling/upwelling grids; field runs (P.field) tally the
// absorbed energy in a layered grid, per primitive and on the terrain, and estimate the BRF
// toward view directions by next-event estimation (through the media's transmittance in media
// scenes, at surface hits and at leaf collisions). Deposits are added as 64-bit fixed-point
// integers, so the sums do not depend on the order photons finish in. The file builds four
// shaders: forward_flux.spv, forward_field.spv with FORWARD_FIELD defined, and their variants
// for scenes with optical turbid media, forward_flux_turbid.spv (TURBID_MEDIA) and
// forward_field_turbid.spv (FORWARD_FIELD_TURBID: both), whose photons walk the media as the
// CPU's do and also tally the absorbed energy, the emitted and the escaped energy (smaller
// programs compile much faster on CPU drivers).
#extension GL_GOOGLE_include_directive : require
#extension GL_EXT_shader_explicit_arithmetic_types_float64 : require
#extension GL_EXT_shader_atomic_int64 : require
#ifdef FORWARD_FIELD_TURBID
#define FORWARD_FIELD
#define TURBID_MEDIA
#endif
#include "scene_bindings.glsl"
#include "transport.glsl"
#include "optics.glsl"
#ifdef TURBID_MEDIA
#include "media_walk.glsl"
#endif

layout(set = 0, binding = 5, scalar) readonly buffer Params { FluxParams P; };
layout(set = 0, binding = 8, scalar) buffer Tallies { uint64_t tallies[]; };
layout(set = 0, binding = 9, scalar) readonly buffer Layers { float layer_heights[]; };
layout(set = 0, binding = 10, scalar) readonly buffer Views { float views[]; };


double w[kMaxDeviceBands];
#if defined(FORWARD_FIELD) || defined(TURBID_MEDIA)
float alpha[kMaxDeviceBands];

// Adds factor[b] * w[b] * power at `base` (64-bit entries), positive parts only.
void deposit_at(uint base, double power, bool absorbed) {
  for (int b = 0; b < P.n_bands; ++b) {
    const double v = (absorbed ? double(alpha[b]) : 1.0) * w[b] * power;
    if (v > 0.0) atomicAdd(tallies[base + uint(b)], uint64_t(v * P.scale + 0.5));
  }
}

// Absorbed fraction per band of a surface hit (1 - r, 1 - (r_side + t), or 1).
void surface_absorptance(int material_id, bool back_face) {
  const int nb = P.n_bands;
  for (int b = 0; b < nb; ++b) alpha[b] = 1.0;
  if (material_id < 0 || material_id >= P.n_materials) return;
  const DeviceMaterial m = materials[material_id];
  if (m.type == 0 || m.type == 1) {
    const int r = spectral_block(m.spectral_offset, nb);
    if (r < 0) return;
    for (int b = 0; b < nb; ++b) alpha[b] = max(1.0 - spectral[r + b], 0.0);
  } else if (m.type == 13) {
    const int blk = spectral_block(m.spectral_offset, 3 * nb);
    if (blk < 0) return;
    const int r = back_face ? blk + nb : blk;
    for (int b = 0; b < nb; ++b) alpha[b] = max(1.0 - (spectral[r + b] + spectral[blk + 2 * nb + b]), 0.0);
  }
}
#endif

#ifdef FORWARD_FIELD
float response[kMaxDeviceBands];

int clamp_cell(float x, float d, int n) {
  if (!(d > 0.0)) return 0;
  const float f = x / d;
  if (!(f >= 1.0)) return 0;
  if (f >= float(n)) return n - 1;
  return min(int(f), n - 1);
}

uint field_cell(vec3 p) {
  const int ix = clamp_cell(p.x, P.cell_x, P.nx);
  const int iy = clamp_cell(p.y, P.cell_y, P.ny);
  int l = 0;
  if (p.z >= layer_heights[0]) {
    l = P.n_layers - 1;
    for (int k = 0; k < P.n_layers; ++k) {
      if (p.z < layer_heights[k + 1]) {
        l = k;
        break;
      }
    }
  }
  return (uint(l) * uint(P.ny) + uint(iy)) * uint(P.nx) + uint(ix);
}

// Shadow test toward v (offset origin), across tiles as the CPU's periodic test.
bool occluded_periodic(vec3 origin, vec3 d) {
  if (origin.z > P.z_top && d.z >= 0.0) return false;
  if (occluded(origin, d, kRayTMin, kFarDistance)) return true;
  if (P.periodic == 0) return false;
  float budget = kFarDistance;
  vec3 o = origin;
  for (int crossing = 0; crossing < P.num_repetitions; ++crossing) {
    const TileExit exit = cross_tile(o, d, P.tile_x, P.tile_y);
    if (exit.axis < 0) return false;
    o = wrap_at_exit(o, d, exit, P.tile_x, P.tile_y);
    budget -= exit.t;
    if (budget <= 0.0) return false;
    if (o.z > P.z_top && d.z >= 0.0) return false;
    if (occluded(o, d, kRayTMin, budget)) return true;
  }
  return false;
}

// Adds the next-event estimate response[b] w[b] cos_v power t toward view k (positive parts).
void deposit_view(int k, float cos_v, double power, double t) {
  const uint base = P.brf_offset + uint(k) * uint(P.n_bands);
  for (int b = 0; b < P.n_bands; ++b) {
    const double e = double(response[b]) * w[b] * double(cos_v) * power * t;
    if (e > 0.0) atomicAdd(tallies[base + uint(b)], uint64_t(e * P.scale + 0.5));
  }
}

// What of a next-event estimate from `origin` reaches the viewer along v: 0 or 1 past the
// surfaces, and in media scenes the transmittance of the media the path is in (`crossings` of
// its tile wraps used already) and of those the ray meets.
double view_visibility(vec3 origin, vec3 v, int crossings) {
#ifdef TURBID_MEDIA
  return media_transmittance(origin, v, path_set, crossings, 0.0);
#else
  return occluded_periodic(origin, v) ? 0.0 : 1.0;
#endif
}

// The field tallies of a surface hit: absorption (grid, primitive, terrain) and the BRF
// next-event estimates toward every view.
void field_surface(SurfaceHit hit, ShadingFrame frame, vec3 wo, double power, int crossings) {
  const int nb = P.n_bands;
  surface_absorptance(hit.material_id, hit.is_back_face);
  if (P.terrain_instance >= 0 && hit.instance_id == P.terrain_instance) {
    deposit_at(P.terrain_offset, power, true);
  } else {
    deposit_at(P.grid_offset + field_cell(hit.position) * uint(nb), power, true);
    const int q = hit.global_primitive_id;
    if (P.per_leaf != 0 && q >= 0 && q < P.n_primitives) {
      deposit_at(P.leaf_offset + uint(q) * uint(nb), power, true);
    }
  }
  if (hit.material_id < 0 || hit.material_id >= P.n_materials) return;
  const DeviceMaterial mat = materials[hit.material_id];
  for (int k = 0; k < P.n_views; ++k) {
    const vec3 v = normalize(vec3(views[3 * k], views[3 * k + 1], views[3 * k + 2]));
    if (!(v.z > 0.0)) continue;
    const vec3 vl = to_local(frame, v);
    const float cos_v = abs(vl.z);
    if (!(cos_v >= 1e-6)) continue;
    // The response first: directions the material cannot scatter into need no visibility.
    bool any_light = false;
    for (int b = 0; b < nb; ++b) {
      response[b] = eval_scattering(mat, b, wo, vl, hit.is_back_face, false);
      any_light = any_light || double(response[b]) * w[b] > 0.0;
    }
    if (!any_light) continue;
    const vec3 origin = offset_ray_origin(hit.position, hit.geometric_normal, v);
    const double t = view_visibility(origin, v, crossings);
    if (t > 0.0) deposit_view(k, cos_v, power, t);
  }
}

#endif

// Index of the cell holding coordinate c in n equal cells over [0, extent], or -1 (the CPU's
// grid lookup).
int world_to_cell(float c, float extent, int n) {
  const float kMaxFloat = 3.4028235e38;
  if (n < 1 || !(extent >= 1.1754944e-38) || extent > kMaxFloat || isnan(c) || abs(c) > kMaxFloat) {
    return -1;
  }
  const float tol = 9.536743e-7 * extent;
  if (c < -tol || c > extent + tol) return -1;
  c = min(max(c, 0.0), extent);
  const float fn = float(n);
  const int i = int(c / extent * fn);
  if (i < n) {
    if (i > 0 && float(i) * extent / fn > c) return i - 1;
    if (i < n - 1 && c == extent * float(i + 1) / fn) return i + 1;
    return i < 0 ? 0 : i;
  }
  if (n == 1) return 0;
  return (float(n - 1) * extent / fn > c) ? n - 2 : n - 1;
}

int cell_of(vec3 p) {
  const int ix = world_to_cell(p.x, P.extent_x, P.nx);
  const int iy = world_to_cell(p.y, P.extent_y, P.ny);
  return (ix < 0 || iy < 0) ? -1 : iy * P.nx + ix;
}

// Adds w[b] * power to element `cell` of tally `slot` (non-positive parts add nothing).
void deposit(int slot, int cell, double power) {
  const uint cells = uint(P.nx) * uint(P.ny) * uint(P.n_bands);
  const uint base = uint(slot) * cells + uint(cell) * uint(P.n_bands);
  for (int b = 0; b < P.n_bands; ++b) {
    const double v = w[b] * power;
    if (v > 0.0) atomicAdd(tallies[base + uint(b)], uint64_t(v * P.scale + 0.5));
  }
}

int choose_face(double areas[5], int n, double total, float u) {
  double x = double(u) * total;
  for (int f = 0; f < n; ++f) {
    if (areas[f] > 0.0 && x < areas[f]) return f;
    x -= areas[f];
  }
  for (int f = n - 1; f >= 0; --f) {
    if (areas[f] > 0.0) return f;
  }
  return 0;
}

// Emission of one photon (the CPU's emit_photon): false when nothing is emitted.
bool emit_photon(inout Pcg32 rng, out vec3 o, out vec3 d, out double power, out bool direct) {
  const int nb = P.n_bands;
  const vec3 sun = vec3(P.sun_dir[0], P.sun_dir[1], P.sun_dir[2]);
  o = vec3(0.0);
  d = vec3(0.0);
  power = 0.0;
  direct = true;
  if (!(abs(sun.z) >= 0.01)) return false;
  bool sky = false;
  if (P.has_sky != 0) sky = pcg_uniform(rng) >= P.prob_sun;
  direct = !sky;
  const vec3 bmin = vec3(P.box_min[0], P.box_min[1], P.box_min[2]);
  const vec3 bmax = vec3(P.box_max[0], P.box_max[1], P.box_max[2]);
  const double dx = double(bmax.x) - double(bmin.x);
  const double dy = double(bmax.y) - double(bmin.y);
  const double dz = double(bmax.z) - double(bmin.z);
  const double top = dx * dy;
  if (sky) {
    if (!(P.prob_sun < 1.0)) return false;
    power = P.power / (1.0 - double(P.prob_sun));
    double factor = 1.0;
    if (P.periodic == 0) {
      double areas[5] = double[5](top, dy * dz, dy * dz, dx * dz, dx * dz);
      const double total = areas[0] + areas[1] + areas[2] + areas[3] + areas[4];
      if (!(top > 0.0) || isinf(total) || isnan(total)) return false;
      const int face = choose_face(areas, 5, total, pcg_uniform(rng));
      const float u1 = pcg_uniform(rng);
      const float u2 = pcg_uniform(rng);
      const float x = bmin.x + u1 * float(dx);
      const float y = bmin.y + u1 * float(dy);
      const float yy = bmin.y + u2 * float(dy);
      const float z = bmin.z + u2 * float(dz);
      vec3 inward;
      if (face == 0) {
        o = vec3(x, yy, bmax.z + 0.1);
        inward = vec3(0.0, 0.0, -1.0);
      } else if (face == 1) {
        o = vec3(bmin.x - 0.1, y, z);
        inward = vec3(1.0, 0.0, 0.0);
      } else if (face == 2) {
        o = vec3(bmax.x + 0.1, y, z);
        inward = vec3(-1.0, 0.0, 0.0);
      } else if (face == 3) {
        o = vec3(x, bmin.y - 0.1, z);
        inward = vec3(0.0, 1.0, 0.0);
      } else {
        o = vec3(x, bmax.y + 0.1, z);
        inward = vec3(0.0, -1.0, 0.0);
      }
      const float u3 = pcg_uniform(rng);
      const float u4 = pcg_uniform(rng);
      const ScatterSample s = sample_cosine_hemisphere(u3, u4);
      d = normalize(to_world(frame_from_normal(inward), s.wi));
      factor = total / top;
    } else {
      const float u1 = pcg_uniform(rng);
      const float u2 = pcg_uniform(rng);
      const float u3 = pcg_uniform(rng);
      const float u4 = pcg_uniform(rng);
      const ScatterSample s = sample_cosine_hemisphere(u3, u4);
      d = vec3(s.wi.x, s.wi.y, -s.wi.z);
      const float t = 0.1 / max(abs(d.z), 1e-6);
      o = vec3(u1 * P.extent_x - t * d.x, u2 * P.extent_y - t * d.y, P.measurement_plane + 0.1);
    }
    for (int b = 0; b < nb; ++b) w[b] = double(sky_radiance(-d, b)) * double(kPi) * factor;
  } else {
    if (!(sun.z > 0.0) || !(P.prob_sun > 0.0)) return false;
    power = P.power / double(P.prob_sun);
    d = -sun;
    double factor = 1.0;
    if (P.periodic == 0) {
      double areas[5] = double[5](double(abs(sun.z)) * top, double(abs(sun.x)) * dy * dz,
                                  double(abs(sun.y)) * dx * dz, 0.0, 0.0);
      const double total = areas[0] + areas[1] + areas[2];
      if (!(top > 0.0) || isinf(total) || isnan(total)) return false;
      const int face = choose_face(areas, 3, total, pcg_uniform(rng));
      const float u1 = pcg_uniform(rng);
      const float u2 = pcg_uniform(rng);
      if (face == 0) {
        o = vec3(bmin.x + u1 * float(dx), bmin.y + u2 * float(dy), bmax.z + 0.1);
      } else if (face == 1) {
        o = vec3(sun.x > 0.0 ? bmax.x + 0.1 : bmin.x - 0.1, bmin.y + u1 * float(dy),
                 bmin.z + u2 * float(dz));
      } else {
        o = vec3(bmin.x + u1 * float(dx), sun.y > 0.0 ? bmax.y + 0.1 : bmin.y - 0.1,
                 bmin.z + u2 * float(dz));
      }
      factor = total / top;
    } else {
      const float u1 = pcg_uniform(rng);
      const float u2 = pcg_uniform(rng);
      const float t = 0.1 / sun.z;
      o = vec3(u1 * P.extent_x + t * sun.x, u2 * P.extent_y + t * sun.y, P.measurement_plane + 0.1);
      factor = double(abs(sun.z));
    }
    for (int b = 0; b < nb; ++b) {
      w[b] = P.sun_offset >= 0 ? double(spectral[P.sun_offset + b]) * factor : 0.0;
    }
  }
  bool any_weight = false;
  for (int b = 0; b < nb; ++b) any_weight = any_weight || w[b] * power > 0.0;
  return any_weight;
}

#ifndef FORWARD_FIELD
// The flux grids' bookkeeping of a surface hit (the CPU's cell rule): downwelling of the hit's
// cell and upwelling of the cell left for it. Returns the cell, or -1 outside the grid.
int record_hit(vec3 position, bool direct, double power, inout int prev, inout int recorded) {
  const int c = cell_of(position);
  if (c < 0) {
    prev = -1;
  } else if (P.max_bounces > 0 && recorded >= P.max_bounces) {
    prev = c;
  } else {
    deposit(kFluxDown, c, power);
    if (P.decompose != 0) deposit(direct ? kFluxDownDirect : kFluxDownDiffuse, c, power);
    if (prev >= 0 && prev != c) deposit(kFluxUp, prev, power);
    ++recorded;
    prev = c;
  }
  return c;
}
#endif

// After a scattering event: the weight cut-off and Russian roulette from rr_depth scatterings
// on (the CPU's continue_photon). False when the photon ends.
bool survives(int scatterings, inout Pcg32 rng) {
  bool alive = false;
  double w_max = 0.0;
  for (int b = 0; b < P.n_bands; ++b) {
    alive = alive || w[b] > kMinPhotonWeight;
    w_max = max(w_max, w[b]);
  }
  if (!alive) return false;
  if (scatterings >= P.rr_depth) {
    const double q = min(w_max, kMaxSurvival);
    if (double(pcg_uniform(rng)) >= q) return false;
    for (int b = 0; b < P.n_bands; ++b) w[b] /= q;
  }
  return true;
}

// Wraps an origin outside the tile back in, and off a wall the photon is about to leave by.
vec3 nudge_into_tile(vec3 o, vec3 d) {
  if (P.periodic == 0) return o;
  const float X = P.tile_x;
  const float Y = P.tile_y;
  if (o.x < 0.0 || o.x > X) o.x -= floor(o.x / X) * X;
  if (o.y < 0.0 || o.y > Y) o.y -= floor(o.y / Y) * Y;
  if (d.x > kParallelEpsilon && (X - o.x) <= kTileWallMin * d.x) o.x -= X;
  if (d.x < -kParallelEpsilon && o.x <= -kTileWallMin * d.x) o.x += X;
  if (d.y > kParallelEpsilon && (Y - o.y) <= kTileWallMin * d.y) o.y -= Y;
  if (d.y < -kParallelEpsilon && o.y <= -kTileWallMin * d.y) o.y += Y;
  return o;
}

#ifdef TURBID_MEDIA
// Absorption where a photon meets a surface of a media scene: the terrain (instance 0 for flux
// runs, the chosen instance for field runs), else the absorbed grid with its sun/sky split and
// the primitive. Flux runs also keep the downwelling/upwelling bookkeeping.
void media_surface_tally(SurfaceHit hit, vec3 d, double power, bool direct, int crossings,
                         inout int prev, inout int recorded) {
  const int nb = P.n_bands;
  surface_absorptance(hit.material_id, hit.is_back_face);
#ifdef FORWARD_FIELD
  const ShadingFrame f0 = frame_from_normal(hit.normal);
  field_surface(hit, f0, to_local(f0, -d), power, crossings);
  if (P.terrain_instance >= 0 && hit.instance_id == P.terrain_instance) return;
  const uint c = field_cell(hit.position) * uint(nb);
  deposit_at((direct ? P.grid_direct_offset : P.grid_diffuse_offset) + c, power, true);
#else
  const int c = record_hit(hit.position, direct, power, prev, recorded);
  if (hit.instance_id == 0) {
    deposit_at(P.terrain_offset, power, true);
    return;
  }
  if (c >= 0) {
    const uint at = uint(c) * uint(nb);
    deposit_at(P.grid_offset + at, power, true);
    deposit_at((direct ? P.grid_direct_offset : P.grid_diffuse_offset) + at, power, true);
  }
  const int q = hit.global_primitive_id;
  if (q >= 0 && q < P.n_primitives) deposit_at(P.leaf_offset + uint(q) * uint(nb), power, true);
#endif
}

// Absorption at a leaf of a medium at `position`: the absorbed grid and its sun/sky split.
void media_leaf_tally(vec3 position, double power, bool direct) {
  const int nb = P.n_bands;
#ifdef FORWARD_FIELD
  const uint at = field_cell(position) * uint(nb);
#else
  const int c = cell_of(position);
  if (c < 0) return;
  const uint at = uint(c) * uint(nb);
#endif
  deposit_at(P.grid_offset + at, power, true);
  deposit_at((direct ? P.grid_direct_offset : P.grid_diffuse_offset) + at, power, true);
}

#ifdef FORWARD_FIELD
// The next-event estimates of a leaf collision at `position` toward every view: the leaf's
// bi-Lambertian response (reflected toward its lit side, transmitted through it) times
// |cos(facing, v)| and the media transmittance from the collision toward the viewer.
void media_leaf_views(DeviceLeafModel model, LeafHit leaf, vec3 position, double power,
                      int crossings) {
  for (int k = 0; k < P.n_views; ++k) {
    const vec3 v = normalize(vec3(views[3 * k], views[3 * k + 1], views[3 * k + 2]));
    if (!(v.z > 0.0)) continue;
    const float cos_v = abs(dot(leaf.facing, v));
    bool any_light = false;
    for (int b = 0; b < P.n_bands; ++b) {
      response[b] = leaf_response(model, b, leaf, v);
      any_light = any_light || double(response[b]) * w[b] * double(cos_v) > 0.0;
    }
    if (!any_light) continue;
    const double t = media_transmittance(position, v, path_set, crossings, 0.0);
    if (t > 0.0) deposit_view(k, cos_v, power, t);
  }
}
#endif

// The path of one emitted photon through a scene with media (the CPU's media photon loop):
// media steps with leaf interactions, medium boundaries, tile crossings and surfaces.
void trace_media_photon(inout Pcg32 rng, vec3 o, vec3 d, double power, bool direct) {
  const int nb = P.n_bands;
  deposit_at(P.incident_offset, power, false);
  o = nudge_into_tile(o, d);
  path_set = active_media(o, d);
  for (int i = 0; i < kMaxActiveMedia; ++i) path_observed[i] = 0.0;
  int prev = -1;
  int recorded = 0;
  int scatterings = 0;
  int crossings = 0;
  for (int step = 0; step < kMaxPhotonSteps; ++step) {
    o = nudge_into_tile(o, d);
    const bool rising_above = path_set.count == 0 && o.z > P.z_top && d.z >= 0.0;
    MediumEvent ev;
    ev.kind = kEventEscape;
    if (!rising_above) ev = media_step(o, d, path_set, crossings, rng);
    if (ev.kind == kEventEscape) {
#ifdef FORWARD_FIELD
      if (P.n_views > 0 && d.z > 0.0) deposit_at(P.albedo_offset, power, false);
#else
      if (scatterings >= 1 && prev >= 0) deposit(kFluxUp, prev, power);
#endif
      deposit_at(P.escaped_offset, power, false);
      return;
    }
    for (int i = 0; i < path_set.count; ++i) path_observed[i] += ev.distance;
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
    vec3 new_dir;
    vec3 new_origin;
    if (ev.kind == kEventSurface) {
      const SurfaceHit hit = ev.hit;
      media_surface_tally(hit, d, power, direct, crossings, prev, recorded);
      if (hit.material_id < 0 || hit.material_id >= P.n_materials) return;  // absorbed whole
      const DeviceMaterial mat = materials[hit.material_id];
      const ShadingFrame frame = frame_from_normal(hit.normal);
      const vec3 wo = to_local(frame, -d);
      const float u0 = pcg_uniform(rng);
      const float u1 = pcg_uniform(rng);
      const float u2 = pcg_uniform(rng);
      const ScatterSample smp = sample_scattering_banded(mat, hit.is_back_face, u0, u1, u2);
      if (!(smp.pdf >= kMinScatterPdf)) return;
      const double factor = double(abs(smp.wi.z)) / double(smp.pdf);
      for (int b = 0; b < nb; ++b) {
        w[b] *= double(eval_scattering(mat, b, wo, smp.wi, hit.is_back_face, false)) * factor;
      }
      new_dir = normalize(to_world(frame, smp.wi));
      new_origin = offset_ray_origin(hit.position, hit.geometric_normal, new_dir);
    } else {
      const int medium = ev.medium_id;
      if (medium < 0 || medium >= MP.n_media) return;
      const DeviceLeafModel model = leaf_models[medium];
      const LeafHit leaf = sample_leaf_normal(model.leaf_angle_type, d, rng);
      for (int b = 0; b < nb; ++b) {
        alpha[b] = max(1.0 - leaf_reflectance(model, b, leaf.back_face) - leaf_transmission(model, b), 0.0);
      }
      media_leaf_tally(ev.position, power, direct);
#ifdef FORWARD_FIELD
      media_leaf_views(model, leaf, ev.position, power, crossings);
#endif
      // Bi-Lambertian scattering chosen by the band means of the side that was hit.
      const float rho = leaf.back_face ? model.rho_back : model.rho_front;
      const float tau = leaf.back_face ? model.tau_back : model.tau_front;
      const float u0 = pcg_uniform(rng);
      const float u1 = pcg_uniform(rng);
      const float u2 = pcg_uniform(rng);
      if (!(rho + tau >= 1e-8)) return;
      const ScatterSample smp = sample_leaf(rho, tau, u0, u1, u2);
      const bool transmitted = smp.wi.z < 0.0;
      const float p = rho / (rho + tau);
      const float chosen = transmitted ? 1.0 - p : p;
      if (!(chosen > 0.0)) return;
      for (int b = 0; b < nb; ++b) {
        const float value =
            transmitted ? leaf_transmission(model, b) : leaf_reflectance(model, b, leaf.back_face);
        w[b] *= double(value / chosen);
      }
      new_dir = normalize(to_world(frame_from_normal(leaf.facing), smp.wi));
      new_origin = ev.position;
    }
    if (!survives(scatterings, rng)) return;
    d = new_dir;
    o = new_origin;
    ++scatterings;
    if (scatterings >= P.max_depth) return;
    for (int i = 0; i < kMaxActiveMedia; ++i) path_observed[i] = 0.0;
  }
}
#endif

void main() {
  set_optics(P.n_bands, P.spectral_size, P.sky_uniform, P.sky_directional, P.sky_hw,
             vec3(P.hw_sun[0], P.hw_sun[1], P.hw_sun[2]));
  const uint item = work_index();
  if (item >= P.count) return;
  const uint64_t index = (uint64_t(P.first_photon_hi) << 32) + uint64_t(P.first_photon_lo) + item;
  Pcg32 rng;
  pcg_seed(rng, index + 1000003ul, 7919ul * index + 1ul);
  vec3 o;
  vec3 d;
  double power;
  bool direct;
  if (!emit_photon(rng, o, d, power, direct)) return;
#ifdef TURBID_MEDIA
  trace_media_photon(rng, o, d, power, direct);
#else
  const int nb = P.n_bands;
  o = nudge_into_tile(o, d);
  int prev = -1;
  int recorded = 0;
  int scatterings = 0;
  int crossings = 0;
  for (int step = 0; step < kMaxPhotonSteps; ++step) {
    o = nudge_into_tile(o, d);
    const bool rising_above = o.z > P.z_top && d.z >= 0.0;
    SurfaceHit hit;
    hit.hit = false;
    if (!rising_above) hit = trace_closest_hit(o, d, kRayTMin, kRayTMax);
    if (!hit.hit) {
      if (!rising_above && P.periodic != 0 && crossings < P.num_repetitions) {
        const TileExit exit = cross_tile(o, d, P.tile_x, P.tile_y);
        if (exit.axis >= 0) {
          o = wrap_at_exit(o, d, exit, P.tile_x, P.tile_y);
          ++crossings;
          continue;
        }
      }
#ifdef FORWARD_FIELD
      if (P.n_views > 0 && d.z > 0.0) deposit_at(P.albedo_offset, power, false);
#else
      if (scatterings >= 1 && prev >= 0) deposit(kFluxUp, prev, power);
#endif
      return;
    }
#ifdef FORWARD_FIELD
    const ShadingFrame f0 = frame_from_normal(hit.normal);
    field_surface(hit, f0, to_local(f0, -d), power, crossings);
#else
    record_hit(hit.position, direct, power, prev, recorded);
#endif
    if (hit.material_id < 0 || hit.material_id >= P.n_materials) return;  // absorbed whole
    const DeviceMaterial mat = materials[hit.material_id];
    const ShadingFrame frame = frame_from_normal(hit.normal);
    const vec3 wo = to_local(frame, -d);
    const float u0 = pcg_uniform(rng);
    const float u1 = pcg_uniform(rng);
    const float u2 = pcg_uniform(rng);
    const ScatterSample smp = sample_scattering(mat, u0, u1, u2);
    if (!(smp.pdf >= kMinScatterPdf)) return;
    const double factor = double(abs(smp.wi.z)) / double(smp.pdf);
    for (int b = 0; b < nb; ++b) {
      w[b] *= double(eval_scattering(mat, b, wo, smp.wi, hit.is_back_face, false)) * factor;
    }
    const vec3 new_dir = normalize(to_world(frame, smp.wi));
    if (!survives(scatterings, rng)) return;
    d = new_dir;
    o = offset_ray_origin(hit.position, hit.geometric_normal, new_dir);
    ++scatterings;
    if (scatterings >= P.max_depth) return;
  }
#endif
}
