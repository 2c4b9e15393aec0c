// Loading the installed database, stored images and schedules into the
// repository at start-up.
#pragma once

#include <string>
#include <vector>

struct pkg_repo;
struct pkg_image;
struct pkg_dep;

// Fills the repository from "/flash/var/pdb/" and "/rw/pckg/.images/" and
// reads every record's state and schedule. Warns "could not open repo" and
// leaves the repository empty when "/flash/var/pdb/" is missing.
void load_repository(pkg_repo& repository, bool quiet, const std::string& arch);

// Reads the metadata, state and schedule files of one record.
void read_record_state(pkg_image& record);

// Reads a "deps", "provides" (with_extra) or "conflicts" file. True on a clean
// end or a missing file; false on a malformed entry (entries before it stay).
bool read_list_file(const std::string& path, std::vector<pkg_dep>& list, bool with_extra);

// The record's name with every byte removed that is not an ASCII letter,
// digit or "-": the directory of its schedule under "/ram/pdb/".
std::string schedule_name(const std::string& name);
