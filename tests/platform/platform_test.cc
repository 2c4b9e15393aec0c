// Digests, Ed25519 against published vectors, and the trust anchors the
// build embeds from a key file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "keyfile.h"
#include "keygen.h"
#include "platform/crypto.h"
#include "platform/keys.h"

namespace {

std::string hex(const uint8_t* bytes, size_t size) {
  std::string out;
  for (size_t i = 0; i < size; ++i) out += "0123456789abcdef"[bytes[i] >> 4], out += "0123456789abcdef"[bytes[i] & 15];
  return out;
}

// final() writes exactly the digest's size and restarts the digest.
TEST(Crypto, DigestsRestartAfterFinal) {
  for (auto [kind, empty, abc] : {std::tuple{crypto::hasher::kind::sha1, "da39a3ee5e6b4b0d3255bfef95601890afd80709",
                                             "a9993e364706816aba3e25717850c26c9cd0d89d"},
                                  {crypto::hasher::kind::sha256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
                                   "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"}}) {
    crypto::hasher h(kind);
    auto finish = [&] {
      uint8_t out[33];
      std::memset(out, 0xee, sizeof out);
      h.final(out);
      return hex(out, sizeof out);
    };
    const size_t digest_size = std::strlen(empty) / 2;
    const std::string tail = hex(std::vector<uint8_t>(33 - digest_size, 0xee).data(), 33 - digest_size);
    EXPECT_EQ(finish(), empty + tail);
    h.update("a", 1);
    h.update("bc", 2);
    EXPECT_EQ(finish(), abc + tail);
    EXPECT_EQ(finish(), empty + tail) << "a final right after a final";
  }
}

// RFC 8032, tests 1 and 2, and the same with a changed signature or key.
TEST(Crypto, Ed25519Vectors) {
  for (auto [key_hex, message_hex, signature_hex] : {
           std::tuple{"d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
                      "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
           {"3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
            "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"}}) {
    uint8_t key[32], message[1] = {}, signature[64];
    auto unhex = [](const char* text, uint8_t* out) { for (size_t i = 0; text[2 * i]; ++i) std::sscanf(text + 2 * i, "%2hhx", &out[i]); };
    unhex(key_hex, key), unhex(message_hex, message), unhex(signature_hex, signature);
    size_t size = std::strlen(message_hex) / 2;
    EXPECT_TRUE(crypto::ed25519_verify(key, message, size, signature));
    signature[63] ^= 1;
    EXPECT_FALSE(crypto::ed25519_verify(key, message, size, signature));
    signature[63] ^= 1, key[0] ^= 0x80;
    EXPECT_FALSE(crypto::ed25519_verify(key, message, size, signature));
  }
}

std::string read_text(const std::string& path) {
  std::ostringstream out;
  out << std::ifstream(path).rdbuf();
  return out.str();
}

// Runs the embedding script on a key file; the generated source, or "" and
// the script's output in *log when it refused.
std::string embed(const std::string& text, std::string* log = nullptr) {
  char dir[] = "/tmp/keys_test_XXXXXX";
  if (!mkdtemp(dir)) return "no directory";
  std::string at = dir;
  std::ofstream(at + "/in.keys") << text;
  int status = std::system(("'" CMAKE_COMMAND_PATH "' -DKEY_FILE='" + at + "/in.keys' -DOUTPUT='" + at + "/keys.cc' -P '" SOURCE_DIR
                            "/cmake/embed_keys.cmake' >'" + at + "/log' 2>&1").c_str());
  std::string source = read_text(at + "/keys.cc");
  if (log) *log = read_text(at + "/log");
  std::system(("rm -rf '" + at + "'").c_str());
  return status == 0 ? source : "";
}

TEST(Keys, BuildEmbedsThePublicPartOnly) {
  key_file file;
  std::string err, keys = read_text(TEST_KEY_FILE);
  ASSERT_TRUE(read_key_file(TEST_KEY_FILE, &file, &err)) << err;
  EXPECT_EQ(file.entries.at("ed25519-public"), std::vector<uint8_t>(keys::ed25519_public, keys::ed25519_public + 32));
  EXPECT_EQ(file.entries.at("legacy-public"), std::vector<uint8_t>(keys::legacy_public, keys::legacy_public + 32));
  const std::vector<uint8_t>& iv = file.entries.at("legacy-hash-iv");
  EXPECT_EQ(uint32_t{iv[0]} << 24 | iv[1] << 16 | iv[2] << 8 | iv[3], keys::legacy_hash_iv[0]) << "words are big-endian";
  EXPECT_EQ(file.entries.at("legacy-hash-k")[255], keys::legacy_hash_k[63] & 0xFF);
  // The same with the private entries stripped, or with comments, blanks and
  // CR LF line ends; and no private value reaches the program.
  std::string full = embed(keys), decorated = "\n# a comment; with a semicolon\n\t\n", line;
  for (std::istringstream in(keys); std::getline(in, line);) decorated += "  " + line + "\r\n";
  EXPECT_EQ(embed(public_part(keys)), full);
  EXPECT_EQ(embed(decorated), full);
  for (const char* name : {"ed25519-seed", "legacy-secret"}) {
    char needle[16];
    std::snprintf(needle, sizeof needle, "0x%02x, 0x%02x", file.entries.at(name)[0], file.entries.at(name)[1]);
    EXPECT_EQ(full.find(needle), std::string::npos) << name;
  }
  const std::string zeros(64, '0');
  auto with_line = [&](const std::string& name, const std::string& replacement) {
    std::string out;
    for (std::istringstream in(keys); std::getline(in, line);) out += line.rfind(name + " ", 0) == 0 ? replacement : line + "\n";
    return out;
  };
  for (auto [text, message] : {std::pair{with_line("legacy-public", ""), "no legacy-public entry"},
                               {with_line("legacy-hash-k", ""), "no legacy-hash-k entry"},
                               {with_line("legacy-public", "legacy-public " + zeros.substr(2) + "\n"), "legacy-public must be 32 bytes"},
                               {with_line("ed25519-seed", "ed25519-seed 00\n"), "ed25519-seed must be 32 bytes"},
                               {with_line("legacy-public", "legacy-public " + zeros.substr(1) + "g\n"), "bad hex digits"},
                               {with_line("legacy-public", "legacy-public " + zeros + " 00\n"), "expected 'name hex'"}}) {
    std::string log;
    EXPECT_EQ(embed(text, &log), "") << message;
    EXPECT_NE(log.find(message), std::string::npos) << log;
  }
}

}  // namespace
