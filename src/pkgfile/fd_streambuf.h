// Stream buffers over plain file descriptors: standard input for the stream
// install, and the received image's copy, whose every write is checked.
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

// Writes a file through a buffer and remembers the first failure, so the
// caller can prove that every byte reached the file.
class fd_ostreambuf : public std::streambuf {
 public:
  fd_ostreambuf() = default;
  ~fd_ostreambuf() override;
  fd_ostreambuf(const fd_ostreambuf&) = delete;
  fd_ostreambuf& operator=(const fd_ostreambuf&) = delete;

  // Opens `path` for writing, emptied, as the program's own file (a link
  // or a FIFO there is replaced, never followed). False with errno set.
  bool open(const std::string& path);
  // Flushes and closes; false (error() set) when any write or the close failed.
  bool close();
  bool failed() const { return error_ != 0; }
  int error() const { return error_; }
  // Bytes handed to the buffer so far.
  uint64_t written() const { return handed_ + static_cast<uint64_t>(pptr() - pbase()); }

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* data, std::streamsize count) override;
  int sync() override;

 private:
  bool drain();

  static constexpr size_t buffer_size = 65536;
  int fd_ = -1;
  int error_ = 0;
  uint64_t handed_ = 0;
  char buffer_[buffer_size];
};
