// End-to-end scenarios: package files in a short notation built on the mkpkg
// library, and table rows that run the real installer on a device root and
// check its status, its visible lines and every entry of its trees.
//
// Package notation, words separated by blanks:
//   "alpha 7.1"                        alpha 7.1 with bin/alpha holding "alpha-7.1"
//   "alpha 7.2 bin/alpha=a2 lib/x=~900"   files (path=content; ~N: N bytes of noise)
//   depends=a,b>=7.2 provides=p conflicts=c>=7.2   lists
//   image=text   keeps its file whole as its image, with this image payload
//   boot         the boot flag      legacy / unsigned   the older signature only / none
//   "bundle kit 7.1 list=beta + alpha 7.1 + beta 7.1 unsigned"   a bundle of members
#pragma once

#include <gtest/gtest.h>

#include "pkgbuild.h"
#include "support/device_root.h"

namespace e2e {

using testsupport::device_root;
using testsupport::gone;
using testsupport::run_options;
using testsupport::run_result;
using testsupport::tree;
using lines = std::vector<std::string>;
using env_list = std::vector<std::pair<std::string, std::string>>;

// In expectations: present with any value; under a key ending in "/",
// anything at all below it.
inline const std::string any = "\x01" "any";
// In put: a directory.
inline const std::string directory = "\x01" "d755";

uint32_t version(std::string_view text);  // "7.1" packed; a bad text fails the test
// A database "version" file: the packed version and the build time.
std::string version_file(std::string_view text);
// Bytes that do not compress, the same for the same seed.
std::string noise(size_t size, uint32_t seed = 12345);

enum class signing { both, legacy_only, none };
pkgbuild::package_recipe recipe(std::string_view notation);
std::string build(const pkgbuild::package_recipe& recipe, signing how = signing::both);
// The package or bundle file of the notation; the same bytes every time.
std::string pkg(std::string_view notation);
// Signs every signature part of a hand-made file in place.
std::string signed_with(std::string file, signing how = signing::both);

// What the user saw: the lines of standard output without the progress
// line's redrawing.
lines visible_lines(const std::string& out);

enum class lines_are { exact, any_order, exact_or_none, unchecked };

struct scenario {
  std::string name{};
  bool then = false;               // goes on from the previous row's device root
  std::vector<std::string> given{};  // packages (notation) installed first by stream installs
  tree put{};                        // then written into the root (gone: removed)
  // The arguments after "-r ROOT" ("-r" is not added when they hold "-r",
  // "--commit" or "--cancel"; the root stands at "/" anyway).
  std::vector<std::string> args{};
  std::string input{};  // standard input
  env_list env{};       // of this run and of the given installs
  int status = 0;
  lines out{};
  lines_are match = lines_are::exact;
  // Entries after the run: an exact value, gone or any; a key that ends in
  // "/" or holds "*" covers many paths (any: they may change; gone: none is
  // left). Every other entry of flash, rw and ram is as before the run,
  // apart from the directories that hold an expected entry and, except in a
  // dry run, the two files any run may write directly (the post-log and the
  // stream install's copy).
  tree expect{};
  std::optional<std::string> err{};  // standard error, exactly, when given
  uint64_t flash_bytes = 0, ram_bytes = 0;
  std::vector<std::string> prefix{};                                     // words run in front
  std::function<void(const device_root&)> prepare{};                     // after put
  std::function<void(const device_root&, const run_result&)> check{};    // more checks
};

// Plays the rows in turn, each on a fresh device root with its given
// packages unless it goes on from the previous row.
void play(const std::vector<scenario>& rows);

// Runs the installer on `root` with `args` after "-r ROOT" as a row would.
run_result run(const device_root& root, std::vector<std::string> args, run_options opts = {});
// The pieces of a row: its run options, its given installs, and the checks
// of a run that went from `before` to `after`.
run_options options_of(const scenario& row);
void install_given(const device_root& root, const scenario& row);
void check_run(const scenario& row, const run_result& result, const tree& before, const tree& after);

// Rows need the sandbox: skipped with the reason where there is none.
class Scenarios : public ::testing::Test {
 protected:
  void SetUp() override { if (std::string why; !testsupport::sandbox_ready(&why)) GTEST_SKIP() << why; }
};

}  // namespace e2e
