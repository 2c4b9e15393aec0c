// The candidate check and the choice and ordering of candidates.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "select/install_flags.h"

struct console;
struct pkg_repo;
struct pkg_record;
struct pkg_image;
struct pkg_dep;

// Every installed record, in order, that is not inert and satisfies d or
// provides it; disabled ones only with include_disabled.
std::vector<pkg_image*> find_providers(const pkg_repo& repository, const pkg_dep& d,
                                       bool include_disabled);
// The first enabled installed record that conflicts with the candidate.
pkg_image* find_conflicting(const pkg_repo& repository, const pkg_record& candidate);

// Findings (install_flags bits) of checking the candidate against what is
// installed; prints at most one message, for a finding not tolerated, and
// changes nothing else. The minimum system version (for "system" and
// "tessarok..." candidates) comes from the flash device.
install_flags check_candidate(console& screen, pkg_repo& repository, const pkg_record& candidate,
                              install_flags tolerated);

// Where the device's lowest accepted system version comes from (0: none).
using min_version_query = uint32_t (*)();
// The same check with the minimum-version source handed in (used by tests).
install_flags check_candidate(console& screen, pkg_repo& repository, const pkg_record& candidate,
                              install_flags tolerated, min_version_query query);

inline constexpr uint32_t no_downgrade = 0xFFFFFFFF;

// Thins the list to one candidate per package and puts it in installation
// order (each after what it requires and after what blocks it).
// floor == no_downgrade is normal mode: the newest of each package stays;
// otherwise the oldest at or above the floor stays ("ommitting package %s:
// not allowed" for those below). The warnings, these and the "already
// provided" ones, go to the `report` console when one is given.
void select_candidates(std::vector<pkg_record*>& list, uint32_t floor, console* report);
