// Carrying out a manifest on the live tree, in two steps.
//
// prepare_commit readies every move that cannot be a plain rename: a file on
// another file system is copied into a temporary beside its target, and a
// download is confirmed to be the file that was verified (proof.h) and
// brought beside its target. Nothing of the installed tree changes while it
// runs, and when one move cannot be readied everything readied so far is
// taken back: the commit then leaves the old state whole.
//
// finish_commit removes and links, then renames every move into place, each
// once. Its failures of symlink and rename are reported on standard error
// with perror; nothing is rolled back, but the result says that the new
// state was not reached.
#pragma once

#include <string>

struct console;
struct manifest;

// Why a commit did not complete: the errno of the first failure and what
// failed, for the user.
struct commit_failure {
  int error = 0;
  std::string what;
};

// Readies the moves (see above). With a `progress` console, copies draw its
// spinner.
// False, with *failure filled and the manifest as it was, when a copy fails
// or a download is not the file that was verified. On success the readied
// moves are staged files of the manifest.
bool prepare_commit(manifest& m, console* progress, commit_failure* failure);

// Carries out a prepared manifest. `first_target`, when not empty, names a
// move to make before all others. The file systems are synced once before
// the first pass and once at the end. False, with *failure filled, when an
// operation failed (the others were still made).
bool finish_commit(manifest& m, const std::string& first_target, commit_failure* failure);

// Both steps; an empty manifest commits nothing and succeeds.
bool commit(manifest& m, const std::string& first_target, console* progress, commit_failure* failure = nullptr);

// mkdir with every missing ancestor (mode 0777 less the umask). Returns the
// result of the last mkdir.
int make_dirs(const std::string& path);

// Copies a regular file across file systems into a temporary file beside the
// target, then renames it onto the target; the old target stays whole on any
// failure. False (reported on standard error) when the copy failed.
bool copy_file(const std::string& source, const std::string& target, console* progress);
