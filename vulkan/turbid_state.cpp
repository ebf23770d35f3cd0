#include "vulkan/turbid_state.h"

#include <cmath>
#include <limits>
#include <span>
#include <stdexcept>

#include "shaders/turbid_records.h"

namespace tesk::vulkan {
namespace {

template <typename T>
Buffer upload(VulkanContext& ctx, const std::vector<T>& values) {
  return ctx.upload_buffer(values.data(), values.size() * sizeof(T));
}

// The weighted sums of `job` on the device, written into the groups of `out`.
void device_sums(VulkanSceneManager& scene, const turbid::TurbidMomentsJob& job,
                 turbid::TurbidAggregation& out) {
  const turbid::OwnedTurbidState& state = *job.state;
  const size_t n = job.weights.size();
  const size_t groups = out.groups.size();
  const size_t nf = job.fields.size();
  if (n > std::numeric_limits<uint32_t>::max() ||
      groups * nf > std::numeric_limits<uint32_t>::max()) {
    throw std::length_error("Vulkan Turbid aggregation supports at most 2^32-1 samples");
  }
  std::vector<uint32_t> begin(groups), end(groups);
  for (size_t g = 0; g < groups; ++g) {
    begin[g] = static_cast<uint32_t>(job.begin[g]);
    end[g] = static_cast<uint32_t>(job.end[g]);
  }
  // The state gathered in entry order, so the shader reads each group's entries in one range.
  std::vector<int32_t> converged(n);
  std::vector<float> p_sun(n), sunlit(n * nf), shaded(n * nf);
  for (size_t e = 0; e < n; ++e) {
    const size_t i = job.samples[e];
    p_sun[e] = state.p_sun[i];
    converged[e] = state.sunlit[i].converged == 1 && state.shaded[i].converged == 1 ? 1 : 0;
    for (size_t k = 0; k < nf; ++k) {
      sunlit[e * nf + k] = state.sunlit[i].values[job.fields[k]];
      shaded[e * nf + k] = state.shaded[i].values[job.fields[k]];
    }
  }
  VulkanContext& ctx = scene.context();
  const Buffer b_begin = upload(ctx, begin);
  const Buffer b_end = upload(ctx, end);
  const Buffer b_weights = upload(ctx, job.weights);
  const Buffer b_p_sun = upload(ctx, p_sun);
  const Buffer b_converged = upload(ctx, converged);
  const Buffer b_sunlit = upload(ctx, sunlit);
  const Buffer b_shaded = upload(ctx, shaded);
  const size_t row = static_cast<size_t>(device::kTurbidGroupSums) +
                     static_cast<size_t>(device::kTurbidFieldSums) * nf;
  const Buffer b_sums = ctx.create_buffer(groups * row * sizeof(double), 0);
  const device::TurbidStatePush p{static_cast<int>(groups), static_cast<int>(nf)};
  ComputePipeline& pipeline =
      scene.turbid_pipeline("turbid_state", 8, sizeof(p), "turbid state aggregation");
  pipeline.run(
      VK_NULL_HANDLE,
      {&b_begin, &b_end, &b_weights, &b_p_sun, &b_converged, &b_sunlit, &b_shaded, &b_sums}, &p,
      groups * nf);
  std::vector<double> sums(groups * row);
  b_sums.download(sums.data(), sums.size() * sizeof(double));
  for (size_t g = 0; g < groups; ++g) {
    const double* r = sums.data() + g * row;
    turbid::TurbidGroupAggregate& a = out.groups[g];
    a.p_sun = r[device::kTurbidGroupPSun];
    a.converged = a.converged && r[device::kTurbidGroupConverged] != 0.0;
    for (size_t k = 0; k < nf; ++k) {
      const double* f = r + device::kTurbidGroupSums + device::kTurbidFieldSums * k;
      a.fields[k].mean = f[device::kTurbidFieldMean];
      a.fields[k].second_moment = f[device::kTurbidFieldSecondMoment];
      a.fields[k].sunlit_mean = f[device::kTurbidFieldSunlit];
      a.fields[k].shaded_mean = f[device::kTurbidFieldShaded];
    }
  }
}

}  // namespace

turbid::TurbidAggregation aggregate_turbid_state(
    VulkanSceneManager& scene, const turbid::TurbidStateToken& token,
    const std::vector<std::string>& fields, const std::string& diagnostics,
    const std::optional<std::vector<uint64_t>>& requested) {
  const auto storage = scene.host().turbid_domains();
  return turbid::aggregate_state(
      *storage, token, fields, diagnostics, requested,
      [&scene](const turbid::TurbidMomentsJob& job, turbid::TurbidAggregation& out) {
        device_sums(scene, job, out);
      });
}

turbid::TurbidFieldMoments weighted_reduction(VulkanSceneManager& scene,
                                              const std::vector<double>& values,
                                              const std::vector<double>& weights) {
  std::vector<double> g = turbid::weighted_reduction_weights(values, weights);
  const size_t n = values.size();
  // One group of one field, every sample sunlit: the shader's mean is then sum g v.
  turbid::OwnedTurbidState state;
  state.p_sun.assign(n, 1.0f);
  state.sunlit.resize(n);
  for (size_t i = 0; i < n; ++i) {
    if (std::fabs(values[i]) > std::numeric_limits<float>::max()) {
      throw std::invalid_argument("Vulkan weighted Turbid reduction supports float32 values");
    }
    state.sunlit[i].values[0] = static_cast<float>(values[i]);
  }
  state.shaded = state.sunlit;
  turbid::TurbidMomentsJob job;
  job.state = &state;
  job.fields = {0};
  job.begin = {0};
  job.end = {n};
  job.samples.resize(n);
  for (size_t i = 0; i < n; ++i) job.samples[i] = i;
  job.weights = std::move(g);
  turbid::TurbidAggregation sums;
  sums.groups.resize(1);
  sums.groups[0].fields.resize(1);
  device_sums(scene, job, sums);
  const turbid::TurbidFieldMoments& f = sums.groups[0].fields[0];
  return turbid::weighted_reduction_moments(f.mean, f.second_moment);
}

}  // namespace tesk::vulkan
