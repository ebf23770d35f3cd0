#include "core/host/microwave/evaluators.h"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "core/host/parallel.h"
#include "core/microwave/surface.h"

namespace tesk::microwave {
namespace {

constexpr char kSoilMessage[] = "soil parameters must be a 1D array with 12 values";
constexpr char kTrunkMessage[] = "trunk parameters must be a 1D array with 7 values";
constexpr char kCosinesMessage[] = "cosines must be a 1D array";
constexpr char kDirectionsMessage[] = "direction and normal arrays must all have shape (N, 3)";

// Rows per work item: the surface models are cheap, the trunk series is not.
constexpr std::size_t kCosineChunk = 8192;
constexpr std::size_t kTripleChunk = 64;

void check_cosines_(const FloatArray& cosines) {
  if (cosines.shape.size() != 1) throw std::runtime_error(kCosinesMessage);
}

ResultTable make_table_(std::size_t rows, std::size_t cols) {
  ResultTable t;
  t.rows = rows;
  t.cols = cols;
  t.values.assign(rows * cols, 0.0f);
  return t;
}

// Runs row(i, out_row) for every row, in parallel for large tables.
template <typename Row>
void for_each_row_(ResultTable& table, std::size_t chunk, Row&& row) {
  parallel_for_chunks(table.rows, resolve_thread_count(0), chunk,
                      [&](std::size_t begin, std::size_t end) {
                        for (std::size_t i = begin; i < end; ++i) {
                          row(i, table.values.data() + i * table.cols);
                        }
                      });
}

Complex soil_permittivity_at_(const SoilParameters& p, SoilDielectricModel model, double frequency,
                              double temperature) {
  return soil_permittivity(model, frequency, p.sand, p.clay, p.moisture, temperature);
}

bool is_triple_array_(const FloatArray& a) {
  return a.shape.size() == 2 && a.shape[1] == 3;
}

Vec3 row_vec_(const FloatArray& a, std::size_t i) {
  const float* r = a.data + 3 * i;
  return {r[0], r[1], r[2]};
}

bool usable_direction_(Vec3 v) {
  const double len = length(v);
  return std::isfinite(len) && len > 0.0;
}

}  // namespace

SoilParameters parse_soil_parameters(const FloatArray& parameters) {
  if (parameters.shape.size() != 1 || parameters.shape[0] < 12) {
    throw std::runtime_error(kSoilMessage);
  }
  const float* v = parameters.data;
  SoilParameters p;
  p.sand = v[0];
  p.clay = v[1];
  p.moisture = v[2];
  p.roughness_hr = v[3];
  p.exponent_nv = v[4];
  p.exponent_nh = v[5];
  p.mixing_q = v[6];
  p.surface_temperature = v[7];
  p.deep_temperature = v[8];
  p.model = v[9];
  p.rms_height = v[10];
  p.reserved = v[11];
  return p;
}

TrunkParameters parse_trunk_parameters(const FloatArray& parameters) {
  if (parameters.shape.size() != 1 || parameters.shape[0] != 7) {
    throw std::runtime_error(kTrunkMessage);
  }
  const float* v = parameters.data;
  TrunkParameters p;
  p.radius = v[0];
  p.length = v[1];
  p.moisture = v[2];
  p.temperature = v[3];
  p.axis[0] = v[4];
  p.axis[1] = v[5];
  p.axis[2] = v[6];
  return p;
}

ResultTable evaluate_soil(double frequency, const FloatArray& parameters, const FloatArray& cosines,
                          bool active) {
  const SoilParameters p = parse_soil_parameters(parameters);
  check_cosines_(cosines);
  const SoilDielectricModel model = soil_model_from_float(p.model);
  ResultTable table = make_table_(cosines.shape[0], 4);
  if (active) {
    const Complex eps = soil_permittivity_at_(p, model, frequency, p.surface_temperature);
    for_each_row_(table, kCosineChunk, [&](std::size_t i, float* out) {
      const double mu = clamp_cosine(cosines.data[i]);
      const Backscatter b = oh_backscatter(eps, mu, frequency, p.rms_height);
      out[0] = static_cast<float>(b.hh);
      out[1] = static_cast<float>(b.hv);
      out[2] = static_cast<float>(b.vh);
      out[3] = static_cast<float>(b.vv);
    });
    return table;
  }
  const double t_eff =
      soil_effective_temperature(p.surface_temperature, p.deep_temperature, p.moisture);
  const SoilDielectricModel passive_model = model == SoilDielectricModel::Mironov
                                                ? SoilDielectricModel::Mironov
                                                : SoilDielectricModel::Dobson;
  const Complex eps = soil_permittivity_at_(p, passive_model, frequency, t_eff);
  const PassiveRoughness rough{p.roughness_hr, p.exponent_nv, p.exponent_nh, p.mixing_q};
  for_each_row_(table, kCosineChunk, [&](std::size_t i, float* out) {
    const double mu = clamp_cosine(cosines.data[i]);
    const Reflectivity g = passive_rough_reflectivity(fresnel_reflectivity(eps, mu), mu, rough);
    out[0] = static_cast<float>((1.0 - g.h) * t_eff);
    out[1] = static_cast<float>((1.0 - g.v) * t_eff);
    out[2] = static_cast<float>(g.h);
    out[3] = static_cast<float>(g.v);
  });
  return table;
}

ResultTable evaluate_soil_reflectivity(double frequency, const FloatArray& parameters,
                                       const FloatArray& cosines, bool allow_hallikainen) {
  const SoilParameters p = parse_soil_parameters(parameters);
  check_cosines_(cosines);
  SoilDielectricModel model = soil_model_from_float(p.model);
  if (model == SoilDielectricModel::Hallikainen && !allow_hallikainen) {
    model = SoilDielectricModel::Dobson;
  }
  const Complex eps = soil_permittivity_at_(p, model, frequency, p.surface_temperature);
  ResultTable table = make_table_(cosines.shape[0], 2);
  for_each_row_(table, kCosineChunk, [&](std::size_t i, float* out) {
    const Reflectivity g = fresnel_reflectivity(eps, clamp_cosine(cosines.data[i]));
    out[0] = static_cast<float>(g.h);
    out[1] = static_cast<float>(g.v);
  });
  return table;
}

ResultTable evaluate_trunk(double frequency, const FloatArray& parameters,
                           const FloatArray& cosines) {
  const TrunkParameters p = parse_trunk_parameters(parameters);
  check_cosines_(cosines);
  const Complex eps = wood_permittivity(frequency, p.moisture, p.temperature);
  const double t = p.temperature;
  ResultTable table = make_table_(cosines.shape[0], 4);
  for_each_row_(table, kCosineChunk, [&](std::size_t i, float* out) {
    const Reflectivity g = fresnel_reflectivity(eps, clamp_cosine(cosines.data[i]));
    out[0] = static_cast<float>((1.0 - g.h) * t);
    out[1] = static_cast<float>((1.0 - g.v) * t);
    out[2] = static_cast<float>(g.h);
    out[3] = static_cast<float>(g.v);
  });
  return table;
}

ResultTable evaluate_trunk_ground(double frequency, const FloatArray& soil_parameters,
                                  const FloatArray& trunk_parameters,
                                  const FloatArray& directions_to_trunk,
                                  const FloatArray& directions_to_ground,
                                  const FloatArray& ground_normals) {
  const SoilParameters soil = parse_soil_parameters(soil_parameters);
  const TrunkParameters trunk = parse_trunk_parameters(trunk_parameters);
  if (!is_triple_array_(directions_to_trunk) || !is_triple_array_(directions_to_ground) ||
      !is_triple_array_(ground_normals) ||
      directions_to_trunk.shape[0] != directions_to_ground.shape[0] ||
      directions_to_trunk.shape[0] != ground_normals.shape[0]) {
    throw std::runtime_error(kDirectionsMessage);
  }
  const double k = 2.0 * kPi * frequency / kSpeedOfLight;
  TrunkCylinder cyl;
  cyl.k = k;
  cyl.radius = trunk.radius;
  cyl.length = trunk.length;
  cyl.eps = wood_permittivity(frequency, trunk.moisture, trunk.temperature);
  const Vec3 axis{trunk.axis[0], trunk.axis[1], trunk.axis[2]};
  const bool axis_ok = usable_direction_(axis);
  cyl.axis = axis_ok ? normalize(axis) : Vec3{0, 0, 1};
  GroundSurface ground;
  ground.k = k;
  ground.eps = soil_permittivity_at_(soil, soil_model_from_float(soil.model), frequency,
                                     soil.surface_temperature);
  ground.rms_height = soil.rms_height;

  const bool trunk_ok = axis_ok && std::isfinite(frequency) && frequency > 0.0 &&
                        cyl.length > 0.0 && std::isfinite(cyl.length) && cyl.radius > 0.0;
  const int capacity = trunk_ok ? trunk_work_size(cyl) : 0;
  ResultTable table = make_table_(directions_to_trunk.shape[0], kTrunkGroundColumns);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  parallel_for_chunks(
      table.rows, resolve_thread_count(0), kTripleChunk, [&](std::size_t begin, std::size_t end) {
        std::vector<Complex> work(static_cast<std::size_t>(capacity));
        for (std::size_t i = begin; i < end; ++i) {
          float* out = table.values.data() + i * table.cols;
          const Vec3 dt = row_vec_(directions_to_trunk, i);
          const Vec3 dg = row_vec_(directions_to_ground, i);
          const Vec3 n = row_vec_(ground_normals, i);
          TrunkGroundResponse r;
          const bool ok = capacity > 0 && usable_direction_(dt) && usable_direction_(dg) &&
                          usable_direction_(n) &&
                          trunk_ground_response(cyl, ground, dt, dg, n, work.data(), capacity, &r);
          if (!ok) {
            for (std::size_t c = 0; c < table.cols; ++c) out[c] = nan;
            continue;
          }
          for (int c = 0; c < 4; ++c) {
            out[c] = static_cast<float>(r.direct[c]);
            out[4 + c] = static_cast<float>(r.dihedral[c]);
          }
          out[8] = static_cast<float>(r.extinction_h);
          out[9] = static_cast<float>(r.extinction_v);
          out[10] = static_cast<float>(r.ground_h);
          out[11] = static_cast<float>(r.ground_v);
        }
      });
  return table;
}

}  // namespace tesk::microwave
