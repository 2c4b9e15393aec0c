#include "sign.h"

#include <openssl/bn.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>

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

struct bn_free {
  void operator()(BIGNUM* b) const { BN_free(b); }
};
using bn = std::unique_ptr<BIGNUM, bn_free>;

bn from_le(const uint8_t* bytes, size_t size) { return bn(BN_lebin2bn(bytes, static_cast<int>(size), nullptr)); }

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
void derive_nonce(const std::vector<uint8_t>& secret, const uint8_t digest[32], BIGNUM* order,
                  BN_CTX* ctx, uint8_t k[32]) {
  static const char tag[] = "legacy nonce";
  uint8_t wide[64];
  unsigned int size = 0;
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  EVP_DigestInit_ex(md, EVP_sha512(), nullptr);
  EVP_DigestUpdate(md, tag, sizeof(tag) - 1);
  EVP_DigestUpdate(md, secret.data(), secret.size());
  EVP_DigestUpdate(md, digest, 32);
  EVP_DigestFinal_ex(md, wide, &size);
  EVP_MD_CTX_free(md);
  bn value = from_le(wide, sizeof(wide));
  BN_nnmod(value.get(), value.get(), order, ctx);
  BN_bn2lebinpad(value.get(), k, 32);
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

  std::unique_ptr<BN_CTX, void (*)(BN_CTX*)> ctx(BN_CTX_new(), BN_CTX_free);
  bn order = from_le(legacy_curve::group_order, 32);
  uint8_t nonce[32], y[32], hy[32], h[32];
  bool y_odd = false;
  derive_nonce(secret, digest, order.get(), ctx.get(), nonce);
  legacy_curve::base_multiple(nonce, y, &y_odd);
  legacy_hash_with(iv, k_table, y, sizeof(y), hy);
  uint8_t* c = trailer + trailer_c_offset;
  std::memcpy(c, hy, 16);
  legacy_derive_h(key, digest, c, h);

  bn a = from_le(secret.data(), secret.size()), v = from_le(nonce, 32), hn = from_le(h, 32);
  bn inverse(BN_mod_inverse(nullptr, a.get(), order.get(), ctx.get()));
  if (!inverse) {
    *err = "legacy-secret is not invertible modulo the group order";
    return false;
  }
  BN_mod_sub(v.get(), v.get(), hn.get(), order.get(), ctx.get());
  BN_mod_mul(v.get(), v.get(), inverse.get(), order.get(), ctx.get());
  BN_bn2lebinpad(v.get(), trailer + trailer_v_offset, 32);
  return true;
}

bool sign_ed25519(const key_file& keys, const uint8_t digest[32], uint8_t* signature,
                  std::string* err) {
  if (!require(keys, "ed25519-seed", err)) return false;
  const std::vector<uint8_t>& seed = keys.entries.at("ed25519-seed");
  EVP_PKEY* pkey = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size());
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  size_t size = 64;
  bool ok = pkey && md && EVP_DigestSignInit(md, nullptr, nullptr, nullptr, pkey) == 1 &&
            EVP_DigestSign(md, signature, &size, digest, 32) == 1 && size == 64;
  EVP_MD_CTX_free(md);
  EVP_PKEY_free(pkey);
  if (!ok) *err = "Ed25519 signing failed";
  return ok;
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
