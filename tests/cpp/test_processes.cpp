// Scene processes without the host: the surface energy balance in closed form, the SIF
// orientation bins, thread-count independence of the assembled fields and of the static
// photosynthesis process, and the joint state identifiers.

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "core/leaf_emission.h"
#include "embree/joint_thermo_physiology.h"
#include "physiology/processes.h"
#include "physiology/surface_balance.h"

namespace {

using namespace tesk::physiology;

constexpr float kSigma = 5.6703744e-8f;

TEST(SurfaceBalance, RadiativeEquilibriumInClosedForm) {
  // Without sensible, latent or ground heat, e s sigma T^4 = Rabs.
  for (const float absorbed : {150.0f, 420.0f, 900.0f}) {
    SurfaceBalanceInputs in;
    in.absorbed = absorbed;
    in.emissivity = 0.9f;
    in.sidedness = 1.5f;
    const SurfaceBalanceSolution s = solve_surface_balance(280.0f, in, 50, 1e-4f, 20.0f);
    const double expected = std::pow(absorbed / (0.9 * 1.5 * kSigma), 0.25);
    EXPECT_TRUE(s.converged);
    EXPECT_NEAR(s.temperature, expected, 1e-3);
    EXPECT_NEAR(s.net_radiation, 0.0f, 5e-3f * absorbed / 100.0f);
  }
}

TEST(SurfaceBalance, ClosesWithSensibleLatentAndGroundHeat) {
  SurfaceBalanceInputs in;
  in.absorbed = 700.0f;
  in.emissivity = 0.95f;
  in.sidedness = 1.0f;
  in.sensible_derivative = 12.0f;
  in.latent_coefficient = 0.08f;
  in.ground_heat = 40.0f;
  in.air_temperature = 295.0f;
  in.vapor_pressure = 1200.0f;
  const SurfaceBalanceSolution s = solve_surface_balance(300.0f, in, 50, 1e-4f, 20.0f);
  ASSERT_TRUE(s.converged);
  const float residual = s.net_radiation - s.sensible_heat - s.latent_heat - in.ground_heat;
  EXPECT_NEAR(residual, 0.0f, 0.05f);
  EXPECT_NEAR(s.emitted_longwave, 0.95f * kSigma * std::pow(s.temperature, 4.0f), 1e-2f);
  // One step from far away is capped at 20 K and reported unconverged.
  const SurfaceBalanceSolution one = solve_surface_balance(250.0f, in, 1, 1e-4f, 20.0f);
  EXPECT_FALSE(one.converged);
  EXPECT_FLOAT_EQ(one.temperature, 270.0f);
  // Absorbed radiation no surface could shed is clamped at 350 K.
  in.absorbed = 1e6f;
  EXPECT_FLOAT_EQ(solve_surface_balance(300.0f, in, 100, 1e-4f, 20.0f).temperature, 350.0f);
}

TEST(SifOrientation, BinsFollowZenithAndAzimuth) {
  constexpr int kTheta = 3, kPhi = 8;
  EXPECT_EQ(sif_orientation_bin(0, 0, 1, kTheta, kPhi), 0);
  EXPECT_EQ(sif_orientation_bin(0, 0, -2, kTheta, kPhi), 0);
  // Horizontal along +x: acos 0 = pi/2 gives theta_bins, clamped to the last bin; azimuth 0.
  EXPECT_EQ(sif_orientation_bin(1, 0, 0, kTheta, kPhi), (kTheta - 1) * kPhi);
  EXPECT_EQ(sif_orientation_bin(0, 0, 0, kTheta, kPhi), -1);
  // A downward normal bins as its negation, azimuth included.
  const float c = std::cos(1.0f), s = std::sin(1.0f);
  EXPECT_EQ(sif_orientation_bin(0.3f * c, 0.3f * s, -1, kTheta, kPhi),
            sif_orientation_bin(-0.3f * c, -0.3f * s, 1, kTheta, kPhi));
  for (int a = 0; a < kPhi; ++a) {
    const float phi = (a + 0.5f) * 2.0f * std::numbers::pi_v<float> / kPhi;
    EXPECT_EQ(sif_orientation_bin(std::cos(phi), std::sin(phi), 1.0f, kTheta, kPhi), kPhi + a);
  }
}

TEST(SifAssembly, ALeafFacingStraightDownReadsTheSourceAssembledForIt) {
  // One instance over [0, 1]^3 with one cell, 2 zenith x 4 azimuth bins, 1 band: a sample
  // facing straight down (source 5) and a tilted one (source 2) in another azimuth.
  std::vector<float> pos{0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f};
  std::vector<float> nrm{0.0f, 0.0f, -1.0f, -0.3f, -0.2f, 1.0f};
  std::vector<float> src{5.0f, 2.0f}, dir{0.0f, 0.0f}, lo{0, 0, 0}, hi{1, 1, 1};
  std::vector<int32_t> inst{0, 0}, dims{1, 1, 1};
  SifSourceAssemblyRequestView r;
  r.n_instances = 1;
  r.n_samples = 2;
  r.n_bands = 1;
  r.cell_stride = 1;
  r.orientation_theta_bins = 2;
  r.orientation_phi_bins = 4;
  r.positions = {pos.data(), pos.size()};
  r.normals = {nrm.data(), nrm.size()};
  r.instance_ids = {inst.data(), inst.size()};
  r.grid_dims = {dims.data(), dims.size()};
  r.source_band_major = {src.data(), src.size()};
  r.direct_source_band_major = {dir.data(), dir.size()};
  r.bounds_min = {lo.data(), lo.size()};
  r.bounds_max = {hi.data(), hi.size()};
  const SifSourceFields f = assemble_sif_source(r, 1);
  const tesk::SifSourceFieldView view{f.spatial_field.data(),
                                      f.orientation_field.data(),
                                      f.joint_field.data(),
                                      lo.data(),
                                      hi.data(),
                                      dims.data(),
                                      1,
                                      1,
                                      1,
                                      2,
                                      4};
  // The renderer's lookup for the same leaf finds its own joint bin, not the cell's sum.
  const tesk::float3 p{0.5f, 0.5f, 0.5f};
  EXPECT_EQ(tesk::sif_source_exitance(view, 0, p, tesk::float3{0.0f, 0.0f, -1.0f}, 0), 5.0f);
  EXPECT_EQ(tesk::sif_source_exitance(view, 0, p, tesk::float3{-0.0f, 0.0f, -1.0f}, 0), 5.0f);
  EXPECT_EQ(tesk::sif_source_exitance(view, 0, p, tesk::float3{0.0f, 0.0f, 1.0f}, 0), 5.0f);
  EXPECT_EQ(tesk::sif_source_exitance(view, 0, p, tesk::float3{-0.3f, -0.2f, 1.0f}, 0), 2.0f);
  // Every sign of the zero components of a vertical normal gives azimuth bin 0.
  for (const float x : {0.0f, -0.0f}) {
    for (const float y : {0.0f, -0.0f}) {
      EXPECT_EQ(sif_orientation_bin(x, y, -1.0f, 2, 4), 0);
      EXPECT_EQ(tesk::sif_orientation_bin(tesk::float3{x, y, -1.0f}, 2, 4), 0);
    }
  }
}

TEST(SifAssembly, FieldsDoNotDependOnTheThreadCount) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  const int n = 3000, nb = 2, ni = 5;
  std::vector<float> pos(3 * n), nrm(3 * n), src(nb * n), dir(nb * n);
  std::vector<int32_t> inst(n), dims(3 * ni, 3);
  for (float& v : pos) v = 4.0f * u(rng);
  for (float& v : nrm) v = u(rng) - 0.5f;
  for (float& v : src) v = u(rng);
  for (float& v : dir) v = 0.3f * u(rng);
  for (int32_t& v : inst) v = static_cast<int32_t>(u(rng) * ni) % ni;
  std::vector<float> lo(3 * ni, 0.0f), hi(3 * ni, 4.0f);
  SifSourceAssemblyRequestView r;
  r.n_instances = ni;
  r.n_samples = n;
  r.n_bands = nb;
  r.cell_stride = 27;
  r.orientation_theta_bins = 4;
  r.orientation_phi_bins = 6;
  r.positions = {pos.data(), pos.size()};
  r.normals = {nrm.data(), nrm.size()};
  r.instance_ids = {inst.data(), inst.size()};
  r.grid_dims = {dims.data(), dims.size()};
  r.source_band_major = {src.data(), src.size()};
  r.direct_source_band_major = {dir.data(), dir.size()};
  r.bounds_min = {lo.data(), lo.size()};
  r.bounds_max = {hi.data(), hi.size()};
  const SifSourceFields one = assemble_sif_source(r, 1);
  const SifSourceFields two = assemble_sif_source(r, 2);
  EXPECT_EQ(one.joint_field, two.joint_field);
  EXPECT_EQ(one.spatial_counts, two.spatial_counts);
  double total = 0.0;
  for (int s = 0; s < n; ++s) total += src[s];
  EXPECT_NEAR(one.band_totals[0], total, 1e-4 * total);
}

TEST(StaticPhotosynthesis, ResultsDoNotDependOnTheThreadCount) {
  const int n = 5000, nb = 2;
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  std::vector<float> top(n * nb), bottom(n * nb), direct(n * nb), f(n), ts(n), th(n);
  for (int i = 0; i < n * nb; ++i) {
    top[i] = 80.0f * u(rng);
    bottom[i] = 10.0f * u(rng);
    direct[i] = top[i] * u(rng);
  }
  for (int e = 0; e < n; ++e) {
    f[e] = u(rng);
    ts[e] = 295.0f + 10.0f * u(rng);
    th[e] = 290.0f + 5.0f * u(rng);
  }
  std::vector<int32_t> ids(n, 0), active{1}, fluorescent{1};
  std::vector<float> wl{500.0f, 650.0f}, vcmax{60}, jmax{110}, rd{1}, slope{9}, g0{0.01f},
      qy{0.05f};
  auto fb = [](const std::vector<float>& v) { return FloatBuffer{v.data(), v.size()}; };
  auto ib = [](const std::vector<int32_t>& v) { return IntBuffer{v.data(), v.size()}; };
  PhotosynthesisProcessRequestView r;
  r.n_elements = n;
  r.n_bands = nb;
  r.n_materials = 1;
  r.absorbed_top = fb(top);
  r.absorbed_bottom = fb(bottom);
  r.absorbed_direct = fb(direct);
  r.wavelengths = fb(wl);
  r.sunlit_fraction = fb(f);
  r.material_ids = ib(ids);
  r.material_active = ib(active);
  r.material_fluorescent = ib(fluorescent);
  r.temperature_sunlit = fb(ts);
  r.temperature_shaded = fb(th);
  r.vcmax25 = fb(vcmax);
  r.jmax25 = fb(jmax);
  r.rd25 = fb(rd);
  r.ball_berry_slope = fb(slope);
  r.ball_berry_intercept = fb(g0);
  r.quantum_yield = fb(qy);
  r.co2 = 400.0f;
  r.relative_humidity = 0.6f;
  r.max_iterations = 50;
  r.tolerance = 1e-3f;
  const PhotosynthesisProcessResult one = execute_photosynthesis_process_static(r, 1);
  const PhotosynthesisProcessResult two = execute_photosynthesis_process_static(r, 2);
  EXPECT_EQ(one.an, two.an);
  EXPECT_EQ(one.phi_f, two.phi_f);
  // The sunlit branch adds the direct part to the shaded PAR.
  for (int e = 0; e < n; ++e) ASSERT_GE(one.apar_sunlit[e], one.apar_shaded[e]);
}

TEST(JointState, IdentifiersIncrease) {
  const uint64_t a = tesk::embree::next_joint_state_id();
  const uint64_t b = tesk::embree::next_joint_state_id();
  EXPECT_GT(a, 0u);
  EXPECT_EQ(b, a + 1);
}

}  // namespace
