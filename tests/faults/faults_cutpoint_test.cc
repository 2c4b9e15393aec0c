// Cut-point sweeps: a scenario's run once cleanly through the fault-injecting
// build, then once per operation of its file-system seam with an injected
// EIO or ENOSPC or a stop as at a power cut, and the device checked after
// each: every entry of flash, rw and ram is as before the run or as after
// the clean run (never a mix), apart from temporaries that a stop left;
// after an error no temporary is left and an error that changed the outcome
// is reported (one before the commit leaves the trees as before); --show
// names each package at its old or new version (a package installed afresh
// whose commit was cut may show as a bare record, which the loader marks
// for uninstallation); after a stop the same run again trips over nothing,
// leaves no temporary that no saved manifest names, and a --commit reaches
// the clean state. Every 7th cut point by default; INSTALLER_CUTPOINTS=full
// tries them all. Then regressions that the sweeps found.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>

#include "platform/fs_faults.h"
#include "stage/staging.h"
#include "support/scenario.h"

namespace e2e {
namespace {

const std::vector<std::string> faulting = {"/bin/sh", "-c", "shift; exec \"$0\" \"$@\"", INSTALLER_FAULTS_BIN};
const std::string staging_mark = "/flash/var/pdb/.staging";

bool is_temporary(const std::string& path) {
  return is_temporary_name(path.substr(path.rfind('/') + 1)) || path == staging_mark;
}

// Ended by a signal or with a sanitizer's report (`allowed` aside).
bool crashed(const run_result& r, int allowed) {
  return r.status < 0 || (r.status >= 128 && r.status != 255 && r.status != allowed) ||
         r.err.find("Sanitizer") != std::string::npos || r.err.find("runtime error:") != std::string::npos;
}

std::string brief(const std::string& text) { return text.size() <= 80 ? text : text.substr(0, 80) + "..."; }

// The outermost temporary that `path` is or lies in, when no reference has it.
std::string temporary_root(const std::string& path, const tree& before, const tree& after) {
  for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    std::string prefix = path.substr(0, end);
    if (is_temporary(prefix) && !before.count(prefix) && !after.count(prefix)) return prefix;
    if (end == std::string::npos) return {};
  }
}

tree without_temporaries(const tree& state, const tree& reference) {
  tree kept;
  for (const auto& entry : state)
    if (temporary_root(entry.first, reference, reference).empty()) kept.insert(entry);
  return kept;
}

// Runs the row's arguments through the fault-injecting build with `plan`.
run_result run_faulted(const device_root& root, const scenario& s, const std::string& plan) {
  run_options opts = options_of(s);
  opts.env.push_back({fs::fault_plan_variable, plan});
  opts.prefix = faulting;
  return run(root, s.args, opts);
}

class Sweep {
 public:
  Sweep(const scenario& s, bool full) : s_(s), full_(full) {}

  void run() {
    device_root clean;
    ASSERT_NO_FATAL_FAILURE(install_given(clean, s_));
    clean.put(s_.put);
    start_ = clean.snapshot();
    before_ = state(clean);
    show_before_ = listing(clean, "before");
    run_result r = run_faulted(clean, s_, "trace");
    after_ = state(clean);
    show_after_ = listing(clean, "after");
    std::string prefix = fs::fault_log_prefix;
    for (size_t at = 0; (at = r.err.find(prefix, at)) != std::string::npos; at += prefix.size()) {
      std::string op = r.err.substr(at + prefix.size(), r.err.find('\n', at) - at - prefix.size());
      op = op.substr(op.find(' ') + 1);
      if (op != "operations") trace_.push_back(op);
      if (op.rfind("sync", 0) == 0 && commit_ == 0) commit_ = trace_.size();
    }
    if (commit_ == 0) commit_ = trace_.size() + 1;
    // The program does the scenario's work, and carries no fault layer: a
    // plan means nothing to it.
    device_root plain;
    plain.put(start_);
    run_options opts = options_of(s_);
    opts.env.push_back({fs::fault_plan_variable, "1:stop"});
    run_result done = e2e::run(plain, s_.args, opts);
    check_run(s_, done, start_, plain.snapshot());
    if (state(plain) != after_) problem("the program and the faulting build end in different states");
    ASSERT_FALSE(trace_.empty()) << r.err;
    unsigned tried = 0;
    for (unsigned k = 1; k <= trace_.size(); ++k)
      if (full_ || (k - 1) % 7 == 0 || k == trace_.size()) {
        ++tried;
        for (const char* what : {"EIO", "ENOSPC", "stop"}) try_fault(k, what);
      }
    std::printf("[ cut points ] %s: %zu operations, %u cut points tried (%s), %u stops left temporaries, %u listed "
                "a bare record\n", s_.name.c_str(), trace_.size(), tried, full_ ? "all" : "every 7th", stops_leaving_, bare_);
  }

 private:
  // Flash, rw and ram without the files runs write directly by design.
  static tree state(const device_root& root) {
    tree entries = root.snapshot();
    entries.erase("/flash/postlog"), entries.erase("/flash/var/pdb/image");
    return entries;
  }
  void problem(const std::string& what) { ADD_FAILURE() << s_.name << " " << label_ << ": " << what; }

  // name -> row of --show, the name being a row's first word.
  std::map<std::string, std::string> listing(const device_root& root, const std::string& when) {
    run_result shown = e2e::run(root, {"--show"});
    if (shown.status != 0) problem(when + ": --show failed: " + brief(shown.err));
    std::map<std::string, std::string> rows;
    lines seen = visible_lines(shown.out);
    for (size_t i = 2; i < seen.size(); ++i) {
      size_t start = seen[i].find_first_not_of(' ');
      if (start != std::string::npos) rows[seen[i].substr(start, seen[i].find(' ', start) - start)] = seen[i];
    }
    return rows;
  }

  void check_listing(const device_root& root, bool cut_in_commit) {
    std::map<std::string, std::string> rows = listing(root, "");
    for (const auto& [name, row] : rows) {
      auto b = show_before_.find(name), a = show_after_.find(name);
      if ((b != show_before_.end() && b->second == row) || (a != show_after_.end() && a->second == row)) continue;
      bool bare = row.find(" 0.0 ") != std::string::npos && row.find(" Jan/01/1970 00:00:00") != std::string::npos;
      if (cut_in_commit && b == show_before_.end() && bare) ++bare_;
      else problem("--show lists \"" + row + "\"");
    }
    for (const auto& [name, row] : show_before_)
      if (show_after_.count(name) && !rows.count(name)) problem("--show lost " + name);
  }

  // Every entry is as before or as after the clean run; the temporaries
  // (outermost) that neither has.
  std::set<std::string> check_entries(const tree& got) {
    std::set<std::string> paths, temporaries;
    for (const tree* t : std::initializer_list<const tree*>{&before_, &after_, &got})
      for (const auto& entry : *t) paths.insert(entry.first);
    for (const std::string& path : paths) {
      tree::const_iterator b = before_.find(path), a = after_.find(path), g = got.find(path);
      bool was = b != before_.end(), will = a != after_.end();
      if (g == got.end() ? !was || !will : (was && g->second == b->second) || (will && g->second == a->second)) continue;
      std::string temporary = g == got.end() ? "" : temporary_root(path, before_, after_);
      if (!temporary.empty()) temporaries.insert(temporary);
      else problem(path + " is neither as before nor as after");
    }
    return temporaries;
  }

  // The same run again, with the plain program: nothing of the faulted run
  // may be left unless a saved manifest still names it.
  tree run_later(const device_root& root) {
    run_result later = e2e::run(root, s_.args, options_of(s_));
    if (crashed(later, 255)) problem("the later run: " + brief(later.err));
    tree recovered = state(root);
    auto saved = recovered.find("/ram/MANIFEST");
    for (const std::string& path : check_entries(recovered))
      if (saved == recovered.end() || (path != staging_mark && saved->second.find(" " + path + "\n") == std::string::npos))
        problem("after the later run " + path + " is still there");
    return recovered;
  }

  void try_fault(unsigned k, const std::string& what) {
    device_root root;
    root.put(start_);
    std::string plan = std::to_string(k).append(":").append(what);
    label_ = plan + " (" + trace_[k - 1] + ")";
    run_result r = run_faulted(root, s_, plan);
    if (crashed(r, fs::fault_stop_status))
      problem(std::string("status ").append(std::to_string(r.status)).append(": ").append(brief(r.err)));
    tree got = state(root);
    if (what == "stop") {
      if (r.status != fs::fault_stop_status) problem("never reached the operation");
      if (!check_entries(got).empty()) ++stops_leaving_;
      check_listing(root, true);
      label_ += " then the run again";
      tree recovered = run_later(root);
      if (s_.args == std::vector<std::string>{"--commit"} && without_temporaries(recovered, after_) != after_)
        problem("did not reach the clean state");
      return check_listing(root, false);
    }
    std::string op = trace_[k - 1], marker = std::string(" injected at operation ").append(std::to_string(k)).append(" ");
    if (r.err.find(marker) == std::string::npos) problem("never reached the operation");
    // The operation as this run made it: temporary names differ.
    marker.append("(");
    if (size_t at = r.err.find(marker); at != std::string::npos)
      op = r.err.substr(at + marker.size(), r.err.find(")\n", at) - at - marker.size());
    std::string name = op.substr(0, op.find(' ')), target = op.substr(op.find(' ') + 1);
    // Failing the very unlink or rmdir of a temporary (or of something in
    // it) can only leave it, and the mark that lets a later run find it.
    auto is_removed = [&](const std::string& path) {
      return (name == "unlink" || name == "rmdir") && (target == path || target.rfind(path + "/", 0) == 0);
    };
    std::set<std::string> temporaries = check_entries(got);
    bool left_one = std::any_of(temporaries.begin(), temporaries.end(), is_removed);
    for (const std::string& path : temporaries)
      if (!is_removed(path) && !(left_one && path == staging_mark)) problem("the temporary " + path + " was left");
    if (left_one) run_later(root);
    // An error before the commit fails the run, which then changes nothing,
    // or is one the run carries on after; the schedule pass reports a
    // request it could not stage and carries out the others.
    bool request_failed = r.out.find("ERROR: could not disable ") != std::string::npos ||
                          r.out.find("ERROR: could not enable ") != std::string::npos;
    if (k < commit_ && got != before_ && got != after_ && !request_failed)
      problem("an error before the commit left the trees neither as before nor as after");
    // Removals are best-effort and a sync cannot fail visibly; any other
    // error that changed the outcome must be reported, in the system's words
    // or the installer's own.
    bool changed = without_temporaries(got, after_) != after_;
    bool silent = name == "unlink" || name == "rmdir" || name == "sync";
    std::string all = r.out + r.err;
    bool reported = all.find(std::strerror(what == "EIO" ? EIO : ENOSPC)) != std::string::npos;
    for (const char* words : {what == "EIO" ? "disk error" : "disk is too small", "not enough space",
                              "ERROR: could not open image"})
      reported |= (what == "ENOSPC" || words[0] != 'n') && r.out.find(words) != std::string::npos;
    if (name == "mkdir")  // shows as the failure of the move or link that needed it
      for (const char* later : {"\nrename: ", "\nsymlink: ", "\ncopy "}) reported |= r.err.find(later) != std::string::npos;
    if (changed && !silent && !reported) problem(std::string("changed the outcome unreported: ").append(brief(r.out)).append(" ").append(brief(r.err)));
    check_listing(root, k >= commit_);
  }

  const scenario& s_;
  bool full_;
  tree start_, before_, after_;
  std::map<std::string, std::string> show_before_, show_after_;
  std::vector<std::string> trace_;
  size_t commit_ = 0;  // the first sync: the commit begins there
  std::string label_;
  unsigned stops_leaving_ = 0, bare_ = 0;
};

class CutPoints : public Scenarios {
 protected:
  static void sweep(scenario s) {
    const char* wanted = std::getenv("INSTALLER_CUTPOINTS");
    s.flash_bytes = s.ram_bytes = 4 << 20;  // the same free space in every run; moves from ram cross file systems
    Sweep(s, wanted && std::strcmp(wanted, "full") == 0).run();
  }
};

const std::string pdb = "/flash/var/pdb/", dl = "/rw/pckg/.download/";
const std::string alpha70 = "alpha 7.0 lib/libalpha.so=~20000 share/alpha/old.txt=dropped";
const std::string alpha71 = "alpha 7.1 lib/libalpha.so=~20000 share/alpha/new.txt=added share/alpha/doc/readme=~3000";
const env_list boot = {{"bootimage", "1"}};

// What a --safe upgrade leaves: staged files beside their targets and in ram,
// a changed, an added and a dropped file, a database directory to remove,
// the image link and the changed-packages marker.
TEST_F(CutPoints, CommitOfSavedManifest) {
  const std::string v1 = "16803328 1700000000\n", v2 = "33580544 1700000000\n", big(30000, 'a'), bigger(40000, 'A');
  sweep({.name = "commit",
         .put = {{staging_mark, ""}, {"/flash/bin/tool", testsupport::with_mode(0755, "tool 1.0")},
                 {"/flash/bin/.installer-AAAAAA", testsupport::with_mode(0755, "tool 2.0")}, {"/flash/lib/big.so", big},
                 {"/ram/.installer-BBBBBB", bigger}, {"/ram/.installer-CCCCCC", testsupport::with_mode(0600, "doc")},
                 {"/flash/share/old.txt", "dropped"}, {pdb + "gone/version", v1}, {pdb + "gone/files", "flash/share/old.txt\n"},
                 {pdb + "pkg/version", v1}, {pdb + "pkg/.installer-DDDDDD", v2}, {pdb + "pkg/image", "old image"},
                 {"/flash/bootimage", "boot image"}, {"/flash/.installer-EEEEEE", ""},
                 {"/ram/MANIFEST", "M /flash/PCKGS_CHANGED /flash/.installer-EEEEEE\nM /flash/bin/tool /flash/bin/.installer-AAAAAA\n"
                                   "M /flash/lib/big.so /ram/.installer-BBBBBB\nM /flash/share/doc/new/readme /ram/.installer-CCCCCC\n"
                                   "U /flash/share/old.txt\nU /flash/var/pdb/gone/\nL /flash/var/pdb/pkg/image /flash/bootimage\n"
                                   "M /flash/var/pdb/pkg/version /flash/var/pdb/pkg/.installer-DDDDDD\n"}},
         .args = {"--commit"}, .out = {"finishing install... |\b "},  // the spinner turns once per copy from ram
         .expect = {{"/flash/bin/tool", testsupport::with_mode(0755, "tool 2.0")}, {"/flash/lib/big.so", bigger},
                    {"/flash/share/doc/new/readme", testsupport::with_mode(0600, "doc")}, {"/flash/share/old.txt", gone},
                    {pdb + "pkg/image", testsupport::link_to("/flash/bootimage")}, {pdb + "pkg/version", v2},
                    {pdb + "gone/", gone}, {"/flash/PCKGS_CHANGED", ""}, {"/flash/*.installer-*", gone}, {staging_mark, gone}}});
}

TEST_F(CutPoints, StreamInstallOfNewPackage) {
  sweep({.name = "stream install", .given = {"base 7.0"}, .args = {"-"}, .input = pkg(alpha71),
         .expect = {{"/flash/bin/alpha", "alpha-7.1"}, {"/flash/lib/", any}, {"/flash/share/", any}, {pdb + "alpha/", any}}});
}

TEST_F(CutPoints, UpgradeAddsChangesAndDropsFiles) {
  sweep({.name = "upgrade", .given = {alpha70}, .put = {{dl + "alpha.npk", pkg(alpha71)}}, .out = {"installed alpha-7.1"},
         .expect = {{"/flash/bin/alpha", "alpha-7.1"}, {"/flash/share/alpha/old.txt", gone},
                    {"/flash/share/alpha/doc/readme", noise(3000)}, {"/flash/share/", any}, {pdb + "alpha/", any},
                    {"/flash/PCKGS_CHANGED", any}}});
}

TEST_F(CutPoints, BundleUpgradeDropsMember) {
  sweep({.name = "bundle upgrade", .given = {"bundle suite 7.0 + one 7.0 + two 7.0 + three 7.0"},
         .put = {{dl + "suite.npk", pkg("bundle suite 7.1 + one 7.1 + two 7.1")}}, .out = {"installed suite-7.1"},
         .expect = {{"/flash/bin/one", "one-7.1"}, {"/flash/bin/two", "two-7.1"}, {"/flash/bin/three", gone},
                    {pdb + "three/", gone}, {pdb, any}, {"/flash/PCKGS_CHANGED", any}}});
}

TEST_F(CutPoints, ScheduledDisableAndUninstall) {
  sweep({.name = "schedules", .given = {"keep 7.0", "off 7.0", "gone 7.0"},
         .put = {{"/ram/pdb/off/schedule", "disable"}, {"/ram/pdb/gone/schedule", "uninstall"}},
         .out = {"disabled off-7.0"},
         .expect = {{pdb + "off/disabled", "user\n"}, {"/flash/bin/gone", gone}, {pdb + "gone/", gone},
                    {"/flash/PCKGS_CHANGED", any}}});
}

TEST_F(CutPoints, CleanupUninstalls) {
  sweep({.name = "cleanup", .given = {"system 7.0", "extra 7.0"}, .args = {"--cleanup"},
         .expect = {{"/flash/bin/extra", gone}, {pdb + "extra/", gone}}});
}

TEST_F(CutPoints, SafeUpgradeThenCommit) {
  scenario s = {.name = "safe then commit", .given = {alpha70}, .put = {{dl + "alpha.npk", pkg(alpha71)}}, .args = {"--safe"}};
  device_root root;  // the saved upgrade, as the starting state of the sweep
  ASSERT_NO_FATAL_FAILURE(install_given(root, s));
  root.put(s.put);
  ASSERT_EQ(run(root, {"--safe"}).status, 0);
  sweep({.name = s.name, .put = root.snapshot(), .args = {"--commit"}, .out = {"finishing install... \b "},
         .expect = {{"/flash/bin/alpha", "alpha-7.1"}, {"/flash/share/", any}, {pdb + "alpha/", any},
                    {"/flash/*.installer-*", gone}, {staging_mark, gone}, {"/flash/PCKGS_CHANGED", any}}});
}

TEST_F(CutPoints, BootPackageKeepsItsImage) {
  sweep({.name = "boot package", .given = {"kernel 7.0 boot image=k70"}, .args = {"-"}, .input = pkg("kernel 7.1 boot image=k71"),
         .env = boot, .expect = {{"/flash/bootimage", pkg("kernel 7.1 boot image=k71")}, {pdb + "kernel/", any}}});
}

// A download that keeps its image is confirmed and given a second name
// beside its target before it is moved, from a download directory on flash.
TEST_F(CutPoints, UpgradeMovesAVerifiedDownload) {
  sweep({.name = "kept image", .given = {"kernel 7.0 boot image=k70"},
         .put = {{"/flash/rw/pckg/kernel.npk", pkg("kernel 7.1 boot image=k71")}}, .env = boot, .out = {"installed kernel-7.1"},
         .expect = {{"/flash/bootimage", pkg("kernel 7.1 boot image=k71")}, {"/flash/rw/pckg/kernel.npk", gone},
                    {pdb + "kernel/", any}, {"/flash/PCKGS_CHANGED", any}, {"/flash/UPGRADED", any}}});
}

// The number of the first operation after `after` in the trace of the
// row's run that starts with `prefix`, or with `last` the last one before
// the commit's first sync; 0 when there is none.
unsigned operation(const device_root& root, const scenario& s, const std::string& prefix, unsigned after, bool last) {
  std::string trace = run_faulted(root, s, "trace").err;
  unsigned found = 0;
  for (unsigned k = after + 1;; ++k) {
    std::string head = std::string(fs::fault_log_prefix).append(std::to_string(k)).append(" ");
    size_t at = trace.find(head);
    if (at == std::string::npos || (last && trace.compare(at + head.size(), 4, "sync") == 0)) return found;
    if (trace.compare(at + head.size(), prefix.size(), prefix) == 0 && (found = k, !last)) return k;
  }
}

scenario faulted_at(scenario s, unsigned k, const std::string& what) {
  s.name = std::to_string(k).append(":").append(what);
  s.env.push_back({fs::fault_plan_variable, s.name});
  s.prefix = faulting;
  return s;
}

using Regressions = Scenarios;

// An upgrade whose changed-packages marker could not be staged went on
// without it: the system was never told that its packages had changed.
TEST_F(Regressions, UpgradeWithoutItsChangedMarkerChangesNothing) {
  scenario s = {.put = {{dl + "alpha.npk", pkg("alpha 7.1")}}};
  device_root root;
  root.put(s.put);
  unsigned marker = operation(root, s, "mkstemp /flash/.installer-", 0, true);
  ASSERT_GT(marker, 0u);
  scenario full = faulted_at(s, marker, "ENOSPC"), failing = faulted_at(s, marker, "EIO");
  full.status = 28, failing.status = 1;
  full.out = {"ERROR: not enough space for upgrade"};
  failing.out = {std::string("ERROR: could not create /flash/PCKGS_CHANGED: ") + std::strerror(EIO)};
  play({full, failing});
}

// A disable request whose state file could not be staged was printed as
// done, and a state file cut short was committed ("us" read as the user's).
TEST_F(Regressions, DisableThatCannotBeStagedStagesNothing) {
  scenario s = {.given = {"keep 7.0", "off 7.0"}, .put = {{"/ram/pdb/off/schedule", "disable"}}};
  device_root root;
  ASSERT_NO_FATAL_FAILURE(install_given(root, s));
  root.put(s.put);
  unsigned create = operation(root, s, "mkstemp /flash/var/pdb/off/", 0, false);
  unsigned write = operation(root, s, "write", create, false);
  ASSERT_GT(create, 0u);
  std::vector<scenario> rows;
  for (unsigned k : {create, write}) {
    rows.push_back(faulted_at(s, k, "EIO"));
    rows.back().match = lines_are::unchecked;
    rows.back().expect = {{staging_mark + "*", any}};  // the run's mark may stay: the next run sweeps
    rows.back().check = [](const device_root&, const run_result& result) {
      lines seen = visible_lines(result.out);
      EXPECT_EQ(seen.at(0), std::string("ERROR: could not disable off-7.0: ") + std::strerror(EIO));
      for (const std::string& line : seen) EXPECT_NE(line, "disabled off-7.0");
    };
  }
  play(rows);
}

// A power cut while a package's database directory was removed left a part
// of it that loaded as the package at version 0.
TEST_F(Regressions, CutShortUninstallNeverListsVersionZero) {
  scenario s = {.put = {{pdb + "gone/version", "117466624 1700000000\n"}, {pdb + "gone/deps", ""},
                        {pdb + "gone/files", ""}, {pdb + "gone/enabled", ""}, {"/ram/MANIFEST", "U /flash/var/pdb/gone/\n"}},
                .args = {"--commit"}, .status = fs::fault_stop_status, .match = lines_are::unchecked,
                .expect = {{pdb + "gone/", any}, {pdb + "*.installer-*", any}, {pdb + ".staging*", any}},
                .check = [](const device_root& root, const run_result&) {
                  EXPECT_EQ(run(root, {"--show"}).out.find("0.0 "), std::string::npos);
                }};
  std::vector<scenario> rows;
  for (unsigned k = 1; k <= 6; ++k) rows.push_back(faulted_at(s, k, "stop"));  // sync, a rename out of sight, four unlinks
  play(rows);
}

}  // namespace
}  // namespace e2e
