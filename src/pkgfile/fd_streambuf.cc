#include "pkgfile/fd_streambuf.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/crypto.h"
#include "platform/fs.h"
#include "platform/own_files.h"

ssize_t fd_istreambuf::read_some(char* buffer, size_t count) {
  ssize_t n = ::read(fd_, buffer, count);
  if (n > 0 && digest_) digest_->update(buffer, static_cast<size_t>(n));
  return n;
}

bool fd_istreambuf::drain() {
  while (!at_end_) {
    setg(buffer_, buffer_, buffer_);
    underflow();
  }
  setg(buffer_, buffer_, buffer_);
  return error_ == 0;
}

std::streambuf::int_type fd_istreambuf::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  if (at_end_) return traits_type::eof();
  for (;;) {
    ssize_t n = read_some(buffer_, buffer_size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0) error_ = errno;
      at_end_ = true;
      return traits_type::eof();
    }
    setg(buffer_, buffer_, buffer_ + n);
    return traits_type::to_int_type(*gptr());
  }
}

std::streamsize fd_istreambuf::xsgetn(char* out, std::streamsize count) {
  std::streamsize done = 0;
  while (done < count) {
    std::streamsize buffered = egptr() - gptr();
    if (buffered > 0) {
      std::streamsize take = std::min(buffered, count - done);
      std::memcpy(out + done, gptr(), static_cast<size_t>(take));
      gbump(static_cast<int>(take));
      done += take;
      continue;
    }
    if (at_end_) break;
    // Requests of a page or more bypass the empty buffer: the inflater's
    // reads land in its own buffer without a copy through this one.
    if (count - done >= static_cast<std::streamsize>(direct_read_size)) {
      ssize_t n = read_some(out + done, static_cast<size_t>(count - done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n < 0) error_ = errno;
        at_end_ = true;
        break;
      }
      done += n;
      continue;
    }
    if (traits_type::eq_int_type(underflow(), traits_type::eof())) break;
  }
  return done;
}

std::streamsize fd_istreambuf::showmanyc() {
  std::streamsize buffered = egptr() - gptr();
  if (buffered > 0) return buffered;
  return at_end_ ? -1 : 0;
}
