#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/forward_field.h"
#include "core/host/execution.h"
#include "core/host/progress.h"
#include "embree/photon_range.h"
#include "embree/ray_counts.h"
#include "embree/scene_manager.h"

namespace tesk::embree {

/// Result of a forward radiation-field run. The layered grid is
/// [n_layers][ny][nx][n_bands] (index ((l * ny + iy) * nx + ix) * n_bands + b). Energies are in
/// the units of the scene's spectra times scene area; "brf" holds radiant intensities (energy
/// per steradian) toward each view direction. Arrays a run does not produce are empty.
struct ForwardFieldResult {
  std::vector<float> grid;          ///< Absorbed energy of all non-terrain events.
  std::vector<float> leaf;          ///< [n_primitives][n_bands] absorbed per primitive.
  std::vector<float> terrain;       ///< [n_bands] absorbed by the terrain instance.
  std::vector<float> brf;           ///< [n_directions][n_bands] next-event estimates.
  std::vector<float> albedo;        ///< [n_bands] energy escaping upward (with view directions).
  std::vector<float> escaped;       ///< [n_bands] energy leaving the scene (media scenes).
  std::vector<float> incident;      ///< [n_bands] energy emitted (media scenes).
  std::vector<float> grid_direct;   ///< grid from sun photons (media scenes).
  std::vector<float> grid_diffuse;  ///< grid from sky photons (media scenes).
  std::vector<float> medium;        ///< [n_media][n_bands] absorbed by leaves per medium.
  std::vector<float> removed;       ///< [n_bands] energy ended by the depth limit and cut-offs.
  std::vector<float> roulette;      ///< [n_bands] roulette victims minus survivors' gain (mean 0).
  int32_t nx = 0;                   ///< Cells along x.
  int32_t ny = 0;                   ///< Cells along y.
  int32_t n_layers = 0;             ///< Layers along z.
  int32_t n_bands = 0;              ///< Bands per cell.
  int32_t n_directions = 0;         ///< View directions.
  int32_t threads = 0;              ///< Worker threads that ran.
  photon::PhotonRayCounts rays;     ///< Queries issued, for throughput figures.
  /// Range runs only (the float arrays are then empty): the block partials per slot, slots
  /// in the order grid, terrain, brf, albedo, escaped, incident, grid_direct,
  /// grid_diffuse, medium, leaf.
  photon::RangePartials partials;
  /// embree / optical_forward / "embree.cpu.optical_forward", or optical_brf /
  /// "embree.cpu.optical_brf" with view directions.
  ExecutionIdentity execution;
};

/// Checks the arguments of a forward field run (the grid, photons, bands, prob_sun and view
/// directions) and returns the layer count. Throws the argument errors listed at
/// render_forward.
int check_forward_arguments(int nx, int ny, const std::vector<float>& layer_heights,
                            int64_t num_photons, int num_bands, float prob_sun,
                            const std::vector<float>& brf_directions, int num_brf_dirs);

/// The `num_brf_dirs` view directions of `brf_directions` (3 floats each), normalised.
std::vector<float3> forward_views(const std::vector<float>& brf_directions, int num_brf_dirs);

/// Elements (doubles) of each tally slot of a run over `field` with `n_bands` bands and
/// `n_primitives` primitives; the per-medium slot is left at 0 for the caller.
std::array<size_t, kForwardSlots> forward_slot_sizes(const ForwardField& field, int n_bands,
                                                     int64_t n_primitives);

/// Forward Monte Carlo absorbed-radiation field: photons are emitted and followed exactly as
/// by `render_flux`, and at every surface hit and every leaf interaction inside a medium the
/// absorbed energy (1 - reflectance - transmittance of the material, or of the medium's leaves)
/// is added to the layered grid over [0, Lx] x [0, Ly] (points outside are clamped into the
/// border cells and layers), to "terrain" for hits on `terrain_instance_id` (>= 0), and per
/// primitive when `per_leaf`. For each of the `num_brf_dirs` view directions (3 floats each in
/// `brf_directions`, toward the viewer; normalised here) every event adds the next-event
/// estimate f w |cos| P T toward the viewer (T: visibility, or transmittance through media),
/// which sums to the radiant intensity of the scene's reflected light; photons escaping
/// upward add to "albedo". Photons draw every free path independently, so the transmittance
/// toward the viewer does not remember the leaves the photon came through: the hotspot of media
/// with a finite leaf size (which the backward renderer models) is not reproduced; with leaf
/// size 0 both estimate the same reflectance. `max_depth` is replaced by a positive decimal
/// TESK_MAX_DEPTH.
///
/// Threads, progress and interruption as in `render_flux`. The per-primitive array is shared by
/// the workers under one mutex; every other tally is per worker and merged in thread order.
/// Throws std::runtime_error "layer_heights must have at least 2 entries",
/// std::invalid_argument "layer_heights must be finite and strictly increasing",
/// std::invalid_argument "forward grid dimensions and band count must be positive",
/// std::overflow_error "forward grid element count exceeds signed device index range",
/// std::invalid_argument "forward photon count must be positive",
/// std::invalid_argument "prob_sun must be in [0, 1]",
/// std::invalid_argument "num_brf_dirs must be non-negative and match brf_directions",
/// std::runtime_error "Embree: build the scene before tracing rays", std::bad_alloc when the
/// tallies cannot fit in memory.
ForwardFieldResult render_forward(const EmbreeSceneManager& scene, int nx, int ny,
                                  const std::vector<float>& layer_heights, int64_t num_photons,
                                  int num_bands, bool per_leaf, float prob_sun,
                                  const std::vector<float>& brf_directions, int num_brf_dirs,
                                  int max_depth, int rr_depth, int n_threads,
                                  const ProgressCallback& progress, int terrain_instance_id,
                                  const InterruptCheck& interrupt = {},
                                  const photon::PhotonRange& range = {});

}  // namespace tesk::embree
