// The rules for the names a package file carries besides the package's own
// (model/names.h): names in dependency lists and the names of file entries.
//
// The reader, the extraction and mkpkg all judge names here, so a package
// mkpkg writes is never one the installer refuses for a name.
#pragma once

#include <string>
#include <string_view>

// True for a name in a depends, provides, conflicts or member list: not
// empty, without blanks and control bytes, since the database stores these
// names blank-separated.
bool is_safe_dep_name(std::string_view name);

// The stored name of a file entry below the package root, normalised into
// *relative: repeated "/" and "." components go. False for a name that
// would leave the package's tree ("..") or garble the database (control
// bytes), or that names a directory (empty, or ending in "/" or "/.").
bool normalise_entry_name(std::string_view stored, std::string* relative);

// True for a normalised entry name that lands on the installer's own state
// below "/flash": the package database "var/pdb" and everything in it, and
// the files "bootimage", "postlog", "PCKGS_CHANGED" and "UPGRADED".
bool is_installer_state(std::string_view relative);
