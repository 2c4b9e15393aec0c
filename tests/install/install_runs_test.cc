// Stream installs, upgrades from the download directories, --safe with
// --commit and --cancel, the user's choices, and runs that must keep the
// work already done: the real program on a device root, one row per run.
#include <string>
#include <vector>

#include "support/scenario.h"

namespace e2e {
namespace {

using InstallRuns = Scenarios;

const std::string pdb = "/flash/var/pdb/";
const std::string dl = "/rw/pckg/.download/";
const tree saved_upgrade = {{"/ram/MANIFEST", any}, {"/ram/MANIFEST.verified*", any}, {"/flash/*.installer-*", any},
                            {pdb + ".staging", any}};
const tree nothing_staged = {{"/ram/MANIFEST*", gone},
                             {"/flash/*.installer-*", gone}, {pdb + ".staging", gone}};
const lines resuming = {"", "Resuming upgrade..."};
const env_list boot = {{"bootimage", "1"}};

tree with(tree entries, const tree& more) {
  entries.insert(more.begin(), more.end());
  return entries;
}

TEST_F(InstallRuns, StreamInstall) {
  const std::string alpha72 = pkg("alpha 7.2");
  const std::string suite = pkgbuild::part(part_bundle_header, pkgbuild::header_payload("suite", version("7.1"), 0, 0));
  const std::string member = pkg("alpha 7.1").substr(8);
  play({
      {.name = "a new package", .args = {"-"}, .input = pkg("alpha 7.1"),
       .expect = {{"/flash/bin/alpha", "alpha-7.1"}, {pdb + "alpha/version", version_file("7.1")},
                  {pdb + "alpha/deps", ""}, {pdb + "alpha/files", "flash/bin/alpha\n"}}},
      {.name = "a newer version", .given = {"alpha 7.1 lib/old=x"}, .args = {"-"}, .input = pkg("alpha 7.2 lib/new=y"),
       .expect = {{"/flash/bin/alpha", "alpha-7.2"}, {"/flash/lib/old", gone}, {"/flash/lib/new", "y"},
                  {pdb + "alpha/version", version_file("7.2")}, {pdb + "alpha/files", "flash/bin/alpha\nflash/lib/new\n"}}},
      {.name = "an older version", .given = {"alpha 7.2"}, .args = {"-"}, .input = pkg("alpha 7.1"), .status = 1,
       .out = {"WARNING: omitting package alpha-7.1: newer package alpha-7.2 is already installed"}},
      {.name = "an older version with -down", .given = {"alpha 7.2"}, .args = {"-down", "-"}, .input = pkg("alpha 7.1"),
       .expect = {{"/flash/bin/alpha", "alpha-7.1"}, {pdb + "alpha/version", version_file("7.1")}}},
      {.name = "the same version", .given = {"alpha 7.1"}, .args = {"-"}, .input = pkg("alpha 7.1"),
       .out = {"WARNING: omitting package alpha-7.1: it is already installed"}},
      {.name = "a missing dependency; -q after the dash is not read", .args = {"-", "-q"},
       .input = pkg("alpha 7.1 depends=gamma"), .status = 1,
       .out = {"ERROR: can not install alpha-7.1: gamma is not installed, but is required"}},
      {.name = "a conflict installs disabled", .given = {"alpha 7.1 conflicts=beta"}, .args = {"-"}, .input = pkg("beta 7.1"),
       .expect = {{"/flash/x/beta/bin/beta", "beta-7.1"}, {pdb + "beta/disabled", "auto\n"}, {pdb + "beta/", any}}},
      {.name = "a conflict with a bundle", .given = {"alpha 7.1 conflicts=suite"}, .args = {"-"},
       .input = pkg("bundle suite 7.1 + beta 7.1"), .status = 2,
       .out = {"ERROR: can not install suite-7.1: it conflicts with alpha-7.1"}},
      {.name = "a bundle upgrade drops a member", .given = {"bundle suite 7.1 + alpha 7.1 + beta 7.1"}, .args = {"-"},
       .input = pkg("bundle suite 7.2 + alpha 7.2"),
       .expect = {{"/flash/bin/alpha", "alpha-7.2"}, {pdb + "alpha/bundle", "suite\n"}, {pdb + "alpha/", any},
                  {pdb + "suite/", any}, {"/flash/bin/beta", gone}, {pdb + "beta/", gone}}},
      {.name = "members the list leaves out install disabled", .args = {"-"},
       .input = pkg("bundle suite 7.1 list=beta + alpha 7.1 + beta 7.1"),
       .expect = {{"/flash/bin/alpha", "alpha-7.1"}, {pdb + "alpha/disabled", gone}, {pdb + "alpha/", any},
                  {"/flash/x/beta/bin/beta", "beta-7.1"}, {pdb + "beta/disabled", "auto\n"}, {pdb + "beta/", any},
                  {pdb + "suite/", any}}},
      {.name = "a member's missing dependency", .args = {"-"}, .input = pkg("bundle suite 7.1 + alpha 7.1 depends=gamma"),
       .status = 2, .out = {"ERROR: can not install alpha-7.1: gamma is not installed, but is required"}},
      {.name = "a list after the signature", .given = {"alpha 7.1"}, .args = {"-"},
       .input = pkgbuild::whole_file(alpha72.substr(8) + pkgbuild::part(part_provides, pkgbuild::dep_list_payload({}))),
       .status = 1, .out = {"ERROR: installation of alpha-7.2 failed: broken package"}},
      {.name = "an architecture and an empty list after the signature", .given = {"alpha 7.1"}, .args = {"-"},
       .input = pkgbuild::whole_file(alpha72.substr(8) + pkgbuild::part(part_architecture, "i386") +
                                     pkgbuild::part(part_depends, "")),
       .expect = {{"/flash/bin/alpha", "alpha-7.2"}, {pdb + "alpha/", any}}},
      {.name = "a system package marks the conversion even when refused", .args = {"-"},
       .input = pkg("system 6.40 depends=missing"), .status = 1,
       .out = {"ERROR: can not install system-6.40: missing is not installed, but is required"},
       .expect = {{"/rw/CONVERT", any}}},
      {.name = "an unsigned system package does not", .args = {"-"}, .input = pkg("system 7.1 unsigned"), .status = 1,
       .out = {"ERROR: installation of system-7.1 failed: broken package"}},
      {.name = "the copy cannot be created", .given = {"base 7.1"}, .args = {"-"}, .input = pkg("alpha 7.1"), .status = 255,
       .out = {"ERROR: could not open image"}, .expect = {{"/flash/postlog", gone}, {pdb + "image", directory}},
       .prepare = [](const device_root& root) { root.remove("/flash/var/pdb/image"), root.make_dirs("/flash/var/pdb/image"); }},
      {.name = "the copy meets a full flash", .args = {"-"}, .input = pkg("alpha 7.1 image=~716800"), .status = 1,
       .out = {"ERROR: installation of alpha-7.1 failed: disk is too small"}, .flash_bytes = 512 << 10,
       .ram_bytes = 4 << 20},
      // A bundle file's status: 1 for a bundle with lists of its own, 2 for
      // parts after the last member, 3 for no member at all.
      {.name = "a bundle that depends", .given = {"base 7.1"}, .args = {"-"},
       .input = pkgbuild::whole_file(suite + pkgbuild::part(part_depends, pkgbuild::dep_list_payload({{"base"}})) + member), .status = 1},
      {.name = "a bundle that provides", .given = {"base 7.1"}, .args = {"-"},
       .input = pkgbuild::whole_file(suite + pkgbuild::part(part_provides, pkgbuild::dep_list_payload({{"x"}})) + member), .status = 1},
      {.name = "a list after the last member", .given = {"base 7.1"}, .args = {"-"},
       .input = pkgbuild::whole_file(suite + member + pkgbuild::part(part_conflicts, pkgbuild::dep_list_payload({}))), .status = 2},
      {.name = "files after the last member", .given = {"base 7.1"}, .args = {"-"},
       .input = pkgbuild::whole_file(suite + member + pkgbuild::part(part_files, "")), .status = 2},
      {.name = "no member", .given = {"base 7.1"}, .args = {"-"},
       .input = pkgbuild::whole_file(suite + pkgbuild::part(part_architecture, "i386")), .status = 3},
      {.name = "an architecture after the last member", .given = {"base 7.1"}, .args = {"-"},
       .input = pkgbuild::whole_file(suite + member + pkgbuild::part(part_architecture, "i386")),
       .expect = {{"/flash/bin/alpha", "alpha-7.1"}, {pdb + "alpha/bundle", "suite\n"}, {pdb + "alpha/", any},
                  {pdb + "suite/", any}}},
  });
}

// Kept members used to return before their signature was read, so a bundle
// of forged copies of the installed members replaced the installed bundle.
TEST_F(InstallRuns, BundleOfForgedInstalledMembers) {
  const std::vector<std::string> given = {"bundle suite 7.1 + alpha 7.1"};
  play({
      {.name = "a newer bundle", .given = given, .args = {"-"}, .input = pkg("bundle suite 7.2 + alpha 7.1 unsigned"),
       .status = 2, .out = {"ERROR: installation of suite-7.2 failed: broken package"}},
      {.name = "the same bundle resumed", .given = given, .args = {"--reinstall", "-"},
       .input = pkg("bundle suite 7.1 + alpha 7.1 unsigned"), .status = 2,
       .out = {"", "Resuming upgrade...", "ERROR: installation of suite-7.1 failed: broken package"}},
      {.name = "the genuine bundle resumed", .given = given, .args = {"--reinstall", "-"},
       .input = pkg("bundle suite 7.1 + alpha 7.1"), .out = resuming},
  });
}

// The copy of a package kept at its installed version used to stop where
// reading stopped, and became the stored image; a boot package sent again
// landed as a plain copy over the image link.
TEST_F(InstallRuns, KeptImagesStayWhole) {
  const std::string alpha = pkg("alpha 7.1 image=~20000"), kernel = pkg("kernel 7.1 boot image=genuine");
  const tree boot_image = {{"/flash/bootimage", kernel}, {pdb + "kernel/image", testsupport::link_to("/flash/bootimage")}};
  play({
      {.name = "installed", .args = {"-"}, .input = alpha, .expect = {{pdb + "alpha/image", alpha}, {pdb + "alpha/", any},
                                                                       {"/flash/bin/alpha", "alpha-7.1"}}},
      {.name = "resumed", .then = true, .args = {"--reinstall", "-"}, .input = alpha,
       .out = {"", "Resuming upgrade...", "installed alpha-7.1"}},
      {.name = "a forged copy resumed", .then = true, .args = {"--reinstall", "-"},
       .input = pkg("alpha 7.1 image=~20000 unsigned"), .status = 1,
       .out = {"", "Resuming upgrade...", "ERROR: installation of alpha-7.1 failed: broken package"}},
      {.name = "a boot package", .args = {"-"}, .input = kernel, .env = boot,
       .expect = with(boot_image, {{"/flash/UPGRADED", any}, {pdb + "kernel/", any}})},
      {.name = "a forged boot package resumed", .then = true, .args = {"--reinstall", "-"},
       .input = pkg("kernel 7.1 boot image=forged unsigned"), .env = boot, .status = 1,
       .out = {"", "Resuming upgrade...", "ERROR: installation of kernel-7.1 failed: broken package"}},
      {.name = "the genuine one resumed", .then = true, .args = {"--reinstall", "-"}, .input = kernel, .env = boot,
       .out = {"", "Resuming upgrade...", "installed kernel-7.1"}, .expect = boot_image},
      {.name = "sent again", .then = true, .args = {"-"}, .input = kernel, .env = boot,
       .out = {"WARNING: omitting package kernel-7.1: it is already installed"}, .expect = boot_image},
  });
}

TEST_F(InstallRuns, Upgrade) {
  std::string many = "alpha 7.2";
  for (int i = 0; i < 200; ++i) many.append(" share/alpha/a-rather-long-file-name-").append(std::to_string(i)).append("=x");
  const std::string empty_bundle =
      pkgbuild::whole_file(pkgbuild::part(part_bundle_header, pkgbuild::header_payload("suite", version("7.1"), 0, 0)));
  play({
      {.name = "the first download directory",
       .put = {{dl + "junk.npk", "not a package"}, {dl + "readme.txt", "ignored"}, {"/flash/rw/pckg/alpha.npk", pkg("alpha 7.1")}},
       .out = {"ERROR: broken package junk.npk", "installed alpha-7.1"},
       .expect = {{"/flash/bin/alpha", "alpha-7.1"}, {pdb + "alpha/", any}, {"/flash/PCKGS_CHANGED", any}}},
      {.name = "IGNORE skips the first", .then = true,
       .put = {{"/flash/rw/pckg/alpha.npk", gone}, {dl + "IGNORE", ""}, {dl + "alpha.npk", pkg("alpha 7.2")},
               {"/flash/var/pckg/beta.dpk", pkg("beta 7.1")}},
       .out = {"installed beta-7.1"}, .expect = {{"/flash/bin/beta", "beta-7.1"}, {pdb + "beta/", any}}},
      {.name = "files whose length is not their header's", .given = {"base 7.1"},
       .put = {{dl + "long.npk", pkg("alpha 7.1") + "extra"}, {dl + "bundle.npk", empty_bundle}},
       .out = {"ERROR: broken package bundle.npk", "ERROR: broken package long.npk"}, .match = lines_are::any_order},
      {.name = "an older version", .given = {"alpha 7.2"}, .put = {{dl + "alpha.npk", pkg("alpha 7.1")}},
       .out = {"WARNING: omitting package alpha-7.1: newer package alpha-7.2 is already installed"}},
      {.name = "down to the floor", .then = true, .put = {{"/ram/DOWNGRADE", std::to_string(version("7.1")) + "\n"}},
       .out = {"installed alpha-7.1"},
       .expect = {{"/flash/bin/alpha", "alpha-7.1"}, {pdb + "alpha/", any}, {"/flash/PCKGS_CHANGED", any}}},
      {.name = "below the floor", .then = true, .put = {{dl + "alpha.npk", pkg("alpha 7.0")}},
       .out = {"WARNING: ommitting package alpha-7.0: not allowed"}},
      {.name = "no floor", .then = true, .put = {{"/ram/DOWNGRADE", ""}}, .out = {"installed alpha-7.0"},
       .expect = {{"/flash/bin/alpha", "alpha-7.0"}, {pdb + "alpha/", any}}},
      {.name = "--safe", .given = {"alpha 7.1"}, .put = {{dl + "alpha.npk", pkg("alpha 7.2")}}, .args = {"--safe"},
       .out = {"installed alpha-7.2"}, .expect = saved_upgrade},
      {.name = "--cancel", .then = true, .args = {"--cancel"}, .expect = nothing_staged},
      {.name = "--safe again", .then = true, .args = {"--safe"}, .out = {"installed alpha-7.2"}, .expect = saved_upgrade},
      {.name = "--commit", .then = true, .args = {"--commit"}, .out = {"finishing install... \b "},
       .expect = {{"/flash/*.installer-*", gone}, {pdb + ".staging", gone}, {"/flash/bin/alpha", "alpha-7.2"},
                  {pdb + "alpha/version", version_file("7.2")}, {"/flash/PCKGS_CHANGED", any}}},
      {.name = "an upgrade that does not fit", .given = {"alpha 7.1"}, .put = {{dl + "alpha.npk", pkg("alpha 7.2 bin/alpha=~409600")}},
       .status = 28, .out = {"ERROR: not enough space for upgrade"}, .flash_bytes = 256 << 10, .ram_bytes = 8 << 20},
      {.name = "a manifest that does not fit", .given = {"alpha 7.1"}, .put = {{dl + "alpha.npk", pkg(many)}},
       .args = {"--safe"}, .status = 28, .out = {"installed alpha-7.2", "ERROR: not enough space for upgrade"},
       .ram_bytes = 8 << 10},
      {.name = "a manifest that cannot be saved", .given = {"alpha 7.1"},
       .put = {{dl + "alpha.npk", pkg("alpha 7.2")}, {"/ram/MANIFEST/in-the-way", directory}}, .args = {"--safe"},
       .status = 1, .out = {"installed alpha-7.2", "ERROR: could not save manifest: Is a directory"}},
      {.name = "a failed candidate drops the whole run", .given = {"base 7.1", "alpha 7.1"},
       .put = {{dl + "alpha.npk", pkg("alpha 7.2")}, {dl + "beta.npk", pkg("beta 7.1 depends=missing")},
               {"/ram/pdb/alpha/schedule", "disable\n"}},
       .out = {"disabled alpha-7.1", "ERROR: can not install beta-7.1: missing is not installed, but is required"}},
      {.name = "an empty repository", .out = {"ERROR: router installation failed!!!"},
       .expect = {{"/flash/postlog", "ERROR: router installation failed!!!\n"}}},
  });
}

TEST_F(InstallRuns, PostLog) {
  const std::string first = "ERROR: broken package junk.npk\n";
  play({
      // A cut-off upgrade left its 4096 zero bytes: they are no line.
      {.name = "after a cut", .put = {{"/flash/postlog", std::string(4096, '\0')}, {dl + "junk.npk", "broken"},
                                       {dl + "alpha.npk", pkg("alpha 7.1")}},
       .out = {"ERROR: broken package junk.npk", "installed alpha-7.1"},
       .expect = {{"/flash/postlog", first + "installed alpha-7.1\n"}, {"/flash/bin/alpha", any}, {pdb + "alpha/", any},
                  {"/flash/PCKGS_CHANGED", any}}},
      // This run's lines before loading come first, then the old ones; a
      // last piece without a line end is dropped.
      {.name = "earlier lines", .then = true,
       .put = {{dl + "alpha.npk", gone}, {"/flash/postlog", "earlier line\nsecond line\ncut off"}, {dl + "beta.npk", pkg("beta 7.1")}},
       .out = {"ERROR: broken package junk.npk", "installed beta-7.1"},
       .expect = {{"/flash/postlog", first + "earlier line\nsecond line\ninstalled beta-7.1\n"}, {"/flash/bin/beta", any}, {pdb + "beta/", any}}},
      {.name = "a stream install appends", .then = true, .args = {"-"}, .input = pkg("beta 7.1"),
       .out = {"WARNING: omitting package beta-7.1: it is already installed"},
       .expect = {{"/flash/postlog", first + "earlier line\nsecond line\ninstalled beta-7.1\n"
                                             "WARNING: omitting package beta-7.1: it is already installed\n"}}},
  });
}

TEST_F(InstallRuns, UsersChoices) {
  const std::string x = "/flash/x/";
  play({
      // Enabling and disabling change the state files; the installed files stay.
      {.name = "disabled", .given = {"base 7.1", "alpha 7.1"}, .put = {{"/ram/pdb/alpha/schedule", "disable\n"}},
       .out = {"disabled alpha-7.1"}, .expect = {{pdb + "alpha/disabled", "user\n"}, {"/flash/PCKGS_CHANGED", any}}},
      {.name = "stays disabled across an upgrade", .then = true,
       .put = {{"/ram/pdb/alpha", gone}, {dl + "alpha.npk", pkg("alpha 7.2")}}, .out = {"installed alpha-7.2"},
       .expect = {{pdb + "alpha/disabled", "user\n"}, {x + "alpha/bin/alpha", "alpha-7.2"}, {"/flash/bin/alpha", gone},
                  {pdb + "alpha/", any}}},
      // The new list names alpha, which the user disabled, and beta, which
      // the user never chose: both come up disabled, alpha as the user's.
      {.name = "a bundle's list", .given = {"bundle suite 7.1 + alpha 7.1 + beta 7.1"},
       .put = {{pdb + "alpha/disabled", "user\n"}, {dl + "suite.npk", pkg("bundle suite 7.2 list=alpha,beta + alpha 7.2 + beta 7.2")}},
       .out = {"installed suite-7.2"}, .match = lines_are::unchecked,
       .expect = {{pdb + "alpha/disabled", "user\n"}, {x + "alpha/bin/alpha", "alpha-7.2"}, {pdb + "beta/disabled", "auto\n"},
                  {x + "beta/bin/beta", "beta-7.2"}, {"/flash/bin/*", gone}, {dl + "suite.npk", gone},
                  {pdb + "suite/image", pkg("bundle suite 7.2 list=alpha,beta + alpha 7.2 + beta 7.2")}, {pdb, any},
                  {"/flash/PCKGS_CHANGED", any}}},
      // gamma 7.1 stands against beta and zeta from 7.2 on, so they come up
      // disabled while it is installed, and are enabled again once gamma 7.2
      // has replaced it: "aaa" first (of its two providers the last, zeta),
      // then "beta".
      {.name = "enabled again in the order of names and provided names",
       .given = {"bundle suite 7.1 + beta 7.1 provides=aaa + zeta 7.1 provides=aaa + gamma 7.1 conflicts=beta>=7.2,zeta>=7.2"},
       .put = {{dl + "suite.npk", pkg("bundle suite 7.2 + beta 7.2 provides=aaa + zeta 7.2 provides=aaa + gamma 7.2")}},
       .out = {"enabled zeta-7.2", "enabled beta-7.2", "installed suite-7.2"},
       .expect = {{x + "beta/bin/beta", "beta-7.2"}, {x + "zeta/bin/zeta", "zeta-7.2"}, {"/flash/bin/gamma", "gamma-7.2"},
                  {"/flash/bin/beta", gone}, {"/flash/bin/zeta", gone}, {pdb + "beta/disabled", gone}, {pdb + "zeta/disabled", gone}, {pdb, any},
                  {dl + "suite.npk", gone}, {"/flash/PCKGS_CHANGED", any}}},
      // The user's choice first, the conflict rule after it.
      {.name = "the user's enabled choice yields to a conflict", .given = {"blocker 7.1 conflicts=alpha>=7.2", "alpha 7.1"},
       .put = {{pdb + "alpha/enabled", "user\n"}, {dl + "alpha.npk", pkg("alpha 7.2")}}, .out = {"installed alpha-7.2"},
       .expect = {{pdb + "alpha/disabled", "user\n"}, {pdb + "alpha/enabled", gone}, {x + "alpha/bin/alpha", "alpha-7.2"},
                  {"/flash/bin/alpha", gone}, {pdb + "alpha/", any}, {"/flash/PCKGS_CHANGED", any}}},
  });
}

TEST_F(InstallRuns, BootPackages) {
  const std::string kernel72 = pkg("kernel 7.2 boot image=kernel72"), alpha = pkg("alpha 7.1 image=alpha depends=kernel");
  play({
      // A file of the installed version is kept unread under --reinstall; its
      // body was never verified before it was moved onto the boot image.
      {.name = "a forged download resumed", .given = {"kernel 7.1 boot image=genuine"},
       .put = {{dl + "kernel.npk", pkg("kernel 7.1 boot image=forged unsigned")}}, .args = {"--reinstall"}, .env = boot,
       .out = {"", "Resuming upgrade...", "ERROR: installation of kernel-7.1 failed: broken package"}},
      {.name = "the genuine download resumed", .then = true, .put = {{dl + "kernel.npk", pkg("kernel 7.1 boot image=genuine")}},
       .args = {"--reinstall"}, .env = boot, .match = lines_are::unchecked,
       .expect = {{dl + "kernel.npk", gone}, {"/flash/bootimage", pkg("kernel 7.1 boot image=genuine")}, {"/flash/", any}}},
      // The kernel's boot flag used to carry over to the next candidate.
      {.name = "the boot flag belongs to one candidate", .given = {"kernel 7.1 boot image=kernel71", "alpha 7.1 image=alpha depends=kernel"},
       .put = {{dl + "kernel.npk", kernel72}, {dl + "alpha.npk", alpha}}, .env = boot,
       .out = {"WARNING: omitting package alpha-7.1: it is already installed", "installed kernel-7.2", "installed alpha-7.1"},
       .expect = {{"/flash/bootimage", kernel72}, {pdb + "kernel/image", testsupport::link_to("/flash/bootimage")},
                  {pdb + "alpha/image", alpha}, {"/flash/bin/kernel", gone}, {"/flash/UPGRADED", any}, {dl + "*", gone},
                  {pdb, any}, {"/flash/PCKGS_CHANGED", any}}},
  });
}

// A commit whose copies from ram met a full flash used to report success,
// with the package listed at version 0.0 or with files missing.
TEST_F(InstallRuns, NoRunLosesInstalledSoftware) {
  const std::string big = pkg("big 7.1 bin/big=~153600 image=kept");
  play({
      {.name = "a dry run finds it", .given = {"alpha 7.1"}, .args = {"--dry-run", "-"}, .input = big, .status = 1,
       .out = {"ERROR: installation of big-7.1 failed: disk is too small"}, .flash_bytes = 256 << 10, .ram_bytes = 8 << 20},
      {.name = "the run itself", .given = {"alpha 7.1"}, .args = {"-"}, .input = big, .status = 1,
       .out = {"ERROR: installation of big-7.1 failed: disk is too small"}, .flash_bytes = 256 << 10, .ram_bytes = 8 << 20},
      // --reinstall skips the space check, never the truth.
      {.name = "--reinstall", .given = {"alpha 7.1"}, .put = {{dl + "alpha.npk", pkg("alpha 7.2 bin/alpha=~409600")}},
       .args = {"--reinstall"}, .status = 28, .out = {"", "Resuming upgrade...", "ERROR: not enough space for upgrade"},
       .flash_bytes = 256 << 10, .ram_bytes = 8 << 20},
      // Staged files of a --safe replaced by another, or whose manifest a
      // reboot took away, used to stay on flash for good.
      {.name = "--safe", .given = {"alpha 7.1"}, .put = {{dl + "alpha.npk", pkg("alpha 7.2 bin/alpha=~20480")}},
       .args = {"--safe"}, .out = {"installed alpha-7.2"}, .expect = saved_upgrade},
      {.name = "--safe again", .then = true, .args = {"--safe"},
       .out = {"WARNING: dropped the saved upgrade", "installed alpha-7.2"}, .expect = saved_upgrade},
      {.name = "a reboot, then a run", .then = true,
       .put = {{"/ram/MANIFEST", gone}, {"/ram/MANIFEST.verified", gone}, {dl + "alpha.npk", gone}},
       .expect = nothing_staged},
      // A stale saved upgrade used to put 7.2 back over a later 7.3.
      {.name = "a saved upgrade", .given = {"alpha 7.1"}, .put = {{dl + "alpha.npk", pkg("alpha 7.2")}},
       .args = {"--safe"}, .out = {"installed alpha-7.2"}, .expect = saved_upgrade},
      {.name = "goes stale with the next change", .then = true, .args = {"-"}, .input = pkg("alpha 7.3"),
       .out = {"WARNING: dropped the saved upgrade"},
       .expect = with(nothing_staged, {{"/flash/bin/alpha", "alpha-7.3"}, {pdb + "alpha/", any}})},
      {.name = "and is not committed", .then = true, .args = {"--commit"}, .out = {"finishing install... \b "}},
      // Disabling a bundle used to remove its record and image, and the next
      // run its members.
      {.name = "a disabled bundle", .given = {"base 7.1", "bundle kit 7.1 + m1 7.1 + m2 7.1"},
       .put = {{"/ram/pdb/kit/schedule", "disable"}}, .match = lines_are::unchecked,
       .expect = {{pdb + "kit/disabled", "user\n"}, {pdb + "m1/disabled", "auto\n"}, {pdb + "m2/disabled", "auto\n"},
                  {"/flash/PCKGS_CHANGED", any}}},
      {.name = "stays with its members", .then = true, .put = {{"/ram/pdb/kit", gone}}},
      {.name = "twice", .then = true},
      {.name = "and comes back", .then = true, .put = {{"/ram/pdb/kit/schedule", "enable"}}, .out = {"enabled kit-7.1", "enabled m2-7.1", "enabled m1-7.1"},
       .expect = {{pdb + "kit/disabled", gone}, {pdb + "m1/disabled", gone}, {pdb + "m2/disabled", gone},
                  {pdb + "kit/enabled", "user\n"}}},
  });
}

// A dry run makes every decision of the run and prints the plan, changing
// nothing; the run then does what it planned.
TEST_F(InstallRuns, DryRunPlansWhatTheRunDoes) {
  const std::vector<std::string> given = {"system 7.1", "alpha 7.1", "beta 7.1", "oldtool 6.40", "tool 7.1 depends=system>=3.22"};
  const tree upgrade = {{dl + "alpha.npk", pkg("alpha 7.2")}, {"/ram/pdb/beta/schedule", "disable"},
                        {"/ram/pdb/oldtool/schedule", "uninstall"}};
  play({
      {.name = "upgrade", .given = given, .put = upgrade, .args = {"--dry-run"},
       .out = {"would disable beta-7.1", "would install alpha-7.2, replacing 7.1", "would uninstall oldtool-6.40"}},
      {.name = "upgrade done", .then = true, .out = {"disabled beta-7.1", "installed alpha-7.2"}, .expect = {{"/flash/", any}, {"/ram/", any}}},
      {.name = "stream install", .given = given, .args = {"--dry-run", "-"}, .input = pkg("gamma 7.1"), .out = {"would install gamma-7.1"}},
      {.name = "clean-up", .given = given, .args = {"--dry-run", "--cleanup"},
       .out = {"would uninstall alpha-7.1", "would uninstall beta-7.1", "would uninstall oldtool-6.40"}},
      {.name = "clean-up done", .then = true, .args = {"--cleanup"},
       .expect = {{"/flash/bin/alpha", gone}, {"/flash/bin/tool", "tool-7.1"}, {"/flash/", any}}},
      {.name = "refusal", .given = given, .put = {{dl + "alpha.npk", pkg("alpha 7.3 legacy")}}, .args = {"--dry-run"},
       .out = {"ERROR: installation of alpha-7.3 failed: broken package"}},
  });
}

}  // namespace
}  // namespace e2e
