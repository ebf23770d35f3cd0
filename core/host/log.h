#pragma once

// Informational lines of the workflows (what a run is about to do: sizes, modes, threads).
// They go to a sink the host installs; the Python module forwards them to the "tesk_gpu"
// logger, so they are silent unless the user asks for them. Lines that users rely on seeing on
// the console (overrides taken from the environment, the forward and LiDAR summaries) are
// printed directly instead.

#include <functional>
#include <string>

namespace tesk {

/// Receives one line (no trailing newline). Called only on the thread that started the
/// workflow, never from its workers.
using LogSink = std::function<void(const std::string&)>;

/// Installs `sink` for every later line (empty: lines are dropped, the default).
void set_log_sink(LogSink sink);

/// Formats a line like printf and hands it to the sink, if any.
void log_info(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tesk
