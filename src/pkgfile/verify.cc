#include "pkgfile/verify.h"

#include "pkgfile/pkg_stream.h"
#include "platform/crypto.h"
#include "platform/keys.h"

// Trailer layout, from the start of the signature part's payload:
//   0..19   not read
//   20..35  c, the older scheme's check value
//   36..67  v, the older scheme's 256-bit scalar, little-endian
//   68..131 Ed25519 signature over all 32 digest bytes (long trailer only)

namespace {

constexpr uint32_t kShortTrailer = 68;
constexpr uint32_t kLongTrailer = 132;
constexpr size_t kCOffset = 20;
constexpr size_t kVOffset = 36;
constexpr size_t kEd25519Offset = 68;

// Reads the trailer straight from the source: it is copied but never hashed.
// Whatever arrives is consumed from the part, so the copy output stays the
// exact prefix of the input even when the trailer is cut short.
bool read_trailer(pkg_streambuf& stream, uint8_t* trailer, uint32_t size) {
  size_t got = stream.read_source(reinterpret_cast<char*>(trailer), size);
  stream.copy_out(reinterpret_cast<const char*>(trailer), got);
  stream.consume_unhashed(static_cast<uint32_t>(got));
  return got == size;
}

}  // namespace

signature_level verify_package(pkg_streambuf& stream) {
  if (!stream.hashing()) return SIGNATURE_NONE;
  stream.finish_digest();
  uint32_t size = stream.remaining() >= kLongTrailer    ? kLongTrailer
                  : stream.remaining() >= kShortTrailer ? kShortTrailer
                                                        : 0;
  if (size == 0) return SIGNATURE_NONE;
  uint8_t trailer[kLongTrailer];
  if (!read_trailer(stream, trailer, size)) return SIGNATURE_NONE;
  const uint8_t* digest = stream.digest();
  if (size == kLongTrailer &&
      crypto::ed25519_verify(keys::ed25519_public, digest, 32, trailer + kEd25519Offset)) {
    return SIGNATURE_ED25519;
  }
  return legacy_verify(digest, trailer + kCOffset, trailer + kVOffset) ? SIGNATURE_LEGACY : SIGNATURE_NONE;
}
