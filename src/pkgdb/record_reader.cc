#include "pkgdb/record_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "pkgfile/pkg_format.h"
#include "pkgfile/pkg_stream.h"
#include "platform/fs.h"
#include "platform/numbers.h"

namespace {

enum class word_status { word, end, too_long };
bool is_blank(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Sequential reads of one small text file of the database. A missing file
// reads as empty; words and lines are bounded so that a damaged file never
// makes loading allocate more than the bound. Reads go straight to the
// descriptor through a small buffer: loading opens thousands of these files,
// and each system call saved counts.
class text_file {
 public:
  explicit text_file(const std::string& path) : text_file(AT_FDCWD, path) {}
  // `path` relative to the open directory `dir_fd` (or AT_FDCWD). Only a
  // regular file is a database file: anything else (a FIFO, which would
  // block the load, a device, a socket, a directory) reads as missing.
  text_file(int dir_fd, const std::string& path)
      : fd_(fs::openat(dir_fd, path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)) {
    struct stat st;
    if (fd_ >= 0 && (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~text_file() {
    if (fd_ >= 0) ::close(fd_);
  }
  text_file(const text_file&) = delete;
  text_file& operator=(const text_file&) = delete;

  bool is_open() const { return fd_ >= 0; }

  // Skips white space and reads the word up to the next white space or the
  // end. A word longer than `limit` is consumed whole and reported as such.
  word_status next_word(std::string* word, size_t limit) {
    word->clear();
    int c = next();
    while (c != EOF && is_blank(c)) c = next();
    if (c == EOF) return word_status::end;
    bool too_long = false;
    for (; c != EOF && !is_blank(c); c = next()) {
      if (word->size() < limit)
        word->push_back(static_cast<char>(c));
      else
        too_long = true;
    }
    return too_long ? word_status::too_long : word_status::word;
  }

  // Reads the next line without its line feed; false at the end. A line
  // longer than `limit` is consumed and returned empty with *too_long set.
  bool next_line(std::string* line, size_t limit, bool* too_long) {
    line->clear();
    *too_long = false;
    int c = next();
    if (c == EOF) return false;
    for (; c != EOF && c != '\n'; c = next()) {
      if (line->size() < limit)
        line->push_back(static_cast<char>(c));
      else
        *too_long = true;
    }
    if (*too_long) line->clear();
    return true;
  }

 private:
  int next() {
    if (pos_ == end_ && !fill()) return EOF;
    return static_cast<unsigned char>(buffer_[pos_++]);
  }

  bool fill() {
    if (fd_ < 0 || at_end_) return false;
    ssize_t n;
    do n = ::read(fd_, buffer_, sizeof buffer_);
    while (n < 0 && errno == EINTR);
    if (n <= 0) {
      at_end_ = true;  // a read error ends the file like its end
      return false;
    }
    // A short read of a regular file means its end: no second read for it.
    at_end_ = static_cast<size_t>(n) < sizeof buffer_;
    pos_ = 0;
    end_ = static_cast<size_t>(n);
    return true;
  }

  int fd_;
  bool at_end_ = false;
  size_t pos_ = 0;
  size_t end_ = 0;
  char buffer_[4096];
};

// A stored image, read through a buffer that seeks within itself and stops
// at the size the file had when it was opened, so that passing over a small
// part costs no system call.
class image_source : public byte_source {
 public:
  image_source(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~image_source() override { ::close(fd_); }
  image_source(const image_source&) = delete;
  image_source& operator=(const image_source&) = delete;

  size_t read(char* out, size_t count) override {
    size_t done = 0;
    while (done < count) {
      if (next_ == end_ && !fill()) break;
      size_t piece = std::min(count - done, end_ - next_);
      std::memcpy(out + done, buffer_ + next_, piece);
      next_ += piece;
      done += piece;
    }
    return done;
  }

  uint64_t skip(uint64_t count) override {
    uint64_t position = offset_ + next_;
    uint64_t passed = std::min(count, size_ - std::min(size_, position));
    uint64_t target = position + passed;
    if (target <= offset_ + end_) {
      next_ = static_cast<size_t>(target - offset_);
    } else {
      offset_ = target;
      next_ = end_ = 0;
    }
    return passed;
  }

 private:
  // Reads the next piece into the emptied buffer; false at the end.
  bool fill() {
    offset_ += end_;
    next_ = end_ = 0;
    if (offset_ >= size_) return false;
    size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof buffer_, size_ - offset_));
    ssize_t n;
    do n = ::pread(fd_, buffer_, want, static_cast<off_t>(offset_));
    while (n < 0 && errno == EINTR);
    if (n <= 0) {
      size_ = offset_;  // a read error ends the file
      return false;
    }
    end_ = static_cast<size_t>(n);
    return true;
  }

  int fd_;
  uint64_t size_;
  uint64_t offset_ = 0;  // file offset of the buffer's first byte
  size_t next_ = 0;      // the buffered bytes not yet handed out: [next_, end_)
  size_t end_ = 0;
  char buffer_[16384];
};

bool read_unsigned(text_file& file, uint32_t* value) {
  std::string word;
  return file.next_word(&word, list_word_limit) == word_status::word && parse_decimal(word, value);
}

bool read_signed(text_file& file, int32_t* value) {
  std::string word;
  return file.next_word(&word, list_word_limit) == word_status::word && parse_decimal(word, value);
}

// The entries of a "deps", "provides" (with_extra) or "conflicts" file.
bool read_list(text_file&& file, std::vector<pkg_dep>& list, bool with_extra) {
  for (;;) {
    pkg_dep entry;
    word_status status = file.next_word(&entry.name, list_word_limit);
    if (status == word_status::end) return true;
    if (status == word_status::too_long) return false;
    if (!read_unsigned(file, &entry.min_version) || !read_unsigned(file, &entry.max_version)) return false;
    if (with_extra && !read_signed(file, &entry.extra)) return false;
    list.push_back(std::move(entry));
  }
}

// A package's directory: `path` ends in "/" and is relative to `fd`, the
// database directory opened once, so that opening each of its files walks
// two path components instead of five (or absolute, with AT_FDCWD).
struct pkg_dir {
  int fd;
  std::string path;
};

// "version": the version and the build time. False when either is missing
// or malformed; what was read stays.
bool read_version_file(const pkg_dir& dir, pkg_image& record) {
  text_file file(dir.fd, dir.path + "version");
  uint32_t number = 0;
  if (!read_unsigned(file, &number)) return false;
  record.version = number;
  if (!read_unsigned(file, &number)) return false;
  record.build_time = number;
  return true;
}

// "bundle": the name of the bundle a member came from. A member restored from
// its metadata is no longer provided by the bundle's image, so it is marked for
// removal; so is one whose file is damaged.
void read_bundle_file(const pkg_dir& dir, pkg_image& record) {
  text_file file(dir.fd, dir.path + "bundle");
  std::string word;
  word_status status = file.next_word(&word, list_word_limit);
  if (status == word_status::end) return;
  record.pending = PENDING_UNINSTALL;
  if (status == word_status::word) {
    record.bundle.name = word;
    record.bundle.min_version = 0;
    record.bundle.max_version = 0;
  }
}

// "files": one path per line, stored without its leading "/". False when
// the file does not exist.
bool read_files_file(const pkg_dir& dir, path_set& files) {
  text_file file(dir.fd, dir.path + "files");
  if (!file.is_open()) return false;
  std::string line;
  bool too_long = false;
  while (file.next_line(&line, files_line_limit, &too_long)) {
    if (line.empty()) continue;  // also a line over the limit
    if (line.front() != '/') line.insert(line.begin(), '/');
    files.insert(line);
  }
  return true;
}

void restore_from_metadata(pkg_image& record, const pkg_dir& dir, record_source source) {
  if (!read_version_file(dir, record)) record.pending = PENDING_UNINSTALL;
  if (!read_list(text_file(dir.fd, dir.path + "deps"), record.depends, false)) record.pending = PENDING_UNINSTALL;
  if (!read_list(text_file(dir.fd, dir.path + "provides"), record.provides, true))
    record.pending = PENDING_UNINSTALL;
  if (!read_list(text_file(dir.fd, dir.path + "conflicts"), record.conflicts, false))
    record.pending = PENDING_UNINSTALL;
  read_bundle_file(dir, record);
  bool has_files = read_files_file(dir, record.files);
  if (source == record_source::metadata) record.is_bundle = !has_files;
}

// Whether the file may be there, asked without opening it: a failed open
// costs the kernel a file of its own, which a listing of thousands of
// packages, most without the file, would pay each time. Only a yes needs
// the open that decides, as every load decides.
bool may_exist(const pkg_dir& dir, const char* name) {
  return fs::faccessat(dir.fd, (dir.path + name).c_str(), R_OK, AT_EACCESS) == 0;
}

// What --show prints of a metadata record: its version, build time and bundle.
void restore_listing(pkg_image& record, const pkg_dir& dir) {
  read_version_file(dir, record);
  if (may_exist(dir, "bundle")) read_bundle_file(dir, record);
}

// The listing's part of read_user_state: whether the package is disabled,
// that is whether "disabled" is a regular file that can be read. The type is
// asked without opening the file.
void read_disabled(pkg_image& record, const pkg_dir& dir) {
  struct stat st;
  record.disabled = may_exist(dir, "disabled") && fs::fstatat(dir.fd, (dir.path + "disabled").c_str(), &st, 0) == 0 &&
                    S_ISREG(st.st_mode);
}

void read_user_state(pkg_image& record, const pkg_dir& dir) {
  record.user_set = false;
  text_file disabled(dir.fd, dir.path + "disabled");
  if (disabled.is_open()) {
    record.disabled = true;
    std::string line;
    bool too_long = false;
    bool has_line = disabled.next_line(&line, schedule_word_limit, &too_long);
    record.user_set = !(has_line && !too_long && line == auto_state);
    return;
  }
  record.disabled = false;
  text_file enabled(dir.fd, dir.path + "enabled");
  if (enabled.is_open()) record.user_set = true;
}

void read_schedule(pkg_image& record, const listed_names* schedules) {
  std::string name = schedule_name(record.name);
  if (schedules && !schedules->may_hold(name)) return;
  text_file file(schedule_root + name + "/schedule");
  std::string word;
  if (file.next_word(&word, schedule_word_limit) != word_status::word) return;
  if (word == "uninstall") {
    record.pending = PENDING_UNINSTALL;
  } else if (word == "enable") {
    record.pending = PENDING_ENABLE;
    record.user_set = true;
  } else if (word == "disable") {
    record.pending = PENDING_DISABLE;
    record.user_set = true;
  }
}

// Moves to the first package or bundle header, passing any note or list
// that was placed before it.
int move_to_header(pkg_stream& stream) {
  int type = stream.next_part();
  while (type != -1 && type != part_package_header && type != part_bundle_header)
    type = stream.next_part();
  return type;
}

// Moves past anything between a member's header group and the next member.
int move_to_member(pkg_stream& stream) {
  int type = stream.type();
  while (type != -1 && type != part_package_header) type = stream.next_part();
  return type;
}

// Reads a header into a fresh record. Null when the header part itself could
// not be read; a failure in a later optional part keeps the record.
std::unique_ptr<pkg_image> read_header(pkg_stream& stream) {
  auto header = std::make_unique<pkg_image>();
  read_package_header(*header, stream);
  if (header->name.empty()) return nullptr;
  return header;
}

// Members first, each with the bundle reference, then the bundle.
void read_bundle_image(std::unique_ptr<pkg_image> bundle, pkg_stream& stream, scan_output& out) {
  pkg_dep reference;
  reference.name = bundle->name;
  reference.min_version = bundle->version;
  reference.max_version = bundle->version;
  while (move_to_member(stream) == part_package_header) {
    std::unique_ptr<pkg_image> member = read_header(stream);
    if (!member) break;  // the stream stays on the unreadable part
    member->bundle = reference;
    out.push_back({std::move(member), record_source::image});
  }
  out.push_back({std::move(bundle), record_source::image});
}

void read_image(const std::string& entry_name, pkg_stream& stream, scan_output& out) {
  stream.wanted_types = parts_of({part_bundle_header, part_package_header, part_text_a, part_note,
                                  part_depends, part_provides, part_conflicts});
  int type = move_to_header(stream);
  std::unique_ptr<pkg_image> header = type == -1 ? nullptr : read_header(stream);
  if (!header) {
    // Known by its directory name with version 0, so that its state falls
    // back to the metadata files.
    out.push_back({std::make_unique<pkg_image>(entry_name), record_source::metadata});
    return;
  }
  if (type == part_bundle_header)
    read_bundle_image(std::move(header), stream, out);
  else
    out.push_back({std::move(header), record_source::image});
}

// A stored image is read at every start without a signature check: only
// one that no one but the program's own user can have written is believed.
bool is_trusted_stored_image(const struct stat& st) {
  return st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

listed_names list_names(const char* path) {
  listed_names result;
  DIR* dir = fs::opendir(path);
  if (!dir) {
    result.listed = errno == ENOENT || errno == ENOTDIR;
    return result;
  }
  result.listed = true;
  while (const dirent* entry = readdir(dir)) result.names.insert(entry->d_name);
  closedir(dir);
  return result;
}

// Reads the image of one package directory, from the database directory or
// from the stored images, when it is a regular file. A stored image that
// is not trusted is passed over, with the reason in *ignored.
void scan_image(const std::string& name, bool from_images, int db_fd, scan_output& out,
                std::string* ignored) {
  std::string path = from_images ? stored_images_root + name
                     : db_fd == AT_FDCWD ? pdb_root + name + "/image"
                                         : name + "/image";
  // Only a regular file: a FIFO is opened without waiting and passed over.
  int fd = fs::openat(db_fd, path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return;
  }
  if (from_images && !is_trusted_stored_image(st)) {
    if (ignored) *ignored = path;
    ::close(fd);
    return;
  }
  image_source file(fd, static_cast<uint64_t>(st.st_size));
  pkg_stream stream(file, false, nullptr);
  read_image(name, stream, out);
}

void read_state(pkg_image& record, record_source source, const listed_names* schedules, load_scope scope,
                int db_fd) {
  const pkg_dir dir{db_fd, db_fd == AT_FDCWD ? pdb_dir(record) : record.name + "/"};
  if (scope == load_scope::listing) {
    if (record.version == 0) restore_listing(record, dir);
    read_disabled(record, dir);
    return;
  }
  if (record.version == 0)
    restore_from_metadata(record, dir, source);
  else
    read_files_file(dir, record.files);
  read_user_state(record, dir);
  if (!is_inert(record)) read_schedule(record, schedules);
}

std::string schedule_name(const std::string& name) {
  std::string cleaned;
  for (char c : name) {
    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
    if (keep) cleaned.push_back(c);
  }
  return cleaned;
}
