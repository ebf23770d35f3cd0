#pragma once

#include <cstdint>
#include <type_traits>

#include "core/host_device.h"

namespace tesk {

/// The random stream of every CPU transport workflow: PCG32 (XSH-RR output on a 64-bit LCG).
/// Each workflow seeds one stream per independent unit of work (a pixel and pass, a photon),
/// never per thread, so results do not depend on how work is spread over threads.
struct Pcg32 {
  static constexpr uint64_t kMultiplier = 0x5851f42d4c957f2dULL;

  uint64_t state = 0x853c49e6748fea9bULL;  ///< LCG state.
  uint64_t inc = 0xda3e39cb94b95bdbULL;    ///< LCG increment (always odd).

  /// Restarts the stream at position `initstate` of the sequence selected by `initseq`.
  TESK_HOST_DEVICE void seed(uint64_t initstate, uint64_t initseq) {
    inc = (initseq << 1u) | 1u;
    state = 0;
    state = state * kMultiplier + inc;
    state += initstate;
    state = state * kMultiplier + inc;
  }

  /// Next 32 uniformly distributed bits.
  TESK_HOST_DEVICE uint32_t next32() {
    const uint64_t old = state;
    state = old * kMultiplier + inc;
    const auto xorshifted = static_cast<uint32_t>(((old >> 18u) ^ old) >> 27u);
    const auto rot = static_cast<uint32_t>(old >> 59u);
    return (xorshifted >> rot) | (xorshifted << ((32u - rot) & 31u));
  }

  /// A float in [0, 1]: the 32 bits converted to float first, then scaled by 2^-32, so outputs
  /// within 128 of 2^32 round to exactly 1.0 (consumers accept the closed interval).
  TESK_HOST_DEVICE float uniform() { return static_cast<float>(next32()) * 2.3283064e-10f; }
};
TESK_DEVICE_RECORD(Pcg32, 16);

}  // namespace tesk
