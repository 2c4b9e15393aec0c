// The clean-up mode end to end: the built installer with --cleanup on device
// roots whose packages are installed by writing their database directories
// (and, for bundles, a stored bundle image made by mkpkg), with requests in
// schedule files under "/ram/pdb/".
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/device_root.h"

namespace {

using testsupport::device_root;
using testsupport::run_result;

constexpr uint32_t system_3_22 = 0x03166600;
constexpr uint32_t version_1_0 = 0x01006600;

struct requirement {
  std::string name;
  uint32_t min = 0;
};

// A package kept by the clean-up: it needs "system" 3.22 or later.
const requirement modern = {"system", system_3_22};

class CleanupMode : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!testsupport::can_run_installer(&why)) GTEST_SKIP() << why;
    install("system", {}, system_3_22);
  }

  // Writes the database directory of a plain package with one file of its
  // own under /flash/bin.
  void install(const std::string& name, const std::vector<requirement>& depends,
               uint32_t version = version_1_0, const std::string& conflicts = "") {
    std::string dir = "/flash/var/pdb/" + name + "/";
    root_.make_dirs(dir);
    root_.write_file(dir + "version", std::to_string(version) + " 1000\n");
    std::string deps;
    for (const requirement& r : depends) deps += r.name + " " + std::to_string(r.min) + " 0\n";
    root_.write_file(dir + "deps", deps);
    if (!conflicts.empty()) root_.write_file(dir + "conflicts", conflicts + " 0 0\n");
    root_.write_file(dir + "files", "flash/bin/" + name + "\n");
    root_.write_file("/flash/bin/" + name, "tool " + name + "\n", 0755);
  }

  void set_state(const std::string& name, const std::string& file, const std::string& word) {
    root_.write_file("/flash/var/pdb/" + name + "/" + file, word + "\n");
  }

  void request(const std::string& name, const std::string& word) {
    root_.write_file("/ram/pdb/" + name + "/schedule", word + "\n");
  }

  bool installed(const std::string& name) const {
    return root_.exists("/flash/var/pdb/" + name) && root_.exists("/flash/bin/" + name);
  }
  bool gone(const std::string& name) const {
    return !root_.exists("/flash/var/pdb/" + name) && !root_.exists("/flash/bin/" + name);
  }
  std::string state(const std::string& name, const std::string& file) const {
    std::string path = "/flash/var/pdb/" + name + "/" + file;
    return root_.exists(path) ? root_.read_file(path) : "<none>";
  }

  // A bundle "suite" of members m1 and m2 (both kept by the clean-up),
  // stored whole as the bundle's image, with the members' database
  // directories as their installation wrote them.
  void install_bundle() {
    std::string dir = root_.at("/tmp");
    for (const char* member : {"m1", "m2"}) {
      std::string out = dir + "/" + member + ".npk";
      run_result made = testsupport::run_program({testsupport::mkpkg_path(), "build", "-o", out, "--name",
                                                  member, "--version", "1.0", "--depends", "system:3.22",
                                                  "--keys", testsupport::test_key_file()});
      ASSERT_EQ(made.status, 0) << made.err;
      std::string pdb = "/flash/var/pdb/" + std::string(member) + "/";
      root_.make_dirs(pdb);
      root_.write_file(pdb + "version", std::to_string(version_1_0) + " 1000\n");
      root_.write_file(pdb + "deps", "system " + std::to_string(system_3_22) + " 0\n");
      root_.write_file(pdb + "bundle", "suite\n");
      root_.write_file(pdb + "files", "flash/bin/" + std::string(member) + "\n");
      root_.write_file("/flash/bin/" + std::string(member), "tool\n", 0755);
    }
    root_.make_dirs("/flash/var/pdb/suite");
    run_result made = testsupport::run_program({testsupport::mkpkg_path(), "bundle", "-o",
                                                root_.at("/flash/var/pdb/suite/image"), "--name", "suite",
                                                "--version", "1.0", dir + "/m1.npk", dir + "/m2.npk"});
    ASSERT_EQ(made.status, 0) << made.err;
    root_.remove("/tmp/m1.npk");
    root_.remove("/tmp/m2.npk");
  }

  run_result cleanup() {
    run_result result = testsupport::run_installer({"-r", root_.path(), "--cleanup"});
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    return result;
  }

  device_root root_;
};

TEST_F(CleanupMode, UninstallRequestRemovesFilesAndDatabaseDirectory) {
  install("app", {modern});
  install("tool", {modern});
  request("tool", "uninstall");
  run_result result = cleanup();
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(gone("tool"));
  EXPECT_TRUE(installed("app"));
  EXPECT_TRUE(installed("system"));
}

TEST_F(CleanupMode, DisableAndEnableWriteTheStateFiles) {
  install("app", {modern});
  install("vpn", {modern});
  set_state("vpn", "disabled", "auto");
  install("guard", {modern}, version_1_0, "web");
  install("web", {modern});
  install("site", {modern, {"web"}});
  request("app", "disable");
  request("vpn", "enable");
  // The requests are carried out by the first, silent pass. guard blocks
  // web, and site loses its only provider: both disabled automatically.
  EXPECT_EQ(cleanup().out, "");
  EXPECT_EQ(state("app", "disabled"), "user\n");
  EXPECT_EQ(state("app", "enabled"), "<none>");
  EXPECT_EQ(state("vpn", "disabled"), "<none>");
  EXPECT_EQ(state("vpn", "enabled"), "user\n");
  EXPECT_EQ(state("web", "disabled"), "auto\n");
  EXPECT_EQ(state("site", "disabled"), "auto\n");
  EXPECT_EQ(state("guard", "disabled"), "<none>");
  for (const char* name : {"app", "vpn", "guard", "web", "site"}) EXPECT_TRUE(installed(name)) << name;

  // Enabling site brings back web, which it needs, and the blocker goes.
  request("app", "");
  request("vpn", "");
  request("site", "enable");
  EXPECT_EQ(cleanup().out, "");
  EXPECT_EQ(state("site", "disabled"), "<none>");
  EXPECT_EQ(state("site", "enabled"), "user\n");
  EXPECT_EQ(state("web", "disabled"), "<none>");
  EXPECT_EQ(state("web", "enabled"), "<none>");
  EXPECT_EQ(state("guard", "disabled"), "auto\n");
  EXPECT_EQ(state("app", "disabled"), "user\n");
  EXPECT_EQ(state("vpn", "enabled"), "user\n");
}

TEST_F(CleanupMode, NeededPackageIsKeptWithAWarning) {
  install("lib", {});
  install("app", {modern, {"lib"}});
  run_result result = cleanup();
  // The clean-up wants lib gone (it predates 3.22), app needs it.
  EXPECT_EQ(result.out, "WARNING: can not uninstall lib-1.0: app depends on it\n");
  EXPECT_TRUE(installed("lib"));
  EXPECT_TRUE(installed("app"));
}

TEST_F(CleanupMode, ChainWhoseProvidersVanish) {
  install("lib", {modern});
  install("codec", {modern, {"lib"}});
  install("player", {modern, {"codec"}});
  set_state("codec", "disabled", "user");
  set_state("player", "disabled", "user");
  install("keep", {modern});
  request("lib", "uninstall");
  EXPECT_EQ(cleanup().out, "");
  EXPECT_TRUE(gone("lib"));
  EXPECT_TRUE(gone("codec"));
  EXPECT_TRUE(gone("player"));
  EXPECT_TRUE(installed("keep"));
}

TEST_F(CleanupMode, TwoEnablesInConflict) {
  install("first", {modern});
  install("second", {modern}, version_1_0, "first");
  set_state("first", "disabled", "user");
  set_state("second", "disabled", "user");
  request("first", "enable");
  request("second", "enable");
  EXPECT_EQ(cleanup().out, "");
  EXPECT_EQ(state("first", "disabled"), "user\n");
  EXPECT_EQ(state("second", "disabled"), "<none>");
  EXPECT_EQ(state("second", "enabled"), "user\n");
}

// Disabling the bundle disables its members. The bundle record used to be
// uninstalled with them, and the next run then removed the members, which
// it loads from the bundle's image: the bundle is now disabled and stays.
TEST_F(CleanupMode, BundleDisabled) {
  ASSERT_NO_FATAL_FAILURE(install_bundle());
  request("suite", "disable");
  EXPECT_EQ(cleanup().out, "");
  EXPECT_TRUE(root_.exists("/flash/var/pdb/suite/image"));
  EXPECT_EQ(state("suite", "disabled"), "user\n");
  for (const char* member : {"m1", "m2"}) {
    EXPECT_TRUE(installed(member)) << member;
    EXPECT_EQ(state(member, "disabled"), "auto\n") << member;
  }
}

TEST_F(CleanupMode, BundleUninstalledWithItsMembers) {
  ASSERT_NO_FATAL_FAILURE(install_bundle());
  install("app", {modern});
  request("suite", "uninstall");
  EXPECT_EQ(cleanup().out, "");
  EXPECT_FALSE(root_.exists("/flash/var/pdb/suite"));
  EXPECT_TRUE(gone("m1"));
  EXPECT_TRUE(gone("m2"));
  EXPECT_TRUE(installed("app"));
}

// A member that an active package needs keeps itself and its bundle.
TEST_F(CleanupMode, BundleUninstallCancelledForANeededMember) {
  ASSERT_NO_FATAL_FAILURE(install_bundle());
  install("app", {modern, {"m2"}});
  request("suite", "uninstall");
  EXPECT_EQ(cleanup().out, "");
  EXPECT_TRUE(root_.exists("/flash/var/pdb/suite/image"));
  EXPECT_TRUE(gone("m1"));
  EXPECT_TRUE(installed("m2"));
}

TEST_F(CleanupMode, BundleEnabledWithItsMembers) {
  ASSERT_NO_FATAL_FAILURE(install_bundle());
  for (const char* name : {"suite", "m1", "m2"}) set_state(name, "disabled", "auto");
  request("suite", "enable");
  EXPECT_EQ(cleanup().out, "");
  EXPECT_EQ(state("suite", "disabled"), "<none>");
  EXPECT_EQ(state("suite", "enabled"), "user\n");
  for (const char* member : {"m1", "m2"}) {
    EXPECT_EQ(state(member, "disabled"), "<none>") << member;
    EXPECT_EQ(state(member, "enabled"), "<none>") << member;
    EXPECT_TRUE(installed(member)) << member;
  }
}

TEST_F(CleanupMode, RefusesToRemoveEverything) {
  root_.remove("/flash/var/pdb/system");
  root_.remove("/flash/bin/system");
  install("old", {});
  install("older", {});
  auto before = root_.snapshot();
  EXPECT_EQ(cleanup().out, "ERROR: can not uninstall or disable all packages\n");
  EXPECT_EQ(root_.snapshot(), before);
}

TEST_F(CleanupMode, KeepsSystemNamesAndModernPackages) {
  install("system", {}, system_3_22 + 0x10000);  // 3.23
  install("lumo", {});
  install("disk-drivers", {});
  install("new", {modern});
  install("newer", {{"system", system_3_22 + 1}});
  install("old", {{"system", system_3_22 - 1}});
  install("plain", {});
  EXPECT_EQ(cleanup().out, "");
  for (const char* name : {"system", "lumo", "disk-drivers", "new", "newer"})
    EXPECT_TRUE(installed(name)) << name;
  EXPECT_TRUE(gone("old"));
  EXPECT_TRUE(gone("plain"));
}

}  // namespace
