// Stream installs (`installer -r ROOT -`) through the real program: what is
// installed, what is refused, and that a refused package changes nothing on
// flash.
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

class InstallStream : public InstallE2E {
 protected:
  // Runs a stream install that must fail with `status` and leave flash as it was.
  run_result refused(const std::string& bytes, int status, std::vector<std::string> args = {},
                     testsupport::run_options opts = {}) {
    auto before = flash_state(root);
    run_result result = stream(bytes, args, opts);
    EXPECT_EQ(result.status, status) << result.out << result.err;
    EXPECT_EQ(flash_state(root), before) << result.out;
    return result;
  }
};

TEST_F(InstallStream, NewPackage) {
  run_result result = stream(build(package("alpha", v71, "alpha 7.1")));
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_EQ(visible_lines(result.out), lines{});
  EXPECT_EQ(root.read_file("/flash/bin/alpha"), "alpha 7.1");
  EXPECT_EQ(root.read_file("/flash/var/pdb/alpha/version"), version_line(v71, 1700000000));
  EXPECT_EQ(root.read_file("/flash/var/pdb/alpha/deps"), "");
  EXPECT_EQ(root.read_file("/flash/var/pdb/alpha/files"), "flash/bin/alpha\n");
  EXPECT_FALSE(root.exists("/flash/var/pdb/alpha/disabled"));
  EXPECT_FALSE(root.exists("/flash/var/pdb/alpha/image"));
  EXPECT_FALSE(root.exists("/rw/CONVERT"));
}

TEST_F(InstallStream, NewerVersionReplacesFiles) {
  pkgbuild::package_recipe old_recipe = package("alpha", v71, "old");
  old_recipe.files->push_back(file("lib/only-old", "gone soon"));
  ASSERT_NO_FATAL_FAILURE(install(build(old_recipe)));
  ASSERT_TRUE(root.exists("/flash/lib/only-old"));

  pkgbuild::package_recipe new_recipe = package("alpha", v72, "new");
  new_recipe.files->push_back(file("lib/only-new", "fresh"));
  run_result result = stream(build(new_recipe));
  ASSERT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(root.read_file("/flash/bin/alpha"), "new");
  EXPECT_FALSE(root.exists("/flash/lib/only-old"));
  EXPECT_EQ(root.read_file("/flash/lib/only-new"), "fresh");
  EXPECT_EQ(root.read_file("/flash/var/pdb/alpha/version"), version_line(v72, 1700000000));
  EXPECT_EQ(root.read_file("/flash/var/pdb/alpha/files"), "flash/bin/alpha\nflash/lib/only-new\n");
}

TEST_F(InstallStream, OlderVersionNeedsDown) {
  ASSERT_NO_FATAL_FAILURE(install(build(package("alpha", v72, "new"))));
  std::string older = build(package("alpha", v71, "old"));
  run_result result = refused(older, 1);
  EXPECT_EQ(visible_lines(result.out),
            lines{"WARNING: omitting package alpha-7.1: newer package alpha-7.2 is already installed"});

  result = stream(older, {"-down"});
  ASSERT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(root.read_file("/flash/bin/alpha"), "old");
  EXPECT_EQ(root.read_file("/flash/var/pdb/alpha/version"), version_line(v71, 1700000000));
}

TEST_F(InstallStream, SameVersionIsKept) {
  std::string file = build(package("alpha", v71, "one"));
  ASSERT_NO_FATAL_FAILURE(install(file));
  auto before = flash_state(root);

  run_result plain = stream(file);
  EXPECT_EQ(plain.status, 0) << plain.out;
  EXPECT_EQ(visible_lines(plain.out),
            lines{"WARNING: omitting package alpha-7.1: it is already installed"});
  EXPECT_EQ(flash_state(root), before);

  run_result again = stream(file, {"--reinstall"});
  EXPECT_EQ(again.status, 0) << again.out;
  EXPECT_EQ(visible_lines(again.out), (lines{"", "Resuming upgrade...", "installed alpha-7.1"}));
  EXPECT_EQ(flash_state(root), before);
}

TEST_F(InstallStream, SignatureLevels) {
  // 7.1 needs the Ed25519 signature; the older one alone is a broken package.
  run_result weak = refused(build(package("alpha", v71), signing::legacy_only), 1);
  EXPECT_EQ(visible_lines(weak.out), lines{"ERROR: installation of alpha-7.1 failed: broken package"});
  EXPECT_FALSE(root.exists("/flash/var/pdb/alpha"));

  run_result unsigned_package = refused(build(package("alpha", v71), signing::none), 1);
  EXPECT_EQ(visible_lines(unsigned_package.out),
            lines{"ERROR: installation of alpha-7.1 failed: broken package"});

  // 6.40 may carry the older signature, unless the device insists on Ed25519.
  std::string old_release = build(package("beta", final_version(6, 40)), signing::legacy_only);
  root.write_file("/ram/SECURE", "");
  run_result secure = refused(old_release, 1);
  EXPECT_EQ(visible_lines(secure.out), lines{"ERROR: installation of beta-6.40 failed: broken package"});
  root.remove("/ram/SECURE");
  run_result accepted = stream(old_release);
  EXPECT_EQ(accepted.status, 0) << accepted.out;
  EXPECT_TRUE(root.exists("/flash/bin/beta"));
}

TEST_F(InstallStream, MissingDependencyIsRefused) {
  pkgbuild::package_recipe recipe = package("alpha", v71);
  recipe.depends = std::vector<pkg_dep>{dep("gamma")};
  run_result result = refused(build(recipe), 1);
  EXPECT_EQ(visible_lines(result.out),
            lines{"ERROR: can not install alpha-7.1: gamma is not installed, but is required"});
}

TEST_F(InstallStream, ConflictAloneInstallsDisabled) {
  pkgbuild::package_recipe blocker = package("alpha", v71);
  blocker.conflicts = std::vector<pkg_dep>{dep("beta")};
  ASSERT_NO_FATAL_FAILURE(install(build(blocker)));
  run_result result = stream(build(package("beta", v71, "beta")));
  ASSERT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(visible_lines(result.out), lines{});
  EXPECT_EQ(root.read_file("/flash/var/pdb/beta/disabled"), "auto\n");
  EXPECT_EQ(root.read_file("/flash/x/beta/bin/beta"), "beta");
  EXPECT_FALSE(root.exists("/flash/bin/beta"));
}

TEST_F(InstallStream, ConflictWithBundleIsRefused) {
  pkgbuild::package_recipe blocker = package("alpha", v71);
  blocker.conflicts = std::vector<pkg_dep>{dep("suite")};
  ASSERT_NO_FATAL_FAILURE(install(build(blocker)));
  pkgbuild::bundle_recipe suite = bundle("suite", v71);
  run_result result = refused(build_bundle(suite, {build(package("beta", v71))}), 2);
  EXPECT_EQ(visible_lines(result.out),
            lines{"ERROR: can not install suite-7.1: it conflicts with alpha-7.1"});
}

TEST_F(InstallStream, BundleUpgradeUninstallsDroppedMember) {
  pkgbuild::bundle_recipe first = bundle("suite", v71);
  run_result installed = stream(build_bundle(
      first, {build(package("alpha", v71, "a1")), build(package("beta", v71, "b1"))}));
  ASSERT_EQ(installed.status, 0) << installed.out;
  EXPECT_EQ(root.read_file("/flash/bin/alpha"), "a1");
  EXPECT_EQ(root.read_file("/flash/bin/beta"), "b1");
  EXPECT_EQ(root.read_file("/flash/var/pdb/alpha/bundle"), "suite\n");

  pkgbuild::bundle_recipe second = bundle("suite", v72);
  run_result upgraded = stream(build_bundle(second, {build(package("alpha", v72, "a2"))}));
  ASSERT_EQ(upgraded.status, 0) << upgraded.out;
  EXPECT_EQ(root.read_file("/flash/bin/alpha"), "a2");
  EXPECT_FALSE(root.exists("/flash/bin/beta"));
  EXPECT_FALSE(root.exists("/flash/var/pdb/beta"));
  EXPECT_EQ(root.read_file("/flash/var/pdb/alpha/version"), version_line(v72, 1700000000));
}

TEST_F(InstallStream, BundleMemberListInstallsUnchosenMembersDisabled) {
  pkgbuild::bundle_recipe suite = bundle("suite", v71, std::vector<pkg_dep>{dep("beta")});
  run_result result = stream(build_bundle(
      suite, {build(package("alpha", v71, "a")), build(package("beta", v71, "b"))}));
  ASSERT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(root.read_file("/flash/bin/alpha"), "a");
  EXPECT_FALSE(root.exists("/flash/var/pdb/alpha/disabled"));
  EXPECT_EQ(root.read_file("/flash/x/beta/bin/beta"), "b");
  EXPECT_EQ(root.read_file("/flash/var/pdb/beta/disabled"), "auto\n");
}

TEST_F(InstallStream, BrokenPackagesChangeNothing) {
  ASSERT_NO_FATAL_FAILURE(install(build(package("alpha", v71, "one"))));
  std::string good = build(package("alpha", v72, "two"));

  // Cut right after the files: the signature is missing.
  auto parts = pkgbuild::list_parts(good);
  ASSERT_GE(parts.size(), 3u);
  const pkgbuild::part_info& signature = parts.back();
  ASSERT_EQ(signature.type, part_signature);
  std::string truncated = good.substr(0, signature.offset);
  run_result cut = refused(truncated, 1);
  EXPECT_EQ(visible_lines(cut.out), lines{"ERROR: installation of alpha-7.2 failed: broken package"});

  // Data after the signature of a package on its own.
  std::string body = good.substr(8) + pkgbuild::part(part_provides, pkgbuild::dep_list_payload({}));
  run_result trailing = refused(pkgbuild::whole_file(body), 1);
  EXPECT_EQ(visible_lines(trailing.out),
            lines{"ERROR: installation of alpha-7.2 failed: broken package"});

  // An architecture part and an empty dependency list may follow it.
  std::string tail = pkgbuild::part(part_architecture, "i386") +
                     pkgbuild::part(part_depends, "");
  run_result accepted = stream(pkgbuild::whole_file(good.substr(8) + tail));
  EXPECT_EQ(accepted.status, 0) << accepted.out;
  EXPECT_EQ(root.read_file("/flash/bin/alpha"), "two");
}

TEST_F(InstallStream, BundleOfUnsignedInstalledMembersIsRefused) {
  // Kept members used to return before their signature was read, so a new
  // bundle of forged copies of the installed members replaced the installed
  // bundle's record.
  pkgbuild::bundle_recipe first = bundle("suite", v71);
  ASSERT_NO_FATAL_FAILURE(install(build_bundle(first, {build(package("alpha", v71, "a"))})));
  std::string forged = build(package("alpha", v71, "a"), signing::none);
  pkgbuild::bundle_recipe second = bundle("suite", v72);
  run_result result = refused(build_bundle(second, {forged}), 2);
  EXPECT_EQ(visible_lines(result.out),
            lines{"ERROR: installation of suite-7.2 failed: broken package"});

  // The same bundle version again, resumed: the forged member is kept as
  // installed only after its signature was read, so it is refused too.
  run_result resumed = refused(build_bundle(first, {forged}), 2, {"--reinstall"});
  EXPECT_EQ(visible_lines(resumed.out),
            (lines{"", "Resuming upgrade...", "ERROR: installation of suite-7.1 failed: broken package"}));
  run_result genuine =
      stream(build_bundle(first, {build(package("alpha", v71, "a"))}), {"--reinstall"});
  EXPECT_EQ(genuine.status, 0) << genuine.out;
}

TEST_F(InstallStream, BundleMemberWithMissingDependencyIsReported) {
  pkgbuild::package_recipe member = package("alpha", v71);
  member.depends = std::vector<pkg_dep>{dep("gamma")};
  pkgbuild::bundle_recipe suite = bundle("suite", v71);
  run_result result = refused(build_bundle(suite, {build(member)}), 2);
  EXPECT_EQ(visible_lines(result.out),
            lines{"ERROR: can not install alpha-7.1: gamma is not installed, but is required"});
}

TEST_F(InstallStream, KeptPackageStoresItsWholeImage) {
  // The copy of a package kept at its installed version used to stop where
  // reading stopped, and that truncated copy became the stored image.
  pkgbuild::package_recipe recipe = package("alpha", v71, "a");
  recipe.image_payload = std::string(20000, 'i');
  std::string file = build(recipe);
  ASSERT_NO_FATAL_FAILURE(install(file));
  ASSERT_EQ(root.read_file("/flash/var/pdb/alpha/image"), file);

  run_result again = stream(file, {"--reinstall"});
  EXPECT_EQ(again.status, 0) << again.out;
  EXPECT_EQ(root.read_file("/flash/var/pdb/alpha/image"), file);

  // A forged file of the same version is not taken for the stored image.
  std::string forged = build(recipe, signing::none);
  run_result refused_run = refused(forged, 1, {"--reinstall"});
  EXPECT_EQ(root.read_file("/flash/var/pdb/alpha/image"), file);
}

TEST_F(InstallStream, BootPackageWithBootImageSet) {
  pkgbuild::package_recipe recipe = package("kernel", v71, "not extracted");
  recipe.flags = 1;
  recipe.image_payload = "boot image payload";
  std::string file = build(recipe);
  run_result result = stream(file, {}, with_env("bootimage", "1"));
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_FALSE(root.exists("/flash/bin/kernel"));
  EXPECT_EQ(root.read_file("/flash/bootimage"), file);
  EXPECT_EQ(root.snapshot("/flash").at("var/pdb/kernel/image"), "l /flash/bootimage");
  EXPECT_TRUE(root.exists("/flash/UPGRADED"));

  // Resumed with a forged body of the installed version: refused, and the
  // received copy never reaches the boot image.
  pkgbuild::package_recipe forged = recipe;
  forged.image_payload = "forged boot image payload";
  run_result refused_run = refused(build(forged, signing::none), 1, {"--reinstall"},
                                   with_env("bootimage", "1"));
  EXPECT_EQ(visible_lines(refused_run.out),
            (lines{"", "Resuming upgrade...", "ERROR: installation of kernel-7.1 failed: broken package"}));
  EXPECT_EQ(root.read_file("/flash/bootimage"), file);

  // The genuine file resumed is kept as installed and its copy, read whole,
  // is the boot image again.
  run_result resumed = stream(file, {"--reinstall"}, with_env("bootimage", "1"));
  EXPECT_EQ(resumed.status, 0) << resumed.out;
  EXPECT_EQ(visible_lines(resumed.out), (lines{"", "Resuming upgrade...", "installed kernel-7.1"}));
  EXPECT_EQ(root.read_file("/flash/bootimage"), file);
  EXPECT_EQ(root.snapshot("/flash").at("var/pdb/kernel/image"), "l /flash/bootimage");

  // The same boot package sent again used to land as a plain copy over the
  // image link, leaving the boot image unlinked from its package.
  stream(file, {}, with_env("bootimage", "1"));
  EXPECT_EQ(root.read_file("/flash/bootimage"), file);
  EXPECT_EQ(root.snapshot("/flash").at("var/pdb/kernel/image"), "l /flash/bootimage");
}

TEST_F(InstallStream, SystemPackageMarksConversionEvenWhenRefused) {
  pkgbuild::package_recipe recipe = package("system", final_version(6, 40));
  recipe.depends = std::vector<pkg_dep>{dep("missing")};
  refused(build(recipe), 1);
  EXPECT_TRUE(root.exists("/rw/CONVERT"));

  root.remove("/rw/CONVERT");
  refused(build(package("system", v71), signing::none), 1);
  EXPECT_FALSE(root.exists("/rw/CONVERT"));
}

TEST_F(InstallStream, BundleWithoutMembersAndUnopenableCopy) {
  ASSERT_NO_FATAL_FAILURE(install(build(package("base", v71))));
  std::string empty_bundle = pkgbuild::whole_file(
      pkgbuild::part(part_bundle_header, pkgbuild::header_payload("suite", v71, 0, 0)));
  refused(empty_bundle, 3);

  // The copy cannot be created: nothing is read, and nothing is logged.
  root.remove("/flash/var/pdb/image");
  root.make_dirs("/flash/var/pdb/image");
  run_result no_copy = refused(build(package("alpha", v71)), 255);
  EXPECT_EQ(no_copy.out, "ERROR: could not open image\n");
  EXPECT_FALSE(root.exists("/flash/postlog"));
}

TEST_F(InstallStream, ImageCopyOnFullFlashFails) {
  std::string why;
  if (!testsupport::can_mount_tmpfs(&why)) GTEST_SKIP() << why;
  // A payload that fits in ram but not in what is left of the flash.
  pkgbuild::package_recipe recipe = package("alpha", v71, "a");
  std::string payload(700 * 1024, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7919 >> 3);
  recipe.image_payload = payload;
  testsupport::run_options opts;
  opts.flash_bytes = 512 * 1024;
  opts.ram_bytes = 4 * 1024 * 1024;
  run_result result = refused(build(recipe), 1, {}, opts);
  EXPECT_EQ(visible_lines(result.out),
            lines{"ERROR: installation of alpha-7.1 failed: disk is too small"});
  EXPECT_FALSE(root.exists("/flash/var/pdb/alpha"));
}


TEST_F(InstallStream, BundleResultCodes) {
  ASSERT_NO_FATAL_FAILURE(install(build(package("base", v71))));
  std::string header = pkgbuild::part(part_bundle_header, pkgbuild::header_payload("suite", v71, 0, 0));
  // The members' parts, from their package header on, without a file header.
  std::string alpha = build(package("alpha", v71, "a")).substr(8);
  std::string named_like_bundle = build(package("suite", v71, "s")).substr(8);
  const struct {
    const char* what;
    std::string file;
    int status;
  } cases[] = {
      {"a bundle that depends on something",
       pkgbuild::whole_file(header + pkgbuild::part(part_depends, pkgbuild::dep_list_payload({dep("base")})) + alpha),
       1},
      {"a bundle that provides something",
       pkgbuild::whole_file(header + pkgbuild::part(part_provides, pkgbuild::dep_list_payload({dep("x")})) + alpha),
       1},
      {"a member named like its bundle", pkgbuild::whole_file(header + named_like_bundle), 2},
      {"a list after the last member",
       pkgbuild::whole_file(header + alpha + pkgbuild::part(part_conflicts, pkgbuild::dep_list_payload({}))),
       2},
      {"files after the last member",
       pkgbuild::whole_file(header + alpha + pkgbuild::part(part_files, "")), 2},
      {"no member, only an architecture", pkgbuild::whole_file(header + pkgbuild::part(part_architecture, "i386")), 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    run_result result = refused(c.file, c.status);
    EXPECT_EQ(visible_lines(result.out), lines{});
  }
  // The same members with an architecture part after the last one are fine.
  run_result accepted =
      stream(pkgbuild::whole_file(header + alpha + pkgbuild::part(part_architecture, "i386")));
  EXPECT_EQ(accepted.status, 0) << accepted.out;
  EXPECT_EQ(root.read_file("/flash/bin/alpha"), "a");
  EXPECT_EQ(root.read_file("/flash/var/pdb/alpha/bundle"), "suite\n");
}

TEST_F(InstallStream, QuietAfterTheDashIsIgnored) {
  // Scanning stops at "-", so a later "-q" leaves the run as talkative as ever.
  pkgbuild::package_recipe recipe = package("alpha", v71);
  recipe.depends = std::vector<pkg_dep>{dep("gamma")};
  auto before = flash_state(root);
  testsupport::run_options opts;
  opts.input = build(recipe);
  run_result result = testsupport::run_installer({"-r", root.path(), "-", "-q"}, opts);
  EXPECT_EQ(result.status, 1) << result.out << result.err;
  EXPECT_EQ(visible_lines(result.out),
            lines{"ERROR: can not install alpha-7.1: gamma is not installed, but is required"});
  EXPECT_EQ(flash_state(root), before);

  // Given before the dash it silences the run.
  run_result quiet = testsupport::run_installer({"-r", root.path(), "-q", "-"}, opts);
  EXPECT_EQ(quiet.status, 1) << quiet.out << quiet.err;
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(flash_state(root), before);
}

}  // namespace
}  // namespace installtest
