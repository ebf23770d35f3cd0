#include "cuda/simulator.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "core/flux_grid.h"
#include "core/forward_field.h"
#include "core/host/allocation.h"
#include "core/host/log.h"
#include "core/host/parallel.h"
#include "core/host/transport_settings.h"
#include "core/leaf_rrt_path.h"
#include "core/lidar_pulse.h"
#include "core/microwave_path.h"
#include "core/trace_batch.h"
#include "embree/photon_path.h"
#include "embree/transport_context.h"

namespace tesk::cuda {
namespace {

constexpr unsigned kBlockSize = 128;
// Driver options of cuModuleLoadDataEx: the error log buffer and its size.
constexpr int kJitErrorLogBuffer = 5;
constexpr int kJitErrorLogBufferSize = 6;

}  // namespace

CudaSimulator::CudaSimulator(const CudaContext& context, std::string ptx_path)
    : m_context(&context),
      m_ptx_path(std::move(ptx_path)),
      m_rays(context),
      m_results(context),
      m_totals(context),
      m_block(context),
      m_flux(context),
      m_flux_media(context),
      m_fwd_in(context),
      m_fwd(context),
      m_lidar_in(context),
      m_lidar_out(context),
      m_rrt_in(context),
      m_rrt_out(context),
      m_eb_in(context),
      m_eb_out(context),
      m_mw_in(context),
      m_mw_out(context),
      m_phys_in(context),
      m_phys_out(context) {}

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
  check(m_context->api().cuModuleGetFunction(&m_backward, m_module, "tesk_backward"),
        "kernel tesk_backward");
  check(m_context->api().cuModuleGetFunction(&m_flux_kernel, m_module, "tesk_flux"),
        "kernel tesk_flux");
  check(m_context->api().cuModuleGetFunction(&m_energy_balance, m_module, "tesk_energy_balance"),
        "kernel tesk_energy_balance");
  check(m_context->api().cuModuleGetFunction(&m_forward, m_module, "tesk_forward"),
        "kernel tesk_forward");
  check(m_context->api().cuModuleGetFunction(&m_lidar, m_module, "tesk_lidar"),
        "kernel tesk_lidar");
  check(m_context->api().cuModuleGetFunction(&m_leaf_rrt, m_module, "tesk_leaf_rrt"),
        "kernel tesk_leaf_rrt");
  check(m_context->api().cuModuleGetFunction(&m_microwave, m_module, "tesk_microwave"),
        "kernel tesk_microwave");
  check(m_context->api().cuModuleGetFunction(&m_physiology, m_module, "tesk_physiology"),
        "kernel tesk_physiology");
  check(m_context->api().cuModuleGetFunction(&m_sif_process, m_module, "tesk_sif_process"),
        "kernel tesk_sif_process");
  check(m_context->api().cuModuleGetFunction(&m_photosynthesis_static, m_module,
                                             "tesk_photosynthesis_static"),
        "kernel tesk_photosynthesis_static");
  check(m_context->api().cuModuleGetFunction(&m_surface_balance, m_module, "tesk_surface_balance"),
        "kernel tesk_surface_balance");
  check(m_context->api().cuModuleGetFunction(&m_sif_assembly, m_module, "tesk_sif_assembly"),
        "kernel tesk_sif_assembly");
  check(m_context->api().cuModuleGetFunction(&m_photosynthesis_dynamic, m_module,
                                             "tesk_photosynthesis_dynamic"),
        "kernel tesk_photosynthesis_dynamic");
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

void check_device_scene(const embree::TransportContext& ctx, const char* operation, int max_bands,
                        int max_output_order, bool media) {
  if (ctx.has_media() && !media) {
    throw std::runtime_error(std::string(operation) +
                             ": the CUDA backend of this build has no device program for optical "
                             "turbid media. No fallback was performed.");
  }
  if (ctx.n_bands > max_bands || max_output_order > kMaxDeviceOrderSlots - 2) {
    throw std::runtime_error(std::string(operation) + ": the CUDA paths carry at most " +
                             std::to_string(max_bands) + " bands and max_output_order " +
                             std::to_string(kMaxDeviceOrderSlots - 2) +
                             ". No fallback was performed.");
  }
}

embree::OpticalImageResult CudaSimulator::simulate(CudaSceneManager& scene, int spp, int max_depth,
                                                   const ProgressCallback& progress,
                                                   const backend::OpticalProductRequest& request) {
  if (!scene.is_built() || !scene.is_uploaded()) {
    throw std::runtime_error("CUDA: build the scene before tracing rays");
  }
  if (request.scattering_order && request.max_output_order < 0) {
    throw std::invalid_argument("max_output_order must be non-negative");
  }
  max_depth = announced_max_depth(max_depth, "[CUDA bwd]");
  const embree::TransportContext ctx =
      embree::make_transport_context(scene, 0, max_depth, transport::kDefaultRouletteDepth);
  check_device_scene(ctx, "simulate", kMaxDeviceBands,
                     request.scattering_order ? request.max_output_order : 0);
  const int order_slots = request.scattering_order ? request.max_output_order + 2 : 0;
  init();
  const SensorData& sensor = scene.description().sensor();
  embree::OpticalImageResult result;
  result.width = std::max(sensor.width, 0);
  result.height = std::max(sensor.height, 0);
  result.n_bands = ctx.n_bands;
  result.threads = 1;
  result.order_slots = order_slots;
  result.execution = ExecutionIdentity{static_cast<uint8_t>(BackendCode::OptiX),
                                       static_cast<uint8_t>(WorkflowCode::OpticalBackward),
                                       kBackwardExecutor, true};
  const int passes = std::max(spp, 0);
  const int64_t pixels = static_cast<int64_t>(result.width) * result.height;
  const size_t n = static_cast<size_t>(pixels) * ctx.n_bands;
  const size_t slots = 1 + (request.standard_error ? 1 : 0) +
                       (request.event_aov ? kOpticalEventSlots : 0) + order_slots;
  log_info("Backward render (CUDA): %dx%d pixels, %d bands, spp=%d, max_depth=%d on %s",
           result.width, result.height, ctx.n_bands, passes, max_depth,
           m_context->device_name().c_str());

  BackwardImageParams p;
  p.ctx = scene.upload_path_context(ctx);
  p.scene = scene.device_view();
  p.sensor = sensor;
  p.width = result.width;
  p.height = result.height;
  p.order_slots = order_slots;
  p.want_squares = request.standard_error ? 1 : 0;
  p.want_events = request.event_aov ? 1 : 0;
  p.n_elements = static_cast<int64_t>(n);
  const size_t bytes = slots * n * sizeof(double);
  m_context->make_current();
  m_totals.zero(bytes, "alloc image");
  m_block.reserve(bytes, "alloc image");
  // Both buffers hold the products one after another, in the order of the slots above.
  auto carve = [&](const DeviceBuffer& buffer, double** radiance, double** squares, double** events,
                   double** orders) {
    double* at = buffer.as_mutable<double>();
    *radiance = at;
    at += n;
    if (request.standard_error) {
      *squares = at;
      at += n;
    }
    if (request.event_aov) {
      *events = at;
      at += kOpticalEventSlots * n;
    }
    if (order_slots > 0) *orders = at;
  };
  carve(m_totals, &p.radiance, &p.squares, &p.events, &p.orders);
  carve(m_block, &p.block_radiance, &p.block_squares, &p.block_events, &p.block_orders);

  const auto start = std::chrono::steady_clock::now();
  const int block_size = embree::pass_block_size(passes);
  for (int begin = 0; pixels > 0 && begin < passes; begin += block_size) {
    p.pass_begin = begin;
    p.pass_end = std::min(begin + block_size, passes);
    m_block.zero(bytes, "zero block");
    launch_(m_backward, pixels, &p, "launch backward");
    finish_launch_("sync backward");
    if (progress) progress(p.pass_end, passes, elapsed_ms(start));
  }
  std::vector<double> sums(slots * n);
  m_totals.download(sums.data(), bytes, "download image");
  std::vector<double> radiance, squares, events, orders;
  auto take = [&](std::vector<double>& out, size_t count, size_t& at) {
    out.assign(sums.begin() + static_cast<std::ptrdiff_t>(at),
               sums.begin() + static_cast<std::ptrdiff_t>(at + count));
    at += count;
  };
  size_t at = 0;
  take(radiance, n, at);
  if (request.standard_error) take(squares, n, at);
  if (request.event_aov) take(events, kOpticalEventSlots * n, at);
  if (order_slots > 0) take(orders, static_cast<size_t>(order_slots) * n, at);
  embree::image_means(passes, request, radiance, squares, events, orders, result);
  return result;
}

embree::FluxResult CudaSimulator::simulate_flux(CudaSceneManager& scene, int nx, int ny,
                                                int64_t num_photons, int num_bands, float prob_sun,
                                                int max_bounces, int max_depth, int rr_depth,
                                                const ProgressCallback& progress, bool decompose) {
  constexpr int kIntMax = 2147483647;
  if (nx <= 0 || ny <= 0 || num_bands < 1) {
    throw std::invalid_argument("flux grid dimensions and band count must be positive");
  }
  if (nx > kIntMax / ny || nx * ny > kIntMax / num_bands) {
    throw std::overflow_error("flux grid element count exceeds signed device index range");
  }
  if (num_photons < 1) throw std::invalid_argument("CUDA flux photon count must be positive");
  if (!(prob_sun >= 0.0f && prob_sun <= 1.0f)) {
    throw std::invalid_argument("prob_sun must be in [0, 1]");
  }
  max_depth = announced_max_depth(max_depth, "[CUDA flux]");
  float lx = 0.0f;
  float ly = 0.0f;
  embree::photon::grid_extent(scene, lx, ly);
  constexpr float kMinNormal = 1.1754944e-38f;
  if (!(std::isfinite(lx) && std::isfinite(ly) && lx >= kMinNormal && ly >= kMinNormal)) {
    throw std::invalid_argument("flux scene extent must be at least the minimum normalized float");
  }
  if (!scene.is_built() || !scene.is_uploaded()) {
    throw std::runtime_error("CUDA: build the scene before tracing rays");
  }
  embree::photon::PhotonContext ctx =
      embree::photon::make_photon_context(scene, num_bands, prob_sun, max_depth, rr_depth);
  check_device_scene(ctx, "simulate_flux", kMaxDeviceFluxBands, 0, true);
  init();
  ctx.extent_x = lx;
  ctx.extent_y = ly;
  ctx.power = static_cast<double>(lx) * static_cast<double>(ly) / static_cast<double>(num_photons);

  // Photons per launch, and threads per launch (each traces every n-th photon of its batch).
  constexpr int64_t kBatchPhotons = int64_t{1} << 22;
  constexpr int64_t kMaxThreads = int64_t{1} << 18;
  const int64_t batches = (num_photons + kBatchPhotons - 1) / kBatchPhotons;
  std::printf("Forward flux (CUDA): %lld photons, %lld batches, grid %dx%d, %d bands\n",
              static_cast<long long>(num_photons), static_cast<long long>(batches), nx, ny,
              num_bands);
  std::fflush(stdout);

  FluxLaunchParams p;
  p.ctx = scene.upload_path_context(ctx);
  p.source = embree::photon::photon_source(ctx);
  p.scene = scene.device_view();
  p.grid = FluxGrid{nx, ny, lx, ly, max_bounces, decompose};
  const size_t cells = static_cast<size_t>(nx) * ny * num_bands;
  const size_t n_slots = decompose ? 4 : 2;
  const size_t nb = static_cast<size_t>(num_bands);
  // Leaf media: their records, the medium of each material, the leaf model of each medium (its
  // optics pointing into the device copy of the spectral buffer) and the first primitive of
  // each instance, in one buffer; their absorption slots follow the grid sums.
  const bool media = ctx.has_media();
  const std::vector<int> offsets = media ? scene.instance_primitive_offsets() : std::vector<int>{};
  const int32_t n_primitives = offsets.empty() ? 0 : offsets.back();
  size_t media_sizes[kFluxMediaSlots] = {};
  if (media) {
    const size_t n_media = ctx.leaf_models.size();
    const size_t sizes[kFluxMediaSlots] = {cells, cells, cells, n_primitives * nb,
                                           nb,    nb,    nb,    n_media * nb};
    std::copy(sizes, sizes + kFluxMediaSlots, media_sizes);
    std::vector<MediumLeafModel> models = ctx.leaf_models;
    const float* host_spectral = ctx.spectral.data;
    const float* device_spectral = p.ctx.spectral.data;
    auto rebase = [&](const float* q) {
      return q == nullptr ? q : device_spectral + (q - host_spectral);
    };
    for (MediumLeafModel& m : models) {
      m.optics.front = rebase(m.optics.front);
      m.optics.back = rebase(m.optics.back);
      m.optics.transmittance = rebase(m.optics.transmittance);
    }
    const size_t media_bytes = n_media * sizeof(OpticalMediumRecord);
    const size_t ids_at = media_bytes;
    const size_t ids_bytes = static_cast<size_t>(ctx.media.n_material_ids) * sizeof(int32_t);
    const size_t models_at = (ids_at + ids_bytes + 15) / 16 * 16;
    const size_t offsets_at = models_at + n_media * sizeof(MediumLeafModel);
    std::vector<unsigned char> packed(offsets_at + offsets.size() * sizeof(int32_t));
    std::memcpy(packed.data(), ctx.media.media, media_bytes);
    if (ids_bytes > 0)
      std::memcpy(packed.data() + ids_at, ctx.media.material_medium_ids, ids_bytes);
    std::memcpy(packed.data() + models_at, models.data(), n_media * sizeof(MediumLeafModel));
    if (!offsets.empty()) {
      std::memcpy(packed.data() + offsets_at, offsets.data(), offsets.size() * sizeof(int32_t));
    }
    m_context->make_current();
    m_flux_media.upload(packed.data(), packed.size(), "flux media upload");
    const unsigned char* base = m_flux_media.as<unsigned char>();
    FluxMediaParams& m = p.media;
    m.media.media = reinterpret_cast<const OpticalMediumRecord*>(base);
    m.media.n_media = static_cast<int32_t>(n_media);
    m.media.material_medium_ids = reinterpret_cast<const int32_t*>(base + ids_at);
    m.media.n_material_ids = ctx.media.n_material_ids;
    m.bounds = ctx.bounds;
    m.leaf_models = reinterpret_cast<const MediumLeafModel*>(base + models_at);
    m.n_leaf_models = static_cast<int32_t>(n_media);
    m.primitive_offsets = reinterpret_cast<const int32_t*>(base + offsets_at);
    m.n_offsets = static_cast<int32_t>(offsets.size());
    m.n_primitives = n_primitives;
  }
  size_t media_doubles = 0;
  for (size_t k : media_sizes) media_doubles += k;
  const size_t doubles = n_slots * cells + 2 * nb + media_doubles;
  const size_t bytes = doubles * sizeof(double) + sizeof(unsigned long long);
  m_context->make_current();
  m_flux.zero(bytes, "alloc flux");
  double* at = m_flux.as_mutable<double>();
  for (size_t k = 0; k < n_slots; ++k) p.slots[k] = at + k * cells;
  p.removed = at + n_slots * cells;
  p.roulette = p.removed + nb;
  size_t media_at = n_slots * cells + 2 * nb;
  if (media) {
    for (int k = 0; k < kFluxMediaSlots; ++k) {
      p.media.slots[k] = at + media_at;
      media_at += media_sizes[k];
    }
  }
  p.rays = reinterpret_cast<unsigned long long*>(at + doubles);

  const auto start = std::chrono::steady_clock::now();
  for (int64_t begin = 0; begin < num_photons; begin += kBatchPhotons) {
    p.photon_begin = begin;
    p.photon_end = std::min(num_photons, begin + kBatchPhotons);
    p.n_threads = std::min(kMaxThreads, p.photon_end - begin);
    launch_(m_flux_kernel, p.n_threads, &p, "launch flux");
    finish_launch_("sync flux");
    if (progress) progress(p.photon_end, num_photons, elapsed_ms(start));
  }
  std::vector<double> sums(doubles + 1);
  m_flux.download(sums.data(), bytes, "download flux");

  embree::FluxResult r;
  auto to_float = [&](size_t offset, size_t count) {
    std::vector<float> out(count);
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<float>(sums[offset + i]);
    return out;
  };
  r.downwelling = to_float(0, cells);
  r.upwelling = to_float(cells, cells);
  if (decompose) {
    r.downwelling_direct = to_float(2 * cells, cells);
    r.downwelling_diffuse = to_float(3 * cells, cells);
  }
  r.removed = to_float(n_slots * cells, nb);
  r.roulette = to_float(n_slots * cells + nb, nb);
  if (media) {
    std::vector<float>* media_out[kFluxMediaSlots] = {&r.grid,     &r.grid_direct, &r.grid_diffuse,
                                                      &r.leaf,     &r.terrain,     &r.escaped,
                                                      &r.incident, &r.medium};
    size_t from = n_slots * cells + 2 * nb;
    for (int k = 0; k < kFluxMediaSlots; ++k) {
      *media_out[k] = to_float(from, media_sizes[k]);
      from += media_sizes[k];
    }
  }
  unsigned long long rays = 0;
  std::memcpy(&rays, sums.data() + doubles, sizeof(rays));
  r.rays.closest = static_cast<int64_t>(rays);
  r.nx = nx;
  r.ny = ny;
  r.n_bands = num_bands;
  r.threads = 1;
  r.execution =
      ExecutionIdentity{static_cast<uint8_t>(BackendCode::OptiX),
                        static_cast<uint8_t>(WorkflowCode::OpticalFlux), kFluxExecutor, true};
  return r;
}

embree::ForwardFieldResult CudaSimulator::simulate_forward(
    CudaSceneManager& scene, int nx, int ny, const std::vector<float>& layer_heights,
    int64_t num_photons, int num_bands, bool per_leaf, const std::vector<float>& brf_directions,
    int num_brf_dirs, float prob_sun, int max_depth, int rr_depth, int terrain_instance_id,
    bool track_incident, bool decompose, const ProgressCallback& progress) {
  max_depth = announced_max_depth(max_depth, "[CUDA fwd]");
  const int nl = embree::check_forward_arguments(nx, ny, layer_heights, num_photons, num_bands,
                                                 prob_sun, brf_directions, num_brf_dirs);
  if (!scene.is_built() || !scene.is_uploaded()) {
    throw std::runtime_error("CUDA: build the scene before tracing rays");
  }
  float lx = 0.0f;
  float ly = 0.0f;
  embree::photon::grid_extent(scene, lx, ly);
  embree::photon::PhotonContext ctx =
      embree::photon::make_photon_context(scene, num_bands, prob_sun, max_depth, rr_depth);
  check_device_scene(ctx, "simulate_forward", kMaxDeviceFluxBands, 0);
  init();
  ctx.extent_x = lx;
  ctx.extent_y = ly;
  ctx.power = static_cast<double>(lx) * static_cast<double>(ly) / static_cast<double>(num_photons);

  // Inputs in one upload: layer heights, views (3 floats each), primitive offsets (as floats'
  // bit patterns, one int each).
  const std::vector<float3> views = embree::forward_views(brf_directions, num_brf_dirs);
  const std::vector<int> offsets = scene.instance_primitive_offsets();
  const int64_t n_primitives = offsets.empty() ? 0 : offsets.back();
  std::vector<float> in(layer_heights);
  for (const float3& v : views) in.insert(in.end(), {v.x, v.y, v.z});
  const size_t offsets_at = in.size();
  in.resize(offsets_at + offsets.size());
  std::memcpy(in.data() + offsets_at, offsets.data(), offsets.size() * sizeof(int));
  m_context->make_current();
  m_fwd_in.upload(in, "upload fwd");
  const float* base = m_fwd_in.as<float>();

  ForwardLaunchParams p;
  ForwardField& f = p.field;
  f.nx = nx;
  f.ny = ny;
  f.n_layers = nl;
  f.dx = lx / static_cast<float>(nx);
  f.dy = ly / static_cast<float>(ny);
  f.heights = base;
  f.terrain = terrain_instance_id;
  f.split = decompose;
  f.totals = track_incident;
  f.views = reinterpret_cast<const float3*>(base + layer_heights.size());
  f.n_views = static_cast<int>(views.size());
  f.offsets = reinterpret_cast<const int*>(base + offsets_at);
  f.n_offsets = per_leaf ? static_cast<int>(offsets.size()) : 0;
  const std::array<size_t, kForwardSlots> sizes =
      embree::forward_slot_sizes(f, num_bands, n_primitives);
  embree::photon::check_tally_memory(sizes, {}, "forward field tallies");

  constexpr int64_t kBatchPhotons = int64_t{1} << 22;
  constexpr int64_t kMaxThreads = int64_t{1} << 18;
  const int64_t batches = (num_photons + kBatchPhotons - 1) / kBatchPhotons;
  std::printf("Forward fPAR (CUDA): %lld photons, %lld batches, grid %dx%dx%d, %d bands\n",
              static_cast<long long>(num_photons), static_cast<long long>(batches), nx, ny, nl,
              num_bands);
  std::fflush(stdout);

  // Tallies, then removed and roulette (n_bands each), then the two query counters.
  const auto nb = static_cast<size_t>(num_bands);
  size_t doubles = 0;
  for (size_t n : sizes) doubles += n;
  const size_t tallies = doubles;
  doubles += 2 * nb;
  const size_t bytes = doubles * sizeof(double) + 2 * sizeof(unsigned long long);
  m_fwd.zero(bytes, "alloc fwd");
  double* at = m_fwd.as_mutable<double>();
  for (int k = 0; k < kForwardSlots; ++k) {
    p.slots[k] = sizes[static_cast<size_t>(k)] > 0 ? at : nullptr;
    at += sizes[static_cast<size_t>(k)];
  }
  p.removed = at;
  p.roulette = at + nb;
  p.rays = reinterpret_cast<unsigned long long*>(at + 2 * nb);
  p.ctx = scene.upload_path_context(ctx);
  p.source = embree::photon::photon_source(ctx);
  p.scene = scene.device_view();

  const auto start = std::chrono::steady_clock::now();
  for (int64_t begin = 0; begin < num_photons; begin += kBatchPhotons) {
    p.photon_begin = begin;
    p.photon_end = std::min(num_photons, begin + kBatchPhotons);
    p.n_threads = std::min(kMaxThreads, p.photon_end - begin);
    launch_(m_forward, p.n_threads, &p, "launch fwd");
    finish_launch_("sync fwd");
    if (progress) progress(p.photon_end, num_photons, elapsed_ms(start));
  }
  std::vector<double> sums(doubles + 2);  // the two query counters fill the last two
  m_fwd.download(sums.data(), bytes, "download fwd");

  embree::ForwardFieldResult r;
  std::array<std::vector<float>, kForwardSlots> slots;
  size_t offset = 0;
  for (int k = 0; k < kForwardSlots; ++k) {
    const size_t n = sizes[static_cast<size_t>(k)];
    slots[static_cast<size_t>(k)].assign(sums.begin() + static_cast<std::ptrdiff_t>(offset),
                                         sums.begin() + static_cast<std::ptrdiff_t>(offset + n));
    offset += n;
  }
  r.grid = std::move(slots[kForwardGrid]);
  r.terrain = std::move(slots[kForwardTerrain]);
  r.brf = std::move(slots[kForwardBrf]);
  r.albedo = std::move(slots[kForwardAlbedo]);
  r.escaped = std::move(slots[kForwardEscaped]);
  r.incident = std::move(slots[kForwardIncident]);
  r.grid_direct = std::move(slots[kForwardGridDirect]);
  r.grid_diffuse = std::move(slots[kForwardGridDiffuse]);
  r.leaf = std::move(slots[kForwardLeaf]);
  r.removed.assign(sums.begin() + static_cast<std::ptrdiff_t>(tallies),
                   sums.begin() + static_cast<std::ptrdiff_t>(tallies + nb));
  r.roulette.assign(sums.begin() + static_cast<std::ptrdiff_t>(tallies + nb),
                    sums.begin() + static_cast<std::ptrdiff_t>(tallies + 2 * nb));
  unsigned long long rays[2] = {0, 0};
  std::memcpy(rays, sums.data() + tallies + 2 * nb, sizeof(rays));
  r.rays.closest = static_cast<int64_t>(rays[0]);
  r.rays.shadow = static_cast<int64_t>(rays[1]);
  r.nx = nx;
  r.ny = ny;
  r.n_layers = nl;
  r.n_bands = num_bands;
  r.n_directions = num_brf_dirs;
  r.threads = 1;
  const bool brf = !views.empty();
  r.execution = ExecutionIdentity{
      static_cast<uint8_t>(BackendCode::OptiX),
      static_cast<uint8_t>(brf ? WorkflowCode::OpticalBrf : WorkflowCode::OpticalForward),
      brf ? kForwardBrfExecutor : kForwardExecutor, true};
  return r;
}

embree::LidarResult CudaSimulator::simulate_lidar(CudaSceneManager& scene,
                                                  const embree::LidarRequest& request,
                                                  const ProgressCallback& progress,
                                                  const InterruptCheck& interrupt) {
  const SceneDescription& desc = scene.description();
  const embree::LidarPlan plan = embree::plan_lidar(request, desc.num_bands());
  if (!scene.is_built() || !scene.is_uploaded()) {
    throw std::runtime_error("CUDA: build the scene before tracing rays");
  }
  // The LiDAR sees the scene as placed: tile walls are not crossed.
  embree::TransportContext ctx = embree::make_transport_context(scene, 0, 0, 0);
  ctx.tiles.periodic = false;
  check_device_scene(ctx, "simulate_lidar", desc.num_bands(), 0);
  init();
  const auto start_time = std::chrono::steady_clock::now();
  const bool direct = request.direct_mode;
  const int64_t P = std::max<int64_t>(request.num_pulses, 0);
  const lidar::RangeGate& g = plan.gate;
  const size_t per_pulse = static_cast<size_t>(g.n_bins) * g.n_wavelengths;
  // Pulses per launch: at most 32 MiB of raw waveform (and 2^20 pulses).
  constexpr double kLaunchRawBytes = 32.0 * 1024 * 1024;
  constexpr int64_t kLaunchPulses = int64_t{1} << 20;
  const int64_t chunk = std::min(
      std::max<int64_t>(P, 1),
      direct ? kLaunchPulses
             : std::clamp<int64_t>(
                   static_cast<int64_t>(kLaunchRawBytes / (static_cast<double>(per_pulse) * 8.0)),
                   1, kLaunchPulses));
  const double raw_bytes = direct ? 0.0 : static_cast<double>(chunk * per_pulse) * 8.0;
  embree::LidarResult result = embree::start_lidar_result(
      plan, request,
      ExecutionIdentity{static_cast<uint8_t>(BackendCode::OptiX),
                        static_cast<uint8_t>(direct ? WorkflowCode::LidarPointCloud
                                                    : WorkflowCode::LidarWaveform),
                        direct ? kLidarPointCloudExecutor : kLidarWaveformExecutor, true},
      2.0 * raw_bytes);
  result.threads = 1;
  std::printf("LiDAR (CUDA): %lld pulses, %d beam samples, %s mode, %s\n",
              static_cast<long long>(P), result.beam_samples, direct ? "direct" : "waveform",
              m_context->device_name().c_str());
  std::fflush(stdout);
  if (P == 0) {
    if (progress) progress(0, 0, elapsed_ms(start_time));
    return result;
  }

  // Inputs in one upload: the footprint (16 bytes a point), then origins and unit directions
  // (normalised as the CPU does), 6 floats per pulse.
  std::vector<lidar::FootprintPoint> footprint;
  for (const embree::LidarFootprintSample& f : plan.footprint) {
    footprint.push_back(lidar::FootprintPoint{f.x, f.y, f.weight});
  }
  const size_t footprint_bytes = footprint.size() * sizeof(lidar::FootprintPoint);
  std::vector<float> in(footprint_bytes / sizeof(float) + 6 * static_cast<size_t>(P));
  std::memcpy(in.data(), footprint.data(), footprint_bytes);
  float* pulses = in.data() + footprint_bytes / sizeof(float);
  embree::write_pulse_rows(request, P, pulses);
  m_context->make_current();
  m_lidar_in.upload(in, "upload lidar");

  lidar::LidarLaunchParams p;
  p.ctx = scene.upload_path_context(ctx);
  p.scene = scene.device_view();
  p.gate = g;
  p.footprint = reinterpret_cast<const lidar::FootprintPoint*>(m_lidar_in.as<float>());
  p.n_footprint = static_cast<int32_t>(footprint.size());
  p.direct = direct ? 1 : 0;
  p.tan_half_angle = plan.tan_half_angle;
  p.pulse_energy = request.pulse_energy;
  p.sensor_area = request.sensor_area;
  // Outputs of one launch: raw waveforms then extents (waveform mode), or direct records.
  const size_t raw_values = direct ? 0 : static_cast<size_t>(chunk) * per_pulse;
  const size_t out_bytes =
      direct ? static_cast<size_t>(chunk) * lidar::kDirectRecordFields * sizeof(float)
             : raw_values * sizeof(double) + 2 * static_cast<size_t>(chunk) * sizeof(int32_t);
  m_lidar_out.reserve(out_bytes, "alloc lidar");

  std::vector<double> raw_host(raw_values);
  std::vector<int32_t> extents_host(direct ? 0 : 2 * static_cast<size_t>(chunk));
  std::vector<float> records_host(direct ? static_cast<size_t>(chunk) * lidar::kDirectRecordFields
                                         : 0);
  std::optional<embree::LidarPulseWaveform> wave;
  if (!direct) wave.emplace(plan, request);
  for (int64_t first = 0; first < P; first += chunk) {
    if (interrupt) interrupt();
    const int64_t count = std::min(chunk, P - first);
    p.pulses = m_lidar_in.as<float>() + footprint_bytes / sizeof(float) + 6 * first;
    p.n_pulses = count;
    if (direct) {
      p.records = m_lidar_out.as_mutable<float>();
    } else {
      p.raw = m_lidar_out.as_mutable<double>();
      p.extents = reinterpret_cast<int32_t*>(p.raw + static_cast<size_t>(count) * per_pulse);
      m_lidar_out.zero(static_cast<size_t>(count) * per_pulse * sizeof(double), "zero lidar");
    }
    launch_(m_lidar, count, &p, "launch lidar");
    finish_launch_("sync lidar");
    if (direct) {
      m_lidar_out.download(records_host.data(),
                           static_cast<size_t>(count) * lidar::kDirectRecordFields * sizeof(float),
                           "download lidar");
    } else {
      // Raw waveforms and extents of the launch, in one copy.
      const size_t raw_used = static_cast<size_t>(count) * per_pulse * sizeof(double);
      std::vector<unsigned char> host(raw_used + 2 * static_cast<size_t>(count) * sizeof(int32_t));
      m_lidar_out.download(host.data(), host.size(), "download lidar");
      std::memcpy(raw_host.data(), host.data(), raw_used);
      std::memcpy(extents_host.data(), host.data() + raw_used,
                  2 * static_cast<size_t>(count) * sizeof(int32_t));
    }
    embree::finish_device_pulses(plan, first, count, records_host.data(), raw_host.data(),
                                 extents_host.data(), wave ? &*wave : nullptr, result);
    if (progress) progress(first + count, P, elapsed_ms(start_time));
  }
  result.num_returns = static_cast<int64_t>(result.points.size() / embree::kLidarPointFields);
  result.rays = direct ? P : P * static_cast<int64_t>(plan.footprint.size());
  return result;
}

embree::TurbidLeafRRTResult CudaSimulator::run_turbid_leaf_rrt(
    CudaSceneManager& scene, const embree::TurbidLeafRRTParams& params,
    const ProgressCallback& progress, const InterruptCheck& interrupt) {
  embree::TurbidLeafRRTResult r;
  r.execution = ExecutionIdentity{static_cast<uint8_t>(BackendCode::OptiX),
                                  static_cast<uint8_t>(WorkflowCode::RadiationFieldProcess),
                                  kLeafRrtExecutor, true};
  r.threads = 1;
  const int64_t n = embree::validate_turbid_leaf_rrt(scene, params);
  if (n == 0) return r;
  if (!scene.is_built() || !scene.is_uploaded()) {
    throw std::runtime_error("CUDA: build the scene before tracing rays");
  }
  embree::TransportContext ctx =
      embree::make_transport_context(scene, params.n_bands, params.max_depth, params.max_depth);
  ctx.shading_normals = false;
  check_device_scene(ctx, "run_turbid_leaf_rrt", kMaxDeviceLeafRrtBands, 0);
  init();
  const int64_t nb = params.n_bands;
  check_allocation(static_cast<double>(n) * (4 * nb + 1) * 2.0 * sizeof(float),
                   "turbid leaf RRT results");
  std::printf(
      "Turbid leaf RRT (CUDA): %lld samples, %d bands, %d rays per side, max_depth=%d, %s\n",
      static_cast<long long>(n), params.n_bands, params.rays_per_sample, params.max_depth,
      params.thermal_mode ? "thermal" : "shortwave");
  std::fflush(stdout);

  // Every input array in one upload (floats), its device address put in place of the host one.
  LeafRrtLaunchParams p;
  p.in = embree::leaf_rrt_inputs(scene, params);
  std::vector<float> in;
  std::vector<std::pair<const float**, size_t>> moved;
  auto stage = [&](const float*& ptr, int64_t count) {
    if (ptr == nullptr) return;
    moved.emplace_back(&ptr, in.size());
    in.insert(in.end(), ptr, ptr + count);
  };
  const int64_t n_instances = scene.num_instances();
  stage(p.in.positions, 3 * n);
  stage(p.in.normals, 3 * n);
  stage(p.in.sun_irradiance, nb);
  stage(p.in.sky_diffuse, nb);
  stage(p.in.sky_table.data, p.in.sky_table.size);
  stage(p.in.instance_lw, n_instances);
  stage(p.in.instance_emissivity, n_instances);
  stage(p.in.primitive_emissivities, p.in.n_primitive_emissivities);
  m_context->make_current();
  m_rrt_in.upload(in, "upload rrt");
  for (const auto& [ptr, offset] : moved) *ptr = m_rrt_in.as<float>() + offset;

  // Outputs: total top, total bottom, direct top, direct bottom ([n_bands][n] each), p_sun [n],
  // then the query count.
  const size_t values = static_cast<size_t>((4 * nb + 1) * n);
  const size_t bytes = values * sizeof(float) + sizeof(unsigned long long) + 4;
  m_rrt_out.zero(bytes, "alloc rrt");
  float* out = m_rrt_out.as_mutable<float>();
  const auto block = static_cast<size_t>(nb * n);
  p.out = LeafRrtOutputs{n, out, out + block, out + 2 * block, out + 3 * block, out + 4 * block};
  // The counter after the floats, on an 8-byte boundary.
  const size_t counter_at = (values * sizeof(float) + 7) / 8 * 8;
  p.rays =
      reinterpret_cast<unsigned long long*>(reinterpret_cast<unsigned char*>(out) + counter_at);
  p.ctx = scene.upload_path_context(ctx);
  p.scene = scene.device_view();

  constexpr int64_t kLaunchRays = int64_t{1} << 22;
  const int64_t per_launch =
      std::max<int64_t>(1, kLaunchRays / (2 * static_cast<int64_t>(params.rays_per_sample)));
  const auto start = std::chrono::steady_clock::now();
  for (int64_t begin = 0; begin < n; begin += per_launch) {
    if (interrupt) interrupt();
    p.sample_begin = begin;
    p.sample_end = std::min(n, begin + per_launch);
    launch_(m_leaf_rrt, p.sample_end - begin, &p, "launch rrt");
    finish_launch_("sync rrt");
    if (progress) progress(p.sample_end, n, elapsed_ms(start));
  }
  std::vector<unsigned char> host(counter_at + sizeof(unsigned long long));
  m_rrt_out.download(host.data(), host.size(), "download rrt");
  auto take = [&](size_t k, size_t count) {
    std::vector<float> v(count);
    std::memcpy(v.data(), host.data() + k * block * sizeof(float), count * sizeof(float));
    return v;
  };
  r.total_top = take(0, block);
  r.total_bottom = take(1, block);
  r.direct_top = take(2, block);
  r.direct_bottom = take(3, block);
  r.p_sun = take(4, static_cast<size_t>(n));
  unsigned long long rays = 0;
  std::memcpy(&rays, host.data() + counter_at, sizeof(rays));
  r.rays = static_cast<int64_t>(rays);
  return r;
}

void CudaSimulator::energy_balance_(CudaSceneManager& scene, EnergyBalanceParams p,
                                    const embree::TransportContext& ctx,
                                    const ProgressCallback& progress, std::vector<float>& top,
                                    std::vector<float>& bot, std::vector<float>& sunlit,
                                    EnergyBalanceRayCounts& rays) {
  if (!scene.is_uploaded()) throw std::runtime_error("CUDA: build the scene before tracing rays");
  init();
  const int64_t n = p.n_primitives;
  const int64_t nb = p.n_bands > 0 ? p.n_bands : 1;
  // Every input array in one upload, in float units: geometry first, then each present array.
  const std::vector<FaceTriangle> triangles = embree::face_triangles(scene);
  std::vector<float> in(triangles.size() * (sizeof(FaceTriangle) / sizeof(float)));
  std::memcpy(in.data(), triangles.data(), triangles.size() * sizeof(FaceTriangle));
  std::vector<std::pair<const float**, size_t>> moved;
  auto stage = [&](const float*& ptr, int64_t count) {
    if (ptr == nullptr) return;
    moved.emplace_back(&ptr, in.size());
    in.insert(in.end(), ptr, ptr + count);
  };
  stage(p.temperatures, p.n_temperatures);
  stage(p.emissivities, p.n_emissivities);
  stage(p.albedos, n);
  stage(p.sun_irradiance, nb);
  stage(p.sky_diffuse, nb);
  stage(p.sky_table, p.sky_table_size);
  stage(p.optics.albedo, nb * n);
  stage(p.optics.reflectance, nb * n);
  stage(p.optics.back_reflectance, nb * n);
  stage(p.optics.transmittance, nb * n);
  m_context->make_current();
  p.ctx = scene.upload_path_context(ctx);
  p.scene = scene.device_view();
  m_eb_in.upload(in, "energy balance upload");
  const float* base = m_eb_in.as<float>();
  p.triangles = reinterpret_cast<const FaceTriangle*>(base);
  for (const auto& [ptr, offset] : moved) *ptr = base + offset;

  // Outputs: the two query counters, then top, bot and sunlit (floats).
  const size_t n_top = top.size(), n_bot = bot.size(), n_sunlit = sunlit.size();
  const size_t bytes = 2 * sizeof(unsigned long long) + (n_top + n_bot + n_sunlit) * sizeof(float);
  m_eb_out.zero(bytes, "alloc energy balance");
  p.rays = m_eb_out.as_mutable<unsigned long long>();
  p.top = reinterpret_cast<float*>(p.rays + 2);
  p.bot = n_bot > 0 ? p.top + n_top : nullptr;
  p.sunlit = n_sunlit > 0 ? p.top + n_top + n_bot : nullptr;

  // Primitives per launch: about 2^24 face samples, so that progress moves on large scenes.
  constexpr int64_t kBatchSamples = int64_t{1} << 24;
  const int64_t per_launch =
      std::max<int64_t>(1, kBatchSamples / (static_cast<int64_t>(p.n_samples) * p.faces));
  const auto start = std::chrono::steady_clock::now();
  for (int64_t begin = 0; begin < n; begin += per_launch) {
    p.primitive_begin = begin;
    p.primitive_end = std::min(n, begin + per_launch);
    launch_(m_energy_balance, p.primitive_end - begin, &p, "launch energy balance");
    finish_launch_("sync energy balance");
    if (progress) progress(p.primitive_end, n, elapsed_ms(start));
  }
  std::vector<unsigned char> host(bytes);
  m_eb_out.download(host.data(), bytes, "download energy balance");
  unsigned long long counts[2];
  std::memcpy(counts, host.data(), sizeof(counts));
  rays.closest = static_cast<int64_t>(counts[0]);
  rays.shadow = static_cast<int64_t>(counts[1]);
  const unsigned char* at = host.data() + sizeof(counts);
  std::memcpy(top.data(), at, n_top * sizeof(float));
  if (n_bot > 0) std::memcpy(bot.data(), at + n_top * sizeof(float), n_bot * sizeof(float));
  if (n_sunlit > 0) {
    std::memcpy(sunlit.data(), at + (n_top + n_bot) * sizeof(float), n_sunlit * sizeof(float));
  }
}

embree::EnergyBalanceResult CudaSimulator::run_energy_balance(
    CudaSceneManager& scene, int n_samples, int band_type, const float* sun_irradiance,
    const float* sky_diffuse_radiance, float sky_lw_radiance, float3 sun_dir, bool two_sided,
    std::span<const float> sw_albedos, const ProgressCallback& progress) {
  const EnergyBalanceParams p = embree::energy_balance_params(
      scene, n_samples, band_type, sun_irradiance, sky_diffuse_radiance, sky_lw_radiance, sun_dir,
      two_sided, sw_albedos);
  embree::EnergyBalanceResult r;
  r.execution = ExecutionIdentity{static_cast<uint8_t>(BackendCode::OptiX),
                                  static_cast<uint8_t>(WorkflowCode::RadiationFieldProcess),
                                  kEnergyBalanceExecutor, true};
  r.threads = 1;
  if (p.n_primitives == 0) return r;
  const embree::TransportContext ctx = embree::energy_balance_context(scene);
  r.top.assign(static_cast<size_t>(p.n_primitives), 0.0f);
  if (two_sided) r.bot.assign(static_cast<size_t>(p.n_primitives), 0.0f);
  std::vector<float> no_sunlit;
  std::printf("Energy balance (CUDA): %lld primitives, %s, %d samples per face, %s\n",
              static_cast<long long>(p.n_primitives), p.longwave ? "longwave" : "shortwave",
              n_samples, two_sided ? "two-sided" : "top faces");
  std::fflush(stdout);
  energy_balance_(scene, p, ctx, progress, r.top, r.bot, no_sunlit, r.rays);
  return r;
}

embree::EnergyBalanceMultibandResult CudaSimulator::run_energy_balance_multiband(
    CudaSceneManager& scene, int n_bands, int n_samples, int max_depth,
    std::span<const float> sun_irradiance, std::span<const float> sky_diffuse_radiance,
    std::span<const float> sky_directional_table, float3 sun_dir, bool two_sided,
    std::span<const float> sw_albedos, std::span<const float> sw_reflectance,
    std::span<const float> sw_back_reflectance, std::span<const float> sw_transmittance,
    const ProgressCallback& progress) {
  embree::EnergyBalanceMultibandResult r;
  r.execution = ExecutionIdentity{static_cast<uint8_t>(BackendCode::OptiX),
                                  static_cast<uint8_t>(WorkflowCode::RadiationFieldProcess),
                                  kEnergyBalanceMultibandExecutor, true};
  r.threads = 1;
  if (n_bands < 1) return r;
  const EnergyBalanceParams p = embree::energy_balance_multiband_params(
      scene, n_bands, n_samples, max_depth, sun_irradiance, sky_diffuse_radiance,
      sky_directional_table, sun_dir, two_sided, sw_albedos, sw_reflectance, sw_back_reflectance,
      sw_transmittance);
  if (n_bands > kMaxDeviceEnergyBalanceBands) {
    throw std::runtime_error(
        "run_energy_balance_multiband: the CUDA energy balance carries at most " +
        std::to_string(kMaxDeviceEnergyBalanceBands) + " bands. No fallback was performed.");
  }
  r.n_bands = n_bands;
  const int64_t n = p.n_primitives;
  if (n == 0) return r;
  const embree::TransportContext ctx = embree::energy_balance_context(scene);
  r.top.assign(static_cast<size_t>(n_bands * n), 0.0f);
  if (two_sided) r.bot.assign(static_cast<size_t>(n_bands * n), 0.0f);
  r.sunlit_fraction.assign(static_cast<size_t>(n), 0.0f);
  std::printf(
      "Energy balance multiband (CUDA): %lld primitives, %d bands, %d samples per face, "
      "max_depth=%d, %s\n",
      static_cast<long long>(n), n_bands, n_samples, max_depth,
      two_sided ? "two-sided" : "top faces");
  std::fflush(stdout);
  energy_balance_(scene, p, ctx, progress, r.top, r.bot, r.sunlit_fraction, r.rays);
  return r;
}

std::vector<float> CudaSimulator::simulate_microwave(CudaSceneManager& scene,
                                                     const microwave::MicrowaveTableSet& tables,
                                                     int spp, int n_channels,
                                                     const ProgressCallback& progress,
                                                     const InterruptCheck& interrupt) {
  const char* operation = tables.header.active ? "simulate_active_microwave" : "simulate_microwave";
  if (!scene.is_built() || !scene.is_uploaded()) {
    throw std::runtime_error("CUDA: build the scene before tracing rays");
  }
  const embree::TransportContext ctx = embree::make_transport_context(scene, 0, 0, 0);
  check_device_scene(ctx, operation, ctx.n_bands, 0);
  init();
  const SensorData& sensor = scene.description().sensor();
  const int64_t width = std::max(sensor.width, 0), height = std::max(sensor.height, 0);
  const int64_t n = width * height;
  std::vector<float> image(static_cast<size_t>(n * n_channels), 0.0f);
  if (n == 0 || spp < 1) return image;
  check_allocation(static_cast<double>(image.size()) * sizeof(float), "microwave image");

  // Every table in one upload (4-byte words), its device address put in place of the host one.
  microwave::MicrowaveLaunchParams p;
  p.image.tables = tables.view();
  std::vector<float> in;
  std::vector<std::pair<const float**, size_t>> moved;
  auto stage = [&](const float*& ptr, const std::vector<float>& v) {
    if (ptr == nullptr) return;
    moved.emplace_back(&ptr, in.size());
    in.insert(in.end(), v.begin(), v.end());
  };
  microwave::MicrowaveTables& t = p.image.tables;
  stage(t.passive_soil, tables.passive_soil);
  stage(t.active_soil, tables.active_soil);
  stage(t.smooth_soil, tables.smooth_soil);
  stage(t.vegetation, tables.vegetation);
  stage(t.trunk_response, tables.trunk_response);
  stage(t.trunk_active, tables.trunk_active);
  stage(t.mueller, tables.mueller);
  stage(t.cosine_cdf, tables.cosine_cdf);
  stage(t.azimuth_cdf, tables.azimuth_cdf);
  const size_t map_at = in.size();
  for (int32_t v : tables.material_map) {
    float word;
    std::memcpy(&word, &v, sizeof(word));
    in.push_back(word);
  }
  if (in.empty()) in.push_back(0.0f);
  m_context->make_current();
  m_mw_in.upload(in, "upload microwave");
  for (const auto& [ptr, offset] : moved) *ptr = m_mw_in.as<float>() + offset;
  t.material_map = tables.material_map.empty()
                       ? nullptr
                       : reinterpret_cast<const int32_t*>(m_mw_in.as<float>() + map_at);
  m_mw_out.zero(image.size() * sizeof(float), "alloc microwave");
  p.image.sensor = sensor;
  p.image.width = static_cast<int32_t>(width);
  p.image.height = static_cast<int32_t>(height);
  p.image.spp = spp;
  p.image.n_channels = n_channels;
  p.image.image = m_mw_out.as_mutable<float>();
  p.scene = scene.device_view();

  // Launches of about 2^22 lines of sight.
  constexpr int64_t kLaunchRays = int64_t{1} << 22;
  const int64_t per_launch = std::max<int64_t>(1, kLaunchRays / spp);
  const auto start = std::chrono::steady_clock::now();
  for (int64_t begin = 0; begin < n; begin += per_launch) {
    if (interrupt) interrupt();
    p.pixel_begin = begin;
    p.pixel_end = std::min(n, begin + per_launch);
    launch_(m_microwave, p.pixel_end - begin, &p, "launch microwave");
    finish_launch_("sync microwave");
    if (progress) progress(p.pixel_end, n, elapsed_ms(start));
  }
  m_mw_out.download(image.data(), image.size() * sizeof(float), "download microwave");
  return image;
}

physiology::PhysiologyResult CudaSimulator::solve_physiology(
    const physiology::PhysiologyRequestView& request, const InterruptCheck& interrupt) {
  physiology::validate_physiology_request(request);
  init();
  const auto n = static_cast<int64_t>(request.n_elements);
  const auto count = static_cast<size_t>(n);
  physiology::LeafElementLaunch p;
  p.in = physiology::leaf_element_inputs(request);
  p.control = physiology::SolverControl{request.max_iterations, request.tolerance, nullptr};

  // Every present input array in one upload, then each pointer moved into the device copy.
  std::vector<float> in;
  std::vector<std::pair<const float**, size_t>> moved;
  auto stage = [&](const float*& ptr, size_t values) {
    if (ptr == nullptr) return;
    moved.emplace_back(&ptr, in.size());
    in.insert(in.end(), ptr, ptr + values);
  };
  physiology::LeafElementInputs& a = p.in;
  stage(a.apar, count * static_cast<size_t>(request.n_bands));
  for (const float** field :
       {&a.temperature, &a.co2, &a.relative_humidity, &a.pressure, &a.wind, &a.vcmax25, &a.jmax25,
        &a.rd25, &a.ball_berry_slope, &a.ball_berry_intercept, &a.quantum_yield,
        &a.absorbed_shortwave, &a.absorbed_longwave, &a.air_temperature, &a.vapor_pressure,
        &a.emissivity, &a.sidedness, &a.leaf_width, &a.stomata_sides}) {
    stage(*field, count);
  }
  m_context->make_current();
  m_phys_in.upload(in, "upload physiology");
  for (const auto& [ptr, offset] : moved) *ptr = m_phys_in.as<float>() + offset;

  // Outputs: the float arrays of the result ([fields][n]), then the converged flags (bytes).
  physiology::PhysiologyResult out = physiology::sized_physiology_result(request);
  const size_t fields = request.energy_balance ? 8 : 4;
  const size_t float_bytes = fields * count * sizeof(float);
  m_phys_out.reserve(float_bytes + count, "alloc physiology");
  float* base = m_phys_out.as_mutable<float>();
  auto field = [&](size_t k) { return k < fields ? base + k * count : nullptr; };
  p.out = physiology::LeafElementOutputs{
      field(0),
      field(1),
      field(2),
      field(3),
      reinterpret_cast<uint8_t*>(reinterpret_cast<unsigned char*>(base) + float_bytes),
      field(4),
      field(5),
      field(6),
      field(7)};

  constexpr int64_t kLaunchElements = int64_t{1} << 20;
  for (int64_t begin = 0; begin < n; begin += kLaunchElements) {
    if (interrupt) interrupt();
    p.element_begin = begin;
    p.element_end = std::min(n, begin + kLaunchElements);
    launch_(m_physiology, p.element_end - begin, &p, "launch physiology");
    finish_launch_("sync physiology");
  }
  std::vector<unsigned char> host(float_bytes + count);
  m_phys_out.download(host.data(), host.size(), "download physiology");
  const physiology::LeafElementOutputs arrays = physiology::leaf_element_outputs(out);
  float* const targets[] = {arrays.an,
                            arrays.gs,
                            arrays.ci,
                            arrays.phi_f,
                            arrays.temperature,
                            arrays.net_radiation,
                            arrays.sensible_heat,
                            arrays.latent_heat};
  for (size_t k = 0; k < fields; ++k) {
    std::memcpy(targets[k], host.data() + k * count * sizeof(float), count * sizeof(float));
  }
  std::memcpy(out.converged.data(), host.data() + float_bytes, count);
  out.execution = ExecutionIdentity{static_cast<uint8_t>(BackendCode::OptiX),
                                    static_cast<uint8_t>(WorkflowCode::PhysiologySolver),
                                    kPhysiologyExecutor, true};
  return out;
}

physiology::SifProcessResult CudaSimulator::finalize_sif_process(
    const physiology::SifProcessRequestView& request) {
  physiology::validate_sif_process(request);
  init();
  const auto n = static_cast<size_t>(request.n_elements);
  const size_t n_out = n * static_cast<size_t>(request.n_selected);
  physiology::SifProcessResult out = physiology::sized_sif_result(request);
  physiology::SifElementArrays p = physiology::sif_element_arrays(request, out);

  // Inputs in one upload of 4-byte values (floats and int32 indices), in this order: top,
  // bottom, material ids, material yields, selected bands, then the element yields if given.
  const size_t n_in = request.absorbed_top.size;
  const size_t n_materials = request.material_phi_f.size;
  const auto n_sel = static_cast<size_t>(request.n_selected);
  const size_t n_element = p.element_phi_f != nullptr ? n : 0;
  std::vector<uint32_t> in(2 * n_in + n + n_materials + n_sel + n_element);
  size_t at = 0;
  auto stage = [&](const void* ptr, size_t values) {
    const size_t offset = at;
    if (values > 0) std::memcpy(in.data() + offset, ptr, values * sizeof(uint32_t));
    at += values;
    return offset;
  };
  const size_t top = stage(p.absorbed_top, n_in);
  const size_t bottom = stage(p.absorbed_bottom, n_in);
  const size_t ids = stage(p.material_ids, n);
  const size_t material_phi_f = stage(p.material_phi_f, n_materials);
  const size_t selected = stage(p.selected_band_indices, n_sel);
  const size_t element_phi_f = stage(p.element_phi_f, n_element);
  m_context->make_current();
  m_phys_in.upload(in, "upload SIF process");
  const uint32_t* base_in = m_phys_in.as<uint32_t>();
  p.absorbed_top = reinterpret_cast<const float*>(base_in + top);
  p.absorbed_bottom = reinterpret_cast<const float*>(base_in + bottom);
  p.material_ids = reinterpret_cast<const int32_t*>(base_in + ids);
  p.material_phi_f = reinterpret_cast<const float*>(base_in + material_phi_f);
  p.selected_band_indices = reinterpret_cast<const int32_t*>(base_in + selected);
  if (n_element > 0) p.element_phi_f = reinterpret_cast<const float*>(base_in + element_phi_f);

  // Outputs: phi_f [n], then the top and bottom selections [n][n_selected].
  const size_t values = n + 2 * n_out;
  m_phys_out.reserve(values * sizeof(float), "alloc SIF process");
  float* base = m_phys_out.as_mutable<float>();
  p.phi_f = base;
  p.top_selected = base + n;
  p.bottom_selected = base + n + n_out;

  constexpr int64_t kLaunchElements = int64_t{1} << 20;
  const auto count = static_cast<int64_t>(n);
  for (int64_t begin = 0; begin < count; begin += kLaunchElements) {
    p.element_begin = begin;
    p.element_end = std::min(count, begin + kLaunchElements);
    launch_(m_sif_process, p.element_end - begin, &p, "launch SIF process");
    finish_launch_("sync SIF process");
  }
  std::vector<float> host(values);
  m_phys_out.download(host.data(), values * sizeof(float), "download SIF process");
  std::copy(host.begin(), host.begin() + static_cast<ptrdiff_t>(n), out.phi_f.begin());
  std::copy(host.begin() + static_cast<ptrdiff_t>(n),
            host.begin() + static_cast<ptrdiff_t>(n + n_out), out.top_selected.begin());
  std::copy(host.begin() + static_cast<ptrdiff_t>(n + n_out), host.end(),
            out.bottom_selected.begin());
  out.execution = ExecutionIdentity{static_cast<uint8_t>(BackendCode::OptiX),
                                    static_cast<uint8_t>(WorkflowCode::SifProcessFinalization),
                                    kSifProcessExecutor, true};
  return out;
}

physiology::PhotosynthesisProcessResult CudaSimulator::execute_photosynthesis_process_static(
    const physiology::PhotosynthesisProcessRequestView& request, const InterruptCheck& interrupt) {
  physiology::validate_photosynthesis_process(request);
  init();
  const auto n = static_cast<size_t>(request.n_elements);
  const auto nb = static_cast<size_t>(request.n_bands);
  const auto nm = static_cast<size_t>(request.n_materials);
  physiology::PhotosynthesisProcessResult out = physiology::sized_photosynthesis_result(request);
  const std::vector<float> factor = physiology::par_conversion_factors(request);
  physiology::StaticElementArrays p =
      physiology::static_element_arrays(request, factor.data(), out);

  // Inputs in one upload of 4-byte values (floats and int32 ids and flags); each host pointer
  // of `p` is then moved onto its device copy.
  std::vector<uint32_t> in;
  std::vector<std::pair<const float**, size_t>> moved_f;
  std::vector<std::pair<const int32_t**, size_t>> moved_i;
  auto stage = [&](auto& ptr, size_t values, auto& moved) {
    moved.emplace_back(&ptr, in.size());
    const size_t offset = in.size();
    in.resize(offset + values);
    if (values > 0) std::memcpy(in.data() + offset, ptr, values * sizeof(uint32_t));
  };
  auto stage_f = [&](const float*& ptr, size_t values) { stage(ptr, values, moved_f); };
  auto stage_i = [&](const int32_t*& ptr, size_t values) { stage(ptr, values, moved_i); };
  for (const float** field : {&p.absorbed_top, &p.absorbed_bottom, &p.absorbed_direct})
    stage_f(*field, n * nb);
  stage_f(p.par_factor, nb);
  for (const float** field :
       {&p.sunlit_fraction, &p.temperature_sunlit_in, &p.temperature_shaded_in})
    stage_f(*field, n);
  stage_i(p.material_ids, n);
  stage_i(p.material_active, nm);
  stage_i(p.material_fluorescent, nm);
  for (const float** field : {&p.vcmax25, &p.jmax25, &p.rd25, &p.ball_berry_slope,
                              &p.ball_berry_intercept, &p.quantum_yield})
    stage_f(*field, nm);
  m_context->make_current();
  m_phys_in.upload(in, "upload photosynthesis process");
  const uint32_t* base_in = m_phys_in.as<uint32_t>();
  for (const auto& [ptr, offset] : moved_f) *ptr = reinterpret_cast<const float*>(base_in + offset);
  for (const auto& [ptr, offset] : moved_i) {
    *ptr = reinterpret_cast<const int32_t*>(base_in + offset);
  }

  // Outputs: the twelve float arrays ([fields][n]), then the active and converged flags.
  float** const floats[] = {&p.temperature,
                            &p.an,
                            &p.gs,
                            &p.phi_f,
                            &p.apar,
                            &p.temperature_sunlit,
                            &p.temperature_shaded,
                            &p.sunlit_fraction_out,
                            &p.apar_sunlit,
                            &p.apar_shaded,
                            &p.an_sunlit,
                            &p.an_shaded};
  float* const targets[] = {out.temperature.data(),
                            out.an.data(),
                            out.gs.data(),
                            out.phi_f.data(),
                            out.apar.data(),
                            out.temperature_sunlit.data(),
                            out.temperature_shaded.data(),
                            out.sunlit_fraction.data(),
                            out.apar_sunlit.data(),
                            out.apar_shaded.data(),
                            out.an_sunlit.data(),
                            out.an_shaded.data()};
  constexpr size_t kFields = std::size(floats);
  const size_t float_bytes = kFields * n * sizeof(float);
  m_phys_out.reserve(float_bytes + 2 * n, "alloc photosynthesis process");
  float* base = m_phys_out.as_mutable<float>();
  for (size_t k = 0; k < kFields; ++k) *floats[k] = base + k * n;
  auto* flags = reinterpret_cast<uint8_t*>(reinterpret_cast<unsigned char*>(base) + float_bytes);
  p.active_mask = flags;
  p.converged = flags + n;

  constexpr int64_t kLaunchElements = int64_t{1} << 20;
  const auto count = static_cast<int64_t>(n);
  for (int64_t begin = 0; begin < count; begin += kLaunchElements) {
    if (interrupt) interrupt();
    p.element_begin = begin;
    p.element_end = std::min(count, begin + kLaunchElements);
    launch_(m_photosynthesis_static, p.element_end - begin, &p, "launch photosynthesis process");
    finish_launch_("sync photosynthesis process");
  }
  std::vector<unsigned char> host(float_bytes + 2 * n);
  m_phys_out.download(host.data(), host.size(), "download photosynthesis process");
  for (size_t k = 0; k < kFields; ++k) {
    std::memcpy(targets[k], host.data() + k * n * sizeof(float), n * sizeof(float));
  }
  std::memcpy(out.active_mask.data(), host.data() + float_bytes, n);
  std::memcpy(out.converged.data(), host.data() + float_bytes + n, n);
  out.execution = ExecutionIdentity{static_cast<uint8_t>(BackendCode::OptiX),
                                    static_cast<uint8_t>(WorkflowCode::PhotosynthesisProcessStatic),
                                    kPhotosynthesisStaticExecutor, true};
  return out;
}

embree::EnergyBalanceProcessResult CudaSimulator::execute_energy_balance_process(
    CudaSceneManager& scene, const embree::EnergyBalanceProcessRequest& r,
    const InterruptCheck& interrupt) {
  embree::validate_energy_balance_process(r);
  const size_t n = r.primitive_material_ids.size();
  if (!scene.is_built())
    throw std::runtime_error("CUDA: build the scene before the energy balance");
  if (static_cast<int64_t>(n) != scene.n_primitives()) {
    throw std::runtime_error(r.precomputed_shortwave
                                 ? "native longwave result length does not match elements"
                                 : "native shortwave result length does not match elements");
  }
  init();
  embree::EnergyBalanceProcessState state = embree::start_energy_balance_process(
      r, ExecutionIdentity{static_cast<uint8_t>(BackendCode::OptiX),
                           static_cast<uint8_t>(WorkflowCode::EnergyBalanceProcess),
                           kEnergyBalanceProcessExecutor, true});
  if (r.precomputed_shortwave) {
    embree::set_absorbed_shortwave(r, state, nullptr);
  } else {
    const embree::EnergyBalanceResult sw = run_energy_balance(
        scene, r.coupling.n_samples, 0, &r.sw_direct, &r.sw_diffuse_radiance, 0.0f,
        float3{r.sun_dir_x, r.sun_dir_y, r.sun_dir_z}, true, state.albedo, {});
    embree::set_absorbed_shortwave(r, state, &sw);
  }
  embree::EnergyBalanceProcessResult& out = state.out;
  const physiology::SurfaceElementArrays host = embree::surface_element_arrays(r, state);
  const size_t nm = r.material_sensible_derivative.size();

  // Inputs of a step in one upload of 4-byte values, in this order: temperature (updated in
  // place by the kernel, so it comes first and is read back from the start of the buffer),
  // absorbed longwave, absorbed shortwave, emissivity, sidedness, material ids, the three
  // material tables, then the active flags as bytes.
  const size_t active_words = (n + 3) / 4;
  std::vector<uint32_t> in(6 * n + 3 * nm + active_words, 0u);
  size_t at = 0;
  auto stage = [&](const void* ptr, size_t values) {
    const size_t offset = at;
    if (values > 0) std::memcpy(in.data() + offset, ptr, values * sizeof(uint32_t));
    at += values;
    return offset;
  };
  const size_t temperature = stage(host.temperature, n);
  const size_t longwave = stage(host.temperature, n);  // replaced by each step's longwave
  const size_t shortwave = stage(host.absorbed_shortwave, n);
  const size_t emissivity = stage(host.emissivity, n);
  const size_t sidedness = stage(host.sidedness, n);
  const size_t ids = stage(host.material_ids, n);
  const size_t sensible = stage(host.sensible_derivative, nm);
  const size_t latent = stage(host.latent_coefficient, nm);
  const size_t ground = stage(host.ground_heat, nm);
  const size_t active = at;
  std::memcpy(in.data() + active, host.active, n);

  // Outputs: change, net radiation, sensible, latent, emitted, ground heat ([fields][n]), then
  // the converged flags. They stay on the device between steps (inactive elements keep zeros).
  constexpr size_t kFields = 6;
  const size_t float_bytes = kFields * n * sizeof(float);
  m_context->make_current();
  m_phys_out.reserve(float_bytes + n, "alloc energy balance process");
  m_phys_out.zero(float_bytes + n, "zero energy balance process");
  float* base = m_phys_out.as_mutable<float>();
  physiology::SurfaceElementArrays p = host;
  p.change = base;
  p.net_radiation = base + n;
  p.sensible_heat = base + 2 * n;
  p.latent_heat = base + 3 * n;
  p.emitted_longwave = base + 4 * n;
  p.ground_heat_out = base + 5 * n;
  p.converged = reinterpret_cast<uint8_t*>(reinterpret_cast<unsigned char*>(base) + float_bytes);
  float* const targets[] = {state.change.data(),         out.net_radiation.data(),
                            out.sensible_heat.data(),    out.latent_heat.data(),
                            out.emitted_longwave.data(), out.ground_heat.data()};
  std::vector<unsigned char> results(float_bytes + n);

  auto step = [&](const std::vector<float>& lw) {
    if (interrupt) interrupt();
    std::memcpy(in.data() + temperature, state.temperature.data(), n * sizeof(float));
    std::memcpy(in.data() + longwave, lw.data(), n * sizeof(float));
    m_context->make_current();
    m_phys_in.upload(in, "upload energy balance process");
    const uint32_t* words = m_phys_in.as<uint32_t>();
    p.temperature = m_phys_in.as_mutable<float>() + temperature;
    p.absorbed_longwave = reinterpret_cast<const float*>(words + longwave);
    p.absorbed_shortwave = reinterpret_cast<const float*>(words + shortwave);
    p.emissivity = reinterpret_cast<const float*>(words + emissivity);
    p.sidedness = reinterpret_cast<const float*>(words + sidedness);
    p.material_ids = reinterpret_cast<const int32_t*>(words + ids);
    p.sensible_derivative = reinterpret_cast<const float*>(words + sensible);
    p.latent_coefficient = reinterpret_cast<const float*>(words + latent);
    p.ground_heat = reinterpret_cast<const float*>(words + ground);
    p.active = reinterpret_cast<const uint8_t*>(words + active);
    constexpr int64_t kLaunchElements = int64_t{1} << 20;
    const auto count = static_cast<int64_t>(n);
    for (int64_t begin = 0; begin < count; begin += kLaunchElements) {
      p.element_begin = begin;
      p.element_end = std::min(count, begin + kLaunchElements);
      launch_(m_surface_balance, p.element_end - begin, &p, "launch energy balance process");
      finish_launch_("sync energy balance process");
    }
    m_phys_in.download(state.temperature.data(), n * sizeof(float),
                       "download energy balance process");
    m_phys_out.download(results.data(), results.size(), "download energy balance process");
    for (size_t k = 0; k < kFields; ++k) {
      std::memcpy(targets[k], results.data() + k * n * sizeof(float), n * sizeof(float));
    }
    std::memcpy(out.element_converged.data(), results.data() + float_bytes, n);
    float change = 0.0f;
    for (const float c : state.change) change = std::max(change, c);
    return change;
  };
  const embree::CouplingControls& c = r.coupling;
  const auto transport = [&] {
    return run_energy_balance(scene, c.n_samples, 1, nullptr, nullptr, c.sky_lw_radiance,
                              float3{0.0f, 0.0f, 1.0f}, true, {}, {});
  };
  embree::run_coupling_loop(scene, c, state.emissivity, state.sidedness, state.temperature,
                            transport, out.absorbed_longwave_top, out.absorbed_longwave_bottom,
                            out.absorbed_longwave, out.loop, step);
  out.temperature = state.temperature;
  return std::move(out);
}

physiology::SifSourceFields CudaSimulator::assemble_sif_source(
    const physiology::SifSourceAssemblyRequestView& r) {
  physiology::validate_sif_source_assembly(r);
  init();
  const physiology::SifAssemblySizes z = physiology::sif_assembly_sizes(r);
  const size_t nb = z.n_bands;
  std::vector<int32_t> order, offsets;
  physiology::sif_sample_order(r, order, offsets);
  physiology::SifAssemblyArrays p = physiology::sif_assembly_arrays(r);

  // Inputs in one upload of 4-byte values: positions, normals, box minima and maxima, grid
  // dimensions, the two sources, the sample order and the instance offsets.
  std::vector<uint32_t> in;
  auto stage = [&](const void* ptr, size_t values) {
    const size_t offset = in.size();
    in.resize(offset + values);
    if (values > 0) std::memcpy(in.data() + offset, ptr, values * sizeof(uint32_t));
    return offset;
  };
  const size_t positions = stage(r.positions.data, r.positions.size);
  const size_t normals = stage(r.normals.data, r.normals.size);
  const size_t lo = stage(r.bounds_min.data, r.bounds_min.size);
  const size_t hi = stage(r.bounds_max.data, r.bounds_max.size);
  const size_t grid = stage(r.grid_dims.data, r.grid_dims.size);
  const size_t source = stage(r.source_band_major.data, r.source_band_major.size);
  const size_t direct_source =
      stage(r.direct_source_band_major.data, r.direct_source_band_major.size);
  const size_t order_at = stage(order.data(), order.size());
  const size_t offsets_at = stage(offsets.data(), offsets.size());
  m_context->make_current();
  m_phys_in.upload(in, "upload SIF source assembly");
  const uint32_t* words = m_phys_in.as<uint32_t>();
  p.positions = reinterpret_cast<const float*>(words + positions);
  p.normals = reinterpret_cast<const float*>(words + normals);
  p.bounds_min = reinterpret_cast<const float*>(words + lo);
  p.bounds_max = reinterpret_cast<const float*>(words + hi);
  p.grid_dims = reinterpret_cast<const int32_t*>(words + grid);
  p.source = reinterpret_cast<const float*>(words + source);
  p.direct_source = reinterpret_cast<const float*>(words + direct_source);
  p.order = reinterpret_cast<const int32_t*>(words + order_at);
  p.offsets = reinterpret_cast<const int32_t*>(words + offsets_at);

  // Outputs, zeroed: the spatial, orientation, joint and direct sums (doubles), then the
  // spatial, orientation and joint counts.
  const size_t n_spatial = z.n_cells * nb;
  const size_t n_orient = z.n_orient_all * nb;
  const size_t n_joint = z.n_joint_bins * nb;
  const size_t n_sums = n_spatial + n_orient + 2 * n_joint;
  const size_t n_counts = z.n_cells + z.n_orient_all + z.n_joint_bins;
  const size_t bytes = n_sums * sizeof(double) + n_counts * sizeof(int32_t);
  m_phys_out.reserve(bytes, "alloc SIF source assembly");
  m_phys_out.zero(bytes, "zero SIF source assembly");
  double* sums = m_phys_out.as_mutable<double>();
  p.spatial = sums;
  p.orientation = sums + n_spatial;
  p.joint = sums + n_spatial + n_orient;
  p.direct = sums + n_spatial + n_orient + n_joint;
  auto* counts = reinterpret_cast<int32_t*>(sums + n_sums);
  p.spatial_counts = counts;
  p.orientation_counts = counts + z.n_cells;
  p.joint_counts = counts + z.n_cells + z.n_orient_all;

  constexpr int64_t kLaunchItems = int64_t{1} << 20;
  const int64_t items = p.item_end;
  for (int64_t begin = 0; begin < items; begin += kLaunchItems) {
    p.item_begin = begin;
    p.item_end = std::min(items, begin + kLaunchItems);
    launch_(m_sif_assembly, p.item_end - begin, &p, "launch SIF source assembly");
    finish_launch_("sync SIF source assembly");
  }
  std::vector<unsigned char> host(bytes);
  m_phys_out.download(host.data(), bytes, "download SIF source assembly");
  auto doubles = [&](size_t first, size_t count) {
    std::vector<double> v(count);
    std::memcpy(v.data(), host.data() + first * sizeof(double), count * sizeof(double));
    return v;
  };
  const std::vector<double> spatial = doubles(0, n_spatial);
  const std::vector<double> orientation = doubles(n_spatial, n_orient);
  const std::vector<double> joint = doubles(n_spatial + n_orient, n_joint);
  const std::vector<double> direct = doubles(n_spatial + n_orient + n_joint, n_joint);
  physiology::SifSourceFields out;
  physiology::finish_sif_source_fields(z, spatial, orientation, joint, direct, out);
  const unsigned char* count_bytes = host.data() + n_sums * sizeof(double);
  auto ints = [&](size_t first, size_t count) {
    std::vector<int32_t> v(count);
    std::memcpy(v.data(), count_bytes + first * sizeof(int32_t), count * sizeof(int32_t));
    return v;
  };
  out.spatial_counts = ints(0, z.n_cells);
  out.orientation_counts = ints(z.n_cells, z.n_orient_all);
  out.joint_counts = ints(z.n_cells + z.n_orient_all, z.n_joint_bins);
  out.execution = ExecutionIdentity{static_cast<uint8_t>(BackendCode::OptiX),
                                    static_cast<uint8_t>(WorkflowCode::SifSourceAssembly),
                                    kSifAssemblyExecutor, true};
  return out;
}

embree::DynamicPhotosynthesisResult CudaSimulator::execute_photosynthesis_process_dynamic(
    CudaSceneManager& scene, const embree::DynamicPhotosynthesisRequest& r,
    const InterruptCheck& interrupt) {
  embree::validate_dynamic_photosynthesis(r);
  const size_t n = r.active.size();
  if (!scene.is_built())
    throw std::runtime_error("CUDA: build the scene before the energy balance");
  init();
  embree::DynamicPhotosynthesisResult out;
  for (std::vector<float>* v :
       {&out.temperature, &out.an, &out.gs, &out.ci, &out.phi_f, &out.apar, &out.temperature_sunlit,
        &out.temperature_shaded, &out.sunlit_fraction, &out.apar_sunlit, &out.apar_shaded,
        &out.an_sunlit, &out.an_shaded, &out.emitted_longwave, &out.net_radiation,
        &out.sensible_heat, &out.latent_heat}) {
    v->assign(n, 0.0f);
  }
  out.active_mask.assign(n, 0);
  out.element_converged.assign(n, 0);
  out.execution =
      ExecutionIdentity{static_cast<uint8_t>(BackendCode::OptiX),
                        static_cast<uint8_t>(WorkflowCode::PhotosynthesisProcessDynamic),
                        kPhotosynthesisDynamicExecutor, true};
  std::vector<float> t_sun(r.initial_temperature.begin(), r.initial_temperature.end());
  std::vector<float> t_shade = t_sun;
  std::vector<float> scene_t = t_sun;
  std::vector<float> change(n, 0.0f);
  for (size_t e = 0; e < n; ++e) {
    out.sunlit_fraction[e] = r.conditional ? r.sunlit_fraction[e] : 1.0f;
    out.active_mask[e] = static_cast<uint8_t>(r.active[e]);
    out.apar[e] = r.apar[e];
    out.apar_sunlit[e] = r.conditional ? r.apar_sunlit[e] : r.apar[e];
    out.apar_shaded[e] = r.conditional ? r.apar_shaded[e] : 0.0f;
  }
  const physiology::DynamicElementArrays host =
      embree::dynamic_element_arrays(r, out, t_sun, t_shade, scene_t, change);

  // Inputs of a step in one upload of 4-byte values: the three temperatures first (updated in
  // place by the kernel and read back from the start of the buffer), the absorbed longwave,
  // then every present per-element array and the two flag arrays.
  std::vector<uint32_t> in(4 * n, 0u);
  physiology::DynamicElementArrays p = host;
  std::vector<std::pair<const float**, size_t>> moved_f;
  auto stage = [&](const void* ptr, size_t values) {
    const size_t offset = in.size();
    in.resize(offset + values);
    std::memcpy(in.data() + offset, ptr, values * sizeof(uint32_t));
    return offset;
  };
  for (const float** field :
       {&p.apar, &p.absorbed_shortwave, &p.emissivity, &p.sidedness, &p.leaf_width,
        &p.stomata_sides, &p.vcmax25, &p.jmax25, &p.rd25, &p.ball_berry_slope,
        &p.ball_berry_intercept, &p.quantum_yield, &p.sunlit_fraction, &p.apar_sunlit,
        &p.apar_shaded, &p.shortwave_sunlit, &p.shortwave_shaded}) {
    if (*field != nullptr) moved_f.emplace_back(field, stage(*field, n));
  }
  const size_t active = stage(host.active, n);
  const size_t fluorescent = stage(host.fluorescent, n);

  // Outputs: change and the ten flux arrays ([fields][n]), then the converged flags; they stay
  // on the device between steps (inactive elements keep zeros).
  constexpr size_t kFields = 11;
  const size_t float_bytes = kFields * n * sizeof(float);
  m_context->make_current();
  m_phys_out.reserve(float_bytes + n, "alloc photosynthesis process");
  m_phys_out.zero(float_bytes + n, "zero photosynthesis process");
  float* base = m_phys_out.as_mutable<float>();
  float** const outputs[] = {&p.change,
                             &p.an,
                             &p.an_sunlit,
                             &p.an_shaded,
                             &p.gs,
                             &p.ci,
                             &p.phi_f,
                             &p.net_radiation,
                             &p.sensible_heat,
                             &p.latent_heat,
                             &p.emitted_longwave};
  float* const targets[] = {change.data(),
                            out.an.data(),
                            out.an_sunlit.data(),
                            out.an_shaded.data(),
                            out.gs.data(),
                            out.ci.data(),
                            out.phi_f.data(),
                            out.net_radiation.data(),
                            out.sensible_heat.data(),
                            out.latent_heat.data(),
                            out.emitted_longwave.data()};
  for (size_t k = 0; k < kFields; ++k) *outputs[k] = base + k * n;
  p.converged = reinterpret_cast<uint8_t*>(reinterpret_cast<unsigned char*>(base) + float_bytes);
  std::vector<unsigned char> results(float_bytes + n);

  auto step = [&](const std::vector<float>& lw) {
    if (interrupt) interrupt();
    std::memcpy(in.data(), t_sun.data(), n * sizeof(float));
    std::memcpy(in.data() + n, t_shade.data(), n * sizeof(float));
    std::memcpy(in.data() + 2 * n, scene_t.data(), n * sizeof(float));
    std::memcpy(in.data() + 3 * n, lw.data(), n * sizeof(float));
    m_context->make_current();
    m_phys_in.upload(in, "upload photosynthesis process");
    const uint32_t* words = m_phys_in.as<uint32_t>();
    float* state = m_phys_in.as_mutable<float>();
    p.temperature_sunlit = state;
    p.temperature_shaded = state + n;
    p.temperature = state + 2 * n;
    p.absorbed_longwave = reinterpret_cast<const float*>(words + 3 * n);
    for (const auto& [field, offset] : moved_f) {
      *field = reinterpret_cast<const float*>(words + offset);
    }
    p.active = reinterpret_cast<const int32_t*>(words + active);
    p.fluorescent = reinterpret_cast<const int32_t*>(words + fluorescent);
    constexpr int64_t kLaunchElements = int64_t{1} << 20;
    const auto count = static_cast<int64_t>(n);
    for (int64_t begin = 0; begin < count; begin += kLaunchElements) {
      p.element_begin = begin;
      p.element_end = std::min(count, begin + kLaunchElements);
      launch_(m_photosynthesis_dynamic, p.element_end - begin, &p, "launch photosynthesis process");
      finish_launch_("sync photosynthesis process");
    }
    std::vector<float> temperatures(3 * n);
    m_phys_in.download(temperatures.data(), 3 * n * sizeof(float),
                       "download photosynthesis process");
    std::copy(temperatures.begin(), temperatures.begin() + static_cast<ptrdiff_t>(n),
              t_sun.begin());
    std::copy(temperatures.begin() + static_cast<ptrdiff_t>(n),
              temperatures.begin() + static_cast<ptrdiff_t>(2 * n), t_shade.begin());
    std::copy(temperatures.begin() + static_cast<ptrdiff_t>(2 * n), temperatures.end(),
              scene_t.begin());
    m_phys_out.download(results.data(), results.size(), "download photosynthesis process");
    for (size_t k = 0; k < kFields; ++k) {
      std::memcpy(targets[k], results.data() + k * n * sizeof(float), n * sizeof(float));
    }
    std::memcpy(out.element_converged.data(), results.data() + float_bytes, n);
    float largest = 0.0f;
    for (const float c : change) largest = std::max(largest, c);
    return largest;
  };
  const embree::CouplingControls& c = r.coupling;
  const auto transport = [&] {
    return run_energy_balance(scene, c.n_samples, 1, nullptr, nullptr, c.sky_lw_radiance,
                              float3{0.0f, 0.0f, 1.0f}, true, {}, {});
  };
  embree::run_coupling_loop(scene, c, r.emissivity, r.sidedness, scene_t, transport,
                            out.absorbed_longwave_top, out.absorbed_longwave_bottom,
                            out.absorbed_longwave, out.loop, step);
  for (size_t e = 0; e < n; ++e) {
    out.temperature[e] = scene_t[e];
    out.temperature_sunlit[e] = t_sun[e];
    out.temperature_shaded[e] = t_shade[e];
  }
  return out;
}

}  // namespace tesk::cuda
