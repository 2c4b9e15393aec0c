#include "platform/byte_stream.h"

#include <algorithm>
#include <cstring>

uint64_t byte_source::skip(uint64_t count) {
  char chunk[4096];
  uint64_t done = 0;
  while (done < count) {
    size_t got = read(chunk, static_cast<size_t>(std::min<uint64_t>(count - done, sizeof chunk)));
    if (got == 0) break;
    done += got;
  }
  return done;
}

size_t read_full(byte_source& source, char* buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    size_t got = source.read(buffer + done, count - done);
    if (got == 0) break;
    done += got;
  }
  return done;
}

size_t memory_source::read(char* buffer, size_t count) {
  size_t piece = std::min(count, data_.size());
  if (piece > 0) std::memcpy(buffer, data_.data(), piece);
  data_.remove_prefix(piece);
  return piece;
}

uint64_t memory_source::skip(uint64_t count) {
  size_t piece = static_cast<size_t>(std::min<uint64_t>(count, data_.size()));
  data_.remove_prefix(piece);
  return piece;
}
