// The digest of the pinned Turbid shaders: FIPS 180-4 SHA-256 test vectors, including messages
// whose padding spills into a second block and a multi-block message.

#include <gtest/gtest.h>

#include <string>

#include "vulkan/turbid_artifacts.h"

namespace tesk::vulkan {
namespace {

std::string digest(const std::string& message) {
  return turbid_sha256(message.data(), message.size());
}

TEST(TurbidArtifacts, Sha256MatchesTheStandardVectors) {
  EXPECT_EQ(digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(digest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // 56 bytes: the length no longer fits the first block.
  EXPECT_EQ(digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(
      digest("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopq"
             "klmnopqrlmnopqrsmnopqrstnopqrstu"),
      "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
  EXPECT_EQ(digest(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(TurbidArtifacts, PinsTheFourTurbidShadersInOrder) {
  const auto& pins = pinned_turbid_artifacts();
  ASSERT_EQ(pins.size(), 4u);
  EXPECT_EQ(pins[0].first, "turbid_state");
  EXPECT_EQ(pins[1].first, "turbid_field_lookup");
  EXPECT_EQ(pins[2].first, "turbid_observation_source");
  EXPECT_EQ(pins[3].first, "turbid_field_assemble");
  for (const auto& [name, digest] : pins) EXPECT_EQ(digest.size(), 64u) << name;
  EXPECT_THROW(read_verified_turbid_spirv("/nonexistent", "turbid"), std::invalid_argument);
}

}  // namespace
}  // namespace tesk::vulkan
