#include <cerrno>

#include "platform/fs.h"

// Built over fs::write, so it is shared by the program's seam and the test
// build's fault-injecting one: every piece it writes is one operation there.
namespace fs {

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
