#include "stage/proof.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

#include "platform/crypto.h"
#include "platform/fs.h"
#include "platform/numbers.h"

namespace {

constexpr size_t read_chunk = 65536;
constexpr mode_t kept_mode_bits = 0755;
constexpr char hex_digits[] = "0123456789abcdef";

// Takes the next blank-separated number off the front of `text`.
template <typename Number>
bool parse_number(std::string_view& text, Number* value) {
  size_t blank = text.find(' ');
  if (!parse_decimal(text.substr(0, blank), value)) return false;
  text.remove_prefix(blank == std::string_view::npos ? text.size() : blank + 1);
  return true;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

file_identity identity_of(const struct stat& st) {
  file_identity id;
  id.dev = static_cast<uint64_t>(st.st_dev);
  id.ino = static_cast<uint64_t>(st.st_ino);
  id.size = static_cast<uint64_t>(st.st_size);
  id.mtime_sec = st.st_mtim.tv_sec;
  id.mtime_nsec = st.st_mtim.tv_nsec;
  id.ctime_sec = st.st_ctim.tv_sec;
  id.ctime_nsec = st.st_ctim.tv_nsec;
  return id;
}

bool take_over(int fd, struct stat* st) {
  uid_t user = geteuid();
  gid_t group = getegid();
  if ((st->st_uid != user || st->st_gid != group) && fs::fchown(fd, user, group) != 0) return false;
  mode_t wanted = st->st_mode & kept_mode_bits;
  if ((st->st_mode & 07777) != wanted && fs::fchmod(fd, wanted) != 0) return false;
  return fstat(fd, st) == 0;
}

bool digest_rest(int fd, std::array<uint8_t, 32>* digest) {
  crypto::hasher whole(crypto::hasher::kind::sha256);
  static char buffer[read_chunk];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    whole.update(buffer, static_cast<size_t>(got));
  }
  whole.final(digest->data());
  return true;
}

std::string proof_fields(const download_proof& proof) {
  const file_identity& id = proof.identity;
  char numbers[256];
  std::snprintf(numbers, sizeof numbers, "%llu %llu %llu %lld %lld %lld %lld ",
                static_cast<unsigned long long>(id.dev), static_cast<unsigned long long>(id.ino),
                static_cast<unsigned long long>(id.size), static_cast<long long>(id.mtime_sec),
                static_cast<long long>(id.mtime_nsec), static_cast<long long>(id.ctime_sec),
                static_cast<long long>(id.ctime_nsec));
  std::string text = numbers;
  for (uint8_t byte : proof.sha256) {
    text += hex_digits[byte >> 4];
    text += hex_digits[byte & 0xF];
  }
  return text;
}

bool parse_proof_fields(std::string_view text, download_proof* proof) {
  file_identity& id = proof->identity;
  if (!parse_number(text, &id.dev) || !parse_number(text, &id.ino) || !parse_number(text, &id.size) ||
      !parse_number(text, &id.mtime_sec) || !parse_number(text, &id.mtime_nsec) ||
      !parse_number(text, &id.ctime_sec) || !parse_number(text, &id.ctime_nsec))
    return false;
  if (text.size() != 2 * proof->sha256.size()) return false;
  for (size_t i = 0; i < proof->sha256.size(); ++i) {
    int high = hex_value(text[2 * i]), low = hex_value(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    proof->sha256[i] = static_cast<uint8_t>(high << 4 | low);
  }
  proof->taken_this_run = false;
  return true;
}
