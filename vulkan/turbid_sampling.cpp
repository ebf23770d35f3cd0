#include "vulkan/turbid_sampling.h"

#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

#include "core/turbid_sampling.h"
#include "shaders/turbid_records.h"
#include "vulkan/pipeline.h"

namespace tesk::vulkan {

static_assert(sizeof(turbid::TurbidSamplingCandidate) == 32);

namespace {

// The pipeline and the Sobol direction table of a generator, made on its first launch.
struct SamplingDevice {
  std::unique_ptr<ComputePipeline> pipeline;
  Buffer directions;
};

}  // namespace

turbid::TurbidCandidateGenerator device_candidate_generator(VulkanContext& context,
                                                            const std::string& spirv_path) {
  // Shared, so that copies of the generator (std::function copies its target) reuse one
  // pipeline and one direction table.
  auto shared = std::make_shared<SamplingDevice>();
  return [&context, spirv_path, shared](const turbid::CandidateOwnerView& owner, uint64_t first,
                                        std::span<turbid::TurbidSamplingCandidate> out) {
    if (first + out.size() > (uint64_t{1} << 32) ||
        owner.n_triangles > std::numeric_limits<uint32_t>::max()) {
      throw std::length_error("Vulkan turbid sampling supports 32-bit candidate indices");
    }
    if (!shared->pipeline) {
      shared->pipeline = std::make_unique<ComputePipeline>(context, spirv_path, "main", 3,
                                                           sizeof(device::TurbidSamplingPush),
                                                           "turbid sampling", false);
      const turbid::SobolDirections dirs = turbid::make_sobol_directions();
      shared->directions = context.upload_buffer(dirs.v, sizeof(dirs.v));
    }
    const Buffer triangles =
        context.upload_buffer(owner.world_triangles, owner.n_triangles * 9 * sizeof(double));
    const Buffer candidates = context.create_buffer(out.size_bytes(), 0);
    device::TurbidSamplingPush p{};
    p.first = static_cast<uint32_t>(first);
    p.count = static_cast<uint32_t>(out.size());
    p.n_triangles = static_cast<uint32_t>(owner.n_triangles);
    p.orientation = owner.orientation;
    p.leaf_angle = owner.leaf_angle;
    p.stream_key = owner.stream_key;
    std::memcpy(p.bounds_min, owner.bounds_min, sizeof(p.bounds_min));
    std::memcpy(p.bounds_max, owner.bounds_max, sizeof(p.bounds_max));
    shared->pipeline->run(VK_NULL_HANDLE, {&shared->directions, &triangles, &candidates}, &p,
                          out.size());
    candidates.download(out.data(), out.size_bytes());
  };
}

turbid::TurbidSamplePool sample_turbid_domain(VulkanContext& context, const std::string& spirv_path,
                                              const turbid::TurbidDomainDescriptor& descriptor,
                                              const turbid::TurbidSamplingConfig& config) {
  return turbid::sample_domain(descriptor, config, {},
                               device_candidate_generator(context, spirv_path));
}

}  // namespace tesk::vulkan
