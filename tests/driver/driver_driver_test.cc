// The command line: the option scan as a unit, and start-up through the
// built program.
#include "driver/driver.h"

#include <cstdlib>
#include <vector>

#include "support/scenario.h"

namespace e2e {
namespace {

// Runs the scan over `args` (program name added); returns what it printed.
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
      {{"--reinstall", "--reinstall"}, scan_action::run,
       "c0 s0 q0 l0 n1 f32 r[] p[\nResuming upgrade...\n\nResuming upgrade...\n]"},
      {{"-q", "--commit", "--bogus"}, scan_action::commit, "c0 s0 q1 l0 n1 f0 r[] p[]"},
      {{"--cancel", "-"}, scan_action::cancel, "c0 s0 q0 l0 n1 f0 r[] p[]"},
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
    std::string printed = scan(c.args, &options, &action), args;
    std::string found;  // appended: g++ 12 -O3 reports a false restrict overlap on "c" + std::to_string(...)
    for (auto [name, value] : {std::pair{"c", int(options.cleanup)}, {" s", int(options.from_stdin)},
                               {" q", int(options.quiet)}, {" l", int(options.show)}, {" n", int(options.commit_now)},
                               {" f", int(options.flags)}})
      found.append(name).append(std::to_string(value));
    found.append(" r[").append(options.root).append("] p[").append(printed).append("]");
    for (const std::string& arg : c.args) args += " '" + arg + "'";
    EXPECT_EQ(found, c.expected) << args;
    EXPECT_EQ(static_cast<int>(action), static_cast<int>(c.action)) << args;
    EXPECT_EQ(options.arch, "i386") << args;
  }
}

using CommandLine = Scenarios;

const std::string usage = "usage: installer [-q] [-r <root>] [-]";

void is_help(const device_root&, const run_result& result) {
  lines seen = visible_lines(result.out);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen[0], "usage: installer [-q] [-r <root>] [--safe] [-down] [--reinstall] [--dry-run] [-]");
  for (const char* option : {"--show", "--cleanup", "--commit", "--cancel", "-r ROOT", "-q", "--safe", "--dry-run",
                             "-down", "--reinstall", "--force", "--help", "--version", "Exit status", "/ram/SECURE"})
    EXPECT_NE(result.out.find(option), std::string::npos) << option;
}

// A -r that changes nothing used to go unnoticed: --commit and --cancel act
// on the current root, and nothing after "-" or --cleanup is read. As first
// written, a failed change of root was reported and the run went on in the
// live system. --help and --version answer before anything else.
TEST_F(CommandLine, StartUp) {
  const std::string ignored = "WARNING: -r is ignored: --";
  const tree schedule = {{"/ram/pdb/x/schedule", "1"}, {"/ram/MANIFEST", "U /flash/var/pdb\n"}};
  std::vector<scenario> rows = {
      {.name = "help", .args = {"--help", "--bogus"}, .match = lines_are::unchecked, .err = "", .check = is_help},
      {.name = "help, quiet", .args = {"-q", "-h"}, .match = lines_are::unchecked, .err = "", .check = is_help},
      {.name = "version", .args = {"--version"}, .out = {"installer 0.1.0"}, .err = ""},
      {.name = "usage", .args = {"-Q"}, .out = {usage}, .err = ""},
      {.name = "usage after resuming", .args = {"--reinstall", "-r"}, .out = {"", "Resuming upgrade...", usage}},
      {.name = "commit elsewhere", .args = {"-r", "/elsewhere", "--commit"}, .out = {"finishing install... \b "},
       .err = ignored + "commit acts on /ram/MANIFEST of the current root\n"},
      {.name = "cancel elsewhere", .args = {"--cancel", "-r", "/elsewhere"},
       .err = ignored + "cancel acts on /ram/MANIFEST of the current root\n"},
      {.name = "a dry commit", .args = {"--commit", "--dry-run"}, .err = ""},
      {.name = "a root after -", .args = {"-", "-r", "/elsewhere"}, .status = 1,
       .err = "WARNING: -r /elsewhere is ignored: no argument after - is read\ninstaller: standard input: it is empty\n"},
      {.name = "a root after --cleanup", .args = {"--cleanup", "-q", "-r", "/elsewhere"},
       .err = "WARNING: -r /elsewhere is ignored: no argument after --cleanup is read\n"},
      {.name = "another board", .args = {"--bogus"}, .env = {{"board", "qemu_p9 "}}, .out = {usage}},
  };
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--bogus"}, {"-r"}, {"--reinstall", "--show"}, {"--commit"}, {"--cancel"}, {"-"}, {}})
    rows.push_back({.name = "the emulated board does nothing", .put = schedule, .args = args,
                    .env = {{"board", "qemu_p9"}}, .err = ""});
  for (const char* mode : {"--show", "--cleanup", "-"})
    rows.push_back({.name = std::string("a missing root, ") + mode, .put = schedule, .args = {"-r", "/missing", mode},
                    .input = "package bytes", .status = 1, .err = "chroot: No such file or directory\n"});
  // Without the right to change root, "-r /" goes on and "-r /flash" ends.
  const std::vector<std::string> no_chroot = {"setpriv", "--bounding-set=-sys_chroot", "--"};
  rows.push_back({.name = "-r / without chroot", .args = {"-r", "/", "--show"}, .match = lines_are::unchecked,
                  .prefix = no_chroot, .check = [](const device_root&, const run_result& result) {
                    EXPECT_EQ(result.err.rfind("chroot: Operation not permitted\n", 0), 0u) << result.err;
                    EXPECT_NE(result.status, 1);
                  }});
  rows.push_back({.name = "-r /flash without chroot", .args = {"-r", "/flash", "--show"}, .status = 1,
                  .err = "chroot: Operation not permitted\n", .prefix = no_chroot});
  // --commit uses the manifest of the root at "/", not of the one named.
  device_root named;
  const tree saved = {{"/flash/.installer-FROM01", "payload"}, {"/ram/MANIFEST", "M /flash/to /flash/.installer-FROM01\n"}};
  named.put(saved);
  const tree named_before = named.snapshot();
  rows.push_back({.name = "commit of the current root", .put = saved, .args = {"-r", named.path(), "--commit"},
                  .out = {"finishing install... \b "},
                  .expect = {{"/flash/to", "payload"}, {"/flash/.installer-FROM01", gone}},
                  .check = [&](const device_root&, const run_result&) { EXPECT_EQ(named.snapshot(), named_before); }});
  play(rows);
}

}  // namespace
}  // namespace e2e
