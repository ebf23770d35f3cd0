#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include "core/leaf_emission.h"
#include "embree/media_walk.h"

namespace tesk::embree {
namespace {

constexpr double kPi = 3.141592653589793;

// Closed axis-aligned box [lo, hi] with outward-facing (counter-clockwise) triangles.
int add_box(EmbreeSceneManager& s, float3 lo, float3 hi, int material) {
  std::vector<float3> v;
  for (int i = 0; i < 8; ++i) {
    v.push_back({(i & 1) ? hi.x : lo.x, (i & 2) ? hi.y : lo.y, (i & 4) ? hi.z : lo.z});
  }
  const std::vector<int3> t = {{0, 2, 1}, {1, 2, 3}, {4, 5, 6}, {5, 7, 6}, {0, 1, 4}, {1, 5, 4},
                               {2, 6, 3}, {3, 6, 7}, {0, 4, 2}, {2, 4, 6}, {1, 3, 5}, {3, 7, 5}};
  return s.add_mesh(v, {}, t, material);
}

TEST(OpticalMediaTables, ProjectionFunctions) {
  const std::vector<float>& g = optical_lad_projection_tables();
  ASSERT_EQ(g.size(), 6u * 91u);
  for (int j = 0; j <= 90; ++j) EXPECT_NEAR(g[j], 0.5f, 1e-6f) << j;  // spherical
  EXPECT_NEAR(g[91 + 0], 0.8488f, 1e-4f);                             // planophile at nadir
  EXPECT_NEAR(g[5 * 91 + 0], 0.6366f, 1e-4f);                         // uniform at nadir
  for (int t = 0; t < 6; ++t) {
    // Each inclination density integrates to one, and each G to 1/2 over mu = cos(theta_v).
    double norm = 0.0;
    for (int i = 0; i < 20000; ++i) norm += leaf_inclination_density(t, (i + 0.5) * kPi / 40000.0);
    EXPECT_NEAR(norm * kPi / 40000.0, 1.0, 1e-6) << t;
    double integral = 0.0;
    for (int j = 0; j < 90; ++j) {
      const double mu0 = std::cos(j * kPi / 180), mu1 = std::cos((j + 1) * kPi / 180);
      integral += 0.5 * (g[t * 91 + j] + g[t * 91 + j + 1]) * (mu0 - mu1);
    }
    EXPECT_NEAR(integral, 0.5, 2e-3) << t;
    for (int j = 0; j <= 90; ++j) EXPECT_GT(g[t * 91 + j], 0.0f);
  }
}

template <typename F>
void expect_invalid(F&& f, const std::string& message) {
  try {
    f();
    FAIL() << message;
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()), message);
  }
}

TEST(OpticalMediaTables, ValidationOrderAndMessages) {
  const float nan = NAN;
  expect_invalid(
      [] {
        validate_optical_turbid_media({1, 1}, {0, 0}, {1, 1}, {0, 0, 0}, {}, 0);
      },
      "Optical turbid-medium parameter arrays must have equal length.");
  expect_invalid([] { validate_optical_turbid_media({1}, {0}, {1}, {0}, {-1}, 2); },
                 "material_medium_ids length must equal the material count.");
  expect_invalid([&] { validate_optical_turbid_media({nan}, {0}, {1}, {0}, {}, 0); },
                 "Optical turbid-medium leaf area density must be finite and >= 0.");
  expect_invalid([] { validate_optical_turbid_media({1}, {0}, {1}, {-0.1f}, {}, 0); },
                 "Optical turbid-medium leaf characteristic length must be finite and >= 0.");
  expect_invalid([] { validate_optical_turbid_media({1}, {6}, {1}, {0}, {}, 0); },
                 "Optical turbid-medium leaf angle type must be in [0, 5].");
  expect_invalid([] { validate_optical_turbid_media({1}, {0}, {0}, {0}, {}, 0); },
                 "Optical turbid-medium orientation must be -1 or 1.");
  expect_invalid([] { validate_optical_turbid_media({1}, {0}, {1}, {0}, {1}, 1); },
                 "material_medium_ids contains an invalid medium index.");
  expect_invalid([] { validate_optical_turbid_media({1}, {0}, {1}, {0}, {-2}, 1); },
                 "material_medium_ids contains an invalid medium index.");

  const OpticalMediaTable t =
      validate_optical_turbid_media({0, 2}, {1, 3}, {1, -1}, {0.1f, 0}, {-1, 0, 0}, 3);
  EXPECT_EQ(t.media[0].boundary_material, 2);  // the highest material naming it
  EXPECT_EQ(t.media[1].boundary_material, -1);
  EXPECT_EQ(t.media[0].G[0], optical_lad_projection_tables()[91]);
  EXPECT_FLOAT_EQ(medium_extinction(t.media[0], {0, 0, -1}), 0.0f);  // zero density: clear
}

TEST(OpticalMediaTables, ExtinctionInterpolatesWholeDegrees) {
  const OpticalMediaTable t = validate_optical_turbid_media({2}, {1}, {1}, {0}, {}, 0);
  const OpticalMediumRecord& m = t.media[0];
  const float theta = 30.5f * 3.1415927f / 180.0f;
  const float sigma = medium_extinction(m, {std::sin(theta), 0, -std::cos(theta)});
  EXPECT_NEAR(sigma, 2.0f * 0.5f * (m.G[30] + m.G[31]), 1e-4f);
  EXPECT_FLOAT_EQ(medium_extinction(m, {1, 0, 0}), 2.0f * m.G[90]);
}

TEST(OpticalMediaTables, HotspotTransmittance) {
  const OpticalMediaTable t = validate_optical_turbid_media({1}, {0}, {1}, {0.1f}, {}, 0);
  const OpticalMediumRecord& m = t.media[0];
  const float3 sun{0, 0, 1};
  const float tau = 0.5f * 2.0f;  // G = 1/2, density 1, source path 2 m in the medium
  // Without an observation path or leaf size the plain Beer's law transmittance remains.
  EXPECT_FLOAT_EQ(hotspot_transmittance(m, tau, 2, 0, sun, sun), std::exp(-tau));
  // Exactly in the hotspot only the source path beyond the observed part attenuates.
  EXPECT_FLOAT_EQ(hotspot_transmittance(m, tau, 2, 1.5f, sun, sun), std::exp(-0.5f * 0.5f));
  EXPECT_FLOAT_EQ(hotspot_transmittance(m, tau, 2, 3, sun, sun), 1.0f);
  // The correction fades as the directions separate and never exceeds the hotspot value.
  float previous = 1.0f;
  for (float angle : {0.01f, 0.05f, 0.2f, 1.0f}) {
    const float3 view{std::sin(angle), 0, std::cos(angle)};
    const float t_h = hotspot_transmittance(m, tau, 2, 2, sun, view);
    EXPECT_LE(t_h, previous);
    EXPECT_GE(t_h, std::exp(-tau));
    previous = t_h;
  }
  EXPECT_NEAR(previous, std::exp(-tau), 0.06f);
}

TEST(OpticalMediaTables, HotspotRestoresNoMoreThanTheCorrelatedDepth) {
  // Whatever the leaves, directions and lengths, the correction can only give back the optical
  // depth that the source and observation paths share: at most the smaller of the source depth
  // kappa_s a and the observation depth kappa_o b. With non-spherical leaves kappa_s != kappa_o,
  // which is where this bound bites.
  for (int type = 0; type < kLeafAngleTypes; ++type) {
    const OpticalMediaTable t = validate_optical_turbid_media({1.5f}, {type}, {1}, {50.0f}, {}, 0);
    const OpticalMediumRecord& m = t.media[0];
    for (float zs : {0.0f, 0.6f, 1.2f}) {
      for (float zo : {0.1f, 0.9f, 1.4f}) {
        const float3 s{std::sin(zs), 0, std::cos(zs)};
        const float3 o{0, std::sin(zo), std::cos(zo)};
        const float ks = medium_extinction(m, s), ko = medium_extinction(m, o);
        for (float a : {0.3f, 2.0f}) {
          for (float b : {0.2f, 3.0f}) {
            const float tau = ks * a;
            const float t_h = hotspot_transmittance(m, tau, a, b, s, o);
            const float restored = std::fmin(ks * a, ko * b);
            EXPECT_GE(t_h, std::exp(-tau) * 0.99999f) << type << " " << zs << " " << zo;
            EXPECT_LE(t_h, std::exp(restored - tau) * 1.00001f) << type << " " << zs << " " << zo;
          }
        }
      }
    }
  }
}

class MediaScene : public ::testing::Test {
 protected:
  void SetUp() override {
    scene.description().add_material(MaterialType::DiffuseTransmitting, 0, {});  // medium 0
    scene.description().add_material(MaterialType::DiffuseTransmitting, 0, {});  // medium 1
    scene.description().add_material(MaterialType::Diffuse, 0, {});              // ground
    box_a = scene.add_instance(add_box(scene, {0, 0, 0}, {2, 2, 2}, 0), 0, 0, 0, 1);
    box_b = scene.add_instance(add_box(scene, {1, 1, 1}, {3, 3, 3}, 1), 0, 0, 0, 1);
    scene.set_optical_turbid_media({1.0f, 3.0f}, {0, 0}, {1, 1}, {0, 0}, {0, 1, -1});
    scene.build();
  }
  EmbreeSceneManager scene;
  int box_a = 0, box_b = 0;
};

TEST_F(MediaScene, ContainmentFindsEveryEnclosingMedium) {
  for (float3 d : {float3{0, 0, 1}, float3{0, 0, -1}, normalize(float3{1, -2, 0.5f})}) {
    const ActiveMediumSet inside_a = active_optical_media(scene, {0.5f, 0.5f, 0.5f}, d);
    ASSERT_EQ(inside_a.count, 1);
    EXPECT_EQ(inside_a.medium_ids[0], 0);
    EXPECT_EQ(inside_a.instance_ids[0], box_a);
    EXPECT_EQ(active_optical_media(scene, {1.5f, 1.5f, 1.5f}, d).count, 2);
    EXPECT_EQ(active_optical_media(scene, {5, 5, 5}, d).count, 0);
    EXPECT_EQ(active_optical_media(scene, {-1, 0.5f, 0.5f}, d).count, 0);
  }
}

TEST_F(MediaScene, FreePathsFollowBeersLaw) {
  // From the centre of box A straight up, the boundary is 1 m away: interactions before it
  // happen with probability 1 - exp(-sigma), sigma = density * G = 0.5.
  const ActiveMediumSet a = active_optical_media(scene, {0.5f, 0.5f, 1.0f}, {0, 0, 1});
  Pcg32 stream;
  stream.seed(1, 2);
  const int n = 20000;
  int interactions = 0, boundaries = 0;
  for (int i = 0; i < n; ++i) {
    const MediumTraceEvent ev =
        trace_media_step(scene, {0.5f, 0.5f, 1.0f}, {0, 0, 1}, a, 0, stream);
    if (ev.kind == MediumEventKind::Interaction) {
      ++interactions;
      ASSERT_LT(ev.distance, 1.0f);
      EXPECT_EQ(ev.medium_id, 0);
    } else {
      ASSERT_EQ(ev.kind, MediumEventKind::MediumBoundary);
      EXPECT_NEAR(ev.distance, 1.0f, 1e-5f);
      ++boundaries;
    }
  }
  const double p = 1.0 - std::exp(-0.5);
  EXPECT_NEAR(interactions / double(n), p, 4.0 * std::sqrt(p * (1 - p) / n));

  // In the overlap the medium is chosen in proportion to its extinction (1 : 3).
  const ActiveMediumSet ab = active_optical_media(scene, {1.5f, 1.5f, 1.5f}, {0, 0, 1});
  int chose_b = 0, total = 0;
  for (int i = 0; i < n; ++i) {
    const MediumTraceEvent ev =
        trace_media_step(scene, {1.5f, 1.5f, 1.5f}, {0, 0, 1}, ab, 0, stream);
    if (ev.kind != MediumEventKind::Interaction) continue;
    ++total;
    chose_b += ev.medium_id == 1;
  }
  EXPECT_NEAR(chose_b / double(total), 0.75, 4.0 * std::sqrt(0.75 * 0.25 / total));
}

TEST_F(MediaScene, TileCrossingsAndEscapes) {
  scene.description().set_repetitive(1, 4, 4);
  const ActiveMediumSet none{};
  Pcg32 stream;
  const MediumTraceEvent cross =
      trace_media_step(scene, {3.5f, 3.5f, 1}, {1, 0, 0}, none, 0, stream);
  EXPECT_EQ(cross.kind, MediumEventKind::TileCrossing);
  EXPECT_NEAR(cross.distance, 0.5f, 1e-6f);
  EXPECT_EQ(cross.exit.axis, 0);
  const MediumTraceEvent out = trace_media_step(scene, {3.5f, 3.5f, 1}, {1, 0, 0}, none, 1, stream);
  EXPECT_EQ(out.kind, MediumEventKind::Escape);
  EXPECT_EQ(out.distance, 1e16f);
  // A boundary closer than the wall is hit first.
  const MediumTraceEvent boundary =
      trace_media_step(scene, {3.5f, 2.5f, 2.5f}, {-1, 0, 0}, none, 0, stream);
  EXPECT_EQ(boundary.kind, MediumEventKind::MediumBoundary);
  EXPECT_EQ(boundary.medium_id, 1);
  EXPECT_EQ(boundary.instance_id, box_b);
}

TEST(LeafEmission, SifSourceLooksUpJointThenCellThenOrientation) {
  // One instance over [0, 2]^3 with 2 x 1 x 1 cells, 2 zenith x 2 azimuth bins, 2 bands.
  const int32_t dims[3] = {2, 1, 1};
  const float lo[3] = {0, 0, 0}, hi[3] = {2, 2, 2};
  float joint[2 * 4 * 2] = {};
  float spatial[2 * 2] = {0, 0, 7, 8};  // cell 1 only
  float orientation[4 * 2] = {1, 2, 3, 4, 5, 6, 0, 0};
  joint[(0 * 4 + 2) * 2 + 1] = 9;  // cell 0, zenith bin 1, azimuth 0, band 1
  const SifSourceFieldView f{spatial, orientation, joint, lo, hi, dims, 1, 2, 2, 2, 2};
  const float3 horizontal{1, 0, 0};  // last zenith bin, azimuth 0
  EXPECT_EQ(sif_orientation_bin(horizontal, 2, 2), 2);
  EXPECT_EQ(sif_orientation_bin(float3{0, -0.2f, -1}, 2, 2),
            sif_orientation_bin(float3{0, 0.2f, 1}, 2, 2));
  EXPECT_EQ(sif_orientation_bin(float3{0, 0, 0}, 2, 2), -1);
  // A populated joint bin gives every band of it, zeros included.
  EXPECT_EQ(sif_source_exitance(f, 0, float3{0.5f, 1, 1}, horizontal, 0), 0.0f);
  EXPECT_EQ(sif_source_exitance(f, 0, float3{0.5f, 1, 1}, horizontal, 1), 9.0f);
  // An empty joint bin falls back to the cell, an empty cell to the orientation field.
  EXPECT_EQ(sif_source_exitance(f, 0, float3{1.5f, 1, 1}, horizontal, 1), 8.0f);
  EXPECT_EQ(sif_source_exitance(f, 0, float3{0.5f, 1, 1}, float3{0, 0, 1}, 0), 1.0f);
  EXPECT_EQ(sif_source_exitance(f, 0, float3{5, 1, 1}, horizontal, 0), 5.0f);
  EXPECT_EQ(sif_source_exitance(f, 1, float3{0.5f, 1, 1}, horizontal, 0), 0.0f);
  EXPECT_EQ(sif_source_exitance(f, 0, float3{0.5f, 1, 1}, horizontal, 2), 0.0f);
}

TEST(LeafEmission, ThermalMixtureAndKirchhoff) {
  const double b1 = planck_radiance(10000.0f, 310.0f), b2 = planck_radiance(10000.0f, 280.0f);
  EXPECT_NEAR(leaf_thermal_radiance(10000.0f, 310.0f, 280.0f, 0.25f, 0.9f),
              0.9 * (0.25 * b1 + 0.75 * b2), 1e-6 * b1);
  EXPECT_EQ(leaf_thermal_radiance(10000.0f, 310.0f, 280.0f, 2.0f, 1.0f), b1);
  EXPECT_EQ(leaf_thermal_radiance(10000.0f, 310.0f, 280.0f, -1.0f, 1.0f), b2);
  const float front[1] = {0.1f}, back[1] = {0.3f}, tau[1] = {0.2f};
  EXPECT_NEAR(leaf_kirchhoff_emissivity(LeafOptics{front, back, tau}, 0), 0.6f, 1e-6f);
  EXPECT_EQ(leaf_kirchhoff_emissivity(LeafOptics{}, 0), 1.0f);
}

}  // namespace
}  // namespace tesk::embree
