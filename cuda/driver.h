#pragma once

// The CUDA driver interface, loaded at run time from libcuda.so.1: the module imports on
// machines without an NVIDIA driver, and the first device call reports what is missing.

#include <cstddef>
#include <cstdint>
#include <string>

namespace tesk::cuda {

using CUresult = int;
using CUdevice = int;
using CUdeviceptr = unsigned long long;
using CUcontext = struct CUctx_st*;
using CUstream = struct CUstream_st*;
using CUmodule = struct CUmod_st*;
using CUfunction = struct CUfunc_st*;
using CUevent = struct CUevent_st*;

/// Entry points of the driver interface that the backend calls (null until loaded).
struct DriverApi {
  CUresult (*cuInit)(unsigned) = nullptr;
  CUresult (*cuDeviceGetCount)(int*) = nullptr;
  CUresult (*cuDeviceGet)(CUdevice*, int) = nullptr;
  CUresult (*cuDeviceGetName)(char*, int, CUdevice) = nullptr;
  CUresult (*cuDeviceTotalMem)(size_t*, CUdevice) = nullptr;
  CUresult (*cuDeviceGetAttribute)(int*, int, CUdevice) = nullptr;
  CUresult (*cuDevicePrimaryCtxRetain)(CUcontext*, CUdevice) = nullptr;
  CUresult (*cuDevicePrimaryCtxRelease)(CUdevice) = nullptr;
  CUresult (*cuCtxSetCurrent)(CUcontext) = nullptr;
  CUresult (*cuStreamCreate)(CUstream*, unsigned) = nullptr;
  CUresult (*cuStreamDestroy)(CUstream) = nullptr;
  CUresult (*cuStreamSynchronize)(CUstream) = nullptr;
  CUresult (*cuMemGetInfo)(size_t*, size_t*) = nullptr;
  CUresult (*cuMemAlloc)(CUdeviceptr*, size_t) = nullptr;
  CUresult (*cuMemFree)(CUdeviceptr) = nullptr;
  CUresult (*cuMemcpyHtoDAsync)(CUdeviceptr, const void*, size_t, CUstream) = nullptr;
  CUresult (*cuMemcpyDtoHAsync)(void*, CUdeviceptr, size_t, CUstream) = nullptr;
  CUresult (*cuMemsetD8Async)(CUdeviceptr, unsigned char, size_t, CUstream) = nullptr;
  CUresult (*cuModuleLoadDataEx)(CUmodule*, const void*, unsigned, int*, void**) = nullptr;
  CUresult (*cuModuleUnload)(CUmodule) = nullptr;
  CUresult (*cuModuleGetFunction)(CUfunction*, CUmodule, const char*) = nullptr;
  CUresult (*cuLaunchKernel)(CUfunction, unsigned, unsigned, unsigned, unsigned, unsigned, unsigned,
                             unsigned, CUstream, void**, void**) = nullptr;
  CUresult (*cuGetErrorString)(CUresult, const char**) = nullptr;
  CUresult (*cuEventCreate)(CUevent*, unsigned) = nullptr;
  CUresult (*cuEventRecord)(CUevent, CUstream) = nullptr;
  CUresult (*cuEventElapsedTime)(float*, CUevent, CUevent) = nullptr;
  CUresult (*cuEventDestroy)(CUevent) = nullptr;
};

/// The driver interface, loaded and initialised on first use. Throws std::runtime_error with
/// `prefix` followed by why (the library or one of its symbols is missing, or cuInit failed
/// with the driver's error string).
const DriverApi& driver(const std::string& prefix);

/// The driver's text for an error code ("unknown CUDA error <code>" when it has none).
std::string error_string(CUresult code);

/// Throws std::runtime_error "CUDA: <label> - <error string>" unless `code` is success.
void check(CUresult code, const char* label);

/// Driver attribute codes read by the context.
inline constexpr int kAttrComputeCapabilityMajor = 75;
inline constexpr int kAttrComputeCapabilityMinor = 76;

}  // namespace tesk::cuda
