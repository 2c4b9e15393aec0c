// What a commit confirms before a download becomes part of the installed
// tree: that the file a download path names is, byte for byte, the file the
// installation verified.
//
// The upgrade takes a download that keeps its image out of its uploader's
// hands (owner and mode) before it reads it, and records the file's identity
// and a SHA-256 digest of all its bytes while the signature check reads it.
// The commit opens the path again without following links and refuses it
// unless the identity is the same; a proof read back from a saved manifest
// has its digest taken again as well.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/stat.h>

struct file_identity {
  uint64_t dev = 0;
  uint64_t ino = 0;
  uint64_t size = 0;
  int64_t mtime_sec = 0, mtime_nsec = 0;
  int64_t ctime_sec = 0, ctime_nsec = 0;

  bool operator==(const file_identity&) const = default;
};

file_identity identity_of(const struct stat& st);

struct download_proof {
  file_identity identity;
  std::array<uint8_t, 32> sha256{};
  // The digest was taken by this run from the file it had already taken
  // over: its identity alone tells that nothing changed it since.
  bool taken_this_run = false;
};

// Takes an open download out of its uploader's hands before it is read:
// owned by the program's user, writable by that user only, no set-id bits.
// From then on only a writer that already holds the file open can change it.
// False with errno set when that cannot be done.
bool take_over(int fd, struct stat* st);

// SHA-256 of everything from the current offset of `fd` to its end. False
// with errno set on a read error.
bool digest_rest(int fd, std::array<uint8_t, 32>* digest);

// The fields of a proof as one line of text (no line feed) and back.
std::string proof_fields(const download_proof& proof);
bool parse_proof_fields(std::string_view text, download_proof* proof);
