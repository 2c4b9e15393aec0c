#include "stage/leftovers.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/fs.h"
#include "platform/own_files.h"
#include "platform/paths.h"
#include "stage/manifest.h"
#include "stage/staging.h"

namespace {

constexpr const char* mark_dir = "/flash/var/pdb";
constexpr const char* mark_path = "/flash/var/pdb/.staging";

// The entries of a temporary directory (a package's database directory on
// its way out), then the directory.
void remove_temporary_dir(const std::string& dir) {
  if (DIR* listing = fs::opendir(dir.c_str())) {
    while (const dirent* entry = readdir(listing)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") fs::unlink((dir + "/" + name).c_str());
    }
    closedir(listing);
  }
  fs::rmdir(dir.c_str());
}

struct sweep {
  const std::unordered_set<std::string>& keep;

  void remove_if_left(const std::string& path, const struct stat& st) {
    if (st.st_uid != geteuid() || keep.count(path) != 0) return;
    if (S_ISDIR(st.st_mode))
      remove_temporary_dir(path);
    else
      fs::unlink(path.c_str());
  }

  void walk(const std::string& dir, bool below) {
    DIR* listing = fs::opendir(dir.c_str());
    if (!listing) return;
    std::vector<std::string> subdirs;
    while (const dirent* entry = readdir(listing)) {
      std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      std::string path = dir + "/" + name;
      struct stat st;
      if (fs::lstat(path.c_str(), &st) != 0) continue;
      if (is_temporary_name(name))
        remove_if_left(path, st);
      else if (below && S_ISDIR(st.st_mode))
        subdirs.push_back(path);
    }
    closedir(listing);
    for (const std::string& subdir : subdirs) walk(subdir, true);
  }
};

}  // namespace

void mark_staging(staging_places& places) {
  if (places.marked) return;
  places.marked = true;
  struct stat st;
  if (fs::lstat(mark_path, &st) == 0 && S_ISREG(st.st_mode)) return;
  int fd = fs::open_own_file(mark_path, false, 0644);
  if (fd < 0) return;
  fs::fsync(fd);
  fs::close(fd);
  // The mark's name must reach the medium before any temporary does.
  int dir = ::open(mark_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fs::fsync(dir);
    ::close(dir);
  }
}

bool staging_marked() {
  struct stat st;
  return fs::lstat(mark_path, &st) == 0;
}

void clear_staging_mark() {
  struct stat st;
  if (fs::lstat(mark_path, &st) == 0) fs::unlink(mark_path);
}

void sweep_leftovers(const std::unordered_set<std::string>& keep, bool keep_mark) {
  struct stat mark;
  if (fs::lstat(mark_path, &mark) != 0) return;
  sweep pass{keep};
  pass.walk("/flash", true);
  pass.walk(paths::ram_dir, false);
  pass.walk(paths::fallback_staging_dir, false);
  if (!keep_mark) fs::unlink(mark_path);
}
