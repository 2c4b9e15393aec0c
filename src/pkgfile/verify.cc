#include "pkgfile/verify.h"

#include "pkgfile/pkg_format.h"
#include "pkgfile/pkg_stream.h"
#include "platform/crypto.h"
#include "platform/keys.h"

namespace {

// Reads the trailer straight from the source: it is copied but never hashed.
// Whatever arrives is consumed from the part, so the copy output stays the
// exact prefix of the input even when the trailer is cut short.
bool read_trailer(pkg_stream& stream, uint8_t* trailer, uint32_t size) {
  return stream.read_unhashed(reinterpret_cast<char*>(trailer), size) == size;
}

}  // namespace

signature_level verify_package(pkg_stream& stream) {
  if (!stream.hashing()) return SIGNATURE_NONE;
  stream.finish_digest();
  uint32_t size = stream.remaining() >= long_trailer_size    ? long_trailer_size
                  : stream.remaining() >= short_trailer_size ? short_trailer_size
                                                             : 0;
  if (size == 0) return SIGNATURE_NONE;
  uint8_t trailer[long_trailer_size];
  if (!read_trailer(stream, trailer, size)) return SIGNATURE_NONE;
  const uint8_t* digest = stream.digest();
  if (size == long_trailer_size &&
      crypto::ed25519_verify(keys::ed25519_public, digest, 32, trailer + trailer_ed25519_offset)) {
    return SIGNATURE_ED25519;
  }
  return legacy_verify(digest, trailer + trailer_c_offset, trailer + trailer_v_offset) ? SIGNATURE_LEGACY : SIGNATURE_NONE;
}
