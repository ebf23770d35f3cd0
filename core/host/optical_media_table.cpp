#include "core/host/optical_media_table.h"

#include <algorithm>
#include <stdexcept>

namespace tesk {

double leaf_inclination_density(int type, double theta_l) {
  constexpr double two_over_pi = 0.6366197723675814;
  switch (type) {
    case 0:
      return std::sin(theta_l);
    case 1:
      return two_over_pi * (1.0 + std::cos(2.0 * theta_l));
    case 2:
      return two_over_pi * (1.0 - std::cos(2.0 * theta_l));
    case 3:
      return two_over_pi * (1.0 - std::cos(4.0 * theta_l));
    case 4:
      return two_over_pi * (1.0 + std::cos(4.0 * theta_l));
    case 5:
      return two_over_pi;
    default:
      return 0.0;
  }
}

namespace {

// G(theta_v) = integral over theta_L of g(theta_L) * psi(theta_v, theta_L), where psi is the
// azimuth-averaged |cos| between the view direction and a leaf normal of inclination theta_L.
std::vector<float> build_projection_tables_() {
  constexpr int kSteps = 4096;
  constexpr double delta = 0.0003834951969714103;  // (pi/2) / 4096
  constexpr double two_over_pi = 0.6366197723675814;
  constexpr double pi = 3.141592653589793;
  std::vector<float> table(kLeafAngleTypes * kProjectionAngles);
  for (int t = 0; t < kLeafAngleTypes; ++t) {
    for (int j = 0; j < kProjectionAngles; ++j) {
      const double sv = j == 0 ? 0.0 : std::sin(j * pi / 180.0);
      const double cv = j == 0 ? 1.0 : std::cos(j * pi / 180.0);
      double sum = 0.0;
      for (int i = 0; i < kSteps; ++i) {
        const double tl = (i + 0.5) * delta;
        const double a = std::cos(tl) * cv, b = std::sin(tl) * sv;
        double psi = a;
        if (a < b) {
          const double d = b * b - a * a;
          psi =
              two_over_pi * (a * std::asin(std::fmin(a / b, 1.0)) + (d > 0.0 ? std::sqrt(d) : 0.0));
        }
        sum += leaf_inclination_density(t, tl) * psi;
      }
      table[t * kProjectionAngles + j] = static_cast<float>(delta * sum);
    }
  }
  return table;
}

}  // namespace

const std::vector<float>& optical_lad_projection_tables() {
  static const std::vector<float> tables = build_projection_tables_();
  return tables;
}

OpticalMediaTable validate_optical_turbid_media(const std::vector<float>& leaf_area_density,
                                                const std::vector<int32_t>& leaf_angle_types,
                                                const std::vector<int32_t>& orientations,
                                                const std::vector<float>& leaf_lengths,
                                                const std::vector<int32_t>& material_medium_ids,
                                                size_t n_materials) {
  const size_t m = leaf_area_density.size();
  if (leaf_angle_types.size() != m || orientations.size() != m || leaf_lengths.size() != m) {
    throw std::invalid_argument("Optical turbid-medium parameter arrays must have equal length.");
  }
  if (material_medium_ids.size() != n_materials) {
    throw std::invalid_argument("material_medium_ids length must equal the material count.");
  }
  const std::vector<float>& tables = optical_lad_projection_tables();
  OpticalMediaTable out;
  out.media.resize(m);
  for (size_t i = 0; i < m; ++i) {
    const float lad = leaf_area_density[i], len = leaf_lengths[i];
    if (!std::isfinite(lad) || lad < 0.0f) {
      throw std::invalid_argument(
          "Optical turbid-medium leaf area density must be finite and >= 0.");
    }
    if (!std::isfinite(len) || len < 0.0f) {
      throw std::invalid_argument(
          "Optical turbid-medium leaf characteristic length must be finite and >= 0.");
    }
    if (leaf_angle_types[i] < 0 || leaf_angle_types[i] > 5) {
      throw std::invalid_argument("Optical turbid-medium leaf angle type must be in [0, 5].");
    }
    if (orientations[i] != -1 && orientations[i] != 1) {
      throw std::invalid_argument("Optical turbid-medium orientation must be -1 or 1.");
    }
    OpticalMediumRecord& r = out.media[i];
    r.leaf_area_density = lad;
    r.leaf_characteristic_length = len;
    r.leaf_angle_type = leaf_angle_types[i];
    r.orientation = orientations[i];
    r.boundary_material = -1;
    std::copy_n(tables.begin() + r.leaf_angle_type * kProjectionAngles, kProjectionAngles, r.G);
  }
  for (size_t k = 0; k < material_medium_ids.size(); ++k) {
    const int32_t id = material_medium_ids[k];
    if (id < -1 || id >= static_cast<int32_t>(m)) {
      throw std::invalid_argument("material_medium_ids contains an invalid medium index.");
    }
    if (id >= 0) out.media[id].boundary_material = static_cast<int32_t>(k);
  }
  out.material_medium_ids = material_medium_ids;
  return out;
}

}  // namespace tesk
