// A read-only stream buffer that inflates one zlib stream (the file container
// of a package) from a source stream buffer, 64 KiB of input and 256 KiB of
// output at a time: large enough that zlib, the digest and the writes of the
// extracted files each work on long runs, small enough to stay a fixed,
// modest part of the installer's memory.
#pragma once

#include <cstdint>
#include <memory>
#include <streambuf>
#include <string_view>
#include <zlib.h>

class inflate_streambuf : public std::streambuf {
 public:
  static constexpr size_t input_size = 65536;
  // zlib copies the last 32 KiB of every call's output into its window: a
  // larger output buffer makes that copy a small share of the bytes.
  static constexpr size_t output_size = 262144;

  // `source` is borrowed and must outlive the buffer; reading from it is
  // what consumes (and, for a package stream, hashes and copies) the input.
  // Without `check_value`, the stream's Adler-32 is neither computed nor
  // compared: for a package whose signature covers every compressed byte it
  // only costs time, and a mismatch would strike after the last byte anyway.
  explicit inflate_streambuf(std::streambuf* source, bool check_value = true);
  ~inflate_streambuf() override;
  inflate_streambuf(const inflate_streambuf&) = delete;
  inflate_streambuf& operator=(const inflate_streambuf&) = delete;

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
  uint64_t position() const { return produced_ - static_cast<uint64_t>(egptr() - gptr()); }

  // The next at most `max` inflated bytes, consumed, without copying them:
  // a view into the buffer that holds until the next read. Empty at the end
  // of the data.
  std::string_view take(size_t max);

 protected:
  int_type underflow() override;
  // Forward only: from the current position or from the start; never from
  // the end. Skipped bytes are inflated and dropped.
  pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) override;
  pos_type seekpos(pos_type pos, std::ios_base::openmode which) override;

 private:
  bool skip(uint64_t count);

  std::unique_ptr<char[]> buffers_;  // output, then input
  char* out_ = nullptr;
  char* in_ = nullptr;
  z_stream zlib_{};
  std::streambuf* source_;
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
