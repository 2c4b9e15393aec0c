// A readable dump of a package file for `mkpkg info`.
#pragma once

#include <string>
#include <string_view>

struct key_file;

// Parts with offsets and lengths, header fields with version texts, lists,
// file entries and the signature level of each package: under `keys` when
// given (its public entries), else under the keys built into the installer.
// Appends the description to *out, as far as the file can be read. False
// when the file is not a package or the installer could not read it whole:
// another magic, a size other than the declared one, bytes that form no
// part, no header, a header or list it refuses, a damaged file container or
// an entry name it refuses. A missing or bad signature is only reported.
bool describe_package(std::string_view file, const key_file* keys, std::string* out);
