#include "keyfile.h"

#include <fstream>
#include <sstream>

namespace {

const std::map<std::string, size_t> known_sizes = {
    {"ed25519-public", 32}, {"ed25519-seed", 32},   {"legacy-public", 32},
    {"legacy-secret", 32},  {"legacy-hash-iv", 32}, {"legacy-hash-k", 256},
};

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool read_key_file(const std::string& path, key_file* keys, std::string* err) {
  std::ifstream in(path);
  if (!in) {
    *err = "cannot read key file " + path;
    return false;
  }
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string::npos || line[start] == '#') continue;
    std::istringstream fields(line);
    std::string name, hex, extra;
    if (!(fields >> name >> hex) || (fields >> extra)) {
      *err = path + ":" + std::to_string(number) + ": expected 'name hex'";
      return false;
    }
    if (hex.size() % 2 != 0) {
      *err = path + ":" + std::to_string(number) + ": odd number of hex digits";
      return false;
    }
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
      int hi = hex_value(hex[i]), lo = hex_value(hex[i + 1]);
      if (hi < 0 || lo < 0) {
        *err = path + ":" + std::to_string(number) + ": bad hex digit";
        return false;
      }
      bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    auto known = known_sizes.find(name);
    if (known != known_sizes.end() && bytes.size() != known->second) {
      *err = path + ":" + std::to_string(number) + ": " + name + " must be " +
             std::to_string(known->second) + " bytes";
      return false;
    }
    keys->entries[name] = std::move(bytes);
  }
  return true;
}
