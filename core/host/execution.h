#pragma once

#include <cstdint>
#include <string>

namespace tesk {

/// Backend codes of an execution record.
enum class BackendCode : uint8_t { OptiX = 0, Vulkan = 1, Embree = 2 };

/// Workflow codes of an execution record (code 10 is unassigned).
enum class WorkflowCode : uint8_t {
  OpticalBackward = 0,
  OpticalForward = 1,
  OpticalFlux = 2,
  OpticalBrf = 3,
  RadiationFieldProcess = 4,
  PhysiologySolver = 5,
  PhotosynthesisProcessStatic = 6,
  PhotosynthesisProcessDynamic = 7,
  PhotosynthesisProcess = 8,
  EnergyBalanceProcess = 9,
  SifProcessFinalization = 11,
  SifSourceAssembly = 12,
  LidarPointCloud = 13,
  LidarWaveform = 14
};

/// Which backend, workflow and executor produced a result.
struct ExecutionIdentity {
  uint8_t backend = 2;   ///< BackendCode value.
  uint8_t workflow = 0;  ///< WorkflowCode value.
  std::string executor;  ///< "backend.platform.operation", e.g. "embree.cpu.optical_backward".
  bool native = true;    ///< True for every natively implemented operation.
};

/// Host name of a backend code ("optix", "vulkan", "embree").
/// Throws std::runtime_error "unknown native backend identity" for any other code.
const char* backend_name(uint8_t code);

/// Host name of a workflow code ("optical_backward", ...).
/// Throws std::runtime_error "unknown native workflow identity" for 10 and codes above 14.
const char* workflow_name(uint8_t code);

/// Identity of a CPU workflow: backend "embree", the given workflow and executor, native.
inline ExecutionIdentity cpu_execution(WorkflowCode workflow, std::string executor) {
  return ExecutionIdentity{static_cast<uint8_t>(BackendCode::Embree),
                           static_cast<uint8_t>(workflow), std::move(executor), true};
}

}  // namespace tesk
