// Reading key files. Text; blank lines and lines beginning with "#" are
// ignored; otherwise "name hex" per line. Names: ed25519-public (32 bytes),
// ed25519-seed (32), legacy-public (32), legacy-secret (32), legacy-hash-iv
// (32: 8 words, each big-endian), legacy-hash-k (256: 64 words, big-endian).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct key_file {
  std::map<std::string, std::vector<uint8_t>> entries;

  bool has(const std::string& name) const { return entries.count(name) != 0; }
};

// False with *err set on an unreadable file, a malformed line, bad hex or a
// known name with the wrong length.
bool read_key_file(const std::string& path, key_file* keys, std::string* err);
