#pragma once

// The scene resolved once per run into what every transport workflow reads: spectra,
// materials, the sun (normalised here, once), skies, tiling, leaf media and their leaf optics.
// The backward renderer, the BRF, the forward workflows and the media walker all take this one
// context, so a transport rule lives in one place.

#include <cstdint>
#include <vector>

#include "core/illumination.h"
#include "core/leaf_emission.h"
#include "core/leaf_scattering.h"
#include "core/media_walk.h"
#include "core/optical_media.h"
#include "core/scene_types.h"
#include "core/spectral.h"
#include "core/surface_path.h"
#include "core/vec.h"
#include "embree/scene_manager.h"

namespace tesk::embree {

using tesk::TileView;

/// The optical turbid media of a scene as plain arrays (core/media_walk.h).
using tesk::MediaView;

using tesk::MediumLeafModel;

/// Everything a path reads, resolved once per run: the device-clean part that the shared path
/// code reads (core/surface_path.h), plus the scene itself and its media.
struct TransportContext : PathContext {
  const EmbreeSceneManager* scene = nullptr;  ///< The built scene (read only).
  bool has_sky = false;                       ///< Any sky model is set.
  SceneBounds bounds{};                       ///< Scene bounding box.
  float measurement_plane = 0.0f;             ///< Height under which periodic photons start.
  MediaView media{};                          ///< Optical turbid media (n_media 0: none).
  LeafThermalView leaf_thermal{};  ///< Thermal state of the leaves inside media, per instance.
  SifSourceFieldView leaf_sif{};   ///< SIF source of the leaves inside media (n_bands bands).
  std::vector<MediumLeafModel> leaf_models;  ///< One per medium.
  /// Backward images trace the camera rays (and the first sun rays) of 16 neighbouring pixels
  /// as packets; false traces every ray alone (the same samples, for comparisons).
  bool packets = true;
  /// Surface hits of the media walker carry the interpolated shading normal; walks that only
  /// use geometric faces (the leaf reverse ray tracer) turn it off and save the interpolation.
  bool shading_normals = true;

  /// Whether the scene has optical turbid media (the media-aware paths run).
  bool has_media() const { return media.n_media > 0; }
};

/// Resolves the built scene for a run carrying `n_bands` bands (the description's band count
/// when below 1). Does not check that the scene is built.
TransportContext make_transport_context(const EmbreeSceneManager& scene, int n_bands, int max_depth,
                                        int rr_depth);

/// The tiling of a scene.
TileView tile_view(const EmbreeSceneManager& scene);

/// The media of a scene.
MediaView media_view(const EmbreeSceneManager& scene);

}  // namespace tesk::embree
