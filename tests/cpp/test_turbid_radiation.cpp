// Turbid leaf tracing and energy balance: closed forms of the per-branch leaf budget and of the
// tracer in a scene without media.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "embree/scene_manager.h"
#include "embree/turbid_energy_balance.h"
#include "embree/turbid_leaf_rrt.h"

namespace {

using namespace tesk;
using namespace tesk::embree;

constexpr double kSigma = 5.6703744e-8;

TEST(TurbidLeafBranch, RadiativeCoolingMeetsSensibleGain) {
  // R = 0, no latent or ground term: e sigma s T^4 = h (T_air - T) below the air temperature.
  OwnedTurbidEnergyBalanceRequest q;
  q.air_temperature = 290.0;
  TurbidEnergyBalanceOwner o;
  o.emissivity = 0.9;
  o.sidedness = 1.5;
  o.sensible_derivative = 25.0;
  const TurbidEnergyBalanceBranchFluxes b = solve_turbid_leaf_branch(0.0, 290.0, o, q);
  ASSERT_TRUE(b.converged);
  const double t = b.temperature;
  EXPECT_LT(t, 290.0);
  EXPECT_NEAR(0.9 * kSigma * 1.5 * t * t * t * t, 25.0 * (290.0 - t), 1e-3);
  EXPECT_NEAR(b.emitted_longwave + b.sensible_heat, 0.0, 1e-3);
  // Without the sensible term nothing balances the emission: the solve ends at the 200 K floor.
  o.sensible_derivative = 0.0;
  EXPECT_DOUBLE_EQ(solve_turbid_leaf_branch(0.0, 290.0, o, q).temperature, 200.0);
}

TEST(TurbidLeafBranch, LatentTermFollowsSaturationPressure) {
  OwnedTurbidEnergyBalanceRequest q;
  q.air_temperature = 300.0;
  q.vapor_pressure = 1000.0;
  TurbidEnergyBalanceOwner o;
  o.emissivity = 1.0;
  o.sidedness = 2.0;
  o.sensible_derivative = 10.0;
  o.latent_coefficient = 0.01;
  o.ground_heat = 3.0;
  const TurbidEnergyBalanceBranchFluxes b = solve_turbid_leaf_branch(900.0, 300.0, o, q);
  ASSERT_TRUE(b.converged);
  const double c = b.temperature - 273.15;
  const double es = 610.78 * std::exp(17.27 * c / (c + 237.3));
  EXPECT_NEAR(b.latent_heat, 0.01 * (es - 1000.0), 1e-9);
  EXPECT_NEAR(900.0 - b.emitted_longwave - b.sensible_heat - b.latent_heat - 3.0, 0.0, 1e-3);
}

TEST(TurbidLeafRrt, OpenSkyLeafSeesSunAndSky) {
  // A tilted leaf above an empty scene: p_sun 1, direct |n.s| E, totals the direct part plus
  // pi L_sky on each side (every ray escapes).
  // The only geometry is a unit square 1000 units away: no ray of the leaf meets it.
  EmbreeSceneManager scene;
  scene.description().set_num_bands(1);
  const int mesh =
      scene.add_mesh({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {}, {{0, 1, 2}, {0, 2, 3}}, 0);
  scene.add_instance(mesh, 1000.0f, 0.0f, -1000.0f, 1.0f);
  scene.build();
  const std::vector<float> pos{0.0f, 0.0f, 1.0f}, nor{0.0f, 0.6f, 0.8f};
  const std::vector<int32_t> none{-1}, offsets{0, 0};
  const std::vector<float> sun{2.0f}, sky{0.5f};
  TurbidLeafRRTParams p;
  p.positions = pos;
  p.normals = nor;
  p.medium_ids = none;
  p.instance_ids = none;
  p.active_medium_offsets = offsets;
  p.n_bands = 1;
  p.rays_per_sample = 8;
  p.sun_irradiance = sun;
  p.sky_diffuse_radiance = sky;
  p.sun_dir = {0.0f, 0.0f, 2.0f};
  const TurbidLeafRRTResult r = run_turbid_leaf_rrt_cpu(scene, p);
  EXPECT_EQ(r.execution.executor, "embree.cpu.turbid_leaf_rrt");
  EXPECT_FLOAT_EQ(r.p_sun[0], 1.0f);
  EXPECT_FLOAT_EQ(r.direct_top[0], 1.6f);
  EXPECT_FLOAT_EQ(r.direct_bottom[0], 0.0f);
  EXPECT_NEAR(r.total_top[0], 1.6 + 0.5 * M_PI, 1e-5);
  EXPECT_NEAR(r.total_bottom[0], 0.5 * M_PI, 1e-5);
}

}  // namespace
