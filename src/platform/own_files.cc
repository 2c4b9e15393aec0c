#include "platform/own_files.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "platform/fs.h"

namespace fs {

namespace {

// Tries to replace whatever stands at the path: a new name can appear
// between the removal and the creation, which O_EXCL turns into EEXIST.
constexpr int replace_attempts = 8;

bool is_own_regular(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid();
}

// Opens the regular file that lstat saw, without following anything, and
// keeps it only when it is still that file.
int open_in_place(const char* path, const struct stat& seen, bool append) {
  int fd = fs::open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | (append ? O_APPEND : 0));
  if (fd < 0) {
    // Something else took the file's place since it was looked at (a link,
    // a FIFO without a reader): look again.
    if (errno == ELOOP || errno == ENXIO || errno == ENOENT) errno = EAGAIN;
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_dev != seen.st_dev || st.st_ino != seen.st_ino || !is_own_regular(st)) {
    fs::close(fd);
    errno = EAGAIN;
    return -1;
  }
  if (!append && fs::ftruncate(fd, 0) != 0) {
    int err = errno;
    fs::close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

}  // namespace

int open_regular(const char* path, struct stat* st) {
  int fd = fs::open_existing(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return -1;
  int err = 0;
  if (fstat(fd, st) != 0)
    err = errno;
  else if (!S_ISREG(st->st_mode))
    err = EINVAL;
  if (err == 0) return fd;
  ::close(fd);
  errno = err;
  return -1;
}

int open_own_file(const char* path, bool append, mode_t mode) {
  for (int attempt = 0; attempt < replace_attempts; ++attempt) {
    struct stat seen;
    if (fs::lstat(path, &seen) == 0) {
      if (S_ISDIR(seen.st_mode)) {
        errno = EISDIR;
        return -1;
      }
      if (is_own_regular(seen)) {
        int fd = open_in_place(path, seen, append);
        if (fd >= 0 || errno != EAGAIN) return fd;
        continue;  // it changed under us: look again
      }
      if (fs::unlink(path) != 0 && errno != ENOENT) return -1;
    } else if (errno != ENOENT) {
      return -1;
    }
    int fd = fs::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

}  // namespace fs
