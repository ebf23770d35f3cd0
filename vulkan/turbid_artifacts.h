#pragma once

// The pinned resident Turbid shaders: the module carries the SHA-256 digest of each of the four
// Turbid shader files this build compiles (written by CMake from the compiled files into a
// generated header), and reads a pinned shader only when its file still has that digest.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tesk::vulkan {

/// SHA-256 of `bytes` bytes at `data`, as 64 lowercase hexadecimal characters.
std::string turbid_sha256(const void* data, size_t bytes);

/// The pinned artifacts in a fixed order ("turbid_state", "turbid_field_lookup",
/// "turbid_observation_source", "turbid_field_assemble") with their digests; the digest is
/// empty for an artifact this build does not compile (its file is then always unpinned).
const std::vector<std::pair<std::string, std::string>>& pinned_turbid_artifacts();

/// The words of `<shader_dir>/<artifact>.spv` after checking its digest against the pinned one.
/// Throws std::invalid_argument "invalid Vulkan resident Turbid artifact '<artifact>'. No
/// fallback was performed." for a name outside the pinned set, std::runtime_error "Vulkan
/// resident Turbid artifact '<artifact>' is missing. No fallback was performed." when the file
/// cannot be read, "... hash is stale or unpinned. No fallback was performed." when its digest
/// differs, and the read_spirv errors for a file that is not SPIR-V.
std::vector<uint32_t> read_verified_turbid_spirv(const std::string& shader_dir,
                                                 const std::string& artifact);

}  // namespace tesk::vulkan
