#include "stage/out_file.h"

#include <cerrno>
#include <cstring>

#include "platform/fs.h"

out_file::~out_file() {
  if (fd_ >= 0) fs::close(fd_);
}

void out_file::attach_nothing() {
  attach(-1);
  fd_ = discard_fd;
}

void out_file::attach(int fd) {
  if (fd_ >= 0) fs::close(fd_);
  fd_ = fd;
  failed_ = false;
  error_ = 0;
  used_ = 0;
}

void out_file::fail(int err) {
  if (!failed_) {
    failed_ = true;
    error_ = err;
  }
}

void out_file::write(const void* data, size_t size) {
  if (failed_ || fd_ == discard_fd) return;
  if (fd_ < 0) {
    fail(EBADF);
    return;
  }
  const char* p = static_cast<const char*>(data);
  if (used_ + size > buffer_size) {
    if (!flush()) return;
    if (size >= buffer_size) {
      // Large blocks go straight to the file: no copy through the buffer.
      if (!fs::write_all(fd_, p, size)) fail(errno);
      return;
    }
  }
  std::memcpy(buffer_ + used_, p, size);
  used_ += size;
}

void out_file::write_last(const void* data, size_t size) {
  if (fd_ == discard_fd || !flush()) return;
  if (size > 0 && !fs::write_all(fd_, data, size)) fail(errno);
}

bool out_file::flush() {
  if (fd_ == discard_fd) return true;
  if (failed_) return false;
  if (fd_ < 0) {
    fail(EBADF);
    return false;
  }
  if (used_ > 0 && !fs::write_all(fd_, buffer_, used_)) fail(errno);
  used_ = 0;
  return !failed_;
}

bool out_file::close() {
  if (fd_ == discard_fd) {
    fd_ = -1;
    return true;
  }
  if (fd_ < 0) {
    fail(EBADF);
    errno = error_;
    return false;
  }
  flush();
  if (fs::close(fd_) != 0) fail(errno);
  fd_ = -1;
  if (failed_) errno = error_;
  return !failed_;
}
