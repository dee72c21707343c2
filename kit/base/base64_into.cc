#include "kit/base/base64_into.h"

#include <array>
#include <cstring>

namespace cvl::Base64 {
namespace {

constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Both characters of each 12-bit group, so three input bytes take two lookups.
constexpr std::array<uint16_t, 4096> makePairs() {
  std::array<uint16_t, 4096> table{};
  for (int i = 0; i < 4096; ++i) {
    // Little-endian memory order: the first character in the low byte.
    table[i] = static_cast<uint16_t>(static_cast<uint8_t>(ALPHABET[i >> 6]) |
                                     (static_cast<uint8_t>(ALPHABET[i & 63]) << 8));
  }
  return table;
}
constexpr auto PAIRS = makePairs();

}  // namespace

size_t encodeTo(std::span<const uint8_t> data, uint8_t* out) {
  const uint8_t* in = data.data();
  size_t n = data.size(), i = 0;
  uint8_t* p = out;
  for (; i + 3 <= n; i += 3, p += 4) {
    uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    uint16_t hi = PAIRS[v >> 12], lo = PAIRS[v & 0xfff];
    std::memcpy(p, &hi, 2);
    std::memcpy(p + 2, &lo, 2);
  }
  size_t rest = n - i;
  if (rest > 0) {
    uint32_t v = uint32_t{in[i]} << 16;
    if (rest == 2) v |= uint32_t{in[i + 1]} << 8;
    p[0] = static_cast<uint8_t>(ALPHABET[v >> 18]);
    p[1] = static_cast<uint8_t>(ALPHABET[(v >> 12) & 63]);
    p[2] = rest == 2 ? static_cast<uint8_t>(ALPHABET[(v >> 6) & 63]) : '=';
    p[3] = '=';
    p += 4;
  }
  return static_cast<size_t>(p - out);
}

}  // namespace cvl::Base64
