// Cut-point harness: runs one installer command from the same starting device
// root once cleanly and then once per operation of the file-system seam with
// a fault at that operation (an injected EIO or ENOSPC, or a stop as at a
// power cut), and checks after each run that the device is in a state that a
// router can live with:
//
//  - every entry of flash, rw and ram is as before the run or as after the
//    clean run (never truncated, never a mix of the two), apart from staged
//    temporaries that a stop left behind;
//  - after an injected error no temporary is left, the error is reported
//    with its system text where it changed the outcome, and an error before
//    the commit leaves the trees exactly as before;
//  - the listing names each package at its old or its new version and
//    nothing else (a package installed afresh whose commit was cut short
//    may show as a bare record, which the loader marks for uninstallation:
//    the database's own recovery);
//  - after a stop, a later run (the scenario's recovery command) does not
//    trip over what the stop left, and reaches the clean state exactly when
//    the scenario says so (a --commit run again after a cut --commit);
//  - after that later run (and after an injected error that could only leave
//    a temporary behind, the same later run), no temporary and no mark of a
//    run under way is left on flash or in ram, unless a saved manifest still
//    names it: every entry is then as before or as after the clean run, so
//    the free space is one of theirs.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support/device_root.h"

namespace faults_test {

// Entries of flash, rw and ram: "flash/x" -> what device_root::snapshot says.
using device_state = std::map<std::string, std::string>;

struct scenario {
  std::string name;
  // Builds the starting state in an empty device root.
  std::function<void(const testsupport::device_root&)> prepare;
  // The faulted run: its arguments after "-r ROOT" and its standard input.
  std::vector<std::string> args;
  std::string input;
  // Environment of every run of the scenario ("bootimage", say).
  std::vector<std::pair<std::string, std::string>> env;
  int clean_status = 0;  // exit status of the clean run
  // The later run made after a stop, with the plain program.
  std::vector<std::string> recovery_args;
  std::string recovery_input;
  // The later run must reach the clean state exactly (temporaries aside).
  bool recovery_reaches_clean = false;
  // Put flash and ram on tmpfs file systems of these sizes, so that free
  // space is the same in every run and moves from ram cross file systems.
  uint64_t flash_bytes = 4 << 20;
  uint64_t ram_bytes = 4 << 20;
  // Files that runs write directly rather than through the manifest, by
  // design, and that are therefore not held to the before-or-after rule:
  // the post-log and the stream install's received copy.
  std::set<std::string> written_directly = {"flash/postlog", "flash/var/pdb/image"};
};

struct sweep_options {
  // Try every cut point; otherwise every `stride`-th one and the last.
  bool full = false;
  unsigned stride = 7;
};

struct sweep_report {
  unsigned operations = 0;     // N of the clean run
  unsigned cut_points = 0;     // values of k tried
  unsigned runs = 0;           // faulted runs made (three per cut point)
  unsigned stops_leaving_temporaries = 0;
  unsigned listing_bare_records = 0;  // runs cut in the commit; see check_listing
  std::vector<std::string> violations;
  device_state before, after;  // the starting and the clean final state
  std::string clean_out;       // what the clean run printed
};

// Runs the sweep. Violations are collected rather than asserted so that one
// sweep reports all of them.
sweep_report sweep(const scenario& s, const sweep_options& options);

// True when the full sweep was asked for (INSTALLER_CUTPOINTS=full).
bool full_sweep_requested();

// The state of a device root, and the same state written into another root.
device_state capture(const testsupport::device_root& root);
void restore(const device_state& state, const testsupport::device_root& root);

// A temporary by its name (a staged file, a copy or a link on its way, a
// directory being removed, a manifest being saved), or the mark that a run
// is under way.
bool is_temporary_name(const std::string& path);
inline constexpr const char* staging_mark = "flash/var/pdb/.staging";

// Runs build/installer-faults with the fault plan (fs_faults.h) in a device
// root, with the scenario's file systems.
testsupport::run_result run_faulted(const scenario& s, const testsupport::device_root& root,
                                    const std::string& plan);

}  // namespace faults_test
