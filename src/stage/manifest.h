// The manifest: the one list of file operations a run intends to make to the
// installed tree, keyed by target path (ascending unsigned byte order, at most
// one operation per target). It is committed at once, saved to "/ram/MANIFEST"
// for a later --commit, or discarded.
//
// Saved form, one line per entry in key order:
//   "U <target>"            remove
//   "L <target> <source>"   symbolic link at target with content source
//   "M <target> <source>"   move (or staged file) source onto target
// A space, tab, line feed or backslash inside a path is written as \040,
// \011, \012 or \134, and decoded on load after the line is split.
//
// The proofs of the downloads a saved manifest moves are saved beside it, in
// the file named by proofs_path(): one line "<source> <proof fields>" each,
// the source coded as above (see proof.h).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>

#include "model/path_store.h"
#include "stage/op_table.h"
#include "stage/proof.h"

// True for the operations that put a file onto the target (OP_MOVE and
// OP_STAGED); false for links and removals.
inline bool is_move(const file_op& op) { return op.kind == OP_MOVE || op.kind == OP_STAGED; }

// What staging remembers of the trees during a run, so that a new staged
// file costs no look-ups beyond asking for the free space: directories only
// appear when a manifest is committed, which forgets all this.
struct staging_places {
  // The target's parent directory -> its nearest existing directory ("" when
  // none exists).
  std::unordered_map<std::string, std::string> nearest;
  int ram_exists = -1;  // unknown until first asked
  bool marked = false;  // the run's mark is down (leftovers.h)
  // A dry run stages nothing: the size each planned file would have, by its
  // planned path, and what the planned files would take of each file system
  // (by device), so that placement and the space check decide as a run would.
  std::unordered_map<std::string, uint64_t> planned;
  std::unordered_map<uint64_t, uint64_t> planned_on_device;
};

struct manifest {
  // A dry run: every decision is made and recorded, but no file is created,
  // written or removed; staged files are only planned (see staging_places).
  bool dry_run = false;
  op_table ops;
  // Downloads that moves take as their source, by source path: what the
  // commit must confirm before it moves them (see proof.h).
  std::map<std::string, download_proof> proofs;
  // Target -> download, for the downloads that prepare_commit gave a second
  // name beside their target: the commit removes them once moved.
  std::map<std::string, std::string> readied_downloads;
  staging_places places;

  bool empty() const { return ops.empty(); }
};

// Puts op under target. A staged file owned by an entry it replaces is
// unlinked (errors ignored).
void add_op(manifest& m, const std::string& target, file_op op);
void stage_move(manifest& m, const std::string& source, const std::string& target);
// A move of a verified download, with what the commit must confirm of it.
void stage_download_move(manifest& m, const std::string& source, const std::string& target,
                         const download_proof& proof);
// A link at `target` whose content is `source`.
void stage_link(manifest& m, const std::string& source, const std::string& target);
// An existing path (a dangling link included) gets a removal entry. A missing
// one loses any entry it had, and the staged file that entry owned is unlinked.
void stage_removal(manifest& m, const std::string& target);
// Unlinks every staged file the manifest owns, then drops all entries.
void discard(manifest& m);
// Discards a manifest loaded from its saved form (the --cancel run): as
// discard(), and also unlinks the source of every move that staging could
// have created for it (could_be_staged) and that is a regular file, so a
// cancelled upgrade leaves no temporaries behind. Other sources (downloads,
// or any path a hand-written manifest names) are kept.
void discard_saved(manifest& m);
// Drops the entry for target, if any, unlinking a staged file it owned.
void drop_op(manifest& m, const std::string& target);
// Adds `target`, which has an entry, to a package's "files", sharing the
// bytes the manifest keeps of it.
void add_listed_file(path_set& files, const manifest& m, const std::string& target);

// Writes the saved form, and its proofs beside it, each through a temporary
// file renamed into place (the proofs first, so a saved manifest never lacks
// them). False (errno set, temporaries removed) on any failure.
bool save_manifest(const manifest& m, const std::string& path);
// Adds the entries of a saved manifest through add_op, and the proofs saved
// beside it; every "M" line loads as OP_MOVE. False when the file cannot be
// opened or a line is malformed; entries read before the malformed line stay.
//
// With `refusal`, every line is also judged as --commit must judge a file
// that anyone able to write "/ram" could have written (check_saved_entry);
// the first line that fails stops the load with false and *refusal naming
// the line and why.
bool load_manifest(manifest& m, const std::string& path, std::string* refusal = nullptr);
// Removes a saved manifest and its proofs.
void remove_saved_manifest(const std::string& path);
std::string proofs_path(const std::string& manifest_path);

// True when staging could have created `source` for `target`: a temporary
// name (staging.h) in "/ram", "/tmp", or the directory of the target or one
// of its ancestors below "/flash".
bool could_be_staged(std::string_view source, std::string_view target);
// A package file directly in one of the download directories.
bool is_download_path(std::string_view path);
// Why one entry of a saved manifest is refused, or "" when it is one a run
// could have made: targets absolute and below "/flash/" (removals of stored
// images below "/rw/pckg/.images/" too), without "." or ".." components or
// control bytes; links pointing below "/flash/"; moves from a staged file or
// from a download whose proof is known.
std::string check_saved_entry(const manifest& m, const std::string& target, const file_op& op);
