#include "platform/fs.h"
#include "platform/fs_path.h"
#include "platform/fs_unique.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The program's seam: every wrapper is the bare system call on the path
// under the device root (the path itself in the program), with nothing
// counted or checked on the way. The test build links fs_faults.cc instead.
namespace fs {

using detail::device_path;

int open(const char* path, int flags, mode_t mode) { return ::open(device_path(path), flags | O_CLOEXEC, mode); }
ssize_t write(int fd, const void* data, size_t size) { return ::write(fd, data, size); }
int close(int fd) { return ::close(fd); }
int fsync(int fd) { return ::fsync(fd); }
int ftruncate(int fd, off_t length) { return ::ftruncate(fd, length); }
int fchmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }
int fchown(int fd, uid_t owner, gid_t group) { return ::fchown(fd, owner, group); }
int mkstemp(char* path_template, mode_t mode) { return detail::create_unique(path_template, mode); }
int mkdir(const char* path, mode_t mode) { return ::mkdir(device_path(path), mode); }
int rename(const char* from, const char* to) { return ::rename(device_path(from), device_path(to)); }
int link(const char* from, const char* to) { return ::link(device_path(from), device_path(to)); }
int unlink(const char* path) { return ::unlink(device_path(path)); }
int rmdir(const char* path) { return ::rmdir(device_path(path)); }
int symlink(const char* content, const char* path) { return ::symlink(content, device_path(path)); }
void sync() { ::sync(); }

}  // namespace fs
