// Staging the text files of a package's database directory.
#pragma once

#include <string>
#include <vector>

struct pkg_repo;
struct pkg_image;
struct pkg_dep;
struct manifest;

// Stages every database file of the record (metadata files unless it keeps
// its image or has flag 2; the state files always) and the removal of those
// it no longer has. False after a reported write failure.
bool write_metadata(pkg_repo& repository, const pkg_image& record, manifest& m);

// Stages one list file; with_extra adds the fourth column (provides).
// False (errno set) when the file could not be written.
bool write_dep_list(manifest& m, const std::string& path, const std::vector<pkg_dep>& list,
                    bool with_extra);
