#include "faults/faults_harness.h"

#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "platform/fs_faults.h"
#include "stage/staging.h"

namespace faults_test {

using testsupport::device_root;
using testsupport::run_installer;
using testsupport::run_options;
using testsupport::run_result;

namespace {

const char* const trees[] = {"flash", "rw", "ram"};

// "-r ROOT" and `args`; --commit and --cancel act on the root that stands at
// "/" instead, which is then ROOT.
std::vector<std::string> root_arguments(const std::vector<std::string>& args, const device_root& root,
                                        run_options* options) {
  for (const std::string& arg : args)
    if (arg == "--commit" || arg == "--cancel") {
      options->slash_root = root.path();
      return args;
    }
  std::vector<std::string> full = {"-r", root.path()};
  full.insert(full.end(), args.begin(), args.end());
  return full;
}

// What the clean run did, read from the fault layer's trace.
struct clean_trace {
  std::vector<std::string> operations;  // [k - 1]: "rename /a /b"
  unsigned commit_start = 0;            // the first sync: the commit begins there
};

struct run_context {
  const scenario& s;
  sweep_report& report;
  const device_state& full_before;  // with the files written directly
  clean_trace trace;
  std::map<std::string, std::string> show_before, show_after;  // name -> listing line
};

std::string brief(const std::string& entry) {
  return entry.size() <= 60 ? entry : entry.substr(0, 60) + "...(" + std::to_string(entry.size()) + " bytes)";
}

std::string text_or_missing(const device_state& state, const std::string& path) {
  auto it = state.find(path);
  return it == state.end() ? "(missing)" : brief(it->second);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool has_sanitizer_report(const run_result& r) {
  return r.err.find("Sanitizer") != std::string::npos || r.err.find("runtime error:") != std::string::npos;
}

bool crashed(const run_result& r) { return r.status < 0 || (r.status >= 128 && r.status != 255); }

clean_trace read_trace(const std::string& err, unsigned* total) {
  clean_trace trace;
  const std::string prefix = fs::fault_log_prefix;
  for (const std::string& line : lines_of(err)) {
    if (line.compare(0, prefix.size(), prefix) != 0) continue;
    std::string rest = line.substr(prefix.size());
    size_t blank = rest.find(' ');
    if (rest.substr(blank + 1) == "operations") {
      *total = static_cast<unsigned>(std::strtoul(rest.c_str(), nullptr, 10));
      continue;
    }
    trace.operations.push_back(rest.substr(blank + 1));
    if (trace.commit_start == 0 && rest.substr(blank + 1, 4) == "sync")
      trace.commit_start = static_cast<unsigned>(trace.operations.size());
  }
  if (trace.commit_start == 0) trace.commit_start = static_cast<unsigned>(trace.operations.size()) + 1;
  return trace;
}

std::map<std::string, std::string> listing(const device_root& root, const std::string& label,
                                           std::vector<std::string>* problems) {
  run_result shown = run_installer({"-r", root.path(), "--show"});
  if (shown.status != 0 || has_sanitizer_report(shown))
    problems->push_back(label + ": --show failed with status " + std::to_string(shown.status) + ": " +
                        brief(shown.err));
  std::map<std::string, std::string> rows;
  std::vector<std::string> lines = lines_of(shown.out);
  // The name is the first word of a row; short names are padded in front.
  for (size_t i = 2; i < lines.size(); ++i) {
    size_t start = lines[i].find_first_not_of(' ');
    if (start == std::string::npos) continue;
    rows[lines[i].substr(start, lines[i].find(' ', start) - start)] = lines[i];
  }
  return rows;
}

std::vector<unsigned> cut_points(unsigned total, const sweep_options& options) {
  std::vector<unsigned> points;
  for (unsigned k = 1; k <= total; ++k)
    if (options.full || (k - 1) % options.stride == 0 || k == total) points.push_back(k);
  return points;
}

// The outermost temporary that `path` is or lies in, when neither reference
// state has it; "" otherwise.
std::string temporary_root(const std::string& path, const device_state& before, const device_state& after) {
  size_t end = 0;
  do {
    end = path.find('/', end + 1);
    std::string prefix = path.substr(0, end);
    if (is_temporary_name(prefix) && !before.count(prefix) && !after.count(prefix)) return prefix;
  } while (end != std::string::npos);
  return {};
}

device_state without_temporaries(const device_state& state, const device_state& reference) {
  device_state kept;
  for (const auto& [path, entry] : state)
    if (temporary_root(path, reference, reference).empty()) kept.emplace(path, entry);
  return kept;
}

// The state that the checks compare: without the files written directly.
device_state checked_state(const scenario& s, const device_root& root) {
  device_state state = capture(root);
  for (const std::string& path : s.written_directly) state.erase(path);
  return state;
}

// Every entry is as before or as after the clean run. Returns the
// temporaries (outermost) that neither state has.
std::vector<std::string> check_entries(const run_context& c, const device_state& got, const std::string& label,
                                       std::vector<std::string>* problems) {
  const device_state &before = c.report.before, &after = c.report.after;
  std::set<std::string> paths;
  for (const device_state* state : {&before, &after, &got})
    for (const auto& entry : *state) paths.insert(entry.first);
  std::set<std::string> temporaries;
  for (const std::string& path : paths) {
    auto b = before.find(path), a = after.find(path), g = got.find(path);
    bool was = b != before.end(), will = a != after.end();
    if (g == got.end() ? (!was || !will) : ((was && g->second == b->second) || (will && g->second == a->second)))
      continue;
    std::string temporary = g == got.end() ? std::string() : temporary_root(path, before, after);
    if (!temporary.empty()) {
      temporaries.insert(temporary);
      continue;
    }
    problems->push_back(label + ": " + path + " is " + text_or_missing(got, path) + ", before " +
                        text_or_missing(before, path) + ", after " + text_or_missing(after, path));
  }
  return {temporaries.begin(), temporaries.end()};
}

// A bare record: a database directory without its version, which the
// loader marks for uninstallation so that the next run removes it.
bool is_bare_row(const std::string& row) {
  return row.find(" 0.0 ") != std::string::npos && row.find(" Jan/01/1970 00:00:00") != std::string::npos;
}

// After a stop or a failed move during the commit, a package that this run
// was installing afresh may show as a bare record: its directory is filled
// file by file, and a directory cut short before its "version" file loads
// marked for uninstallation, which the next run carries out. This is the
// database's own recovery and is accepted; any other row must be the
// package's old or new one.
void check_listing(run_context& c, const device_root& root, const std::string& label,
                   std::vector<std::string>* problems, bool cut_in_commit = false) {
  std::map<std::string, std::string> rows = listing(root, label, problems);
  for (const auto& [name, row] : rows) {
    auto b = c.show_before.find(name), a = c.show_after.find(name);
    bool known = (b != c.show_before.end() && b->second == row) || (a != c.show_after.end() && a->second == row);
    if (!known && cut_in_commit && b == c.show_before.end() && is_bare_row(row)) {
      ++c.report.listing_bare_records;
      continue;
    }
    if (!known) problems->push_back(label + ": --show lists \"" + row + "\"");
  }
  for (const auto& [name, row] : c.show_before)
    if (c.show_after.count(name) && !rows.count(name))
      problems->push_back(label + ": --show lost the package " + name);
}

// After the later run nothing of the faulted run may be left: no temporary
// and no mark, except what a saved manifest still owns. With every entry
// as before or as after the clean run, the flash then holds what one of
// them holds, and its free space is theirs.
void check_no_leftovers(const device_state& recovered, const std::vector<std::string>& temporaries,
                        const std::string& label, std::vector<std::string>* problems) {
  auto saved = recovered.find("ram/MANIFEST");
  for (const std::string& path : temporaries) {
    bool owned = saved != recovered.end() &&
                 (path == staging_mark || saved->second.find(" /" + path + "\n") != std::string::npos);
    if (!owned) problems->push_back(label + ": " + path + " is still there");
  }
}

// The scenario's later run after a faulted one; returns the state it left.
device_state run_later(run_context& c, const device_root& root, const std::string& label,
                       std::vector<std::string>* problems) {
  run_options options;
  options.input = c.s.recovery_input;
  options.env = c.s.env;
  options.flash_bytes = c.s.flash_bytes;
  options.ram_bytes = c.s.ram_bytes;
  std::vector<std::string> args = root_arguments(c.s.recovery_args, root, &options);
  run_result later = run_installer(args, options);
  if (crashed(later) || has_sanitizer_report(later))
    problems->push_back(label + ": status " + std::to_string(later.status) + ": " + brief(later.err));
  device_state recovered = checked_state(c.s, root);
  check_no_leftovers(recovered, check_entries(c, recovered, label, problems), label, problems);
  return recovered;
}

std::string later_label(const run_context& c, const std::string& label) {
  std::string text = label + " then the run";
  for (const std::string& arg : c.s.recovery_args) text += " " + arg;
  return text;
}

void check_error_run(run_context& c, unsigned k, int err, const run_result& r, const device_root& root,
                     const device_state& got, const std::string& label, std::vector<std::string>* problems) {
  // The failed operation as this run made it: temporary names differ from
  // those of the clean run.
  std::string operation = c.trace.operations[k - 1];
  std::string marker = " injected at operation " + std::to_string(k) + " (";
  size_t at = r.err.find(marker);
  if (at != std::string::npos) {
    size_t start = at + marker.size();
    operation = r.err.substr(start, r.err.find(")\n", start) - start);
  }
  std::string name = operation.substr(0, operation.find(' '));
  std::vector<std::string> temporaries = check_entries(c, got, label, problems);
  // Failing the very unlink or rmdir that removes a temporary (or something
  // inside it) can only leave it, and with it the mark that lets a later
  // run find it; that run must then take both away.
  std::string removed = operation.substr(operation.find(' ') + 1);
  auto is_removed = [&](const std::string& path) {
    return (name == "unlink" || name == "rmdir") &&
           (removed == "/" + path || removed.compare(0, path.size() + 2, "/" + path + "/") == 0);
  };
  bool left_one = false;
  for (const std::string& path : temporaries) left_one = left_one || is_removed(path);
  for (const std::string& path : temporaries)
    if (!is_removed(path) && !(left_one && path == staging_mark))
      problems->push_back(label + ": the temporary " + path + " was left behind");
  if (left_one) run_later(c, root, later_label(c, label), problems);
  // An error before the commit either fails the run, which then changes
  // nothing, or is one the run may carry on after (the post-log, say).
  // The schedule pass reports a request it could not stage and carries out
  // the others.
  bool request_failed = r.out.find("ERROR: could not disable ") != std::string::npos ||
                        r.out.find("ERROR: could not enable ") != std::string::npos;
  if (k < c.trace.commit_start && got != c.report.before && got != c.report.after && !request_failed)
    problems->push_back(label + ": an error before the commit left the trees neither as before nor as after");
  // Removals are best-effort by design, and a sync cannot fail visibly;
  // any other error that changed the outcome must be reported. A directory
  // that could not be made shows as the failure of the move or link that
  // needed it.
  bool changed = without_temporaries(got, c.report.after) != c.report.after;
  bool silent = name == "unlink" || name == "rmdir" || name == "sync";
  std::string text = std::strerror(err);
  bool reported = r.out.find(text) != std::string::npos || r.err.find(text) != std::string::npos;
  // The installer's own words for a full or a failing disk.
  reported |= r.out.find(err == ENOSPC ? "disk is too small" : "disk error") != std::string::npos;
  if (err == ENOSPC) reported |= r.out.find("not enough space") != std::string::npos;
  reported |= r.out.find("ERROR: could not open image") != std::string::npos;
  if (name == "mkdir")
    for (const char* later : {"\nrename: ", "\nsymlink: ", "\ncopy "}) reported |= r.err.find(later) != std::string::npos;
  if (changed && !silent && !reported)
    problems->push_back(label + ": the error changed the outcome but was not reported; out: " + brief(r.out) +
                        " err: " + brief(r.err));
}

void check_stop_run(run_context& c, const device_root& root, const device_state& got, const std::string& label,
                    std::vector<std::string>* problems) {
  if (!check_entries(c, got, label, problems).empty()) ++c.report.stops_leaving_temporaries;
  check_listing(c, root, label, problems, true);
  std::string later = later_label(c, label);
  device_state recovered = run_later(c, root, later, problems);
  if (c.s.recovery_reaches_clean && without_temporaries(recovered, c.report.after) != c.report.after)
    problems->push_back(later + ": did not reach the clean state");
  check_listing(c, root, later, problems);
}

void try_fault(run_context& c, unsigned k, const std::string& what) {
  device_root root;
  restore(c.full_before, root);
  std::string plan = std::to_string(k) + ":" + what;
  std::string label = c.s.name + " " + plan + " (" + c.trace.operations[k - 1] + ")";
  run_result r = run_faulted(c.s, root, plan);
  ++c.report.runs;
  std::vector<std::string>* problems = &c.report.violations;
  if (crashed(r) && r.status != fs::fault_stop_status) {
    problems->push_back(label + ": status " + std::to_string(r.status) + ": " + brief(r.err));
  }
  if (has_sanitizer_report(r)) problems->push_back(label + ": sanitizer report: " + brief(r.err));
  device_state got = checked_state(c.s, root);
  if (what == "stop") {
    if (r.status != fs::fault_stop_status)
      problems->push_back(label + ": the run never reached the operation (status " + std::to_string(r.status) + ")");
    check_stop_run(c, root, got, label, problems);
    return;
  }
  if (r.err.find("injected at operation " + std::to_string(k) + " ") == std::string::npos)
    problems->push_back(label + ": the run never reached the operation");
  check_error_run(c, k, what == "EIO" ? EIO : ENOSPC, r, root, got, label, problems);
  check_listing(c, root, label, problems, k >= c.trace.commit_start);
}

}  // namespace

bool is_temporary_name(const std::string& path) {
  std::string name = path.substr(path.rfind('/') + 1);
  return ::is_temporary_name(name) || path == staging_mark;
}

device_state capture(const device_root& root) {
  device_state state;
  for (const char* tree : trees)
    for (const auto& [path, entry] : root.snapshot(std::string("/") + tree))
      state.emplace(std::string(tree) + "/" + path, entry);
  return state;
}

void restore(const device_state& state, const device_root& root) {
  // Map order puts a directory before everything inside it.
  for (const auto& [path, entry] : state) {
    std::string device_path = "/" + path;
    unsigned mode = static_cast<unsigned>(std::strtoul(entry.c_str() + 2, nullptr, 8));
    if (entry[0] == 'd') {
      root.make_dirs(device_path);
      chmod(root.at(device_path).c_str(), mode);
    } else if (entry[0] == 'l') {
      root.symlink(entry.substr(2), device_path);
    } else {
      root.write_file(device_path, entry.substr(entry.find(' ', 2) + 1), mode);
    }
  }
}

bool full_sweep_requested() {
  const char* wanted = std::getenv("INSTALLER_CUTPOINTS");
  return wanted && std::strcmp(wanted, "full") == 0;
}

run_result run_faulted(const scenario& s, const device_root& root, const std::string& plan) {
  run_options options;
  options.input = s.input;
  options.env = s.env;
  options.env.emplace_back(fs::fault_plan_variable, plan);
  options.flash_bytes = s.flash_bytes;
  options.ram_bytes = s.ram_bytes;
  // The runner starts build/installer; a shell in front of it starts the
  // faulting build with the same arguments instead.
  options.prefix = {"/bin/sh", "-c", "shift; exec \"$0\" \"$@\"", INSTALLER_FAULTS_BIN};
  return run_installer(root_arguments(s.args, root, &options), options);
}

sweep_report sweep(const scenario& s, const sweep_options& options) {
  sweep_report report;
  device_state full_before;
  {
    device_root start;
    s.prepare(start);
    report.before = checked_state(s, start);
    full_before = capture(start);
  }
  run_context c{s, report, full_before, {}, {}, {}};
  device_root clean;
  restore(full_before, clean);
  c.show_before = listing(clean, s.name + " before", &report.violations);
  run_result r = run_faulted(s, clean, "trace");
  c.trace = read_trace(r.err, &report.operations);
  report.after = checked_state(s, clean);
  report.clean_out = r.out;
  c.show_after = listing(clean, s.name + " after", &report.violations);
  if (r.status != s.clean_status || has_sanitizer_report(r))
    report.violations.push_back(s.name + ": the clean run ended with status " + std::to_string(r.status) + ": " +
                                brief(r.out) + " " + brief(r.err));
  // The fault layer passing everything through must be the program itself.
  device_root plain;
  restore(full_before, plain);
  run_options options_plain;
  options_plain.input = s.input;
  options_plain.env = s.env;
  options_plain.flash_bytes = s.flash_bytes;
  options_plain.ram_bytes = s.ram_bytes;
  run_installer(root_arguments(s.args, plain, &options_plain), options_plain);
  if (checked_state(s, plain) != report.after)
    report.violations.push_back(s.name + ": the program and the faulting build end in different states");
  if (report.operations == 0 || report.operations != c.trace.operations.size()) {
    report.violations.push_back(s.name + ": the clean run gave no trace: " + brief(r.err));
    return report;
  }
  for (unsigned k : cut_points(report.operations, options)) {
    ++report.cut_points;
    for (const char* what : {"EIO", "ENOSPC", "stop"}) try_fault(c, k, what);
  }
  return report;
}

}  // namespace faults_test
