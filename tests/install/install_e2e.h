// Shared pieces of the end-to-end installation tests: signed package files
// built in memory, runs of the real installer on a device root, and the
// views of its output and trees that the tests compare.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pkgbuild.h"
#include "sign.h"
#include "support/device_root.h"

namespace installtest {

// Packed version: major, minor, build of a final release ("7.1", "7.1.2").
constexpr uint32_t final_version(uint32_t major, uint32_t minor, uint32_t build = 0) {
  return major << 24 | minor << 16 | uint32_t{'f'} << 8 | build;
}

enum class signing { both, legacy_only, none };

// A package named `name` whose files are bin/<name> holding `content`.
pkgbuild::package_recipe package(const std::string& name, uint32_t version,
                               const std::string& content = "");
// The package file, signed with the test keys as asked.
std::string build(const pkgbuild::package_recipe& recipe, signing how = signing::both);
std::string build_bundle(const pkgbuild::bundle_recipe& recipe,
                         const std::vector<std::string>& members);

pkgbuild::bundle_recipe bundle(const std::string& name, uint32_t version,
                             std::optional<std::vector<pkg_dep>> member_list = std::nullopt);
pkgbuild::file_entry file(const std::string& name, const std::string& data);
testsupport::run_options with_env(const std::string& name, const std::string& value);

pkg_dep dep(const std::string& name, uint32_t min_version = 0, uint32_t max_version = 0);

// Bytes that do not compress, the same for the same seed: a file's size on
// flash is then its length, and a cut in a compressed stream lands inside it.
std::string noise(size_t size, uint32_t seed = 12345);

// What the user saw: the lines of standard output without the progress
// line's redrawing (everything up to a carriage return, cursor controls).
std::vector<std::string> visible_lines(const std::string& out);

// Every entry of the root's flash except the two files any run may write
// even when it fails: the stream install's copy and the post-log.
std::map<std::string, std::string> flash_state(const testsupport::device_root& root);

// The "version" file of an installed package: version and build time.
std::string version_line(uint32_t version, uint32_t build_time = 0);

class InstallE2E : public ::testing::Test {
 protected:
  void SetUp() override;

  // `installer -r ROOT [args...] -` with the package bytes on standard input.
  testsupport::run_result stream(const std::string& bytes, std::vector<std::string> args = {},
                                 testsupport::run_options opts = {});
  // `installer -r ROOT [args...]`, the upgrade mode unless args choose another.
  testsupport::run_result run(std::vector<std::string> args = {},
                              testsupport::run_options opts = {});
  // A stream install that must succeed.
  void install(const std::string& bytes);

  testsupport::device_root root;
};

}  // namespace installtest
