#include "stage/commit.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "msg/msg.h"
#include "stage/manifest.h"
#include "stage/out_file.h"
#include "stage/staging.h"
#include "stage_sandbox.h"

namespace {
int sync_calls = 0;
}  // namespace

// Counts the program's sync() calls; the file systems are still synced.
void sync() noexcept {
  ++sync_calls;
  syscall(SYS_sync);
}

namespace {

using stage_test::capture_stderr;
using stage_test::exists;
using stage_test::free_bytes;
using stage_test::list_dir;
using stage_test::read_file;
using stage_test::sandbox_options;
using stage_test::write_file;

constexpr size_t chunk = 16384;

unsigned mode_of(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::string link_of(const std::string& path) {
  char buffer[256];
  ssize_t n = readlink(path.c_str(), buffer, sizeof buffer);
  return n < 0 ? "(not a link)" : std::string(buffer, static_cast<size_t>(n));
}

// A content of `size` bytes that differs from block to block.
std::string pattern(size_t size) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i / 1000 + i) % 26);
  return text;
}

// A staged file in /ram, as open_staged_file makes one for a big target.
std::string stage_in_ram(manifest& m, const std::string& target, const std::string& content, mode_t mode) {
  out_file out;
  if (!open_staged_file(&out, m, target, uint64_t{1} << 40, mode)) return "(not staged)";
  out.write(content);
  out.close();
  return m.ops[target].source;
}

uint32_t fake_ticks = 0;
uint32_t fake_clock() { return fake_ticks += 21; }

TEST(Commit, RemovalsLeaveHiddenFilesAndSubdirectories) {
  IN_SANDBOX(sandbox_options{}, [] {
    for (const char* dir : {"/flash/d", "/flash/e", "/flash/f", "/flash/f/sub"}) ASSERT_EQ(mkdir(dir, 0755), 0);
    for (const char* file : {"/flash/d/a", "/flash/d/b", "/flash/d/.hidden", "/flash/e/a", "/flash/f/a",
                             "/flash/f/sub/x", "/flash/file"})
      write_file(file, "x");
    ASSERT_EQ(symlink("/flash/e", "/flash/dirlink"), 0);
    manifest m;
    for (const char* target : {"/flash/d/", "/flash/e", "/flash/f", "/flash/file", "/flash/dirlink/"})
      add_op(m, target, {OP_REMOVE, {}});
    std::string err = capture_stderr([&] { commit(m, "", false); });
    EXPECT_EQ(err, "");
    EXPECT_EQ(list_dir("/flash/d"), ".hidden");
    EXPECT_FALSE(exists("/flash/e"));
    EXPECT_EQ(list_dir("/flash/f"), "sub");
    EXPECT_EQ(list_dir("/flash/f/sub"), "x");
    EXPECT_FALSE(exists("/flash/file"));
    EXPECT_EQ(m.ops.size(), 5u) << "the manifest keeps its entries";
  });
}

// A removal that names a link to a directory never sweeps what it points to.
TEST(Commit, RemovalThroughLinkSweepsNothing) {
  IN_SANDBOX(sandbox_options{}, [] {
    ASSERT_EQ(mkdir("/flash/real", 0755), 0);
    write_file("/flash/real/bootimage", "x");
    ASSERT_EQ(symlink("/flash/real", "/flash/alias"), 0);
    manifest m;
    add_op(m, "/flash/alias/", {OP_REMOVE, {}});
    commit(m, "", false);
    EXPECT_EQ(list_dir("/flash/real"), "bootimage");
  });
}

TEST(Commit, LinksReplaceFilesAndReportFailures) {
  IN_SANDBOX(sandbox_options{}, [] {
    write_file("/flash/image", "old");
    write_file("/flash/blocker", "a file in the way of a directory");
    manifest m;
    stage_link(m, "/flash/bootimage", "/flash/image");
    stage_link(m, "target", "/flash/new/dir/link");
    stage_link(m, "target", "/flash/blocker/link");
    std::string err = capture_stderr([&] { commit(m, "", false); });
    EXPECT_EQ(link_of("/flash/image"), "/flash/bootimage");
    EXPECT_EQ(link_of("/flash/new/dir/link"), "target");
    EXPECT_EQ(err, std::string("symlink: ") + std::strerror(ENOTDIR) + "\n");
  });
}

// A link that could not be made used to leave its path empty: the old file
// was unlinked first.
TEST(Commit, LinkThatCannotBeMadeKeepsOldTarget) {
  IN_SANDBOX(sandbox_options{}, [] {
    write_file("/flash/image", "old image");
    manifest m;
    stage_link(m, std::string(5000, 'x'), "/flash/image");
    std::string err = capture_stderr([&] { commit(m, "", false); });
    EXPECT_EQ(err, std::string("symlink: ") + std::strerror(ENAMETOOLONG) + "\n");
    EXPECT_EQ(read_file("/flash/image"), "old image");
    EXPECT_EQ(list_dir("/flash"), "boot image") << "no link left on its way";
  });
}

TEST(Commit, MovesWithinFlashCreateParentsAndReportRenameFailures) {
  IN_SANDBOX(sandbox_options{}, [] {
    write_file("/flash/.installer-123456", "new", 0751);
    write_file("/flash/app", "old");
    write_file("/flash/.installer-ABCDEF", "app");
    manifest m;
    add_op(m, "/flash/a/b/c/file", {OP_STAGED, "/flash/.installer-123456"});
    add_op(m, "/flash/app", {OP_STAGED, "/flash/.installer-ABCDEF"});
    stage_move(m, "/flash/vanished", "/flash/x");
    sync_calls = 0;
    std::string err = capture_stderr([&] { commit(m, "", false); });
    EXPECT_EQ(read_file("/flash/a/b/c/file"), "new");
    EXPECT_EQ(mode_of("/flash/a/b/c/file"), 0751u);
    EXPECT_EQ(read_file("/flash/app"), "app");
    EXPECT_EQ(err, std::string("rename: ") + std::strerror(ENOENT) + "\n");
    EXPECT_EQ(sync_calls, 2) << "once before the first pass, once at the end";
    sync_calls = 0;
    manifest empty;
    commit(empty, "", true);
    EXPECT_EQ(sync_calls, 0);
  });
}

TEST(Commit, FirstTargetMovesBeforeRemovals) {
  IN_SANDBOX(sandbox_options{}, [] {
    ASSERT_EQ(mkdir("/flash/pdb", 0755), 0);
    write_file("/flash/pdb/old", "x");
    write_file("/flash/image", "image");
    manifest m;
    stage_move(m, "/flash/image", "/flash/pdb/image");
    add_op(m, "/flash/pdb", {OP_REMOVE, {}});
    commit(m, "/flash/pdb/image", false);
    EXPECT_FALSE(exists("/flash/pdb")) << "moved first, then swept with the directory";
    EXPECT_EQ(m.ops.count("/flash/pdb/image"), 0u);
    EXPECT_EQ(m.ops.count("/flash/pdb"), 1u);
  });
}

// Copies across file systems used to open the target with the umask applied
// and leave the staged file in RAM.
TEST(Commit, CopiesFromRamKeepModeAndFreeTheStagedFile) {
  IN_SANDBOX(sandbox_options{}, [] {
    umask(077);
    manifest m;
    const std::string content = pattern(3 * chunk + 5);
    std::string staged = stage_in_ram(m, "/flash/bin/tool", content, 04755);
    ASSERT_EQ(staged.compare(0, 5, "/ram/"), 0) << staged;
    write_file("/ram/pkg.npk", "download", 0640);
    stage_move(m, "/ram/pkg.npk", "/flash/var/pdb/pkg/image");
    std::string err = capture_stderr([&] { commit(m, "", false); });
    EXPECT_EQ(err, "");
    EXPECT_EQ(read_file("/flash/bin/tool"), content);
    EXPECT_EQ(mode_of("/flash/bin/tool"), 04755u);
    EXPECT_FALSE(exists(staged));
    EXPECT_EQ(read_file("/flash/var/pdb/pkg/image"), "download");
    EXPECT_EQ(mode_of("/flash/var/pdb/pkg/image"), 0640u);
    EXPECT_TRUE(exists("/ram/pkg.npk")) << "a loaded move's source stays";
    EXPECT_EQ(list_dir("/flash/bin"), "tool") << "no temporary left";
  });
}

TEST(Commit, SpinnerStepsOncePerChunkCopiedNeverForRenames) {
  IN_SANDBOX(sandbox_options{}, [] {
    std::FILE* drawn = std::tmpfile();
    ASSERT_NE(drawn, nullptr);
    spinner_reset_for_test(fake_clock, drawn);
    write_file("/ram/big", pattern(3 * chunk + 1));
    write_file("/flash/local", "x");
    manifest m;
    stage_move(m, "/ram/big", "/flash/big");
    stage_move(m, "/flash/local", "/flash/moved");
    commit(m, "", true);
    manifest quiet;
    write_file("/ram/again", pattern(chunk));
    stage_move(quiet, "/ram/again", "/flash/again");
    commit(quiet, "", false);
    std::fflush(drawn);
    std::rewind(drawn);
    std::string text;
    for (int c; (c = std::fgetc(drawn)) != EOF;) text += static_cast<char>(c);
    std::fclose(drawn);
    spinner_reset_for_test(nullptr, nullptr);
    EXPECT_EQ(text, "|\b/\b-\b\\");
    EXPECT_EQ(read_file("/flash/again"), pattern(chunk));
  });
}

// A copy that ran out of room left the installed file truncated and said
// nothing; then the other changes were made and the commit passed for done.
// Every copy now comes first: a failed one takes back the copies before it
// and changes nothing.
TEST(Commit, CopyThatRunsOutOfRoomChangesNothing) {
  IN_SANDBOX(sandbox_options{}, [] {
    const std::string old_content = pattern(3 * chunk);
    write_file("/flash/lib.so", old_content, 0755);
    write_file("/flash/gone", "still here");
    write_file("/ram/small", "fits");
    write_file("/ram/new.so", pattern(free_bytes("/flash") + chunk));
    manifest m;
    stage_move(m, "/ram/small", "/flash/a/small");
    stage_move(m, "/ram/new.so", "/flash/lib.so");
    stage_removal(m, "/flash/gone");
    commit_failure failure;
    std::string err = capture_stderr([&] { EXPECT_FALSE(commit(m, "", false, &failure)); });
    EXPECT_EQ(failure.error, ENOSPC);
    EXPECT_EQ(failure.what, std::string("could not copy /ram/new.so to /flash/lib.so: ") + std::strerror(ENOSPC));
    EXPECT_EQ(read_file("/flash/lib.so"), old_content);
    EXPECT_EQ(mode_of("/flash/lib.so"), 0755u);
    EXPECT_EQ(list_dir("/flash"), "boot gone lib.so");
    EXPECT_EQ(err, "");
    EXPECT_TRUE(exists("/ram/new.so"));
    EXPECT_EQ(m.ops.at("/flash/lib.so").source, "/ram/new.so") << "the manifest is as it was";
  });
}

// A staged file whose move failed used to stay behind after the commit,
// owned by nobody, filling flash or ram for good.
TEST(Commit, FailedMoveDropsItsStagedFile) {
  IN_SANDBOX(sandbox_options{}, [] {
    write_file("/flash/blocker", "a file where a directory is wanted");
    write_file("/flash/.installer-AAAAAA", "staged beside its target");
    write_file("/ram/loaded", "source of a loaded move");
    manifest m;
    add_op(m, "/flash/blocker/file", {OP_STAGED, "/flash/.installer-AAAAAA"});
    stage_move(m, "/ram/loaded", "/flash/blocker/other");
    commit_failure failure;
    std::string err = capture_stderr([&] { EXPECT_FALSE(commit(m, "", false, &failure)); });
    EXPECT_EQ(err, std::string("rename: ") + std::strerror(ENOTDIR) + "\nrename: " + std::strerror(ENOTDIR) + "\n");
    EXPECT_EQ(failure.error, ENOTDIR);
    EXPECT_EQ(list_dir("/flash"), "blocker boot");
    EXPECT_EQ(list_dir("/ram"), "loaded") << "a loaded move's source stays for a later --commit";
  });
}

TEST(Commit, CopyOfLinkSourceDoesNothing) {
  IN_SANDBOX(sandbox_options{}, [] {
    write_file("/ram/real", "data");
    ASSERT_EQ(symlink("/ram/real", "/ram/link"), 0);
    write_file("/flash/target", "old");
    manifest m;
    stage_move(m, "/ram/link", "/flash/target");
    std::string err = capture_stderr([&] { commit(m, "", false); });
    EXPECT_EQ(err, "");
    EXPECT_EQ(read_file("/flash/target"), "old");
    EXPECT_EQ(link_of("/ram/link"), "/ram/real");
    EXPECT_FALSE(copy_file("/ram/link", "/flash/target", false));
    EXPECT_FALSE(copy_file("/ram", "/flash/target", false));
  });
}

// The target path was opened with O_TRUNC, writing through a dangling link
// (a package's "image" link) to wherever it pointed.
TEST(Commit, CopyReplacesLinkAtTargetWithoutWritingThroughIt) {
  IN_SANDBOX(sandbox_options{}, [] {
    ASSERT_EQ(mkdir("/flash/pdb", 0755), 0);
    ASSERT_EQ(symlink("/flash/bootimage", "/flash/pdb/image"), 0);
    write_file("/ram/image", "package image");
    manifest m;
    stage_move(m, "/ram/image", "/flash/pdb/image");
    commit(m, "", false);
    EXPECT_EQ(link_of("/flash/pdb/image"), "(not a link)");
    EXPECT_EQ(read_file("/flash/pdb/image"), "package image");
    EXPECT_FALSE(exists("/flash/bootimage"));
  });
}

TEST(MakeDirs, CreatesChainAndStopsAtExisting) {
  IN_SANDBOX(sandbox_options{}, [] {
    umask(022);
    EXPECT_EQ(make_dirs("/flash/a/b/c"), 0);
    EXPECT_EQ(mode_of("/flash/a/b"), 0755u);
    EXPECT_EQ(make_dirs("/flash/a/b/c"), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(make_dirs("/flash/a/b/c/d/"), 0);
    EXPECT_EQ(list_dir("/flash/a/b/c"), "d");
    write_file("/flash/file", "x");
    EXPECT_EQ(make_dirs("/flash/file/sub/dir"), -1);
  });
}

}  // namespace
