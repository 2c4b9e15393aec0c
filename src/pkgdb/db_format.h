// The installed database on the device: where it lives and the form of its
// files, shared by the loader that reads them and the writer that stages them.
//
// Every package has a directory "/flash/var/pdb/<name>/". Its record comes
// from the package file kept there as "image" (or under "/rw/pckg/.images/"),
// a bundle image giving its members first and the bundle last. A package
// with metadata files (one that neither keeps its image nor has flag 2)
// has in its directory:
//   version    "<version> <build_time>\n"
//   deps       "<name> <min> <max>\n" per entry (written even when empty)
//   provides   "<name> <min> <max> <extra>\n" per entry, extra signed
//   conflicts  as deps
//   bundle     "<bundle name>\n" for a bundle member
//   files      one installed path per line, in order, its first "/" removed
//              ("flash/bin/tool"); absent for a bundle
// and every package the state files: "disabled" ("user\n" or "auto\n") or
// "enabled" ("user\n") when the user chose to keep it enabled. A request
// for a package is the word "enable", "disable" or "uninstall" in
// "/ram/pdb/<schedule name>/schedule".
//
// Numbers are unsigned decimal digits only (extra: signed). The files are
// untrusted in the sense that a power cut or a damaged flash may have cut
// or garbled them: lines and words have bounded length when read.
#pragma once

#include <cstddef>
#include <string>

inline constexpr const char* pdb_root = "/flash/var/pdb/";
inline constexpr const char* stored_images_root = "/rw/pckg/.images/";
inline constexpr const char* schedule_root = "/ram/pdb/";
// The first line of "disabled" when the installer disabled the package
// itself; any other content is the user's choice.
inline constexpr const char* auto_state = "auto";

// Longest line of a "files" list that is taken; longer lines are ignored.
inline constexpr size_t files_line_limit = 4096;
// Longest word of a schedule file; a longer one is no word at all.
inline constexpr size_t schedule_word_limit = 64;
// Longest name in a list or "bundle" file; a longer one makes the file
// malformed (package names are at most 16 bytes).
inline constexpr size_t list_word_limit = 4096;

// The record's name with every byte removed that is not an ASCII letter,
// digit or "-": the directory of its schedule under "/ram/pdb/".
std::string schedule_name(const std::string& name);
