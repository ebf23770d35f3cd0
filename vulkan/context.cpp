#include "vulkan/context.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

namespace tesk::vulkan {
namespace {

constexpr uint32_t kRequiredApi = VK_API_VERSION_1_2;  // packed 4202496
constexpr const char* kDeviceExtensions[] = {VK_KHR_ACCELERATION_STRUCTURE_EXTENSION_NAME,
                                             VK_KHR_RAY_QUERY_EXTENSION_NAME,
                                             VK_KHR_DEFERRED_HOST_OPERATIONS_EXTENSION_NAME};

// The instance every survey and context uses: API 1.2, no layers or instance extensions.
// VK_NULL_HANDLE when the loader finds no driver at all (a machine without Vulkan devices).
VkInstance create_instance() {
  uint32_t loader_version = VK_API_VERSION_1_0;
  auto enumerate_version = reinterpret_cast<PFN_vkEnumerateInstanceVersion>(
      vkGetInstanceProcAddr(nullptr, "vkEnumerateInstanceVersion"));
  if (enumerate_version != nullptr)
    check(enumerate_version(&loader_version), "vkEnumerateInstanceVersion");
  if (loader_version < kRequiredApi) {
    throw std::runtime_error("Vulkan 1.2 or newer is required for the TESK Ray Query backend");
  }
  VkApplicationInfo app{VK_STRUCTURE_TYPE_APPLICATION_INFO};
  app.pApplicationName = "TESKPRO";
  app.applicationVersion = VK_MAKE_VERSION(0, 3, 2);
  app.pEngineName = "TESKPRO";
  app.engineVersion = VK_MAKE_VERSION(0, 3, 2);
  app.apiVersion = kRequiredApi;
  VkInstanceCreateInfo info{VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO};
  info.pApplicationInfo = &app;
  VkInstance instance = VK_NULL_HANDLE;
  const VkResult result = vkCreateInstance(&info, nullptr, &instance);
  if (result == VK_ERROR_INCOMPATIBLE_DRIVER) return VK_NULL_HANDLE;
  check(result, "vkCreateInstance");
  return instance;
}

std::vector<VkPhysicalDevice> physical_devices(VkInstance instance) {
  uint32_t count = 0;
  check(vkEnumeratePhysicalDevices(instance, &count, nullptr), "vkEnumeratePhysicalDevices");
  std::vector<VkPhysicalDevice> devices(count);
  if (count > 0) {
    check(vkEnumeratePhysicalDevices(instance, &count, devices.data()),
          "vkEnumeratePhysicalDevices");
  }
  devices.resize(count);
  return devices;
}

// Index of the first queue family with queues and the compute bit, or -1.
int compute_queue_family(VkPhysicalDevice device) {
  uint32_t count = 0;
  vkGetPhysicalDeviceQueueFamilyProperties(device, &count, nullptr);
  std::vector<VkQueueFamilyProperties> families(count);
  vkGetPhysicalDeviceQueueFamilyProperties(device, &count, families.data());
  for (uint32_t i = 0; i < count; ++i) {
    if (families[i].queueCount > 0 && (families[i].queueFlags & VK_QUEUE_COMPUTE_BIT) != 0) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

DeviceInfo survey(VkPhysicalDevice device, int physical_index) {
  DeviceInfo info;
  info.physical_index = physical_index;
  VkPhysicalDeviceProperties props{};
  vkGetPhysicalDeviceProperties(device, &props);
  info.device_name = props.deviceName;
  info.vendor_id = props.vendorID;
  info.device_id = props.deviceID;
  info.device_type = static_cast<int>(props.deviceType);
  info.is_discrete = props.deviceType == VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU;
  info.api_version = props.apiVersion;

  VkPhysicalDeviceMemoryProperties memory{};
  vkGetPhysicalDeviceMemoryProperties(device, &memory);
  uint64_t local_bytes = 0;
  for (uint32_t h = 0; h < memory.memoryHeapCount; ++h) {
    if ((memory.memoryHeaps[h].flags & VK_MEMORY_HEAP_DEVICE_LOCAL_BIT) != 0) {
      local_bytes += memory.memoryHeaps[h].size;
    }
  }
  info.device_local_memory_mb = local_bytes >> 20;
  info.has_compute_queue = compute_queue_family(device) >= 0;

  uint32_t n_ext = 0;
  vkEnumerateDeviceExtensionProperties(device, nullptr, &n_ext, nullptr);
  std::vector<VkExtensionProperties> extensions(n_ext);
  vkEnumerateDeviceExtensionProperties(device, nullptr, &n_ext, extensions.data());
  auto has = [&](const char* name) {
    return std::any_of(extensions.begin(), extensions.end(), [&](const VkExtensionProperties& e) {
      return std::strcmp(e.extensionName, name) == 0;
    });
  };
  const bool ext_as = has(VK_KHR_ACCELERATION_STRUCTURE_EXTENSION_NAME);
  const bool ext_rq = has(VK_KHR_RAY_QUERY_EXTENSION_NAME);
  const bool ext_dho = has(VK_KHR_DEFERRED_HOST_OPERATIONS_EXTENSION_NAME);

  VkPhysicalDeviceRayQueryFeaturesKHR rq{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_RAY_QUERY_FEATURES_KHR};
  VkPhysicalDeviceAccelerationStructureFeaturesKHR as{
      VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_ACCELERATION_STRUCTURE_FEATURES_KHR};
  VkPhysicalDeviceBufferDeviceAddressFeatures bda{
      VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_BUFFER_DEVICE_ADDRESS_FEATURES};
  VkPhysicalDeviceFeatures2 features{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2};
  // Extension feature structures may only be chained when the extension is present.
  void** tail = &features.pNext;
  *tail = &bda;
  tail = &bda.pNext;
  if (ext_as) {
    *tail = &as;
    tail = &as.pNext;
  }
  if (ext_rq) {
    *tail = &rq;
    tail = &rq.pNext;
  }
  if (props.apiVersion >= kRequiredApi) vkGetPhysicalDeviceFeatures2(device, &features);
  info.has_acceleration_structure = ext_as && ext_dho && as.accelerationStructure == VK_TRUE;
  info.has_ray_query = ext_rq && rq.rayQuery == VK_TRUE;
  info.has_buffer_device_address = bda.bufferDeviceAddress == VK_TRUE;
  classify_device(info);
  return info;
}

int type_rank(int type) {
  switch (type) {
    case VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU:
      return 0;
    case VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU:
      return 1;
    case VK_PHYSICAL_DEVICE_TYPE_VIRTUAL_GPU:
      return 2;
    case VK_PHYSICAL_DEVICE_TYPE_CPU:
      return 3;
    default:
      return 4;
  }
}

std::vector<DeviceInfo> ordered_survey(VkInstance instance,
                                       std::vector<VkPhysicalDevice>* handles) {
  const std::vector<VkPhysicalDevice> devices = physical_devices(instance);
  std::vector<DeviceInfo> infos;
  for (size_t i = 0; i < devices.size(); ++i)
    infos.push_back(survey(devices[i], static_cast<int>(i)));
  std::stable_sort(infos.begin(), infos.end(), device_preferred);
  if (handles != nullptr) *handles = devices;
  return infos;
}

}  // namespace

void check(VkResult result, const char* label) {
  if (result != VK_SUCCESS) {
    throw std::runtime_error(std::string("Vulkan: ") + label + " failed (" +
                             std::to_string(static_cast<int>(result)) + ")");
  }
}

void classify_device(DeviceInfo& info) {
  const char* reason = "";
  if (info.api_version < kRequiredApi) {
    reason = "requires Vulkan 1.2";
  } else if (!info.has_compute_queue) {
    reason = "no compute queue";
  } else if (!info.has_acceleration_structure) {
    reason = "acceleration structures unavailable";
  } else if (!info.has_ray_query) {
    reason = "ray query unavailable";
  } else if (!info.has_buffer_device_address) {
    reason = "buffer device address unavailable";
  }
  info.unavailable_reason = reason;
  info.compatible = info.unavailable_reason.empty();
}

bool device_preferred(const DeviceInfo& a, const DeviceInfo& b) {
  if (a.compatible != b.compatible) return a.compatible;
  if (type_rank(a.device_type) != type_rank(b.device_type)) {
    return type_rank(a.device_type) < type_rank(b.device_type);
  }
  if (a.device_local_memory_mb != b.device_local_memory_mb) {
    return a.device_local_memory_mb > b.device_local_memory_mb;
  }
  if (a.vendor_id != b.vendor_id) return a.vendor_id < b.vendor_id;
  if (a.device_id != b.device_id) return a.device_id < b.device_id;
  if (a.device_name != b.device_name) return a.device_name < b.device_name;  // byte order
  return a.physical_index < b.physical_index;
}

std::vector<DeviceInfo> list_devices() {
  const VkInstance instance = create_instance();
  if (instance == VK_NULL_HANDLE) return {};
  try {
    std::vector<DeviceInfo> infos = ordered_survey(instance, nullptr);
    vkDestroyInstance(instance, nullptr);
    return infos;
  } catch (...) {
    vkDestroyInstance(instance, nullptr);
    throw;
  }
}

// ---- Buffer
// ---------------------------------------------------------------------------------------

Buffer& Buffer::operator=(Buffer&& other) noexcept {
  if (this != &other) {
    release();
    m_device = std::exchange(other.m_device, VK_NULL_HANDLE);
    m_buffer = std::exchange(other.m_buffer, VK_NULL_HANDLE);
    m_memory = std::exchange(other.m_memory, VK_NULL_HANDLE);
    m_size = std::exchange(other.m_size, 0);
    m_usage = other.m_usage;
    m_properties = other.m_properties;
    m_address = std::exchange(other.m_address, 0);
    m_mapped = std::exchange(other.m_mapped, nullptr);
    m_atom = other.m_atom;
  }
  return *this;
}

void Buffer::release() {
  if (m_device == VK_NULL_HANDLE) return;
  if (m_mapped != nullptr) vkUnmapMemory(m_device, m_memory);
  vkDestroyBuffer(m_device, m_buffer, nullptr);
  vkFreeMemory(m_device, m_memory, nullptr);
  m_device = VK_NULL_HANDLE;
  m_buffer = VK_NULL_HANDLE;
  m_memory = VK_NULL_HANDLE;
  m_mapped = nullptr;
  m_size = 0;
  m_address = 0;
}

void Buffer::upload(const void* data, VkDeviceSize bytes, VkDeviceSize offset) {
  if (offset + bytes > m_size) throw std::out_of_range("Vulkan buffer upload past its end");
  if (bytes == 0) return;
  std::memcpy(static_cast<char*>(m_mapped) + offset, data, bytes);
  if ((m_properties & VK_MEMORY_PROPERTY_HOST_COHERENT_BIT) == 0) {
    VkMappedMemoryRange range{VK_STRUCTURE_TYPE_MAPPED_MEMORY_RANGE};
    range.memory = m_memory;
    range.offset = 0;
    range.size = VK_WHOLE_SIZE;
    check(vkFlushMappedMemoryRanges(m_device, 1, &range), "vkFlushMappedMemoryRanges");
  }
}

void Buffer::download(void* data, VkDeviceSize bytes, VkDeviceSize offset) const {
  if (offset + bytes > m_size) throw std::out_of_range("Vulkan buffer download past its end");
  if (bytes == 0) return;
  if ((m_properties & VK_MEMORY_PROPERTY_HOST_COHERENT_BIT) == 0) {
    VkMappedMemoryRange range{VK_STRUCTURE_TYPE_MAPPED_MEMORY_RANGE};
    range.memory = m_memory;
    range.offset = 0;
    range.size = VK_WHOLE_SIZE;
    check(vkInvalidateMappedMemoryRanges(m_device, 1, &range), "vkInvalidateMappedMemoryRanges");
  }
  std::memcpy(data, static_cast<const char*>(m_mapped) + offset, bytes);
}

void Buffer::zero() {
  std::vector<char> zeros(static_cast<size_t>(m_size), 0);
  upload(zeros.data(), m_size, 0);
}

// ---- VulkanContext ------------------------------------------------------------------------------

VulkanContext::VulkanContext(int index) {
  if (index < 0) throw std::invalid_argument("Vulkan device index must be non-negative");
  m_instance = create_instance();
  if (m_instance == VK_NULL_HANDLE)
    throw std::runtime_error("Vulkan: no physical devices were found");
  try {
    std::vector<VkPhysicalDevice> handles;
    const std::vector<DeviceInfo> infos = ordered_survey(m_instance, &handles);
    if (infos.empty()) throw std::runtime_error("Vulkan: no physical devices were found");
    const auto n_compatible =
        std::count_if(infos.begin(), infos.end(), [](const DeviceInfo& d) { return d.compatible; });
    if (n_compatible == 0) {
      throw std::runtime_error("Vulkan: no device supports acceleration structures and ray query");
    }
    if (index >= n_compatible) {
      throw std::out_of_range("Vulkan compatible device index " + std::to_string(index) +
                              " is outside [0, " + std::to_string(n_compatible) + ")");
    }
    m_info = infos[index];  // compatible devices come first
    m_physical = handles[m_info.physical_index];

    const int family = compute_queue_family(m_physical);
    if (family < 0) throw std::runtime_error("Vulkan: selected device has no compute queue");
    m_queue_family = static_cast<uint32_t>(family);

    VkPhysicalDeviceProperties props{};
    vkGetPhysicalDeviceProperties(m_physical, &props);
    m_atom = std::max<VkDeviceSize>(props.limits.nonCoherentAtomSize, 1);
    VkPhysicalDeviceAccelerationStructurePropertiesKHR as_props{
        VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_ACCELERATION_STRUCTURE_PROPERTIES_KHR};
    VkPhysicalDeviceProperties2 props2{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_PROPERTIES_2};
    props2.pNext = &as_props;
    vkGetPhysicalDeviceProperties2(m_physical, &props2);
    m_scratch_alignment =
        std::max<VkDeviceSize>(as_props.minAccelerationStructureScratchOffsetAlignment, 1);
    vkGetPhysicalDeviceMemoryProperties(m_physical, &m_memory);

    const float priority = 1.0f;
    VkDeviceQueueCreateInfo queue{VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO};
    queue.queueFamilyIndex = m_queue_family;
    queue.queueCount = 1;
    queue.pQueuePriorities = &priority;
    VkPhysicalDeviceRayQueryFeaturesKHR rq{
        VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_RAY_QUERY_FEATURES_KHR};
    rq.rayQuery = VK_TRUE;
    VkPhysicalDeviceAccelerationStructureFeaturesKHR as{
        VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_ACCELERATION_STRUCTURE_FEATURES_KHR};
    as.accelerationStructure = VK_TRUE;
    as.pNext = &rq;
    VkPhysicalDeviceVulkan12Features v12{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_2_FEATURES};
    v12.bufferDeviceAddress = VK_TRUE;
    v12.scalarBlockLayout = VK_TRUE;         // shader records are packed as on the host
    v12.shaderBufferInt64Atomics = VK_TRUE;  // fixed-point photon tallies
    v12.pNext = &as;
    // Random streams are 64-bit and path sums double precision, as on the CPU.
    VkPhysicalDeviceFeatures2 core{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2};
    core.features.shaderInt64 = VK_TRUE;
    core.features.shaderFloat64 = VK_TRUE;
    core.pNext = &v12;
    VkDeviceCreateInfo info{VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO};
    info.pNext = &core;
    info.queueCreateInfoCount = 1;
    info.pQueueCreateInfos = &queue;
    info.enabledExtensionCount = static_cast<uint32_t>(std::size(kDeviceExtensions));
    info.ppEnabledExtensionNames = kDeviceExtensions;
    check(vkCreateDevice(m_physical, &info, nullptr, &m_device), "vkCreateDevice");
    vkGetDeviceQueue(m_device, m_queue_family, 0, &m_queue);

    auto load = [&](const char* name) {
      PFN_vkVoidFunction f = vkGetDeviceProcAddr(m_device, name);
      if (f == nullptr) throw std::runtime_error(std::string("Vulkan: failed to load ") + name);
      return f;
    };
    m_as.create = reinterpret_cast<PFN_vkCreateAccelerationStructureKHR>(
        load("vkCreateAccelerationStructureKHR"));
    m_as.destroy = reinterpret_cast<PFN_vkDestroyAccelerationStructureKHR>(
        load("vkDestroyAccelerationStructureKHR"));
    m_as.build_sizes = reinterpret_cast<PFN_vkGetAccelerationStructureBuildSizesKHR>(
        load("vkGetAccelerationStructureBuildSizesKHR"));
    m_as.cmd_build = reinterpret_cast<PFN_vkCmdBuildAccelerationStructuresKHR>(
        load("vkCmdBuildAccelerationStructuresKHR"));
    m_as.device_address = reinterpret_cast<PFN_vkGetAccelerationStructureDeviceAddressKHR>(
        load("vkGetAccelerationStructureDeviceAddressKHR"));

    VkCommandPoolCreateInfo pool{VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO};
    pool.flags = VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT;
    pool.queueFamilyIndex = m_queue_family;
    check(vkCreateCommandPool(m_device, &pool, nullptr, &m_pool), "vkCreateCommandPool");
    VkCommandBufferAllocateInfo alloc{VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO};
    alloc.commandPool = m_pool;
    alloc.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
    alloc.commandBufferCount = 1;
    check(vkAllocateCommandBuffers(m_device, &alloc, &m_command_buffer),
          "vkAllocateCommandBuffers");
    // Created signalled so that the first immediate submission does not wait.
    VkFenceCreateInfo fence{VK_STRUCTURE_TYPE_FENCE_CREATE_INFO};
    fence.flags = VK_FENCE_CREATE_SIGNALED_BIT;
    check(vkCreateFence(m_device, &fence, nullptr, &m_fence), "vkCreateFence");
  } catch (...) {
    release_();
    throw;
  }
}

VulkanContext::~VulkanContext() {
  release_();
}

void VulkanContext::release_() {
  if (m_device != VK_NULL_HANDLE) {
    vkDeviceWaitIdle(m_device);
    if (m_fence != VK_NULL_HANDLE) vkDestroyFence(m_device, m_fence, nullptr);
    if (m_pool != VK_NULL_HANDLE) vkDestroyCommandPool(m_device, m_pool, nullptr);
    vkDestroyDevice(m_device, nullptr);
    m_device = VK_NULL_HANDLE;
  }
  if (m_instance != VK_NULL_HANDLE) {
    vkDestroyInstance(m_instance, nullptr);
    m_instance = VK_NULL_HANDLE;
  }
}

void VulkanContext::immediate_submit(const std::function<void(VkCommandBuffer)>& record) {
  check(vkWaitForFences(m_device, 1, &m_fence, VK_TRUE, UINT64_MAX), "vkWaitForFences");
  check(vkResetFences(m_device, 1, &m_fence), "vkResetFences");
  check(vkResetCommandBuffer(m_command_buffer, 0), "vkResetCommandBuffer");
  VkCommandBufferBeginInfo begin{VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO};
  begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
  check(vkBeginCommandBuffer(m_command_buffer, &begin), "vkBeginCommandBuffer");
  record(m_command_buffer);
  check(vkEndCommandBuffer(m_command_buffer), "vkEndCommandBuffer");
  VkSubmitInfo submit{VK_STRUCTURE_TYPE_SUBMIT_INFO};
  submit.commandBufferCount = 1;
  submit.pCommandBuffers = &m_command_buffer;
  check(vkQueueSubmit(m_queue, 1, &submit, m_fence), "vkQueueSubmit");
  check(vkWaitForFences(m_device, 1, &m_fence, VK_TRUE, UINT64_MAX), "vkWaitForFences");
}

uint32_t VulkanContext::find_memory_type(uint32_t type_bits,
                                         VkMemoryPropertyFlags properties) const {
  for (uint32_t i = 0; i < m_memory.memoryTypeCount; ++i) {
    if ((type_bits & (1u << i)) != 0 &&
        (m_memory.memoryTypes[i].propertyFlags & properties) == properties) {
      return i;
    }
  }
  throw std::runtime_error("Vulkan: no compatible memory type");
}

Buffer VulkanContext::create_buffer(VkDeviceSize bytes, VkBufferUsageFlags usage) {
  Buffer b;
  b.m_device = m_device;
  b.m_atom = m_atom;
  b.m_size = std::max<VkDeviceSize>(bytes, 4);
  b.m_usage =
      usage | VK_BUFFER_USAGE_STORAGE_BUFFER_BIT | VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT;
  VkBufferCreateInfo info{VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO};
  info.size = b.m_size;
  info.usage = b.m_usage;
  info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
  // Own the handle before anything can throw, so that release() frees whatever was made.
  VkBuffer handle = VK_NULL_HANDLE;
  check(vkCreateBuffer(m_device, &info, nullptr, &handle), "vkCreateBuffer");
  b.m_buffer = handle;
  VkMemoryRequirements req{};
  vkGetBufferMemoryRequirements(m_device, b.m_buffer, &req);
  // Host-visible memory keeps uploads and downloads to a mapped copy; device-local is preferred
  // where a heap is both (integrated GPUs, CPU drivers, resizable BAR).
  const VkMemoryPropertyFlags host =
      VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;
  uint32_t type = 0;
  try {
    type = find_memory_type(req.memoryTypeBits, host | VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT);
  } catch (const std::runtime_error&) {
    type = find_memory_type(req.memoryTypeBits, VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT);
  }
  b.m_properties = m_memory.memoryTypes[type].propertyFlags;
  VkMemoryAllocateFlagsInfo flags{VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_FLAGS_INFO};
  flags.flags = VK_MEMORY_ALLOCATE_DEVICE_ADDRESS_BIT;
  VkMemoryAllocateInfo alloc{VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO};
  alloc.pNext = &flags;
  alloc.allocationSize = req.size;
  alloc.memoryTypeIndex = type;
  const VkResult r = vkAllocateMemory(m_device, &alloc, nullptr, &b.m_memory);
  if (r == VK_ERROR_OUT_OF_HOST_MEMORY || r == VK_ERROR_OUT_OF_DEVICE_MEMORY) {
    throw std::bad_alloc();
  }
  check(r, "vkAllocateMemory");
  check(vkBindBufferMemory(m_device, b.m_buffer, b.m_memory, 0), "vkBindBufferMemory");
  check(vkMapMemory(m_device, b.m_memory, 0, VK_WHOLE_SIZE, 0, &b.m_mapped), "vkMapMemory");
  VkBufferDeviceAddressInfo address{VK_STRUCTURE_TYPE_BUFFER_DEVICE_ADDRESS_INFO};
  address.buffer = b.m_buffer;
  b.m_address = vkGetBufferDeviceAddress(m_device, &address);
  return b;
}

Buffer VulkanContext::upload_buffer(const void* data, VkDeviceSize bytes,
                                    VkBufferUsageFlags usage) {
  Buffer b = create_buffer(bytes, usage);
  if (bytes > 0) b.upload(data, bytes, 0);
  return b;
}

}  // namespace tesk::vulkan
