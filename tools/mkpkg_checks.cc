#include "mkpkg_checks.h"

#include "model/names.h"
#include "model/version.h"
#include "msg/msg.h"
#include "pkgfile/names.h"
#include "pkgfile/pkg_format.h"

namespace {

// The shortest trailer the installer checks at all (the older scheme's).
constexpr uint32_t shortest_trailer = 68;

bool refuse(const std::string& what, const std::string& why, std::string* err) {
  *err = what + ": " + why;
  return false;
}

// Names come from the command line and from file names, and may hold
// control bytes: they are shown terminal-safe.
std::string quoted(const std::string& text) { return '"' + terminal_safe(text) + '"'; }

// False for a package built with --sign none, or whose signature part holds
// zeros or too short a trailer: the installer refuses such a member.
bool is_signed(std::string_view file) {
  for (const pkgbuild::part_info& p : pkgbuild::list_parts(file)) {
    if (p.type != part_signature) continue;
    std::string_view trailer = file.substr(p.offset + pkg_part_header_size, p.length);
    return p.length >= shortest_trailer && trailer.find_first_not_of('\0') != std::string_view::npos;
  }
  return false;
}

}  // namespace

bool check_package_name(const std::string& name, std::string* err) {
  if (is_safe_package_name(name)) return true;
  return refuse("--name " + quoted(name),
                "the installer refuses \".\", \"..\", \"/\" and control bytes in a package name", err);
}

bool check_list(const char* option, const std::vector<pkg_dep>& list, std::string* err) {
  for (const pkg_dep& dep : list) {
    std::string what = std::string(option) + " " + quoted(dep.name);
    if (!is_safe_dep_name(dep.name))
      return refuse(what, "the installer refuses blanks and control bytes in a name", err);
    if (dep.max_version != 0 && dep.min_version > dep.max_version)
      return refuse(what,
                    "the minimum version " + version_text(dep.min_version) + " is above the maximum " +
                        version_text(dep.max_version),
                    err);
  }
  return true;
}

bool check_entries(const std::vector<pkgbuild::file_entry>& entries, std::string* err) {
  for (const pkgbuild::file_entry& entry : entries) {
    if ((entry.mode & file_mode_type_mask) != file_mode_regular) continue;
    std::string relative;
    if (!normalise_entry_name(entry.name, &relative))
      return refuse("file " + quoted(entry.name),
                    "the installer refuses an entry name with control bytes or a \"..\" component, "
                    "or one that names a directory",
                    err);
    if (is_installer_state(relative))
      return refuse("file " + quoted(entry.name),
                    "the installer refuses files on its own state (var/pdb and below, bootimage, postlog, "
                    "PCKGS_CHANGED, UPGRADED)",
                    err);
  }
  return true;
}

bool check_member(const std::string& path, std::string_view file, std::string* err) {
  std::string why;
  std::string what = "member " + terminal_safe(path);
  if (!pkgbuild::check_member(file, &why)) return refuse(what, why, err);
  if (!is_signed(file)) return refuse(what, "not signed: its signature part holds no signature", err);
  return true;
}
