// The digest objects the package reader relies on: final() restarts the
// digest, and SHA-1 writes exactly 20 bytes.
#include "platform/crypto.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string hex(const uint8_t* bytes, size_t size) {
  std::string out;
  char buf[3];
  for (size_t i = 0; i < size; ++i) {
    std::snprintf(buf, sizeof(buf), "%02x", bytes[i]);
    out += buf;
  }
  return out;
}

std::string finish(crypto::hasher& h) {
  uint8_t out[32];
  std::memset(out, 0xee, sizeof(out));
  h.final(out);
  // Bytes past the digest are untouched: a SHA-1 digest leaves 12 of 32.
  for (size_t i = h.digest_size(); i < sizeof(out); ++i) EXPECT_EQ(0xee, out[i]) << "byte " << i;
  return hex(out, h.digest_size());
}

const char kSha1Empty[] = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
const char kSha1Abc[] = "a9993e364706816aba3e25717850c26c9cd0d89d";
const char kSha256Empty[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const char kSha256Abc[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST(crypto_hasher, final_restarts_the_digest) {
  struct {
    crypto::hasher::kind kind;
    size_t size;
    const char* empty;
    const char* abc;
  } cases[] = {
      {crypto::hasher::kind::sha1, 20, kSha1Empty, kSha1Abc},
      {crypto::hasher::kind::sha256, 32, kSha256Empty, kSha256Abc},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    crypto::hasher h(c.kind);
    EXPECT_EQ(c.size, h.digest_size());
    EXPECT_EQ(c.empty, finish(h)) << "nothing added yet";
    h.update("abc", 3);
    EXPECT_EQ(c.abc, finish(h));
    EXPECT_EQ(c.empty, finish(h)) << "a final right after a final";
    h.update("a", 1);
    h.update("", 0);
    h.update("bc", 2);
    EXPECT_EQ(c.abc, finish(h)) << "split updates after a final";
  }
}

// RFC 8032, test 1 (empty message) and test 2 (one byte).
TEST(crypto_ed25519, rfc8032_vectors_and_tampering) {
  auto unhex = [](const char* text, uint8_t* out) {
    for (size_t i = 0; text[2 * i]; ++i) std::sscanf(text + 2 * i, "%2hhx", &out[i]);
  };
  struct {
    const char* key;
    const char* message;
    const char* signature;
  } cases[] = {
      {"d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
       "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b4"
       "6bd25bf5f0595bbe24655141438e7a100b"},
      {"3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
       "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d"
       "8c387b2eaeb4302aeeb00d291612bb0c00"},
  };
  for (const auto& c : cases) {
    uint8_t key[32], message[1] = {}, signature[64];
    unhex(c.key, key);
    unhex(c.message, message);
    unhex(c.signature, signature);
    size_t size = std::strlen(c.message) / 2;
    EXPECT_TRUE(crypto::ed25519_verify(key, message, size, signature)) << c.key;
    signature[63] ^= 0x01;
    EXPECT_FALSE(crypto::ed25519_verify(key, message, size, signature)) << c.key;
    signature[63] ^= 0x01;
    key[0] ^= 0x80;
    EXPECT_FALSE(crypto::ed25519_verify(key, message, size, signature)) << c.key;
  }
}

}  // namespace
