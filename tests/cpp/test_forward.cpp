// The leaf model of optical turbid media (chi-square checks of its samplers) and the forward
// photon workflows on scenes with closed-form answers: energy bookkeeping, Beer-Lambert fPAR of
// a turbid slab, next-event estimates, progress and interruption. Output layout, error messages,
// thread-count independence and the console lines are checked in tests/python/test_forward.py.

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/host/optical_media_table.h"
#include "core/leaf_scattering.h"
#include "core/pcg32.h"
#include "embree/render_flux.h"
#include "embree/render_forward.h"

namespace tesk::embree {
namespace {

constexpr double kPi = 3.141592653589793;

// Chi-square statistic of observed counts against expected probabilities (which sum to 1).
double chi_square(const std::vector<int>& counts, const std::vector<double>& p, int n) {
  double x2 = 0.0;
  for (size_t i = 0; i < counts.size(); ++i) {
    const double e = p[i] * n;
    x2 += (counts[i] - e) * (counts[i] - e) / e;
  }
  return x2;
}

// Upper 0.999 quantile of chi-square with k degrees of freedom (Wilson-Hilferty).
double chi_square_limit(int k) {
  const double z = 3.09, a = 2.0 / (9.0 * k);
  return k * std::pow(1.0 - a + z * std::sqrt(a), 3.0);
}

TEST(ForwardLeaf, InclinationSamplerFollowsEachDistribution) {
  constexpr int kBins = 18, kN = 40000;
  for (int type = 0; type < 6; ++type) {
    // Expected bin probabilities from the densities that build the projection tables.
    std::vector<double> p(kBins, 0.0);
    for (int i = 0; i < kBins * 200; ++i) {
      const double t = (i + 0.5) * (kPi / 2) / (kBins * 200);
      p[i / 200] += leaf_inclination_density(type, t) * (kPi / 2) / (kBins * 200);
    }
    std::vector<int> counts(kBins, 0);
    Pcg32 rng;
    rng.seed(17, 3 + type);
    for (int i = 0; i < kN; ++i) {
      const float t = sample_leaf_inclination(type, rng.uniform());
      ASSERT_GE(t, 0.0f);
      ASSERT_LE(t, 1.5707964f);
      ++counts[std::min(kBins - 1, static_cast<int>(t / (kPi / 2) * kBins))];
    }
    EXPECT_LT(chi_square(counts, p, kN), chi_square_limit(kBins - 1)) << "type " << type;
  }
}

TEST(ForwardLeaf, LeafNormalsAreWeightedByProjectedArea) {
  // Leaves met along d have normals with density g(theta) |n.d| / (2 pi G(d)); its normaliser
  // must be the medium's projection function.
  const std::vector<float>& tables = optical_lad_projection_tables();
  constexpr int kTheta = 6, kPhi = 8, kN = 40000;
  for (int type : {0, 1, 2}) {
    for (float zenith_deg : {0.0f, 50.0f, 80.0f}) {
      const float z = static_cast<float>(zenith_deg * kPi / 180);
      const float3 d{std::sin(z), 0.0f, -std::cos(z)};
      std::vector<double> p(kTheta * kPhi, 0.0);
      double norm = 0.0;
      constexpr int kSub = 24;
      for (int i = 0; i < kTheta * kSub; ++i) {
        for (int j = 0; j < kPhi * kSub; ++j) {
          const double t = (i + 0.5) * (kPi / 2) / (kTheta * kSub);
          const double f = (j + 0.5) * 2 * kPi / (kPhi * kSub);
          const double nd = std::fabs(std::sin(t) * std::cos(f) * d.x + std::cos(t) * d.z);
          const double v = leaf_inclination_density(type, t) * nd / (2 * kPi) * (kPi / 2) /
                           (kTheta * kSub) * (2 * kPi) / (kPhi * kSub);
          p[(i / kSub) * kPhi + j / kSub] += v;
          norm += v;
        }
      }
      EXPECT_NEAR(norm, tables[type * 91 + static_cast<int>(zenith_deg)], 2e-3);
      for (double& v : p) v /= norm;
      std::vector<int> counts(kTheta * kPhi, 0);
      Pcg32 rng;
      rng.seed(99, type * 100 + static_cast<int>(zenith_deg));
      for (int k = 0; k < kN; ++k) {
        const LeafHit leaf = sample_leaf_normal(type, d, rng);
        ASSERT_GE(leaf.normal.z, 0.0f);
        ASSERT_LE(dot(leaf.facing, d), 0.0f);  // the facing normal looks back at the photon
        ASSERT_EQ(leaf.back_face, dot(leaf.normal, d) > 0.0f);
        const double t = std::acos(std::fmin(leaf.normal.z, 1.0f));
        double f = std::atan2(leaf.normal.y, leaf.normal.x);
        if (f < 0) f += 2 * kPi;
        const int i = std::min(kTheta - 1, static_cast<int>(t / (kPi / 2) * kTheta));
        const int j = std::min(kPhi - 1, static_cast<int>(f / (2 * kPi) * kPhi));
        ++counts[i * kPhi + j];
      }
      EXPECT_LT(chi_square(counts, p, kN), chi_square_limit(kTheta * kPhi - 1))
          << "type " << type << " zenith " << zenith_deg;
    }
  }
}

TEST(ForwardLeaf, BiLambertianScattering) {
  // Band means of the front side: rho 0.2, tau 0.4, so reflection has probability 1/3.
  const float front[2] = {0.3f, 0.1f}, back[2] = {0.2f, 0.1f}, trans[2] = {0.5f, 0.3f};
  const LeafOptics optics{front, back, trans};
  const LeafMeans m = leaf_band_means(optics, 2, false);
  const float3 facing = normalize(float3{0.3f, -0.2f, 0.9f});
  constexpr int kN = 40000, kBins = 10;
  std::vector<int> refl(kBins, 0), trans_counts(kBins, 0);
  double weight[2] = {0.0, 0.0};
  Pcg32 rng;
  rng.seed(5, 6);
  for (int i = 0; i < kN; ++i) {
    const float u[3] = {rng.uniform(), rng.uniform(), rng.uniform()};
    const LeafScatter s = scatter_at_leaf(facing, m.rho, m.tau, u);
    ASSERT_TRUE(s.valid);
    const float c = dot(s.direction, facing);
    ASSERT_EQ(s.transmitted, c < 0.0f);
    // Cosine-weighted about the normal of its side: cos^2 is uniform on [0, 1].
    ++(s.transmitted ? trans_counts : refl)[std::min(kBins - 1, static_cast<int>(c * c * kBins))];
    for (int b = 0; b < 2; ++b) weight[b] += leaf_scatter_weight(optics, b, false, s);
  }
  int n_refl = 0;
  for (int v : refl) n_refl += v;
  const double p = 1.0 / 3.0;
  EXPECT_NEAR(n_refl / double(kN), p, 4 * std::sqrt(p * (1 - p) / kN));
  const std::vector<double> flat(kBins, 1.0 / kBins);
  EXPECT_LT(chi_square(refl, flat, n_refl), chi_square_limit(kBins - 1));
  EXPECT_LT(chi_square(trans_counts, flat, kN - n_refl), chi_square_limit(kBins - 1));
  // The weight factor is rho_b + tau_b on average.
  EXPECT_NEAR(weight[0] / kN, 0.8, 0.02);
  EXPECT_NEAR(weight[1] / kN, 0.4, 0.02);
  // Black leaves end the photon; the response is rho/pi toward the photon's side, tau/pi across.
  const float u[3] = {0.9f, 0.3f, 0.6f};
  EXPECT_FALSE(scatter_at_leaf(facing, 0.0f, 0.0f, u).valid);
  const LeafHit hit{float3{0, 0, 1}, float3{0, 0, -1}, true};
  EXPECT_FLOAT_EQ(leaf_response(optics, 0, hit, float3{0, 0, -1}), 0.2f / kPi);
  EXPECT_FLOAT_EQ(leaf_response(optics, 0, hit, float3{0, 0, 1}), 0.5f / kPi);
  // Optics from the boundary material: Diffuse reflects on both sides, other kinds are black.
  const std::vector<float> buffer = {0.6f, 0.7f};
  const SpectralView view{buffer.data(), 2};
  MaterialRecord diffuse{};
  diffuse.spectral_offset = 0;
  const LeafOptics d = medium_leaf_optics(diffuse, view, 2);
  EXPECT_FLOAT_EQ(d.reflectance(1, true), 0.7f);
  EXPECT_FLOAT_EQ(d.transmission(1), 0.0f);
  MaterialRecord rpv = diffuse;
  rpv.type = MaterialType::RPV;
  EXPECT_FLOAT_EQ(medium_leaf_optics(rpv, view, 2).absorptance(0, false), 1.0f);
}

// ---- scenes ----------------------------------------------------------------------------------

void add_quad(EmbreeSceneManager& s, float x0, float x1, float h, int material, bool down = false) {
  const std::vector<int3> up = {{0, 1, 2}, {0, 2, 3}}, flipped = {{0, 2, 1}, {0, 3, 2}};
  const int m = s.add_mesh({{x0, x0, h}, {x1, x0, h}, {x1, x1, h}, {x0, x1, h}}, {},
                           down ? flipped : up, material);
  s.add_instance(m, 0, 0, 0, 1);
}

void add_box(EmbreeSceneManager& s, float3 lo, float3 hi, int material) {
  std::vector<float3> v;
  for (int i = 0; i < 8; ++i) {
    v.push_back({(i & 1) ? hi.x : lo.x, (i & 2) ? hi.y : lo.y, (i & 4) ? hi.z : lo.z});
  }
  const std::vector<int3> t = {{0, 2, 1}, {1, 2, 3}, {4, 5, 6}, {5, 7, 6}, {0, 1, 4}, {1, 5, 4},
                               {2, 6, 3}, {3, 6, 7}, {0, 4, 2}, {2, 4, 6}, {1, 3, 5}, {3, 7, 5}};
  s.add_instance(s.add_mesh(v, {}, t, material), 0, 0, 0, 1);
}

constexpr float kTile = 10.0f;

// Periodic 10 x 10 tile of Lambertian ground (instance 0) with one band of reflectance `rho`,
// sun irradiance 1 (then sky radiance 0.5 when `sky`).
void ground(EmbreeSceneManager& s, float rho, float3 sun, bool sky = false) {
  SceneDescription& d = s.description();
  d.upload_spectral_params({rho, 1.0f, 0.5f});
  d.add_material(MaterialType::Diffuse, 0, {});
  d.set_emitter(EmitterType::Directional, normalize(sun), 1);
  if (sky) d.set_sky(2);
  d.set_repetitive(4, kTile, kTile);
  add_quad(s, 0, kTile, 0, 0);
}

// Periodic 10 x 10 tile: ground (instance 0, reflectance `soil`) under a turbid slab of leaf
// area density 1 between z = 1 and 3 (LAI 2), leaves of reflectance `rho` and transmittance
// `tau`, sun irradiance 2 from `sun`, sky radiance 0.5 once set. The slab's box is wider than
// the tile so that photons leave it only through its top and bottom.
void turbid_slab(EmbreeSceneManager& s, float soil, float rho, float tau, float3 sun,
                 int leaf_angle_type = 0) {
  SceneDescription& d = s.description();
  d.set_num_bands(1);
  d.upload_spectral_params({soil, rho, rho, tau, 2.0f, 0.5f});
  d.add_material(MaterialType::Diffuse, 0, {});
  d.add_material(MaterialType::DiffuseTransmitting, 1, {rho, tau});
  d.set_emitter(EmitterType::Directional, normalize(sun), 4);
  d.set_repetitive(100, kTile, kTile);
  d.set_measurement_plane(3.5f);
  add_quad(s, 0, kTile, 0, 0);
  add_box(s, {-1, -1, 1}, {kTile + 1, kTile + 1, 3}, 1);
  s.set_optical_turbid_media({1.0f}, {leaf_angle_type}, {1}, {0.05f}, {-1, 0});
  s.build();
}

double sum(const std::vector<float>& v) {
  double t = 0.0;
  for (float x : v) t += x;
  return t;
}

FluxResult flux(const EmbreeSceneManager& s, int64_t n, int max_depth = 16, float prob_sun = 1.0f,
                bool decompose = false, int max_bounces = 0) {
  return render_flux(s, 2, 2, n, s.description().num_bands(), prob_sun, max_bounces, max_depth, 3,
                     2, {}, decompose);
}

ForwardFieldResult field(const EmbreeSceneManager& s, std::vector<float> heights, int64_t n,
                         std::vector<float> views = {}, int terrain = -1, bool per_leaf = false,
                         float prob_sun = 1.0f) {
  const int n_views = static_cast<int>(views.size() / 3);
  return render_forward(s, 2, 2, heights, n, s.description().num_bands(), per_leaf, prob_sun, views,
                        n_views, 16, 3, 2, {}, terrain);
}

TEST(ForwardFlux, LambertianGroundUnderSunAndSky) {
  // Ground of reflectance 0.3; sun irradiance 1 at 60 degrees zenith, uniform sky radiance 0.5;
  // 60 % sun photons.
  EmbreeSceneManager s;
  ground(s, 0.3f, {0.8660254f, 0.0f, 0.5f}, true);
  s.build();
  constexpr int kN = 40000;
  const FluxResult r = flux(s, kN, 16, 0.6f, true);
  ASSERT_EQ(r.downwelling.size(), 4u);
  // Sun photons bring E mu A = 50, sky photons pi L A; photon counts are binomial.
  const double sun = sum(r.downwelling_direct), sky = sum(r.downwelling_diffuse);
  EXPECT_NEAR(sun, 50.0, 4 * 50.0 * std::sqrt(0.4 / (0.6 * kN)));
  EXPECT_NEAR(sky, kPi * 50.0, 4 * kPi * 50.0 * std::sqrt(0.6 / (0.4 * kN)));
  EXPECT_NEAR(sum(r.downwelling), sun + sky, 1e-4 * (sun + sky));
  // Cosine sampling of a Lambertian surface leaves exactly rho w, which escapes from its cell.
  EXPECT_NEAR(sum(r.upwelling), 0.3 * sum(r.downwelling), 1e-4 * sum(r.downwelling));
  for (size_t c = 0; c < 4; ++c) {
    EXPECT_NEAR(r.downwelling[c] / sum(r.downwelling), 0.25, 12 * std::sqrt(0.25 * 0.75 / kN));
  }
  // prob_sun 1 with a sky: only sun photons; prob_sun 0 without a sky: nothing is emitted.
  const FluxResult only_sun = flux(s, 1000, 16, 1.0f, true);
  EXPECT_EQ(sum(only_sun.downwelling_diffuse), 0.0);
  EXPECT_NEAR(sum(only_sun.downwelling), 50.0, 1e-3);
  s.description().set_sky(-1);
  EXPECT_EQ(sum(flux(s, 1000, 16, 0.0f).downwelling), 0.0);
  // The layered field puts the ground's absorption (1 - rho) 50 into layer 0 (below h[0]);
  // a downward view sees nothing. With terrain id 0 it leaves the grid.
  const ForwardFieldResult g = field(s, {1.0f, 2.0f, 3.0f}, 5000, {0, 0, -1});
  ASSERT_EQ(g.grid.size(), 2u * 2 * 2);
  EXPECT_NEAR(g.grid[0] + g.grid[1] + g.grid[2] + g.grid[3], 0.7 * 50.0, 1e-5 * 50.0);
  EXPECT_EQ(g.grid[4] + g.grid[5] + g.grid[6] + g.grid[7], 0.0f);
  EXPECT_EQ(g.brf[0], 0.0f);
  EXPECT_EQ(sum(field(s, {-2.0f, -1.0f}, 1000, {}, 0).grid), 0.0);
}

TEST(ForwardFlux, MaxBouncesRecordsOnlyTheFirstHits) {
  // A leaf layer over grey ground under a zenith sun: photons bounce between layer and ground.
  EmbreeSceneManager s;
  SceneDescription& d = s.description();
  d.upload_spectral_params({0.5f, 0.4f, 0.4f, 0.4f, 1.0f});
  d.add_material(MaterialType::Diffuse, 0, {});
  d.add_material(MaterialType::DiffuseTransmitting, 1, {0.4f, 0.4f});
  d.set_emitter(EmitterType::Directional, float3{0, 0, 1}, 4);
  d.set_repetitive(4, kTile, kTile);
  d.set_measurement_plane(2.0f);
  add_quad(s, 0, kTile, 0, 0);
  add_quad(s, 0, kTile, 1, 1);
  s.build();
  EXPECT_NEAR(sum(flux(s, 20000, 16, 1.0f, false, 1).downwelling), 100.0, 1e-3);
  const FluxResult all = flux(s, 20000);
  EXPECT_GT(sum(all.downwelling), 150.0);
  EXPECT_GT(sum(all.upwelling), 0.0);
}

TEST(ForwardFlux, PlanophileBlackLeafSlabFollowsBeerLambert) {
  // fPAR of black leaves over black soil: 1 - exp(-G LAI / mu0) with the planophile projection
  // (the spherical case is in the Python tests); all of it in the medium, nothing escapes.
  EmbreeSceneManager s;
  const float z = static_cast<float>(40 * kPi / 180);
  const float3 sun = normalize(float3{std::sin(z), 0.3f * std::sin(z), std::cos(z)});
  turbid_slab(s, 0.0f, 0.0f, 0.0f, sun, 1);
  constexpr int kN = 40000;
  const FluxResult r = flux(s, kN);
  const double G = medium_projection(s.optical_media().media[0], sun);
  const double want = 1.0 - std::exp(-G * 2.0 / sun.z);
  const double incident = r.incident[0];
  EXPECT_NEAR(incident, 2.0 * sun.z * 100.0, 1e-3 * incident);
  EXPECT_NEAR(sum(r.grid) / incident, want, 4 * std::sqrt(want * (1 - want) / kN));
  EXPECT_NEAR(sum(r.grid_direct), sum(r.grid), 1e-6 * incident);
  EXPECT_EQ(sum(r.escaped), 0.0);
  EXPECT_NEAR(r.terrain[0] + sum(r.grid), incident, 1e-5 * incident);
  EXPECT_NEAR(r.medium[0], sum(r.grid), 1e-5 * incident);
}

TEST(ForwardFlux, ScatteringSlabBalancesItsEnergy) {
  // Grey leaves and soil: every photon's energy ends absorbed, escaped, cut by the depth limit
  // or traded by roulette, and the bookkeeping closes to rounding.
  EmbreeSceneManager s;
  turbid_slab(s, 0.2f, 0.45f, 0.4f, normalize(float3{0.3f, 0.1f, 0.9f}));
  for (int max_depth : {16, 3}) {
    const FluxResult r = flux(s, 20000, max_depth);
    const double in = r.incident[0];
    const double out = r.terrain[0] + sum(r.grid) + r.escaped[0];
    EXPECT_NEAR(out + r.removed[0] + r.roulette[0], in, 1e-5 * in) << max_depth;
    EXPECT_NEAR(sum(r.leaf), 0.0, 1e-9);  // the only non-terrain surfaces bound the medium
    if (max_depth == 16) {
      EXPECT_LT(r.removed[0], 2e-3 * in);
      EXPECT_NEAR(out, in, 0.02 * in);
    } else {
      EXPECT_GT(r.removed[0], 0.05 * in);
    }
  }
}

TEST(ForwardField, BorderCellsAndLeafSides) {
  // Without a tile the grid covers the sensor footprint [0, 10]^2: hits on a leaf layer reaching
  // from -5 to 15 are clamped into the border columns (half of them in column 0). The sun meets
  // the leaves' back side, whose reflectance is used; the photon budget is E Lx Ly = 100.
  EmbreeSceneManager s;
  SceneDescription& d = s.description();
  d.upload_spectral_params({0.0f, 0.3f, 0.1f, 0.2f, 1.0f});
  d.add_material(MaterialType::Diffuse, 0, {});
  d.add_material(MaterialType::DiffuseTransmitting, 1, {0.2f, 0.2f});
  d.set_emitter(EmitterType::Directional, float3{0, 0, 1}, 4);
  const float cam[16] = {1, 0, 0, 5, 0, 1, 0, 5, 0, 0, 1, 10, 0, 0, 0, 1};
  d.set_sensor(make_sensor(0, 4, 4, kTile, kTile, cam, 16, 60.0f, 0));
  add_quad(s, -5, 15, 0, 0);
  add_quad(s, -5, 15, 1, 1, true);  // normal down: the sun meets its back
  s.build();
  constexpr int kN = 20000;
  const ForwardFieldResult r = field(s, {0.5f, 2.0f}, kN, {}, 0, true);
  const double grid = sum(r.grid), column0 = r.grid[0] + r.grid[2];
  EXPECT_NEAR(grid, (1.0 - 0.1 - 0.2) * 100.0, 1e-4 * 100.0);  // back face: 0.1
  EXPECT_NEAR(column0 / grid, 0.5, 4 * std::sqrt(0.25 / kN));
  EXPECT_EQ(r.leaf.size(), 4u);
  EXPECT_NEAR(sum(r.leaf), grid, 1e-4 * grid);
  EXPECT_GT(r.terrain[0], 0.0f);
}

// Uncollided fraction below optical depth tau of sun irradiance 2 (zenith) and sky radiance 0.5:
// sun photons exp(-tau), sky photons the same averaged over cosine-weighted mu.
double uncollided(double tau) {
  double sky = 0.0;
  for (int i = 0; i < 2000; ++i) {
    const double mu = (i + 0.5) / 2000;
    sky += 2 * mu * std::exp(-tau / mu) / 2000;
  }
  return (2.0 * std::exp(-tau) + kPi * 0.5 * sky) / (2.0 + kPi * 0.5);
}

TEST(ForwardField, BlackLeafProfileAndSunSkySplit) {
  EmbreeSceneManager s;
  turbid_slab(s, 0.0f, 0.0f, 0.0f, float3{0, 0, 1});
  s.description().set_sky(5);
  constexpr int kN = 40000;
  const std::vector<float> h = {0.0f, 1.0f, 1.5f, 2.0f, 2.5f, 3.0f};
  const ForwardFieldResult r = field(s, h, kN, {}, 0, false, 0.5f);
  const double in = r.incident[0];
  for (int l = 1; l < 5; ++l) {
    double layer = 0.0;
    for (int c = 0; c < 4; ++c) layer += r.grid[l * 4 + c];
    const double want = uncollided(0.5 * (3.0 - h[l + 1])) - uncollided(0.5 * (3.0 - h[l]));
    EXPECT_NEAR(layer / in, want, 4 * std::sqrt(want / kN) + 2e-3) << l;
  }
  const double direct = sum(r.grid_direct), diffuse = sum(r.grid_diffuse);
  EXPECT_GT(diffuse, 0.1 * direct);
  EXPECT_NEAR(direct + diffuse, sum(r.grid), 1e-5 * in);
}

TEST(ForwardField, NextEventEstimatesIntegrateToTheAlbedo) {
  // Over grey soil and scattering leaves under a zenith sun, the radiant intensity toward
  // v depends on the view zenith only; its hemispherical integral 2 pi int I(mu) dmu is the
  // energy escaping upward. Gauss-Legendre nodes in mu; tolerance 4 sigma of the escaping
  // fraction (about 30 % of the photons) plus quadrature error.
  EmbreeSceneManager s;
  turbid_slab(s, 0.3f, 0.45f, 0.4f, float3{0, 0, 1});
  const double x[5] = {0.0469101, 0.2307653, 0.5, 0.7692347, 0.9530899};
  const double wq[5] = {0.1184634, 0.2393143, 0.2844444, 0.2393143, 0.1184634};
  std::vector<float> views;
  for (int i = 0; i < 5; ++i) {
    const double mu = x[i], sn = std::sqrt(1 - mu * mu), phi = 1.3 * i;
    views.insert(views.end(), {float(sn * std::cos(phi)), float(sn * std::sin(phi)), float(mu)});
  }
  constexpr int kN = 20000;
  const ForwardFieldResult r = field(s, {0.0f, 4.0f}, kN, views, 0);
  double integral = 0.0;
  for (int i = 0; i < 5; ++i) integral += 2 * kPi * wq[i] * r.brf[i];
  const double albedo = r.albedo[0];
  EXPECT_GT(albedo, 0.1 * r.incident[0]);
  EXPECT_NEAR(integral, albedo, 4 * albedo * std::sqrt(1.0 / (0.3 * kN)) + 0.01 * albedo);
}

// ---- runs ------------------------------------------------------------------------------------

TEST(ForwardRuns, ProgressOnTheCallingThreadAndInterruption) {
  // A sun at the horizon emits nothing, so millions of photons cost only their emission test.
  EmbreeSceneManager s;
  ground(s, 0.5f, {1, 0, 0.001f});
  s.build();
  int calls = 0;
  const auto caller = std::this_thread::get_id();
  render_flux(
      s, 1, 1, 2500000, 1, 1.0f, 0, 16, 3, 2,
      [&](int64_t, int64_t, float) {
        EXPECT_EQ(std::this_thread::get_id(), caller);
        ++calls;
      },
      false);
  EXPECT_EQ(calls, 3);
  // An interrupt check that throws ends the run at once with its exception.
  int polls = 0;
  auto interrupt = [&] {
    if (++polls == 2) throw std::domain_error("interrupted");
  };
  EXPECT_THROW(render_forward(s, 1, 1, {0, 1}, 10000000000LL, 1, false, 1.0f, {}, 0, 16, 3, 2, {},
                              -1, interrupt),
               std::domain_error);
  EXPECT_EQ(polls, 2);
}

}  // namespace
}  // namespace tesk::embree
