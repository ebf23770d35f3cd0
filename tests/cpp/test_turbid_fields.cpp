// The field rules shared by the CPU and the field shaders: the spatial key at the edges of an
// owner's box, the octants of a path, and the orientation bin of tiny, huge and downward normals.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "core/turbid_field_rules.h"
#include "turbid/fields.h"

namespace tesk::turbid {
namespace {

TEST(TurbidFieldRules, QuantizeClampsToTheBoxAndFloors) {
  EXPECT_EQ(turbid_field_quantize(0.0, 0.0f, 1.0f), 0);
  EXPECT_EQ(turbid_field_quantize(0.5, 0.0f, 1.0f), 512);
  EXPECT_EQ(turbid_field_quantize(std::nextafter(0.5, 0.0), 0.0f, 1.0f), 511);
  EXPECT_EQ(turbid_field_quantize(std::nextafter(1.0, 0.0), 0.0f, 1.0f), 1023);
  EXPECT_EQ(turbid_field_quantize(1.0, 0.0f, 1.0f), 1023);  // the upper face: last cell
  EXPECT_EQ(turbid_field_quantize(7.0, 0.0f, 1.0f), 1023);
  EXPECT_EQ(turbid_field_quantize(-3.0, 0.0f, 1.0f), 0);
  EXPECT_EQ(turbid_field_quantize(std::nan(""), 0.0f, 1.0f), 0);
  EXPECT_EQ(turbid_field_quantize(2.0, 1.0f, 1.0f), 0);  // empty extent
  EXPECT_EQ(turbid_field_quantize(2.5, 2.0f, 4.0f), 256);
}

TEST(TurbidFieldRules, PathLevelsHoldOneBitOfEachAxis) {
  // x = 1023 sets the x bit of every level; y and z the next two bits.
  const int x = turbid_field_path(1023, 0, 0), yz = turbid_field_path(0, 1023, 1023);
  for (int level = 1; level <= kTurbidFieldKeyBits; ++level) {
    EXPECT_EQ(turbid_field_digit(x, level), 1);
    EXPECT_EQ(turbid_field_digit(yz, level), 6);
  }
  // 512 = only the top bit: octant at level 1, nothing below.
  const int top = turbid_field_path(512, 0, 512);
  EXPECT_EQ(turbid_field_digit(top, 1), 5);
  for (int level = 2; level <= kTurbidFieldKeyBits; ++level)
    EXPECT_EQ(turbid_field_digit(top, level), 0);
}

TEST(TurbidFieldRules, OrientationBinOfScaledAndMirroredNormals) {
  EXPECT_EQ(orientation_bin(0, 0, 1), 0);
  EXPECT_EQ(orientation_bin(0, 0, -1), 0);
  const int tilted = orientation_bin(0.3, 0.4, 0.8);
  EXPECT_EQ(orientation_bin(-0.3, -0.4, -0.8), tilted);
  // Tiny and huge normals keep their direction (no underflow or overflow of the length).
  EXPECT_EQ(orientation_bin(0.3e-30, 0.4e-30, 0.8e-30), tilted);
  EXPECT_EQ(orientation_bin(0.3e30, 0.4e30, 0.8e30), tilted);
  EXPECT_EQ(orientation_bin(1, 0, 0), 3 * kFieldAzimuthBins);  // horizontal: last zenith row
  EXPECT_EQ(orientation_bin(0, -1, 0.01), 3 * kFieldAzimuthBins + 6);  // azimuth 3/2 pi
  EXPECT_THROW(orientation_bin(0, 0, 0), std::invalid_argument);
}

}  // namespace
}  // namespace tesk::turbid
