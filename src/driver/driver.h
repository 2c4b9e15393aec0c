// The entry point: option scan, start-up and the run modes.
#pragma once

#include <cstdio>
#include <cstdint>
#include <optional>
#include <string>

#include "select/install_flags.h"

// The entry point's state, filled by the option scan.
struct run_options {
  bool cleanup = false;     // --cleanup: the clean-up mode
  bool from_stdin = false;  // -: install the package set on standard input
  bool quiet = false;       // -q: no messages, no progress line
  bool show = false;        // --show: the listing
  bool commit_now = true;   // --safe clears it: save the upgrade's manifest instead
  bool dry_run = false;     // --dry-run: decide and print the plan, change nothing
  install_flags flags = 0;  // -down: ALLOW_OLDER; --reinstall: ALLOW_SAME
  std::string root;         // -r ROOT: the directory to change root to
  std::string arch = "i386";
  // What the environment and the marker files ask of this run, read once
  // after the change of root.
  bool secure = false;                    // "/ram/SECURE" exists
  bool boot_image_apart = false;          // the environment variable "bootimage" is set
  std::optional<uint32_t> downgrade;      // "/ram/DOWNGRADE": the lowest version accepted
  bool skip_first_download_dir = false;   // "/rw/pckg/.download/IGNORE" exists
};

// What the option scan found: a run of the mode the options choose, or one
// of the actions that happen at once, before any change of root.
enum class scan_action { run, commit, cancel, usage, help, version };

// Scans the arguments after the program name in order. Stops at --cleanup
// and "-" (later arguments are ignored) and at --commit, --cancel, --help,
// -h, --version and the first argument it does not know (a lone trailing -r
// included). --reinstall writes its two lines to `out` as it is met. A -r
// that has no effect (given to --commit or --cancel, which act on the
// current root, or among the arguments ignored after "-" or --cleanup) gets
// a warning on `err`.
scan_action scan_options(int argc, const char* const* argv, run_options* options, std::FILE* out,
                         std::FILE* err = stderr);

// The text of --help: every option and mode, the files read, the statuses.
extern const char* const help_text;

// Changes root to `root` (nothing when empty), then the working directory to
// "/". A failed chroot is reported with perror("chroot"); it returns false
// unless `root` already is the process root, since going on would act on the
// live system instead of the tree that was named.
bool change_root(const std::string& root);

// Runs the installer with the process's arguments; returns the exit status.
int run_installer(int argc, char** argv);
