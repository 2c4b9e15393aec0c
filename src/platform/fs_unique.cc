#include "platform/fs_unique.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fs_path.h"

// Shared by the program's seam and the test build's fault-injecting one.
namespace fs::detail {

namespace {

constexpr char name_letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr int attempts = 1000;

// One random seed per process, then a cheap generator: the names only need
// to differ, and O_EXCL makes a clash harmless.
uint64_t next_random() {
  static uint64_t state = 0;
  if (state == 0) {
    if (getrandom(&state, sizeof state, GRND_NONBLOCK) != sizeof state)
      state = static_cast<uint64_t>(time(nullptr)) ^ (static_cast<uint64_t>(getpid()) << 32);
    state |= 1;
  }
  // splitmix64
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

int create_unique(char* path_template, mode_t mode) {
  size_t length = std::strlen(path_template);
  if (length < 6 || std::strcmp(path_template + length - 6, "XXXXXX") != 0) {
    errno = EINVAL;
    return -1;
  }
  // Under a device root the file is made at the full path, and the caller's
  // template gets the chosen letters only.
  std::string full;
  char* path = path_template;
  if (!root_setting().empty() && path_template[0] == '/') {
    full.reserve(root_setting().size() + length);
    full.append(root_setting()).append(path_template);
    path = full.data();
  }
  char* letters = path + std::strlen(path) - 6;
  mode_t permissions = mode & 0777;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    uint64_t bits = next_random();
    for (int i = 0; i < 6; ++i, bits /= sizeof name_letters - 1)
      letters[i] = name_letters[bits % (sizeof name_letters - 1)];
    int fd = ::open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, permissions);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return -1;
    }
    // The creation gave the mode less what the umask, or a default access
    // list of the directory, took away; special bits are not given there
    // everywhere. Looking costs less than always setting it.
    struct stat st;
    if (::fstat(fd, &st) != 0 || (st.st_mode & 07777) != (mode & 07777)) {
      if (::fchmod(fd, mode & 07777) != 0) {
        int err = errno;
        ::close(fd);
        ::unlink(path);
        errno = err;
        return -1;
      }
    }
    if (path != path_template) std::memcpy(path_template + length - 6, letters, 6);
    return fd;
  }
  errno = EEXIST;
  return -1;
}

}  // namespace fs::detail
