// Upgrades from the download directories through the real program: which
// directory is used, downgrades, --safe with --commit and --cancel, the
// space check, the post-log and the user's enabled and disabled choices.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "install/install_e2e.h"

namespace installtest {
namespace {

using testsupport::run_result;
using lines = std::vector<std::string>;

const uint32_t v70 = final_version(7, 0);
const uint32_t v71 = final_version(7, 1);
const uint32_t v72 = final_version(7, 2);

bool has_line(const std::string& out, const std::string& line) {
  lines seen = visible_lines(out);
  return std::find(seen.begin(), seen.end(), line) != seen.end();
}

// Incompressible bytes, so that a file's size on flash is its length.
std::string noise(size_t size) {
  std::string bytes(size, '\0');
  uint32_t state = 12345;
  for (char& c : bytes) {
    state = state * 1103515245 + 12345;
    c = static_cast<char>(state >> 24);
  }
  return bytes;
}

class InstallUpgrade : public InstallE2E {
 protected:
  void put(const std::string& device_path, const std::string& bytes) {
    root.write_file(device_path, bytes);
  }
};

TEST_F(InstallUpgrade, DownloadDirectoriesInTurn) {
  put("/rw/pckg/.download/junk.npk", "not a package at all");
  put("/rw/pckg/.download/readme.txt", "ignored without a word");
  put("/flash/rw/pckg/alpha.npk", build(package("alpha", v71, "a1")));
  run_result first = run();
  ASSERT_EQ(first.status, 0) << first.out << first.err;
  EXPECT_EQ(visible_lines(first.out), (lines{"ERROR: broken package junk.npk", "installed alpha-7.1"}));
  EXPECT_EQ(root.read_file("/flash/bin/alpha"), "a1");
  EXPECT_TRUE(root.exists("/flash/rw/pckg/alpha.npk"));  // keeps no image: the file stays

  // With IGNORE the first directory is never read, not even its broken file.
  root.remove("/flash/rw/pckg/alpha.npk");
  put("/rw/pckg/.download/IGNORE", "");
  put("/rw/pckg/.download/alpha.npk", build(package("alpha", v72, "a2")));
  put("/flash/var/pckg/beta.dpk", build(package("beta", v71, "b1")));
  run_result second = run();
  ASSERT_EQ(second.status, 0) << second.out;
  EXPECT_EQ(visible_lines(second.out), lines{"installed beta-7.1"});
  EXPECT_EQ(root.read_file("/flash/bin/alpha"), "a1");
  EXPECT_EQ(root.read_file("/flash/bin/beta"), "b1");
}

TEST_F(InstallUpgrade, FileLengthMustMatchItsHeader) {
  ASSERT_NO_FATAL_FAILURE(install(build(package("base", v71))));
  put("/rw/pckg/.download/long.npk", build(package("alpha", v71)) + "extra");
  // A bundle without members.
  put("/rw/pckg/.download/bundle.npk",
      pkgbuild::whole_file(pkgbuild::part(part_bundle_header,
                                          pkgbuild::header_payload("suite", v71, 0, 0))));
  auto before = flash_state(root);
  run_result result = run();
  EXPECT_EQ(result.status, 0) << result.out;
  lines seen = visible_lines(result.out);
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (lines{"ERROR: broken package bundle.npk", "ERROR: broken package long.npk"}));
  EXPECT_EQ(flash_state(root), before);
}

TEST_F(InstallUpgrade, DowngradeHonoursTheFloor) {
  ASSERT_NO_FATAL_FAILURE(install(build(package("alpha", v72, "a2"))));
  put("/rw/pckg/.download/alpha.npk", build(package("alpha", v71, "a1")));

  // Without a request an older file is refused and nothing changes.
  auto before = flash_state(root);
  run_result normal = run();
  EXPECT_EQ(normal.status, 0) << normal.out;
  EXPECT_EQ(visible_lines(normal.out),
            lines{"WARNING: omitting package alpha-7.1: newer package alpha-7.2 is already installed"});
  EXPECT_EQ(flash_state(root), before);

  put("/ram/DOWNGRADE", std::to_string(v71) + "\n");
  run_result down = run();
  ASSERT_EQ(down.status, 0) << down.out;
  EXPECT_EQ(visible_lines(down.out), lines{"installed alpha-7.1"});
  EXPECT_EQ(root.read_file("/flash/bin/alpha"), "a1");

  // Below the floor: not allowed.
  put("/rw/pckg/.download/alpha.npk", build(package("alpha", v70, "a0")));
  before = flash_state(root);
  run_result low = run();
  EXPECT_EQ(low.status, 0) << low.out;
  EXPECT_EQ(visible_lines(low.out), lines{"WARNING: ommitting package alpha-7.0: not allowed"});
  EXPECT_EQ(flash_state(root), before);

  // An empty request allows every older version.
  put("/ram/DOWNGRADE", "");
  run_result any = run();
  ASSERT_EQ(any.status, 0) << any.out;
  EXPECT_EQ(visible_lines(any.out), lines{"installed alpha-7.0"});
  EXPECT_EQ(root.read_file("/flash/bin/alpha"), "a0");
}

TEST_F(InstallUpgrade, SafeThenCommitOrCancel) {
  ASSERT_NO_FATAL_FAILURE(install(build(package("alpha", v71, "a1"))));
  put("/rw/pckg/.download/alpha.npk", build(package("alpha", v72, "a2")));
  auto before = flash_state(root);

  run_result safe = run({"--safe"});
  ASSERT_EQ(safe.status, 0) << safe.out;
  EXPECT_EQ(visible_lines(safe.out), lines{"installed alpha-7.2"});
  EXPECT_EQ(root.read_file("/flash/bin/alpha"), "a1");
  EXPECT_FALSE(root.exists("/flash/PCKGS_CHANGED"));
  ASSERT_TRUE(root.exists("/ram/MANIFEST"));

  run_result cancel = run({"--cancel"});
  EXPECT_EQ(cancel.status, 0) << cancel.out;
  EXPECT_FALSE(root.exists("/ram/MANIFEST"));
  EXPECT_EQ(flash_state(root), before);  // the staged temporaries are gone too

  ASSERT_EQ(run({"--safe"}).status, 0);
  run_result commit = run({"--commit"});
  EXPECT_EQ(commit.status, 0) << commit.out;
  EXPECT_EQ(root.read_file("/flash/bin/alpha"), "a2");
  EXPECT_EQ(root.read_file("/flash/var/pdb/alpha/version"), version_line(v72, 1700000000));
  EXPECT_TRUE(root.exists("/flash/PCKGS_CHANGED"));
}

TEST_F(InstallUpgrade, UpgradeThatDoesNotFitChangesNothing) {
  std::string why;
  if (!testsupport::can_mount_tmpfs(&why)) GTEST_SKIP() << why;
  ASSERT_NO_FATAL_FAILURE(install(build(package("alpha", v71, "a1"))));
  put("/rw/pckg/.download/alpha.npk", build(package("alpha", v72, noise(400 * 1024))));
  auto before = flash_state(root);
  testsupport::run_options opts;
  opts.flash_bytes = 256 * 1024;
  opts.ram_bytes = 8 * 1024 * 1024;
  run_result result = run({}, opts);
  EXPECT_EQ(result.status, 28) << result.out << result.err;
  EXPECT_EQ(visible_lines(result.out), lines{"ERROR: not enough space for upgrade"});
  EXPECT_EQ(flash_state(root), before);
  EXPECT_EQ(root.read_file("/flash/bin/alpha"), "a1");
}

TEST_F(InstallUpgrade, ManifestThatCannotBeSavedIsDropped) {
  std::string why;
  if (!testsupport::can_mount_tmpfs(&why)) GTEST_SKIP() << why;
  ASSERT_NO_FATAL_FAILURE(install(build(package("alpha", v71, "a1"))));
  // Enough files that the saved manifest outgrows a tiny ram.
  pkgbuild::package_spec spec = package("alpha", v72, "a2");
  for (int i = 0; i < 200; ++i)
    spec.files->push_back(file("share/alpha/a-rather-long-file-name-" + std::to_string(i), "x"));
  put("/rw/pckg/.download/alpha.npk", build(spec));
  auto before = flash_state(root);
  testsupport::run_options opts;
  opts.ram_bytes = 8 * 1024;
  run_result result = run({"--safe"}, opts);
  EXPECT_EQ(result.status, 28) << result.out << result.err;
  EXPECT_TRUE(has_line(result.out, "ERROR: not enough space for upgrade")) << result.out;
  EXPECT_FALSE(root.exists("/ram/MANIFEST"));
  EXPECT_EQ(flash_state(root), before);  // staged files and marker discarded
}

TEST_F(InstallUpgrade, PostLogKeepsEarlierLines) {
  // An upgrade that was cut off left its 4096 zero bytes: they are no line.
  put("/flash/postlog", std::string(4096, '\0'));
  put("/rw/pckg/.download/junk.npk", "broken");
  put("/rw/pckg/.download/alpha.npk", build(package("alpha", v71)));
  ASSERT_EQ(run().status, 0);
  EXPECT_EQ(root.read_file("/flash/postlog"), "ERROR: broken package junk.npk\ninstalled alpha-7.1\n");

  // Lines of this run recorded before loading come first, then the old ones;
  // a last piece without a line end is dropped.
  root.remove("/rw/pckg/.download/alpha.npk");
  put("/flash/postlog", "earlier line\ncut off");
  put("/rw/pckg/.download/beta.npk", build(package("beta", v71)));
  ASSERT_EQ(run().status, 0);
  EXPECT_EQ(root.read_file("/flash/postlog"),
            "ERROR: broken package junk.npk\nearlier line\ninstalled beta-7.1\n");

  // A stream install appends.
  ASSERT_EQ(stream(build(package("gamma", v71, "g")), {}).status, 0);
  std::string refused_line = "WARNING: omitting package gamma-7.1: it is already installed";
  ASSERT_EQ(stream(build(package("gamma", v71, "g"))).status, 0);
  EXPECT_EQ(root.read_file("/flash/postlog"),
            "ERROR: broken package junk.npk\nearlier line\ninstalled beta-7.1\n" + refused_line +
                "\n");
}

TEST_F(InstallUpgrade, UserChoicesSurviveAnUpgrade) {
  ASSERT_NO_FATAL_FAILURE(install(build(package("base", v71))));
  ASSERT_NO_FATAL_FAILURE(install(build(package("alpha", v71, "a1"))));
  put("/ram/pdb/alpha/schedule", "disable\n");
  run_result disable = run();
  ASSERT_EQ(disable.status, 0) << disable.out;
  EXPECT_EQ(visible_lines(disable.out), lines{"disabled alpha-7.1"});
  ASSERT_EQ(root.read_file("/flash/var/pdb/alpha/disabled"), "user\n");
  root.remove("/ram/pdb/alpha/schedule");

  put("/rw/pckg/.download/alpha.npk", build(package("alpha", v72, "a2")));
  run_result result = run();
  ASSERT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(visible_lines(result.out), lines{"installed alpha-7.2"});
  EXPECT_EQ(root.read_file("/flash/var/pdb/alpha/disabled"), "user\n");
  EXPECT_EQ(root.read_file("/flash/x/alpha/bin/alpha"), "a2");
  EXPECT_FALSE(root.exists("/flash/bin/alpha"));
}

TEST_F(InstallUpgrade, BundleMemberListKeepsTheUsersChoice) {
  pkgbuild::bundle_spec first = bundle("suite", v71);
  ASSERT_NO_FATAL_FAILURE(install(build_bundle(
      first, {build(package("alpha", v71, "a1")), build(package("beta", v71, "b1"))})));
  put("/ram/pdb/alpha/schedule", "disable\n");
  ASSERT_EQ(run().status, 0);
  root.remove("/ram/pdb/alpha/schedule");
  ASSERT_EQ(root.read_file("/flash/var/pdb/alpha/disabled"), "user\n");

  // The new list names alpha, which the user disabled, and beta, which the
  // user never chose: both come up disabled, alpha as the user's choice.
  pkgbuild::bundle_spec second = bundle("suite", v72, std::vector<pkg_dep>{dep("alpha"), dep("beta")});
  put("/rw/pckg/.download/suite.npk",
      build_bundle(second, {build(package("alpha", v72, "a2")), build(package("beta", v72, "b2"))}));
  run_result result = run();
  ASSERT_EQ(result.status, 0) << result.out;
  EXPECT_TRUE(has_line(result.out, "installed suite-7.2")) << result.out;
  EXPECT_EQ(root.read_file("/flash/var/pdb/alpha/disabled"), "user\n");
  EXPECT_EQ(root.read_file("/flash/x/alpha/bin/alpha"), "a2");
  EXPECT_EQ(root.read_file("/flash/var/pdb/beta/disabled"), "auto\n");
  EXPECT_EQ(root.read_file("/flash/x/beta/bin/beta"), "b2");
  // The bundle keeps its file as its image: moved there, not copied.
  EXPECT_FALSE(root.exists("/rw/pckg/.download/suite.npk"));
  EXPECT_TRUE(root.exists("/flash/var/pdb/suite/image"));
}

TEST_F(InstallUpgrade, ForgedBootPackageNeverBecomesTheBootImage) {
  pkgbuild::package_spec spec = package("kernel", v71, "k");
  spec.flags = 1;
  spec.image_payload = "the real kernel";
  std::string genuine = build(spec);
  testsupport::run_options boot_env = with_env("bootimage", "1");
  ASSERT_EQ(stream(genuine, {}, boot_env).status, 0);
  ASSERT_EQ(root.read_file("/flash/bootimage"), genuine);

  // A file of the installed version is kept unread under --reinstall; its
  // body was never verified before it was moved onto the boot image.
  pkgbuild::package_spec forged_spec = spec;
  forged_spec.image_payload = "a forged kernel";
  put("/rw/pckg/.download/kernel.npk", build(forged_spec, signing::none));
  auto before = flash_state(root);
  run_result forged = run({"--reinstall"}, boot_env);
  EXPECT_EQ(forged.status, 0) << forged.out;
  EXPECT_TRUE(has_line(forged.out, "ERROR: installation of kernel-7.1 failed: broken package"))
      << forged.out;
  EXPECT_EQ(flash_state(root), before);
  EXPECT_EQ(root.read_file("/flash/bootimage"), genuine);

  // The genuine file is verified and moved onto the boot image.
  put("/rw/pckg/.download/kernel.npk", genuine);
  run_result resumed = run({"--reinstall"}, boot_env);
  EXPECT_EQ(resumed.status, 0) << resumed.out;
  EXPECT_EQ(root.read_file("/flash/bootimage"), genuine);
  EXPECT_FALSE(root.exists("/rw/pckg/.download/kernel.npk"));
}

TEST_F(InstallUpgrade, FailedCandidateDiscardsTheWholeRun) {
  ASSERT_NO_FATAL_FAILURE(install(build(package("alpha", v71, "a1"))));
  pkgbuild::package_spec broken = package("beta", v71);
  broken.depends = std::vector<pkg_dep>{dep("missing")};
  put("/rw/pckg/.download/alpha.npk", build(package("alpha", v72, "a2")));
  put("/rw/pckg/.download/beta.npk", build(broken));
  put("/ram/pdb/alpha/schedule", "disable\n");
  auto before = flash_state(root);
  run_result result = run();
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_TRUE(has_line(result.out,
                       "ERROR: can not install beta-7.1: missing is not installed, but is required"))
      << result.out;
  EXPECT_FALSE(has_line(result.out, "installed alpha-7.2")) << result.out;
  EXPECT_EQ(flash_state(root), before);  // the schedule's disabling is dropped as well
}

}  // namespace
}  // namespace installtest
