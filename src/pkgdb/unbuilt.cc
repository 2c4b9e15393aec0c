// Stand-ins until the package database lands. Loading leaves the repository
// empty; the modes that need it say they are unavailable.
#include "pkgdb/listing.h"
#include "pkgdb/load.h"
#include "pkgdb/metadata.h"
#include "pkgdb/record.h"
#include "platform/unbuilt.h"

void load_repository(pkg_repo& repository, bool quiet, const std::string& arch) {
  repository.quiet = quiet;
  repository.arch = arch;
}
void show_packages(const pkg_repo&, std::FILE*) { unbuilt("the listing mode"); }
bool write_metadata(pkg_repo&, const pkg_image&, manifest&) { unbuilt("the package database"); }
