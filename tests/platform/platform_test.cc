// Digests and Ed25519 against published vectors, the trust anchors the
// build embeds from a key file, and the key files keygen makes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "keyfile.h"
#include "keygen.h"
#include "pkgdb/pkgdb_test_tools.h"
#include "pkgfile/legacy_signature.h"
#include "platform/crypto.h"
#include "sign.h"

namespace {

std::string unhex(std::string_view text) {
  std::string out(text.size() / 2, '\0');
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(std::stoi(std::string(text.substr(2 * i, 2)), nullptr, 16));
  return out;
}
const uint8_t* u8(const std::string& bytes) { return reinterpret_cast<const uint8_t*>(bytes.data()); }

// final() writes exactly the digest's size and restarts the digest.
TEST(Crypto, DigestsRestartAfterFinal) {
  for (auto [kind, empty, abc] : {std::tuple{crypto::hasher::kind::sha1, "da39a3ee5e6b4b0d3255bfef95601890afd80709",
                                             "a9993e364706816aba3e25717850c26c9cd0d89d"},
                                  {crypto::hasher::kind::sha256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
                                   "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"}}) {
    crypto::hasher h(kind);
    auto finish = [&] { std::string out(33, '\xee'); h.final(reinterpret_cast<uint8_t*>(out.data())); return out; };
    const std::string tail(33 - std::strlen(empty) / 2, '\xee');
    EXPECT_EQ(finish(), unhex(empty) + tail);
    h.update("a", 1), h.update("bc", 2);
    EXPECT_EQ(finish(), unhex(abc) + tail);
    EXPECT_EQ(finish(), unhex(empty) + tail) << "a final right after a final";
  }
}

// RFC 8032, tests 1 and 2.
TEST(Crypto, Ed25519Vectors) {
  for (auto [key, message, signature] : {
           std::tuple{unhex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a"), unhex(""),
                      unhex("e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b")},
           {unhex("3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c"), unhex("72"),
            unhex("92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00")}})
    EXPECT_TRUE(crypto::ed25519_verify(u8(key), u8(message), message.size(), u8(signature)));
}

// Runs the embedding script on a key file: the generated source, or the
// script's output after "refused: " when it refused.
std::string embed(const std::string& text) {
  char dir[] = "/tmp/keys_test_XXXXXX";
  if (!mkdtemp(dir)) return "no directory";
  const std::string at = dir;
  std::ofstream(at + "/in.keys") << text;
  int status = std::system(("'" CMAKE_COMMAND_PATH "' -DKEY_FILE='" + at + "/in.keys' -DOUTPUT='" + at + "/keys.cc' -P '" SOURCE_DIR
                            "/cmake/embed_keys.cmake' >'" + at + "/log' 2>&1").c_str());
  std::string result = status == 0 ? pkgdb_test::got(at + "/keys.cc") : std::string("refused: ").append(pkgdb_test::got(at + "/log"));
  std::system(("rm -rf '" + at + "'").c_str());
  return result;
}

TEST(Keys, BuildEmbedsThePublicPartOnly) {
  key_file file;
  std::string err, keys = pkgdb_test::got(TEST_KEY_FILE), line;
  ASSERT_TRUE(read_key_file(TEST_KEY_FILE, &file, &err)) << err;
  // The same with the private entries stripped, or with comments, blanks and
  // CR LF line ends; a public value reaches the program, no private one.
  std::string full = embed(keys), decorated = "\n# a comment; with a semicolon\n\t\n";
  for (std::istringstream in(keys); std::getline(in, line);) decorated += "  " + line + "\r\n";
  for (const std::string& same : {public_part(keys), decorated}) EXPECT_EQ(embed(same), full);
  for (auto [name, embedded] : {std::pair{"ed25519-public", true}, {"ed25519-seed", false}, {"legacy-secret", false}}) {
    char needle[16];
    std::snprintf(needle, sizeof needle, "0x%02x, 0x%02x", file.entries.at(name)[0], file.entries.at(name)[1]);
    EXPECT_EQ(full.find(needle) != std::string::npos, embedded) << name;
  }
  std::string no_hash_k;
  for (std::istringstream in(keys); std::getline(in, line);)
    if (!line.starts_with("legacy-hash-k ")) no_hash_k += line + "\n";
  for (auto [text, message] : {std::pair{no_hash_k, "no legacy-hash-k entry"},
                               {keys + "legacy-public " + std::string(62, '0') + "\n", "legacy-public must be 32 bytes"},
                               {keys + "legacy-public " + std::string(63, '0') + "g\n", "bad hex digits"}}) {
    const std::string out = embed(text);
    EXPECT_TRUE(out.rfind("refused: ", 0) == 0 && out.find(message) != std::string::npos) << message << ": " << out;
  }
}

// Each new key file signs with both schemes and verifies under its own
// public entries. Half of all legacy secrets give a point with the odd y,
// which the verifier never assumes: several files make keygen's choice show.
TEST(Keys, GeneratedFilesSignAndVerify) {
  const std::string path = "/tmp/keygen_test_" + std::to_string(getpid());
  for (uint8_t round = 0; round < 4; ++round) {
    std::string text, err;
    key_file keys;
    ASSERT_TRUE(generate_key_file(&text, &err)) << err;
    std::ofstream(path) << text;
    ASSERT_TRUE(read_key_file(path, &keys, &err)) << err;
    std::remove(path.c_str());
    uint8_t digest[32] = {round}, trailer[long_trailer_size];
    size_t size = 0;
    ASSERT_TRUE(sign_digest(keys, sign_scheme::both, digest, trailer, &size, &err)) << err;
    uint32_t iv[8], k[64];
    for (auto [name, words, count] : {std::tuple{"legacy-hash-iv", iv, 8}, {"legacy-hash-k", k, 64}})
      for (int i = 0; i < count; ++i) {  // big-endian words
        const uint8_t* p = keys.entries.at(name).data() + 4 * i;
        words[i] = uint32_t{p[0]} << 24 | p[1] << 16 | p[2] << 8 | p[3];
      }
    legacy_key key{keys.entries.at("legacy-public").data(), iv, k};
    EXPECT_TRUE(legacy_verify_with(key, digest, trailer + trailer_c_offset, trailer + trailer_v_offset)) << text;
    EXPECT_TRUE(crypto::ed25519_verify(keys.entries.at("ed25519-public").data(), digest, 32,
                                       trailer + trailer_ed25519_offset)) << text;
  }
}

}  // namespace
