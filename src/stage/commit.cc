#include "stage/commit.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "msg/msg.h"
#include "platform/fs.h"
#include "stage/manifest.h"
#include "stage/staging.h"

namespace {

constexpr size_t copy_chunk = 16384;
constexpr const char* copy_template = "/tmpXXXXXX";
// Names of a link on its way to its target and of a directory being
// removed: a staged file's shape, the second hidden.
constexpr const char* link_stem = "tmp";
constexpr const char* hidden_stem = ".tmp";
constexpr unsigned temporary_attempts = 100;

bool is_move(const file_op& op) { return op.kind < 2; }

// A failed copy is reported like the other commit failures: a prefix, a
// colon, a blank and the system's error text on standard error.
void report_copy_failure(const std::string& target, int err) {
  std::fprintf(stderr, "copy %s: %s\n", terminal_safe(target).c_str(), std::strerror(err));
}

std::string without_trailing_slashes(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  return end == std::string::npos ? path.substr(0, 1) : path.substr(0, end + 1);
}

// A name beside `target` for something on its way in or out: `stem` and six
// characters, different for every attempt.
std::string temporary_beside(const std::string& target, const char* stem, unsigned attempt) {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  uint64_t seed = (uint64_t(getpid()) << 40) ^ uint64_t(now.tv_nsec) ^ (uint64_t(attempt) * 0x9E3779B97F4A7C15u);
  std::string name = parent_dir(target) + "/" + stem;
  for (int i = 0; i < 6; ++i, seed /= 62) name += letters[seed % 62];
  return name;
}

// Moves a directory to a hidden name beside it before it is swept. The
// database loader skips names that begin with ".", so a package directory
// cut short by a power cut or a failed unlink never loads as a package of
// version 0: the package is listed whole or not at all. Returns the new
// path, or `dir` itself when it could not be moved (it is swept in place).
std::string move_out_of_sight(const std::string& dir) {
  for (unsigned attempt = 0; attempt < temporary_attempts; ++attempt) {
    std::string hidden = temporary_beside(dir, hidden_stem, attempt);
    if (fs::rename(dir.c_str(), hidden.c_str()) == 0) return hidden;
    if (errno != EEXIST && errno != ENOTEMPTY && errno != ENOTDIR) break;
  }
  return dir;
}

// True when the directory holds a hidden entry or a subdirectory: what the
// sweep leaves on purpose.
bool holds_kept_entries(const std::string& dir) {
  DIR* listing = opendir(dir.c_str());
  if (!listing) return false;
  bool kept = false;
  while (const dirent* entry = readdir(listing)) {
    std::string name = entry->d_name;
    struct stat st;
    if (name == "." || name == "..") continue;
    if (name[0] == '.' || (lstat((dir + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode))) kept = true;
  }
  closedir(listing);
  return kept;
}

void unlink_plain_entries(const std::string& dir) {
  DIR* listing = opendir(dir.c_str());
  if (!listing) return;
  while (const dirent* entry = readdir(listing)) {
    if (entry->d_name[0] == '\0' || entry->d_name[0] == '.') continue;
    std::string path = dir + "/" + entry->d_name;
    fs::unlink(path.c_str());
  }
  closedir(listing);
}

// Deletes the plain entries of a directory (names not starting with "."),
// then the directory itself if that left it empty. Only a real directory is
// swept: a link standing at the path is never followed. A directory that
// hidden entries or subdirectories keep goes back to its place; one that a
// plain file failed to leave stays out of sight.
void sweep_directory(const std::string& target) {
  std::string dir = without_trailing_slashes(target);
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  std::string swept = move_out_of_sight(dir);
  unlink_plain_entries(swept);
  if (fs::rmdir(swept.c_str()) == 0 || swept == dir) return;
  if (holds_kept_entries(swept)) fs::rename(swept.c_str(), dir.c_str());
}

void remove_target(const std::string& target) {
  if (fs::unlink(target.c_str()) != 0 && errno == EISDIR) sweep_directory(target);
}

// Makes the link under a free temporary name; false with errno set.
bool make_link_temporary(const std::string& content, const std::string& target, std::string* temporary) {
  for (unsigned attempt = 0; attempt < temporary_attempts; ++attempt) {
    *temporary = temporary_beside(target, link_stem, attempt);
    if (fs::symlink(content.c_str(), temporary->c_str()) == 0) return true;
    if (errno != EEXIST) return false;
  }
  return false;
}

// The link is made beside the target and renamed over it, so the path holds
// the old file or the new link at every moment: a failed symlink or a power
// cut in between never leaves a package without its image link.
void link_target(const std::string& target, const file_op& op) {
  make_dirs(parent_dir(target));
  std::string temporary;
  if (!make_link_temporary(op.source, target, &temporary)) {
    std::perror("symlink");
    return;
  }
  if (fs::rename(temporary.c_str(), target.c_str()) == 0) return;
  int err = errno;
  fs::unlink(temporary.c_str());
  errno = err;
  std::perror("symlink");
}

void move_target(const std::string& target, const file_op& op, bool progress) {
  make_dirs(parent_dir(target));
  if (fs::rename(op.source.c_str(), target.c_str()) == 0) return;
  if (errno != EXDEV)
    std::perror("rename");
  else
    copy_file(op.source, target, progress);
  // Copied or not, the staged file has done its work: nothing will ever move
  // it again once this commit is over, and it must not hold on to RAM or
  // flash. A loaded move's source is not the manifest's own and stays, for
  // a later --commit to try again.
  if (op.kind == OP_STAGED) fs::unlink(op.source.c_str());
}

void move_first(manifest& m, const std::string& first_target) {
  auto it = m.ops.find(first_target);
  if (it == m.ops.end() || !is_move(it->second)) return;
  make_dirs(parent_dir(first_target));
  if (fs::rename(it->second.source.c_str(), first_target.c_str()) == 0) m.ops.erase(it);
}

// Reads the whole source into the open temporary. False with errno set on a
// read error or a short write.
bool copy_content(int from, int to, bool progress) {
  char buffer[copy_chunk];
  for (;;) {
    ssize_t got = read(from, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return true;
    ssize_t put;
    do {
      put = fs::write(to, buffer, static_cast<size_t>(got));
    } while (put < 0 && errno == EINTR);
    if (put < 0) return false;
    if (put != got) {
      errno = ENOSPC;
      return false;
    }
    if (progress) spinner_tick();
  }
}

// Fills the temporary from the source and gives it the source's mode. The
// data is on the medium before the caller renames it into view.
bool fill_temporary(int from, int to, mode_t mode, bool progress) {
  return copy_content(from, to, progress) && fs::fchmod(to, mode & 07777) == 0 && fs::fsync(to) == 0;
}

}  // namespace

void commit(manifest& m, const std::string& first_target, bool progress) {
  if (m.empty()) return;
  // Everything staged so far (extracted files, database files) reaches the
  // medium before any of it becomes visible under its real name.
  fs::sync();
  if (!first_target.empty()) move_first(m, first_target);
  for (const auto& [target, op] : m.ops) {
    if (op.kind == OP_REMOVE)
      remove_target(target);
    else if (op.kind == OP_LINK)
      link_target(target, op);
  }
  for (const auto& [target, op] : m.ops)
    if (is_move(op)) move_target(target, op, progress);
  fs::sync();
  // Directories appeared and free space changed: what staging remembered of
  // the trees no longer holds.
  m.places = {};
}

int make_dirs(const std::string& path) {
  int result = fs::mkdir(path.c_str(), 0777);
  if (result == 0 || errno == EEXIST) return result;
  std::string parent = parent_dir(path);
  if (parent == path) return result;
  make_dirs(parent);
  return fs::mkdir(path.c_str(), 0777);
}

bool copy_file(const std::string& source, const std::string& target, bool progress) {
  // Only a regular file crosses file systems; a link or directory stays
  // where it is, silently.
  struct stat st;
  if (lstat(source.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  int from = open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (from < 0) {
    report_copy_failure(target, errno);
    return false;
  }
  // The target itself is never opened: it may be a link, and a half-written
  // copy must never replace a whole file.
  std::string temporary = parent_dir(target) + copy_template;
  int to = fs::mkstemp(temporary.data());
  if (to < 0) {
    report_copy_failure(target, errno);
    close(from);
    return false;
  }
  bool filled = fill_temporary(from, to, st.st_mode, progress);
  int err = errno;
  close(from);
  if (fs::close(to) != 0 && filled) {
    filled = false;
    err = errno;
  }
  if (filled && fs::rename(temporary.c_str(), target.c_str()) == 0) return true;
  if (filled) err = errno;
  fs::unlink(temporary.c_str());
  report_copy_failure(target, err);
  return false;
}
