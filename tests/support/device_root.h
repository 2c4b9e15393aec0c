// Test tools: a device root in a temporary directory, and a runner that starts
// the built installer in it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testsupport {

// A temporary directory laid out like a router's trees: flash/var/pdb,
// flash/boot, flash/rw/pckg, flash/var/pckg, rw/pckg/.download,
// rw/pckg/.images, ram/pdb, tmp, dev, proc. Removed when it goes away.
class device_root {
 public:
  device_root();
  ~device_root();
  device_root(const device_root&) = delete;
  device_root& operator=(const device_root&) = delete;

  const std::string& path() const { return path_; }
  // The host path of a device path: at("/flash/x") = path() + "/flash/x".
  std::string at(std::string_view device_path) const;

  void write_file(std::string_view device_path, std::string_view content, unsigned mode = 0644) const;
  std::string read_file(std::string_view device_path) const;  // "" when missing
  bool exists(std::string_view device_path) const;            // lstat succeeds
  void make_dirs(std::string_view device_path) const;
  void remove(std::string_view device_path) const;            // file or whole tree
  void symlink(std::string_view content, std::string_view device_path) const;

  // Every entry below a device directory: relative path -> "f <mode> <content>",
  // "l <link content>", "d <mode>" or "p <mode>" (a FIFO or device). Compare two snapshots to prove a tree
  // unchanged.
  std::map<std::string, std::string> snapshot(std::string_view device_dir = "/flash") const;

 private:
  std::string path_;
};

struct run_result {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or 128 + signal
};

struct run_options {
  std::string input;                                      // standard input
  std::vector<std::pair<std::string, std::string>> env;   // added to a clean environment
  // Put the root's flash (or ram) on its own tmpfs of this many bytes for the
  // run, inside a private mount namespace; the content is copied in before and
  // out after, so the root's directories hold the result as usual. A copy that
  // does not fit fails the test. Needs can_mount_tmpfs().
  std::optional<uint64_t> flash_bytes;
  std::optional<uint64_t> ram_bytes;
  // The device root whose trees the run sees at "/flash", "/rw" and "/ram".
  // Empty: the directory after the first "-r" of the arguments. Set it when
  // the arguments name no root of their own (a lone "-r", "-r /missing") or
  // when "-r" names a different root than the one whose "/ram" --commit and
  // --cancel must act on (they act before the change of root).
  std::string slash_root;
  // Words run in front of the installer, which gets its path and arguments
  // after them, e.g. {"setpriv", "--bounding-set=-sys_chroot", "--"} to take
  // away the right to change root, or {"sh", "-c", "...", "sh"} to run a
  // shell command in the installer's place (tests of this runner).
  std::vector<std::string> prefix;
};

// Runs `build/installer ARGS...` with standard input, a clean environment
// (PATH, the tests' ASAN_OPTIONS with leak checking off and UBSAN_OPTIONS,
// plus opts.env) and returns what it printed and its status.
//
// Where private mount namespaces are possible (root, or user namespaces
// allowed) every run happens in one: "/" there shows the machine's own
// top-level directories except that "/flash", "/rw" and "/ram" are the device
// root's trees (see slash_root), so nothing a run does, not even --commit or
// --cancel or a run whose change of root failed, can touch this machine's own
// files. As an ordinary user the namespace is a user namespace mapped to root,
// so the installer's chroot into the device root works.
// Without private mounts (root in a restricted container) a run whose
// arguments hold "-r DIR" and neither --commit nor --cancel runs directly;
// anything else fails the test. A runner failure (namespace set-up, copying,
// a run over 300 seconds) fails the test and gives status -1.
run_result run_installer(const std::vector<std::string>& args, const run_options& opts = {});

// The same for any program (mkpkg, say), without namespaces, with the clean
// environment.
run_result run_program(const std::vector<std::string>& argv, const std::string& input = {});

// True when runs can change root (root, or user namespaces allowed);
// otherwise *why says what is missing. Tests GTEST_SKIP with that reason.
bool can_run_installer(std::string* why);
// True when private mount namespaces are possible, and with them tmpfs
// placement and slash_root other than the "-r" root; *why otherwise.
bool can_mount_tmpfs(std::string* why);

std::string installer_path();
std::string mkpkg_path();
std::string source_dir();
std::string test_key_file();

}  // namespace testsupport
