#include "vulkan/pipeline.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "core/illumination.h"
#include "core/random_streams.h"
#include "core/scattering.h"
#include "core/transport_constants.h"
#include "shaders/device_records.h"

namespace tesk::vulkan {

// The shaders read their constants from shaders/device_records.h; each must equal the CPU's.
static_assert(device::kInvPi == kInvPi && device::kTwoPi == kTwoPi);
static_assert(device::kSolarDiskSolidAngle == kSolarDiskSolidAngle);
static_assert(device::kSunViewCosine == kSunViewCosine);
static_assert(device::kRayTMin == transport::kRayTMin && device::kRayTMax == transport::kRayTMax);
static_assert(device::kFarDistance == transport::kFarDistance);
static_assert(device::kMinScatterPdf == transport::kMinScatterPdf);
static_assert(device::kMinThroughput == transport::kMinThroughput);
static_assert(device::kMinPhotonWeight == transport::kMinPhotonWeight);
static_assert(device::kMaxSurvival == transport::kMaxSurvival);
static_assert(device::kParallelEpsilon == transport::kParallelEpsilon);
static_assert(device::kTileWallMin == transport::kTileWallMin);
static_assert(device::kTileEntryInset == transport::kTileEntryInset);
static_assert(device::kTerrainBackoff == transport::kTerrainBackoff);
static_assert(device::kFaceSampleOffset == transport::kFaceSampleOffset);
static_assert(device::kStefanBoltzmann == transport::kStefanBoltzmann);
static_assert(device::kDefaultEmissivity == transport::kDefaultEmissivity);
static_assert(device::kMaxPhotonSteps == transport::kMaxPhotonSteps);
static_assert(device::kStreamBackwardPixel == static_cast<uint32_t>(StreamKey::BackwardPixel));
static_assert(device::kStreamEnergyBalance == static_cast<uint32_t>(StreamKey::EnergyBalance));
static_assert(device::kStreamMicrowaveRay == static_cast<uint32_t>(StreamKey::MicrowaveRay));

std::vector<uint32_t> read_spirv(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) throw std::runtime_error("Vulkan shader not found: " + path);
  const std::streamoff size = in.tellg();
  if (size <= 0 || size % 4 != 0) throw std::runtime_error("Invalid SPIR-V shader: " + path);
  std::vector<uint32_t> words(static_cast<size_t>(size) / 4);
  in.seekg(0);
  in.read(reinterpret_cast<char*>(words.data()), size);
  if (in.gcount() != size) throw std::runtime_error("Failed to read SPIR-V shader: " + path);
  return words;
}

namespace {
std::string step(const char* call, const std::string& workflow) {
  return std::string(call) + "(" + workflow + ")";
}
}  // namespace

ComputePipeline::ComputePipeline(VulkanContext& context, const std::string& spirv_path,
                                 const char* entry, int n_buffers, uint32_t push_bytes,
                                 const std::string& workflow, bool scene_binding)
    : ComputePipeline(context, read_spirv(spirv_path), entry, n_buffers, push_bytes, workflow,
                      scene_binding) {}

ComputePipeline::ComputePipeline(VulkanContext& context, const std::vector<uint32_t>& code,
                                 const char* entry, int n_buffers, uint32_t push_bytes,
                                 const std::string& workflow, bool scene_binding)
    : m_context(context),
      m_workflow(workflow),
      m_n_buffers(n_buffers),
      m_scene_binding(scene_binding),
      m_push_bytes(push_bytes) {
  const VkDevice device = m_context.device();
  try {
    VkShaderModuleCreateInfo module{VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO};
    module.codeSize = code.size() * 4;
    module.pCode = code.data();
    check(vkCreateShaderModule(device, &module, nullptr, &m_module),
          step("vkCreateShaderModule", workflow).c_str());

    std::vector<VkDescriptorSetLayoutBinding> bindings(1 + n_buffers);
    for (int b = 0; b <= n_buffers; ++b) {
      bindings[b].binding = static_cast<uint32_t>(b);
      bindings[b].descriptorType = b == 0 ? VK_DESCRIPTOR_TYPE_ACCELERATION_STRUCTURE_KHR
                                          : VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
      bindings[b].descriptorCount = 1;
      bindings[b].stageFlags = VK_SHADER_STAGE_COMPUTE_BIT;
    }
    if (!scene_binding) bindings.erase(bindings.begin());
    VkDescriptorSetLayoutCreateInfo set{VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO};
    set.bindingCount = static_cast<uint32_t>(bindings.size());
    set.pBindings = bindings.data();
    check(vkCreateDescriptorSetLayout(device, &set, nullptr, &m_set_layout),
          step("vkCreateDescriptorSetLayout", workflow).c_str());

    VkPushConstantRange range{VK_SHADER_STAGE_COMPUTE_BIT, 0, push_bytes};
    VkPipelineLayoutCreateInfo layout{VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO};
    layout.setLayoutCount = 1;
    layout.pSetLayouts = &m_set_layout;
    layout.pushConstantRangeCount = push_bytes > 0 ? 1 : 0;
    layout.pPushConstantRanges = &range;
    check(vkCreatePipelineLayout(device, &layout, nullptr, &m_layout),
          step("vkCreatePipelineLayout", workflow).c_str());

    const uint32_t workgroup = device::kWorkgroupSize;
    VkSpecializationMapEntry entry_map{0, 0, sizeof(uint32_t)};
    VkSpecializationInfo specialization{1, &entry_map, sizeof(uint32_t), &workgroup};
    VkComputePipelineCreateInfo info{VK_STRUCTURE_TYPE_COMPUTE_PIPELINE_CREATE_INFO};
    info.stage.sType = VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO;
    info.stage.stage = VK_SHADER_STAGE_COMPUTE_BIT;
    info.stage.module = m_module;
    info.stage.pName = entry;
    info.stage.pSpecializationInfo = &specialization;
    info.layout = m_layout;
    check(vkCreateComputePipelines(device, VK_NULL_HANDLE, 1, &info, nullptr, &m_pipeline),
          step("vkCreateComputePipelines", workflow).c_str());
  } catch (...) {
    release_();
    throw;
  }
}

ComputePipeline::~ComputePipeline() {
  release_();
}

void ComputePipeline::release_() {
  const VkDevice device = m_context.device();
  if (m_pipeline != VK_NULL_HANDLE) vkDestroyPipeline(device, m_pipeline, nullptr);
  if (m_layout != VK_NULL_HANDLE) vkDestroyPipelineLayout(device, m_layout, nullptr);
  if (m_set_layout != VK_NULL_HANDLE) vkDestroyDescriptorSetLayout(device, m_set_layout, nullptr);
  if (m_module != VK_NULL_HANDLE) vkDestroyShaderModule(device, m_module, nullptr);
  m_pipeline = VK_NULL_HANDLE;
  m_layout = VK_NULL_HANDLE;
  m_set_layout = VK_NULL_HANDLE;
  m_module = VK_NULL_HANDLE;
}

void ComputePipeline::run(VkAccelerationStructureKHR scene,
                          const std::vector<const Buffer*>& buffers, const void* push,
                          uint64_t count) {
  if (static_cast<int>(buffers.size()) != m_n_buffers) {
    throw std::logic_error("Vulkan " + m_workflow + ": wrong number of buffers");
  }
  if (count == 0) return;
  const VkDevice device = m_context.device();
  const VkDescriptorPoolSize sizes[2] = {
      {VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, static_cast<uint32_t>(m_n_buffers)},
      {VK_DESCRIPTOR_TYPE_ACCELERATION_STRUCTURE_KHR, 1}};
  VkDescriptorPoolCreateInfo pool_info{VK_STRUCTURE_TYPE_DESCRIPTOR_POOL_CREATE_INFO};
  pool_info.maxSets = 1;
  pool_info.poolSizeCount = m_scene_binding ? 2 : 1;
  pool_info.pPoolSizes = sizes;
  VkDescriptorPool pool = VK_NULL_HANDLE;
  check(vkCreateDescriptorPool(device, &pool_info, nullptr, &pool),
        step("vkCreateDescriptorPool", m_workflow).c_str());
  try {
    VkDescriptorSetAllocateInfo alloc{VK_STRUCTURE_TYPE_DESCRIPTOR_SET_ALLOCATE_INFO};
    alloc.descriptorPool = pool;
    alloc.descriptorSetCount = 1;
    alloc.pSetLayouts = &m_set_layout;
    VkDescriptorSet set = VK_NULL_HANDLE;
    check(vkAllocateDescriptorSets(device, &alloc, &set),
          step("vkAllocateDescriptorSets", m_workflow).c_str());

    VkWriteDescriptorSetAccelerationStructureKHR as_write{
        VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET_ACCELERATION_STRUCTURE_KHR};
    as_write.accelerationStructureCount = 1;
    as_write.pAccelerationStructures = &scene;
    std::vector<VkDescriptorBufferInfo> infos(m_n_buffers);
    std::vector<VkWriteDescriptorSet> writes(1 + m_n_buffers);
    writes[0] = {VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET};
    writes[0].pNext = &as_write;
    writes[0].dstSet = set;
    writes[0].dstBinding = 0;
    writes[0].descriptorCount = 1;
    writes[0].descriptorType = VK_DESCRIPTOR_TYPE_ACCELERATION_STRUCTURE_KHR;
    for (int b = 0; b < m_n_buffers; ++b) {
      infos[b] = {buffers[b]->handle(), 0, VK_WHOLE_SIZE};
      writes[1 + b] = {VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET};
      writes[1 + b].dstSet = set;
      writes[1 + b].dstBinding = static_cast<uint32_t>(1 + b);
      writes[1 + b].descriptorCount = 1;
      writes[1 + b].descriptorType = VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
      writes[1 + b].pBufferInfo = &infos[b];
    }
    if (!m_scene_binding) writes.erase(writes.begin());
    vkUpdateDescriptorSets(device, static_cast<uint32_t>(writes.size()), writes.data(), 0, nullptr);

    // Workgroups laid out in rows of at most 65535 (the count every device accepts per
    // dimension); the shaders number their items row by row (work_index()).
    const uint64_t groups = (count + device::kWorkgroupSize - 1) / device::kWorkgroupSize;
    const uint64_t rows = (groups + device::kMaxGroupsPerRow - 1) / device::kMaxGroupsPerRow;
    if (rows > device::kMaxGroupsPerRow) {
      throw std::length_error("Vulkan " + m_workflow + ": too many work items for one dispatch");
    }
    const auto columns =
        static_cast<uint32_t>(std::min<uint64_t>(groups, device::kMaxGroupsPerRow));
    m_context.immediate_submit([&](VkCommandBuffer cmd) {
      vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_COMPUTE, m_pipeline);
      vkCmdBindDescriptorSets(cmd, VK_PIPELINE_BIND_POINT_COMPUTE, m_layout, 0, 1, &set, 0,
                              nullptr);
      if (m_push_bytes > 0) {
        vkCmdPushConstants(cmd, m_layout, VK_SHADER_STAGE_COMPUTE_BIT, 0, m_push_bytes, push);
      }
      vkCmdDispatch(cmd, columns, static_cast<uint32_t>(rows), 1);
    });
  } catch (...) {
    vkDestroyDescriptorPool(device, pool, nullptr);
    throw;
  }
  vkDestroyDescriptorPool(device, pool, nullptr);
}

}  // namespace tesk::vulkan
