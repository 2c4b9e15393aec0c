// The upgrade run: the download directories, the choice of package files,
// their installation one by one, the stored images, the user's enabled and
// disabled choices, and the post-log that keeps the messages across a restart.
#include "install/upgrade.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "install/install.h"
#include "model/version.h"
#include "msg/msg.h"
#include "pkgfile/fd_source.h"
#include "pkgfile/pkg_format.h"
#include "pkgfile/pkg_stream.h"
#include "platform/crypto.h"
#include "platform/fs.h"
#include "platform/own_files.h"
#include "platform/paths.h"
#include "select/candidate.h"
#include "select/schedule.h"
#include "stage/manifest.h"
#include "stage/proof.h"

namespace {

constexpr const char* downgrade_marker = "/ram/DOWNGRADE";
constexpr const char* postlog_path = "/flash/postlog";
constexpr size_t postlog_placeholder_size = 4096;

constexpr part_set scan_part_types = parts_of({
    part_bundle_header, part_package_header, part_text_a,   part_architecture,
    part_text_b,        part_note,           part_depends,  part_provides,
    part_conflicts,     part_image_payload});

// The records of the download scan: the candidate list and the members of
// bundles point at them, so the upgrade run keeps them until it returns.
using scanned_records = std::vector<std::unique_ptr<pkg_record>>;

template <typename record_type>
record_type* keep_scanned(scanned_records& scanned, std::unique_ptr<record_type> record) {
  record_type* kept = record.get();
  scanned.push_back(std::move(record));
  return kept;
}

bool has_package_suffix(std::string_view name) {
  return name.ends_with(".npk") || name.ends_with(".dpk");
}

// Reads the members of a bundle file; false when one cannot be read or
// there is none.
bool read_members(pkg_download& bundle, pkg_stream& stream, scanned_records& scanned) {
  if (stream.type() == part_image_payload) stream.next_part();
  while (stream.type() == part_package_header) {
    auto member = std::make_unique<pkg_record>();
    if (!read_package_header(*member, stream)) return false;
    bundle.members.push_back(keep_scanned(scanned, std::move(member)));
    if (stream.type() == part_image_payload) stream.next_part();
  }
  if (bundle.members.empty()) stream.refuse("a bundle without member packages");
  return !bundle.members.empty();
}

// Reads the header parts of one package file. Returns why it is broken, or
// "" when it is usable.
std::string read_download(pkg_download& record, int fd, const struct stat& info,
                          scanned_records& scanned) {
  fd_source source(fd);
  pkg_stream stream(source, true, nullptr);
  if (!stream.refusal().empty()) return stream.refusal();
  if (static_cast<uint64_t>(info.st_size) != stream.total_length())
    return "it is " + std::to_string(info.st_size) + " bytes long, but its header declares " +
           std::to_string(stream.total_length());
  stream.wanted_types = scan_part_types;
  stream.next_part();
  record.is_bundle = stream.type() == part_bundle_header;
  record.magic = stream.magic();
  bool usable = read_package_header(record, stream) && (!record.is_bundle || read_members(record, stream, scanned));
  if (usable) return {};
  return stream.refusal().empty() ? "it holds no package header" : stream.refusal();
}

// Only a regular file is a download: a link is never followed (whatever it
// points to would be read at every later start) and a FIFO never waited for.
// Returns why the file is broken, or "" when it is usable.
std::string scan_file(pkg_download& record, scanned_records& scanned) {
  struct stat info;
  int fd = fs::open_regular(record.path.c_str(), &info);
  if (fd < 0) {
    if (errno == ELOOP) return "a symbolic link, which is never followed";
    if (errno == EINVAL) return "not a regular file";
    return std::strerror(errno);
  }
  std::string broken = read_download(record, fd, info, scanned);
  close(fd);
  return broken;
}

// Appends the usable package files of one directory to `candidates`.
void scan_download_dir(console& screen, const std::string& dir, std::vector<pkg_download*>& candidates,
                       scanned_records& scanned) {
  DIR* listing = fs::opendir(dir.c_str());
  if (listing == nullptr) return;
  while (const dirent* entry = readdir(listing)) {
    std::string_view name = entry->d_name;
    if (name.empty() || name[0] == '.' || !has_package_suffix(name)) continue;
    auto record = std::make_unique<pkg_download>();
    record->path = dir + std::string(name);
    std::string broken = scan_file(*record, scanned);
    if (!broken.empty()) {
      error(screen, "broken package %s", std::string(name).c_str());
      explain_refusal(record->path, broken);
      continue;
    }
    candidates.push_back(keep_scanned(scanned, std::move(record)));
  }
  closedir(listing);
}

std::vector<pkg_download*> find_candidates(console& screen, bool skip_first_dir, scanned_records& scanned) {
  std::vector<pkg_download*> candidates;
  bool first = true;
  for (const char* dir : paths::download_dirs) {
    bool skipped = first && skip_first_dir;
    first = false;
    if (skipped) continue;
    scan_download_dir(screen, dir, candidates, scanned);
    if (!candidates.empty()) break;
  }
  return candidates;
}

void select_downloads(console& screen, std::vector<pkg_download*>& candidates,
                      uint32_t floor) {
  std::vector<pkg_record*> list(candidates.begin(), candidates.end());
  select_candidates(list, floor, &screen);
  candidates.clear();
  for (pkg_record* record : list) candidates.push_back(static_cast<pkg_download*>(record));
}

user_state_map user_choices(const pkg_repo& repository) {
  user_state_map choices;
  for (const pkg_image* record : repository.packages)
    if (record->user_set) choices.emplace(record->name, record->disabled);
  return choices;
}

std::set<std::string> enabled_names(const pkg_repo& repository) {
  std::set<std::string> names;
  for (const pkg_image* record : repository.packages) {
    if (record->disabled) continue;
    names.insert(record->name);
    for (const pkg_dep& provided : record->provides) names.insert(provided.name);
  }
  return names;
}

bool answers_to(const pkg_image& record, const std::string& name) {
  if (record.name == name) return true;
  for (const pkg_dep& provided : record.provides)
    if (provided.name == name) return true;
  return false;
}

// The record that stands for `name` now: the first enabled one, else the
// last disabled one.
pkg_image* record_for(const pkg_repo& repository, const std::string& name) {
  pkg_image* last_disabled = nullptr;
  for (pkg_image* record : repository.packages) {
    if (!answers_to(*record, name)) continue;
    if (!record->disabled) return record;
    last_disabled = record;
  }
  return last_disabled;
}

// What was enabled before the upgrade and is disabled now, without an
// enabled package in conflict with it, is enabled again.
void reenable(console& screen, pkg_repo& repository, manifest& m, const std::set<std::string>& names) {
  std::vector<pkg_image*> wanted;
  for (const std::string& name : names) {
    pkg_image* record = record_for(repository, name);
    if (record == nullptr || !record->disabled) continue;
    if (find_conflicting(repository, *record) != nullptr) continue;
    // A package found both by its name and by a name it provides is enabled once.
    if (std::find(wanted.begin(), wanted.end(), record) == wanted.end()) wanted.push_back(record);
  }
  enable_packages(screen, repository, m, wanted, true);
}

enum class install_outcome { installed, passed_over, failed };

std::string file_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Installs one chosen file. A download that keeps its image becomes the
// stored image (or the boot image) itself: it is taken out of its uploader's
// hands before it is read, and every byte read is digested, so that the
// commit can confirm it is still the file whose signature held.
install_outcome install_download(console& screen, pkg_repo& repository, manifest& m, const pkg_download& candidate,
                                 const install_request& request) {
  struct stat before;
  int fd = fs::open_regular(candidate.path.c_str(), &before);
  if (fd < 0) return install_outcome::passed_over;  // gone (or no longer a file) since the scan
  std::string name = file_name(candidate.path);
  if (candidate.keeps_image && !m.dry_run && !take_over(fd, &before)) {
    error(screen, "could not take over %s: %s", name.c_str(), std::strerror(errno));
    close(fd);
    return install_outcome::failed;
  }
  crypto::hasher whole(crypto::hasher::kind::sha256);
  stream_result result;
  int status;
  {
    auto source = std::make_unique<fd_source>(fd, candidate.keeps_image ? &whole : nullptr);
    status = install_stream(screen, repository, m, *source, request, result);
    if (status == 0 && candidate.keeps_image && !source->drain()) status = 1;
  }
  if (!result.refusal.empty()) explain_refusal(result.subject.empty() ? candidate.path : result.subject, result.refusal);
  download_proof proof;
  struct stat after;
  bool unchanged = fstat(fd, &after) == 0 && identity_of(after) == identity_of(before);
  close(fd);
  if (status != 0) return install_outcome::failed;
  if (!candidate.keeps_image) return install_outcome::installed;
  if (!unchanged) {
    error(screen, "installation of %s failed: %s changed while it was read",
          package_text(candidate).c_str(), name.c_str());
    return install_outcome::failed;
  }
  proof.identity = identity_of(after);
  whole.final(proof.sha256.data());
  proof.taken_this_run = true;
  std::string image = "/flash/var/pdb/" + candidate.name + "/image";
  if (result.boot) {
    stage_download_move(m, candidate.path, paths::boot_image, proof);
    stage_link(m, paths::boot_image, image);
  } else {
    stage_download_move(m, candidate.path, image, proof);
  }
  return install_outcome::installed;
}

std::string postlog_text(const console& screen) {
  std::string text;
  for (const std::string& line : screen.messages) {
    text += line;
    text += '\n';
  }
  return text;
}

}  // namespace

std::optional<uint32_t> read_downgrade_request() {
  std::FILE* file = fs::fopen_read(downgrade_marker);
  if (file == nullptr) return std::nullopt;
  int c = std::fgetc(file);
  while (c != EOF && std::isspace(c)) c = std::fgetc(file);
  uint64_t floor = 0;
  for (; c != EOF && std::isdigit(c); c = std::fgetc(file)) {
    floor = floor * 10 + static_cast<uint64_t>(c - '0');
    if (floor > no_downgrade) floor = no_downgrade;  // too large: no version is below it
  }
  std::fclose(file);
  return static_cast<uint32_t>(floor);
}

std::vector<pkg_record> upgrade(console& screen, pkg_repo& repository, manifest& m, const upgrade_request& request) {
  install_request install = request.install;
  if (request.downgrade) install.flags |= ALLOW_OLDER;
  scanned_records scanned;
  std::vector<pkg_download*> candidates = find_candidates(screen, request.skip_first_download_dir, scanned);
  select_downloads(screen, candidates, request.downgrade.value_or(no_downgrade));
  install.user_state = user_choices(repository);
  std::set<std::string> names = enabled_names(repository);
  if (!candidates.empty() && !m.dry_run) load_postlog(screen);

  std::vector<pkg_record> installed;
  for (const pkg_download* candidate : candidates) {
    install_outcome outcome = install_download(screen, repository, m, *candidate, install);
    if (outcome == install_outcome::failed) {
      discard(m);
      return {};
    }
    if (outcome == install_outcome::installed) {
      installed.push_back(copy_base(*candidate));
      installed.back().members.clear();  // they point into this run's scan
    }
  }
  reenable(screen, repository, m, names);
  if (repository.packages.empty()) {
    error(screen, "router installation failed!!!");
    discard(m);
    return {};
  }
  return installed;
}

void load_postlog(console& screen) {
  if (std::FILE* file = fs::fopen_read(postlog_path)) {
    std::string line;
    for (int c; (c = std::fgetc(file)) != EOF;) {
      if (c != '\n') {
        line += static_cast<char>(c);
        continue;
      }
      screen.messages.push_back(line);
      line.clear();
    }
    std::fclose(file);  // a last piece without a line end is dropped
  }
  int fd = fs::open_own_file(postlog_path, false, 0644);
  if (fd >= 0) {
    static const char zeros[postlog_placeholder_size] = {};
    fs::write_all(fd, zeros, sizeof zeros);
    fs::close(fd);
  }
  screen.postlog_taken = true;
}

void write_postlog(console& screen) {
  if (!screen.postlog_taken && screen.messages.empty()) return;
  int fd = fs::open_own_file(postlog_path, !screen.postlog_taken, 0644);
  if (fd < 0) return;
  fs::sync();
  std::string text = postlog_text(screen);
  fs::write_all(fd, text.data(), text.size());
  // The lines of a finished run must survive a power cut as well.
  fs::fsync(fd);
  fs::close(fd);
}
