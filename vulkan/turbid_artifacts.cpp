#include "vulkan/turbid_artifacts.h"

#include <array>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "vulkan/pipeline.h"
#include "vulkan/turbid_pins.h"  // generated: kPinnedTurbidArtifacts

namespace tesk::vulkan {
namespace {

constexpr uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t rotr(uint32_t x, int n) {
  return (x >> n) | (x << (32 - n));
}

// One 64-byte block into the running state (FIPS 180-4, section 6.2.2).
void compress(std::array<uint32_t, 8>& h, const uint8_t* block) {
  uint32_t w[64];
  for (int t = 0; t < 16; ++t) {
    w[t] = (uint32_t{block[4 * t]} << 24) | (uint32_t{block[4 * t + 1]} << 16) |
           (uint32_t{block[4 * t + 2]} << 8) | uint32_t{block[4 * t + 3]};
  }
  for (int t = 16; t < 64; ++t) {
    const uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
    const uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
    w[t] = w[t - 16] + s0 + w[t - 7] + s1;
  }
  uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
  for (int t = 0; t < 64; ++t) {
    const uint32_t t1 = k + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) +
                        kRoundConstants[t] + w[t];
    const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    k = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  const uint32_t add[8] = {a, b, c, d, e, f, g, k};
  for (int i = 0; i < 8; ++i) h[i] += add[i];
}

}  // namespace

std::string turbid_sha256(const void* data, size_t bytes) {
  std::array<uint32_t, 8> h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                               0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  const auto* p = static_cast<const uint8_t*>(data);
  size_t whole = bytes / 64;
  for (size_t i = 0; i < whole; ++i) compress(h, p + 64 * i);
  // The tail, the 0x80 marker, zeros and the message length in bits (big-endian).
  uint8_t tail[128] = {};
  const size_t rest = bytes - 64 * whole;
  if (rest > 0) std::memcpy(tail, p + 64 * whole, rest);
  tail[rest] = 0x80;
  const size_t tail_bytes = rest < 56 ? 64 : 128;
  const uint64_t bits = static_cast<uint64_t>(bytes) * 8;
  for (int i = 0; i < 8; ++i) tail[tail_bytes - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
  for (size_t off = 0; off < tail_bytes; off += 64) compress(h, tail + off);
  static const char* kHex = "0123456789abcdef";
  std::string out;
  for (const uint32_t word : h) {
    for (int shift = 28; shift >= 0; shift -= 4) out.push_back(kHex[(word >> shift) & 0xf]);
  }
  return out;
}

const std::vector<std::pair<std::string, std::string>>& pinned_turbid_artifacts() {
  static const std::vector<std::pair<std::string, std::string>> pins = [] {
    std::vector<std::pair<std::string, std::string>> v;
    for (const auto& [name, digest] : kPinnedTurbidArtifacts) v.emplace_back(name, digest);
    return v;
  }();
  return pins;
}

std::vector<uint32_t> read_verified_turbid_spirv(const std::string& shader_dir,
                                                 const std::string& artifact) {
  const std::string* pinned = nullptr;
  for (const auto& [name, digest] : pinned_turbid_artifacts()) {
    if (name == artifact) pinned = &digest;
  }
  if (pinned == nullptr) {
    throw std::invalid_argument("invalid Vulkan resident Turbid artifact '" + artifact +
                                "'. No fallback was performed.");
  }
  const std::string path = shader_dir + "/" + artifact + ".spv";
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("Vulkan resident Turbid artifact '" + artifact +
                             "' is missing. No fallback was performed.");
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  if (pinned->empty() || turbid_sha256(bytes.data(), bytes.size()) != *pinned) {
    throw std::runtime_error("Vulkan resident Turbid artifact '" + artifact +
                             "' hash is stale or unpinned. No fallback was performed.");
  }
  return read_spirv(path);
}

}  // namespace tesk::vulkan
