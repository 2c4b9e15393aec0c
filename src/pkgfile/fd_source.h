// A byte source over a plain file descriptor: standard input for the stream
// install and the downloads an upgrade reads.
#pragma once

#include <cstdint>
#include <sys/types.h>

#include "platform/byte_stream.h"

namespace crypto {
class hasher;
}

// Reads a descriptor through a page-sized buffer, which serves the small
// reads of part headers, lists and the signature trailer; reads of a page
// or more (the inflater's, the skipping of parts) go straight into the
// caller's buffer. Read errors end the data (the errno is kept).
class fd_source : public byte_source {
 public:
  // `digest`, when given, receives every byte read from the descriptor, in
  // order, once (borrowed; it must outlive the source's reads).
  explicit fd_source(int fd, crypto::hasher* digest = nullptr) : fd_(fd), digest_(digest) {}
  fd_source(const fd_source&) = delete;
  fd_source& operator=(const fd_source&) = delete;

  // Fills `buffer` whole unless the data ends first.
  size_t read(char* buffer, size_t count) override;

  int error() const { return error_; }
  // Reads the descriptor to its end, so that the digest has every byte.
  // False on a read error.
  bool drain();

 private:
  static constexpr size_t buffer_size = 4096;
  static constexpr size_t direct_read_size = 4096;
  // One read(2) into `buffer`, repeated on EINTR, that feeds the digest;
  // 0 at the end or on an error (kept), which ends the data.
  size_t read_some(char* buffer, size_t count);

  int fd_;
  crypto::hasher* digest_;
  int error_ = 0;
  bool at_end_ = false;
  size_t next_ = 0;  // the buffered bytes not yet handed out: [next_, end_)
  size_t end_ = 0;
  char buffer_[buffer_size];
};
