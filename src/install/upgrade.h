// The upgrade run over the download directories, and the post-log.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "install/install.h"
#include "pkgdb/repo.h"
#include "select/install_flags.h"

struct console;
struct manifest;

// What adjusts an upgrade run. The driver reads it once, after the change
// of root.
struct upgrade_request {
  install_request install;  // the flags, "/ram/SECURE" and "bootimage"
  // "/ram/DOWNGRADE" exists: older versions are allowed, down to this one.
  std::optional<uint32_t> downgrade;
  bool skip_first_download_dir = false;  // "/rw/pckg/.download/IGNORE" exists
};

// The downgrade request "/ram/DOWNGRADE": the lowest version it accepts (its
// leading decimal number; no_downgrade when too large), or nothing when there
// is no request.
std::optional<uint32_t> read_downgrade_request();

// Installs the chosen package files of the first download directory that has
// usable ones; returns copies of the installed records in installation order
// (empty when an installation failed; the manifest is then discarded).
std::vector<pkg_record> upgrade(console& screen, pkg_repo& repository, manifest& m, const upgrade_request& request);

// The post-log: load_postlog takes the lines of an earlier run into the
// console's message log and reserves the file's room; write_postlog writes
// the message log back (rewriting the file when load_postlog took it).
void load_postlog(console& screen);
void write_postlog(console& screen);
