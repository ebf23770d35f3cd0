#include "vulkan/media_buffers.h"

#include <vector>

#include "embree/transport_context.h"
#include "shaders/device_records.h"

namespace tesk::vulkan {

static_assert(sizeof(device::DeviceMedium) == sizeof(OpticalMediumRecord),
              "device media must match the optical medium records");

namespace {

template <typename T>
Buffer upload_vector(VulkanContext& ctx, const std::vector<T>& values) {
  return ctx.upload_buffer(values.data(), values.size() * sizeof(T));
}

}  // namespace

MediaBuffers upload_media(VulkanSceneManager& scene, bool periodic) {
  const embree::EmbreeSceneManager& host = scene.host();
  const embree::TransportContext c = embree::make_transport_context(host, 0, 0, 0);
  device::MediaParams p{};
  p.n_media = c.media.n_media;
  p.n_material_ids = c.media.n_material_ids;
  const embree::SceneBounds& box = host.bounds();
  p.box_min[0] = box.min_x;
  p.box_min[1] = box.min_y;
  p.box_min[2] = box.min_z;
  p.box_max[0] = box.max_x;
  p.box_max[1] = box.max_y;
  p.box_max[2] = box.max_z;
  p.periodic = periodic && c.tiles.periodic ? 1 : 0;
  p.num_repetitions = c.tiles.num_repetitions;
  p.tile_x = c.tiles.x;
  p.tile_y = c.tiles.y;
  p.z_top = c.tiles.z_top;
  // Offsets of the optics blocks in the spectral buffer (-1: black).
  auto offset = [&](const float* block) {
    return block != nullptr ? static_cast<int>(block - c.spectral.data) : -1;
  };
  std::vector<device::DeviceLeafModel> models;
  for (const embree::MediumLeafModel& m : c.leaf_models) {
    models.push_back(device::DeviceLeafModel{m.leaf_angle_type, offset(m.optics.front),
                                             offset(m.optics.back), offset(m.optics.transmittance),
                                             m.means[0].rho, m.means[0].tau, m.means[1].rho,
                                             m.means[1].tau});
  }
  VulkanContext& ctx = scene.context();
  const OpticalMediaTable& table = host.optical_media();
  MediaBuffers b;
  b.params = ctx.upload_buffer(&p, sizeof(p));
  b.media = upload_vector(ctx, table.media);
  b.material_media = upload_vector(ctx, table.material_medium_ids);
  b.leaf_models = upload_vector(ctx, models);
  return b;
}

}  // namespace tesk::vulkan
