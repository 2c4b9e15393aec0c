// The candidate check, the installation order, requirement protection and
// the schedule pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "model/relations.h"
#include "model/version.h"
#include "msg/msg.h"
#include "pkgdb/pkgdb_test_tools.h"
#include "pkgdb/repo.h"
#include "select/candidate.h"
#include "select/schedule.h"
#include "stage/manifest.h"
#include "support/device_root.h"

namespace {

using namespace pkgdb_test;  // records, dependencies and versions to build cases from

uint32_t min_system = 0;
uint32_t min_system_query() { return min_system; }

class Candidate : public ::testing::Test {
 protected:
  pkg_image* install(const std::string& name, uint32_t version = v2, bool disabled = false) {
    pkg_image* image = repository_.append(std::make_unique<pkg_image>(rec<pkg_image>(name, version)));
    image->disabled = disabled;
    return image;
  }
  // The findings and what was printed.
  std::string check(const pkg_record& candidate, install_flags tolerated) {
    install_flags found = 0;
    std::string out = pkgdb_test::printed([&](std::FILE* f) {
      terminal().out = f;
      found = check_candidate(repository_, candidate, tolerated, min_system_query);
    });
    return std::to_string(found) + " " + out;
  }
  std::vector<pkg_record*> select(std::vector<pkg_record*> list, uint32_t floor = no_downgrade, std::string* out = nullptr) {
    std::string text = pkgdb_test::printed([&](std::FILE* f) {
      terminal().out = f;
      select_candidates(list, floor, true);
    });
    if (out) *out = text;
    return list;
  }
  pkg_record* make(const std::string& name, uint32_t version = v2, uint32_t build_time = 0) {
    owned_.push_back(std::make_unique<pkg_record>(rec(name, version, build_time)));
    return owned_.back().get();
  }
  pkg_repo repository_;
  std::vector<std::unique_ptr<pkg_record>> owned_;
};

TEST_F(Candidate, Findings) {
  pkg_image* net = install("net", v3, true);  // compared all the same
  net->build_time = 100;
  install("branding", v4);
  install("firewall")->conflicts = {dep("proxy")};
  install("vpn", v2, true);
  repository_.arch = "powerpc";
  min_system = v3;
  // Newer, older and the same version, with and without -down and
  // --reinstall, are the end-to-end rows' (install); build times are not.
  const std::string older = std::to_string(ALLOW_OLDER) + " ", unmet = std::to_string(ALLOW_UNMET) + " ";
  const struct { pkg_record candidate; install_flags tolerated; std::string expected; } cases[] = {
      {rec("net", v3, 99), ALLOW_SAME, older + "WARNING: omitting package net-3.0: newer package net-3.0 is already installed\n"},
      {rec("branding", v2), 0, "0 "},
      {rec("system", v2), 0, unmet + "ERROR: omitting package system-2.0: min Tessarok version is 3.0\n"},
      {rec("tessarok-wifi", v2), 0, unmet + "ERROR: omitting package tessarok-wifi-2.0: min Tessarok version is 3.0\n"},
      {rec("system", v2), ALLOW_UNMET, unmet},
      {rec("xtessarok", v2), 0, "0 "},
      {rec("systems", v2), 0, "0 "},
  };
  for (const auto& c : cases) EXPECT_EQ(check(c.candidate, c.tolerated), c.expected) << c.candidate.name;
  pkg_record proxy = rec("proxy");
  proxy.arch = "mipsbe";
  proxy.depends = {dep("vpn")};
  const std::string all = std::to_string(ALLOW_UNMET | ALLOW_CONFLICT) + " ";
  EXPECT_EQ(check(proxy, 0), all + "ERROR: can not install proxy-2.0: it is not made for powerpc, but for mipsbe\n");
  EXPECT_EQ(check(proxy, ALLOW_UNMET), all + "ERROR: can not install proxy-2.0: it conflicts with firewall-2.0\n");
  proxy.arch = "powerpc";
  EXPECT_EQ(check(proxy, ALLOW_CONFLICT), all + "ERROR: can not install proxy-2.0: vpn is not installed, but is required\n")
      << "a disabled provider counts as missing";
  terminal().quiet = true;
  EXPECT_EQ(check(proxy, 0), all);
  EXPECT_EQ(terminal().messages.size(), 6u);
  terminal().quiet = false;
}

TEST_F(Candidate, ProvidersAndConflictingSkipInertAndDisabled) {
  pkg_image* inert = install("web", 0xFFFFFFFF);
  inert->build_time = 0xFFFFFFFF;
  pkg_image* off = install("web", v2, true);
  pkg_image* on = install("proxy");
  on->provides = {dep("web")};
  EXPECT_EQ(find_providers(repository_, dep("web"), false), std::vector<pkg_image*>{on});
  EXPECT_EQ(find_providers(repository_, dep("web"), true), (std::vector<pkg_image*>{off, on}));
  off->conflicts = {dep("web")};
  EXPECT_EQ(find_conflicting(repository_, rec("web")), on);
  on->provides[0].extra = -1;
  EXPECT_EQ(find_conflicting(repository_, rec("web")), nullptr);
  off->disabled = false;
  EXPECT_EQ(find_conflicting(repository_, rec("web")), off);
}

TEST_F(Candidate, SelectionKeepsOneOfEachName) {
  pkg_record *two = make("net", v2), *three = make("net", v3), *other = make("other", v4);
  std::string out;
  EXPECT_EQ(select({two, three}, no_downgrade, &out), std::vector<pkg_record*>{three});
  EXPECT_EQ(out, "WARNING: omitting package net-2.0: newer package is already provided\n");
  EXPECT_EQ(select({three, two}, 0, &out), std::vector<pkg_record*>{two});
  EXPECT_EQ(out, "WARNING: omitting package net-3.0: older package is already provided\n");
  // A candidate refused by the floor still counts against the others.
  EXPECT_EQ(select({two, three}, v3, &out), std::vector<pkg_record*>{});
  EXPECT_EQ(out, "WARNING: ommitting package net-2.0: not allowed\n"
                 "WARNING: omitting package net-3.0: older package is already provided\n");
  EXPECT_EQ(select({two, other}, v3), std::vector<pkg_record*>{other});
  // The same file found twice used to install nothing: each copy dropped the other.
  pkg_record *first = make("net", v3, 7), *second = make("net", v3, 7);
  EXPECT_EQ(select({first, second}), std::vector<pkg_record*>{first});
  EXPECT_EQ(select({second, first}, 0), std::vector<pkg_record*>{second});
  // A bundle wins a tie with a loose package of its member's name.
  pkg_record* suite = make("suite", v4);
  suite->is_bundle = true;
  suite->members = {first};
  EXPECT_EQ(select({second, suite}), std::vector<pkg_record*>{suite});
  EXPECT_EQ(select({suite, second}), std::vector<pkg_record*>{suite});
  EXPECT_EQ(select({suite, make("net", v4)}).front()->name, "net");
}

// Every permutation comes out with each package after what it requires and
// after what blocks it.
TEST_F(Candidate, InstallationOrderInEveryPermutation) {
  // A diamond over a provided name, and a guard that blocks one of its packages.
  const std::vector<std::pair<const char*, std::vector<const char*>>> scenario = {
      {"top", {"l", "r"}}, {"l", {"mid"}}, {"r", {"mid"}}, {"mid", {"web"}}, {"server", {}}, {"guard", {}}};
  std::vector<pkg_record*> set;
  for (const auto& [name, depends] : scenario) {
    set.push_back(make(name));
    for (const char* d : depends) set.back()->depends.push_back(dep(d));
  }
  set[4]->provides = {dep("web")};
  set[5]->conflicts = {dep("l")};
  std::sort(set.begin(), set.end());
  do {
    std::vector<pkg_record*> result = select(set);
    ASSERT_EQ(result.size(), set.size());
    for (size_t i = 0; i < result.size(); ++i)
      for (size_t j = i + 1; j < result.size(); ++j)
        ASSERT_FALSE(requires_package(*result[i], *result[j]) || conflicts_with(*result[j], *result[i]))
            << result[i]->name << " before " << result[j]->name;
  } while (std::next_permutation(set.begin(), set.end()));
  pkg_record *member = make("net"), *suite = make("suite"), *libc = make("libc"), *app = make("app");
  member->depends = {dep("libc")};
  suite->is_bundle = true;
  suite->members = {member};
  app->depends = {dep("net")};
  for (const auto& list : std::vector<std::vector<pkg_record*>>{{suite, libc, app}, {app, libc, suite}})
    EXPECT_EQ(select(list), (std::vector<pkg_record*>{libc, suite, app})) << "a bundle is ordered by its members";
  pkg_record *x = make("x"), *y = make("y"), *z = make("z");
  EXPECT_EQ(select({x, y, z}), (std::vector<pkg_record*>{z, y, x})) << "unrelated: reversed";
}

TEST_F(Candidate, ProviderState) {
  constexpr provider_outlook met = provider_outlook::stays_met, none = provider_outlook::none_left,
                             off = provider_outlook::only_disabled;
  const struct { std::vector<std::pair<bool, uint32_t>> providers; provider_outlook state; } cases[] = {
      {{}, none}, {{{false, PENDING_NONE}}, met}, {{{false, PENDING_UNINSTALL}}, none},
      {{{false, PENDING_DISABLE}}, off}, {{{true, PENDING_NONE}}, off}, {{{true, PENDING_UNINSTALL}}, off},
      {{{true, PENDING_ENABLE}}, met}, {{{false, PENDING_UNINSTALL}, {true, PENDING_NONE}}, off},
      {{{true, PENDING_NONE}, {false, PENDING_NONE}}, met},
  };
  for (const auto& c : cases) {
    std::vector<pkg_image*> providers;
    for (auto [disabled, pending] : c.providers) {
      providers.push_back(install("p", v2, disabled));
      providers.back()->pending = pending;
    }
    EXPECT_EQ(provider_state(providers), c.state) << c.providers.size();
  }
}

// keep_requirements cancels the requests of what a staying package needs.
TEST_F(Candidate, RequirementsAreKept) {
  auto add = [&](const char* name, std::vector<const char*> depends, bool disabled, uint32_t pending) {
    pkg_image* image = install(name, v2, disabled);
    for (const char* d : depends) image->depends.push_back(dep(d));
    image->pending = pending;
    return image;
  };
  auto keep = [&](pkg_image& r) {
    return pkgdb_test::printed([&](std::FILE* f) { terminal().out = f; keep_requirements(repository_, r, true); });
  };
  pkg_image *a = add("a", {"b"}, false, 0), *b = add("b", {"c"}, false, PENDING_UNINSTALL);
  pkg_image *c = add("c", {}, false, PENDING_DISABLE), *d = add("d", {"c"}, true, 0);
  EXPECT_EQ(keep(*a), "WARNING: can not uninstall b-2.0: a depends on it\nWARNING: can not disable c-2.0: b depends on it\n");
  EXPECT_EQ(b->pending + c->pending + d->pending, 0u);
  // Cancelling the uninstall of a disabled provider used to leave it
  // disabled, and the pass then disabled its dependent as well.
  pkg_image *e = add("e", {"f"}, true, PENDING_ENABLE), *f = add("f", {}, true, PENDING_UNINSTALL);
  EXPECT_EQ(keep(*e), "WARNING: can not uninstall f-2.0: e depends on it\n");
  EXPECT_EQ(f->pending, PENDING_ENABLE);
  // A staying provider, or a missing first dependency, changes nothing.
  pkg_image *g = add("g", {"nothing", "h"}, false, 0), *h = add("h", {}, false, PENDING_UNINSTALL);
  add("proxy", {}, false, 0)->provides = {dep("web")};
  pkg_image* web = add("web", {}, false, PENDING_UNINSTALL);
  EXPECT_EQ(keep(*g) + keep(*add("user", {"web"}, false, 0)), "");
  EXPECT_EQ(h->pending + web->pending, 2 * PENDING_UNINSTALL);
  // A bundle record is kept by its member.
  pkg_image* suite = add("suite", {}, false, PENDING_UNINSTALL);
  suite->is_bundle = true;
  add("m", {}, false, 0)->bundle.name = "suite";
  EXPECT_EQ(keep(*repository_.packages.back()), "WARNING: can not uninstall suite-2.0: m depends on it\n");
  // A damaged database whose "bundle" file names the package itself used to
  // recurse until the stack ran out.
  pkg_image* loop = add("loop", {"loop"}, true, PENDING_ENABLE);
  loop->bundle.name = "loop";
  pkg_image *ring_a = add("ring-a", {"ring-b"}, true, 0), *ring_b = add("ring-b", {"ring-a"}, true, 0);
  EXPECT_EQ(keep(*loop), "");
  protect_provider(repository_, *ring_a, *loop, true);
  EXPECT_EQ(ring_a->pending + ring_b->pending, 2 * PENDING_ENABLE);
  // Two records of one name used to be both dropped as the choice; both now
  // share the new request.
  pkg_image *user = add("libuser", {"lib"}, false, 0), *lib1 = add("lib", {}, true, 0), *lib2 = add("lib", {}, true, 0);
  keep(*user);
  EXPECT_EQ(lib1->pending + lib2->pending, 2 * PENDING_ENABLE);
}

// The schedule pass inside a device root: its result, its staged operations
// and the records left with their state.
struct scheduled { std::string name; bool disabled = false; uint32_t pending = 0; std::vector<std::string> depends = {};
                   std::string bundle = {}; bool is_bundle = false; std::vector<std::string> conflicts = {};
                   bool user_set = false; uint32_t system_min = 0; uint32_t version = v2; };

std::string schedule(const std::vector<scheduled>& packages, int mode) {
  testsupport::device_root root;
  for (const scheduled& s : packages) {
    if (s.name.empty()) continue;
    root.write_file("/flash/var/pdb/" + s.name + "/version", "33580544 0\n");
    if (s.user_set || s.disabled) root.write_file("/flash/var/pdb/" + s.name + (s.disabled ? "/disabled" : "/enabled"), "x\n");
  }
  return pkgdb_test::run_in_root(root, [&] {
    pkg_repo repository;
    for (const scheduled& s : packages) {
      pkg_image* image = repository.append(std::make_unique<pkg_image>(rec<pkg_image>(s.name, s.version)));
      image->disabled = s.disabled, image->pending = s.pending, image->user_set = s.user_set;
      image->is_bundle = s.is_bundle, image->bundle.name = s.bundle;
      for (const std::string& d : s.depends) image->depends.push_back(dep(d, d == "system" ? s.system_min : 0));
      for (const std::string& c : s.conflicts) image->conflicts.push_back(dep(c));
    }
    manifest m;
    bool result = false;
    std::string out = pkgdb_test::printed([&](std::FILE* f) {
      terminal().out = f;
      result = mode < 0 ? cleanup_packages(repository, m)
                        : schedule_pass(repository, m, static_cast<pass_output>(mode));
    });
    std::string text = std::string(result ? "true" : "false") + (out.find("WARNING") != std::string::npos ? " warned" : "");
    for (const auto& [target, op] : m.ops) text += " " + std::to_string(op.kind) + target.substr(15);
    text += " left:";
    for (const pkg_image* r : repository.packages)
      text += " " + (r->name.empty() ? "<placeholder>" : r->name) + (r->disabled ? "(off)" : "") +
              (r->pending ? std::string("(") + action_word(r->pending) + ")" : "");
    discard(m);
    return text;
  });
}

TEST(Schedule, Outcomes) {
  if (!pkgdb_test::can_change_root()) GTEST_SKIP() << "changing root needs root rights";
  const struct { const char* what; std::vector<scheduled> packages; int mode; const char* expected; } cases[] = {
      {"requests carried out", {{"keep"}, {"old", false, PENDING_UNINSTALL},
                                {"quiet", false, PENDING_DISABLE, {}, {}, false, {}, true},
                                {"back", true, PENDING_ENABLE, {}, {}, false, {}, true}}, 1,
       "true 4back/disabled 1back/enabled 4old/ 1quiet/disabled 4quiet/enabled left: keep quiet(off) back"},
      {"removing or disabling everything is refused", {{"a", false, PENDING_UNINSTALL}, {"c", true}}, 1, "false left: a c(off)"},
      {"a needed package is kept", {{"app", false, 0, {"lib"}}, {"lib", false, PENDING_UNINSTALL}, {"spare", false, PENDING_UNINSTALL}},
       1, "true warned 4spare/ left: app lib"},
      // A placeholder of a bundle installation never gets files: its
      // directory would be "/flash/var/pdb//"; nor does it count as staying.
      {"placeholder disabled", {{"", false, 0, {}, {}, false, {"member"}}, {"member", true, PENDING_ENABLE}}, 1,
       "true 4member/disabled left: <placeholder>(off) member"},
      {"placeholder does not stay", {{"", false, 0, {}, {}, false, {"x"}}, {"a", false, PENDING_UNINSTALL}}, 1,
       "false left: <placeholder> a"},
      // An enabled package with an "enable" request left is still running.
      {"enabled and asked to enable", {{"app", false, 0, {"lib"}}, {"lib", false, PENDING_ENABLE, {"base"}, {}, false, {}, true},
                                       {"base", false, PENDING_UNINSTALL}}, 1, "true warned 1lib/enabled left: app lib base"},
      {"vanishing providers", {{"keep"}, {"lib", false, PENDING_UNINSTALL}, {"tool", true, 0, {"lib"}}, {"driver", true},
                               {"panel", false, 0, {"driver"}}}, 0, "true 4driver/disabled 4lib/ 4tool/ left: keep driver panel"},
      {"a conflict disables provider and dependent", {{"guard", false, 0, {}, {}, false, {"web"}}, {"web"}, {"site", false, 0, {"web"}}},
       0, "true 1site/disabled 1web/disabled left: guard web(off) site(off)"},
      {"two enables in conflict", {{"keep"}, {"first", true, PENDING_ENABLE}, {"second", true, PENDING_ENABLE, {}, {}, false, {"first"}}},
       1, "true warned 4second/disabled left: keep first(off) second"},
      {"records of one name share their state", {{"keep", false, 0, {"lib"}}, {"lib", true}, {"lib", true}}, 0,
       "true 4lib/disabled left: keep lib lib"},
      {"clean-up keeps system names and packages for 3.22 on", {{"system", false, 0, {}, {}, false, {}, false, 0, 0x03176600}, {"lumo"}, {"disk-drivers"}, {"kit", false, 0, {}, {}, true},
           {"m2", false, 0, {"system"}, "kit", false, {}, false, 0x03166700}, {"old", false, 0, {"system"}, {}, false, {}, false, 0x031665FF},
           {"lib"}, {"new", false, 0, {"lib", "system"}, {}, false, {}, false, 0x03166600}}, -1,
       "true warned 4old/ left: system lumo disk-drivers kit m2 lib new"},
  };
  for (const auto& c : cases) EXPECT_EQ(schedule(c.packages, c.mode), c.expected) << c.what;
}

}  // namespace
