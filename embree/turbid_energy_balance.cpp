#include "embree/turbid_energy_balance.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "core/transport_constants.h"
#include "embree/turbid_leaf_rrt.h"
#include "embree/turbid_radiation.h"
#include "turbid/state_ops.h"

namespace tesk::embree {
namespace {

using namespace tesk::turbid;
using tesk::transport::kStefanBoltzmann;
using tesk::transport::kTurbidDefaultEmissivity;

constexpr double kPi = 3.14159265358979323846;
constexpr double kSigma = static_cast<double>(kStefanBoltzmann);
constexpr double kMinTemperature = 200.0, kMaxTemperature = 350.0, kMaxStep = 20.0;

void require(bool ok, const char* message) {
  if (!ok) throw std::invalid_argument(message);
}

// Saturation vapour pressure (Pa) at T (K) and its derivative.
double saturation_pressure(double t) {
  const double c = t - 273.15;
  return 610.78 * std::exp(17.27 * c / (c + 237.3));
}

// The emitted, sensible and latent terms of a branch at temperature t.
TurbidEnergyBalanceBranchFluxes branch_terms(double t, const TurbidEnergyBalanceOwner& o,
                                             const OwnedTurbidEnergyBalanceRequest& q) {
  TurbidEnergyBalanceBranchFluxes b;
  b.temperature = t;
  b.emitted_longwave = o.emissivity * kSigma * o.sidedness * t * t * t * t;
  b.sensible_heat = o.sensible_derivative * (t - q.air_temperature);
  b.latent_heat = o.latent_coefficient * (saturation_pressure(t) - q.vapor_pressure);
  return b;
}

}  // namespace

TurbidEnergyBalanceBranchFluxes solve_turbid_leaf_branch(double absorbed, double start,
                                                         const TurbidEnergyBalanceOwner& o,
                                                         const OwnedTurbidEnergyBalanceRequest& q) {
  const double es = o.emissivity * kSigma * o.sidedness;
  auto f = [&](double t) {
    return absorbed - es * t * t * t * t - o.sensible_derivative * (t - q.air_temperature) -
           o.latent_coefficient * (saturation_pressure(t) - q.vapor_pressure) - o.ground_heat;
  };
  auto df = [&](double t) {
    const double c = t - 273.15 + 237.3;
    return -4.0 * es * t * t * t - o.sensible_derivative -
           o.latent_coefficient * 17.27 * 237.3 * saturation_pressure(t) / (c * c);
  };
  bool converged = false;
  double t = std::clamp(start, kMinTemperature, kMaxTemperature);
  for (int64_t i = 0; i < q.newton_max_iterations; ++i) {
    const double d = df(t);
    if (std::fabs(d) <= 1e-12) break;
    const double step = std::clamp(f(t) / d, -kMaxStep, kMaxStep);
    const double next = std::clamp(t - step, kMinTemperature, kMaxTemperature);
    const bool done = std::fabs(next - t) < q.newton_tolerance;
    t = next;
    if (done) {
      converged = true;
      break;
    }
  }
  TurbidEnergyBalanceBranchFluxes b = branch_terms(t, o, q);
  b.converged = converged;
  return b;
}

void validate_energy_balance_request(const TurbidDomainRecord& domain,
                                     const OwnedTurbidEnergyBalanceRequest& q) {
  require(q.contract_revision == 1, "unsupported Turbid process contract revision");
  require(q.workflow_revision != 0, "workflow revision must be non-zero");
  require(q.source_token.stage == TurbidStage::Radiation ||
              q.source_token.stage == TurbidStage::StaticPhysiology,
          "TurbidEnergyBalance requires a radiation- or static-physiology-stage token");
  require(q.owners.size() == domain.descriptor->components.size(),
          "TurbidEnergyBalance owners must match domain components");
  require(q.rays_per_sample >= 1 && q.max_depth >= 1 && q.max_iterations >= 1,
          "TurbidEnergyBalance ray/depth/iteration budgets must be positive");
  require(std::isfinite(q.convergence_tolerance) && q.convergence_tolerance > 0.0 &&
              std::isfinite(q.damping) && q.damping > 0.0 && q.damping <= 1.0 &&
              q.newton_max_iterations >= 1 && std::isfinite(q.newton_tolerance) &&
              q.newton_tolerance > 0.0,
          "invalid TurbidEnergyBalance convergence scalars");
  const double climate[] = {q.air_temperature, q.vapor_pressure, q.pressure, q.wind,
                            q.sky_lw_radiance};
  for (double v : climate)
    require(std::isfinite(v), "TurbidEnergyBalance microclimate must be finite");
  require(q.air_temperature > 0.0 && q.vapor_pressure >= 0.0 && q.pressure > 0.0 && q.wind >= 0.0 &&
              q.sky_lw_radiance >= 0.0,
          "TurbidEnergyBalance microclimate is outside its domain");
  for (const TurbidEnergyBalanceOwner& o : q.owners) {
    if (!o.active) continue;
    auto in = [](double v, double lo, double hi) { return std::isfinite(v) && v >= lo && v <= hi; };
    const double inf = std::numeric_limits<double>::max();
    require(o.transport_medium_id >= 0 && o.transport_instance_id >= 0 &&
                o.transport_medium_id <= std::numeric_limits<int32_t>::max() &&
                o.transport_instance_id <= std::numeric_limits<int32_t>::max() &&
                in(o.emissivity, 0.0, 1.0) && o.emissivity > 0.0 && in(o.sidedness, 1.0, 2.0) &&
                in(o.leaf_width, 0.0, inf) && o.leaf_width > 0.0 && in(o.stomata_sides, 0.0, inf) &&
                o.stomata_sides > 0.0 && in(o.sensible_derivative, 0.0, inf) &&
                in(o.latent_coefficient, 0.0, inf) && in(o.ground_heat, 0.0, inf),
            "invalid TurbidEnergyBalance owner parameters");
  }
}

TurbidEnergyBalanceRun execute_turbid_energy_balance(const EmbreeSceneManager& scene,
                                                     const TurbidDomainRecord& domain,
                                                     const OwnedTurbidEnergyBalanceRequest& q,
                                                     const OwnedTurbidState& source,
                                                     const ProgressCallback& progress,
                                                     const InterruptCheck& interrupt,
                                                     const TurbidLeafRRTTransport& transport) {
  validate_energy_balance_request(domain, q);
  const auto n_media = static_cast<int32_t>(scene.optical_media().media.size());
  if (!transport && (!scene.is_built() || n_media == 0)) {
    throw std::runtime_error(
        "Embree Turbid energy balance requires a built optical scene. No fallback was "
        "performed.");
  }
  const TurbidSamplePool& pool = *domain.pool;
  const size_t n = pool.samples.size();
  const size_t n_owners = q.owners.size();
  if (n > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    throw std::overflow_error("Turbid energy-balance sample exceeds native device indexing");
  }
  if (n_owners > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    throw std::overflow_error("Turbid energy-balance owner exceeds native device indexing");
  }
  require(source.sample_ids.size() == n, "Turbid energy-balance state shape mismatch");
  if (source.token.state_revision == std::numeric_limits<uint64_t>::max()) {
    throw std::overflow_error("Turbid state revision overflow");
  }
  const int32_t n_instances = scene.num_instances();

  // Transport inputs: every owner's medium and instance (inactive owners keep theirs when valid).
  TurbidRadiationOwnerTransport t;
  for (const TurbidEnergyBalanceOwner& o : q.owners) {
    const bool usable = o.transport_medium_id >= 0 && o.transport_medium_id < n_media &&
                        o.transport_instance_id >= 0 && o.transport_instance_id < n_instances;
    require(usable || !o.active, "invalid TurbidEnergyBalance owner parameters");
    t.owner_medium.push_back(usable ? static_cast<int32_t>(o.transport_medium_id) : -1);
    t.owner_instance.push_back(usable ? static_cast<int32_t>(o.transport_instance_id) : -1);
  }
  expand_active_media(domain, t);
  const TurbidLeafRRTInputs inputs = leaf_rrt_inputs(domain, t);

  // Every instance emits as a grey body at the air temperature; owner instances take the
  // owner's emissivity and, from the first iteration on, the mean emission of its leaves.
  const double t_air = q.air_temperature;
  std::vector<float> emissivity(static_cast<size_t>(n_instances), kTurbidDefaultEmissivity);
  std::vector<float> radiance(
      static_cast<size_t>(n_instances),
      static_cast<float>(kTurbidDefaultEmissivity * kSigma * t_air * t_air * t_air * t_air / kPi));
  for (size_t o = 0; o < n_owners; ++o) {
    if (q.owners[o].active && t.owner_instance[o] >= 0) {
      emissivity[t.owner_instance[o]] = static_cast<float>(q.owners[o].emissivity);
    }
  }
  std::vector<double> t_sun(n, t_air), t_shade(n, t_air);
  std::vector<TurbidEnergyBalanceBranchFluxes> lit(n), shade(n);
  const std::vector<float> sky{static_cast<float>(q.sky_lw_radiance)};

  TurbidLeafRRTParams p;
  inputs.fill(p, t);
  p.n_bands = 1;
  p.rays_per_sample = static_cast<int>(std::min<int64_t>(q.rays_per_sample, 1 << 30));
  p.max_depth = static_cast<int>(std::min<int64_t>(q.max_depth, 1 << 30));
  p.sky_diffuse_radiance = sky;
  p.thermal_mode = true;
  p.instance_lw_radiance = radiance;
  p.instance_emissivity = emissivity;
  p.num_threads = q.num_threads;

  TurbidEnergyBalanceRun run;
  for (int64_t iteration = 0; iteration < q.max_iterations; ++iteration) {
    // 1. Mean emission of each owner's leaves onto its transport instance.
    for (size_t o = 0; o < n_owners; ++o) {
      const TurbidEnergyBalanceOwner& w = q.owners[o];
      if (!w.active || t.owner_instance[o] < 0) continue;
      double area = 0.0, sum = 0.0;
      for (uint64_t i = pool.owner_offsets[o]; i < pool.owner_offsets[o + 1]; ++i) {
        const double wi = pool.samples[i].weight, ps = source.p_sun[i];
        const double a = t_sun[i] * t_sun[i], b = t_shade[i] * t_shade[i];
        area += wi;
        sum += wi * w.emissivity * kSigma * (ps * a * a + (1.0 - ps) * b * b);
      }
      radiance[t.owner_instance[o]] = area > 0.0 ? static_cast<float>(sum / area / kPi) : 0.0f;
    }
    // 2. Longwave transport. Every iteration draws the same random numbers, so the update is a
    // smooth map of the temperatures whose fixed point the loop can reach; fresh noise in each
    // iteration would keep the largest change at the Monte Carlo noise level.
    p.seed = q.seed;
    const TurbidLeafRRTResult r =
        transport ? transport(p) : run_turbid_leaf_rrt_cpu(scene, p, progress, interrupt);
    // 3.-4. Newton solve per sample and branch, relaxed with the damping.
    double largest = 0.0;
    for (size_t o = 0; o < n_owners; ++o) {
      const TurbidEnergyBalanceOwner& w = q.owners[o];
      if (!w.active) continue;
      for (uint64_t i = pool.owner_offsets[o]; i < pool.owner_offsets[o + 1]; ++i) {
        // The tracer's totals are incident irradiance; a grey leaf absorbs the emissivity's share
        // of it, which keeps a leaf in an isothermal enclosure at the enclosure's temperature.
        const double lw_top = w.emissivity * r.total_top[i];
        const double lw_bot = w.emissivity * r.total_bottom[i];
        for (int branch = 0; branch < 2; ++branch) {
          const TurbidLeafState& rec = branch == 0 ? source.sunlit[i] : source.shaded[i];
          const double sw = double{rec.values[kAbsorbedSwTop]} + rec.values[kAbsorbedSwBottom];
          double& temperature = branch == 0 ? t_sun[i] : t_shade[i];
          TurbidEnergyBalanceBranchFluxes b =
              solve_turbid_leaf_branch(sw + lw_top + lw_bot, temperature, w, q);
          const double relaxed = temperature + q.damping * (b.temperature - temperature);
          largest = std::max(largest, std::fabs(relaxed - temperature));
          temperature = relaxed;
          b.absorbed_lw_top = lw_top;
          b.absorbed_lw_bottom = lw_bot;
          (branch == 0 ? lit : shade)[i] = b;
        }
      }
    }
    run.iterations = iteration + 1;
    run.max_temperature_change = largest;
    if (largest <= q.convergence_tolerance) {
      run.converged = true;
      break;
    }
  }

  // 5. The energy-balance state: the source records with the balance's fields at the final T.
  OwnedTurbidState& s = run.state;
  s = source;
  s.token = fresh_token(domain, q.workflow_revision, TurbidStage::EnergyBalance);
  s.token.state_revision = source.token.state_revision + 1;
  for (size_t o = 0; o < n_owners; ++o) {
    const TurbidEnergyBalanceOwner& w = q.owners[o];
    for (uint64_t i = pool.owner_offsets[o]; i < pool.owner_offsets[o + 1]; ++i) {
      for (int branch = 0; branch < 2; ++branch) {
        TurbidLeafState& rec = branch == 0 ? s.sunlit[i] : s.shaded[i];
        if (!w.active) {
          rec.values[kTemperature] = static_cast<float>(t_air);
          continue;
        }
        const double temperature = branch == 0 ? t_sun[i] : t_shade[i];
        const TurbidEnergyBalanceBranchFluxes& solved = (branch == 0 ? lit : shade)[i];
        const TurbidEnergyBalanceBranchFluxes at = branch_terms(temperature, w, q);
        rec.values[kTemperature] = static_cast<float>(temperature);
        rec.values[kAbsorbedLwTop] = static_cast<float>(solved.absorbed_lw_top);
        rec.values[kAbsorbedLwBottom] = static_cast<float>(solved.absorbed_lw_bottom);
        rec.values[kEmittedLongwave] = static_cast<float>(at.emitted_longwave);
        rec.values[kSensibleHeat] = static_cast<float>(at.sensible_heat);
        rec.values[kLatentHeat] = static_cast<float>(at.latent_heat);
        rec.converged = solved.converged && rec.converged ? 1 : 0;
      }
    }
  }
  return run;
}

}  // namespace tesk::embree
