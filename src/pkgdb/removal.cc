#include "pkgdb/removal.h"

#include <cerrno>
#include <string>
#include <string_view>
#include <sys/stat.h>

#include "model/names.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "pkgdb/repo.h"
#include "stage/manifest.h"
#include "stage/staging.h"

namespace {

bool has_parent_component(std::string_view path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (path.substr(start, end - start) == "..") return true;
    start = end + 1;
  }
  return false;
}

bool is_real_directory(const std::string& path) {
  struct stat st;
  return fs::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Installed paths that packages of another name own.
path_set paths_of_others(const pkg_repo& repository, const std::string& name) {
  path_set owned;
  for (const pkg_image* other : repository.packages) {
    if (!other || other->name == name) continue;
    for (std::string_view stored : other->files) owned.insert(installed_path(stored));
  }
  return owned;
}

}  // namespace

void stage_package_removal(const pkg_repo& repository, pkg_image& record, manifest& m) {
  path_set others = paths_of_others(repository, record.name);
  for (std::string_view stored : record.files) {
    std::string path = installed_path(stored);
    if (has_parent_component(path) || is_real_directory(path) || others.contains(path)) continue;
    stage_removal(m, path);
  }
  record.files.clear();
  if (is_safe_package_name(record.name)) {
    std::string dir = pdb_dir(record);
    stage_removal(m, dir);
    stage_removal(m, dir + "image");
  }
  if (record.flags & PKG_FLAG_BOOT) {
    struct stat st;
    if (fs::stat(paths::boot_image, &st) == 0 && st.st_nlink == 1) stage_removal(m, paths::boot_image);
  }
  record.pending = PENDING_NONE;
}

bool claim_pdb_dir(const pkg_image& record, manifest& m) {
  if (!is_safe_package_name(record.name)) return false;
  std::string dir = pdb_dir(record);
  auto it = m.ops.find(dir);
  if (it != m.ops.end()) {
    if (it->second.kind != OP_REMOVE) return false;
    m.ops.erase(it);
  }
  // Without the trailing "/", lstat would follow a link standing there.
  std::string path = dir.substr(0, dir.size() - 1);
  struct stat st;
  if (fs::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  return S_ISDIR(st.st_mode);
}
