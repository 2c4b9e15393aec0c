// The --show run of the real program on device roots built here.
#include <functional>
#include <gtest/gtest.h>
#include <string>

#include "pkgbuild.h"
#include "pkgdb/pkgdb_test_tools.h"
#include "support/device_root.h"

using namespace pkgdb_test;
using pkgbuild::header_payload;
using pkgbuild::part;
using testsupport::device_root;

namespace {

constexpr uint32_t v1_0 = 0x01006600;
constexpr uint32_t v6_48_1 = 0x06306601;
constexpr uint32_t v7_2 = 0x07026600;

std::string blanks(size_t count) { return std::string(count, ' '); }

const std::string header_text = blanks(12) + "Name    " + blanks(6) + "Version " + blanks(15) + "Built" +
                                blanks(36) + "Note\n" + std::string(94, '-') + "\n";

// A package file as mkpkg builds it (unsigned: listing never verifies).
std::string package(const char* name, uint32_t version, uint32_t build_time, const char* note = nullptr) {
  pkgbuild::package_recipe recipe;
  recipe.name = name;
  recipe.version = version;
  recipe.build_time = build_time;
  if (note) recipe.note = note;
  recipe.depends = std::vector<pkg_dep>{{"system", version, 0, 0}};
  recipe.files = std::vector<pkgbuild::file_entry>{{.name = std::string("bin/") + name, .data = "#!/bin/sh\n"}};
  std::string file, err;
  EXPECT_TRUE(pkgbuild::build_package(recipe, {}, &file, &err)) << err;
  return file;
}

std::string bundle(const char* name, uint32_t version, uint32_t build_time, const std::vector<std::string>& members) {
  pkgbuild::bundle_recipe recipe;
  recipe.name = name;
  recipe.version = version;
  recipe.build_time = build_time;
  std::string file, err;
  EXPECT_TRUE(pkgbuild::build_bundle(recipe, members, &file, &err)) << err;
  return file;
}

struct show_case {
  const char* what;
  std::function<void(const device_root&)> setup;
  std::string expected;
};

TEST(ShowRun, ListsWhatIsInstalled) {
  std::string why;
  if (!testsupport::can_run_installer(&why)) GTEST_SKIP() << why;
  const show_case cases[] = {
      {"an empty database", [](const device_root&) {}, header_text},
      {"a stray plain file is no package",
       [](const device_root& root) {
         root.write_file("/flash/var/pdb/image", pkgbuild::whole_file(part(1, header_payload("x", v1_0, 1, 0))));
       },
       header_text},
      {"a single package with a note",
       [](const device_root& root) {
         root.write_file("/flash/var/pdb/routing/image", package("routing", v6_48_1, 1700000000, "dynamic routing"));
       },
       header_text + blanks(9) + "routing    " + blanks(7) + "6.48.1 Nov/14/2023 22:13:20" + blanks(25) +
           "dynamic routing\n"},
      {"a bundle: members marked, the bundle not",
       [](const device_root& root) {
         root.write_file("/flash/var/pdb/system/image",
                         bundle("system", v7_2, 0xF0000000,
                                {package("ppp", v7_2, 0xF0000000), package("dhcp", v7_2, 0xFFFFFFFF)}));
         root.write_file("/flash/var/pdb/dhcp/disabled", "user\n");
       },
       header_text + blanks(13) + "ppp  B " + blanks(10) + "7.2 Aug/05/2097 09:04:00" + blanks(40) + "\n" +
           blanks(12) + "dhcp XB " + blanks(10) + "7.2 Feb/07/2106 06:28:15" + blanks(40) + "\n" + blanks(10) +
           "system    " + blanks(10) + "7.2 Aug/05/2097 09:04:00" + blanks(40) + "\n"},
      {"a disabled package restored from its metadata",
       [](const device_root& root) {
         root.write_file("/flash/var/pdb/ntp/version", "16803328 86400\n");
         root.write_file("/flash/var/pdb/ntp/files", "flash/bin/ntpd\n");
         root.write_file("/flash/var/pdb/ntp/disabled", "auto\n");
       },
       header_text + blanks(13) + "ntp X  " + blanks(10) + "1.0 Jan/02/1970 00:00:00" + blanks(40) + "\n"},
      {"a bare directory",
       [](const device_root& root) { root.make_dirs("/flash/var/pdb/bare"); },
       header_text + blanks(12) + "bare    " + blanks(10) + "0.0 Jan/01/1970 00:00:00" + blanks(40) + "\n"},
      {"a name longer than 16 characters",
       [](const device_root& root) {
         root.write_file("/flash/var/pdb/a-rather-long-package/version", "16803328 0\n");
       },
       header_text + "a-rather-long-package    " + blanks(10) + "1.0 Jan/01/1970 00:00:00" + blanks(40) + "\n"},
      {"a missing database", [](const device_root& root) { root.remove("/flash/var/pdb"); },
       "WARNING: could not open repo\n" + header_text},
  };
  for (const show_case& c : cases) {
    device_root root;
    c.setup(root);
    testsupport::run_result result = testsupport::run_installer({"-r", root.path(), "--show"});
    EXPECT_EQ(result.status, 0) << c.what << "\n" << result.err;
    EXPECT_EQ(result.out, c.expected) << c.what;
  }
}

// The listing is not quiet-sensitive; only the warning is.
TEST(ShowRun, QuietListsButDoesNotWarn) {
  std::string why;
  if (!testsupport::can_run_installer(&why)) GTEST_SKIP() << why;
  device_root root;
  root.remove("/flash/var/pdb");
  testsupport::run_result result = testsupport::run_installer({"-q", "-r", root.path(), "--show"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, header_text);
}

}  // namespace
