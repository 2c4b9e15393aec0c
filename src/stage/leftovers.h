// What a run cut short leaves behind, and how a later run finds it.
//
// A run that makes temporaries in the device's trees (staging.h) first puts
// a mark on flash, "/flash/var/pdb/.staging", on the medium before its first
// temporary; it takes the mark away when it ends with nothing outstanding.
// A saved manifest keeps it, since its staged files are outstanding. When a
// power cut, a crash or Ctrl-C ends a run early, the mark stays, and the
// next run that acts on the trees sweeps every temporary: on flash, in
// "/ram" and in "/tmp". One sync for the mark per run, none per file: the
// sweep finds the files by their temporary names (which nothing else uses),
// not by a list.
#pragma once

#include <string>
#include <unordered_set>

struct staging_places;

// Puts the mark down once per run (remembered in `places`), unless one is
// there already. Best effort: without a database directory there is nothing
// to mark, and a mark that cannot be written only means that a later sweep
// finds nothing.
void mark_staging(staging_places& places);

// Takes the mark away.
void clear_staging_mark();
// Whether the mark is down: a run is under way, was cut short, or saved
// staged files for a later --commit.
bool staging_marked();

// When the mark is there: removes every temporary (files, links, and the
// directories the commit moves out of sight before it sweeps them), except
// the paths `keep` names, then the mark itself
// unless `keep_mark` (the run goes on with what the mark stands for).
// Only temporaries owned by the program's user are removed.
void sweep_leftovers(const std::unordered_set<std::string>& keep, bool keep_mark = false);
