// Paths through optical turbid media (the CPU's embree/media_walk and core/leaf_scattering):
// containment, the combined free-path step, boundary crossings, tile-wall crossings with
// containment in the neighbouring copy, the transmittance walk (plain, or with the hotspot
// correction toward the sun), and leaf scattering. Every shader that walks media includes this
// one walker. Needs scene_bindings.glsl, transport.glsl, the spectral buffer and the float64
// extension first.

layout(set = 0, binding = 15, scalar) readonly buffer MediaParamsBuffer { MediaParams MP; };
layout(set = 0, binding = 16, scalar) readonly buffer Media { DeviceMedium media[]; };
layout(set = 0, binding = 17, scalar) readonly buffer MaterialMedia { int material_medium_ids[]; };
layout(set = 0, binding = 18, scalar) readonly buffer LeafModels { DeviceLeafModel leaf_models[]; };

const int kEventEscape = 0;
const int kEventSurface = 1;
const int kEventBoundary = 2;
const int kEventTileCrossing = 3;
const int kEventInteraction = 4;

struct ActiveSet {
  int count;
  int medium_ids[kMaxActiveMedia];
  int instance_ids[kMaxActiveMedia];
};

// The media around a path's point, with the length of the current straight segment in each.
ActiveSet path_set;
float path_observed[kMaxActiveMedia];
// Closest-hit and containment queries of the tile wraps and transmittance walks (the caller
// counts its own steps).
uint media_queries = 0u;

ActiveSet empty_set() {
  ActiveSet s;
  s.count = 0;
  for (int i = 0; i < kMaxActiveMedia; ++i) {
    s.medium_ids[i] = 0;
    s.instance_ids[i] = 0;
  }
  return s;
}

float medium_projection(int m, vec3 w) {
  const float theta = 57.29578 * acos(min(abs(w.z), 1.0));
  const int i = int(min(theta, 90.0));
  if (i >= 90) return media[m].G[90];
  const float f = theta - float(i);
  return (1.0 - f) * media[m].G[i] + f * media[m].G[i + 1];
}

float medium_extinction(int m, vec3 w) {
  return media[m].leaf_area_density * medium_projection(m, w);
}

float combined_extinction(ActiveSet s, vec3 w) {
  float sigma = 0.0;
  for (int k = 0; k < s.count && k < kMaxActiveMedia; ++k) {
    const int id = s.medium_ids[k];
    if (id >= 0 && id < MP.n_media) sigma += medium_extinction(id, w);
  }
  return sigma;
}

int medium_of(int material_id) {
  if (material_id < 0 || material_id >= MP.n_material_ids) return -1;
  const int m = material_medium_ids[material_id];
  return m >= 0 && m < MP.n_media ? m : -1;
}

bool leaves_medium(int m, bool back_face) {
  return media[m].orientation == (back_face ? 1 : -1);
}

float expm1_(float x) {
  return abs(x) < 1e-4 ? x + 0.5 * x * x : exp(x) - 1.0;
}

float hotspot_transmittance(int m, float optical_depth, float initial_distance,
                            float observation_distance, vec3 source, vec3 observation) {
  const float a = initial_distance;
  const float b = observation_distance;
  const float l = media[m].leaf_characteristic_length;
  if (b <= 0.0 || a <= 0.0 || l <= 0.0) return exp(min(-optical_depth, 0.0));
  const float delta = length(source - observation);
  const float kappa_s = medium_extinction(m, source);
  if (delta <= 1e-6) return exp(-kappa_s * max(a - b, 0.0));
  const float lambda = delta / l;
  const float c = -expm1_(-lambda * min(a, b)) / lambda;
  const float kappa_o = medium_extinction(m, observation);
  float h = c * sqrt(max(kappa_s * kappa_o, 0.0));
  h = min(h, min(kappa_s * a, b * kappa_o));
  return exp(min(h - optical_depth, 0.0));
}

// The media containing `point`: walk along `direction`, the first boundary met on each
// instance deciding (leaving through it means inside).
ActiveSet active_media(vec3 point, vec3 direction) {
  ActiveSet result = empty_set();
  if (MP.n_media == 0 || !(point.x >= MP.box_min[0] && point.x <= MP.box_max[0] &&
                           point.y >= MP.box_min[1] && point.y <= MP.box_max[1] &&
                           point.z >= MP.box_min[2] && point.z <= MP.box_max[2])) {
    return result;
  }
  int met[kMaxContainmentInstances];
  int n_met = 0;
  for (int step = 0; step < kMaxContainmentInstances; ++step) {
    const SurfaceHit h = trace_closest_hit(point, direction, kRayTMin, kRayTMax);
    if (!h.hit) break;
    const int k = medium_of(h.material_id);
    if (k >= 0) {
      bool seen = false;
      for (int i = 0; i < n_met; ++i) seen = seen || met[i] == h.instance_id;
      if (!seen) {
        if (n_met == kMaxContainmentInstances) break;
        met[n_met++] = h.instance_id;
        if (leaves_medium(k, h.is_back_face)) {
          bool present = false;
          for (int i = 0; i < result.count; ++i) {
            present = present || (result.medium_ids[i] == k && result.instance_ids[i] == h.instance_id);
          }
          if (!present) {
            if (result.count == kMaxActiveMedia) break;
            result.medium_ids[result.count] = k;
            result.instance_ids[result.count] = h.instance_id;
            ++result.count;
          }
        }
      }
    }
    point = h.position + kBoundaryStep * direction;
  }
  return result;
}

// Enters or leaves (medium, instance); `observed` moves with the path's own set only.
void update_set(inout ActiveSet set, bool track, int medium, int instance, bool back_face) {
  if (medium < 0 || medium >= MP.n_media) return;
  int found = -1;
  for (int k = 0; k < set.count; ++k) {
    if (set.medium_ids[k] == medium && set.instance_ids[k] == instance) found = k;
  }
  if (leaves_medium(medium, back_face)) {
    if (found < 0) return;
    for (int k = found; k + 1 < set.count; ++k) {
      set.medium_ids[k] = set.medium_ids[k + 1];
      set.instance_ids[k] = set.instance_ids[k + 1];
      if (track) path_observed[k] = path_observed[k + 1];
    }
    --set.count;
  } else if (found < 0 && set.count < kMaxActiveMedia) {
    set.medium_ids[set.count] = medium;
    set.instance_ids[set.count] = instance;
    if (track) path_observed[set.count] = 0.0;
    ++set.count;
  }
}

struct MediumEvent {
  int kind;
  SurfaceHit hit;
  TileExit exit;
  float distance;
  vec3 position;
  int medium_id;
  int instance_id;
};

// The geometric part of a step: the closest hit and, while the path may still wrap, the tile
// exit; a medium boundary just before the wall yields to the wall.
struct WalkStep {
  SurfaceHit hit;
  TileExit exit;
  int boundary;
  bool crossing;
  float limit;
};

WalkStep walk_step(vec3 o, vec3 d, int crossings) {
  WalkStep s;
  s.hit = trace_closest_hit(o, d, kRayTMin, kRayTMax);
  s.exit = TileExit(0.0, -1);
  s.boundary = -1;
  s.crossing = false;
  s.limit = kFarDistance;
  bool may_cross = false;
  if (MP.periodic != 0 && crossings < MP.num_repetitions) {
    s.exit = cross_tile(o, d, MP.tile_x, MP.tile_y);
    may_cross = s.exit.axis >= 0;
  }
  if (s.hit.hit) {
    s.limit = s.hit.t;
    s.boundary = medium_of(s.hit.material_id);
    if (may_cross && (s.hit.t > s.exit.t ||
                      (s.boundary >= 0 && s.hit.t + kWallBoundaryTolerance >= s.exit.t))) {
      s.crossing = true;
      s.limit = min(s.hit.t, s.exit.t);
    }
  } else if (may_cross) {
    s.crossing = true;
    s.limit = s.exit.t;
  }
  return s;
}

// Whether a walk in no medium has left the scene through its top.
bool escapes_scene_top(vec3 o, vec3 d) {
  return o.z > MP.z_top && d.z >= 0.0;
}

// Moves a start outside the tile back in by whole periods, and off a wall it would leave by
// within the minimum crossing distance.
vec3 nudge_into_tile_media(vec3 o, vec3 d) {
  if (MP.periodic == 0) return o;
  const float X = MP.tile_x;
  const float Y = MP.tile_y;
  if (o.x < 0.0 || o.x > X) o.x -= floor(o.x / X) * X;
  if (o.y < 0.0 || o.y > Y) o.y -= floor(o.y / Y) * Y;
  if (d.x > kParallelEpsilon && (X - o.x) <= kTileWallMin * d.x) o.x -= X;
  if (d.x < -kParallelEpsilon && o.x <= -kTileWallMin * d.x) o.x += X;
  if (d.y > kParallelEpsilon && (Y - o.y) <= kTileWallMin * d.y) o.y -= Y;
  if (d.y < -kParallelEpsilon && o.y <= -kTileWallMin * d.y) o.y += Y;
  return o;
}

// Moves the path across the tile wall of its step: the point on the opposite wall, stepped into
// the tile; inside media, containment runs again there and media of the same kind keep their
// segment lengths.
vec3 wrap_path(vec3 o, vec3 d, TileExit exit) {
  const vec3 p = wrap_at_exit(o, d, exit, MP.tile_x, MP.tile_y) + kBoundaryStep * d;
  if (path_set.count > 0) {
    ++media_queries;
    const ActiveSet now = active_media(p, d);
    float observed[kMaxActiveMedia];
    for (int i = 0; i < kMaxActiveMedia; ++i) observed[i] = 0.0;
    for (int i = 0; i < now.count; ++i) {
      for (int j = 0; j < path_set.count; ++j) {
        if (path_set.medium_ids[j] == now.medium_ids[i]) {
          observed[i] = path_observed[j];
          break;
        }
      }
    }
    path_set = now;
    for (int i = 0; i < kMaxActiveMedia; ++i) path_observed[i] = observed[i];
  }
  return p;
}

// One step of a path: the closest of a surface, a medium boundary and, inside the active
// media, a leaf at an exponentially distributed free path (zero, one or two draws).
MediumEvent media_step(vec3 origin, vec3 direction, ActiveSet around, int crossings,
                       inout Pcg32 rng) {
  const WalkStep s = walk_step(origin, direction, crossings);
  MediumEvent ev;
  ev.kind = kEventEscape;
  ev.hit = s.hit;
  ev.exit = s.exit;
  ev.distance = kFarDistance;
  ev.position = vec3(0.0);
  ev.medium_id = -1;
  ev.instance_id = -1;
  const float limit = s.limit;
  const int boundary = s.boundary;
  if (around.count >= 1 && around.count <= kMaxActiveMedia) {
    const float sigma = combined_extinction(around, direction);
    if (sigma > 0.0) {
      const float t = -log(max(1.0 - pcg_uniform(rng), 1e-7)) / sigma;
      if (t < limit) {
        float x = sigma * min(max(pcg_uniform(rng), 0.0), 0.99999994);
        int entry = around.count - 1;
        for (int i = 0; i < around.count; ++i) {
          const int id = around.medium_ids[i];
          if (id >= 0 && id < MP.n_media) x -= medium_extinction(id, direction);
          if (x <= 0.0) {
            entry = i;
            break;
          }
        }
        ev.kind = kEventInteraction;
        ev.distance = t;
        ev.position = origin + t * direction;
        ev.medium_id = around.medium_ids[entry];
        ev.instance_id = around.instance_ids[entry];
        return ev;
      }
    }
  }
  if (s.crossing) {
    ev.kind = kEventTileCrossing;
    ev.distance = s.exit.t;
    ev.position = origin + s.exit.t * direction;
  } else if (ev.hit.hit) {
    ev.kind = boundary >= 0 ? kEventBoundary : kEventSurface;
    ev.distance = ev.hit.t;
    ev.position = ev.hit.position;
    ev.medium_id = boundary;
    ev.instance_id = ev.hit.instance_id;
  }
  return ev;
}

// A transmittance walk from `o` (inside the media of `start`) along the unit direction v out of
// the scene, crossing tile walls as a path does (`crossings` of the allowed wraps used already).
// With `source`, the lengths and depths met in each medium of `start` (the inputs of the
// hotspot correction); without, a walk whose depth passes `opaque_depth` stops as blocked.
struct TransmittanceWalk {
  bool blocked;                       // a surface bounding no medium stops the walk
  double optical_depth;               // over every medium crossed
  float src_length[kMaxActiveMedia];  // walk length inside each entry of `start`
  float src_depth[kMaxActiveMedia];   // optical depth met there
};

TransmittanceWalk walk_transmittance(vec3 o, vec3 v, ActiveSet start, int crossings, bool source,
                                     double opaque_depth) {
  TransmittanceWalk out_walk;
  out_walk.blocked = true;  // a walk that never ends is taken as blocked
  out_walk.optical_depth = 0.0;
  ActiveSet cur = start;
  // The starting entries being followed: their instance (which changes when the walk wraps into
  // the copy of a medium straddling the wall) and whether the walk is still inside.
  int followed[kMaxActiveMedia];
  bool open[kMaxActiveMedia];
  for (int j = 0; j < kMaxActiveMedia; ++j) {
    followed[j] = j < start.count ? start.instance_ids[j] : 0;
    open[j] = j < start.count;
    out_walk.src_length[j] = 0.0;
    out_walk.src_depth[j] = 0.0;
  }
  for (int step = 0; step < kMaxWalkSteps; ++step) {
    o = nudge_into_tile_media(o, v);
    if (cur.count == 0 && escapes_scene_top(o, v)) {
      out_walk.blocked = false;
      break;
    }
    const WalkStep ws = walk_step(o, v, crossings);
    ++media_queries;
    const SurfaceHit h = ws.hit;
    const float seg = ws.crossing || h.hit ? ws.limit : 0.0;
    for (int i = 0; i < cur.count; ++i) {
      const int m = cur.medium_ids[i];
      if (m < 0 || m >= MP.n_media) continue;
      const double t = double(medium_extinction(m, v)) * double(seg);
      out_walk.optical_depth += t;
      if (!source) continue;
      for (int j = 0; j < start.count; ++j) {
        if (open[j] && start.medium_ids[j] == m && followed[j] == cur.instance_ids[i]) {
          out_walk.src_length[j] += seg;
          out_walk.src_depth[j] += float(t);
        }
      }
    }
    if (!source && out_walk.optical_depth > opaque_depth) break;
    if (ws.crossing) {
      o = wrap_at_exit(o, v, ws.exit, MP.tile_x, MP.tile_y) + kBoundaryStep * v;
      ++crossings;
      if (cur.count > 0) {
        ++media_queries;
        cur = active_media(o, v);
        // A followed medium continues in its copy across the wall.
        for (int j = 0; j < start.count; ++j) {
          if (!open[j]) continue;
          bool continues = false;
          for (int i = 0; i < cur.count && !continues; ++i) {
            if (cur.medium_ids[i] == start.medium_ids[j]) {
              followed[j] = cur.instance_ids[i];
              continues = true;
            }
          }
          open[j] = continues;
        }
      }
      continue;
    }
    if (!h.hit) {
      out_walk.blocked = false;
      break;
    }
    const int boundary = ws.boundary;
    if (boundary < 0) break;  // an opaque surface or a leaf surface blocks the way
    if (leaves_medium(boundary, h.is_back_face)) {
      for (int j = 0; j < start.count; ++j) {
        if (start.medium_ids[j] == boundary && followed[j] == h.instance_id) open[j] = false;
      }
    }
    update_set(cur, false, boundary, h.instance_id, h.is_back_face);
    o = offset_ray_origin(h.position, h.geometric_normal, v);
  }
  return out_walk;
}

// exp(-optical depth) from `o` (in the media of `start`) along v, 0 when blocked; a caller that
// counts transmittances below `min_transmittance` as 0 passes it, and the walk stops as soon as
// it falls below.
double media_transmittance(vec3 o, vec3 v, ActiveSet start, int crossings,
                           double min_transmittance) {
  const double opaque = min_transmittance > 0.0
                            ? min(double(-log(float(min_transmittance))), kOpaqueOpticalDepth)
                            : kOpaqueOpticalDepth;
  const TransmittanceWalk w = walk_transmittance(o, v, start, crossings, false, opaque);
  if (w.blocked) return 0.0;
  const double value = double(exp(-float(w.optical_depth)));
  return value < min_transmittance ? 0.0 : value;
}

// Transmittance toward the sun from `o` (in the media of the path's set) for a path that
// arrived along -toward_viewer: Beer's law over the whole source path with the hotspot
// correction for the media around the origin; 0 when a surface blocks the sun.
double sun_transmittance_media(vec3 o, vec3 v, vec3 toward_viewer) {
  const ActiveSet start = path_set;
  const TransmittanceWalk w = walk_transmittance(o, v, start, 0, true, kOpaqueOpticalDepth);
  if (w.blocked) return 0.0;
  double t = 1.0;
  double correlated = 0.0;
  for (int j = 0; j < start.count; ++j) {
    const int m = start.medium_ids[j];
    if (w.src_length[j] > 0.0 && w.src_depth[j] > 0.0) {
      t *= double(hotspot_transmittance(m, w.src_depth[j], w.src_length[j], path_observed[j], v,
                                        toward_viewer));
      correlated += double(w.src_depth[j]);
    }
  }
  return t * exp(float(-max(w.optical_depth - correlated, 0.0)));
}

// ---- leaves ---------------------------------------------------------------------------------
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

struct LeafHit {
  vec3 normal;
  vec3 facing;
  bool back_face;
};

LeafHit sample_leaf_normal(int type, vec3 d, inout Pcg32 rng) {
  vec3 n = vec3(0.0, 0.0, 1.0);
  for (int tries = 0; tries < 64; ++tries) {
    const float theta = sample_leaf_inclination(type, pcg_uniform(rng));
    const float phi = kTwoPi * pcg_uniform(rng);
    const float s = sin(theta);
    n = vec3(s * cos(phi), s * sin(phi), cos(theta));
    if (pcg_uniform(rng) < abs(dot(n, d))) break;
  }
  LeafHit hit;
  hit.normal = n;
  hit.back_face = dot(n, d) > 0.0;
  hit.facing = hit.back_face ? -n : n;
  return hit;
}

float leaf_reflectance(DeviceLeafModel m, int b, bool back_face) {
  const int r = back_face ? m.back : m.front;
  return r >= 0 ? spectral[r + b] : 0.0;
}

float leaf_transmission(DeviceLeafModel m, int b) {
  return m.transmittance >= 0 ? spectral[m.transmittance + b] : 0.0;
}

float leaf_response(DeviceLeafModel m, int b, LeafHit leaf, vec3 v) {
  const float c = dot(leaf.facing, v);
  const float value = c > 0.0 ? leaf_reflectance(m, b, leaf.back_face) : leaf_transmission(m, b);
  return value * kInvPi;
}
