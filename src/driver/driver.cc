#include "driver/driver.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <map>
#include <unordered_set>
#include <unistd.h>

#include "install/install.h"
#include "install/upgrade.h"
#include "model/version.h"
#include "msg/msg.h"
#include "pkgdb/listing.h"
#include "pkgdb/load.h"
#include "pkgdb/repo.h"
#include "pkgfile/fd_source.h"
#include "platform/fs.h"
#include "platform/own_files.h"
#include "platform/paths.h"
#include "select/install_flags.h"
#include "select/schedule.h"
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
constexpr const char* ignore_marker = "/rw/pckg/.download/IGNORE";
constexpr const char* changed_marker = "/flash/PCKGS_CHANGED";
constexpr int status_no_space = 28;
constexpr int status_no_image = -1;  // exit status 255

// Reports a commit that did not reach its new state.
void report_commit_failure(console& screen, const commit_failure& failure) {
  error(screen, "commit failed: %s", failure.what.c_str());
}

// Sweeps what a run cut short left, keeping what the saved manifest names
// (and, while it is to be committed, the mark that stands for it).
void sweep_around(const manifest& saved, bool keep_mark) {
  std::unordered_set<std::string> named;
  for (const auto& [target, op] : saved.ops) {
    named.insert(target);
    named.insert(op.source);
  }
  sweep_leftovers(named, keep_mark);
}

// Drops the saved manifest as --cancel does: its staged files, then the
// manifest and its proofs.
void cancel_saved_manifest() {
  manifest saved;
  load_manifest(saved, saved_manifest_path);
  discard_saved(saved);
  remove_saved_manifest(saved_manifest_path);
}

// Anyone able to write "/ram" could have written the saved manifest: every
// line is judged before anything is done, and one bad line refuses it all.
int run_commit_mode(console& screen, bool dry_run) {
  manifest saved;
  std::string refusal;
  if (!load_manifest(saved, saved_manifest_path, &refusal) && !refusal.empty()) {
    error(screen, "refusing %s: %s", saved_manifest_path, refusal.c_str());
    return 1;
  }
  if (dry_run) {
    if (!saved.empty()) info(screen, "would commit the %zu changes of %s", saved.ops.size(), saved_manifest_path);
    return 0;
  }
  sweep_around(saved, true);
  std::fputs("finishing install... ", stdout);
  std::fflush(stdout);
  commit_failure failure;
  bool done = commit(saved, "", &screen, &failure);
  std::fputs("\b \n", stdout);
  std::fflush(stdout);
  if (done) return 0;
  report_commit_failure(screen, failure);
  return 1;
}

// A saved upgrade is stale once any other change is made: committing it
// later would put back what this run replaces. It is dropped as --cancel
// would drop it, before this run stages anything.
void drop_saved_upgrade(console& screen, bool dry_run) {
  struct stat st;
  if (fs::lstat(saved_manifest_path, &st) != 0) return;
  // A saved manifest that --commit carried out stays in place, but the mark
  // of its outstanding staged files went with the commit: it goes without a
  // word then.
  bool pending = staging_marked();
  if (dry_run) {
    if (pending) info(screen, "would drop the saved upgrade");
    return;
  }
  cancel_saved_manifest();
  if (pending) warning(screen, "dropped the saved upgrade");
}

int run_cancel_mode(console& screen, bool dry_run) {
  if (dry_run) {
    drop_saved_upgrade(screen, true);
    return 0;
  }
  cancel_saved_manifest();
  sweep_leftovers({});
  return 0;
}

// Every run that changes the trees starts clean: no saved upgrade, and
// nothing left by a run cut short. Files of installed packages are never
// touched.
void begin_changes(console& screen, pkg_repo& repository, bool dry_run) {
  drop_saved_upgrade(screen, dry_run);
  if (dry_run) return;
  std::unordered_set<std::string> owned;
  for (const pkg_image* record : repository.packages)
    for (std::string_view stored : record->files) owned.insert(installed_path(stored));
  sweep_leftovers(owned);
}

// True when `root` names the directory that already is the process root, so
// a failed chroot into it changes nothing. These are this machine's paths,
// looked at before the change of root, not the device's: no seam.
bool is_current_root(const std::string& root) {
  struct stat wanted, current;
  return ::stat(root.c_str(), &wanted) == 0 && ::stat("/", &current) == 0 &&
         wanted.st_dev == current.st_dev && wanted.st_ino == current.st_ino;
}

// The listing loads only what it prints, into rows of its own rather than
// into the repository's records.
int run_show_mode(console& screen) {
  package_listing listing;
  load_listing(listing, screen);
  show_packages(listing, stdout);
  return 0;
}

// What a dry run compares: a package's version and state.
struct package_state {
  std::string text;  // name-version
  uint32_t version = 0, build_time = 0;
  bool disabled = false;
};
using package_states = std::map<std::string, package_state>;

package_states states_of(const pkg_repo& repository) {
  package_states states;
  for (const pkg_image* record : repository.packages)
    if (!record->name.empty())
      states.emplace(record->name,
                     package_state{package_text(*record), record->version, record->build_time, record->disabled});
  return states;
}

// The plan of a dry run: what committing the manifest would change, one line
// per package, found by comparing the packages after the run's decisions
// with those before. Nothing is planned when nothing would be committed.
void print_plan(console& screen, pkg_repo& repository, const manifest& staged, const package_states& before) {
  if (staged.empty()) return;
  package_states after = states_of(repository);
  for (const pkg_image* record : repository.packages) {
    auto now = after.find(record->name);
    if (now == after.end() || now->second.text != package_text(*record)) continue;
    const package_state& a = now->second;
    auto was = before.find(record->name);
    const char* off = a.disabled && (was == before.end() || !was->second.disabled) ? ", disabled" : "";
    if (was == before.end())
      info(screen, "would install %s%s", a.text.c_str(), off);
    else if (was->second.version != a.version || was->second.build_time != a.build_time)
      info(screen, "would install %s, replacing %s%s", a.text.c_str(),
           version_text(was->second.version).c_str(), off);
    else if (was->second.disabled != a.disabled)
      info(screen, "would %s %s", a.disabled ? "disable" : "enable", a.text.c_str());
    after.erase(now);  // a name listed twice is planned once
  }
  for (const auto& [name, state] : before)
    if (!find_package(repository, name)) info(screen, "would uninstall %s", state.text.c_str());
}

int run_cleanup_mode(console& screen, pkg_repo& repository, const run_options& options) {
  begin_changes(screen, repository, options.dry_run);
  manifest staged;
  staged.dry_run = options.dry_run;
  package_states before = states_of(repository);
  cleanup_packages(screen, repository, staged);
  if (options.dry_run) {
    print_plan(screen, repository, staged, before);
    return 0;
  }
  commit_failure failure;
  int status = 0;
  if (!commit(staged, "", nullptr, &failure)) {
    discard(staged);
    report_commit_failure(screen, failure);
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

// Counts what a dry run would copy into the received image.
class byte_counter : public byte_sink {
 public:
  uint64_t count() const { return count_; }
  bool write(const char*, size_t count) override {
    count_ += count;
    return true;
  }

 private:
  uint64_t count_ = 0;
};

// Opens the received image for writing, emptied, as the program's own file
// (a link or a FIFO there is replaced, never followed).
bool open_received_image(out_file& image) {
  int fd = fs::open_own_file(received_image_path, false, 0644);
  if (fd < 0) return false;
  image.attach(fd);
  return true;
}

// Whether the received image could be created: a dry run only looks.
bool could_open_image() {
  struct stat st;
  return fs::lstat(received_image_target, &st) == 0 ? !S_ISDIR(st.st_mode)
                                                    : fs::stat("/flash/var/pdb", &st) == 0 && S_ISDIR(st.st_mode);
}

// The installation settings of a run: newer versions are always allowed.
install_request install_request_of(const run_options& options) {
  install_request request;
  request.flags = options.flags | ALLOW_NEWER;
  request.secure = options.secure;
  request.boot_image_apart = options.boot_image_apart;
  return request;
}

int run_stream_mode(console& screen, pkg_repo& repository, const run_options& options) {
  begin_changes(screen, repository, options.dry_run);
  manifest staged;
  staged.dry_run = options.dry_run;
  package_states before = states_of(repository);
  schedule_pass(screen, repository, staged, pass_output::changes);
  out_file image;
  out_file_sink image_copy(image);
  byte_counter planned_image;
  if (options.dry_run ? !could_open_image() : !open_received_image(image)) {
    std::fputs("ERROR: could not open image\n", stdout);
    std::fflush(stdout);
    discard(staged);
    return status_no_image;
  }
  fd_source input(STDIN_FILENO);
  stream_result result;
  byte_sink* copy = options.dry_run ? static_cast<byte_sink*>(&planned_image) : &image_copy;
  install_request request = install_request_of(options);
  request.copy = copy;
  int status = install_stream(screen, repository, staged, input, request, result);
  if (options.dry_run) staged.places.planned[received_image_target] = planned_image.count();
  const std::string& image_dir = result.image_dir;
  if (!result.refusal.empty())
    explain_refusal(result.subject.empty() ? "standard input" : result.subject, result.refusal);
  // The copy becomes the package's stored image (or the boot image): a copy
  // that did not reach the flash whole fails the installation.
  if (!options.dry_run && !image.close() && status == 0 && !image_dir.empty()) {
    errno = image.error();
    pkg_image unknown(image_dir);
    const pkg_image* owner = package_in(repository, image_dir);
    report_write_failure(screen, owner ? *owner : unknown, "image");
    status = 1;
  }
  if (status == 0 && !image_dir.empty()) {
    if (result.boot) {
      stage_move(staged, received_image_target, paths::boot_image);
      stage_link(staged, paths::boot_image, image_dir + "image");
    } else {
      stage_move(staged, received_image_target, image_dir + "image");
    }
  }
  // What was staged in "/ram" for want of room beside its target must fit
  // on the flash when it is copied there (the received image already sits
  // on it).
  if (status == 0 && !(options.flags & ALLOW_SAME) && !check_space(staged)) {
    errno = ENOSPC;
    report_write_failure(screen, *result.installed, "image");
    status = 1;
  }
  if (options.dry_run) {
    if (status == 0) print_plan(screen, repository, staged, before);
    return status;
  }
  commit_failure failure;
  if (status == 0 && !commit(staged, "", nullptr, &failure)) {
    report_commit_failure(screen, failure);
    status = 1;
  }
  if (status != 0) discard(staged);
  write_postlog(screen);
  return status;
}

// Drops everything staged after a failure to create the marker or to save
// the manifest: a full flash gives the space error and its status.
int drop_upgrade(console& screen, manifest& staged, int err, const char* what) {
  discard(staged);
  if (err == ENOSPC) {
    error(screen, "not enough space for upgrade");
    return status_no_space;
  }
  error(screen, "could not %s: %s", what, std::strerror(err));
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
int prepare_upgrade_commit(console& screen, manifest& staged) {
  commit_failure failure;
  if (prepare_commit(staged, nullptr, &failure)) return 0;
  discard(staged);
  if (failure.error == ENOSPC) {
    error(screen, "not enough space for upgrade");
    return status_no_space;
  }
  report_commit_failure(screen, failure);
  return 1;
}

int run_upgrade_mode(console& screen, pkg_repo& repository, const run_options& options) {
  begin_changes(screen, repository, options.dry_run);
  manifest staged;
  staged.dry_run = options.dry_run;
  package_states before = states_of(repository);
  schedule_pass(screen, repository, staged, pass_output::changes);
  int status = 0;
  upgrade_request request{install_request_of(options), options.downgrade, options.skip_first_download_dir};
  std::vector<pkg_record> installed = upgrade(screen, repository, staged, request);
  if (!(options.flags & ALLOW_SAME) && !check_space(staged)) {
    error(screen, "not enough space for upgrade");
    discard(staged);
    installed.clear();
    status = status_no_space;
  }
  if (int err = staged.empty() ? 0 : stage_changed_marker(staged)) {
    status = drop_upgrade(screen, staged, err, "create /flash/PCKGS_CHANGED");
    installed.clear();
  }
  if (options.dry_run) {
    print_plan(screen, repository, staged, before);
    return status;
  }
  if (!staged.empty() && options.commit_now) {
    if (int failed = prepare_upgrade_commit(screen, staged)) {
      status = failed;
      installed.clear();
    }
  }
  for (const pkg_record& record : installed) info(screen, "installed %s", package_text(record).c_str());
  if (!staged.empty()) {
    commit_failure failure;
    // The staged files of a saved upgrade stay outstanding, and with them
    // the mark that a run is under way (leftovers.h).
    if (!options.commit_now) {
      if (!save_manifest(staged, saved_manifest_path))
        status = drop_upgrade(screen, staged, errno, "save manifest");
    } else if (!finish_commit(staged, "", &failure)) {
      report_commit_failure(screen, failure);
      status = 1;
    }
  }
  write_postlog(screen);
  return status;
}

// The run modes that work on the loaded repository, in the order in which
// they are chosen; the listing, chosen before them all, loads its own rows.
struct mode_entry {
  const char* name;
  bool (*chosen)(const run_options&);
  int (*handler)(console&, pkg_repo&, const run_options&);
};

const mode_entry modes[] = {
    {"cleanup", [](const run_options& o) { return o.cleanup; }, run_cleanup_mode},
    {"stream install", [](const run_options& o) { return o.from_stdin; }, run_stream_mode},
    {"upgrade", [](const run_options&) { return true; }, run_upgrade_mode},
};

}  // namespace

namespace {

// Index of a "-r" among argv[from..], or 0.
int find_root_option(int argc, const char* const* argv, int from) {
  for (int i = from; i < argc; ++i)
    if (std::string_view(argv[i]) == "-r") return i;
  return 0;
}

// The arguments after "-" or --cleanup are ignored, a -r among them too:
// the run would act on the current root, not on the one named.
void warn_ignored_root(int argc, const char* const* argv, int after, std::FILE* err) {
  if (int at = find_root_option(argc, argv, after + 1))
    std::fprintf(err, "WARNING: %s %s is ignored: no argument after %s is read\n", argv[at],
                 at + 1 < argc ? argv[at + 1] : "", argv[after]);
}

// --commit and --cancel act on the "/ram/MANIFEST" of the current root,
// before any change of root: a -r before or after them changes nothing.
void warn_root_before_change(int argc, const char* const* argv, int at, const run_options& options,
                             std::FILE* err) {
  if (options.root.empty() && find_root_option(argc, argv, at + 1) == 0) return;
  std::fprintf(err, "WARNING: -r is ignored: %s acts on /ram/MANIFEST of the current root\n", argv[at]);
}

}  // namespace

const char* const help_text =
    "usage: installer [-q] [-r <root>] [--safe] [-down] [--reinstall] [--dry-run] [-]\n"
    "\n"
    "Modes (the first that applies):\n"
    "  --show        list the installed packages\n"
    "  --cleanup     uninstall outdated packages, carry out requests, commit at once\n"
    "  -             install the package or bundle read from standard input\n"
    "  (none)        upgrade from the first download directory that holds a package\n"
    "  --commit      commit the upgrade saved by --safe in /ram/MANIFEST, at once\n"
    "  --cancel      drop the upgrade saved in /ram/MANIFEST, at once\n"
    "\n"
    "Options:\n"
    "  -r ROOT       change root to ROOT first (not for --commit and --cancel)\n"
    "  -q            no messages and no progress line\n"
    "  --safe        upgrade: save the changes to /ram/MANIFEST instead of committing\n"
    "  --dry-run     upgrade, stream install, clean-up: print the plan, change nothing\n"
    "  -down         allow older packages to replace newer ones\n"
    "  --reinstall   a package of the installed version counts as installed; no space check\n"
    "  -b, --force, --noupgrade, -i   accepted and ignored\n"
    "  -h, --help    this text\n"
    "  --version     the program's version\n"
    "\n"
    "Files read:\n"
    "  /flash/var/pdb/NAME/          the installed packages\n"
    "  /rw/pckg/.images/NAME         stored package images\n"
    "  /ram/pdb/NAME/schedule        a request: enable, disable or uninstall\n"
    "  /rw/pckg/.download/, /flash/rw/pckg/, /flash/var/pckg/   downloads, in this order\n"
    "  /rw/pckg/.download/IGNORE     skip the first download directory\n"
    "  /ram/DOWNGRADE                allow older versions down to the packed version in it\n"
    "  /ram/SECURE                   require the Ed25519 signature of every package\n"
    "  /ram/MANIFEST                 the saved upgrade, for --commit and --cancel\n"
    "  /dev/flash, /proc/cpuinfo     the router's hardware\n"
    "Environment: board=qemu_p9 (do nothing), arch (this system's architecture),\n"
    "bootimage (boot packages supply the boot image).\n"
    "\n"
    "Exit status:\n"
    "  0    success; also the listing, --cancel, usage, and an upgrade that installed nothing\n"
    "  1    a refused or broken package (stream install), a commit that failed, a refused\n"
    "       saved manifest, a failed change of root\n"
    "  2    stream install: a bundle or one of its members was refused\n"
    "  3    stream install: a bundle without members\n"
    "  28   upgrade: not enough space on flash\n"
    "  255  stream install: /flash/var/pdb/image could not be created\n"
    "Why a package was refused is written to standard error.\n";

scan_action scan_options(int argc, const char* const* argv, run_options* options, std::FILE* out,
                         std::FILE* err) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--cleanup") {
      options->cleanup = true;
      warn_ignored_root(argc, argv, i, err);
      break;
    } else if (arg == "--dry-run") {
      options->dry_run = true;
    } else if (arg == "-h" || arg == "--help") {
      return scan_action::help;
    } else if (arg == "--version") {
      return scan_action::version;
    } else if (arg == "--safe") {
      options->commit_now = false;
    } else if (arg == "-r" && i + 1 < argc) {
      options->root = argv[++i];
    } else if (arg == "-") {
      options->from_stdin = true;
      warn_ignored_root(argc, argv, i, err);
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
    } else if (arg == "--commit" || arg == "--cancel") {
      // They act at once; a --dry-run after them must still hold them back.
      warn_root_before_change(argc, argv, i, *options, err);
      for (int j = i + 1; j < argc; ++j) options->dry_run |= std::string_view(argv[j]) == "--dry-run";
      return arg == "--commit" ? scan_action::commit : scan_action::cancel;
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

namespace {

// Every environment variable and marker file that adjusts a run, read once
// in the device's root. The listing installs nothing: it looks for no marker.
void read_run_settings(run_options& options) {
  if (const char* arch = std::getenv("arch")) options.arch = arch;
  if (options.show) return;
  options.boot_image_apart = std::getenv("bootimage") != nullptr;
  struct stat st;
  options.secure = fs::lstat(paths::secure_marker, &st) == 0;
  options.skip_first_download_dir = fs::lstat(ignore_marker, &st) == 0;
  options.downgrade = read_downgrade_request();
}

}  // namespace

int run_installer(int argc, char** argv) {
  // The run's console: every message of the run goes through it, and it
  // becomes the post-log.
  console screen;
  pkg_repo& repository = repo();
  const char* board = std::getenv("board");
  if (board && std::strcmp(board, "qemu_p9") == 0) return 0;

  run_options options;
  switch (scan_options(argc, argv, &options, stdout)) {
    case scan_action::commit:
      return run_commit_mode(screen, options.dry_run);
    case scan_action::cancel:
      return run_cancel_mode(screen, options.dry_run);
    case scan_action::usage:
      std::fputs(usage_text, stdout);
      std::fflush(stdout);
      return 0;
    case scan_action::help:
      std::fputs(help_text, stdout);
      std::fflush(stdout);
      return 0;
    case scan_action::version:
      std::fputs("installer " INSTALLER_VERSION "\n", stdout);
      std::fflush(stdout);
      return 0;
    case scan_action::run:
      break;
  }
  if (!change_root(options.root)) return 1;
  read_run_settings(options);
  screen.quiet = options.quiet;
  if (options.show) return run_show_mode(screen);
  load_repository(repository, screen, options.arch);

  for (const mode_entry& mode : modes)
    if (mode.chosen(options)) return mode.handler(screen, repository, options);
  return 0;
}
