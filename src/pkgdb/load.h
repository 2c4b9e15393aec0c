// Loading the installed database, stored images and schedules into the
// repository at start-up.
//
// Every package has a directory "/flash/var/pdb/<name>/". Its record comes
// from the package file kept there as "image" (or under "/rw/pckg/.images/"),
// a bundle image giving its members first and the bundle last; a package
// without a readable image is restored from the text files of its directory
// (see metadata.h for their exact form). The files are untrusted in the sense
// that a power cut or a damaged flash may have cut or garbled them: numbers
// are unsigned decimal digits only, and lines and words have bounded length.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct pkg_repo;
struct pkg_image;
struct pkg_dep;

// How much of each record loading reads.
enum class load_scope {
  everything,  // all a run that changes packages needs
  // What the --show listing prints (the same records, with name, version,
  // build time, note, bundle and disabled), and nothing more: no "files",
  // no metadata lists, no "enabled" file and no schedules are read, so the
  // records' files, lists, user_set and pending are not to be used.
  listing,
};

// Fills the repository from "/flash/var/pdb/" and "/rw/pckg/.images/" and
// reads every record's state and schedule. Warns "could not open repo" and
// leaves the repository empty when "/flash/var/pdb/" is missing.
void load_repository(pkg_repo& repository, bool quiet, const std::string& arch,
                     load_scope scope = load_scope::everything);

// Where a record's version and header fields came from.
enum class record_source {
  metadata,  // a bare record or an image whose header could not be read
  image,     // a package header read from a stored image
};

// Reads the metadata, state and schedule files of one record. The metadata
// lists are restored only when `version` is still 0; "files" is read whenever
// it exists. For a metadata record `is_bundle` means "files" is absent; for an
// image record it stays as the image said.
void read_record_state(pkg_image& record, record_source source = record_source::metadata);

// Reads a "deps", "provides" (with_extra) or "conflicts" file. True on a clean
// end or a missing file; false on a malformed entry (entries before it stay).
bool read_list_file(const std::string& path, std::vector<pkg_dep>& list, bool with_extra);

// The record's name with every byte removed that is not an ASCII letter,
// digit or "-": the directory of its schedule under "/ram/pdb/".
std::string schedule_name(const std::string& name);

// Longest line of a "files" list that is taken; longer lines are ignored.
inline constexpr size_t files_line_limit = 4096;
// Longest word of a schedule file; a longer one is no word at all.
inline constexpr size_t schedule_word_limit = 64;
// Longest name in a list or "bundle" file; a longer one makes the file
// malformed (package names are at most 16 bytes).
inline constexpr size_t list_word_limit = 4096;
