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

struct pkg_repo;

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
// reads every record's state and schedule. `quiet` becomes the console's
// quiet flag. Warns "could not open repo" and leaves the repository empty
// when "/flash/var/pdb/" is missing.
void load_repository(pkg_repo& repository, bool quiet, const std::string& arch,
                     load_scope scope = load_scope::everything);

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
