#include "platform/fs.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs {

int open(const char* path, int flags, mode_t mode) { return ::open(path, flags | O_CLOEXEC, mode); }
ssize_t write(int fd, const void* data, size_t size) { return ::write(fd, data, size); }
int close(int fd) { return ::close(fd); }
int fsync(int fd) { return ::fsync(fd); }
int fchmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }
int chmod(const char* path, mode_t mode) { return ::chmod(path, mode); }
int mkstemp(char* path_template) { return ::mkostemp(path_template, O_CLOEXEC); }
int mkdir(const char* path, mode_t mode) { return ::mkdir(path, mode); }
int rename(const char* from, const char* to) { return ::rename(from, to); }
int unlink(const char* path) { return ::unlink(path); }
int rmdir(const char* path) { return ::rmdir(path); }
int symlink(const char* content, const char* path) { return ::symlink(content, path); }
void sync() { ::sync(); }

bool write_all(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = fs::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace fs
