// What mkpkg refuses because the installer would refuse it: names, version
// ranges, file entries and bundle members. The name rules are the
// installer's own (pkgfile/names.h), so the two never disagree.
//
// Each check returns false with *err naming the input and the rule, shown
// terminal-safe, for mkpkg to print and exit with status 1.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "pkgbuild.h"

// A package or bundle name given with --name.
bool check_package_name(const std::string& name, std::string* err);

// The entries of a depends, provides, conflicts or member list given with
// `option`: names, and a lowest version not above the highest (a highest
// of 0 is unbounded).
bool check_list(const char* option, const std::vector<pkg_dep>& list, std::string* err);

// The names of the regular files among `entries`; the installer skips
// every other entry without looking at its name.
bool check_entries(const std::vector<pkgbuild::file_entry>& entries, std::string* err);

// A bundle member read from `path`: one signed package, not a bundle.
bool check_member(const std::string& path, std::string_view file, std::string* err);
