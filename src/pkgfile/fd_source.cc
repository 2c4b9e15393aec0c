#include "pkgfile/fd_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "platform/crypto.h"

size_t fd_source::read_some(char* buffer, size_t count) {
  if (at_end_) return 0;
  for (;;) {
    ssize_t n = ::read(fd_, buffer, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0) error_ = errno;
      at_end_ = true;
      return 0;
    }
    if (digest_) digest_->update(buffer, static_cast<size_t>(n));
    return static_cast<size_t>(n);
  }
}

bool fd_source::drain() {
  next_ = end_ = 0;
  while (read_some(buffer_, buffer_size) > 0) {
  }
  return error_ == 0;
}

size_t fd_source::read(char* out, size_t count) {
  size_t done = 0;
  while (done < count) {
    if (next_ < end_) {
      size_t take = std::min(end_ - next_, count - done);
      std::memcpy(out + done, buffer_ + next_, take);
      next_ += take;
      done += take;
      continue;
    }
    // Requests of a page or more bypass the empty buffer: the inflater's
    // reads land in its own buffer without a copy through this one.
    if (count - done >= direct_read_size) {
      size_t got = read_some(out + done, count - done);
      if (got == 0) break;
      done += got;
      continue;
    }
    next_ = 0;
    end_ = read_some(buffer_, buffer_size);
    if (end_ == 0) break;
  }
  return done;
}
