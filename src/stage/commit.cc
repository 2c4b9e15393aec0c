#include "stage/commit.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "msg/msg.h"
#include "platform/fs.h"
#include "stage/manifest.h"
#include "stage/staging.h"

namespace {

constexpr size_t copy_chunk = 16384;
constexpr const char* copy_template = "/tmpXXXXXX";

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

// Deletes the plain entries of a directory (names not starting with "."),
// then the directory itself if that left it empty. Only a real directory is
// swept: a link standing at the path is never followed.
void sweep_directory(const std::string& target) {
  struct stat st;
  if (lstat(without_trailing_slashes(target).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  DIR* dir = opendir(target.c_str());
  if (!dir) return;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '\0' || entry->d_name[0] == '.') continue;
    std::string path = target + "/" + entry->d_name;
    fs::unlink(path.c_str());
  }
  closedir(dir);
  fs::rmdir(target.c_str());
}

void remove_target(const std::string& target) {
  if (fs::unlink(target.c_str()) != 0 && errno == EISDIR) sweep_directory(target);
}

void link_target(const std::string& target, const file_op& op) {
  make_dirs(parent_dir(target));
  fs::unlink(target.c_str());
  if (fs::symlink(op.source.c_str(), target.c_str()) != 0) std::perror("symlink");
}

void move_target(const std::string& target, const file_op& op, bool progress) {
  make_dirs(parent_dir(target));
  if (fs::rename(op.source.c_str(), target.c_str()) == 0) return;
  if (errno != EXDEV) {
    std::perror("rename");
    return;
  }
  // The staged file has done its work; it must not hold on to RAM. A loaded
  // move's source is not the manifest's own and stays.
  if (copy_file(op.source, target, progress) && op.kind == OP_STAGED) fs::unlink(op.source.c_str());
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
