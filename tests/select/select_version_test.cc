#include "select/version.h"

#include <gtest/gtest.h>

#include "pkgdb/record.h"

namespace {

TEST(Version, TextsOfEveryForm) {
  const struct {
    uint32_t version;
    const char* text;
  } cases[] = {
      {0x02056603, "2.5.3"},    {0x02056600, "2.5"},       {0x02066302, "2.6rc2"},
      {0x02066100, "2.6alpha"}, {0x02050007, "2.57"},      {0, "0.0"},
      {0x0300620A, "3.0beta10"}, {0x03016601, "3.1.1"},    {0xFFFF61FF, "255.255alpha255"},
      {0x02056303, "2.5rc3"},   {0x02066101, "2.6alpha1"}, {0x07016203, "7.1beta3"},
      {0x06306600, "6.48"},     {0x02056400, "2.5"},       {0x02056500, "2.5"},
      {0x02056703, "2.53"},     {0x02056003, "2.53"},      {0x0205FF01, "2.51"},
  };
  for (const auto& c : cases) EXPECT_EQ(version_text(c.version), c.text) << std::hex << c.version;
}

TEST(Version, PreReleasesSortBelowTheirRelease) {
  // Ascending, each strictly above the one before it.
  const char* const ordered[] = {
      "2.4.9", "2.5alpha", "2.5alpha1", "2.5alpha2", "2.5beta", "2.5beta1", "2.5beta10",
      "2.5rc",  "2.5rc1",  "2.5rc3",    "2.5",       "2.5.1",   "2.5.255",  "2.6alpha1",
      "3.0beta10", "3.1.1", "10.0", "255.255.255",
  };
  uint32_t previous = 0;
  for (const char* text : ordered) {
    uint32_t version = 0;
    ASSERT_TRUE(parse_version(text, &version)) << text;
    EXPECT_GT(version, previous) << text;
    previous = version;
  }
}

TEST(Version, ParseIsTheInverseOfText) {
  const uint32_t numbers[] = {0, 1, 2, 9, 10, 99, 100, 199, 255};
  const uint32_t types[] = {'a', 'b', 'c', 'f'};
  int failures = 0;
  for (uint32_t major : numbers)
    for (uint32_t minor : numbers)
      for (uint32_t type : types)
        for (uint32_t build = 0; build < 256; ++build) {
          uint32_t version = major << 24 | minor << 16 | type << 8 | build, parsed = 0;
          std::string text = version_text(version);
          if (!parse_version(text, &parsed) || parsed != version) {
            if (++failures < 10) ADD_FAILURE() << text << " gives " << std::hex << parsed;
          }
        }
  EXPECT_EQ(failures, 0);
}

TEST(Version, ParseRefusesAnythingElse) {
  const char* const refused[] = {
      "",         "2",          "2.",        ".5",        "2.5.",      "2..5",       "2.5.0",
      "256.1",    "2.256",      "2.5.256",   "1000.1",    "02.5",      "2.05",       "2.5.01",
      "2.5rc0",   "2.5alpha01", "2.5alpha256", "2.5gamma", "2.5RC1",   "2.5Beta",    "2.5 ",
      " 2.5",     "2.5.3.1",    "2.5rc1x",   "2.5-1",     "-1.0",      "+1.0",       "2.5f",
      "2.5.3rc1", "2.5rc.1",    "2,5",       "x.5",       "2.5\n",     "2.5alpha-1", "4294967295.0",
  };
  for (const char* text : refused) {
    uint32_t version = 0xDEADBEEF;
    EXPECT_FALSE(parse_version(text, &version)) << '"' << text << '"';
    EXPECT_EQ(version, 0xDEADBEEF) << '"' << text << '"';
  }
  uint32_t version = 0;
  EXPECT_FALSE(parse_version(std::string_view("2.5\0", 4), &version));
}

TEST(Version, NamesOfPackagesDependenciesAndBundleMembers) {
  pkg_image member("wireless");
  member.version = 0x07016203;
  EXPECT_EQ(package_text(member), "wireless-7.1beta3");
  EXPECT_EQ(display_text(member), "wireless-7.1beta3");
  member.bundle = {"suite", 0x07016600, 0x07016600, 0};
  EXPECT_EQ(display_text(member), "suite-7.1");
  EXPECT_EQ(dep_text(pkg_dep{"system", 0, 0x07000000, 0}), "system");
  EXPECT_EQ(dep_text(pkg_dep{"system", 0x06306601, 0, 0}), "system-6.48.1");
  EXPECT_EQ(package_text(pkg_record()), "-0.0");
}

pkg_record make_record(const char* name, uint32_t version, uint32_t build_time = 0) {
  pkg_record record(name);
  record.version = version;
  record.build_time = build_time;
  return record;
}

TEST(Version, ComparePackagesOfTheSameName) {
  const struct {
    uint32_t version_a, time_a, version_b, time_b;
    int expected;
  } cases[] = {
      {0x02056600, 5, 0x02056303, 9, 1},   // 2.5 over 2.5rc3 whatever the times
      {0x02056303, 9, 0x02056600, 5, -1},
      {0x02056600, 5, 0x02056600, 9, -1},  // equal versions: build time decides
      {0x02056600, 9, 0x02056600, 5, 1},
      {0x02056600, 5, 0x02056600, 5, 0},
      {0xFFFFFFFF, 0, 0x00000001, 0, 1},   // unsigned, not signed
      {0x02056600, 0xFFFFFFFF, 0x02056600, 1, 1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(compare_packages(make_record("p", c.version_a, c.time_a), make_record("p", c.version_b, c.time_b)),
              c.expected)
        << std::hex << c.version_a << " " << c.version_b;
  EXPECT_EQ(compare_packages(make_record("p", 9), make_record("P", 1)), 0);  // case matters
  EXPECT_EQ(compare_packages(make_record("p", 9), make_record("q", 1)), 0);  // unrelated
}

TEST(Version, ComparePackagesLooksIntoBundlesBothWays) {
  pkg_record old_member = make_record("dhcp", 0x06306600);
  pkg_record new_member = make_record("dhcp", 0x06316600);
  pkg_record other_member = make_record("ppp", 0x09000000);
  pkg_record bundle = make_record("suite", 0x01000000);
  bundle.is_bundle = true;
  bundle.members = {&other_member, &new_member, &old_member};  // first "dhcp" is taken
  pkg_record installed = make_record("dhcp", 0x06306601);

  EXPECT_EQ(compare_packages(bundle, installed), 1);
  EXPECT_EQ(compare_packages(installed, bundle), -1);
  installed.version = 0x06316600;  // same version: build times decide
  installed.build_time = 7;
  EXPECT_EQ(compare_packages(bundle, installed), -1);
  EXPECT_EQ(compare_packages(installed, bundle), 1);
  installed.build_time = 0;
  EXPECT_EQ(compare_packages(bundle, installed), 0);

  // Both bundles name each other's packages: the first record's members win.
  // Looking through the other record's members would give the opposite sign.
  pkg_record inner_a = make_record("b", 0x02000000), inner_b = make_record("a", 0x00050000);
  pkg_record a = make_record("a", 0x01000000), b = make_record("b", 0x05000000);
  a.is_bundle = b.is_bundle = true;
  a.members = {&inner_a};  // a's member "b" (2.0) against b itself (5.0): older
  b.members = {&inner_b};  // b's member "a" (0.5) against a itself (1.0): older
  EXPECT_EQ(compare_packages(a, b), -1);
  EXPECT_EQ(compare_packages(b, a), -1);

  // Only direct members count.
  pkg_record nested = make_record("outer", 0x01000000);
  nested.is_bundle = true;
  nested.members = {&bundle};
  EXPECT_EQ(compare_packages(nested, installed), 0);
}

}  // namespace
