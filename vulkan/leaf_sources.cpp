#include "vulkan/leaf_sources.h"

#include <stdexcept>
#include <vector>

#include "embree/resident_leaf_sources.h"
#include "embree/transport_context.h"
#include "shaders/leaf_source_records.h"

namespace tesk::vulkan {

LeafSourceBuffers upload_leaf_sources(VulkanSceneManager& scene) {
  const embree::EmbreeSceneManager& host = scene.host();
  const SceneDescription& d = host.description();
  const int nb = d.num_bands();
  if (d.mode() != TransportMode::Optical) {
    const std::vector<float>& w = d.band_wavelengths();
    const embree::ResidentLeafSources resident = embree::resolve_resident_leaf_sources(
        host, d.mode() == TransportMode::Thermal, nb, w.data(), static_cast<int>(w.size()));
    if (!resident.instances.empty()) {
      throw std::runtime_error(
          "Vulkan backward rendering supports leaves emitting from the per-instance thermal "
          "state and SIF source fields, not from resident Turbid sources. No fallback was "
          "performed.");
    }
  }
  const embree::TransportContext c = embree::make_transport_context(host, 0, 0, 0);
  device::LeafSourceParams p{};
  std::vector<float> thermal;
  const LeafThermalView& th = c.leaf_thermal;
  p.thermal_instances = th.n_instances;
  for (int32_t i = 0; i < th.n_instances; ++i) {
    thermal.insert(thermal.end(),
                   {th.t_sunlit[i], th.t_shaded[i], th.sunlit_fraction[i], th.emissivity[i]});
  }
  std::vector<float> sif;
  std::vector<int32_t> grid;
  const SifSourceFieldView& f = c.leaf_sif;
  if (f.joint != nullptr && f.n_instances > 0) {
    const size_t n = static_cast<size_t>(f.n_instances);
    const size_t bands = static_cast<size_t>(f.n_bands);
    const size_t cells = n * static_cast<size_t>(f.cell_stride);
    const size_t orient = static_cast<size_t>(f.theta_bins) * static_cast<size_t>(f.phi_bins);
    auto append = [&sif](const float* v, size_t count) {
      const int at = static_cast<int>(sif.size());
      sif.insert(sif.end(), v, v + count);
      return at;
    };
    append(f.spatial, cells * bands);
    p.sif_orientation_at = append(f.orientation, n * orient * bands);
    p.sif_joint_at = append(f.joint, cells * orient * bands);
    p.sif_bounds_min_at = append(f.bounds_min, 3 * n);
    p.sif_bounds_max_at = append(f.bounds_max, 3 * n);
    grid.assign(f.grid_dims, f.grid_dims + 3 * n);
    p.sif_instances = f.n_instances;
    p.sif_bands = f.n_bands;
    p.sif_cell_stride = f.cell_stride;
    p.sif_theta_bins = f.theta_bins;
    p.sif_phi_bins = f.phi_bins;
  }
  VulkanContext& ctx = scene.context();
  LeafSourceBuffers b;
  b.params = ctx.upload_buffer(&p, sizeof(p));
  b.thermal = ctx.upload_buffer(thermal.data(), thermal.size() * sizeof(float));
  b.sif = ctx.upload_buffer(sif.data(), sif.size() * sizeof(float));
  b.sif_grid = ctx.upload_buffer(grid.data(), grid.size() * sizeof(int32_t));
  return b;
}

}  // namespace tesk::vulkan
