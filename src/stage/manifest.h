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
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>

enum op_kind : uint32_t {
  OP_MOVE = 0,    // rename an existing file onto the target
  OP_STAGED = 1,  // rename a staged temporary file the manifest owns
  OP_LINK = 3,    // make the target a symbolic link to source
  OP_REMOVE = 4,  // delete the target (a directory: its plain entries too)
};

struct file_op {
  uint32_t kind = OP_MOVE;
  std::string source;  // empty for a removal
};

// What staging remembers of the trees during a run, so that a new staged
// file costs no look-ups beyond asking for the free space: directories only
// appear when a manifest is committed, which forgets all this.
struct staging_places {
  // The target's parent directory -> its nearest existing directory ("" when
  // none exists).
  std::unordered_map<std::string, std::string> nearest;
  int ram_exists = -1;  // unknown until first asked
};

struct manifest {
  std::map<std::string, file_op> ops;
  staging_places places;

  bool empty() const { return ops.empty(); }
};

// Puts op under target. A staged file owned by an entry it replaces is
// unlinked (errors ignored).
void add_op(manifest& m, const std::string& target, file_op op);
void stage_move(manifest& m, const std::string& source, const std::string& target);
// A link at `target` whose content is `source`.
void stage_link(manifest& m, const std::string& source, const std::string& target);
// An existing path (a dangling link included) gets a removal entry. A missing
// one loses any entry it had, and the staged file that entry owned is unlinked.
void stage_removal(manifest& m, const std::string& target);
// Unlinks every staged file the manifest owns, then drops all entries.
void discard(manifest& m);
// Discards a manifest loaded from its saved form (the --cancel run): as
// discard(), and also unlinks the source of every move whose file name is a
// staged-file name ("tmp" and six characters), so a cancelled upgrade leaves
// no temporaries behind. Other sources (downloads) are kept.
void discard_saved(manifest& m);
// Drops the entry for target, if any, unlinking a staged file it owned.
void drop_op(manifest& m, const std::string& target);

// Writes the saved form through a temporary file beside `path` and renames
// it into place. False (errno set, temporary removed, `path` untouched) on
// any failure.
bool save_manifest(const manifest& m, const std::string& path);
// Adds the entries of a saved manifest through add_op; every "M" line loads
// as OP_MOVE. False when the file cannot be opened or a line is malformed;
// entries read before the malformed line stay.
bool load_manifest(manifest& m, const std::string& path);
