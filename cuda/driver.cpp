#include "cuda/driver.h"

#include <dlfcn.h>

#include <stdexcept>

namespace tesk::cuda {
namespace {

// The driver's own text for an error code, or a fallback naming the code.
std::string describe(const DriverApi& a, CUresult code) {
  const char* text = nullptr;
  if (a.cuGetErrorString != nullptr && a.cuGetErrorString(code, &text) == 0 && text != nullptr) {
    return text;
  }
  return "unknown CUDA error " + std::to_string(code);
}

struct Loaded {
  DriverApi api;
  std::string failure;  // empty once loaded and initialised
};

template <typename F>
bool bind(void* lib, const char* name, F& out, std::string& failure) {
  out = reinterpret_cast<F>(dlsym(lib, name));
  if (out == nullptr && failure.empty()) {
    failure = std::string("the CUDA driver has no symbol ") + name;
  }
  return out != nullptr;
}

Loaded load() {
  Loaded l;
  void* lib = dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    l.failure = "CUDA driver library libcuda.so.1 could not be loaded (no NVIDIA driver)";
    return l;
  }
  DriverApi& a = l.api;
  std::string& f = l.failure;
  // The versioned names are the current entry points of the calls whose plain names are kept
  // for old binaries.
  bind(lib, "cuInit", a.cuInit, f);
  bind(lib, "cuDeviceGetCount", a.cuDeviceGetCount, f);
  bind(lib, "cuDeviceGet", a.cuDeviceGet, f);
  bind(lib, "cuDeviceGetName", a.cuDeviceGetName, f);
  bind(lib, "cuDeviceTotalMem_v2", a.cuDeviceTotalMem, f);
  bind(lib, "cuDeviceGetAttribute", a.cuDeviceGetAttribute, f);
  bind(lib, "cuDevicePrimaryCtxRetain", a.cuDevicePrimaryCtxRetain, f);
  bind(lib, "cuDevicePrimaryCtxRelease_v2", a.cuDevicePrimaryCtxRelease, f);
  bind(lib, "cuCtxSetCurrent", a.cuCtxSetCurrent, f);
  bind(lib, "cuStreamCreate", a.cuStreamCreate, f);
  bind(lib, "cuStreamDestroy_v2", a.cuStreamDestroy, f);
  bind(lib, "cuStreamSynchronize", a.cuStreamSynchronize, f);
  bind(lib, "cuMemGetInfo_v2", a.cuMemGetInfo, f);
  bind(lib, "cuMemAlloc_v2", a.cuMemAlloc, f);
  bind(lib, "cuMemFree_v2", a.cuMemFree, f);
  bind(lib, "cuMemcpyHtoDAsync_v2", a.cuMemcpyHtoDAsync, f);
  bind(lib, "cuMemcpyDtoHAsync_v2", a.cuMemcpyDtoHAsync, f);
  bind(lib, "cuMemsetD8Async", a.cuMemsetD8Async, f);
  bind(lib, "cuModuleLoadDataEx", a.cuModuleLoadDataEx, f);
  bind(lib, "cuModuleUnload", a.cuModuleUnload, f);
  bind(lib, "cuModuleGetFunction", a.cuModuleGetFunction, f);
  bind(lib, "cuLaunchKernel", a.cuLaunchKernel, f);
  bind(lib, "cuGetErrorString", a.cuGetErrorString, f);
  bind(lib, "cuEventCreate", a.cuEventCreate, f);
  bind(lib, "cuEventRecord", a.cuEventRecord, f);
  // The current name (CUDA 12.8 on); older drivers export only the first version.
  std::string unused;
  if (!bind(lib, "cuEventElapsedTime_v2", a.cuEventElapsedTime, unused)) {
    bind(lib, "cuEventElapsedTime", a.cuEventElapsedTime, f);
  }
  bind(lib, "cuEventDestroy_v2", a.cuEventDestroy, f);
  if (!f.empty()) return l;
  const CUresult rc = a.cuInit(0);
  if (rc != 0) f = describe(a, rc);
  return l;
}

const Loaded& loaded() {
  static const Loaded l = load();  // thread-safe one-time initialisation
  return l;
}

}  // namespace

const DriverApi& driver(const std::string& prefix) {
  const Loaded& l = loaded();
  if (!l.failure.empty()) throw std::runtime_error(prefix + l.failure);
  return l.api;
}

std::string error_string(CUresult code) {
  return describe(loaded().api, code);
}

void check(CUresult code, const char* label) {
  if (code != 0)
    throw std::runtime_error(std::string("CUDA: ") + label + " - " + error_string(code));
}

}  // namespace tesk::cuda
