// The older scheme's hash and check, and the signing tool that produces what
// they check (tools/sign.h, tools/keygen.h).
#include "pkgfile/legacy_signature.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "keyfile.h"
#include "keygen.h"
#include "legacy_curve.h"
#include "pkgfile/verify.h"
#include "platform/crypto.h"
#include "platform/keys.h"
#include "sign.h"

namespace {

// The standard SHA-256 constants: with them, H must be plain SHA-256 of a
// message that fits one block.
const uint32_t standard_iv[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
const uint32_t standard_k[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

void words(const std::vector<uint8_t>& bytes, uint32_t* out) {
  for (size_t i = 0; i < bytes.size() / 4; ++i) {
    out[i] = static_cast<uint32_t>(bytes[4 * i]) << 24 | bytes[4 * i + 1] << 16 |
             bytes[4 * i + 2] << 8 | bytes[4 * i + 3];
  }
}

class legacy_signature_test : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string err;
    ASSERT_TRUE(read_key_file(TEST_KEY_FILE, &keys_, &err)) << err;
  }

  std::vector<uint8_t> random_digest(bool sha1) {
    std::vector<uint8_t> digest(32, 0);
    for (size_t i = 0; i < (sha1 ? 20u : 32u); ++i) digest[i] = static_cast<uint8_t>(rng_());
    return digest;
  }

  std::vector<uint8_t> sign(sign_scheme scheme, const std::vector<uint8_t>& digest,
                            const key_file& keys) {
    uint8_t trailer[132];
    size_t size = 0;
    std::string err;
    EXPECT_TRUE(sign_digest(keys, scheme, digest.data(), trailer, &size, &err)) << err;
    return std::vector<uint8_t>(trailer, trailer + size);
  }

  key_file keys_;
  std::mt19937 rng_{20240611};
};

TEST_F(legacy_signature_test, hash_with_standard_constants_is_sha256) {
  uint8_t message[55];
  for (size_t i = 0; i < sizeof(message); ++i) message[i] = static_cast<uint8_t>(i * 37 + 11);
  for (size_t size = 0; size <= 55; ++size) {
    uint8_t ours[32], reference[32];
    legacy_hash_with(standard_iv, standard_k, message, size, ours);
    SHA256(message, size, reference);
    EXPECT_EQ(0, std::memcmp(ours, reference, 32)) << "message of " << size << " bytes";
  }
}

TEST_F(legacy_signature_test, built_in_hash_uses_the_key_files_constants) {
  uint32_t iv[8], k[64];
  words(keys_.entries.at("legacy-hash-iv"), iv);
  words(keys_.entries.at("legacy-hash-k"), k);
  const uint8_t message[20] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
  uint8_t built_in[32], from_file[32], standard[32];
  legacy_hash(message, sizeof(message), built_in);
  legacy_hash_with(iv, k, message, sizeof(message), from_file);
  SHA256(message, sizeof(message), standard);
  EXPECT_EQ(0, std::memcmp(built_in, from_file, 32));
  EXPECT_NE(0, std::memcmp(built_in, standard, 32));
}

TEST_F(legacy_signature_test, test_keys_have_no_standard_constants) {
  uint32_t iv[8], k[64];
  words(keys_.entries.at("legacy-hash-iv"), iv);
  words(keys_.entries.at("legacy-hash-k"), k);
  for (int i = 0; i < 8; ++i) EXPECT_NE(standard_iv[i], iv[i]) << "iv word " << i;
  for (int i = 0; i < 64; ++i) EXPECT_NE(standard_k[i], k[i]) << "k word " << i;
}

TEST_F(legacy_signature_test, test_keys_public_entries_match_their_secrets) {
  const std::vector<uint8_t>& secret = keys_.entries.at("legacy-secret");
  uint8_t x[32];
  bool y_odd = true;
  legacy_curve::base_multiple(secret.data(), x, &y_odd);
  EXPECT_EQ(keys_.entries.at("legacy-public"), std::vector<uint8_t>(x, x + 32));
  EXPECT_FALSE(y_odd) << "|P| must be a*G itself, with the even y";
}

TEST_F(legacy_signature_test, signature_holds_and_every_tampered_byte_breaks_it) {
  for (bool sha1 : {true, false}) {
    std::vector<uint8_t> digest = random_digest(sha1);
    std::vector<uint8_t> trailer = sign(sign_scheme::legacy_only, digest, keys_);
    ASSERT_EQ(68u, trailer.size());
    const uint8_t* c = trailer.data() + 20;
    const uint8_t* v = trailer.data() + 36;
    EXPECT_TRUE(legacy_verify(digest.data(), c, v));
    for (size_t i = 0; i < 20 + 16 + 32; ++i) {
      std::vector<uint8_t> d = digest, t = trailer;
      if (i < 20) d[i] ^= 0x01;
      else t[i] ^= static_cast<uint8_t>(1u << (i % 8));
      EXPECT_FALSE(legacy_verify(d.data(), t.data() + 20, t.data() + 36))
          << (i < 20 ? "digest byte " : "trailer byte ") << i << (sha1 ? " (SHA-1)" : " (SHA-256)");
    }
    // Only the first 20 digest bytes enter the older scheme.
    std::vector<uint8_t> d = digest;
    d[20] ^= 0xff;
    d[31] ^= 0x80;
    EXPECT_TRUE(legacy_verify(d.data(), c, v));
  }
}

TEST_F(legacy_signature_test, long_trailer_adds_ed25519_over_the_whole_digest) {
  std::vector<uint8_t> digest = random_digest(false);
  std::vector<uint8_t> both = sign(sign_scheme::both, digest, keys_);
  std::vector<uint8_t> older = sign(sign_scheme::legacy_only, digest, keys_);
  ASSERT_EQ(132u, both.size());
  EXPECT_EQ(std::vector<uint8_t>(20, 0), std::vector<uint8_t>(both.begin(), both.begin() + 20));
  EXPECT_EQ(older, std::vector<uint8_t>(both.begin(), both.begin() + 68));
  EXPECT_TRUE(crypto::ed25519_verify(keys::ed25519_public, digest.data(), 32, both.data() + 68));
  // The signature covers all 32 bytes, the last 12 included.
  digest[31] ^= 1;
  EXPECT_FALSE(crypto::ed25519_verify(keys::ed25519_public, digest.data(), 32, both.data() + 68));
}

TEST_F(legacy_signature_test, signing_needs_the_private_entries) {
  struct {
    const char* dropped;
    sign_scheme scheme;
    bool ok;
    const char* err;
  } cases[] = {
      {"legacy-secret", sign_scheme::legacy_only, false, "key file has no legacy-secret entry"},
      {"legacy-hash-k", sign_scheme::legacy_only, false, "key file has no legacy-hash-k entry"},
      {"ed25519-seed", sign_scheme::legacy_only, true, ""},
      {"ed25519-seed", sign_scheme::both, false, "key file has no ed25519-seed entry"},
  };
  std::vector<uint8_t> digest = random_digest(true);
  for (const auto& c : cases) {
    key_file keys = keys_;
    keys.entries.erase(c.dropped);
    uint8_t trailer[132];
    size_t size = 0;
    std::string err;
    EXPECT_EQ(c.ok, sign_digest(keys, c.scheme, digest.data(), trailer, &size, &err)) << c.dropped;
    EXPECT_EQ(c.err, err) << c.dropped;
  }
}

TEST_F(legacy_signature_test, fresh_key_file_signs_and_verifies) {
  std::string text, err;
  ASSERT_TRUE(generate_key_file(&text, &err)) << err;
  char path[] = "/tmp/keygen_test_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size()));
  close(fd);
  key_file fresh;
  bool read = read_key_file(path, &fresh, &err);
  unlink(path);
  ASSERT_TRUE(read) << err;
  for (const char* name : {"ed25519-public", "ed25519-seed", "legacy-public", "legacy-secret",
                           "legacy-hash-iv", "legacy-hash-k"}) {
    EXPECT_TRUE(fresh.has(name)) << name;
  }
  uint32_t iv[8], k[64];
  words(fresh.entries.at("legacy-hash-iv"), iv);
  words(fresh.entries.at("legacy-hash-k"), k);
  legacy_key key{fresh.entries.at("legacy-public").data(), iv, k};
  for (int round = 0; round < 4; ++round) {
    std::vector<uint8_t> digest = random_digest(round % 2 == 0);
    std::vector<uint8_t> trailer = sign(sign_scheme::both, digest, fresh);
    ASSERT_EQ(132u, trailer.size());
    EXPECT_TRUE(legacy_verify_with(key, digest.data(), trailer.data() + 20, trailer.data() + 36));
    EXPECT_TRUE(crypto::ed25519_verify(fresh.entries.at("ed25519-public").data(), digest.data(), 32,
                                       trailer.data() + 68));
    // A different key's built-in anchors reject it.
    EXPECT_FALSE(legacy_verify(digest.data(), trailer.data() + 20, trailer.data() + 36));
  }
  std::string stripped = public_part(text);
  EXPECT_EQ(std::string::npos, stripped.find("\ned25519-seed "));
  EXPECT_EQ(std::string::npos, stripped.find("\nlegacy-secret "));
  for (const char* name : {"ed25519-public", "legacy-public", "legacy-hash-iv", "legacy-hash-k"}) {
    EXPECT_NE(std::string::npos, stripped.find(std::string("\n") + name + " ")) << name;
  }
}

}  // namespace
