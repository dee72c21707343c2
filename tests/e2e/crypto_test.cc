// The primitives against published vectors (RFC 7748, RFC 5869, the GCM test cases).
#include "kit/e2e/crypto.h"

#include <gtest/gtest.h>

#include "tests/e2e/e2e_test_support.h"

namespace cvl {
namespace {

std::span<const uint8_t, 32> key32(const Bytes& b) { return std::span<const uint8_t, 32>(b); }
std::span<const uint8_t, 12> nonce12(const Bytes& b) { return std::span<const uint8_t, 12>(b); }

TEST(Crypto, X25519Rfc7748) {
  // RFC 7748 section 6.1.
  const Bytes alicePriv = fromHex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
  const Bytes alicePub = fromHex("8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
  const Bytes bobPriv = fromHex("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb");
  const Bytes bobPub = fromHex("de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
  const std::string shared = "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742";

  EXPECT_EQ(toHex(crypto::x25519PublicKey(key32(alicePriv))), toHex(alicePub));
  EXPECT_EQ(toHex(crypto::x25519PublicKey(key32(bobPriv))), toHex(bobPub));
  std::array<uint8_t, 32> out{};
  crypto::x25519(key32(alicePriv), key32(bobPub), out);
  EXPECT_EQ(toHex(out), shared);
  crypto::x25519(key32(bobPriv), key32(alicePub), out);
  EXPECT_EQ(toHex(out), shared);

  // RFC 7748 section 5.2, first vector: an arbitrary scalar and u-coordinate.
  const Bytes scalar = fromHex("a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4");
  const Bytes u = fromHex("e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c");
  crypto::x25519(key32(scalar), key32(u), out);
  EXPECT_EQ(toHex(out), "c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552");
}

TEST(Crypto, X25519LowOrderPointGivesZeros) {
  const Bytes priv = fromHex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
  const Bytes zeroPoint(32, 0);
  std::array<uint8_t, 32> out;
  out.fill(0xEE);
  crypto::x25519(key32(priv), key32(zeroPoint), out);
  EXPECT_EQ(toHex(out), std::string(64, '0'));
}

TEST(Crypto, HkdfSha256Rfc5869) {
  struct Case {
    const char* name;
    const char* ikm;
    const char* salt;
    const char* info;
    const char* okm;
  };
  const Case cases[] = {
      {"test case 1", "0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b", "000102030405060708090a0b0c",
       "f0f1f2f3f4f5f6f7f8f9",
       "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
      {"test case 3: no salt, no info", "0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b", "", "",
       "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes expected = fromHex(c.okm);
    Bytes out(expected.size());
    crypto::hkdfSha256(fromHex(c.ikm), fromHex(c.salt), fromHex(c.info), out);
    EXPECT_EQ(toHex(out), c.okm);
  }
}

TEST(Crypto, AesGcmKnownAnswersAndRejections) {
  // The published GCM test vectors for AES-256: cases 13 (empty) and 14 (one zero block).
  const Bytes key(32, 0);
  const Bytes nonce(12, 0);
  EXPECT_EQ(toHex(crypto::aesGcmSeal(key32(key), nonce12(nonce), {})),
            "530f8afbc74536b9a963b4f1c4cb738b");
  const Bytes block(16, 0);
  const Bytes sealed = crypto::aesGcmSeal(key32(key), nonce12(nonce), block);
  EXPECT_EQ(toHex(sealed), "cea7403d4d606b6e074ec5d3baf39d18d0d1c8a799996bf0265b98b5d48ab919");

  auto opened = crypto::aesGcmOpen(key32(key), nonce12(nonce), sealed);
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(*opened, block);

  Bytes otherKey(32, 0);
  otherKey[31] = 1;
  Bytes otherNonce(12, 0);
  otherNonce[0] = 1;
  EXPECT_FALSE(crypto::aesGcmOpen(key32(otherKey), nonce12(nonce), sealed));
  EXPECT_FALSE(crypto::aesGcmOpen(key32(key), nonce12(otherNonce), sealed));
  for (size_t i : {size_t{0}, size_t{15}, size_t{16}, size_t{31}}) {
    Bytes tampered = sealed;
    tampered[i] ^= 0x01;
    EXPECT_FALSE(crypto::aesGcmOpen(key32(key), nonce12(nonce), tampered)) << "byte " << i;
  }
  EXPECT_FALSE(crypto::aesGcmOpen(key32(key), nonce12(nonce), Bytes(15, 0)));
  EXPECT_FALSE(crypto::aesGcmOpen(key32(key), nonce12(nonce), Bytes(sealed.begin() + 1, sealed.end())));
}

TEST(Crypto, RandomBytesDiffer) {
  std::array<uint8_t, 32> a{}, b{};
  crypto::randomBytes(a);
  crypto::randomBytes(b);
  EXPECT_NE(a, b);
}

}  // namespace
}  // namespace cvl
