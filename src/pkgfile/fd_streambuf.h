// Stream buffers over plain file descriptors: standard input for the stream
// install and the downloads an upgrade reads.
#pragma once

#include <cstdint>
#include <streambuf>
#include <string>

namespace crypto {
class hasher;
}

// Reads a descriptor through a 64 KiB buffer. Read errors end the data (the
// errno is kept); nothing throws. Seeks are refused, as on a pipe.
class fd_istreambuf : public std::streambuf {
 public:
  // `digest`, when given, receives every byte read from the descriptor, in
  // order, once (borrowed; it must outlive the buffer's reads).
  explicit fd_istreambuf(int fd, crypto::hasher* digest = nullptr) : fd_(fd), digest_(digest) {}
  fd_istreambuf(const fd_istreambuf&) = delete;
  fd_istreambuf& operator=(const fd_istreambuf&) = delete;

  int error() const { return error_; }
  // Reads the descriptor to its end, so that the digest has every byte.
  // False on a read error.
  bool drain();

 protected:
  int_type underflow() override;
  std::streamsize xsgetn(char* buffer, std::streamsize count) override;
  std::streamsize showmanyc() override;

 private:
  static constexpr size_t buffer_size = 65536;
  static constexpr size_t direct_read_size = 4096;
  // read(2) that feeds the digest.
  ssize_t read_some(char* buffer, size_t count);

  int fd_;
  crypto::hasher* digest_;
  int error_ = 0;
  bool at_end_ = false;
  char buffer_[buffer_size];
};
