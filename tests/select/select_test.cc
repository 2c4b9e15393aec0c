// The candidate check, the choice and order of candidates, requirement
// protection and the schedule pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "model/relations.h"
#include "msg/msg.h"
#include "pkgdb/pkgdb_test_tools.h"
#include "pkgdb/repo.h"
#include "select/candidate.h"
#include "select/schedule.h"
#include "stage/manifest.h"
#include "support/device_root.h"

namespace {

using namespace pkgdb_test;  // records, dependencies and versions to build cases from

// A record in a short notation: its name ("-": the empty name of a bundle
// installation's placeholder), then words: "v=HEX" (the version, 2.0 when
// not given), "t=HEX" (the build time), "arch=A", "off" (disabled), "user"
// (the user's choice), "bundle" (a bundle record), a request ("uninstall",
// "enable", "disable"), "in=BUNDLE", and the lists "depends=a,b",
// "conflicts=a", "provides=a" (an entry "a:HEX" with a minimum version).
pkg_image* add(pkg_repo& repository, const std::string& notation) {
  std::istringstream words(notation);
  std::string name, word;
  words >> name;
  pkg_image* r = repository.append(std::make_unique<pkg_image>(rec<pkg_image>(name == "-" ? "" : name)));
  auto hex = [](const std::string& text) { return static_cast<uint32_t>(std::stoul(text, nullptr, 16)); };
  while (words >> word) {
    std::string key = word.substr(0, word.find('=')), value = word.substr(key.size() + (key.size() < word.size()));
    std::vector<pkg_dep>* list = key == "depends" ? &r->depends : key == "conflicts" ? &r->conflicts
                                 : key == "provides" ? &r->provides : nullptr;
    std::istringstream entries(value);
    for (std::string entry; list && std::getline(entries, entry, ',');)
      list->push_back(dep(entry.substr(0, entry.find(':')), entry.find(':') == std::string::npos ? 0 : hex(entry.substr(entry.find(':') + 1))));
    r->version = key == "v" ? hex(value) : r->version, r->build_time = key == "t" ? hex(value) : r->build_time;
    r->arch = key == "arch" ? value : r->arch, r->bundle.name = key == "in" ? value : r->bundle.name;
    r->disabled |= word == "off", r->user_set |= word == "user", r->is_bundle |= word == "bundle";
    for (uint32_t request : {PENDING_UNINSTALL, PENDING_ENABLE, PENDING_DISABLE})
      if (word == action_word(request)) r->pending = request;
  }
  return r;
}

TEST(Candidate, Findings) {
  pkg_repo repository, candidates;
  for (const char* installed : {"net v=3006600 t=100 off", "branding v=4006600", "firewall conflicts=proxy", "vpn off",
                                "web v=ffffffff t=ffffffff", "guard off conflicts=tool"})
    add(repository, installed);
  repository.arch = "powerpc";
  // Newer, older and the same version, with and without -down and
  // --reinstall, a missing dependency and a conflict are the end-to-end
  // rows' (install); build times are not.
  const std::string older = std::to_string(ALLOW_OLDER) + " ", unmet = std::to_string(ALLOW_UNMET) + " ",
                    all = std::to_string(ALLOW_UNMET | ALLOW_CONFLICT) + " ", proxy = "ERROR: can not install proxy-2.0: ";
  const struct { const char* candidate; install_flags tolerated; std::string expected; } cases[] = {
      {"net v=3006600 t=99", ALLOW_SAME, older + "WARNING: omitting package net-3.0: newer package net-3.0 is already installed\n"},
      {"branding", 0, "0 "}, {"xtessarok", 0, "0 "}, {"systems", 0, "0 "},
      {"system", 0, unmet + "ERROR: omitting package system-2.0: min Tessarok version is 3.0\n"},
      {"tessarok-wifi", 0, unmet + "ERROR: omitting package tessarok-wifi-2.0: min Tessarok version is 3.0\n"},
      {"proxy arch=mipsbe depends=vpn", 0, all + proxy + "it is not made for powerpc, but for mipsbe\n"},
      // A disabled provider counts as missing, as does an inert one; a
      // disabled package blocks nothing.
      {"proxy arch=powerpc depends=vpn", ALLOW_CONFLICT, all + proxy + "vpn is not installed, but is required\n"},
      {"tool depends=web", 0, unmet + "ERROR: can not install tool-2.0: web is not installed, but is required\n"},
  };
  for (const auto& c : cases) {
    install_flags found = 0;
    std::string out = printed([&](console& screen) {
      found = check_candidate(screen, repository, *add(candidates, c.candidate), c.tolerated, [] { return v3; });
    });
    EXPECT_EQ(std::to_string(found) + " " + out, c.expected) << c.candidate;
  }
}

// The candidates kept, in order, and the lines printed.
std::pair<std::vector<pkg_record*>, std::string> select(std::vector<pkg_record*> list, uint32_t floor = no_downgrade) {
  std::string text = printed([&](console& screen) { select_candidates(list, floor, &screen); });
  return {list, text};
}

TEST(Candidate, SelectionKeepsOneOfEachName) {
  pkg_repo all;
  pkg_image *two = add(all, "net"), *three = add(all, "net v=3006600");
  pkg_image *other = add(all, "other v=4006600"), *first = add(all, "net v=3006600"), *second = add(all, "net v=3006600");
  pkg_image* suite = add(all, "suite v=4006600 bundle");
  suite->members = {first};
  const std::string older = "WARNING: omitting package net-3.0: older package is already provided\n",
                    refused = "WARNING: ommitting package net-2.0: not allowed\n";
  const struct { std::vector<pkg_record*> list; uint32_t floor; std::vector<pkg_record*> kept; std::string out; } cases[] = {
      {{two, three}, no_downgrade, {three}, "WARNING: omitting package net-2.0: newer package is already provided\n"},
      {{three, two}, 0, {two}, older},
      // A candidate refused by the floor still counts against the others.
      {{two, three}, v3, {}, refused + older},
      {{two, other}, v3, {other}, refused},
      // The same file found twice used to install nothing: each copy dropped the other.
      {{first, second}, no_downgrade, {first}, ""},
      {{second, first}, 0, {second}, ""},
      // A bundle wins a tie with a loose package of its member's name.
      {{second, suite}, no_downgrade, {suite}, ""},
      {{suite, second}, no_downgrade, {suite}, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(select(c.list, c.floor), std::pair(c.kept, c.out)) << &c - cases;
}

// Every permutation comes out with each package after what it requires and
// after what blocks it.
TEST(Candidate, InstallationOrderInEveryPermutation) {
  pkg_repo all;
  std::vector<pkg_record*> set;  // a diamond over a provided name, and a guard that blocks one of its packages
  for (const char* p : {"top depends=l,r", "l depends=mid", "r depends=mid", "mid depends=web", "server provides=web", "guard conflicts=l"})
    set.push_back(add(all, p));
  std::sort(set.begin(), set.end());
  do {
    std::vector<pkg_record*> result = select(set).first;
    ASSERT_EQ(result.size(), set.size());
    for (size_t i = 0; i < result.size(); ++i)
      for (size_t j = i + 1; j < result.size(); ++j)
        ASSERT_FALSE(requires_package(*result[i], *result[j]) || conflicts_with(*result[j], *result[i]))
            << result[i]->name << " before " << result[j]->name;
  } while (std::next_permutation(set.begin(), set.end()));
}

// The schedule pass (mode < 0: the clean-up) inside a device root: its
// result, its staged operations, the records left and its warnings and
// errors.
std::string schedule(const std::vector<const char*>& packages, int mode) {
  pkg_repo repository;
  for (const char* p : packages) add(repository, p);
  testsupport::device_root root;  // each package's directory, with its state file
  for (const pkg_image* r : repository.packages)
    if (!r->name.empty()) root.write_file(pdb_dir(*r) + (r->disabled ? "disabled" : r->user_set ? "enabled" : "version"), "x\n");
  return run_in_root(root, [&] {
    manifest m;
    bool result = false;
    std::istringstream out(printed([&](console& screen) {
      result = mode < 0 ? cleanup_packages(screen, repository, m) : schedule_pass(screen, repository, m, static_cast<pass_output>(mode));
    }));
    std::string text = result ? "true" : "false";
    for (const auto& [target, op] : m.ops) text += " " + std::to_string(op.kind) + target.substr(15);
    text += " left:";  // each record's name with its state and request
    for (const pkg_image* r : repository.packages)
      text += " " + (r->name.empty() ? "-" : r->name) + (r->disabled ? "(off)" : "") +
              (r->pending ? std::string("(") + action_word(r->pending) + ")" : "");
    for (std::string line; std::getline(out, line);)
      if (line.starts_with("WARNING") || line.starts_with("ERROR")) text += "\n" + line;
    discard(m);
    return text;
  });
}

// Requests carried out, and the user's choices against conflicts, are the
// end-to-end rows' (install).
TEST(Schedule, Outcomes) {
  const struct { const char* what; std::vector<const char*> packages; int mode; const char* expected; } cases[] = {
      // Removing or disabling everything is refused.
      {"all", {"a uninstall", "c off"}, 1, "false left: a c(off)\nERROR: can not uninstall or disable all packages"},
      // A placeholder of a bundle installation never gets files: its
      // directory would be "/flash/var/pdb//"; nor does it count as staying.
      {"placeholder disabled", {"- conflicts=member", "member off enable"}, 1, "true 4member/disabled left: -(off) member"},
      {"placeholder does not stay", {"- conflicts=x", "a uninstall"}, 0, "false left: - a"},
      // What a staying package needs keeps it, and what it needs in turn.
      {"requirements kept", {"a depends=b", "b depends=c uninstall", "c disable"}, 1,
       "false left: a b c\nWARNING: can not uninstall b-2.0: a depends on it\nWARNING: can not disable c-2.0: b depends on it"},
      // An enabled package with an "enable" request left is still running.
      {"enabled and asked to enable", {"app depends=lib", "lib enable depends=base user", "base uninstall"}, 1,
       "true 1lib/enabled left: app lib base\nWARNING: can not uninstall base-2.0: lib depends on it"},
      // Cancelling the uninstall of a disabled provider used to leave it
      // disabled, and the pass then disabled its dependent as well.
      {"a disabled provider comes back", {"e off enable depends=f", "f off uninstall"}, 1,
       "true 4e/disabled 4f/disabled left: e f\nWARNING: can not uninstall f-2.0: e depends on it"},
      // A damaged database whose "bundle" file names the package itself used
      // to recurse until the stack ran out.
      {"its own bundle and dependency", {"loop off enable depends=loop in=loop"}, 0, "true 4loop/disabled left: loop"},
      {"a ring", {"x depends=a", "a off depends=b", "b off depends=a"}, 0, "true 4a/disabled 4b/disabled left: x a b"},
      {"a bundle record is kept by its member", {"m in=suite", "suite bundle off"}, 0, "true 4suite/disabled left: m suite"},
      // The first dependency without any provider ends the walk.
      {"a missing first dependency", {"keep", "g depends=nothing,h", "h uninstall"}, 0, "true 4g/ 4h/ left: keep"},
      {"a provider that stays", {"site depends=web", "web uninstall", "proxy provides=web"}, 0, "true 4web/ left: site proxy"},
      {"vanishing providers", {"keep", "lib uninstall", "tool off depends=lib", "driver off", "panel depends=driver"}, 0,
       "true 4driver/disabled 4lib/ 4tool/ left: keep driver panel"},
      // A disabled provider uninstalled leaves its dependent disabled.
      {"disabled provider", {"keep", "app off depends=lib", "lib off uninstall"}, 0, "true 4lib/ left: keep app(off)"},
      // A conflict disables the provider and its dependent.
      {"conflict", {"g conflicts=w", "w", "s depends=w"}, 0, "true 1s/disabled 1w/disabled left: g w(off) s(off)"},
      {"two enables in conflict", {"keep", "first off enable", "second off enable conflicts=first"}, 1,
       "true 4second/disabled left: keep first(off) second\nWARNING: can not enable first: second-2.0 conflicts with it"},
      // Two records of one name used to be both dropped as the choice of a
      // provider; both now share every change.
      {"records of one name", {"keep depends=lib", "lib off", "lib off"}, 0, "true 4lib/disabled left: keep lib lib"},
      {"clean-up keeps system names, bundles and packages for 3.22 on, and what they need",
       {"system v=3176600", "lumo", "disk-drivers", "kit bundle", "m2 depends=system:3166700 in=kit", "old depends=system:31665ff", "lib",
        "new depends=lib,system:3166600"}, -1, "true 4old/ left: system lumo disk-drivers kit m2 lib new\nWARNING: can not uninstall lib-2.0: new depends on it"},
  };
  for (const auto& c : cases) EXPECT_EQ(schedule(c.packages, c.mode), c.expected) << c.what;
}

}  // namespace
