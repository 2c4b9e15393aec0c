// Stream installs, kept packages, upgrades from the download directories and
// their post-log, the user's choices, runs that must keep the work already
// done (--safe and a later --commit among them) and dry runs: the real
// program on a device root, one row per run.
#include <string>
#include <vector>

#include "support/scenario.h"

namespace e2e {
namespace {

using InstallRuns = Scenarios;

const std::string pdb = "/flash/var/pdb/", dl = "/rw/pckg/.download/", x = "/flash/x/";
const tree saved_upgrade = {{"/ram/MANIFEST", any}, {"/ram/MANIFEST.verified*", any}, {"/flash/*.installer-*", any},
                            {pdb + ".staging", any}};
const tree nothing_staged = {{"/ram/MANIFEST*", gone}, {"/flash/*.installer-*", gone}, {pdb + ".staging", gone}};
const tree changed = {{"/flash/PCKGS_CHANGED", any}};
const env_list boot = {{"bootimage", "1"}};
const std::string broken = " failed: broken package";

tree with(tree entries, const tree& more) { entries.insert(more.begin(), more.end()); return entries; }

// `name` installed at `version`, enabled or disabled (by "user" or "auto"),
// its other database files as they come.
tree installed(const std::string& name, const std::string& version, const std::string& off = "") {
  std::string at = off.empty() ? "/flash/bin/" : x + name + "/bin/";
  tree entries = {{at + name, name + "-" + version}, {pdb + name + "/", any}};
  if (!off.empty()) entries.insert({{pdb + name + "/disabled", off + "\n"}, {"/flash/bin/" + name, gone}});
  return entries;
}

lines resumed(const std::string& line) { return {"", "Resuming upgrade...", line}; }

// A stream install of `input` on a router with `given` installed.
scenario stream(const char* name, std::vector<std::string> given, const std::string& input, int status = 0,
                lines out = {}, tree expect = {}) {
  return {.name = name, .given = given, .args = {"-"}, .input = input, .status = status, .out = out, .expect = expect};
}

// The header part of the bundle suite 7.1.
std::string suite_header() { return pkgbuild::part(part_bundle_header, pkgbuild::header_payload("suite", version("7.1"), 0, 0)); }

TEST_F(InstallRuns, StreamInstall) {
  const std::string alpha72 = pkg("alpha 7.2").substr(8), member = pkg("alpha 7.1").substr(8);
  const std::string suite = suite_header(), arch = pkgbuild::part(part_architecture, "i386");
  auto list = [](uint16_t type, std::vector<pkg_dep> deps) { return pkgbuild::part(type, pkgbuild::dep_list_payload(deps)); };
  auto parts = [](const char* name, const std::string& body, int status, lines out = {}, tree expect = {}) {
    return stream(name, {"base 7.1"}, pkgbuild::whole_file(body), status, out, expect);
  };
  const std::string missing = "missing is not installed, but is required";
  play({
      stream("a conflict with a bundle", {"alpha 7.1 conflicts=suite"}, pkg("bundle suite 7.1 + beta 7.1"), 2,
             {"ERROR: can not install suite-7.1: it conflicts with alpha-7.1"}),
      stream("a member's missing dependency", {}, pkg("bundle suite 7.1 + alpha 7.1 depends=missing"), 2,
             {"ERROR: can not install alpha-7.1: " + missing}),
      stream("a system package marks the conversion even when refused", {}, pkg("system 6.40 depends=missing"), 1,
             {"ERROR: can not install system-6.40: " + missing}, {{"/rw/CONVERT", any}}),
      stream("an unsigned system package does not", {}, pkg("system 7.1 unsigned"), 1,
             {"ERROR: installation of system-7.1" + broken}),
      {.name = "the copy cannot be created", .given = {"base 7.1"}, .args = {"-"}, .input = pkg("alpha 7.1"), .status = 255,
       .out = {"ERROR: could not open image"}, .expect = {{"/flash/postlog", gone}, {pdb + "image", directory}},
       .prepare = [](const device_root& root) { root.remove("/flash/var/pdb/image"), root.make_dirs("/flash/var/pdb/image"); }},
      {.name = "the copy meets a full flash", .args = {"-"}, .input = pkg("alpha 7.1 image=~716800"), .status = 1,
       .out = {"ERROR: installation of alpha-7.1 failed: disk is too small"}, .flash_bytes = 512 << 10, .ram_bytes = 4 << 20},
      parts("a list after the signature", alpha72 + list(part_provides, {}), 1,
            {"ERROR: installation of alpha-7.2" + broken}),
      parts("an architecture and an empty list after the signature", alpha72 + arch + pkgbuild::part(part_depends, ""), 0,
            {}, installed("alpha", "7.2")),
      // A bundle file's status: 1 for a bundle with lists of its own, 2 for
      // parts after the last member, 3 for no member at all.
      parts("a bundle that depends", suite + list(part_depends, {{"base"}}) + member, 1),
      parts("a bundle that provides", suite + list(part_provides, {{"x"}}) + member, 1),
      parts("a list after the last member", suite + member + list(part_conflicts, {}), 2),
      parts("files after the last member", suite + member + pkgbuild::part(part_files, ""), 2),
      parts("no member", suite + arch, 3),
      parts("an architecture after the last member", suite + member + arch, 0, {},
            with(installed("alpha", "7.1"), {{pdb + "alpha/bundle", "suite\n"}, {pdb + "suite/", any}})),
  });
}

// A package at its installed version is kept unread under --reinstall.
TEST_F(InstallRuns, KeptPackages) {
  const std::string alpha = pkg("alpha 7.1 image=~20000"), kernel = pkg("kernel 7.1 boot image=genuine");
  const std::string kernel72 = pkg("kernel 7.2 boot image=kernel72"), alpha_k = pkg("alpha 7.1 image=alpha depends=kernel");
  const tree boot_image = {{"/flash/bootimage", kernel}, {pdb + "kernel/image", testsupport::link_to("/flash/bootimage")}};
  const std::vector<std::string> suite = {"bundle suite 7.1 + alpha 7.1"};
  play({
      // Kept members used to return before their signature was read, so a
      // bundle of forged copies of the installed members replaced the
      // installed bundle.
      stream("a newer bundle of forged members", suite, pkg("bundle suite 7.2 + alpha 7.1 unsigned"), 2,
             {"ERROR: installation of suite-7.2" + broken}),
      {.name = "the same bundle resumed", .given = suite, .args = {"--reinstall", "-"},
       .input = pkg("bundle suite 7.1 + alpha 7.1 unsigned"), .status = 2, .out = resumed("ERROR: installation of suite-7.1" + broken)},
      {.name = "the genuine bundle resumed", .given = suite, .args = {"--reinstall", "-"},
       .input = pkg("bundle suite 7.1 + alpha 7.1"), .out = {"", "Resuming upgrade..."}},
      // The copy of a kept package used to stop where reading stopped, and
      // became the stored image; a boot package sent again landed as a plain
      // copy over the image link.
      {.name = "resumed", .given = {"alpha 7.1 image=~20000"}, .args = {"--reinstall", "-"}, .input = alpha,
       .out = resumed("installed alpha-7.1"), .expect = {{pdb + "alpha/image", alpha}}},
      {.name = "a forged copy resumed", .then = true, .args = {"--reinstall", "-"}, .input = pkg("alpha 7.1 image=~20000 unsigned"),
       .status = 1, .out = resumed("ERROR: installation of alpha-7.1" + broken)},
      {.name = "a boot package resumed", .given = {"kernel 7.1 boot image=genuine"}, .args = {"--reinstall", "-"}, .input = kernel,
       .env = boot, .out = resumed("installed kernel-7.1"), .expect = boot_image},
      {.name = "sent again", .then = true, .args = {"-"}, .input = kernel, .env = boot,
       .out = {"WARNING: omitting package kernel-7.1: it is already installed"}, .expect = boot_image},
      // A kept download's body was never verified before it was moved onto
      // the boot image.
      {.name = "a forged download resumed", .then = true, .put = {{dl + "kernel.npk", pkg("kernel 7.1 boot image=forged unsigned")}},
       .args = {"--reinstall"}, .env = boot, .out = resumed("ERROR: installation of kernel-7.1" + broken)},
      {.name = "the genuine download resumed", .then = true, .put = {{dl + "kernel.npk", kernel}}, .args = {"--reinstall"},
       .env = boot, .match = lines_are::unchecked, .expect = {{dl + "kernel.npk", gone}, {"/flash/bootimage", kernel}, {"/flash/", any}}},
      // The kernel's boot flag used to carry over to the next candidate.
      {.name = "the boot flag belongs to one candidate", .given = {"kernel 7.1 boot image=kernel71", "alpha 7.1 image=alpha depends=kernel"},
       .put = {{dl + "kernel.npk", kernel72}, {dl + "alpha.npk", alpha_k}}, .env = boot,
       .out = {"WARNING: omitting package alpha-7.1: it is already installed", "installed kernel-7.2", "installed alpha-7.1"},
       .expect = with(changed, {{"/flash/bootimage", kernel72}, {pdb + "kernel/image", testsupport::link_to("/flash/bootimage")},
                                {pdb + "alpha/image", alpha_k}, {"/flash/bin/kernel", gone}, {"/flash/UPGRADED", any},
                                {dl + "*", gone}, {pdb, any}})},
  });
}

TEST_F(InstallRuns, UpgradeAndPostLog) {
  const std::string first = "ERROR: broken package junk.npk\n", earlier = first + "earlier line\nsecond line\ninstalled beta-7.1\n";
  const std::string omitted = "WARNING: omitting package beta-7.1: it is already installed";
  play({
      // The first directory with a usable file is read. A cut-off upgrade
      // left its post-log's 4096 zero bytes: they are no line.
      {.name = "the first download directory, after a cut",
       .put = {{"/flash/postlog", std::string(4096, '\0')}, {dl + "junk.npk", "not a package"}, {dl + "readme.txt", "ignored"},
               {"/flash/rw/pckg/alpha.npk", pkg("alpha 7.1")}},
       .out = {"ERROR: broken package junk.npk", "installed alpha-7.1"},
       .expect = with(installed("alpha", "7.1"), with(changed, {{"/flash/postlog", first + "installed alpha-7.1\n"}}))},
      // This run's lines before loading come first, then the old ones; a
      // last piece without a line end is dropped.
      {.name = "earlier lines", .then = true,
       .put = {{"/flash/rw/pckg/alpha.npk", gone}, {"/flash/postlog", "earlier line\nsecond line\ncut off"},
               {dl + "beta.npk", pkg("beta 7.1")}},
       .out = {"ERROR: broken package junk.npk", "installed beta-7.1"},
       .expect = with(installed("beta", "7.1"), {{"/flash/postlog", earlier}})},
      {.name = "a stream install appends", .then = true, .args = {"-"}, .input = pkg("beta 7.1"), .out = {omitted},
       .expect = {{"/flash/postlog", earlier + omitted + "\n"}}},
      {.name = "IGNORE skips the first", .then = true,
       .put = {{dl + "IGNORE", ""}, {dl + "alpha.npk", pkg("alpha 7.2")}, {"/flash/var/pckg/gamma.dpk", pkg("gamma 7.1")}},
       .out = {"installed gamma-7.1"}, .expect = installed("gamma", "7.1")},
      {.name = "files whose length is not their header's", .given = {"base 7.1"},
       .put = {{dl + "long.npk", pkg("alpha 7.1") + "extra"}, {dl + "bundle.npk", pkgbuild::whole_file(suite_header())}},
       .out = {"ERROR: broken package bundle.npk", "ERROR: broken package long.npk"}, .match = lines_are::any_order},
      {.name = "an older version", .given = {"alpha 7.2"}, .put = {{dl + "alpha.npk", pkg("alpha 7.1")}},
       .out = {"WARNING: omitting package alpha-7.1: newer package alpha-7.2 is already installed"}},
      {.name = "down to the floor", .then = true, .put = {{"/ram/DOWNGRADE", std::to_string(version("7.1")) + "\n"}},
       .out = {"installed alpha-7.1"}, .expect = with(installed("alpha", "7.1"), changed)},
      {.name = "below the floor", .then = true, .put = {{dl + "alpha.npk", pkg("alpha 7.0")}},
       .out = {"WARNING: ommitting package alpha-7.0: not allowed"}},
      {.name = "no floor", .then = true, .put = {{"/ram/DOWNGRADE", ""}}, .out = {"installed alpha-7.0"},
       .expect = installed("alpha", "7.0")},
      {.name = "an upgrade that does not fit", .given = {"alpha 7.1"}, .put = {{dl + "alpha.npk", pkg("alpha 7.2 bin/alpha=~409600")}},
       .status = 28, .out = {"ERROR: not enough space for upgrade"}, .flash_bytes = 256 << 10, .ram_bytes = 8 << 20},
      {.name = "a manifest that does not fit", .given = {"alpha 7.1"},
       .put = {{dl + "alpha.npk", pkg("alpha 7.2")}, {"/ram/filler", std::string(8 << 10, 'f')}}, .args = {"--safe"},
       .status = 28, .out = {"installed alpha-7.2", "ERROR: not enough space for upgrade"}, .ram_bytes = 8 << 10},
      {.name = "a failed candidate drops the whole run", .given = {"base 7.1", "alpha 7.1"},
       .put = {{dl + "alpha.npk", pkg("alpha 7.2")}, {dl + "beta.npk", pkg("beta 7.1 depends=missing")},
               {"/ram/pdb/alpha/schedule", "disable\n"}},
       .out = {"disabled alpha-7.1", "ERROR: can not install beta-7.1: missing is not installed, but is required"}},
      {.name = "an empty repository", .out = {"ERROR: router installation failed!!!"},
       .expect = {{"/flash/postlog", "ERROR: router installation failed!!!\n"}}},
  });
}

TEST_F(InstallRuns, UsersChoices) {
  play({
      // The new list names alpha, which the user disabled, and beta, which
      // the user never chose: both come up disabled, alpha as the user's.
      {.name = "a bundle's list", .given = {"bundle suite 7.1 + alpha 7.1 + beta 7.1"},
       .put = {{pdb + "alpha/disabled", "user\n"}, {dl + "suite.npk", pkg("bundle suite 7.2 list=alpha,beta + alpha 7.2 + beta 7.2")}},
       .out = {"installed suite-7.2"}, .expect = with(installed("alpha", "7.2", "user"),
                      with(installed("beta", "7.2", "auto"), with(changed, {{pdb, any}, {dl + "*", gone}})))},
      // gamma 7.1 stands against beta and zeta from 7.2 on, so they come up
      // disabled while it is installed, and are enabled again once gamma 7.2
      // has replaced it: "aaa" first (of its two providers the last, zeta),
      // then "beta".
      {.name = "enabled again in the order of names and provided names",
       .given = {"bundle suite 7.1 + beta 7.1 provides=aaa + zeta 7.1 provides=aaa + gamma 7.1 conflicts=beta>=7.2,zeta>=7.2"},
       .put = {{dl + "suite.npk", pkg("bundle suite 7.2 + beta 7.2 provides=aaa + zeta 7.2 provides=aaa + gamma 7.2")}},
       .out = {"enabled zeta-7.2", "enabled beta-7.2", "installed suite-7.2"},
       .expect = with(changed, {{x + "beta/bin/beta", "beta-7.2"}, {x + "zeta/bin/zeta", "zeta-7.2"}, {"/flash/bin/*", gone},
                                {pdb + "*/disabled", gone}, {pdb, any}, {"/flash/bin/gamma", "gamma-7.2"}, {dl + "*", gone}})},
      // The user's choice first, the conflict rule after it.
      {.name = "the user's enabled choice yields to a conflict", .given = {"blocker 7.1 conflicts=alpha>=7.2", "alpha 7.1"},
       .put = {{pdb + "alpha/enabled", "user\n"}, {dl + "alpha.npk", pkg("alpha 7.2")}}, .out = {"installed alpha-7.2"},
       .expect = with(installed("alpha", "7.2", "user"), with(changed, {{pdb + "alpha/enabled", gone}}))},
  });
}

// A commit whose copies from ram met a full flash used to report success,
// with the package listed at version 0.0 or with files missing.
TEST_F(InstallRuns, NoRunLosesInstalledSoftware) {
  play({
      {.name = "the run itself", .given = {"alpha 7.1"}, .args = {"-"}, .input = pkg("big 7.1 bin/big=~153600 image=kept"), .status = 1,
       .out = {"ERROR: installation of big-7.1 failed: disk is too small"}, .flash_bytes = 256 << 10, .ram_bytes = 8 << 20},
      // --reinstall skips the space check, never the truth.
      {.name = "--reinstall", .given = {"alpha 7.1"}, .put = {{dl + "alpha.npk", pkg("alpha 7.2 bin/alpha=~409600")}},
       .args = {"--reinstall"}, .status = 28, .out = resumed("ERROR: not enough space for upgrade"),
       .flash_bytes = 256 << 10, .ram_bytes = 8 << 20},
      // Staged files of a --safe replaced by another, or whose manifest a
      // reboot took away, used to stay on flash for good.
      {.name = "--safe", .given = {"alpha 7.1"}, .put = {{dl + "alpha.npk", pkg("alpha 7.2 bin/alpha=~20480")}},
       .args = {"--safe"}, .out = {"installed alpha-7.2"}, .expect = saved_upgrade},
      {.name = "--safe again", .then = true, .args = {"--safe"},
       .out = {"WARNING: dropped the saved upgrade", "installed alpha-7.2"}, .expect = saved_upgrade},
      {.name = "a reboot, then a run", .then = true,
       .put = {{"/ram/MANIFEST", gone}, {"/ram/MANIFEST.verified", gone}, {dl + "alpha.npk", gone}}, .expect = nothing_staged},
      // A stale saved upgrade used to put 7.2 back over a later 7.3.
      {.name = "a saved upgrade", .given = {"alpha 7.1"}, .put = {{dl + "alpha.npk", pkg("alpha 7.2")}},
       .args = {"--safe"}, .out = {"installed alpha-7.2"}, .expect = saved_upgrade},
      {.name = "goes stale with the next change", .then = true, .args = {"-"}, .input = pkg("alpha 7.3"),
       .out = {"WARNING: dropped the saved upgrade"}, .expect = with(nothing_staged, installed("alpha", "7.3"))},
      {.name = "and is not committed", .then = true, .args = {"--commit"}, .out = {"finishing install... \b "}},
      // Disabling a bundle used to remove its record and image, and the next
      // run its members.
      {.name = "a disabled bundle", .given = {"base 7.1", "bundle kit 7.1 + m1 7.1 + m2 7.1"},
       .put = {{"/ram/pdb/kit/schedule", "disable"}}, .match = lines_are::unchecked,
       .expect = {{pdb + "kit/disabled", "user\n"}, {pdb + "m1/disabled", "auto\n"}, {pdb + "m2/disabled", "auto\n"},
                  {"/flash/PCKGS_CHANGED", any}}},
      {.name = "stays with its members", .then = true, .put = {{"/ram/pdb/kit", gone}}},
      {.name = "twice", .then = true},
      {.name = "and comes back", .then = true, .put = {{"/ram/pdb/kit/schedule", "enable"}},
       .out = {"enabled kit-7.1", "enabled m2-7.1", "enabled m1-7.1"},
       .expect = {{pdb + "*/disabled", gone}, {pdb + "kit/enabled", "user\n"}}},
  });
}

// A dry run makes every decision of the run and prints the plan, changing
// nothing.
TEST_F(InstallRuns, DryRunPlans) {
  const std::vector<std::string> given = {"system 7.1", "alpha 7.1", "beta 7.1", "oldtool 6.40", "tool 7.1 depends=system>=3.22"};
  const tree upgrade = {{dl + "alpha.npk", pkg("alpha 7.2")}, {"/ram/pdb/beta/schedule", "disable"},
                        {"/ram/pdb/oldtool/schedule", "uninstall"}};
  play({
      {.name = "upgrade", .given = given, .put = upgrade, .args = {"--dry-run"},
       .out = {"would disable beta-7.1", "would install alpha-7.2, replacing 7.1", "would uninstall oldtool-6.40"}},
      {.name = "stream install", .given = given, .args = {"--dry-run", "-"}, .input = pkg("gamma 7.1"), .out = {"would install gamma-7.1"}},
      {.name = "clean-up", .given = given, .args = {"--dry-run", "--cleanup"},
       .out = {"would uninstall alpha-7.1", "would uninstall beta-7.1", "would uninstall oldtool-6.40"}},
      {.name = "refusal", .given = given, .put = {{dl + "alpha.npk", pkg("alpha 7.3 legacy")}}, .args = {"--dry-run"},
       .out = {"ERROR: installation of alpha-7.3 failed: broken package"}},
  });
}

}  // namespace
}  // namespace e2e
