// Loading the installed database, stored images and schedules at start-up
// (db_format.h describes what is read): into the repository for a run that
// changes packages, into the listing's rows for --show.
#pragma once

#include <string>

struct console;
struct package_listing;
struct pkg_repo;

// Fills the repository from "/flash/var/pdb/" and "/rw/pckg/.images/" and
// reads every record's state and schedule. Warns "could not open repo" on
// the console and leaves the repository empty when "/flash/var/pdb/" is
// missing.
void load_repository(pkg_repo& repository, console& screen, const std::string& arch);

// Appends to the listing a row for every record that load_repository would
// load, in the same order, reading only what the listing prints. Warns as
// load_repository does.
void load_listing(package_listing& listing, console& screen);
