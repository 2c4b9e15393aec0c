// The upgrade run over the download directories, and the post-log.
#pragma once

#include <vector>

#include "pkgdb/repo.h"
#include "select/install_flags.h"

struct manifest;

// Installs the chosen package files of the first download directory that has
// usable ones; returns copies of the installed records in installation order
// (empty when an installation failed; the manifest is then discarded).
std::vector<pkg_record> upgrade(pkg_repo& repository, manifest& m, install_flags flags);

// Appends the usable package files of one directory to `candidates`.
void scan_download_dir(pkg_repo& repository, const std::string& dir,
                       std::vector<pkg_download*>& candidates);

void load_postlog(pkg_repo& repository);
void write_postlog(pkg_repo& repository);
