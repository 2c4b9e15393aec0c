// Constants of the package file format, shared by the reader and by mkpkg.
// The byte layout is described in doc/package-format.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

inline constexpr uint32_t pkg_magic_primary = 0xBAD0F11E;
inline constexpr uint32_t pkg_magic_secondary = 0xA1100FFB;
inline constexpr uint32_t pkg_magic_incomplete = 0xFFFFFFFF;

inline constexpr size_t pkg_file_header_size = 8;
inline constexpr size_t pkg_part_header_size = 6;
inline constexpr size_t pkg_header_min_size = 32;   // name, version, build time, 8 unread
inline constexpr size_t pkg_name_size = 16;
inline constexpr size_t pkg_dep_entry_size = 32;
inline constexpr size_t pkg_file_entry_header_size = 30;
inline constexpr size_t pkg_max_text = 65536;       // longest text kept from a part

enum pkg_part_type : uint16_t {
  part_package_header = 1,
  part_text_b = 2,
  part_depends = 3,
  part_files = 4,
  part_signature = 9,
  part_architecture = 16,
  part_conflicts = 17,
  part_bundle_header = 18,
  part_provides = 19,
  part_bundle_members = 20,
  part_image_payload = 21,
  part_note = 23,
  part_text_a = 24,
  part_digest_sha256 = 25,
};

// A set of part types, one bit each: every type the format names is below 32.
using part_set = uint32_t;
constexpr part_set parts_of(std::initializer_list<pkg_part_type> types) {
  part_set set = 0;
  for (pkg_part_type type : types) set |= part_set{1} << type;
  return set;
}
constexpr bool holds_part(part_set set, int type) { return type >= 0 && type < 32 && (set >> type & 1) != 0; }

inline constexpr uint16_t file_mode_type_mask = 0xF000;
inline constexpr uint16_t file_mode_regular = 0x8000;

// The signature part's payload, the trailer: the older scheme's values and,
// in the long form, an Ed25519 signature. Offsets from its first byte:
//   0..19   not read
//   20..35  c, the older scheme's check value
//   36..67  v, the older scheme's 256-bit scalar, little-endian
//   68..131 Ed25519 signature over all 32 digest bytes (long trailer only)
inline constexpr size_t trailer_c_offset = 20;
inline constexpr size_t trailer_v_offset = 36;
inline constexpr size_t trailer_ed25519_offset = 68;
inline constexpr size_t short_trailer_size = 68;
inline constexpr size_t long_trailer_size = 132;

// Every integer in a package file is little-endian, whatever the processor.
inline uint16_t get_u16(const char* p) {
  auto b = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint16_t>(b[0] | b[1] << 8);
}

inline uint32_t get_u32(const char* p) {
  auto b = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
         static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}
