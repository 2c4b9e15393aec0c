// No run loses installed software or flash space: commits that cannot finish
// on a full flash, leftovers of runs that never ended, a saved upgrade that
// has gone stale, and bundles that are disabled.
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "install/install_e2e.h"

namespace installtest {
namespace {

using testsupport::run_options;
using testsupport::run_result;
using lines = std::vector<std::string>;

const uint32_t v71 = final_version(7, 1);
const uint32_t v72 = final_version(7, 2);
const uint32_t v73 = final_version(7, 3);

// Paths of the root's flash and ram that hold a temporary or the mark that
// a run is under way.
std::vector<std::string> leftovers(const testsupport::device_root& root) {
  std::vector<std::string> found;
  for (const char* tree : {"/flash", "/ram"})
    for (const auto& [path, entry] : root.snapshot(tree))
      if (path.find(".installer-") != std::string::npos || path.ends_with(".staging"))
        found.push_back(std::string(tree) + "/" + path);
  return found;
}

class KeepsWork : public InstallE2E {
 protected:
  void put_download(const std::string& bytes) { root.write_file("/rw/pckg/.download/alpha.npk", bytes); }

  // A flash too small for what is about to be installed, and room in ram.
  static run_options small_flash() {
    run_options opts;
    opts.flash_bytes = 256 * 1024;
    opts.ram_bytes = 8 * 1024 * 1024;
    return opts;
  }
};

// A commit whose copies from ram met a full flash used to report success,
// with the package listed at version 0.0 or with files missing.
TEST_F(KeepsWork, CommitThatCannotFinishChangesNothingAndFails) {
  std::string why;
  if (!testsupport::can_mount_tmpfs(&why)) GTEST_SKIP() << why;
  ASSERT_NO_FATAL_FAILURE(install(build(package("alpha", v71, "a1"))));
  auto before = flash_state(root);
  pkgbuild::package_recipe big = package("big", v71, noise(150 * 1024));
  big.image_payload = "kept whole";
  // A dry run finds the same with nothing written, not even the received image.
  auto flash = root.snapshot("/flash"), ram = root.snapshot("/ram");
  run_result planned = stream(build(big), {"--dry-run"}, small_flash());
  EXPECT_EQ(planned.status, 1) << planned.out << planned.err;
  EXPECT_EQ(visible_lines(planned.out), lines{"ERROR: installation of big-7.1 failed: disk is too small"});
  EXPECT_EQ(root.snapshot("/flash"), flash);
  EXPECT_EQ(root.snapshot("/ram"), ram);
  run_result stream_run = stream(build(big), {}, small_flash());
  EXPECT_EQ(stream_run.status, 1) << stream_run.out << stream_run.err;
  EXPECT_EQ(visible_lines(stream_run.out), lines{"ERROR: installation of big-7.1 failed: disk is too small"});
  EXPECT_EQ(flash_state(root), before);
  EXPECT_EQ(leftovers(root), std::vector<std::string>{});

  // --reinstall skips the space check, never the truth: the copies come
  // first, and one that fails changes nothing.
  put_download(build(package("alpha", v72, noise(400 * 1024))));
  run_result reinstall = run({"--reinstall"}, small_flash());
  EXPECT_EQ(reinstall.status, 28) << reinstall.out << reinstall.err;
  EXPECT_EQ(visible_lines(reinstall.out), (lines{"", "Resuming upgrade...", "ERROR: not enough space for upgrade"}));
  EXPECT_EQ(flash_state(root), before);
  EXPECT_EQ(leftovers(root), std::vector<std::string>{});
}

// Staged files of an interrupted run, of a --safe whose manifest a reboot
// took away, and of a --safe replaced by another stayed on flash for good.
TEST_F(KeepsWork, NoStagedFileOutlivesItsRun) {
  ASSERT_NO_FATAL_FAILURE(install(build(package("alpha", v71, "a1"))));
  auto before = flash_state(root);
  put_download(build(package("alpha", v72, noise(20 * 1024))));
  ASSERT_EQ(run({"--safe"}).status, 0);
  ASSERT_FALSE(leftovers(root).empty()) << "the saved upgrade's staged files";
  // A second --safe drops the first one's staged files.
  run_result again = run({"--safe"});
  EXPECT_EQ(again.status, 0) << again.out;
  EXPECT_EQ(visible_lines(again.out), (lines{"WARNING: dropped the saved upgrade", "installed alpha-7.2"}));
  // The reboot takes "/ram" away; the next run finds what was staged.
  for (const char* saved : {"/ram/MANIFEST", "/ram/MANIFEST.verified"}) root.remove(saved);
  root.remove("/rw/pckg/.download/alpha.npk");
  run_result later = run();
  EXPECT_EQ(later.status, 0) << later.out;
  EXPECT_EQ(leftovers(root), std::vector<std::string>{});
  EXPECT_EQ(flash_state(root), before);
  EXPECT_EQ(root.read_file("/flash/bin/alpha"), "a1");
}

// A stale saved upgrade: a later --commit put 7.2 back over the 7.3 that a
// stream install had put in place.
TEST_F(KeepsWork, SavedUpgradeGoesStaleWithTheNextChange) {
  ASSERT_NO_FATAL_FAILURE(install(build(package("alpha", v71, "a1"))));
  put_download(build(package("alpha", v72, "a2")));
  ASSERT_EQ(run({"--safe"}).status, 0);
  run_result newer = stream(build(package("alpha", v73, "a3")));
  EXPECT_EQ(newer.status, 0) << newer.out;
  EXPECT_EQ(visible_lines(newer.out), lines{"WARNING: dropped the saved upgrade"});
  EXPECT_FALSE(root.exists("/ram/MANIFEST"));
  run_result commit = run({"--commit"});
  EXPECT_EQ(commit.status, 0) << commit.out;
  EXPECT_EQ(root.read_file("/flash/bin/alpha"), "a3");
  EXPECT_EQ(root.read_file("/flash/var/pdb/alpha/version"), version_line(v73, 1700000000));
}

// Disabling a bundle removed its record and image, and the next run its
// members, which it loads from that image.
TEST_F(KeepsWork, DisabledBundleStaysWithItsMembers) {
  ASSERT_NO_FATAL_FAILURE(install(build(package("base", v71, "base"))));
  ASSERT_NO_FATAL_FAILURE(install(build_bundle(bundle("kit", v71), {build(package("m1", v71, "m1")),
                                                                    build(package("m2", v71, "m2"))})));
  root.write_file("/ram/pdb/kit/schedule", "disable");
  run_result disabled = run();
  EXPECT_EQ(disabled.status, 0) << disabled.out;
  root.remove("/ram/pdb/kit/schedule");
  for (int later = 0; later < 2; ++later) ASSERT_EQ(run().status, 0);
  for (const char* name : {"kit", "m1", "m2"}) {
    EXPECT_EQ(root.read_file(std::string("/flash/var/pdb/") + name + "/disabled").empty(), false) << name;
  }
  EXPECT_TRUE(root.exists("/flash/var/pdb/kit/image"));
  EXPECT_EQ(root.read_file("/flash/bin/m1"), "m1");
  EXPECT_EQ(root.read_file("/flash/bin/m2"), "m2");

  root.write_file("/ram/pdb/kit/schedule", "enable");
  run_result enabled = run();
  EXPECT_EQ(enabled.status, 0) << enabled.out;
  for (const char* name : {"kit", "m1", "m2"})
    EXPECT_FALSE(root.exists(std::string("/flash/var/pdb/") + name + "/disabled")) << name;
}

// A dry run makes every decision of the run and prints the plan, and leaves
// the whole device root as it was; the run itself then does what it planned.
TEST_F(KeepsWork, DryRunPlansWhatTheRunDoes) {
  const uint32_t v640 = final_version(6, 40);
  pkgbuild::package_recipe modern = package("tool", v71, "tool");
  modern.depends = std::vector<pkg_dep>{dep("system", final_version(3, 22))};
  for (const std::string& file : {build(package("system", v71, "system")), build(package("alpha", v71, "a1")),
                                  build(package("beta", v71, "b1")), build(package("oldtool", v640, "old")), build(modern)})
    ASSERT_NO_FATAL_FAILURE(install(file));
  const struct {
    const char* label;
    std::vector<std::string> args;
    std::string input;
    std::function<void()> prepare;
    int status;
    lines plan;
    lines done;  // what the run itself then prints
  } cases[] = {
      {"upgrade", {}, "",
       [&] {
         put_download(build(package("alpha", v72, "a2")));
         root.write_file("/ram/pdb/beta/schedule", "disable");
         root.write_file("/ram/pdb/oldtool/schedule", "uninstall");
       },
       0, {"would disable beta-7.1", "would install alpha-7.2, replacing 7.1", "would uninstall oldtool-6.40"},
       {"disabled beta-7.1", "installed alpha-7.2"}},
      {"stream install", {"-"}, build(package("gamma", v71, "g")), [] {}, 0, {"would install gamma-7.1"}, {}},
      {"clean-up", {"--cleanup"}, "", [] {}, 0,
       {"would uninstall alpha-7.2", "would uninstall beta-7.1", "would uninstall gamma-7.1"}, {}},
      {"refusal", {}, "", [&] { put_download(build(package("alpha", v73, "a3"), signing::legacy_only)); }, 0,
       {"ERROR: installation of alpha-7.3 failed: broken package"},
       {"ERROR: installation of alpha-7.3 failed: broken package"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    c.prepare();
    auto before = root.snapshot("/");
    std::vector<std::string> dry = {"--dry-run"};
    dry.insert(dry.end(), c.args.begin(), c.args.end());
    run_result planned = c.input.empty() ? run(dry) : stream(c.input, {"--dry-run"});
    EXPECT_EQ(planned.status, c.status) << planned.out << planned.err;
    EXPECT_EQ(visible_lines(planned.out), c.plan);
    EXPECT_EQ(root.snapshot("/"), before) << "a dry run changes nothing";
    run_result done = c.input.empty() ? run(c.args) : stream(c.input);
    EXPECT_EQ(done.status, c.status) << done.out << done.err;
    EXPECT_EQ(visible_lines(done.out), c.done);
    root.remove("/rw/pckg/.download/alpha.npk");
    for (const char* name : {"beta", "oldtool"}) root.remove(std::string("/ram/pdb/") + name);
  }
  EXPECT_EQ(root.read_file("/flash/bin/tool"), "tool") << "what the clean-up keeps";
  EXPECT_FALSE(root.exists("/flash/bin/alpha"));
}

}  // namespace
}  // namespace installtest
