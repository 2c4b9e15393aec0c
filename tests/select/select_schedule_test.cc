// The schedule pass on in-memory repositories. The pass stages files under
// "/flash/var/pdb/", so each case runs in a child process whose root is a
// device root, and reports back a transcript: the result, what was printed,
// every staged operation (staged files with their content) and the records
// left with their state.
#include "select/schedule.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "pkgdb/record.h"
#include "select/version.h"
#include "stage/manifest.h"
#include "support/device_root.h"

namespace {

constexpr uint32_t v2 = 0x02006600;  // 2.0

struct package_recipe {
  std::string name = {};
  bool disabled = false;
  uint32_t pending = PENDING_NONE;
  std::vector<std::string> depends = {};
  std::string bundle = {};  // bundle it came in
  bool is_bundle = false;
  std::vector<std::string> conflicts = {};
  bool user_set = false;
  uint32_t version = v2;
};

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string quoted(const std::string& text) {
  std::string q = "\"";
  for (char c : text) q += c == '\n' ? std::string("\\n") : std::string(1, c);
  return q + "\"";
}

std::string describe(const manifest& m) {
  std::string text;
  for (const auto& [target, op] : m.ops) {
    if (op.kind == OP_REMOVE)
      text += "U " + target + "\n";
    else if (op.kind == OP_STAGED)
      text += "S " + target + " " + quoted(read_all(op.source)) + "\n";
    else
      text += "? " + target + "\n";
  }
  return text;
}

std::string describe(const pkg_repo& repository) {
  std::string text = "left:";
  for (const pkg_image* r : repository.packages) {
    text += " " + (r->name.empty() ? std::string("<placeholder>") : r->name);
    if (r->disabled) text += "(off)";
    if (r->pending) text += "(" + std::string(action_word(r->pending)) + ")";
  }
  return text + "\n";
}

// Printable form of the progress line's control sequences.
std::string visible(const std::string& text) {
  std::string shown;
  for (char c : text) {
    if (c == '\033') shown += "<esc>";
    else if (c == '\r') shown += "<cr>";
    else shown += c;
  }
  return shown;
}

class Schedule : public ::testing::Test {
 protected:
  void add(const package_recipe& recipe) {
    specs_.push_back(recipe);
    if (recipe.name.empty()) return;
    std::string dir = "/flash/var/pdb/" + recipe.name + "/";
    root_.make_dirs(dir);
    root_.write_file(dir + "version", "33580544 0\n");
    if (recipe.disabled) root_.write_file(dir + "disabled", recipe.user_set ? "user\n" : "auto\n");
    if (!recipe.disabled && recipe.user_set) root_.write_file(dir + "enabled", "user\n");
  }

  // Runs `body` (the pass, say) on a repository holding the added packages,
  // inside the device root, and returns the transcript.
  std::string run(const std::function<bool(pkg_repo&, manifest&)>& body) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return "pipe failed";
    pid_t child = fork();
    if (child == 0) {
      close(pipe_fds[0]);
      std::string text = transcript_in_root(body);
      ssize_t written = write(pipe_fds[1], text.data(), text.size());
      _exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
    }
    close(pipe_fds[1]);
    std::string text;
    char buffer[4096];
    ssize_t got;
    while ((got = read(pipe_fds[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(got));
    close(pipe_fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) text += "child failed\n";
    return text;
  }

  std::string run_pass(int mode) {
    return run([mode](pkg_repo& repository, manifest& m) { return schedule_pass(repository, m, mode); });
  }

  testsupport::device_root root_;

 private:
  std::string transcript_in_root(const std::function<bool(pkg_repo&, manifest&)>& body) {
    if (chroot(root_.path().c_str()) != 0 || chdir("/") != 0) return "chroot failed\n";
    char* buffer = nullptr;
    size_t size = 0;
    pkg_repo repository;
    repository.out = open_memstream(&buffer, &size);
    for (const package_recipe& recipe : specs_) {
      auto image = std::make_unique<pkg_image>(recipe.name);
      image->version = recipe.version;
      image->disabled = recipe.disabled;
      image->pending = recipe.pending;
      image->user_set = recipe.user_set;
      image->is_bundle = recipe.is_bundle;
      image->bundle.name = recipe.bundle;
      for (const std::string& d : recipe.depends) image->depends.push_back(pkg_dep{d, 0, 0, 0});
      for (const std::string& c : recipe.conflicts) image->conflicts.push_back(pkg_dep{c, 0, 0, 0});
      repository.append(std::move(image));
    }
    manifest m;
    bool result = body(repository, m);
    std::fflush(repository.out);
    std::string text = std::string("result: ") + (result ? "true" : "false") + "\n";
    std::string printed = visible(std::string(buffer, size));
    if (printed.empty() || printed.back() != '\n') printed += "\n";
    text += "out: " + printed;
    text += describe(m) + describe(repository);
    std::fclose(repository.out);
    std::free(buffer);
    discard(m);
    return text;
  }

  std::vector<package_recipe> specs_;
};

std::string progress(const std::string& text) { return "<esc>[?25l<cr>" + text + "<cr><esc>[?25h"; }
std::string erase(size_t width) { return "<esc>[?25l<cr>" + std::string(width, ' ') + "<cr><esc>[?25h"; }

TEST_F(Schedule, ModeOneShowsEnableAndDisableLinesOnly) {
  add({.name = "keep"});
  add({.name = "old", .pending = PENDING_UNINSTALL});
  add({.name = "quiet", .pending = PENDING_DISABLE, .user_set = true});
  add({.name = "back", .disabled = true, .pending = PENDING_ENABLE, .user_set = true});
  std::string disabling = "disabling quiet-2.0...";
  std::string enabling = "enabling back-2.0...";
  EXPECT_EQ(run_pass(1),
            "result: true\n"
            "out: " + progress(disabling) + erase(disabling.size()) + "disabled quiet-2.0\n" +
            progress(enabling) + erase(enabling.size()) + "enabled back-2.0\n"
            "U /flash/var/pdb/back/disabled\n"
            "S /flash/var/pdb/back/enabled \"user\\n\"\n"
            "U /flash/var/pdb/old/\n"
            "S /flash/var/pdb/quiet/disabled \"user\\n\"\n"
            "U /flash/var/pdb/quiet/enabled\n"
            "left: keep quiet(off) back\n");
}

TEST_F(Schedule, ModeZeroPrintsNothingModeTwoShowsUninstalls) {
  add({.name = "keep"});
  add({.name = "a", .pending = PENDING_UNINSTALL});
  add({.name = "b", .pending = PENDING_UNINSTALL});
  add({.name = "c", .pending = PENDING_DISABLE});
  std::string zero = run_pass(0);
  EXPECT_NE(zero.find("out: \n"), std::string::npos) << zero;
  EXPECT_NE(zero.find("left: keep c(off)\n"), std::string::npos) << zero;
  // Mode 2: the uninstalls from the last to the first, before anything else.
  std::string two = run_pass(2);
  std::string c = "disabling c-2.0...", b = "uninstalling b-2.0...", a = "uninstalling a-2.0...";
  EXPECT_NE(two.find("out: " + progress(c) + erase(c.size()) + "disabled c-2.0\n" + progress(b) +
                     erase(b.size()) + "uninstalled b-2.0\n" + progress(a) + erase(a.size()) +
                     "uninstalled a-2.0\n"),
            std::string::npos)
      << two;
}

TEST_F(Schedule, EnablesFollowInstallationOrder) {
  add({.name = "keep"});
  add({.name = "top", .disabled = true, .pending = PENDING_ENABLE, .depends = {"mid"}});
  add({.name = "mid", .disabled = true, .pending = PENDING_ENABLE, .depends = {"low"}});
  add({.name = "low", .disabled = true, .pending = PENDING_ENABLE});
  std::string text = run_pass(1);
  size_t low = text.find("enabled low"), mid = text.find("enabled mid"), top = text.find("enabled top");
  ASSERT_NE(top, std::string::npos) << text;
  EXPECT_LT(low, mid) << text;
  EXPECT_LT(mid, top) << text;
}

TEST_F(Schedule, RefusalStagesNothingAndSaysSoUnlessModeZero) {
  add({.name = "a", .pending = PENDING_UNINSTALL});
  add({.name = "b", .pending = PENDING_DISABLE});
  add({.name = "c", .disabled = true});
  EXPECT_EQ(run_pass(1),
            "result: false\n"
            "out: ERROR: can not uninstall or disable all packages\n"
            "left: a b c(off)\n");
  EXPECT_EQ(run_pass(0), "result: false\nout: \nleft: a b c(off)\n");
}

TEST_F(Schedule, NothingToDo) {
  add({.name = "a"});
  add({.name = "b", .disabled = true});
  EXPECT_EQ(run_pass(1), "result: false\nout: \nleft: a b(off)\n");
}

// Placeholders of a bundle installation conflict with a member. When that
// member is to be enabled the placeholder is disabled, but nothing may be
// staged for it: its directory would be "/flash/var/pdb//".
TEST_F(Schedule, PlaceholdersNeverGetFilesAndDoNotStay) {
  add({.name = "", .conflicts = {"member"}});
  add({.name = "member", .disabled = true, .pending = PENDING_ENABLE});
  EXPECT_EQ(run_pass(1),
            "result: true\n"
            "out: " + progress("enabling member-2.0...") + erase(22) + "enabled member-2.0\n"
            "U /flash/var/pdb/member/disabled\n"
            "left: <placeholder>(off) member\n");
}

TEST_F(Schedule, PlaceholderDoesNotCountAsStaying) {
  add({.name = "", .conflicts = {"x"}});
  add({.name = "a", .pending = PENDING_UNINSTALL});
  EXPECT_EQ(run_pass(1),
            "result: false\n"
            "out: ERROR: can not uninstall or disable all packages\n"
            "left: <placeholder> a\n");
}

TEST_F(Schedule, UninstalledPlaceholderStagesNothing) {
  add({.name = "keep"});
  add({.name = "", .pending = PENDING_UNINSTALL, .conflicts = {"x"}});
  EXPECT_EQ(run_pass(2), "result: false\nout: \nleft: keep\n");
}

TEST_F(Schedule, NeededPackageIsKept) {
  add({.name = "app", .depends = {"lib"}});
  add({.name = "lib", .pending = PENDING_UNINSTALL});
  add({.name = "spare", .pending = PENDING_UNINSTALL});
  EXPECT_EQ(run_pass(1),
            "result: true\n"
            "out: WARNING: can not uninstall lib-2.0: app depends on it\n"
            "U /flash/var/pdb/spare/\n"
            "left: app lib\n");
}

// A package that is enabled and has an "enable" request left in its schedule
// is still running: packages that need it stay.
TEST_F(Schedule, EnabledPackageAskedToBeEnabledStillServes) {
  add({.name = "app", .depends = {"lib"}});
  add({.name = "lib", .pending = PENDING_ENABLE, .depends = {"base"}, .user_set = true});
  add({.name = "base", .pending = PENDING_UNINSTALL});
  EXPECT_EQ(run_pass(1),
            "result: true\n"
            "out: WARNING: can not uninstall base-2.0: lib depends on it\n" +
            progress("enabling lib-2.0...") + erase(19) + "enabled lib-2.0\n"
            "S /flash/var/pdb/lib/enabled \"user\\n\"\n"
            "left: app lib base\n");
}

TEST_F(Schedule, VanishingProvidersTakeTheirDependents) {
  // Only a disabled package needs "lib": it goes too. A disabled provider
  // of an active package is enabled.
  add({.name = "keep"});
  add({.name = "lib", .pending = PENDING_UNINSTALL});
  add({.name = "tool", .disabled = true, .depends = {"lib"}});
  add({.name = "driver", .disabled = true});
  add({.name = "panel", .depends = {"driver"}});
  std::string text = run_pass(0);
  EXPECT_NE(text.find("U /flash/var/pdb/lib/\n"), std::string::npos) << text;
  EXPECT_NE(text.find("U /flash/var/pdb/tool/\n"), std::string::npos) << text;
  EXPECT_NE(text.find("U /flash/var/pdb/driver/disabled\n"), std::string::npos) << text;
  EXPECT_NE(text.find("left: keep driver panel\n"), std::string::npos) << text;
}

TEST_F(Schedule, ConflictDisablesTheProviderAndItsDependent) {
  add({.name = "guard", .conflicts = {"web"}});
  add({.name = "web"});
  add({.name = "site", .depends = {"web"}});
  std::string text = run_pass(0);
  EXPECT_NE(text.find("S /flash/var/pdb/site/disabled \"auto\\n\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("S /flash/var/pdb/web/disabled \"auto\\n\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("left: guard web(off) site(off)\n"), std::string::npos) << text;
}

TEST_F(Schedule, TwoEnablesInConflict) {
  add({.name = "keep"});
  add({.name = "first", .disabled = true, .pending = PENDING_ENABLE});
  add({.name = "second", .disabled = true, .pending = PENDING_ENABLE, .conflicts = {"first"}});
  std::string text = run_pass(1);
  std::string warning = "WARNING: can not enable first: second-2.0 conflicts with it\n";
  size_t at = text.find(warning);
  ASSERT_NE(at, std::string::npos) << text;
  EXPECT_EQ(text.find("WARNING"), at) << text;
  EXPECT_EQ(text.find("WARNING", at + 1), std::string::npos) << text;
  EXPECT_NE(text.find("left: keep first(off) second\n"), std::string::npos) << text;
}

TEST_F(Schedule, BundleRequestsReachTheMembers) {
  add({.name = "keep"});
  add({.name = "m1", .bundle = "suite"});
  add({.name = "m2", .pending = PENDING_UNINSTALL, .bundle = "suite"});
  add({.name = "suite", .pending = PENDING_DISABLE, .is_bundle = true});
  // Disabled members leave no active member: the bundle record is disabled
  // with them (it used to be uninstalled, and its members with it one run
  // later).
  std::string text = run_pass(0);
  EXPECT_NE(text.find("left: keep m1(off) suite(off)\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("U /flash/var/pdb/suite/\n"), std::string::npos) << text;
}

TEST_F(Schedule, EnablingABundleEnablesItsMembers) {
  add({.name = "keep"});
  add({.name = "m1", .disabled = true, .bundle = "suite"});
  add({.name = "m2", .disabled = true, .bundle = "suite"});
  add({.name = "suite", .disabled = true, .pending = PENDING_ENABLE, .is_bundle = true});
  std::string text = run_pass(0);
  EXPECT_NE(text.find("left: keep m1 m2 suite\n"), std::string::npos) << text;
}

// A package loaded from both image places is two records of one name with
// one database directory: enabling one enables both.
TEST_F(Schedule, RecordsOfOneNameShareTheirState) {
  add({.name = "keep", .depends = {"lib"}});
  add({.name = "lib", .disabled = true});
  add({.name = "lib", .disabled = true});
  std::string text = run_pass(0);
  EXPECT_EQ(text, "result: true\nout: \nU /flash/var/pdb/lib/disabled\nleft: keep lib lib\n");
}

// The bundle record stays only as long as a member does.
TEST_F(Schedule, CleanupKeepsSystemBundlesAndModernPackages) {
  add({.name = "system", .version = 0x03176600});  // 3.23
  add({.name = "lumo"});
  add({.name = "disk-drivers"});
  add({.name = "suite", .is_bundle = true});
  add({.name = "m1", .bundle = "suite"});
  add({.name = "kit", .is_bundle = true});
  add({.name = "m2", .depends = {"system"}, .bundle = "kit"});
  add({.name = "old-app", .depends = {"system"}});
  add({.name = "lib"});
  add({.name = "new-app", .depends = {"lib", "system"}});
  std::string text = run([](pkg_repo& repository, manifest& m) {
    for (pkg_image* r : repository.packages)
      if (r->name == "new-app") r->depends[1].min_version = 0x03166600;  // 3.22
      else if (r->name == "m2") r->depends[0].min_version = 0x03166700;
      else if (r->name == "old-app") r->depends[0].min_version = 0x031665FF;  // 3.21.255
    return cleanup_packages(repository, m);
  });
  EXPECT_NE(text.find("WARNING: can not uninstall lib-2.0: new-app depends on it\n"), std::string::npos) << text;
  EXPECT_NE(text.find("left: system lumo disk-drivers kit m2 lib new-app\n"), std::string::npos) << text;
}

}  // namespace
