#include "driver/driver.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unordered_set>
#include <unistd.h>

#include "install/install.h"
#include "install/upgrade.h"
#include "msg/msg.h"
#include "pkgdb/listing.h"
#include "pkgdb/load.h"
#include "pkgdb/record.h"
#include "pkgfile/fd_streambuf.h"
#include "platform/fs.h"
#include "select/install_flags.h"
#include "select/schedule.h"
#include "select/version.h"
#include "stage/commit.h"
#include "stage/leftovers.h"
#include "stage/manifest.h"
#include "stage/out_file.h"
#include "stage/staging.h"

namespace {

constexpr const char* usage_text = "usage: installer [-q] [-r <root>] [-]\n";
constexpr const char* saved_manifest_path = "/ram/MANIFEST";
constexpr const char* received_image_path = "/flash/var/pdb//image";
constexpr const char* received_image_target = "/flash/var/pdb/image";
constexpr const char* boot_image_path = "/flash/bootimage";
constexpr const char* changed_marker = "/flash/PCKGS_CHANGED";
constexpr int status_no_space = 28;
constexpr int status_no_image = -1;  // exit status 255

// Reports a commit that did not reach its new state.
void report_commit_failure(pkg_repo& repository, const commit_failure& failure) {
  error(repository, "commit failed: %s", failure.what.c_str());
}

// Sweeps what a run cut short left, keeping what the saved manifest names
// (and, while it is to be committed, the mark that stands for it).
void sweep_around(const manifest& saved, bool keep_mark) {
  sweep_leftovers(
      [&](const std::string& path) {
        if (saved.ops.count(path)) return true;
        for (const auto& [target, op] : saved.ops)
          if (op.source == path) return true;
        return false;
      },
      keep_mark);
}

// Anyone able to write "/ram" could have written the saved manifest: every
// line is judged before anything is done, and one bad line refuses it all.
int run_commit_mode() {
  pkg_repo& repository = repo();
  manifest saved;
  std::string refusal;
  if (!load_manifest(saved, saved_manifest_path, &refusal) && !refusal.empty()) {
    error(repository, "refusing %s: %s", saved_manifest_path, refusal.c_str());
    return 1;
  }
  sweep_around(saved, true);
  std::fputs("finishing install... ", stdout);
  std::fflush(stdout);
  commit_failure failure;
  bool done = commit(saved, "", true, &failure);
  std::fputs("\b \n", stdout);
  std::fflush(stdout);
  if (done) return 0;
  report_commit_failure(repository, failure);
  return 1;
}

int run_cancel_mode() {
  manifest saved;
  load_manifest(saved, saved_manifest_path);
  discard_saved(saved);
  remove_saved_manifest(saved_manifest_path);
  sweep_around(manifest{}, false);
  return 0;
}

// A saved upgrade is stale once any other change is made: committing it
// later would put back what this run replaces. It is dropped as --cancel
// would drop it, before this run stages anything.
void drop_saved_upgrade(pkg_repo& repository) {
  struct stat st;
  if (lstat(saved_manifest_path, &st) != 0) return;
  manifest saved;
  load_manifest(saved, saved_manifest_path);
  discard_saved(saved);
  remove_saved_manifest(saved_manifest_path);
  warning(repository, "dropped the saved upgrade");
}

// Every run that changes the trees starts clean: no saved upgrade, and
// nothing left by a run cut short. Files of installed packages are never
// touched.
void begin_changes(pkg_repo& repository) {
  drop_saved_upgrade(repository);
  std::unordered_set<std::string> owned;
  for (const pkg_image* record : repository.packages)
    for (const std::string& stored : record->files) owned.insert(installed_path(stored));
  sweep_leftovers([&](const std::string& path) { return owned.count(path) != 0; });
}

// True when `root` names the directory that already is the process root, so
// a failed chroot into it changes nothing.
bool is_current_root(const std::string& root) {
  struct stat wanted, current;
  return stat(root.c_str(), &wanted) == 0 && stat("/", &current) == 0 &&
         wanted.st_dev == current.st_dev && wanted.st_ino == current.st_ino;
}

int run_show_mode(pkg_repo& repository, const run_options&) {
  show_packages(repository, stdout);
  return 0;
}

int run_cleanup_mode(pkg_repo& repository, const run_options&) {
  begin_changes(repository);
  manifest staged;
  cleanup_packages(repository, staged);
  commit_failure failure;
  int status = 0;
  if (!commit(staged, "", false, &failure)) {
    discard(staged);
    report_commit_failure(repository, failure);
    status = 1;
  }
  return status;
}

// The installed package whose database directory is `dir`, or nullptr.
const pkg_image* package_in(const pkg_repo& repository, const std::string& dir) {
  for (const pkg_image* record : repository.packages)
    if (pdb_dir(*record) == dir) return record;
  return nullptr;
}

int run_stream_mode(pkg_repo& repository, const run_options& options) {
  begin_changes(repository);
  manifest staged;
  schedule_pass(repository, staged, 1);
  fd_ostreambuf image;
  if (!image.open(received_image_path)) {
    std::fputs("ERROR: could not open image\n", stdout);
    std::fflush(stdout);
    discard(staged);
    return status_no_image;
  }
  fd_istreambuf input(STDIN_FILENO);
  stream_result result;
  int status = install_stream(repository, staged, &input, options.flags | ALLOW_NEWER, {}, &image, &result);
  const std::string& image_dir = result.image_dir;
  if (!result.refusal.empty())
    explain_refusal(result.subject.empty() ? "standard input" : result.subject, result.refusal);
  // The copy becomes the package's stored image (or the boot image): a copy
  // that did not reach the flash whole fails the installation.
  if (!image.close() && status == 0 && !image_dir.empty()) {
    errno = image.error();
    pkg_image unknown(image_dir);
    const pkg_image* owner = package_in(repository, image_dir);
    report_write_failure(repository, owner ? *owner : unknown, "image");
    status = 1;
  }
  if (status == 0 && !image_dir.empty()) {
    if (result.boot) {
      stage_move(staged, received_image_target, boot_image_path);
      stage_link(staged, boot_image_path, image_dir + "image");
    } else {
      stage_move(staged, received_image_target, image_dir + "image");
    }
  }
  // What was staged in "/ram" for want of room beside its target must fit
  // on the flash when it is copied there (the received image already sits
  // on it).
  if (status == 0 && !(options.flags & ALLOW_SAME) && !check_space(staged)) {
    errno = ENOSPC;
    report_write_failure(repository, *result.installed, "image");
    status = 1;
  }
  commit_failure failure;
  if (status == 0 && !commit(staged, "", false, &failure)) {
    report_commit_failure(repository, failure);
    status = 1;
  }
  if (status != 0) discard(staged);
  write_postlog(repository);
  return status;
}

// Drops everything staged after a failure to create the marker or to save
// the manifest: a full flash gives the space error and its status.
int drop_upgrade(pkg_repo& repository, manifest& staged, int err, const char* what) {
  discard(staged);
  if (err == ENOSPC) {
    error(repository, "not enough space for upgrade");
    return status_no_space;
  }
  error(repository, "could not %s: %s", what, std::strerror(err));
  return 1;
}

// The marker goes with the changes it announces: without it the system
// would not know that its packages changed, so an upgrade that cannot stage
// it is not carried out.
// Returns 0, or the errno of the failure.
int stage_changed_marker(manifest& staged) {
  out_file marker;
  if (!open_staged_file(&marker, staged, changed_marker, 1, 0)) return errno;
  return marker.close() ? 0 : marker.error();
}

// Copies across file systems and confirms downloads before anything of the
// installed tree changes, so that an upgrade reported as installed is one
// that can be carried out. Returns 0, or the status of the failure.
int prepare_upgrade_commit(pkg_repo& repository, manifest& staged) {
  commit_failure failure;
  if (prepare_commit(staged, false, &failure)) return 0;
  discard(staged);
  if (failure.error == ENOSPC) {
    error(repository, "not enough space for upgrade");
    return status_no_space;
  }
  report_commit_failure(repository, failure);
  return 1;
}

int run_upgrade_mode(pkg_repo& repository, const run_options& options) {
  begin_changes(repository);
  manifest staged;
  schedule_pass(repository, staged, 1);
  int status = 0;
  std::vector<pkg_record> installed = upgrade(repository, staged, options.flags | ALLOW_NEWER);
  if (!(options.flags & ALLOW_SAME) && !check_space(staged)) {
    error(repository, "not enough space for upgrade");
    discard(staged);
    installed.clear();
    status = status_no_space;
  }
  if (int err = staged.empty() ? 0 : stage_changed_marker(staged)) {
    status = drop_upgrade(repository, staged, err, "create /flash/PCKGS_CHANGED");
    installed.clear();
  }
  if (!staged.empty() && options.commit_now) {
    if (int failed = prepare_upgrade_commit(repository, staged)) {
      status = failed;
      installed.clear();
    }
  }
  for (const pkg_record& record : installed) info(repository, "installed %s", package_text(record).c_str());
  if (!staged.empty()) {
    commit_failure failure;
    // The staged files of a saved upgrade stay outstanding, and with them
    // the mark that a run is under way (leftovers.h).
    if (!options.commit_now) {
      if (!save_manifest(staged, saved_manifest_path))
        status = drop_upgrade(repository, staged, errno, "save manifest");
    } else if (!finish_commit(staged, "", &failure)) {
      report_commit_failure(repository, failure);
      status = 1;
    }
  }
  write_postlog(repository);
  return status;
}

// The run modes, in the order in which they are chosen.
struct mode_entry {
  const char* name;
  bool (*chosen)(const run_options&);
  int (*handler)(pkg_repo&, const run_options&);
};

const mode_entry modes[] = {
    {"show", [](const run_options& o) { return o.show; }, run_show_mode},
    {"cleanup", [](const run_options& o) { return o.cleanup; }, run_cleanup_mode},
    {"stream install", [](const run_options& o) { return o.from_stdin; }, run_stream_mode},
    {"upgrade", [](const run_options&) { return true; }, run_upgrade_mode},
};

}  // namespace

scan_action scan_options(int argc, const char* const* argv, run_options* options, std::FILE* out) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--cleanup") {
      options->cleanup = true;
      break;
    } else if (arg == "--safe") {
      options->commit_now = false;
    } else if (arg == "-r" && i + 1 < argc) {
      options->root = argv[++i];
    } else if (arg == "-") {
      options->from_stdin = true;
      break;
    } else if (arg == "-q") {
      options->quiet = true;
    } else if (arg == "-down") {
      options->flags |= ALLOW_OLDER;
    } else if (arg == "--reinstall") {
      std::fputs("\nResuming upgrade...\n", out);
      std::fflush(out);
      options->flags |= ALLOW_SAME;
    } else if (arg == "-b" || arg == "--force" || arg == "--noupgrade" || arg == "-i") {
      // Accepted for older callers; no effect.
    } else if (arg == "--commit") {
      return scan_action::commit;
    } else if (arg == "--cancel") {
      return scan_action::cancel;
    } else if (arg == "--show") {
      options->show = true;
    } else {
      return scan_action::usage;
    }
  }
  return scan_action::run;
}

bool change_root(const std::string& root) {
  if (!root.empty() && chroot(root.c_str()) != 0) {
    int err = errno;
    bool harmless = is_current_root(root);
    errno = err;
    std::perror("chroot");
    if (!harmless) return false;
  }
  if (chdir("/") != 0) std::perror("chdir");
  return true;
}

int run_installer(int argc, char** argv) {
  pkg_repo& repository = repo();
  const char* board = std::getenv("board");
  if (board && std::strcmp(board, "qemu_p9") == 0) return 0;

  run_options options;
  switch (scan_options(argc, argv, &options, stdout)) {
    case scan_action::commit:
      return run_commit_mode();
    case scan_action::cancel:
      return run_cancel_mode();
    case scan_action::usage:
      std::fputs(usage_text, stdout);
      std::fflush(stdout);
      return 0;
    case scan_action::run:
      break;
  }
  if (!change_root(options.root)) return 1;
  if (const char* arch = std::getenv("arch")) options.arch = arch;
  // The listing prints a few fields of each record: it reads no more.
  load_repository(repository, options.quiet, options.arch,
                  options.show ? load_scope::listing : load_scope::everything);

  for (const mode_entry& mode : modes)
    if (mode.chosen(options)) return mode.handler(repository, options);
  return 0;
}
