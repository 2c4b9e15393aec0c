#include "mkpkg_cli.h"

#include <gtest/gtest.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "pkgbuild.h"
#include "pkgdb/record.h"
#include "pkgfile/inflate_streambuf.h"
#include "pkgfile/pkg_stream.h"
#include "pkgfile/verify.h"
#include "support/device_root.h"

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream data;
  data << in.rdbuf();
  return data.str();
}

struct cli_result {
  int status;
  std::string out;
  std::string err;
};

std::string drain(std::FILE* file) {
  std::rewind(file);
  std::string text;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
  std::fclose(file);
  return text;
}

cli_result run_mkpkg(const std::vector<std::string>& args) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  int status = mkpkg_main(args, out, err);
  return {status, drain(out), drain(err)};
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

// A scratch directory for trees and outputs.
class mkpkg_test : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pkgfile-mkpkg-XXXXXX";
    dir_ = mkdtemp(pattern);
  }
  void TearDown() override {
    nftw(dir_.c_str(), [](const char* p, const struct stat*, int, FTW*) { return ::remove(p); }, 16,
         FTW_DEPTH | FTW_PHYS);
  }
  std::string at(const std::string& name) const { return dir_ + "/" + name; }
  void write(const std::string& name, const std::string& content, mode_t mode = 0644) const {
    std::ofstream(at(name), std::ios::binary) << content;
    chmod(at(name).c_str(), mode);
  }
  std::string dir_;
};

struct read_entry {
  uint16_t mode;
  uint8_t variant;
  std::string name;
  std::string data;
};

// Reads a built package back: header record, file entries, signature level.
struct read_back {
  pkg_image record;
  bool header_ok = false;
  std::vector<read_entry> entries;
  std::vector<int> levels;
  std::vector<std::string> member_names;
};

read_back read_package(const std::string& file) {
  read_back back;
  std::stringbuf source(file, std::ios_base::in);
  pkg_stream stream(&source, true);
  stream.wanted_types = {1, 18, 20, 16, 3, 19, 17, 21, 4, 9, 23, 24, 2};
  int type = stream.next_part();
  while (type >= 0) {
    if (type == part_package_header || type == part_bundle_header) {
      pkg_image record;
      bool ok = read_package_header(record, stream);
      if (type == part_bundle_header || (back.member_names.empty() && !back.header_ok)) {
        back.record = record;
        back.header_ok = ok;
      }
      if (type == part_package_header) back.member_names.push_back(record.name);
      if (!ok) break;
      type = stream.type();
      continue;
    }
    if (type == part_files) {
      inflate_streambuf inflater(&stream.buf());
      std::istream in(&inflater);
      char raw[30];
      while (in.read(raw, 30)) {
        auto b = reinterpret_cast<unsigned char*>(raw);
        read_entry entry{static_cast<uint16_t>(b[0] | b[1] << 8), b[23], "", ""};
        uint32_t size = b[24] | b[25] << 8 | b[26] << 16 | static_cast<uint32_t>(b[27]) << 24;
        entry.name.resize(b[28] | b[29] << 8);
        entry.data.resize(size);
        in.read(entry.name.data(), static_cast<std::streamsize>(entry.name.size()));
        in.read(entry.data.data(), size);
        back.entries.push_back(entry);
      }
    } else if (type == part_signature) {
      back.levels.push_back(verify_package(stream.buf()));
    }
    type = stream.next_part();
  }
  return back;
}

TEST_F(mkpkg_test, bad_arguments_are_refused_with_status_2) {
  write("tree-file", "x");
  struct row {
    std::vector<std::string> args;
    std::string first_error_line;
  } rows[] = {
      {{}, "usage: mkpkg build -o OUT --name NAME --version VERSION [options] [DIR]"},
      {{"frobnicate"}, "mkpkg: unknown command 'frobnicate'"},
      {{"build", "--name", "a", "--version", "1.0", "--sign", "none"}, "mkpkg build: -o OUT is required"},
      {{"build", "-o", at("o"), "--version", "1.0", "--sign", "none"},
       "mkpkg build: --name must be 1 to 16 bytes"},
      {{"build", "-o", at("o"), "--name", "abcdefghijklmnopq", "--version", "1.0", "--sign", "none"},
       "mkpkg build: --name must be 1 to 16 bytes"},
      {{"build", "-o", at("o"), "--name", "a", "--sign", "none"}, "mkpkg build: --version is required"},
      {{"build", "-o", at("o"), "--name", "a", "--version", "1.x", "--sign", "none"},
       "mkpkg build: bad version '1.x' (expected e.g. 6.48, 6.48.1, 7.1beta3, 2.6rc2)"},
      {{"build", "-o", at("o"), "--name", "a", "--version", "1.0"},
       "mkpkg build: --sign both needs --keys FILE (or --sign none)"},
      {{"build", "-o", at("o"), "--name", "a", "--version", "1.0", "--sign", "maybe"},
       "mkpkg build: --sign must be both, legacy or none"},
      {{"build", "-o", at("o"), "--name", "a", "--version", "1.0", "--digest", "md5"},
       "mkpkg build: --digest must be sha1 or sha256"},
      {{"build", "-o", at("o"), "--name", "a", "--version", "1.0", "--sign", "none", "--depends", "x:zz"},
       "mkpkg build: bad version 'zz' in 'x:zz'"},
      {{"build", "-o", at("o"), "--name", "a", "--version", "1.0", "--sign", "none", "--provides", "x::1.0:q"},
       "mkpkg build: bad extra value 'q' in 'x::1.0:q'"},
      {{"build", "-o", at("o"), "--name", "a", "--version", "1.0", "--sign", "none", "--conflicts", ""},
       "mkpkg build: bad entry '': expected NAME[:MIN[:MAX[:EXTRA]]], a name of 1 to 16 bytes"},
      {{"build", "-o", at("o"), "--name", "a", "--version", "1.0", "--sign", "none", "--flags", "-1"},
       "mkpkg build: bad number '-1' for --flags"},
      {{"build", "-o", at("o"), "--name", "a", "--version", "1.0", "--sign", "none", "--bogus", "1"},
       "mkpkg build: unknown option --bogus"},
      {{"build", "-o", at("o"), "--name", "a", "--version", "1.0", "--sign", "none", "d1", "d2"},
       "mkpkg build: more than one directory given: d1 and d2"},
      {{"build", "-o", at("o"), "--name", "a", "--version", "1.0", "--sign", "none", "--note"},
       "mkpkg build: option --note needs a value"},
      {{"bundle", "-o", at("o"), "--name", "b", "--version", "1.0"},
       "mkpkg bundle: at least one member package is required"},
      {{"info"}, "mkpkg info: a package file is required"},
      {{"info", "a", "b"}, "mkpkg info: unexpected argument b"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(testing::PrintToString(r.args));
    cli_result result = run_mkpkg(r.args);
    EXPECT_EQ(2, result.status);
    EXPECT_EQ(r.first_error_line, first_line(result.err));
    EXPECT_FALSE(access(at("o").c_str(), F_OK) == 0) << "nothing is written on bad arguments";
  }
}

TEST_F(mkpkg_test, unreadable_input_fails_with_status_1) {
  struct row {
    std::vector<std::string> args;
    std::string error;
  } rows[] = {
      {{"build", "-o", at("o"), "--name", "a", "--version", "1.0", "--sign", "none", at("missing")},
       "mkpkg build: cannot read directory " + at("missing") + ": No such file or directory"},
      {{"build", "-o", at("o"), "--name", "a", "--version", "1.0", "--sign", "none", "--image", at("missing")},
       "mkpkg build: cannot read " + at("missing") + ": No such file or directory"},
      {{"build", "-o", at("o"), "--name", "a", "--version", "1.0", "--keys", at("missing")},
       "mkpkg build: cannot read key file " + at("missing")},
      {{"build", "-o", at("no/such/dir/o"), "--name", "a", "--version", "1.0", "--sign", "none"},
       "mkpkg build: cannot write " + at("no/such/dir/o")},
      {{"bundle", "-o", at("o"), "--name", "b", "--version", "1.0", at("missing")},
       "mkpkg bundle: cannot read " + at("missing") + ": No such file or directory"},
      {{"info", at("missing")}, "mkpkg info: cannot read " + at("missing") + ": No such file or directory"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.error);
    cli_result result = run_mkpkg(r.args);
    EXPECT_EQ(1, result.status);
    EXPECT_EQ(r.error + "\n", result.err);
  }
}

TEST_F(mkpkg_test, build_round_trips_through_the_reader) {
  mkdir(at("tree").c_str(), 0755);
  mkdir(at("tree/bin").c_str(), 0750);
  write("tree/bin/tool", "#!/bin/sh\n", 0755);
  write("tree/readme", "hello");
  write("v2", "variant two", 0600);
  write("image", "IMG");
  cli_result result = run_mkpkg({"build", "-o", at("p.npk"), "--name", "demo", "--version", "6.48.1",
                                 "--build-time", "1700000000", "--flags", "0x2", "--arch", "mipsbe",
                                 "--note", "a note", "--text-a", "ta", "--text-b", "tb",
                                 "--depends", "system:6.40:7.0", "--depends", "lib",
                                 "--provides", "thing:::-5", "--conflicts", "old",
                                 "--image", at("image"), "--variant", "2:lib/v:" + at("v2"),
                                 "--sign", "none", at("tree")});
  ASSERT_EQ(0, result.status) << result.err;
  std::string file = read_file(at("p.npk"));
  read_back back = read_package(file);
  ASSERT_TRUE(back.header_ok);
  const pkg_image& r = back.record;
  EXPECT_EQ("demo", r.name);
  EXPECT_EQ(0x06306601u, r.version);
  EXPECT_EQ(1700000000u, r.build_time);
  EXPECT_EQ(2u, r.flags);
  EXPECT_EQ("mipsbe", r.arch);
  EXPECT_EQ("a note", r.note);
  EXPECT_EQ("ta", r.text_a);
  EXPECT_EQ("tb", r.text_b);
  EXPECT_TRUE(r.keeps_image);
  ASSERT_EQ(2u, r.depends.size());
  EXPECT_EQ("system", r.depends[0].name);
  EXPECT_EQ(0x06286600u, r.depends[0].min_version);
  EXPECT_EQ(0x07006600u, r.depends[0].max_version);
  EXPECT_EQ("lib", r.depends[1].name);
  EXPECT_EQ(0u, r.depends[1].min_version);
  ASSERT_EQ(1u, r.provides.size());
  EXPECT_EQ(-5, r.provides[0].extra);
  ASSERT_EQ(1u, r.conflicts.size());
  EXPECT_EQ("old", r.conflicts[0].name);
  ASSERT_EQ(4u, back.entries.size());
  struct expected_entry {
    uint16_t mode;
    uint8_t variant;
    const char* name;
    const char* data;
  } expected[] = {
      {040750, 0, "bin", ""},
      {0100755, 0, "bin/tool", "#!/bin/sh\n"},
      {0100644, 0, "readme", "hello"},
      {0100600, 2, "lib/v", "variant two"},
  };
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(expected[i].mode, back.entries[i].mode);
    EXPECT_EQ(expected[i].variant, back.entries[i].variant);
    EXPECT_EQ(expected[i].name, back.entries[i].name);
    EXPECT_EQ(expected[i].data, back.entries[i].data);
  }
  EXPECT_EQ(file.size(), static_cast<size_t>(pkg_file_header_size) +
                             (static_cast<unsigned char>(file[4]) | static_cast<unsigned char>(file[5]) << 8 |
                              static_cast<unsigned char>(file[6]) << 16 |
                              static_cast<size_t>(static_cast<unsigned char>(file[7])) << 24));
}

// The digest mkpkg signs must be the one the reader computes, in every
// digest kind and scheme, for single packages and for bundle members.
TEST_F(mkpkg_test, signatures_verify_as_the_installer_reads_them) {
  struct row {
    const char* digest;
    const char* scheme;
    int level;
  } rows[] = {{"sha1", "both", 2}, {"sha256", "both", 2}, {"sha1", "legacy", 1}, {"sha256", "legacy", 1}};
  write("file", "content");
  mkdir(at("tree").c_str(), 0755);
  write("tree/a", "data of a");
  for (const row& r : rows) {
    SCOPED_TRACE(std::string(r.digest) + " " + r.scheme);
    for (const char* name : {"one", "two"}) {
      cli_result result = run_mkpkg({"build", "-o", at(std::string(name) + ".npk"), "--name", name,
                                     "--version", "1.0", "--digest", r.digest, "--sign", r.scheme,
                                     "--keys", TEST_KEY_FILE, "--note", name, at("tree")});
      ASSERT_EQ(0, result.status) << result.err;
    }
    std::string single = read_file(at("one.npk"));
    EXPECT_EQ(std::vector<int>{r.level}, read_package(single).levels);
    cli_result bundled = run_mkpkg({"bundle", "-o", at("b.npk"), "--name", "bund", "--version", "2.0",
                                    "--member-list", "two", at("one.npk"), at("two.npk")});
    ASSERT_EQ(0, bundled.status) << bundled.err;
    read_back bundle = read_package(read_file(at("b.npk")));
    EXPECT_TRUE(bundle.record.is_bundle);
    EXPECT_TRUE(bundle.record.keeps_image);
    EXPECT_EQ((std::vector<std::string>{"one", "two"}), bundle.member_names);
    EXPECT_EQ((std::vector<int>{r.level, r.level}), bundle.levels);
    // Any changed byte between the header part and the signature header
    // breaks the signature.
    size_t span_start = pkgbuild::list_parts(single)[r.digest == std::string("sha256") ? 1 : 0].offset;
    size_t span_end = single.size() - (std::string(r.scheme) == "both" ? 132 : 68);
    for (size_t at : {span_start, span_start + 10, (span_start + span_end) / 2, span_end - 1}) {
      std::string tampered = single;
      tampered[at] = static_cast<char>(tampered[at] ^ 0x20);
      read_back back = read_package(tampered);
      for (int level : back.levels) EXPECT_EQ(0, level) << "byte " << at;
    }
  }
}

TEST_F(mkpkg_test, bundle_members_and_marker) {
  for (const char* digest : {"sha1", "sha256"})
    ASSERT_EQ(0, run_mkpkg({"build", "-o", at(std::string(digest) + ".npk"), "--name", digest, "--version",
                            "1.0", "--digest", digest, "--sign", "legacy", "--keys", TEST_KEY_FILE})
                     .status);
  cli_result mixed = run_mkpkg({"bundle", "-o", at("b.npk"), "--name", "b", "--version", "1.0",
                                at("sha1.npk"), at("sha256.npk")});
  EXPECT_EQ(1, mixed.status);
  EXPECT_EQ("mkpkg bundle: members mix SHA-1 and SHA-256 digests\n", mixed.err);
  cli_result plain = run_mkpkg({"bundle", "-o", at("b.npk"), "--name", "b", "--version", "1.0",
                                "--no-keep-image", at("sha1.npk")});
  EXPECT_EQ(0, plain.status);
  EXPECT_EQ("mkpkg bundle: warning: without the keep-image marker the members restored from the database "
            "are removed again by the next run\n",
            plain.err);
  read_back back = read_package(read_file(at("b.npk")));
  EXPECT_TRUE(back.record.is_bundle);
  EXPECT_FALSE(back.record.keeps_image);
  std::vector<pkgbuild::part_info> parts = pkgbuild::list_parts(read_file(at("b.npk")));
  std::vector<int> types;
  for (const auto& p : parts) types.push_back(p.type);
  EXPECT_EQ((std::vector<int>{18, 1, 9}), types);
  write("junk.npk", "not a package at all");
  cli_result junk = run_mkpkg({"bundle", "-o", at("c.npk"), "--name", "b", "--version", "1.0", at("junk.npk")});
  EXPECT_EQ(1, junk.status);
  EXPECT_EQ("mkpkg bundle: member " + at("junk.npk") + ": no package header\n", junk.err);
}

TEST_F(mkpkg_test, info_describes_a_package) {
  mkdir(at("tree").c_str(), 0755);
  write("tree/x", "12345");
  ASSERT_EQ(0, run_mkpkg({"build", "-o", at("p.npk"), "--name", "demo", "--version", "1.2",
                          "--build-time", "86400", "--depends", "system:6.0", "--sign", "legacy",
                          "--keys", TEST_KEY_FILE, at("tree")})
                   .status);
  std::string file = read_file(at("p.npk"));
  std::vector<pkgbuild::part_info> parts = pkgbuild::list_parts(file);
  ASSERT_EQ(4u, parts.size());
  char parts_text[512];
  std::snprintf(parts_text, sizeof parts_text,
                "parts:\n  at 8: type 1 (package header), 36 bytes\n  at 50: type 3 (depends), 34 bytes\n"
                "  at 90: type 4 (files), %u bytes\n  at %u: type 9 (signature), 68 bytes\n",
                parts[2].length, static_cast<unsigned>(parts[3].offset));
  std::string expected = "file: " + std::to_string(file.size()) +
                         " bytes, magic 0xBAD0F11E (package), declared size " + std::to_string(file.size()) +
                         "\n" + parts_text +
                         "package demo\n  version: 1.2 (16934400, 0x01026600)\n"
                         "  build time: 86400 (1970-01-02 00:00:00 UTC)\n  flags: 0x0\n"
                         "  architecture: \"i386\"\n  depends: 1 entries\n"
                         "    system min 6.0 (100689408, 0x06006600) max 0 extra 0\n"
                         "  provides: 0 entries\n  conflicts: 0 entries\n"
                         "  files:\n    mode 100644 variant 0 size 5 \"x\"\n";
  cli_result info = run_mkpkg({"info", "--keys", TEST_KEY_FILE, at("p.npk")});
  EXPECT_EQ(0, info.status);
  EXPECT_EQ(expected + "  signature: 68 bytes, level 1 under the given key file\n", info.out);
  cli_result builtin = run_mkpkg({"info", at("p.npk")});
  EXPECT_EQ(expected + "  signature: 68 bytes, level 1 under the built-in keys\n", builtin.out);
  write("short.npk", file.substr(0, 60));
  cli_result cut = run_mkpkg({"info", at("short.npk")});
  EXPECT_EQ(1, cut.status);
  EXPECT_NE(std::string::npos, cut.out.find("(differs from the file)")) << cut.out;
  EXPECT_NE(std::string::npos, cut.out.find("at 50: 10 bytes that form no whole part")) << cut.out;
}

std::vector<std::string> mkpkg(std::vector<std::string> args) {
  args.insert(args.begin(), testsupport::mkpkg_path());
  return args;
}

// The installer's name, range, entry and member rules, met through the
// program: status 1, one line naming the input, nothing written.
TEST_F(mkpkg_test, refuses_what_the_installer_would_refuse) {
  for (const char* dir : {"newline", "state", "state/var", "state/var/pdb"}) mkdir(at(dir).c_str(), 0755);
  write("newline/a\nb", "x");
  write("state/var/pdb/files", "x");
  write("file", "x");
  for (std::string name : {"signed", "unsigned"})
    ASSERT_EQ(0, run_mkpkg({"build", "-o", at(name + ".npk"), "--name", name, "--version", "1.0", "--sign",
                            name == "signed" ? "legacy" : "none", "--keys", TEST_KEY_FILE})
                     .status);
  ASSERT_EQ(0,
            run_mkpkg({"bundle", "-o", at("nested.npk"), "--name", "b", "--version", "1.0", at("signed.npk")})
                .status);
  pkgbuild::package_recipe zeroed;  // a signature part of zeros, as unsigned packages once had
  zeroed.name = "z";
  std::string zeroed_file, why;
  ASSERT_TRUE(pkgbuild::build_package(zeroed, nullptr, &zeroed_file, &why));
  write("zeroed.npk", zeroed_file);
  const std::string name_rule =
      "the installer refuses \".\", \"..\", \"/\" and control bytes in a package name";
  const std::string dep_rule = "the installer refuses blanks and control bytes in a name";
  const std::string entry_rule =
      "the installer refuses an entry name with control bytes or a \"..\" component, or one that names a "
      "directory";
  std::vector<std::string> build = {"build", "-o", at("o"), "--version", "1.0", "--sign", "none", "--name"};
  std::vector<std::string> bundle = {"bundle", "-o", at("o"), "--version", "1.0", "--name"};
  auto with = [](std::vector<std::string> head, const std::vector<std::string>& rest) {
    head.insert(head.end(), rest.begin(), rest.end());
    return head;
  };
  const struct {
    std::vector<std::string> args;
    std::string error;
  } rows[] = {
      {with(build, {"a\nb"}), "mkpkg build: --name \"a?b\": " + name_rule},
      {with(build, {"p", "--depends", "a b"}), "mkpkg build: --depends \"a b\": " + dep_rule},
      {with(build, {"p", "--provides", "p\x01"}), "mkpkg build: --provides \"p?\": " + dep_rule},
      {with(build, {"p", "--conflicts", "c\x7f"}), "mkpkg build: --conflicts \"c?\": " + dep_rule},
      {with(build, {"p", "--depends", "lib:2.0:1.0"}),
       "mkpkg build: --depends \"lib\": the minimum version 2.0 is above the maximum 1.0"},
      {with(build, {"p", at("newline")}), "mkpkg build: file \"a?b\": " + entry_rule},
      {with(build, {"p", "--variant", "1:lib/../x:" + at("file")}),
       "mkpkg build: file \"lib/../x\": " + entry_rule},
      {with(build, {"p", at("state")}),
       "mkpkg build: file \"var/pdb/files\": the installer refuses files on its own state (var/pdb and "
       "below, bootimage, postlog, PCKGS_CHANGED, UPGRADED)"},
      {with(bundle, {"a/b", at("signed.npk")}), "mkpkg bundle: --name \"a/b\": " + name_rule},
      {with(bundle, {"b", "--member-list", "m m", at("signed.npk")}),
       "mkpkg bundle: --member-list \"m m\": " + dep_rule},
      {with(bundle, {"b", at("signed.npk"), at("nested.npk")}),
       "mkpkg bundle: member " + at("nested.npk") + ": is itself a bundle, and bundles do not nest"},
      {with(bundle, {"b", at("unsigned.npk")}),
       "mkpkg bundle: member " + at("unsigned.npk") + ": not signed: no signature part"},
      {with(bundle, {"b", at("zeroed.npk")}),
       "mkpkg bundle: member " + at("zeroed.npk") + ": not signed: its signature part holds no signature"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::PrintToString(r.args));
    testsupport::run_result result = testsupport::run_program(mkpkg(r.args));
    EXPECT_EQ(1, result.status);
    EXPECT_EQ(r.error + "\n", result.err);
    EXPECT_NE(0, access(at("o").c_str(), F_OK)) << "nothing is written";
    ::remove(at("o").c_str());
  }
}

TEST_F(mkpkg_test, unsigned_builds_uncarried_files_info_and_version) {
  mkdir(at("tree").c_str(), 0755);
  write("tree/f", "x");
  ASSERT_EQ(0, symlink("f", at("tree/link").c_str()));
  ASSERT_EQ(0, mkfifo(at("tree/pipe").c_str(), 0600));
  testsupport::run_result built = testsupport::run_program(
      mkpkg({"build", "-o", at("p.npk"), "--name", "p", "--version", "1.0", "--sign", "none", at("tree")}));
  EXPECT_EQ(0, built.status);
  const std::string cannot = ", which a package cannot carry; left out\n";
  EXPECT_EQ("mkpkg build: warning: " + at("tree/link") + " is a symbolic link" + cannot +
                "mkpkg build: warning: " + at("tree/pipe") + " is a FIFO" + cannot,
            built.err);
  std::vector<uint16_t> types;
  for (const pkgbuild::part_info& p : pkgbuild::list_parts(read_file(at("p.npk")))) types.push_back(p.type);
  EXPECT_EQ((std::vector<uint16_t>{part_package_header, part_files}), types) << "no signature part";
  EXPECT_EQ(1u, read_package(read_file(at("p.npk"))).entries.size());
  write("junk", "not a package at all");
  testsupport::run_result info = testsupport::run_program(mkpkg({"info", at("junk")}));
  EXPECT_EQ(1, info.status);
  EXPECT_EQ("mkpkg info: " + at("junk") + ": not a package the installer can read whole\n", info.err);
  testsupport::run_result version = testsupport::run_program(mkpkg({"--version"}));
  EXPECT_EQ(0, version.status);
  // "mkpkg" and a version of three numbers.
  EXPECT_EQ(version.out.substr(0, 6), "mkpkg ") << version.out;
  EXPECT_EQ(version.out.find_first_not_of("0123456789.", 6), version.out.size() - 1) << version.out;
  EXPECT_EQ(std::count(version.out.begin(), version.out.end(), '.'), 2) << version.out;
}

}  // namespace
