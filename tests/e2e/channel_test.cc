#include "kit/e2e/channel.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "kit/e2e/crypto.h"
#include "kit/e2e/e2e_error.h"
#include "tests/e2e/e2e_test_support.h"

namespace cvl {
namespace {

constexpr uint64_t TWO_TO_THE_53 = uint64_t{1} << 53;

// A channel and its mirror image: each one's send key is the other's receive key.
struct Pair {
  std::array<uint8_t, 32> a2b{}, b2a{};
  std::shared_ptr<Channel> a, b;
  Pair() {
    crypto::randomBytes(a2b);
    crypto::randomBytes(b2a);
    a = ChannelTestAccess::make(a2b, b2a);
    b = ChannelTestAccess::make(b2a, a2b);
  }
  Envelope sealAt(uint64_t n, std::string_view text) {
    ChannelTestAccess::setSendCtr(*a, n);
    return a->seal(bytesOf(text));
  }
};

TEST(Channel, SealsAndOpensInBothDirections) {
  Pair pair;
  const Envelope first = pair.a->seal(bytesOf("hello"));
  EXPECT_EQ(first.n, 0u);
  EXPECT_EQ(encodeEnvelope(first).size(), 5u + 24u);
  EXPECT_EQ(pair.b->open(first), bytesOf("hello"));

  const Envelope empty = pair.a->seal({});
  EXPECT_EQ(empty.n, 1u);
  EXPECT_EQ(encodeEnvelope(empty).size(), 24u);
  auto opened = pair.b->open(decodeEnvelope(encodeEnvelope(empty)));
  ASSERT_TRUE(opened.has_value());
  EXPECT_TRUE(opened->empty());

  EXPECT_EQ(pair.a->open(pair.b->seal(bytesOf("back"))), bytesOf("back"));
  // The keys are directional: nobody opens what it sealed itself.
  EXPECT_FALSE(pair.a->open(pair.a->seal(bytesOf("mine"))));
  EXPECT_FALSE(pair.b->open(pair.b->seal(bytesOf("mine"))));
  EXPECT_FALSE(pair.b->open(std::nullopt));
}

TEST(Channel, CounterAndReplayWindow) {
  Pair pair;
  const Envelope six = pair.sealAt(6, "six");
  Envelope tamperedSix = six;
  tamperedSix.c.back() ^= 0x80;
  Envelope tamperedBody = pair.sealAt(7, "seven");
  tamperedBody.c.front() ^= 0x01;
  Envelope shortSeven = pair.sealAt(7, "seven");
  shortSeven.c.resize(15);

  struct Step {
    const char* name;
    Envelope envelope;
    bool accepted;
    int64_t lastRecvAfter;
  };
  const Step steps[] = {
      {"0 is accepted first", pair.sealAt(0, "zero"), true, 0},
      {"a second 0 is stale", pair.sealAt(0, "zero again"), false, 0},
      {"gaps are skipped", pair.sealAt(5, "five"), true, 5},
      {"authentic but late", pair.sealAt(3, "three"), false, 5},
      {"tampered tag", tamperedSix, false, 5},
      {"the genuine 6 still opens", six, true, 6},
      {"exact replay", six, false, 6},
      {"tampered ciphertext", tamperedBody, false, 6},
      {"c shorter than a tag", shortSeven, false, 6},
      {"empty c", Envelope{7, {}}, false, 6},
      {"forged large counter", Envelope{TWO_TO_THE_53, Bytes(20, 0)}, false, 6},
      {"2^53 - 1 is the last counter", pair.sealAt(TWO_TO_THE_53 - 1, "last"), true,
       static_cast<int64_t>(TWO_TO_THE_53 - 1)},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    auto plaintext = pair.b->open(step.envelope);
    EXPECT_EQ(plaintext.has_value(), step.accepted);
    EXPECT_EQ(ChannelTestAccess::lastRecv(*pair.b), step.lastRecvAfter);
  }
}

TEST(Channel, CountersBeyondTheSignedWindowAreRejected) {
  Pair pair;
  // Authentic envelopes that no sender can make: sealed straight under the peer's key.
  for (uint64_t n : {uint64_t{1} << 63, ~uint64_t{0}}) {
    SCOPED_TRACE(n);
    const Envelope forged{n, crypto::aesGcmSeal(pair.a2b, nonceFor(n), bytesOf("x"))};
    EXPECT_FALSE(pair.b->open(forged));
    EXPECT_EQ(ChannelTestAccess::lastRecv(*pair.b), -1);
  }
  EXPECT_TRUE(pair.b->open(pair.sealAt(0, "still open")));
}

TEST(Channel, SendCounterExhaustion) {
  Pair pair;
  ChannelTestAccess::setSendCtr(*pair.a, TWO_TO_THE_53 - 1);
  EXPECT_EQ(pair.a->seal(bytesOf("last")).n, TWO_TO_THE_53 - 1);
  for (int i = 0; i < 3; ++i) {
    try {
      pair.a->seal(bytesOf("one too many"));
      ADD_FAILURE() << "seal past the limit succeeded";
    } catch (const E2EError& e) {
      EXPECT_EQ(e.code(), E2EError::nonceExhausted);
    }
    EXPECT_EQ(ChannelTestAccess::sendCtr(*pair.a), TWO_TO_THE_53);
  }
  for (uint64_t n : {TWO_TO_THE_53 + 1, uint64_t{1} << 63, ~uint64_t{0}}) {
    ChannelTestAccess::setSendCtr(*pair.a, n);
    EXPECT_THROW(pair.a->seal({}), E2EError) << n;
    EXPECT_EQ(ChannelTestAccess::sendCtr(*pair.a), n);
  }
}

TEST(Channel, SealAndOpenMayOverlap) {
  // The owner serialises seals and opens separately; one of each may run at the same time.
  Pair pair;
  std::vector<Envelope> incoming;
  for (int i = 0; i < 500; ++i) incoming.push_back(pair.b->seal(bytesOf("in")));
  int opened = 0;
  std::thread reader([&] {
    for (const auto& e : incoming) opened += pair.a->open(e).has_value();
  });
  std::vector<Envelope> outgoing;
  for (int i = 0; i < 500; ++i) outgoing.push_back(pair.a->seal(bytesOf("out")));
  reader.join();
  EXPECT_EQ(opened, 500);
  for (size_t i = 0; i < outgoing.size(); ++i) EXPECT_EQ(outgoing[i].n, i);
}

}  // namespace
}  // namespace cvl
