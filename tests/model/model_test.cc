// Versions and their texts, and the relations between package records.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "model/record.h"
#include "model/relations.h"
#include "model/version.h"
#include "pkgdb/pkgdb_test_tools.h"

namespace {

using namespace pkgdb_test;  // records, dependencies and versions to build cases from
constexpr uint32_t high = 0xF0006600;  // above 0x7FFFFFFF: a signed compare gets it wrong

TEST(Version, TextsOrderAndRefusals) {
  const std::pair<uint32_t, const char*> texts[] = {
      {0x02056603, "2.5.3"}, {0x02066302, "2.6rc2"}, {0x02066100, "2.6alpha"}, {0x02050007, "2.57"}, {0, "0.0"},
      {0x0300620A, "3.0beta10"}, {0xFFFF61FF, "255.255alpha255"}, {0x02056400, "2.5"}, {0x0205FF01, "2.51"}};
  for (const auto& [version, text] : texts) EXPECT_EQ(version_text(version), text) << std::hex << version;
  // Ascending, each strictly above the one before, and written back the same.
  uint32_t previous = 0;
  for (const char* text : {"2.4.9", "2.5alpha", "2.5alpha1", "2.5beta", "2.5beta10", "2.5rc", "2.5rc3", "2.5",
                           "2.5.1", "2.5.255", "2.6alpha1", "3.1.1", "10.0", "255.255.255"}) {
    uint32_t version = 0;
    ASSERT_TRUE(parse_version(text, &version)) << text;
    EXPECT_GT(version, previous) << text;
    EXPECT_EQ(version_text(version), text);
    previous = version;
  }
  for (uint32_t major : {0u, 9u, 10u, 255u})
    for (uint32_t type : {'a', 'b', 'c', 'f'})
      for (uint32_t build = 0; build < 256; ++build) {
        uint32_t version = major << 24 | 99 << 16 | type << 8 | build, parsed = 0;
        ASSERT_TRUE(parse_version(version_text(version), &parsed) && parsed == version) << version_text(version);
      }
  for (std::string_view text : {"", "2", "2.", ".5", "2..5", "2.5.0", "256.1", "2.256", "02.5", "2.05", "2.5rc0",
                                "2.5alpha01", "2.5alpha256", "2.5gamma", "2.5RC1", " 2.5", "2.5.3.1", "2.5-1",
                                "-1.0", "+1.0", "2.5f", "2.5.3rc1", "2.5\n", "4294967295.0"}) {
    uint32_t version = 0xDEADBEEF;
    EXPECT_FALSE(parse_version(text, &version)) << '"' << text << '"';
    EXPECT_EQ(version, 0xDEADBEEF) << "a refused text leaves the number alone";
  }
  EXPECT_FALSE(parse_version(std::string_view("2.5\0", 4), nullptr));
  pkg_image member = rec<pkg_image>("wireless", 0x07016203);
  EXPECT_EQ(display_text(member), "wireless-7.1beta3");
  member.bundle = {"suite", 0x07016600, 0x07016600, 0};
  EXPECT_EQ(package_text(member) + " " + display_text(member), "wireless-7.1beta3 suite-7.1");
  EXPECT_EQ(dep_text(dep("system", 0, v3)) + " " + dep_text(dep("system", 0x06306601)), "system system-6.48.1");
}

TEST(Version, ComparePackages) {
  const struct { uint32_t va, ta, vb, tb; int expected; } cases[] = {
      {0x02056600, 5, 0x02056303, 9, 1},  {0x02056303, 9, 0x02056600, 5, -1},  // release over rc, whatever the times
      {0x02056600, 5, 0x02056600, 9, -1}, {0x02056600, 5, 0x02056600, 5, 0},   // then build time
      {0xFFFFFFFF, 0, 1, 0, 1},           {0x02056600, 0xFFFFFFFF, 0x02056600, 1, 1},  // unsigned
  };
  for (const auto& c : cases) EXPECT_EQ(compare_packages(rec("p", c.va, c.ta), rec("p", c.vb, c.tb)), c.expected);
  EXPECT_EQ(compare_packages(rec("p", 9), rec("P", 1)), 0) << "names are case-sensitive";
  // A bundle is compared through its first member of the other's name.
  pkg_record old_member = rec("dhcp", 0x06306600), new_member = rec("dhcp", 0x06316600), other = rec("ppp", v4);
  pkg_record bundle = rec("suite", 0x01000000);
  bundle.is_bundle = true;
  bundle.members = {&other, &new_member, &old_member};
  pkg_record installed = rec("dhcp", 0x06306601);
  EXPECT_EQ(compare_packages(bundle, installed), 1);
  EXPECT_EQ(compare_packages(installed, bundle), -1);
  installed = rec("dhcp", 0x06316600, 7);
  EXPECT_EQ(compare_packages(bundle, installed), -1);
  pkg_record nested = rec("outer");
  nested.is_bundle = true;
  nested.members = {&bundle};
  EXPECT_EQ(compare_packages(nested, installed), 0) << "only direct members count";
  // Both bundles name each other: the first record's members decide.
  pkg_record inner_a = rec("b", v2), inner_b = rec("a", 0x00050000), a = rec("a", 0x01000000), b = rec("b", 0x05000000);
  a.is_bundle = b.is_bundle = true;
  a.members = {&inner_a};
  b.members = {&inner_b};
  EXPECT_EQ(compare_packages(a, b), -1);
  EXPECT_EQ(compare_packages(b, a), -1);
}

TEST(Relations, BoundsAreUnsignedAndZeroIsOpen) {
  const struct { uint32_t version; pkg_dep wanted; bool satisfied; } versions[] = {
      {v2, dep("a"), true},          {v2, dep("b"), false},         {v2, dep("a", v2, v2), true},
      {v2, dep("a", v3), false},     {v3, dep("a", 0, v2), false},  {high, dep("a", v2, v3), false},
      {high, dep("a", v2), true},    {v2, dep("a", high), false},
  };
  for (const auto& c : versions) EXPECT_EQ(satisfies(rec("a", c.version), c.wanted), c.satisfied) << std::hex << c.version;
  const struct { pkg_dep provided, wanted; bool match; } ranges[] = {
      {dep("web"), dep("web"), true},                   {dep("web"), dep("mail"), false},
      {dep("web", v3), dep("web", 0, v2), false},       {dep("web", v3), dep("web", v2, 0), true},
      {dep("web", 0, v3), dep("web", v3, v4), true},    {dep("web", high), dep("web", 0, v2), false},
      {dep("web", 0, high), dep("web", v4), true},
  };
  for (const auto& c : ranges) {
    pkg_record server = rec("server");
    server.provides = {dep("other"), c.provided};
    EXPECT_EQ(provides_match(server, c.wanted), c.match) << c.provided.min_version << ".." << c.provided.max_version;
  }
  pkg_record a = rec("a"), b = rec("b"), c = rec("c"), with_b = rec("suite"), with_a = rec("tools");
  a.depends = {dep("b")};
  c.provides = {dep("b")};
  with_b.is_bundle = with_a.is_bundle = true;
  with_b.members = {&c, &b};
  with_a.members = {&c, &a};
  EXPECT_TRUE(requires_package(a, b) && requires_package(a, c) && requires_package(a, with_b) &&
              requires_package(with_a, b));
  EXPECT_FALSE(requires_package(b, a) || requires_package(with_b, a));
}

// The steps of conflicts_with decide in order: an entry naming the other, a
// provided name with its `extra`, then overlapping provided ranges, members.
TEST(Relations, ConflictSteps) {
  struct side { std::vector<pkg_dep> provides = {}, conflicts = {}; uint32_t version = v2; };
  const struct { const char* what; side a, b; bool blocks; } cases[] = {
      {"entry names b", {{}, {dep("b")}}, {}, true},
      {"inert b never conflicts", {{}, {dep("b")}}, {{}, {}, 0xFFFFFFFF}, false},
      {"entry outside b's version", {{}, {dep("b", v3)}}, {}, false},
      {"b provides a with extra 0: stops", {{}, {dep("x")}}, {{dep("a", 0, 0, 0), dep("x")}}, false},
      {"b provides a with extra -1", {{}, {dep("x")}}, {{dep("a", 0, 0, -1), dep("x")}}, true},
      {"a provides b with extra 0", {{dep("b", 0, 0, 0)}}, {}, true},
      {"a provides b with -1: stops", {{dep("b", 0, 0, -1)}, {dep("x")}}, {{dep("x")}}, false},
      {"larger extra blocks", {{dep("web", 0, 0, 0)}}, {{dep("web", 0, 0, -1)}}, true},
      {"smaller extra does not", {{dep("web", 0, 0, -1)}}, {{dep("web", 0, 0, 0)}}, false},
      {"equal extras stop", {{dep("web")}, {dep("x")}}, {{dep("web"), dep("x")}}, false},
      {"provided range outside", {{}, {dep("web", 0, v2)}}, {{dep("web", v3)}}, false},
      {"provided range inside", {{}, {dep("web", 0, v2)}}, {{dep("web", v2)}}, true},
  };
  for (const auto& c : cases) {
    pkg_record a = rec("a", c.a.version), b = rec("b", c.b.version);
    if (c.b.version == 0xFFFFFFFF) b.build_time = 0xFFFFFFFF;
    a.provides = c.a.provides, a.conflicts = c.a.conflicts, b.provides = c.b.provides, b.conflicts = c.b.conflicts;
    EXPECT_EQ(conflicts_with(a, b), c.blocks) << c.what;
  }
  pkg_record member_a = rec("a"), member_c = rec("c"), suite = rec("suite"), tools = rec("tools");
  member_c.conflicts = {dep("b")};
  suite.is_bundle = tools.is_bundle = true;
  suite.members = {&member_a};
  tools.members = {&member_c};
  EXPECT_TRUE(conflicts_with(rec("a"), suite)) << "a bundle holding a's name blocks a";
  EXPECT_FALSE(conflicts_with(suite, rec("a")));
  EXPECT_TRUE(conflicts_with(tools, rec("b"))) << "through a member";
}

}  // namespace
