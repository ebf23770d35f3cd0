#include "vulkan/turbid_fields.h"

#include <exception>
#include <iterator>
#include <limits>
#include <stdexcept>

#include "core/turbid_field_rules.h"
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

// The cells of `f` as the lookup shader reads them: 8 children, parent, depth.
std::vector<int32_t> cell_rows(const turbid::TurbidField& f) {
  std::vector<int32_t> rows(f.cells.size() * device::kFieldCellInts);
  for (size_t c = 0; c < f.cells.size(); ++c) {
    int32_t* row = rows.data() + c * device::kFieldCellInts;
    for (int k = 0; k < 8; ++k) row[k] = f.cells[c].children[k];
    row[device::kFieldCellParent] = f.cells[c].parent_index;
    row[device::kFieldCellDepth] = static_cast<int32_t>(f.cells[c].depth);
  }
  return rows;
}

// The bins of `f` in the assembly shader's layout: per (cell, bin) leaf area, the three
// channels, sunlit leaf area, sunlit and shaded sums.
std::vector<double> bin_terms(const turbid::TurbidField& f) {
  std::vector<double> terms;
  terms.reserve(f.cells.size() * turbid::kFieldBins * device::kFieldTermCount);
  for (const turbid::TurbidFieldCell& cell : f.cells) {
    for (const turbid::TurbidFieldBin& b : cell.bins) {
      terms.insert(terms.end(), {b.weight, b.sum[0], b.sum[1], b.sum[2], b.sunlit_weight,
                                 b.sunlit_sum, b.shaded_sum});
    }
  }
  return terms;
}

uint64_t copy_bytes(const TurbidFieldDeviceCopy& c) {
  return c.cells.size() + c.bins.size() + c.source_front.size() + c.source_back.size();
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

// The bins of `f` summed by the assembly shader; the cells and sums stay on the device in `copy`.
void assemble_bins(VulkanSceneManager& scene, const turbid::TurbidFieldAssembly& a,
                   turbid::TurbidField& f, TurbidFieldDeviceCopy& copy) {
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
  Buffer b_sums = ctx.create_buffer(slots * kFieldTermCount * sizeof(double), 0);
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
  copy.cells = upload(ctx, cell_rows(f));
  copy.bins = std::move(b_sums);
}

// The radiance tables of `source` formed by the observation-source shader from the bins of
// `base` (the base field's device copy); the tables stay on the device in `copy`.
void assemble_source(VulkanSceneManager& scene, const TurbidFieldDeviceCopy& base,
                     const turbid::TurbidFieldAssembly& a, const turbid::TurbidSourceInputs& in,
                     turbid::TurbidField& source, TurbidFieldDeviceCopy& copy) {
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
  VulkanContext& ctx = scene.context();
  const LayoutBuffers l = upload_layout(ctx, a);
  const Buffer b_p = upload(ctx, a.state.p_sun);
  const Buffer b_lit = upload(ctx, t_lit);
  const Buffer b_shade = upload(ctx, t_shade);
  const Buffer b_wl = upload(ctx, in.wavelengths);
  const Buffer b_front = upload(ctx, in.front);
  const Buffer b_back = upload(ctx, in.back);
  const Buffer b_radiance = ctx.create_buffer(2 * n * nb * sizeof(double), 0);
  Buffer b_out_front = ctx.create_buffer(slots * nb * sizeof(float), 0);
  Buffer b_out_back = ctx.create_buffer(slots * nb * sizeof(float), 0);
  const bool sif = std::string(in.kind) == turbid::kSifSourceKind;
  TurbidSourcePush p{0, sif ? 1 : 0, static_cast<int>(n), static_cast<int>(nb),
                     static_cast<int>(source.cells.size())};
  ComputePipeline& pipeline = scene.turbid_pipeline("turbid_observation_source", 15, sizeof(p),
                                                    "turbid observation source");
  const std::vector<const Buffer*> buffers{
      &l.order, &l.begin, &l.end,  &l.bin,      &l.weight,  &b_p,         &b_lit,     &b_shade,
      &b_wl,    &b_front, &b_back, &b_radiance, &base.bins, &b_out_front, &b_out_back};
  pipeline.run(VK_NULL_HANDLE, buffers, &p, n * nb);
  p.pass = 1;
  pipeline.run(VK_NULL_HANDLE, buffers, &p, slots * nb);
  b_out_front.download(source.spectral_front.data(), slots * nb * sizeof(float));
  b_out_back.download(source.spectral_back.data(), slots * nb * sizeof(float));
  copy.cells = upload(ctx, cell_rows(source));
  copy.bins = upload(ctx, bin_terms(source));
  copy.source_front = std::move(b_out_front);
  copy.source_back = std::move(b_out_back);
}

// A device field from a host build whose accumulation step fills `copy`.
DeviceTurbidField device_field(turbid::TurbidField field,
                               std::unique_ptr<TurbidFieldDeviceCopy> copy) {
  copy->token = field.token;
  copy->bytes = copy_bytes(*copy);
  return {std::make_shared<turbid::TurbidField>(std::move(field)), std::move(copy)};
}

}  // namespace

void TurbidFieldBuffers::retain_resident(const turbid::TurbidDomainStorage& storage) {
  for (auto it = m_copies.begin(); it != m_copies.end();) {
    const auto field = storage.fields.find(it->first);
    const turbid::TurbidFieldToken& t = it->second->token;
    const bool same = field != storage.fields.end() &&
                      field->second->token.field_revision == t.field_revision &&
                      field->second->token.domain_id == t.domain_id &&
                      field->second->token.state_id == t.state_id;
    it = same ? std::next(it) : m_copies.erase(it);
  }
}

const TurbidFieldDeviceCopy& TurbidFieldBuffers::acquire(VulkanContext& context,
                                                         const turbid::TurbidField& field) {
  if (const TurbidFieldDeviceCopy* copy = find(field.token)) return *copy;
  auto copy = std::make_unique<TurbidFieldDeviceCopy>();
  copy->token = field.token;
  copy->cells = upload(context, cell_rows(field));
  copy->bins = upload(context, bin_terms(field));
  if (!field.spectral_wavelengths.empty()) {
    copy->source_front = upload(context, field.spectral_front);
    copy->source_back = upload(context, field.spectral_back);
  }
  copy->bytes = copy_bytes(*copy);
  const uint64_t id = field.token.field_id;
  m_copies[id] = std::move(copy);
  return *m_copies[id];
}

void TurbidFieldBuffers::keep(std::unique_ptr<TurbidFieldDeviceCopy> copy) {
  const uint64_t id = copy->token.field_id;
  m_copies[id] = std::move(copy);
}

const TurbidFieldDeviceCopy* TurbidFieldBuffers::find(const turbid::TurbidFieldToken& t) const {
  const auto it = m_copies.find(t.field_id);
  if (it == m_copies.end()) return nullptr;
  const turbid::TurbidFieldToken& k = it->second->token;
  const bool same = k.field_revision == t.field_revision && k.domain_id == t.domain_id &&
                    k.state_id == t.state_id;
  return same ? it->second.get() : nullptr;
}

DeviceTurbidField build_turbid_field(VulkanSceneManager& scene,
                                     const turbid::TurbidStateToken& token,
                                     const turbid::TurbidFieldConfig& config,
                                     int64_t memory_budget) {
  const auto storage = scene.host().turbid_domains();
  auto copy = std::make_unique<TurbidFieldDeviceCopy>();
  turbid::TurbidField field =
      turbid::build_field(*storage, token, config, memory_budget,
                          [&](const turbid::TurbidFieldAssembly& a, turbid::TurbidField& f) {
                            assemble_bins(scene, a, f, *copy);
                          });
  return device_field(std::move(field), std::move(copy));
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
  // Owners, keys and bins are the host's, in query order; the device answers the queries before
  // the first whose owner choice fails, so a failure there comes first, as on the CPU.
  std::vector<int32_t> root, path, bin;
  std::exception_ptr owner_failure;
  for (size_t q = 0; q < n; ++q) {
    double p[3];
    size_t o = 0;
    try {
      o = turbid::lookup_owner(f, positions + 3 * q, q, selector, p);
    } catch (const std::invalid_argument&) {
      owner_failure = std::current_exception();
      break;
    }
    const turbid::TurbidFieldOwner& w = f.owners[o];
    root.push_back(static_cast<int32_t>(f.owner_cell_offsets[o]));
    path.push_back(
        turbid_field_path(turbid_field_quantize(p[0], w.bounds_min[0], w.bounds_max[0]),
                          turbid_field_quantize(p[1], w.bounds_min[1], w.bounds_max[1]),
                          turbid_field_quantize(p[2], w.bounds_min[2], w.bounds_max[2])));
    bin.push_back(turbid::orientation_bin(normals[3 * q], normals[3 * q + 1], normals[3 * q + 2]));
  }
  const size_t m = root.size();
  turbid::TurbidFieldLookup out;
  out.values.resize(m);
  out.matched_depth.resize(m);
  out.fallback_depth.resize(m);
  std::vector<int32_t> status(m, kFieldLookupOk);
  if (m > 0) {
    VulkanContext& ctx = scene.context();
    scene.turbid_field_buffers().retain_resident(*scene.host().turbid_domains());
    const TurbidFieldDeviceCopy& copy = scene.turbid_field_buffers().acquire(ctx, f);
    const Buffer b_root = upload(ctx, root);
    const Buffer b_path = upload(ctx, path);
    const Buffer b_bin = upload(ctx, bin);
    const Buffer b_values = ctx.create_buffer(m * sizeof(float), 0);
    const Buffer b_matched = ctx.create_buffer(m * sizeof(int32_t), 0);
    const Buffer b_fallback = ctx.create_buffer(m * sizeof(int32_t), 0);
    const Buffer b_status = ctx.create_buffer(m * sizeof(int32_t), 0);
    const TurbidFieldLookupPush push{static_cast<int>(m), channel};
    ComputePipeline& pipeline =
        scene.turbid_pipeline("turbid_field_lookup", 9, sizeof(push), "turbid field lookup");
    pipeline.run(VK_NULL_HANDLE,
                 {&copy.cells, &copy.bins, &b_root, &b_path, &b_bin, &b_values, &b_matched,
                  &b_fallback, &b_status},
                 &push, m);
    b_values.download(out.values.data(), m * sizeof(float));
    b_matched.download(out.matched_depth.data(), m * sizeof(int32_t));
    b_fallback.download(out.fallback_depth.data(), m * sizeof(int32_t));
    b_status.download(status.data(), m * sizeof(int32_t));
  }
  for (size_t q = 0; q < m; ++q) {
    if (status[q] != kFieldLookupOk) {
      throw std::invalid_argument("Turbid field orientation has no populated ancestor");
    }
  }
  if (owner_failure) std::rethrow_exception(owner_failure);
  return out;
}

namespace {

// The device copy of the resident base field `token` names; resolve_field's failure when it is
// not resident.
const TurbidFieldDeviceCopy& base_copy(VulkanSceneManager& scene,
                                       const turbid::TurbidDomainStorage& storage,
                                       const turbid::TurbidFieldToken& token) {
  const turbid::TurbidField& base = turbid::resolve_field(storage, token);
  scene.turbid_field_buffers().retain_resident(storage);
  return scene.turbid_field_buffers().acquire(scene.context(), base);
}

}  // namespace

DeviceTurbidField build_turbid_thermal_source(VulkanSceneManager& scene,
                                              const turbid::TurbidFieldToken& token,
                                              const std::vector<float>& wavelengths_nm,
                                              const std::vector<float>& emissivity_front,
                                              const std::vector<float>& emissivity_back,
                                              int64_t memory_budget) {
  const auto storage = scene.host().turbid_domains();
  auto copy = std::make_unique<TurbidFieldDeviceCopy>();
  turbid::TurbidField field = turbid::build_thermal_source(
      *storage, token, wavelengths_nm, emissivity_front, emissivity_back, memory_budget,
      [&](const turbid::TurbidFieldAssembly& a, const turbid::TurbidSourceInputs& in,
          turbid::TurbidField& f) {
        assemble_source(scene, base_copy(scene, *storage, token), a, in, f, *copy);
      });
  return device_field(std::move(field), std::move(copy));
}

DeviceTurbidField build_turbid_sif_source(VulkanSceneManager& scene,
                                          const turbid::TurbidFieldToken& token,
                                          const std::vector<float>& wavelengths_nm,
                                          const std::vector<float>& exitance_front,
                                          const std::vector<float>& exitance_back,
                                          int64_t memory_budget) {
  const auto storage = scene.host().turbid_domains();
  auto copy = std::make_unique<TurbidFieldDeviceCopy>();
  turbid::TurbidField field = turbid::build_sif_source(
      *storage, token, wavelengths_nm, exitance_front, exitance_back, memory_budget,
      [&](const turbid::TurbidFieldAssembly& a, const turbid::TurbidSourceInputs& in,
          turbid::TurbidField& f) {
        assemble_source(scene, base_copy(scene, *storage, token), a, in, f, *copy);
      });
  return device_field(std::move(field), std::move(copy));
}

}  // namespace tesk::vulkan
