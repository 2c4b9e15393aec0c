// A readable dump of a package file for `mkpkg info`.
#pragma once

#include <string>
#include <string_view>

struct key_file;

// Parts with offsets and lengths, header fields with version texts, lists,
// file entries and the signature level of each package: under `keys` when
// given (its public entries), else under the keys built into the installer.
std::string describe_package(std::string_view file, const key_file* keys);
