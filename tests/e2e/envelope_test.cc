#include "kit/e2e/envelope.h"

#include <gtest/gtest.h>

#include "tests/e2e/e2e_test_support.h"

namespace cvl {
namespace {

TEST(Envelope, EncodingLayout) {
  EXPECT_EQ(toHex(encodeEnvelope({0x0102030405060708, {0xAA, 0xBB}})), "0102030405060708aabb");
  EXPECT_EQ(toHex(encodeEnvelope({0, {}})), "0000000000000000");
  EXPECT_EQ(toHex(encodeEnvelope({~uint64_t{0}, {0x01}})), "ffffffffffffffff01");
}

TEST(Envelope, Decoding) {
  EXPECT_FALSE(decodeEnvelope({}).has_value());
  EXPECT_FALSE(decodeEnvelope(Bytes(7, 0xFF)).has_value());

  auto bare = decodeEnvelope(fromHex("8000000000000001"));
  ASSERT_TRUE(bare.has_value());
  EXPECT_EQ(bare->n, 0x8000000000000001u);
  EXPECT_TRUE(bare->c.empty());

  // A slice that does not start at the beginning of its buffer.
  const Bytes frame = fromHex("0100000007020000000000000102deadbeef");
  auto sliced = decodeEnvelope(std::span<const uint8_t>(frame).subspan(6));
  ASSERT_TRUE(sliced.has_value());
  EXPECT_EQ(sliced->n, 0x0102u);
  EXPECT_EQ(toHex(sliced->c), "deadbeef");

  const Envelope original{0xFEDCBA9876543210, Bytes(40, 0x5A)};
  EXPECT_EQ(decodeEnvelope(encodeEnvelope(original)), original);
}

TEST(Envelope, NonceLayout) {
  EXPECT_EQ(toHex(nonceFor(0)), "000000000000000000000000");
  EXPECT_EQ(toHex(nonceFor(1)), "000000000000000000000001");
  EXPECT_EQ(toHex(nonceFor(258)), "000000000000000000000102");
  EXPECT_EQ(toHex(nonceFor(0x0102030405060708)), "000000000102030405060708");
}

}  // namespace
}  // namespace cvl
