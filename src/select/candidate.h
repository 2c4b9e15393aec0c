// Relations between package records, the candidate check and the choice and
// ordering of candidates.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "select/install_flags.h"

struct pkg_repo;
struct pkg_record;
struct pkg_image;
struct pkg_dep;

bool satisfies(const pkg_record& r, const pkg_dep& d);
bool provides_match(const pkg_record& r, const pkg_dep& d);
bool has_name(const pkg_record& r, std::string_view name);
bool requires(const pkg_record& a, const pkg_record& b);
bool conflicts_with(const pkg_record& a, const pkg_record& b);

std::vector<pkg_image*> find_providers(const pkg_repo& repository, const pkg_dep& d,
                                       bool include_disabled);
pkg_image* find_conflicting(const pkg_repo& repository, const pkg_record& candidate);

// Findings (install_flags bits) of checking the candidate against what is
// installed; prints at most one message, for a finding not tolerated.
install_flags check_candidate(pkg_repo& repository, const pkg_record& candidate,
                              install_flags tolerated);

inline constexpr uint32_t no_downgrade = 0xFFFFFFFF;

// Thins the list to one candidate per package and puts it in installation
// order (each after what it requires). floor == no_downgrade is normal mode.
void select_candidates(pkg_repo& repository, std::vector<pkg_record*>& list, uint32_t floor,
                       bool report);
