// The command line: the option scan as a unit, and start-up through the
// built program in a device root.
#include "driver/driver.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>
#include <vector>

#include "support/device_root.h"

namespace {

using testsupport::device_root;
using testsupport::run_installer;
using testsupport::run_options;
using testsupport::run_result;

const std::string usage_line = "usage: installer [-q] [-r <root>] [-]\n";
const std::string resuming = "\nResuming upgrade...\n";

// Runs the scan over `args` (program name added); returns what --reinstall printed.
std::string scan(std::vector<std::string> args, ::run_options* options, scan_action* action) {
  args.insert(args.begin(), "installer");
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  *action = scan_options(static_cast<int>(argv.size()), argv.data(), options, out);
  std::fclose(out);
  std::string printed(buffer, size);
  std::free(buffer);
  return printed;
}

TEST(OptionScan, EveryOptionInOrder) {
  const struct {
    std::vector<std::string> args;
    scan_action action;
    const char* expected;  // cleanup stdin quiet show commit_now flags root; printed
  } cases[] = {
      {{}, scan_action::run, "c0 s0 q0 l0 n1 f0 r[] p[]"},
      {{"-q", "--show", "--safe", "-down", "-b", "--force", "--noupgrade", "-i"}, scan_action::run,
       "c0 s0 q1 l1 n0 f2 r[] p[]"},
      {{"-r", "/mnt/img", "-r", "/second"}, scan_action::run, "c0 s0 q0 l0 n1 f0 r[/second] p[]"},
      {{"-r", "-q"}, scan_action::run, "c0 s0 q0 l0 n1 f0 r[-q] p[]"},  // -r takes the next word
      {{"-", "-q", "--bogus"}, scan_action::run, "c0 s1 q0 l0 n1 f0 r[] p[]"},
      {{"--cleanup", "--show", "--bogus"}, scan_action::run, "c1 s0 q0 l0 n1 f0 r[] p[]"},
      {{"--reinstall", "--show"}, scan_action::run, "c0 s0 q0 l1 n1 f32 r[] p[\nResuming upgrade...\n]"},
      {{"--reinstall", "--reinstall"}, scan_action::run,
       "c0 s0 q0 l0 n1 f32 r[] p[\nResuming upgrade...\n\nResuming upgrade...\n]"},
      {{"-q", "--commit", "--bogus"}, scan_action::commit, "c0 s0 q1 l0 n1 f0 r[] p[]"},
      {{"--cancel", "-"}, scan_action::cancel, "c0 s0 q0 l0 n1 f0 r[] p[]"},
      {{"-r"}, scan_action::usage, "c0 s0 q0 l0 n1 f0 r[] p[]"},
      {{"--show", "-r"}, scan_action::usage, "c0 s0 q0 l1 n1 f0 r[] p[]"},
      {{"--reinstall", "-x"}, scan_action::usage, "c0 s0 q0 l0 n1 f32 r[] p[\nResuming upgrade...\n]"},
      {{"-Q"}, scan_action::usage, "c0 s0 q0 l0 n1 f0 r[] p[]"},
      {{"--SHOW"}, scan_action::usage, "c0 s0 q0 l0 n1 f0 r[] p[]"},
      {{"-rfoo"}, scan_action::usage, "c0 s0 q0 l0 n1 f0 r[] p[]"},
      {{"-q "}, scan_action::usage, "c0 s0 q0 l0 n1 f0 r[] p[]"},
      {{""}, scan_action::usage, "c0 s0 q0 l0 n1 f0 r[] p[]"},
      {{"--commit-now"}, scan_action::usage, "c0 s0 q0 l0 n1 f0 r[] p[]"},
  };
  for (const auto& c : cases) {
    ::run_options options;
    scan_action action;
    std::string printed = scan(c.args, &options, &action);
    std::string found = "c" + std::to_string(options.cleanup) + " s" + std::to_string(options.from_stdin) +
                        " q" + std::to_string(options.quiet) + " l" + std::to_string(options.show) +
                        " n" + std::to_string(options.commit_now) + " f" + std::to_string(options.flags) +
                        " r[" + options.root + "] p[" + printed + "]";
    std::string args;
    for (const std::string& arg : c.args) args += " '" + arg + "'";
    EXPECT_EQ(found, c.expected) << args;
    EXPECT_EQ(static_cast<int>(action), static_cast<int>(c.action)) << args;
    EXPECT_EQ(options.arch, "i386") << args;
  }
}

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!testsupport::can_run_installer(&why)) GTEST_SKIP() << why;
  }
  // A run whose arguments may name no root: the device root stands at "/".
  run_result run_at_slash(const std::vector<std::string>& args, run_options opts = {}) {
    std::string why;
    if (!testsupport::can_mount_tmpfs(&why)) {
      ADD_FAILURE() << "needs a private mount namespace: " << why;
      return {};
    }
    opts.slash_root = root.path();
    return run_installer(args, opts);
  }
  device_root root;
};

// A -r that changes nothing used to go unnoticed: --commit and --cancel act
// on the current root, and nothing after "-" or --cleanup is read. --help
// and --version answer before anything else.
TEST_F(CommandLine, HelpVersionAndRootsThatChangeNothing) {
  const std::string commit_warning = "WARNING: -r is ignored: --commit acts on /ram/MANIFEST of the current root\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out_starts;
    std::string err;
  } cases[] = {
      {{"--help", "--bogus"}, 0, "usage: installer [-q] [-r <root>] [--safe] [-down] [--reinstall] [--dry-run] [-]\n", ""},
      {{"-q", "-h"}, 0, "usage: installer", ""},
      {{"--version"}, 0, "installer 0.1.0\n", ""},
      {{"-r", "/elsewhere", "--commit"}, 0, "finishing install... ", commit_warning},
      {{"--cancel", "-r", "/elsewhere"}, 0, "",
       "WARNING: -r is ignored: --cancel acts on /ram/MANIFEST of the current root\n"},
      {{"--commit", "--dry-run"}, 0, "", ""},
      {{"-", "-r", "/elsewhere"}, 1, "",
       "WARNING: -r /elsewhere is ignored: no argument after - is read\ninstaller: standard input: it is empty\n"},
      {{"--cleanup", "-q", "-r", "/elsewhere"}, 0, "",
       "WARNING: -r /elsewhere is ignored: no argument after --cleanup is read\n"},
  };
  for (const auto& c : cases) {
    run_result result = run_at_slash(c.args);
    EXPECT_EQ(result.status, c.status) << c.args[0];
    EXPECT_EQ(result.out.substr(0, c.out_starts.size()), c.out_starts) << c.args[0];
    EXPECT_EQ(result.err, c.err) << c.args[0];
  }
  // The help names every option and mode the scan knows.
  std::string help = run_at_slash({"--help"}).out;
  for (const char* option : {"--show", "--cleanup", "--commit", "--cancel", "-r ROOT", "-q", "--safe", "--dry-run",
                             "-down", "--reinstall", "--force", "--help", "--version", "Exit status", "/ram/SECURE"})
    EXPECT_NE(help.find(option), std::string::npos) << option;
}

TEST_F(CommandLine, QemuBoardDoesNothingWhatever) {
  const std::vector<std::string> cases[] = {
      {"--bogus"}, {"-r"}, {"--reinstall", "--show"}, {"--commit"}, {"--cancel"}, {"-"}, {},
  };
  root.write_file("/ram/MANIFEST", "U /flash/var/pdb\n");
  auto before = root.snapshot("/");
  for (const auto& args : cases) {
    run_options opts;
    opts.env = {{"board", "qemu_p9"}};
    run_result result = run_at_slash(args, opts);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
  }
  EXPECT_EQ(root.snapshot("/"), before);
  run_options other_board;
  other_board.env = {{"board", "qemu_p9 "}};
  EXPECT_EQ(run_at_slash({"--bogus"}, other_board).out, usage_line);
}

TEST_F(CommandLine, UsageLine) {
  const std::vector<std::string> cases[] = {
      {"-r"}, {"--show", "-r"}, {"-Q"}, {"--safe", "--SAFE"}, {"-rfoo"}, {"-r", root.path(), "--bogus"},
  };
  for (const auto& args : cases) {
    run_result result = run_at_slash(args);
    EXPECT_EQ(result.out, usage_line) << args[0];
    EXPECT_EQ(result.err, "") << args[0];
    EXPECT_EQ(result.status, 0) << args[0];
  }
}

TEST_F(CommandLine, ScanStopsAtStreamInstallAndCleanup) {
  for (const char* mode : {"-", "--cleanup"}) {
    run_result result = run_installer({"-r", root.path(), mode, "--bogus"});
    EXPECT_EQ(result.out.find("usage"), std::string::npos) << mode << ": " << result.out;
  }
}

TEST_F(CommandLine, ReinstallPrintsItsLinesFirst) {
  run_result result = run_installer({"-r", root.path(), "--reinstall", "--show"});
  EXPECT_EQ(result.out.substr(0, resuming.size()), resuming);
  result = run_at_slash({"--reinstall", "-r"});
  EXPECT_EQ(result.out, resuming + usage_line);
}

// As first written, a failed change of root was reported and the run went on
// in the live system, installing into or uninstalling from the router's own
// flash instead of the tree that was named.
TEST_F(CommandLine, FailedChangeOfRootEndsTheRun) {
  root.write_file("/ram/pdb/x/schedule", "1");
  auto before = root.snapshot("/");
  run_options opts;
  opts.input = "package bytes";
  for (const char* mode : {"--show", "--cleanup", "-"}) {
    run_result result = run_at_slash({"-r", root.at("/missing"), mode}, opts);
    EXPECT_EQ(result.err, "chroot: No such file or directory\n") << mode;
    EXPECT_EQ(result.out, "") << mode;
    EXPECT_EQ(result.status, 1) << mode;
  }
  EXPECT_EQ(root.snapshot("/"), before);
}

TEST_F(CommandLine, FailedChangeIntoTheCurrentRootGoesOn) {
  run_options opts;
  opts.prefix = {"setpriv", "--bounding-set=-sys_chroot", "--"};
  run_result result = run_at_slash({"-r", "/", "--show"}, opts);
  const std::string refused = "chroot: Operation not permitted\n";
  EXPECT_EQ(result.err.substr(0, refused.size()), refused) << result.err;
  EXPECT_NE(result.status, 1);
  result = run_at_slash({"-r", "/flash", "--show"}, opts);
  EXPECT_EQ(result.err, "chroot: Operation not permitted\n");
  EXPECT_EQ(result.status, 1);
}

TEST_F(CommandLine, CommitAndCancelActBeforeTheChangeOfRoot) {
  for (const char* mode : {"--commit", "--cancel"}) {
    run_result result = run_at_slash({"-r", root.at("/missing"), mode});
    EXPECT_EQ(result.err.find("chroot"), std::string::npos) << mode << ": " << result.err;
    EXPECT_NE(result.status, 1) << mode;
  }
}

TEST_F(CommandLine, CommitUsesTheManifestOfTheCurrentRoot) {
  device_root named;  // the root -r names: its manifest must stay unused
  for (const device_root* r : {&root, &named}) {
    r->write_file("/flash/.installer-FROM01", "payload");
    r->write_file("/ram/MANIFEST", "M /flash/to /flash/.installer-FROM01\n");
  }
  auto named_before = named.snapshot("/");
  run_result result = run_at_slash({"-r", named.path(), "--commit"});
  EXPECT_EQ(result.out, "finishing install... \b \n");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(root.read_file("/flash/to"), "payload");
  EXPECT_FALSE(root.exists("/flash/.installer-FROM01"));
  EXPECT_EQ(named.snapshot("/"), named_before);
}

}  // namespace
