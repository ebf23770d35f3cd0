#include "cuda/context.h"

#include <cstdint>
#include <stdexcept>
#include <utility>

namespace tesk::cuda {

CudaContext::CudaContext(int device_id) : m_device_id(device_id) {
  const std::string prefix = "Failed to set CUDA device: ";
  m_api = &driver(prefix);
  const DriverApi& a = *m_api;
  if (CUresult rc = a.cuDeviceGet(&m_device, device_id); rc != 0) {
    throw std::runtime_error(prefix + error_string(rc));
  }
  if (CUresult rc = a.cuDevicePrimaryCtxRetain(&m_context, m_device); rc != 0) {
    throw std::runtime_error(prefix + error_string(rc));
  }
  try {
    make_current();
    char name[256] = {};
    check(a.cuDeviceGetName(name, sizeof(name) - 1, m_device), "device name");
    m_name = name;
    check(a.cuDeviceTotalMem(&m_total_bytes, m_device), "device memory");
    check(a.cuDeviceGetAttribute(&m_cc_major, kAttrComputeCapabilityMajor, m_device),
          "compute capability");
    check(a.cuDeviceGetAttribute(&m_cc_minor, kAttrComputeCapabilityMinor, m_device),
          "compute capability");
    if (a.cuStreamCreate(&m_stream, 0) != 0)
      throw std::runtime_error("Failed to create CUDA stream");
  } catch (...) {
    a.cuDevicePrimaryCtxRelease(m_device);
    throw;
  }
}

CudaContext::~CudaContext() {
  if (m_api == nullptr) return;
  m_api->cuCtxSetCurrent(m_context);
  if (m_stream != nullptr) m_api->cuStreamDestroy(m_stream);
  m_api->cuDevicePrimaryCtxRelease(m_device);
}

void CudaContext::make_current() const {
  if (CUresult rc = m_api->cuCtxSetCurrent(m_context); rc != 0) {
    throw std::runtime_error("Failed to set CUDA device: " + error_string(rc));
  }
}

long long CudaContext::free_vram_mb() const {
  make_current();
  size_t free_bytes = 0, total = 0;
  check(m_api->cuMemGetInfo(&free_bytes, &total), "memory info");
  return static_cast<long long>(free_bytes >> 20);
}

void CudaContext::synchronize(const char* label) const {
  check(m_api->cuStreamSynchronize(m_stream), label);
}

DeviceBuffer::~DeviceBuffer() {
  release();
}

DeviceBuffer::DeviceBuffer(DeviceBuffer&& other) noexcept
    : m_context(other.m_context),
      m_ptr(std::exchange(other.m_ptr, 0)),
      m_bytes(std::exchange(other.m_bytes, 0)) {}

void DeviceBuffer::release() {
  if (m_ptr != 0) {
    m_context->make_current();
    m_context->api().cuMemFree(m_ptr);  // nothing useful to do with a failure here
  }
  m_ptr = 0;
  m_bytes = 0;
}

void DeviceBuffer::reserve(size_t bytes, const char* label) {
  if (bytes <= m_bytes && m_ptr != 0) return;
  release();
  m_context->make_current();
  CUdeviceptr p = 0;
  check(m_context->api().cuMemAlloc(&p, bytes > 0 ? bytes : 16), label);
  m_ptr = p;
  m_bytes = bytes;
}

void DeviceBuffer::upload(const void* data, size_t bytes, const char* label) {
  reserve(bytes, label);
  if (bytes == 0) return;
  check(m_context->api().cuMemcpyHtoDAsync(m_ptr, data, bytes, m_context->stream()), label);
}

void DeviceBuffer::download(void* data, size_t bytes, const char* label) const {
  if (bytes == 0) return;
  m_context->make_current();
  check(m_context->api().cuMemcpyDtoHAsync(data, m_ptr, bytes, m_context->stream()), label);
  m_context->synchronize(label);
}

void DeviceBuffer::zero(size_t bytes, const char* label) {
  reserve(bytes, label);
  check(m_context->api().cuMemsetD8Async(m_ptr, 0, bytes, m_context->stream()), label);
}

DeviceInfo device_info(int device_id) {
  const CudaContext context(device_id);
  return DeviceInfo{context.device_name(), context.total_vram_mb(), context.free_vram_mb(),
                    std::to_string(context.compute_capability_major()) + "." +
                        std::to_string(context.compute_capability_minor())};
}

}  // namespace tesk::cuda
