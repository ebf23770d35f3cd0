// The Vulkan device survey's pure rules: compatibility reasons in their order of precedence and
// the preference order of devices, on synthetic records (a test machine has one device at most).

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "vulkan/context.h"

namespace tesk::vulkan {
namespace {

DeviceInfo capable(int physical_index, int type, uint64_t memory_mb) {
  DeviceInfo d;
  d.physical_index = physical_index;
  d.device_name = "device " + std::to_string(physical_index);
  d.device_type = type;
  d.api_version = VK_API_VERSION_1_3;
  d.device_local_memory_mb = memory_mb;
  d.has_compute_queue = true;
  d.has_acceleration_structure = true;
  d.has_ray_query = true;
  d.has_buffer_device_address = true;
  classify_device(d);
  return d;
}

TEST(VulkanSurvey, TheFirstFailingTestGivesTheReason) {
  DeviceInfo d = capable(0, VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU, 8192);
  EXPECT_TRUE(d.compatible);
  EXPECT_EQ(d.unavailable_reason, "");
  d.has_buffer_device_address = false;
  classify_device(d);
  EXPECT_EQ(d.unavailable_reason, "buffer device address unavailable");
  d.has_ray_query = false;
  classify_device(d);
  EXPECT_EQ(d.unavailable_reason, "ray query unavailable");
  d.has_acceleration_structure = false;
  classify_device(d);
  EXPECT_EQ(d.unavailable_reason, "acceleration structures unavailable");
  d.has_compute_queue = false;
  classify_device(d);
  EXPECT_EQ(d.unavailable_reason, "no compute queue");
  d.api_version = VK_API_VERSION_1_1;
  classify_device(d);
  EXPECT_EQ(d.unavailable_reason, "requires Vulkan 1.2");
  EXPECT_FALSE(d.compatible);
}

TEST(VulkanSurvey, DevicesAreOrderedByCompatibilityTypeMemoryAndIds) {
  std::vector<DeviceInfo> devices;
  devices.push_back(capable(0, VK_PHYSICAL_DEVICE_TYPE_CPU, 64000));
  devices.push_back(capable(1, VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU, 2048));
  devices.push_back(capable(2, VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU, 8192));
  devices.push_back(capable(3, VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU, 24576));
  devices.push_back(capable(4, VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU, 99999));
  devices.back().has_ray_query = false;  // the largest GPU cannot run the backend
  classify_device(devices.back());
  devices.push_back(capable(5, VK_PHYSICAL_DEVICE_TYPE_OTHER, 1 << 20));
  devices.push_back(capable(6, VK_PHYSICAL_DEVICE_TYPE_VIRTUAL_GPU, 1));
  // Equal type and memory: lower vendor id, then device id, then name, then physical index.
  devices.push_back(capable(7, VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU, 2048));
  devices.back().vendor_id = 1;
  devices.push_back(capable(8, VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU, 2048));
  devices.back().device_id = 1;
  devices.push_back(capable(9, VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU, 2048));
  devices.back().device_name = "device 1";  // ties with device 1 up to the physical index
  std::stable_sort(devices.begin(), devices.end(), device_preferred);
  std::vector<int> order;
  for (const DeviceInfo& d : devices) order.push_back(d.physical_index);
  EXPECT_EQ(order, (std::vector<int>{3, 2, 1, 9, 8, 7, 6, 0, 5, 4}));
}

}  // namespace
}  // namespace tesk::vulkan
