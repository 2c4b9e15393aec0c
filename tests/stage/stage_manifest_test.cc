#include "stage/manifest.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "stage_sandbox.h"

namespace {

using stage_test::exists;
using stage_test::list_dir;
using stage_test::read_file;
using stage_test::write_file;

// A scratch directory on the host, removed with everything in it.
class ManifestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/stage_manifest.XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }
  std::string at(const std::string& name) const { return dir_ + "/" + name; }
  // Writes a file and returns its path.
  std::string file(const std::string& name, const std::string& content = "x") {
    write_file(at(name), content);
    return at(name);
  }

  std::string dir_;
};

// "kind source" per entry in key order: a compact picture of a manifest.
std::string describe(const manifest& m) {
  std::string text;
  for (const auto& [target, op] : m.ops) text += target + "=" + std::to_string(op.kind) + ":" + op.source + ";";
  return text;
}

TEST_F(ManifestTest, StagingTwiceDeletesFirstStagedFile) {
  manifest m;
  std::string first = file("tmp1"), second = file("tmp2");
  add_op(m, "/flash/a", {OP_STAGED, first});
  add_op(m, "/flash/a", {OP_STAGED, second});
  EXPECT_FALSE(exists(first));
  EXPECT_TRUE(exists(second));
  EXPECT_EQ(describe(m), "/flash/a=1:" + second + ";");
}

TEST_F(ManifestTest, ReplacingMoveOrLinkDeletesNothing) {
  manifest m;
  std::string download = file("pkg.npk");
  stage_move(m, download, "/flash/a");
  stage_link(m, "/flash/b", "/flash/a");
  EXPECT_TRUE(exists(download));
  EXPECT_EQ(describe(m), "/flash/a=3:/flash/b;");
}

TEST_F(ManifestTest, RestagingTheSameStagedFileKeepsIt) {
  manifest m;
  std::string staged = file("tmp1");
  add_op(m, "/flash/a", {OP_STAGED, staged});
  add_op(m, "/flash/a", {OP_STAGED, staged});
  EXPECT_TRUE(exists(staged));
}

TEST_F(ManifestTest, RemovalOverStagedFileOfExistingTarget) {
  manifest m;
  std::string target = file("target"), staged = file("tmp1");
  add_op(m, target, {OP_STAGED, staged});
  stage_removal(m, target);
  EXPECT_FALSE(exists(staged));
  EXPECT_EQ(describe(m), target + "=4:;");
}

// A removal of a missing path drops its entry; the staged file the entry
// owned used to stay behind as an orphan on flash.
TEST_F(ManifestTest, RemovalOfMissingPathDropsEntryAndItsStagedFile) {
  manifest m;
  std::string staged = file("tmp1"), download = file("pkg.npk");
  add_op(m, at("missing"), {OP_STAGED, staged});
  stage_move(m, download, at("gone"));
  stage_removal(m, at("missing"));
  stage_removal(m, at("gone"));
  stage_removal(m, at("never"));
  EXPECT_TRUE(m.empty()) << describe(m);
  EXPECT_FALSE(exists(staged));
  EXPECT_TRUE(exists(download));
}

// A link whose destination is gone is still there to be removed.
TEST_F(ManifestTest, RemovalOfDanglingLinkIsStaged) {
  manifest m;
  ASSERT_EQ(symlink("/nowhere/at/all", at("link").c_str()), 0);
  stage_removal(m, at("link"));
  EXPECT_EQ(describe(m), at("link") + "=4:;");
}

TEST_F(ManifestTest, DropOpUnlinksOnlyStagedFiles) {
  manifest m;
  std::string staged = file("tmp1"), download = file("pkg.npk");
  add_op(m, "/a", {OP_STAGED, staged});
  stage_move(m, download, "/b");
  drop_op(m, "/a");
  drop_op(m, "/b");
  drop_op(m, "/c");
  EXPECT_TRUE(m.empty());
  EXPECT_FALSE(exists(staged));
  EXPECT_TRUE(exists(download));
}

TEST_F(ManifestTest, DiscardDeletesOwnedFilesOnly) {
  manifest m;
  std::string staged = file("tmp1"), moved = file(".installer-ABCDEF");
  add_op(m, "/a", {OP_STAGED, staged});
  stage_move(m, moved, "/b");
  stage_link(m, moved, "/c");
  discard(m);
  EXPECT_TRUE(m.empty());
  EXPECT_FALSE(exists(staged));
  EXPECT_TRUE(exists(moved));
}

TEST(ManifestOrder, KeysCompareAsUnsignedBytes) {
  manifest m;
  for (const char* target : {"/a\x80", "/a/b", "/b", "/a", "/a b", "/A"}) stage_link(m, "x", target);
  std::vector<std::string> order;
  for (const auto& entry : m.ops) order.push_back(entry.first);
  EXPECT_EQ(order, (std::vector<std::string>{"/A", "/a", "/a b", "/a/b", "/a\x80", "/b"}));
}

TEST_F(ManifestTest, SavedTextFormat) {
  manifest m;
  stage_link(m, "/flash/bootimage", "/a/b");
  add_op(m, "/a", {OP_STAGED, "/ram/.installer-123456"});
  stage_move(m, "/rw/pckg/x.npk", "/flash/var/pdb/x/image");
  add_op(m, "/flash/old", {OP_REMOVE, {}});
  add_op(m, "/flash/odd", {2, "/ignored"});
  ASSERT_TRUE(save_manifest(m, at("MANIFEST")));
  EXPECT_EQ(read_file(at("MANIFEST")),
            "M /a /ram/.installer-123456\n"
            "L /a/b /flash/bootimage\n"
            "U /flash/old\n"
            "M /flash/var/pdb/x/image /rw/pckg/x.npk\n");
  EXPECT_EQ(list_dir(dir_), "MANIFEST") << "no temporary left beside it";
  struct stat st;
  ASSERT_EQ(stat(at("MANIFEST").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(ManifestTest, SaveEmptyManifestWritesEmptyFile) {
  file("MANIFEST", "U /stale\n");
  ASSERT_TRUE(save_manifest(manifest{}, at("MANIFEST")));
  EXPECT_EQ(read_file(at("MANIFEST")), "");
}

// Paths with blanks, tabs, line feeds or backslashes used to read back as a
// different operation: a wrong file moved onto a wrong path.
TEST_F(ManifestTest, RoundTripOfAwkwardPaths) {
  manifest m;
  stage_move(m, "/ram/a b\tc\nd\\e", "/flash/x y/z\n\\040");
  stage_link(m, "link to\nsomewhere", "/flash/l l");
  add_op(m, "/flash/r\tr\\", {OP_REMOVE, {}});
  stage_move(m, "/ram/plain", "/flash/plain");
  add_op(m, "/flash/s", {OP_STAGED, "/ram/tmp 12345"});
  ASSERT_TRUE(save_manifest(m, at("MANIFEST")));
  manifest loaded;
  ASSERT_TRUE(load_manifest(loaded, at("MANIFEST")));
  m.ops["/flash/s"].kind = OP_MOVE;  // every saved move loads as a plain move
  EXPECT_EQ(describe(loaded), describe(m));
  EXPECT_NE(read_file(at("MANIFEST")).find("M /flash/x\\040y/z\\012\\134040 /ram/a\\040b\\011c\\012d\\134e\n"),
            std::string::npos)
      << read_file(at("MANIFEST"));
}

TEST_F(ManifestTest, LoadCases) {
  const struct {
    const char* text;
    bool result;
    const char* entries;
  } cases[] = {
      {"", true, ""},
      {"\nU /a\n", true, ""},
      {"U /a\n\nU /b\n", true, "/a=4:;"},
      {"U /a\nM /b\nU /c\n", false, "/a=4:;"},
      {"M /x /tmp/a b\n", true, "/x=0:/tmp/a b;"},
      {"X /a /b\nU /c\n", true, "/c=4:;"},
      {"U /a\nM /a /b\n", true, "/a=0:/b;"},
      {"U /a extra words\n", true, "/a=4:;"},
      {"L /a\n", false, ""},
      {"L /a /b", true, "/a=3:/b;"},
      {"U\n", false, ""},
      {"M /a \n", false, ""},
      {"U  /a\n", false, ""},
      {"M /a\\x /b\\\n", true, "/a\\x=0:/b\\;"},
      {"M /a\\040b /c\\011d\\012\n", true, "/a b=0:/c\td\n;"},
      {"M /a /b\r\n", true, "/a=0:/b\r;"},
  };
  for (const auto& c : cases) {
    file("MANIFEST", c.text);
    manifest m;
    EXPECT_EQ(load_manifest(m, at("MANIFEST")), c.result) << c.text;
    EXPECT_EQ(describe(m), c.entries) << c.text;
  }
}

TEST_F(ManifestTest, LoadOfMissingFileFails) {
  manifest m;
  EXPECT_FALSE(load_manifest(m, at("MANIFEST")));
  EXPECT_TRUE(m.empty());
}

TEST_F(ManifestTest, LoadedManifestOwnsNoStagedFiles) {
  std::string staged = file("tmp1");
  manifest m;
  add_op(m, "/flash/a", {OP_STAGED, staged});
  ASSERT_TRUE(save_manifest(m, at("MANIFEST")));
  manifest loaded;
  ASSERT_TRUE(load_manifest(loaded, at("MANIFEST")));
  discard(loaded);
  EXPECT_TRUE(exists(staged));
}

TEST_F(ManifestTest, FailedSaveLeavesNoTemporary) {
  manifest m;
  stage_link(m, "a", "/b");
  errno = 0;
  EXPECT_FALSE(save_manifest(m, at("no/such/dir/MANIFEST")));
  EXPECT_EQ(errno, ENOENT);
  // The rename onto a directory fails after everything was written.
  ASSERT_EQ(mkdir(at("MANIFEST").c_str(), 0755), 0);
  file("MANIFEST/keep", "kept");
  EXPECT_FALSE(save_manifest(m, at("MANIFEST")));
  EXPECT_NE(errno, 0);
  EXPECT_EQ(list_dir(dir_), "MANIFEST");
  EXPECT_EQ(read_file(at("MANIFEST/keep")), "kept");
}

// A save that runs out of room used to leave a cut-short manifest that a
// later --commit carried out.
TEST(ManifestSpace, SaveOnFullRamKeepsOldManifest) {
  stage_test::sandbox_options options;
  options.ram_bytes = 64 << 10;
  IN_SANDBOX(options, [] {
    write_file("/ram/MANIFEST", "U /flash/old\n");
    write_file("/ram/filler", std::string(60 << 10, 'f'));
    manifest m;
    for (int i = 0; i < 400; ++i) stage_link(m, "/flash/bootimage", "/flash/var/pdb/p" + std::to_string(i) + "/image");
    errno = 0;
    EXPECT_FALSE(save_manifest(m, "/ram/MANIFEST"));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(read_file("/ram/MANIFEST"), "U /flash/old\n");
    EXPECT_EQ(list_dir("/ram"), "MANIFEST filler");
  });
}

}  // namespace
