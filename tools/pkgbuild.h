// Building package files: the library behind mkpkg, also used by the tests
// to make well-formed and deliberately broken files.
//
// Two layers. The raw layer turns pieces into bytes exactly as asked (any
// magic, any declared length, any part order, any payload), so a test can
// build what no honest writer would. The package layer builds a package or a
// bundle in the order the reader expects and signs each member's digest.
// The byte layout is described in doc/package-format.md.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/record.h"
#include "pkgfile/pkg_format.h"

namespace pkgbuild {

// ---- raw layer ----

void put_u16(std::string* out, uint16_t value);
void put_u32(std::string* out, uint32_t value);

// The 8-byte file header.
std::string file_header(uint32_t magic, uint32_t length);
// A part: 6-byte header then payload; the declared length defaults to the
// payload's size but may be anything.
std::string part(uint16_t type, std::string_view payload,
                 std::optional<uint32_t> declared_length = std::nullopt);
// A file header whose length field covers `body` exactly, then `body`.
std::string whole_file(std::string_view body, uint32_t magic = pkg_magic_primary);

// Payload of a package or bundle header. The name is NUL-padded to 16 bytes
// (cut at 16). Without `flags_field` the payload is the 32-byte form.
std::string header_payload(std::string_view name, uint32_t version, uint32_t build_time,
                           uint32_t flags, bool flags_field = true);
// Payload of a dependency list; `count` overrides the stored entry count.
std::string dep_list_payload(const std::vector<pkg_dep>& entries,
                             std::optional<uint16_t> count = std::nullopt);

// One entry of the file container.
struct file_entry {
  uint16_t mode = file_mode_regular | 0644;
  uint8_t variant = 0;  // processor class; 0 = every processor
  std::string name;
  std::string data;
};
// The inflated form of a file container.
std::string container_content(const std::vector<file_entry>& entries);
// zlib stream (header, deflate data, Adler-32) of `raw`.
std::string zlib_compress(std::string_view raw, int level = 6);

// ---- package layer ----

enum class digest_kind { sha1, sha256 };

// Produces the trailer for a finished digest (32 bytes, SHA-1 in the first
// 20). Writes the trailer and its size (68 or 132); false with *err set.
using signer = std::function<bool(const uint8_t digest[32], std::string* trailer, std::string* err)>;

struct package_recipe {
  uint32_t magic = pkg_magic_primary;
  std::string name;
  uint32_t version = 0;
  uint32_t build_time = 0;
  uint32_t flags = 0;
  std::optional<std::string> text_a, arch, text_b, note;
  std::optional<std::vector<pkg_dep>> depends, provides, conflicts;
  std::optional<std::string> image_payload;
  std::optional<std::vector<file_entry>> files;
  digest_kind digest = digest_kind::sha1;
  // Length of the signature part; the trailer is filled by the signer, or
  // left zero without one. 0 leaves the signature part out.
  uint32_t signature_size = 132;
};

// The parts of a single package in file order, each as bytes: optional
// SHA-256 marker, header, optional parts, files, signature (zeroed).
std::vector<std::string> package_parts(const package_recipe& recipe);

// A whole package file. With a signer, each signature part is filled with
// the trailer for the digest the reader computes up to it.
bool build_package(const package_recipe& recipe, const signer& sign, std::string* out,
                   std::string* err);

// Fills every signature part of `file` in place: the digest of each package
// is taken exactly as the reader computes it. False when a trailer does not
// fit its part or the signer fails.
bool sign_parts(std::string* file, const signer& sign, std::string* err);

struct bundle_recipe {
  uint32_t magic = pkg_magic_primary;
  std::string name;
  uint32_t version = 0;
  uint32_t build_time = 0;
  uint32_t flags = 0;
  std::optional<std::string> text_a, arch, text_b, note;
  // Bundle members installed disabled unless the user chose otherwise; no
  // list leaves the part out.
  std::optional<std::vector<pkg_dep>> member_list;
  // Keeps the bundle's file whole as its image (see mkpkg bundle).
  bool keep_image = true;
};

// True when `file` can go into a bundle as it is: one package, with a
// package header and a signature part after it, and not a bundle. Whether
// the signature part holds a signature is not checked. False with *err set.
bool check_member(std::string_view file, std::string* err);

// A bundle from whole member package files. The members' parts from their
// package header through their signature part are taken as they are; all
// members must pass check_member and share one digest kind, which the
// bundle then announces.
bool build_bundle(const bundle_recipe& recipe, const std::vector<std::string>& members,
                  std::string* out, std::string* err);

// Splits a file into its parts: (offset of the part header, type, declared
// length). Stops at a part whose payload runs past the end. For tools and
// tests; the installer reads through pkg_stream.
struct part_info {
  uint64_t offset = 0;
  uint16_t type = 0;
  uint32_t length = 0;
};
std::vector<part_info> list_parts(std::string_view file);

}  // namespace pkgbuild
