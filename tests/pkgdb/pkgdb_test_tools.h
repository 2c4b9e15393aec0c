// Tools of the package database tests: a one-line summary of a loaded record,
// and a child process that changes root into a device root to run database
// code against its absolute paths. Package files come from the mkpkg library
// (tools/pkgbuild.h).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "pkgdb/record.h"

namespace testsupport {
class device_root;
}

namespace pkgdb_test {

// name, version (hex), build time, bundle, state and every list of a record,
// on one line.
std::string describe(const pkg_image& record);
// A list as describe() shows it: [name min max(,extra)...].
std::string describe(const std::vector<pkg_dep>& list, bool with_extra);
// describe() of every record, one per line.
std::string describe(const pkg_repo& repository);
// What show_packages prints of the repository.
std::string listing_of(const pkg_repo& repository);

// Runs `body` in a child process whose root is the device root and returns
// what it returned. `prepare`, when given, runs in the child before the root
// change; a text it returns ends the child with that text as the result. A
// child that cannot change root or dies fails the test.
std::string run_in_root(const testsupport::device_root& root, const std::function<std::string()>& body,
                        const std::function<std::string()>& prepare = {});

// True when this process may change root (tests skip otherwise).
bool can_change_root();

}  // namespace pkgdb_test
