#include "vulkan/turbid_fields.h"

#include <exception>
#include <limits>
#include <stdexcept>

#include "shaders/turbid_field_records.h"
#include "turbid/registry.h"

namespace tesk::vulkan {
namespace {

template <typename T>
Buffer upload(VulkanContext& ctx, const std::vector<T>& values) {
  return ctx.upload_buffer(values.data(), values.size() * sizeof(T));
}

void require_u32(size_t n, const char* what) {
  if (n > std::numeric_limits<uint32_t>::max() / turbid::kFieldBins) {
    throw std::length_error(std::string("Vulkan Turbid fields support at most 2^27-1 ") + what);
  }
}

template <typename To, typename From>
std::vector<To> narrowed(const std::vector<From>& values) {
  return std::vector<To>(values.begin(), values.end());
}

// The layout's key order, cell runs and sample bins on the device, and the samples' leaf areas.
struct LayoutBuffers {
  Buffer order, begin, end, bin, weight;
};

LayoutBuffers upload_layout(VulkanContext& ctx, const turbid::TurbidFieldAssembly& a) {
  require_u32(a.pool.samples.size(), "samples");
  require_u32(a.layout.cell_begin.size(), "cells");
  std::vector<double> weight(a.pool.samples.size());
  for (size_t i = 0; i < weight.size(); ++i) weight[i] = a.pool.samples[i].weight;
  return {upload(ctx, narrowed<uint32_t>(a.layout.order)),
          upload(ctx, narrowed<uint32_t>(a.layout.cell_begin)),
          upload(ctx, narrowed<uint32_t>(a.layout.cell_end)), upload(ctx, a.layout.bin),
          upload(ctx, weight)};
}

// The bins of `f` summed by the assembly shader.
void assemble_bins(VulkanSceneManager& scene, const turbid::TurbidFieldAssembly& a,
                   turbid::TurbidField& f) {
  using namespace device;
  const size_t n = a.pool.samples.size();
  std::vector<float> inputs(n * kFieldSampleInputs);
  for (size_t i = 0; i < n; ++i) {
    const auto& lit = a.state.sunlit[i].values;
    const auto& shade = a.state.shaded[i].values;
    float* in = inputs.data() + i * kFieldSampleInputs;
    in[kFieldInputP] = a.state.p_sun[i];
    in[kFieldInputLitSource] = lit[a.source];
    in[kFieldInputShadeSource] = shade[a.source];
    in[kFieldInputLitDirect] = lit[turbid::kAbsorbedSwDirect];
    in[kFieldInputLitTop] = lit[turbid::kAbsorbedSwTop];
    in[kFieldInputLitBottom] = lit[turbid::kAbsorbedSwBottom];
    in[kFieldInputShadeTop] = shade[turbid::kAbsorbedSwTop];
    in[kFieldInputShadeBottom] = shade[turbid::kAbsorbedSwBottom];
  }
  VulkanContext& ctx = scene.context();
  const LayoutBuffers l = upload_layout(ctx, a);
  const Buffer b_inputs = upload(ctx, inputs);
  const size_t slots = f.cells.size() * turbid::kFieldBins;
  const Buffer b_sums = ctx.create_buffer(slots * kFieldTermCount * sizeof(double), 0);
  const TurbidFieldAssemblePush p{static_cast<int>(f.cells.size())};
  ComputePipeline& pipeline =
      scene.turbid_pipeline("turbid_field_assemble", 7, sizeof(p), "turbid field assembly");
  pipeline.run(VK_NULL_HANDLE, {&l.order, &l.begin, &l.end, &l.bin, &l.weight, &b_inputs, &b_sums},
               &p, slots);
  std::vector<double> sums(slots * kFieldTermCount);
  b_sums.download(sums.data(), sums.size() * sizeof(double));
  for (size_t c = 0; c < f.cells.size(); ++c) {
    for (int bin = 0; bin < turbid::kFieldBins; ++bin) {
      const double* s = sums.data() + (c * turbid::kFieldBins + bin) * kFieldTermCount;
      turbid::TurbidFieldBin& b = f.cells[c].bins[bin];
      b.weight = s[0];
      b.sum = {s[1], s[2], s[3]};
      b.sunlit_weight = s[4];
      b.sunlit_sum = s[5];
      b.shaded_sum = s[6];
    }
  }
  f.residency = kTurbidFieldResidency;
}

// The radiance tables of `source` formed by the observation-source shader.
void assemble_source(VulkanSceneManager& scene, const turbid::TurbidFieldAssembly& a,
                     const turbid::TurbidSourceInputs& in, turbid::TurbidField& source) {
  using namespace device;
  const size_t n = a.pool.samples.size();
  const size_t nb = in.wavelengths.size();
  const size_t slots = source.cells.size() * turbid::kFieldBins;
  if (n * nb > std::numeric_limits<uint32_t>::max() ||
      slots * nb > std::numeric_limits<uint32_t>::max()) {
    throw std::length_error("Vulkan Turbid observation sources support at most 2^32-1 values");
  }
  const int t = turbid::kTemperature;
  std::vector<float> t_lit(n), t_shade(n);
  for (size_t i = 0; i < n; ++i) {
    t_lit[i] = a.state.sunlit[i].values[t];
    t_shade[i] = a.state.shaded[i].values[t];
  }
  std::vector<double> weight(slots);
  for (size_t c = 0; c < source.cells.size(); ++c) {
    for (int bin = 0; bin < turbid::kFieldBins; ++bin) {
      weight[c * turbid::kFieldBins + bin] = source.cells[c].bins[bin].weight;
    }
  }
  VulkanContext& ctx = scene.context();
  const LayoutBuffers l = upload_layout(ctx, a);
  const Buffer b_p = upload(ctx, a.state.p_sun);
  const Buffer b_lit = upload(ctx, t_lit);
  const Buffer b_shade = upload(ctx, t_shade);
  const Buffer b_wl = upload(ctx, in.wavelengths);
  const Buffer b_front = upload(ctx, in.front);
  const Buffer b_back = upload(ctx, in.back);
  const Buffer b_radiance = ctx.create_buffer(2 * n * nb * sizeof(double), 0);
  const Buffer b_weight = upload(ctx, weight);
  const Buffer b_out_front = ctx.create_buffer(slots * nb * sizeof(float), 0);
  const Buffer b_out_back = ctx.create_buffer(slots * nb * sizeof(float), 0);
  const bool sif = std::string(in.kind) == turbid::kSifSourceKind;
  TurbidSourcePush p{0, sif ? 1 : 0, static_cast<int>(n), static_cast<int>(nb),
                     static_cast<int>(source.cells.size())};
  ComputePipeline& pipeline = scene.turbid_pipeline("turbid_observation_source", 15, sizeof(p),
                                                    "turbid observation source");
  const std::vector<const Buffer*> buffers{
      &l.order, &l.begin, &l.end,  &l.bin,      &l.weight, &b_p,         &b_lit,     &b_shade,
      &b_wl,    &b_front, &b_back, &b_radiance, &b_weight, &b_out_front, &b_out_back};
  pipeline.run(VK_NULL_HANDLE, buffers, &p, n * nb);
  p.pass = 1;
  pipeline.run(VK_NULL_HANDLE, buffers, &p, slots * nb);
  b_out_front.download(source.spectral_front.data(), slots * nb * sizeof(float));
  b_out_back.download(source.spectral_back.data(), slots * nb * sizeof(float));
  source.residency = kTurbidFieldResidency;
}

}  // namespace

turbid::TurbidField build_turbid_field(VulkanSceneManager& scene,
                                       const turbid::TurbidStateToken& token,
                                       const turbid::TurbidFieldConfig& config,
                                       int64_t memory_budget) {
  const auto storage = scene.host().turbid_domains();
  return turbid::build_field(*storage, token, config, memory_budget,
                             [&scene](const turbid::TurbidFieldAssembly& a,
                                      turbid::TurbidField& f) { assemble_bins(scene, a, f); });
}

turbid::TurbidFieldLookup lookup_turbid_field(VulkanSceneManager& scene,
                                              const turbid::TurbidField& f, const std::string& kind,
                                              const float* positions, const float* normals,
                                              size_t n,
                                              const turbid::TurbidFieldSelector* selector) {
  using namespace device;
  const int channel = turbid::field_channel(kind);
  turbid::check_field_queries(positions, normals, n);
  if (n > std::numeric_limits<int32_t>::max()) {
    throw std::length_error("Vulkan Turbid field lookups support at most 2^31-1 queries");
  }
  require_u32(f.cells.size(), "cells");
  // Owners are chosen in query order on the host; the device answers the queries before the
  // first whose owner choice fails, so a failure there comes first, as on the CPU.
  std::vector<int32_t> owner;
  std::vector<double> position;
  std::vector<float> normal;
  std::exception_ptr owner_failure;
  for (size_t q = 0; q < n; ++q) {
    double p[3];
    try {
      owner.push_back(
          static_cast<int32_t>(turbid::lookup_owner(f, positions + 3 * q, q, selector, p)));
    } catch (const std::invalid_argument&) {
      owner_failure = std::current_exception();
      break;
    }
    position.insert(position.end(), {p[0], p[1], p[2]});
    const std::array<float, 3> u =
        turbid::field_unit_normal(normals[3 * q], normals[3 * q + 1], normals[3 * q + 2]);
    normal.insert(normal.end(), u.begin(), u.end());
  }
  const size_t m = owner.size();
  turbid::TurbidFieldLookup out;
  out.values.resize(m);
  out.matched_depth.resize(m);
  out.fallback_depth.resize(m);
  std::vector<int32_t> status(m, kFieldLookupOk);
  if (m > 0) {
    std::vector<int32_t> cells(f.cells.size() * kFieldCellInts);
    std::vector<double> weight(f.cells.size() * turbid::kFieldBins);
    std::vector<double> sum(weight.size());
    for (size_t c = 0; c < f.cells.size(); ++c) {
      const turbid::TurbidFieldCell& cell = f.cells[c];
      int32_t* row = cells.data() + c * kFieldCellInts;
      for (int k = 0; k < 8; ++k) row[k] = cell.children[k];
      row[kFieldCellParent] = cell.parent_index;
      row[kFieldCellDepth] = static_cast<int32_t>(cell.depth);
      for (int b = 0; b < turbid::kFieldBins; ++b) {
        weight[c * turbid::kFieldBins + b] = cell.bins[b].weight;
        sum[c * turbid::kFieldBins + b] = cell.bins[b].sum[channel];
      }
    }
    std::vector<float> bounds;
    std::vector<int32_t> roots;
    for (size_t o = 0; o < f.owners.size(); ++o) {
      bounds.insert(bounds.end(), f.owners[o].bounds_min.begin(), f.owners[o].bounds_min.end());
      bounds.insert(bounds.end(), f.owners[o].bounds_max.begin(), f.owners[o].bounds_max.end());
      roots.push_back(static_cast<int32_t>(f.owner_cell_offsets[o]));
    }
    VulkanContext& ctx = scene.context();
    const Buffer b_cells = upload(ctx, cells);
    const Buffer b_weight = upload(ctx, weight);
    const Buffer b_sum = upload(ctx, sum);
    const Buffer b_bounds = upload(ctx, bounds);
    const Buffer b_roots = upload(ctx, roots);
    const Buffer b_owner = upload(ctx, owner);
    const Buffer b_position = upload(ctx, position);
    const Buffer b_normal = upload(ctx, normal);
    const Buffer b_values = ctx.create_buffer(m * sizeof(float), 0);
    const Buffer b_matched = ctx.create_buffer(m * sizeof(int32_t), 0);
    const Buffer b_fallback = ctx.create_buffer(m * sizeof(int32_t), 0);
    const Buffer b_status = ctx.create_buffer(m * sizeof(int32_t), 0);
    const TurbidFieldLookupPush p{static_cast<int>(m)};
    ComputePipeline& pipeline =
        scene.turbid_pipeline("turbid_field_lookup", 12, sizeof(p), "turbid field lookup");
    pipeline.run(VK_NULL_HANDLE,
                 {&b_cells, &b_weight, &b_sum, &b_bounds, &b_roots, &b_owner, &b_position,
                  &b_normal, &b_values, &b_matched, &b_fallback, &b_status},
                 &p, m);
    b_values.download(out.values.data(), m * sizeof(float));
    b_matched.download(out.matched_depth.data(), m * sizeof(int32_t));
    b_fallback.download(out.fallback_depth.data(), m * sizeof(int32_t));
    b_status.download(status.data(), m * sizeof(int32_t));
  }
  for (size_t q = 0; q < m; ++q) {
    if (status[q] == kFieldLookupZeroNormal) {
      throw std::invalid_argument("Turbid field lookup normal is zero");
    }
    if (status[q] != kFieldLookupOk) {
      throw std::invalid_argument("Turbid field orientation has no populated ancestor");
    }
  }
  if (owner_failure) std::rethrow_exception(owner_failure);
  return out;
}

turbid::TurbidField build_turbid_thermal_source(VulkanSceneManager& scene,
                                                const turbid::TurbidFieldToken& token,
                                                const std::vector<float>& wavelengths_nm,
                                                const std::vector<float>& emissivity_front,
                                                const std::vector<float>& emissivity_back,
                                                int64_t memory_budget) {
  const auto storage = scene.host().turbid_domains();
  return turbid::build_thermal_source(
      *storage, token, wavelengths_nm, emissivity_front, emissivity_back, memory_budget,
      [&scene](const turbid::TurbidFieldAssembly& a, const turbid::TurbidSourceInputs& in,
               turbid::TurbidField& f) { assemble_source(scene, a, in, f); });
}

turbid::TurbidField build_turbid_sif_source(VulkanSceneManager& scene,
                                            const turbid::TurbidFieldToken& token,
                                            const std::vector<float>& wavelengths_nm,
                                            const std::vector<float>& exitance_front,
                                            const std::vector<float>& exitance_back,
                                            int64_t memory_budget) {
  const auto storage = scene.host().turbid_domains();
  return turbid::build_sif_source(
      *storage, token, wavelengths_nm, exitance_front, exitance_back, memory_budget,
      [&scene](const turbid::TurbidFieldAssembly& a, const turbid::TurbidSourceInputs& in,
               turbid::TurbidField& f) { assemble_source(scene, a, in, f); });
}

}  // namespace tesk::vulkan
