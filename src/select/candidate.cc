// The candidate check and the selection of package files.
//
// The selection orders candidates in two steps: an insertion pass that puts
// each candidate after the rearmost already placed one it needs, and then a
// stable reorder that turns the result into a full dependency order (the
// insertion pass alone can leave a package in front of a package it needs
// through a third one, e.g. C, A, B with A -> B -> C becomes A, C, B).
#include "select/candidate.h"

#include <string>

#include "model/relations.h"
#include "model/version.h"
#include "msg/msg.h"
#include "pkgdb/repo.h"
#include "platform/device.h"

namespace {

constexpr std::string_view branding_name = "branding";
constexpr std::string_view system_name = "system";
constexpr std::string_view tessarok_prefix = "tessarok";

bool name_asks_min_version(const std::string& name) {
  return name == system_name || name.compare(0, tessarok_prefix.size(), tessarok_prefix) == 0;
}

// Step 1 of the check: the candidate against the first installed record of
// its name (whatever its state).
install_flags check_installed_version(console& screen, pkg_repo& repository, const pkg_record& candidate,
                                      install_flags tolerated, bool* reported) {
  if (candidate.name == branding_name) return 0;
  const pkg_image* installed = find_package(repository, candidate.name);
  if (!installed) return 0;
  int r = compare_packages(candidate, *installed);
  if (r > 0) return ALLOW_NEWER;
  if (r < 0) {
    if (!(tolerated & ALLOW_OLDER)) {
      warning(screen, "omitting package %s: newer package %s is already installed",
              package_text(candidate).c_str(), package_text(*installed).c_str());
      *reported = true;
    }
    return ALLOW_OLDER;
  }
  if (!(tolerated & ALLOW_SAME)) {
    warning(screen, "omitting package %s: it is already installed",
            package_text(candidate).c_str());
    *reported = true;
  }
  return ALLOW_SAME;
}

// Whether the message of a finding is to be printed now: not tolerated and
// nothing printed for this candidate yet. Marks the candidate as reported.
bool take_message(install_flags finding, install_flags tolerated, bool* reported) {
  if ((tolerated & finding) || *reported) return false;
  *reported = true;
  return true;
}

// Phase 1 of the selection: whether candidate `index` survives the
// comparison with every other candidate of the list as given.
bool keep_candidate(const std::vector<pkg_record*>& list, size_t index, uint32_t floor, console* report) {
  const pkg_record& x = *list[index];
  bool downgrade = floor != no_downgrade;
  if (downgrade && x.version < floor) {
    if (report) warning(*report, "ommitting package %s: not allowed", package_text(x).c_str());
    return false;
  }
  for (size_t j = 0; j < list.size(); ++j) {
    if (j == index) continue;
    const pkg_record& y = *list[j];
    if (!has_name(x, y.name) && !has_name(y, x.name)) continue;
    int r = compare_packages(y, x);
    if (downgrade) r = -r;
    if (r > 0) {
      if (report)
        warning(*report, downgrade ? "omitting package %s: older package is already provided"
                                   : "omitting package %s: newer package is already provided",
                package_text(x).c_str());
      return false;
    }
    if (r < 0) continue;
    // Equal: a bundle wins over a loose package; of two of the same kind the
    // earlier one in the list stays, so identical files keep one copy.
    if (x.is_bundle && !y.is_bundle) continue;
    if (!x.is_bundle && y.is_bundle) return false;
    if (j < index) return false;
  }
  return true;
}

// e has to be installed before x.
bool must_precede(const pkg_record& e, const pkg_record& x) {
  return requires_package(x, e) || conflicts_with(e, x);
}

// The insertion pass: each candidate directly after the rearmost element
// already placed that it needs or that blocks it, else at the front.
std::vector<pkg_record*> insertion_order(const std::vector<pkg_record*>& kept) {
  std::vector<pkg_record*> result;
  for (pkg_record* x : kept) {
    size_t at = 0;
    for (size_t i = result.size(); i > 0; --i)
      if (must_precede(*result[i - 1], *x)) {
        at = i;
        break;
      }
    result.insert(result.begin() + static_cast<long>(at), x);
  }
  return result;
}

// Stable reorder into a dependency order: repeatedly the first remaining
// element whose prerequisites are all taken; in a cycle, the first remaining
// element. An order that already is a dependency order stays as it is.
std::vector<pkg_record*> dependency_order(const std::vector<pkg_record*>& r) {
  size_t n = r.size();
  std::vector<std::vector<bool>> before(n, std::vector<bool>(n, false));
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j < n; ++j)
      if (i != j) before[j][i] = must_precede(*r[i], *r[j]);
  std::vector<bool> taken(n, false);
  std::vector<pkg_record*> result;
  while (result.size() < n) {
    size_t pick = n;
    size_t first_left = n;
    for (size_t j = 0; j < n && pick == n; ++j) {
      if (taken[j]) continue;
      if (first_left == n) first_left = j;
      bool ready = true;
      for (size_t i = 0; i < n && ready; ++i)
        if (before[j][i] && !taken[i]) ready = false;
      if (ready) pick = j;
    }
    if (pick == n) pick = first_left;
    taken[pick] = true;
    result.push_back(r[pick]);
  }
  return result;
}

}  // namespace

std::vector<pkg_image*> find_providers(const pkg_repo& repository, const pkg_dep& d,
                                       bool include_disabled) {
  std::vector<pkg_image*> providers;
  for (pkg_image* r : repository.packages) {
    if (is_inert(*r) || (r->disabled && !include_disabled)) continue;
    if (satisfies(*r, d) || provides_match(*r, d)) providers.push_back(r);
  }
  return providers;
}

pkg_image* find_conflicting(const pkg_repo& repository, const pkg_record& candidate) {
  for (pkg_image* r : repository.packages)
    if (!r->disabled && conflicts_with(*r, candidate)) return r;
  return nullptr;
}

install_flags check_candidate(console& screen, pkg_repo& repository, const pkg_record& candidate,
                              install_flags tolerated) {
  return check_candidate(screen, repository, candidate, tolerated, device::min_system_version);
}

install_flags check_candidate(console& screen, pkg_repo& repository, const pkg_record& candidate,
                              install_flags tolerated, min_version_query query) {
  bool reported = false;
  install_flags findings = check_installed_version(screen, repository, candidate, tolerated, &reported);
  std::string text = package_text(candidate);

  if (name_asks_min_version(candidate.name)) {
    uint32_t min = query();
    if (candidate.version < min) {
      findings |= ALLOW_UNMET;
      if (take_message(ALLOW_UNMET, tolerated, &reported))
        error(screen, "omitting package %s: min Tessarok version is %s", text.c_str(),
              version_text(min).c_str());
    }
  }
  if (!candidate.arch.empty() && candidate.arch != repository.arch) {
    findings |= ALLOW_UNMET;
    if (take_message(ALLOW_UNMET, tolerated, &reported))
      error(screen, "can not install %s: it is not made for %s, but for %s", text.c_str(),
            repository.arch.c_str(), candidate.arch.c_str());
  }
  for (const pkg_dep& d : candidate.depends) {
    if (!find_providers(repository, d, false).empty()) continue;
    findings |= ALLOW_UNMET;
    if (take_message(ALLOW_UNMET, tolerated, &reported))
      error(screen, "can not install %s: %s is not installed, but is required", text.c_str(),
            dep_text(d).c_str());
    break;
  }
  if (const pkg_image* blocker = find_conflicting(repository, candidate)) {
    findings |= ALLOW_CONFLICT;
    if (take_message(ALLOW_CONFLICT, tolerated, &reported))
      error(screen, "can not install %s: it conflicts with %s", text.c_str(),
            package_text(*blocker).c_str());
  }
  return findings;
}

void select_candidates(std::vector<pkg_record*>& list, uint32_t floor, console* report) {
  std::vector<pkg_record*> kept;
  for (size_t i = 0; i < list.size(); ++i)
    if (keep_candidate(list, i, floor, report)) kept.push_back(list[i]);
  list = dependency_order(insertion_order(kept));
}
