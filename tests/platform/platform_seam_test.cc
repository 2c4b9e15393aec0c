// The seam's device root: every absolute path handed to the seam is found
// under it, relative ones are left alone, and what the seam hands back
// names the device's own path.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "platform/fs.h"
#include "support/device_root.h"

namespace {

struct seam_root {
  testsupport::device_root root;
  seam_root() { fs::set_device_root(root.path()); }
  ~seam_root() { fs::set_device_root({}); }
};

TEST(Seam, AbsolutePathsAreFoundUnderTheDeviceRoot) {
  seam_root on;
  char name[] = "/flash/.staged-XXXXXX";
  int fd = fs::mkstemp(name);
  ASSERT_GE(fd, 0);
  fs::close(fd);
  EXPECT_EQ(std::string(name, 15), "/flash/.staged-") << "the template keeps the device's path: " << name;
  ASSERT_EQ(fs::rename(name, "/flash/a"), 0);
  ASSERT_EQ(fs::mkdir("/flash/d", 0755) | fs::link("/flash/a", "/flash/d/b") | fs::symlink("/flash/a", "/flash/l"), 0);
  EXPECT_EQ(testsupport::content_of(on.root.snapshot({"/flash"})["/flash/l"]), testsupport::link_to("/flash/a"))
      << "a link's content is the device's own path";
  int flash = fs::open_existing("/flash", O_RDONLY | O_DIRECTORY);
  struct stat st;
  struct statfs info;
  const std::pair<const char*, std::function<bool()>> reads[] = {
      {"open_existing", [] { int f = fs::open_existing("/flash/a", O_RDONLY); return f >= 0 && close(f) == 0; }},
      {"openat, absolute", [] { int f = fs::openat(AT_FDCWD, "/flash/d/b", O_RDONLY); return f >= 0 && close(f) == 0; }},
      {"openat, relative", [&] { int f = fs::openat(flash, "d/b", O_RDONLY); return f >= 0 && close(f) == 0; }},
      {"stat", [&] { return fs::stat("/flash/d/b", &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 2; }},
      {"lstat", [&] { return fs::lstat("/flash/l", &st) == 0 && S_ISLNK(st.st_mode); }},
      {"fstatat", [&] { return fs::fstatat(AT_FDCWD, "/flash/d", &st, 0) == 0 && S_ISDIR(st.st_mode); }},
      {"faccessat", [&] { return fs::faccessat(flash, "a", R_OK, 0) == 0 && fs::faccessat(AT_FDCWD, "/flash/a", R_OK, 0) == 0; }},
      {"statfs", [&] { return fs::statfs("/flash/d", &info) == 0; }},
      {"opendir", [] { DIR* d = fs::opendir("/flash/d"); return d && closedir(d) == 0; }},
      {"fopen_read", [] { std::FILE* f = fs::fopen_read("/flash/a"); return f && std::fclose(f) == 0; }},
  };
  for (const auto& [what, read] : reads) EXPECT_TRUE(read()) << what;
  close(flash);
  ASSERT_EQ(fs::unlink("/flash/d/b") | fs::rmdir("/flash/d"), 0);
  EXPECT_EQ(on.root.snapshot({"/flash"}).count("/flash/d"), 0u);
}

}  // namespace
