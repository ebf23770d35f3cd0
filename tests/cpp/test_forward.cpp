// The leaf model of optical turbid media (chi-square checks of its samplers) and the forward
// photon workflows on scenes with closed-form answers: energy bookkeeping, Beer-Lambert fPAR of
// a turbid slab, next-event estimates, thread-count independence, progress and interruption.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/leaf_scattering.h"
#include "core/optical_media.h"
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
  const float front[2] = {0.3f, 0.1f}, back[2] = {0.2f, 0.1f}, trans[2] = {0.5f, 0.3f};
  const LeafOptics optics{front, back, trans};
  const LeafMeans m = leaf_band_means(optics, 2, false);
  EXPECT_FLOAT_EQ(m.rho, 0.2f);
  EXPECT_FLOAT_EQ(m.tau, 0.4f);
  EXPECT_FLOAT_EQ(optics.absorptance(0, true), 0.3f);
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
  // The weight factor is rho_b + tau_b on average (exactly for grey leaves).
  EXPECT_NEAR(weight[0] / kN, 0.8, 0.02);
  EXPECT_NEAR(weight[1] / kN, 0.4, 0.02);
  const float grey_r = 0.4f, grey_t = 0.35f;
  const LeafOptics grey{&grey_r, &grey_r, &grey_t};
  const float u[3] = {0.9f, 0.3f, 0.6f};
  EXPECT_FLOAT_EQ(leaf_scatter_weight(grey, 0, true, scatter_at_leaf(facing, 0.4f, 0.35f, u)),
                  0.75f);
  // Black leaves end the photon; the response is rho/pi toward the photon's side, tau/pi across.
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

// Periodic 10 x 10 tile: ground (instance 0, reflectance `soil`) under a turbid slab of leaf
// area density `lad` between z = 1 and 3 (LAI 2), leaves of reflectance `rho` and transmittance
// `tau`, sun irradiance 2 from `sun`. The slab's box is wider than the tile so that photons
// leave it only through its top and bottom.
void turbid_slab(EmbreeSceneManager& s, float soil, float rho, float tau, float3 sun,
                 int leaf_angle_type = 0, float lad = 1.0f) {
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
  s.set_optical_turbid_media({lad}, {leaf_angle_type}, {1}, {0.05f}, {-1, 0});
  s.build();
}

double sum(const std::vector<float>& v) {
  double t = 0.0;
  for (float x : v) t += x;
  return t;
}

FluxResult flux(const EmbreeSceneManager& s, int64_t n, int threads = 2, int max_depth = 16,
                float prob_sun = 1.0f, bool decompose = false, int max_bounces = 0) {
  return render_flux(s, 2, 2, n, s.description().num_bands(), prob_sun, max_bounces, max_depth, 3,
                     threads, {}, decompose);
}

TEST(ForwardFlux, LambertianGroundUnderSunAndSky) {
  // Ground of reflectance 0.3 filling the tile; sun irradiance 2 at 60 degrees zenith, uniform
  // sky radiance 0.5; 60 % sun photons.
  EmbreeSceneManager s;
  SceneDescription& d = s.description();
  d.upload_spectral_params({0.3f, 2.0f, 0.5f});
  d.add_material(MaterialType::Diffuse, 0, {});
  d.set_emitter(EmitterType::Directional, normalize(float3{0.8660254f, 0.0f, 0.5f}), 1);
  d.set_sky(2);
  d.set_repetitive(4, kTile, kTile);
  add_quad(s, 0, kTile, 0, 0);
  s.build();
  constexpr int kN = 40000;
  const FluxResult r = flux(s, kN, 2, 16, 0.6f, true);
  ASSERT_EQ(r.downwelling.size(), 4u);
  EXPECT_TRUE(r.grid.empty() && r.incident.empty());  // no media: the simple outputs only
  // Sun photons bring E mu A = 100, sky photons pi L A; photon counts are binomial.
  const double sun = sum(r.downwelling_direct), sky = sum(r.downwelling_diffuse);
  EXPECT_NEAR(sun, 100.0, 4 * 100.0 * std::sqrt(0.4 / (0.6 * kN)));
  EXPECT_NEAR(sky, kPi * 50.0, 4 * kPi * 50.0 * std::sqrt(0.6 / (0.4 * kN)));
  EXPECT_NEAR(sum(r.downwelling), sun + sky, 1e-4 * (sun + sky));
  // Cosine sampling of a Lambertian surface leaves exactly rho w, which escapes from its cell.
  EXPECT_NEAR(sum(r.upwelling), 0.3 * sum(r.downwelling), 1e-4 * sum(r.downwelling));
  for (size_t c = 0; c < 4; ++c) {
    const double share = r.downwelling[c] / sum(r.downwelling);
    EXPECT_NEAR(share, 0.25, 4 * std::sqrt(0.25 * 0.75 / kN) * 3);
  }
  // prob_sun 1 with a sky: only sun photons; prob_sun 0 without a sky, or a sun at the
  // horizon: nothing is emitted.
  const FluxResult only_sun = flux(s, 1000, 1, 16, 1.0f, true);
  EXPECT_EQ(sum(only_sun.downwelling_diffuse), 0.0);
  EXPECT_NEAR(sum(only_sun.downwelling), 100.0, 1e-3);
  d.set_sky(-1);
  EXPECT_EQ(sum(flux(s, 1000, 1, 16, 0.0f).downwelling), 0.0);
  d.update_emitter_direction(normalize(float3{1.0f, 0.0f, 0.005f}));
  EXPECT_EQ(sum(flux(s, 1000, 1).upwelling), 0.0);
}

TEST(ForwardFlux, RecordedBouncesAndUpwellingBetweenCells) {
  // A leaf layer over grey ground: photons bounce between layer and ground.
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
  const FluxResult one = flux(s, 20000, 2, 16, 1.0f, false, 1);
  EXPECT_NEAR(sum(one.downwelling), 100.0, 1e-3);  // only each photon's first hit
  const FluxResult all = flux(s, 20000);
  EXPECT_GT(sum(all.downwelling), 150.0);
  EXPECT_GT(sum(all.upwelling), 0.0);
}

TEST(ForwardFlux, BlackLeafSlabFollowsBeerLambert) {
  // fPAR of black leaves over black soil: 1 - exp(-G LAI / mu0) with G = 0.5 (spherical), or
  // the planophile projection, for several sun zeniths.
  struct Case {
    int type;
    float zenith_deg;
  };
  for (const Case k : {Case{0, 0.0f}, Case{0, 60.0f}, Case{1, 40.0f}}) {
    EmbreeSceneManager s;
    const float z = static_cast<float>(k.zenith_deg * kPi / 180);
    const float3 sun = normalize(float3{std::sin(z), 0.3f * std::sin(z), std::cos(z)});
    turbid_slab(s, 0.0f, 0.0f, 0.0f, sun, k.type);
    constexpr int kN = 40000;
    const FluxResult r = flux(s, kN);
    const double mu = sun.z;
    const double G = medium_projection(s.optical_media().media[0], sun);
    const double want = 1.0 - std::exp(-G * 2.0 / mu);
    const double incident = r.incident[0];
    EXPECT_NEAR(incident, 2.0 * mu * 100.0, 1e-3 * incident);
    EXPECT_NEAR(sum(r.grid) / incident, want, 4 * std::sqrt(want * (1 - want) / kN))
        << k.type << " " << k.zenith_deg;
    EXPECT_NEAR(sum(r.grid_direct), sum(r.grid), 1e-6 * incident);
    EXPECT_EQ(sum(r.escaped), 0.0);
    EXPECT_NEAR(r.terrain[0] + sum(r.grid), incident, 1e-5 * incident);
    EXPECT_NEAR(r.medium[0], sum(r.grid), 1e-5 * incident);
  }
}

TEST(ForwardFlux, ScatteringSlabBalancesItsEnergy) {
  // Grey leaves and soil: every photon's energy ends absorbed, escaped, cut by the depth limit
  // or traded by roulette, and the bookkeeping closes to rounding.
  EmbreeSceneManager s;
  turbid_slab(s, 0.2f, 0.45f, 0.4f, normalize(float3{0.3f, 0.1f, 0.9f}));
  for (int max_depth : {16, 3}) {
    const FluxResult r = flux(s, 20000, 2, max_depth);
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

// ---- the layered field -----------------------------------------------------------------------

ForwardFieldResult field(const EmbreeSceneManager& s, std::vector<float> heights, int64_t n,
                         std::vector<float> views = {}, int terrain = -1, bool per_leaf = false,
                         int threads = 2, float prob_sun = 1.0f) {
  const int n_views = static_cast<int>(views.size() / 3);
  return render_forward(s, 2, 2, heights, n, s.description().num_bands(), per_leaf, prob_sun, views,
                        n_views, 16, 3, threads, {}, terrain);
}

TEST(ForwardField, LambertianGroundAbsorptionAndBrf) {
  EmbreeSceneManager s;
  SceneDescription& d = s.description();
  d.set_num_bands(2);
  d.upload_spectral_params({0.2f, 0.5f, 1000.0f, 400.0f});
  d.add_material(MaterialType::Diffuse, 0, {});
  d.set_emitter(EmitterType::Directional, normalize(float3{0.0f, 0.6f, 0.8f}), 2);
  d.set_repetitive(4, kTile, kTile);
  add_quad(s, 0, kTile, 0, 0);
  s.build();
  const float c30 = 0.8660254f;
  const ForwardFieldResult r =
      field(s, {1.0f, 2.0f, 3.0f}, 5000, {0, 0, 1, 0.5f, 0, c30, 1, 0, 0, 0, 0, -1});
  ASSERT_EQ(r.grid.size(), 2u * 2 * 2 * 2);
  EXPECT_EQ(r.execution.executor, "embree.cpu.optical_brf");
  // Every photon brings E mu P0 and deposits (1 - rho) of it, all in layer 0 (below h[0]).
  const double E[2] = {1000.0 * 0.8 * 100, 400.0 * 0.8 * 100}, rho[2] = {0.2, 0.5};
  for (int b = 0; b < 2; ++b) {
    double layer0 = 0.0, layer1 = 0.0;
    for (int c = 0; c < 4; ++c) {
      layer0 += r.grid[c * 2 + b];
      layer1 += r.grid[8 + c * 2 + b];
    }
    EXPECT_NEAR(layer0, (1 - rho[b]) * E[b], 1e-5 * E[b]);
    EXPECT_EQ(layer1, 0.0);
    EXPECT_NEAR(r.albedo[b], rho[b] * E[b], 1e-5 * E[b]);
    // The next-event estimate is the radiant intensity rho E mu A cos(theta_v) / pi.
    EXPECT_NEAR(r.brf[0 * 2 + b], rho[b] * E[b] / kPi, 1e-5 * E[b]);
    EXPECT_NEAR(r.brf[1 * 2 + b], rho[b] * E[b] * c30 / kPi, 1e-5 * E[b]);
    EXPECT_EQ(r.brf[2 * 2 + b], 0.0f);  // horizontal and downward views see nothing
    EXPECT_EQ(r.brf[3 * 2 + b], 0.0f);
  }
  // Terrain id 0 takes the ground's absorption; the grid stays empty; no views, no brf.
  const ForwardFieldResult t = field(s, {-2.0f, -1.0f}, 1000, {}, 0);
  EXPECT_NEAR(t.terrain[0], 0.8 * E[0], 1e-5 * E[0]);
  EXPECT_EQ(sum(t.grid), 0.0);
  EXPECT_TRUE(t.brf.empty() && t.albedo.empty());
  EXPECT_EQ(t.execution.executor, "embree.cpu.optical_forward");
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
  const double incident = 100.0;
  double grid = 0.0, column0 = 0.0;
  for (int iy = 0; iy < 2; ++iy) {
    for (int ix = 0; ix < 2; ++ix) {
      grid += r.grid[iy * 2 + ix];
      if (ix == 0) column0 += r.grid[iy * 2 + ix];
    }
  }
  EXPECT_NEAR(grid, (1.0 - 0.1 - 0.2) * incident, 1e-4 * incident);  // back face: 0.1
  EXPECT_NEAR(column0 / grid, 0.5, 4 * std::sqrt(0.25 / kN));
  EXPECT_NEAR(sum(r.leaf), grid, 1e-4 * grid);
  EXPECT_EQ(r.leaf.size(), 4u);
  EXPECT_GT(r.terrain[0], 0.0f);
}

TEST(ForwardField, BlackLeafProfileAndSunSkySplit) {
  EmbreeSceneManager s;
  turbid_slab(s, 0.0f, 0.0f, 0.0f, float3{0, 0, 1});
  s.description().set_sky(5);
  constexpr int kN = 40000;
  const std::vector<float> h = {0.0f, 1.0f, 1.5f, 2.0f, 2.5f, 3.0f};
  const ForwardFieldResult r = field(s, h, kN, {}, 0, false, 2, 0.5f);
  const double in = r.incident[0];
  for (int l = 1; l < 5; ++l) {
    double layer = 0.0;
    for (int c = 0; c < 4; ++c) layer += r.grid[l * 4 + c];
    // Sun photons: exp(-tau_above / mu); sky photons the same averaged over cosine-weighted mu.
    auto uncollided = [](double tau) {
      double sky = 0.0;
      for (int i = 0; i < 2000; ++i) {
        const double mu = (i + 0.5) / 2000;
        sky += 2 * mu * std::exp(-tau / mu) / 2000;
      }
      return (2.0 * std::exp(-tau) + kPi * 0.5 * sky) / (2.0 + kPi * 0.5);
    };
    const double top = 0.5 * (3.0 - h[l + 1]), bottom = 0.5 * (3.0 - h[l]);
    const double want = uncollided(top) - uncollided(bottom);
    EXPECT_NEAR(layer / in, want, 4 * std::sqrt(want / kN) + 2e-3) << l;
  }
  double direct = sum(r.grid_direct), diffuse = sum(r.grid_diffuse);
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

TEST(ForwardRuns, ResultsDoNotDependOnTheThreadCount) {
  EmbreeSceneManager s;
  turbid_slab(s, 0.3f, 0.45f, 0.4f, normalize(float3{0.3f, 0.1f, 0.9f}));
  const FluxResult f1 = flux(s, 3000, 1);
  const ForwardFieldResult g1 = field(s, {0.0f, 2.0f, 4.0f}, 3000, {0, 0, 1}, 0, true, 1);
  for (int threads : {2, 3}) {
    const FluxResult f = flux(s, 3000, threads);
    const ForwardFieldResult g = field(s, {0.0f, 2.0f, 4.0f}, 3000, {0, 0, 1}, 0, true, threads);
    auto same = [](const std::vector<float>& a, const std::vector<float>& b) {
      ASSERT_EQ(a.size(), b.size());
      for (size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(a[i], b[i], 1e-5 * std::fabs(a[i]) + 1e-9);
    };
    same(f1.downwelling, f.downwelling);
    same(f1.upwelling, f.upwelling);
    same(f1.grid, f.grid);
    same(f1.escaped, f.escaped);
    same(g1.grid, g.grid);
    same(g1.brf, g.brf);
    same(g1.leaf, g.leaf);
    EXPECT_EQ(f1.rays.closest, f.rays.closest);
  }
}

TEST(ForwardRuns, ProgressInterruptionAndEnvironment) {
  // A sun at the horizon emits nothing, so millions of photons cost only their emission test.
  EmbreeSceneManager s;
  s.description().upload_spectral_params({0.5f, 1.0f});
  s.description().add_material(MaterialType::Diffuse, 0, {});
  s.description().set_emitter(EmitterType::Directional, normalize(float3{1, 0, 0.001f}), 1);
  s.description().set_repetitive(2, kTile, kTile);
  add_quad(s, 0, kTile, 0, 0);
  s.build();
  std::vector<int64_t> done;
  const auto caller = std::this_thread::get_id();
  render_flux(
      s, 1, 1, 2500000, 1, 1.0f, 0, 16, 3, 2,
      [&](int64_t d, int64_t total, float) {
        EXPECT_EQ(total, 2500000);
        EXPECT_EQ(std::this_thread::get_id(), caller);
        done.push_back(d);
      },
      false);
  EXPECT_EQ(done, (std::vector<int64_t>{1000000, 2000000, 2500000}));
  auto stop_at_two = [](int64_t d, int64_t, float) {
    if (d == 2000000) throw std::range_error("stop");
  };
  EXPECT_THROW(render_forward(s, 1, 1, {0, 1}, 10000000000LL, 1, false, 1.0f, {}, 0, 16, 3, 2,
                              stop_at_two, -1),
               std::range_error);
  int polls = 0;
  auto interrupt = [&] {
    if (++polls == 2) throw std::domain_error("interrupted");
  };
  EXPECT_THROW(render_flux(s, 1, 1, 10000000000LL, 1, 1.0f, 0, 16, 3, 2, {}, false, interrupt),
               std::domain_error);
  EXPECT_EQ(polls, 2);

  // TESK_MAX_DEPTH 1 ends photons after their first scattering: nothing escapes upward.
  s.description().update_emitter_direction({0, 0, 1});
  setenv("TESK_MAX_DEPTH", "1", 1);
  testing::internal::CaptureStdout();
  const FluxResult r = flux(s, 100);
  ForwardFieldResult g = field(s, {0, 1}, 100, {0, 0, 1});
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("[CPU flux] TESK_MAX_DEPTH=1\nForward flux (CPU): 100 photons, grid 2x2, 1 "
                      "bands, max_bounces_record=0, 2 threads\n",
                      0),
            0u)
      << out;
  EXPECT_NE(out.find("[CPU fwd] TESK_MAX_DEPTH=1\nForward fPAR (CPU): 100 photons, grid 2x2x1, 1 "
                     "bands, 2 threads\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(sum(r.upwelling), 0.0);
  EXPECT_EQ(sum(g.albedo), 0.0);
  unsetenv("TESK_MAX_DEPTH");
  EXPECT_NEAR(sum(flux(s, 100).upwelling), 50.0, 1e-4);
}

template <typename E, typename F>
void expect_message(F&& f, const std::string& message) {
  try {
    f();
    FAIL() << message;
  } catch (const E& e) {
    EXPECT_EQ(std::string(e.what()), message);
  }
}

TEST(ForwardRuns, ArgumentErrors) {
  EmbreeSceneManager s;
  s.description().upload_spectral_params({0.5f, 1.0f});
  s.description().add_material(MaterialType::Diffuse, 0, {});
  add_quad(s, 0, kTile, 0, 0);
  auto run = [&](int nx, int ny, int64_t n, int nb, float p = 1.0f) {
    return render_flux(s, nx, ny, n, nb, p, 0, 16, 3, 1, {}, false);
  };
  const std::string dims = "flux grid dimensions and band count must be positive";
  expect_message<std::invalid_argument>([&] { run(0, 1, 1, 1); }, dims);
  expect_message<std::invalid_argument>([&] { run(1, 1, 1, 0); }, dims);
  expect_message<std::overflow_error>([&] { run(65536, 32768, 1, 1); },
                                      "flux grid element count exceeds signed device index range");
  expect_message<std::invalid_argument>([&] { run(1, 1, 0, 1); },
                                        "Embree flux photon count must be positive");
  expect_message<std::invalid_argument>([&] { run(1, 1, 1, 1, NAN); },
                                        "prob_sun must be in [0, 1]");
  expect_message<std::invalid_argument>(
      [&] { run(1, 1, 1, 1); }, "flux scene extent must be at least the minimum normalized float");
  s.description().set_repetitive(1, kTile, kTile);
  expect_message<std::runtime_error>([&] { run(1, 1, 1, 1); },
                                     "Embree: build the scene before tracing rays");
  auto fwd = [&](std::vector<float> h, int nx, std::vector<float> views, int n_views) {
    return render_forward(s, nx, 1, h, 1, 1, false, 1.0f, views, n_views, 16, 3, 1, {}, -1);
  };
  expect_message<std::runtime_error>([&] { fwd({1.0f}, 1, {}, 0); },
                                     "layer_heights must have at least 2 entries");
  expect_message<std::invalid_argument>(
      [&] {
        fwd({1.0f, 1.0f}, 1, {}, 0);
      },
      "layer_heights must be finite and strictly increasing");
  expect_message<std::invalid_argument>(
      [&] {
        fwd({0.0f, 1.0f}, -1, {}, 0);
      },
      "forward grid dimensions and band count must be positive");
  expect_message<std::invalid_argument>(
      [&] {
        fwd({0.0f, 1.0f}, 1, {0, 0}, 1);
      },
      "num_brf_dirs must be non-negative and match brf_directions");
}

}  // namespace
}  // namespace tesk::embree
