#include <gtest/gtest.h>

#include <array>

#include "kit/e2e/channel.h"
#include "kit/e2e/e2e_error.h"
#include "tests/e2e/e2e_test_support.h"

namespace cvl {
namespace {

std::array<uint8_t, 32> key(uint8_t fill) {
  std::array<uint8_t, 32> k;
  k.fill(fill);
  return k;
}

// sealTo writes exactly what seal returns, for the same keys and counter, into the caller's
// memory; the receiving side opens it like any envelope.
TEST(ChannelSealTo, WritesWhatSealGivesAndConsumesTheCounter) {
  auto a = key(1), b = key(2);
  auto viaSeal = ChannelTestAccess::make(a, b);
  auto viaSealTo = ChannelTestAccess::make(a, b);
  auto receiver = ChannelTestAccess::make(b, a);
  for (size_t size : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{1000}, size_t{300000}}) {
    SCOPED_TRACE(size);
    Bytes plaintext(size);
    for (size_t i = 0; i < size; ++i) plaintext[i] = static_cast<uint8_t>(i * 7 + size);
    Envelope expected = viaSeal->seal(plaintext);
    Bytes out(size + 16 + 2, 0xEE);  // a guard byte on each side
    uint64_t n = viaSealTo->sealTo(plaintext, out.data() + 1);
    EXPECT_EQ(n, expected.n);
    EXPECT_EQ(Bytes(out.begin() + 1, out.end() - 1), expected.c);
    EXPECT_EQ(out.front(), 0xEE);
    EXPECT_EQ(out.back(), 0xEE);
    EXPECT_EQ(receiver->open(Envelope{n, Bytes(out.begin() + 1, out.end() - 1)}), plaintext);
  }
}

TEST(ChannelSealTo, RefusesAnExhaustedCounterLikeSeal) {
  auto channel = ChannelTestAccess::make(key(3), key(4));
  ChannelTestAccess::setSendCtr(*channel, Channel::SEND_LIMIT);
  Bytes out(32);
  try {
    channel->sealTo(Bytes{1, 2, 3}, out.data());
    FAIL() << "no error";
  } catch (const E2EError& e) {
    EXPECT_EQ(e.code(), E2EError::nonceExhausted);
  }
  ChannelTestAccess::setSendCtr(*channel, Channel::SEND_LIMIT - 1);
  EXPECT_EQ(channel->sealTo(Bytes{1}, out.data()), Channel::SEND_LIMIT - 1);
  EXPECT_EQ(ChannelTestAccess::sendCtr(*channel), Channel::SEND_LIMIT);
}

}  // namespace
}  // namespace cvl
