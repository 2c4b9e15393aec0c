// The older signature scheme, over explicit key material so that the signing
// tool (which reads its constants from a key file) and the tests can use it
// with keys other than the built-in ones. legacy_verify (verify.h) binds it
// to the built-in ones and is defined with it.
//
// A signature is (c, v): c is 16 bytes, v a 256-bit little-endian integer.
// It holds for the first 20 bytes D of a package digest when
//   h = H(D), h[8+i] ^= c[i] for i < 16, h clamped,
//   Y = x(v*|P| + h*G)          (legacy25519.h),
//   c = the first 16 bytes of H(Y).
// H is one SHA-256 compression of a single padded block with the key's own
// initial value and round constants.
#pragma once

#include <cstddef>
#include <cstdint>

struct legacy_key {
  const uint8_t* public_x;  // 32 bytes: x of |P|, little-endian
  const uint32_t* hash_iv;  // 8 words
  const uint32_t* hash_k;   // 64 words
};

// H(message) with the given constants. REQUIRES: size <= 55.
void legacy_hash_with(const uint32_t iv[8], const uint32_t k[64], const uint8_t* message,
                      size_t size, uint8_t out[32]);

// h for digest D and check value c: H(D), c XORed into bytes 8..23, clamped
// (low three bits cleared, bit 255 cleared, bit 254 set).
void legacy_derive_h(const legacy_key& key, const uint8_t digest20[20], const uint8_t c[16],
                     uint8_t h[32]);

bool legacy_verify_with(const legacy_key& key, const uint8_t digest20[20], const uint8_t c[16],
                        const uint8_t v[32]);
