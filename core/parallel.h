#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace tesk {

/// Number of worker threads for a request: the caller's value, or the hardware concurrency
/// when the value is below 1.
inline int resolve_thread_count(int requested) {
  if (requested >= 1) return requested;
  const unsigned hw = std::thread::hardware_concurrency();
  return hw > 0 ? static_cast<int>(hw) : 1;
}

/// Runs body(begin, end) over [0, n) in chunks of `chunk` items taken from an atomic counter by
/// `num_threads` workers (the calling thread is one of them). Which thread runs a chunk does not
/// change what the chunk computes, so results written by index are thread-count independent.
/// The first exception thrown by a body stops further chunks and is rethrown after the join.
template <typename Body>
void parallel_for_chunks(size_t n, int num_threads, size_t chunk, Body&& body) {
  if (n == 0) return;
  chunk = std::max<size_t>(chunk, 1);
  const size_t n_chunks = (n + chunk - 1) / chunk;
  const size_t workers = std::min<size_t>(static_cast<size_t>(std::max(num_threads, 1)), n_chunks);
  if (workers == 1) {
    body(size_t{0}, n);
    return;
  }
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr error;
  std::mutex error_mutex;
  auto work = [&]() {
    for (;;) {
      if (failed.load(std::memory_order_relaxed)) return;
      const size_t c = next.fetch_add(1, std::memory_order_relaxed);
      if (c >= n_chunks) return;
      try {
        body(c * chunk, std::min(n, (c + 1) * chunk));
      } catch (...) {
        std::lock_guard<std::mutex> lock(error_mutex);
        if (!error) error = std::current_exception();
        failed = true;
        return;
      }
    }
  };
  std::vector<std::thread> threads;
  threads.reserve(workers - 1);
  for (size_t t = 1; t < workers; ++t) threads.emplace_back(work);
  work();
  for (std::thread& t : threads) t.join();
  if (error) std::rethrow_exception(error);
}

}  // namespace tesk
