#pragma once

#include <vulkan/vulkan.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tesk::vulkan {

/// Throws std::runtime_error "Vulkan: <label> failed (<result>)" unless `result` is VK_SUCCESS.
void check(VkResult result, const char* label);

/// One physical device as the survey sees it.
struct DeviceInfo {
  int physical_index = 0;                   ///< Position in the driver's enumeration.
  std::string device_name;                  ///< Driver-reported name.
  uint32_t vendor_id = 0;                   ///< PCI vendor id (or the driver's own).
  uint32_t device_id = 0;                   ///< PCI device id.
  int device_type = 0;                      ///< VkPhysicalDeviceType value.
  bool is_discrete = false;                 ///< Type is the discrete-GPU type.
  uint32_t api_version = 0;                 ///< Packed Vulkan version the device supports.
  uint64_t device_local_memory_mb = 0;      ///< Sum of device-local heaps, MiB.
  bool has_compute_queue = false;           ///< Some queue family can run compute work.
  bool has_acceleration_structure = false;  ///< Extension pair present and feature on.
  bool has_ray_query = false;               ///< Ray-query extension present and feature on.
  bool has_buffer_device_address = false;   ///< Feature on.
  bool compatible = false;                  ///< Every test passed.
  std::string unavailable_reason;           ///< First failing test; empty when compatible.
};

/// Every physical device, surveyed and put in the backend's preference order: compatible first,
/// then discrete, integrated, virtual, CPU, other; then more device-local memory, lower vendor
/// id, lower device id, name in byte order, lower physical index. Empty when the loader finds
/// no driver. Throws std::runtime_error
/// "Vulkan 1.2 or newer is required for the TESK Ray Query backend" for an older loader and
/// "Vulkan: ... failed (n)" when the instance cannot be created.
std::vector<DeviceInfo> list_devices();

/// The preference order of list_devices (a strict weak order; ties keep enumeration order when
/// used with a stable sort).
bool device_preferred(const DeviceInfo& a, const DeviceInfo& b);

/// Fills `compatible` and `unavailable_reason` from the capability fields.
void classify_device(DeviceInfo& info);

/// A device buffer in host-visible memory with its device address.
class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  Buffer(Buffer&& other) noexcept { *this = std::move(other); }
  Buffer& operator=(Buffer&& other) noexcept;
  ~Buffer() { release(); }

  /// Copies `bytes` bytes from `data` to the buffer at `offset` through a host mapping and
  /// flushes the written range. Throws std::out_of_range past the end.
  void upload(const void* data, VkDeviceSize bytes, VkDeviceSize offset = 0);
  /// Invalidates and copies `bytes` bytes at `offset` into `data`.
  void download(void* data, VkDeviceSize bytes, VkDeviceSize offset = 0) const;
  /// Fills the buffer with zero bytes.
  void zero();
  void release();

  VkBuffer handle() const { return m_buffer; }
  VkDeviceSize size() const { return m_size; }
  VkDeviceAddress address() const { return m_address; }
  VkBufferUsageFlags usage() const { return m_usage; }
  VkMemoryPropertyFlags properties() const { return m_properties; }

 private:
  friend class VulkanContext;
  VkDevice m_device = VK_NULL_HANDLE;
  VkBuffer m_buffer = VK_NULL_HANDLE;
  VkDeviceMemory m_memory = VK_NULL_HANDLE;
  VkDeviceSize m_size = 0;
  VkBufferUsageFlags m_usage = 0;
  VkMemoryPropertyFlags m_properties = 0;
  VkDeviceAddress m_address = 0;
  void* m_mapped = nullptr;
  VkDeviceSize m_atom = 1;  // nonCoherentAtomSize, for flush ranges
};

/// Entry points of the acceleration-structure extension, loaded from the device.
struct AccelerationStructureFunctions {
  PFN_vkCreateAccelerationStructureKHR create = nullptr;
  PFN_vkDestroyAccelerationStructureKHR destroy = nullptr;
  PFN_vkGetAccelerationStructureBuildSizesKHR build_sizes = nullptr;
  PFN_vkCmdBuildAccelerationStructuresKHR cmd_build = nullptr;
  PFN_vkGetAccelerationStructureDeviceAddressKHR device_address = nullptr;
};

/// An open compatible device: instance, logical device, one compute queue, one command pool
/// with one reusable command buffer and fence for immediate submissions. All work of a context
/// is serialised on its queue; calls on one context must not overlap.
class VulkanContext {
 public:
  /// Opens the `index`-th compatible device in preference order. Throws std::invalid_argument
  /// "Vulkan device index must be non-negative", std::runtime_error "Vulkan: no physical
  /// devices were found" / "Vulkan: no device supports acceleration structures and ray query",
  /// std::out_of_range "Vulkan compatible device index <i> is outside [0, <n>)", and
  /// "Vulkan: failed to load <entry point>" when an extension function is missing.
  explicit VulkanContext(int index);
  ~VulkanContext();
  VulkanContext(const VulkanContext&) = delete;
  VulkanContext& operator=(const VulkanContext&) = delete;

  const DeviceInfo& info() const { return m_info; }
  const std::string& device_name() const { return m_info.device_name; }
  int physical_device_index() const { return m_info.physical_index; }
  int total_vram_mb() const { return static_cast<int>(m_info.device_local_memory_mb); }
  uint32_t api_version() const { return m_info.api_version; }
  uint32_t queue_family_index() const { return m_queue_family; }

  VkDevice device() const { return m_device; }
  const AccelerationStructureFunctions& as() const { return m_as; }

  /// Records commands with `record` into the immediate command buffer, submits them to the
  /// compute queue and waits for completion. Every Vulkan result is checked.
  void immediate_submit(const std::function<void(VkCommandBuffer)>& record);

  /// Lowest memory-type index allowed by `type_bits` whose flags contain `properties`.
  /// Throws std::runtime_error "Vulkan: no compatible memory type".
  uint32_t find_memory_type(uint32_t type_bits, VkMemoryPropertyFlags properties) const;

  /// A host-visible buffer of `bytes` bytes (at least 4) with the given usage plus storage and
  /// device-address usage; prefers host-coherent device-local memory where the device has it.
  Buffer create_buffer(VkDeviceSize bytes, VkBufferUsageFlags usage);
  /// A buffer holding a copy of `bytes` bytes from `data`.
  Buffer upload_buffer(const void* data, VkDeviceSize bytes, VkBufferUsageFlags usage = 0);

  /// Minimum alignment of acceleration-structure scratch buffers.
  VkDeviceSize scratch_alignment() const { return m_scratch_alignment; }

 private:
  void release_();

  VkInstance m_instance = VK_NULL_HANDLE;
  VkPhysicalDevice m_physical = VK_NULL_HANDLE;
  DeviceInfo m_info;
  VkDevice m_device = VK_NULL_HANDLE;
  VkQueue m_queue = VK_NULL_HANDLE;
  uint32_t m_queue_family = 0;
  VkCommandPool m_pool = VK_NULL_HANDLE;
  VkCommandBuffer m_command_buffer = VK_NULL_HANDLE;
  VkFence m_fence = VK_NULL_HANDLE;
  VkPhysicalDeviceMemoryProperties m_memory{};
  VkDeviceSize m_atom = 1;
  VkDeviceSize m_scratch_alignment = 256;
  AccelerationStructureFunctions m_as;
};

}  // namespace tesk::vulkan
