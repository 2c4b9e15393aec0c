// Version numbers: the packed 32-bit pkg_version, its text forms and the
// ordering of package records.
//
// Packing: major in bits 31..24, minor in 23..16, type letter in 15..8
// ('a' alpha, 'b' beta, 'c' rc, 'f' final), build in 7..0.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct pkg_record;
struct pkg_dep;
struct pkg_image;

inline uint32_t version_major(uint32_t v) { return v >> 24; }
inline uint32_t version_minor(uint32_t v) { return (v >> 16) & 0xFF; }
inline uint32_t version_type(uint32_t v) { return (v >> 8) & 0xFF; }
inline uint32_t version_build(uint32_t v) { return v & 0xFF; }

// "2.5.3", "2.5", "2.6rc2", "2.6alpha"; unknown types take an empty label.
std::string version_text(uint32_t version);
// name + "-" + version_text(version).
std::string package_text(const pkg_record& record);
// name, plus "-" + version_text(min_version) when min_version is not 0.
std::string dep_text(const pkg_dep& dep);
// dep_text(bundle) for a member of a bundle, else package_text.
std::string display_text(const pkg_image& record);

// -1, 0, +1; positive when a is newer than b. Looks one level into bundles
// whose members carry the other record's name; unrelated records give 0.
int compare_packages(const pkg_record& a, const pkg_record& b);

// Parses a version text in the canonical forms version_text produces for the
// four known types ("6.48", "6.48.1", "7.1beta3", "2.6rc2", "2.6alpha") into
// *version. Refuses anything else (out-of-range numbers, unknown labels,
// trailing bytes) and leaves *version untouched then.
bool parse_version(std::string_view text, uint32_t* version);
