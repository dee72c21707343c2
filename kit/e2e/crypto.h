#pragma once
// The cryptographic primitives of the end-to-end channel: X25519, HKDF-SHA256, AES-256-GCM
// (12-byte nonce, 16-byte tag, no additional data), secure random bytes and wiping.
//
// Stateless; any thread may call every function concurrently. Secret outputs are written into
// caller-owned buffers so that they never sit in a temporary the wrapper cannot wipe. Errors of
// the library are thrown as CryptoError; its message never contains key material.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>

#include "kit/base/bytes.h"

namespace cvl::crypto {

inline constexpr size_t X25519_KEY_SIZE = 32;
inline constexpr size_t AES_KEY_SIZE = 32;
inline constexpr size_t GCM_NONCE_SIZE = 12;
inline constexpr size_t GCM_TAG_SIZE = 16;

class CryptoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using KeyView = std::span<const uint8_t, 32>;
using NonceView = std::span<const uint8_t, GCM_NONCE_SIZE>;

// The raw public key of a raw X25519 private key.
std::array<uint8_t, X25519_KEY_SIZE> x25519PublicKey(KeyView privateKey);

// The X25519 function of a private key and a peer's raw public key, written to `sharedSecret`.
// A low-order peer point yields 32 zero bytes, as the function defines, rather than an error,
// so that the caller can tell it apart from a failure of the library.
void x25519(KeyView privateKey, KeyView peerPublicKey, std::span<uint8_t, 32> sharedSecret);

// HKDF with SHA-256 (extract and expand); fills all of `out` (at most 255 * 32 bytes).
void hkdfSha256(std::span<const uint8_t> ikm, std::span<const uint8_t> salt,
                std::span<const uint8_t> info, std::span<uint8_t> out);

// AES-256-GCM without additional data: returns ciphertext || 16-byte tag.
Bytes aesGcmSeal(KeyView key, NonceView nonce, std::span<const uint8_t> plaintext);
// The same, written at `out` (plaintext.size() + GCM_TAG_SIZE bytes the caller owns), so a
// large message is sealed straight into the buffer it is sent from. `out` may equal
// plaintext.data() (in place) but must not overlap it otherwise.
void aesGcmSealTo(KeyView key, NonceView nonce, std::span<const uint8_t> plaintext,
                  uint8_t* out);

// Inverse of aesGcmSeal; absent when the input is shorter than the tag or does not
// authenticate under key and nonce.
std::optional<Bytes> aesGcmOpen(KeyView key, NonceView nonce,
                                std::span<const uint8_t> ciphertextAndTag);

// Fills `out` from the system's secure random generator.
void randomBytes(std::span<uint8_t> out);

// Overwrites `size` bytes at `data` in a way the compiler cannot elide.
void cleanse(void* data, size_t size);

}  // namespace cvl::crypto
