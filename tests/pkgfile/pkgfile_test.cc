// Package files: byte order, the two signature schemes against their
// references, verification levels, the stream's digest and copy, mkpkg's
// output read back, and extraction.
#include <gtest/gtest.h>
#include <nettle/sha1.h>
#include <nettle/sha2.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <random>

#include "install/unpack.h"
#include "legacy_curve.h"
#include "mkpkg_cli.h"
#include "msg/msg.h"
#include "pkgdb/pkgdb_test_tools.h"
#include "pkgfile/legacy25519.h"
#include "pkgfile/legacy_signature.h"
#include "pkgfile/pkg_stream.h"
#include "pkgfile/verify.h"
#include "platform/crypto.h"
#include "platform/keys.h"
#include "stage/manifest.h"
#include "support/scenario.h"

namespace {

using pkgbuild::part;

std::string from_hex(std::string_view hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return bytes;
}
std::string name16(std::string name) { name.resize(16, '\0'); return name; }

// A source that hands out at most 3 bytes a read, as a pipe may. (A stream
// that hashes or copies never seeks, so seeking needs no stand-in.)
struct pipe_source : memory_source {
  using memory_source::memory_source;
  size_t read(char* s, size_t n) override { return memory_source::read(s, std::min<size_t>(n, 3)); }
};

// A package file read as the installer reads one from a pipe, at its first
// wanted part; `copy` gets every byte read.
struct reading {
  std::string bytes;  // the source reads from this copy
  pipe_source source{bytes};
  string_sink copy;
  pkg_stream stream{source, true, &copy};
  uint32_t first;
  reading(std::string file, std::initializer_list<pkg_part_type> wanted) : bytes(std::move(file)) {
    stream.wanted_types = parts_of(wanted);
    first = stream.next_part();
  }
};

// The level of the first signature part, every part before it skipped; -2
// when the stream's copy, once the stream is read to its end, is not the file.
int level_of(const std::string& file) {
  reading in(file, {part_signature});
  int level = in.first == part_signature ? verify_package(in.stream) : -1;
  in.stream.next_part();
  return in.copy.bytes == file ? level : -2;
}

// Every field has four different bytes: any other byte order gives another number.
const std::string header_bytes = name16("demo") + from_hex("00660207" "04030201") + std::string(8, '\0') + from_hex("03020100");
const std::string depends_bytes = from_hex("0100") + name16("system") + from_hex("00660106" "00000000" "0a620107" "feffffff");

// The file's integers are little-endian on every processor, the router's
// big-endian one included; the cross build runs these there. The writer
// against fixed bytes here, the reader against the writer in the mkpkg round
// trip and against fixed bytes in the verification levels.
TEST(ByteOrder, WriterAgainstFixedBytes) {
  EXPECT_EQ(pkgbuild::file_header(pkg_magic_primary, 0x01020304), from_hex("1ef1d0ba04030201"));
  EXPECT_EQ(pkgbuild::part(part_bundle_members, "", 0x0A0B0C0D), from_hex("14000d0c0b0a"));
  EXPECT_EQ(pkgbuild::header_payload("demo", 0x07026600, 0x01020304, 0x00010203), header_bytes);
  EXPECT_EQ(pkgbuild::dep_list_payload({{"system", 0x06016600, 0x0701620A, -2}}), depends_bytes);
  EXPECT_EQ(pkgbuild::container_content({{file_mode_regular | 0644, 3, "bin/x", "hello"}}),
            from_hex("a481") + std::string(21, '\0') + from_hex("03" "05000000" "0500") + "bin/xhello");
}


using bytes32 = std::array<uint8_t, 32>;
bytes32 small(uint8_t value) { return bytes32{value}; }
// l*m + add, the group order l times a small m.
bytes32 order_times(unsigned m, unsigned add) {
  bytes32 out{};
  for (unsigned i = 0, carry = add; i < 32; ++i, carry >>= 8) out[i] = static_cast<uint8_t>(carry += legacy_curve::group_order[i] * m);
  return out;
}

// The installer's curve arithmetic against the signing tools' plain affine
// big-integer arithmetic: edge scalars, odd points and random ones.
TEST(Signatures, CurveAgreesWithTheReference) {
  auto ends = [](uint8_t first, uint8_t last) { bytes32 b; b.fill(0xff); b[0] = first, b[31] = last; return b; };
  // prime9: the field's prime 2^255 - 19 plus 9, the base point's x unreduced.
  const bytes32 p = std::to_array(keys::legacy_public), ones = ends(0xff, 0xff), prime9 = ends(0xed + 9, 0x7f);
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
}

// The older scheme's hash with the standard constants (the fractional parts
// of the square and cube roots of the first primes) is SHA-256 of one block.
// Its signature holds for the digest's first 20 bytes and no changed bit;
// Ed25519 covers all 32.
TEST(Signatures, OlderSchemeHashAndTampering) {
  std::vector<int> primes;
  for (int n = 2; primes.size() < 64; ++n)
    if (std::none_of(primes.begin(), primes.end(), [n](int p) { return n % p == 0; })) primes.push_back(n);
  auto fraction = [](double root) { return static_cast<uint32_t>((root - std::floor(root)) * 4294967296.0); };
  uint32_t iv[8], k[64];
  for (int i = 0; i < 64; ++i) k[i] = fraction(std::cbrt(primes[i]));
  for (int i = 0; i < 8; ++i) iv[i] = fraction(std::sqrt(primes[i]));
  uint8_t message[55], ours[32], reference[32];
  for (size_t i = 0; i < sizeof message; ++i) message[i] = static_cast<uint8_t>(i * 37 + 11);
  for (size_t size = 0; size <= 55; ++size) {
    legacy_hash_with(iv, k, message, size, ours);
    sha256_ctx sha256;
    sha256_init(&sha256), sha256_update(&sha256, size, message), sha256_digest(&sha256, 32, reference);
    EXPECT_EQ(0, std::memcmp(ours, reference, 32)) << size;
  }
  // A signed package's trailer and its SHA-1 digest, zero-padded to 32 bytes.
  auto u8 = [](const std::string& s, size_t at = 0) { return reinterpret_cast<const uint8_t*>(s.data()) + at; };
  const std::string file = e2e::pkg("signed 7.1"), trailer = file.substr(file.size() - 132);
  std::string digest(32, '\0');
  sha1_ctx sha1;
  sha1_init(&sha1), sha1_update(&sha1, file.size() - 8 - 132, u8(file, 8));
  sha1_digest(&sha1, 20, reinterpret_cast<uint8_t*>(digest.data()));
  digest[20] ^= 1;  // past the older scheme's 20 bytes, within Ed25519's 32
  EXPECT_TRUE(legacy_verify(u8(digest), u8(trailer, 20), u8(trailer, 36)));
  EXPECT_FALSE(crypto::ed25519_verify(keys::ed25519_public, u8(digest), 32, u8(trailer, 68)));
  for (size_t i = 0; i < 68; ++i) {  // the trailer's first 20 bytes are never read: the digest's instead
    std::string d = digest, t = trailer;
    if (i < 20) d[i] ^= 1; else t[i] ^= static_cast<char>(1u << (i % 8));
    EXPECT_FALSE(legacy_verify(u8(d), u8(t, 20), u8(t, 36))) << i;
  }
}

// Each digest kind and trailer, read from a pipe whose copy gets every byte.
// The first two files were made once by `mkpkg build --name kat --version 7.2
// --build-time 0x01020304 --flags 0x10203` with keys/test.keys on a
// little-endian machine: their signatures hold on every processor.
TEST(Signatures, VerificationLevels) {
  const std::string fixed_both = from_hex(
      "1ef1d0bab40000000100240000006b617400000000000000000000000000006602070403020100000000000000000302010009"
      "008400000000000000000000000000000000000000000000007100ac8a8307462642f41320bab840a48ba6a9040310e236fad7"
      "c5784cb98aa97da07828ee4c0112a7e0c7eb85526b0a7ffb48e283fa922a58e3869dad2431af28a31a186cf0809c65bf860eec"
      "b8e9d04899a062b67927770a74478720ffe58362a29b2d9e0ebabfea613bc884034d0e");
  const std::string fixed_older = from_hex(
      "1ef1d0ba740000000100240000006b617400000000000000000000000000006602070403020100000000000000000302010009"
      "00440000000000000000000000000000000000000000000000264089aacd050ba3ef46144567fae5a7246c895094dbe33ac672"
      "01f9c149914c7609f9089f8fd3b0117a4682d96e5505");
  std::string ed25519_damaged = fixed_both, scalar_reversed = fixed_older;
  ed25519_damaged[56 + 68 + 5] ^= 1;
  std::reverse(scalar_reversed.begin() + 56 + 36, scalar_reversed.begin() + 56 + 68);
  std::vector<std::tuple<std::string, std::string, int>> cases = {
      {"both", fixed_both, 2}, {"older", fixed_older, 1}, {"Ed25519 damaged, the older scheme holds", ed25519_damaged, 1},
      {"the older scalar in the other byte order", scalar_reversed, 0},
      {"the secondary magic", from_hex("fb0f10a1") + fixed_older.substr(4), 1}};
  using enum pkgbuild::digest_kind;
  using enum e2e::signing;
  for (auto [kind, how, size, level] : {std::tuple{sha1, legacy_only, 68u, 1}, {sha256, legacy_only, 100u, 1},
                                        {sha1, both, 132u, 2}, {sha256, both, 140u, 2}}) {
    pkgbuild::package_recipe made = e2e::recipe("signed 7.1");
    made.digest = kind, made.signature_size = size;
    cases.emplace_back(std::to_string(size), e2e::build(made, how), level);
  }
  for (const auto& [what, file, level] : cases) EXPECT_EQ(level_of(file), level) << what;
}

// A file's content as a report shows it: itself, or a hash when long.
std::string shown(const std::string& content) {
  return content.size() > 20 ? std::to_string(std::hash<std::string>{}(content)) : content;
}

// What extraction of the package `file` left on a device with this cpuinfo
// and board answer: its result and each staged file as a device tree shows
// it (with its mode when not 644).
std::string extract(const std::string& file, const std::string& cpuinfo = "", const std::string& board = "") {
  testsupport::device_root root;
  root.put({{"/proc/cpuinfo", cpuinfo}, {"/dev/flash", board}});
  return pkgdb_test::run_in_root(root, [&] {
    reading in(file, {part_package_header, part_files});
    pkg_image record;
    manifest m;
    bool ok = read_package_header(record, in.stream);
    pkgdb_test::printed([&](console& c) { ok = ok && extract_files(c, record, m, in.stream); });
    std::string report = ok ? "ok" : "failed";
    testsupport::tree files = root.snapshot();
    for (const auto& [target, op] : m.ops) report.append(" ").append(target).append("=").append(shown(files[op.source]));
    return report;
  });
}

// mkpkg's package of a tree and four processor variants, read back: the
// header's fields, then what extraction stages on each processor class.
// Files that start, end or lie across the inflater's buffer boundaries arrive
// whole.
TEST(Mkpkg, BuildsWhatTheReaderReadsBack) {
  testsupport::device_root dir;
  testsupport::tree tree = {{"/tree/bin", "\x01" "d750"}, {"/tree/bin/tool", testsupport::with_mode(0755, "#!/bin/sh\n")}};
  std::vector<std::string> args = {"build", "-o", dir.at("/p.npk"), "--name", "demo", "--version", "6.48.1", "--build-time",
                                   "1700000000", "--flags", "0x2", "--arch", "mipsbe", "--note", std::string(pkg_max_text + 1000, 'n'),
                                   "--depends", "system:6.40:7.0", "--provides", "thing:::-5", "--conflicts", "old",
                                   "--digest", "sha256", "--keys", TEST_KEY_FILE, dir.at("/tree")};
  const size_t sizes[] = {0, 1, 65535, 65536, 65537, 7, 131073, 300000, 1};
  for (uint32_t i = 0; i < std::size(sizes); ++i)
    tree[std::string("/tree/f").append(std::to_string(i))] = e2e::noise(sizes[i], i);
  std::string staged = "ok";
  for (const auto& [path, value] : tree)
    if (path != "/tree/bin") staged.append(" /flash").append(path, 5).append("=").append(shown(value));
  for (const char* v : {"1", "2", "3", "4"}) {
    tree[std::string("/v") + v] = v;
    args.insert(args.end(), {"--variant", std::string(v) + ":lib/v:" + dir.at("/v") + v});
  }
  dir.put(tree);
  ASSERT_EQ(mkpkg_main(args, stdout, stderr), 0);
  const std::string file = pkgdb_test::got(dir.at("/p.npk"));
  EXPECT_EQ(level_of(file), 2);
  reading in(file, {part_package_header, part_architecture, part_note, part_depends, part_provides, part_conflicts});
  pkg_image r;
  ASSERT_TRUE(read_package_header(r, in.stream));
  EXPECT_EQ(r.name + " " + r.arch + " " + r.depends.at(0).name + r.provides.at(0).name + r.conflicts.at(0).name,
            "demo mipsbe systemthingold");
  EXPECT_TRUE(r.note == std::string(pkg_max_text, 'n')) << "texts keep 64 KiB";
  EXPECT_EQ(std::vector<int64_t>({r.version, r.build_time, r.flags, r.depends[0].min_version, r.depends[0].max_version, r.provides[0].extra}),
            std::vector<int64_t>({0x06306601, 1700000000, 2, 0x06286600, 0x07006600, -5}));
  // The processor class comes from the register line of /proc/cpuinfo and,
  // for two register values, from the board query.
  const struct { const char *cpuinfo, *board, *variant; } cases[] = {
      {"processor : 0\npvr : 0x00840010\n", "", "1"}, {"pvr : 0x00200100\n", "", "2"}, {"pvr : 0x80211042\n", "board-flags 0x10\n", "2"},
      {"pvr : 0x13020000\n", "", "3"}, {"pvr : 0x80212155\n", "board-flags 0\n", "4"}, {"pvr : 0x80211000\n", "", "4"},
      {"pvr : 0x12340000\n", "", ""}, {"model name : other\n", "", ""}};
  for (const auto& c : cases)
    EXPECT_EQ(extract(file, c.cpuinfo, c.board), staged + (*c.variant ? std::string(" /flash/lib/v=").append(c.variant) : "")) << c.cpuinfo;
}

// Links and directories are skipped, whatever their names.
TEST(Extract, LinksAndDirectories) {
  pkgbuild::package_recipe made = e2e::recipe("demo 1.0");
  made.files->insert(made.files->begin(), {{0x4000 | 0755, 0, "etc", ""}, {0xA000 | 0777, 0, "../l", "t"}});
  EXPECT_EQ(extract(e2e::build(made, e2e::signing::none)), "ok /flash/bin/demo=demo-1.0");
}

// The bar fills with the bytes read of the declared total and no further (a
// header that claims no length fills it at once); the total is counted in 64
// bits: 2^32 - 8 declared bytes make 2^32, which in 32 bits is 0 and divides
// by zero. A disabled package says so in front.
TEST(Extract, ProgressBar) {
  const struct { uint32_t declared; size_t payload; bool disabled; size_t filled; } cases[] = {
      {0, 100, false, 55}, {2 * 114 - 8, 100, false, 27}, {0xFFFFFFF8, 100, false, 0}, {10, 1000, true, 43}};
  for (const auto& c : cases) {
    reading in(pkgbuild::file_header(pkg_magic_primary, c.declared) + part(part_files, std::string(c.payload, 'p')), {part_files});
    in.stream.skip(c.payload);
    pkg_image record = pkgdb_test::rec<pkg_image>("demo", 0x01006600);
    record.disabled = c.disabled;
    std::string line;
    pkgdb_test::printed([&](console& screen) { show_install_progress(screen, record, in.stream), line = screen.progress_line; });
    const std::string prefix = c.disabled ? "installing  (disabled) demo-1.0 [" : "installing demo-1.0 [";
    EXPECT_EQ(line, prefix + std::string(c.filled, '#') + std::string(76 - prefix.size() - c.filled, ' ') + "]");
  }
}

}  // namespace
