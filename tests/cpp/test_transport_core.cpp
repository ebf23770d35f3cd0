// The pieces every workflow shares: the parallel driver (chunk-ordered merges, errors,
// interruption) and the random streams derived from work items.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "core/host/parallel.h"
#include "core/random_streams.h"

namespace tesk {
namespace {

// Sum of terms whose order matters in floating point, split in chunks of 7 terms.
double ordered_sum(int threads, std::vector<int64_t>* merge_order) {
  constexpr int64_t kChunks = 200;
  double total = 0.0;
  run_chunks<double>(
      kChunks, threads, {}, [] { return 0.0; },
      [](int64_t c, double& partial) {
        partial = 0.0;
        for (int64_t i = 0; i < 7; ++i) partial += 1.0 / static_cast<double>(7 * c + i + 1) * 1e16;
      },
      [&](int64_t c, double& partial) {
        if (merge_order != nullptr) merge_order->push_back(c);
        total += partial;
        total *= 1.0000000001;  // makes the result depend on the merge order
      });
  return total;
}

TEST(ParallelDriver, MergesInChunkOrderForAnyThreadCount) {
  std::vector<int64_t> order;
  const double one = ordered_sum(1, &order);
  for (int64_t c = 0; c < 200; ++c) ASSERT_EQ(order[c], c);
  for (int threads : {2, 3, 8}) {
    order.clear();
    EXPECT_EQ(ordered_sum(threads, &order), one) << threads;  // bit-identical
    for (int64_t c = 0; c < 200; ++c) ASSERT_EQ(order[c], c);
  }
}

TEST(ParallelDriver, IndexedWorkCoversEveryItemOnce) {
  std::vector<std::atomic<int>> hits(10007);
  parallel_for_chunks(hits.size(), 4, 64, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) hits[i].fetch_add(1);
  });
  for (const auto& h : hits) ASSERT_EQ(h.load(), 1);
}

TEST(ParallelDriver, ErrorsStopTheWorkAndPropagate) {
  for (int threads : {1, 3}) {
    std::atomic<int> ran{0};
    auto failing_work = [&] {
      run_chunks<int>(
          1000, threads, {}, [] { return 0; },
          [&](int64_t c, int&) {
            ++ran;
            if (c == 5) throw std::runtime_error("chunk 5");
          },
          [](int64_t, int&) {});
    };
    EXPECT_THROW(failing_work(), std::runtime_error);
    EXPECT_LT(ran.load(), 1000);
    // A failing merge (a progress callback that raises) and an interrupt stop the run too.
    EXPECT_THROW(run_chunks<int>(
                     1000, threads, {}, [] { return 0; }, [](int64_t, int&) {},
                     [](int64_t c, int&) {
                       if (c == 3) throw std::invalid_argument("progress");
                     }),
                 std::invalid_argument);
    int polls = 0;
    EXPECT_THROW(run_chunks<int>(
                     1000000, threads,
                     [&] {
                       if (++polls > 2) throw std::range_error("ctrl-c");
                     },
                     [] { return 0; },
                     [](int64_t, int&) {
                       volatile double x = 0;
                       for (int i = 0; i < 20000; ++i) x = x + std::sqrt(static_cast<double>(i));
                     },
                     [](int64_t, int&) {}),
                 std::range_error);
  }
}

// Pearson correlation of two samples.
double correlation(const std::vector<double>& a, const std::vector<double>& b) {
  const double n = static_cast<double>(a.size());
  double ma = 0, mb = 0;
  for (size_t i = 0; i < a.size(); ++i) ma += a[i], mb += b[i];
  ma /= n, mb /= n;
  double sab = 0, saa = 0, sbb = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    sab += (a[i] - ma) * (b[i] - mb);
    saa += (a[i] - ma) * (a[i] - ma);
    sbb += (b[i] - mb) * (b[i] - mb);
  }
  return sab / std::sqrt(saa * sbb);
}

TEST(RandomStreams, NeighbouringPixelsAndPassesAreUncorrelated) {
  // The jitter and the first bounce use a sample's first draws; neighbouring pixels of a pass,
  // and one pixel in consecutive passes, must not draw related numbers there. (Pixels sharing
  // one sequence and differing only in their start state gave r = -0.026 at the fourth draw.)
  constexpr int W = 500, H = 301;
  auto draw = [&](int x, int y, int s, int k) {
    Pcg32 rng = pixel_stream(W, H, x, y, s);
    for (int i = 0; i < k; ++i) rng.next32();
    return static_cast<double>(rng.uniform());
  };
  for (int k = 0; k < 6; ++k) {
    std::vector<double> a, right, next_pass;
    for (int y = 0; y < H; ++y) {
      for (int x = 0; x + 1 < W; ++x) {
        a.push_back(draw(x, y, 3, k));
        right.push_back(draw(x + 1, y, 3, k));
        next_pass.push_back(draw(x, y, 4, k));
      }
    }
    const double bound = 4.0 / std::sqrt(static_cast<double>(a.size()));  // 4 standard errors
    EXPECT_LT(std::fabs(correlation(a, right)), bound) << "draw " << k;
    EXPECT_LT(std::fabs(correlation(a, next_pass)), bound) << "draw " << k;
  }
  // Photons keep their established streams: start state i + 1000003 on sequence 7919 i + 1.
  Pcg32 reference;
  reference.seed(42 + 1000003ull, 7919ull * 42 + 1);
  Pcg32 photon = photon_stream(42);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(photon.next32(), reference.next32());
}

}  // namespace
}  // namespace tesk
