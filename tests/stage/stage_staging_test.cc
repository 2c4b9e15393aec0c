#include "stage/staging.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "pkgdb/record.h"
#include "stage/commit.h"
#include "stage/manifest.h"
#include "stage/out_file.h"
#include "stage_sandbox.h"

namespace {

using stage_test::exists;
using stage_test::free_bytes;
using stage_test::read_file;
using stage_test::sandbox_options;
using stage_test::write_file;

constexpr uint64_t block = 4096;  // tmpfs block size

std::string kinds(const manifest& m) {
  std::string text;
  for (const auto& [target, op] : m.ops) text += target + "=" + std::to_string(op.kind) + ";";
  return text;
}

// The directory of a staged file, checked to have a fresh temporary name.
std::string staged_dir(const manifest& m, const std::string& target) {
  auto it = m.ops.find(target);
  if (it == m.ops.end()) return "(no entry)";
  if (it->second.kind != OP_STAGED) return "(not staged)";
  const std::string& source = it->second.source;
  size_t slash = source.rfind('/');
  std::string name = source.substr(slash + 1);
  if (!is_temporary_name(name)) return "(odd name " + name + ")";
  if (!exists(source)) return "(missing " + source + ")";
  return source.substr(0, slash);
}

void make_sparse(const std::string& path, off_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(ftruncate(fd, size), 0) << path;
  close(fd);
}

TEST(ParentDir, Cases) {
  const struct {
    const char* path;
    const char* parent;
  } cases[] = {
      {"/flash/var/pdb/x/", "/flash/var/pdb"}, {"/flash/bin/app", "/flash/bin"}, {"/flash", "/"},
      {"/", "."}, {"///", "."}, {"", "."}, {"image", "."}, {"a/b", "a"}, {"/flash//bin//", "/flash"},
      {"//x", "/"}, {"a//b", "a"}, {"/ram/.installer-ABCDEF", "/ram"},
  };
  for (const auto& c : cases) EXPECT_EQ(parent_dir(c.path), c.parent) << "'" << c.path << "'";
}

TEST(StagedFile, PlacedBesideTargetOnlyWithRoomBeyondHint) {
  IN_SANDBOX(sandbox_options{}, [] {
    ASSERT_EQ(mkdir("/flash/bin", 0755), 0);
    uint64_t room = free_bytes("/flash");
    ASSERT_GT(room, 65536u);
    manifest m;
    out_file a, b, c;
    ASSERT_TRUE(open_staged_file(&a, m, "/flash/bin/exact", room - 65536, 0));
    ASSERT_TRUE(open_staged_file(&b, m, "/flash/bin/fits", room - 65537, 0));
    ASSERT_TRUE(open_staged_file(&c, m, "/flash/bin/unknown", 0, 0));
    EXPECT_EQ(staged_dir(m, "/flash/bin/exact"), "/ram");
    EXPECT_EQ(staged_dir(m, "/flash/bin/fits"), "/flash/bin");
    EXPECT_EQ(staged_dir(m, "/flash/bin/unknown"), "/ram") << "size 0 never goes beside the target";
    EXPECT_TRUE(a.is_open() && b.is_open() && c.is_open());
  });
}

// Placement remembers directories within a run, never the free space: files
// staged one after another, filled or left short by a broken package, and
// space taken by other writes of the run, must all be seen.
TEST(StagedFile, PlacementFollowsTheFreeSpaceOfTheMoment) {
  IN_SANDBOX(sandbox_options{}, [] {
    ASSERT_EQ(mkdir("/flash/bin", 0755), 0);
    ASSERT_EQ(mkdir("/flash/lib", 0755), 0);
    manifest m;
    auto stage = [&m](const std::string& target, uint64_t size, bool fill) {
      out_file out;
      if (!open_staged_file(&out, m, target, size, 0644)) return std::string("(failed)");
      if (fill) out.write(std::string(size, 'x'));
      if (!out.close()) return std::string("(write failed)");
      return staged_dir(m, target);
    };
    uint64_t third = free_bytes("/flash") / 3;
    EXPECT_EQ(stage("/flash/bin/a", third, true), "/flash/bin");
    EXPECT_EQ(stage("/flash/lib/b", third, true), "/flash/lib");
    uint64_t before = free_bytes("/flash");
    write_file("/flash/lib/other", std::string(4 * block, 'o'));
    EXPECT_EQ(stage("/flash/bin/h", before - 65537 - 2 * block, false), "/ram") << "another write took the room";
    ASSERT_EQ(unlink("/flash/lib/other"), 0);
    uint64_t left = free_bytes("/flash");
    EXPECT_EQ(stage("/flash/bin/c", left - 65536, true), "/ram") << "one byte short of the reserve";
    EXPECT_EQ(stage("/flash/lib/d", left - 65537 - block, false), "/flash/lib") << "fits, left empty";
    EXPECT_EQ(stage("/flash/bin/e", left - 65537 - block, true), "/flash/bin") << "d took nothing";
    // About a reserve and a block are left now.
    EXPECT_EQ(stage("/flash/bin/f", 2 * block, true), "/ram");
    EXPECT_EQ(stage("/flash/bin/g", 1, true), "/flash/bin");
  });
}

// The staging remembers which directories exist; a commit creates some, and
// later staging must see them.
TEST(StagedFile, DirectoriesMadeByACommitAreSeen) {
  IN_SANDBOX(sandbox_options{}, [] {
    manifest m;
    out_file a;
    ASSERT_TRUE(open_staged_file(&a, m, "/flash/new/a", 10, 0644));
    ASSERT_TRUE(a.close());
    EXPECT_EQ(staged_dir(m, "/flash/new/a"), "/flash");
    commit(m, "", false);
    ASSERT_TRUE(exists("/flash/new/a"));
    out_file b;
    ASSERT_TRUE(open_staged_file(&b, m, "/flash/new/b", 10, 0644));
    EXPECT_EQ(staged_dir(m, "/flash/new/b"), "/flash/new");
  });
}

TEST(StagedFile, MissingDirectoriesAndFilesOnThePathAreClimbed) {
  IN_SANDBOX(sandbox_options{}, [] {
    ASSERT_EQ(mkdir("/flash/lib", 0755), 0);
    write_file("/flash/lib/foo", "old file that becomes a directory");
    manifest m;
    out_file a, b, c;
    ASSERT_TRUE(open_staged_file(&a, m, "/flash/new/deep/file", 10, 0));
    ASSERT_TRUE(open_staged_file(&b, m, "/flash/new/big", 2 << 20, 0));
    ASSERT_TRUE(open_staged_file(&c, m, "/flash/lib/foo/bar", 10, 0));
    EXPECT_EQ(staged_dir(m, "/flash/new/deep/file"), "/flash");
    EXPECT_EQ(staged_dir(m, "/flash/new/big"), "/ram");
    EXPECT_EQ(staged_dir(m, "/flash/lib/foo/bar"), "/flash/lib");
  });
}

// The mode is given at creation whatever the umask: bits the umask would
// take away, special bits, and a mode the umask leaves alone.
TEST(StagedFile, WrittenThroughItsDescriptorWithExactMode) {
  for (mode_t mask : {mode_t{077}, mode_t{022}, mode_t{0}}) {
    IN_SANDBOX(sandbox_options{}, [mask] {
      umask(mask);
      manifest m;
      const std::pair<const char*, mode_t> files[] = {
          {"/flash/a", 0}, {"/flash/b", 04755}, {"/flash/c", 0644}, {"/flash/d", 0777}, {"/flash/e", 0400}};
      for (const auto& [target, mode] : files) {
        out_file out;
        ASSERT_TRUE(open_staged_file(&out, m, target, 5, mode));
        out.write("hello");
        ASSERT_TRUE(out.close());
      }
      for (const auto& [target, mode] : files) {
        EXPECT_EQ(read_file(m.ops[target].source), "hello") << target;
        struct stat st;
        ASSERT_EQ(stat(m.ops[target].source.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode == 0 ? 0600u : mode) << target << " umask " << mask;
      }
    });
  }
}

// A directory's default access list, not the umask, limits the mode a new
// file gets there: u::rwx, g::---, o::--- turned 0644 into 0600.
TEST(StagedFile, ExactModeBelowADefaultAccessList) {
  IN_SANDBOX(sandbox_options{}, [] {
    ASSERT_EQ(mkdir("/flash/acl", 0755), 0);
    std::string list;
    auto add = [&list](uint32_t word, size_t bytes) {
      for (size_t i = 0; i < bytes; ++i) list.push_back(static_cast<char>(word >> (8 * i)));
    };
    add(2, 4);  // version
    for (uint16_t tag_perm : {0x0701, 0x0004, 0x0020}) {  // user rwx, group and other nothing
      add(tag_perm & 0xFF, 2);
      add(tag_perm >> 8, 2);
      add(0xFFFFFFFF, 4);
    }
    if (setxattr("/flash/acl", "system.posix_acl_default", list.data(), list.size(), 0) != 0) {
      ASSERT_TRUE(errno == EOPNOTSUPP) << "setxattr: " << std::strerror(errno);
      GTEST_SKIP() << "no access lists on this file system";
    }
    manifest m;
    for (mode_t mode : {mode_t{0644}, mode_t{0755}, mode_t{0}}) {
      std::string target = "/flash/acl/f" + std::to_string(mode);
      out_file out;
      ASSERT_TRUE(open_staged_file(&out, m, target, 5, mode));
      ASSERT_TRUE(out.close());
      EXPECT_EQ(staged_dir(m, target), "/flash/acl");
      struct stat st;
      ASSERT_EQ(stat(m.ops[target].source.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, mode == 0 ? 0600u : mode) << target;
    }
  });
}

// A 128-byte template cut long directories, so every long-path file of a
// package shared one cut path.
TEST(StagedFile, LongDirectoriesAreNotCut) {
  IN_SANDBOX(sandbox_options{}, [] {
    std::string dir = "/flash";
    for (int i = 0; i < 6; ++i) {
      dir += "/" + std::string(30, static_cast<char>('a' + i));
      ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    }
    manifest m;
    out_file a, b;
    ASSERT_TRUE(open_staged_file(&a, m, dir + "/one", 10, 0));
    ASSERT_TRUE(open_staged_file(&b, m, dir + "/two", 10, 0));
    EXPECT_EQ(staged_dir(m, dir + "/one"), dir);
    EXPECT_EQ(staged_dir(m, dir + "/two"), dir);
    EXPECT_NE(m.ops[dir + "/one"].source, m.ops[dir + "/two"].source);
  });
}

TEST(StagedFile, TmpWhenRamIsMissingAndNoEntryWhenCreationFails) {
  sandbox_options options;
  options.ram_bytes = 0;
  IN_SANDBOX(options, [] {
    manifest m;
    out_file a, b;
    ASSERT_TRUE(open_staged_file(&a, m, "/flash/a", 0, 0));
    EXPECT_EQ(staged_dir(m, "/flash/a"), "/tmp");
    errno = 0;
    EXPECT_FALSE(open_staged_file(&b, m, "/flash/b", 8 << 20, 0644));
    EXPECT_EQ(errno, ENOENT) << "mkstemp's own error for the caller's message";
    EXPECT_FALSE(b.is_open());
    EXPECT_EQ(m.ops.count("/flash/b"), 0u);
  });
}

// A target longer than PATH_MAX, or with a component longer than NAME_MAX,
// was staged beside its nearest existing directory and only failed at the
// commit's rename, after the package had been recorded.
TEST(StagedFile, TargetTooLongToRenameIsRefused) {
  IN_SANDBOX(sandbox_options{}, [] {
    std::string deep = "/flash";
    while (deep.size() < 4095) deep += "/d";
    const std::string refused[] = {deep.substr(0, 4096), "/flash/" + std::string(256, 'n'),
                                   "/flash/" + std::string(256, 'n') + "/x"};
    const std::string accepted[] = {deep.substr(0, 4094), "/flash/" + std::string(255, 'n')};
    manifest m;
    for (const std::string& target : refused) {
      out_file out;
      errno = 0;
      EXPECT_FALSE(open_staged_file(&out, m, target, 10, 0)) << target.size();
      EXPECT_EQ(errno, ENAMETOOLONG);
      EXPECT_FALSE(out.is_open());
    }
    EXPECT_TRUE(m.empty());
    for (const std::string& target : accepted) {
      out_file out;
      EXPECT_TRUE(open_staged_file(&out, m, target, 10, 0)) << target.size();
    }
    EXPECT_EQ(m.ops.size(), 2u);
  });
}

class PackageRemoval : public ::testing::Test {
 protected:
  pkg_image* add(const std::string& name, std::set<std::string> files) {
    auto record = std::make_unique<pkg_image>(name);
    record->files = std::move(files);
    return repository_.append(std::move(record));
  }
  pkg_repo repository_;
};

// Stored paths come both as full paths and relative to /flash; the full form
// used to get a second "/flash/" and removed nothing.
TEST_F(PackageRemoval, BothStoredFormsAndNothingUnsafe) {
  IN_SANDBOX(sandbox_options{}, [this] {
    for (const char* dir : {"/flash/bin", "/flash/etc", "/flash/etc/dir", "/flash/var", "/flash/var/pdb",
                            "/flash/var/pdb/pkg"})
      ASSERT_EQ(mkdir(dir, 0755), 0);
    for (const char* file : {"/flash/bin/a", "/flash/etc/b", "/flash/etc/dir/keep", "/flash/shared",
                             "/flash/moved", "/flash/var/pdb/pkg/image", "/outside"})
      write_file(file, "x");
    add("other", {"shared", "/flash/moved"});
    pkg_image* record = add("pkg", {"/flash/bin/a", "etc/b", "etc/dir", "/flash/etc/dir/", "/flash/", "flash/",
                                    "../outside", "/flash/bin/../../outside", "/flash/shared", "moved",
                                    "/flash/missing"});
    add("pkg", {"/flash/bin/a"});  // a record of the same name never protects a file
    record->pending = PENDING_UNINSTALL;
    manifest m;
    out_file staged;
    ASSERT_TRUE(open_staged_file(&staged, m, "/flash/missing", 0, 0));
    std::string orphan = m.ops["/flash/missing"].source;
    stage_package_removal(repository_, *record, m);
    EXPECT_EQ(kinds(m), "/flash/bin/a=4;/flash/etc/b=4;/flash/var/pdb/pkg/=4;/flash/var/pdb/pkg/image=4;");
    EXPECT_FALSE(exists(orphan));
    EXPECT_TRUE(record->files.empty());
    EXPECT_EQ(record->pending, PENDING_NONE);
  });
}

TEST_F(PackageRemoval, BootImageOnlyWithSingleLink) {
  IN_SANDBOX(sandbox_options{}, [this] {
    write_file("/flash/bootimage", "kernel");
    pkg_image* boot = add("boot", {});
    boot->flags = PKG_FLAG_BOOT;
    pkg_image* plain = add("plain", {});
    manifest m;
    stage_package_removal(repository_, *plain, m);
    EXPECT_EQ(m.ops.count("/flash/bootimage"), 0u);
    ASSERT_EQ(link("/flash/bootimage", "/flash/bootimage.keep"), 0);
    stage_package_removal(repository_, *boot, m);
    EXPECT_EQ(m.ops.count("/flash/bootimage"), 0u) << "a second link keeps it";
    ASSERT_EQ(unlink("/flash/bootimage.keep"), 0);
    stage_package_removal(repository_, *boot, m);
    EXPECT_EQ(m.ops.count("/flash/bootimage"), 1u);
  });
}

TEST_F(PackageRemoval, NamesThatLeaveTheDatabaseStageNoDirectory) {
  IN_SANDBOX(sandbox_options{}, [this] {
    ASSERT_EQ(mkdir("/flash/var", 0755), 0);
    ASSERT_EQ(mkdir("/flash/var/pdb", 0755), 0);
    write_file("/flash/var/pdb/image", "received image");
    for (const char* name : {"", ".", ".."}) {
      pkg_image* record = add(name, {});
      manifest m;
      stage_package_removal(repository_, *record, m);
      EXPECT_TRUE(m.empty()) << "'" << name << "': " << kinds(m);
      EXPECT_FALSE(claim_pdb_dir(*record, m)) << "'" << name << "'";
    }
  });
}

TEST(ClaimPdbDir, Cases) {
  IN_SANDBOX(sandbox_options{}, [] {
    ASSERT_EQ(mkdir("/flash/var", 0755), 0);
    ASSERT_EQ(mkdir("/flash/var/pdb", 0755), 0);
    ASSERT_EQ(mkdir("/flash/var/pdb/dir", 0755), 0);
    ASSERT_EQ(mkdir("/flash/var/pdb/removed", 0755), 0);
    ASSERT_EQ(mkdir("/flash/var/pdb/linked", 0755), 0);
    write_file("/flash/var/pdb/file", "x");
    ASSERT_EQ(symlink("/flash/var/pdb/dir", "/flash/var/pdb/link"), 0);
    ASSERT_EQ(symlink("/nowhere", "/flash/var/pdb/dangling"), 0);
    manifest m;
    stage_removal(m, "/flash/var/pdb/removed/");
    stage_link(m, "/x", "/flash/var/pdb/linked/");
    const struct {
      const char* name;
      bool usable;
    } cases[] = {
        {"missing", true}, {"dir", true}, {"removed", true}, {"linked", false},
        {"file", false},   {"link", false}, {"dangling", false},
    };
    for (const auto& c : cases) EXPECT_EQ(claim_pdb_dir(pkg_image(c.name), m), c.usable) << c.name;
    EXPECT_EQ(kinds(m), "/flash/var/pdb/linked/=3;") << "the removal is taken back";
  });
}

TEST(ClaimPdbDir, UnexaminablePathIsUnusable) {
  IN_SANDBOX(sandbox_options{}, [] {
    write_file("/flash/var", "a file where the database should be");
    manifest m;
    EXPECT_FALSE(claim_pdb_dir(pkg_image("pkg"), m));
  });
}

TEST(CheckSpace, RemovalsAndSameFileSystemMovesAlwaysPass) {
  IN_SANDBOX(sandbox_options{}, [] {
    write_file("/flash/old", "x");
    write_file("/flash/filler", std::string(free_bytes("/flash") - block, 'f'));
    manifest m;
    stage_removal(m, "/flash/old");
    stage_link(m, "/flash/old", "/flash/link");
    EXPECT_TRUE(check_space(m)) << "a full flash whose count does not fall";
    ASSERT_EQ(unlink("/flash/filler"), 0);
    write_file("/flash/staged", std::string(free_bytes("/flash") - 2 * block, 's'));
    stage_move(m, "/flash/staged", "/flash/new/dir/target");
    EXPECT_TRUE(check_space(m)) << "already on the flash";
  });
}

TEST(CheckSpace, MarginAroundThirtyTwoKilobytes) {
  IN_SANDBOX(sandbox_options{}, [] {
    const int64_t free_blocks = static_cast<int64_t>(free_bytes("/flash") / block);
    const struct {
      int64_t size;
      bool passes;
    } cases[] = {
        {(free_blocks - 9) * static_cast<int64_t>(block), true},       // 36864 bytes stay
        {(free_blocks - 8) * static_cast<int64_t>(block) - 4095, false},  // 32768 stay
        {(free_blocks - 8) * static_cast<int64_t>(block), false},
        {(free_blocks + 3) * static_cast<int64_t>(block), false},      // below zero
    };
    for (const auto& c : cases) {
      ASSERT_NO_FATAL_FAILURE(write_file("/ram/staged", std::string(static_cast<size_t>(c.size), 's')));
      manifest m;
      stage_move(m, "/ram/staged", "/flash/bin/new");
      EXPECT_EQ(check_space(m), c.passes) << c.size;
      // Replacing an existing file gives its blocks back.
      write_file("/flash/bin_old", std::string(2 * block, 'o'));
      stage_move(m, "/ram/staged", "/flash/bin_old");
      stage_removal(m, "/flash/bin/new");
      EXPECT_EQ(check_space(m), c.passes) << c.size << " replacing a file of the same size";
      ASSERT_EQ(unlink("/flash/bin_old"), 0);
    }
  });
}

// Removing a link credited the size of the file it points to.
TEST(CheckSpace, RemovedLinkFreesOnlyItself) {
  IN_SANDBOX(sandbox_options{}, [] {
    write_file("/flash/big", std::string(64 * block, 'b'));
    ASSERT_EQ(symlink("/flash/big", "/flash/link"), 0);
    const int64_t free_blocks = static_cast<int64_t>(free_bytes("/flash") / block);
    write_file("/ram/staged", std::string(static_cast<size_t>(free_blocks - 7) * block, 's'));
    manifest m;
    stage_removal(m, "/flash/link");
    stage_move(m, "/ram/staged", "/flash/new");
    EXPECT_FALSE(check_space(m));
  });
}

// A flash with more than 2^31 free blocks wrapped a 32-bit count.
TEST(CheckSpace, HugeFreeBlockCount) {
  sandbox_options options;
  options.flash_bytes = uint64_t{16} << 40;
  IN_SANDBOX(options, [] {
    ASSERT_GT(free_bytes("/flash") / block, uint64_t{1} << 31);
    write_file("/ram/staged", std::string(1 << 20, 's'));
    manifest m;
    stage_move(m, "/ram/staged", "/flash/new");
    EXPECT_TRUE(check_space(m));
  });
}

// A file system that cannot be queried has block size 1; a charge of more
// than 2 GiB wrapped a 32-bit count into plenty of room.
TEST(CheckSpace, HugeChargeOnUnqueryableFileSystem) {
  sandbox_options options;
  options.flash_bytes = uint64_t{4} << 40;
  options.boot_dir = false;
  IN_SANDBOX(options, [] {
    ASSERT_NO_FATAL_FAILURE(make_sparse("/ram/huge", off_t{3} << 30));
    manifest m;
    stage_move(m, "/ram/huge", "/flash/boot/huge");
    EXPECT_FALSE(check_space(m));
  });
}

}  // namespace
