#include "kit/e2e/phrase.h"

#include <cstdio>

namespace cvl {

std::string Phrase::shortForm() const {
  std::string out;
  for (size_t i = 0; i < words.size(); ++i) {
    if (i > 0) out += '-';
    out += words[i];
  }
  out += " / ";
  out += digits;
  return out;
}

Phrase Phrase::fromVerificationBytes(std::span<const uint8_t, 8> v) {
  Phrase phrase;
  for (size_t i = 0; i < 3; ++i) phrase.words.emplace_back(WORDS[v[i] & 63]);
  uint32_t number = uint32_t{v[4]} << 24 | uint32_t{v[5]} << 16 | uint32_t{v[6]} << 8 | v[7];
  char digits[8];
  std::snprintf(digits, sizeof digits, "%06u", static_cast<unsigned>(number % 1000000));
  phrase.digits = digits;
  return phrase;
}

}  // namespace cvl
