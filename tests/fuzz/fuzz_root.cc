#include "fuzz_root.h"

#include <fcntl.h>
#include <ftw.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace fuzz {
namespace {

void write_proc_file(const char* path, const std::string& text) {
  int fd = open(path, O_WRONLY);
  if (fd < 0) return;
  ssize_t ignored = write(fd, text.data(), text.size());
  (void)ignored;
  close(fd);
}

[[noreturn]] void fail(const char* what) {
  std::perror(what);
  std::abort();
}

int remove_entry(const char* path, const struct stat*, int type, struct FTW*) {
  if (type == FTW_DP)
    rmdir(path);
  else
    unlink(path);
  return 0;
}

}  // namespace

void enter_scratch_root(const char* tag, std::initializer_list<const char*> dirs) {
  std::string pattern = std::string("/tmp/fuzz-") + tag + "-XXXXXX";
  char* root = mkdtemp(pattern.data());
  if (!root) fail("fuzz: mkdtemp");
  std::string base(root);
  uid_t uid = geteuid();
  gid_t gid = getegid();
  if (unshare(uid == 0 ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS) != 0) fail("fuzz: unshare");
  if (uid != 0) {
    write_proc_file("/proc/self/setgroups", "deny");
    write_proc_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    write_proc_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
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
    std::string inside = base + dir;
    mkdir(inside.c_str(), 0755);
    if (mount(dir, inside.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) fail("fuzz: bind mount");
  }
  mount(nullptr, (base + "/usr").c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr);
  for (const char* dir : {"bin", "lib", "lib64"}) {
    std::string link = base + "/" + dir;
    if (symlink((std::string("usr/") + dir).c_str(), link.c_str()) != 0) fail("fuzz: symlink");
  }
  if (chroot(base.c_str()) != 0) fail("fuzz: chroot");
  // The directory itself stays empty on the real /tmp once the namespace ends.
}

void write_file(const std::string& path, std::string_view content) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) fail("fuzz: open");
  while (!content.empty()) {
    ssize_t n = write(fd, content.data(), content.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail("fuzz: write");
    content.remove_prefix(static_cast<size_t>(n));
  }
  close(fd);
}

void make_dirs(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
    mkdir(path.substr(0, slash).c_str(), 0755);
  mkdir(path.c_str(), 0755);
}

void remove_tree(const std::string& path) { nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS); }

std::vector<std::string_view> split(std::string_view data, std::string_view separator) {
  std::vector<std::string_view> pieces;
  for (;;) {
    size_t at = data.find(separator);
    if (at == std::string_view::npos) break;
    pieces.push_back(data.substr(0, at));
    data.remove_prefix(at + separator.size());
  }
  pieces.push_back(data);
  return pieces;
}

}  // namespace fuzz
