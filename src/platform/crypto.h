// Digests and signature primitives of the platform, wrapped so that callers
// never see the crypto library's types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace crypto {

// A running SHA-1 or SHA-256 digest. final() writes the digest of everything
// added since construction or since the previous final() (20 or 32 bytes)
// and starts a fresh digest for the next update().
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
  struct state;
  state& ready();

  kind which_;
  std::unique_ptr<state> state_;
};

// Standard Ed25519 (RFC 8032) verification of `signature` (64 bytes) over
// `message` under the raw 32-byte public key.
bool ed25519_verify(const uint8_t key[32], const uint8_t* message, size_t message_size,
                    const uint8_t signature[64]);

}  // namespace crypto
