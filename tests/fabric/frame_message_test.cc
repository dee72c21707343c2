#include "kit/fabric/frame_message.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "kit/base/base64.h"
#include "kit/e2e/envelope.h"
#include "kit/fabric/relay_frame.h"
#include "tests/e2e/e2e_test_support.h"

namespace cvl {
namespace {

Bytes jpegLike(size_t size) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(i * 131 + 7);
  return b;
}

// The plaintext is exactly what serialising the message object gives (kind byte first), for
// every base64 tail and for large and negative-looking sizes.
TEST(FrameMessage, PlaintextIsTheSerialisedFrameMessage) {
  struct Case {
    size_t bytes;
    int64_t w, h;
  } cases[] = {{0, 1, 1}, {1, 2, 3}, {2, 1920, 1080}, {3, 1280, 720}, {100000, 65535, 1}};
  ReusableBuffer out;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    Bytes jpeg = jpegLike(c.bytes);
    writeFramePlaintext(jpeg, c.w, c.h, out);
    std::string json = nlohmann::json{{"type", "frame"}, {"w", c.w}, {"h", c.h},
                                      {"data", Base64::encode(jpeg)}}.dump();
    Bytes expected{FabricKind::text};
    expected.insert(expected.end(), json.begin(), json.end());
    EXPECT_EQ(Bytes(out.bytes().begin(), out.bytes().end()), expected);
  }
}

// The sealed relay frame is what the fan-out builds today from Channel::seal: the data frame
// to the client with the encoded envelope, which the viewer opens.
TEST(FrameMessage, SealedRelayFrameOpensAtTheViewer) {
  std::array<uint8_t, 32> k1, k2;
  k1.fill(9);
  k2.fill(10);
  auto host = ChannelTestAccess::make(k1, k2);
  auto twin = ChannelTestAccess::make(k1, k2);
  auto viewer = ChannelTestAccess::make(k2, k1);
  ReusableBuffer plaintext, frame;
  writeFramePlaintext(jpegLike(5000), 64, 48, plaintext);
  for (uint32_t clientId : {1u, 0x01020304u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(clientId);
    writeSealedRelayFrame(*host, clientId, plaintext.bytes(), frame);
    Bytes expected = frameToClient(clientId, FabricTag::sealed,
                                   encodeEnvelope(twin->seal(plaintext.bytes())));
    EXPECT_EQ(Bytes(frame.bytes().begin(), frame.bytes().end()), expected);

    auto classified = decodeEnvelope(std::span(frame.bytes()).subspan(6));
    ASSERT_TRUE(classified);
    auto opened = viewer->open(*classified);
    ASSERT_TRUE(opened);
    EXPECT_EQ(*opened, Bytes(plaintext.bytes().begin(), plaintext.bytes().end()));
  }
}

TEST(FrameMessage, AFailedSealLeavesNoFrame) {
  std::array<uint8_t, 32> k;
  k.fill(1);
  auto host = ChannelTestAccess::make(k, k);
  ChannelTestAccess::setSendCtr(*host, Channel::SEND_LIMIT);
  ReusableBuffer frame;
  frame.append(Bytes{1, 2, 3});
  EXPECT_ANY_THROW(writeSealedRelayFrame(*host, 7, Bytes{1}, frame));
  EXPECT_TRUE(frame.empty());
}

}  // namespace
}  // namespace cvl
