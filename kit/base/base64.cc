#include "kit/base/base64.h"

#include <array>

namespace cvl::Base64 {

namespace {

constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> makeReverse() {
  std::array<int8_t, 256> table{};
  for (auto& v : table) v = -1;
  for (int i = 0; i < 64; ++i) table[static_cast<uint8_t>(ALPHABET[i])] = static_cast<int8_t>(i);
  return table;
}
constexpr auto REVERSE = makeReverse();

}  // namespace

void encodeAppend(std::span<const uint8_t> data, std::string& out) {
  size_t start = out.size();
  out.resize(start + (data.size() + 2) / 3 * 4);
  char* p = out.data() + start;
  size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
    *p++ = ALPHABET[v >> 18];
    *p++ = ALPHABET[(v >> 12) & 63];
    *p++ = ALPHABET[(v >> 6) & 63];
    *p++ = ALPHABET[v & 63];
  }
  size_t rest = data.size() - i;
  if (rest > 0) {
    uint32_t v = uint32_t{data[i]} << 16;
    if (rest == 2) v |= uint32_t{data[i + 1]} << 8;
    *p++ = ALPHABET[v >> 18];
    *p++ = ALPHABET[(v >> 12) & 63];
    *p++ = rest == 2 ? ALPHABET[(v >> 6) & 63] : '=';
    *p++ = '=';
  }
}

std::string encode(std::span<const uint8_t> data) {
  std::string out;
  encodeAppend(data, out);
  return out;
}

std::optional<Bytes> decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  Bytes out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    int pad = 0;
    if (last) {
      if (text[i + 3] == '=') ++pad;
      if (pad && text[i + 2] == '=') ++pad;
    }
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      int8_t d = 0;
      if (k < 4 - pad) {
        d = REVERSE[static_cast<uint8_t>(text[i + k])];
        if (d < 0) return std::nullopt;
      }
      v = (v << 6) | static_cast<uint32_t>(d);
    }
    out.push_back(static_cast<uint8_t>(v >> 16));
    if (pad < 2) out.push_back(static_cast<uint8_t>(v >> 8));
    if (pad < 1) out.push_back(static_cast<uint8_t>(v));
  }
  return out;
}

}  // namespace cvl::Base64
