// libFuzzer target: the list reader of the "deps", "provides" and
// "conflicts" files, driven through loading the database. The first byte
// chooses the file (bit 0: "provides", with its signed fourth column; else
// "deps"); the rest is the file. Whatever was read must be a list the
// database could hold, and writing it back in the stored form and loading it
// again must give the same list with a clean end.
#include <algorithm>
#include <tuple>

#include "fuzz_root.h"
#include "model/record.h"
#include "msg/msg.h"
#include "pkgdb/db_format.h"
#include "pkgdb/load.h"
#include "pkgdb/repo.h"

namespace {

// The list of package p as loading restores it; *clean is false when the
// file was malformed (the package is then marked for removal).
std::vector<pkg_dep> load_list(bool provides, bool* clean) {
  pkg_repo repository;
  console screen;
  screen.quiet = true;
  load_repository(repository, screen, "i386");
  const pkg_image* p = find_package(repository, "p");
  fuzz::require(p != nullptr);
  *clean = p->pending != PENDING_UNINSTALL;
  return provides ? p->provides : p->depends;
}

auto fields(const pkg_dep& entry) { return std::tie(entry.name, entry.min_version, entry.max_version, entry.extra); }

}  // namespace

FUZZ_TARGET("list", "/flash/var/pdb/p") {
  if (input.empty()) return;
  const bool provides = (input[0] & 1) != 0;
  const std::string path = provides ? "/flash/var/pdb/p/provides" : "/flash/var/pdb/p/deps";
  fuzz::remove_tree(provides ? "/flash/var/pdb/p/deps" : "/flash/var/pdb/p/provides");
  fuzz::write_file("/flash/var/pdb/p/version", "1 1\n");
  fuzz::write_file(path, input.substr(1));
  bool clean = false;
  std::vector<pkg_dep> list = load_list(provides, &clean);
  std::string stored;
  for (const pkg_dep& entry : list) {
    fuzz::require(!entry.name.empty() && entry.name.size() <= list_word_limit);
    fuzz::require(entry.name.find_first_of(" \t\n\v\f\r") == std::string::npos && (provides || entry.extra == 0));
    stored.append(entry.name).append(" " + std::to_string(entry.min_version) + " " + std::to_string(entry.max_version));
    stored.append(provides ? " " + std::to_string(entry.extra) + "\n" : "\n");
  }
  fuzz::write_file(path, stored);
  std::vector<pkg_dep> again = load_list(provides, &clean);
  fuzz::require(clean && std::ranges::equal(list, again, {}, fields, fields));
}
