// Signature verification of one package against its digest.
#pragma once

#include <cstddef>
#include <cstdint>

class pkg_stream;

// How strongly a package is signed; a higher level includes the lower ones.
enum signature_level : int {
  SIGNATURE_NONE = 0,     // no signature holds
  SIGNATURE_LEGACY = 1,   // the older scheme's signature holds
  SIGNATURE_ED25519 = 2,  // the Ed25519 signature of a 132-byte trailer holds
};

// The level of the package's signature: SIGNATURE_NONE too for a trailer
// shorter than 68 bytes or cut short, or a stream without a digest. The
// stream must be at the start of a signature part's payload.
signature_level verify_package(pkg_stream& stream);

// The older scheme's check: Y = x(v*|P| + h*G) on Curve25519 with the built-in
// public key P, c compared with the first 16 bytes of H(Y). `digest20` is the
// first 20 bytes of the package digest, `c` 16 bytes, `v` 32 bytes.
bool legacy_verify(const uint8_t digest20[20], const uint8_t c[16], const uint8_t v[32]);
