#include "vulkan/scene_manager.h"

#include <cstring>
#include <stdexcept>

#include "core/instance_normals.h"
#include "shaders/device_records.h"
#include "vulkan/turbid_artifacts.h"
#include "vulkan/turbid_domains.h"
#include "vulkan/turbid_fields.h"

namespace tesk::vulkan {
namespace {

constexpr VkBufferUsageFlags kBuildInput =
    VK_BUFFER_USAGE_ACCELERATION_STRUCTURE_BUILD_INPUT_READ_ONLY_BIT_KHR;
// Instance custom indices have 24 bits.
constexpr size_t kMaxDeviceInstances = (1u << 24) - 1;

VkDeviceSize align_up(VkDeviceSize v, VkDeviceSize a) {
  return (v + a - 1) / a * a;
}

}  // namespace

VulkanSceneManager::VulkanSceneManager(VulkanContext& context, std::string shader_dir)
    : m_context(context),
      m_shader_dir(std::move(shader_dir)),
      m_turbid_store(std::make_unique<TurbidDeviceStore>()),
      m_turbid_fields(std::make_unique<TurbidFieldBuffers>()) {}

VulkanSceneManager::~VulkanSceneManager() {
  m_turbid_fields.reset();
  m_turbid_store.reset();
  m_pipelines.clear();
  release_structures_();
}

void VulkanSceneManager::destroy_(AccelerationStructure& as) {
  if (as.handle != VK_NULL_HANDLE) m_context.as().destroy(m_context.device(), as.handle, nullptr);
  as.handle = VK_NULL_HANDLE;
  as.storage.release();
  as.address = 0;
}

void VulkanSceneManager::release_structures_() {
  destroy_(m_tlas);
  for (AccelerationStructure& as : m_blas) destroy_(as);
  m_blas.clear();
  m_device_revision = -1;
}

bool VulkanSceneManager::device_current() const {
  return m_host.is_built() && m_tlas.handle != VK_NULL_HANDLE &&
         m_device_revision == m_host.build_revision();
}

void VulkanSceneManager::require_built(const char* what) const {
  if (!device_current())
    throw std::runtime_error(std::string("Vulkan: build the scene before ") + what);
}

void VulkanSceneManager::build() {
  if (m_host.num_instances() > static_cast<int>(kMaxDeviceInstances)) {
    throw std::length_error("Vulkan scene supports at most 16777215 instances");
  }
  m_host.build();
  release_structures_();
  const auto& meshes = m_host.meshes();

  // Concatenated mesh buffers: positions, normals (zero where a mesh has none), local indices.
  std::vector<float> vertices, normals;
  std::vector<uint32_t> indices;
  m_mesh_vertex_offset.assign(meshes.size(), 0);
  m_mesh_triangle_offset.assign(meshes.size(), 0);
  for (size_t m = 0; m < meshes.size(); ++m) {
    const embree::EmbreeMesh& mesh = meshes[m];
    m_mesh_vertex_offset[m] = static_cast<int>(vertices.size() / 3);
    m_mesh_triangle_offset[m] = static_cast<int>(indices.size() / 3);
    for (size_t v = 0; v < mesh.vertices.size(); ++v) {
      const float3& p = mesh.vertices[v];
      vertices.insert(vertices.end(), {p.x, p.y, p.z});
      const float3 n = mesh.normals.empty() ? float3{} : mesh.normals[v];
      normals.insert(normals.end(), {n.x, n.y, n.z});
    }
    for (const int3& t : mesh.triangles) {
      indices.insert(indices.end(), {static_cast<uint32_t>(t.x), static_cast<uint32_t>(t.y),
                                     static_cast<uint32_t>(t.z)});
    }
  }
  m_vertex_buffer = m_context.upload_buffer(vertices.data(), vertices.size() * 4, kBuildInput);
  m_normal_buffer = m_context.upload_buffer(normals.data(), normals.size() * 4);
  m_index_buffer = m_context.upload_buffer(indices.data(), indices.size() * 4, kBuildInput);

  // One bottom-level structure per mesh, all built in one submission (own scratch each).
  const auto& fn = m_context.as();
  const VkDevice device = m_context.device();
  m_blas.resize(meshes.size());
  std::vector<VkAccelerationStructureGeometryKHR> geometries(meshes.size());
  std::vector<VkAccelerationStructureBuildGeometryInfoKHR> builds(meshes.size());
  std::vector<VkAccelerationStructureBuildRangeInfoKHR> ranges(meshes.size());
  std::vector<Buffer> scratch(meshes.size());
  for (size_t m = 0; m < meshes.size(); ++m) {
    const embree::EmbreeMesh& mesh = meshes[m];
    VkAccelerationStructureGeometryKHR& g = geometries[m];
    g = {VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_GEOMETRY_KHR};
    g.geometryType = VK_GEOMETRY_TYPE_TRIANGLES_KHR;
    g.flags = VK_GEOMETRY_OPAQUE_BIT_KHR;
    auto& tri = g.geometry.triangles;
    tri.sType = VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_GEOMETRY_TRIANGLES_DATA_KHR;
    tri.vertexFormat = VK_FORMAT_R32G32B32_SFLOAT;
    tri.vertexData.deviceAddress =
        m_vertex_buffer.address() + static_cast<VkDeviceSize>(m_mesh_vertex_offset[m]) * 12;
    tri.vertexStride = 12;
    tri.maxVertex = static_cast<uint32_t>(mesh.vertices.size() - 1);
    tri.indexType = VK_INDEX_TYPE_UINT32;
    tri.indexData.deviceAddress =
        m_index_buffer.address() + static_cast<VkDeviceSize>(m_mesh_triangle_offset[m]) * 12;
    VkAccelerationStructureBuildGeometryInfoKHR& b = builds[m];
    b = {VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_BUILD_GEOMETRY_INFO_KHR};
    b.type = VK_ACCELERATION_STRUCTURE_TYPE_BOTTOM_LEVEL_KHR;
    b.flags = VK_BUILD_ACCELERATION_STRUCTURE_PREFER_FAST_TRACE_BIT_KHR;
    b.mode = VK_BUILD_ACCELERATION_STRUCTURE_MODE_BUILD_KHR;
    b.geometryCount = 1;
    b.pGeometries = &g;
    const auto n_tri = static_cast<uint32_t>(mesh.triangles.size());
    VkAccelerationStructureBuildSizesInfoKHR sizes{
        VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_BUILD_SIZES_INFO_KHR};
    fn.build_sizes(device, VK_ACCELERATION_STRUCTURE_BUILD_TYPE_DEVICE_KHR, &b, &n_tri, &sizes);
    AccelerationStructure& as = m_blas[m];
    as.storage = m_context.create_buffer(sizes.accelerationStructureSize,
                                         VK_BUFFER_USAGE_ACCELERATION_STRUCTURE_STORAGE_BIT_KHR);
    VkAccelerationStructureCreateInfoKHR create{
        VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_CREATE_INFO_KHR};
    create.buffer = as.storage.handle();
    create.size = sizes.accelerationStructureSize;
    create.type = VK_ACCELERATION_STRUCTURE_TYPE_BOTTOM_LEVEL_KHR;
    check(fn.create(device, &create, nullptr, &as.handle), "vkCreateAccelerationStructureKHR");
    VkAccelerationStructureDeviceAddressInfoKHR address{
        VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_DEVICE_ADDRESS_INFO_KHR};
    address.accelerationStructure = as.handle;
    as.address = fn.device_address(device, &address);
    const VkDeviceSize alignment = m_context.scratch_alignment();
    scratch[m] = m_context.create_buffer(sizes.buildScratchSize + alignment, 0);
    b.dstAccelerationStructure = as.handle;
    b.scratchData.deviceAddress = align_up(scratch[m].address(), alignment);
    ranges[m] = {n_tri, 0, 0, 0};
  }
  if (!meshes.empty()) {
    std::vector<const VkAccelerationStructureBuildRangeInfoKHR*> range_ptrs(meshes.size());
    for (size_t m = 0; m < meshes.size(); ++m) range_ptrs[m] = &ranges[m];
    m_context.immediate_submit([&](VkCommandBuffer cmd) {
      fn.cmd_build(cmd, static_cast<uint32_t>(builds.size()), builds.data(), range_ptrs.data());
    });
  }
  upload_instances_();
  build_top_level_(false);
  m_device_revision = m_host.build_revision();
}

void VulkanSceneManager::upload_instances_() {
  const auto& instances = m_host.instances();
  const auto& info = m_host.instance_info();
  const auto& meshes = m_host.meshes();
  std::vector<device::InstanceRecord> records(instances.size());
  std::vector<VkAccelerationStructureInstanceKHR> tlas(instances.size());
  for (size_t i = 0; i < instances.size(); ++i) {
    const embree::EmbreeInstance& inst = instances[i];
    device::InstanceRecord& r = records[i];
    r.mesh_id = inst.mesh_id;
    r.material_id = info[i].material_id;
    r.primitive_offset = info[i].primitive_offset;
    r.triangle_offset = m_mesh_triangle_offset[inst.mesh_id];
    r.vertex_offset = m_mesh_vertex_offset[inst.mesh_id];
    r.has_normals = meshes[inst.mesh_id].normals.empty() ? 0 : 1;
    instance_normal_matrix(inst.transform, r.normal_matrix);
    VkAccelerationStructureInstanceKHR& d = tlas[i];
    std::memcpy(d.transform.matrix, inst.transform, sizeof(d.transform.matrix));
    d.instanceCustomIndex = static_cast<uint32_t>(i);
    d.mask = 0xFF;
    d.instanceShaderBindingTableRecordOffset = 0;
    d.flags = VK_GEOMETRY_INSTANCE_TRIANGLE_FACING_CULL_DISABLE_BIT_KHR;
    d.accelerationStructureReference = m_blas[inst.mesh_id].address;
  }
  const VkDeviceSize bytes = records.size() * sizeof(device::InstanceRecord);
  if (m_instance_buffer.size() < std::max<VkDeviceSize>(bytes, 4)) {
    m_instance_buffer = m_context.create_buffer(bytes, 0);
  }
  m_instance_buffer.upload(records.data(), bytes);
  const VkDeviceSize tlas_bytes = tlas.size() * sizeof(VkAccelerationStructureInstanceKHR);
  if (m_tlas_instances.size() < std::max<VkDeviceSize>(tlas_bytes, 4)) {
    m_tlas_instances = m_context.create_buffer(tlas_bytes, kBuildInput);
  }
  m_tlas_instances.upload(tlas.data(), tlas_bytes);
  m_device_instances = static_cast<uint32_t>(instances.size());
}

void VulkanSceneManager::build_top_level_(bool update) {
  const auto& fn = m_context.as();
  const VkDevice device = m_context.device();
  VkAccelerationStructureGeometryKHR g{VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_GEOMETRY_KHR};
  g.geometryType = VK_GEOMETRY_TYPE_INSTANCES_KHR;
  g.flags = VK_GEOMETRY_OPAQUE_BIT_KHR;
  g.geometry.instances.sType = VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_GEOMETRY_INSTANCES_DATA_KHR;
  g.geometry.instances.arrayOfPointers = VK_FALSE;
  g.geometry.instances.data.deviceAddress = m_tlas_instances.address();
  VkAccelerationStructureBuildGeometryInfoKHR b{
      VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_BUILD_GEOMETRY_INFO_KHR};
  b.type = VK_ACCELERATION_STRUCTURE_TYPE_TOP_LEVEL_KHR;
  b.flags = VK_BUILD_ACCELERATION_STRUCTURE_PREFER_FAST_TRACE_BIT_KHR |
            VK_BUILD_ACCELERATION_STRUCTURE_ALLOW_UPDATE_BIT_KHR;
  b.mode = update ? VK_BUILD_ACCELERATION_STRUCTURE_MODE_UPDATE_KHR
                  : VK_BUILD_ACCELERATION_STRUCTURE_MODE_BUILD_KHR;
  b.geometryCount = 1;
  b.pGeometries = &g;
  const uint32_t count = m_device_instances;
  VkAccelerationStructureBuildSizesInfoKHR sizes{
      VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_BUILD_SIZES_INFO_KHR};
  fn.build_sizes(device, VK_ACCELERATION_STRUCTURE_BUILD_TYPE_DEVICE_KHR, &b, &count, &sizes);
  if (!update) {
    destroy_(m_tlas);
    m_tlas.storage = m_context.create_buffer(
        sizes.accelerationStructureSize, VK_BUFFER_USAGE_ACCELERATION_STRUCTURE_STORAGE_BIT_KHR);
    VkAccelerationStructureCreateInfoKHR create{
        VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_CREATE_INFO_KHR};
    create.buffer = m_tlas.storage.handle();
    create.size = sizes.accelerationStructureSize;
    create.type = VK_ACCELERATION_STRUCTURE_TYPE_TOP_LEVEL_KHR;
    check(fn.create(device, &create, nullptr, &m_tlas.handle), "vkCreateAccelerationStructureKHR");
  } else {
    b.srcAccelerationStructure = m_tlas.handle;
  }
  b.dstAccelerationStructure = m_tlas.handle;
  const VkDeviceSize alignment = m_context.scratch_alignment();
  const VkDeviceSize need = std::max(sizes.buildScratchSize, sizes.updateScratchSize) + alignment;
  if (m_tlas_scratch.size() < need) m_tlas_scratch = m_context.create_buffer(need, 0);
  b.scratchData.deviceAddress = align_up(m_tlas_scratch.address(), alignment);
  const VkAccelerationStructureBuildRangeInfoKHR range{count, 0, 0, 0};
  const VkAccelerationStructureBuildRangeInfoKHR* range_ptr = &range;
  m_context.immediate_submit([&](VkCommandBuffer cmd) { fn.cmd_build(cmd, 1, &b, &range_ptr); });
}

void VulkanSceneManager::refit_ias() {
  if (m_tlas.handle == VK_NULL_HANDLE || !m_host.is_built()) {
    throw std::runtime_error("Vulkan: build the scene before refitting instances");
  }
  if (static_cast<uint32_t>(m_host.num_instances()) != m_device_instances) {
    throw std::runtime_error("Vulkan: instances were added since the last build; call build()");
  }
  m_host.refit_ias();
  upload_instances_();
  build_top_level_(true);
  m_device_revision = m_host.build_revision();
}

void VulkanSceneManager::build_reuse_gas() {
  const bool current = device_current();
  m_host.build_reuse_gas();
  if (current) m_device_revision = m_host.build_revision();
}

void VulkanSceneManager::trace_closest(const embree::RayBatchView& rays,
                                       const embree::HitBatchView& hits) {
  require_built("tracing rays");
  if (rays.count == 0) return;
  if (rays.count > UINT32_MAX)
    throw std::length_error("Vulkan traces at most 2^32-1 rays per batch");
  std::vector<device::TraceRay> in(rays.count);
  for (size_t i = 0; i < rays.count; ++i) {
    device::TraceRay& r = in[i];
    std::memcpy(r.origin, rays.origins + 3 * i, sizeof(r.origin));
    std::memcpy(r.direction, rays.directions + 3 * i, sizeof(r.direction));
    r.t_min = rays.t_min;
    r.t_max = rays.t_max;
  }
  const Buffer ray_buffer =
      m_context.upload_buffer(in.data(), in.size() * sizeof(device::TraceRay));
  const Buffer hit_buffer = m_context.create_buffer(rays.count * sizeof(device::TraceHit), 0);
  ComputePipeline& p =
      pipeline("trace_closest.spv", "main", 6, sizeof(device::TracePush), "trace closest");
  std::vector<const Buffer*> buffers = scene_buffers();
  buffers.push_back(&ray_buffer);
  buffers.push_back(&hit_buffer);
  const device::TracePush push{static_cast<uint32_t>(rays.count)};
  p.run(m_tlas.handle, buffers, &push, rays.count);
  std::vector<device::TraceHit> out(rays.count);
  hit_buffer.download(out.data(), out.size() * sizeof(device::TraceHit));
  for (size_t i = 0; i < rays.count; ++i) {
    const device::TraceHit& h = out[i];
    hits.t[i] = h.t;
    hits.instance_id[i] = h.instance_id;
    hits.primitive_id[i] = h.primitive_id;
    hits.global_primitive_id[i] = h.global_primitive_id;
    hits.hit[i] = h.hit != 0;
    hits.is_back_face[i] = h.is_back_face != 0;
    hits.material_id[i] = h.material_id;
    std::memcpy(hits.normal + 3 * i, h.normal, sizeof(h.normal));
    std::memcpy(hits.geometric_normal + 3 * i, h.geometric_normal, sizeof(h.geometric_normal));
  }
}

ComputePipeline& VulkanSceneManager::pipeline(const std::string& file, const char* entry,
                                              int n_buffers, uint32_t push_bytes,
                                              const std::string& workflow, bool scene_binding) {
  const std::string key = file + ":" + entry;
  auto it = m_pipelines.find(key);
  if (it == m_pipelines.end()) {
    const std::string path = m_shader_dir + "/" + file;
    it = m_pipelines
             .emplace(key, std::make_unique<ComputePipeline>(m_context, path, entry, n_buffers,
                                                             push_bytes, workflow, scene_binding))
             .first;
  }
  return *it->second;
}

ComputePipeline& VulkanSceneManager::turbid_pipeline(const std::string& artifact, int n_buffers,
                                                     uint32_t push_bytes,
                                                     const std::string& workflow) {
  const std::string key = "turbid:" + artifact;
  auto it = m_pipelines.find(key);
  if (it == m_pipelines.end()) {
    const std::vector<uint32_t> code = read_verified_turbid_spirv(m_shader_dir, artifact);
    it = m_pipelines
             .emplace(key, std::make_unique<ComputePipeline>(m_context, code, "main", n_buffers,
                                                             push_bytes, workflow, false))
             .first;
  }
  return *it->second;
}

}  // namespace tesk::vulkan
