// Taking an installed package out of the database and the installed tree,
// and claiming a database directory for a new installation, both staged in
// the manifest.
#pragma once

struct manifest;
struct pkg_repo;
struct pkg_image;

// Stages the removal of an installed package: its files, its database
// directory and "image", and for a boot package "/flash/bootimage" when it
// has a single link. Empties `files` and clears `pending`.
// A stored file path beginning with "/flash/" is a full path; any other is
// relative to "/flash". Paths with a ".." component, directories and files
// listed by another package of a different name in `repository` are skipped.
void stage_package_removal(const pkg_repo& repository, pkg_image& record, manifest& m);

// Makes the package's database directory usable for a new installation: a
// staged removal of it is taken back. False when another operation is staged
// for it, or something other than a directory (or a link) stands at its path,
// or it cannot be examined.
bool claim_pdb_dir(const pkg_image& record, manifest& m);
