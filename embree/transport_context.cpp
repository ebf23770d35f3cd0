#include "embree/transport_context.h"

#include <algorithm>
#include <cmath>

#include "embree/illumination.h"

namespace tesk::embree {

TileView tile_view(const EmbreeSceneManager& scene) {
  const SceneDescription& d = scene.description();
  TileView t;
  t.periodic = d.is_periodic();
  t.num_repetitions = d.num_repetitions();
  t.x = d.scene_x_size();
  t.y = d.scene_y_size();
  t.z_top = scene.bounds().max_z;
  return t;
}

MediaView media_view(const EmbreeSceneManager& scene) {
  const OpticalMediaTable& table = scene.optical_media();
  MediaView v;
  v.media = table.media.data();
  v.n_media = static_cast<int32_t>(table.media.size());
  v.material_medium_ids = table.material_medium_ids.data();
  v.n_material_ids = static_cast<int32_t>(table.material_medium_ids.size());
  return v;
}

TransportContext make_transport_context(const EmbreeSceneManager& scene, int n_bands, int max_depth,
                                        int rr_depth) {
  const SceneDescription& d = scene.description();
  TransportContext c;
  c.scene = &scene;
  c.n_bands = n_bands >= 1 ? n_bands : std::max(d.num_bands(), 0);
  c.mode = d.mode();
  c.spectral = spectral_view(d);
  c.materials = d.materials().data();
  c.n_materials = static_cast<int>(d.materials().size());
  // Radiance scales with nothing but the spectrum: a direction of any length means the same sun.
  const float3 s = d.emitter().direction;
  const float len = std::sqrt(dot(s, s));
  c.sun_dir = len > 0.0f && std::isfinite(len) ? s * (1.0f / len) : float3{0.0f, 0.0f, 0.0f};
  c.sun_irradiance = c.spectral.block(d.emitter().spectral_offset, c.n_bands);
  c.sky = sky_params(d);
  c.has_sky = c.sky.uniform_offset >= 0 || c.sky.directional_offset >= 0 || c.sky.hw_offset >= 0;
  c.tiles = tile_view(scene);
  c.terrain_following = d.terrain_following();
  c.bounds = scene.bounds();
  c.measurement_plane = d.measurement_plane();
  c.wavelengths = d.band_wavelengths().data();
  c.n_wavelengths = static_cast<int>(d.band_wavelengths().size());
  c.n_primitives = scene.n_primitives();
  const SceneAttachments& attached = scene.attachments();
  const std::vector<float>& temps = attached.primitive.temperature;
  if (!temps.empty() && temps.size() == static_cast<size_t>(c.n_primitives)) {
    c.temperatures = temps.data();
  }
  const std::vector<float>& sif = attached.primitive.sif;
  if (!sif.empty() && attached.n_sif_bands == c.n_bands &&
      sif.size() == static_cast<size_t>(c.n_bands) * c.n_primitives) {
    c.sif = sif.data();
  }
  c.media = media_view(scene);
  const InstanceTurbidThermalState& th = attached.instance.turbid_thermal;
  if (!th.temperature_sunlit.empty() &&
      th.temperature_sunlit.size() == th.temperature_shaded.size() &&
      th.sunlit_fraction.size() == th.temperature_sunlit.size() &&
      th.emissivity.size() == th.temperature_sunlit.size()) {
    c.leaf_thermal.t_sunlit = th.temperature_sunlit.data();
    c.leaf_thermal.t_shaded = th.temperature_shaded.data();
    c.leaf_thermal.sunlit_fraction = th.sunlit_fraction.data();
    c.leaf_thermal.emissivity = th.emissivity.data();
    c.leaf_thermal.n_instances = static_cast<int32_t>(th.temperature_sunlit.size());
  }
  // The source fields are read only when their bands are the bands the paths carry.
  const InstanceSifSourceFields& src = attached.instance.sif_source;
  if (!src.joint_spectra.empty() && src.n_bands == c.n_bands && !src.grid_dims.empty()) {
    SifSourceFieldView& v = c.leaf_sif;
    v.spatial = src.spatial_spectra.data();
    v.orientation = src.orientation_spectra.data();
    v.joint = src.joint_spectra.data();
    v.bounds_min = src.bounds_min.data();
    v.bounds_max = src.bounds_max.data();
    v.grid_dims = src.grid_dims.data();
    v.n_instances = static_cast<int32_t>(src.grid_dims.size() / 3);
    v.n_bands = c.n_bands;
    v.cell_stride = src.spatial_cell_stride;
    v.theta_bins = src.orientation_theta_bins;
    v.phi_bins = src.orientation_phi_bins;
  }
  for (int32_t m = 0; m < c.media.n_media; ++m) {
    const OpticalMediumRecord& rec = c.media.media[m];
    MediumLeafModel model;
    model.leaf_angle_type = rec.leaf_angle_type;
    if (const MaterialRecord* mat = c.material(rec.boundary_material)) {
      model.optics = medium_leaf_optics(*mat, c.spectral, c.n_bands);
    }
    model.means[0] = leaf_band_means(model.optics, c.n_bands, false);
    model.means[1] = leaf_band_means(model.optics, c.n_bands, true);
    c.leaf_models.push_back(model);
  }
  c.max_depth = max_depth;
  c.rr_depth = rr_depth;
  return c;
}

}  // namespace tesk::embree
