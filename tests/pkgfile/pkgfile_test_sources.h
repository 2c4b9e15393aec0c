// Package sources for the reader's tests: an in-memory seekable file and a
// pipe-like source that hands out short counts and refuses to seek, both
// recording what was asked of them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <sstream>
#include <string>

namespace pkgfile_test {

class recording_buf : public std::stringbuf {
 public:
  // `step`: most bytes handed out per read (a pipe gives short counts).
  recording_buf(const std::string& data, bool seekable, size_t step)
      : std::stringbuf(data, std::ios_base::in), seekable_(seekable), step_(step) {}

  size_t largest_read = 0;  // largest count asked of xsgetn
  size_t seeks = 0;         // seeks asked for (granted or not)
  std::streamsize avail_answer = 0;  // what showmanyc reports when nothing is buffered

 protected:
  std::streamsize xsgetn(char* out, std::streamsize count) override {
    largest_read = std::max(largest_read, static_cast<size_t>(count));
    return std::stringbuf::xsgetn(out, std::min<std::streamsize>(count, step_));
  }
  pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) override {
    ++seeks;
    if (!seekable_) return pos_type(off_type(-1));
    return std::stringbuf::seekoff(off, dir, which);
  }
  pos_type seekpos(pos_type pos, std::ios_base::openmode which) override {
    ++seeks;
    if (!seekable_) return pos_type(off_type(-1));
    return std::stringbuf::seekpos(pos, which);
  }
  std::streamsize showmanyc() override { return avail_answer; }

 private:
  bool seekable_;
  size_t step_;
};

// The two kinds of source every reader test runs over.
enum class source_kind { file, pipe };

inline recording_buf make_source(const std::string& data, source_kind kind) {
  return kind == source_kind::file ? recording_buf(data, true, 1u << 30) : recording_buf(data, false, 3);
}

}  // namespace pkgfile_test
