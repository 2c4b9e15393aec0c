// Staging the text files of a package's database directory.
//
// The files and their form are those of db_format.h. Every file is staged
// in the manifest; a file the new version does not write is staged for
// removal, so the next load never reads an older version's list back.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct console;
struct pkg_repo;
struct pkg_image;
struct pkg_record;
struct pkg_dep;
struct manifest;

// Stages every database file of the record (metadata files unless it keeps
// its image or has flag 2, in which case only "files" when it installed
// files; the state files always) and the removal of those it no longer has.
// Each file is flushed and closed before it is judged. False after a failure
// reported with the file's label ("meta/version" ... "meta/enabled"); what was
// staged before it stays in the manifest.
bool write_metadata(console& screen, pkg_repo& repository, const pkg_image& record, manifest& m);

// Stages the state file `file` ("disabled" or "enabled") of the record's
// database directory, holding `word` and a line end. A file that cannot be
// staged whole is not staged at all: a cut-short "disabled" would read as
// the user's choice. False (errno set) on failure.
bool stage_state_file(manifest& m, const pkg_record& record, const char* file, std::string_view word);

// Stages one list file; with_extra adds the fourth column (provides).
// False (errno set) when the file could not be written.
bool write_dep_list(manifest& m, const std::string& path, const std::vector<pkg_dep>& list,
                    bool with_extra);
