// A byte source that inflates one zlib stream (the file container of a
// package) from another source, 32 KiB of input and 128 KiB of output at a
// time. Measured on the extraction benchmark, these cost about 3 % of the
// time of twice the sizes, while a quarter of them cost 4 to 10 %: zlib
// copies the last 32 KiB of every call's output into its window, and every
// input piece is one read of the package, so the buffers must stay several
// times that window.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <zlib.h>

#include "platform/byte_stream.h"

class inflater : public byte_source {
 public:
  static constexpr size_t input_size = 32768;
  static constexpr size_t output_size = 131072;

  // `source` is borrowed and must outlive the inflater; reading from it is
  // what consumes (and, for a package stream, hashes and copies) the input.
  // Without `check_value`, the stream's Adler-32 is neither computed nor
  // compared: for a package whose signature covers every compressed byte it
  // only costs time, and a mismatch would strike after the last byte anyway.
  explicit inflater(byte_source& source, bool check_value = true);
  ~inflater() override;
  inflater(const inflater&) = delete;
  inflater& operator=(const inflater&) = delete;

  // False when zlib could not be set up (out of memory); nothing can be read.
  bool ready() const { return ready_; }
  // True once the zlib stream has ended properly.
  bool finished() const { return finished_; }
  // True when zlib refused the data.
  bool corrupt() const { return corrupt_; }
  // Compressed bytes read from the source but not yet behind the inflated
  // bytes handed out: what a progress measure of the source must take off.
  // Within one inflate call the compressed bytes are spread evenly over its
  // output, so the measure only grows as bytes are handed out.
  uint64_t read_ahead() const;
  // Inflated bytes handed out so far (the stream position).
  uint64_t position() const { return produced_ - (end_ - next_); }

  // The next at most `max` inflated bytes, consumed, without copying them:
  // a view into the buffer that holds until the next read. Empty at the end
  // of the data.
  std::string_view take(size_t max);
  size_t read(char* buffer, size_t count) override;
  // Skipped bytes are inflated and dropped.
  uint64_t skip(uint64_t count) override;

 private:
  // Refills and inflates until at least one byte is ready; false at the end
  // of the data.
  bool fill();

  std::unique_ptr<char[]> buffers_;  // output, then input
  char* out_ = nullptr;
  char* in_ = nullptr;
  size_t next_ = 0;  // the inflated bytes not yet handed out: out_[next_, end_)
  size_t end_ = 0;
  z_stream zlib_{};
  byte_source& source_;
  uint64_t produced_ = 0;
  uint64_t source_read_ = 0;    // bytes taken from the source
  uint64_t consumed_ = 0;       // of those, bytes zlib has consumed
  uint64_t call_start_ = 0;     // consumed_ before the call that filled the buffer
  uint64_t call_consumed_ = 0;  // what that call consumed
  uint64_t call_written_ = 0;   // and what it wrote into the buffer
  bool ready_ = false;
  bool finished_ = false;
  bool corrupt_ = false;
  bool source_ended_ = false;
};
