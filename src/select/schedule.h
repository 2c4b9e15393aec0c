// Enable, disable and uninstall requests and requirement protection.
#pragma once

#include <vector>

struct console;
struct pkg_repo;
struct pkg_image;
struct manifest;

// Whether a dependency stays met after the requests.
enum class provider_outlook {
  stays_met,      // a provider stays or will be enabled
  none_left,      // no provider remains
  only_disabled,  // providers remain only disabled
};

// The outlook of a dependency given its installed providers.
provider_outlook provider_state(const std::vector<pkg_image*>& providers);
// Protects what r needs: its bundle record and a provider of each dependency
// (the first dependency without any provider ends the walk). Changes only
// `pending`, of every record of the provider's name.
void keep_requirements(pkg_repo& repository, pkg_image& r, console* report);
// Cancels an uninstall or disable request on p (warning "can not %s %s: %s
// depends on it" on the `report` console, when given), schedules a disabled
// p for enabling, and protects what p needs in turn.
void protect_provider(pkg_repo& repository, pkg_image& p, const pkg_image& r, console* report);

// What the schedule pass prints.
enum class pass_output {
  silent,      // nothing
  changes,     // the enable and disable lines, the warnings and the refusal
  everything,  // also the uninstall lines
};

// Settles and carries out every request (`pending`) by staging changes in m,
// printing what `output` asks for. Refuses (stages nothing, drops
// every request, returns false) when no package would stay running. True
// when a package was uninstalled, disabled or enabled. Uninstalled records
// leave `packages` but stay readable.
bool schedule_pass(console& screen, pkg_repo& repository, manifest& m, pass_output output);
// Enables the records in list order: stages the state files, clears
// `disabled` and `pending`.
void enable_packages(console& screen, pkg_repo& repository, manifest& m, const std::vector<pkg_image*>& list,
                     bool show);
// The clean-up mode: a silent pass, then every package is marked for
// uninstalling except "lumo", "disk-drivers", "system", bundles and packages
// needing "system" 3.22 or later; returns the result of a second pass.
bool cleanup_packages(console& screen, pkg_repo& repository, manifest& m);
