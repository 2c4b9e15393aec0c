// Enable, disable and uninstall requests and requirement protection.
#pragma once

#include <vector>

struct pkg_repo;
struct pkg_image;
struct manifest;

// 0: the dependency stays satisfied; 1: no provider remains; 3: providers
// remain only disabled.
int provider_state(const std::vector<pkg_image*>& providers);
void keep_requirements(pkg_repo& repository, pkg_image& r, bool report);
void protect_provider(pkg_repo& repository, pkg_image& p, const pkg_image& r, bool report);

// Settles and carries out every request. mode 0 shows nothing, 1 shows the
// enable/disable lines and warnings, 2 also the uninstall lines. True when
// anything was uninstalled, disabled or enabled.
bool schedule_pass(pkg_repo& repository, manifest& m, int mode);
void enable_packages(pkg_repo& repository, manifest& m, const std::vector<pkg_image*>& list,
                     bool show);
bool cleanup_packages(pkg_repo& repository, manifest& m);
