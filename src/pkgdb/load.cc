#include "pkgdb/load.h"

#include <cerrno>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

#include "msg/msg.h"
#include "platform/fs.h"
#include "pkgdb/listing.h"
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

// What loading finds for one package directory: the records of its image,
// those of its stored image, and a bare record when none of these bears the
// directory's name.
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

// Reads every package directory and hands each record, made into what the
// caller keeps by `keep`, to `append` in the repository's order: the records
// of every directory's image in directory order, then those of the stored
// images, then the bare record of each directory that no record from
// another directory (nor one in `named_elsewhere` already) names. Since a
// bundle's image names its members, a bare record is known to stay only once
// every directory is read: only the kept forms of the records that must
// wait are held until then. `name_of` gives a kept record's name, which
// must stay where it is while the load runs.
template <typename Keep, typename NameOf, typename Append>
void load_in_order(console& screen, load_scope scope, std::unordered_set<std::string_view> named_elsewhere, Keep keep,
                   NameOf name_of, Append append) {
  using kept = decltype(keep(std::unique_ptr<pkg_image>()));
  DIR* dir = fs::opendir(pdb_root);
  if (!dir) {
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
  std::deque<kept> stored, bare;
  std::vector<std::string> untrusted;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.' || !is_directory_entry(*entry)) continue;
    const std::string name = entry->d_name;
    directory_result result;
    load_directory(name, stored_images, schedules, scope, db_fd, result);
    for (scan_output* scan : {&result.in_database, &result.stored}) {
      for (scanned& found : *scan) {
        kept record = keep(std::move(found.record));
        if (name_of(record) != name) named_elsewhere.insert(name_of(record));
        if (scan == &result.in_database)
          append(std::move(record));
        else
          stored.push_back(std::move(record));
      }
    }
    if (result.bare) bare.push_back(keep(std::move(result.bare)));
    if (!result.untrusted_image.empty()) untrusted.push_back(std::move(result.untrusted_image));
  }
  closedir(dir);
  if (db_fd != AT_FDCWD) ::close(db_fd);
  for (const std::string& path : untrusted)
    warning(screen, "ignored %s: it is not owned by the installer's user or others may write it", path.c_str());
  for (kept& record : stored) append(std::move(record));
  for (kept& record : bare)
    if (!named_elsewhere.count(name_of(record))) append(std::move(record));
}

}  // namespace

void load_repository(pkg_repo& repository, console& screen, const std::string& arch) {
  repository.arch = arch;
  std::unordered_set<std::string_view> named_before;
  for (const pkg_image* record : repository.packages) named_before.insert(record->name);
  load_in_order(
      screen, load_scope::everything, std::move(named_before), [](std::unique_ptr<pkg_image> record) { return record; },
      [](const std::unique_ptr<pkg_image>& record) { return std::string_view(record->name); },
      [&](std::unique_ptr<pkg_image> record) { repository.append(std::move(record)); });
}

void load_listing(package_listing& listing, console& screen) {
  load_in_order(
      screen, load_scope::listing, {}, [&](std::unique_ptr<pkg_image> record) { return listing.row_of(*record); },
      [&](const listing_row& row) { return listing.name(row); },
      [&](const listing_row& row) { listing.rows.push_back(row); });
}
