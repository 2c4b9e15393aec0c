// The hostile-package catalogue: package files that no honest writer makes,
// each piped to the real program (`installer -r ROOT -`) on a router that
// already has a package installed. Every case states the status, the lines
// the user sees, and that the installed tree, the ram tree and the stored
// images are exactly as before (no staged temporary left anywhere), or, for
// the few odd files that are sound packages after all, exactly what was
// installed. The cases build their files through the mkpkg library, mostly
// as a newer version of the installed package, so that a refusal must also
// take back the staged removal of the installed version.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "install/install_e2e.h"
#include "keyfile.h"
#include "pkgsign.h"

namespace installtest {
namespace {

using testsupport::run_options;
using testsupport::run_result;
using lines = std::vector<std::string>;
using tree = std::map<std::string, std::string>;

const uint32_t v71 = final_version(7, 1);
const uint32_t v72 = final_version(7, 2);
const std::string broken_base = "ERROR: installation of base-7.2 failed: broken package";

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

// Flash and ram on tmpfs for the run where the machine allows it: the cases
// that stage thousands of files then measure the installer, not the disk.
run_options in_memory() {
  run_options opts;
  std::string why;
  if (testsupport::can_mount_tmpfs(&why)) {
    opts.flash_bytes = 512u << 20;
    opts.ram_bytes = 64u << 20;
  }
  return opts;
}

// The newer version of the installed package that most cases start from.
pkgbuild::package_recipe newer_base() {
  pkgbuild::package_recipe recipe = package("base", v72, "base 7.2");
  recipe.files->push_back(file("etc/base.conf", "conf 7.2"));
  return recipe;
}

std::string with_byte_flipped(std::string bytes, size_t at) {
  bytes[at] = static_cast<char>(bytes[at] ^ 0xFF);
  return bytes;
}

std::string with_u32(std::string bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
  return bytes;
}

// A zlib stream of `raw` whose deflate data is flushed but never finished:
// no final block and no Adler-32 check. Each of `empty_blocks` further
// flushes adds an empty stored block that inflates to nothing.
std::string zlib_unfinished(const std::string& raw, size_t empty_blocks = 0) {
  z_stream z{};
  EXPECT_EQ(deflateInit(&z, 6), Z_OK);
  std::string out(raw.size() + 1024 + empty_blocks * 8, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
  z.avail_in = static_cast<uInt>(raw.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_SYNC_FLUSH), Z_OK);
  for (size_t i = 0; i < empty_blocks; ++i) deflate(&z, Z_SYNC_FLUSH);
  out.resize(out.size() - z.avail_out);
  deflateEnd(&z);
  return out;
}

const key_file& test_keys() {
  static key_file keys;
  static bool loaded = [] {
    std::string err;
    bool ok = read_key_file(testsupport::test_key_file(), &keys, &err);
    EXPECT_TRUE(ok) << err;
    return ok;
  }();
  (void)loaded;
  return keys;
}

// Signs every package of a hand-made file in place.
std::string signed_with(std::string file, sign_scheme scheme = sign_scheme::both) {
  std::string err;
  EXPECT_TRUE(pkgbuild::sign_parts(&file, key_file_signer(test_keys(), scheme), &err)) << err;
  return file;
}

uint16_t part_type(const std::string& part) {
  return static_cast<uint16_t>(static_cast<unsigned char>(part[0]) |
                               static_cast<unsigned char>(part[1]) << 8);
}

// The package of `recipe` with `files_part` (a whole part, header included) in
// place of its files, signed with both schemes unless `sign` is false.
std::string with_files_part(pkgbuild::package_recipe recipe, const std::string& files_part,
                            bool sign = true) {
  recipe.files.reset();
  std::string body;
  for (const std::string& part : pkgbuild::package_parts(recipe)) {
    if (part_type(part) == part_signature) body += files_part;
    body += part;
  }
  std::string file = pkgbuild::whole_file(body);
  return sign ? signed_with(file) : file;
}

std::string with_files_payload(const pkgbuild::package_recipe& recipe, const std::string& payload,
                               bool sign = true) {
  return with_files_part(recipe, pkgbuild::part(part_files, payload), sign);
}

// Offset of the payload of the first part of `type` in `file`.
size_t payload_offset(const std::string& file, uint16_t type) {
  for (const pkgbuild::part_info& info : pkgbuild::list_parts(file))
    if (info.type == type) return info.offset + pkg_part_header_size;
  ADD_FAILURE() << "no part of type " << type;
  return 0;
}

class HostileCatalogue : public InstallE2E {
 protected:
  void SetUp() override {
    InstallE2E::SetUp();
    if (IsSkipped()) return;
    pkgbuild::package_recipe base = package("base", v71, "base 7.1");
    base.files->push_back(file("etc/base.conf", "conf 7.1"));
    ASSERT_NO_FATAL_FAILURE(install(build(base)));
    remember();
  }

  // The trees that every case must leave as they are.
  void remember() {
    flash_ = flash_state(root);
    ram_ = root.snapshot("/ram");
    rw_ = root.snapshot("/rw");
  }

  // A case that must be refused with `status` and exactly `expected` lines,
  // leaving every tree as it was.
  void refused(const std::string& label, const std::string& bytes, int status,
               const lines& expected, run_options opts = {}) {
    SCOPED_TRACE(label);
    run_result result = stream(bytes, {}, opts);
    EXPECT_EQ(result.status, status) << result.out << result.err;
    EXPECT_EQ(visible_lines(result.out), expected) << result.err;
    expect_unchanged();
  }

  // A case whose output may be either of two refusals, depending on where a
  // damaged length leads the reader: silence or the broken-package line.
  void refused_any(const std::string& label, const std::string& bytes, run_options opts = {}) {
    SCOPED_TRACE(label);
    run_result result = stream(bytes, {}, opts);
    EXPECT_EQ(result.status, 1) << result.out << result.err;
    lines seen = visible_lines(result.out);
    EXPECT_TRUE(seen.empty() || seen == lines{broken_base}) << result.out;
    expect_unchanged();
  }

  // A case that is a sound package after all: it installs base 7.2 with
  // `files`, then the trees are put back for the next case.
  void installed(const std::string& label, const std::string& bytes,
                 const std::map<std::string, std::string>& files) {
    SCOPED_TRACE(label);
    run_result result = stream(bytes);
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(visible_lines(result.out), lines{}) << result.out;
    EXPECT_EQ(root.read_file("/flash/var/pdb/base/version"), version_line(v72, 1700000000));
    std::string listed;
    for (const auto& [path, content] : files) {
      EXPECT_EQ(root.read_file(path), content) << path;
      listed += path.substr(1) + "\n";
    }
    EXPECT_EQ(root.read_file("/flash/var/pdb/base/files"), listed);
    restore();
  }

  // The trees are exactly as after the set-up; when they are not, the case
  // fails and the trees are put back, so that the next case starts clean.
  void expect_unchanged() {
    tree flash = flash_state(root), ram = root.snapshot("/ram"), rw = root.snapshot("/rw");
    EXPECT_EQ(flash, flash_);
    EXPECT_EQ(ram, ram_);
    EXPECT_EQ(rw, rw_);
    if (flash != flash_ || ram != ram_ || rw != rw_) restore();
  }

  // Puts the trees back as they were after the set-up.
  void restore() {
    for (const auto& [dir, saved] : {std::pair{"/flash", &flash_}, {"/ram", &ram_}, {"/rw", &rw_}}) {
      root.remove(dir);
      root.make_dirs(dir);
      for (const auto& [path, entry] : *saved) {
        std::string device_path = std::string(dir) + "/" + path;
        if (entry[0] == 'd') {
          root.make_dirs(device_path);
          chmod(root.at(device_path).c_str(), std::strtoul(entry.c_str() + 2, nullptr, 8));
        } else if (entry[0] == 'l') {
          root.symlink(entry.substr(2), device_path);
        } else {
          size_t space = entry.find(' ', 2);
          root.write_file(device_path, entry.substr(space + 1),
                          static_cast<unsigned>(std::strtoul(entry.c_str() + 2, nullptr, 8)));
        }
      }
    }
    EXPECT_EQ(flash_state(root), flash_);
  }

  tree flash_, ram_, rw_;
};

// The package of `recipe` with a signature part of exactly `length` bytes,
// holding the trailer that fits it: both signatures from 132 bytes on, the
// older one alone from 68, nothing readable below.
std::string with_signature_length(pkgbuild::package_recipe recipe, uint32_t length) {
  recipe.signature_size = length == 0 ? 1 : length;
  std::string body;
  for (const std::string& part : pkgbuild::package_parts(recipe))
    body += part_type(part) == part_signature ? pkgbuild::part(part_signature, std::string(length, '\0')) : part;
  std::string file = pkgbuild::whole_file(body);
  if (length >= 132) return signed_with(file);
  if (length >= 68) return signed_with(file, sign_scheme::legacy_only);
  return file;
}

TEST_F(HostileCatalogue, EveryTruncationOfASignedPackage) {
  std::string whole = build(newer_base());
  std::vector<pkgbuild::part_info> parts = pkgbuild::list_parts(whole);
  ASSERT_EQ(parts.size(), 3u);  // header, files, signature
  // Cut inside the file header or the first 32 bytes of the package header
  // (the flags that follow are optional): the header is unreadable, which
  // installation refuses without a word. Anything later names the package
  // and is a broken package.
  size_t header_end = parts[0].offset + pkg_part_header_size + 32;
  for (size_t length = 0; length < whole.size(); ++length) {
    lines expected = length < header_end ? lines{} : lines{broken_base};
    refused("cut at " + std::to_string(length), whole.substr(0, length), 1, expected);
  }
  installed("whole file", whole, {{"/flash/bin/base", "base 7.2"}, {"/flash/etc/base.conf", "conf 7.2"}});
}

TEST_F(HostileCatalogue, AFlippedByteInEveryPart) {
  std::string whole = build(newer_base());
  std::vector<pkgbuild::part_info> parts = pkgbuild::list_parts(whole);
  ASSERT_EQ(parts.size(), 3u);
  size_t header = parts[0].offset, files = parts[1].offset, signature = parts[2].offset;
  size_t trailer = signature + pkg_part_header_size;
  const std::map<std::string, std::string> all_files = {{"/flash/bin/base", "base 7.2"},
                                                        {"/flash/etc/base.conf", "conf 7.2"}};
  // The file header's magic decides everything; its length only the
  // progress bar, which is why a damaged length is harmless.
  refused("magic", with_byte_flipped(whole, 0), 1, {});
  installed("file length", with_byte_flipped(whole, 5), all_files);
  // Package header part: its type (the header is then skipped as unknown and
  // nothing names a package), its length, the unread bytes 24..31 of its
  // payload, which the digest still covers, and the version.
  refused("header type", with_byte_flipped(whole, header), 1, {});
  refused_any("header length", with_byte_flipped(whole, header + 2));
  refused("header unread bytes", with_byte_flipped(whole, header + pkg_part_header_size + 24), 1,
          {broken_base});
  refused("header version build byte", with_byte_flipped(whole, header + pkg_part_header_size + 16), 1,
          {"ERROR: installation of base-7.2.255 failed: broken package"});
  // Files part: type (the files are skipped, the signature then fails), length
  // and the compressed data.
  refused("files type", with_byte_flipped(whole, files), 1, {broken_base});
  refused_any("files length", with_byte_flipped(whole, files + 3));
  refused("files data", with_byte_flipped(whole, files + pkg_part_header_size + parts[1].length / 2), 1,
          {broken_base});
  // Signature part: type and length, then the trailer. Its first 20 bytes
  // are not read; a damaged older signature leaves the Ed25519 one, which
  // is what version 7.2 needs; a damaged Ed25519 signature leaves only the
  // older one, which it does not accept.
  refused("signature type", with_byte_flipped(whole, signature), 1, {broken_base});
  refused("signature length", with_byte_flipped(whole, signature + 2), 1, {broken_base});
  installed("trailer byte 5", with_byte_flipped(whole, trailer + 5), all_files);
  installed("older signature byte", with_byte_flipped(whole, trailer + 40), all_files);
  refused("Ed25519 signature byte", with_byte_flipped(whole, trailer + 100), 1, {broken_base});
}

TEST_F(HostileCatalogue, DeclaredLengthsUpTo4GiB) {
  pkgbuild::package_recipe recipe = newer_base();
  recipe.note = "note";
  recipe.depends = std::vector<pkg_dep>{dep("base")};
  std::string whole = build(recipe);
  // No allocation may follow a declared length: with the address space
  // limited to 256 MiB, one would end the process. (The sanitizers reserve
  // terabytes of address space; their own allocator reports a huge request.)
  run_options limited;
  // Under an emulator the emulator itself needs more than that.
  if (!sanitized && !INSTALLER_EMULATED) limited.prefix = {"prlimit", "--as=268435456", "--"};
  for (const pkgbuild::part_info& info : pkgbuild::list_parts(whole)) {
    for (uint32_t length : {0xFFFFFFFFu, 0xFFFFFFFAu, 0x80000000u, 0x7FFFFFFFu, 0x10000000u}) {
      std::string label = "part " + std::to_string(info.type) + " length " + std::to_string(length);
      refused_any(label, with_u32(whole, info.offset + 2, length), limited);
    }
  }
  // A dependency list that claims 65535 entries and holds one.
  size_t list = payload_offset(whole, part_depends);
  refused_any("entry count", with_byte_flipped(with_byte_flipped(whole, list), list + 1), limited);
  for (uint32_t length : {0xFFFFFFFFu, 0xFFFFFFF8u, 0u})
    installed("file header length " + std::to_string(length), with_u32(whole, 4, length),
              {{"/flash/bin/base", "base 7.2"}, {"/flash/etc/base.conf", "conf 7.2"}});
}

TEST_F(HostileCatalogue, InflatingFarBeyondTheFlash) {
  std::string why;
  if (!testsupport::can_mount_tmpfs(&why)) GTEST_SKIP() << why;
  pkgbuild::package_recipe recipe = newer_base();
  recipe.files->push_back(file("big", std::string(256u << 20, '\0')));  // 256 MiB of zeros
  std::string bytes = build(recipe);
  ASSERT_LT(bytes.size(), 1u << 20);  // compressed it is small
  run_options opts;
  opts.flash_bytes = 2u << 20;
  opts.ram_bytes = 2u << 20;
  opts.prefix = {"/usr/bin/time", "-f", "maxrss %M"};
  SCOPED_TRACE("256 MiB file");
  run_result result = stream(bytes, {}, opts);
  EXPECT_EQ(result.status, 1) << result.out << result.err;
  EXPECT_EQ(visible_lines(result.out), lines{"ERROR: installation of base-7.2 failed: disk is too small"});
  expect_unchanged();
  size_t at = result.err.rfind("maxrss ");
  ASSERT_NE(at, std::string::npos) << result.err;
  unsigned long kib = std::strtoul(result.err.c_str() + at + 7, nullptr, 10);
  EXPECT_LT(kib, sanitized ? 256u * 1024 : 32u * 1024) << "peak resident memory in KiB";
}

TEST_F(HostileCatalogue, ZlibStreamsThatNeverEndOrEndEarly) {
  pkgbuild::package_recipe recipe = newer_base();
  std::string content = pkgbuild::container_content(*recipe.files);
  std::vector<pkgbuild::file_entry> longer = *recipe.files;
  longer.push_back(file("lib/last", noise(3000)));
  std::string longer_content = pkgbuild::container_content(longer);
  const std::map<std::string, std::string> all_files = {{"/flash/bin/base", "base 7.2"},
                                                        {"/flash/etc/base.conf", "conf 7.2"}};
  // Without its final block the stream ends with the part; every entry is
  // whole and the signature holds, so the package is sound.
  installed("no final block", with_files_payload(recipe, zlib_unfinished(content)), all_files);
  // 200,000 empty blocks that inflate to nothing, then the part ends.
  installed("endless empty blocks", with_files_payload(recipe, zlib_unfinished(content, 200000)), all_files);
  // The part ends inside an entry's data: the stream is cut in the middle.
  std::string cut_stream = zlib_unfinished(longer_content);
  ASSERT_GT(cut_stream.size(), 3000u);
  refused("ends inside an entry", with_files_payload(recipe, cut_stream.substr(0, cut_stream.size() - 1000)), 1,
          {broken_base});
  // The zlib stream ends (final block, check value) before the last entry's
  // data is complete.
  refused("ends early", with_files_payload(recipe, pkgbuild::zlib_compress(longer_content.substr(0, longer_content.size() - 100))),
          1, {broken_base});
  // A damaged check value strikes after the last entry: the container ends
  // as if it were complete, and the signature holds over what was sent.
  std::string finished = pkgbuild::zlib_compress(longer_content);
  installed("bad check value", with_files_payload(recipe, with_byte_flipped(finished, finished.size() - 1)),
            {{"/flash/bin/base", "base 7.2"}, {"/flash/etc/base.conf", "conf 7.2"}, {"/flash/lib/last", noise(3000)}});
  // An invalid block in the middle of the last entry's data.
  std::string half = zlib_unfinished(longer_content.substr(0, longer_content.size() - 1500));
  refused("invalid block inside an entry", with_files_payload(recipe, half + std::string("\xff\x00\x00\x00", 4)), 1,
          {broken_base});
  // Damage in transit, after signing: the signature no longer holds.
  std::string sent = with_files_payload(recipe, finished);
  refused("damaged in transit", with_byte_flipped(sent, payload_offset(sent, part_files) + finished.size() / 2), 1,
          {broken_base});
  // Bytes after the end of the zlib stream are not read.
  installed("trailing bytes", with_files_payload(recipe, pkgbuild::zlib_compress(content) + std::string(3000, 'x')),
            all_files);
}

TEST_F(HostileCatalogue, AHundredThousandEntries) {
  pkgbuild::package_recipe recipe = newer_base();
  for (int i = 0; i < 100000; ++i) recipe.files->push_back(file("many/f" + std::to_string(i), "x"));
  // Unsigned: every file is staged before the signature fails, and every
  // staged file must be gone again.
  refused("100,000 files, no signature", build(recipe, signing::none), 1, {broken_base}, in_memory());
}

TEST_F(HostileCatalogue, LongPathsAndDeepPaths) {
  std::string long_name;
  while (long_name.size() < 4096 - 8) long_name += "d123456/";
  long_name += "file.txt";
  ASSERT_EQ(long_name.size(), 4096u);
  pkgbuild::package_recipe recipe = newer_base();
  recipe.files->push_back(file(long_name, "deep"));
  std::string body = "installation of base-7.2 failed: could not create " + long_name + ": File name too long";
  refused("4,096 characters", build(recipe), 1, {"ERROR: " + body.substr(0, 255)});

  std::string deep;
  for (int i = 0; i < 199; ++i) deep += "a/";
  deep += "f";
  recipe = newer_base();
  recipe.files->push_back(file(deep, "deep"));
  installed("200 components", build(recipe),
            {{"/flash/bin/base", "base 7.2"}, {"/flash/etc/base.conf", "conf 7.2"}, {"/flash/" + deep, "deep"}});
}

TEST_F(HostileCatalogue, EntryNames) {
  // Names that leave the package's tree, name a directory, or would garble
  // the database: the package is broken and nothing is written.
  for (const std::string& name : {std::string("../escape"), std::string("bin/../../escape"),
                                  std::string("bin/.."), std::string(".."), std::string("."),
                                  std::string(""), std::string("/"), std::string("bin/"),
                                  std::string("bin//"), std::string("bin/x\0y", 7),
                                  std::string("bin/\x01x"), std::string("bin/x\x7f"),
                                  std::string("bin/x\nflash/bin/base"), std::string("bin/\tx"),
                                  // the package database and the installer's own files
                                  std::string("var/pdb/base/version"), std::string("/var//pdb/./x"),
                                  std::string("var/pdb"), std::string("bootimage"), std::string("postlog"),
                                  std::string("PCKGS_CHANGED"), std::string("./UPGRADED")}) {
    pkgbuild::package_recipe recipe = newer_base();
    recipe.files->push_back(file(name, "evil"));
    refused("entry name \"" + name + "\"", build(recipe), 1, {broken_base});
    EXPECT_FALSE(root.exists("/escape"));
  }
  // Repeated and "." components collapse: the file lands where it should.
  for (const char* name : {"lib//x", "//lib/x", "./lib/x", "lib/./x"}) {
    pkgbuild::package_recipe recipe = newer_base();
    recipe.files->push_back(file(name, "x"));
    installed(std::string("entry name \"") + name + "\"", build(recipe),
              {{"/flash/bin/base", "base 7.2"}, {"/flash/etc/base.conf", "conf 7.2"}, {"/flash/lib/x", "x"}});
  }
}

TEST_F(HostileCatalogue, NamesThatCollideOnceTheLeadingSlashIsAdded) {
  // The later entry wins, the earlier staged file is gone, and the path is
  // listed once.
  for (const std::vector<std::string>& names :
       {std::vector<std::string>{"lib/x", "/lib/x"}, {"/lib/x", "lib/x"}, {"lib/x", "lib//x", "./lib/x"}}) {
    pkgbuild::package_recipe recipe = newer_base();
    for (size_t i = 0; i < names.size(); ++i) recipe.files->push_back(file(names[i], "copy " + std::to_string(i)));
    installed("collision of " + names[0] + " and " + names[1], build(recipe),
              {{"/flash/bin/base", "base 7.2"},
               {"/flash/etc/base.conf", "conf 7.2"},
               {"/flash/lib/x", "copy " + std::to_string(names.size() - 1)}});
  }
}

TEST_F(HostileCatalogue, PackageNamesThatWouldEscapeTheDatabase) {
  for (const std::string& name : {std::string(""), std::string("."), std::string(".."),
                                  std::string("../../x"), std::string("a/b"), std::string("/"),
                                  std::string("x\n"), std::string("\x01"), std::string("\x7f")}) {
    pkgbuild::package_recipe recipe = package(name, v72, "evil");
    refused("package name \"" + name + "\"", build(recipe), 1, {});
    pkgbuild::bundle_recipe outer = bundle(name, v72);
    refused("bundle name \"" + name + "\"", build_bundle(outer, {build(package("m1", v72, "m1"))}), 1, {});
    refused("member name \"" + name + "\"",
            build_bundle(bundle("kit", v72), {build(package("m1", v72, "m1")), build(recipe)}), 2, {});
  }
  EXPECT_FALSE(root.exists("/x"));
}

// Every refusal used to print the same "broken package", or nothing at all:
// each now names its cause on standard error, quiet or not, while standard
// output and the status stay as they were.
TEST_F(HostileCatalogue, EveryRefusalSaysWhy) {
  pkgbuild::package_recipe bad_name = newer_base(), into_database = newer_base();
  bad_name.files->push_back(file("../escape", "x"));
  into_database.files->push_back(file("var/pdb/other/version", "1 2"));
  std::string whole = build(newer_base());
  std::string zero_signature = build(newer_base(), signing::none);
  std::string cut_header = pkgbuild::whole_file(pkgbuild::part(part_package_header, std::string(20, 'x')));
  std::string unsigned_member =
      build_bundle(bundle("kit", v72), {build(package("m1", v72, "m1")), build(package("m2", v72, "m2"), signing::none)});
  pkgbuild::package_recipe six = package("base", final_version(6, 48), "six");
  const struct {
    const char* cause;
    std::string bytes;
    int status;
    lines out;
    std::string err;
    bool secure = false;
  } cases[] = {
      {"weak signature", build(newer_base(), signing::legacy_only), 1, {broken_base},
       "base-7.2: its signature holds at level 1 (the older scheme); 7.2 needs level 2 (Ed25519)"},
      {"secure marker", build(six, signing::legacy_only), 1,
       {"ERROR: installation of base-6.48 failed: broken package"},
       "base-6.48: its signature holds at level 1 (the older scheme); /ram/SECURE requires level 2 (Ed25519) of "
       "every package",
       true},
      {"digest that does not match", zero_signature.substr(0, zero_signature.size() - 132) + std::string(132, '\0'),
       1, {broken_base}, "base-7.2: no signature holds for its digest; 7.2 needs level 2 (Ed25519)"},
      {"entry name", build(bad_name), 1, {broken_base}, "base-7.2: entry \"../escape\" would leave the package's tree"},
      {"entry into the database", build(into_database), 1, {broken_base},
       "base-7.2: entry \"var/pdb/other/version\" would write the installer's own var/pdb/other/version"},
      {"length past the end", whole.substr(0, whole.size() - 100), 1, {broken_base},
       "base-7.2: part 9 (signature) declares 132 bytes, but the file ends 32 bytes into it"},
      {"truncated part", cut_header, 1, {}, "standard input: part 1 (package header) holds 20 bytes, too few for a "
                                            "package header"},
      {"not a package", "#!/bin/sh\necho hello\n", 1, {}, "standard input: not a package file (its magic is 0x622f2123)"},
      {"empty input", "", 1, {}, "standard input: it is empty"},
      {"bundle member", unsigned_member, 2, {"ERROR: installation of kit-7.2 failed: broken package"},
       "kit-7.2: member m2-7.2: no signature holds for its digest; 7.2 needs level 2 (Ed25519)"},
  };
  for (const auto& c : cases) {
    for (bool quiet : {false, true}) {
      SCOPED_TRACE(std::string(c.cause) + (quiet ? ", quiet" : ""));
      if (c.secure) root.write_file("/ram/SECURE", "");
      remember();
      std::vector<std::string> args;
      if (quiet) args.push_back("-q");
      if (c.secure) args.push_back("-down");
      run_result result = stream(c.bytes, args);
      EXPECT_EQ(result.status, c.status) << result.out << result.err;
      EXPECT_EQ(visible_lines(result.out), quiet ? lines{} : c.out);
      EXPECT_EQ(result.err, "installer: " + c.err + "\n");
      expect_unchanged();
      root.remove("/ram/SECURE");
      remember();
    }
  }
}

TEST_F(HostileCatalogue, SignatureTrailersOfEveryLength) {
  // Version 7.2 needs the Ed25519 signature: only a part of 132 bytes or
  // more holds it.
  const std::map<std::string, std::string> all_files = {{"/flash/bin/base", "base 7.2"},
                                                        {"/flash/etc/base.conf", "conf 7.2"}};
  for (uint32_t length = 0; length <= 200; ++length) {
    std::string bytes = with_signature_length(newer_base(), length);
    std::string label = "trailer of " + std::to_string(length) + " bytes";
    if (length < 132)
      refused(label, bytes, 1, {broken_base});
    else
      installed(label, bytes, all_files);
  }
  // Version 6.48 accepts the older signature: 68 bytes and more hold it.
  pkgbuild::package_recipe older = package("base", final_version(6, 48), "six");
  run_result cut = stream(with_signature_length(older, 67), {"-down"});
  EXPECT_EQ(cut.status, 1);
  EXPECT_EQ(visible_lines(cut.out), lines{"ERROR: installation of base-6.48 failed: broken package"});
  expect_unchanged();
  run_result result = stream(with_signature_length(older, 100), {"-down"});
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(root.read_file("/flash/bin/base"), "six");
  restore();
}

TEST_F(HostileCatalogue, SignaturesOfAnotherPackage) {
  std::string mine = build(newer_base());
  size_t trailer = payload_offset(mine, part_signature);
  pkgbuild::package_recipe other_recipe = newer_base();
  (*other_recipe.files)[0].data = "other content";
  std::string other = build(other_recipe);
  std::string forged = mine;
  forged.replace(trailer, 132, other.substr(payload_offset(other, part_signature), 132));
  refused("Ed25519 of another package", forged, 1, {broken_base});
  // The older signature alone is enough for a package named "branding": one
  // taken from another branding package must not be.
  pkgbuild::package_recipe branding = package("branding", v72, "logo");
  std::string own = build(branding, signing::legacy_only);
  (*branding.files)[0].data = "another logo";
  std::string another = build(branding, signing::legacy_only);
  size_t at = payload_offset(own, part_signature);
  refused("older signature of another package",
          own.substr(0, at) + another.substr(at, 68) + own.substr(at + 68), 1,
          {"ERROR: installation of branding-7.2 failed: broken package"});
  run_result result = stream(own);
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(root.read_file("/flash/bin/branding"), "logo");
  restore();
  // The same package at another version, and another build time.
  pkgbuild::package_recipe rebuilt = newer_base();
  rebuilt.build_time += 1;
  other = build(rebuilt);
  forged = mine;
  forged.replace(trailer, 132, other.substr(payload_offset(other, part_signature), 132));
  refused("signature of another build", forged, 1, {broken_base});
}

TEST_F(HostileCatalogue, BundlesInBundles) {
  std::string inner = build_bundle(bundle("inner", v72), {build(package("m1", v72, "m1"))});
  std::string inner_parts = inner.substr(pkg_file_header_size);
  // An outer bundle header followed by a whole bundle as its member.
  std::string outer_header = pkgbuild::part(part_bundle_header, pkgbuild::header_payload("outer", v72, 0, 0));
  refused("bundle as the only member", pkgbuild::whole_file(outer_header + inner_parts), 2, {});
  std::string member = build(package("m2", v72, "m2")).substr(pkg_file_header_size);
  refused("bundle after a member", pkgbuild::whole_file(outer_header + member + inner_parts), 2, {});
  // A member named like its bundle.
  refused("member named like the bundle",
          build_bundle(bundle("m3", v72), {build(package("m3", v72, "m3"))}), 2, {});
}

TEST_F(HostileCatalogue, ABundleOfAThousandMembers) {
  std::vector<std::string> members;
  for (int i = 0; i < 1000; ++i)
  {
    std::string name = "m";
    name += std::to_string(i);
    members.push_back(build(package(name, v72, "member"), i == 999 ? signing::none : signing::both));
  }
  refused("1,000 members, the last unsigned", build_bundle(bundle("big", v72), members), 2,
          {"ERROR: installation of big-7.2 failed: broken package"}, in_memory());
}

// Ways around the signature through the download directories, standard
// input and "/ram": whoever may write there must never get unsigned bytes
// onto flash, nor make the program remove or shadow installed software.
class WaysAroundTheSignature : public HostileCatalogue {
 protected:
  // A package that keeps its package file as its image: the file itself is
  // what a commit moves onto flash.
  static std::string kept_image(const std::string& name, uint32_t version, const std::string& payload,
                                signing how = signing::both) {
    pkgbuild::package_recipe recipe = package(name, version, name + " files");
    recipe.image_payload = payload;
    return build(recipe, how);
  }

  run_result run_here(std::vector<std::string> args, run_options opts = {}) {
    std::vector<std::string> full = {"-r", root.path()};
    full.insert(full.end(), args.begin(), args.end());
    return testsupport::run_installer(full, opts);
  }
};

TEST_F(WaysAroundTheSignature, DownloadChangedAfterItWasVerified) {
  const std::string download = "/rw/pckg/.download/kernel.npk";
  const std::string genuine = kept_image("kernel", v72, "genuine kernel");
  const std::string forged = kept_image("kernel", v72, "forged kernel!", signing::none);
  ASSERT_EQ(genuine.size(), forged.size());
  const std::string refused = "ERROR: commit failed: " + download + " is not the package file that was verified";
  enum class change { swapped, rewritten, proof_of_other_bytes };
  for (bool across : {false, true}) {
    run_options opts;
    std::string why;
    if (across && !testsupport::can_mount_tmpfs(&why)) continue;
    if (across) opts.flash_bytes = 4u << 20;  // the download then crosses file systems
    for (change how : {change::swapped, change::rewritten, change::proof_of_other_bytes}) {
      SCOPED_TRACE(std::string(across ? "across file systems, " : "") + "change " + std::to_string(int(how)));
      root.write_file(download, genuine);
      run_result safe = run_here({"--safe"}, opts);
      ASSERT_EQ(safe.status, 0) << safe.out << safe.err;
      tree flash = flash_state(root);
      if (how == change::swapped) {
        root.write_file("/rw/pckg/.download/other", forged);
        ASSERT_EQ(rename(root.at("/rw/pckg/.download/other").c_str(), root.at(download).c_str()), 0);
      } else if (how == change::rewritten) {
        root.write_file(download, forged);  // the same file, written over
      } else {
        std::string proofs = root.read_file("/ram/MANIFEST.verified");
        ASSERT_FALSE(proofs.empty());
        proofs[proofs.size() - 2] = proofs[proofs.size() - 2] == '0' ? '1' : '0';
        root.write_file("/ram/MANIFEST.verified", proofs);
      }
      run_result commit = run_here({"--commit"}, opts);
      EXPECT_EQ(commit.status, 1) << commit.out << commit.err;
      EXPECT_EQ(visible_lines(commit.out).back(), refused);
      EXPECT_EQ(flash_state(root), flash);
      restore();
    }
  }
}

TEST_F(WaysAroundTheSignature, DownloadsThatAreNotRegularFiles) {
  // A link to a genuine package elsewhere, and a FIFO: each is a broken
  // package, the scan goes on, and the run ends.
  root.write_file("/rw/elsewhere.npk", kept_image("linked", v71, "linked image"));
  root.symlink("/rw/elsewhere.npk", "/rw/pckg/.download/link.npk");
  ASSERT_EQ(mkfifo(root.at("/rw/pckg/.download/fifo.npk").c_str(), 0644), 0);
  root.write_file("/rw/pckg/.download/fresh.npk", build(package("fresh", v71, "fresh")));
  run_options limited;
  limited.prefix = {"timeout", "60"};
  run_result result = run_here({}, limited);
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  lines seen = visible_lines(result.out);
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (lines{"ERROR: broken package fifo.npk", "ERROR: broken package link.npk", "installed fresh-7.1"}));
  EXPECT_FALSE(root.exists("/flash/var/pdb/linked"));
  EXPECT_EQ(root.read_file("/flash/bin/fresh"), "fresh");
}

TEST_F(WaysAroundTheSignature, FilesWrittenDirectlyNeverFollowALink) {
  root.write_file("/flash/bootimage", "boot image");
  root.write_file("/flash/var/pdb/base/keep", "kept");
  remember();
  // An unsigned bundle with an old "system" member writes "/rw/CONVERT"
  // before anything is checked; every refusal writes the post-log; every
  // stream install writes its received copy.
  pkgbuild::package_recipe old_system = package("system", final_version(6, 40), "system");
  std::string unsigned_bundle = build_bundle(bundle("kit", v72), {build(old_system, signing::none)});
  for (const char* path : {"/rw/CONVERT", "/flash/postlog", "/flash/var/pdb/image"}) {
    for (const char* planted : {"/flash/bootimage", "/flash/var/pdb/base/keep"}) {
      SCOPED_TRACE(std::string(path) + " -> " + planted);
      root.remove(path);
      root.symlink(planted, path);
      run_result result = stream(unsigned_bundle);
      EXPECT_EQ(result.status, 2) << result.out << result.err;
      // A second name of the file, in place of the link.
      root.remove(path);
      ASSERT_EQ(link(root.at(planted).c_str(), root.at(path).c_str()), 0);
      result = stream(unsigned_bundle);
      EXPECT_EQ(result.status, 2) << result.out << result.err;
      EXPECT_EQ(root.read_file("/flash/bootimage"), "boot image");
      EXPECT_EQ(root.read_file("/flash/var/pdb/base/keep"), "kept");
      struct stat st;
      bool own = lstat(root.at(path).c_str(), &st) != 0 || (S_ISREG(st.st_mode) && st.st_nlink == 1);
      EXPECT_TRUE(own) << "a regular file of its own, or nothing, stands at " << path;
      root.remove(path);
    }
  }
  // The markers of an upgrade that installs a boot package are staged and
  // renamed into place: a link standing there is replaced.
  for (const char* marker : {"/flash/PCKGS_CHANGED", "/flash/UPGRADED"}) root.symlink("/flash/bootimage", marker);
  pkgbuild::package_recipe boot = package("kernel", v72, "kernel");
  boot.flags = PKG_FLAG_BOOT;
  root.write_file("/rw/pckg/.download/kernel.npk", build(boot));
  run_result upgraded = run_here({});
  EXPECT_EQ(upgraded.status, 0) << upgraded.out << upgraded.err;
  EXPECT_EQ(root.read_file("/flash/bootimage"), "boot image");
  for (const char* marker : {"PCKGS_CHANGED", "UPGRADED"})
    EXPECT_EQ(root.snapshot("/flash")[marker].substr(0, 2), "f ") << marker;
}

TEST_F(WaysAroundTheSignature, ForgedBundleHeaderAroundASignedMember) {
  // "base" is installed as a package of its own: a bundle named "base" would
  // remove its files and leave a record of any version the forger chose.
  std::string forged = build_bundle(bundle("base", final_version(99, 0)), {build(package("m1", v72, "m1"))});
  const lines refusal = {"ERROR: can not install base-99.0: base-7.1 is installed and is not a bundle"};
  refused("stream install", forged, 2, refusal);
  root.write_file("/rw/pckg/.download/base.npk", forged);
  remember();
  run_result result = run_here({});
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_EQ(visible_lines(result.out), refusal);
  expect_unchanged();
}

TEST_F(WaysAroundTheSignature, HandWrittenSavedManifest) {
  root.write_file("/flash/bin/.installer-GOOD01", "staged");
  root.write_file("/rw/secret", "keep me");
  root.write_file("/rw/pckg/.download/pkg.npk", "a download");
  remember();
  const std::string good = "M /flash/bin/new /flash/bin/.installer-GOOD01\n";
  const struct {
    const char* line;
    const char* why;
  } cases[] = {
      {"M /rw/target /flash/bin/.installer-GOOD01", "the target is not below /flash/"},
      {"M /flash/../rw/x /flash/bin/.installer-GOOD01", "the target is not below /flash/"},
      {"M /flash/bin/x /rw/secret", "the source is neither a staged file nor a download"},
      {"M /flash/bin/x /rw/.installer-ABCDEF", "the source is neither a staged file nor a download"},
      {"M /flash/bin/x /flash/var/.installer-ABCDEF", "the source is neither a staged file nor a download"},
      {"M /flash/bin/x /rw/pckg/.download/pkg.npk", "the download was never verified"},
      {"L /flash/bin/x /rw/secret", "the link does not point below /flash/"},
      {"L /flash/bin/x /flash/./bin", "the link does not point below /flash/"},
      {"U /flash/", "the path removed is not below /flash/ or /rw/pckg/.images/"},
      {"U /rw/secret", "the path removed is not below /flash/ or /rw/pckg/.images/"},
      {"U /flash/bin/\\011x", "the path removed is not below /flash/ or /rw/pckg/.images/"},
      {"M /flash/bin/x", "malformed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    root.write_file("/ram/MANIFEST", good + c.line + "\n");
    remember();
    run_result result = run_here({"--commit"});
    EXPECT_EQ(result.status, 1) << result.out << result.err;
    EXPECT_EQ(visible_lines(result.out),
              lines{std::string("ERROR: refusing /ram/MANIFEST: line 2 \"") + c.line + "\": " + c.why});
    expect_unchanged();
  }
  // --cancel deletes what staging could have made for the line, and only a
  // regular file: nothing a hand-written line names elsewhere.
  root.write_file("/rw/.installer-ABCDEF", "not staged here");
  root.write_file("/flash/var/.installer-ABCDEF", "not on the way to its target");
  root.write_file("/ram/.installer-GOOD02", "staged in ram");
  root.symlink("/rw/secret", "/ram/.installer-LINK01");
  root.write_file("/ram/MANIFEST",
                  "M /flash/bin/a /rw/.installer-ABCDEF\nM /flash/bin/b /flash/var/.installer-ABCDEF\nM /flash/bin/c /ram/.installer-LINK01\n"
                  "M /flash/bin/d /ram/.installer-GOOD02\nM /flash/bin/e /flash/bin/.installer-GOOD01\n");
  run_result cancel = run_here({"--cancel"});
  EXPECT_EQ(cancel.status, 0) << cancel.out << cancel.err;
  EXPECT_EQ(root.read_file("/rw/.installer-ABCDEF"), "not staged here");
  EXPECT_EQ(root.read_file("/flash/var/.installer-ABCDEF"), "not on the way to its target");
  EXPECT_TRUE(root.exists("/ram/.installer-LINK01"));
  EXPECT_EQ(root.read_file("/rw/secret"), "keep me");
  EXPECT_FALSE(root.exists("/ram/.installer-GOOD02"));
  EXPECT_FALSE(root.exists("/flash/bin/.installer-GOOD01"));
}

TEST_F(WaysAroundTheSignature, StoredImageThatOthersMayWrite) {
  // A forged stored image of the installed package, writable by anyone.
  pkgbuild::package_recipe forged = package("base", final_version(1, 0));
  forged.depends = std::vector<pkg_dep>{dep("nothing-provides-this")};
  root.write_file("/rw/pckg/.images/base", build(forged, signing::none), 0666);
  run_result shown = run_here({"--show"});
  EXPECT_EQ(shown.status, 0) << shown.out << shown.err;
  lines seen = visible_lines(shown.out);
  ASSERT_EQ(seen.size(), 4u) << shown.out;
  EXPECT_EQ(seen[0], "WARNING: ignored /rw/pckg/.images/base: it is not owned by the installer's user or others "
                     "may write it");
  EXPECT_EQ(seen[3].find("base"), 12u);
  EXPECT_NE(seen[3].find(" 7.1 "), std::string::npos) << "listed at its genuine version: " << seen[3];
}

// Stored images and database files damaged in the same ways, met at
// start-up: every run must still list and install the other packages.
class DamagedAtStartUp : public HostileCatalogue {
 protected:
  void SetUp() override {
    HostileCatalogue::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    kit_ = build_bundle(bundle("kit", v71), {build(package("m1", v71, "m1")), build(package("m2", v71, "m2"))});
    ASSERT_NO_FATAL_FAILURE(install(kit_));
    ASSERT_EQ(root.read_file("/flash/var/pdb/kit/image"), kit_);
    root.write_file("/rw/secret", "keep me");
    remember();
  }

  // Whether --show listed a package: the first word of a line is its name.
  static bool listed(const std::string& out, const std::string& name) {
    for (const std::string& line : visible_lines(out)) {
      size_t start = line.find_first_not_of(' ');
      if (start != std::string::npos && line.compare(start, name.size() + 1, name + " ") == 0) return true;
    }
    return false;
  }

  // With `path` holding `content`: --show lists base, and, when asked, a
  // stream install of a new package works beside the damage. The trees are
  // put back afterwards.
  void survives(const std::string& label, const std::string& path, const std::string& content,
                bool install_too) {
    SCOPED_TRACE(label);
    root.write_file(path, content);
    run_result shown = run({"--show"});
    EXPECT_EQ(shown.status, 0) << shown.out << shown.err;
    EXPECT_TRUE(listed(shown.out, "base")) << shown.out;
    EXPECT_EQ(shown.err, "");
    if (install_too) {
      run_result fresh = stream(build(package("fresh", v71, "fresh")));
      EXPECT_EQ(fresh.status, 0) << fresh.out << fresh.err;
      EXPECT_EQ(root.read_file("/flash/bin/fresh"), "fresh");
      EXPECT_EQ(root.read_file("/flash/bin/base"), "base 7.1");
      run_result after = run({"--show"});
      EXPECT_TRUE(listed(after.out, "fresh")) << after.out;
    }
    EXPECT_EQ(root.read_file("/rw/secret"), "keep me");
    restore();
  }

  std::string kit_;
};

TEST_F(DamagedAtStartUp, StoredImageCutAtEveryLength) {
  for (size_t length = 0; length < kit_.size(); ++length)
    survives("image cut at " + std::to_string(length), "/flash/var/pdb/kit/image", kit_.substr(0, length),
             length % 97 == 0);
}

TEST_F(DamagedAtStartUp, StoredImageDamagedInEveryPart) {
  for (const pkgbuild::part_info& info : pkgbuild::list_parts(kit_)) {
    std::string part = "part " + std::to_string(info.type) + " at " + std::to_string(info.offset);
    survives(part + ", type", "/flash/var/pdb/kit/image", with_byte_flipped(kit_, info.offset), true);
    survives(part + ", length byte", "/flash/var/pdb/kit/image", with_byte_flipped(kit_, info.offset + 2), false);
    if (info.length > 0)
      survives(part + ", payload", "/flash/var/pdb/kit/image",
               with_byte_flipped(kit_, info.offset + pkg_part_header_size + info.length / 2), false);
    for (uint32_t length : {0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFFu})
      survives(part + ", length " + std::to_string(length), "/flash/var/pdb/kit/image",
               with_u32(kit_, info.offset + 2, length), length == 0xFFFFFFFFu);
  }
}

TEST_F(DamagedAtStartUp, StoredImagesThatNameOtherPlaces) {
  for (const char* name : {"..", ".", "", "../../rw", "a/b", "x\n"}) {
    std::string image = build(package(name, v71, "evil"));
    survives(std::string("image of a package named \"") + name + "\"", "/flash/var/pdb/kit/image", image, true);
    survives(std::string("stored image named \"") + name + "\"", "/rw/pckg/.images/kit", image, false);
  }
  // A bundle in a bundle, and a bundle of 1,000 members (the loader reads
  // headers only, so no signature is needed to make one).
  std::string inner = build_bundle(bundle("inner", v71), {build(package("i1", v71, "i1"))});
  std::string outer_header = pkgbuild::part(part_bundle_header, pkgbuild::header_payload("kit", v71, 0, 0));
  survives("bundle in a bundle", "/flash/var/pdb/kit/image",
           pkgbuild::whole_file(outer_header + inner.substr(pkg_file_header_size)), true);
  std::vector<std::string> members;
  for (int i = 0; i < 1000; ++i) {
    std::string name = "k";  // appended: g++ 12 -O3 reports a false restrict overlap on "k" + ...
    name += std::to_string(i);
    members.push_back(build(package(name, v71), signing::none));
  }
  survives("1,000 members", "/flash/var/pdb/kit/image", build_bundle(bundle("kit", v71), members), true);
}

TEST_F(DamagedAtStartUp, DatabaseFiles) {
  const std::string huge(1 << 20, 'w');
  const struct {
    const char* file;
    std::string content;
  } cases[] = {
      {"version", "-1 2"},
      {"version", "99999999999 0"},
      {"version", ""},
      {"version", std::string("\0\xff\x01", 3)},
      {"version", huge},
      {"deps", "system 1"},
      {"deps", huge + " 1 2"},
      {"deps", std::string("a\0b 1 2\n", 8)},
      {"provides", "p 1 2\n"},
      {"provides", "p 1 2 99999999999\n"},
      {"conflicts", "c -5 0\n"},
      {"bundle", huge},
      {"bundle", "../../rw\n"},
      {"files", huge + "\n"},
      {"files", "flash/../rw/secret\n../rw/secret\n/flash/../../rw/secret\nflash/\nflash\n"},
      {"files", std::string("flash/bin/base\0tail\n", 20)},
      {"disabled", huge},
      {"enabled", std::string("\xff", 1)},
  };
  for (const auto& c : cases) {
    std::string label = std::string(c.file) + " holding " + std::to_string(c.content.size()) + " bytes";
    survives(label, std::string("/flash/var/pdb/base/") + c.file, c.content, false);
  }
  // Damage that marks base for removal: its listed paths outside flash, and
  // flash itself, must survive the uninstall that follows.
  for (const auto& c : cases) {
    std::string label = std::string(c.file) + " damaged, then an install";
    SCOPED_TRACE(label);
    root.write_file(std::string("/flash/var/pdb/base/") + c.file, c.content);
    run_result fresh = stream(build(package("fresh", v71, "fresh")));
    EXPECT_EQ(fresh.status, 0) << fresh.out << fresh.err;
    EXPECT_EQ(root.read_file("/flash/bin/fresh"), "fresh");
    EXPECT_EQ(root.read_file("/rw/secret"), "keep me");
    EXPECT_TRUE(root.exists("/flash/var/pdb")) << "the database itself";
    restore();
  }
  // Schedule files: an overlong word is no word; "uninstall" of a package
  // whose file list points outside flash removes only its own files.
  root.write_file("/ram/pdb/base/schedule", huge);
  run_result shown = run({"--show"});
  EXPECT_EQ(shown.status, 0);
  EXPECT_TRUE(listed(shown.out, "base")) << shown.out;
  restore();
  root.write_file("/flash/var/pdb/base/files", "flash/bin/base\nflash/../rw/secret\n../../rw/secret\nflash/etc\n");
  root.write_file("/ram/pdb/base/schedule", "uninstall");
  run_result cleaned = run({"--cleanup"});
  EXPECT_EQ(cleaned.status, 0) << cleaned.out << cleaned.err;
  EXPECT_FALSE(root.exists("/flash/bin/base"));
  EXPECT_EQ(root.read_file("/flash/etc/base.conf"), "conf 7.1") << "a listed directory is not swept";
  EXPECT_EQ(root.read_file("/rw/secret"), "keep me");
  restore();
}

}  // namespace
}  // namespace installtest
