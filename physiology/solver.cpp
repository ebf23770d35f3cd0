#include "physiology/solver.h"

#include <atomic>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "core/host/parallel.h"
#include "physiology/leaf_element.h"

namespace tesk::physiology {
namespace {

// Elements per chunk of the parallel driver.
constexpr size_t kChunkElements = 4096;

// One named buffer with the count it must hold.
struct NamedBuffer {
  const char* name;
  const FloatBuffer* buffer;
  size_t expected;
};

bool lengths_match(const NamedBuffer& f) {
  return (f.buffer->data != nullptr || f.buffer->size == 0) && f.buffer->size == f.expected;
}

// Throws "<name> buffer length mismatch" for the first buffer (in order) of the wrong length.
template <size_t N>
void check_lengths(const NamedBuffer (&fields)[N]) {
  for (const NamedBuffer& f : fields) {
    if (!lengths_match(f)) {
      throw std::invalid_argument(std::string(f.name) + " buffer length mismatch");
    }
  }
}

// Throws "<name> contains a non-finite value" for the first buffer holding one.
template <size_t N>
void check_finite(const NamedBuffer (&fields)[N]) {
  for (const NamedBuffer& f : fields) {
    for (size_t i = 0; i < f.expected; ++i) {
      if (!std::isfinite(f.buffer->data[i])) {
        throw std::invalid_argument(std::string(f.name) + " contains a non-finite value");
      }
    }
  }
}

bool physiology_domain_ok(const PhysiologyRequestView& r, size_t e) {
  return r.temperature.data[e] > 0.0f && r.co2.data[e] > 0.0f && r.pressure.data[e] > 0.0f &&
         r.vpd.data[e] >= 0.0f && r.wind.data[e] >= 0.0f && r.vcmax25.data[e] >= 0.0f &&
         r.jmax25.data[e] >= 0.0f && r.rd25.data[e] >= 0.0f && r.ball_berry_slope.data[e] >= 0.0f &&
         r.ball_berry_intercept.data[e] >= 0.0f && r.relative_humidity.data[e] >= 0.0f &&
         r.relative_humidity.data[e] <= 1.0f && r.quantum_yield.data[e] >= 0.0f &&
         r.quantum_yield.data[e] <= 1.0f;
}

bool energy_domain_ok(const PhysiologyRequestView& r, size_t e) {
  return r.absorbed_shortwave.data[e] >= 0.0f && r.absorbed_longwave.data[e] >= 0.0f &&
         r.air_temperature.data[e] > 0.0f && r.vapor_pressure.data[e] >= 0.0f &&
         r.emissivity.data[e] > 0.0f && r.emissivity.data[e] <= 1.0f &&
         r.sidedness.data[e] > 0.0f && r.leaf_width.data[e] > 0.0f &&
         r.stomata_sides.data[e] > 0.0f;
}

// Every per-element value check at once (finite values, non-negative apar, physical domains),
// for buffers whose lengths are already known to match.
bool element_is_valid(const PhysiologyRequestView& r, size_t e) {
  const auto n_bands = static_cast<size_t>(r.n_bands);
  for (size_t b = 0; b < n_bands; ++b) {
    const float v = r.apar.data[e * n_bands + b];
    if (!std::isfinite(v) || v < 0.0f) return false;
  }
  const FloatBuffer* physiology[] = {&r.temperature,
                                     &r.co2,
                                     &r.relative_humidity,
                                     &r.vpd,
                                     &r.pressure,
                                     &r.wind,
                                     &r.vcmax25,
                                     &r.jmax25,
                                     &r.rd25,
                                     &r.ball_berry_slope,
                                     &r.ball_berry_intercept,
                                     &r.quantum_yield};
  for (const FloatBuffer* f : physiology) {
    if (!std::isfinite(f->data[e])) return false;
  }
  if (!physiology_domain_ok(r, e)) return false;
  if (!r.energy_balance) return true;
  const FloatBuffer* energy[] = {&r.absorbed_shortwave, &r.absorbed_longwave, &r.air_temperature,
                                 &r.vapor_pressure,     &r.emissivity,        &r.sidedness,
                                 &r.leaf_width,         &r.stomata_sides};
  for (const FloatBuffer* f : energy) {
    if (!std::isfinite(f->data[e])) return false;
  }
  return energy_domain_ok(r, e);
}

// Whether every element passes every value check; scanned in parallel because for large
// requests this pass is the only serial-sized work besides the solve itself.
bool all_elements_valid(const PhysiologyRequestView& r, int num_threads) {
  std::atomic<bool> ok{true};
  parallel_for_chunks(r.n_elements, num_threads, kChunkElements, [&](size_t begin, size_t end) {
    for (size_t e = begin; e < end && ok.load(std::memory_order_relaxed); ++e) {
      if (!element_is_valid(r, e)) ok.store(false, std::memory_order_relaxed);
    }
  });
  return ok.load();
}

// Solves elements [begin, end) into the result's arrays.
// Stops early (leaving later entries unset) once `stop` is set.
void solve_block(const LeafElementInputs& in, const SolverControl& control, size_t begin,
                 size_t end, const LeafElementOutputs& out) {
  for (size_t e = begin; e < end; ++e) {
    if (stop_requested(control)) return;
    solve_leaf_element(in, control, e, out);
  }
}

}  // namespace

size_t checked_element_count(size_t a, size_t b, const char* what) {
  if (a != 0 && b > std::numeric_limits<size_t>::max() / a) {
    throw std::invalid_argument(std::string(what) + " size overflows size_t");
  }
  return a * b;
}

void validate_physiology_request(const PhysiologyRequestView& r) {
  if (r.n_elements < 1) throw std::invalid_argument("n_elements must be positive");
  if (r.n_bands < 1) throw std::invalid_argument("n_bands must be positive");
  const auto n = static_cast<size_t>(r.n_elements);
  const size_t n_apar = checked_element_count(n, static_cast<size_t>(r.n_bands), "APAR");
  if (r.max_iterations < 1) throw std::invalid_argument("max_iterations must be positive");
  if (!std::isfinite(r.tolerance) || !(r.tolerance > 0.0f)) {
    throw std::invalid_argument("tolerance must be finite and positive");
  }
  const NamedBuffer physiology_fields[] = {
      {"apar", &r.apar, n_apar},
      {"temperature", &r.temperature, n},
      {"co2", &r.co2, n},
      {"relative_humidity", &r.relative_humidity, n},
      {"vpd", &r.vpd, n},
      {"pressure", &r.pressure, n},
      {"wind", &r.wind, n},
      {"vcmax25", &r.vcmax25, n},
      {"jmax25", &r.jmax25, n},
      {"rd25", &r.rd25, n},
      {"ball_berry_slope", &r.ball_berry_slope, n},
      {"ball_berry_intercept", &r.ball_berry_intercept, n},
      {"quantum_yield", &r.quantum_yield, n},
  };
  const NamedBuffer energy_fields[] = {
      {"absorbed_shortwave", &r.absorbed_shortwave, n},
      {"absorbed_longwave", &r.absorbed_longwave, n},
      {"air_temperature", &r.air_temperature, n},
      {"vapor_pressure", &r.vapor_pressure, n},
      {"emissivity", &r.emissivity, n},
      {"sidedness", &r.sidedness, n},
      {"leaf_width", &r.leaf_width, n},
      {"stomata_sides", &r.stomata_sides, n},
  };
  check_lengths(physiology_fields);
  bool energy_lengths_ok = true;
  if (r.energy_balance) {
    for (const NamedBuffer& f : energy_fields)
      energy_lengths_ok = energy_lengths_ok && lengths_match(f);
  }
  // A valid request passes one parallel scan; only an invalid one is walked again in the
  // documented order to find the message of its first fault.
  if (energy_lengths_ok && all_elements_valid(r, 0)) return;
  check_finite(physiology_fields);
  if (r.energy_balance) {
    check_lengths(energy_fields);
    check_finite(energy_fields);
  }
  for (size_t i = 0; i < n_apar; ++i) {
    if (r.apar.data[i] < 0.0f) throw std::invalid_argument("apar cannot be negative");
  }
  for (size_t e = 0; e < n; ++e) {
    if (!physiology_domain_ok(r, e)) {
      throw std::invalid_argument("physiology input is outside its physical domain");
    }
    if (r.energy_balance && !energy_domain_ok(r, e)) {
      throw std::invalid_argument("dynamic physiology input is outside its physical domain");
    }
  }
}

LeafElementInputs leaf_element_inputs(const PhysiologyRequestView& r) {
  LeafElementInputs in;
  in.n_bands = r.n_bands;
  in.apar = r.apar.data;
  in.temperature = r.temperature.data;
  in.co2 = r.co2.data;
  in.relative_humidity = r.relative_humidity.data;
  in.pressure = r.pressure.data;
  in.wind = r.wind.data;
  in.vcmax25 = r.vcmax25.data;
  in.jmax25 = r.jmax25.data;
  in.rd25 = r.rd25.data;
  in.ball_berry_slope = r.ball_berry_slope.data;
  in.ball_berry_intercept = r.ball_berry_intercept.data;
  in.quantum_yield = r.quantum_yield.data;
  in.energy_balance = r.energy_balance;
  in.solve_temperature = r.solve_temperature;
  if (r.energy_balance) {
    in.absorbed_shortwave = r.absorbed_shortwave.data;
    in.absorbed_longwave = r.absorbed_longwave.data;
    in.air_temperature = r.air_temperature.data;
    in.vapor_pressure = r.vapor_pressure.data;
    in.emissivity = r.emissivity.data;
    in.sidedness = r.sidedness.data;
    in.leaf_width = r.leaf_width.data;
    in.stomata_sides = r.stomata_sides.data;
  }
  return in;
}

PhysiologyResult sized_physiology_result(const PhysiologyRequestView& request) {
  const auto n = static_cast<size_t>(request.n_elements);
  PhysiologyResult out;
  out.an.resize(n);
  out.gs.resize(n);
  out.ci.resize(n);
  out.phi_f.resize(n);
  out.converged.resize(n);
  if (request.energy_balance) {
    out.temperature.resize(n);
    out.net_radiation.resize(n);
    out.sensible_heat.resize(n);
    out.latent_heat.resize(n);
  }
  return out;
}

LeafElementOutputs leaf_element_outputs(PhysiologyResult& r) {
  auto data = [](std::vector<float>& v) { return v.empty() ? nullptr : v.data(); };
  return LeafElementOutputs{data(r.an),
                            data(r.gs),
                            data(r.ci),
                            data(r.phi_f),
                            r.converged.data(),
                            data(r.temperature),
                            data(r.net_radiation),
                            data(r.sensible_heat),
                            data(r.latent_heat)};
}

PhysiologyResult solve_physiology(const PhysiologyRequestView& request, int num_threads,
                                  const InterruptCheck& interrupt) {
  validate_physiology_request(request);
  PhysiologyResult out = sized_physiology_result(request);
  out.execution = cpu_execution(WorkflowCode::PhysiologySolver, "embree.cpu.physiology_solver");

  // Elements are solved in chunks on the parallel driver and written by index. The leaf
  // iterations read `stop` every few hundred passes: an interrupt raises it before the driver
  // joins the workers, so even an element that would iterate for hours stops at once.
  int stop = 0;
  const InterruptCheck check =
      interrupt_raising_stop(interrupt, [&stop] { __atomic_store_n(&stop, 1, __ATOMIC_RELAXED); });
  const SolverControl control{request.max_iterations, request.tolerance, &stop};
  const LeafElementInputs in = leaf_element_inputs(request);
  const LeafElementOutputs arrays = leaf_element_outputs(out);
  parallel_for_chunks(
      static_cast<size_t>(request.n_elements), num_threads, kChunkElements,
      [&](size_t begin, size_t end) { solve_block(in, control, begin, end, arrays); }, check);
  return out;
}

}  // namespace tesk::physiology
