#include "pkgfile/legacy_signature.h"

#include <cassert>
#include <cstring>

#include "pkgfile/legacy25519.h"
#include "pkgfile/verify.h"
#include "platform/keys.h"

namespace {

constexpr size_t kBlockSize = 64;
constexpr size_t kMaxMessage = 55;  // room for the 0x80 byte and the length

uint32_t rotate_right(uint32_t x, int n) { return x >> n | x << (32 - n); }

uint32_t load_big_endian(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void store_big_endian(uint8_t* p, uint32_t x) {
  p[0] = static_cast<uint8_t>(x >> 24);
  p[1] = static_cast<uint8_t>(x >> 16);
  p[2] = static_cast<uint8_t>(x >> 8);
  p[3] = static_cast<uint8_t>(x);
}

// The SHA-256 compression function with its feed-forward, on `state`.
void compress(uint32_t state[8], const uint32_t k[64], const uint8_t block[kBlockSize]) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i) w[i] = load_big_endian(block + 4 * i);
  for (int i = 16; i < 64; ++i) {
    uint32_t s0 = rotate_right(w[i - 15], 7) ^ rotate_right(w[i - 15], 18) ^ (w[i - 15] >> 3);
    uint32_t s1 = rotate_right(w[i - 2], 17) ^ rotate_right(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (int i = 0; i < 64; ++i) {
    uint32_t sum1 = rotate_right(e, 6) ^ rotate_right(e, 11) ^ rotate_right(e, 25);
    uint32_t choose = (e & f) ^ (~e & g);
    uint32_t t1 = h + sum1 + choose + k[i] + w[i];
    uint32_t sum0 = rotate_right(a, 2) ^ rotate_right(a, 13) ^ rotate_right(a, 22);
    uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
    uint32_t t2 = sum0 + majority;
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

}  // namespace

void legacy_hash_with(const uint32_t iv[8], const uint32_t k[64], const uint8_t* message,
                      size_t size, uint8_t out[32]) {
  assert(size <= kMaxMessage);
  if (size > kMaxMessage) size = kMaxMessage;
  uint8_t block[kBlockSize] = {};
  if (size) std::memcpy(block, message, size);
  block[size] = 0x80;
  store_big_endian(block + 60, static_cast<uint32_t>(size * 8));
  uint32_t state[8];
  std::memcpy(state, iv, sizeof(state));
  compress(state, k, block);
  for (int i = 0; i < 8; ++i) store_big_endian(out + 4 * i, state[i]);
}

void legacy_derive_h(const legacy_key& key, const uint8_t digest20[20], const uint8_t c[16],
                     uint8_t h[32]) {
  legacy_hash_with(key.hash_iv, key.hash_k, digest20, 20, h);
  for (int i = 0; i < 16; ++i) h[8 + i] ^= c[i];
  h[0] &= 0xF8;
  h[31] = (h[31] & 0x7F) | 0x40;
}

bool legacy_verify_with(const legacy_key& key, const uint8_t digest20[20], const uint8_t c[16],
                        const uint8_t v[32]) {
  uint8_t h[32], y[32], check[32];
  legacy_derive_h(key, digest20, c, h);
  if (!legacy25519::combined_x(key.public_x, v, h, y)) return false;
  legacy_hash_with(key.hash_iv, key.hash_k, y, sizeof(y), check);
  // Constant-time comparison: cheap, and keeps the check from leaking how
  // many leading bytes of a forged c were right.
  uint8_t difference = 0;
  for (int i = 0; i < 16; ++i) difference |= check[i] ^ c[i];
  return difference == 0;
}

// The built-in trust anchors (declared in verify.h).

bool legacy_verify(const uint8_t digest20[20], const uint8_t c[16], const uint8_t v[32]) {
  legacy_key key{keys::legacy_public, keys::legacy_hash_iv, keys::legacy_hash_k};
  return legacy_verify_with(key, digest20, c, v);
}
