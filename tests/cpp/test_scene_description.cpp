#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include "core/host/allocation.h"
#include "core/host/execution.h"
#include "core/host/scene_description.h"

namespace tesk {
namespace {

TEST(SceneDescription, DefaultsAndReuseReset) {
  SceneDescription d;
  EXPECT_EQ(d.num_bands(), 1);
  EXPECT_EQ(d.uniform_sky_offset(), -1);
  EXPECT_EQ(d.directional_sky_offset(), -1);
  EXPECT_EQ(d.hw_sky_offset(), -1);
  EXPECT_EQ(d.hw_sun_direction().z, 1.0f);
  EXPECT_EQ(d.mode(), TransportMode::Optical);
  EXPECT_FALSE(d.is_periodic());

  d.set_sensor(make_sensor(1, 4, 3, 0, 0, nullptr, 0, 45.0f, 0));
  d.set_terrain_following(true);
  d.set_sky(3);
  d.set_thermal_mode(true, {10000.0f});
  d.upload_spectral_params({1, 2, 3, 4});
  d.add_material(MaterialType::Diffuse, 0, {});
  d.clear_for_reuse();
  EXPECT_EQ(d.num_bands(), 0);
  EXPECT_EQ(d.uniform_sky_offset(), -1);
  EXPECT_TRUE(d.materials().empty());
  EXPECT_TRUE(d.spectral_params().empty());
  EXPECT_TRUE(d.band_wavelengths().empty());
  EXPECT_EQ(d.mode(), TransportMode::Optical);
  EXPECT_EQ(d.sensor().width, 4);  // the sensor and terrain following survive reuse
  EXPECT_TRUE(d.terrain_following());
}

TEST(SceneDescription, SkySettersClearTheirRivals) {
  SceneDescription d;
  d.set_sky(5);
  d.set_hw_sky(7, {0, 0, 1});
  EXPECT_EQ(d.uniform_sky_offset(), -1);
  EXPECT_EQ(d.hw_sky_offset(), 7);
  d.set_directional_sky(9);
  EXPECT_EQ(d.hw_sky_offset(), -1);
  EXPECT_EQ(d.directional_sky_offset(), 9);
  d.set_sky(2);
  EXPECT_EQ(d.directional_sky_offset(), -1);
  EXPECT_EQ(d.uniform_sky_offset(), 2);
}

TEST(SceneDescription, ModeDerivation) {
  SceneDescription d;
  d.set_thermal_mode(true, {});
  EXPECT_EQ(d.mode(), TransportMode::Thermal);
  d.set_sif_only_mode(true);
  EXPECT_EQ(d.mode(), TransportMode::SifOnly);
  d.set_thermal_mode(false, {});  // SIF-only wins over switching thermal off
  EXPECT_EQ(d.mode(), TransportMode::SifOnly);
  d.set_thermal_mode(true, {});  // ... and over switching it on
  EXPECT_EQ(d.mode(), TransportMode::SifOnly);
  d.set_sif_only_mode(false);
  EXPECT_EQ(d.mode(), TransportMode::Thermal);
  d.set_thermal_mode(false, {});
  EXPECT_EQ(d.mode(), TransportMode::Optical);
}

TEST(SceneDescription, MaterialsEmitterAndSensorRecords) {
  SceneDescription d;
  EXPECT_EQ(d.add_material(MaterialType::RPV, 4, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), 0);
  EXPECT_EQ(d.add_material(static_cast<MaterialType>(42), 0, {0.5f}), 1);
  const MaterialRecord& m = d.materials()[0];
  EXPECT_EQ(m.scalar_params[7], 8.0f);  // only the first eight scalars are kept
  EXPECT_EQ(d.materials()[1].scalar_params[1], 0.0f);

  d.set_emitter(EmitterType::Directional, {0, 0, 1}, 6);
  d.update_emitter_direction({0, 1, 0});
  EXPECT_EQ(d.emitter().direction.y, 1.0f);
  EXPECT_EQ(d.emitter().spectral_offset, 6);

  const float xf[12] = {1, 0, 0, 5, 0, 1, 0, 6, 0, 0, 1, 7};
  const SensorData s = make_sensor(4, 8, 8, 1, 1, xf, 12, 90.0f, 7);
  EXPECT_EQ(s.fov, 1.5707964f);
  EXPECT_EQ(s.camera_transform[11], 7.0f);
  EXPECT_EQ(s.camera_transform[12], 0.0f);
  EXPECT_EQ(s.camera_transform[15], 0.0f);
}

TEST(SceneDescription, SpectralBlocksStayInsideTheBuffer) {
  SceneDescription d;
  d.upload_spectral_params({0, 1, 2, 3, 4, 5});
  d.update_spectral_params(5, {});  // empty update changes nothing, even at the end
  d.update_spectral_params(4, {40, 50});
  EXPECT_EQ(d.spectral_params()[5], 50.0f);
  EXPECT_THROW(d.update_spectral_params(5, {1, 2}), std::out_of_range);
  EXPECT_THROW(d.update_spectral_params(-1, {1}), std::out_of_range);
  EXPECT_EQ(d.spectral_params()[5], 50.0f);
  EXPECT_NE(d.spectral_block(3, 3), nullptr);
  EXPECT_EQ(d.spectral_block(4, 3), nullptr);
  EXPECT_EQ(d.spectral_block(-1, 1), nullptr);
}

// The sun direction is stored unit length, whatever length it is given with; a direction
// without one is refused and leaves the stored emitter alone.
TEST(SceneDescription, SunDirectionIsNormalisedAndMustExist) {
  SceneDescription d;
  d.set_emitter(EmitterType::Directional, {0, 3, 4}, 2);
  EXPECT_FLOAT_EQ(d.emitter().direction.y, 0.6f);
  EXPECT_FLOAT_EQ(d.emitter().direction.z, 0.8f);
  d.update_emitter_direction({1e-30f, 0, 0});  // tiny but nonzero
  EXPECT_FLOAT_EQ(d.emitter().direction.x, 1.0f);
  d.update_emitter_direction({3e38f, 3e38f, 0});  // its length overflows a float
  EXPECT_FLOAT_EQ(d.emitter().direction.x, 0.70710677f);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const float3 bad : {float3{0, 0, 0}, float3{nan, 0, 1}, float3{0, INFINITY, 1}}) {
    EXPECT_THROW(d.set_emitter(EmitterType::Directional, bad, 7), std::invalid_argument);
    EXPECT_THROW(d.update_emitter_direction(bad), std::invalid_argument);
  }
  EXPECT_EQ(d.emitter().spectral_offset, 2);
  EXPECT_FLOAT_EQ(d.emitter().direction.x, 0.70710677f);
}

TEST(SceneDescription, TileSizesMustBeTraceable) {
  SceneDescription d;
  d.set_repetitive(3, 30.0f, 1e10f);
  d.set_repetitive(3, -1.0f, 0.0f);  // non-positive sizes switch tiling off, as before
  EXPECT_FALSE(d.is_periodic());
  for (const float bad : {1e30f, -2e10f, INFINITY, NAN}) {
    EXPECT_THROW(d.set_repetitive(3, bad, 30.0f), std::invalid_argument);
    EXPECT_THROW(d.set_repetitive(3, 30.0f, bad), std::invalid_argument);
  }
  EXPECT_EQ(d.scene_x_size(), -1.0f);
}

TEST(Allocation, SizesBeyondPhysicalMemoryNameTheBytes) {
  EXPECT_GT(physical_memory_bytes(), 0.0);
  check_allocation(1024.0, "small");
  try {
    check_allocation(1e30, "the test buffer");
    FAIL() << "expected AllocationTooLarge";
  } catch (const std::bad_alloc& e) {
    EXPECT_EQ(std::string(e.what()).rfind(
                  "the test buffer needs 1000000000000000019884624838656 bytes, more than the ", 0),
              0u);
  }
  EXPECT_THROW(check_allocation(NAN, "x"), AllocationTooLarge);
}

TEST(ExecutionIdentity, CodeTables) {
  EXPECT_STREQ(backend_name(2), "embree");
  EXPECT_STREQ(workflow_name(0), "optical_backward");
  EXPECT_STREQ(workflow_name(9), "energy_balance_process");
  EXPECT_STREQ(workflow_name(14), "lidar_waveform");
  for (int bad : {10, 15, 255}) {
    try {
      workflow_name(static_cast<uint8_t>(bad));
      FAIL() << bad;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "unknown native workflow identity");
    }
  }
  try {
    backend_name(3);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "unknown native backend identity");
  }
}

}  // namespace
}  // namespace tesk
