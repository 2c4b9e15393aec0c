#include "pkgfile/names.h"

namespace {

// A package that may put a file into the database could rewrite another
// package's record (and so have it removed by the next run); one that may
// write the boot image or the markers acts outside every check of the
// installer.
constexpr std::string_view database_dir = "var/pdb";
constexpr std::string_view own_files[] = {"bootimage", "postlog", "PCKGS_CHANGED", "UPGRADED"};

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7F; }

bool has_control(std::string_view text) {
  for (unsigned char c : text)
    if (is_control(c)) return true;
  return false;
}

}  // namespace

bool is_safe_dep_name(std::string_view name) {
  return !name.empty() && name.find(' ') == std::string_view::npos && !has_control(name);
}

bool normalise_entry_name(std::string_view stored, std::string* relative) {
  relative->clear();
  std::string_view last;
  size_t at = 0;
  for (;;) {
    size_t slash = stored.find('/', at);
    std::string_view component = stored.substr(at, slash == std::string_view::npos ? slash : slash - at);
    last = component;
    if (has_control(component) || component == "..") return false;
    if (!component.empty() && component != ".") {
      if (!relative->empty()) relative->push_back('/');
      relative->append(component);
    }
    if (slash == std::string_view::npos) break;
    at = slash + 1;
  }
  return !relative->empty() && !last.empty() && last != ".";
}

bool is_installer_state(std::string_view relative) {
  if (relative == database_dir) return true;
  if (relative.size() > database_dir.size() && relative.starts_with(database_dir) &&
      relative[database_dir.size()] == '/')
    return true;
  for (std::string_view own : own_files)
    if (relative == own) return true;
  return false;
}
