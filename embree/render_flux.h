#pragma once

#include <cstdint>
#include <vector>

#include "core/host/execution.h"
#include "core/host/progress.h"
#include "embree/photon_range.h"
#include "embree/ray_counts.h"
#include "embree/scene_manager.h"

namespace tesk::embree {

/// Result of a forward photon-flux run. Per-cell arrays are [ny][nx][n_bands]
/// (index (iy * nx + ix) * n_bands + b); energies are in the units of the scene's spectra times
/// scene area (the power of a photon is Lx Ly / num_photons times its spectral weight). Arrays
/// a run does not produce are empty.
struct FluxResult {
  std::vector<float> downwelling;          ///< Energy arriving at surfaces of each cell.
  std::vector<float> upwelling;            ///< Energy leaving surfaces of each cell.
  std::vector<float> downwelling_direct;   ///< Part of downwelling carried by sun photons.
  std::vector<float> downwelling_diffuse;  ///< Part of downwelling carried by sky photons.
  std::vector<float> grid;          ///< Energy absorbed in each cell (not terrain; media scenes).
  std::vector<float> grid_direct;   ///< Part of grid from sun photons (media scenes).
  std::vector<float> grid_diffuse;  ///< Part of grid from sky photons (media scenes).
  std::vector<float> leaf;          ///< [n_primitives][n_bands] absorbed per primitive (media).
  std::vector<float> terrain;       ///< [n_bands] absorbed by instance 0 (media scenes).
  std::vector<float> escaped;       ///< [n_bands] energy leaving the scene (media scenes).
  std::vector<float> incident;      ///< [n_bands] energy emitted (media scenes).
  std::vector<float> medium;        ///< [n_media][n_bands] absorbed by leaves per medium.
  std::vector<float> removed;       ///< [n_bands] energy ended by the depth limit and cut-offs.
  std::vector<float> roulette;      ///< [n_bands] roulette victims minus survivors' gain (mean 0).
  int32_t nx = 0;                   ///< Cells along x.
  int32_t ny = 0;                   ///< Cells along y.
  int32_t n_bands = 0;              ///< Bands per cell.
  int32_t threads = 0;              ///< Worker threads that ran.
  photon::PhotonRayCounts rays;     ///< Queries issued, for throughput figures.
  /// Range runs only (the float arrays are then empty): the block partials per slot, slots
  /// in the order downwelling, upwelling, downwelling_direct, downwelling_diffuse, grid,
  /// grid_direct, grid_diffuse, leaf, terrain, escaped, incident, medium.
  photon::RangePartials partials;
  ExecutionIdentity execution;  ///< embree / optical_flux / "embree.cpu.optical_flux".
};

/// Forward Monte Carlo photon flux on the horizontal grid of nx x ny cells over
/// [0, Lx] x [0, Ly] (the repetitive-domain size when both sizes are positive, else the
/// sensor's orthographic width and height). `num_photons` photons are emitted from the sun
/// (probability `prob_sun`) and the sky, each with its own random stream seeded by its index,
/// and followed through surfaces (and optical turbid media, when set) until they escape, lose
/// Russian roulette (from `rr_depth` scattering events on) or reach `max_depth` scattering
/// events (replaced by a positive decimal TESK_MAX_DEPTH, with a console line). `max_bounces`
/// > 0 limits the hits recorded per photon. `decompose` adds the sun/sky split of downwelling.
/// Workers: `n_threads` (below 1: the hardware concurrency); results do not depend on it
/// beyond the order of floating-point sums.
///
/// `progress` (may be empty) gets (photons done, num_photons, elapsed ms) after every chunk of
/// a million photons; `interrupt` (may be empty) is polled about every 100 ms. An exception
/// from either stops the workers, joins them and propagates.
/// Throws std::invalid_argument "flux grid dimensions and band count must be positive",
/// std::overflow_error "flux grid element count exceeds signed device index range",
/// std::invalid_argument "Embree flux photon count must be positive",
/// std::invalid_argument "prob_sun must be in [0, 1]",
/// std::invalid_argument "flux scene extent must be at least the minimum normalized float",
/// std::runtime_error "Embree: build the scene before tracing rays", std::bad_alloc when the
/// per-thread tallies cannot fit in memory.
FluxResult render_flux(const EmbreeSceneManager& scene, int nx, int ny, int64_t num_photons,
                       int num_bands, float prob_sun, int max_bounces, int max_depth, int rr_depth,
                       int n_threads, const ProgressCallback& progress, bool decompose,
                       const InterruptCheck& interrupt = {}, const photon::PhotonRange& range = {});

}  // namespace tesk::embree
