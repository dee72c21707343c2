#include "kit/e2e/handshake.h"

#include <gtest/gtest.h>

#include "kit/e2e/crypto.h"
#include "kit/e2e/e2e_error.h"
#include "tests/e2e/e2e_test_support.h"

namespace cvl {
namespace {

Bytes fixtureBytes(const char* section, const char* key) {
  return fromHex(knownAnswers().at(section).at(key).get<std::string>());
}

TEST(Handshake, KnownAnswers) {
  const Handshake initiator(E2ERole::initiator, fixtureBytes("handshake", "initiatorPrivate"));
  const Handshake responder(E2ERole::responder, fixtureBytes("handshake", "responderPrivate"));
  EXPECT_EQ(toHex(initiator.publicKey()), toHex(fixtureBytes("handshake", "initiatorPublic")));
  EXPECT_EQ(toHex(responder.publicKey()), toHex(fixtureBytes("handshake", "responderPublic")));

  // The intermediate values, computed from the fixture's shared secret with the same primitives.
  const Bytes shared = fixtureBytes("handshake", "sharedSecret");
  std::array<uint8_t, 32> computed{};
  crypto::x25519(std::span<const uint8_t, 32>(fixtureBytes("handshake", "responderPrivate")),
                 initiator.publicKey(), computed);
  EXPECT_EQ(toHex(computed), toHex(shared));
  struct Label {
    std::string_view info;
    size_t length;
    const char* key;
  };
  for (const auto& label : {Label{LABEL_INITIATOR_TO_RESPONDER, 32, "keyInitiatorToResponder"},
                            Label{LABEL_RESPONDER_TO_INITIATOR, 32, "keyResponderToInitiator"},
                            Label{LABEL_VERIFY, 8, "verificationBytes"}}) {
    SCOPED_TRACE(label.key);
    Bytes out(label.length);
    crypto::hkdfSha256(shared, bytesOf(HKDF_SALT), bytesOf(label.info), out);
    EXPECT_EQ(toHex(out), toHex(fixtureBytes("handshake", label.key)));
  }

  auto toInitiator = responder.complete(initiator.publicKey());
  auto toResponder = initiator.complete(responder.publicKey());
  const std::string phrase = knownAnswers().at("handshake").at("phrase");
  EXPECT_EQ(toInitiator->phrase().shortForm(), phrase);
  EXPECT_EQ(toResponder->phrase().shortForm(), phrase);

  // Envelopes sealed by the independent tool: the responder's own come out byte for byte, the
  // initiator's open on the responder's channel (in order, 5 then 6).
  for (const auto& e : knownAnswers().at("envelopes")) {
    const uint64_t counter = e.at("counter");
    SCOPED_TRACE(counter);
    const Bytes plaintext = fromHex(e.at("plaintext").get<std::string>());
    const Bytes envelope = fromHex(e.at("envelope").get<std::string>());
    Channel& sender = e.at("direction") == "responderToInitiator" ? *toInitiator : *toResponder;
    Channel& receiver = &sender == toInitiator.get() ? *toResponder : *toInitiator;
    ChannelTestAccess::setSendCtr(sender, counter);
    EXPECT_EQ(toHex(encodeEnvelope(sender.seal(plaintext))), toHex(envelope));
    EXPECT_EQ(receiver.open(decodeEnvelope(envelope)), plaintext);
  }
}

TEST(Handshake, InitiatorAndResponderInteroperate) {
  const Handshake viewer(E2ERole::initiator);
  const Handshake host(E2ERole::responder);
  EXPECT_NE(viewer.publicKey(), host.publicKey());
  auto hostSide = host.complete(viewer.publicKey());
  auto viewerSide = viewer.complete(host.publicKey());

  EXPECT_EQ(hostSide->phrase(), viewerSide->phrase());
  EXPECT_EQ(hostSide->phrase().words.size(), 3u);
  EXPECT_EQ(hostSide->open(viewerSide->seal(bytesOf("to host"))), bytesOf("to host"));
  EXPECT_EQ(viewerSide->open(hostSide->seal(bytesOf("to viewer"))), bytesOf("to viewer"));
  EXPECT_FALSE(hostSide->open(hostSide->seal(bytesOf("own"))));

  // Completing again gives the same keys: a fresh channel opens what the first one accepted.
  auto again = host.complete(viewer.publicKey());
  EXPECT_EQ(again->phrase(), hostSide->phrase());
  EXPECT_EQ(again->open(viewerSide->seal(bytesOf("again"))), bytesOf("again"));

  // Another agreement gives another phrase (with overwhelming probability) and other keys.
  auto stranger = Handshake(E2ERole::responder).complete(viewer.publicKey());
  EXPECT_NE(stranger->phrase(), hostSide->phrase());
  EXPECT_FALSE(stranger->open(viewerSide->seal(bytesOf("not yours"))));
}

TEST(Handshake, SameRolesCannotTalk) {
  for (E2ERole role : {E2ERole::initiator, E2ERole::responder}) {
    const Handshake one(role), two(role);
    auto a = one.complete(two.publicKey());
    auto b = two.complete(one.publicKey());
    EXPECT_EQ(a->phrase(), b->phrase());
    EXPECT_FALSE(b->open(a->seal(bytesOf("x"))));
    EXPECT_FALSE(a->open(b->seal(bytesOf("y"))));
  }
}

E2EError::Code completeError(const Handshake& handshake, const Bytes& peer) {
  try {
    handshake.complete(peer);
  } catch (const E2EError& e) {
    return e.code();
  }
  ADD_FAILURE() << "complete succeeded";
  return E2EError::nonceExhausted;
}

TEST(Handshake, RejectsBadPeerKeys) {
  const Handshake host(E2ERole::responder);
  for (size_t size : {size_t{0}, size_t{1}, size_t{31}, size_t{33}, size_t{64}}) {
    SCOPED_TRACE(size);
    EXPECT_EQ(completeError(host, Bytes(size, 0x09)), E2EError::badPeerKey);
  }
  // Points of small order (and their non-canonical forms) make an all-zero shared secret.
  const char* lowOrder[] = {
      "0000000000000000000000000000000000000000000000000000000000000000",  // 0
      "0100000000000000000000000000000000000000000000000000000000000000",  // 1
      "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800",  // order 8
      "5f9c95bca3508c24b1d0b1559c83ef5b04445cc4581c8e86d8224eddd09f1157",  // order 8
      "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",  // p - 1
      "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",  // p (= 0)
      "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",  // p + 1 (= 1)
      "0000000000000000000000000000000000000000000000000000000000000080",  // 0, top bit set
  };
  for (const char* point : lowOrder) {
    SCOPED_TRACE(point);
    EXPECT_EQ(completeError(host, fromHex(point)), E2EError::degenerate);
  }
}

TEST(Handshake, PrivateKeyMustBe32Bytes) {
  EXPECT_THROW(Handshake(E2ERole::initiator, Bytes(31, 1)), crypto::CryptoError);
  EXPECT_THROW(Handshake(E2ERole::initiator, Bytes{}), crypto::CryptoError);
  EXPECT_NO_THROW(Handshake(E2ERole::initiator, Bytes(32, 0)));
}

TEST(E2EError, ValueSemantics) {
  EXPECT_EQ(E2EError(E2EError::degenerate), E2EError(E2EError::degenerate));
  EXPECT_NE(E2EError(E2EError::degenerate), E2EError(E2EError::badPeerKey));
  EXPECT_STREQ(E2EError(E2EError::nonceExhausted).what(), "nonceExhausted");
  EXPECT_NE(std::hash<E2EError>()(E2EError(E2EError::badPeerKey)),
            std::hash<E2EError>()(E2EError(E2EError::degenerate)));
}

}  // namespace
}  // namespace cvl
