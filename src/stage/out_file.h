// A buffered writer over one file descriptor, used for every staged file.
//
// It never throws: the first failure is remembered with its errno and every
// later write is ignored, so a caller writes everything and judges once,
// after close(). One instance writes one file; it closes the descriptor when
// it goes away (ignoring errors then).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/byte_stream.h"

class out_file {
 public:
  out_file() = default;
  ~out_file();
  out_file(const out_file&) = delete;
  out_file& operator=(const out_file&) = delete;

  // Takes ownership of an open descriptor (from mkstemp, say).
  void attach(int fd);
  // Opens nothing: every write succeeds and is thrown away (a dry run's
  // planned file).
  void attach_nothing();
  bool is_open() const { return fd_ >= 0 || fd_ == discard_fd; }

  void write(const void* data, size_t size);
  void write(std::string_view text) { write(text.data(), text.size()); }
  // Writes what is buffered, then `data` straight to the file: for the last
  // piece of a file, which no later write would join in the buffer.
  void write_last(const void* data, size_t size);

  // Writes out the buffer. False once anything has failed.
  bool flush();
  // Flushes and closes. False when any write, the flush or the close failed;
  // error() and errno then hold the errno of the first failure.
  bool close();

  bool failed() const { return failed_; }
  int error() const { return error_; }

 private:
  void fail(int err);

  static constexpr size_t buffer_size = 16384;
  static constexpr int discard_fd = -2;
  int fd_ = -1;
  bool failed_ = false;
  int error_ = 0;
  size_t used_ = 0;
  char buffer_[buffer_size];
};

// An out_file seen as a byte sink, for a writer that takes one (the copy a
// stream install makes of its input). Once the file has failed, every write
// reports that nothing was taken.
class out_file_sink : public byte_sink {
 public:
  explicit out_file_sink(out_file& file) : file_(file) {}
  bool write(const char* data, size_t count) override {
    file_.write(data, count);
    return !file_.failed();
  }
  bool flush() override { return file_.flush(); }

 private:
  out_file& file_;
};
