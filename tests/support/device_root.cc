#include "support/device_root.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace testsupport {

namespace {

constexpr const char* clean_path = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
constexpr int run_timeout_ms = 300 * 1000;
// Status the namespace script exits with when its own set-up fails, so that a
// runner fault is never mistaken for the installer's answer.
constexpr int runner_fault_status = 199;

const char* const root_layout[] = {
    "flash/var/pdb", "flash/boot", "flash/rw/pckg", "flash/var/pckg", "rw/pckg/.download",
    "rw/pckg/.images", "ram/pdb", "tmp", "dev", "proc",
};

std::string temp_base() {
  const char* dir = std::getenv("TMPDIR");
  return dir && dir[0] == '/' ? dir : "/tmp";
}

std::string make_temp_dir(const char* stem) {
  std::string path = temp_base() + "/" + stem + "XXXXXX";
  if (!mkdtemp(path.data())) {
    ADD_FAILURE() << "mkdtemp " << path << ": " << std::strerror(errno);
    return {};
  }
  return path;
}

int make_writable(const char* path, const struct stat* st, int type, FTW*) {
  if (type == FTW_D || type == FTW_DNR) chmod(path, (st->st_mode & 07777) | S_IRWXU);
  return 0;
}

int remove_entry(const char* path, const struct stat*, int type, FTW*) {
  int rc = (type == FTW_DP) ? rmdir(path) : unlink(path);
  if (rc != 0 && errno != ENOENT) ADD_FAILURE() << "cannot remove " << path << ": " << std::strerror(errno);
  return 0;
}

// Removes a tree without following links or crossing into other file
// systems, after making every directory writable (tests take rights away).
void remove_tree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    unlink(path.c_str());
    return;
  }
  nftw(path.c_str(), make_writable, 16, FTW_PHYS | FTW_MOUNT);
  nftw(path.c_str(), remove_entry, 16, FTW_PHYS | FTW_MOUNT | FTW_DEPTH);
}

void make_dir_chain(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string prefix = path.substr(0, slash);
    if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST)
      ADD_FAILURE() << "mkdir " << prefix << ": " << std::strerror(errno);
    if (slash == std::string::npos) return;
  }
}

bool read_whole(const std::string& path, std::string* content) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  content->clear();
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    content->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

std::string octal(unsigned mode) {
  char text[16];
  std::snprintf(text, sizeof text, "%o", mode & 07777);
  return text;
}

void snapshot_into(const std::string& dir, const std::string& relative,
                   std::map<std::string, std::string>* entries) {
  DIR* listing = opendir(dir.c_str());
  if (!listing) return;
  while (dirent* entry = readdir(listing)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string path = dir + "/" + name, key = relative.empty() ? name : relative + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISLNK(st.st_mode)) {
      char target[4096];
      ssize_t n = readlink(path.c_str(), target, sizeof target);
      (*entries)[key] = "l " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
    } else if (S_ISDIR(st.st_mode)) {
      (*entries)[key] = "d " + octal(st.st_mode);
      snapshot_into(path, key, entries);
    } else if (!S_ISREG(st.st_mode)) {
      (*entries)[key] = "p " + octal(st.st_mode);  // a FIFO or device: never opened
    } else {
      std::string content;
      read_whole(path, &content);
      (*entries)[key] = "f " + octal(st.st_mode) + " " + content;
    }
  }
  closedir(listing);
}

// The first of the fixed program directories that holds `name`.
std::string find_program(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  std::string dirs = clean_path;
  for (size_t start = 0; start <= dirs.size();) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return name;
}

std::vector<char*> c_strings(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  for (std::string& word : words) pointers.push_back(word.data());
  pointers.push_back(nullptr);
  return pointers;
}

bool is_directory(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Where a run happens when it gets a private mount namespace: the device
// root whose trees appear at the top, a scratch directory for mount points,
// and the tmpfs sizes ("" for none).
struct namespace_plan {
  std::string root, scratch, flash_size, ram_size;
};

// The code below runs in the forked child, which is alone in its process.

void say(const std::string& text) {
  ssize_t ignored = write(2, text.data(), text.size());
  (void)ignored;
}

[[noreturn]] void runner_fault(const std::string& what) {
  say("device root runner: " + what + ": " + std::strerror(errno) + "\n");
  _exit(runner_fault_status);
}

// Starts argv (changing root to new_root first, when given) and waits for
// it; returns its exit status, or 128 + the signal that ended it.
int run_and_wait(char** argv, char** envp, const char* new_root) {
  pid_t pid = fork();
  if (pid < 0) runner_fault("fork");
  if (pid == 0) {
    if (new_root && (chroot(new_root) != 0 || chdir("/") != 0)) runner_fault("cannot enter the new /");
    execve(argv[0], argv, envp);
    say(std::string("device root runner: cannot execute ") + argv[0] + ": " + std::strerror(errno) + "\n");
    _exit(127);
  }
  int wait_status = 0;
  while (waitpid(pid, &wait_status, 0) < 0)
    if (errno != EINTR) runner_fault("waitpid");
  return WIFSIGNALED(wait_status) ? 128 + WTERMSIG(wait_status) : WEXITSTATUS(wait_status);
}

void write_proc_file(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    runner_fault("cannot write " + path);
  close(fd);
}

// A private mount namespace; for an ordinary user inside a user namespace in
// which the user is root.
void enter_namespace() {
  uid_t uid = geteuid();
  gid_t gid = getegid();
  if (uid == 0) {
    if (unshare(CLONE_NEWNS) != 0) runner_fault("unshare");
  } else {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) runner_fault("unshare");
    write_proc_file("/proc/self/setgroups", "deny");
    write_proc_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    write_proc_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) runner_fault("cannot make / private");
}

void run_helper(std::vector<std::string> words, const std::string& fault) {
  std::vector<std::string> env = {std::string("PATH=") + clean_path};
  std::vector<char*> argv = c_strings(words), envp = c_strings(env);
  if (run_and_wait(argv.data(), envp.data(), nullptr) != 0) {
    errno = 0;
    runner_fault(fault);
  }
}

// Mounts a tmpfs of `size` bytes over root/tree and copies the old content in;
// the old directory stays reachable at scratch/tree-aside.
void place_on_tmpfs(const namespace_plan& plan, const std::string& tree, const std::string& size) {
  std::string aside = plan.scratch + "/" + tree + "-aside", target = plan.root + "/" + tree;
  if (mkdir(aside.c_str(), 0700) != 0 || mount(target.c_str(), aside.c_str(), nullptr, MS_BIND, nullptr) != 0)
    runner_fault("cannot set /" + tree + " aside");
  if (mount("tmpfs", target.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0)
    runner_fault("cannot mount a tmpfs on /" + tree);
  run_helper({"/bin/cp", "-a", aside + "/.", target + "/"}, "cannot copy /" + tree + " onto its tmpfs");
}

void copy_back(const namespace_plan& plan, const std::string& tree) {
  std::string aside = plan.scratch + "/" + tree + "-aside", target = plan.root + "/" + tree;
  run_helper({"/usr/bin/find", aside, "-mindepth", "1", "-maxdepth", "1", "-exec", "rm", "-rf", "{}", "+"},
             "cannot empty /" + tree + " before copying it back");
  run_helper({"/bin/cp", "-a", target + "/.", aside + "/"}, "cannot copy /" + tree + " back from its tmpfs");
}

// A new "/" on a tmpfs: every top-level directory of this machine bound in,
// its links copied, and the device root's flash, rw and ram in place of the
// machine's own.
std::string build_slash(const namespace_plan& plan) {
  std::string slash = plan.scratch + "/slash";
  if (mkdir(slash.c_str(), 0755) != 0 || mount("tmpfs", slash.c_str(), "tmpfs", 0, "mode=755") != 0)
    runner_fault("cannot mount a new /");
  DIR* top = opendir("/");
  if (!top) runner_fault("cannot list /");
  while (dirent* entry = readdir(top)) {
    std::string name = entry->d_name, from = "/" + name, to = slash + "/" + name;
    if (name == "." || name == ".." || name == "flash" || name == "rw" || name == "ram") continue;
    struct stat st;
    if (lstat(from.c_str(), &st) != 0) continue;
    if (S_ISLNK(st.st_mode)) {
      char target[4096];
      ssize_t n = readlink(from.c_str(), target, sizeof target - 1);
      if (n < 0 || (target[n] = '\0', ::symlink(target, to.c_str())) != 0) runner_fault("cannot link " + from);
    } else if (S_ISDIR(st.st_mode)) {
      if (mkdir(to.c_str(), 0755) != 0 || mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        runner_fault("cannot bind " + from);
    }
  }
  closedir(top);
  for (const char* tree : {"flash", "rw", "ram"}) {
    std::string from = plan.root + "/" + tree, to = slash + "/" + tree;
    if (!is_directory(from)) continue;
    if (mkdir(to.c_str(), 0755) != 0 || mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0)
      runner_fault("cannot bind /" + std::string(tree));
  }
  return slash;
}

[[noreturn]] void namespace_child(const namespace_plan& plan, char** argv, char** envp) {
  enter_namespace();
  if (!plan.flash_size.empty()) place_on_tmpfs(plan, "flash", plan.flash_size);
  if (!plan.ram_size.empty()) place_on_tmpfs(plan, "ram", plan.ram_size);
  std::string slash = build_slash(plan);
  int status = run_and_wait(argv, envp, slash.c_str());
  if (!plan.flash_size.empty()) copy_back(plan, "flash");
  if (!plan.ram_size.empty()) copy_back(plan, "ram");
  _exit(status);
}

[[noreturn]] void exec_child(int in, int out, int err, char** argv, char** envp, const namespace_plan* plan) {
  setpgid(0, 0);
  // The test process ignores SIGPIPE; the program under test must not inherit that.
  signal(SIGPIPE, SIG_DFL);
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  // The parent's ends of the pipes must not stay open here: a child that
  // does not exec would keep standard input from ever reaching its end.
  close_range(3, ~0u, 0);
  if (plan) namespace_child(*plan, argv, envp);
  execve(argv[0], argv, envp);
  say(std::string("device root runner: cannot execute ") + argv[0] + ": " + std::strerror(errno) + "\n");
  _exit(127);
}

long elapsed_ms(const timespec& start) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

// Feeds `input` and collects both outputs until the child closes them.
// False when the run took longer than the time limit.
bool pump(int in, int out, int err, const std::string& input, run_result* result) {
  size_t written = 0;
  if (input.empty()) close(in), in = -1;
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  while (out >= 0 || err >= 0) {
    long left = run_timeout_ms - elapsed_ms(start);
    if (left <= 0) return false;
    pollfd fds[3] = {{in, POLLOUT, 0}, {out, POLLIN, 0}, {err, POLLIN, 0}};
    if (poll(fds, 3, static_cast<int>(left)) < 0 && errno != EINTR) return false;
    if (in >= 0 && (fds[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = write(in, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if (n < 0 && errno != EAGAIN && errno != EINTR) written = input.size();  // reader gone
      if (written == input.size()) close(in), in = -1;
    }
    int* readers[2] = {&out, &err};
    std::string* sinks[2] = {&result->out, &result->err};
    for (int i = 0; i < 2; ++i) {
      if (*readers[i] < 0 || !(fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[65536];
      ssize_t n = read(*readers[i], buffer, sizeof buffer);
      if (n > 0) sinks[i]->append(buffer, static_cast<size_t>(n));
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) close(*readers[i]), *readers[i] = -1;
    }
  }
  if (in >= 0) close(in);
  return true;
}

run_result spawn(std::vector<std::string> argv, std::vector<std::string> envp, const std::string& input,
                 const namespace_plan* plan = nullptr) {
  static bool pipe_signal_ignored = (signal(SIGPIPE, SIG_IGN), true);
  (void)pipe_signal_ignored;
  argv[0] = find_program(argv[0]);
  std::vector<char*> arg_pointers = c_strings(argv), env_pointers = c_strings(envp);
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return {};
  }
  pid_t pid = fork();
  if (pid == 0) exec_child(in[0], out[1], err[1], arg_pointers.data(), env_pointers.data(), plan);
  close(in[0]), close(out[1]), close(err[1]);
  fcntl(in[1], F_SETFL, O_NONBLOCK);
  run_result result;
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    close(in[1]), close(out[0]), close(err[0]);
    return result;
  }
  bool finished = pump(in[1], out[0], err[0], input, &result);
  if (!finished) {
    kill(-pid, SIGKILL);
    ADD_FAILURE() << argv[0] << " ran longer than " << run_timeout_ms / 1000 << " seconds";
  }
  int wait_status = 0;
  while (waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(wait_status))
    result.status = WEXITSTATUS(wait_status);
  else if (WIFSIGNALED(wait_status))
    result.status = 128 + WTERMSIG(wait_status);
  if (!finished) result.status = -1;
  return result;
}

// PATH and the sanitizer settings of a sanitized test build (they change
// only how a fault is reported). Leak checking is off: it reads /proc at
// exit, which the installer has left behind with its change of root (the
// unit tests still check for leaks).
std::vector<std::string> base_environment() {
  std::vector<std::string> env = {std::string("PATH=") + clean_path};
  const char* asan = std::getenv("ASAN_OPTIONS");
  env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + (asan && *asan ? ":" : "") +
                "detect_leaks=0");
  if (const char* ubsan = std::getenv("UBSAN_OPTIONS")) env.push_back(std::string("UBSAN_OPTIONS=") + ubsan);
  return env;
}

std::vector<std::string> clean_environment(const run_options& opts) {
  std::vector<std::string> env = base_environment();
  for (const auto& [name, value] : opts.env) env.push_back(name + "=" + value);
  return env;
}

// The directory after the first "-r", or "" when there is none.
std::string root_argument(const std::vector<std::string>& args) {
  for (size_t i = 0; i + 1 < args.size(); ++i)
    if (args[i] == "-r") return args[i + 1];
  return {};
}

std::string size_word(const std::optional<uint64_t>& bytes) {
  return bytes ? std::to_string(*bytes) : std::string();
}

// Removes the scratch directory of a namespace run. Its entries are the
// mount points of a namespace that has ended, so they must be empty; rmdir
// alone is used so that a mount that somehow outlived the run is never
// descended into.
void remove_scratch(const std::string& scratch) {
  for (const char* name : {"slash", "flash-aside", "ram-aside"}) {
    std::string path = scratch + "/" + name;
    if (rmdir(path.c_str()) != 0 && errno != ENOENT)
      ADD_FAILURE() << "runner scratch " << path << " not empty: " << std::strerror(errno);
  }
  rmdir(scratch.c_str());
}

run_result run_in_namespace(const std::string& root, const std::vector<std::string>& command,
                            const run_options& opts) {
  namespace_plan plan{root, make_temp_dir("installer-ns-"), size_word(opts.flash_bytes),
                      size_word(opts.ram_bytes)};
  if (plan.scratch.empty()) return {};
  run_result result = spawn(command, clean_environment(opts), opts.input, &plan);
  remove_scratch(plan.scratch);
  if (result.status == runner_fault_status) {
    ADD_FAILURE() << "the runner failed: " << result.err;
    result.status = -1;
  }
  return result;
}

struct probe_result {
  bool ok = false;
  std::string why;
};

probe_result probe_private_mounts() {
  // A trial run with a tmpfs that does nothing inside.
  device_root root;
  namespace_plan plan{root.path(), make_temp_dir("installer-ns-"), "1048576", ""};
  run_result result = spawn({"true"}, base_environment(), {}, &plan);
  remove_scratch(plan.scratch);
  probe_result probe;
  probe.ok = result.status == 0;
  if (!probe.ok)
    probe.why = "private mount namespaces are not available here (" +
                (geteuid() == 0 ? std::string("root without the right to mount")
                                : std::string("user namespaces not allowed")) +
                "): " + result.err;
  return probe;
}

const probe_result& private_mounts() {
  static const probe_result probe = probe_private_mounts();
  return probe;
}

bool asks_for_commit_or_cancel(const std::vector<std::string>& args) {
  for (const std::string& arg : args)
    if (arg == "--commit" || arg == "--cancel") return true;
  return false;
}

}  // namespace

device_root::device_root() {
  path_ = make_temp_dir("installer-root-");
  chmod(path_.c_str(), 0755);
  for (const char* dir : root_layout) make_dirs(std::string("/") + dir);
}

device_root::~device_root() {
  if (!path_.empty()) remove_tree(path_);
}

std::string device_root::at(std::string_view device_path) const {
  if (device_path.empty() || device_path[0] != '/') return path_ + "/" + std::string(device_path);
  return path_ + std::string(device_path);
}

void device_root::write_file(std::string_view device_path, std::string_view content, unsigned mode) const {
  std::string path = at(device_path);
  make_dir_chain(path.substr(0, path.rfind('/')));
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    ADD_FAILURE() << "cannot create " << path << ": " << std::strerror(errno);
    return;
  }
  if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
    ADD_FAILURE() << "cannot write " << path << ": " << std::strerror(errno);
  fchmod(fd, mode);
  close(fd);
}

std::string device_root::read_file(std::string_view device_path) const {
  std::string content;
  if (!read_whole(at(device_path), &content)) return {};
  return content;
}

bool device_root::exists(std::string_view device_path) const {
  struct stat st;
  return lstat(at(device_path).c_str(), &st) == 0;
}

void device_root::make_dirs(std::string_view device_path) const { make_dir_chain(at(device_path)); }

void device_root::remove(std::string_view device_path) const { remove_tree(at(device_path)); }

void device_root::symlink(std::string_view content, std::string_view device_path) const {
  std::string path = at(device_path);
  make_dir_chain(path.substr(0, path.rfind('/')));
  if (::symlink(std::string(content).c_str(), path.c_str()) != 0)
    ADD_FAILURE() << "cannot link " << path << ": " << std::strerror(errno);
}

std::map<std::string, std::string> device_root::snapshot(std::string_view device_dir) const {
  std::map<std::string, std::string> entries;
  snapshot_into(at(device_dir), "", &entries);
  return entries;
}

run_result run_installer(const std::vector<std::string>& args, const run_options& opts) {
  std::vector<std::string> command = opts.prefix;
  command.push_back(installer_path());
  command.insert(command.end(), args.begin(), args.end());
  std::string root = opts.slash_root.empty() ? root_argument(args) : opts.slash_root;
  if (private_mounts().ok) {
    if (!is_directory(root)) {
      ADD_FAILURE() << "no device root to run in: give -r DIR or slash_root";
      return {};
    }
    return run_in_namespace(root, command, opts);
  }
  bool plain = opts.slash_root.empty() && !opts.flash_bytes && !opts.ram_bytes &&
               is_directory(root_argument(args)) && !asks_for_commit_or_cancel(args);
  if (geteuid() != 0 || !plain) {
    ADD_FAILURE() << "this run needs a private mount namespace: " << private_mounts().why;
    return {};
  }
  return spawn(command, clean_environment(opts), opts.input);
}

run_result run_program(const std::vector<std::string>& argv, const std::string& input) {
  return spawn(argv, base_environment(), input);
}

bool can_run_installer(std::string* why) {
  if (geteuid() == 0 || private_mounts().ok) return true;
  if (why) *why = private_mounts().why;
  return false;
}

bool can_mount_tmpfs(std::string* why) {
  if (private_mounts().ok) return true;
  if (why) *why = private_mounts().why;
  return false;
}

std::string installer_path() { return INSTALLER_BIN; }
std::string mkpkg_path() { return MKPKG_BIN; }
std::string source_dir() { return SOURCE_DIR; }
std::string test_key_file() { return TEST_KEY_FILE; }

}  // namespace testsupport
