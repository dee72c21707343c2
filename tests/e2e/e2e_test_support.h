#pragma once
// Helpers for the end-to-end tests: hex, the known-answer fixture, and a back door into
// Channel for counters and raw keys.

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "kit/base/bytes.h"
#include "kit/e2e/channel.h"
#include "tests/support/child_process.h"

namespace cvl {

struct ChannelTestAccess {
  static std::shared_ptr<Channel> make(std::span<const uint8_t, 32> sendKey,
                                       std::span<const uint8_t, 32> recvKey, Phrase phrase = {}) {
    return std::shared_ptr<Channel>(
        new Channel(SecretBytes<32>(sendKey), SecretBytes<32>(recvKey), std::move(phrase)));
  }
  static void setSendCtr(Channel& channel, uint64_t value) { channel.sendCtr_ = value; }
  static uint64_t sendCtr(const Channel& channel) { return channel.sendCtr_; }
  static int64_t lastRecv(const Channel& channel) { return channel.lastRecv_; }
};

inline Bytes fromHex(std::string_view hex) {
  if (hex.size() % 2 != 0) throw std::invalid_argument("odd hex");
  Bytes out;
  for (size_t i = 0; i < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

inline std::string toHex(std::span<const uint8_t> bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

inline Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

// Made by tests/e2e/fixtures/make_fixtures.py with an independent implementation.
inline const nlohmann::json& knownAnswers() {
  static const nlohmann::json fixture =
      nlohmann::json::parse(test::readFile(CVL_SOURCE_DIR "/tests/e2e/fixtures/known_answers.json"));
  return fixture;
}

}  // namespace cvl
