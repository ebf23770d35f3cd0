#pragma once

// Per-pixel body of the device backward image: one work item is one pixel over the passes of
// one fold block. The CUDA kernel runs it once per thread; the host runs the same function in a
// loop (tests, and the reference for the device results).
//
// The sums follow the CPU image loop exactly: a pixel's samples of the block are added, in pass
// order, to block sums that start at zero, and the block sums are then added to the totals;
// launching the blocks in order therefore gives every element the additions the CPU makes.

#include <cstdint>

#include "core/bvh_tracer.h"
#include "core/host_device.h"
#include "core/scene_types.h"
#include "core/surface_path.h"

namespace tesk {

/// Most bands a device path carries (per-thread arrays are sized by it).
inline constexpr int kMaxDeviceBands = 32;
/// Most scattering-order slots of a device image (max_output_order + 2).
inline constexpr int kMaxDeviceOrderSlots = 16;

/// Launch parameters of one fold block of the backward image (all pointers on the running side).
struct BackwardImageParams {
  PathContext ctx{};                 ///< The resolved scene.
  bvh::BvhSceneView scene{};         ///< The hierarchy the paths trace.
  SensorData sensor{};               ///< The camera.
  int32_t width = 0;                 ///< Image columns W.
  int32_t height = 0;                ///< Image rows H.
  int32_t pass_begin = 0;            ///< First pass of the block.
  int32_t pass_end = 0;              ///< One past its last pass.
  int32_t order_slots = 0;           ///< Order slots (0: no order split).
  int32_t want_squares = 0;          ///< 1: sums of squares are kept (standard error).
  int32_t want_events = 0;           ///< 1: the event split is kept.
  int64_t n_elements = 0;            ///< W * H * n_bands.
  double* block_radiance = nullptr;  ///< [n_elements] block sums, zero at launch.
  double* block_squares = nullptr;   ///< [n_elements] or null.
  double* block_events = nullptr;    ///< [4][n_elements] or null.
  double* block_orders = nullptr;    ///< [order_slots][n_elements] or null.
  double* radiance = nullptr;        ///< [n_elements] totals.
  double* squares = nullptr;         ///< [n_elements] or null.
  double* events = nullptr;          ///< [4][n_elements] or null.
  double* orders = nullptr;          ///< [order_slots][n_elements] or null.
};
static_assert(std::is_trivially_copyable_v<BackwardImageParams>);

/// The running state of one device sample: fixed per-band arrays.
struct ImageSampleScratch {
  double throughput[kMaxDeviceBands];
  double radiance[kMaxDeviceBands];
  double events[kOpticalEventSlots * kMaxDeviceBands];
  double orders[kMaxDeviceOrderSlots * kMaxDeviceBands];
  float response[kMaxDeviceBands];
  RenderRayCounts rays;
  int n_bands = 0;
  int order_slots = 0;
  bool want_events = false;

  /// Adds a contribution to band b of the radiance and of the requested splits.
  TESK_HOST_DEVICE void add(int b, double value, OpticalEvent event, int order_slot) {
    radiance[b] += value;
    if (want_events) events[static_cast<int>(event) * n_bands + b] += value;
    if (order_slots > 0) orders[order_slot * n_bands + b] += value;
  }
  /// Clears the sample's running state.
  TESK_HOST_DEVICE void clear() {
    for (int b = 0; b < n_bands; ++b) {
      throughput[b] = 1.0;
      radiance[b] = 0.0;
    }
    if (want_events) {
      for (int i = 0; i < kOpticalEventSlots * n_bands; ++i) events[i] = 0.0;
    }
    for (int i = 0; i < order_slots * n_bands; ++i) orders[i] = 0.0;
  }
};

/// Pixel i (row-major) over passes [pass_begin, pass_end): block sums, then totals.
TESK_HOST_DEVICE inline void backward_pixel_item(const BackwardImageParams& p, int64_t i) {
  const int nb = p.ctx.n_bands;
  const int x = static_cast<int>(i % p.width);
  const int y = static_cast<int>(i / p.width);
  ImageSampleScratch sc;
  sc.n_bands = nb;
  sc.order_slots = p.order_slots;
  sc.want_events = p.want_events != 0;
  const bvh::BvhTracer tracer{p.scene};
  const int64_t base = i * nb;
  for (int s = p.pass_begin; s < p.pass_end; ++s) {
    if (!sample_surface_pixel(p.ctx, tracer, p.sensor, p.width, p.height, p.order_slots, x, y, s,
                              sc)) {
      continue;
    }
    for (int b = 0; b < nb; ++b) {
      const double l = sc.radiance[b];
      p.block_radiance[base + b] += l;
      if (p.want_squares) p.block_squares[base + b] += l * l;
    }
    for (int j = 0; j < (p.want_events ? kOpticalEventSlots : 0); ++j) {
      for (int b = 0; b < nb; ++b)
        p.block_events[j * p.n_elements + base + b] += sc.events[j * nb + b];
    }
    for (int j = 0; j < p.order_slots; ++j) {
      for (int b = 0; b < nb; ++b)
        p.block_orders[j * p.n_elements + base + b] += sc.orders[j * nb + b];
    }
  }
  for (int b = 0; b < nb; ++b) {
    p.radiance[base + b] += p.block_radiance[base + b];
    if (p.want_squares) p.squares[base + b] += p.block_squares[base + b];
  }
  for (int j = 0; j < (p.want_events ? kOpticalEventSlots : 0); ++j) {
    for (int b = 0; b < nb; ++b) {
      p.events[j * p.n_elements + base + b] += p.block_events[j * p.n_elements + base + b];
    }
  }
  for (int j = 0; j < p.order_slots; ++j) {
    for (int b = 0; b < nb; ++b) {
      p.orders[j * p.n_elements + base + b] += p.block_orders[j * p.n_elements + base + b];
    }
  }
}

}  // namespace tesk
