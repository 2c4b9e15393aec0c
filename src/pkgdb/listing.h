// The --show listing of installed packages.
#pragma once

#include <cstdio>

struct pkg_repo;

// Prints the table of every record to `out`. Not quiet-sensitive, not logged.
void show_packages(const pkg_repo& repository, std::FILE* out);
