#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "embree/scene_manager.h"
#include "vulkan/context.h"
#include "vulkan/pipeline.h"

namespace tesk::vulkan {

struct TurbidDeviceStore;
class TurbidFieldBuffers;  // vulkan/turbid_fields.h

/// The device scene: the scene record (meshes, instances, description and attached data, kept
/// by a CPU scene manager so that both backends accept, number and validate scenes alike), one
/// bottom-level acceleration structure per mesh, one top-level structure over the instances,
/// the concatenated mesh buffers the shaders read, and one compute pipeline per workflow,
/// created on first use from the SPIR-V files of the shader directory.
class VulkanSceneManager {
 public:
  /// A scene on `context` (which must outlive it) reading shaders from `shader_dir`.
  VulkanSceneManager(VulkanContext& context, std::string shader_dir);
  ~VulkanSceneManager();
  VulkanSceneManager(const VulkanSceneManager&) = delete;
  VulkanSceneManager& operator=(const VulkanSceneManager&) = delete;

  /// The scene record, for the scene vocabulary shared with the CPU backend.
  embree::EmbreeSceneManager& host() { return m_host; }
  const embree::EmbreeSceneManager& host() const { return m_host; }
  VulkanContext& context() { return m_context; }
  const std::string& shader_dir() const { return m_shader_dir; }

  /// Builds the scene record, then every bottom-level structure, the top-level structure
  /// (updatable) and the mesh and instance buffers.
  void build();
  /// Refits the top-level structure to the current instance transforms. Throws
  /// std::runtime_error when the scene has not been built.
  void refit_ias();
  /// Marks the scene built, reusing the device structures.
  void build_reuse_gas();

  /// Whether the device structures match the scene record's last build or refit.
  bool device_current() const;
  /// Throws std::runtime_error "Vulkan: build the scene before <what>" unless the scene is
  /// built and its device structures are current.
  void require_built(const char* what) const;

  /// Closest hits of a batch (same contract as the CPU batch query). Throws
  /// std::runtime_error "Vulkan: build the scene before tracing rays" when not built.
  void trace_closest(const embree::RayBatchView& rays, const embree::HitBatchView& hits);

  /// The pipeline of `file` (in the shader directory), created on first use; without
  /// `scene_binding` its shader reads no geometry (see ComputePipeline).
  ComputePipeline& pipeline(const std::string& file, const char* entry, int n_buffers,
                            uint32_t push_bytes, const std::string& workflow,
                            bool scene_binding = true);

  /// The pipeline of the pinned resident Turbid shader `artifact`, created on first use from its
  /// file once read_verified_turbid_spirv accepts it (see vulkan/turbid_artifacts.h).
  ComputePipeline& turbid_pipeline(const std::string& artifact, int n_buffers, uint32_t push_bytes,
                                   const std::string& workflow);

  /// The device copies of the resident Turbid domains and states (vulkan/turbid_domains.h).
  TurbidDeviceStore& turbid_store() { return *m_turbid_store; }
  const TurbidDeviceStore& turbid_store() const { return *m_turbid_store; }
  /// The device copies of the turbid fields resident in the scene record (vulkan/turbid_fields.h).
  TurbidFieldBuffers& turbid_field_buffers() { return *m_turbid_fields; }

  VkAccelerationStructureKHR top_level() const { return m_tlas.handle; }
  /// The scene's four shader buffers in binding order 1..4 (instances, vertices, normals,
  /// indices).
  std::vector<const Buffer*> scene_buffers() const {
    return {&m_instance_buffer, &m_vertex_buffer, &m_normal_buffer, &m_index_buffer};
  }

 private:
  struct AccelerationStructure {
    VkAccelerationStructureKHR handle = VK_NULL_HANDLE;
    Buffer storage;
    VkDeviceAddress address = 0;
  };
  void release_structures_();
  void destroy_(AccelerationStructure& as);
  void build_top_level_(bool update);
  void upload_instances_();

  VulkanContext& m_context;
  std::string m_shader_dir;
  embree::EmbreeSceneManager m_host;
  std::vector<AccelerationStructure> m_blas;  // one per mesh
  AccelerationStructure m_tlas;
  Buffer m_tlas_instances;
  Buffer m_tlas_scratch;
  Buffer m_instance_buffer;
  Buffer m_vertex_buffer;
  Buffer m_normal_buffer;
  Buffer m_index_buffer;
  std::vector<int> m_mesh_vertex_offset;
  std::vector<int> m_mesh_triangle_offset;
  int m_device_revision = -1;  // host build revision the device structures match
  uint32_t m_device_instances = 0;
  std::map<std::string, std::unique_ptr<ComputePipeline>> m_pipelines;
  std::unique_ptr<TurbidDeviceStore> m_turbid_store;
  std::unique_ptr<TurbidFieldBuffers> m_turbid_fields;
};

}  // namespace tesk::vulkan
