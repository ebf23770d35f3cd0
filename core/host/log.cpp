#include "core/host/log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <utility>

namespace tesk {
namespace {

std::mutex& sink_mutex() {
  static std::mutex m;
  return m;
}

LogSink& current_sink() {
  static LogSink sink;
  return sink;
}

}  // namespace

void set_log_sink(LogSink sink) {
  const std::lock_guard<std::mutex> lock(sink_mutex());
  current_sink() = std::move(sink);
}

void log_info(const char* format, ...) {
  LogSink sink;
  {
    const std::lock_guard<std::mutex> lock(sink_mutex());
    sink = current_sink();
  }
  if (!sink) return;
  char buffer[512];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  if (n < 0) return;
  sink(std::string(buffer));
}

}  // namespace tesk
