#include "platform/crypto.h"

#include <nettle/eddsa.h>
#include <nettle/sha1.h>
#include <nettle/sha2.h>

#include <new>

namespace crypto {

namespace {

static_assert(sizeof(sha1_ctx) <= 112 && alignof(sha1_ctx) <= 8, "hasher::context_ holds a SHA-1 context");
static_assert(sizeof(sha256_ctx) <= 112 && alignof(sha256_ctx) <= 8, "hasher::context_ holds a SHA-256 context");

// The contexts are plain C structures: the byte buffer that holds one
// implicitly holds the object.
sha1_ctx* sha1_of(unsigned char* context) { return std::launder(reinterpret_cast<sha1_ctx*>(context)); }
sha256_ctx* sha256_of(unsigned char* context) { return std::launder(reinterpret_cast<sha256_ctx*>(context)); }

}  // namespace

hasher::hasher(kind which) : which_(which) {
  if (which_ == kind::sha1) {
    sha1_init(sha1_of(context_));
  } else {
    sha256_init(sha256_of(context_));
  }
}

hasher::~hasher() = default;

void hasher::update(const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (which_ == kind::sha1) {
    sha1_update(sha1_of(context_), size, bytes);
  } else {
    sha256_update(sha256_of(context_), size, bytes);
  }
}

// The library's digest functions reset the context, so the next update()
// starts a fresh digest.
void hasher::final(uint8_t* out) {
  if (which_ == kind::sha1) {
    sha1_digest(sha1_of(context_), SHA1_DIGEST_SIZE, out);
  } else {
    sha256_digest(sha256_of(context_), SHA256_DIGEST_SIZE, out);
  }
}

// The library answers 1 for a signature that holds and 0 otherwise, also for
// a public key that is not a curve point.
bool ed25519_verify(const uint8_t key[32], const uint8_t* message, size_t message_size,
                    const uint8_t signature[64]) {
  return ed25519_sha512_verify(key, message_size, message, signature) == 1;
}

}  // namespace crypto
