// The pure relations between package records: what satisfies or provides a
// dependency, what one package needs of another and what stands against it.
#pragma once

#include <string_view>

struct pkg_record;
struct pkg_dep;

// r has d's name and a version inside d's range (a bound of 0 is open).
bool satisfies(const pkg_record& r, const pkg_dep& d);
// One of r's provides entries has d's name and a range overlapping d's.
bool provides_match(const pkg_record& r, const pkg_dep& d);
// r is named `name`, or one of its members is.
bool has_name(const pkg_record& r, std::string_view name);
// a needs b: a dependency of a (or of a member of a) is met by b or by a
// member of b. ("requires" itself is a C++ keyword.)
bool requires_package(const pkg_record& a, const pkg_record& b);
// a stands against b being present; not symmetric. Inert records never
// conflict. Of two packages that provide the same name the one with the
// larger `extra` blocks the other.
bool conflicts_with(const pkg_record& a, const pkg_record& b);
