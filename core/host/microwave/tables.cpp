#include "core/host/microwave/tables.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace tesk::microwave {
namespace {

[[noreturn]] void fail(const std::string& message) {
  throw std::invalid_argument(message);
}

// Whether an array holds values (a default FloatArray has no data and reads as a scalar).
bool present(const FloatArray& a) {
  return a.data != nullptr && a.size() > 0;
}

// Rows of a [rows][cols] parameter array (a 1-D array of `cols` values is one row when
// `vector_ok`); `min_cols` is the least width accepted. Empty arrays have no rows.
size_t parameter_rows(const FloatArray& a, const char* name, size_t cols, bool at_least,
                      bool vector_ok) {
  if (!present(a)) return 0;
  const std::string what = std::string(name) + " must have shape (n, " + (at_least ? ">= " : "") +
                           std::to_string(cols) + ")";
  size_t rows = 0, width = 0;
  if (a.shape.size() == 1 && vector_ok) {
    rows = 1;
    width = a.shape[0];
  } else if (a.shape.size() == 2) {
    rows = a.shape[0];
    width = a.shape[1];
  } else {
    fail(what);
  }
  if (at_least ? width < cols : width != cols) fail(what);
  for (size_t i = 0; i < a.size(); ++i) {
    if (!std::isfinite(a.data[i])) fail(std::string(name) + " must be finite");
  }
  return rows;
}

// Cumulative sums of w (count values, stride apart) normalised to end at 1; uniform when the
// sum is not positive.
void cumulative(const float* w, int count, int stride, float* out) {
  double total = 0.0;
  for (int k = 0; k < count; ++k) total += std::max(w[k * stride], 0.0f);
  double run = 0.0;
  for (int k = 0; k < count; ++k) {
    run += total > 0.0 ? std::max(w[k * stride], 0.0f) / total : 1.0 / count;
    out[k] = static_cast<float>(std::min(run, 1.0));
  }
  out[count - 1] = 1.0f;
}

}  // namespace

MicrowaveTables MicrowaveTableSet::view() const {
  MicrowaveTables t = header;
  auto ptr = [](const std::vector<float>& v) { return v.empty() ? nullptr : v.data(); };
  t.material_map = material_map.empty() ? nullptr : material_map.data();
  t.passive_soil = ptr(passive_soil);
  t.active_soil = ptr(active_soil);
  t.smooth_soil = ptr(smooth_soil);
  t.vegetation = ptr(vegetation);
  t.trunk_response = ptr(trunk_response);
  t.trunk_active = ptr(trunk_active);
  t.mueller = ptr(mueller);
  t.cosine_cdf = ptr(cosine_cdf);
  t.azimuth_cdf = ptr(azimuth_cdf);
  return t;
}

MicrowaveTableSet build_microwave_tables(const MicrowaveTableRequest& r) {
  if (!(std::isfinite(r.frequency) && r.frequency > 0.0)) fail("frequency must be positive");
  if (r.max_depth < 1) fail("max_depth must be at least 1");
  if (!(std::isfinite(r.air_temperature) && r.air_temperature >= 0.0f)) {
    fail("air_temperature must be finite and non-negative");
  }
  if (!(std::isfinite(r.atmosphere_tau) && r.atmosphere_tau >= 0.0f)) {
    fail("atm_tau must be finite and non-negative");
  }
  const size_t S = parameter_rows(r.soil, "mw_soil_params", 12, true, true);
  const size_t V = parameter_rows(r.vegetation, "mw_veg_params", kVegetationColumns, false, true);
  const size_t T = parameter_rows(r.trunk, "mw_trunk_params", 7, false, true);
  const size_t soil_width = S > 0 ? r.soil.size() / S : 12;
  if (r.n_map < 0 || (r.n_map > 0 && r.material_map == nullptr)) fail("material_map is missing");
  const size_t counts[5] = {0, S, V, T, S};
  const char* names[5] = {"", "mw_soil_params", "mw_veg_params", "mw_trunk_params",
                          "mw_soil_params"};
  MicrowaveTableSet set;
  set.material_map.assign(r.material_map, r.material_map + 2 * r.n_map);
  for (int64_t i = 0; i < r.n_map; ++i) {
    const int c = set.material_map[2 * i], k = set.material_map[2 * i + 1];
    if (c < 0 || c > kClassSmoothSoil) {
      fail("material_map row " + std::to_string(i) + ": class " + std::to_string(c) +
           " is not 0 (absorber), 1 (soil), 2 (vegetation), 3 (trunk) or 4 (smooth soil)");
    }
    if (c != kClassAbsorber && (k < 0 || static_cast<size_t>(k) >= counts[c])) {
      fail("material_map row " + std::to_string(i) + ": index " + std::to_string(k) +
           " has no row in " + names[c] + " (" + std::to_string(counts[c]) + " rows)");
    }
  }

  const int M = kMicrowaveTableSize;
  std::vector<float> mu(M);
  for (int i = 0; i < M; ++i) mu[i] = static_cast<float>(i) / static_cast<float>(M - 1);
  const FloatArray cosines{mu.data(), {static_cast<size_t>(M)}};
  auto append = [](std::vector<float>& to, const ResultTable& t) {
    to.insert(to.end(), t.values.begin(), t.values.end());
  };
  for (size_t s = 0; s < S; ++s) {
    const FloatArray soil{r.soil.data + s * soil_width, {soil_width}};
    append(set.passive_soil, evaluate_soil(r.frequency, soil, cosines, false));
    append(set.active_soil, evaluate_soil(r.frequency, soil, cosines, true));
    append(set.smooth_soil, evaluate_soil_reflectivity(r.frequency, soil, cosines, false));
  }
  if (V > 0) set.vegetation.assign(r.vegetation.data, r.vegetation.data + r.vegetation.size());
  for (size_t k = 0; k < V; ++k) {
    const float* v = r.vegetation.data + k * kVegetationColumns;
    if (v[0] < 0.0f || v[1] < 0.0f || v[1] > 1.0f || v[2] < 0.0f) {
      fail("mw_veg_params row " + std::to_string(k) +
           ": optical depth and temperature must be non-negative and the albedo in [0, 1]");
    }
  }
  for (size_t k = 0; k < T; ++k) {
    const float* tv = r.trunk.data + 7 * k;
    const FloatArray trunk{tv, {7}};
    append(set.trunk_response, evaluate_trunk(r.frequency, trunk, cosines));
    std::vector<float> dirs(3 * M), ups(3 * M);
    // Axis a and a unit vector p normal to it.
    double a[3] = {tv[4], tv[5], tv[6]};
    const double an = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
    if (an > 0.0) {
      for (double& x : a) x /= an;
    } else {
      a[0] = a[1] = 0.0;
      a[2] = 1.0;
    }
    const double helper[3] = {std::fabs(a[0]) < 0.9 ? 1.0 : 0.0, std::fabs(a[0]) < 0.9 ? 0.0 : 1.0,
                              0.0};
    double p[3] = {a[1] * helper[2] - a[2] * helper[1], a[2] * helper[0] - a[0] * helper[2],
                   a[0] * helper[1] - a[1] * helper[0]};
    const double pn = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
    for (double& x : p) x /= pn;
    for (int i = 0; i < M; ++i) {
      const double m = std::max<double>(mu[i], kMinCosine);
      const double along = std::sqrt(std::max(0.0, 1.0 - m * m));
      for (int j = 0; j < 3; ++j) dirs[3 * i + j] = static_cast<float>(m * p[j] - along * a[j]);
      ups[3 * i + 2] = 1.0f;
    }
    const FloatArray d{dirs.data(), {static_cast<size_t>(M), 3}};
    const FloatArray n{ups.data(), {static_cast<size_t>(M), 3}};
    const std::vector<float> neutral(12, 0.0f);
    const FloatArray soil =
        S > 0 ? FloatArray{r.soil.data, {soil_width}} : FloatArray{neutral.data(), {12}};
    const ResultTable g = evaluate_trunk_ground(r.frequency, soil, trunk, d, d, n);
    const double radius = tv[0], length = tv[1];
    for (int i = 0; i < M; ++i) {
      const double m = std::max<double>(mu[i], kMinCosine);
      const double area = 2.0 * radius * length * m;
      for (int c = 0; c < kTrunkActiveColumns; ++c) {
        const double sigma = g.values[static_cast<size_t>(i) * g.cols + c];
        const bool ok = std::isfinite(sigma) && area > 0.0 && (c < 4 || S > 0);
        set.trunk_active.push_back(ok ? static_cast<float>(sigma / area) : 0.0f);
      }
    }
  }

  const int C = r.lut_cosines, A = r.lut_azimuths;
  if (present(r.vegetation_mueller)) {
    if (C < 1 || A < 1) fail("vegetation phase tables need positive cosine and azimuth cells");
    const size_t want = V * static_cast<size_t>(C) * C * A * kMuellerEntries;
    if (r.vegetation_mueller.size() != want) {
      fail("mw_veg_mueller_luts must hold n_veg x C x C x A x 16 = " + std::to_string(want) +
           " values (n_veg " + std::to_string(V) + ", C " + std::to_string(C) + ", A " +
           std::to_string(A) + "), got " + std::to_string(r.vegetation_mueller.size()));
    }
    set.mueller.assign(r.vegetation_mueller.data, r.vegetation_mueller.data + want);
    for (float x : set.mueller) {
      if (!std::isfinite(x)) fail("mw_veg_mueller_luts must be finite");
    }
    // Total intensity of the (H, V) block of every cell.
    std::vector<float> w(want / kMuellerEntries);
    for (size_t e = 0; e < w.size(); ++e) {
      const float* m = set.mueller.data() + e * kMuellerEntries;
      w[e] = m[0] + m[1] + m[4] + m[5];
    }
    set.cosine_cdf.resize(V * C * C);
    set.azimuth_cdf.resize(V * C * C * A);
    std::vector<float> per_cell(C);
    for (size_t row = 0; row < V * C; ++row) {
      for (int o = 0; o < C; ++o) {
        const size_t cell = row * C + o;
        double sum = 0.0;
        for (int k = 0; k < A; ++k) sum += std::max(w[cell * A + k], 0.0f);
        per_cell[o] = static_cast<float>(sum);
        cumulative(w.data() + cell * A, A, 1, set.azimuth_cdf.data() + cell * A);
      }
      cumulative(per_cell.data(), C, 1, set.cosine_cdf.data() + row * C);
    }
    set.header.lut_cosines = C;
    set.header.lut_azimuths = A;
  }
  MicrowaveTables& h = set.header;
  h.active = r.active ? 1 : 0;
  h.max_depth = r.max_depth;
  h.air_temperature = r.air_temperature;
  h.atmosphere_tau = r.atmosphere_tau;
  h.table_size = M;
  h.n_map = static_cast<int32_t>(r.n_map);
  h.soil_count = static_cast<int32_t>(S);
  h.vegetation_count = static_cast<int32_t>(V);
  h.trunk_count = static_cast<int32_t>(T);
  return set;
}

}  // namespace tesk::microwave
