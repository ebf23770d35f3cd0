#pragma once

// One CUDA device opened through the driver interface: its primary context, one stream, and
// device buffers that live on it.

#include <cstddef>
#include <string>
#include <vector>

#include "cuda/driver.h"

namespace tesk::cuda {

/// Owns one CUDA device's primary context and the stream on which all its work runs.
class CudaContext {
 public:
  /// Opens device `device_id`. Throws std::runtime_error "Failed to set CUDA device: " + the
  /// driver's error string (no driver, no such device), or "Failed to create CUDA stream".
  explicit CudaContext(int device_id);
  ~CudaContext();
  CudaContext(const CudaContext&) = delete;
  CudaContext& operator=(const CudaContext&) = delete;

  int device_id() const { return m_device_id; }
  const std::string& device_name() const { return m_name; }
  /// Total device memory in MiB.
  long long total_vram_mb() const { return static_cast<long long>(m_total_bytes >> 20); }
  /// Free device memory in MiB at the time of the call.
  long long free_vram_mb() const;
  int compute_capability_major() const { return m_cc_major; }
  int compute_capability_minor() const { return m_cc_minor; }

  /// Makes the context current on the calling thread (every device call starts with it).
  void make_current() const;
  const DriverApi& api() const { return *m_api; }
  CUstream stream() const { return m_stream; }
  /// Waits for the stream; throws "CUDA: <label> - ..." on a failed launch or copy.
  void synchronize(const char* label) const;

 private:
  const DriverApi* m_api = nullptr;
  int m_device_id = 0;
  CUdevice m_device = 0;
  CUcontext m_context = nullptr;
  CUstream m_stream = nullptr;
  std::string m_name;
  size_t m_total_bytes = 0;
  int m_cc_major = 0;
  int m_cc_minor = 0;
};

/// A device allocation on one context; grows on demand and is freed with the object.
class DeviceBuffer {
 public:
  explicit DeviceBuffer(const CudaContext& context) : m_context(&context) {}
  ~DeviceBuffer();
  DeviceBuffer(const DeviceBuffer&) = delete;
  DeviceBuffer& operator=(const DeviceBuffer&) = delete;
  DeviceBuffer(DeviceBuffer&& other) noexcept;

  /// Makes room for `bytes` (contents are not kept when it grows). `label` names the step in
  /// the "CUDA: <label> - ..." error.
  void reserve(size_t bytes, const char* label);
  /// Copies `bytes` from host memory into the buffer (growing it first), on the stream.
  void upload(const void* data, size_t bytes, const char* label);
  template <typename T>
  void upload(const std::vector<T>& v, const char* label) {
    upload(v.data(), v.size() * sizeof(T), label);
  }
  /// Copies `bytes` back to host memory and waits for the copy.
  void download(void* data, size_t bytes, const char* label) const;
  /// Sets the first `bytes` to zero on the stream.
  void zero(size_t bytes, const char* label);
  void release();
  CUdeviceptr get() const { return m_ptr; }
  template <typename T>
  const T* as() const {
    return reinterpret_cast<const T*>(static_cast<uintptr_t>(m_ptr));
  }
  template <typename T>
  T* as_mutable() const {
    return reinterpret_cast<T*>(static_cast<uintptr_t>(m_ptr));
  }

 private:
  const CudaContext* m_context;
  CUdeviceptr m_ptr = 0;
  size_t m_bytes = 0;
};

/// Opens device `device_id`, reads it and closes it again: name, total and free memory (MiB)
/// and compute capability as "major.minor". Throws as CudaContext does.
struct DeviceInfo {
  std::string name;
  long long total_vram_mb = 0;
  long long free_vram_mb = 0;
  std::string compute_capability;
};
DeviceInfo device_info(int device_id);

}  // namespace tesk::cuda
