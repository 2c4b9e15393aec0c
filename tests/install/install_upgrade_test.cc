// Upgrades from the download directories through the real program: which
// directory is used, downgrades, --safe with --commit and --cancel, the
// space check, the post-log and the user's enabled and disabled choices.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "install/install_e2e.h"
#include "model/version.h"

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
  pkgbuild::package_recipe recipe = package("alpha", v72, "a2");
  for (int i = 0; i < 200; ++i)
    recipe.files->push_back(file("share/alpha/a-rather-long-file-name-" + std::to_string(i), "x"));
  put("/rw/pckg/.download/alpha.npk", build(recipe));
  auto before = flash_state(root);
  testsupport::run_options opts;
  opts.ram_bytes = 8 * 1024;
  run_result result = run({"--safe"}, opts);
  EXPECT_EQ(result.status, 28) << result.out << result.err;
  EXPECT_TRUE(has_line(result.out, "ERROR: not enough space for upgrade")) << result.out;
  EXPECT_FALSE(root.exists("/ram/MANIFEST"));
  EXPECT_EQ(flash_state(root), before);  // staged files and marker discarded
}

TEST_F(InstallUpgrade, ManifestThatCannotBeSavedForAnotherReason) {
  ASSERT_NO_FATAL_FAILURE(install(build(package("alpha", v71, "a1"))));
  put("/rw/pckg/.download/alpha.npk", build(package("alpha", v72, "a2")));
  root.make_dirs("/ram/MANIFEST/in-the-way");  // the saved form cannot take its place
  auto before = flash_state(root);
  auto ram_before = root.snapshot("/ram");
  run_result result = run({"--safe"});
  EXPECT_EQ(result.status, 1) << result.out << result.err;
  EXPECT_TRUE(has_line(result.out, "ERROR: could not save manifest: Is a directory")) << result.out;
  EXPECT_EQ(flash_state(root), before);  // staged files and marker discarded
  EXPECT_EQ(root.snapshot("/ram"), ram_before);
  EXPECT_TRUE(root.exists("/rw/pckg/.download/alpha.npk"));
  EXPECT_EQ(root.read_file("/flash/bin/alpha"), "a1");
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
  pkgbuild::bundle_recipe first = bundle("suite", v71);
  ASSERT_NO_FATAL_FAILURE(install(build_bundle(
      first, {build(package("alpha", v71, "a1")), build(package("beta", v71, "b1"))})));
  put("/ram/pdb/alpha/schedule", "disable\n");
  ASSERT_EQ(run().status, 0);
  root.remove("/ram/pdb/alpha/schedule");
  ASSERT_EQ(root.read_file("/flash/var/pdb/alpha/disabled"), "user\n");

  // The new list names alpha, which the user disabled, and beta, which the
  // user never chose: both come up disabled, alpha as the user's choice.
  pkgbuild::bundle_recipe second = bundle("suite", v72, std::vector<pkg_dep>{dep("alpha"), dep("beta")});
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
  pkgbuild::package_recipe recipe = package("kernel", v71, "k");
  recipe.flags = 1;
  recipe.image_payload = "the real kernel";
  std::string genuine = build(recipe);
  testsupport::run_options boot_env = with_env("bootimage", "1");
  ASSERT_EQ(stream(genuine, {}, boot_env).status, 0);
  ASSERT_EQ(root.read_file("/flash/bootimage"), genuine);

  // A file of the installed version is kept unread under --reinstall; its
  // body was never verified before it was moved onto the boot image.
  pkgbuild::package_recipe forged_recipe = recipe;
  forged_recipe.image_payload = "a forged kernel";
  put("/rw/pckg/.download/kernel.npk", build(forged_recipe, signing::none));
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

TEST_F(InstallUpgrade, BootFlagBelongsToOneCandidate) {
  testsupport::run_options boot_env = with_env("bootimage", "1");
  pkgbuild::package_recipe kernel = package("kernel", v71, "k");
  kernel.flags = 1;
  kernel.image_payload = "kernel 7.1";
  ASSERT_EQ(stream(build(kernel), {}, boot_env).status, 0);
  // alpha keeps its image and needs the kernel, so it comes after it.
  pkgbuild::package_recipe alpha = package("alpha", v71, "a");
  alpha.image_payload = "alpha image";
  alpha.depends = std::vector<pkg_dep>{dep("kernel")};
  std::string alpha_file = build(alpha);
  ASSERT_EQ(stream(alpha_file, {}, boot_env).status, 0);

  kernel.version = v72;
  kernel.image_payload = "kernel 7.2";
  std::string new_kernel = build(kernel);
  put("/rw/pckg/.download/kernel.npk", new_kernel);
  put("/rw/pckg/.download/alpha.npk", alpha_file);
  run_result result = run({}, boot_env);
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_EQ(visible_lines(result.out),
            (lines{"WARNING: omitting package alpha-7.1: it is already installed",
                   "installed kernel-7.2", "installed alpha-7.1"}));
  // The kernel's file became the boot image, the kept alpha's file its own
  // stored image: the kernel's boot flag did not carry over to alpha.
  EXPECT_EQ(root.read_file("/flash/bootimage"), new_kernel);
  auto flash = root.snapshot("/flash");
  EXPECT_EQ(flash["var/pdb/kernel/image"], "l /flash/bootimage");
  EXPECT_EQ(root.read_file("/flash/var/pdb/alpha/image"), alpha_file);
  EXPECT_EQ(flash["var/pdb/alpha/image"].substr(0, 2), "f ");
  EXPECT_FALSE(root.exists("/flash/bin/kernel"));
  EXPECT_TRUE(root.exists("/flash/UPGRADED"));
  EXPECT_FALSE(root.exists("/rw/pckg/.download/kernel.npk"));
  EXPECT_FALSE(root.exists("/rw/pckg/.download/alpha.npk"));
}

TEST_F(InstallUpgrade, FailedCandidateDiscardsTheWholeRun) {
  ASSERT_NO_FATAL_FAILURE(install(build(package("alpha", v71, "a1"))));
  pkgbuild::package_recipe broken = package("beta", v71);
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


TEST_F(InstallUpgrade, ReenablesInAscendingOrderOfNamesAndProvidedNames) {
  // gamma 7.1 stands against beta and zeta from 7.2 on, so the new bundle's
  // beta and zeta come up disabled while gamma 7.1 is still installed; once
  // gamma 7.2 (without the conflict) has replaced it, what was enabled
  // before the upgrade is enabled again.
  auto member = [](const std::string& name, uint32_t version, bool provides_aaa) {
    pkgbuild::package_recipe recipe = package(name, version, name + " " + version_text(version));
    if (provides_aaa) recipe.provides = std::vector<pkg_dep>{dep("aaa")};
    return recipe;
  };
  pkgbuild::package_recipe old_gamma = member("gamma", v71, false);
  old_gamma.conflicts = std::vector<pkg_dep>{dep("beta", v72), dep("zeta", v72)};
  ASSERT_NO_FATAL_FAILURE(install(build_bundle(
      bundle("suite", v71),
      {build(member("beta", v71, true)), build(member("zeta", v71, true)), build(old_gamma)})));

  put("/rw/pckg/.download/suite.npk",
      build_bundle(bundle("suite", v72), {build(member("beta", v72, true)),
                                          build(member("zeta", v72, true)),
                                          build(member("gamma", v72, false))}));
  run_result result = run();
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  // "aaa" comes first: of the two disabled records providing it the last
  // one, zeta, is taken; then "beta". Neither the order of the records
  // (beta, zeta) nor the bare names alone give this order.
  EXPECT_EQ(visible_lines(result.out),
            (lines{"enabled zeta-7.2", "enabled beta-7.2", "installed suite-7.2"}));
  for (const char* name : {"beta", "zeta", "gamma"}) {
    EXPECT_FALSE(root.exists(std::string("/flash/var/pdb/") + name + "/disabled")) << name;
    EXPECT_EQ(root.read_file(std::string("/flash/var/pdb/") + name + "/version"),
              version_line(v72, 1700000000))
        << name;
  }
  EXPECT_EQ(root.read_file("/flash/bin/gamma"), "gamma 7.2");
}

TEST_F(InstallUpgrade, UsersEnabledChoiceYieldsToAConflict) {
  // The user's choice is applied first and the conflict rule after it: a
  // package the user keeps enabled still comes up disabled when an enabled
  // package stands against its new version, and is not enabled again.
  pkgbuild::package_recipe blocker = package("blocker", v71, "b");
  blocker.conflicts = std::vector<pkg_dep>{dep("alpha", v72)};
  ASSERT_NO_FATAL_FAILURE(install(build(blocker)));
  ASSERT_NO_FATAL_FAILURE(install(build(package("alpha", v71, "a1"))));
  put("/flash/var/pdb/alpha/enabled", "user\n");

  put("/rw/pckg/.download/alpha.npk", build(package("alpha", v72, "a2")));
  run_result result = run();
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_EQ(visible_lines(result.out), lines{"installed alpha-7.2"});
  EXPECT_EQ(root.read_file("/flash/var/pdb/alpha/disabled"), "user\n");
  EXPECT_FALSE(root.exists("/flash/var/pdb/alpha/enabled"));
  EXPECT_EQ(root.read_file("/flash/x/alpha/bin/alpha"), "a2");
  EXPECT_FALSE(root.exists("/flash/bin/alpha"));
  EXPECT_EQ(root.read_file("/flash/bin/blocker"), "b");
}

TEST_F(InstallUpgrade, EmptyRepositoryIsAFailedInstallation) {
  auto before = flash_state(root);
  run_result result = run();
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_EQ(visible_lines(result.out), lines{"ERROR: router installation failed!!!"});
  EXPECT_EQ(flash_state(root), before);
  EXPECT_EQ(root.read_file("/flash/postlog"), "ERROR: router installation failed!!!\n");
}

}  // namespace
}  // namespace installtest
