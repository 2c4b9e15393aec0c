#include "pkgfile/inflater.h"

#include <algorithm>
#include <cstring>
#include <new>

inflater::inflater(byte_source& source, bool check_value)
    : buffers_(new (std::nothrow) char[output_size + input_size]), source_(source) {
  if (buffers_) {
    out_ = buffers_.get();
    in_ = out_ + output_size;
    ready_ = inflateInit(&zlib_) == Z_OK && (check_value || inflateValidate(&zlib_, 0) == Z_OK);
  }
}

inflater::~inflater() {
  if (ready_) inflateEnd(&zlib_);
}

// A pass may legally produce nothing (empty stored blocks, a header split
// across reads), so a single empty pass must not be taken for the end of
// the data.
bool inflater::fill() {
  if (next_ < end_) return true;
  if (!ready_ || finished_ || corrupt_) return false;
  for (;;) {
    if (zlib_.avail_in == 0) {
      if (source_ended_) return false;
      size_t got = source_.read(in_, input_size);
      if (got == 0) {
        source_ended_ = true;
        return false;
      }
      zlib_.next_in = reinterpret_cast<Bytef*>(in_);
      zlib_.avail_in = static_cast<uInt>(got);
      source_read_ += got;
    }
    uInt input_before = zlib_.avail_in;
    zlib_.next_out = reinterpret_cast<Bytef*>(out_);
    zlib_.avail_out = output_size;
    int result = inflate(&zlib_, Z_PARTIAL_FLUSH);
    size_t written = output_size - zlib_.avail_out;
    uint64_t consumed = input_before - zlib_.avail_in;
    // The buffer now holds this call's output only.
    call_start_ = consumed_;
    call_consumed_ = consumed;
    call_written_ = written;
    consumed_ += consumed;
    // A zlib error ends the data where it struck: what inflated before it in
    // this pass is still handed out.
    if (result == Z_STREAM_END)
      finished_ = true;
    else if (result != Z_OK)
      corrupt_ = true;
    produced_ += written;
    next_ = 0;
    end_ = written;
    if (written > 0) return true;
    if (finished_ || corrupt_) return false;
    // zlib promises progress while input remains; guard against a stall.
    if (zlib_.avail_in == input_before && input_before > 0) {
      corrupt_ = true;
      return false;
    }
  }
}

std::string_view inflater::take(size_t max) {
  if (!fill()) return {};
  size_t piece = std::min(max, end_ - next_);
  std::string_view view(out_ + next_, piece);
  next_ += piece;
  return view;
}

size_t inflater::read(char* buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    std::string_view piece = take(count - done);
    if (piece.empty()) break;
    std::memcpy(buffer + done, piece.data(), piece.size());
    done += piece.size();
  }
  return done;
}

uint64_t inflater::skip(uint64_t count) {
  uint64_t done = 0;
  while (done < count) {
    std::string_view piece = take(static_cast<size_t>(std::min<uint64_t>(count - done, output_size)));
    if (piece.empty()) break;
    done += piece.size();
  }
  return done;
}

uint64_t inflater::read_ahead() const {
  uint64_t used = consumed_;
  if (next_ < call_written_) used = call_start_ + call_consumed_ * next_ / call_written_;
  return source_read_ - std::min(source_read_, used);
}
