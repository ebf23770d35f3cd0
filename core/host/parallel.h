#pragma once

// The one parallel driver of every CPU workflow.
//
// Work is cut into a fixed number of chunks that depends only on the request, never on the
// thread count. Workers take chunks from an atomic counter and fill a per-chunk partial (a
// small buffer of doubles, a log of deposits, or nothing when results are written by index).
// The calling thread merges the partials strictly in chunk order, reports progress and polls
// for interruption, so a tally element receives its additions in the same order for one
// thread, for sixteen, or for a run split over several machines at chunk boundaries: the bits
// of the result do not depend on how the work was spread. Tallies need no locks, because only
// the calling thread merges.
//
// Failure: the first exception of a worker, of a merge, of the progress hook or of the
// interrupt check stops the workers; every started thread is joined before it propagates.
// A thread that cannot be started is not an error of the process: the threads that did start
// are stopped and joined, and std::system_error propagates.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "core/host/progress.h"

namespace tesk {

/// Number of worker threads for a request: the caller's value, or the hardware concurrency
/// when the value is below 1.
inline int resolve_thread_count(int requested) {
  if (requested >= 1) return requested;
  const unsigned hw = std::thread::hardware_concurrency();
  return hw > 0 ? static_cast<int>(hw) : 1;
}

/// Interval at which the calling thread polls the interrupt check while workers run.
inline constexpr std::chrono::milliseconds kInterruptPoll{100};

/// Runs `n_chunks` chunks on up to `n_threads` workers (below 1: the hardware concurrency).
///   make_partial()            -> Partial   one per worker slot, reused across chunks
///   work(chunk, partial&)                  fills the partial of one chunk (any thread)
///   merge(chunk, partial&)                 called on the calling thread in chunk order
/// `interrupt` (may be empty) is polled on the calling thread about every 100 ms and between
/// merges. With one worker and no interrupt check everything runs on the calling thread;
/// otherwise the calling thread only merges and polls, so that an interrupt is seen within
/// 100 ms even while a chunk runs (work that can run long must also watch a stop flag that the
/// interrupt check raises). Returns the number of workers that ran.
template <typename Partial, typename MakePartial, typename Work, typename Merge>
int run_chunks(int64_t n_chunks, int n_threads, const InterruptCheck& interrupt,
               MakePartial&& make_partial, Work&& work, Merge&& merge) {
  if (n_chunks <= 0) return 0;
  const int T = static_cast<int>(
      std::min<int64_t>(resolve_thread_count(n_threads), std::max<int64_t>(n_chunks, 1)));
  using Clock = std::chrono::steady_clock;
  auto last_poll = Clock::now();
  auto poll = [&](bool force) {
    if (interrupt && (force || Clock::now() - last_poll >= kInterruptPoll)) {
      last_poll = Clock::now();
      interrupt();
    }
  };
  if (T == 1 && !interrupt) {
    Partial partial = make_partial();
    for (int64_t c = 0; c < n_chunks; ++c) {
      work(c, partial);
      merge(c, partial);
      poll(false);
    }
    return 1;
  }

  // Partials cycle between a free pool, the workers and a queue of finished chunks waiting for
  // their turn. At most `capacity` partials exist, which bounds how far workers run ahead of
  // the merge (and the memory of the run).
  const size_t capacity = static_cast<size_t>(2 * T);
  std::vector<Partial> partials;
  partials.reserve(capacity);
  for (size_t i = 0; i < capacity; ++i) partials.push_back(make_partial());
  std::vector<size_t> free_slots;
  for (size_t i = 0; i < capacity; ++i) free_slots.push_back(capacity - 1 - i);
  std::vector<std::pair<int64_t, size_t>> finished;  // (chunk, slot), unordered

  std::mutex mutex;
  std::condition_variable worker_cv;  // a slot was freed, or stop
  std::condition_variable merger_cv;  // a chunk finished, a worker ended, or an error
  std::atomic<int64_t> next{0};
  bool stop = false;
  int running = 0;
  std::exception_ptr error;

  auto fail = [&](std::exception_ptr e) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!error) error = e;
    stop = true;
    worker_cv.notify_all();
    merger_cv.notify_all();
  };

  auto worker = [&] {
    try {
      for (;;) {
        size_t slot = 0;
        {
          std::unique_lock<std::mutex> lock(mutex);
          worker_cv.wait(lock, [&] { return stop || !free_slots.empty(); });
          if (stop) break;
          slot = free_slots.back();
          free_slots.pop_back();
        }
        const int64_t c = next.fetch_add(1, std::memory_order_relaxed);
        if (c >= n_chunks) {
          std::lock_guard<std::mutex> lock(mutex);
          free_slots.push_back(slot);
          break;
        }
        work(c, partials[slot]);
        {
          std::lock_guard<std::mutex> lock(mutex);
          finished.emplace_back(c, slot);
        }
        merger_cv.notify_one();
      }
    } catch (...) {
      fail(std::current_exception());
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      --running;
    }
    merger_cv.notify_all();
  };

  std::vector<std::thread> threads;
  threads.reserve(static_cast<size_t>(T));
  // Stops and joins the workers on every way out, normal or exceptional.
  struct Joiner {
    std::vector<std::thread>& threads;
    std::mutex& mutex;
    bool& stop;
    std::condition_variable& cv;
    ~Joiner() {
      {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
      }
      cv.notify_all();
      for (std::thread& t : threads) {
        if (t.joinable()) t.join();
      }
    }
  } joiner{threads, mutex, stop, worker_cv};

  for (int t = 0; t < T; ++t) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++running;
    }
    try {
      threads.emplace_back(worker);
    } catch (...) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        --running;
      }
      fail(std::current_exception());
      break;
    }
  }

  int64_t merged = 0;
  while (merged < n_chunks) {
    size_t slot = 0;
    bool have = false;
    {
      std::unique_lock<std::mutex> lock(mutex);
      merger_cv.wait_for(lock, kInterruptPoll, [&] {
        if (error) return true;
        for (const auto& f : finished) {
          if (f.first == merged) return true;
        }
        return running == 0;
      });
      if (error) break;
      for (size_t i = 0; i < finished.size(); ++i) {
        if (finished[i].first == merged) {
          slot = finished[i].second;
          finished[i] = finished.back();
          finished.pop_back();
          have = true;
          break;
        }
      }
      if (!have && running == 0) break;  // cannot happen without an error; never wait forever
    }
    try {
      if (have) {
        merge(merged, partials[slot]);
        ++merged;
        {
          std::lock_guard<std::mutex> lock(mutex);
          free_slots.push_back(slot);
        }
        worker_cv.notify_one();
      }
      poll(false);
    } catch (...) {
      fail(std::current_exception());
      break;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    stop = true;
  }
  worker_cv.notify_all();
  for (std::thread& t : threads) {
    if (t.joinable()) t.join();
  }
  if (error) std::rethrow_exception(error);
  return static_cast<int>(threads.size());
}

/// An interrupt check that, when `interrupt` throws, first calls `raise_stop()` (which sets a
/// flag that long-running work watches) and then lets the exception through, so the driver's
/// join does not wait for work that would otherwise run on. Empty when `interrupt` is empty.
template <typename RaiseStop>
InterruptCheck interrupt_raising_stop(const InterruptCheck& interrupt, RaiseStop raise_stop) {
  if (!interrupt) return {};
  return [interrupt, raise_stop] {
    try {
      interrupt();
    } catch (...) {
      raise_stop();
      throw;
    }
  };
}

/// Runs body(begin, end) over [0, n) in chunks of `chunk` items on up to `num_threads`
/// workers, for work whose results are written by index (no partials). The first exception
/// thrown by a body stops further chunks and is rethrown after the join.
template <typename Body>
void parallel_for_chunks(size_t n, int num_threads, size_t chunk, Body&& body,
                         const InterruptCheck& interrupt = {}) {
  if (n == 0) return;
  chunk = std::max<size_t>(chunk, 1);
  const auto n_chunks = static_cast<int64_t>((n + chunk - 1) / chunk);
  struct None {};
  run_chunks<None>(
      n_chunks, num_threads, interrupt, [] { return None{}; },
      [&](int64_t c, None&) {
        const size_t begin = static_cast<size_t>(c) * chunk;
        body(begin, std::min(n, begin + chunk));
      },
      [](int64_t, None&) {});
}

/// Elapsed milliseconds since `start`, as progress callbacks take them.
inline float elapsed_ms(std::chrono::steady_clock::time_point start) {
  const auto ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start)
          .count();
  return static_cast<float>(static_cast<double>(ns) / 1e6);
}

}  // namespace tesk
