// The command line: the option scan as a unit, and start-up through the
// built program.
#include "driver/driver.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "support/scenario.h"

namespace e2e {
namespace {

// Runs the scan over `args` (program name added); returns what it found as
// "<action> c<cleanup> s<stdin> q<quiet> l<show> n<commit now> f<flags> r[root] p[printed]".
std::string scan(std::vector<std::string> args) {
  args.insert(args.begin(), "installer");
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  ::run_options o;
  scan_action action = scan_options(static_cast<int>(argv.size()), argv.data(), &o, out);
  std::fclose(out);
  const char* actions[] = {"run", "commit", "cancel", "usage", "help", "version"};
  char found[128];
  std::snprintf(found, sizeof found, "%s c%d s%d q%d l%d n%d f%u r[", actions[static_cast<int>(action)], o.cleanup,
                o.from_stdin, o.quiet, o.show, o.commit_now, static_cast<unsigned>(o.flags));
  std::string text = std::string(found).append(o.root).append("] p[").append(buffer, size).append("]");
  std::free(buffer);
  return text;
}

TEST(OptionScan, EveryOptionInOrder) {
  std::vector<std::pair<std::vector<std::string>, std::string>> rows = {
      {{}, "run c0 s0 q0 l0 n1 f0 r[] p[]"},
      {{"-q", "--show", "--safe", "-down", "-b", "--force", "--noupgrade", "-i"}, "run c0 s0 q1 l1 n0 f2 r[] p[]"},
      {{"-r", "/mnt/img", "-r", "/second"}, "run c0 s0 q0 l0 n1 f0 r[/second] p[]"},
      {{"-r", "-q"}, "run c0 s0 q0 l0 n1 f0 r[-q] p[]"},  // -r takes the next word
      {{"-", "-q", "--bogus"}, "run c0 s1 q0 l0 n1 f0 r[] p[]"},
      {{"--cleanup", "--show", "--bogus"}, "run c1 s0 q0 l0 n1 f0 r[] p[]"},
      {{"--reinstall", "--reinstall"}, "run c0 s0 q0 l0 n1 f32 r[] p[\nResuming upgrade...\n\nResuming upgrade...\n]"},
      {{"-q", "--commit", "--bogus"}, "commit c0 s0 q1 l0 n1 f0 r[] p[]"},
      {{"--cancel", "-"}, "cancel c0 s0 q0 l0 n1 f0 r[] p[]"},
      {{"--show", "-r"}, "usage c0 s0 q0 l1 n1 f0 r[] p[]"},
      {{"--reinstall", "-x"}, "usage c0 s0 q0 l0 n1 f32 r[] p[\nResuming upgrade...\n]"},
  };
  // Options are whole words, exactly: anything else asks for the usage line.
  for (const char* word : {"-Q", "--SHOW", "-rfoo", "-q ", "", "--commit-now"})
    rows.push_back({{word}, "usage c0 s0 q0 l0 n1 f0 r[] p[]"});
  for (const auto& [args, expected] : rows) EXPECT_EQ(scan(args), expected) << ::testing::PrintToString(args);
}

using CommandLine = Scenarios;

void is_help(const device_root&, const run_result& result) {
  EXPECT_EQ(result.out.substr(0, result.out.find('\n')),
            "usage: installer [-q] [-r <root>] [--safe] [-down] [--reinstall] [--dry-run] [-]");
  for (const char* option : {"--show", "--cleanup", "--commit", "--cancel", "-r ROOT", "-q", "--safe", "--dry-run",
                             "-down", "--reinstall", "--force", "--help", "--version", "Exit status", "/ram/SECURE"})
    EXPECT_NE(result.out.find(option), std::string::npos) << option;
}

// A -r that changes nothing used to go unnoticed: --commit and --cancel act
// on the current root (the saved upgrade of the root at "/" is committed,
// however -r names another), and nothing after "-" or --cleanup is read.
// As first written, a failed change of root was reported and the run went
// on in the live system. --help and --version answer before anything else.
TEST_F(CommandLine, StartUp) {
  const tree schedule = {{"/ram/pdb/x/schedule", "1"}, {"/ram/MANIFEST", "U /flash/var/pdb\n"}};
  const tree saved = {{"/flash/.installer-FROM01", "payload"}, {"/ram/MANIFEST", "M /flash/to /flash/.installer-FROM01\n"}};
  std::vector<scenario> rows = {
      {.name = "help", .args = {"--help", "--bogus"}, .match = lines_are::unchecked, .err = "", .check = is_help},
      {.name = "help, quiet", .args = {"-q", "-h"}, .match = lines_are::unchecked, .err = "", .check = is_help},
      {.name = "version", .args = {"--version"}, .out = {"installer 0.1.0"}, .err = ""},
      {.name = "usage", .args = {"-Q"}, .out = {"usage: installer [-q] [-r <root>] [-]"}, .err = ""},
      {.name = "commit elsewhere", .put = saved, .args = {"-r", "/elsewhere", "--commit"}, .out = {"finishing install... \b "},
       .expect = {{"/flash/to", "payload"}, {"/flash/.installer-FROM01", gone}},
       .err = "WARNING: -r is ignored: --commit acts on /ram/MANIFEST of the current root\n"},
      {.name = "cancel elsewhere", .args = {"--cancel", "-r", "/elsewhere"},
       .err = "WARNING: -r is ignored: --cancel acts on /ram/MANIFEST of the current root\n"},
      {.name = "a dry commit", .put = saved, .args = {"--commit", "--dry-run"},
       .out = {"would commit the 1 changes of /ram/MANIFEST"}, .err = ""},
      {.name = "a root after -", .args = {"-", "-r", "/elsewhere"}, .status = 1,
       .err = "WARNING: -r /elsewhere is ignored: no argument after - is read\ninstaller: standard input: it is empty\n"},
      {.name = "a root after --cleanup", .args = {"--cleanup", "-q", "-r", "/elsewhere"},
       .err = "WARNING: -r /elsewhere is ignored: no argument after --cleanup is read\n"},
      {.name = "another board", .args = {"--bogus"}, .env = {{"board", "qemu_p9 "}}, .out = {"usage: installer [-q] [-r <root>] [-]"}},
  };
  using words = std::vector<std::string>;
  for (const words& args : {words{"--bogus"}, {"-r"}, {"--reinstall", "--show"}, {"--commit"}, {"--cancel"}, {"-"}, {}})
    rows.push_back({.name = "the emulated board does nothing", .put = schedule, .args = args,
                    .env = {{"board", "qemu_p9"}}, .err = ""});
  for (const char* mode : {"--show", "--cleanup", "-"})
    rows.push_back({.name = std::string("a missing root, ") + mode, .put = schedule, .args = {"-r", "/missing", mode},
                    .input = "package bytes", .status = 1, .err = "chroot: No such file or directory\n"});
  // Without the right to change root, "-r /" goes on and "-r /flash" ends.
  for (const char* root : {"/", "/flash"})
    rows.push_back({.name = std::string("-r ") + root + " without chroot", .args = {"-r", root, "--show"},
                    .status = root[1] ? 1 : 0, .match = lines_are::unchecked, .err = "chroot: Operation not permitted\n",
                    .prefix = {"setpriv", "--bounding-set=-sys_chroot", "--"}});
  play(rows);
}

}  // namespace
}  // namespace e2e
