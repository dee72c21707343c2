// The end-to-end primitives on OpenSSL 3 (EVP). The only file of the kit that sees OpenSSL's
// crypto headers.
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/proverr.h>
#include <openssl/rand.h>

#include <climits>
#include <memory>

#include "kit/e2e/crypto.h"

namespace cvl::crypto {

namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
struct KdfFree {
  void operator()(EVP_KDF* p) const { EVP_KDF_free(p); }
};
struct KdfCtxFree {
  void operator()(EVP_KDF_CTX* p) const { EVP_KDF_CTX_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;
using Kdf = std::unique_ptr<EVP_KDF, KdfFree>;
using KdfCtx = std::unique_ptr<EVP_KDF_CTX, KdfCtxFree>;

// The library's error queue is per thread; a failure leaves it clean for the next call. Only
// the operation's name is reported, never an input.
[[noreturn]] void fail(const char* what) {
  ERR_clear_error();
  throw CryptoError(std::string("crypto: ") + what + " failed");
}

Pkey x25519Private(KeyView raw) {
  Pkey key(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, raw.data(), raw.size()));
  if (!key) fail("X25519 private key");
  return key;
}

// The GCM nonce length is the cipher's default (12), so it need not be set.
static_assert(GCM_NONCE_SIZE == 12);

}  // namespace

std::array<uint8_t, X25519_KEY_SIZE> x25519PublicKey(KeyView privateKey) {
  Pkey key = x25519Private(privateKey);
  std::array<uint8_t, X25519_KEY_SIZE> out{};
  size_t len = out.size();
  if (EVP_PKEY_get_raw_public_key(key.get(), out.data(), &len) != 1 || len != out.size()) {
    fail("X25519 public key");
  }
  return out;
}

void x25519(KeyView privateKey, KeyView peerPublicKey, std::span<uint8_t, 32> sharedSecret) {
  Pkey own = x25519Private(privateKey);
  Pkey peer(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peerPublicKey.data(),
                                        peerPublicKey.size()));
  if (!peer) fail("X25519 peer key");
  PkeyCtx ctx(EVP_PKEY_CTX_new(own.get(), nullptr));
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 ||
      EVP_PKEY_derive_set_peer_ex(ctx.get(), peer.get(), /*validate_peer=*/0) != 1) {
    fail("X25519 setup");
  }
  size_t len = sharedSecret.size();
  if (EVP_PKEY_derive(ctx.get(), sharedSecret.data(), &len) != 1) {
    // The provider refuses to hand out an all-zero result (a low-order peer point) and reports
    // it as a failed derivation; give the caller the value the function defines instead.
    unsigned long err = ERR_peek_last_error();
    ERR_clear_error();
    if (ERR_GET_LIB(err) == ERR_LIB_PROV && ERR_GET_REASON(err) == PROV_R_FAILED_DURING_DERIVATION) {
      cleanse(sharedSecret.data(), sharedSecret.size());
      std::fill(sharedSecret.begin(), sharedSecret.end(), 0);
      return;
    }
    fail("X25519");
  }
  if (len != sharedSecret.size()) fail("X25519 length");
}

void hkdfSha256(std::span<const uint8_t> ikm, std::span<const uint8_t> salt,
                std::span<const uint8_t> info, std::span<uint8_t> out) {
  Kdf kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
  if (!kdf) fail("HKDF fetch");
  KdfCtx ctx(EVP_KDF_CTX_new(kdf.get()));
  if (!ctx) fail("HKDF context");
  // OSSL_PARAM takes non-const pointers but does not write through them.
  char digest[] = "SHA256";
  uint8_t none = 0;
  auto octets = [&](const char* key, std::span<const uint8_t> value) {
    return OSSL_PARAM_construct_octet_string(
        key, value.empty() ? &none : const_cast<uint8_t*>(value.data()), value.size());
  };
  OSSL_PARAM params[5];
  size_t n = 0;
  params[n++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
  params[n++] = octets(OSSL_KDF_PARAM_KEY, ikm);
  // An absent salt is, by definition, HashLen zero bytes; the provider does exactly that.
  if (!salt.empty()) params[n++] = octets(OSSL_KDF_PARAM_SALT, salt);
  if (!info.empty()) params[n++] = octets(OSSL_KDF_PARAM_INFO, info);
  params[n] = OSSL_PARAM_construct_end();
  if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1) fail("HKDF");
}

Bytes aesGcmSeal(KeyView key, NonceView nonce, std::span<const uint8_t> plaintext) {
  Bytes out(plaintext.size() + GCM_TAG_SIZE);
  aesGcmSealTo(key, nonce, plaintext, out.data());
  return out;
}

void aesGcmSealTo(KeyView key, NonceView nonce, std::span<const uint8_t> plaintext,
                  uint8_t* out) {
  if (plaintext.size() > static_cast<size_t>(INT_MAX)) fail("AES-GCM seal (too long)");
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx ||
      EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), nonce.data()) != 1) {
    fail("AES-GCM seal setup");
  }
  int len = 0;
  if (!plaintext.empty() &&
      (EVP_EncryptUpdate(ctx.get(), out, &len, plaintext.data(),
                         static_cast<int>(plaintext.size())) != 1 ||
       static_cast<size_t>(len) != plaintext.size())) {
    fail("AES-GCM seal");
  }
  int tail = 0;
  if (EVP_EncryptFinal_ex(ctx.get(), out + plaintext.size(), &tail) != 1 || tail != 0 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, GCM_TAG_SIZE,
                          out + plaintext.size()) != 1) {
    fail("AES-GCM seal tag");
  }
}

std::optional<Bytes> aesGcmOpen(KeyView key, NonceView nonce,
                                std::span<const uint8_t> ciphertextAndTag) {
  if (ciphertextAndTag.size() < GCM_TAG_SIZE) return std::nullopt;
  const size_t size = ciphertextAndTag.size() - GCM_TAG_SIZE;
  if (size > static_cast<size_t>(INT_MAX)) return std::nullopt;
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx ||
      EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), nonce.data()) != 1) {
    ERR_clear_error();
    return std::nullopt;
  }
  Bytes plain(size);
  int len = 0;
  uint8_t tag[GCM_TAG_SIZE];
  std::copy(ciphertextAndTag.end() - GCM_TAG_SIZE, ciphertextAndTag.end(), tag);
  bool ok = (size == 0 || (EVP_DecryptUpdate(ctx.get(), plain.data(), &len,
                                             ciphertextAndTag.data(), static_cast<int>(size)) == 1 &&
                           static_cast<size_t>(len) == size)) &&
            EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, GCM_TAG_SIZE, tag) == 1;
  int tail = 0;
  ok = ok && EVP_DecryptFinal_ex(ctx.get(), plain.data() + size, &tail) == 1 && tail == 0;
  if (!ok) {
    ERR_clear_error();
    // Unauthenticated plaintext must not linger.
    cleanse(plain.data(), plain.size());
    return std::nullopt;
  }
  return plain;
}

void randomBytes(std::span<uint8_t> out) {
  if (out.empty()) return;
  if (out.size() > static_cast<size_t>(INT_MAX) ||
      RAND_bytes(out.data(), static_cast<int>(out.size())) != 1) {
    fail("random");
  }
}

void cleanse(void* data, size_t size) {
  if (data != nullptr && size != 0) OPENSSL_cleanse(data, size);
}

}  // namespace cvl::crypto
