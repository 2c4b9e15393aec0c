#include "pkgdb/load.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

#include "msg/msg.h"
#include "platform/fs.h"
#include "pkgdb/record_reader.h"
#include "pkgdb/repo.h"

namespace {

// Only directories are package directories: a plain file (the stream
// install's leftover "image") or a symbolic link there is no package.
bool is_directory_entry(const dirent& entry) {
  if (entry.d_type == DT_DIR) return true;
  if (entry.d_type != DT_UNKNOWN) return false;
  struct stat st;
  std::string path = std::string(pdb_root) + entry.d_name;
  return fs::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Names of the package directories, in directory order. False when the
// database directory cannot be opened.
bool list_package_dirs(std::vector<std::string>* names) {
  DIR* dir = fs::opendir(pdb_root);
  if (!dir) return false;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    if (is_directory_entry(*entry)) names->push_back(entry->d_name);
  }
  closedir(dir);
  return true;
}

// What loading finds for one package directory. The records of every
// directory's image come first, in directory order, then those of the stored
// images, then a bare record for each directory that no record names. Since
// a bundle's image names its members, whether a directory is bare is known
// only once every image is read: its bare record is read in case, and dropped
// when another directory's image turns out to name it.
struct directory_result {
  scan_output in_database;
  scan_output stored;
  std::unique_ptr<pkg_image> bare;
  std::string untrusted_image;  // a stored image passed over
};

void load_directory(const std::string& name, const listed_names& stored_images, const listed_names& schedules,
                    load_scope scope, int db_fd, directory_result& result) {
  scan_image(name, false, db_fd, result.in_database);
  if (stored_images.may_hold(name)) scan_image(name, true, db_fd, result.stored, &result.untrusted_image);
  bool named = false;
  for (scan_output* scan : {&result.in_database, &result.stored}) {
    for (scanned& found : *scan) {
      read_state(*found.record, found.source, &schedules, scope, db_fd);
      named = named || found.record->name == name;
    }
  }
  if (!named) {
    result.bare = std::make_unique<pkg_image>(name);
    read_state(*result.bare, record_source::metadata, &schedules, scope, db_fd);
  }
}

}  // namespace

void load_repository(pkg_repo& repository, console& screen, const std::string& arch, load_scope scope) {
  repository.arch = arch;
  std::vector<std::string> names;
  if (!list_package_dirs(&names)) {
    warning(screen, "could not open repo");
    return;
  }
  // The database directory, opened once: each package's files are then
  // found from it rather than from "/" (AT_FDCWD with full paths when it
  // cannot be opened).
  int db_fd = fs::open_existing(pdb_root, O_RDONLY | O_DIRECTORY);
  if (db_fd < 0) db_fd = AT_FDCWD;
  listed_names stored_images = list_names(stored_images_root);
  listed_names schedules;
  if (scope == load_scope::everything) schedules = list_names(schedule_root);
  std::vector<directory_result> results(names.size());
  for (size_t i = 0; i < names.size(); ++i)
    load_directory(names[i], stored_images, schedules, scope, db_fd, results[i]);
  if (db_fd != AT_FDCWD) ::close(db_fd);
  for (const directory_result& result : results)
    if (!result.untrusted_image.empty())
      warning(screen, "ignored %s: it is not owned by the installer's user or others may write it",
              result.untrusted_image.c_str());
  // A directory's bare record was only read when no record of its own
  // directory names it: it is dropped when a record from elsewhere does (a
  // bundle's member, say), or one that was already in the repository.
  std::unordered_set<std::string_view> named_elsewhere;
  for (const pkg_image* record : repository.packages) named_elsewhere.insert(record->name);
  for (scan_output directory_result::*scan : {&directory_result::in_database, &directory_result::stored}) {
    for (size_t i = 0; i < names.size(); ++i) {
      for (scanned& found : results[i].*scan) {
        if (found.record->name != names[i]) named_elsewhere.insert(found.record->name);
        repository.append(std::move(found.record));
      }
    }
  }
  for (directory_result& result : results)
    if (result.bare && !named_elsewhere.count(result.bare->name)) repository.append(std::move(result.bare));
}
