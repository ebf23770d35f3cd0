#pragma once

// Random streams of the Monte Carlo workflows. Every stream is derived from the workflow and
// the work item (a pixel and pass, a photon, a sample), never from the thread that runs it, so
// results are the same for any thread count and any split of the work over machines.

#include <cstdint>

#include "core/host_device.h"
#include "core/pcg32.h"

namespace tesk {

/// The workflows that draw random numbers; the key separates their streams.
enum class StreamKey : uint32_t {
  BackwardPixel = 1,  ///< One stream per pixel and pass of a backward render.
  ForwardPhoton = 2,  ///< One stream per photon of a forward run.
  EnergyBalance = 3,  ///< One stream per surface element of an energy balance.
  LeafSample = 4,     ///< One stream per leaf-area sample of a leaf ray tracer.
  LidarPulse = 5,     ///< One stream per LiDAR pulse.
  MicrowaveRay = 6    ///< One stream per microwave line of sight.
};

/// splitmix64 finaliser: a bijective mix of 64 bits.
TESK_HOST_DEVICE inline uint64_t mix_bits(uint64_t z) {
  z += 0x9e3779b97f4a7c15ULL;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

/// The PCG32 sequence selector of work item `index` of workflow `key`.
/// Photons keep the selector 7919 i + 1 they have always had. Every other workflow gets a
/// hashed selector, so that neighbouring items run on unrelated sequences: items that share a
/// sequence and differ only in their start state are correlated (neighbouring pixels of one
/// pass were, with a correlation of -0.03 between their first bounces' draws).
TESK_HOST_DEVICE inline uint64_t stream_sequence(StreamKey key, uint64_t index) {
  if (key == StreamKey::ForwardPhoton) return 7919ULL * index + 1ULL;
  return mix_bits(mix_bits(static_cast<uint64_t>(key)) ^ index);
}

/// The stream of work item `index` of workflow `key`, started at `initial_state`.
TESK_HOST_DEVICE inline Pcg32 derive_stream(StreamKey key, uint64_t index, uint64_t initial_state) {
  Pcg32 rng;
  rng.seed(initial_state, stream_sequence(key, index));
  return rng;
}

/// The stream of pixel (x, y) in pass s of a W x H image: the start state W y + x + 1000003 s,
/// on the sequence of the item s W H + W y + x (each pixel and pass its own sequence).
TESK_HOST_DEVICE inline Pcg32 pixel_stream(int width, int height, int x, int y, int s) {
  const auto w = static_cast<uint64_t>(width);
  const uint64_t pixel = w * static_cast<uint64_t>(y) + static_cast<uint64_t>(x);
  const uint64_t item = static_cast<uint64_t>(s) * w * static_cast<uint64_t>(height) + pixel;
  return derive_stream(StreamKey::BackwardPixel, item,
                       pixel + 1000003ULL * static_cast<uint64_t>(s));
}

/// The stream of photon i: start state i + 1000003 on the sequence 7919 i + 1.
TESK_HOST_DEVICE inline Pcg32 photon_stream(int64_t i) {
  const auto u = static_cast<uint64_t>(i);
  return derive_stream(StreamKey::ForwardPhoton, u, u + 1000003ULL);
}

}  // namespace tesk
