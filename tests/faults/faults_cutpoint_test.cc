// Cut-point sweeps of whole runs: for every operation of a clean run, the
// same run again with an error or a power cut at that operation, checked by
// the harness (faults_harness.h). CI tries every 7th cut point; set
// INSTALLER_CUTPOINTS=full for all of them.
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "faults/faults_harness.h"
#include "install/install_e2e.h"
#include "support/device_root.h"

namespace {

using faults_test::scenario;
using faults_test::sweep_report;
using installtest::build;
using installtest::file;
using installtest::final_version;
using installtest::noise;
using installtest::package;
using testsupport::device_root;
using testsupport::run_installer;
using testsupport::run_options;
using testsupport::run_result;

const uint32_t v70 = final_version(7, 0);
const uint32_t v71 = final_version(7, 1);

// Database "version" files of 1.0 and 2.0, built at the same time.
constexpr const char* version_1_0 = "16803328 1700000000\n";
constexpr const char* version_2_0 = "33580544 1700000000\n";

std::string pattern(size_t size, char seed) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>(seed + (i / 991 + i) % 23);
  return text;
}

class CutPoints : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!testsupport::can_mount_tmpfs(&why)) GTEST_SKIP() << why;
  }

  sweep_report sweep(const scenario& s) {
    faults_test::sweep_options options;
    options.full = faults_test::full_sweep_requested();
    sweep_report report = faults_test::sweep(s, options);
    std::printf("[ cut points ] %s: %u operations, %u cut points tried (%s), %u faulted runs, "
                "%u stops left temporaries, %u listed a bare record\n",
                s.name.c_str(), report.operations, report.cut_points, options.full ? "all" : "every 7th",
                report.runs, report.stops_leaving_temporaries, report.listing_bare_records);
    for (const std::string& violation : report.violations) ADD_FAILURE() << violation;
    EXPECT_GT(report.cut_points, 0u);
    return report;
  }
};

// What a --safe upgrade leaves for --commit: staged files beside their
// targets and in ram (copied across file systems), a changed, an added and a
// dropped file, a database directory to remove, the image link and the
// changed-packages marker.
void prepare_saved_upgrade(const device_root& root) {
  root.write_file("/flash/var/pdb/.staging", "");  // the mark a --safe run leaves
  root.write_file("/flash/bin/tool", "tool 1.0", 0755);
  root.write_file("/flash/bin/.installer-AAAAAA", "tool 2.0", 0755);
  root.write_file("/flash/lib/big.so", pattern(30000, 'a'), 0644);
  root.write_file("/ram/.installer-BBBBBB", pattern(40000, 'A'), 0644);
  root.write_file("/ram/.installer-CCCCCC", "new documentation", 0600);
  root.write_file("/flash/share/old.txt", "dropped in 2.0");
  root.write_file("/flash/var/pdb/gone/version", version_1_0);
  root.write_file("/flash/var/pdb/gone/files", "flash/share/old.txt\n");
  root.write_file("/flash/var/pdb/pkg/version", version_1_0);
  root.write_file("/flash/var/pdb/pkg/.installer-DDDDDD", version_2_0);
  root.write_file("/flash/var/pdb/pkg/image", "old image");
  root.write_file("/flash/bootimage", "boot image");
  root.write_file("/flash/.installer-EEEEEE", "");
  root.write_file("/ram/MANIFEST",
                  "M /flash/PCKGS_CHANGED /flash/.installer-EEEEEE\n"
                  "M /flash/bin/tool /flash/bin/.installer-AAAAAA\n"
                  "M /flash/lib/big.so /ram/.installer-BBBBBB\n"
                  "M /flash/share/doc/new/readme /ram/.installer-CCCCCC\n"
                  "U /flash/share/old.txt\n"
                  "U /flash/var/pdb/gone/\n"
                  "L /flash/var/pdb/pkg/image /flash/bootimage\n"
                  "M /flash/var/pdb/pkg/version /flash/var/pdb/pkg/.installer-DDDDDD\n");
}

TEST_F(CutPoints, CommitOfSavedManifest) {
  scenario s;
  s.name = "commit";
  s.prepare = prepare_saved_upgrade;
  s.args = {"--commit"};
  s.recovery_args = {"--commit"};
  s.recovery_reaches_clean = true;
  sweep_report report = sweep(s);
  // The clean run must have done the work the sweep measures against.
  EXPECT_EQ(report.after["flash/bin/tool"], "f 755 tool 2.0");
  EXPECT_EQ(report.after["flash/lib/big.so"], "f 644 " + pattern(40000, 'A'));
  EXPECT_EQ(report.after["flash/share/doc/new/readme"], "f 600 new documentation");
  EXPECT_EQ(report.after["flash/var/pdb/pkg/image"], "l /flash/bootimage");
  EXPECT_EQ(report.after.count("flash/share/old.txt"), 0u);
  EXPECT_EQ(report.after.count("flash/var/pdb/gone"), 0u);
}

using env_list = std::vector<std::pair<std::string, std::string>>;

// Runs the program cleanly while a scenario's starting state is built.
void run_plain(const device_root& root, std::vector<std::string> args, const std::string& input = {},
               const env_list& env = {}) {
  run_options options;
  options.input = input;
  options.env = env;
  args.insert(args.begin(), {"-r", root.path()});
  run_result result = run_installer(args, options);
  EXPECT_EQ(result.status, 0) << result.out << result.err;
}

pkgbuild::package_recipe alpha(uint32_t version, std::vector<pkgbuild::file_entry> files) {
  pkgbuild::package_recipe recipe = package("alpha", version);
  recipe.files = std::move(files);
  return recipe;
}

// alpha 7.0 and 7.1: one file changed, one the same, one dropped, two added
// (one in a directory that does not exist yet).
std::string alpha_70() {
  return build(alpha(v70, {file("bin/alpha", "alpha 7.0"), file("lib/libalpha.so", noise(20000, 1)),
                           file("share/alpha/old.txt", "dropped in 7.1")}));
}
std::string alpha_71() {
  return build(alpha(v71, {file("bin/alpha", "alpha 7.1"), file("lib/libalpha.so", noise(20000, 1)),
                           file("share/alpha/new.txt", "added in 7.1"),
                           file("share/alpha/doc/readme", noise(3000, 2))}));
}

std::string suite(uint32_t version, const std::vector<std::string>& member_names) {
  std::vector<std::string> members;
  for (const std::string& name : member_names)
    members.push_back(build(package(name, version, name + " " + std::to_string(version >> 16 & 0xff))));
  return installtest::build_bundle(installtest::bundle("suite", version), members);
}

std::string kernel(uint32_t version, const std::string& payload) {
  pkgbuild::package_recipe recipe = package("kernel", version, "not extracted");
  recipe.flags = 1;
  recipe.image_payload = payload;
  return build(recipe);
}

const env_list boot_env = {{"bootimage", "1"}};

TEST_F(CutPoints, StreamInstallOfNewPackage) {
  scenario s;
  s.name = "stream install";
  s.prepare = [](const device_root& root) { run_plain(root, {"-"}, build(package("base", v70, "base"))); };
  s.args = s.recovery_args = {"-"};
  s.input = s.recovery_input = alpha_71();
  sweep_report report = sweep(s);
  EXPECT_EQ(report.after["flash/bin/alpha"], "f 644 alpha 7.1");
}

TEST_F(CutPoints, UpgradeAddsChangesAndDropsFiles) {
  scenario s;
  s.name = "upgrade";
  s.prepare = [](const device_root& root) {
    run_plain(root, {"-"}, alpha_70());
    root.write_file("/rw/pckg/.download/alpha.npk", alpha_71());
  };
  sweep_report report = sweep(s);
  EXPECT_EQ(report.before["flash/bin/alpha"], "f 644 alpha 7.0");
  EXPECT_EQ(report.after["flash/bin/alpha"], "f 644 alpha 7.1");
  EXPECT_EQ(report.after.count("flash/share/alpha/old.txt"), 0u);
  EXPECT_EQ(report.after.count("flash/share/alpha/doc/readme"), 1u);
}

TEST_F(CutPoints, BundleUpgradeDropsMember) {
  scenario s;
  s.name = "bundle upgrade";
  s.prepare = [](const device_root& root) {
    run_plain(root, {"-"}, suite(v70, {"one", "two", "three"}));
    root.write_file("/rw/pckg/.download/suite.npk", suite(v71, {"one", "two"}));
  };
  sweep_report report = sweep(s);
  EXPECT_EQ(report.before.count("flash/bin/three"), 1u);
  EXPECT_EQ(report.after.count("flash/bin/three"), 0u);
  EXPECT_EQ(report.after["flash/bin/one"], "f 644 one 1");
}

TEST_F(CutPoints, ScheduledDisableAndUninstall) {
  scenario s;
  s.name = "schedules";
  s.prepare = [](const device_root& root) {
    for (const char* name : {"keep", "off", "gone"}) run_plain(root, {"-"}, build(package(name, v70, name)));
    root.write_file("/ram/pdb/off/schedule", "disable");
    root.write_file("/ram/pdb/gone/schedule", "uninstall");
  };
  sweep_report report = sweep(s);
  EXPECT_EQ(report.after.count("flash/var/pdb/off/disabled"), 1u);
  EXPECT_EQ(report.after.count("flash/bin/gone"), 0u);
  EXPECT_EQ(report.after.count("flash/var/pdb/gone"), 0u);
}

TEST_F(CutPoints, CleanupUninstalls) {
  scenario s;
  s.name = "cleanup";
  s.prepare = [](const device_root& root) {
    for (const char* name : {"system", "extra"}) run_plain(root, {"-"}, build(package(name, v70, name)));
  };
  s.args = s.recovery_args = {"--cleanup"};
  sweep_report report = sweep(s);
  EXPECT_EQ(report.after.count("flash/bin/system"), 1u);
  EXPECT_EQ(report.after.count("flash/bin/extra"), 0u);
  EXPECT_EQ(report.after.count("flash/var/pdb/extra"), 0u);
}

TEST_F(CutPoints, SafeUpgradeThenCommit) {
  scenario s;
  s.name = "safe then commit";
  s.prepare = [](const device_root& root) {
    run_plain(root, {"-"}, alpha_70());
    root.write_file("/rw/pckg/.download/alpha.npk", alpha_71());
    run_plain(root, {"--safe"});
  };
  s.args = s.recovery_args = {"--commit"};
  s.recovery_reaches_clean = true;
  sweep_report report = sweep(s);
  EXPECT_EQ(report.before["flash/bin/alpha"], "f 644 alpha 7.0");
  EXPECT_EQ(report.after["flash/bin/alpha"], "f 644 alpha 7.1");
}

TEST_F(CutPoints, BootPackageKeepsItsImage) {
  scenario s;
  s.name = "boot package";
  s.env = boot_env;
  s.prepare = [](const device_root& root) { run_plain(root, {"-"}, kernel(v70, "kernel 7.0"), boot_env); };
  s.args = s.recovery_args = {"-"};
  s.input = s.recovery_input = kernel(v71, "kernel 7.1");
  sweep_report report = sweep(s);
  EXPECT_EQ(report.after["flash/var/pdb/kernel/image"], "l /flash/bootimage");
  EXPECT_EQ(report.after["flash/bootimage"].substr(0, 6), "f 644 ");
  EXPECT_NE(report.after["flash/bootimage"], report.before["flash/bootimage"]);
}

// A download that keeps its image is confirmed and given a second name
// beside its target before it is moved, from a download directory on the
// flash itself. (A --safe run's proof names the download's inode, which the
// harness's copy of the starting state cannot keep: that path is tried by
// the end-to-end tests.)
TEST_F(CutPoints, UpgradeMovesAVerifiedDownload) {
  scenario s;
  s.name = "kept image";
  s.env = boot_env;
  s.prepare = [](const device_root& root) {
    run_plain(root, {"-"}, kernel(v70, "kernel 7.0"), boot_env);
    root.write_file("/flash/rw/pckg/kernel.npk", kernel(v71, "kernel 7.1"));
  };
  sweep_report report = sweep(s);
  EXPECT_EQ(report.after["flash/bootimage"], "f 644 " + kernel(v71, "kernel 7.1"));
  EXPECT_EQ(report.after.count("flash/rw/pckg/kernel.npk"), 0u) << "moved, not copied";
}

}  // namespace
