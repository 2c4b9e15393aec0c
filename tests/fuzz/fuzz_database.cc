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
// whole database and the listing prints it. Whatever the files say, every
// record must be a package the installer may name a directory after, with a
// known request and installed paths that are absolute single lines.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_root.h"
#include "model/names.h"
#include "msg/msg.h"
#include "pkgdb/listing.h"
#include "pkgdb/load.h"
#include "pkgdb/repo.h"
#include "pkgfile/names.h"

namespace {

constexpr const char* slots[] = {
    "/flash/var/pdb/p/image",    "/flash/var/pdb/p/version",  "/flash/var/pdb/p/deps",
    "/flash/var/pdb/p/provides", "/flash/var/pdb/p/conflicts", "/flash/var/pdb/p/bundle",
    "/flash/var/pdb/p/files",    "/flash/var/pdb/p/disabled", "/flash/var/pdb/p/enabled",
    "/ram/pdb/p/schedule",       "/rw/pckg/.images/q",        "/flash/var/pdb/q/version",
    "/flash/var/pdb/q/files",    "/ram/pdb/q/schedule",
};

void lay_out(std::string_view input) {
  fuzz::remove_tree("/flash/var/pdb");
  fuzz::remove_tree("/ram/pdb");
  fuzz::remove_tree("/rw/pckg/.images");
  for (const char* dir : {"/flash/var/pdb/p", "/flash/var/pdb/q", "/ram/pdb/p", "/ram/pdb/q", "/rw/pckg/.images"})
    fuzz::make_dirs(dir);
  std::vector<std::string_view> pieces = fuzz::split(input, "\n%%\n");
  for (size_t i = 0; i < pieces.size() && i < std::size(slots); ++i)
    if (!pieces[i].empty() && pieces[i].front() == '+') fuzz::write_file(slots[i], pieces[i].substr(1));
}

void check(const pkg_image& record) {
  if (!is_safe_package_name(record.name)) std::abort();
  if (record.pending > PENDING_DISABLE) std::abort();
  for (const std::string& path : record.files) {
    if (path.empty() || path.front() != '/' || path.size() > files_line_limit + 1) std::abort();
    if (path.find('\n') != std::string::npos) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::enter_scratch_root("database", {"/flash/var", "/ram", "/rw/pckg", "/tmp"});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lay_out(std::string_view(reinterpret_cast<const char*>(data), size));
  pkg_repo repository;
  char* printed = nullptr;
  size_t printed_size = 0;
  std::FILE* sink = open_memstream(&printed, &printed_size);
  if (!sink) std::abort();
  terminal().out = sink;
  load_repository(repository, true, "i386");
  // p and q are directories, so each has a record, from its image or bare.
  if (!find_package(repository, "p") || !find_package(repository, "q")) std::abort();
  for (const pkg_image* record : repository.packages) check(*record);
  show_packages(repository, sink);

  std::fclose(sink);
  std::free(printed);
  return 0;
}
