// Trust anchors built into the installer from the key file chosen at build
// time (CMake option INSTALLER_KEY_FILE; the format is in doc/key-file.md).
#pragma once

#include <cstdint>

namespace keys {

extern const uint8_t ed25519_public[32];
// u-coordinate of the older scheme's public point |P|, little-endian.
extern const uint8_t legacy_public[32];
// The older scheme's hash: initial value and round constants.
extern const uint32_t legacy_hash_iv[8];
extern const uint32_t legacy_hash_k[64];

}  // namespace keys
