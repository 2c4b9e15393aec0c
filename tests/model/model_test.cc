// Versions and their texts, and the relations between package records.
#include <gtest/gtest.h>

#include <string_view>

#include <string>
#include <utility>
#include <vector>

#include "model/path_store.h"
#include "model/record.h"
#include "model/relations.h"
#include "model/version.h"
#include "pkgdb/pkgdb_test_tools.h"

namespace {

using namespace pkgdb_test;  // records, dependencies and versions to build cases from
constexpr uint32_t high = 0xF0006600;  // above 0x7FFFFFFF: a signed compare gets it wrong

pkg_record bundle(const std::string& name, std::vector<pkg_record*> members, uint32_t version = v2) {
  pkg_record made = rec(name, version);
  made.is_bundle = true, made.members = std::move(members);
  return made;
}

TEST(Version, TextsAndOrder) {
  for (auto [version, text] : {std::pair{0x02056603u, "2.5.3"}, {0x02066302u, "2.6rc2"}, {0x02066100u, "2.6alpha"},
                               {0x02050007u, "2.57"}, {0u, "0.0"}, {0x0300620Au, "3.0beta10"}, {0xFFFF61FFu, "255.255alpha255"},
                               {0x02056400u, "2.5"}, {0x0205FF01u, "2.51"}})
    EXPECT_EQ(version_text(version), text) << std::hex << version;
  // Ascending, each strictly above the one before, and written back the same.
  for (uint32_t previous = 0, version = 0; const char* text : {"2.4.9", "2.5alpha", "2.5alpha1", "2.5beta", "2.5beta10", "2.5rc",
                                                               "2.5rc3", "2.5", "2.5.1", "2.5.255", "2.6alpha1", "3.1.1", "10.0", "255.255.255"})
    EXPECT_TRUE(parse_version(text, &version) && version > std::exchange(previous, version) && version_text(version) == text) << text;
  // Refused, leaving the number alone.
  const std::string_view refused[] = {"", "2", "2.", ".5", "2..5", "2.5.0", "256.1", "2.256", "02.5", "2.05", "2.5rc0", "2.5alpha01",
                                      "2.5alpha256", "2.5gamma", "2.5RC1", " 2.5", "2.5.3.1", "2.5-1", "-1.0", "+1.0", "2.5f",
                                      "2.5.3rc1", "2.5\n", "4294967295.0", std::string_view("2.5\0", 4)};
  for (uint32_t version = 7; std::string_view text : refused)
    EXPECT_TRUE(!parse_version(text, &version) && version == 7) << '"' << text << '"';
  EXPECT_EQ(dep_text(dep("system", 0, v3)) + " " + dep_text(dep("system", 0x06306601)), "system system-6.48.1");
}

// A package's files read in unsigned byte order, each once, whatever the
// order they came in; a path from another set's arena is copied, not taken
// as a place in its own.
TEST(PathSet, OrderDuplicatesAndArenas) {
  path_set files = {"/flash/z", "/flash/\xc3\xa9", "/flash/a", "/flash/z", "/flash/a/b", "/flash/a"};
  std::string text;
  for (std::string_view path : files) text.append(path) += "|";
  EXPECT_EQ(text, "/flash/a|/flash/a/b|/flash/z|/flash/\xc3\xa9|");
  EXPECT_TRUE(files.size() == 4u && files.contains("/flash/\xc3\xa9") && !files.contains("/flash/"));
  EXPECT_EQ(path_set({"/flash/a", "/flash/a", "/flash/b"}).size(), 2u) << "a repeat in order";
  auto arena = std::make_shared<path_arena>();
  arena->store("/flash/elsewhere");
  path_ref shared = arena->store("/flash/b");
  files.insert(arena, shared);
  path_set taking;
  taking.insert(arena, shared);
  EXPECT_TRUE(files.contains("/flash/b") && taking.contains("/flash/b") && files.size() == 5u);
}

TEST(Version, ComparePackages) {
  const struct { uint32_t va, ta, vb, tb; int expected; } cases[] = {
      {0x02056600, 5, 0x02056303, 9, 1},  {0x02056303, 9, 0x02056600, 5, -1},  // release over rc, whatever the times
      {0x02056600, 5, 0x02056600, 9, -1}, {0x02056600, 5, 0x02056600, 5, 0},   // then build time
      {0xFFFFFFFF, 0, 1, 0, 1},           {0x02056600, 0xFFFFFFFF, 0x02056600, 1, 1}};  // unsigned
  for (const auto& c : cases) EXPECT_EQ(compare_packages(rec("p", c.va, c.ta), rec("p", c.vb, c.tb)), c.expected);
  EXPECT_EQ(compare_packages(rec("p", 9), rec("P", 1)), 0) << "names are case-sensitive";
  // A bundle is compared through its first member of the other's name.
  pkg_record old_member = rec("dhcp", 0x06306600), new_member = rec("dhcp", 0x06316600), other = rec("ppp", v4);
  pkg_record suite = bundle("suite", {&other, &new_member, &old_member}, 0x01000000), installed = rec("dhcp", 0x06306601);
  EXPECT_EQ(compare_packages(suite, installed), 1);
  EXPECT_EQ(compare_packages(installed, suite), -1);
  EXPECT_EQ(compare_packages(suite, rec("dhcp", 0x06316600, 7)), -1) << "then the member's build time";
  EXPECT_EQ(compare_packages(bundle("outer", {&suite}), installed), 0) << "only direct members count";
  // Both bundles name each other: the first record's members decide.
  pkg_record inner_a = rec("b", v2), inner_b = rec("a", 0x00050000);
  pkg_record a = bundle("a", {&inner_a}, 0x01000000), b = bundle("b", {&inner_b}, 0x05000000);
  EXPECT_EQ(compare_packages(a, b), -1);
  EXPECT_EQ(compare_packages(b, a), -1);
}

TEST(Relations, BoundsAreUnsignedAndZeroIsOpen) {
  const struct { uint32_t version; pkg_dep wanted; bool satisfied; } versions[] = {
      {v2, dep("a"), true}, {v2, dep("b"), false}, {v2, dep("a", v2, v2), true}, {v2, dep("a", v3), false},
      {v3, dep("a", 0, v2), false}, {high, dep("a", v2, v3), false}, {high, dep("a", v2), true}, {v2, dep("a", high), false}};
  for (const auto& c : versions) EXPECT_EQ(satisfies(rec("a", c.version), c.wanted), c.satisfied) << std::hex << c.version;
  const struct { pkg_dep provided, wanted; bool match; } ranges[] = {
      {dep("web"), dep("web"), true}, {dep("web"), dep("mail"), false}, {dep("web", v3), dep("web", 0, v2), false},
      {dep("web", v3), dep("web", v2, 0), true}, {dep("web", 0, v3), dep("web", v3, v4), true},
      {dep("web", high), dep("web", 0, v2), false}, {dep("web", 0, high), dep("web", v4), true}};
  for (const auto& c : ranges) {
    pkg_record server = rec("server");
    server.provides = {dep("other"), c.provided};
    EXPECT_EQ(provides_match(server, c.wanted), c.match) << c.provided.min_version << ".." << c.provided.max_version;
  }
  pkg_record a = rec("a"), b = rec("b"), c = rec("c");
  a.depends = {dep("b")}, c.provides = {dep("b")};
  pkg_record with_b = bundle("suite", {&c, &b}), with_a = bundle("tools", {&c, &a});
  EXPECT_TRUE(requires_package(a, b) && requires_package(a, c) && requires_package(a, with_b) && requires_package(with_a, b));
  EXPECT_FALSE(requires_package(b, a) || requires_package(with_b, a));
}

// The steps of conflicts_with decide in order: an entry naming the other, a
// provided name with its `extra`, then overlapping provided ranges, members.
TEST(Relations, ConflictSteps) {
  struct side { std::vector<pkg_dep> provides = {}, conflicts = {}; uint32_t version = v2; };
  const struct { const char* what; side a, b; bool blocks; } cases[] = {
      {"entry names b", {{}, {dep("b")}}, {}, true}, {"inert b never conflicts", {{}, {dep("b")}}, {{}, {}, 0xFFFFFFFF}, false},
      {"entry outside b's version", {{}, {dep("b", v3)}}, {}, false},
      {"b provides a with extra 0: stops", {{}, {dep("x")}}, {{dep("a"), dep("x")}}, false},
      {"b provides a with extra -1", {{}, {dep("x")}}, {{dep("a", 0, 0, -1), dep("x")}}, true},
      {"a provides b with extra 0", {{dep("b")}}, {}, true},
      {"a provides b with -1: stops", {{dep("b", 0, 0, -1)}, {dep("x")}}, {{dep("x")}}, false},
      {"larger extra blocks", {{dep("web")}}, {{dep("web", 0, 0, -1)}}, true},
      {"smaller extra does not", {{dep("web", 0, 0, -1)}}, {{dep("web")}}, false},
      {"equal extras stop", {{dep("web")}, {dep("x")}}, {{dep("web"), dep("x")}}, false},
      {"provided range outside", {{}, {dep("web", 0, v2)}}, {{dep("web", v3)}}, false},
      {"provided range inside", {{}, {dep("web", 0, v2)}}, {{dep("web", v2)}}, true}};
  for (const auto& c : cases) {
    pkg_record a = rec("a", c.a.version), b = rec("b", c.b.version, c.b.version == 0xFFFFFFFF ? 0xFFFFFFFF : 0);
    a.provides = c.a.provides, a.conflicts = c.a.conflicts, b.provides = c.b.provides, b.conflicts = c.b.conflicts;
    EXPECT_EQ(conflicts_with(a, b), c.blocks) << c.what;
  }
  pkg_record member_a = rec("a"), member_c = rec("c");
  member_c.conflicts = {dep("b")};
  EXPECT_TRUE(conflicts_with(rec("a"), bundle("suite", {&member_a}))) << "a bundle holding a's name blocks a";
  EXPECT_FALSE(conflicts_with(bundle("suite", {&member_a}), rec("a")));
  EXPECT_TRUE(conflicts_with(bundle("tools", {&member_c}), rec("b"))) << "through a member";
}

}  // namespace
