#pragma once

// Photon ranges of a forward run split over several processes or machines.
//
// A forward run folds its deposits into the totals in blocks of kFoldPhotons photons: the
// deposits of one block are summed from zero into a block partial, and the block partials are
// added to the totals in block order. Every tally element therefore receives the sequence
// ((0 + P_0) + P_1) + ... of its block partials, whatever the thread count. A run restricted to
// a range of whole blocks returns those block partials one by one; adding all ranges' partials
// to zero totals in block order repeats the same additions, so the merged result is
// bit-identical to the run on one machine for any split at block boundaries.

#include <cstdint>
#include <vector>

namespace tesk::embree::photon {

/// Photons per fold block (a multiple of the driver chunk; ranges start on block boundaries).
inline constexpr int64_t kFoldPhotons = 100000;

/// Photons [begin, end) of a run; `end` < 0 means the whole run.
struct PhotonRange {
  int64_t begin = 0;  ///< First photon, a multiple of kFoldPhotons.
  int64_t end = -1;   ///< One past the last photon: a multiple of kFoldPhotons or the run's end.
  bool whole() const { return end < 0; }
};

/// The block partials of a range run.
struct RangePartials {
  int64_t first_block = 0;                 ///< Block index of the range's first photon.
  int64_t n_blocks = 0;                    ///< Blocks in the range.
  std::vector<std::vector<double>> slots;  ///< Per tally slot: n_blocks x slot size, block-major.
};

/// Checks a range against a run of `num_photons` photons. Throws std::invalid_argument
/// "photon_range must satisfy 0 <= begin < end <= num_photons with begin and end on fold-block
/// boundaries (or end = num_photons)".
void check_photon_range(const PhotonRange& range, int64_t num_photons);

}  // namespace tesk::embree::photon
