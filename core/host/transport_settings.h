#pragma once

// Run-time transport settings read from the environment.

#include <climits>
#include <cstdio>
#include <cstdlib>

namespace tesk {

/// The path depth a run uses: TESK_MAX_DEPTH when it holds a decimal integer > 0 (trailing
/// text ignored), else `max_depth`. `from_env` (may be null) tells which one was taken.
inline int effective_max_depth(int max_depth, bool* from_env) {
  if (from_env != nullptr) *from_env = false;
  const char* text = std::getenv("TESK_MAX_DEPTH");
  if (text == nullptr) return max_depth;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || value <= 0 || value > INT_MAX) return max_depth;
  if (from_env != nullptr) *from_env = true;
  return static_cast<int>(value);
}

/// effective_max_depth, printing "<prefix> TESK_MAX_DEPTH=<value>" when the variable is taken.
inline int announced_max_depth(int max_depth, const char* prefix) {
  bool from_env = false;
  const int depth = effective_max_depth(max_depth, &from_env);
  if (from_env) {
    std::printf("%s TESK_MAX_DEPTH=%d\n", prefix, depth);
    std::fflush(stdout);
  }
  return depth;
}

}  // namespace tesk
