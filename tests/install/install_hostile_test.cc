// The hostile-package catalogue: files no honest writer makes, piped to the
// real program on a router that has base 7.1 installed, mostly as base 7.2
// so that a refusal must also take back the staged removal of 7.1. Each row
// states the status and the lines, and that every tree is as before (no
// staged temporary left anywhere) or, for the odd files that are sound
// packages after all, exactly what was installed. Then the ways around the
// signature through downloads, markers and "/ram", and damaged files met at
// start-up.
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "support/scenario.h"

namespace e2e {
namespace {

using Hostile = Scenarios;
using namespace std::string_literals;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
constexpr bool sanitized = __has_feature(address_sanitizer);
#else
constexpr bool sanitized = false;
#endif

const std::string pdb = "/flash/var/pdb/", dl = "/rw/pckg/.download/", newer = "base 7.2 etc/base.conf=conf72";
const std::vector<std::string> base = {"base 7.1 etc/base.conf=conf71"};
const std::string broken = "ERROR: installation of base-7.2 failed: broken package";
// With 256 MiB of address space, a buffer the size of what a declared length
// or a compressed stream claims would end the process. (Sanitizers and
// emulators need more.)
const std::vector<std::string> limited =
    sanitized || INSTALLER_EMULATED ? lines{} : lines{"prlimit", "--as=268435456", "--"};

// Whether the listing has a row that starts with `row` ("base 7.1"), its
// columns' padding aside.
bool lists(const std::string& out, const std::string& row) {
  std::istringstream in(out);
  for (std::string line, words; std::getline(in, line); words.clear()) {
    for (std::istringstream cells(line); cells >> line;) words += line + " ";
    if (words.starts_with(row + " ")) return true;
  }
  return false;
}

// Piped in and refused; a damaged length may lead the reader to silence or
// to the broken-package line (lines_are::exact_or_none).
scenario refused(const std::string& name, const std::string& bytes, int status = 1, const lines& out = {broken},
                 lines_are match = lines_are::exact) {
  return {.name = name, .given = base, .args = {"-"}, .input = bytes, .status = status, .out = out, .match = match};
}

// Sound after all: base 7.2 with its two files and those in `expect`, all
// listed in its record.
scenario installed(const std::string& name, const std::string& bytes, tree expect = {}) {
  expect.insert({{"/flash/bin/base", "base-7.2"}, {"/flash/etc/base.conf", "conf72"}});
  std::string listed;
  for (const auto& [path, content] : expect) listed.append(path.substr(1)).append("\n");
  expect.insert({{pdb + "base/files", listed}, {pdb + "base/version", version_file("7.2")}, {pdb + "base/", any}});
  return {.name = name, .given = base, .args = {"-"}, .input = bytes, .expect = expect};
}

std::string flipped(std::string bytes, size_t at) { return bytes.replace(at, 1, 1, static_cast<char>(bytes[at] ^ 0xFF)); }

std::string with_u32(std::string bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));  // little-endian
  return bytes;
}

std::string number(const char* text, size_t value) { return std::string(text).append(std::to_string(value)); }

std::string repeat(std::string_view text, size_t times) { std::string all; while (times--) all += text; return all; }

// The package of `made`, with a files part of `files` in place of its own
// unless that is empty, and a signature part of `signature` bytes, signed as
// far as that length allows.
std::string rebuilt(pkgbuild::package_recipe made, const std::string& files, uint32_t signature = 132) {
  made.signature_size = 0, made.files = files.empty() ? made.files : std::nullopt;
  std::string body;
  for (const std::string& piece : pkgbuild::package_parts(made)) body += piece;
  if (!files.empty()) body += pkgbuild::part(part_files, files);
  std::string file = pkgbuild::whole_file(body + pkgbuild::part(part_signature, std::string(signature, '\0')));
  return signature < 68 ? file : signed_with(file, signature >= 132 ? signing::both : signing::legacy_only);
}

// A zlib stream of `raw` flushed after its first `split` bytes and at its
// end, but never finished: no final block and no check value. `empty_blocks`
// empty blocks follow the first flush (zlib itself makes none: a repeated
// flush without input adds nothing).
std::string zlib_unfinished(const std::string& raw, size_t split = std::string::npos, size_t empty_blocks = 0) {
  z_stream z{};
  deflateInit(&z, 6);
  std::string out(raw.size() + 1024, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  z.avail_in = static_cast<uInt>(std::min(split, raw.size()));
  deflate(&z, Z_SYNC_FLUSH);
  const size_t flushed = out.size() - z.avail_out;
  z.avail_in = static_cast<uInt>(raw.size() - std::min(split, raw.size()));
  deflate(&z, Z_SYNC_FLUSH);
  out.resize(out.size() - z.avail_out);
  deflateEnd(&z);
  return out.insert(flushed, repeat("\0\0\0\xff\xff"s, empty_blocks));
}

TEST_F(Hostile, TruncatedFlippedOverlongAndUnsigned) {
  const std::string whole = pkg(newer), listing = pkg(newer + " depends=base");
  const auto parts = pkgbuild::list_parts(whole);
  ASSERT_EQ(parts.size(), 3u);  // header, files, signature
  const size_t header = parts[0].offset, files = parts[1].offset, signature = parts[2].offset, part = pkg_part_header_size;
  const size_t list = pkgbuild::list_parts(listing)[1].offset + part;
  std::vector<scenario> rows = {installed("whole", whole)};
  // Cut inside the file header or the first 32 bytes of the package header
  // (the flags after them are optional), a run refuses without a word;
  // anything later names the package.
  for (size_t length = 0; length < whole.size(); ++length)
    rows.push_back(refused(number("cut at ", length), whole.substr(0, length), 1,
                           length < header + part + 32 ? lines{} : lines{broken}));
  // The file header's magic decides everything, its length only the
  // progress bar. The package header's bytes 24..31 are not read but the
  // digest covers them. The first 20 bytes of the trailer are not read; a
  // damaged older signature leaves the Ed25519 one that 7.2 needs, not the
  // other way round. Outcomes: installed, broken, silent, either of these.
  const struct { const char* name; size_t at; char outcome; } flips[] = {
      {"magic", 0, 's'}, {"file length", 5, 'i'}, {"header type", header, 's'}, {"header length", header + 2, 'e'},
      {"header unread bytes", header + part + 24, 'b'}, {"files type", files, 'b'}, {"files length", files + 3, 'e'},
      {"files data", files + part + parts[1].length / 2, 'b'}, {"signature type", signature, 'b'},
      {"signature length", signature + 2, 'b'}, {"trailer byte 5", signature + part + 5, 'i'},
      {"older signature", signature + part + 40, 'i'}, {"Ed25519 signature", signature + part + 100, 'b'}};
  for (const auto& [name, at, outcome] : flips)
    rows.push_back(outcome == 'i' ? installed(name, flipped(whole, at))
                                  : refused(name, flipped(whole, at), 1, outcome == 's' ? lines{} : lines{broken},
                                            outcome == 'e' ? lines_are::exact_or_none : lines_are::exact));
  // No allocation may follow a declared length.
  std::vector<scenario> overlong = {refused("65535 entries claimed, one held", flipped(flipped(listing, list), list + 1))};
  for (const pkgbuild::part_info& info : pkgbuild::list_parts(listing))
    for (uint32_t length : {0xFFFFFFFFu, 0xFFFFFFFAu, 0x80000000u, 0x7FFFFFFFu, 0x10000000u})
      overlong.push_back(refused(number("part ", info.type) + number(" length ", length), with_u32(listing, info.offset + 2, length)));
  for (scenario& row : overlong) row.match = lines_are::exact_or_none, row.prefix = limited, rows.push_back(row);
  // 7.2 needs the Ed25519 signature: only a part of 132 bytes or more holds it.
  for (uint32_t length = 0; length <= 200; ++length)
    rows.push_back(length < 132 ? refused(number("trailer of ", length), rebuilt(recipe(newer), "", length))
                                : installed(number("trailer of ", length), rebuilt(recipe(newer), "", length)));
  // 6.48 accepts the older signature: 68 bytes hold it.
  rows.push_back({.name = "6.48, 67 bytes", .given = base, .args = {"-down", "-"}, .input = rebuilt(recipe("base 6.48"), "", 67),
                  .status = 1, .out = {"ERROR: installation of base-6.48 failed: broken package"}});
  rows.push_back({.name = "6.48, 100 bytes", .given = base, .args = {"-down", "-"}, .input = rebuilt(recipe("base 6.48"), "", 100),
                  .expect = {{"/flash/bin/base", "base-6.48"}, {"/flash/etc/base.conf", gone}, {pdb + "base/", any}}});
  play(rows);
}

TEST_F(Hostile, CompressedFiles) {
  pkgbuild::package_recipe made = recipe(newer), zeros = made;
  const std::string content = pkgbuild::container_content(*made.files);
  const std::string longer = pkgbuild::container_content(*recipe(newer + " lib/last=~3000").files);
  const std::string finished = pkgbuild::zlib_compress(longer), cut = zlib_unfinished(longer);
  const std::string deep = repeat("a/", 199) + "f", long_name = repeat("d123456/", 511) + "file.txt";
  auto files = [&](const std::string& payload) { return rebuilt(made, payload); };
  zeros.files->push_back({.name = "big", .data = std::string(256u << 20, '\0')});  // 256 MiB, small compressed
  std::vector<scenario> rows = {
      // Without a final block the stream ends with the part: sound; so are
      // passes of the inflater that yield no byte, between two entries.
      installed("no final block, 200,000 empty blocks",
                files(zlib_unfinished(content, pkgbuild::container_content({made.files->at(0)}).size(), 200000))),
      refused("the part ends inside an entry", files(cut.substr(0, cut.size() - 1000))),
      refused("the stream ends before the last entry", files(pkgbuild::zlib_compress(longer.substr(0, longer.size() - 100)))),
      // A bad check value strikes after the last entry, which is whole.
      installed("bad check value", files(flipped(finished, finished.size() - 1)), {{"/flash/lib/last", noise(3000)}}),
      refused("an invalid block inside an entry", files(zlib_unfinished(longer.substr(0, longer.size() - 1500)) + "\xff\0\0\0"s)),
      installed("bytes after the stream", files(pkgbuild::zlib_compress(content) + std::string(3000, 'x'))),
      refused("a name of 4,096 characters", build(recipe(newer + " " + long_name + "=deep")), 1,
              {("ERROR: installation of base-7.2 failed: could not create " + long_name).substr(0, 262)}),
      installed("200 components", build(recipe(newer + " " + deep + "=deep")), {{"/flash/" + deep, "deep"}}),
      refused("256 MiB of zeros", build(zeros), 1, {"ERROR: installation of base-7.2 failed: disk is too small"})};
  // The entry streams to the full flash: it is never held whole in memory.
  rows.back().flash_bytes = rows.back().ram_bytes = 2 << 20, rows.back().prefix = {"/usr/bin/time", "-f", "maxrss %M"};
  rows.back().check = [](const device_root&, const run_result& result) {
    size_t at = result.err.rfind("maxrss ");
    ASSERT_NE(at, std::string::npos) << result.err;
    EXPECT_LT(std::stoul(result.err.substr(at + 7)), sanitized ? 256u * 1024 : 32u * 1024) << "KiB resident";
  };
  play(rows);
}

TEST_F(Hostile, NamesAndBundles) {
  std::vector<scenario> rows;
  // Entry names that leave the package's tree, name a directory, garble the
  // database or write the installer's own files.
  for (const std::string& name : {"../escape"s, "bin/../../escape"s, "bin/.."s, ".."s, "."s, ""s, "/"s, "bin/"s,
                                  "bin//"s, "bin/x\0y"s, "bin/\x01x"s, "bin/x\x7f"s, "bin/x\nflash/bin/base"s,
                                  "bin/\tx"s, "var/pdb/base/version"s, "/var//pdb/./x"s, "var/pdb"s, "bootimage"s,
                                  "postlog"s, "PCKGS_CHANGED"s, "./UPGRADED"s}) {
    pkgbuild::package_recipe made = recipe(newer);
    made.files->push_back({.name = name, .data = "evil"});
    rows.push_back(refused("entry \"" + name + "\"", build(made)));
  }
  // Repeated and "." components collapse; of names that then collide the
  // later entry wins, and the path is listed once.
  for (const char* name : {"lib//x", "//lib/x", "./lib/x", "lib/./x"})
    rows.push_back(installed(name, build(recipe(newer + " " + name + "=x")), {{"/flash/lib/x", "x"}}));
  for (const char* names : {"lib/x=1 /lib/x=2", "/lib/x=1 lib/x=2", "lib/x=1 lib//x=1 ./lib/x=2"})
    rows.push_back(installed(names, build(recipe(newer + " " + names)), {{"/flash/lib/x", "2"}}));
  // Package and member names that would leave the database.
  for (const std::string& name : {""s, "."s, ".."s, "../../x"s, "a/b"s, "/"s, "x\n"s, "\x01"s, "\x7f"s}) {
    pkgbuild::package_recipe made = recipe("evil 7.2");
    pkgbuild::bundle_recipe kit;
    made.name = name, kit.name = "kit", kit.version = version("7.2");
    std::string member = build(made), kit_file, err;
    pkgbuild::build_bundle(kit, {pkg("m1 7.2"), member}, &kit_file, &err);
    rows.push_back(refused("package \"" + name + "\"", member, 1, {}));
    rows.push_back(refused("member \"" + name + "\"", kit_file, 2, {}));
  }
  // Bundles in bundles, a member named like its bundle, 1,000 members whose
  // last is unsigned. "base" is a package of its own: a bundle named "base"
  // would remove its files and leave a record of any version the forger chose.
  const std::string inner = pkg("bundle inner 7.2 + m1 7.2").substr(pkg_file_header_size);
  const std::string outer = pkgbuild::part(part_bundle_header, pkgbuild::header_payload("outer", version("7.2"), 0, 0));
  std::string thousand = "bundle big 7.2";
  for (int i = 0; i < 1000; ++i) thousand.append(number(" + m", i)).append(" 7.2 bin/m=member");
  rows.push_back(refused("a bundle as the only member", pkgbuild::whole_file(outer + inner), 2, {}));
  rows.push_back(refused("a bundle after a member", pkgbuild::whole_file(outer + pkg("m2 7.2").substr(8) + inner), 2, {}));
  rows.push_back(refused("a member named like the bundle", pkg("bundle m3 7.2 + m3 7.2"), 2, {}));
  rows.push_back(refused("a forged bundle header around a signed member", pkg("bundle base 99.0 + m1 7.2"), 2,
                         {"ERROR: can not install base-99.0: base-7.1 is installed and is not a bundle"}));
  rows.push_back(refused("1,000 members", pkg(thousand + " unsigned"), 2, {"ERROR: installation of big-7.2 failed: broken package"}));
  rows.back().flash_bytes = 512u << 20, rows.back().ram_bytes = 64u << 20;
  play(rows);
}

// Every refusal used to print the same "broken package", or nothing at all:
// each now names its cause on standard error, quiet or not.
TEST_F(Hostile, EveryRefusalSaysWhy) {
  const std::string level = "its signature holds at level 1 (the older scheme); ", needs = "7.2 needs level 2 (Ed25519)";
  const struct { std::string bytes, out, why; int status = 1; bool secure = false; } cases[] = {
      {pkg(newer + " legacy"), broken, "base-7.2: " + level + needs},
      {pkg("base 6.48 legacy"), "ERROR: installation of base-6.48 failed: broken package",
       "base-6.48: " + level + "/ram/SECURE requires level 2 (Ed25519) of every package", 1, true},
      {pkg(newer + " unsigned"), broken, "base-7.2: no signature holds for its digest; " + needs},
      {pkg(newer + " ../escape=x"), broken, "base-7.2: entry \"../escape\" would leave the package's tree"},
      {pkg(newer + " var/pdb/other/version=1"), broken,
       "base-7.2: entry \"var/pdb/other/version\" would write the installer's own var/pdb/other/version"},
      {pkg(newer).substr(0, pkg(newer).size() - 100), broken,
       "base-7.2: part 9 (signature) declares 132 bytes, but the file ends 32 bytes into it"},
      {pkgbuild::whole_file(pkgbuild::part(part_package_header, std::string(20, 'x'))), "",
       "standard input: part 1 (package header) holds 20 bytes, too few for a package header"},
      {"#!/bin/sh\necho hello\n", "", "standard input: not a package file (its magic is 0x622f2123)"},
      {"", "", "standard input: it is empty"},
      {pkg("bundle kit 7.2 + m1 7.2 + m2 7.2 unsigned"), "ERROR: installation of kit-7.2 failed: broken package",
       "kit-7.2: member m2-7.2: no signature holds for its digest; " + needs, 2}};
  std::vector<scenario> rows;
  for (const auto& c : cases)
    for (bool quiet : {false, true}) {
      rows.push_back(refused(c.why, c.bytes, c.status, quiet || c.out.empty() ? lines{} : lines{c.out}));
      if (c.secure) rows.back().args = {"-down", "-"}, rows.back().put = {{"/ram/SECURE", ""}};
      if (quiet) rows.back().args.insert(rows.back().args.begin(), "-q"), rows.back().name += ", quiet";
      rows.back().err = "installer: " + c.why + "\n";
    }
  play(rows);
}

TEST_F(Hostile, FilesThatAreNotWhatTheySeem) {
  // An unsigned bundle with an old "system" member writes /rw/CONVERT before
  // anything is checked; a refusal writes the post-log; a stream install its
  // received copy. None may write through a link or a second name (the boot
  // image would change).
  const std::string boot = "/flash/bootimage", to_boot = testsupport::link_to(boot);
  std::vector<scenario> rows;
  for (const char* path : {"/rw/CONVERT", "/flash/postlog", "/flash/var/pdb/image"})
    for (bool hard : {false, true}) {
      rows.push_back(refused(std::string(path) + (hard ? " = " : " -> ") + boot, pkg("bundle kit 7.2 + system 6.40 unsigned"),
                             2, {}, lines_are::unchecked));
      rows.back().put = {{boot, "boot image"}, {path, hard ? gone : to_boot}};
      rows.back().expect = {{std::string(path) + "*", any}, {"/rw/CONVERT*", any}};
      if (hard)  // a second name of the boot image
        rows.back().prepare = [=](auto& root) { ASSERT_EQ(link(root.at(boot).c_str(), root.at(path).c_str()), 0); };
    }
  // In a scan, a link to a genuine package elsewhere and a FIFO are broken
  // packages and the scan goes on; the markers of an upgrade are staged and
  // renamed into place, so links standing there are replaced.
  rows.push_back({.name = "downloads and markers that are not regular files", .given = base,
                  .put = {{"/rw/elsewhere.npk", pkg("linked 7.1 image=linked")}, {dl + "fifo.npk", testsupport::fifo},
                          {dl + "link.npk", testsupport::link_to("/rw/elsewhere.npk")}, {boot, "boot image"},
                          {dl + "kernel.npk", pkg("kernel 7.2 boot")}, {"/flash/PCKGS_CHANGED", to_boot}, {"/flash/UPGRADED", to_boot}},
                  .out = {"ERROR: broken package fifo.npk", "ERROR: broken package link.npk", "installed kernel-7.2"},
                  .match = lines_are::any_order, .expect = {{"/flash/PCKGS_CHANGED", ""}, {"/flash/UPGRADED", ""},
                  {"/flash/bin/kernel", "kernel-7.2"}, {pdb + "kernel/", any}}, .prefix = {"timeout", "60"}});
  // A forged stored image of the installed package, writable by anyone, is
  // ignored: base stays at its genuine version.
  rows.push_back({.name = "a stored image others may write", .given = base,
                  .put = {{"/rw/pckg/.images/base", testsupport::with_mode(0666, pkg("base 1.0 depends=nothing unsigned"))}},
                  .args = {"--show"}, .match = lines_are::unchecked, .check = [](const device_root&, const run_result& result) {
                    EXPECT_TRUE(result.out.starts_with("WARNING: ignored /rw/pckg/.images/base: it is not owned by the "
                                                       "installer's user or others may write it\n") &&
                                lists(result.out, "base 7.1")) << result.out;
                  }});
  play(rows);
}

TEST_F(Hostile, SavedUpgrades) {
  // A saved manifest written by hand: each line is judged before anything
  // is committed.
  const tree start = {{"/flash/bin/.installer-GOOD01", "staged"}, {"/rw/secret", "keep me"}, {dl + "pkg.npk", "a download"}};
  const std::string staged = " /flash/bin/.installer-GOOD01", target = "the target is not below /flash/",
                    neither = "the source is neither a staged file nor a download", link = "the link does not point below /flash/",
                    removed = "the path removed is not below /flash/ or /rw/pckg/.images/";
  const std::pair<std::string, std::string> cases[] = {
      {"M /rw/target" + staged, target}, {"M /flash/../rw/x" + staged, target}, {"M /flash/bin/x /rw/secret", neither},
      {"M /flash/bin/x /rw/.installer-ABCDEF", neither}, {"M /flash/bin/x /flash/var/.installer-ABCDEF", neither},
      {"M /flash/bin/x " + dl + "pkg.npk", "the download was never verified"}, {"L /flash/bin/x /rw/secret", link},
      {"L /flash/bin/x /flash/./bin", link}, {"U /flash/", removed}, {"U /rw/secret", removed},
      {"U /flash/bin/\\011x", removed}, {"M /flash/bin/x", "malformed"}};
  std::vector<scenario> rows;
  for (const auto& [line, why] : cases) {
    rows.push_back({.name = line, .given = base, .put = start, .args = {"--commit"}, .status = 1,
                    .out = {"ERROR: refusing /ram/MANIFEST: line 2 \"" + line + "\": " + why}});
    rows.back().put["/ram/MANIFEST"] = "M /flash/bin/new" + staged + "\n" + line + "\n";
  }
  // --cancel deletes what staging could have made for a line, and only a
  // regular file: nothing a hand-written line names elsewhere.
  rows.push_back({.name = "--cancel", .given = base, .put = start, .args = {"--cancel"},
                  .expect = {{"/ram/.installer-GOOD02", gone}, {"/flash/bin/.installer-GOOD01", gone}, {"/ram/MANIFEST", gone}}});
  rows.back().put.insert({{"/rw/.installer-ABCDEF", "not staged here"}, {"/flash/var/.installer-ABCDEF", "not on the way"},
                          {"/ram/.installer-GOOD02", "staged in ram"}, {"/ram/.installer-LINK01", testsupport::link_to("/rw/secret")},
                          {"/ram/MANIFEST", "M /flash/bin/a /rw/.installer-ABCDEF\nM /flash/bin/b /flash/var/.installer-ABCDEF\n"
                                            "M /flash/bin/c /ram/.installer-LINK01\nM /flash/bin/d /ram/.installer-GOOD02\n"
                                            "M /flash/bin/e /flash/bin/.installer-GOOD01\n"}});
  // Whoever may write the download directories or "/ram" must not get
  // unsigned bytes onto flash: a download changed after it was verified is
  // refused at --commit.
  const std::string genuine = pkg("kernel 7.2 image=genuine-kernel"), forged = pkg("kernel 7.2 image=forged-kernel! unsigned");
  ASSERT_EQ(genuine.size(), forged.size());
  const std::string download = dl + "kernel.npk", other = dl + "other";
  for (uint64_t flash : {0u, 4u << 20})  // on a tmpfs the download crosses file systems
    for (bool renamed : {true, false}) {  // another file renamed over it, or the file written over
      rows.push_back({.name = number("--safe, flash bytes ", flash), .given = base, .put = {{download, genuine}},
                      .args = {"--safe"}, .match = lines_are::unchecked, .expect = {{"/ram/MANIFEST*", any},
                      {"/flash/*.installer-*", any}, {pdb + ".staging", any}}, .flash_bytes = flash});
      rows.push_back({.name = "changed, then --commit", .then = true, .args = {"--commit"}, .status = 1,
                      .out = {"finishing install... \b ", "ERROR: commit failed: " + download + " is not the package file that was verified"},
                      .expect = {{download, any}, {other, gone}, {"/ram/MANIFEST.verified", any}},
                      .flash_bytes = flash, .prepare = [=](const device_root& root) {
                        root.write_file(renamed ? other : download, forged);
                        ASSERT_TRUE(!renamed || rename(root.at(other).c_str(), root.at(download).c_str()) == 0);
                      }});
    }
  play(rows);
}

// Stored images and database files damaged at start-up: with `path`
// holding `content`, --show lists base; when asked, a fresh package then
// installs beside the damage, with its record, and base's own files survive
// (unless the damage marks base for removal), /rw/secret always.
void survive(std::vector<scenario>* rows, const std::string& name, const std::string& path, const std::string& content,
             bool install_too, bool keeps_base = true) {
  rows->push_back({.name = name, .given = {base[0], "bundle kit 7.1 + m1 7.1 + m2 7.1"},
                   .put = {{"/rw/secret", "keep me"}, {path, content}}, .args = {"--show"}, .match = lines_are::unchecked,
                   .err = "", .check = [](const device_root&, const run_result& result) {
                     EXPECT_TRUE(lists(result.out, "base")) << result.out;
                   }});
  if (!install_too) return;
  tree expect = {{"/flash/bin/fresh", "fresh-7.1"}, {pdb + "fresh/version", version_file("7.1")}, {"/flash/", any}};
  if (keeps_base) expect["/flash/bin/base"] = "base-7.1";
  rows->push_back({.name = name + ", then an install", .then = true, .args = {"-"}, .input = pkg("fresh 7.1"),
                   .match = lines_are::unchecked, .expect = expect});
}

TEST_F(Hostile, DamagedAtStartUp) {
  const std::string kit = pkg("bundle kit 7.1 + m1 7.1 + m2 7.1"), image = pdb + "kit/image", huge(1 << 20, 'w');
  std::vector<scenario> rows;
  for (size_t length = 0; length < kit.size(); ++length)
    survive(&rows, number("cut at ", length), image, kit.substr(0, length), length % 97 == 0);
  pkgbuild::package_recipe evil = recipe("evil 7.1");
  for (const char* name : {"..", ".", "", "../../rw", "a/b", "x\n"})
    evil.name = name, survive(&rows, "an image of \""s + name + "\"", image, build(evil), true);
  // Database files: the damage may mark base for removal.
  const std::pair<const char*, std::string> files[] = {
      {"version", "-1 2"}, {"version", "99999999999 0"}, {"version", ""}, {"version", std::string("\0\xff\x01", 3)},
      {"version", huge}, {"deps", "system 1"}, {"deps", huge + " 1 2"}, {"deps", std::string("a\0b 1 2\n", 8)},
      {"provides", "p 1 2\n"}, {"provides", "p 1 2 99999999999\n"}, {"conflicts", "c -5 0\n"}, {"bundle", huge},
      {"bundle", "../../rw\n"}, {"files", huge + "\n"}, {"files", std::string("flash/bin/base\0tail\n", 20)},
      {"files", "flash/../rw/secret\n../rw/secret\n/flash/../../rw/secret\nflash/\nflash\n"},
      {"disabled", huge}, {"enabled", std::string("\xff", 1)}};
  for (const auto& [file, content] : files) survive(&rows, number(file, content.size()), pdb + "base/" + file, content, true, false);
  survive(&rows, "an overlong schedule", "/ram/pdb/base/schedule", huge, false);
  // "uninstall" of a package whose list points outside flash removes only
  // its own files, and no listed directory.
  rows.push_back({.name = "an uninstall of a list that points outside", .given = {base[0], "bundle kit 7.1 + m1 7.1"},
                  .put = {{"/rw/secret", "keep me"}, {"/ram/pdb/base/schedule", "uninstall"}, {pdb + "base/files",
                          "flash/bin/base\nflash/../rw/secret\n../../rw/secret\nflash/etc\n"}}, .args = {"--cleanup"},
                  .match = lines_are::unchecked, .expect = {{"/flash/bin/base", gone}, {pdb + "base/", gone}}});
  play(rows);
}

}  // namespace
}  // namespace e2e
