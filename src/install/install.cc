// Installing one package, or a bundle of packages, from a package stream.
//
// Every change to the installed tree is staged in the manifest; the only file
// written directly is the marker "/rw/CONVERT". A package that fails half way
// leaves what it staged in the manifest: the callers discard the manifest
// when installation fails, which keeps the package out of the tree.
#include "install/install.h"

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "install/unpack.h"
#include "model/version.h"
#include "msg/msg.h"
#include "pkgdb/metadata.h"
#include "pkgdb/removal.h"
#include "pkgdb/repo.h"
#include "pkgfile/pkg_format.h"
#include "pkgfile/pkg_stream.h"
#include "pkgfile/verify.h"
#include "platform/fs.h"
#include "platform/own_files.h"
#include "platform/paths.h"
#include "select/candidate.h"
#include "select/schedule.h"
#include "stage/manifest.h"
#include "stage/out_file.h"
#include "stage/staging.h"

namespace {

constexpr const char* convert_marker = "/rw/CONVERT";
constexpr const char* upgraded_marker = "/flash/UPGRADED";
constexpr size_t payload_step = 4096;
// Blanks that wipe the progress line before the "installed" line of a kept package.
constexpr size_t progress_wipe_width = 78;

// The part types installation handles; every other part is skipped (and
// still hashed and copied).
constexpr part_set install_part_types = parts_of({
    part_package_header, part_bundle_header, part_bundle_members, part_architecture,
    part_depends,        part_provides,      part_conflicts,      part_image_payload,
    part_files,          part_signature});

bool is_boot_package(const pkg_record& record) { return (record.flags & PKG_FLAG_BOOT) != 0; }

// A boot package is not extracted while the boot image is handled apart.
bool boot_image_apart(const pkg_record& record, const install_request& request) {
  return is_boot_package(record) && request.boot_image_apart;
}

bool is_secondary(const pkg_stream& stream) { return stream.magic() == pkg_magic_secondary; }

// An older "system" package tells the next boot to convert the configuration.
// Written before the candidate check, so even a refused package leaves it;
// that is why whatever stands at the path is replaced, never written through.
void note_system_conversion(const pkg_record& record) {
  if (record.name != "system" || version_major(record.version) > 6) return;
  int fd = fs::open_own_file(convert_marker, false, 0644);
  if (fd >= 0) fs::close(fd);
}

void apply_user_state(pkg_image& record, const user_state_map& user_state) {
  auto found = user_state.find(record.name);
  if (found == user_state.end()) {
    record.disabled = false;
    return;
  }
  record.disabled = found->second;
  record.user_set = true;
}

bool is_alone(const pkg_image& record) { return record.bundle.name.empty(); }

std::string level_text(signature_level level) {
  static const char* const names[] = {"0 (none holds)", "1 (the older scheme)", "2 (Ed25519)"};
  return level >= SIGNATURE_NONE && level <= SIGNATURE_ED25519 ? names[level] : std::to_string(level);
}

// Why a signature of `level` is not enough.
std::string weak_signature(const pkg_record& record, signature_level level, signature_level needed,
                           bool secure) {
  std::string found = level == SIGNATURE_NONE ? "no signature holds for its digest"
                                              : "its signature holds at level " + level_text(level);
  if (secure) return found + "; " + paths::secure_marker + " requires level " + level_text(needed) + " of every package";
  return found + "; " + version_text(record.version) + " needs level " + level_text(needed);
}

// True when the current part is a signature that holds at the level this
// package needs. Moves past the signature either way.
bool signature_holds(const pkg_image& record, pkg_stream& stream, bool secure) {
  if (stream.type() != part_signature) {
    refuse_package(stream, record, stream.type() == -1 ? "it ends without a signature part"
                                               : part_label(stream.type()) + " stands where its signature part belongs");
    return false;
  }
  signature_level level = verify_package(stream);
  stream.next_part();  // a trailer cut short shows here, as the cause
  signature_level needed = required_signature_level(record, secure);
  if (level >= needed) return true;
  refuse_package(stream, record, weak_signature(record, level, needed, secure));
  return false;
}

// What may follow the signature of a package on its own: an architecture part
// and an empty dependency list, then nothing.
bool at_well_formed_end(const pkg_image& record, pkg_stream& stream) {
  if (stream.type() == part_architecture) stream.next_part();
  if (stream.type() == part_depends) {
    if (stream.part_length() != 0) {
      refuse_package(stream, record, "a dependency list that is not empty follows its signature");
      return false;
    }
    stream.next_part();
  }
  if (stream.type() == -1) return true;
  refuse_package(stream, record, part_label(stream.type()) + " follows its signature");
  return false;
}

// The signature, and for a package on its own the end of the file. Reports a
// broken package when either fails.
bool finish_checks(console& screen, const pkg_image& record, pkg_stream& stream, bool secure) {
  if (signature_holds(record, stream, secure) && (!is_alone(record) || at_well_formed_end(record, stream)))
    return true;
  report_broken_package(screen, record);
  return false;
}

// A package kept at its installed version is read to its end all the same,
// skipping its image payload and files, so that its signature is checked: an
// unverified file must never become a stored image or the boot image.
bool verify_kept(console& screen, const pkg_image& record, pkg_stream& stream, bool secure) {
  if (stream.type() == part_image_payload) stream.next_part();
  if (stream.type() == part_files) stream.next_part();
  return finish_checks(screen, record, stream, secure);
}

// Moves a bundle's stream on to the next member's header, or to its end.
void skip_to_next_member(pkg_stream& stream) {
  while (stream.type() != part_package_header && stream.type() != -1) stream.next_part();
}

// A package on its own that is not installed: the candidate check refused it
// (and said why), or it is the installed version, which is kept.
pkg_image* keep_installed_alone(console& screen, pkg_repo& repository, const pkg_image& record, pkg_stream& stream,
                                const install_request& request, install_flags findings, bool* boot) {
  pkg_image* installed = find_package(repository, record.name);
  if (!(findings & ALLOW_SAME) || installed == nullptr) return nullptr;
  if (!verify_kept(screen, record, stream, request.secure)) return nullptr;
  if (request.flags & ALLOW_SAME) {
    set_progress(screen, std::string(progress_wipe_width, ' '));
    set_progress(screen, "");
    info(screen, "installed %s%s", record.disabled ? "(disabled) " : "",
         package_text(record).c_str());
  }
  // The kept package's received image goes where its installed one is: for
  // a boot package onto the boot image, never over its image link.
  *boot = is_boot_package(*installed);
  return installed;
}

// A member of a bundle that is not installed keeps the installed version
// when there is one; without one the bundle is refused, and the candidate
// check runs once more, tolerating as a package on its own would, so that
// the user learns why.
pkg_image* keep_installed_member(console& screen, pkg_repo& repository, pkg_image& record, pkg_stream& stream,
                                 const install_request& request, const pkg_dep& bundle) {
  record.bundle = bundle;  // a failure is reported under the bundle's name
  pkg_image* installed = find_package(repository, record.name);
  if (installed == nullptr) {
    check_candidate(screen, repository, record, request.flags | ALLOW_CONFLICT);
    refuse_package(stream, record, "refused by the checks above");
    skip_to_next_member(stream);
    return nullptr;
  }
  if (!verify_kept(screen, record, stream, request.secure)) return nullptr;
  skip_to_next_member(stream);
  return installed;
}

// Skips the image payload in steps, redrawing the progress bar before each.
void skip_image_payload(console& screen, const pkg_image& record, pkg_stream& stream) {
  char buffer[payload_step];
  uint32_t left = stream.part_length();
  while (left > 0) {
    show_install_progress(screen, record, stream);
    uint32_t step = left < payload_step ? left : static_cast<uint32_t>(payload_step);
    if (!stream.read_exact(buffer, step)) break;  // cut short: the signature check fails later
    left -= step;
  }
  stream.next_part();
}

void stage_upgraded_marker(manifest& m) {
  out_file marker;
  if (open_staged_file(&marker, m, upgraded_marker, 1, 0)) marker.close();
}

// Steps from the removal of the installed version to the database files.
// False after a failure (reported where one is reported).
bool place_package(console& screen, pkg_repo& repository, manifest& m, pkg_image& record, pkg_stream& stream,
                   const install_request& request) {
  bool secondary = is_secondary(stream);
  if (!secondary) {
    if (pkg_image* old = find_package(repository, record.name)) {
      stage_package_removal(repository, *old, m);
      repository.erase(old);
    }
  }
  show_install_progress(screen, record, stream);
  if (!secondary && !claim_pdb_dir(record, m)) {
    refuse_package(stream, record, "its database directory " + pdb_dir(record) + " cannot be used");
    return false;
  }
  if (stream.type() == part_image_payload) skip_image_payload(screen, record, stream);
  if (stream.type() == part_files) {
    if (!boot_image_apart(record, request) && !extract_files(screen, record, m, stream)) return false;
    stream.next_part();
  }
  if (!finish_checks(screen, record, stream, request.secure)) return false;
  if (!secondary && !write_metadata(screen, repository, record, m)) return false;
  if (is_boot_package(record)) stage_upgraded_marker(m);
  return true;
}

// The copy of a stream install counts what its target refused, so that a
// copy cut short by a full flash is never taken for the package file.
class checked_copy : public byte_sink {
 public:
  explicit checked_copy(byte_sink* target) : target_(target) {}

  // True when every byte reached the target and it flushed cleanly; errno
  // holds the cause otherwise.
  bool complete() {
    if (!failed_ && !target_->flush()) note_failure();
    if (failed_) errno = error_;
    return !failed_;
  }

  bool write(const char* data, size_t count) override {
    if (!target_->write(data, count)) note_failure();
    return !failed_;
  }

 private:
  void note_failure() {
    if (failed_) return;
    failed_ = true;
    error_ = errno != 0 ? errno : EIO;
  }

  byte_sink* target_;
  bool failed_ = false;
  int error_ = 0;
};

// What installing the package at a stream's header came to.
struct placed_package {
  // Owned by the repository; the installed one when it is kept; nullptr
  // when the package was refused or failed.
  pkg_image* installed = nullptr;
  // Its database directory when it keeps its package file as its image.
  std::string image_dir;
  bool boot = false;  // it supplies the boot image
};

placed_package install_package(console& screen, pkg_repo& repository, manifest& m, pkg_stream& stream,
                               const install_request& request, const pkg_dep* bundle);

struct bundle_progress {
  std::vector<std::string> old_members;  // members of the installed bundle not seen again
  int members = 0;
};

// Placeholders that make the candidate check find a conflict for each listed
// member the user never chose a state for, so that it is installed disabled.
void add_member_placeholders(pkg_repo& repository, pkg_stream& stream,
                             const user_state_map& user_state) {
  std::vector<pkg_dep> listed;
  read_dep_list(stream, listed);  // a list cut short fails the stream: no member follows
  for (const pkg_dep& entry : listed) {
    if (user_state.count(entry.name) != 0) continue;
    auto placeholder = std::make_unique<pkg_image>();
    placeholder->conflicts.push_back(pkg_dep{entry.name, 0, 0, 0});
    repository.append(std::move(placeholder));
  }
  stream.next_part();
}

// Installs the members that follow; INSTALL_REFUSED when one is refused.
install_result install_members(console& screen, pkg_repo& repository, manifest& m, pkg_stream& stream,
                               const install_request& request, const pkg_dep& reference, bool& boot,
                               bundle_progress& progress) {
  while (stream.type() == part_package_header) {
    placed_package member = install_package(screen, repository, m, stream, request, &reference);
    if (member.installed == nullptr) return INSTALL_REFUSED;
    std::erase(progress.old_members, member.installed->name);
    boot = boot || member.boot;
    ++progress.members;
  }
  return INSTALL_OK;
}

void schedule_old_members_for_uninstall(pkg_repo& repository,
                                        const std::vector<std::string>& names) {
  for (const std::string& name : names)
    if (pkg_image* record = find_package(repository, name)) record->pending = PENDING_UNINSTALL;
}

// The bundle path of install_stream. *bundle_out receives the bundle's
// record once the repository owns it.
install_result install_bundle(console& screen, pkg_repo& repository, manifest& m, pkg_stream& stream,
                              const install_request& request, bool& boot, pkg_image** bundle_out) {
  boot = false;
  auto bundle = std::make_unique<pkg_image>();
  if (!read_package_header(*bundle, stream)) return INSTALL_FAILED;
  stream.set_subject(package_text(*bundle));
  if (!bundle->depends.empty() || !bundle->provides.empty() || !bundle->conflicts.empty()) {
    stream.refuse("a bundle may carry no dependency, provides or conflicts list");
    return INSTALL_FAILED;
  }
  if (stream.type() == part_image_payload) stream.next_part();
  if (check_candidate(screen, repository, *bundle, request.flags) & ~request.flags) return INSTALL_REFUSED;
  pkg_image* old = find_package(repository, bundle->name);
  // The bundle header lies in no signature: a forged one must not take the
  // place of an installed package that is not a bundle, which would remove
  // its files and leave a record of any version the forger chose.
  if (old && !old->is_bundle) {
    error(screen, "can not install %s: %s is installed and is not a bundle", package_text(*bundle).c_str(),
          package_text(*old).c_str());
    stream.refuse("a bundle header lies in no signature, and may not replace a package that is not a bundle");
    return INSTALL_REFUSED;
  }
  if (old) {
    stage_package_removal(repository, *old, m);
    repository.erase(old);
  }
  if (!claim_pdb_dir(*bundle, m)) return INSTALL_FAILED;
  if (!write_metadata(screen, repository, *bundle, m)) return INSTALL_FAILED;

  pkg_dep reference{bundle->name, bundle->version, bundle->version, 0};
  while (pkg_image* stale = find_package(repository, bundle->name)) repository.erase(stale);
  pkg_image* owned = repository.append(std::move(bundle));
  *bundle_out = owned;

  bundle_progress progress;
  for (const pkg_image* record : repository.packages)
    if (record->bundle.name == owned->name) progress.old_members.push_back(record->name);
  if (stream.type() == part_bundle_members) add_member_placeholders(repository, stream, request.user_state);
  install_result status = install_members(screen, repository, m, stream, request, reference, boot, progress);
  if (status != INSTALL_OK) return status;
  if (stream.type() == part_architecture) stream.next_part();
  if (stream.type() != -1) {
    stream.refuse(part_label(stream.type()) + " follows its last member");
    return INSTALL_REFUSED;
  }
  if (progress.members == 0) {
    stream.refuse("it holds no member package");
    return INSTALL_NO_MEMBERS;
  }
  schedule_old_members_for_uninstall(repository, progress.old_members);
  schedule_pass(screen, repository, m, pass_output::silent);
  set_progress(screen, "");
  return INSTALL_OK;
}

// The copy of a package that keeps its image becomes the stored image: it
// must hold every byte that was read.
install_result check_copy(console& screen, checked_copy* copy, const pkg_image& owner) {
  if (copy == nullptr || copy->complete()) return INSTALL_OK;
  report_write_failure(screen, owner, "image");
  return INSTALL_FAILED;
}

}  // namespace

signature_level required_signature_level(const pkg_record& record, bool secure) {
  if (secure) return SIGNATURE_ED25519;
  if (record.name == "branding") return SIGNATURE_LEGACY;
  uint32_t v = record.version;
  bool strong = v > 0x062E6608u &&
                (v < 0x062F0000u || (v > 0x06306600u && (v < 0x07000000u ||
                                                         v - 0x07000000u > 0x16203u)));
  return strong ? SIGNATURE_ED25519 : SIGNATURE_LEGACY;
}

namespace {

placed_package install_package(console& screen, pkg_repo& repository, manifest& m, pkg_stream& stream,
                               const install_request& request, const pkg_dep* bundle) {
  placed_package placed;
  auto record = std::make_unique<pkg_image>();
  if (!read_package_header(*record, stream)) {
    if (stream.type() != part_package_header && stream.type() != part_bundle_header)
      stream.refuse(stream.type() == -1 ? "it holds no package" : part_label(stream.type()) + " stands where a package header belongs");
    return placed;
  }
  if (!bundle) stream.set_subject(package_text(*record));
  if (bundle && record->name == bundle->name) {
    stream.refuse("member " + package_text(*record) + " has the name of its bundle");
    return placed;
  }
  if (!m.dry_run) note_system_conversion(*record);

  install_flags tolerated = bundle ? ALLOW_ALL : (request.flags | ALLOW_CONFLICT);
  install_flags findings = check_candidate(screen, repository, *record, tolerated);
  apply_user_state(*record, request.user_state);
  if (findings & ALLOW_CONFLICT) {
    record->disabled = true;
    findings &= ~ALLOW_CONFLICT;
  }
  if ((findings & ~request.flags) || (findings & ALLOW_SAME)) {
    placed.installed =
        bundle ? keep_installed_member(screen, repository, *record, stream, request, *bundle)
               : keep_installed_alone(screen, repository, *record, stream, request, findings, &placed.boot);
    if (placed.installed && record->keeps_image) placed.image_dir = pdb_dir(*record);
    return placed;
  }

  if (bundle) record->bundle = *bundle;
  if (!place_package(screen, repository, m, *record, stream, request)) return placed;
  if (is_alone(*record)) set_progress(screen, "");
  if (record->keeps_image) placed.image_dir = pdb_dir(*record);
  placed.boot = boot_image_apart(*record, request);
  placed.installed = repository.append(std::move(record));
  schedule_pass(screen, repository, m, pass_output::silent);
  return placed;
}

install_result install_from(console& screen, pkg_repo& repository, manifest& m, pkg_stream& stream,
                            const install_request& request, checked_copy* checked, stream_result& result) {
  if (stream.type() != part_bundle_header) {
    placed_package placed = install_package(screen, repository, m, stream, request, nullptr);
    if (placed.installed == nullptr) return INSTALL_FAILED;
    if (!placed.image_dir.empty() && check_copy(screen, checked, *placed.installed) != INSTALL_OK) return INSTALL_FAILED;
    result.installed = placed.installed;
    result.image_dir = placed.image_dir;
    result.boot = placed.boot;
    return INSTALL_OK;
  }
  pkg_image* bundle = nullptr;
  install_result status = install_bundle(screen, repository, m, stream, request, result.boot, &bundle);
  if (status != INSTALL_OK) return status;
  if (bundle->keeps_image) {
    if (check_copy(screen, checked, *bundle) != INSTALL_OK) return INSTALL_FAILED;
    result.image_dir = pdb_dir(*bundle);
  }
  result.installed = bundle;
  return INSTALL_OK;
}

}  // namespace

install_result install_stream(console& screen, pkg_repo& repository, manifest& m, byte_source& input,
                              const install_request& request, stream_result& result) {
  std::unique_ptr<checked_copy> checked;
  if (request.copy) checked = std::make_unique<checked_copy>(request.copy);
  pkg_stream stream(input, true, checked.get());
  stream.wanted_types = install_part_types;
  stream.next_part();
  install_result status = install_from(screen, repository, m, stream, request, checked.get(), result);
  if (status != INSTALL_OK) {
    result.subject = stream.subject();
    result.refusal = stream.refusal();
  }
  return status;
}
