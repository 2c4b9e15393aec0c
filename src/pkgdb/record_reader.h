// Reading the record of one package directory of the installed database:
// the package file kept as its image (in the directory or among the stored
// images), then the text files and the schedule that complete the record.
// The loader (load.h) walks the directories with these.
#pragma once

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "model/record.h"
#include "pkgdb/db_format.h"

// How much of each record loading reads.
enum class load_scope {
  everything,  // all a run that changes packages needs
  // What the --show listing prints (the same records, with name, version,
  // build time, note, bundle and disabled), and nothing more: no "files",
  // no metadata lists, no "enabled" file and no schedules are read, so the
  // records' files, lists, user_set and pending are not to be used.
  listing,
};

// Where a record's version and header fields came from.
enum class record_source {
  metadata,  // a bare record or an image whose header could not be read
  image,     // a package header read from a stored image
};

// A record read by a scan, with where its fields came from.
struct scanned {
  std::unique_ptr<pkg_image> record;
  record_source source;
};

using scan_output = std::vector<scanned>;

// The entries of a directory, listed once so that loading does not try to
// open a file for every package where only a few packages have one.
struct listed_names {
  bool listed = false;  // false: the listing failed, any name may be there
  std::unordered_set<std::string> names;

  bool may_hold(const std::string& name) const { return !listed || names.count(name) != 0; }
};

listed_names list_names(const char* path);

// Reads the image of the package directory `name` (relative to the open
// database directory `db_fd`, or AT_FDCWD), or with from_images its stored
// image, when it is a regular file; appends the records it gives (members
// first, then their bundle). A stored image that is not trusted is passed
// over, with its path in *ignored.
void scan_image(const std::string& name, bool from_images, int db_fd, scan_output& out,
                std::string* ignored = nullptr);

// Completes a record from its directory's files: the metadata files when no
// header was read, else "files"; the state files; and its schedule when the
// schedule directory (`schedules`, may be nullptr) may hold it. The listing
// scope reads only what the listing prints.
void read_state(pkg_image& record, record_source source, const listed_names* schedules, load_scope scope,
                int db_fd);
