// The rule for a package's name.
#pragma once

#include <string_view>

// True when `name` can stand as one path component below the database and
// image directories: not empty, not "." or "..", without "/" and without
// control bytes (below 0x20, and 0x7F). A name is a database directory and
// a schedule path; anything else would lead the installer outside the
// device's trees or garble what it prints.
bool is_safe_package_name(std::string_view name);
