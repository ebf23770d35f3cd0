#pragma once

#include <cstdint>
#include <type_traits>

namespace tesk::embree::photon {

/// Ray queries of a forward run, for throughput figures.
struct PhotonRayCounts {
  int64_t closest = 0;      ///< Closest-hit queries along photon paths.
  int64_t shadow = 0;       ///< Queries toward view directions (occlusion or media steps).
  int64_t containment = 0;  ///< Media containment queries (each walks several boundaries).
};
static_assert(std::is_trivially_copyable_v<PhotonRayCounts>);

}  // namespace tesk::embree::photon
