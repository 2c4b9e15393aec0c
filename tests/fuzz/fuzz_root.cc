#include "fuzz_root.h"

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace fuzz {
namespace {

[[noreturn]] void fail(const char* what) {
  std::perror(what);
  std::abort();
}

}  // namespace

void enter_scratch_root(const char* tag, std::initializer_list<const char*> dirs) {
  std::string base = std::string("/tmp/fuzz-") + tag + "-XXXXXX";
  if (!mkdtemp(base.data())) fail("fuzz: mkdtemp");
  uid_t uid = geteuid();
  gid_t gid = getegid();
  if (unshare(uid == 0 ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS) != 0) fail("fuzz: unshare");
  if (uid != 0) {  // map ourselves to root in the new user namespace; each file takes one write
    std::ofstream("/proc/self/setgroups") << "deny";
    std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
    std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
  }
  // The scratch trees live in memory: every input writes files, and a disk
  // would make their syncs the cost of the whole run.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", base.c_str(), "tmpfs", 0, "size=512m,mode=0755") != 0)
    fail("fuzz: mount tmpfs");
  for (const char* dir : dirs) make_dirs(base + dir);
  // The sanitizers read /proc and start the symbolizer from /usr; both stay
  // visible inside the root, /usr read-only.
  for (const char* dir : {"/proc", "/usr"}) {
    make_dirs(base + dir);
    if (mount(dir, (base + dir).c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) fail("fuzz: bind mount");
  }
  mount(nullptr, (base + "/usr").c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr);
  for (const char* dir : {"bin", "lib", "lib64"})
    if (symlink((std::string("usr/") + dir).c_str(), (base + "/" + dir).c_str()) != 0) fail("fuzz: symlink");
  if (chroot(base.c_str()) != 0) fail("fuzz: chroot");
  // The directory itself stays empty on the real /tmp once the namespace ends.
}

void write_file(const std::string& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out.write(content.data(), static_cast<std::streamsize>(content.size())).flush()) fail("fuzz: write");
}

}  // namespace fuzz
