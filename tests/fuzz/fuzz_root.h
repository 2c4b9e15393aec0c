// Scratch trees for the fuzz targets.
//
// Every reader that a fuzz target drives works on absolute device paths
// ("/flash/var/pdb/...", "/ram/MANIFEST"), so the target first changes root
// into a private scratch directory (a user and mount namespace when it is not
// root) and then writes each input's files there. The working directory stays
// where it was, so libFuzzer's corpus and artifact paths are given relative
// to it; absolute paths resolve inside the scratch root.
#pragma once

#include <string>
#include <string_view>
#include <vector>
#include <initializer_list>

namespace fuzz {

// Creates the scratch root, a tmpfs with the given directories ("/proc" and a
// read-only "/usr" are always there, bound to the machine's own for the
// sanitizers and their symbolizer), and changes root into it. Aborts when that is impossible: a fuzz target must never
// write into the real trees.
void enter_scratch_root(const char* tag, std::initializer_list<const char*> dirs);

// Writes `content` to `path` (created or truncated); aborts on failure.
void write_file(const std::string& path, std::string_view content);
// Creates `path` and its missing parents.
void make_dirs(const std::string& path);
// Removes `path` and everything below it; a missing path is fine.
void remove_tree(const std::string& path);

// Splits `data` at every occurrence of `separator`.
std::vector<std::string_view> split(std::string_view data, std::string_view separator);

}  // namespace fuzz
