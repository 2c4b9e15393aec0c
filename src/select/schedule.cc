// The schedule pass: turns the recorded enable, disable and uninstall
// requests into a consistent set (bundles, dependencies, conflicts), refuses a
// set that leaves nothing running, and stages the result.
//
// Records of the same name (a package loaded from both image places) share
// one database directory and so one state: every change of `pending` or
// `disabled` made here is made to all of them.
//
// Records with an empty name are the member-list placeholders of a bundle
// installation. They only serve its conflict check: no file is ever staged
// for them (their database directory would be "/flash/var/pdb//"), and they
// do not count as packages that stay.
#include "select/schedule.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "model/relations.h"
#include "model/version.h"
#include "msg/msg.h"
#include "pkgdb/db_format.h"
#include "pkgdb/metadata.h"
#include "pkgdb/removal.h"
#include "pkgdb/repo.h"
#include "select/candidate.h"
#include "stage/manifest.h"
#include "stage/staging.h"

namespace {

constexpr uint32_t modern_system = 0x031665FF;  // dependencies above it: 3.22 and later
constexpr std::string_view kept_names[] = {"lumo", "disk-drivers", "system"};

bool is_placeholder(const pkg_image& record) { return record.name.empty(); }

// Will be running after the pass. A package that is enabled and asked to be
// enabled again stays running too.
bool is_active(const pkg_image& record) {
  if (record.pending == PENDING_ENABLE) return true;
  return !record.disabled && record.pending == PENDING_NONE;
}

void set_pending(pkg_repo& repository, pkg_image& record, uint32_t pending) {
  record.pending = pending;
  if (is_placeholder(record)) return;
  for (pkg_image* other : repository.packages)
    if (other->name == record.name) other->pending = pending;
}

void set_disabled(pkg_repo& repository, pkg_image& record, bool disabled) {
  record.disabled = disabled;
  if (is_placeholder(record)) return;
  for (pkg_image* other : repository.packages)
    if (other->name == record.name) other->disabled = disabled;
}

// Stages a state file for a request; a file that cannot be staged is
// reported, and the request stays undone rather than printed as done.
bool stage_state(console& screen, manifest& m, const pkg_image& record, const char* action, const char* file,
                 std::string_view word) {
  if (stage_state_file(m, record, file, word)) return true;
  error(screen, "could not %s %s: %s", action, package_text(record).c_str(), std::strerror(errno));
  return false;
}

// Step 1: a bundle's request goes to its members.
void pass_bundle_requests(pkg_repo& repository) {
  for (pkg_image* member : repository.packages) {
    if (member->bundle.name.empty()) continue;
    const pkg_image* bundle = find_package(repository, member->bundle.name);
    if (!bundle) continue;
    if (bundle->pending == PENDING_UNINSTALL)
      set_pending(repository, *member, PENDING_UNINSTALL);
    else if (bundle->pending == PENDING_DISABLE && member->pending != PENDING_UNINSTALL)
      set_pending(repository, *member, PENDING_DISABLE);
    else if (bundle->pending == PENDING_ENABLE && member->disabled)
      set_pending(repository, *member, PENDING_ENABLE);
  }
}

// Step 3 for one active record A: disables what it blocks; drops its own
// enable request when it meets another one it cannot live with.
void settle_conflicts_of(console& screen, pkg_repo& repository, pkg_image& a, pass_output output) {
  for (size_t j = 0; j < repository.packages.size(); ++j) {
    pkg_image& x = *repository.packages[j];
    if (&x == &a || !is_active(x)) continue;
    if (conflicts_with(a, x)) {
      if (x.pending == PENDING_NONE) set_pending(repository, x, PENDING_DISABLE);
      continue;
    }
    if (a.pending != PENDING_ENABLE || !conflicts_with(x, a)) continue;
    if (x.pending == PENDING_NONE) {
      set_pending(repository, x, PENDING_DISABLE);
      continue;
    }
    if (x.pending == PENDING_ENABLE) {
      if (output != pass_output::silent)
        warning(screen, "can not enable %s: %s conflicts with it", a.name.c_str(),
                package_text(x).c_str());
      set_pending(repository, a, PENDING_NONE);
      return;
    }
  }
}

// Step 4 for one record: true when its request changed.
bool follow_vanishing_providers(pkg_repo& repository, pkg_image& q) {
  for (const pkg_dep& d : q.depends) {
    provider_outlook state = provider_state(find_providers(repository, d, true));
    if (state == provider_outlook::none_left) {
      if (q.pending == PENDING_UNINSTALL) continue;
      set_pending(repository, q, PENDING_UNINSTALL);
      return true;
    }
    if (state != provider_outlook::only_disabled) continue;
    if (q.pending == PENDING_UNINSTALL || q.pending == PENDING_DISABLE) continue;
    if (!q.disabled || q.pending == PENDING_ENABLE) {
      set_pending(repository, q, PENDING_DISABLE);
      return true;
    }
  }
  return false;
}

void follow_all_vanishing_providers(pkg_repo& repository) {
  bool changed = true;
  while (changed) {
    changed = false;
    for (size_t i = 0; i < repository.packages.size() && !changed; ++i)
      changed = follow_vanishing_providers(repository, *repository.packages[i]);
  }
}

// Step 5: a bundle record goes when no member of it is left, and is
// disabled when all that are left are disabled. Its record and image are
// what its members are loaded from: a bundle whose members stay installed,
// even disabled, must stay too, or the next run would find the members
// without their bundle and remove them.
void follow_members(pkg_repo& repository, pkg_image& bundle) {
  bool any_member = false;
  for (const pkg_image* member : repository.packages) {
    if (member == &bundle || is_inert(*member) || member->bundle.name != bundle.name) continue;
    if (member->pending == PENDING_UNINSTALL) continue;
    if (is_active(*member)) return;
    any_member = true;
  }
  if (!any_member)
    set_pending(repository, bundle, PENDING_UNINSTALL);
  else if (!bundle.disabled)
    set_pending(repository, bundle, PENDING_DISABLE);
  else if (bundle.pending == PENDING_ENABLE)
    set_pending(repository, bundle, PENDING_NONE);
}

bool anything_stays(const pkg_repo& repository) {
  for (const pkg_image* record : repository.packages)
    if (!is_placeholder(*record) && is_active(*record)) return true;
  return false;
}

void uninstall(console& screen, pkg_repo& repository, manifest& m, pkg_image& record, pass_output output) {
  if (is_placeholder(record)) {
    record.pending = PENDING_NONE;
    repository.erase(&record);
    return;
  }
  std::string text = package_text(record);
  if (output == pass_output::everything) set_progress(screen, "uninstalling " + text + "...");
  stage_package_removal(repository, record, m);
  repository.erase(&record);
  if (output == pass_output::everything) info(screen, "uninstalled %s", text.c_str());
}

void disable(console& screen, pkg_repo& repository, manifest& m, pkg_image& record, pass_output output) {
  bool placeholder = is_placeholder(record);
  // A dry run's plan says what would be done, once, at its end.
  bool show = output != pass_output::silent && !placeholder && !m.dry_run;
  if (show) set_progress(screen, "disabling " + package_text(record) + "...");
  set_pending(repository, record, PENDING_NONE);
  // A request whose state file could not be staged stays undone: the
  // package keeps its state, in the run and on flash, and is not printed
  // as disabled.
  if (!placeholder &&
      !stage_state(screen, m, record, "disable", "disabled", record.user_set ? "user" : auto_state))
    return;
  if (!placeholder) stage_removal(m, pdb_dir(record) + "enabled");
  set_disabled(repository, record, true);
  if (show) info(screen, "disabled %s", package_text(record).c_str());
}

// Step 8: the uninstall and disable requests, from the last to the first.
void carry_out(console& screen, pkg_repo& repository, manifest& m, const std::vector<pkg_image*>& requests,
               pass_output output) {
  for (size_t i = requests.size(); i > 0; --i) {
    pkg_image& record = *requests[i - 1];
    if (record.pending == PENDING_UNINSTALL)
      uninstall(screen, repository, m, record, output);
    else if (record.pending == PENDING_DISABLE)
      disable(screen, repository, m, record, output);
  }
}

// True when something other than a placeholder is in the list.
bool names_a_package(const std::vector<pkg_image*>& list) {
  for (const pkg_image* record : list)
    if (!is_placeholder(*record)) return true;
  return false;
}

std::vector<pkg_image*> enable_order(const std::vector<pkg_image*>& list) {
  std::vector<pkg_record*> candidates(list.begin(), list.end());
  select_candidates(candidates, no_downgrade, nullptr);
  std::vector<pkg_image*> ordered;
  // The candidates are the repository's own records.
  for (pkg_record* record : candidates) ordered.push_back(static_cast<pkg_image*>(record));
  return ordered;
}

}  // namespace

provider_outlook provider_state(const std::vector<pkg_image*>& providers) {
  bool disabled = false;
  for (const pkg_image* p : providers) {
    if (!p->disabled) {
      if (p->pending == PENDING_NONE || p->pending == PENDING_ENABLE) return provider_outlook::stays_met;
      if (p->pending == PENDING_DISABLE) disabled = true;
    } else {
      if (p->pending == PENDING_ENABLE) return provider_outlook::stays_met;
      disabled = true;
    }
  }
  return disabled ? provider_outlook::only_disabled : provider_outlook::none_left;
}

void keep_requirements(pkg_repo& repository, pkg_image& r, console* report) {
  if (!r.bundle.name.empty())
    if (pkg_image* bundle = find_package(repository, r.bundle.name))
      protect_provider(repository, *bundle, r, report);
  for (const pkg_dep& d : r.depends) {
    std::vector<pkg_image*> providers = find_providers(repository, d, true);
    if (provider_state(providers) == provider_outlook::stays_met) continue;
    if (providers.empty()) break;
    std::vector<pkg_image*> chosen = enable_order(providers);
    if (chosen.empty()) continue;
    protect_provider(repository, *chosen.back(), r, report);
  }
}

void protect_provider(pkg_repo& repository, pkg_image& p, const pkg_image& r, console* report) {
  if (p.pending == PENDING_UNINSTALL || p.pending == PENDING_DISABLE) {
    if (report)
      warning(*report, "can not %s %s: %s depends on it", action_word(p.pending),
              package_text(p).c_str(), r.name.c_str());
    // A disabled package that is needed has to come back, not just stay.
    set_pending(repository, p, p.disabled ? PENDING_ENABLE : PENDING_NONE);
    keep_requirements(repository, p, report);
  } else if (p.disabled && p.pending != PENDING_ENABLE) {
    set_pending(repository, p, PENDING_ENABLE);
    keep_requirements(repository, p, report);
  }
}

bool schedule_pass(console& screen, pkg_repo& repository, manifest& m, pass_output output) {
  pass_bundle_requests(repository);
  // Activity is judged as each walk reaches a record: earlier steps of the
  // same walk may have changed it.
  for (size_t i = 0; i < repository.packages.size(); ++i) {
    pkg_image& record = *repository.packages[i];
    if (is_active(record)) keep_requirements(repository, record, output != pass_output::silent ? &screen : nullptr);
  }
  for (size_t i = 0; i < repository.packages.size(); ++i) {
    pkg_image& record = *repository.packages[i];
    if (is_active(record)) settle_conflicts_of(screen, repository, record, output);
  }
  follow_all_vanishing_providers(repository);
  for (pkg_image* record : repository.packages)
    if (record->is_bundle && record->pending != PENDING_UNINSTALL)
      follow_members(repository, *record);

  if (!repository.packages.empty() && !anything_stays(repository)) {
    for (pkg_image* record : repository.packages) record->pending = PENDING_NONE;
    if (output != pass_output::silent) error(screen, "can not uninstall or disable all packages");
    return false;
  }

  std::vector<pkg_image*> requests;
  std::vector<pkg_image*> enables;
  for (pkg_image* record : repository.packages) {
    if (record->pending == PENDING_UNINSTALL || record->pending == PENDING_DISABLE)
      requests.push_back(record);
    else if (record->pending == PENDING_ENABLE)
      enables.push_back(record);
  }
  enables = enable_order(enables);
  carry_out(screen, repository, m, requests, output);
  enable_packages(screen, repository, m, enables, output != pass_output::silent);
  return names_a_package(requests) || names_a_package(enables);
}

void enable_packages(console& screen, pkg_repo& repository, manifest& m, const std::vector<pkg_image*>& list,
                     bool show) {
  show = show && !m.dry_run;
  for (pkg_image* record : list) {
    bool placeholder = is_placeholder(*record);
    if (show && !placeholder) set_progress(screen, "enabling " + package_text(*record) + "...");
    if (!placeholder) {
      std::string dir = pdb_dir(*record);
      // As with a disable, a request whose state file could not be staged
      // changes nothing.
      if (record->user_set && !stage_state(screen, m, *record, "enable", "enabled", "user")) {
        set_pending(repository, *record, PENDING_NONE);
        continue;
      }
      stage_removal(m, dir + "disabled");
      if (!record->user_set) stage_removal(m, dir + "enabled");
    }
    set_disabled(repository, *record, false);
    set_pending(repository, *record, PENDING_NONE);
    if (show && !placeholder) info(screen, "enabled %s", package_text(*record).c_str());
  }
}

bool cleanup_packages(console& screen, pkg_repo& repository, manifest& m) {
  schedule_pass(screen, repository, m, pass_output::silent);
  for (pkg_image* record : repository.packages) {
    bool kept_name = false;
    for (std::string_view name : kept_names) kept_name |= record->name == name;
    if (kept_name || record->is_bundle) continue;
    bool modern = false;
    for (const pkg_dep& d : record->depends)
      if (d.name == "system" && d.min_version > modern_system) {
        modern = true;
        break;
      }
    if (!modern) record->pending = PENDING_UNINSTALL;
  }
  return schedule_pass(screen, repository, m, pass_output::changes);
}
