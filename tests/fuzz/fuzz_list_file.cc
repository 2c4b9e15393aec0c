// libFuzzer target: the list reader of the "deps", "provides" and
// "conflicts" files, driven through loading the database. The first byte
// chooses the file (bit 0: "provides", with its signed fourth column; else
// "deps"); the rest is the file. Whatever was read must be a list the
// database could hold, and writing it back in the stored form and loading it
// again must give the same list with a clean end.
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_root.h"
#include "model/record.h"
#include "pkgdb/load.h"
#include "pkgdb/repo.h"

namespace {

constexpr const char* deps_path = "/flash/var/pdb/p/deps";
constexpr const char* provides_path = "/flash/var/pdb/p/provides";

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

std::string stored_form(const std::vector<pkg_dep>& list, bool with_extra) {
  std::string text;
  for (const pkg_dep& entry : list) {
    text += entry.name + " " + std::to_string(entry.min_version) + " " + std::to_string(entry.max_version);
    if (with_extra) text += " " + std::to_string(entry.extra);
    text += "\n";
  }
  return text;
}

bool same(const std::vector<pkg_dep>& a, const std::vector<pkg_dep>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].name != b[i].name || a[i].min_version != b[i].min_version ||
        a[i].max_version != b[i].max_version || a[i].extra != b[i].extra)
      return false;
  return true;
}

// The list of package p as loading restores it; *clean is false when the
// file was malformed (the package is then marked for removal).
std::vector<pkg_dep> load_list(bool with_extra, bool* clean) {
  pkg_repo repository;
  load_repository(repository, true, "i386");
  const pkg_image* p = find_package(repository, "p");
  if (!p) std::abort();
  *clean = p->pending != PENDING_UNINSTALL;
  return with_extra ? p->provides : p->depends;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::enter_scratch_root("list", {"/flash/var/pdb/p"});
  fuzz::write_file("/flash/var/pdb/p/version", "1 1\n");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  bool with_extra = (data[0] & 1) != 0;
  const char* list_path = with_extra ? provides_path : deps_path;
  fuzz::remove_tree(with_extra ? deps_path : provides_path);
  fuzz::write_file(list_path, std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  bool clean = false;
  std::vector<pkg_dep> list = load_list(with_extra, &clean);
  for (const pkg_dep& entry : list) {
    if (entry.name.empty() || entry.name.size() > list_word_limit) std::abort();
    for (char c : entry.name)
      if (is_blank(c)) std::abort();
    if (!with_extra && entry.extra != 0) std::abort();
  }
  fuzz::write_file(list_path, stored_form(list, with_extra));
  std::vector<pkg_dep> again = load_list(with_extra, &clean);
  if (!clean || !same(list, again)) std::abort();
  return 0;
}
