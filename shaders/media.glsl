// The walker of paths through optical turbid media, ported line for line from
// embree/media_walk.cpp: containment, the combined free-path step, boundary and tile-wall
// crossings and the transmittance walk. Media are closed meshes whose triangles are not
// surfaces: a path enters or leaves the medium there. Bindings 8 (medium records) and 9 (the
// medium bounded by each material); set_media() stores the run's table sizes and tile first.
// Needs scene_bindings.glsl and transport.glsl.

layout(set = 0, binding = 8, scalar) readonly buffer Media { DeviceMedium media[]; };
layout(set = 0, binding = 9, scalar) readonly buffer MaterialMedia { int material_medium_ids[]; };

int g_n_media;
int g_n_material_ids;
int g_periodic;
int g_num_repetitions;
float g_tile_x;
float g_tile_y;
float g_z_top;
vec3 g_box_min;
vec3 g_box_max;

void set_media(int n_media, int n_material_ids, int periodic, int num_repetitions, float tile_x,
               float tile_y, float z_top, vec3 box_min, vec3 box_max) {
  g_n_media = n_media;
  g_n_material_ids = n_material_ids;
  g_periodic = periodic;
  g_num_repetitions = num_repetitions;
  g_tile_x = tile_x;
  g_tile_y = tile_y;
  g_z_top = z_top;
  g_box_min = box_min;
  g_box_max = box_max;
}

// The media containing a point, with the instance of each medium's boundary.
struct ActiveSet {
  int count;
  int medium_ids[kMaxActiveMedia];
  int instance_ids[kMaxActiveMedia];
};

ActiveSet empty_set() {
  ActiveSet s;
  s.count = 0;
  for (int i = 0; i < kMaxActiveMedia; ++i) {
    s.medium_ids[i] = 0;
    s.instance_ids[i] = 0;
  }
  return s;
}

// The medium whose boundary is made of material `material_id`, or -1.
int medium_of(int material_id) {
  if (material_id < 0 || material_id >= g_n_material_ids) return -1;
  const int m = material_medium_ids[material_id];
  return m >= 0 && m < g_n_media ? m : -1;
}

// Whether a hit on the boundary of medium m leaves it: the back of outward-facing triangles
// (orientation +1) or the front of inward-facing ones.
bool leaves_medium(int m, bool back_face) {
  return media[m].orientation == (back_face ? 1 : -1);
}

// Projection function of medium m for direction w, linear between whole degrees of zenith.
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
    if (id >= 0 && id < g_n_media) sigma += medium_extinction(id, w);
  }
  return sigma;
}

// Adds or removes one (medium, instance) entry at a boundary hit on the back_face side.
void update_set(inout ActiveSet set, int medium, int instance, bool back_face) {
  if (medium < 0 || medium >= g_n_media) return;
  int found = -1;
  for (int k = 0; k < set.count; ++k) {
    if (set.medium_ids[k] == medium && set.instance_ids[k] == instance) found = k;
  }
  if (leaves_medium(medium, back_face)) {
    if (found < 0) return;
    for (int k = found; k + 1 < set.count; ++k) {
      set.medium_ids[k] = set.medium_ids[k + 1];
      set.instance_ids[k] = set.instance_ids[k + 1];
    }
    --set.count;
  } else if (found < 0 && set.count < kMaxActiveMedia) {
    set.medium_ids[set.count] = medium;
    set.instance_ids[set.count] = instance;
    ++set.count;
  }
}

// Containment of `point`: walk along `direction`; the first boundary met on each instance
// decides (a boundary left through is one we are inside). Points outside the scene box are in
// no medium.
ActiveSet active_optical_media(vec3 point, vec3 direction) {
  ActiveSet result = empty_set();
  if (g_n_media == 0 || any(lessThan(point, g_box_min)) || any(greaterThan(point, g_box_max))) {
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

// In a periodic scene, moves o by whole periods into the tile, and across a wall that the ray
// would reach within the minimum crossing distance.
vec3 nudge_into_tile(vec3 o, vec3 d) {
  if (g_periodic == 0) return o;
  const float X = g_tile_x;
  const float Y = g_tile_y;
  if (o.x < 0.0 || o.x > X) o.x -= floor(o.x / X) * X;
  if (o.y < 0.0 || o.y > Y) o.y -= floor(o.y / Y) * Y;
  if (d.x > kParallelEpsilon && (X - o.x) <= kTileWallMin * d.x) o.x -= X;
  if (d.x < -kParallelEpsilon && o.x <= -kTileWallMin * d.x) o.x += X;
  if (d.y > kParallelEpsilon && (Y - o.y) <= kTileWallMin * d.y) o.y -= Y;
  if (d.y < -kParallelEpsilon && o.y <= -kTileWallMin * d.y) o.y += Y;
  return o;
}

bool escapes_upward(vec3 o, vec3 d) {
  return o.z > g_z_top && d.z >= 0.0;
}

// The geometric part of one step: the closest hit and, while the path may still wrap, the
// tile exit; a medium boundary just before the wall yields to the wall.
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
  if (g_periodic != 0 && crossings < g_num_repetitions) {
    s.exit = cross_tile(o, d, g_tile_x, g_tile_y);
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

// What ended one step of the combined free-path trace.
const int kEventEscape = 0;
const int kEventSurface = 1;
const int kEventBoundary = 2;
const int kEventTileCrossing = 3;
const int kEventInteraction = 4;

struct MediumEvent {
  int kind;
  SurfaceHit hit;
  TileExit exit;
  vec3 position;
  int medium_id;
  int instance_id;
};

// One step of a path: the closest of a surface hit, a tile crossing and, inside the current
// media, a leaf interaction at an exponentially distributed free path (zero or two draws).
MediumEvent media_step(vec3 origin, vec3 direction, ActiveSet around, int crossings,
                       inout Pcg32 rng) {
  const WalkStep s = walk_step(origin, direction, crossings);
  MediumEvent ev;
  ev.kind = kEventEscape;
  ev.hit = s.hit;
  ev.exit = s.exit;
  ev.position = vec3(0.0);
  ev.medium_id = -1;
  ev.instance_id = -1;
  if (around.count >= 1 && around.count <= kMaxActiveMedia) {
    const float sigma = combined_extinction(around, direction);
    if (sigma > 0.0) {
      const float t = -log(max(1.0 - pcg_uniform(rng), 1e-7)) / sigma;
      if (t < s.limit) {
        float x = sigma * min(max(pcg_uniform(rng), 0.0), 0.99999994);
        int entry = around.count - 1;
        for (int i = 0; i < around.count; ++i) {
          const int id = around.medium_ids[i];
          if (id >= 0 && id < g_n_media) x -= medium_extinction(id, direction);
          if (x <= 0.0) {
            entry = i;
            break;
          }
        }
        ev.kind = kEventInteraction;
        ev.position = origin + t * direction;
        ev.medium_id = around.medium_ids[entry];
        ev.instance_id = around.instance_ids[entry];
        return ev;
      }
    }
  }
  if (s.crossing) {
    ev.kind = kEventTileCrossing;
    ev.position = origin + s.exit.t * direction;
  } else if (s.hit.hit) {
    ev.kind = s.boundary >= 0 ? kEventBoundary : kEventSurface;
    ev.position = s.hit.position;
    ev.medium_id = s.boundary;
    ev.instance_id = s.hit.instance_id;
  }
  return ev;
}

// Moves a path across the tile wall of the ray (o, d) and runs containment again there when
// the path was inside media.
vec3 wrap_path(vec3 o, vec3 d, TileExit exit, inout ActiveSet set, inout uint queries) {
  const vec3 p = wrap_at_exit(o, d, exit, g_tile_x, g_tile_y) + kBoundaryStep * d;
  if (set.count > 0) {
    ++queries;
    set = active_optical_media(p, d);
  }
  return p;
}

// exp(-optical depth) from o (inside the media of `start`) along the unit direction v out of
// the scene; 0 when a surface bounding no medium blocks the way or the depth passes
// kOpaqueOpticalDepth.
double media_transmittance(vec3 o, vec3 v, ActiveSet start, int crossings, inout uint queries) {
  ActiveSet cur = start;
  double depth = 0.0;
  for (int step = 0; step < kMaxWalkSteps; ++step) {
    o = nudge_into_tile(o, v);
    if (cur.count == 0 && escapes_upward(o, v)) return exp(-float(depth));
    const WalkStep s = walk_step(o, v, crossings);
    ++queries;
    const float seg = s.crossing || s.hit.hit ? s.limit : 0.0;
    for (int i = 0; i < cur.count; ++i) {
      const int m = cur.medium_ids[i];
      if (m < 0 || m >= g_n_media) continue;
      depth += double(medium_extinction(m, v)) * double(seg);
    }
    if (depth > kOpaqueOpticalDepth) return 0.0;
    if (s.crossing) {
      o = wrap_at_exit(o, v, s.exit, g_tile_x, g_tile_y) + kBoundaryStep * v;
      ++crossings;
      if (cur.count > 0) {
        ++queries;
        cur = active_optical_media(o, v);
      }
      continue;
    }
    if (!s.hit.hit) return exp(-float(depth));
    if (s.boundary < 0) return 0.0;
    update_set(cur, s.boundary, s.hit.instance_id, s.hit.is_back_face);
    o = offset_ray_origin(s.hit.position, s.hit.geometric_normal, v);
  }
  return 0.0;
}
