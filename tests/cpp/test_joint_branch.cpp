// The joint thermo-physiology element step (physiology/joint_branch.h), which the CPU and the
// Vulkan shader share: closed-form surface balances, relaxation, and the residual rule of the
// Farquhar branches.

#include <gtest/gtest.h>

#include <cmath>

#include "physiology/joint_branch.h"

namespace tesk::physiology {
namespace {

constexpr float kSigma = 5.6703744e-8f;

JointElementInputs radiative_surface(float shortwave) {
  JointElementInputs e;
  e.mode = 1;
  e.shortwave = shortwave;
  e.emissivity = 0.9f;
  e.sidedness = 2.0f;
  return e;
}

TEST(JointBranch, RadiativeSurfaceRelaxesTowardItsRadiativeEquilibrium) {
  // Without sensible, latent and ground heat the balance is Rabs = e s sigma T^4.
  const float rabs = 700.0f, lw = 100.0f;
  const float t_star = std::pow((rabs + lw) / (0.9f * 2.0f * kSigma), 0.25f);
  const JointBranchState start{280.0f, 0.0f, 0.0f};
  for (const float damping : {1.0f, 0.25f}) {
    const JointAir air{293.0f, 1000.0f, damping};
    const JointElementOutcome o = solve_joint_element(start, start, radiative_surface(rabs),
                                                      LeafTraits{}, LeafMicroclimate{}, air, lw);
    const float expected = 280.0f + damping * (t_star - 280.0f);
    EXPECT_NEAR(o.sunlit.temperature, expected, 0.01f) << damping;
    EXPECT_EQ(o.shaded.temperature, o.sunlit.temperature);
    EXPECT_NEAR(o.change, damping * (t_star - 280.0f), 0.01f);
    EXPECT_LT(o.residual, 0.05f);  // measured at the solved temperature, not the relaxed one
    EXPECT_EQ(o.physiology_change, 0.0f);
    EXPECT_TRUE(o.converged);
  }
}

TEST(JointBranch, PrescribedElementKeepsItsStateAndMeasuresNothing) {
  JointElementInputs e = radiative_surface(900.0f);
  e.mode = kJointModePrescribedTemperature;
  const JointBranchState sun{305.0f, 3.0f, 0.2f}, shade{290.0f, 1.0f, 0.1f};
  const JointElementOutcome o =
      solve_joint_element(sun, shade, e, LeafTraits{}, LeafMicroclimate{}, JointAir{}, 400.0f);
  EXPECT_EQ(o.sunlit.temperature, 305.0f);
  EXPECT_EQ(o.shaded.temperature, 290.0f);
  EXPECT_EQ(o.change + o.residual + o.physiology_change, 0.0f);
  EXPECT_TRUE(o.converged);
}

TEST(JointBranch, FarquharBranchesSolveWithoutGroundHeatButReportIt) {
  JointElementInputs e;
  e.mode = kJointModeFarquharLeaf;
  e.apar_sunlit = 1500.0f;
  e.apar_shaded = 150.0f;
  e.shortwave_sunlit = 450.0f;
  e.shortwave_shaded = 50.0f;
  e.emissivity = 0.97f;
  e.sidedness = 2.0f;
  e.leaf_width = 0.05f;
  e.stomata_sides = 1.0f;
  const LeafTraits traits{60.0f, 110.0f, 1.0f, 9.0f, 0.01f, 0.05f};
  const JointBranchState start{298.0f, 0.0f, 0.0f};
  const JointAir air{298.0f, 1500.0f, 1.0f};
  const JointElementOutcome plain =
      solve_joint_element(start, start, e, traits, LeafMicroclimate{}, air, 650.0f);
  e.ground_heat = 12.5f;
  const JointElementOutcome grounded =
      solve_joint_element(start, start, e, traits, LeafMicroclimate{}, air, 650.0f);
  ASSERT_TRUE(plain.converged && grounded.converged);
  EXPECT_GT(plain.sunlit.temperature, plain.shaded.temperature + 1.0f);
  EXPECT_GT(plain.sunlit.an, plain.shaded.an);
  EXPECT_LT(plain.residual, 1.0f);
  EXPECT_EQ(grounded.sunlit.temperature, plain.sunlit.temperature);
  EXPECT_NEAR(grounded.residual, 12.5f, plain.residual + 1e-3f);
  // From zero previous assimilation and conductance the relative change is 1.
  EXPECT_FLOAT_EQ(plain.physiology_change, 1.0f);
}

}  // namespace
}  // namespace tesk::physiology
