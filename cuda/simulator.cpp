#include "cuda/simulator.h"

#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "core/trace_batch.h"

namespace tesk::cuda {
namespace {

constexpr unsigned kBlockSize = 128;
// Driver options of cuModuleLoadDataEx: the error log buffer and its size.
constexpr int kJitErrorLogBuffer = 5;
constexpr int kJitErrorLogBufferSize = 6;

}  // namespace

CudaSimulator::CudaSimulator(const CudaContext& context, std::string ptx_path)
    : m_context(&context), m_ptx_path(std::move(ptx_path)), m_rays(context), m_results(context) {}

CudaSimulator::~CudaSimulator() {
  m_context->make_current();
  if (m_start != nullptr) m_context->api().cuEventDestroy(m_start);
  if (m_stop != nullptr) m_context->api().cuEventDestroy(m_stop);
  if (m_module != nullptr) m_context->api().cuModuleUnload(m_module);
}

void CudaSimulator::init() {
  if (m_module != nullptr) return;
  const std::string file = std::string(kKernelFile);
  const std::string path = m_ptx_path + "/" + file;
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) text.clear();
  std::string log;
  m_context->make_current();
  if (text.empty()) {
    log = "cannot read " + path;
  } else {
    char buffer[8192] = {};
    int options[2] = {kJitErrorLogBuffer, kJitErrorLogBufferSize};
    void* values[2] = {buffer, reinterpret_cast<void*>(static_cast<uintptr_t>(sizeof(buffer)))};
    CUmodule module = nullptr;
    const CUresult rc =
        m_context->api().cuModuleLoadDataEx(&module, text.c_str(), 2, options, values);
    if (rc == 0) {
      m_module = module;
    } else {
      log = buffer[0] != '\0' ? std::string(buffer) : error_string(rc);
    }
  }
  if (m_module == nullptr) {
    std::cerr << "[Module " << file << "] " << log << "\n";
    throw std::runtime_error("Module create failed: " + file);
  }
  check(m_context->api().cuModuleGetFunction(&m_trace_closest, m_module, "tesk_trace_closest"),
        "kernel tesk_trace_closest");
  check(m_context->api().cuModuleGetFunction(&m_trace_occluded, m_module, "tesk_trace_occluded"),
        "kernel tesk_trace_occluded");
  check(m_context->api().cuEventCreate(&m_start, 0), "event create");
  check(m_context->api().cuEventCreate(&m_stop, 0), "event create");
}

void CudaSimulator::launch_(CUfunction kernel, int64_t count, void* params, const char* label) {
  const auto blocks = static_cast<unsigned>((count + kBlockSize - 1) / kBlockSize);
  void* args[] = {params};
  const DriverApi& a = m_context->api();
  check(a.cuEventRecord(m_start, m_context->stream()), label);
  check(a.cuLaunchKernel(kernel, blocks, 1, 1, kBlockSize, 1, 1, 0, m_context->stream(), args,
                         nullptr),
        label);
  check(a.cuEventRecord(m_stop, m_context->stream()), label);
}

void CudaSimulator::finish_launch_(const char* label) {
  m_context->synchronize(label);
  float ms = 0.0f;
  check(m_context->api().cuEventElapsedTime(&ms, m_start, m_stop), label);
  m_last_kernel_ms = ms;
}

void CudaSimulator::trace_closest(const CudaSceneManager& scene, const float* origins,
                                  const float* directions, int64_t count, float t_min, float t_max,
                                  bvh::TraceResult* results) {
  init();
  if (count <= 0) return;
  bvh::TraceBatchParams p;
  p.scene = scene.device_view();
  const size_t ray_bytes = static_cast<size_t>(count) * 3 * sizeof(float);
  m_rays.reserve(2 * ray_bytes, "upload rays");
  check(m_context->api().cuMemcpyHtoDAsync(m_rays.get(), origins, ray_bytes, m_context->stream()),
        "upload rays");
  check(m_context->api().cuMemcpyHtoDAsync(m_rays.get() + ray_bytes, directions, ray_bytes,
                                           m_context->stream()),
        "upload rays");
  m_results.reserve(static_cast<size_t>(count) * sizeof(bvh::TraceResult), "alloc hits");
  p.origins = m_rays.as<float>();
  p.directions = p.origins + 3 * count;
  p.results = m_results.as_mutable<bvh::TraceResult>();
  p.count = count;
  p.t_min = t_min;
  p.t_max = t_max;
  launch_(m_trace_closest, count, &p, "launch trace");
  finish_launch_("sync trace");
  m_results.download(results, static_cast<size_t>(count) * sizeof(bvh::TraceResult),
                     "download hits");
}

void CudaSimulator::trace_occluded(const CudaSceneManager& scene, const float* origins,
                                   const float* directions, int64_t count, float t_min, float t_max,
                                   int32_t* occluded) {
  init();
  if (count <= 0) return;
  bvh::TraceBatchParams p;
  p.scene = scene.device_view();
  const size_t ray_bytes = static_cast<size_t>(count) * 3 * sizeof(float);
  m_rays.reserve(2 * ray_bytes, "upload rays");
  check(m_context->api().cuMemcpyHtoDAsync(m_rays.get(), origins, ray_bytes, m_context->stream()),
        "upload rays");
  check(m_context->api().cuMemcpyHtoDAsync(m_rays.get() + ray_bytes, directions, ray_bytes,
                                           m_context->stream()),
        "upload rays");
  m_results.reserve(static_cast<size_t>(count) * sizeof(int32_t), "alloc occlusion");
  p.origins = m_rays.as<float>();
  p.directions = p.origins + 3 * count;
  p.occluded = m_results.as_mutable<int32_t>();
  p.count = count;
  p.t_min = t_min;
  p.t_max = t_max;
  launch_(m_trace_occluded, count, &p, "launch occlusion");
  finish_launch_("sync occlusion");
  m_results.download(occluded, static_cast<size_t>(count) * sizeof(int32_t), "download occlusion");
}

}  // namespace tesk::cuda
