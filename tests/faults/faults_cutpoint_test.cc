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
// the clean state. Every 7th cut point by default (a scenario may ask for
// every one); INSTALLER_CUTPOINTS=full tries them all. Then a regression
// that the sweeps found.
#include <algorithm>
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
const std::string staging_mark = "/flash/var/pdb/.staging", pdb = "/flash/var/pdb/", dl = "/rw/pckg/.download/";
const auto npos = std::string::npos;

// The value under `key` (trees and listings alike), or `none`.
std::string value(const tree& t, const std::string& k, const std::string& none = gone) { return t.count(k) ? t.at(k) : none; }
// Ended by a signal or with a sanitizer's report.
bool crashed(const run_result& r) {
  return r.status < 0 || (r.status >= 128 && r.status != 255) || r.err.find("Sanitizer") != npos ||
         r.err.find("runtime error:") != npos;
}

// The outermost temporary that `path` is or lies in, when no reference has it.
std::string temporary_root(const std::string& path, const tree& before, const tree& after) {
  for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    std::string prefix = path.substr(0, end);
    bool temporary = is_temporary_name(prefix.substr(prefix.rfind('/') + 1)) || prefix == staging_mark;
    if (temporary && !before.count(prefix) && !after.count(prefix)) return prefix;
    if (end == npos) return {};
  }
}
tree without_temporaries(tree state, const tree& reference) {
  std::erase_if(state, [&](const auto& entry) { return !temporary_root(entry.first, reference, reference).empty(); });
  return state;
}
// Flash, rw and ram without the files runs write directly by design.
tree state(const device_root& root) { tree t = root.snapshot(); t.erase("/flash/postlog"), t.erase(pdb + "image"); return t; }

// The row run through the fault-injecting build with the fault plan `plan`.
scenario planned(scenario s, const std::string& plan) {
  s.name = plan, s.prefix = faulting, s.env.push_back({fs::fault_plan_variable, plan});
  return s;
}
// The operations a run traced on standard error, in order: operation k at k - 1.
lines trace(const std::string& text) {
  lines ops;
  for (const std::string& line : visible_lines(text))
    if (line.starts_with(fs::fault_log_prefix) && !line.ends_with(" operations"))
      ops.push_back(line.substr(line.find(' ', std::strlen(fs::fault_log_prefix)) + 1));
  return ops;
}

struct Sweep {
  const scenario& s;
  unsigned every;  // the stride of the cut points tried
  tree start{}, before{}, after{}, show_before{}, show_after{};  // listings: package name -> row of --show
  lines ops{};
  std::string label{};  // the cut point being tried

  void problem(const std::string& what) { ADD_FAILURE() << s.name << " " << label << ": " << what; }

  // The clean run, checked as the row says, then the cut points.
  void run() {
    device_root clean;
    ASSERT_NO_FATAL_FAILURE({ install_given(clean, s); clean.put(s.put); if (s.prepare) s.prepare(clean); });
    start = clean.snapshot(), before = state(clean), show_before = shown(clean);
    run_result traced = e2e::run(clean, s.args, options_of(planned(s, "trace")));
    check_run(s, traced, start, clean.snapshot());
    after = state(clean), show_after = shown(clean), ops = trace(traced.err);
    ASSERT_FALSE(ops.empty()) << "no operation traced";
    for (unsigned k = 1; k <= ops.size(); ++k)  // and always the last
      if ((k - 1) % every == 0 || k == ops.size()) for (const char* what : {"EIO", "ENOSPC", "stop"}) try_fault(k, what);
    std::printf("[ cut points ] %s: %zu operations, 1 in %u tried\n", s.name.c_str(), ops.size(), every);
  }

  tree shown(const device_root& root) {
    run_result r = e2e::run(root, {"--show"});
    if (r.status != 0) problem("--show failed: " + r.err.substr(0, 80));
    tree rows;
    for (const std::string& line : visible_lines(r.out))
      if (size_t from = line.find_first_not_of(' '); from != npos) rows[line.substr(from, line.find(' ', from) - from)] = line;
    return rows;
  }

  void check_listing(const device_root& root, bool cut_in_commit) {
    tree rows = shown(root);
    for (const auto& [name, row] : rows)
      if (row != value(show_before, name) && row != value(show_after, name) &&
          !(cut_in_commit && !show_before.count(name) && row.find(" 0.0 Jan/01/1970 00:00:00") != npos))
        problem("--show lists \"" + row + "\"");
    for (const auto& [name, row] : show_before) if (show_after.count(name) && !rows.count(name)) problem("--show lost " + name);
  }

  // Every entry is as before or as after the clean run; the temporaries
  // (outermost) that neither has.
  std::set<std::string> check_entries(const tree& got) {
    std::set<std::string> paths, temporaries;
    for (const tree* t : std::initializer_list<const tree*>{&before, &after, &got})
      for (const auto& entry : *t) paths.insert(entry.first);
    for (const std::string& path : paths) {
      std::string is = value(got, path), temporary = is == gone ? "" : temporary_root(path, before, after);
      if (is == value(before, path) || is == value(after, path)) continue;
      if (!temporary.empty()) temporaries.insert(temporary);
      else problem(path + " is neither as before nor as after");
    }
    return temporaries;
  }

  // The same run again, with the program: nothing of the faulted run may be
  // left unless a saved manifest still names it.
  tree run_later(const device_root& root) {
    run_result later = e2e::run(root, s.args, options_of(s));
    if (crashed(later)) problem("the later run: " + later.err.substr(0, 80));
    tree recovered = state(root);
    std::string saved = value(recovered, "/ram/MANIFEST", "");
    for (const std::string& path : check_entries(recovered))
      if (saved.empty() || (path != staging_mark && saved.find(" " + path + "\n") == npos))
        problem("after the later run " + path + " is still there");
    return recovered;
  }

  void try_fault(unsigned k, const std::string& what) {
    device_root root;
    root.put(start);
    label = std::to_string(k).append(":").append(what);
    run_result r = e2e::run(root, s.args, options_of(planned(s, label)));
    label.append(" (").append(ops[k - 1]).append(")");
    if (crashed(r)) problem(std::string("status ").append(std::to_string(r.status)).append(": ") + r.err.substr(0, 80));
    // The operation as this run made it (temporary names differ); a stop
    // ends the run right after it says so.
    std::string marker = std::string(what == "stop" ? "stopped before" : " injected at").append(" operation ");
    size_t at = r.err.find(marker.append(std::to_string(k)).append(" ("));
    if (at == npos) return problem("never reached the operation");
    std::string op = r.err.substr(at + marker.size(), r.err.find(")\n", at) - at - marker.size());
    std::string name = op.substr(0, op.find(' ')), target = op.substr(op.find(' ') + 1);
    tree got = state(root);
    std::set<std::string> temporaries = check_entries(got);
    bool in_commit = std::any_of(ops.begin(), ops.begin() + k, [](auto& done) { return done.starts_with("sync"); });
    check_listing(root, what == "stop" || in_commit);
    if (what == "stop") {
      label += " then the run again";
      if (without_temporaries(run_later(root), after) != after && s.args == lines{"--commit"}) problem("did not reach the clean state");
      return check_listing(root, false);
    }
    // Failing the very unlink or rmdir of a temporary (or of something in
    // it) can only leave it, and the mark that lets a later run find it.
    bool removal = name == "unlink" || name == "rmdir";
    if (std::erase_if(temporaries, [&](auto& path) { return removal && (target == path || target.starts_with(path + "/")); }))
      temporaries.erase(staging_mark), run_later(root);
    for (const std::string& path : temporaries) problem("the temporary " + path + " was left");
    // An error before the commit fails the run, which then changes nothing,
    // or is one the run carries on after; the schedule pass reports a
    // request it could not stage and carries out the others.
    bool request_failed = r.out.find("ERROR: could not disable ") != npos || r.out.find("ERROR: could not enable ") != npos;
    if (!in_commit && got != before && got != after && !request_failed)
      problem("an error before the commit left the trees neither as before nor as after");
    // Removals are best-effort and a sync cannot fail visibly; any other
    // error that changed the outcome must be reported: in the system's words,
    // the installer's own, or (a mkdir) as the failure of the move or link
    // that needed it.
    lines words = {std::strerror(what == "EIO" ? EIO : ENOSPC), what == "EIO" ? "disk error" : "disk is too small",
                   what == "EIO" ? "disk error" : "not enough space", "ERROR: could not open image"};
    if (name == "mkdir") words.insert(words.end(), {"\nrename: ", "\nsymlink: ", "\ncopy "});
    bool reported = std::any_of(words.begin(), words.end(), [&](auto& w) { return (r.out + r.err).find(w) != npos; });
    if (without_temporaries(got, after) != after && !removal && name != "sync" && !reported)
      problem(std::string("changed the outcome unreported: ").append(r.out.substr(0, 80)).append(" ") + r.err.substr(0, 80));
  }
};

// Sweeps the row's run in the same free space every time (moves from ram
// cross file systems).
void sweep(scenario s, unsigned every) {
  const char* wanted = std::getenv("INSTALLER_CUTPOINTS");
  s.flash_bytes = s.ram_bytes = 4 << 20;
  Sweep{.s = s, .every = wanted && std::strcmp(wanted, "full") == 0 ? 1 : every}.run();
}

using CutPoints = Scenarios;
const std::string alpha70 = "alpha 7.0 lib/libalpha.so=~20000 share/alpha/old.txt=dropped", kernel71 = "kernel 7.1 boot image=k71";
const std::string alpha71 = "alpha 7.1 lib/libalpha.so=~20000 share/alpha/new.txt=added share/alpha/doc/readme=~3000";

// Every kind of run, at every 7th cut point unless the row asks for all.
TEST_F(CutPoints, EveryKindOfRun) {
  const std::string v1 = "16803328 1700000000\n", v2 = "33580544 1700000000\n", big(30000, 'a'), bigger(40000, 'A');
  const std::string tool = testsupport::with_mode(0755, "tool 2.0"), doc = testsupport::with_mode(0600, "doc");
  const struct { scenario s; unsigned every = 7; } runs[] = {
      // What a --safe upgrade leaves: staged files beside their targets and
      // in ram, a changed, an added and a dropped file, a database directory
      // to remove, the image link and the changed-packages marker. Every cut
      // point: a link that could not be made used to leave its path empty.
      {{.name = "CommitOfSavedManifest",
        .put = {{staging_mark, ""}, {"/flash/bin/tool", testsupport::with_mode(0755, "tool 1.0")}, {"/flash/lib/big.so", big},
                {"/flash/bin/.installer-AAAAAA", tool}, {"/ram/.installer-BBBBBB", bigger}, {"/ram/.installer-CCCCCC", doc},
                {"/flash/share/old.txt", "dropped"}, {pdb + "gone/version", v1}, {pdb + "gone/files", "flash/share/old.txt\n"},
                {pdb + "pkg/version", v1}, {pdb + "pkg/.installer-DDDDDD", v2}, {pdb + "pkg/image", "old image"},
                {"/flash/bootimage", "boot image"}, {"/flash/.installer-EEEEEE", ""},
                {"/ram/MANIFEST", "M /flash/PCKGS_CHANGED /flash/.installer-EEEEEE\nM /flash/bin/tool /flash/bin/.installer-AAAAAA\n"
                                  "M /flash/lib/big.so /ram/.installer-BBBBBB\nM /flash/share/doc/new/readme /ram/.installer-CCCCCC\n"
                                  "U /flash/share/old.txt\nU /flash/var/pdb/gone/\nL /flash/var/pdb/pkg/image /flash/bootimage\n"
                                  "M /flash/var/pdb/pkg/version /flash/var/pdb/pkg/.installer-DDDDDD\n"}},
        .args = {"--commit"}, .out = {"finishing install... |\b "},  // the spinner turns once per copy from ram
        .expect = {{"/flash/bin/tool", tool}, {"/flash/lib/big.so", bigger}, {"/flash/share/doc/new/readme", doc},
                   {"/flash/share/old.txt", gone}, {pdb + "pkg/image", testsupport::link_to("/flash/bootimage")}, {pdb + "gone/", gone},
                   {pdb + "pkg/version", v2}, {"/flash/PCKGS_CHANGED", ""}, {"/flash/*.installer-*", gone}, {staging_mark, gone}}}, 1},
      // A power cut while a package's database directory was removed left a
      // part of it that loaded as the package at version 0: every cut point.
      {{.name = "UninstallOfSavedManifest", .put = {{pdb + "gone/version", "117466624 1700000000\n"}, {pdb + "gone/deps", ""},
                {pdb + "gone/files", ""}, {pdb + "gone/enabled", ""}, {"/ram/MANIFEST", "U /flash/var/pdb/gone/\n"}},
        .args = {"--commit"}, .out = {"finishing install... \b "}, .expect = {{pdb + "gone/", gone}}}, 1},
      // An upgrade whose changed-packages marker could not be staged went on
      // without it: the system was never told that its packages had changed.
      // Every cut point.
      {{.name = "UpgradeOfNewPackage", .put = {{dl + "alpha.npk", pkg("alpha 7.1")}}, .out = {"installed alpha-7.1"},
        .expect = {{"/flash/bin/alpha", "alpha-7.1"}, {pdb + "alpha/", any}, {"/flash/PCKGS_CHANGED", any}}}, 1},
      {{.name = "StreamInstallOfNewPackage", .given = {"base 7.0"}, .args = {"-"}, .input = pkg(alpha71),
        .expect = {{"/flash/bin/alpha", "alpha-7.1"}, {"/flash/lib/", any}, {"/flash/share/", any}, {pdb + "alpha/", any}}}},
      {{.name = "UpgradeAddsChangesAndDropsFiles", .given = {alpha70}, .put = {{dl + "alpha.npk", pkg(alpha71)}},
        .out = {"installed alpha-7.1"}, .expect = {{"/flash/bin/alpha", "alpha-7.1"}, {"/flash/share/alpha/old.txt", gone},
                   {"/flash/share/", any}, {"/flash/share/alpha/doc/readme", noise(3000)}, {pdb + "alpha/", any},
                   {"/flash/lib/libalpha.so", noise(20000)}, {"/flash/PCKGS_CHANGED", any}}}},
      {{.name = "BundleUpgradeDropsMember", .given = {"bundle suite 7.0 + one 7.0 + two 7.0 + three 7.0"},
        .put = {{dl + "suite.npk", pkg("bundle suite 7.1 + one 7.1 + two 7.1")}}, .out = {"installed suite-7.1"},
        .expect = {{"/flash/bin/one", "one-7.1"}, {"/flash/bin/two", "two-7.1"}, {"/flash/bin/three", gone},
                   {pdb + "three/", gone}, {pdb, any}, {"/flash/PCKGS_CHANGED", any}}}},
      {{.name = "ScheduledDisableAndUninstall", .given = {"keep 7.0", "off 7.0", "gone 7.0"},
        .put = {{"/ram/pdb/off/schedule", "disable"}, {"/ram/pdb/gone/schedule", "uninstall"}}, .out = {"disabled off-7.0"},
        .expect = {{pdb + "off/disabled", "user\n"}, {"/flash/bin/gone", gone}, {pdb + "gone/", gone},
                   {"/flash/PCKGS_CHANGED", any}}}},
      {{.name = "CleanupUninstalls", .given = {"system 7.0", "extra 7.0"}, .args = {"--cleanup"},
        .expect = {{"/flash/bin/extra", gone}, {pdb + "extra/", gone}}}},
      // From the upgrade that --safe saved.
      {{.name = "SafeUpgradeThenCommit", .given = {alpha70}, .put = {{dl + "alpha.npk", pkg(alpha71)}}, .args = {"--commit"},
        .out = {"finishing install... \b "}, .expect = {{"/flash/bin/alpha", "alpha-7.1"}, {pdb + "alpha/", any},
                   {"/flash/share/", any}, {"/flash/*.installer-*", gone}, {staging_mark, gone}, {"/flash/PCKGS_CHANGED", any}},
        .prepare = [](const device_root& root) { ASSERT_EQ(run(root, {"--safe"}).status, 0); }}},
      {{.name = "BootPackageKeepsItsImage", .given = {"kernel 7.0 boot image=k70"}, .args = {"-"}, .input = pkg(kernel71),
        .env = {{"bootimage", "1"}}, .expect = {{"/flash/bootimage", pkg(kernel71)}, {pdb + "kernel/", any}}}},
      // A download that keeps its image is confirmed and given a second name
      // beside its target before it is moved, from a download directory on
      // flash.
      {{.name = "UpgradeMovesAVerifiedDownload", .given = {"kernel 7.0 boot image=k70"},
        .put = {{"/flash/rw/pckg/kernel.npk", pkg(kernel71)}}, .env = {{"bootimage", "1"}}, .out = {"installed kernel-7.1"},
        .expect = {{"/flash/bootimage", pkg(kernel71)}, {"/flash/rw/pckg/kernel.npk", gone}, {pdb + "kernel/", any},
                   {"/flash/PCKGS_CHANGED", any}, {"/flash/UPGRADED", any}}}},
  };
  for (const auto& row : runs) sweep(row.s, row.every);
}

// A disable request whose state file could not be staged was printed as
// done, and a state file cut short was committed ("us" read as the user's).
TEST_F(CutPoints, DisableThatCannotBeStagedStagesNothing) {
  scenario s = {.given = {"keep 7.0", "off 7.0"}, .put = {{"/ram/pdb/off/schedule", "disable"}},
                .out = {std::string("ERROR: could not disable off-7.0: ") + std::strerror(EIO)},
                .expect = {{staging_mark + "*", any}}};  // the run's mark may stay: the next run sweeps
  device_root root;
  install_given(root, s);
  root.put(s.put);
  lines ops = trace(run(root, s.args, options_of(planned(s, "trace"))).err);
  // The state file's creation, then its first write.
  size_t create = std::find_if(ops.begin(), ops.end(), [](auto& op) { return op.starts_with("mkstemp /flash/var/pdb/off/"); }) - ops.begin();
  size_t write = std::find_if(ops.begin() + create, ops.end(), [](auto& op) { return op.starts_with("write"); }) - ops.begin();
  ASSERT_LT(write, ops.size());
  play({planned(s, std::to_string(create + 1) + ":EIO"), planned(s, std::to_string(write + 1) + ":EIO")});
}

}  // namespace
}  // namespace e2e
