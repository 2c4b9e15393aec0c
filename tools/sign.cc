#include "sign.h"

#include <nettle/eddsa.h>
#include <nettle/sha2.h>

#include <cstring>

#include "big_integer.h"
#include "keyfile.h"
#include "legacy_curve.h"
#include "pkgfile/legacy_signature.h"
#include "pkgfile/pkg_format.h"

// The older scheme's signature for digest D under secret a (|P| = a*G):
//   k    a nonce; Y = x(k*G); c = first 16 bytes of H(Y)
//   h    H(D) with c XORed into bytes 8..23, clamped
//   v    (k - h) / a  mod l
// so that v*|P| + h*G = (k - h)*G + h*G = k*G and the verifier recomputes Y.
// The nonce is derived from the secret and the digest, so the same package
// always gets the same signature and no random source is needed.

namespace {

void words_from_big_endian(const std::vector<uint8_t>& bytes, uint32_t* words, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* p = bytes.data() + 4 * i;
    words[i] = static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
               static_cast<uint32_t>(p[2]) << 8 | p[3];
  }
}

bool require(const key_file& keys, const char* name, std::string* err) {
  if (keys.has(name)) return true;
  *err = std::string("key file has no ") + name + " entry";
  return false;
}

// k = SHA-512("legacy nonce" || a || digest) mod l, as 32 bytes little-endian.
void derive_nonce(const std::vector<uint8_t>& secret, const uint8_t digest[32], const big_integer& order,
                  uint8_t k[32]) {
  static const char tag[] = "legacy nonce";
  uint8_t wide[SHA512_DIGEST_SIZE];
  sha512_ctx md;
  sha512_init(&md);
  sha512_update(&md, sizeof(tag) - 1, reinterpret_cast<const uint8_t*>(tag));
  sha512_update(&md, secret.size(), secret.data());
  sha512_update(&md, 32, digest);
  sha512_digest(&md, sizeof(wide), wide);
  big_integer value = from_little_endian(wide, sizeof(wide));
  mpz_mod(value.get(), value.get(), order.get());
  to_little_endian(value, k, 32);
}

bool sign_legacy(const key_file& keys, const uint8_t digest[32], uint8_t* trailer,
                 std::string* err) {
  for (const char* name : {"legacy-public", "legacy-secret", "legacy-hash-iv", "legacy-hash-k"}) {
    if (!require(keys, name, err)) return false;
  }
  uint32_t iv[8], k_table[64];
  words_from_big_endian(keys.entries.at("legacy-hash-iv"), iv, 8);
  words_from_big_endian(keys.entries.at("legacy-hash-k"), k_table, 64);
  const std::vector<uint8_t>& secret = keys.entries.at("legacy-secret");
  legacy_key key{keys.entries.at("legacy-public").data(), iv, k_table};

  big_integer order = from_little_endian(legacy_curve::group_order, 32);
  uint8_t nonce[32], y[32], hy[32], h[32];
  bool y_odd = false;
  derive_nonce(secret, digest, order, nonce);
  legacy_curve::base_multiple(nonce, y, &y_odd);
  legacy_hash_with(iv, k_table, y, sizeof(y), hy);
  uint8_t* c = trailer + trailer_c_offset;
  std::memcpy(c, hy, 16);
  legacy_derive_h(key, digest, c, h);

  big_integer a = from_little_endian(secret.data(), secret.size()), v = from_little_endian(nonce, 32),
              hn = from_little_endian(h, 32), inverse;
  if (mpz_invert(inverse.get(), a.get(), order.get()) == 0) {
    *err = "legacy-secret is not invertible modulo the group order";
    return false;
  }
  mpz_sub(v.get(), v.get(), hn.get());
  mpz_mul(v.get(), v.get(), inverse.get());
  mpz_mod(v.get(), v.get(), order.get());
  to_little_endian(v, trailer + trailer_v_offset, 32);
  return true;
}

bool sign_ed25519(const key_file& keys, const uint8_t digest[32], uint8_t* signature,
                  std::string* err) {
  if (!require(keys, "ed25519-seed", err)) return false;
  const std::vector<uint8_t>& seed = keys.entries.at("ed25519-seed");
  if (seed.size() != ED25519_KEY_SIZE) {
    *err = "ed25519-seed is not 32 bytes";
    return false;
  }
  uint8_t public_key[ED25519_KEY_SIZE];
  ed25519_sha512_public_key(public_key, seed.data());
  ed25519_sha512_sign(public_key, seed.data(), 32, digest, signature);
  return true;
}

}  // namespace

bool sign_digest(const key_file& keys, sign_scheme scheme, const uint8_t digest[32],
                 uint8_t trailer[long_trailer_size], size_t* size, std::string* err) {
  std::memset(trailer, 0, long_trailer_size);
  if (!sign_legacy(keys, digest, trailer, err)) return false;
  *size = short_trailer_size;
  if (scheme == sign_scheme::legacy_only) return true;
  if (!sign_ed25519(keys, digest, trailer + trailer_ed25519_offset, err)) return false;
  *size = long_trailer_size;
  return true;
}
