#pragma once

#include <cstdint>
#include <functional>

namespace tesk {

/// Progress report of a long workflow: (done, total, elapsed milliseconds), called from the
/// thread that started the workflow. An empty function disables reporting. It may throw; the
/// workflow then stops, joins its workers and lets the exception through.
using ProgressCallback = std::function<void(int64_t done, int64_t total, float elapsed_ms)>;

/// Polled by the calling thread of a long workflow while workers run; throws to cancel
/// (for example when the user pressed Ctrl-C). An empty function never cancels.
using InterruptCheck = std::function<void()>;

}  // namespace tesk
