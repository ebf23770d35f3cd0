#include "cuda/scene_manager.h"

#include <stdexcept>
#include <type_traits>

#include "embree/bvh_export.h"

namespace tesk::cuda {

CudaSceneManager::CudaSceneManager(const CudaContext& context)
    : m_context(&context),
      m_top_nodes(context),
      m_top_items(context),
      m_instances(context),
      m_meshes(context),
      m_mesh_nodes(context),
      m_triangles(context),
      m_mesh_triangles(context),
      m_normals(context),
      m_spectral(context),
      m_materials(context),
      m_wavelengths(context),
      m_temperatures(context),
      m_sif(context) {}

void CudaSceneManager::build() {
  EmbreeSceneManager::build();
  m_uploaded = false;
  m_bvh = embree::build_bvh_scene(*this);
  m_context->make_current();
  m_meshes.upload(m_bvh.meshes, "gas upload");
  m_mesh_nodes.upload(m_bvh.mesh_nodes, "gas upload");
  m_triangles.upload(m_bvh.triangles, "gas upload");
  m_mesh_triangles.upload(m_bvh.mesh_triangles, "gas upload");
  m_normals.upload(m_bvh.normals, "gas upload");
  upload_top_();
}

void CudaSceneManager::refit_ias() {
  EmbreeSceneManager::refit_ias();
  build_ias();
}

void CudaSceneManager::build_ias() {
  if (m_bvh.meshes.size() != meshes().size() || m_bvh.instances.size() != instances().size()) {
    throw std::runtime_error("refit_ias: scene not built. Call build() first.");
  }
  std::vector<bvh::BvhMeshInput> mesh_inputs;
  std::vector<bvh::BvhInstanceInput> instance_inputs;
  embree::bvh_inputs(*this, mesh_inputs, instance_inputs);
  m_bvh.refit(instance_inputs);
  m_context->make_current();
  upload_top_();
}

void CudaSceneManager::upload_top_() {
  m_top_nodes.upload(m_bvh.top_nodes, "ias upload");
  m_top_items.upload(m_bvh.top_items, "ias upload");
  m_instances.upload(m_bvh.instances, "ias upload");
  m_context->synchronize("ias upload");
  m_uploaded = true;
}

void CudaSceneManager::free_gpu() {
  for (DeviceBuffer* b : {&m_top_nodes, &m_top_items, &m_instances, &m_meshes, &m_mesh_nodes,
                          &m_triangles, &m_mesh_triangles, &m_normals, &m_spectral, &m_materials,
                          &m_wavelengths, &m_temperatures, &m_sif}) {
    b->release();
  }
  m_uploaded = false;
}

PathContext CudaSceneManager::upload_path_context(const PathContext& host) {
  m_context->make_current();
  PathContext d = host;
  auto copy = [](DeviceBuffer& buffer, const auto* data, size_t count, const char* label) {
    using T = std::remove_cv_t<std::remove_pointer_t<decltype(data)>>;
    if (data == nullptr || count == 0) return static_cast<const T*>(nullptr);
    buffer.upload(data, count * sizeof(T), label);
    return buffer.as<T>();
  };
  d.spectral.data = copy(m_spectral, host.spectral.data, static_cast<size_t>(host.spectral.size),
                         "spectral upload");
  if (host.sun_irradiance != nullptr) {
    // The sun's spectrum is a block of the spectral buffer.
    d.sun_irradiance = d.spectral.data + (host.sun_irradiance - host.spectral.data);
  }
  d.materials =
      copy(m_materials, host.materials, static_cast<size_t>(host.n_materials), "material upload");
  d.wavelengths = copy(m_wavelengths, host.wavelengths, static_cast<size_t>(host.n_wavelengths),
                       "wavelength upload");
  d.temperatures = copy(m_temperatures, host.temperatures, static_cast<size_t>(host.n_primitives),
                        "temperature upload");
  d.sif =
      copy(m_sif, host.sif, static_cast<size_t>(host.n_primitives) * host.n_bands, "sif upload");
  m_context->synchronize("scene data upload");
  return d;
}

bvh::BvhSceneView CudaSceneManager::device_view() const {
  if (!m_uploaded) throw std::runtime_error("CUDA: build the scene before tracing rays");
  bvh::BvhSceneView v;
  v.top_nodes = m_top_nodes.as<bvh::BvhNode>();
  v.top_items = m_top_items.as<int32_t>();
  v.instances = m_instances.as<bvh::BvhInstanceRecord>();
  v.meshes = m_meshes.as<bvh::BvhMeshRecord>();
  v.mesh_nodes = m_mesh_nodes.as<bvh::BvhNode>();
  v.triangles = m_triangles.as<bvh::BvhTriangle>();
  v.mesh_triangles = m_mesh_triangles.as<int3>();
  v.normals = m_normals.as<float3>();
  v.n_top_nodes = static_cast<int32_t>(m_bvh.top_nodes.size());
  v.n_instances = static_cast<int32_t>(m_bvh.instances.size());
  return v;
}

}  // namespace tesk::cuda
