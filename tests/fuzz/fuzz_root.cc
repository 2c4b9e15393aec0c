#include "fuzz_root.h"

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "platform/fs.h"

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
  fs::set_device_root(base);
  for (const char* dir : dirs) make_dirs(dir);
  // The directory itself stays empty on the real /tmp once the namespace ends.
}

std::string scratch_path(const std::string& path) { return fs::device_root() + path; }

void write_file(const std::string& path, std::string_view content) {
  std::ofstream out(scratch_path(path), std::ios::binary | std::ios::trunc);
  if (!out.write(content.data(), static_cast<std::streamsize>(content.size())).flush()) fail("fuzz: write");
}

}  // namespace fuzz
