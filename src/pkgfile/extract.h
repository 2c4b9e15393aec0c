// Extraction of a package's file container (one zlib stream of file entries).
//
// The container is read here and every entry is judged here; what becomes of
// an entry's data is the caller's: each regular file that suits this
// processor is handed to an entry_receiver. Nothing is printed: failures go
// back to the caller to report.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class pkg_stream;

// One regular file entry of the container, its name judged.
struct file_entry {
  const std::string& stored_name;  // as the package stores it
  const std::string& relative;     // normalised path below the package root
  uint32_t size;                   // bytes of data
  uint16_t mode;                   // the stored mode word, type bits included
};

// Takes the entries of one extraction. Each call returns false after the
// receiver has reported a failure of its own; extraction then ends.
class entry_receiver {
 public:
  virtual ~entry_receiver() = default;
  // A new entry; its data follows in write calls, then close.
  virtual bool open(const file_entry& entry) = 0;
  // The next piece of the entry's data; `last` for the piece that ends it.
  // The piece lives until the call returns.
  virtual bool write(std::string_view piece, bool last) = 0;
  // All data given. `read_ahead`: bytes of the package already read but not
  // yet used (for a progress display that follows the package's bytes).
  virtual bool close(uint64_t read_ahead) = 0;
};

enum class extract_status {
  complete,         // the container ended (a cut entry header ends it too)
  no_memory,        // the inflater could not be set up
  broken,           // the package is broken: `cause` says why
  receiver_failed,  // the receiver reported a failure and ended extraction
};

struct extract_result {
  extract_status status = extract_status::complete;
  std::string cause;  // for broken: why, naming the entry
};

// Called when the current part is part_files. Hands every regular file that
// suits this processor to `receiver`, in container order. Entry names are
// judged whatever the processor, so a package is broken or not on every
// device alike.
extract_result extract_entries(pkg_stream& stream, entry_receiver& receiver);
