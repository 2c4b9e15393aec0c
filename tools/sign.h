// Signing a package's digest, for mkpkg and the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "pkgfile/pkg_format.h"

struct key_file;

enum class sign_scheme {
  both,         // 132-byte trailer: older scheme signature + Ed25519
  legacy_only,  // 68-byte trailer: older scheme only
};

// Builds a signature trailer for a package whose finished digest is `digest`
// (32 bytes; a SHA-1 digest in the first 20, the rest zero). Writes 132 or 68
// bytes to `trailer` and their count to *size. False with *err set when the
// key file lacks a private entry the scheme needs.
bool sign_digest(const key_file& keys, sign_scheme scheme, const uint8_t digest[32],
                 uint8_t trailer[long_trailer_size], size_t* size, std::string* err);
