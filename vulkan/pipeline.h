#pragma once

#include <vulkan/vulkan.h>

#include <cstdint>
#include <string>
#include <vector>

#include "vulkan/context.h"

namespace tesk::vulkan {

/// The bytes of a SPIR-V file. Throws std::runtime_error "Vulkan shader not found: <path>"
/// when it cannot be opened, "Invalid SPIR-V shader: <path>" when its size is zero or not a
/// multiple of 4 bytes and "Failed to read SPIR-V shader: <path>" on a short read.
std::vector<uint32_t> read_spirv(const std::string& path);

/// One compute pipeline: shader module, descriptor-set layout (binding 0 the top-level
/// acceleration structure, bindings 1.. storage buffers), pipeline layout with one push-constant
/// range and the pipeline itself. Failures name the step and the workflow, for example
/// "Vulkan: vkCreateComputePipelines(energy balance) failed (-3)".
class ComputePipeline {
 public:
  /// Creates the pipeline from `spirv_path` with entry point `entry`, `n_buffers` storage
  /// buffers and `push_bytes` bytes of push constants; the workgroup width is specialisation
  /// constant 0. `workflow` names the pipeline in messages. Without `scene_binding` the layout
  /// has no binding 0 (shaders that read no geometry) and run() ignores its scene argument.
  ComputePipeline(VulkanContext& context, const std::string& spirv_path, const char* entry,
                  int n_buffers, uint32_t push_bytes, const std::string& workflow,
                  bool scene_binding = true);
  /// The same from SPIR-V words already read (and, for pinned shaders, verified).
  ComputePipeline(VulkanContext& context, const std::vector<uint32_t>& code, const char* entry,
                  int n_buffers, uint32_t push_bytes, const std::string& workflow,
                  bool scene_binding = true);
  ~ComputePipeline();
  ComputePipeline(const ComputePipeline&) = delete;
  ComputePipeline& operator=(const ComputePipeline&) = delete;

  /// Binds the acceleration structure and `buffers` (bindings 1..n, in order), pushes
  /// `push` and dispatches ceil(count / workgroup) workgroups, all in one immediate submission
  /// that waits for completion. A zero count dispatches nothing.
  void run(VkAccelerationStructureKHR scene, const std::vector<const Buffer*>& buffers,
           const void* push, uint64_t count);

 private:
  void release_();

  VulkanContext& m_context;
  std::string m_workflow;
  int m_n_buffers = 0;
  bool m_scene_binding = true;
  uint32_t m_push_bytes = 0;
  VkShaderModule m_module = VK_NULL_HANDLE;
  VkDescriptorSetLayout m_set_layout = VK_NULL_HANDLE;
  VkPipelineLayout m_layout = VK_NULL_HANDLE;
  VkPipeline m_pipeline = VK_NULL_HANDLE;
};

}  // namespace tesk::vulkan
