#pragma once

#include <cstdint>
#include <type_traits>

#include "core/host_device.h"

namespace tesk {

/// A read-only view of the flat spectral parameter buffer. Blocks that do not fit inside the
/// buffer (or start at a negative offset) read as absent, so no offset can reach outside it.
struct SpectralView {
  const float* data = nullptr;  ///< First float of the buffer.
  int64_t size = 0;             ///< Number of floats.

  /// Pointer to `count` floats starting at `offset`, or nullptr when the block does not fit.
  TESK_HOST_DEVICE const float* block(int64_t offset, int64_t count) const {
    if (data == nullptr || offset < 0 || count < 0 || offset > size - count) return nullptr;
    return data + offset;
  }
};
TESK_DEVICE_RECORD(SpectralView, 16);

}  // namespace tesk
