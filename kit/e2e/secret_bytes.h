#pragma once
// A fixed-size buffer of key material that is wiped when it goes away.
//
// Owned by value by whoever holds the key (Channel, Handshake, a local in a derivation); it
// has no locking of its own. Copies are independent and each wipes itself.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "kit/e2e/crypto.h"

namespace cvl {

template <size_t N>
class SecretBytes {
 public:
  SecretBytes() { bytes_.fill(0); }
  explicit SecretBytes(std::span<const uint8_t, N> bytes) {
    std::copy(bytes.begin(), bytes.end(), bytes_.begin());
  }
  SecretBytes(const SecretBytes&) = default;
  SecretBytes& operator=(const SecretBytes&) = default;
  ~SecretBytes() { crypto::cleanse(bytes_.data(), N); }

  std::span<const uint8_t, N> view() const { return std::span<const uint8_t, N>(bytes_); }
  std::span<uint8_t, N> writable() { return std::span<uint8_t, N>(bytes_); }

  bool isAllZero() const {
    // No early exit: the time taken says nothing about the bytes.
    uint8_t acc = 0;
    for (uint8_t b : bytes_) acc |= b;
    return acc == 0;
  }

 private:
  std::array<uint8_t, N> bytes_;
};

}  // namespace cvl
