// The upgrade run over the download directories, and the post-log.
#pragma once

#include <vector>

#include "pkgdb/repo.h"
#include "select/install_flags.h"

struct console;
struct manifest;

// Installs the chosen package files of the first download directory that has
// usable ones; returns copies of the installed records in installation order
// (empty when an installation failed; the manifest is then discarded).
std::vector<pkg_record> upgrade(pkg_repo& repository, manifest& m, install_flags flags);

// The post-log: load_postlog takes the lines of an earlier run into the
// console's message log and reserves the file's room; write_postlog writes
// the message log back.
void load_postlog(console& screen);
void write_postlog(console& screen);
