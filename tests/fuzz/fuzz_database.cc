// libFuzzer target: loading the installed database at start-up from
// arbitrary files.
//
// The input is split at every "\n%%\n" into the files of a scratch database
// with two package directories, p and q, in this order:
//   p/image, p/version, p/deps, p/provides, p/conflicts, p/bundle, p/files,
//   p/disabled, p/enabled, the schedule of p, the stored image of q,
//   q/version, q/files, the schedule of q.
// A piece that begins with "+" is the file with the rest as its content; any
// other piece, or a missing one, leaves the file out. The loader runs over the
// whole database, then the listing's own load, whose rows are printed.
// Whatever the files say, every record must be a package the installer may
// name a directory after, with a known request and installed paths that are
// absolute single lines.
#include <algorithm>
#include <cstdio>

#include "fuzz_root.h"
#include "model/names.h"
#include "msg/msg.h"
#include "pkgdb/db_format.h"
#include "pkgdb/listing.h"
#include "pkgdb/load.h"
#include "pkgdb/repo.h"
#include "pkgfile/names.h"

FUZZ_TARGET("database", "/flash/var", "/ram", "/rw/pckg", "/tmp") {
  static const char* const slots[] = {
      "/flash/var/pdb/p/image",    "/flash/var/pdb/p/version",   "/flash/var/pdb/p/deps",
      "/flash/var/pdb/p/provides", "/flash/var/pdb/p/conflicts", "/flash/var/pdb/p/bundle",
      "/flash/var/pdb/p/files",    "/flash/var/pdb/p/disabled",  "/flash/var/pdb/p/enabled",
      "/ram/pdb/p/schedule",       "/rw/pckg/.images/q",         "/flash/var/pdb/q/version",
      "/flash/var/pdb/q/files",    "/ram/pdb/q/schedule",
  };
  for (const char* dir : {"/flash/var/pdb", "/ram/pdb", "/rw/pckg/.images"}) fuzz::remove_tree(dir);
  for (const char* dir : {"/flash/var/pdb/p", "/flash/var/pdb/q", "/ram/pdb/p", "/ram/pdb/q", "/rw/pckg/.images"})
    fuzz::make_dirs(dir);
  for (const char* slot : slots) {
    std::string_view piece = input.substr(0, input.find("\n%%\n"));
    if (piece.starts_with('+')) fuzz::write_file(slot, piece.substr(1));
    input.remove_prefix(std::min(input.size(), piece.size() + 4));
  }
  pkg_repo repository;
  char* printed = nullptr;
  size_t printed_size = 0;
  std::FILE* sink = open_memstream(&printed, &printed_size);
  fuzz::require(sink != nullptr);
  console screen;
  screen.out = sink;
  load_repository(repository, screen, "i386");
  // p and q are directories, so each has a record, from its image or bare.
  fuzz::require(find_package(repository, "p") && find_package(repository, "q"));
  for (const pkg_image* record : repository.packages) {
    fuzz::require(is_safe_package_name(record->name) && record->pending <= PENDING_DISABLE);
    for (std::string_view path : record->files)
      fuzz::require(path.starts_with('/') && path.size() <= files_line_limit + 1 && path.find('\n') == std::string::npos);
  }
  package_listing listing;
  load_listing(listing, screen);
  show_packages(listing, sink);
  std::fclose(sink);
  std::free(printed);
}
