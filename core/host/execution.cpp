#include "core/host/execution.h"

#include <stdexcept>

namespace tesk {

const char* backend_name(uint8_t code) {
  switch (code) {
    case 0:
      return "optix";
    case 1:
      return "vulkan";
    case 2:
      return "embree";
    default:
      throw std::runtime_error("unknown native backend identity");
  }
}

const char* workflow_name(uint8_t code) {
  static constexpr const char* kNames[] = {"optical_backward",
                                           "optical_forward",
                                           "optical_flux",
                                           "optical_brf",
                                           "radiation_field_process",
                                           "physiology_solver",
                                           "photosynthesis_process_static",
                                           "photosynthesis_process_dynamic",
                                           "photosynthesis_process",
                                           "energy_balance_process",
                                           nullptr,
                                           "sif_process_finalization",
                                           "sif_source_assembly",
                                           "lidar_point_cloud",
                                           "lidar_waveform"};
  if (code >= sizeof(kNames) / sizeof(kNames[0]) || kNames[code] == nullptr) {
    throw std::runtime_error("unknown native workflow identity");
  }
  return kNames[code];
}

}  // namespace tesk
