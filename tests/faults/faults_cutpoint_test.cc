// Cut-point sweeps of whole runs: for every operation of a clean run, the
// same run again with an error or a power cut at that operation, checked by
// the harness (faults_harness.h). CI tries every 7th cut point; set
// INSTALLER_CUTPOINTS=full for all of them.
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "faults/faults_harness.h"
#include "support/device_root.h"

namespace {

using faults_test::scenario;
using faults_test::sweep_report;
using testsupport::device_root;

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
                "%u stops left temporaries\n",
                s.name.c_str(), report.operations, report.cut_points, options.full ? "all" : "every 7th",
                report.runs, report.stops_leaving_temporaries);
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
  root.write_file("/flash/bin/tool", "tool 1.0", 0755);
  root.write_file("/flash/bin/tmpAAAAAA", "tool 2.0", 0755);
  root.write_file("/flash/lib/big.so", pattern(30000, 'a'), 0644);
  root.write_file("/ram/tmpBBBBBB", pattern(40000, 'A'), 0644);
  root.write_file("/ram/tmpCCCCCC", "new documentation", 0600);
  root.write_file("/flash/share/old.txt", "dropped in 2.0");
  root.write_file("/flash/var/pdb/gone/version", version_1_0);
  root.write_file("/flash/var/pdb/gone/files", "flash/share/old.txt\n");
  root.write_file("/flash/var/pdb/pkg/version", version_1_0);
  root.write_file("/flash/var/pdb/pkg/tmpDDDDDD", version_2_0);
  root.write_file("/flash/var/pdb/pkg/image", "old image");
  root.write_file("/flash/bootimage", "boot image");
  root.write_file("/flash/tmpEEEEEE", "");
  root.write_file("/ram/MANIFEST",
                  "M /flash/PCKGS_CHANGED /flash/tmpEEEEEE\n"
                  "M /flash/bin/tool /flash/bin/tmpAAAAAA\n"
                  "M /flash/lib/big.so /ram/tmpBBBBBB\n"
                  "M /flash/share/doc/new/readme /ram/tmpCCCCCC\n"
                  "U /flash/share/old.txt\n"
                  "U /flash/var/pdb/gone/\n"
                  "L /flash/var/pdb/pkg/image /flash/bootimage\n"
                  "M /flash/var/pdb/pkg/version /flash/var/pdb/pkg/tmpDDDDDD\n");
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

}  // namespace
