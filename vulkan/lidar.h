#pragma once

#include "core/host/progress.h"
#include "embree/lidar.h"
#include "vulkan/scene_manager.h"

namespace tesk::vulkan {

/// The LiDAR of embree::simulate_lidar on the device: the pulses are traced with ray queries (one
/// invocation per pulse: its central ray in direct mode, its weighted footprint in waveform
/// mode, returns added in doubles into the pulse's raw waveform; in scenes with optical turbid
/// media the rays cross medium boundaries, add the leaves' volume returns and see surfaces
/// through the two-way transmittance, as on the CPU), and the
/// host finishes each pulse with the CPU's own convolution, return extraction and point records
/// (embree::LidarPulseWaveform), so results match the CPU's up to float rounding of the hits.
/// Pulses run in dispatches whose raw waveforms fit a bounded buffer; `progress` (may be empty)
/// gets (pulses done, num_pulses, elapsed ms) after each and `interrupt` (may be empty) is
/// polled between them. Record vulkan / lidar_point_cloud or lidar_waveform.
///
/// Throws the argument errors of embree::simulate_lidar, std::runtime_error "Vulkan: build the
/// scene before tracing rays", std::length_error "Vulkan LiDAR supports at most 2^31-1 pulses
/// per run".
embree::LidarResult simulate_lidar(VulkanSceneManager& scene, const embree::LidarRequest& request,
                                   const ProgressCallback& progress,
                                   const InterruptCheck& interrupt = {});

}  // namespace tesk::vulkan
