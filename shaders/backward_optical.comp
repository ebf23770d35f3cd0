#version 460
// Backward optical rendering of surface scenes: one invocation per pixel runs the dispatch's
// sample passes of that pixel, with the pixel-and-pass streams, camera rays, next-event estimation of the sun,
// sky escape, thermal and SIF emission, scattering and Russian roulette of the CPU renderer. The
// sums stay in doubles; the host normalises them as the CPU renderer does. Built twice: the
// surface variant (entry backwardOptical) and, with TURBID_MEDIA, the variant for scenes with
// optical turbid media (entry backwardOpticalTurbid), whose paths take the CPU's combined
// free-path steps through the media, scatter at their leaves and see the sun through them.
#extension GL_GOOGLE_include_directive : require
#extension GL_EXT_shader_explicit_arithmetic_types_float64 : require
#include "scene_bindings.glsl"
#include "transport.glsl"
#include "optics.glsl"

layout(set = 0, binding = 5, scalar) readonly buffer Params { BackwardParams P; };
layout(set = 0, binding = 8, scalar) readonly buffer Wavelengths { float wavelengths[]; };
layout(set = 0, binding = 9, scalar) readonly buffer Temperatures { float temperatures[]; };
layout(set = 0, binding = 10, scalar) readonly buffer Sif { float sif[]; };
layout(set = 0, binding = 11, scalar) buffer Sum { double sum[]; };
layout(set = 0, binding = 12, scalar) buffer Squares { double squares[]; };
layout(set = 0, binding = 13, scalar) buffer Events { double events[]; };
layout(set = 0, binding = 14, scalar) buffer Orders { double orders[]; };

// Black-body spectral radiance (W m^-2 sr^-1 nm^-1), in single precision with the wavelength in
// micrometres (the CPU evaluates the same formula in double precision).
float planck_radiance(float wavelength_nm, float temperature_k) {
  if (!(temperature_k > 0.0)) return 0.0;
  const float lambda_um = wavelength_nm * 1e-3;
  const float x = 14387.768775039337 / (temperature_k * lambda_um);
  if (!(x <= 500.0)) return 0.0;
  if (x > 87.0) return 0.0;  // below float range; the double evaluation is negligible there
  const float l5 = lambda_um * lambda_um * lambda_um * lambda_um * lambda_um;
  return 1.1910429723971884e8 / (l5 * (exp(x) - 1.0)) * 1e-3;
}

// ---- sensor ---------------------------------------------------------------------------------
vec3 camera_point(vec3 p) {
  return vec3(P.camera[0] * p.x + P.camera[1] * p.y + P.camera[2] * p.z + P.camera[3],
              P.camera[4] * p.x + P.camera[5] * p.y + P.camera[6] * p.z + P.camera[7],
              P.camera[8] * p.x + P.camera[9] * p.y + P.camera[10] * p.z + P.camera[11]);
}

vec3 camera_vector(vec3 v) {
  return vec3(P.camera[0] * v.x + P.camera[1] * v.y + P.camera[2] * v.z,
              P.camera[4] * v.x + P.camera[5] * v.y + P.camera[6] * v.z,
              P.camera[8] * v.x + P.camera[9] * v.y + P.camera[10] * v.z);
}

float fisheye_zenith(float r, float theta_max, int projection_type) {
  if (projection_type == 0) {
    const float s = 2.0 * r * sin(0.5 * theta_max);
    return s > 1.0 ? -1.0 : 2.0 * asin(s);
  }
  if (projection_type == 1) return 2.0 * r * theta_max;
  if (projection_type == 2) {
    const float s = 2.0 * r * sin(theta_max);
    return s > 1.0 ? -1.0 : asin(s);
  }
  return 2.0 * atan(2.0 * r * tan(0.5 * theta_max));
}

bool generate_primary_ray(int x, int y, float jx, float jy, out vec3 origin, out vec3 direction) {
  origin = vec3(0.0);
  direction = vec3(0.0);
  const float sx = (float(x) + jx) / float(P.width) - 0.5;
  const float sy = (float(y) + jy) / float(P.height) - 0.5;
  vec3 p_cam = vec3(0.0);
  vec3 d_cam = vec3(0.0);
  if (P.sensor_type == 0) {
    p_cam = vec3(sx * P.ortho_w, sy * P.ortho_h, 0.0);
    d_cam = vec3(0.0, 0.0, -1.0);
  } else if (P.sensor_type == 1) {
    const float t = tan(0.5 * P.fov);
    const float a = 2.0 * sx * t * (float(P.width) / float(P.height));
    const float b = 2.0 * sy * t;
    const float inv = 1.0 / sqrt(a * a + b * b + 1.0);
    d_cam = vec3(a * inv, b * inv, -inv);
  } else if (P.sensor_type == 3) {
    p_cam = vec3(0.0, sy * P.ortho_h, 0.0);
    const float a = tan(sx * P.fov);
    const float inv = 1.0 / sqrt(a * a + 1.0);
    d_cam = vec3(a * inv, 0.0, -inv);
  } else if (P.sensor_type == 4) {
    const float r = sqrt(sx * sx + sy * sy);
    const float theta_max = 0.5 * P.fov;
    const float theta = fisheye_zenith(r, theta_max, P.projection_type);
    if (!(theta >= 0.0) || theta > theta_max) return false;
    const float phi = atan(sy, sx);
    const float st = sin(theta);
    d_cam = vec3(st * cos(phi), st * sin(phi), -cos(theta));
  } else {
    return false;
  }
  const vec3 d = normalize(camera_vector(d_cam));
  const vec3 o = camera_point(p_cam);
  if (!(dot(d, d) > 0.5) || !finite3(o)) return false;
  origin = o;
  direction = d;
  return true;
}

// ---- periodic scenes and camera-ray preparation ---------------------------------------------
// Shadow test toward d from an offset origin: this tile, then the next num_repetitions tiles
// the ray crosses into; nothing lies above the scene top.
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

vec3 prepare_camera_ray(vec3 origin, vec3 d) {
  if (P.terrain_following != 0 && P.sensor_type == 0) {
    const float s = origin.z / d.z;
    const float x0 = origin.x - s * d.x;
    const float y0 = origin.y - s * d.y;
    const SurfaceHit h = trace_closest_hit(vec3(x0, y0, origin.z), vec3(0.0, 0.0, -1.0), kRayTMin,
                                           kRayTMax);
    if (h.hit) origin = vec3(x0, y0, origin.z - h.t) - kTerrainBackoff * d;
  }
  if (P.periodic != 0) {
    origin = periodic_entry(origin, d, P.tile_x, P.tile_y, P.z_top + P.entry_margin);
  }
  return origin;
}

// ---- the path -------------------------------------------------------------------------------
double throughput[kMaxDeviceBands];
double radiance[kMaxDeviceBands];
float response[kMaxDeviceBands];

// Adds one contribution to the sample and to the requested splits of this pixel.
void add_contribution(uint base, int b, double value, int event, int order_slot) {
  radiance[b] += value;
  const uint elements = uint(P.width) * uint(P.height) * uint(P.n_bands);
  if (P.want_events != 0) events[uint(event) * elements + base + uint(b)] += value;
  if (P.want_orders != 0) orders[uint(order_slot) * elements + base + uint(b)] += value;
}

void add_escape(uint base, vec3 d, int k, int slot) {
  const int nb = P.n_bands;
  const vec3 sun = vec3(P.sun_dir[0], P.sun_dir[1], P.sun_dir[2]);
  if (k == 0 && P.mode == kModeOptical && P.sun_offset >= 0 && dot(d, sun) >= kSunViewCosine) {
    for (int b = 0; b < nb; ++b) {
      const double l = double(spectral[P.sun_offset + b]) / double(kSolarDiskSolidAngle);
      add_contribution(base, b, l * throughput[b], kEventOutside, slot);
    }
  } else if (P.mode != kModeSifOnly) {
    for (int b = 0; b < nb; ++b) {
      const float l = sky_radiance(d, b);
      if (l != 0.0) add_contribution(base, b, double(l) * throughput[b], kEventOutside, slot);
    }
  }
}

float emission_temperature(DeviceMaterial mat, int p, vec3 pos, vec3 ng, vec3 sun) {
  if (P.has_temperatures != 0 && p >= 0 && p < P.n_primitives) return temperatures[p];
  const float sunlit = mat.scalar_params[3];
  const float shaded = mat.scalar_params[4];
  if (sunlit > 0.0 && shaded > 0.0) {
    const bool in_shade = occluded_periodic(offset_ray_origin(pos, ng, sun), sun);
    return in_shade ? shaded : sunlit;
  }
  return mat.scalar_params[2];
}

void surface_emission_and_sun(uint base, SurfaceHit h, DeviceMaterial mat, ShadingFrame frame,
                              vec3 wo, int slot) {
  const int nb = P.n_bands;
  const int p = h.global_primitive_id;
  const vec3 sun = vec3(P.sun_dir[0], P.sun_dir[1], P.sun_dir[2]);
  if (P.mode == kModeSifOnly) {
    if (P.has_sif != 0 && p >= 0 && p < P.n_primitives) {
      for (int b = 0; b < nb; ++b) {
        const double e = double(sif[b * P.n_primitives + p]);
        add_contribution(base, b, e * throughput[b], kEventEmission, slot);
      }
    }
  } else if (P.mode == kModeThermal) {
    const float T = emission_temperature(mat, p, h.position, h.geometric_normal, sun);
    const int emissivity = spectral_block(mat.spectral_offset, nb);
    if (T > 0.0 && emissivity >= 0) {
      for (int b = 0; b < nb; ++b) {
        const float lambda = b < P.n_wavelengths ? wavelengths[b] : 0.0;
        const double e = double(planck_radiance(lambda, T)) * double(spectral[emissivity + b]);
        add_contribution(base, b, e * throughput[b], kEventEmission, slot);
      }
    }
  } else if (P.sun_offset >= 0) {
    const vec3 wi = to_local(frame, sun);
    if ((wi.z > 0.0 || mat.type == 13) && abs(wi.z) > 0.0) {
      bool any_light = false;
      for (int b = 0; b < nb; ++b) {
        response[b] = eval_scattering(mat, b, wo, wi, h.is_back_face, false);
        any_light = any_light || (response[b] * spectral[P.sun_offset + b] != 0.0);
      }
      if (any_light && !occluded_periodic(offset_ray_origin(h.position, h.geometric_normal, sun), sun)) {
        const double cos_i = double(abs(wi.z));
        for (int b = 0; b < nb; ++b) {
          const double l = double(response[b]) * throughput[b] *
                           double(spectral[P.sun_offset + b]) * cos_i;
          add_contribution(base, b, l, kEventSunScattered, slot);
        }
      }
    }
  }
}

#ifdef TURBID_MEDIA
#include "media_walk.glsl"
#include "leaf_sources.glsl"

// Emission of the leaf `leaf` of medium model `model` hit at `position` inside the medium
// carried by instance `instance`, in thermal and SIF-only renders (event slot 3, like surface
// emission): a resident observation source's radiance of the face seen; in thermal mode a
// resident temperature field's sunlit/shaded split with the instance's emissivity (Kirchhoff's
// of the leaf optics without a thermal state), else the instance's thermal state; in SIF-only
// mode M / pi of the instance's SIF source fields.
void leaf_emission(uint base, DeviceLeafModel model, int instance, vec3 position, LeafHit leaf,
                   int slot) {
  const int nb = P.n_bands;
  const int resident = resident_kind(instance);
  if (resident != kResidentNone && resident != kResidentField) {
    int field, bin;
    const int cell = resident_lookup(instance, position, leaf.normal, nb, field, bin);
    if (cell < 0) return;
    const int at = field_value_at(field, cell, bin) + 1 +
                   (leaf.back_face ? resident_ints[LS.resident_fields_at + field * kResidentFieldInts + 1] : 0);
    for (int b = 0; b < nb; ++b) {
      const double e = double(resident_floats[at + b]);
      if (e != 0.0) add_contribution(base, b, e * throughput[b], kEventEmission, slot);
    }
    return;
  }
  if (P.mode == kModeThermal) {
    const bool has_state = has_leaf_thermal_state(instance);
    if (resident == kResidentField) {
      int field, bin;
      const int cell = resident_lookup(instance, position, leaf.normal, nb, field, bin);
      if (cell < 0) return;
      const int at = field_value_at(field, cell, bin);
      for (int b = 0; b < nb; ++b) {
        const float lambda = b < P.n_wavelengths ? wavelengths[b] : 0.0;
        float eps = 0.0;
        if (has_state) {
          eps = leaf_thermal_value(instance, kLeafThermalEmissivity);
        } else {
          const float rho =
              0.5 * (leaf_reflectance(model, b, false) + leaf_reflectance(model, b, true));
          eps = clamp(1.0 - rho - leaf_transmission(model, b), 0.0, 1.0);
        }
        const double e = leaf_thermal_mixture(lambda, resident_floats[at + 2], resident_floats[at + 3],
                                              resident_floats[at + 1], eps);
        if (e != 0.0) add_contribution(base, b, e * throughput[b], kEventEmission, slot);
      }
      return;
    }
    if (!has_state) return;
    for (int b = 0; b < nb; ++b) {
      const float lambda = b < P.n_wavelengths ? wavelengths[b] : 0.0;
      const double e = leaf_thermal_radiance(instance, lambda);
      if (e != 0.0) add_contribution(base, b, e * throughput[b], kEventEmission, slot);
    }
  } else if (P.mode == kModeSifOnly) {
    for (int b = 0; b < nb; ++b) {
      const float m = leaf_sif_exitance(instance, position, leaf.normal, b);
      if (m != 0.0) {
        add_contribution(base, b, double(m) * double(kInvPi) * throughput[b], kEventEmission, slot);
      }
    }
  }
}

bool roulette(int k, inout Pcg32 rng) {
  if (k < P.rr_depth) return true;
  double max_t = 0.0;
  for (int b = 0; b < P.n_bands; ++b) max_t = max(max_t, throughput[b]);
  const double q = min(kMaxSurvival, max_t);
  if (double(pcg_uniform(rng)) >= q) return false;
  for (int b = 0; b < P.n_bands; ++b) throughput[b] /= q;
  return true;
}

// One path of a scene with media, as the CPU's: in optical mode the sun by next-event
// estimation at surfaces and leaves, in thermal and SIF-only modes their emission.
void trace_path_media(uint base, inout Pcg32 rng, vec3 o, vec3 d) {
  const int nb = P.n_bands;
  const int last_order_slot = P.order_slots - 1;
  const vec3 sun = vec3(P.sun_dir[0], P.sun_dir[1], P.sun_dir[2]);
  const bool optical = P.mode == kModeOptical;
  path_set = active_media(o, d);
  for (int i = 0; i < kMaxActiveMedia; ++i) path_observed[i] = 0.0;
  int hits = 0;
  int k = 0;
  int crossings = 0;
  for (int step = 0; step < kMaxPathSteps; ++step) {
    const MediumEvent ev = media_step(o, d, path_set, crossings, rng);
    if (ev.kind == kEventEscape) {
      add_escape(base, d, k, min(hits, last_order_slot));
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
    ++hits;
    const int slot = min(hits, last_order_slot);
    const vec3 toward_viewer = -d;
    // Next-event estimation of the sun (one transmittance walk site for surfaces and leaves,
    // which keeps the shader small): response[] times the cosine, from `sun_from`.
    bool want_sun = false;
    vec3 sun_from = vec3(0.0);
    double cos_sun = 0.0;
    int sun_event = kEventSunScattered;
    const bool surface = ev.kind == kEventSurface;
    const SurfaceHit h = ev.hit;
    DeviceMaterial mat;
    ShadingFrame frame;
    vec3 wo = vec3(0.0);
    DeviceLeafModel model;
    LeafHit leaf;
    if (surface) {
      if (h.material_id < 0 || h.material_id >= P.n_materials) return;
      mat = materials[h.material_id];
      frame = frame_from_normal(h.normal);
      wo = to_local(frame, -d);
      const vec3 wi = to_local(frame, sun);
      if (!optical) surface_emission_and_sun(base, h, mat, frame, wo, slot);
      if (optical && P.sun_offset >= 0 && (wi.z > 0.0 || mat.type == 13) && abs(wi.z) > 0.0) {
        for (int b = 0; b < nb; ++b) {
          response[b] = eval_scattering(mat, b, wo, wi, h.is_back_face, false);
          want_sun = want_sun || (response[b] * spectral[P.sun_offset + b] != 0.0);
        }
        sun_from = offset_ray_origin(h.position, h.geometric_normal, sun);
        cos_sun = double(abs(wi.z));
      }
    } else {  // a leaf inside medium ev.medium_id
      model = leaf_models[ev.medium_id];
      leaf = sample_leaf_normal(model.leaf_angle_type, d, rng);
      if (!optical) leaf_emission(base, model, ev.instance_id, ev.position, leaf, slot);
      if (optical && P.sun_offset >= 0) {
        cos_sun = double(abs(dot(leaf.facing, sun)));
        for (int b = 0; b < nb; ++b) {
          response[b] = leaf_response(model, b, leaf, sun);
          want_sun = want_sun || response[b] * spectral[P.sun_offset + b] != 0.0;
        }
        want_sun = want_sun && cos_sun > 0.0;
        sun_from = ev.position;
        sun_event = kEventTurbidMedium;
      }
    }
    if (want_sun) {
      const double t = sun_transmittance_media(sun_from, sun, toward_viewer);
      if (t > 0.0) {
        for (int b = 0; b < nb; ++b) {
          const double l = double(response[b]) * throughput[b] *
                           double(spectral[P.sun_offset + b]) * cos_sun * t;
          add_contribution(base, b, l, sun_event, slot);
        }
      }
    }
    if (surface) {
      const float u1 = pcg_uniform(rng);
      const float u2 = pcg_uniform(rng);
      const float u3 = pcg_uniform(rng);
      const ScatterSample smp = sample_scattering_banded(mat, h.is_back_face, u3, u2, u1);
      if (!(smp.pdf >= kMinScatterPdf) || abs(smp.wi.z) == 0.0) return;
      const double weight = double(abs(smp.wi.z)) / double(smp.pdf);
      bool alive = false;
      for (int b = 0; b < nb; ++b) {
        const float f = eval_scattering(mat, b, wo, smp.wi, h.is_back_face,
                                      P.mode == kModeThermal);
        throughput[b] *= double(f) * weight;
        alive = alive || throughput[b] > kMinThroughput;
      }
      if (!alive) return;
      d = normalize(to_world(frame, smp.wi));
      o = offset_ray_origin(h.position, h.geometric_normal, d);
    } else {
      const float rho = leaf.back_face ? model.rho_back : model.rho_front;
      const float tau = leaf.back_face ? model.tau_back : model.tau_front;
      const float u1 = pcg_uniform(rng);
      const float u2 = pcg_uniform(rng);
      const float u3 = pcg_uniform(rng);
      if (!(rho + tau >= 1e-8)) return;
      const ScatterSample s = sample_leaf(rho, tau, u3, u2, u1);
      const float p = rho / (rho + tau);
      const bool transmitted = s.wi.z < 0.0;
      const float probability = transmitted ? 1.0 - p : p;
      if (!(probability > 0.0)) return;
      bool alive = false;
      for (int b = 0; b < nb; ++b) {
        const float value =
            transmitted ? leaf_transmission(model, b) : leaf_reflectance(model, b, leaf.back_face);
        throughput[b] *= double(value / probability);
        alive = alive || throughput[b] > kMinThroughput;
      }
      if (!alive) return;
      d = normalize(to_world(frame_from_normal(leaf.facing), s.wi));
      o = ev.position;
    }
    for (int i = 0; i < kMaxActiveMedia; ++i) path_observed[i] = 0.0;
    if (!roulette(k, rng)) return;
    ++k;
    if (k >= P.max_depth) return;
  }
}
#endif

void main() {
  set_optics(P.n_bands, P.spectral_size, P.sky_uniform, P.sky_directional, P.sky_hw,
             vec3(P.hw_sun[0], P.hw_sun[1], P.hw_sun[2]));
  const uint pixel = work_index();
  const uint n_pixels = uint(P.width) * uint(P.height);
  if (pixel >= n_pixels) return;
  const int x = int(pixel % uint(P.width));
  const int y = int(pixel / uint(P.width));
  const int nb = P.n_bands;
  const uint base = pixel * uint(nb);
  const uint elements = n_pixels * uint(nb);
  for (int b = 0; b < (P.pass_begin == 0 ? nb : 0); ++b) {
    sum[base + b] = 0.0;
    squares[base + b] = 0.0;
    for (int j = 0; j < (P.want_events != 0 ? kEventSlots : 0); ++j) {
      events[uint(j) * elements + base + uint(b)] = 0.0;
    }
    for (int j = 0; j < (P.want_orders != 0 ? P.order_slots : 0); ++j) {
      orders[uint(j) * elements + base + uint(b)] = 0.0;
    }
  }
  const int last_order_slot = P.order_slots - 1;
  const bool thermal = P.mode == kModeThermal;
  for (int s = P.pass_begin; s < P.pass_end; ++s) {
    Pcg32 rng = pixel_stream(P.width, P.height, x, y, s);
    const float jx = pcg_uniform(rng);
    const float jy = pcg_uniform(rng);
    vec3 o;
    vec3 d;
    if (!generate_primary_ray(x, y, jx, jy, o, d)) continue;
    o = prepare_camera_ray(o, d);
    for (int b = 0; b < nb; ++b) {
      throughput[b] = 1.0;
      radiance[b] = 0.0;
    }
#ifdef TURBID_MEDIA
    if (P.max_depth >= 1) trace_path_media(base, rng, o, d);
#else
    int hits = 0;
    int crossings = 0;
    for (int k = 0; k < P.max_depth;) {
      const SurfaceHit h = trace_closest_hit(o, d, kRayTMin, kRayTMax);
      if (!h.hit) {
        // In a periodic scene the ray continues in the neighbouring tile, unless it is above
        // the scene top and does not descend (it meets nothing in any tile).
        if (P.periodic != 0 && crossings < P.num_repetitions && !(o.z > P.z_top && d.z >= 0.0)) {
          const TileExit exit = cross_tile(o, d, P.tile_x, P.tile_y);
          if (exit.axis >= 0) {
            o = wrap_at_exit(o, d, exit, P.tile_x, P.tile_y);
            ++crossings;
            continue;
          }
        }
        add_escape(base, d, k, min(hits, last_order_slot));
        break;
      }
      ++hits;
      if (h.material_id < 0 || h.material_id >= P.n_materials) break;
      const DeviceMaterial mat = materials[h.material_id];
      const ShadingFrame frame = frame_from_normal(h.normal);
      const vec3 wo = to_local(frame, -d);
      const int slot = min(hits, last_order_slot);
      surface_emission_and_sun(base, h, mat, frame, wo, slot);

      const float u1 = pcg_uniform(rng);
      const float u2 = pcg_uniform(rng);
      const float u3 = pcg_uniform(rng);
      const ScatterSample smp = sample_scattering(mat, u3, u2, u1);
      if (!(smp.pdf >= kMinScatterPdf) || abs(smp.wi.z) == 0.0) break;
      const double weight = double(abs(smp.wi.z)) / double(smp.pdf);
      bool alive = false;
      for (int b = 0; b < nb; ++b) {
        const float f = eval_scattering(mat, b, wo, smp.wi, h.is_back_face, thermal);
        throughput[b] *= double(f) * weight;
        alive = alive || throughput[b] > kMinThroughput;
      }
      if (!alive) break;
      const vec3 wi_world = normalize(to_world(frame, smp.wi));
      if (k >= P.rr_depth) {
        double max_t = 0.0;
        for (int b = 0; b < nb; ++b) max_t = max(max_t, throughput[b]);
        const double q = min(kMaxSurvival, max_t);
        if (double(pcg_uniform(rng)) >= q) break;
        for (int b = 0; b < nb; ++b) throughput[b] /= q;
      }
      d = wi_world;
      o = offset_ray_origin(h.position, h.geometric_normal, d);
      ++k;
    }
#endif
    for (int b = 0; b < nb; ++b) {
      sum[base + b] += radiance[b];
      squares[base + b] += radiance[b] * radiance[b];
    }
  }
}
