#include "platform/crypto.h"

#include <openssl/evp.h>

namespace crypto {

struct hasher::state {
  EVP_MD_CTX* context = nullptr;
  const EVP_MD* md = nullptr;
  bool started = false;
};

hasher::hasher(kind which) : state_(new state) {
  state_->md = which == kind::sha1 ? EVP_sha1() : EVP_sha256();
  state_->context = EVP_MD_CTX_new();
}

hasher::~hasher() { EVP_MD_CTX_free(state_->context); }

size_t hasher::digest_size() const { return static_cast<size_t>(EVP_MD_get_size(state_->md)); }

void hasher::update(const void* data, size_t size) {
  // A digest starts lazily so that a fresh one follows every final().
  if (!state_->started) {
    EVP_DigestInit_ex(state_->context, state_->md, nullptr);
    state_->started = true;
  }
  EVP_DigestUpdate(state_->context, data, size);
}

void hasher::final(uint8_t* out) {
  if (!state_->started) EVP_DigestInit_ex(state_->context, state_->md, nullptr);
  unsigned int size = 0;
  EVP_DigestFinal_ex(state_->context, out, &size);
  state_->started = false;
}

bool ed25519_verify(const uint8_t key[32], const uint8_t* message, size_t message_size,
                    const uint8_t signature[64]) {
  EVP_PKEY* pkey = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key, 32);
  if (!pkey) return false;
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  bool ok = context && EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, pkey) == 1 &&
            EVP_DigestVerify(context, signature, 64, message, message_size) == 1;
  EVP_MD_CTX_free(context);
  EVP_PKEY_free(pkey);
  return ok;
}

}  // namespace crypto
