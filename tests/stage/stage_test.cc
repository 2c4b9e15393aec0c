// The manifest, staged files, space checks and the commit, each run in a
// device root whose /flash and /ram are small tmpfs file systems of their own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "msg/msg.h"
#include "pkgdb/pkgdb_test_tools.h"
#include "stage/commit.h"
#include "stage/manifest.h"
#include "stage/out_file.h"
#include "stage/proof.h"
#include "stage/staging.h"

namespace {

constexpr uint64_t block = 4096, chunk = 16384;

void sandbox(const std::function<void()>& body, uint64_t flash = 1 << 20, uint64_t ram = 4 << 20) {
  pkgdb_test::in_device_root(body, flash, ram);
}

using pkgdb_test::exists;
using pkgdb_test::got;
using pkgdb_test::list_dir;
using pkgdb_test::ops_text;
using pkgdb_test::put;
using pkgdb_test::stage_file;
unsigned mode_of(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}
std::string link_of(const std::string& path) {
  char buffer[256];
  ssize_t n = readlink(path.c_str(), buffer, sizeof buffer);
  return n < 0 ? "(not a link)" : std::string(buffer, static_cast<size_t>(n));
}
uint64_t free_bytes(const std::string& path) {
  struct statfs info;
  return statfs(path.c_str(), &info) == 0 ? uint64_t{info.f_bfree} * uint64_t(info.f_bsize) : 0;
}
std::string pattern(size_t size) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i / 1000 + i) % 26);
  return text;
}
// The directory a target was staged in, checked to be a fresh temporary.
std::string staged_dir(const manifest& m, const std::string& target) {
  auto it = m.ops.find(target);
  if (it == m.ops.end() || it->second.kind != OP_STAGED) return "(not staged)";
  const std::string& source = it->second.source;
  size_t slash = source.rfind('/');
  if (!is_temporary_name(source.substr(slash + 1)) || !exists(source)) return "(odd " + source + ")";
  return source.substr(0, slash);
}
std::string commit_err(manifest& m, const std::string& first = "", commit_failure* failure = nullptr) {
  std::fflush(stderr);
  int saved = dup(2), sink = open("/tmp/err", O_RDWR | O_CREAT | O_TRUNC, 0600);
  dup2(sink, 2);
  commit(m, first, false, failure);
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  close(sink);
  return got("/tmp/err");
}

TEST(Manifest, StagedFilesBelongToTheirEntry) {
  sandbox([] {
    manifest m;
    for (const char* name : {"/flash/t1", "/flash/t2", "/flash/t3", "/flash/t4", "/flash/t5", "/flash/target",
                             "/flash/pkg.npk"})
      put(name, "x");
    add_op(m, "/flash/a", {OP_STAGED, "/flash/t1"});
    add_op(m, "/flash/a", {OP_STAGED, "/flash/t2"});
    add_op(m, "/flash/a", {OP_STAGED, "/flash/t2"});
    EXPECT_FALSE(exists("/flash/t1")) << "staging twice deletes the first staged file";
    EXPECT_TRUE(exists("/flash/t2")) << "restaging the same file keeps it";
    drop_op(m, "/flash/a");
    add_op(m, "/flash/target", {OP_STAGED, "/flash/t3"});
    stage_removal(m, "/flash/target");
    EXPECT_FALSE(exists("/flash/t2") || exists("/flash/t3"));
    // A removal of a missing path drops its entry; the staged file it owned
    // used to stay behind on flash.
    add_op(m, "/flash/missing", {OP_STAGED, "/flash/t4"});
    stage_move(m, "/flash/pkg.npk", "/flash/gone");
    stage_removal(m, "/flash/missing");
    stage_removal(m, "/flash/gone");
    ASSERT_EQ(symlink("/nowhere", "/flash/dangling"), 0);
    stage_removal(m, "/flash/dangling");
    EXPECT_EQ(ops_text(m), "/flash/dangling=4:;/flash/target=4:;");
    EXPECT_FALSE(exists("/flash/t4"));
    add_op(m, "/a", {OP_STAGED, "/flash/t5"});
    stage_move(m, "/flash/pkg.npk", "/b");
    stage_link(m, "/flash/pkg.npk", "/c");
    drop_op(m, "/b");
    discard(m);
    EXPECT_TRUE(m.empty());
    EXPECT_EQ(list_dir("/flash"), "dangling pkg.npk target") << "only owned files go";
  });
}

TEST(Manifest, SavedFormAndRoundTrip) {
  sandbox([] {
    manifest m;
    for (const char* target : {"/a\x80", "/a/b", "/A", "/a b"}) stage_link(m, "x", target);
    EXPECT_EQ(ops_text(m), "/A=3:x;/a b=3:x;/a/b=3:x;/a\x80=3:x;") << "keys compare as unsigned bytes";
    m = {};
    stage_link(m, "/flash/bootimage", "/a/b");
    add_op(m, "/a", {OP_STAGED, "/ram/.installer-123456"});
    add_op(m, "/flash/old", {OP_REMOVE, {}});
    add_op(m, "/flash/odd", {2, "/ignored"});
    ASSERT_TRUE(save_manifest(m, "/ram/MANIFEST"));
    EXPECT_EQ(got("/ram/MANIFEST"), "M /a /ram/.installer-123456\nL /a/b /flash/bootimage\nU /flash/old\n");
    EXPECT_EQ(mode_of("/ram/MANIFEST"), 0644u);
    // Blanks, tabs, line feeds and backslashes used to read back as another
    // operation: a wrong file moved onto a wrong path.
    m = {};
    stage_move(m, "/ram/a b\tc\nd\\e", "/flash/x y/z\n\\040");
    stage_link(m, "link to\nsomewhere", "/flash/l l");
    add_op(m, "/flash/r\tr\\", {OP_REMOVE, {}});
    ASSERT_TRUE(save_manifest(m, "/ram/MANIFEST"));
    manifest loaded, fresh;
    ASSERT_TRUE(load_manifest(loaded, "/ram/MANIFEST"));
    EXPECT_EQ(ops_text(loaded), ops_text(m));
    EXPECT_NE(got("/ram/MANIFEST").find("M /flash/x\\040y/z\\012\\134040 /ram/a\\040b\\011c\\012d\\134e\n"), std::string::npos);
    const std::pair<const char*, const char*> loads[] = {
        {"", ""}, {"\nU /a\n", ""}, {"U /a\n\nU /b\n", "/a=4:;"}, {"U /a\nM /b\nU /c\n", "false /a=4:;"},
        {"X /a /b\nU /c\n", "/c=4:;"}, {"U /a\nM /a /b\n", "/a=0:/b;"}, {"L /a\n", "false "}, {"L /a /b", "/a=3:/b;"},
        {"U  /a\n", "false "}, {"M /a\\x /b\\\n", "/a\\x=0:/b\\;"}, {"M /a\\040b /c\\011d\\012\n", "/a b=0:/c\td\n;"},
    };
    for (const auto& [text, entries] : loads) {
      put("/ram/MANIFEST", text);
      manifest one;
      std::string result = load_manifest(one, "/ram/MANIFEST") ? "" : "false ";
      EXPECT_EQ(result + ops_text(one), entries) << text;
    }
    // A loaded manifest owns no staged file.
    put("/ram/t1", "x");
    put("/ram/MANIFEST", "M /flash/a /ram/t1\n");
    ASSERT_TRUE(load_manifest(fresh, "/ram/MANIFEST"));
    discard(fresh);
    EXPECT_TRUE(exists("/ram/t1"));
    // A failed save leaves no temporary and the old file as it was.
    ASSERT_EQ(mkdir("/ram/dir", 0755), 0);
    EXPECT_FALSE(save_manifest(m, "/ram/dir"));
    EXPECT_EQ(list_dir("/ram"), "MANIFEST dir t1");
  });
  // A save that ran out of room used to leave a cut-short manifest that a
  // later --commit carried out.
  sandbox([] {
    put("/ram/MANIFEST", "U /flash/old\n");
    put("/ram/filler", std::string(60 << 10, 'f'));
    manifest m;
    for (int i = 0; i < 400; ++i) stage_link(m, "/flash/bootimage", "/flash/var/pdb/p" + std::to_string(i) + "/image");
    EXPECT_FALSE(save_manifest(m, "/ram/MANIFEST"));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(got("/ram/MANIFEST"), "U /flash/old\n");
    EXPECT_EQ(list_dir("/ram"), "MANIFEST filler");
  }, 1 << 20, 64 << 10);
}

TEST(OutFile, OrderOfWritesAndTheFirstFailure) {
  sandbox([] {
    std::string expected;
    out_file out;
    out.attach(open("/flash/mixed", O_WRONLY | O_CREAT | O_TRUNC, 0644));
    for (size_t size : {3, 16380, 40000, 1, 16384, 7}) {  // buffered and direct writes
      out.write(std::string(size, static_cast<char>('a' + expected.size() % 26)));
      expected += std::string(size, static_cast<char>('a' + expected.size() % 26));
    }
    EXPECT_TRUE(out.close());
    EXPECT_EQ(got("/flash/mixed"), expected);
    out.attach(open("/flash/full", O_WRONLY | O_CREAT | O_TRUNC, 0644));
    out.write(std::string(free_bytes("/flash") + 1, 'x'));
    out.write("more");
    EXPECT_FALSE(out.close());
    EXPECT_EQ(out.error(), ENOSPC);
    out_file unattached;
    unattached.write("x");
    EXPECT_EQ(unattached.error(), EBADF);
  }, 128 << 10);
}

TEST(Staging, ParentDir) {
  const std::pair<const char*, const char*> cases[] = {
      {"/flash/var/pdb/x/", "/flash/var/pdb"}, {"/flash", "/"}, {"/", "."}, {"///", "."}, {"", "."},
      {"image", "."}, {"a/b", "a"}, {"/flash//bin//", "/flash"}, {"//x", "/"}, {"a//b", "a"}};
  for (const auto& [path, parent] : cases) EXPECT_EQ(parent_dir(path), parent) << "'" << path << "'";
}

// Placement keeps 64 KiB free on flash and reads the free space of the
// moment: files staged one after another, left short, and other writes of
// the run must all be seen.
TEST(Staging, PlacementFollowsTheFreeSpace) {
  sandbox([] {
    ASSERT_EQ(mkdir("/flash/bin", 0755) | mkdir("/flash/lib", 0755), 0);
    manifest m;
    auto at = [&](const std::string& target, uint64_t size, bool fill) {
      return stage_file(m, target, size, 0644, fill) ? staged_dir(m, target) : "(failed)";
    };
    EXPECT_EQ(at("/flash/bin/unknown", 0, false), "/ram") << "no size, never beside the target";
    manifest first;
    ASSERT_TRUE(stage_file(first, "/flash/new/a", 10));
    EXPECT_EQ(staged_dir(first, "/flash/new/a"), "/flash") << "the nearest existing directory";
    commit(first, "", false);
    EXPECT_EQ(at("/flash/new/b", 1, false), "/flash/new") << "directories made by a commit are seen";
    put("/flash/lib/foo", "a file that becomes a directory");
    EXPECT_EQ(at("/flash/lib/foo/bar", 1, false), "/flash/lib");
    uint64_t third = free_bytes("/flash") / 3;
    EXPECT_EQ(at("/flash/bin/a", third, true), "/flash/bin");
    EXPECT_EQ(at("/flash/lib/b", third, true), "/flash/lib");
    uint64_t before = free_bytes("/flash");
    put("/flash/lib/other", std::string(4 * block, 'o'));
    EXPECT_EQ(at("/flash/bin/h", before - 65537 - 2 * block, false), "/ram") << "another write took the room";
    ASSERT_EQ(unlink("/flash/lib/other"), 0);
    uint64_t left = free_bytes("/flash");
    EXPECT_EQ(at("/flash/bin/c", left - 65536, true), "/ram") << "one byte short of the reserve";
    EXPECT_EQ(at("/flash/lib/d", left - 65537 - block, false), "/flash/lib");
    EXPECT_EQ(at("/flash/bin/e", left - 65537 - block, true), "/flash/bin") << "d took nothing";
  });
}

// The mode is given at creation, whatever the umask or a directory's
// default access list (u::rwx, g::---, o::--- made 0644 into 0600).
TEST(Staging, ExactModes) {
  sandbox([] {
    ASSERT_EQ(mkdir("/flash/acl", 0755), 0);
    const uint8_t acl[] = {2, 0, 0, 0, 1, 0, 7, 0, 255, 255, 255, 255, 4, 0, 0, 0, 255, 255, 255, 255,
                           0x20, 0, 0, 0, 255, 255, 255, 255};
    int acl_error = setxattr("/flash/acl", "system.posix_acl_default", acl, sizeof acl, 0) == 0 ? 0 : errno;
    manifest m;
    for (mode_t mask : {077, 022, 0}) {
      umask(mask);
      for (const char* dir : {"/flash/", "/flash/acl/"})
        for (mode_t mode : {0, 04755, 0644, 0777, 0400}) {
          std::string target = dir + std::to_string(mask) + "-" + std::to_string(mode);
          ASSERT_TRUE(stage_file(m, target, 5, mode, true));
          EXPECT_EQ(mode_of(m.ops[target].source), mode ? mode : 0600u) << target;
          EXPECT_EQ(got(m.ops[target].source), "xxxxx");
        }
    }
    EXPECT_TRUE(acl_error == 0 || acl_error == EOPNOTSUPP) << std::strerror(acl_error);
  });
}

TEST(Staging, PathLimits) {
  sandbox([] {
    // A 128-byte template cut long directories: every long-path file of a
    // package shared one cut path.
    std::string dir = "/flash";
    for (char c = 'a'; c < 'g'; ++c) ASSERT_EQ(mkdir(dir.append(1, '/').append(30, c).c_str(), 0755), 0);
    manifest m;
    ASSERT_TRUE(stage_file(m, dir + "/one", 10) && stage_file(m, dir + "/two", 10));
    EXPECT_EQ(staged_dir(m, dir + "/one") + staged_dir(m, dir + "/two"), dir + dir);
    // Too long to rename: refused at once, not at the commit after the
    // package was recorded.
    std::string deep = "/flash";
    while (deep.size() < 4095) deep += "/d";
    for (const std::string& target : {deep.substr(0, 4096), "/flash/" + std::string(256, 'n'),
                                      "/flash/" + std::string(256, 'n') + "/x"}) {
      errno = 0;
      EXPECT_FALSE(stage_file(m, target, 10)) << target.size();
      EXPECT_EQ(errno, ENAMETOOLONG);
    }
    EXPECT_TRUE(stage_file(m, deep.substr(0, 4094), 10) && stage_file(m, "/flash/" + std::string(255, 'n'), 10));
    EXPECT_EQ(m.ops.size(), 4u);
  });
  sandbox([] {  // without /ram, staged files go to /tmp
    ASSERT_EQ(rmdir("/ram/pdb"), 0);
    ASSERT_EQ(rmdir("/ram"), 0);
    manifest m;
    ASSERT_TRUE(stage_file(m, "/flash/a", 0));
    EXPECT_EQ(staged_dir(m, "/flash/a"), "/tmp");
  }, 1 << 20, 0);
}

TEST(Staging, SpaceCheck) {
  sandbox([] {
    const int64_t free_blocks = static_cast<int64_t>(free_bytes("/flash") / block), b = block;
    const std::pair<int64_t, bool> cases[] = {
        {(free_blocks - 9) * b, true}, {(free_blocks - 8) * b - 4095, false}, {(free_blocks + 3) * b, false}};
    for (const auto& [size, passes] : cases) {
      put("/ram/staged", std::string(static_cast<size_t>(size), 's'));
      manifest m;
      stage_move(m, "/ram/staged", "/flash/bin/new");
      EXPECT_EQ(check_space(m), passes) << size;
      put("/flash/old", std::string(2 * block, 'o'));  // a replaced file gives its blocks back
      stage_move(m, "/ram/staged", "/flash/old");
      stage_removal(m, "/flash/bin/new");
      EXPECT_EQ(check_space(m), passes) << size << " replacing a file";
      ASSERT_EQ(unlink("/flash/old"), 0);
    }
    // Removing a link used to credit the size of the file it points to.
    put("/flash/big", std::string(64 * block, 'b'));
    ASSERT_EQ(symlink("/flash/big", "/flash/link"), 0);
    put("/ram/staged", std::string(static_cast<size_t>(free_bytes("/flash") / block - 7) * block, 's'));
    manifest m;
    stage_removal(m, "/flash/link");
    stage_move(m, "/ram/staged", "/flash/new");
    EXPECT_FALSE(check_space(m));
    // Removals and moves within flash need no room.
    put("/flash/filler", std::string(free_bytes("/flash") - block, 'f'));
    manifest local;
    stage_removal(local, "/flash/big");
    stage_move(local, "/flash/filler", "/flash/new/dir/target");
    EXPECT_TRUE(check_space(local));
  });
  // More than 2^31 free blocks wrapped a 32-bit count.
  sandbox([] {
    put("/ram/staged", std::string(1 << 20, 's'));
    manifest m;
    stage_move(m, "/ram/staged", "/flash/new");
    EXPECT_TRUE(check_space(m));
  }, uint64_t{16} << 40);
  // A file system that cannot be queried has block size 1: a charge of more
  // than 2 GiB wrapped into plenty of room.
  sandbox([] {
    int fd = open("/ram/huge", O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(ftruncate(fd, off_t{3} << 30), 0);
    close(fd);
    manifest m;
    stage_move(m, "/ram/huge", "/flash/boot/huge");  // no /flash/boot to query
    EXPECT_FALSE(check_space(m));
  }, uint64_t{4} << 40);
}

// Renames, removals of files and database directories, links and copies
// from ram are the cut-point sweep's (faults); these are what it cannot see.
TEST(Commit, Outcomes) {
  sandbox([] {
    for (const char* dir : {"/flash/d", "/flash/f", "/flash/f/sub", "/flash/real"}) ASSERT_EQ(mkdir(dir, 0755), 0);
    for (const char* file : {"/flash/d/a", "/flash/d/.hidden", "/flash/f/a", "/flash/f/sub/x", "/flash/real/kept"}) put(file, "x");
    ASSERT_EQ(symlink("/flash/real", "/flash/alias"), 0);
    put("/ram/real", "data");
    ASSERT_EQ(symlink("/ram/real", "/ram/link"), 0);
    put("/flash/target", "old");
    ASSERT_EQ(mkdir("/flash/pdb", 0755) | symlink("/flash/bootimage", "/flash/pdb/image"), 0);
    umask(077);
    manifest m;
    for (const char* target : {"/flash/d/", "/flash/f", "/flash/alias/"}) stage_removal(m, target);
    const std::string content = pattern(3 * chunk + 5);
    ASSERT_TRUE(stage_file(m, "/flash/bin/tool", uint64_t{1} << 40, 04755));
    std::string staged = m.ops["/flash/bin/tool"].source;
    put(staged, content, 04755);
    stage_move(m, "/ram/link", "/flash/target");
    stage_move(m, "/ram/real", "/flash/pdb/image");
    EXPECT_EQ(commit_err(m), "");
    EXPECT_EQ(list_dir("/flash/d") + "|" + list_dir("/flash/f") + "|" + list_dir("/flash/real"), ".hidden|sub|kept")
        << "removals leave hidden files and subdirectories, and never sweep through a link";
    // Copies from ram used to take the umask and leave the staged file.
    EXPECT_EQ(got("/flash/bin/tool"), content);
    EXPECT_EQ(mode_of("/flash/bin/tool"), 04755u);
    EXPECT_FALSE(exists(staged));
    EXPECT_EQ(got("/flash/target"), "old") << "a link as the source copies nothing";
    // A copy onto a dangling link used to write through it.
    EXPECT_EQ(link_of("/flash/pdb/image") + got("/flash/pdb/image"), "(not a link)data");
    EXPECT_FALSE(exists("/flash/bootimage"));
  });
  // A link that could not be made used to leave its path empty.
  sandbox([] {
    put("/flash/image", "old image");
    manifest m;
    stage_link(m, std::string(5000, 'x'), "/flash/image");
    EXPECT_EQ(commit_err(m), std::string("symlink: ") + std::strerror(ENAMETOOLONG) + "\n");
    EXPECT_EQ(got("/flash/image"), "old image");
    EXPECT_EQ(list_dir("/flash"), "image");
  });
  // A copy that ran out of room left its target cut short, and the other
  // changes were made: every copy now comes first, and a failed one changes nothing.
  sandbox([] {
    put("/flash/lib.so", pattern(3 * chunk), 0755);
    put("/flash/gone", "still here");
    put("/ram/small", "fits");
    put("/ram/new.so", pattern(free_bytes("/flash") + chunk));
    manifest m;
    stage_move(m, "/ram/small", "/flash/a/small");
    stage_move(m, "/ram/new.so", "/flash/lib.so");
    stage_removal(m, "/flash/gone");
    commit_failure failure;
    EXPECT_EQ(commit_err(m, "", &failure), "");
    EXPECT_EQ(failure.what, std::string("could not copy /ram/new.so to /flash/lib.so: ") + std::strerror(ENOSPC));
    EXPECT_EQ(got("/flash/lib.so") + std::to_string(mode_of("/flash/lib.so")), pattern(3 * chunk) + std::to_string(0755));
    EXPECT_EQ(list_dir("/flash"), "gone lib.so");
    EXPECT_EQ(m.ops.at("/flash/lib.so").source, "/ram/new.so");
  }, 256 << 10);
  // A staged file whose move failed used to stay behind, owned by nobody.
  sandbox([] {
    put("/flash/blocker", "a file where a directory is wanted");
    put("/flash/.installer-AAAAAA", "staged beside its target");
    put("/ram/loaded", "x");
    manifest m;
    add_op(m, "/flash/blocker/file", {OP_STAGED, "/flash/.installer-AAAAAA"});
    stage_move(m, "/ram/loaded", "/flash/blocker/other");
    commit_failure failure;
    commit_err(m, "", &failure);
    EXPECT_EQ(failure.error, ENOTDIR);
    EXPECT_EQ(list_dir("/flash") + "|" + list_dir("/ram"), "blocker|loaded");
  });
}

// The spinner steps once per chunk copied, never for a rename.
// A download is taken out of its uploader's hands before it is read: owned
// by the installer's user, writable by that user only, no set-id bits.
TEST(Proof, TakeOverFromTheUploader) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root rights";
  char path[] = "/tmp/installer-download-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  struct stat st;
  ASSERT_EQ(fchown(fd, 1000, 1000) | fchmod(fd, 06777) | fstat(fd, &st), 0);
  EXPECT_TRUE(take_over(fd, &st));
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_gid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  close(fd);
  unlink(path);
}

TEST(Commit, Spinner) {
  sandbox([] {
    static uint32_t ticks = 0;
    std::FILE* drawn = std::tmpfile();
    terminal().spinner = {.clock = [] { return ticks += 21; }, .out = drawn};
    put("/ram/big", pattern(3 * chunk + 1));
    put("/flash/local", "x");
    manifest m;
    stage_move(m, "/ram/big", "/flash/big");
    stage_move(m, "/flash/local", "/flash/moved");
    commit(m, "", true);
    std::rewind(drawn);
    char text[64] = {};
    EXPECT_EQ(std::string(text, std::fread(text, 1, sizeof text, drawn)), "|\b/\b-\b\\");
  });
}

}  // namespace
