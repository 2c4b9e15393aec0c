#include "platform/crypto.h"

#include <openssl/evp.h>

namespace crypto {

struct hasher::state {
  EVP_MD_CTX* context = nullptr;
  const EVP_MD* md = nullptr;
  bool started = false;
};

hasher::hasher(kind which) : which_(which) {}

hasher::~hasher() {
  if (state_) EVP_MD_CTX_free(state_->context);
}

// The context is made at the first use: most package streams that are read
// without a signature check (the loader's, say) never hash a byte.
hasher::state& hasher::ready() {
  if (!state_) {
    state_.reset(new state);
    state_->md = which_ == kind::sha1 ? EVP_sha1() : EVP_sha256();
    state_->context = EVP_MD_CTX_new();
  }
  return *state_;
}

void hasher::update(const void* data, size_t size) {
  state& current = ready();
  // A digest starts lazily so that a fresh one follows every final().
  if (!current.started) {
    EVP_DigestInit_ex(current.context, current.md, nullptr);
    current.started = true;
  }
  EVP_DigestUpdate(current.context, data, size);
}

void hasher::final(uint8_t* out) {
  state& current = ready();
  if (!current.started) EVP_DigestInit_ex(current.context, current.md, nullptr);
  unsigned int size = 0;
  EVP_DigestFinal_ex(current.context, out, &size);
  current.started = false;
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
