#pragma once

#include <cmath>
#include <type_traits>

#include "core/host_device.h"
#include "core/transport_constants.h"
#include "core/vec.h"

namespace tesk {

/// The periodic tiling of a scene as the transport reads it.
struct TileView {
  bool periodic = false;    ///< Repetitive tiling is active.
  int num_repetitions = 0;  ///< Tile walls one ray may cross.
  float x = 0.0f;           ///< Tile size along x.
  float y = 0.0f;           ///< Tile size along y.
  float z_top = 0.0f;       ///< Scene top: nothing lies above it.
};
TESK_DEVICE_RECORD(TileView, 20);

/// Whether a ray from `o` along `d` can meet no geometry in any tile (above the top, rising).
TESK_HOST_DEVICE inline bool escapes_upward(const TileView& tiles, const float3& o,
                                            const float3& d) {
  return o.z > tiles.z_top && d.z >= 0.0f;
}

/// Height above the scene top from which camera rays enter a periodic scene: 1e-3 scene units,
/// or 1e-6 of the top height when that is larger (stays many float steps above the top).
TESK_HOST_DEVICE inline float periodic_entry_margin(float z_top) {
  return std::fmax(1e-3f, 1e-6f * std::fabs(z_top));
}

/// Where a ray leaves the periodic tile [0, X] x [0, Y] (walls are infinite in z).
struct TileExit {
  float t = 0.0f;  ///< Distance along the ray to the exit (units of the direction).
  int axis = -1;   ///< 0: through an x wall, 1: through a y wall, -1: no exit.
};
TESK_DEVICE_RECORD(TileExit, 8);

/// First exit of the ray (o, d) through a wall of the tile [0, X] x [0, Y]: per axis with
/// |d_i| > 1e-8 the wall distances that are > 1e-4 and < 1e16 count, the smaller wins and x wins
/// ties. Returns axis -1 when neither axis has a counting distance.
TESK_HOST_DEVICE inline TileExit cross_tile(const float3& o, const float3& d, float X, float Y) {
  constexpr float kMin = transport::kTileWallMin;
  constexpr float kMax = transport::kFarDistance;
  float tx = INFINITY;
  float ty = INFINITY;
  if (std::fabs(d.x) > transport::kParallelEpsilon) {
    const float c0 = -o.x / d.x;
    const float c1 = (X - o.x) / d.x;
    if (c0 > kMin && c0 < kMax) tx = c0;
    if (c1 > kMin && c1 < kMax && c1 < tx) tx = c1;
  }
  if (std::fabs(d.y) > transport::kParallelEpsilon) {
    const float c0 = -o.y / d.y;
    const float c1 = (Y - o.y) / d.y;
    if (c0 > kMin && c0 < kMax) ty = c0;
    if (c1 > kMin && c1 < kMax && c1 < ty) ty = c1;
  }
  if (tx == INFINITY && ty == INFINITY) return TileExit{};
  if (tx <= ty) return TileExit{tx, 0};
  return TileExit{ty, 1};
}

/// The point where the ray (o, d) leaves the tile at `exit`, moved by one tile period to the
/// opposite wall, so it continues in the neighbouring copy of the scene. Used without an offset.
TESK_HOST_DEVICE inline float3 wrap_at_exit(const float3& o, const float3& d, const TileExit& exit,
                                            float X, float Y) {
  float3 p = o + exit.t * d;
  if (exit.axis == 0) {
    p.x = d.x > 0.0f ? p.x - X : p.x + X;
  } else if (exit.axis == 1) {
    p.y = d.y > 0.0f ? p.y - Y : p.y + Y;
  }
  return p;
}

/// Start point of a camera ray in a periodic scene whose tile is [0, X] x [0, Y] and whose
/// geometry ends at height `z_top`: a ray from above that looks down is first moved along itself
/// to the plane z = z_top; x and y are then wrapped into the tile (a pure translation by whole
/// periods), moved along the ray back inside where wrapping could not, and clamped to
/// [0.001, X - 0.001] x [0.001, Y - 0.001]. Returns the new origin; the direction is unchanged.
TESK_HOST_DEVICE inline float3 periodic_entry(float3 o, const float3& d, float X, float Y,
                                              float z_top) {
  if (o.z > z_top && d.z < -transport::kParallelEpsilon) {
    const float t = (z_top - o.z) / d.z;
    o = o + t * d;
  }
  if (o.x > X) {
    o.x -= std::trunc(o.x / X) * X;
  } else if (o.x < 0.0f) {
    o.x += std::trunc((X - o.x) / X) * X;
  }
  if (o.y > Y) {
    o.y -= std::trunc(o.y / Y) * Y;
  } else if (o.y < 0.0f) {
    o.y += std::trunc((Y - o.y) / Y) * Y;
  }
  // Rounding can leave a wrapped coordinate just outside; step along the ray back inside.
  float t = 0.0f;
  if (o.x < 0.0f && d.x > transport::kParallelEpsilon) {
    t = -o.x / d.x;
  } else if (o.x > X && d.x < -transport::kParallelEpsilon) {
    t = (X - o.x) / d.x;
  }
  float ty = 0.0f;
  if (o.y < 0.0f && d.y > transport::kParallelEpsilon) {
    ty = -o.y / d.y;
  } else if (o.y > Y && d.y < -transport::kParallelEpsilon) {
    ty = (Y - o.y) / d.y;
  }
  if (ty > t) t = ty;
  if (t > 0.0f) o = o + t * d;
  o.x = std::fmin(std::fmax(o.x, transport::kTileEntryInset), X - transport::kTileEntryInset);
  o.y = std::fmin(std::fmax(o.y, transport::kTileEntryInset), Y - transport::kTileEntryInset);
  return o;
}

}  // namespace tesk
