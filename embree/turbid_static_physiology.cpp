#include "embree/turbid_static_physiology.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "turbid/state_ops.h"

namespace tesk::embree {
namespace {

using namespace tesk::turbid;

void require(bool ok, const char* message) {
  if (!ok) throw std::invalid_argument(message);
}

void require_length(size_t got, size_t want, const char* name) {
  if (got != want) throw std::invalid_argument(std::string(name) + " buffer length mismatch");
}

bool finite_non_negative(double v) {
  return std::isfinite(v) && v >= 0.0;
}

// One output field of one condition: n values, all finite.
void check_field(const std::vector<float>& values, size_t n, int field) {
  if (values.size() != n) {
    throw std::invalid_argument(std::string("Turbid state field count mismatch: ") +
                                kStateFieldNames[field]);
  }
  for (float v : values) {
    if (!std::isfinite(v)) {
      throw std::invalid_argument(std::string("non-finite Turbid state field: ") +
                                  kStateFieldNames[field]);
    }
  }
}

void check_branch(const TurbidPhysiologyBranch& b, size_t n) {
  check_field(b.an, n, kAn);
  check_field(b.gs, n, kGs);
  check_field(b.ci, n, kCi);
  check_field(b.phi_f, n, kPhiF);
  require(b.converged.size() == n, "Turbid convergence count mismatch");
  for (uint8_t c : b.converged) require(c <= 1, "Turbid convergence flag must be zero or one");
}

}  // namespace

void validate_static_physiology_request(const TurbidDomainRecord& domain,
                                        const OwnedTurbidStaticPhysiologyRequest& q) {
  require(q.contract_revision == 1, "unsupported Turbid process contract revision");
  require(q.workflow_revision != 0, "workflow revision must be non-zero");
  require(q.radiation_token.stage == TurbidStage::Radiation,
          "StaticPhysiology requires a radiation-stage token");
  const size_t n_owners = domain.descriptor->components.size();
  require(q.owners.size() == n_owners, "StaticPhysiology owners must match domain components");
  require_length(q.owners.size(), n_owners, "physiology owners");
  require_length(q.co2.size(), n_owners, "physiology co2");
  require_length(q.relative_humidity.size(), n_owners, "physiology relative humidity");
  require(q.max_iterations > 0, "StaticPhysiology max_iterations must be positive");
  require(std::isfinite(q.tolerance) && q.tolerance > 0.0,
          "StaticPhysiology tolerance must be finite and positive");
  for (size_t o = 0; o < n_owners; ++o) {
    const double rh = q.relative_humidity[o];
    require(finite_non_negative(q.co2[o]) && std::isfinite(rh) && rh >= 0.0 && rh <= 1.0,
            "invalid StaticPhysiology scalar input");
  }
  for (const TurbidPhysiologyOwner& w : q.owners) {
    if (!w.active) continue;
    require(finite_non_negative(w.vcmax25) && finite_non_negative(w.jmax25) &&
                finite_non_negative(w.rd25) && finite_non_negative(w.ball_berry_slope) &&
                finite_non_negative(w.ball_berry_intercept) &&
                finite_non_negative(w.quantum_yield) && w.quantum_yield <= 1.0 && w.active <= 1 &&
                w.fluorescent <= 1,
            "invalid StaticPhysiology owner parameters");
  }
}

void require_static_physiology_scene(const EmbreeSceneManager& scene) {
  if (!scene.is_built() || scene.optical_media().media.empty()) {
    throw std::runtime_error(
        "Embree StaticPhysiology requires a built optical scene. No fallback was performed.");
  }
}

OwnedTurbidState assemble_turbid_static_physiology_state(
    const TurbidDomainRecord& domain, const OwnedTurbidStaticPhysiologyRequest& q,
    const OwnedTurbidState& radiation, const TurbidPhysiologyResults& results) {
  const TurbidSamplePool& pool = *domain.pool;
  const size_t n = radiation.sample_ids.size();
  check_branch(results.sunlit, n);
  check_branch(results.shaded, n);
  if (radiation.token.state_revision == std::numeric_limits<uint64_t>::max()) {
    throw std::overflow_error("Turbid state revision overflow");
  }
  OwnedTurbidState s = radiation;
  s.token = fresh_token(domain, q.workflow_revision, TurbidStage::StaticPhysiology);
  s.token.state_revision = radiation.token.state_revision + 1;
  for (size_t o = 0; o < q.owners.size(); ++o) {
    const TurbidPhysiologyOwner& w = q.owners[o];
    for (uint64_t i = pool.owner_offsets[o]; i < pool.owner_offsets[o + 1] && i < n; ++i) {
      for (int branch = 0; branch < 2; ++branch) {
        TurbidLeafState& rec = branch == 0 ? s.sunlit[i] : s.shaded[i];
        const TurbidPhysiologyBranch& r = branch == 0 ? results.sunlit : results.shaded;
        if (w.active) {
          rec.values[kTemperature] =
              static_cast<float>(branch == 0 ? w.temperature_sunlit : w.temperature_shaded);
        }
        rec.values[kAn] = r.an[i];
        rec.values[kGs] = r.gs[i];
        rec.values[kCi] = r.ci[i];
        rec.values[kPhiF] = r.phi_f[i];
        rec.converged = r.converged[i];
      }
    }
  }
  return s;
}

OwnedTurbidState execute_turbid_static_physiology(const EmbreeSceneManager& scene,
                                                  const TurbidDomainRecord& domain,
                                                  const OwnedTurbidStaticPhysiologyRequest& q,
                                                  const OwnedTurbidState& radiation,
                                                  const InterruptCheck& interrupt,
                                                  const TurbidPhysiologySolve& solve) {
  validate_static_physiology_request(domain, q);
  if (!solve) require_static_physiology_scene(scene);  // a device backend checks its own scene
  require(radiation.token.domain_id == domain.domain_id &&
              radiation.token.stage == TurbidStage::Radiation &&
              radiation.token.state_id == q.radiation_token.state_id,
          "StaticPhysiology requires a compatible radiation-state token");
  const TurbidSamplePool& pool = *domain.pool;
  const size_t n = pool.samples.size();
  require(radiation.sample_ids.size() == n && radiation.sunlit.size() == n &&
              radiation.shaded.size() == n,
          "StaticPhysiology radiation state sample count mismatch");

  // One solver element per sample and condition of an active owner: the sunlit record, then the
  // shaded one. Every value is what a one-element solver request for that record would hold.
  std::vector<size_t> element_sample;
  std::vector<float> apar, temperature, co2, rh, vpd, pressure, wind, vcmax25, jmax25, rd25, slope,
      intercept, quantum_yield;
  for (int branch = 0; branch < 2; ++branch) {
    for (size_t o = 0; o < q.owners.size(); ++o) {
      const TurbidPhysiologyOwner& w = q.owners[o];
      if (!w.active) continue;
      for (uint64_t i = pool.owner_offsets[o]; i < pool.owner_offsets[o + 1]; ++i) {
        const TurbidLeafState& rec = branch == 0 ? radiation.sunlit[i] : radiation.shaded[i];
        element_sample.push_back(i);
        apar.push_back(rec.values[kApar]);
        temperature.push_back(
            static_cast<float>(branch == 0 ? w.temperature_sunlit : w.temperature_shaded));
        co2.push_back(q.co2[o]);
        rh.push_back(q.relative_humidity[o]);
        vpd.push_back(0.0f);
        pressure.push_back(101.325f);
        wind.push_back(1.0f);
        vcmax25.push_back(static_cast<float>(w.vcmax25));
        jmax25.push_back(static_cast<float>(w.jmax25));
        rd25.push_back(static_cast<float>(w.rd25));
        slope.push_back(static_cast<float>(w.ball_berry_slope));
        intercept.push_back(static_cast<float>(w.ball_berry_intercept));
        quantum_yield.push_back(w.fluorescent ? static_cast<float>(w.quantum_yield) : 0.0f);
      }
    }
  }
  const size_t n_elements = element_sample.size();
  if (n_elements > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    throw std::overflow_error("StaticPhysiology sample exceeds native device indexing");
  }

  // Inactive owners' samples: zero gas exchange, converged.
  TurbidPhysiologyResults results;
  for (TurbidPhysiologyBranch* b : {&results.sunlit, &results.shaded}) {
    b->an.assign(n, 0.0f);
    b->gs.assign(n, 0.0f);
    b->ci.assign(n, 0.0f);
    b->phi_f.assign(n, 0.0f);
    b->converged.assign(n, 1);
  }
  if (n_elements > 0) {
    auto buffer = [](const std::vector<float>& v) {
      return physiology::FloatBuffer{v.data(), v.size()};
    };
    physiology::PhysiologyRequestView view;
    view.n_elements = static_cast<int32_t>(n_elements);
    view.n_bands = 1;
    view.apar = buffer(apar);
    view.temperature = buffer(temperature);
    view.co2 = buffer(co2);
    view.relative_humidity = buffer(rh);
    view.vpd = buffer(vpd);
    view.pressure = buffer(pressure);
    view.wind = buffer(wind);
    view.vcmax25 = buffer(vcmax25);
    view.jmax25 = buffer(jmax25);
    view.rd25 = buffer(rd25);
    view.ball_berry_slope = buffer(slope);
    view.ball_berry_intercept = buffer(intercept);
    view.quantum_yield = buffer(quantum_yield);
    view.max_iterations = static_cast<int32_t>(
        std::min<int64_t>(q.max_iterations, std::numeric_limits<int32_t>::max()));
    view.tolerance = static_cast<float>(q.tolerance);
    const physiology::PhysiologyResult r =
        solve ? solve(view) : physiology::solve_physiology(view, q.num_threads, interrupt);
    const size_t half = n_elements / 2;
    for (size_t e = 0; e < n_elements; ++e) {
      TurbidPhysiologyBranch& b = e < half ? results.sunlit : results.shaded;
      const size_t i = element_sample[e];
      b.an[i] = r.an[e];
      b.gs[i] = r.gs[e];
      b.ci[i] = r.ci[e];
      b.phi_f[i] = r.phi_f[e];
      b.converged[i] = r.converged[e];
    }
  }
  return assemble_turbid_static_physiology_state(domain, q, radiation, results);
}

}  // namespace tesk::embree
