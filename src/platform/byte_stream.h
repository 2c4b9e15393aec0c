// The program's own byte streams: a source read in order and a sink written
// in order. Package files, their file containers, standard input and stored
// images are read through byte_source; the copy a stream install keeps of
// its input goes to a byte_sink. They stand in for the standard streams,
// whose locale machinery would be most of the program's code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class byte_source {
 public:
  virtual ~byte_source() = default;
  // Reads up to `count` bytes into `buffer`. Fewer may come while more is
  // on its way (a pipe); 0 only at the end of the data, or once a read
  // failed (the source keeps why).
  virtual size_t read(char* buffer, size_t count) = 0;
  // Passes over `count` bytes; the count passed over, fewer only at the end
  // of the data. A source that can seek does so; the default reads and
  // drops.
  virtual uint64_t skip(uint64_t count);
};

class byte_sink {
 public:
  virtual ~byte_sink() = default;
  // Takes all `count` bytes, or returns false: the sink has failed and
  // keeps failing.
  virtual bool write(const char* data, size_t count) = 0;
  // Hands on what is buffered; false when that failed.
  virtual bool flush() { return true; }
};

// Reads repeatedly until `count` bytes arrived or the data ended: the count
// obtained.
size_t read_full(byte_source& source, char* buffer, size_t count);

// Bytes held in memory: a package built in memory, read back. The bytes are
// borrowed and must outlive the source.
class memory_source : public byte_source {
 public:
  explicit memory_source(std::string_view data) : data_(data) {}
  size_t read(char* buffer, size_t count) override;
  uint64_t skip(uint64_t count) override;

 private:
  std::string_view data_;
};

// Collects what is written into a string.
class string_sink : public byte_sink {
 public:
  bool write(const char* data, size_t count) override {
    bytes.append(data, count);
    return true;
  }
  std::string bytes;
};
