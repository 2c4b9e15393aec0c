// Loading the installed database, stored images and schedules into the
// repository at start-up (db_format.h describes what is read).
#pragma once

#include <string>

#include "pkgdb/record_reader.h"

struct console;
struct pkg_repo;

// Fills the repository from "/flash/var/pdb/" and "/rw/pckg/.images/" and
// reads every record's state and schedule. Warns "could not open repo" on
// the console and leaves the repository empty when "/flash/var/pdb/" is
// missing.
void load_repository(pkg_repo& repository, console& screen, const std::string& arch,
                     load_scope scope = load_scope::everything);
