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
#include "core/optical_media.h"
#include "core/scene_types.h"
#include "core/spectral.h"
#include "core/vec.h"
#include "embree/scene_manager.h"

namespace tesk::embree {

/// The periodic tiling of a scene as the transport reads it.
struct TileView {
  bool periodic = false;    ///< Repetitive tiling is active.
  int num_repetitions = 0;  ///< Tile walls one ray may cross.
  float x = 0.0f;           ///< Tile size along x.
  float y = 0.0f;           ///< Tile size along y.
  float z_top = 0.0f;       ///< Scene top: nothing lies above it.
};

/// The optical turbid media of a scene as plain arrays.
struct MediaView {
  const OpticalMediumRecord* media = nullptr;    ///< Medium records.
  int32_t n_media = 0;                           ///< Entries of `media`.
  const int32_t* material_medium_ids = nullptr;  ///< Medium bounded by each material, or -1.
  int32_t n_material_ids = 0;                    ///< Entries of `material_medium_ids`.

  /// The medium whose boundary is made of material `material_id`, or -1.
  int32_t medium_of(int32_t material_id) const {
    if (material_id < 0 || material_id >= n_material_ids) return -1;
    const int32_t m = material_medium_ids[material_id];
    return m >= 0 && m < n_media ? m : -1;
  }
  /// Whether a hit on the boundary of medium `m` leaves it: the back of outward-facing
  /// triangles (orientation +1) or the front of inward-facing ones.
  bool leaves(int32_t m, bool back_face) const {
    return media[m].orientation == (back_face ? 1 : -1);
  }
};

/// The leaf model of one medium: inclination distribution and the optics of its boundary
/// material, with the band means of each side that choose between reflection and transmission.
struct MediumLeafModel {
  int32_t leaf_angle_type = 0;  ///< LeafAngleType of the medium.
  LeafOptics optics{};          ///< Per-band optics of the boundary material (null: black).
  LeafMeans means[2]{};         ///< Band means for the front [0] and back [1] side.
};

/// Everything a path reads, resolved once per run.
struct TransportContext {
  const EmbreeSceneManager* scene = nullptr;    ///< The built scene (read only).
  int n_bands = 0;                              ///< Bands carried by every path.
  TransportMode mode = TransportMode::Optical;  ///< Optical, thermal or SIF-only.
  SpectralView spectral{};                      ///< The spectral parameter buffer.
  const MaterialRecord* materials = nullptr;    ///< Material list of the description.
  int n_materials = 0;                          ///< Entries of `materials`.
  float3 sun_dir{0.0f, 0.0f, 1.0f};             ///< Unit vector toward the sun.
  const float* sun_irradiance = nullptr;        ///< n_bands values, or nullptr.
  SkyParams sky{};                              ///< Sky models of the description.
  bool has_sky = false;                         ///< Any sky model is set.
  TileView tiles{};                             ///< Periodic tiling.
  SceneBounds bounds{};                         ///< Scene bounding box.
  float measurement_plane = 0.0f;               ///< Height under which periodic photons start.
  const float* wavelengths = nullptr;           ///< Band centres (nm), for thermal emission.
  int n_wavelengths = 0;                        ///< Entries of `wavelengths`.
  const float* temperatures = nullptr;          ///< Per-primitive temperatures (K), or nullptr.
  const float* sif = nullptr;                   ///< [n_bands][n_primitives] SIF, or nullptr.
  int n_primitives = 0;                         ///< Global primitive count.
  MediaView media{};                            ///< Optical turbid media (n_media 0: none).
  LeafThermalView leaf_thermal{};  ///< Thermal state of the leaves inside media, per instance.
  SifSourceFieldView leaf_sif{};   ///< SIF source of the leaves inside media (n_bands bands).
  std::vector<MediumLeafModel> leaf_models;  ///< One per medium.
  int max_depth = 0;                         ///< Interactions after which a path ends.
  int rr_depth = 0;                          ///< Interactions before Russian roulette starts.
  /// Backward images trace the camera rays (and the first sun rays) of 16 neighbouring pixels
  /// as packets; false traces every ray alone (the same samples, for comparisons).
  bool packets = true;
  /// Surface hits of the media walker carry the interpolated shading normal; walks that only
  /// use geometric faces (the leaf reverse ray tracer) turn it off and save the interpolation.
  bool shading_normals = true;

  /// Whether the scene has optical turbid media (the media-aware paths run).
  bool has_media() const { return media.n_media > 0; }
  /// The material of id `id`, or nullptr for an id that names no material.
  const MaterialRecord* material(int32_t id) const {
    return id >= 0 && id < n_materials ? &materials[id] : nullptr;
  }
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
