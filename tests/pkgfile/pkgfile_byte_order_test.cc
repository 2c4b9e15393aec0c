// The package file's integers are little-endian on every processor, the
// router's big-endian one included. The reader and mkpkg's writer agree with
// each other whatever order they use, so these tests hold both to fixed
// bytes: written out by hand, or made once by mkpkg on a little-endian
// machine. The cross build runs them on a big-endian processor.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

#include "pkgbuild.h"
#include "pkgdb/record.h"
#include "pkgfile/pkg_format.h"
#include "pkgfile/pkg_stream.h"
#include "pkgfile/verify.h"

namespace {

std::string from_hex(std::string_view hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return bytes;
}

std::string name16(std::string_view name) {
  std::string field(name);
  field.resize(16, '\0');
  return field;
}

// Every field below has four different bytes, so reading any of them in
// another order gives another number.
const std::string header_payload_bytes = name16("demo") +
                                         from_hex("00660207") +          // version 0x07026600 (7.2)
                                         from_hex("04030201") +          // build time 0x01020304
                                         std::string(8, '\0') +          // not read
                                         from_hex("03020100");           // flags 0x00010203
const std::string depends_bytes = from_hex("0100") +                    // one entry
                                  name16("system") +
                                  from_hex("00660106") +                 // min 0x06016600
                                  from_hex("00000000") +                 // not read
                                  from_hex("0a620107") +                 // max 0x0701620A
                                  from_hex("feffffff");                  // extra -2
const std::string provides_bytes = from_hex("0100") + name16("net") + from_hex("00000102") +
                                   from_hex("00000000") + from_hex("00000000") + from_hex("04030201");

// The same package, part by part: file header, package header, architecture,
// dependencies, provides.
std::string hand_made_package() {
  std::string body = from_hex("0100") + from_hex("24000000") + header_payload_bytes +   // type 1, 36 bytes
                     from_hex("1000") + from_hex("06000000") + "mipsbe" +              // type 16, 6 bytes
                     from_hex("0300") + from_hex("22000000") + depends_bytes +         // type 3, 34 bytes
                     from_hex("1300") + from_hex("22000000") + provides_bytes;         // type 19, 34 bytes
  std::string length = {static_cast<char>(body.size()), 0, 0, 0};
  return from_hex("1ef1d0ba") + length + body;  // magic 0xBAD0F11E
}

TEST(byte_order, reader_takes_every_field_little_endian) {
  std::stringbuf source(hand_made_package(), std::ios_base::in);
  pkg_stream stream(&source, true);
  stream.wanted_types = {part_package_header, part_architecture, part_depends, part_provides};
  EXPECT_EQ(pkg_magic_primary, stream.magic());
  EXPECT_EQ(hand_made_package().size(), stream.total_length());
  ASSERT_EQ(part_package_header, stream.next_part());
  EXPECT_EQ(36u, stream.part_length());
  pkg_image record;
  ASSERT_TRUE(read_package_header(record, stream));
  EXPECT_EQ("demo", record.name);
  EXPECT_EQ(0x07026600u, record.version);
  EXPECT_EQ(0x01020304u, record.build_time);
  EXPECT_EQ(0x00010203u, record.flags);
  EXPECT_EQ("mipsbe", record.arch);
  ASSERT_EQ(1u, record.depends.size());
  EXPECT_EQ("system", record.depends[0].name);
  EXPECT_EQ(0x06016600u, record.depends[0].min_version);
  EXPECT_EQ(0x0701620Au, record.depends[0].max_version);
  EXPECT_EQ(-2, record.depends[0].extra);
  ASSERT_EQ(1u, record.provides.size());
  EXPECT_EQ(0x02010000u, record.provides[0].min_version);
  EXPECT_EQ(0x01020304, record.provides[0].extra);
}

TEST(byte_order, file_magics_are_little_endian) {
  const struct {
    const char* bytes;
    uint32_t magic;
    bool good;
  } rows[] = {
      {"1ef1d0ba00000000", pkg_magic_primary, true},
      {"fb0f10a100000000", pkg_magic_secondary, true},
      {"bad0f11e00000000", 0x1EF1D0BA, false},  // the primary magic written big-endian
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.bytes);
    std::stringbuf source(from_hex(row.bytes), std::ios_base::in);
    pkg_stream stream(&source, false);
    EXPECT_EQ(row.magic, stream.magic());
    EXPECT_EQ(row.good, stream.good());
  }
}

TEST(byte_order, writer_lays_out_little_endian_bytes) {
  pkgbuild::file_entry entry;
  entry.mode = file_mode_regular | 0644;  // 0x81A4
  entry.variant = 3;
  entry.name = "bin/x";
  entry.data = "hello";
  const struct {
    const char* what;
    std::string made, expected;
  } rows[] = {
      {"file header", pkgbuild::file_header(pkg_magic_primary, 0x01020304), from_hex("1ef1d0ba04030201")},
      {"part header", pkgbuild::part(part_bundle_members, "", 0x0A0B0C0D), from_hex("14000d0c0b0a")},
      {"package header", pkgbuild::header_payload("demo", 0x07026600, 0x01020304, 0x00010203),
       header_payload_bytes},
      {"dependency list", pkgbuild::dep_list_payload({{"system", 0x06016600, 0x0701620A, -2}}), depends_bytes},
      {"file entry", pkgbuild::container_content({entry}),
       from_hex("a481") + std::string(21, '\0') + from_hex("03") + from_hex("05000000") + from_hex("0500") +
           "bin/x" + "hello"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(testing::PrintToString(row.expected), testing::PrintToString(row.made));
  }
}

// Packages made once by `mkpkg build --name kat --version 7.2 --build-time
// 0x01020304 --flags 0x10203` with keys/test.keys on a little-endian
// machine: signed with both schemes, and with the older scheme only.
const char both_schemes[] =
    "1ef1d0bab40000000100240000006b617400000000000000000000000000006602070403020100000000000000000302010009"
    "008400000000000000000000000000000000000000000000007100ac8a8307462642f41320bab840a48ba6a9040310e236fad7"
    "c5784cb98aa97da07828ee4c0112a7e0c7eb85526b0a7ffb48e283fa922a58e3869dad2431af28a31a186cf0809c65bf860eec"
    "b8e9d04899a062b67927770a74478720ffe58362a29b2d9e0ebabfea613bc884034d0e";
const char older_scheme[] =
    "1ef1d0ba740000000100240000006b617400000000000000000000000000006602070403020100000000000000000302010009"
    "00440000000000000000000000000000000000000000000000264089aacd050ba3ef46144567fae5a7246c895094dbe33ac672"
    "01f9c149914c7609f9089f8fd3b0117a4682d96e5505";

int level_of(const std::string& file) {
  std::stringbuf source(file, std::ios_base::in);
  pkg_stream stream(&source, true);
  stream.wanted_types = {part_signature};
  if (stream.next_part() != part_signature) return -1;
  return verify_package(stream.buf());
}

// The file with the 32 bytes at `at` in reverse order: a scalar read in the
// other byte order.
std::string reversed_at(std::string file, size_t at) {
  std::reverse(file.begin() + static_cast<std::ptrdiff_t>(at), file.begin() + static_cast<std::ptrdiff_t>(at + 32));
  return file;
}

std::string flipped_at(std::string file, size_t at) {
  file[at] = static_cast<char>(file[at] ^ 0x01);
  return file;
}

TEST(byte_order, signatures_made_on_a_little_endian_machine_hold) {
  const std::string both = from_hex(both_schemes), older = from_hex(older_scheme);
  // The trailer starts at 56: 8 file header, 42 package header part, 6 signature part header.
  const size_t trailer = 56, v = trailer + 36, ed25519 = trailer + 68;
  const struct {
    const char* what;
    std::string file;
    int level;
  } rows[] = {
      {"both schemes", both, 2},
      {"older scheme only", older, 1},
      {"Ed25519 signature damaged, older one holds", flipped_at(both, ed25519 + 5), 1},
      {"older scalar in the other byte order", reversed_at(older, v), 0},
      {"build time changed", flipped_at(older, 8 + 6 + 20), 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(row.level, level_of(row.file));
  }
}

}  // namespace
