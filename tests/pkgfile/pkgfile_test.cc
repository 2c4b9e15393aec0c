// Package files: byte order, the two signature schemes against their
// references, verification levels, the stream's digest and copy, mkpkg's
// output read back, and extraction.
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <array>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "install/unpack.h"
#include "support/scenario.h"
#include "keyfile.h"
#include "legacy_curve.h"
#include "mkpkg_cli.h"
#include "msg/msg.h"
#include "pkgbuild.h"
#include "pkgdb/pkgdb_test_tools.h"
#include "pkgdb/repo.h"
#include "pkgfile/extract.h"
#include "pkgfile/inflate_streambuf.h"
#include "pkgfile/legacy25519.h"
#include "pkgfile/legacy_signature.h"
#include "pkgfile/pkg_stream.h"
#include "pkgfile/verify.h"
#include "platform/crypto.h"
#include "platform/keys.h"
#include "sign.h"
#include "stage/manifest.h"

namespace {

using pkgbuild::part;
using pkgbuild::whole_file;

std::string from_hex(std::string_view hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return bytes;
}
std::string name16(std::string name) { name.resize(16, '\0'); return name; }

// A source that hands out at most 3 bytes a read and cannot seek, as a pipe.
struct pipe_buf : std::stringbuf {
  explicit pipe_buf(const std::string& s) : std::stringbuf(s, std::ios_base::in) {}
  std::streamsize xsgetn(char* s, std::streamsize n) override { return std::stringbuf::xsgetn(s, std::min<std::streamsize>(n, 3)); }
  pos_type seekoff(off_type, std::ios_base::seekdir, std::ios_base::openmode) override { return -1; }
  pos_type seekpos(pos_type, std::ios_base::openmode) override { return -1; }
};

// The level of the first signature part, read from a file or a pipe.
int level_of(const std::string& file, bool pipe = false, bool hashing = true) {
  std::stringbuf plain(file, std::ios_base::in);
  pipe_buf trickle(file);
  pkg_stream stream(pipe ? static_cast<std::streambuf*>(&trickle) : &plain, hashing);
  stream.wanted_types = {part_signature};
  return stream.next_part() == part_signature ? verify_package(stream.buf()) : -1;
}

// Every field has four different bytes: any other byte order gives another number.
const std::string header_bytes = name16("demo") + from_hex("00660207" "04030201") + std::string(8, '\0') + from_hex("03020100");
const std::string depends_bytes = from_hex("0100") + name16("system") + from_hex("00660106" "00000000" "0a620107" "feffffff");

// The file's integers are little-endian on every processor, the router's
// big-endian one included; the cross build runs these there.
TEST(ByteOrder, ReaderAndWriterAgainstFixedBytes) {
  const std::string body = from_hex("0100" "24000000") + header_bytes + from_hex("1000" "06000000") + "mipsbe" +
                           from_hex("0300" "22000000") + depends_bytes;
  std::stringbuf source(from_hex("1ef1d0ba") + std::string{static_cast<char>(body.size()), 0, 0, 0} + body, std::ios_base::in);
  pkg_stream stream(&source, true);
  stream.wanted_types = {part_package_header, part_architecture, part_depends};
  ASSERT_EQ(stream.next_part(), part_package_header);
  pkg_image r;
  ASSERT_TRUE(read_package_header(r, stream));
  EXPECT_EQ(r.name + " " + r.arch, "demo mipsbe");
  EXPECT_EQ(std::vector<uint32_t>({r.version, r.build_time, r.flags, r.depends.at(0).min_version, r.depends[0].max_version}),
            std::vector<uint32_t>({0x07026600, 0x01020304, 0x00010203, 0x06016600, 0x0701620A}));
  EXPECT_EQ(r.depends[0].extra, -2);
  for (auto [bytes, magic, good] : {std::tuple{"1ef1d0ba00000000", pkg_magic_primary, true},
                                    {"fb0f10a100000000", pkg_magic_secondary, true}, {"bad0f11e00000000", 0x1EF1D0BAu, false}}) {
    std::stringbuf header(from_hex(bytes), std::ios_base::in);
    pkg_stream s(&header, false);
    EXPECT_EQ(s.magic(), magic);
    EXPECT_EQ(s.good(), good) << bytes;
  }
  pkgbuild::file_entry entry{file_mode_regular | 0644, 3, "bin/x", "hello"};
  EXPECT_EQ(pkgbuild::file_header(pkg_magic_primary, 0x01020304), from_hex("1ef1d0ba04030201"));
  EXPECT_EQ(pkgbuild::part(part_bundle_members, "", 0x0A0B0C0D), from_hex("14000d0c0b0a"));
  EXPECT_EQ(pkgbuild::header_payload("demo", 0x07026600, 0x01020304, 0x00010203), header_bytes);
  EXPECT_EQ(pkgbuild::dep_list_payload({{"system", 0x06016600, 0x0701620A, -2}}), depends_bytes);
  EXPECT_EQ(pkgbuild::container_content({entry}),
            from_hex("a481") + std::string(21, '\0') + from_hex("03" "05000000" "0500") + "bin/xhello");
}

// Made once by `mkpkg build --name kat --version 7.2 --build-time 0x01020304
// --flags 0x10203` with keys/test.keys on a little-endian machine.
TEST(ByteOrder, SignaturesMadeOnALittleEndianMachineHold) {
  const std::string both = from_hex(
      "1ef1d0bab40000000100240000006b617400000000000000000000000000006602070403020100000000000000000302010009"
      "008400000000000000000000000000000000000000000000007100ac8a8307462642f41320bab840a48ba6a9040310e236fad7"
      "c5784cb98aa97da07828ee4c0112a7e0c7eb85526b0a7ffb48e283fa922a58e3869dad2431af28a31a186cf0809c65bf860eec"
      "b8e9d04899a062b67927770a74478720ffe58362a29b2d9e0ebabfea613bc884034d0e");
  const std::string older = from_hex(
      "1ef1d0ba740000000100240000006b617400000000000000000000000000006602070403020100000000000000000302010009"
      "00440000000000000000000000000000000000000000000000264089aacd050ba3ef46144567fae5a7246c895094dbe33ac672"
      "01f9c149914c7609f9089f8fd3b0117a4682d96e5505");
  auto changed = [](std::string file, size_t at, bool reverse32) {
    if (reverse32) std::reverse(file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(at + 32));
    else file[at] ^= 1;
    return file;
  };
  EXPECT_EQ(level_of(both), 2);
  EXPECT_EQ(level_of(older), 1);
  EXPECT_EQ(level_of(changed(both, 56 + 68 + 5, false)), 1) << "Ed25519 damaged, the older scheme holds";
  EXPECT_EQ(level_of(changed(older, 56 + 36, true)), 0) << "the older scalar in the other byte order";
  EXPECT_EQ(level_of(changed(older, 8 + 6 + 20, false)), 0) << "build time changed";
}

using bytes32 = std::array<uint8_t, 32>;
bytes32 small(uint64_t value) {
  bytes32 b{};
  for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(value >> (8 * i));
  return b;
}
// l*m + add, the group order l times a small m.
bytes32 order_times(unsigned m, unsigned add) {
  bytes32 out{};
  for (unsigned i = 0, carry = add; i < 32; ++i, carry >>= 8) out[i] = static_cast<uint8_t>(carry += legacy_curve::group_order[i] * m);
  return out;
}

// The installer's curve arithmetic against the signing tools' plain affine
// big-integer arithmetic: edge scalars, odd points and random ones.
TEST(Signatures, CurveAgreesWithTheReference) {
  bytes32 p, ones, prime9;
  std::memcpy(p.data(), keys::legacy_public, 32);
  ones.fill(0xff);
  prime9 = ones;
  prime9[0] = 0xed + 9, prime9[31] = 0x7f;  // p + 9: G's x unreduced
  std::mt19937 rng(7341);
  auto random = [&] { bytes32 b; for (auto& byte : b) byte = static_cast<uint8_t>(rng()); return b; };
  std::vector<std::array<bytes32, 3>> cases = {
      {p, small(0), small(0)}, {p, small(0), small(1)}, {p, small(1), small(0)}, {p, small(2), small(3)},
      {p, order_times(1, 0), small(0)}, {p, small(0), order_times(1, 1)}, {p, order_times(8, 0), order_times(8, 5)},
      {p, ones, ones}, {small(9), small(3), small(5)}, {prime9, small(2), small(0)}, {small(0), small(3), small(5)},
      {small(2), small(1), small(1)}, {ones, ones, order_times(1, 0)}};
  for (int i = 0; i < 48; ++i) cases.push_back({i % 2 ? p : random(), random(), random()});
  for (const auto& [point, v, h] : cases) {
    bytes32 ours, reference;
    ours.fill(0xaa);
    bool ok = legacy25519::combined_x(point.data(), v.data(), h.data(), ours.data());
    EXPECT_EQ(ok, legacy_curve::combined_x(point.data(), v.data(), h.data(), reference.data()));
    EXPECT_EQ(ours, ok ? reference : small(0)) << "a refused point leaves zero";
  }
  bytes32 out;
  ASSERT_TRUE(legacy25519::combined_x(p.data(), small(0).data(), small(1).data(), out.data()));
  EXPECT_EQ(out, small(9)) << "1*G has x = 9";
}

class SigningKeys : public ::testing::Test {
 protected:
  void SetUp() override { std::string err; ASSERT_TRUE(read_key_file(TEST_KEY_FILE, &keys_, &err)) << err; }
  std::vector<uint8_t> sign(sign_scheme scheme, const uint8_t* digest) {
    uint8_t trailer[132];
    size_t size = 0;
    std::string err;
    EXPECT_TRUE(sign_digest(keys_, scheme, digest, trailer, &size, &err)) << err;
    return std::vector<uint8_t>(trailer, trailer + size);
  }
  void words(const char* entry, uint32_t* out) {
    const std::vector<uint8_t>& b = keys_.entries.at(entry);
    for (size_t i = 0; i < b.size() / 4; ++i) out[i] = uint32_t{b[4 * i]} << 24 | b[4 * i + 1] << 16 | b[4 * i + 2] << 8 | b[4 * i + 3];
  }
  key_file keys_;
};

TEST_F(SigningKeys, OlderSchemeHashAndTampering) {
  // With the standard constants (the fractional parts of the square and
  // cube roots of the first primes) the hash is SHA-256 of a one-block message.
  const int primes[64] = {2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61, 67, 71, 73, 79,
                          83, 89, 97, 101, 103, 107, 109, 113, 127, 131, 137, 139, 149, 151, 157, 163, 167, 173, 179, 181,
                          191, 193, 197, 199, 211, 223, 227, 229, 233, 239, 241, 251, 257, 263, 269, 271, 277, 281, 283, 293,
                          307, 311};
  auto fraction = [](double root) { return static_cast<uint32_t>((root - std::floor(root)) * 4294967296.0); };
  uint32_t iv[8], k[64];
  for (int i = 0; i < 64; ++i) k[i] = fraction(std::cbrt(primes[i]));
  for (int i = 0; i < 8; ++i) iv[i] = fraction(std::sqrt(primes[i]));
  uint8_t message[55], ours[32], reference[32], built_in[32], from_file[32];
  for (size_t i = 0; i < sizeof message; ++i) message[i] = static_cast<uint8_t>(i * 37 + 11);
  for (size_t size = 0; size <= 55; ++size) {
    legacy_hash_with(iv, k, message, size, ours);
    SHA256(message, size, reference);
    EXPECT_EQ(0, std::memcmp(ours, reference, 32)) << size;
  }
  // The built-in hash uses the key file's constants, which are not the standard ones.
  words("legacy-hash-iv", iv);
  words("legacy-hash-k", k);
  legacy_hash(message, 20, built_in);
  legacy_hash_with(iv, k, message, 20, from_file);
  EXPECT_EQ(0, std::memcmp(built_in, from_file, 32));
  EXPECT_NE(0, std::memcmp(built_in, reference, 32));
  uint8_t x[32];
  bool y_odd = true;
  legacy_curve::base_multiple(keys_.entries.at("legacy-secret").data(), x, &y_odd);
  EXPECT_EQ(keys_.entries.at("legacy-public"), std::vector<uint8_t>(x, x + 32));
  EXPECT_FALSE(y_odd) << "the public point is a*G itself, with the even y";
  std::mt19937 rng(20240611);
  for (bool sha1 : {true, false}) {
    std::vector<uint8_t> digest(32, 0);
    for (size_t i = 0; i < (sha1 ? 20u : 32u); ++i) digest[i] = static_cast<uint8_t>(rng());
    std::vector<uint8_t> trailer = sign(sign_scheme::legacy_only, digest.data());
    ASSERT_EQ(trailer.size(), 68u);
    EXPECT_TRUE(legacy_verify(digest.data(), trailer.data() + 20, trailer.data() + 36));
    for (size_t i = 0; i < 68; ++i) {
      std::vector<uint8_t> d = digest, t = trailer;
      if (i < 20) d[i] ^= 1; else t[i] ^= static_cast<uint8_t>(1u << (i % 8));
      EXPECT_FALSE(legacy_verify(d.data(), t.data() + 20, t.data() + 36)) << i;
    }
    digest[20] ^= 0xff;  // only the first 20 digest bytes enter the older scheme
    EXPECT_TRUE(legacy_verify(digest.data(), trailer.data() + 20, trailer.data() + 36));
    // The long trailer adds Ed25519 over all 32 bytes.
    std::vector<uint8_t> long_trailer = sign(sign_scheme::both, digest.data());
    EXPECT_EQ(std::vector<uint8_t>(long_trailer.begin(), long_trailer.begin() + 68), sign(sign_scheme::legacy_only, digest.data()));
    EXPECT_TRUE(crypto::ed25519_verify(keys::ed25519_public, digest.data(), 32, long_trailer.data() + 68));
    digest[31] ^= 1;
    EXPECT_FALSE(crypto::ed25519_verify(keys::ed25519_public, digest.data(), 32, long_trailer.data() + 68));
  }
}

TEST_F(SigningKeys, VerificationLevels) {
  std::vector<uint8_t> extra;  // the Ed25519 signature of the last signing
  auto build = [&](pkgbuild::digest_kind kind, sign_scheme scheme, uint32_t size) {
    pkgbuild::package_recipe recipe;
    recipe.name = "signed";
    recipe.digest = kind;
    recipe.note = "hello";
    recipe.signature_size = size;
    std::string file, err;
    EXPECT_TRUE(pkgbuild::build_package(recipe, [&](const uint8_t* digest, std::string* trailer, std::string*) {
      std::vector<uint8_t> t = sign(sign_scheme::both, digest);
      extra.assign(t.begin() + 68, t.end());
      trailer->assign(t.begin(), t.begin() + (scheme == sign_scheme::both ? 132 : 68));
      return true;
    }, &file, &err)) << err;
    return file;
  };
  using enum pkgbuild::digest_kind;
  const struct { pkgbuild::digest_kind kind; sign_scheme scheme; uint32_t size; int level; } cases[] = {
      {sha1, sign_scheme::legacy_only, 68, 1}, {sha256, sign_scheme::legacy_only, 100, 1},
      {sha1, sign_scheme::both, 132, 2},       {sha256, sign_scheme::both, 140, 2}};
  for (const auto& c : cases) {
    std::string file = build(c.kind, c.scheme, c.size);
    EXPECT_EQ(level_of(file), c.level) << c.size;
    EXPECT_EQ(level_of(file, true), c.level) << c.size << " from a pipe";
    EXPECT_EQ(level_of(file, false, false), 0) << "a stream without digest";
    file[file.size() - c.size + 40] ^= 1;  // the older signature's v
    EXPECT_EQ(level_of(file), c.level == 2 ? 2 : 0) << c.size;
    // Ed25519, or unread bytes of a longer part; within the part (flipping
    // byte 100 of a 68-byte part wrote past the end of the file's string).
    file[file.size() - c.size + std::min<uint32_t>(100, c.size - 1)] ^= 1;
    EXPECT_EQ(level_of(file), 0) << c.size;
  }
  std::string both = build(sha256, sign_scheme::both, 132);
  both[both.size() - 1] ^= 0x10;
  EXPECT_EQ(level_of(both), 1) << "a failed Ed25519 falls back to the older scheme";
  both = build(sha256, sign_scheme::both, 132);
  EXPECT_EQ(level_of(both.substr(0, both.size() - 1)), 0) << "a cut trailer";
  // A 68-byte trailer followed by a valid Ed25519 signature: reading 132
  // bytes would find it.
  std::string short_one = build(sha256, sign_scheme::legacy_only, 68);
  short_one[short_one.size() - 40] ^= 1;
  std::string body = short_one.substr(8) + part(part_architecture, std::string(extra.begin(), extra.end()));
  EXPECT_EQ(level_of(whole_file(body)), 0);
}

// The digest covers the package header's header up to the signature part's
// header, skipped parts included; the copy output gets every byte read, in
// every mode, and bytes put back count once.
TEST(Stream, DigestAndCopyInEveryMode) {
  std::string note(pkg_max_text + 1000, 'n');
  const std::string prefix = part(7, "before the package");
  const std::string file = whole_file(prefix + part(part_package_header, pkgbuild::header_payload("demo", 1, 2, 3)) +
                                      part(part_note, note) + part(7, "unknown") + part(part_signature, std::string(68, 's')));
  unsigned char expected[32] = {};
  SHA1(reinterpret_cast<const unsigned char*>(file.data()) + 8 + prefix.size(), file.size() - 8 - prefix.size() - 68, expected);
  for (bool pipe : {false, true})
    for (bool putback : {false, true}) {
      std::stringbuf plain(file, std::ios_base::in), copy;
      pipe_buf trickle(file);
      pkg_stream stream(pipe ? static_cast<std::streambuf*>(&trickle) : &plain, true, &copy);
      stream.wanted_types = {part_package_header, part_note, part_signature};
      ASSERT_EQ(stream.next_part(), part_package_header);
      pkg_image record;
      if (putback) {
        stream.ignore(36);
        ASSERT_EQ(stream.next_part(), part_note);
        EXPECT_EQ(stream.get() + stream.get(), 2 * 'n');
        EXPECT_TRUE(stream.unget() && stream.putback('n'));
        EXPECT_FALSE(stream.putback('z')) << "the byte before the part is the header's";
        stream.clear();
        EXPECT_EQ(stream.get(), 'n');
      } else {
        ASSERT_TRUE(read_package_header(record, stream));
        EXPECT_EQ(record.note.size(), pkg_max_text) << "texts keep 64 KiB";
      }
      while (stream.type() != part_signature) ASSERT_GE(stream.next_part(), 0);
      stream.buf().finish_digest();
      EXPECT_EQ(0, std::memcmp(stream.buf().digest(), expected, 20)) << pipe << putback;
      EXPECT_EQ(stream.next_part(), -1);
      EXPECT_TRUE(copy.str() == file);
    }
}

TEST(Mkpkg, BuildsWhatTheReaderReadsBack) {
  char dir[] = "/tmp/pkgfile-mkpkg-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string at = dir;
  mkdir((at + "/tree").c_str(), 0755);
  mkdir((at + "/tree/bin").c_str(), 0750);
  std::ofstream(at + "/tree/bin/tool") << "#!/bin/sh\n";
  chmod((at + "/tree/bin/tool").c_str(), 0755);
  std::ofstream(at + "/v2") << "variant two";
  chmod((at + "/v2").c_str(), 0600);
  std::FILE* sink = std::tmpfile();
  ASSERT_EQ(mkpkg_main({"build", "-o", at + "/p.npk", "--name", "demo", "--version", "6.48.1", "--build-time", "1700000000",
                        "--flags", "0x2", "--arch", "mipsbe", "--note", "a note", "--depends", "system:6.40:7.0",
                        "--provides", "thing:::-5", "--conflicts", "old", "--variant", "2:lib/v:" + at + "/v2",
                        "--digest", "sha256", "--keys", TEST_KEY_FILE, at + "/tree"}, sink, sink), 0);
  std::fclose(sink);
  std::ostringstream bytes;
  bytes << std::ifstream(at + "/p.npk", std::ios::binary).rdbuf();
  std::system(("rm -rf '" + at + "'").c_str());
  const std::string file = bytes.str();
  EXPECT_EQ(level_of(file), 2);
  std::stringbuf source(file, std::ios_base::in);
  pkg_stream stream(&source, true);
  stream.wanted_types = {1, 3, 4, 16, 17, 19, 23};
  stream.next_part();
  pkg_image r;
  ASSERT_TRUE(read_package_header(r, stream));
  EXPECT_EQ(r.name + " " + r.arch + " " + r.note + " " + r.depends.at(0).name + r.provides.at(0).name + r.conflicts.at(0).name,
            "demo mipsbe a note systemthingold");
  EXPECT_EQ(std::vector<uint32_t>({r.version, r.build_time, r.flags, r.depends[0].min_version, r.depends[0].max_version}),
            std::vector<uint32_t>({0x06306601, 1700000000, 2, 0x06286600, 0x07006600}));
  EXPECT_EQ(r.provides[0].extra, -5);
  ASSERT_EQ(stream.type(), part_files);
  inflate_streambuf inflater(&stream.buf());
  std::istream in(&inflater);
  std::string entries;
  for (unsigned char h[30]; in.read(reinterpret_cast<char*>(h), 30);) {
    std::string name(h[28] | h[29] << 8, '\0'), data(h[24] | h[25] << 8, '\0');
    in.read(name.data(), static_cast<std::streamsize>(name.size()));
    in.read(data.data(), static_cast<std::streamsize>(data.size()));
    char mode[32];
    std::snprintf(mode, sizeof mode, "%o/%d ", h[0] | h[1] << 8, h[23]);
    entries += mode + name + "=" + data + ";";
  }
  EXPECT_EQ(entries, "40750/0 bin=;100755/0 bin/tool=#!/bin/sh\n;100600/2 lib/v=variant two;");
}

// What extraction of a package holding `container` left: its result, its
// messages, the files listed and the staged files' modes and contents.
std::string extract(const std::string& container, const std::string& cpuinfo = "", const std::string& board = "", bool with_bars = false) {
  testsupport::device_root root;
  root.write_file("/proc/cpuinfo", cpuinfo);
  if (!board.empty()) root.write_file("/dev/flash", board);
  return pkgdb_test::run_in_root(root, [&] {
    std::stringbuf source(whole_file(part(1, pkgbuild::header_payload("demo", 0x01006600, 0, 0)) + part(part_files, container)), std::ios_base::in);
    pkg_stream stream(&source, true);
    stream.wanted_types = {part_package_header, part_files};
    pkg_repo repository;
    pkg_image record;
    manifest m;
    stream.next_part();
    bool ok = read_package_header(record, stream);
    std::string bars = pkgdb_test::printed([&](std::FILE* f) { terminal().out = f; ok = ok && extract_files(record, m, stream); });
    std::string report = ok ? "ok" : "failed";
    for (const std::string& message : terminal().messages) report += " " + message;
    for (const auto& [target, op] : m.ops) {
      std::ostringstream content;
      content << std::ifstream(op.source, std::ios::binary).rdbuf();
      report += " " + target + "=" + (content.str().size() > 20 ? std::to_string(content.str().size()) : content.str());
    }
    // The bar follows the files written, not the reader's read-ahead: the
    // count of "#" of each drawn bar.
    for (size_t at = bars.find("[#"); with_bars && at != std::string::npos; at = bars.find("[#", at + 1))
      report += " #" + std::to_string(bars.find_first_not_of('#', at + 1) - at - 1);
    discard(m);
    return report;
  });
}

std::string container(const std::vector<pkgbuild::file_entry>& entries) { return pkgbuild::zlib_compress(pkgbuild::container_content(entries)); }

TEST(Extract, Outcomes) {
  if (!pkgdb_test::can_change_root()) GTEST_SKIP() << "changing root needs root rights";
  EXPECT_EQ(extract(container({{0x4000 | 0755, 0, "etc", ""}, {0xA000 | 0777, 0, "../l", "t"}, {0100755, 0, "//etc/./x", "data"}})),
            "ok /flash/etc/x=data") << "links and directories are skipped, names made plain";
  // Files that start, end or lie across the inflater's buffer boundaries
  // arrive whole, and the bar grows file by file.
  std::vector<pkgbuild::file_entry> entries;
  for (size_t size : {0, 1, 65535, 65536, 65537, 7, 131073, 300000, 1}) {
    std::string data = e2e::noise(size, static_cast<uint32_t>(entries.size()));
    for (size_t i = 0; i < size; i += 4) data[i] = static_cast<char>('a' + entries.size());
    entries.push_back({file_mode_regular | 0644, 0, "f" + std::to_string(entries.size()), data});
  }
  std::string report = extract(container(entries), "", "", true);
  std::vector<int> bars;
  for (size_t at = report.find(" #"); at != std::string::npos; at = report.find(" #", at + 1)) bars.push_back(std::stoi(report.substr(at + 2)));
  EXPECT_EQ(report.substr(0, report.find(" #")), "ok /flash/f0= /flash/f1=" + entries[1].data + " /flash/f2=65535 /flash/f3=65536 "
            "/flash/f4=65537 /flash/f5=" + entries[5].data + " /flash/f6=131073 /flash/f7=300000 /flash/f8=" + entries[8].data);
  EXPECT_TRUE(bars.size() >= 4 && std::is_sorted(bars.begin(), bars.end()) && bars.front() < bars.back() / 4) << report;
}

// The processor class comes from the register line of /proc/cpuinfo and,
// for two register values, from the board query.
TEST(Extract, ProcessorVariants) {
  if (!pkgdb_test::can_change_root()) GTEST_SKIP() << "changing root needs root rights";
  std::vector<pkgbuild::file_entry> files = {{file_mode_regular | 0644, 0, "common", "all"}};
  for (uint8_t v = 1; v <= 4; ++v) files.push_back({file_mode_regular | 0644, v, "lib/v", std::string(1, static_cast<char>('0' + v))});
  const struct { const char *cpuinfo, *board, *variant; } cases[] = {
      {"processor : 0\npvr : 0x00840010\n", "", "1"}, {"pvr : 0x00200100\n", "", "2"},
      {"pvr : 0x80211042\n", "board-flags 0x10\n", "2"}, {"pvr : 0x13020000\n", "", "3"},
      {"pvr : 0x80212155\n", "board-flags 0\n", "4"}, {"pvr : 0x80211000\n", "", "4"},
      {"pvr : 0x12340000\n", "", nullptr}, {"model name : other\n", "", nullptr}};
  for (const auto& c : cases)
    EXPECT_EQ(extract(container(files), c.cpuinfo, c.board), std::string("ok /flash/common=all") + (c.variant ? std::string(" /flash/lib/v=") + c.variant : ""))
        << c.cpuinfo;
}

// The bar is bounded and computed in 64 bits: a total of 2^32 would wrap to
// 0 and divide by zero.
TEST(Extract, ProgressBar) {
  const struct { uint32_t declared; size_t payload; bool disabled; const char* prefix; size_t filled; } cases[] = {
      {0xFFFFFFF8u, 0, false, "installing demo-1.0 [", 0}, {0, 100, false, "installing demo-1.0 [", 55},
      {2 * 114 - 8, 100, false, "installing demo-1.0 [", 27}, {10, 1000, true, "installing  (disabled) demo-1.0 [", 43}};
  for (const auto& c : cases) {
    std::stringbuf source(pkgbuild::file_header(pkg_magic_primary, c.declared) + part(part_files, std::string(c.payload, 'p')), std::ios_base::in);
    pkg_stream stream(&source, false);
    stream.wanted_types = {part_files};
    ASSERT_EQ(stream.next_part(), part_files);
    stream.ignore(static_cast<std::streamsize>(c.payload));
    pkg_repo repository;
    pkg_image record("demo");
    record.version = 0x01006600;
    record.disabled = c.disabled;
    pkgdb_test::printed([&](std::FILE* f) { terminal().out = f; show_install_progress(record, stream); });
    const std::string prefix = c.prefix;
    EXPECT_EQ(terminal().progress_line, prefix + std::string(c.filled, '#') + std::string(76 - prefix.size() - c.filled, ' ') + "]");
  }
}

}  // namespace
