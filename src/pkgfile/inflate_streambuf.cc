#include "pkgfile/inflate_streambuf.h"

#include <algorithm>
#include <new>

inflate_streambuf::inflate_streambuf(std::streambuf* source, bool check_value)
    : buffers_(new (std::nothrow) char[output_size + input_size]), source_(source) {
  if (buffers_) {
    out_ = buffers_.get();
    in_ = out_ + output_size;
    ready_ = inflateInit(&zlib_) == Z_OK && (check_value || inflateValidate(&zlib_, 0) == Z_OK);
  }
  setg(out_, out_, out_);
}

inflate_streambuf::~inflate_streambuf() {
  if (ready_) inflateEnd(&zlib_);
}

// Refills and inflates until at least one byte is ready. A pass may legally
// produce nothing (empty stored blocks, a header split across reads), so a
// single empty pass must not be taken for the end of the data.
inflate_streambuf::int_type inflate_streambuf::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  if (!ready_ || finished_ || corrupt_) return traits_type::eof();
  for (;;) {
    if (zlib_.avail_in == 0) {
      if (source_ended_) return traits_type::eof();
      std::streamsize got = source_->sgetn(in_, input_size);
      if (got <= 0) {
        source_ended_ = true;
        return traits_type::eof();
      }
      zlib_.next_in = reinterpret_cast<Bytef*>(in_);
      zlib_.avail_in = static_cast<uInt>(got);
      source_read_ += static_cast<uint64_t>(got);
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
    setg(out_, out_, out_ + written);
    if (written > 0) return traits_type::to_int_type(*gptr());
    if (finished_ || corrupt_) return traits_type::eof();
    // zlib promises progress while input remains; guard against a stall.
    if (zlib_.avail_in == input_before && input_before > 0) {
      corrupt_ = true;
      return traits_type::eof();
    }
  }
}

std::string_view inflate_streambuf::take(size_t max) {
  if (gptr() == egptr() && traits_type::eq_int_type(underflow(), traits_type::eof())) return {};
  size_t piece = std::min<size_t>(max, static_cast<size_t>(egptr() - gptr()));
  std::string_view view(gptr(), piece);
  gbump(static_cast<int>(piece));
  return view;
}

uint64_t inflate_streambuf::read_ahead() const {
  uint64_t used = consumed_;
  uint64_t handed = static_cast<uint64_t>(gptr() - out_);
  if (handed < call_written_) used = call_start_ + call_consumed_ * handed / call_written_;
  return source_read_ - std::min(source_read_, used);
}

bool inflate_streambuf::skip(uint64_t count) {
  while (count > 0) {
    if (gptr() == egptr() && traits_type::eq_int_type(underflow(), traits_type::eof())) return false;
    uint64_t piece = std::min<uint64_t>(count, static_cast<uint64_t>(egptr() - gptr()));
    gbump(static_cast<int>(piece));
    count -= piece;
  }
  return true;
}

inflate_streambuf::pos_type inflate_streambuf::seekoff(off_type off, std::ios_base::seekdir dir,
                                                       std::ios_base::openmode) {
  const pos_type failed(off_type(-1));
  int64_t current = static_cast<int64_t>(position());
  int64_t target;
  if (dir == std::ios_base::cur) {
    if (off > 0 && current > INT64_MAX - off) return failed;
    target = current + off;
  } else if (dir == std::ios_base::beg) {
    target = off;
  } else {
    return failed;
  }
  if (target < current) return failed;
  if (!skip(static_cast<uint64_t>(target - current))) return failed;
  return pos_type(off_type(target));
}

inflate_streambuf::pos_type inflate_streambuf::seekpos(pos_type pos, std::ios_base::openmode which) {
  return seekoff(off_type(pos), std::ios_base::beg, which);
}
