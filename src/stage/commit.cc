#include "stage/commit.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "msg/msg.h"
#include "platform/crypto.h"
#include "platform/fs.h"
#include "platform/own_files.h"
#include "stage/leftovers.h"
#include "stage/manifest.h"
#include "stage/staging.h"

namespace {

constexpr size_t copy_chunk = 16384;
constexpr unsigned temporary_attempts = 100;


// A failed copy is reported like the other commit failures: a prefix, a
// colon, a blank and the system's error text on standard error.
void report_copy_failure(const std::string& target, int err) {
  std::fprintf(stderr, "copy %s: %s\n", terminal_safe(target).c_str(), std::strerror(err));
}

std::string without_trailing_slashes(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  return end == std::string::npos ? path.substr(0, 1) : path.substr(0, end + 1);
}

// A temporary name in `dir` for something on its way in or out, different
// for every attempt.
std::string temporary_in(const std::string& dir, unsigned attempt) {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  uint64_t seed = (uint64_t(getpid()) << 40) ^ uint64_t(now.tv_nsec) ^ (uint64_t(attempt) * 0x9E3779B97F4A7C15u);
  std::string name = dir + "/" + std::string(temporary_prefix);
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
    std::string hidden = temporary_in(parent_dir(dir), attempt);
    if (fs::rename(dir.c_str(), hidden.c_str()) == 0) return hidden;
    if (errno != EEXIST && errno != ENOTEMPTY && errno != ENOTDIR) break;
  }
  return dir;
}

// True when the directory holds a hidden entry or a subdirectory: what the
// sweep leaves on purpose.
bool holds_kept_entries(const std::string& dir) {
  DIR* listing = fs::opendir(dir.c_str());
  if (!listing) return false;
  bool kept = false;
  while (const dirent* entry = readdir(listing)) {
    std::string name = entry->d_name;
    struct stat st;
    if (name == "." || name == "..") continue;
    if (name[0] == '.' || (fs::lstat((dir + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode))) kept = true;
  }
  closedir(listing);
  return kept;
}

void unlink_plain_entries(const std::string& dir) {
  DIR* listing = fs::opendir(dir.c_str());
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
// False when the directory was left out of sight, a temporary for a later
// run to take away.
bool sweep_directory(const std::string& target) {
  std::string dir = without_trailing_slashes(target);
  struct stat st;
  if (fs::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return true;
  std::string swept = move_out_of_sight(dir);
  unlink_plain_entries(swept);
  if (fs::rmdir(swept.c_str()) == 0 || swept == dir) return true;
  return holds_kept_entries(swept) && fs::rename(swept.c_str(), dir.c_str()) == 0;
}

// Removal failures are ignored, as removals are best effort; false when a
// temporary was left.
bool remove_target(const std::string& target) {
  if (fs::unlink(target.c_str()) != 0 && errno == EISDIR) return sweep_directory(target);
  return true;
}

// Unlinks a temporary; false when it is still there.
bool remove_temporary(const std::string& path) {
  int err = errno;
  bool gone = fs::unlink(path.c_str()) == 0 || errno == ENOENT;
  errno = err;
  return gone;
}

// Makes the link under a free temporary name; false with errno set.
bool make_link_temporary(const std::string& content, const std::string& target, std::string* temporary) {
  for (unsigned attempt = 0; attempt < temporary_attempts; ++attempt) {
    *temporary = temporary_in(parent_dir(target), attempt);
    if (fs::symlink(content.c_str(), temporary->c_str()) == 0) return true;
    if (errno != EEXIST) return false;
  }
  return false;
}

// The link is made beside the target and renamed over it, so the path holds
// the old file or the new link at every moment: a failed symlink or a power
// cut in between never leaves a package without its image link.
bool link_target(const std::string& target, const file_op& op, bool* tidy) {
  make_dirs(parent_dir(target));
  std::string temporary;
  if (!make_link_temporary(op.source, target, &temporary)) {
    std::perror("symlink");
    return false;
  }
  if (fs::rename(temporary.c_str(), target.c_str()) == 0) return true;
  int err = errno;
  if (!remove_temporary(temporary)) *tidy = false;
  errno = err;
  std::perror("symlink");
  return false;
}

// The source of a move, renamed onto its target. A staged file has done its
// work either way: nothing will ever move it again once this commit is over,
// and it must not hold on to RAM or flash. A loaded move's source is not
// the manifest's own and stays, for a later --commit to try again.
bool move_target(const std::string& target, const file_op& op, bool* tidy) {
  make_dirs(parent_dir(target));
  bool moved = fs::rename(op.source.c_str(), target.c_str()) == 0;
  int err = errno;
  if (!moved && err == EXDEV) {
    // Only a move that prepare_commit did not ready: copied as it stands.
    moved = copy_file(op.source, target, nullptr);
  } else if (!moved) {
    std::perror("rename");
  }
  // A rename of a second name onto the first leaves both (the commit of a
  // download that an earlier, cut-short run already moved).
  struct stat st;
  if (op.kind == OP_STAGED && (!moved || fs::lstat(op.source.c_str(), &st) == 0) && !remove_temporary(op.source))
    *tidy = false;
  // A loaded move whose source is gone was made by an earlier --commit of
  // the same saved manifest.
  if (!moved && op.kind == OP_MOVE && err == ENOENT) return true;
  errno = err;
  return moved;
}

void move_first(manifest& m, const std::string& first_target) {
  auto it = m.ops.find(first_target);
  if (it == m.ops.end() || !is_move(it->second)) return;
  make_dirs(parent_dir(first_target));
  if (fs::rename(it->second.source.c_str(), first_target.c_str()) == 0) m.ops.erase(it);
}

// Reads the whole source into the open temporary, adding it to `digest`
// when one is given. False with errno set on a read error or a short write.
bool copy_content(int from, int to, console* progress, crypto::hasher* digest) {
  char buffer[copy_chunk];
  for (;;) {
    ssize_t got = read(from, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return true;
    if (digest) digest->update(buffer, static_cast<size_t>(got));
    ssize_t put;
    do {
      put = fs::write(to, buffer, static_cast<size_t>(got));
    } while (put < 0 && errno == EINTR);
    if (put < 0) return false;
    if (put != got) {
      errno = ENOSPC;
      return false;
    }
    if (progress) spinner_tick(*progress);
  }
}

// Fills the temporary from the source and gives it the source's mode. The
// data is on the medium before the caller renames it into view.
bool fill_temporary(int from, int to, mode_t mode, console* progress, crypto::hasher* digest = nullptr) {
  return copy_content(from, to, progress, digest) && fs::fchmod(to, mode & 07777) == 0 && fs::fsync(to) == 0;
}

bool fail(commit_failure* failure, int err, const std::string& what) {
  if (failure && failure->what.empty()) {
    failure->error = err;
    failure->what = terminal_safe(what);
  }
  return false;
}

bool fail_errno(commit_failure* failure, const std::string& what) {
  int err = errno;
  return fail(failure, err, what + ": " + std::strerror(err));
}

// One move readied by prepare_commit: its temporary beside the target, and
// what becomes of its source once the move is made.
struct readied {
  std::string target;
  std::string temporary;
  std::string staged_copy;  // the manifest's staged file that was copied; removed on success
  std::string download;     // a download given a second name; removed once moved
};

// Copies `from` (open, at its start) into a temporary in `dir`. False with
// errno set; no temporary is left then.
bool copy_into(int from, const std::string& dir, mode_t mode, console* progress, crypto::hasher* digest,
               std::string* temporary) {
  *temporary = temporary_template(dir);
  int to = fs::mkstemp(temporary->data());
  if (to < 0) return false;
  bool filled = fill_temporary(from, to, mode, progress, digest);
  int err = errno;
  if (fs::close(to) != 0 && filled) {
    filled = false;
    err = errno;
  }
  if (filled) return true;
  fs::unlink(temporary->c_str());
  errno = err;
  return false;
}

// Copies the regular file `source` (its status in `st`) into a temporary in
// `dir`, never following a link. False with errno set.
bool copy_regular(const std::string& source, const struct stat& st, const std::string& dir, console* progress,
                  std::string* temporary) {
  int from = fs::open_existing(source.c_str(), O_RDONLY | O_NOFOLLOW);
  if (from < 0) return false;
  bool copied = copy_into(from, dir, st.st_mode, progress, nullptr, temporary);
  int err = errno;
  close(from);
  errno = err;
  return copied;
}

bool same_device(const std::string& dir, dev_t device) {
  struct stat st;
  return fs::stat(dir.c_str(), &st) == 0 && st.st_dev == device;
}

// A staged or moved file on another file system than its target: copied
// now, so that a full flash shows before anything is renamed.
bool ready_copy(const std::string& target, const file_op& op, console* progress, std::vector<readied>* done,
                commit_failure* failure) {
  if (is_staged_beside_target(op)) return true;
  struct stat st;
  // A missing source, a link or a directory is left to the rename pass,
  // which reports or skips it as it always has.
  if (fs::lstat(op.source.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return true;
  std::string dir = nearest_existing_dir(parent_dir(target));
  if (dir.empty() || same_device(dir, st.st_dev)) return true;
  std::string temporary;
  if (!copy_regular(op.source, st, dir, progress, &temporary))
    return fail_errno(failure, "could not copy " + op.source + " to " + target);
  done->push_back({target, temporary, op.kind == OP_STAGED ? op.source : std::string(), {}});
  return true;
}

bool refuse_download(commit_failure* failure, const std::string& source) {
  return fail(failure, EPERM, source + " is not the package file that was verified");
}

// True when `path` names the very file (device and inode) that was verified.
bool is_proven_file(const std::string& path, const download_proof& proof) {
  struct stat st;
  return fs::lstat(path.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_dev) == proof.identity.dev &&
         static_cast<uint64_t>(st.st_ino) == proof.identity.ino;
}

enum class link_result { linked, no_second_names, failed };

// The errors of a file system that gives no file a second name.
bool lacks_second_names(int err) { return err == EPERM || err == EMLINK || err == EOPNOTSUPP || err == EXDEV; }

// Gives the download a second name beside its target. The download itself
// stays in its directory until its move is made, so a run cut short leaves
// it where the next upgrade finds it. What the new name reaches must be the
// file that was confirmed, not one put at the download's path since.
link_result ready_by_link(const std::string& target, const std::string& source, const std::string& dir,
                          const download_proof& proof, std::vector<readied>* done, commit_failure* failure) {
  std::string temporary;
  for (unsigned attempt = 0;; ++attempt) {
    temporary = temporary_in(dir, attempt);
    if (fs::link(source.c_str(), temporary.c_str()) == 0) break;
    if (errno == EEXIST && attempt + 1 < temporary_attempts) continue;
    if (lacks_second_names(errno)) return link_result::no_second_names;
    fail_errno(failure, "could not move " + source + " to " + target);
    return link_result::failed;
  }
  if (!is_proven_file(temporary, proof)) {
    fs::unlink(temporary.c_str());
    refuse_download(failure, source);
    return link_result::failed;
  }
  done->push_back({target, temporary, {}, source});
  return link_result::linked;
}

// Copies the confirmed download (open at `fd`) beside its target, taking
// its digest on the way; the download stays where it is.
bool ready_by_copy(const std::string& target, const std::string& source, int fd, mode_t mode,
                   const std::string& dir, const download_proof& proof, console* progress, std::vector<readied>* done,
                   commit_failure* failure) {
  crypto::hasher copied(crypto::hasher::kind::sha256);
  std::string temporary;
  if (lseek(fd, 0, SEEK_SET) != 0 || !copy_into(fd, dir, mode, progress, &copied, &temporary))
    return fail_errno(failure, "could not copy " + source + " to " + target);
  std::array<uint8_t, 32> digest;
  copied.final(digest.data());
  if (digest != proof.sha256) {
    fs::unlink(temporary.c_str());
    return refuse_download(failure, source);
  }
  done->push_back({target, temporary, {}, {}});
  return true;
}

// Whether the open download is the file its proof describes. The identity
// a run took itself must be whole; a proof read back from a saved manifest
// is checked by its digest, since the second name that a commit cut short
// gave the file changed its change time.
bool confirms(int fd, const struct stat& st, const download_proof& proof) {
  file_identity now = identity_of(st);
  if (proof.taken_this_run) return now == proof.identity;
  now.ctime_sec = proof.identity.ctime_sec;
  now.ctime_nsec = proof.identity.ctime_nsec;
  std::array<uint8_t, 32> digest;
  return now == proof.identity && digest_rest(fd, &digest) && digest == proof.sha256;
}

// A download that a move takes as its source: confirmed against its proof,
// then given a second name beside its target, or copied there.
bool ready_download(const std::string& target, const std::string& source, const download_proof& proof,
                    console* progress, std::vector<readied>* done, std::vector<std::string>* finished,
                    commit_failure* failure) {
  struct stat st;
  int fd = fs::open_regular(source.c_str(), &st);
  if (fd < 0) {
    // An earlier run of the same commit moved it already.
    if (errno == ENOENT && is_proven_file(target, proof)) {
      finished->push_back(target);
      return true;
    }
    return refuse_download(failure, source);
  }
  std::string dir = nearest_existing_dir(parent_dir(target));
  bool result;
  if (!confirms(fd, st, proof) || dir.empty()) {
    result = refuse_download(failure, source);
  } else {
    link_result linked = same_device(dir, st.st_dev) ? ready_by_link(target, source, dir, proof, done, failure)
                                                     : link_result::no_second_names;
    result = linked == link_result::linked ||
             (linked == link_result::no_second_names &&
              ready_by_copy(target, source, fd, st.st_mode, dir, proof, progress, done, failure));
  }
  close(fd);
  return result;
}

// The download whose second name was just moved onto `target` leaves its
// directory, as a move would have taken it: only while the download's path
// still names that file.
void drop_moved_download(const std::string& download, const std::string& target,
                         const std::map<std::string, download_proof>& proofs) {
  auto proof = proofs.find(download);
  if (proof != proofs.end() && is_proven_file(download, proof->second) && is_proven_file(target, proof->second))
    fs::unlink(download.c_str());
}

// Takes back what prepare_commit readied, last first.
void take_back(const std::vector<readied>& done) {
  for (auto it = done.rbegin(); it != done.rend(); ++it) fs::unlink(it->temporary.c_str());
}

}  // namespace

bool prepare_commit(manifest& m, console* progress, commit_failure* failure) {
  if (m.empty()) return true;
  mark_staging(m.places);
  std::vector<readied> done;
  std::vector<std::string> finished;
  for (const auto& [target, op] : m.ops) {
    if (!is_move(op)) continue;
    auto proof = m.proofs.find(op.source);
    bool ready = proof == m.proofs.end()
                     ? ready_copy(target, op, progress, &done, failure)
                     : ready_download(target, op.source, proof->second, progress, &done, &finished, failure);
    if (!ready) {
      take_back(done);
      return false;
    }
  }
  for (const readied& r : done) {
    m.ops.put(r.target, {OP_STAGED, r.temporary});
    if (!r.staged_copy.empty()) fs::unlink(r.staged_copy.c_str());
    if (!r.download.empty()) m.readied_downloads[r.target] = r.download;
  }
  for (const std::string& target : finished) m.ops.erase(target);
  return true;
}

bool finish_commit(manifest& m, const std::string& first_target, commit_failure* failure) {
  if (m.empty()) return true;
  mark_staging(m.places);
  // Everything staged so far (extracted files, database files) reaches the
  // medium before any of it becomes visible under its real name.
  fs::sync();
  if (!first_target.empty()) move_first(m, first_target);
  bool complete = true;
  bool tidy = true;  // no temporary left
  for (const auto& [target, op] : m.ops) {
    if (op.kind == OP_REMOVE && !remove_target(target))
      tidy = false;
    else if (op.kind == OP_LINK && !link_target(target, op, &tidy))
      complete = fail_errno(failure, "could not link " + target);
  }
  for (const auto& [target, op] : m.ops) {
    if (!is_move(op)) continue;
    if (!move_target(target, op, &tidy))
      complete = fail_errno(failure, "could not move " + target);
    else if (auto download = m.readied_downloads.find(target); download != m.readied_downloads.end())
      drop_moved_download(download->second, target, m.proofs);
  }
  fs::sync();
  // Nothing of this run is outstanding any more, unless a temporary could
  // not be taken away: then the mark stays for a later run's sweep.
  if (m.places.marked && tidy) clear_staging_mark();
  // Directories appeared and free space changed: what staging remembered of
  // the trees no longer holds.
  m.places = {};
  return complete;
}

bool commit(manifest& m, const std::string& first_target, console* progress, commit_failure* failure) {
  if (m.empty()) return true;
  return prepare_commit(m, progress, failure) && finish_commit(m, first_target, failure);
}

int make_dirs(const std::string& path) {
  int result = fs::mkdir(path.c_str(), 0777);
  if (result == 0 || errno == EEXIST) return result;
  std::string parent = parent_dir(path);
  if (parent == path) return result;
  make_dirs(parent);
  return fs::mkdir(path.c_str(), 0777);
}

bool copy_file(const std::string& source, const std::string& target, console* progress) {
  // Only a regular file crosses file systems; a link or directory stays
  // where it is, silently.
  struct stat st;
  if (fs::lstat(source.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  // The target itself is never opened: it may be a link, and a half-written
  // copy must never replace a whole file.
  std::string temporary;
  bool copied = copy_regular(source, st, parent_dir(target), progress, &temporary);
  if (copied && fs::rename(temporary.c_str(), target.c_str()) == 0) return true;
  int err = errno;
  if (copied) fs::unlink(temporary.c_str());
  report_copy_failure(target, err);
  return false;
}
