// The trust anchors: what the build embedded, and the embedding script's
// handling of good and bad key files.
#include "platform/keys.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "keyfile.h"
#include "keygen.h"

namespace {

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
}

class keys_test : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/keys_test_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
    test_keys_ = read_text(TEST_KEY_FILE);
    ASSERT_FALSE(test_keys_.empty());
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  // Runs the embedding script on `text`; true when it succeeded, with the
  // generated source in *source and the script's output in *log.
  bool embed(const std::string& text, std::string* source, std::string* log = nullptr) {
    std::string keys = dir_ + "/in.keys", out = dir_ + "/keys.cc", messages = dir_ + "/log";
    write_text(keys, text);
    unlink(out.c_str());
    std::string command = std::string("'") + CMAKE_COMMAND_PATH + "' -DKEY_FILE='" + keys +
                          "' -DOUTPUT='" + out + "' -P '" + SOURCE_DIR +
                          "/cmake/embed_keys.cmake' >'" + messages + "' 2>&1";
    int status = std::system(command.c_str());
    *source = read_text(out);
    if (log) *log = read_text(messages);
    return status == 0;
  }

  // `text` with the line of entry `name` replaced by `line` ("" drops it).
  std::string with_line(const std::string& name, const std::string& line) {
    std::istringstream in(test_keys_);
    std::string current, out;
    while (std::getline(in, current)) {
      if (current.rfind(name + " ", 0) == 0) {
        if (!line.empty()) out += line + "\n";
      } else {
        out += current + "\n";
      }
    }
    return out;
  }

  std::string dir_;
  std::string test_keys_;
};

TEST_F(keys_test, build_embeds_the_test_keys) {
  key_file file;
  std::string err;
  ASSERT_TRUE(read_key_file(TEST_KEY_FILE, &file, &err)) << err;
  EXPECT_EQ(file.entries.at("ed25519-public"),
            std::vector<uint8_t>(keys::ed25519_public, keys::ed25519_public + 32));
  EXPECT_EQ(file.entries.at("legacy-public"),
            std::vector<uint8_t>(keys::legacy_public, keys::legacy_public + 32));
  const std::vector<uint8_t>& iv = file.entries.at("legacy-hash-iv");
  const std::vector<uint8_t>& k = file.entries.at("legacy-hash-k");
  for (int i = 0; i < 8; ++i) {
    uint32_t word = static_cast<uint32_t>(iv[4 * i]) << 24 | iv[4 * i + 1] << 16 | iv[4 * i + 2] << 8 | iv[4 * i + 3];
    EXPECT_EQ(word, keys::legacy_hash_iv[i]) << "iv word " << i;
  }
  for (int i = 0; i < 64; ++i) {
    uint32_t word = static_cast<uint32_t>(k[4 * i]) << 24 | k[4 * i + 1] << 16 | k[4 * i + 2] << 8 | k[4 * i + 3];
    EXPECT_EQ(word, keys::legacy_hash_k[i]) << "k word " << i;
  }
}

TEST_F(keys_test, public_only_file_embeds_the_same) {
  std::string full, public_only;
  ASSERT_TRUE(embed(test_keys_, &full));
  ASSERT_TRUE(embed(public_part(test_keys_), &public_only));
  EXPECT_EQ(full, public_only);
  // No private value may reach the program.
  key_file file;
  std::string err;
  ASSERT_TRUE(read_key_file(TEST_KEY_FILE, &file, &err)) << err;
  for (const char* name : {"ed25519-seed", "legacy-secret"}) {
    const std::vector<uint8_t>& secret = file.entries.at(name);
    std::string needle;
    for (int i = 0; i < 8; ++i) {
      char byte[16];
      std::snprintf(byte, sizeof(byte), "%s0x%02x", i ? ", " : "", secret[i]);
      needle += byte;
    }
    EXPECT_EQ(std::string::npos, full.find(needle)) << name;
  }
}

TEST_F(keys_test, blank_comment_and_crlf_lines_are_accepted) {
  std::string text = "\n# a comment; with a semicolon\n   # indented comment\n\t\n";
  std::istringstream in(test_keys_);
  std::string line;
  while (std::getline(in, line)) text += "  " + line + "\r\n";
  std::string plain, decorated;
  ASSERT_TRUE(embed(test_keys_, &plain));
  ASSERT_TRUE(embed(text, &decorated));
  EXPECT_EQ(plain, decorated);
}

TEST_F(keys_test, bad_key_files_stop_the_build) {
  const std::string zero32(64, '0');
  struct {
    const char* what;
    std::string text;
    const char* message;
  } cases[] = {
      {"missing legacy-public", with_line("legacy-public", ""), "no legacy-public entry"},
      {"missing ed25519-public", with_line("ed25519-public", ""), "no ed25519-public entry"},
      {"missing hash constants", with_line("legacy-hash-k", ""), "no legacy-hash-k entry"},
      {"short key", with_line("legacy-public", "legacy-public " + zero32.substr(2)),
       "legacy-public must be 32 bytes"},
      {"short private entry", with_line("ed25519-seed", "ed25519-seed 00"), "ed25519-seed must be 32 bytes"},
      {"bad hex", with_line("legacy-public", "legacy-public " + zero32.substr(1) + "g"), "bad hex digits"},
      {"odd hex", with_line("legacy-public", "legacy-public " + zero32 + "0"), "bad hex digits"},
      {"extra field", with_line("legacy-public", "legacy-public " + zero32 + " 00"), "expected 'name hex'"},
      {"name alone", with_line("legacy-public", "legacy-public"), "expected 'name hex'"},
  };
  for (const auto& c : cases) {
    std::string source, log;
    EXPECT_FALSE(embed(c.text, &source, &log)) << c.what;
    EXPECT_NE(std::string::npos, log.find(c.message)) << c.what << "\n" << log;
    EXPECT_EQ("", source) << c.what;
  }
}

}  // namespace
