// The mkpkg command line: build, bundle and info.
//
//   mkpkg build -o OUT --name NAME --version VERSION [options] [DIR]
//   mkpkg bundle -o OUT --name NAME --version VERSION [options] MEMBER...
//   mkpkg info [--keys FILE] FILE
//   mkpkg --version
//
// Returns the exit status: 0 on success; 1 for unreadable input, a failed
// write, input the installer would refuse (names, version ranges, entries,
// members) or, for info, a file that is not a package or does not read
// whole; 2 for bad arguments. Messages go to `out` and `err`.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

int mkpkg_main(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);
