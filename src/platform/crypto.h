// Digests and signature primitives of the platform, wrapped so that callers
// never see the crypto library's types.
#pragma once

#include <cstddef>
#include <cstdint>

namespace crypto {

// A running SHA-1 or SHA-256 digest. final() writes the digest of everything
// added since construction or since the previous final() (20 or 32 bytes)
// and starts a fresh digest for the next update(). The digest's state lives
// inside the object (a few words and one block), so a hasher that never
// hashes costs no allocation.
class hasher {
 public:
  enum class kind { sha1, sha256 };
  explicit hasher(kind which);
  ~hasher();
  hasher(const hasher&) = delete;
  hasher& operator=(const hasher&) = delete;

  void update(const void* data, size_t size);
  void final(uint8_t* out);

 private:
  kind which_;
  // The library's context for `which_`; crypto.cc checks that it fits.
  alignas(8) unsigned char context_[112];
};

// Standard Ed25519 (RFC 8032) verification of `signature` (64 bytes) over
// `message` under the raw 32-byte public key.
bool ed25519_verify(const uint8_t key[32], const uint8_t* message, size_t message_size,
                    const uint8_t signature[64]);

}  // namespace crypto
