#include <fcntl.h>
#include <unistd.h>

#include <utility>

#include "platform/fs.h"
#include "platform/fs_path.h"

// The device root and the reads of the seam, shared by the program's seam
// and the test build's fault-injecting one: reads change nothing, so there
// is nothing to count or fail.
namespace fs {

namespace detail {

std::string& root_setting() {
  static std::string root;
  return root;
}

}  // namespace detail

void set_device_root(std::string root) { detail::root_setting() = std::move(root); }
const std::string& device_root() { return detail::root_setting(); }

int open_existing(const char* path, int flags) {
  return ::open(detail::device_path(path), (flags & ~O_CREAT) | O_CLOEXEC);
}
int openat(int dir_fd, const char* path, int flags) {
  return ::openat(dir_fd, detail::device_path(path), (flags & ~O_CREAT) | O_CLOEXEC);
}
int stat(const char* path, struct stat* st) { return ::stat(detail::device_path(path), st); }
int lstat(const char* path, struct stat* st) { return ::lstat(detail::device_path(path), st); }
int fstatat(int dir_fd, const char* path, struct stat* st, int flags) {
  return ::fstatat(dir_fd, detail::device_path(path), st, flags);
}
int faccessat(int dir_fd, const char* path, int mode, int flags) {
  return ::faccessat(dir_fd, detail::device_path(path), mode, flags);
}
int statfs(const char* path, struct statfs* info) { return ::statfs(detail::device_path(path), info); }
DIR* opendir(const char* path) { return ::opendir(detail::device_path(path)); }
std::FILE* fopen_read(const char* path) { return std::fopen(detail::device_path(path), "re"); }

}  // namespace fs
