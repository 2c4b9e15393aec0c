// The manifest, staged files, space checks and the commit, each run in a
// device root whose /flash (and /ram, where its room matters) is a small tmpfs
// file system of its own.
// The commit's renames, removals, links and copies from ram are the cut-point
// sweeps' (tests/faults); these are what they cannot reach.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <random>

#include "pkgdb/pkgdb_test_tools.h"
#include "platform/fs.h"
#include "stage/commit.h"
#include "stage/manifest.h"
#include "stage/out_file.h"
#include "stage/proof.h"
#include "stage/staging.h"

namespace {

using namespace pkgdb_test;
using namespace std::string_literals;
constexpr uint64_t block = 4096, chunk = 16384;

// A file's permission bits (by lstat: a symbolic link shows 0777) and content.
std::pair<unsigned, std::string> file_of(const std::string& path) {
  struct stat st;
  return {fs::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0, got(path)};
}
uint64_t free_bytes(const std::string& path) {
  struct statfs info;
  return fs::statfs(path.c_str(), &info) == 0 ? uint64_t{info.f_bfree} * uint64_t(info.f_bsize) : 0;
}
// Text in which a piece out of place or repeated shows.
std::string pattern(size_t size) {
  std::string text;
  while (text.size() < size) text += std::to_string(text.size()) + ",";
  return text.substr(0, size);
}
// The directory a target was staged in, checked to be a fresh temporary.
std::string staged_dir(const manifest& m, const std::string& target) {
  auto it = m.ops.find(target);
  if (it == m.ops.end() || it->second.kind != OP_STAGED) return "(not staged)";
  std::string source = it->second.source, dir = parent_dir(source);
  return is_temporary_name(source.substr(dir.size() + 1)) && exists(source) ? dir : "(odd " + source + ")";
}

TEST(Manifest, OwnedFilesSavedFormAndRoundTrip) {
  in_device_root([] {
    for (const char* name : {"t1", "t2", "t3", "t4", "target", "pkg.npk"}) put(std::string("/flash/") + name, "x");
    manifest m, loaded;
    for (const char* staged : {"/flash/t1", "/flash/t2", "/flash/t2"}) add_op(m, "/flash/a", {OP_STAGED, staged});
    EXPECT_TRUE(!exists("/flash/t1") && exists("/flash/t2")) << "staging again deletes the file replaced, not itself";
    drop_op(m, "/flash/a");
    add_op(m, "/flash/target", {OP_STAGED, "/flash/t3"});
    stage_removal(m, "/flash/target");
    // A removal of a missing path drops its entry; the staged file it owned
    // used to stay behind on flash.
    add_op(m, "/flash/missing", {OP_STAGED, "/flash/t4"});
    stage_move(m, "/flash/pkg.npk", "/flash/gone");
    ASSERT_EQ(fs::symlink("/nowhere", "/flash/dangling"), 0);
    for (const char* target : {"/flash/missing", "/flash/gone", "/flash/dangling"}) stage_removal(m, target);
    EXPECT_EQ(ops_text(m) + "|" + list_dir("/flash"), "/flash/dangling=4:;/flash/target=4:;|dangling pkg.npk target")
        << "only owned files go";
    stage_link(m, "/flash/bootimage", "/a/b");
    add_op(m, "/a", {OP_STAGED, "/ram/.installer-123456"});
    // Blanks, tabs, line feeds and backslashes used to read back as another
    // operation: a wrong file moved onto a wrong path.
    stage_move(m, "/ram/a b\tc\nd\\e", "/flash/x y/z\n\\040");
    stage_link(m, "link to\nsomewhere", "/flash/l l");
    add_op(m, "/flash/r\tr\\", {OP_REMOVE, {}});
    ASSERT_TRUE(save_manifest(m, "/ram/MANIFEST"));
    EXPECT_EQ(file_of("/ram/MANIFEST"), std::pair(0644u, "M /a /ram/.installer-123456\nL /a/b /flash/bootimage\n"
        "U /flash/dangling\nL /flash/l\\040l link\\040to\\012somewhere\nU /flash/r\\011r\\134\nU /flash/target\n"
        "M /flash/x\\040y/z\\012\\134040 /ram/a\\040b\\011c\\012d\\134e\n"s));
    // Every move loads as a plain one: a loaded manifest owns no staged file.
    m.ops.put("/a", {OP_MOVE, m.ops.find("/a")->second.source});
    ASSERT_TRUE(load_manifest(loaded, "/ram/MANIFEST"));
    EXPECT_EQ(ops_text(loaded), ops_text(m));
    const std::pair<const char*, const char*> loads[] = {
        {"", ""}, {"\nU /a\n", ""}, {"U /a\n\nU /b\n", "/a=4:;"}, {"U /a\nM /b\nU /c\n", "false /a=4:;"},
        {"X /a /b\nU /c\n", "/c=4:;"}, {"U /a\nM /a /b\n", "/a=0:/b;"}, {"L /a\n", "false "}, {"L /a /b", "/a=3:/b;"},
        {"U  /a\n", "false "}, {"M /a\\x /b\\\n", "/a\\x=0:/b\\;"}, {"M /a\\040b /c\\011d\\012\n", "/a b=0:/c\td\n;"}};
    for (const auto& [text, entries] : loads) {
      manifest one;
      put("/ram/MANIFEST", text);
      EXPECT_EQ((load_manifest(one, "/ram/MANIFEST") ? ""s : "false "s).append(ops_text(one)), entries) << text;
    }
    // A save that ran out of room used to leave a cut-short manifest that a
    // later --commit carried out: the old one stays, and no temporary.
    put("/ram/MANIFEST", "U /flash/old\n");
    put("/ram/filler", std::string(60 << 10, 'f'));
    for (int i = 0; i < 400; ++i) stage_link(m, "/flash/bootimage", "/flash/var/pdb/p" + std::to_string(i) + "/image");
    EXPECT_FALSE(save_manifest(m, "/ram/MANIFEST"));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(got("/ram/MANIFEST") + "|" + list_dir("/ram"), "U /flash/old\n|MANIFEST filler");
  }, 1 << 20, 64 << 10);
}

// The table against an ordered map of strings, through additions,
// replacements and drops in any order, read in between: one operation per
// target, targets in unsigned byte order (0x80 and up last), each source
// read back whole whatever it shares with its target, and a path longer
// than a block of the arena.
TEST(Manifest, TableAgainstAnOrderedMap) {
  const std::string huge = "/flash/" + std::string(70000, 'h');
  std::vector<std::string> targets = {huge, huge + "/f", "/flash/\x80", "/flash/\xff/x", "/flash", "/flash/a"};
  for (int i = 0; i < 400; ++i) targets.push_back("/flash/d" + std::to_string(i % 7) + "/f" + std::to_string(i * 37 % 400));
  // A name alone is a staged file's beside its target.
  const std::string sources[] = {"", ".installer-abcdef", "/ram/.installer-ab"};
  const uint32_t kinds[] = {OP_MOVE, OP_STAGED, OP_LINK, OP_REMOVE};
  manifest m;
  m.dry_run = true;  // nothing staged to unlink
  std::map<std::string, file_op> expected;
  auto listed = [](const auto& table) {
    std::string text;
    for (const auto& [target, op] : table) text.append(target).append("=").append(std::to_string(op.kind)).append(":").append(op.source) += ";";
    return text;
  };
  std::mt19937 random(5);
  for (int step = 1; step <= 3000; ++step) {
    const std::string& target = targets[random() % std::size(targets)];
    if (random() % 5 == 0) {
      drop_op(m, target);
      expected.erase(target);
    } else {
      std::string source = sources[random() % std::size(sources)];
      if (source.starts_with('.')) source = parent_dir(target) + "/" + source;
      file_op op{kinds[random() % std::size(kinds)], source};
      add_op(m, target, op);
      expected[target] = op;
    }
    ASSERT_EQ(m.ops.count(target), expected.count(target)) << "step " << step;
    if (step % 250 == 0) {
      ASSERT_TRUE(listed(m.ops) == listed(expected)) << "step " << step;
    }
  }
}

TEST(OutFile, OrderOfWritesAndTheFirstFailure) {
  in_device_root([] {
    const std::string all = pattern(3 + 16380 + 40000 + 1 + 16384 + 7);
    out_file out;
    out.attach(fs::open("/flash/mixed", O_WRONLY | O_CREAT | O_TRUNC, 0644));
    for (size_t at = 0; size_t size : {3, 16380, 40000, 1, 16384, 7}) out.write(all.substr(at, size)), at += size;
    EXPECT_TRUE(out.close());
    EXPECT_EQ(got("/flash/mixed"), all);
    out.attach(fs::open("/flash/full", O_WRONLY | O_CREAT | O_TRUNC, 0644));
    out.write(std::string(free_bytes("/flash") + 1, 'x'));
    EXPECT_EQ(out.close() ? 0 : out.error(), ENOSPC) << "the first failure, from a close that fails";
  }, 128 << 10);
}

TEST(Staging, ParentDir) {
  const char* const cases[][2] = {{"/flash/var/pdb/x/", "/flash/var/pdb"}, {"/flash", "/"}, {"/", "."},
      {"///", "."}, {"", "."}, {"image", "."}, {"a/b", "a"}, {"/flash//bin//", "/flash"}, {"//x", "/"}, {"a//b", "a"}};
  for (const auto& [path, parent] : cases) EXPECT_EQ(parent_dir(path), parent) << "'" << path << "'";
}

// Where a staged file goes, and which targets can be staged at all.
TEST(Staging, PlacementAndPathLimits) {
  in_device_root([] {
    manifest m, limits;  // without /ram, staged files go to /tmp
    ASSERT_EQ(fs::rmdir("/ram/pdb") | fs::rmdir("/ram"), 0);
    ASSERT_TRUE(stage_file(limits, "/flash/a", 0));
    EXPECT_EQ(staged_dir(limits, "/flash/a"), "/tmp");
    // A 128-byte template cut long directories: every long-path file of a
    // package shared one cut path.
    std::string dir = "/flash", deep = "/flash", name(255, 'n');
    for (char c = 'a'; c < 'g'; ++c) ASSERT_EQ(fs::mkdir(dir.append(1, '/').append(30, c).c_str(), 0755), 0);
    ASSERT_TRUE(stage_file(limits, dir + "/one", 10) && stage_file(limits, dir + "/two", 10));
    EXPECT_EQ(staged_dir(limits, dir + "/one") + staged_dir(limits, dir + "/two"), dir + dir);
    // Too long to rename: refused at once, not at the commit after the
    // package was recorded.
    while (deep.size() < 4095) deep += "/d";
    for (const std::string& target : {deep.substr(0, 4096), "/flash/n" + name, "/flash/n" + name + "/x"}) {
      errno = 0;
      EXPECT_TRUE(!stage_file(limits, target, 10) && errno == ENAMETOOLONG) << target.size();
    }
    EXPECT_TRUE(stage_file(limits, deep.substr(0, 4094), 10) && stage_file(limits, "/flash/" + name, 10));
    // Placement keeps 64 KiB free on flash and reads the free space of the
    // moment: files staged one after another, left short, and other writes
    // of the run must all be seen.
    ASSERT_EQ(fs::mkdir("/ram", 0755) | fs::mkdir("/flash/bin", 0755) | fs::mkdir("/flash/lib", 0755), 0);
    auto at = [&](const std::string& target, uint64_t size, bool fill) {
      return stage_file(m, target, size, 0644, fill) ? staged_dir(m, target) : "(failed)";
    };
    EXPECT_EQ(at("/flash/bin/unknown", 0, false), "/ram") << "no size, never beside the target";
    EXPECT_EQ(at("/flash/new/a", 10, false), "/flash") << "the nearest existing directory";
    commit(m, "", nullptr);
    EXPECT_EQ(at("/flash/new/b", 1, false), "/flash/new") << "directories made by a commit are seen";
    put("/flash/lib/foo", "a file that becomes a directory");
    EXPECT_EQ(at("/flash/lib/foo/bar", 1, false), "/flash/lib");
    uint64_t third = free_bytes("/flash") / 3;
    EXPECT_EQ(at("/flash/bin/a", third, true), "/flash/bin");
    EXPECT_EQ(at("/flash/lib/b", third, true), "/flash/lib");
    uint64_t left = free_bytes("/flash");
    EXPECT_EQ(at("/flash/bin/c", left - 65536, true), "/ram") << "one byte short of the reserve";
    EXPECT_EQ(at("/flash/lib/d", left - 65537 - block, false), "/flash/lib");
    EXPECT_EQ(at("/flash/bin/e", left - 65537 - block, true), "/flash/bin") << "d took nothing";
    EXPECT_EQ(at("/flash/bin/f", 1, false), "/flash/bin") << "room for one more";
    put("/flash/lib/other", std::string(4 * block, 'o'));
    EXPECT_EQ(at("/flash/bin/g", 1, false), "/ram") << "another write took the room";
  }, 1 << 20);
}

// The mode is given at creation, whatever the umask or a directory's
// default access list (u::rwx, g::---, o::--- made 0644 into 0600).
TEST(Staging, ExactModes) {
  in_device_root([] {
    const uint8_t acl[] = {2, 0, 0, 0, 1, 0, 7, 0, 255, 255, 255, 255, 4, 0, 0, 0, 255, 255, 255, 255,
                           0x20, 0, 0, 0, 255, 255, 255, 255};
    ASSERT_EQ(fs::mkdir("/flash/acl", 0755), 0);
    const std::string acl_dir = fs::device_root() + "/flash/acl";
    EXPECT_TRUE(setxattr(acl_dir.c_str(), "system.posix_acl_default", acl, sizeof acl, 0) == 0 || errno == EOPNOTSUPP)
        << std::strerror(errno);
    manifest m;
    for (mode_t mask : {077, 022, 0})
      for (const char* dir : {"/flash/", "/flash/acl/"})
        for (mode_t mode : {0, 04755, 0644, 0777, 0400}) {
          umask(mask);
          std::string target = dir + std::to_string(mask) + "-" + std::to_string(mode);
          ASSERT_TRUE(stage_file(m, target, 5, mode, true));
          EXPECT_EQ(file_of(m.ops.find(target)->second.source), std::pair(mode ? mode : 0600u, "xxxxx"s)) << target;
        }
  }, 1 << 20);
}

TEST(Staging, SpaceCheck) {
  in_device_root([] {
    const int64_t free_blocks = static_cast<int64_t>(free_bytes("/flash") / block), b = block;
    const std::pair<int64_t, bool> cases[] = {
        {(free_blocks - 9) * b, true}, {(free_blocks - 8) * b - 4095, false}, {(free_blocks + 3) * b, false}};
    for (bool replacing : {false, true})  // a replaced file of 2 blocks gives them back
      for (const auto& [size, passes] : cases) {
        if (replacing) put("/flash/old", std::string(2 * block, 'o'));
        put("/ram/staged", std::string(static_cast<size_t>(size), 's'));
        manifest m;
        stage_move(m, "/ram/staged", replacing ? "/flash/old" : "/flash/bin/new");
        EXPECT_EQ(check_space(m), passes) << size << (replacing ? " replacing a file" : "");
        fs::unlink("/flash/old");
      }
    // Removing a link used to credit the size of the file it points to.
    put("/flash/big", std::string(64 * block, 'b'));
    ASSERT_EQ(fs::symlink("big", "/flash/link"), 0);
    put("/ram/staged", std::string(static_cast<size_t>(free_bytes("/flash") / block - 7) * block, 's'));
    manifest m, local;
    stage_removal(m, "/flash/link");
    stage_move(m, "/ram/staged", "/flash/new");
    EXPECT_FALSE(check_space(m));
    // Removals and moves within flash need no room.
    put("/flash/filler", std::string(free_bytes("/flash") - block, 'f'));
    stage_removal(local, "/flash/big");
    stage_move(local, "/flash/filler", "/flash/new/dir/target");
    EXPECT_TRUE(check_space(local));
  }, 1 << 20, 4 << 20);
  in_device_root([] {
    // More than 2^31 free blocks wrapped a 32-bit count.
    put("/ram/staged", std::string(1 << 20, 's'));
    manifest m;
    stage_move(m, "/ram/staged", "/flash/new");
    EXPECT_TRUE(check_space(m));
    // A file system that cannot be queried has block size 1: a charge of
    // more than 2 GiB wrapped into plenty of room.
    put("/ram/huge", "");
    ASSERT_EQ(truncate((fs::device_root() + "/ram/huge").c_str(), off_t{3} << 30), 0);
    stage_move(m, "/ram/huge", "/flash/boot/huge");  // no /flash/boot to query
    EXPECT_FALSE(check_space(m));
  }, uint64_t{16} << 40, 4 << 20);
}

TEST(Commit, Outcomes) {
  in_device_root([] {
    for (std::string dir : {"d", "f", "f/sub", "real", "pdb"}) ASSERT_EQ(fs::mkdir(("/flash/" + dir).c_str(), 0755), 0);
    for (std::string file : {"d/a", "d/.hidden", "f/a", "f/sub/x", "real/kept", "target"}) put("/flash/" + file, "x");
    put("/ram/real", "new");
    ASSERT_EQ(fs::symlink("real", "/flash/alias") | fs::symlink("real", "/ram/link") |
                  fs::symlink("../bootimage", "/flash/pdb/image"), 0);
    umask(077);
    manifest m;
    for (const char* target : {"/flash/d/", "/flash/f", "/flash/alias/"}) stage_removal(m, target);
    ASSERT_TRUE(stage_file(m, "/flash/bin/tool", uint64_t{1} << 40, 04755));
    put(m.ops.find("/flash/bin/tool")->second.source, pattern(3 * chunk + 5), 04755);
    stage_move(m, "/ram/link", "/flash/target");
    stage_move(m, "/ram/real", "/flash/pdb/image");
    commit(m, "", nullptr);
    EXPECT_EQ(list_dir("/flash/d") + "|" + list_dir("/flash/f") + "|" + list_dir("/flash/real"), ".hidden|sub|kept")
        << "removals leave hidden files and subdirectories, and never sweep through a link";
    // Copies from ram used to take the umask and leave the staged file.
    EXPECT_EQ(file_of("/flash/bin/tool"), std::pair(04755u, pattern(3 * chunk + 5)));
    EXPECT_EQ(list_dir("/ram"), "link real");
    EXPECT_EQ(got("/flash/target"), "x") << "a link as the source copies nothing";
    // A copy onto a dangling link used to write through it.
    EXPECT_EQ(file_of("/flash/pdb/image"), std::pair(0644u, "new"s)) << "not a link to /flash/bootimage any more";
  }, 1 << 20, 1 << 20);
}

// A download is taken out of its uploader's hands before it is read: owned
// by the installer's user, writable by that user only, no set-id bits.
TEST(Proof, TakeOverFromTheUploader) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root rights";
  int fd = open("/tmp", O_TMPFILE | O_RDWR, 0600);
  struct stat st;
  ASSERT_EQ(fchown(fd, 1000, 1000) | fchmod(fd, 06777) | fstat(fd, &st), 0);
  EXPECT_TRUE(take_over(fd, &st));
  EXPECT_EQ(std::tuple(st.st_uid, st.st_gid, st.st_mode & 07777), std::tuple(0u, 0u, 0755u));
  close(fd);
}

}  // namespace
