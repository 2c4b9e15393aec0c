// Carrying out a manifest on the live tree: removals and links first, then
// the moves. Best effort: every entry is tried once, failures of symlink and
// rename are reported on standard error with perror, nothing is rolled back.
#pragma once

#include <string>

struct manifest;

// Carries out m. `first_target`, when not empty, names a move to make before
// all others. With `progress`, cross-file-system copies draw the spinner.
// The file systems are synced once before the first pass and once at the end
// of a non-empty commit.
void commit(manifest& m, const std::string& first_target, bool progress);

// mkdir with every missing ancestor (mode 0777 less the umask). Returns the
// result of the last mkdir.
int make_dirs(const std::string& path);

// Copies a regular file across file systems into a temporary file beside the
// target, then renames it onto the target; the old target stays whole on any
// failure. False (reported on standard error) when the copy failed.
bool copy_file(const std::string& source, const std::string& target, bool progress);
