// The fault-injecting seam itself (numbering, plans, stops), and regression
// tests of faults that the cut-point sweeps found, each named after it.
#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "faults/faults_harness.h"
#include "install/install_e2e.h"
#include "platform/fs_faults.h"
#include "support/device_root.h"

namespace {

using faults_test::run_faulted;
using faults_test::scenario;
using testsupport::device_root;
using testsupport::run_installer;
using testsupport::run_result;

const uint32_t v70 = installtest::final_version(7, 0);
const uint32_t v71 = installtest::final_version(7, 1);

class FaultLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!testsupport::can_mount_tmpfs(&why)) GTEST_SKIP() << why;
    commit_.name = "commit";
    commit_.args = {"--commit"};
  }
  // What a --safe upgrade leaves: the manifest, its staged file and the
  // mark that a run is under way.
  void save_manifest() {
    root_.write_file("/flash/var/pdb/.staging", "");
    root_.write_file("/flash/.installer-AAAAAA", "new tool");
    root_.write_file("/flash/bin/tool", "old tool");
    root_.write_file("/ram/MANIFEST", "M /flash/bin/tool /flash/.installer-AAAAAA\nU /flash/old\n");
    root_.write_file("/flash/old", "dropped");
  }

  device_root root_;
  scenario commit_;
};

TEST_F(FaultLayer, TraceNumbersEveryOperationAndCountsThem) {
  save_manifest();
  run_result r = run_faulted(commit_, root_, "trace");
  EXPECT_EQ(r.status, 0);
  // sync, removal of /flash/old, directory for the move, the move, sync,
  // and the mark taken away.
  EXPECT_EQ(r.err,
            "fault-layer: 1 sync \n"
            "fault-layer: 2 unlink /flash/old\n"
            "fault-layer: 3 mkdir /flash/bin\n"
            "fault-layer: 4 rename /flash/.installer-AAAAAA /flash/bin/tool\n"
            "fault-layer: 5 sync \n"
            "fault-layer: 6 unlink /flash/var/pdb/.staging\n"
            "fault-layer: 6 operations\n");
  EXPECT_EQ(root_.read_file("/flash/bin/tool"), "new tool");
}

TEST_F(FaultLayer, PlansFailOrStopExactlyOneOperation) {
  struct plan_case {
    const char* plan;
    int status;
    const char* err;
    const char* tool;  // content of /flash/bin/tool afterwards
    bool old_left;     // /flash/old still there
  };
  const plan_case cases[] = {
      {"count", 0, "fault-layer: 6 operations\n", "new tool", false},
      {"2:EIO", 0, "fault-layer: EIO injected at operation 2 (unlink /flash/old)\n", "new tool", true},
      {"4:ENOSPC", 1, "fault-layer: ENOSPC injected at operation 4 (rename /flash/.installer-AAAAAA /flash/bin/tool)\n",
       "old tool", false},
      {"3:stop", fs::fault_stop_status, "fault-layer: stopped before operation 3 (mkdir /flash/bin)\n", "old tool",
       false},
      {"1:stop", fs::fault_stop_status, "fault-layer: stopped before operation 1 (sync )\n", "old tool", true},
      {"9:EIO", 0, "", "new tool", false},  // never reached: nothing fails
  };
  save_manifest();
  auto start = faults_test::capture(root_);
  for (const plan_case& c : cases) {
    SCOPED_TRACE(c.plan);
    device_root root;
    faults_test::restore(start, root);
    run_result r = run_faulted(commit_, root, c.plan);
    EXPECT_EQ(r.status, c.status);
    std::string expected_err = c.err;
    // A move that could not be made: reported, and the run fails.
    if (std::string(c.plan) == "4:ENOSPC") expected_err += std::string("rename: ") + std::strerror(ENOSPC) + "\n";
    EXPECT_EQ(r.err, expected_err);
    EXPECT_EQ(root.read_file("/flash/bin/tool"), c.tool);
    EXPECT_EQ(root.exists("/flash/old"), c.old_left);
  }
}

TEST_F(FaultLayer, UnreadablePlanStopsBeforeAnything) {
  save_manifest();
  auto before = root_.snapshot("/flash");
  for (const char* plan : {"0:EIO", "x", "3:EPERM", "3", "-1:stop", "count "}) {
    run_result r = run_faulted(commit_, root_, plan);
    EXPECT_EQ(r.status, fs::fault_plan_status) << plan;
    EXPECT_EQ(r.err, std::string("fault-layer: cannot read the plan \"") + plan + "\"\n");
    EXPECT_EQ(root_.snapshot("/flash"), before) << plan;
  }
}

// The program itself carries no fault layer: the plan variable means nothing
// to it.
TEST_F(FaultLayer, ProgramIgnoresThePlan) {
  save_manifest();
  testsupport::run_options options;
  options.env = {{fs::fault_plan_variable, "1:stop"}};
  options.slash_root = root_.path();
  run_result r = run_installer({"--commit"}, options);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(root_.read_file("/flash/bin/tool"), "new tool");
}

// The number of the first traced operation that starts with `prefix`, and
// comes before the first sync; 0 when there is none.
unsigned operation_before_commit(const std::string& trace, const std::string& prefix, bool last) {
  unsigned found = 0;
  size_t at = 0;
  const std::string head = fs::fault_log_prefix;
  while ((at = trace.find(head, at)) != std::string::npos) {
    at += head.size();
    unsigned number = static_cast<unsigned>(std::strtoul(trace.c_str() + at, nullptr, 10));
    std::string rest = trace.substr(trace.find(' ', at) + 1, trace.find('\n', at) - trace.find(' ', at) - 1);
    if (rest.compare(0, 4, "sync") == 0) break;
    if (rest.compare(0, prefix.size(), prefix) == 0) {
      found = number;
      if (!last) break;
    }
  }
  return found;
}

// An upgrade whose changed-packages marker could not be staged went on
// without it: the system was never told that its packages had changed.
TEST_F(FaultLayer, UpgradeWithoutItsChangedMarkerChangesNothing) {
  scenario upgrade;
  upgrade.name = "upgrade";
  root_.write_file("/rw/pckg/.download/alpha.npk", installtest::build(installtest::package("alpha", v71, "7.1")));
  auto start = faults_test::capture(root_);
  unsigned marker = operation_before_commit(run_faulted(upgrade, root_, "trace").err, "mkstemp /flash/.installer-", true);
  ASSERT_GT(marker, 0u);
  struct error_case {
    const char* what;
    int status;
    std::string line;
  };
  const error_case cases[] = {
      {"ENOSPC", 28, "ERROR: not enough space for upgrade"},
      {"EIO", 1, std::string("ERROR: could not create /flash/PCKGS_CHANGED: ") + std::strerror(EIO)},
  };
  for (const error_case& c : cases) {
    device_root root;
    faults_test::restore(start, root);
    run_result r = run_faulted(upgrade, root, std::to_string(marker) + ":" + c.what);
    EXPECT_EQ(r.status, c.status) << c.what;
    EXPECT_NE(r.out.find(c.line + "\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("installed alpha"), std::string::npos) << r.out;
    EXPECT_FALSE(root.exists("/flash/bin/alpha")) << c.what;
    EXPECT_FALSE(root.exists("/flash/PCKGS_CHANGED")) << c.what;
    EXPECT_FALSE(root.exists("/flash/var/pdb/alpha")) << c.what;
  }
}

// The first traced operation after `after` that starts with `prefix`; 0
// when there is none.
unsigned operation_after(const std::string& trace, unsigned after, const std::string& prefix) {
  for (unsigned k = after + 1;; ++k) {
    std::string head = std::string(fs::fault_log_prefix) + std::to_string(k) + " ";
    size_t at = trace.find(head);
    if (at == std::string::npos) return 0;
    if (trace.compare(at + head.size(), prefix.size(), prefix) == 0) return k;
  }
}

// A disable request whose state file could not be staged was printed as
// done, and a state file cut short was committed ("us" reads as the user's
// choice).
TEST_F(FaultLayer, DisableThatCannotBeStagedIsReportedAndStagesNothing) {
  for (const char* name : {"keep", "off"}) {
    testsupport::run_options options;
    options.input = installtest::build(installtest::package(name, v70, name));
    ASSERT_EQ(run_installer({"-r", root_.path(), "-"}, options).status, 0);
  }
  root_.write_file("/ram/pdb/off/schedule", "disable");
  scenario upgrade;
  upgrade.name = "upgrade";
  auto start = faults_test::capture(root_);
  std::string trace = run_faulted(upgrade, root_, "trace").err;
  unsigned create = operation_after(trace, 0, "mkstemp /flash/var/pdb/off/");
  unsigned write = operation_after(trace, create, "write");
  ASSERT_GT(create, 0u);
  ASSERT_GT(write, 0u);
  for (unsigned k : {create, write}) {
    device_root root;
    faults_test::restore(start, root);
    run_result r = run_faulted(upgrade, root, std::to_string(k) + ":EIO");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find(std::string("ERROR: could not disable off-7.0: ") + std::strerror(EIO) + "\n"),
              std::string::npos)
        << k << ": " << r.out;
    EXPECT_FALSE(root.exists("/flash/var/pdb/off/disabled")) << k;
    auto entries = root.snapshot("/flash/var/pdb/off");
    for (const auto& entry : entries) EXPECT_FALSE(faults_test::is_temporary_name(entry.first)) << entry.first;
  }
}

// A power cut in the middle of removing a package's database directory left
// a part of it that loaded as the package at version 0.
TEST_F(FaultLayer, CutShortUninstallNeverListsPackageAtVersionZero) {
  scenario uninstall = commit_;
  for (const char* file : {"version", "deps", "files", "enabled"})
    root_.write_file(std::string("/flash/var/pdb/gone/") + file,
                     std::string(file) == "version" ? "117466624 1700000000\n" : "");
  root_.write_file("/ram/MANIFEST", "U /flash/var/pdb/gone/\n");
  auto start = faults_test::capture(root_);
  unsigned total = 0;
  for (unsigned k = 1;; ++k) {
    device_root root;
    faults_test::restore(start, root);
    run_result r = run_faulted(uninstall, root, std::to_string(k) + ":stop");
    if (r.status != fs::fault_stop_status) break;
    ++total;
    run_result shown = run_installer({"-r", root.path(), "--show"});
    EXPECT_EQ(shown.out.find("0.0 "), std::string::npos) << "cut at " << k << ":\n" << shown.out;
  }
  EXPECT_GE(total, 6u) << "sync, rename out of sight, four unlinks";
}

}  // namespace
