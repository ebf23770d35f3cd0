// The per-pulse physics of the LiDAR: footprint grid, transmit pulse width and the leaf
// backscatter factor. Whole runs against closed forms (planes, spheres, leaf slabs), the
// bin boundaries, error messages and thread-count independence are checked in
// tests/python/test_lidar.py.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/leaf_scattering.h"
#include "core/lidar.h"
#include "embree/lidar.h"

namespace tesk::lidar {
namespace {

TEST(LidarFootprint, DefaultGridKeepsTheUnitDiskWithGaussianWeights) {
  int kept = 0;
  double total = 0.0;
  float x = 0.0f, y = 0.0f, w = 0.0f;
  for (int i = 0; i <= 10; ++i) {
    for (int j = 0; j <= 10; ++j) {
      if (!footprint_candidate(i, j, 10, x, y, w)) continue;
      ++kept;
      total += w;
      EXPECT_LE(x * x + y * y, 1.0001f);
      EXPECT_NEAR(w, std::exp(-(x * x + y * y) / 1.0003277), 1e-6);
    }
  }
  EXPECT_EQ(kept, 81);  // lattice points of the radius-5 disk
  EXPECT_FALSE(footprint_candidate(0, 0, 10, x, y, w));
  EXPECT_TRUE(footprint_candidate(5, 0, 10, x, y, w));  // (0, -1) lies on the rim
  EXPECT_FALSE(footprint_candidate(0, 0, 0, x, y, w));  // S = 0 has no grid
  EXPECT_GT(total, 1.0);
}

TEST(LidarPulse, KernelFallsToHalfAtHalfTheFullWidthInRange) {
  for (double fwhm_ns : {1.0, 4.0, 10.0}) {
    const double sigma = pulse_sigma_range(fwhm_ns);
    const double half_width = 0.5 * fwhm_ns * 0.29979247 / 2.0;  // two-way range of half the FWHM
    EXPECT_NEAR(pulse_tap(1, half_width, sigma), 0.5, 2e-5) << fwhm_ns;
    EXPECT_DOUBLE_EQ(pulse_tap(0, half_width, sigma), 1.0);
  }
}

// The backscatter factor of a leaf angle distribution is the mean of (n . v)^2 over the leaf
// normals n (azimuths uniform, inclinations from the distribution): a leaf seen at an angle
// returns in proportion to its projected area toward the sensor and its cosine back to it.
TEST(LidarVolume, BackscatterFactorIsTheMeanSquaredLeafCosine) {
  constexpr int kTheta = 2000, kPhi = 256;
  const double pi = 3.141592653589793;
  for (int type = 0; type < kLeafAngleTypes; ++type) {
    for (double mu : {0.0, 0.3, 0.7, 1.0}) {
      const double s = std::sqrt(1.0 - mu * mu);
      double mean = 0.0;
      for (int i = 0; i < kTheta; ++i) {
        const double theta = (i + 0.5) * (pi / 2) / kTheta;
        const double p = leaf_inclination_pdf(type, static_cast<float>(theta)) * (pi / 2) / kTheta;
        double c2 = 0.0;
        for (int j = 0; j < kPhi; ++j) {
          const double phi = (j + 0.5) * 2 * pi / kPhi;
          const double c = std::cos(theta) * mu + std::sin(theta) * std::cos(phi) * s;
          c2 += c * c / kPhi;
        }
        mean += p * c2;
      }
      EXPECT_NEAR(backscatter_phase(type, static_cast<float>(mu)), mean, 2e-4)
          << "type " << type << ", mu " << mu;
    }
  }
}

}  // namespace
}  // namespace tesk::lidar

namespace tesk::embree {
namespace {

// The host half of waveform mode, shared by the CPU and device backends: a single raw return
// comes back as the normalised pulse kernel around its bin, and its bin is the one return.
TEST(LidarPulseWaveform, ConvolvesOneReturnIntoTheKernelAndFindsItsBin) {
  const float origin[3] = {1.0f, 2.0f, 10.0f};
  const float direction[3] = {0.0f, 0.0f, -2.0f};
  LidarRequest request;
  request.pulse_origins = origin;
  request.pulse_directions = direction;
  request.num_pulses = 1;
  request.range_resolution = 0.125f;
  request.max_range = 20.0f;
  request.num_wavelengths = 2;
  const LidarPlan plan = plan_lidar(request, 2);
  ASSERT_EQ(plan.gate.n_bins, 161);
  const int32_t reach = plan.gate.kernel_half_width + 1;
  ASSERT_EQ(plan.kernel.size(), static_cast<size_t>(2 * reach + 1));
  LidarPulseWaveform wave(plan, request);
  wave.add(73, 0, 2.0);
  wave.add(73, 1, 1.0);
  std::vector<float> conv(161 * 2, 0.0f), raw(161 * 2, 0.0f), points;
  wave.finish(0, points, conv.data(), raw.data());
  EXPECT_EQ(raw[73 * 2], 2.0f);
  EXPECT_EQ(raw[73 * 2 + 1], 1.0f);
  for (int32_t k = -reach; k <= reach; ++k) {
    EXPECT_NEAR(conv[(73 + k) * 2], 2.0 * plan.kernel[k + reach], 1e-7) << k;
    EXPECT_NEAR(conv[(73 + k) * 2 + 1], 1.0 * plan.kernel[k + reach], 1e-7) << k;
  }
  ASSERT_EQ(points.size(), static_cast<size_t>(kLidarPointFields));
  const float range = 73.5f * 0.125f;
  const float expected[kLidarPointFields] = {1.0f, 2.0f, 10.0f - range, 0.0f,
                                             1.0f, 1.0f, range,         0.0f};
  for (int f = 0; f < kLidarPointFields; ++f) {
    if (f == 3) continue;
    EXPECT_NEAR(points[f], expected[f], 1e-5) << f;
  }
  EXPECT_NEAR(points[3], 3.0 * plan.kernel[reach], 1e-6);  // wavelength-summed peak

  // The scratch is clear for the next pulse: two equal neighbouring bins make a flat top.
  points.clear();
  wave.add(40, 0, 1.0);
  wave.add(41, 0, 1.0);
  wave.finish(0, points, nullptr, nullptr);
  EXPECT_TRUE(points.empty());
}

}  // namespace
}  // namespace tesk::embree
