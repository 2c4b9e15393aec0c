#include "select/candidate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "pkgdb/record.h"
#include "select/version.h"

namespace {

constexpr uint32_t v2 = 0x02006600;   // 2.0
constexpr uint32_t v3 = 0x03006600;   // 3.0
constexpr uint32_t v4 = 0x04006600;   // 4.0
constexpr uint32_t high = 0xF0006600; // above 0x7FFFFFFF: a signed compare gets it wrong

pkg_dep dep(const std::string& name, uint32_t min = 0, uint32_t max = 0, int32_t extra = 0) {
  pkg_dep d;
  d.name = name;
  d.min_version = min;
  d.max_version = max;
  d.extra = extra;
  return d;
}

pkg_record record(const std::string& name, uint32_t version = v2) {
  pkg_record r(name);
  r.version = version;
  return r;
}

uint32_t fake_min_version = 0;
int min_version_queries = 0;
uint32_t fake_query() {
  ++min_version_queries;
  return fake_min_version;
}

class Candidate : public ::testing::Test {
 protected:
  void SetUp() override {
    out_ = open_memstream(&buffer_, &size_);
    ASSERT_NE(out_, nullptr);
    repository_.out = out_;
    repository_.arch = "powerpc";
    fake_min_version = 0;
    min_version_queries = 0;
  }
  void TearDown() override {
    std::fclose(out_);
    std::free(buffer_);
  }

  // Everything printed so far; forgets it.
  std::string output() {
    std::fflush(out_);
    std::string text(buffer_, size_);
    std::rewind(out_);
    std::fflush(out_);
    size_ = 0;
    return text;
  }

  pkg_image* install(const std::string& name, uint32_t version = v2, bool disabled = false) {
    auto image = std::make_unique<pkg_image>(name);
    image->version = version;
    image->disabled = disabled;
    return repository_.append(std::move(image));
  }

  install_flags check(const pkg_record& candidate, install_flags tolerated) {
    return check_candidate(repository_, candidate, tolerated, fake_query);
  }

  pkg_repo repository_;
  std::FILE* out_ = nullptr;
  char* buffer_ = nullptr;
  size_t size_ = 0;
};

TEST(Relations, SatisfiesBoundsAreUnsignedAndZeroIsOpen) {
  const struct {
    uint32_t version;
    pkg_dep d;
    bool expected;
  } cases[] = {
      {v2, dep("a"), true},
      {v2, dep("b"), false},
      {v2, dep("a", v2, v2), true},
      {v2, dep("a", v3), false},
      {v3, dep("a", 0, v2), false},
      {v3, dep("a", v2, 0), true},
      {high, dep("a", v2, v3), false},  // signed: high would count as below v3
      {high, dep("a", v2), true},
      {v2, dep("a", high), false},      // signed: v2 would count as above high
  };
  for (const auto& c : cases) {
    pkg_record r = record("a", c.version);
    EXPECT_EQ(satisfies(r, c.d), c.expected)
        << std::hex << c.version << " " << c.d.name << " " << c.d.min_version << ".." << c.d.max_version;
  }
}

TEST(Relations, ProvidesMatchNeedsOverlappingRanges) {
  const struct {
    pkg_dep provided;
    pkg_dep wanted;
    bool expected;
  } cases[] = {
      {dep("web"), dep("web"), true},
      {dep("web"), dep("mail"), false},
      {dep("web", v3), dep("web", 0, v2), false},    // provided range starts above the wanted one
      {dep("web", v3), dep("web", v2, 0), true},     // open upper end of the wanted range
      {dep("web", 0, v2), dep("web", v3), false},    // provided range ends below
      {dep("web", 0, v3), dep("web", v3, v4), true}, // touching ends overlap
      {dep("web", high), dep("web", 0, v2), false},  // unsigned comparison of bounds
      {dep("web", 0, high), dep("web", v4), true},
  };
  for (const auto& c : cases) {
    pkg_record r = record("server");
    r.provides = {dep("other"), c.provided};
    EXPECT_EQ(provides_match(r, c.wanted), c.expected)
        << std::hex << c.provided.min_version << ".." << c.provided.max_version << " vs "
        << c.wanted.min_version << ".." << c.wanted.max_version;
  }
}

TEST(Relations, RequiresLooksThroughMembersOfBothSides) {
  pkg_record a = record("a");
  a.depends = {dep("b")};
  pkg_record b = record("b");
  pkg_record c = record("c");
  c.provides = {dep("b")};
  pkg_record bundle_with_b = record("suite");
  bundle_with_b.is_bundle = true;
  bundle_with_b.members = {&c, &b};
  pkg_record bundle_with_a = record("tools");
  bundle_with_a.is_bundle = true;
  bundle_with_a.members = {&c, &a};

  EXPECT_TRUE(requires_package(a, b));
  EXPECT_TRUE(requires_package(a, c));  // through provides
  EXPECT_FALSE(requires_package(b, a));
  EXPECT_TRUE(requires_package(a, bundle_with_b));
  EXPECT_TRUE(requires_package(bundle_with_a, b));
  EXPECT_FALSE(requires_package(bundle_with_b, a));
}

TEST(Relations, ConflictsWithStepsDecideInOrder) {
  struct conflict_case {
    const char* what;
    pkg_record a;
    pkg_record b;
    bool expected;
  };
  std::vector<conflict_case> cases;
  auto add = [&](const char* what, pkg_record a, pkg_record b, bool expected) {
    cases.push_back({what, std::move(a), std::move(b), expected});
  };
  {
    pkg_record a = record("a"), b = record("b");
    a.conflicts = {dep("b")};
    add("conflicts entry names b", a, b, true);
    b.version = 0xFFFFFFFF;
    b.build_time = 0xFFFFFFFF;
    add("inert b never conflicts", a, b, false);
  }
  {
    pkg_record a = record("a"), b = record("b");
    a.conflicts = {dep("b", v3)};
    add("conflicts entry outside b's version", a, b, false);
  }
  {
    // Step 3 returns false and stops: the later provides_match of the
    // conflicts entry (step 5) is never reached.
    pkg_record a = record("a"), b = record("b");
    a.conflicts = {dep("x")};
    b.provides = {dep("a", 0, 0, 0), dep("x")};
    add("b provides a's name with extra 0", a, b, false);
    b.provides = {dep("a", 0, 0, -1), dep("x")};
    add("b provides a's name with extra -1", a, b, true);
  }
  {
    pkg_record a = record("a"), b = record("b");
    a.provides = {dep("b", 0, 0, 0)};
    add("a provides b's name with extra 0", a, b, true);
    a.provides = {dep("b", 0, 0, -1)};
    a.conflicts = {dep("x")};
    b.provides = {dep("x")};
    add("a provides b's name with extra -1 stops before step 5", a, b, false);
  }
  {
    pkg_record a = record("a"), b = record("b");
    a.provides = {dep("web", 0, 0, 0)};
    b.provides = {dep("web", 0, 0, -1)};
    add("larger extra blocks (signed)", a, b, true);
    add("smaller extra does not block", b, a, false);
    b.provides = {dep("web", 0, 0, 0)};
    a.conflicts = {dep("x")};
    b.provides.push_back(dep("x"));
    add("equal extra blocks neither and stops", a, b, false);
  }
  {
    pkg_record a = record("a"), b = record("b");
    a.conflicts = {dep("web", 0, v2)};
    b.provides = {dep("web", v3)};
    add("provided range outside the conflict", a, b, false);
    b.provides = {dep("web", v2)};
    add("provided range inside the conflict", a, b, true);
  }
  pkg_record member_a = record("a");
  pkg_record member_c = record("c");
  member_c.conflicts = {dep("b")};
  {
    pkg_record a = record("a"), b = record("suite");
    b.is_bundle = true;
    b.members = {&member_a};
    add("a bundle holding a's name blocks a", a, b, true);
    add("not the other way", b, a, false);
  }
  {
    pkg_record a = record("tools"), b = record("b");
    a.is_bundle = true;
    a.members = {&member_c};
    add("a member of a conflicts with b", a, b, true);
  }
  for (const auto& c : cases) EXPECT_EQ(conflicts_with(c.a, c.b), c.expected) << c.what;
}

TEST_F(Candidate, ProvidersAndConflictingSkipInertAndDisabled) {
  pkg_image* inert = install("web");
  inert->version = inert->build_time = 0xFFFFFFFF;
  pkg_image* off = install("web", v2, true);
  pkg_image* on = install("proxy");
  on->provides = {dep("web")};
  EXPECT_EQ(find_providers(repository_, dep("web"), false), std::vector<pkg_image*>{on});
  EXPECT_EQ(find_providers(repository_, dep("web"), true), (std::vector<pkg_image*>{off, on}));

  pkg_record candidate = record("web");
  off->conflicts = {dep("web")};
  EXPECT_EQ(find_conflicting(repository_, candidate), on);  // on provides web with extra 0
  on->provides[0].extra = -1;
  EXPECT_EQ(find_conflicting(repository_, candidate), nullptr);
  off->disabled = false;
  EXPECT_EQ(find_conflicting(repository_, candidate), off);
}

TEST_F(Candidate, InstalledVersionFindings) {
  const struct {
    const char* what;
    uint32_t version;
    uint32_t build_time;
    install_flags tolerated;
    install_flags findings;
    const char* message;
  } cases[] = {
      {"newer", v4, 0, 0, ALLOW_NEWER, ""},
      {"older", v2, 0, 0, ALLOW_OLDER,
       "WARNING: omitting package net-2.0: newer package net-3.0 is already installed\n"},
      {"older tolerated", v2, 0, ALLOW_OLDER, ALLOW_OLDER, ""},
      {"same", v3, 100, 0, ALLOW_SAME, "WARNING: omitting package net-3.0: it is already installed\n"},
      {"same tolerated", v3, 100, ALLOW_SAME, ALLOW_SAME, ""},
      {"later build", v3, 101, 0, ALLOW_NEWER, ""},
      {"earlier build", v3, 99, ALLOW_SAME, ALLOW_OLDER,
       "WARNING: omitting package net-3.0: newer package net-3.0 is already installed\n"},
  };
  pkg_image* installed = install("net", v3);
  installed->build_time = 100;
  installed->disabled = true;  // compared all the same
  for (const auto& c : cases) {
    pkg_record candidate = record("net", c.version);
    candidate.build_time = c.build_time;
    EXPECT_EQ(check(candidate, c.tolerated), c.findings) << c.what;
    EXPECT_EQ(output(), c.message) << c.what;
  }
}

TEST_F(Candidate, BrandingReplacesAnyInstalledVersion) {
  install("branding", v4);
  pkg_record candidate = record("branding", v2);
  EXPECT_EQ(check(candidate, 0), 0u);
  EXPECT_EQ(output(), "");
}

TEST_F(Candidate, MinimumSystemVersionOnlyForSystemAndTessarokNames) {
  fake_min_version = v3;
  const struct {
    const char* name;
    uint32_t version;
    install_flags tolerated;
    install_flags findings;
    const char* message;
  } cases[] = {
      {"system", v2, 0, ALLOW_UNMET, "ERROR: omitting package system-2.0: min Tessarok version is 3.0\n"},
      {"system", v2, ALLOW_UNMET, ALLOW_UNMET, ""},
      {"system", v3, 0, 0, ""},
      {"tessarok-wifi", v2, 0, ALLOW_UNMET,
       "ERROR: omitting package tessarok-wifi-2.0: min Tessarok version is 3.0\n"},
      {"tessarok", v2, 0, ALLOW_UNMET, "ERROR: omitting package tessarok-2.0: min Tessarok version is 3.0\n"},
      {"tessaro", v2, 0, 0, ""},
      {"systems", v2, 0, 0, ""},
      {"xtessarok", v2, 0, 0, ""},
  };
  for (const auto& c : cases) {
    pkg_record candidate = record(c.name, c.version);
    EXPECT_EQ(check(candidate, c.tolerated), c.findings) << c.name;
    EXPECT_EQ(output(), c.message) << c.name;
  }
  EXPECT_EQ(min_version_queries, 5);  // never asked for the other names
  fake_min_version = 0;
  EXPECT_EQ(check(record("system", 0), 0), 0u);
}

TEST_F(Candidate, ArchitectureDependenciesAndConflicts) {
  install("libc");
  install("vpn", v2, true);
  pkg_image* firewall = install("firewall");
  firewall->conflicts = {dep("proxy")};
  const struct {
    const char* what;
    const char* arch;
    std::vector<pkg_dep> depends;
    install_flags tolerated;
    install_flags findings;
    const char* message;
  } cases[] = {
      {"empty arch passes", "", {}, 0, ALLOW_CONFLICT,
       "ERROR: can not install proxy-2.0: it conflicts with firewall-2.0\n"},
      {"wrong arch", "mipsbe", {}, 0, ALLOW_UNMET | ALLOW_CONFLICT,
       "ERROR: can not install proxy-2.0: it is not made for powerpc, but for mipsbe\n"},
      {"wrong arch tolerated: next message", "mipsbe", {}, ALLOW_UNMET, ALLOW_UNMET | ALLOW_CONFLICT,
       "ERROR: can not install proxy-2.0: it conflicts with firewall-2.0\n"},
      {"first missing dependency named", "powerpc", {dep("libc"), dep("ssl", v3), dep("zlib")},
       ALLOW_CONFLICT, ALLOW_UNMET | ALLOW_CONFLICT,
       "ERROR: can not install proxy-2.0: ssl-3.0 is not installed, but is required\n"},
      {"disabled provider counts as missing", "powerpc", {dep("vpn")}, ALLOW_CONFLICT,
       ALLOW_UNMET | ALLOW_CONFLICT, "ERROR: can not install proxy-2.0: vpn is not installed, but is required\n"},
      {"everything tolerated", "mipsbe", {dep("zlib")}, ALLOW_ALL, ALLOW_UNMET | ALLOW_CONFLICT, ""},
  };
  for (const auto& c : cases) {
    pkg_record candidate = record("proxy");
    candidate.arch = c.arch;
    candidate.depends = c.depends;
    EXPECT_EQ(check(candidate, c.tolerated), c.findings) << c.what;
    EXPECT_EQ(output(), c.message) << c.what;
  }
}

TEST_F(Candidate, OneMessageInTheOrderOfTheChecks) {
  install("proxy", v3);
  pkg_image* firewall = install("firewall");
  firewall->conflicts = {dep("proxy")};
  pkg_record candidate = record("proxy", v2);
  candidate.arch = "mipsbe";
  candidate.depends = {dep("zlib")};
  EXPECT_EQ(check(candidate, 0), ALLOW_OLDER | ALLOW_UNMET | ALLOW_CONFLICT);
  EXPECT_EQ(output(), "WARNING: omitting package proxy-2.0: newer package proxy-3.0 is already installed\n");
  // Running it again gives the same answer: the check changes nothing.
  EXPECT_EQ(check(candidate, ALLOW_OLDER), ALLOW_OLDER | ALLOW_UNMET | ALLOW_CONFLICT);
  EXPECT_EQ(output(), "ERROR: can not install proxy-2.0: it is not made for powerpc, but for mipsbe\n");
  EXPECT_EQ(repository_.messages.size(), 2u);
}

TEST_F(Candidate, QuietPrintsNothingAndFindsTheSame) {
  install("proxy", v3);
  repository_.quiet = true;
  pkg_record candidate = record("proxy", v2);
  candidate.depends = {dep("zlib")};
  EXPECT_EQ(check(candidate, 0), ALLOW_OLDER | ALLOW_UNMET);
  EXPECT_EQ(output(), "");
  EXPECT_TRUE(repository_.messages.empty());
}

// The providers of a candidate's dependency decide in both directions of
// `extra`: an installed provider of the candidate's name with extra 0 blocks
// it, with -1 it does not; a candidate providing an installed name with -1
// is blocked, with 0 it is not.
TEST_F(Candidate, ProvidedNamesBlockByExtra) {
  pkg_image* installed = install("webfs");
  const struct {
    const char* what;
    bool installed_provides;
    int32_t extra;
    install_flags findings;
  } cases[] = {
      {"installed provides candidate, extra 0", true, 0, ALLOW_CONFLICT},
      {"installed provides candidate, extra -1", true, -1, 0},
      {"candidate provides installed, extra -1", false, -1, ALLOW_CONFLICT},
      {"candidate provides installed, extra 0", false, 0, 0},
  };
  for (const auto& c : cases) {
    pkg_record candidate = record("web");
    installed->provides.clear();
    if (c.installed_provides)
      installed->provides = {dep("web", 0, 0, c.extra)};
    else
      candidate.provides = {dep("webfs", 0, 0, c.extra)};
    EXPECT_EQ(check(candidate, ALLOW_CONFLICT), c.findings) << c.what;
  }
  EXPECT_EQ(output(), "");
}

// --- selection ---

class Selection : public Candidate {
 protected:
  pkg_record* make(const std::string& name, uint32_t version = v2, uint32_t build_time = 0) {
    owned_.push_back(std::make_unique<pkg_record>(name));
    owned_.back()->version = version;
    owned_.back()->build_time = build_time;
    return owned_.back().get();
  }

  std::vector<pkg_record*> select(std::vector<pkg_record*> list, uint32_t floor = no_downgrade,
                                  bool report = true) {
    select_candidates(repository_, list, floor, report);
    return list;
  }

  std::vector<std::unique_ptr<pkg_record>> owned_;
};

TEST_F(Selection, NewestInNormalModeOldestInDowngradeMode) {
  pkg_record* two = make("net", v2);
  pkg_record* three = make("net", v3);
  EXPECT_EQ(select({two, three}), std::vector<pkg_record*>{three});
  EXPECT_EQ(output(), "WARNING: omitting package net-2.0: newer package is already provided\n");
  EXPECT_EQ(select({three, two}, 0), std::vector<pkg_record*>{two});
  EXPECT_EQ(output(), "WARNING: omitting package net-3.0: older package is already provided\n");
  EXPECT_EQ(select({two, three}, no_downgrade, false), std::vector<pkg_record*>{three});
  EXPECT_EQ(output(), "");
}

TEST_F(Selection, RefusedCandidateStillCountsAgainstOthers) {
  pkg_record* two = make("net", v2);
  pkg_record* three = make("net", v3);
  EXPECT_EQ(select({two, three}, v3), std::vector<pkg_record*>{});
  EXPECT_EQ(output(),
            "WARNING: ommitting package net-2.0: not allowed\n"
            "WARNING: omitting package net-3.0: older package is already provided\n");
  // The floor's message does not depend on `report`.
  EXPECT_EQ(select({two, three}, v3, false), std::vector<pkg_record*>{});
  EXPECT_EQ(output(), "WARNING: ommitting package net-2.0: not allowed\n");
  pkg_record* other = make("other", v4);
  EXPECT_EQ(select({two, other}, v3, false), std::vector<pkg_record*>{other});
  EXPECT_EQ(output(), "WARNING: ommitting package net-2.0: not allowed\n");
}

// The same file found twice used to install nothing: each copy dropped the
// other. The earlier one is kept now, in either mode.
TEST_F(Selection, IdenticalCandidatesKeepTheFirst) {
  pkg_record* first = make("net", v3, 7);
  pkg_record* second = make("net", v3, 7);
  pkg_record* third = make("net", v3, 7);
  EXPECT_EQ(select({first, second}), std::vector<pkg_record*>{first});
  EXPECT_EQ(select({second, first, third}, 0), std::vector<pkg_record*>{second});
  pkg_record* older = make("net", v2, 7);
  EXPECT_EQ(select({older, first, second}), std::vector<pkg_record*>{first});
  EXPECT_EQ(output(), "WARNING: omitting package net-2.0: newer package is already provided\n");
}

TEST_F(Selection, BundleWinsTiesOverLoosePackages) {
  pkg_record* member = make("net", v3, 5);
  pkg_record* suite = make("suite", v4);
  suite->is_bundle = true;
  suite->members = {member};
  pkg_record* loose = make("net", v3, 5);
  pkg_record* newer = make("net", v4);
  EXPECT_EQ(select({loose, suite}), std::vector<pkg_record*>{suite});
  EXPECT_EQ(select({suite, loose}), std::vector<pkg_record*>{suite});
  EXPECT_EQ(output(), "");
  EXPECT_EQ(select({suite, newer}), std::vector<pkg_record*>{newer});
  EXPECT_EQ(output(), "WARNING: omitting package suite-4.0: newer package is already provided\n");
  pkg_record* other_suite = make("suite", v4);
  other_suite->is_bundle = true;
  other_suite->members = {member};
  EXPECT_EQ(select({other_suite, suite, loose}), std::vector<pkg_record*>{other_suite});
}

TEST_F(Selection, InstallationOrderExamples) {
  pkg_record* a = make("a");
  pkg_record* b = make("b");
  pkg_record* c = make("c");
  a->depends = {dep("b")};
  b->depends = {dep("c")};
  EXPECT_EQ(select({a, b}), (std::vector<pkg_record*>{b, a}));
  // The insertion pass alone gives a, c, b here.
  EXPECT_EQ(select({c, a, b}), (std::vector<pkg_record*>{c, b, a}));
  pkg_record* x = make("x");
  pkg_record* y = make("y");
  pkg_record* z = make("z");
  EXPECT_EQ(select({x, y, z}), (std::vector<pkg_record*>{z, y, x}));  // unrelated: reversed
  // A blocking package goes first.
  x->conflicts = {dep("y")};
  EXPECT_EQ(select({y, x}), (std::vector<pkg_record*>{x, y}));
  // A cycle still yields every candidate once.
  c->depends = {dep("a")};
  std::vector<pkg_record*> cycle = select({a, b, c});
  std::sort(cycle.begin(), cycle.end());
  std::vector<pkg_record*> all = {a, b, c};
  std::sort(all.begin(), all.end());
  EXPECT_EQ(cycle, all);
}

// Every permutation of each set must come out with every package after the
// packages it requires and after those that block it.
TEST_F(Selection, DependencyOrderInEveryPermutation) {
  struct scenario {
    const char* what;
    std::vector<std::pair<const char*, std::vector<const char*>>> packages;  // name, depends
  };
  const scenario scenarios[] = {
      {"chain of five", {{"a", {"b"}}, {"b", {"c"}}, {"c", {"d"}}, {"d", {"e"}}, {"e", {}}}},
      {"diamond", {{"a", {"b", "c"}}, {"b", {"d"}}, {"c", {"d"}}, {"d", {}}, {"x", {}}}},
      {"double diamond", {{"top", {"l", "r"}}, {"l", {"mid"}}, {"r", {"mid"}}, {"mid", {"lo", "ro"}},
                          {"lo", {"base"}}, {"ro", {"base"}}, {"base", {}}}},
      {"two chains", {{"a", {"b"}}, {"b", {"c"}}, {"c", {}}, {"p", {"q"}}, {"q", {"c"}}}},
      {"through provides", {{"app", {"web"}}, {"server", {"libc"}}, {"libc", {}}, {"tool", {"app"}}}},
      {"blocker and chain", {{"a", {"b"}}, {"b", {}}, {"guard", {}}, {"c", {"a"}}, {"d", {"c"}}}},
  };
  for (const auto& s : scenarios) {
    std::vector<pkg_record*> set;
    for (const auto& [name, depends] : s.packages) {
      pkg_record* r = make(name);
      for (const char* d : depends) r->depends.push_back(dep(d));
      set.push_back(r);
    }
    for (pkg_record* r : set) {
      if (r->name == "server") r->provides = {dep("web")};
      if (r->name == "guard") r->conflicts = {dep("b")};
    }
    std::vector<size_t> order(set.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    int permutations = 0;
    do {
      std::vector<pkg_record*> list;
      for (size_t i : order) list.push_back(set[i]);
      std::vector<pkg_record*> result = select(list);
      ASSERT_EQ(result.size(), set.size()) << s.what;
      std::string given;
      for (pkg_record* r : list) given += r->name + " ";
      for (size_t i = 0; i < result.size(); ++i)
        for (size_t j = i + 1; j < result.size(); ++j) {
          EXPECT_FALSE(requires_package(*result[i], *result[j]))
              << s.what << ": " << result[i]->name << " before " << result[j]->name << " from " << given;
          EXPECT_FALSE(conflicts_with(*result[j], *result[i]))
              << s.what << ": " << result[i]->name << " before its blocker " << result[j]->name << " from " << given;
        }
      ++permutations;
    } while (std::next_permutation(order.begin(), order.end()));
    EXPECT_GT(permutations, 1) << s.what;
  }
  EXPECT_EQ(output(), "");
}

// A bundle is placed after what its members need, and a package needing a
// member comes after the bundle.
TEST_F(Selection, BundlesAreOrderedByTheirMembers) {
  pkg_record* member = make("net");
  member->depends = {dep("libc")};
  pkg_record* suite = make("suite");
  suite->is_bundle = true;
  suite->members = {member};
  pkg_record* libc = make("libc");
  pkg_record* app = make("app");
  app->depends = {dep("net")};
  std::vector<std::vector<pkg_record*>> lists = {
      {suite, libc, app}, {app, suite, libc}, {libc, app, suite}, {app, libc, suite}};
  for (const auto& list : lists)
    EXPECT_EQ(select(list), (std::vector<pkg_record*>{libc, suite, app}));
}

}  // namespace
