// Test tools: a device root in a temporary directory, its trees as values
// that can be compared and written back, and the one sandbox in which the
// end-to-end tests run the built programs.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testsupport {

// Entries of device trees: device path ("/flash/bin/x") -> value. A regular
// file of mode 0644 is its content; anything else is coded after a \x01:
// "\x01" "d755" a directory, "\x01" "f600 " + content a file of another mode
// (or whose content starts with \x01), "\x01" "l " + target a link,
// "\x01" "p" a FIFO or device. In put(), `gone` removes the path.
using tree = std::map<std::string, std::string>;
inline const std::string gone = "\x01gone";
inline const std::string fifo = "\x01p";
std::string link_to(std::string_view target);
std::string with_mode(unsigned mode, std::string_view content);
// The content of a file value (after its mode, if coded).
std::string content_of(const std::string& value);

// A temporary directory laid out like a router's trees (flash/var/pdb,
// flash/boot, flash/rw/pckg, flash/var/pckg, rw/pckg/.download,
// rw/pckg/.images, ram/pdb, tmp, dev, proc). Removed when it goes away.
class device_root {
 public:
  device_root();
  ~device_root();
  device_root(const device_root&) = delete;
  device_root& operator=(const device_root&) = delete;

  const std::string& path() const { return path_; }
  std::string at(std::string_view device_path) const { return path_ + std::string(device_path); }

  void write_file(std::string_view device_path, std::string_view content, unsigned mode = 0644) const;
  void make_dirs(std::string_view device_path) const;
  void remove(std::string_view device_path) const;  // file or whole tree
  void symlink(std::string_view content, std::string_view device_path) const;

  // Every entry below the named device directories.
  tree snapshot(const std::vector<std::string>& dirs = {"/flash", "/rw", "/ram"}) const;
  // Writes every entry in map order (a directory before what it holds).
  void put(const tree& entries) const;

 private:
  std::string path_;
};

// The status is the exit status, or 128 + signal; -1 when the sandbox failed.
struct run_result { std::string out, err; int status = -1; };

struct run_options {
  std::string input{};                                   // standard input
  std::vector<std::pair<std::string, std::string>> env{};  // added to a clean environment
  // A tmpfs of this many bytes at the root's /flash (or /ram) for the run;
  // the content is copied in before and out after. 0: none.
  uint64_t flash_bytes = 0, ram_bytes = 0;
  // Words in front of the program ("setpriv", "--bounding-set=-sys_chroot", "--").
  std::vector<std::string> prefix{};
};

// Runs opts.prefix + argv in a private mount namespace whose "/" shows this
// machine's top-level directories, except that /flash, /rw and /ram are the
// root's trees: nothing a run does (--commit, --cancel, a failed change of
// root) can touch this machine's own files. The environment is PATH and the
// sanitizer settings plus opts.env. A sandbox failure fails the test.
run_result run_in(const device_root& root, std::vector<std::string> argv, const run_options& opts = {});

// True when the sandbox works here (root with the right to mount); *why
// otherwise, for GTEST_SKIP.
bool sandbox_ready(std::string* why);

inline std::string installer_path() { return INSTALLER_BIN; }
inline std::string source_dir() { return SOURCE_DIR; }

}  // namespace testsupport
