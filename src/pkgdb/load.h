// Loading the installed database, stored images and schedules into the
// repository at start-up (db_format.h describes what is read).
#pragma once

#include <string>

#include "pkgdb/record_reader.h"

struct pkg_repo;

// Fills the repository from "/flash/var/pdb/" and "/rw/pckg/.images/" and
// reads every record's state and schedule. `quiet` becomes the console's
// quiet flag. Warns "could not open repo" and leaves the repository empty
// when "/flash/var/pdb/" is missing.
void load_repository(pkg_repo& repository, bool quiet, const std::string& arch,
                     load_scope scope = load_scope::everything);
