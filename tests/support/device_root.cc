#include "support/device_root.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

namespace {

// Status of a sandbox whose own set-up failed: never the program's answer.
constexpr int sandbox_fault = 199;

const char* const root_layout[] = {"flash/var/pdb",     "flash/boot",      "flash/rw/pckg", "flash/var/pckg",
                                   "rw/pckg/.download", "rw/pckg/.images", "ram/pdb",       "tmp",
                                   "dev",               "proc"};

std::string make_temp_dir(const char* stem) {
  std::string path = std::string("/tmp/") + stem + "XXXXXX";
  if (!mkdtemp(path.data())) ADD_FAILURE() << "mkdtemp " << path << ": " << std::strerror(errno);
  chmod(path.c_str(), 0755);
  return path;
}

int remove_entry(const char* path, const struct stat*, int type, FTW* at) {
  if (at->level > 0 && (type == FTW_DP ? rmdir(path) : unlink(path))) std::fprintf(stderr, "cannot remove %s\n", path);
  return 0;
}

// Removes a tree (or only what it holds) without following links or
// crossing into other file systems.
void remove_tree(const std::string& path, bool keep_top = false) {
  if (unlink(path.c_str()) == 0 || errno == ENOENT) return;
  nftw(path.c_str(), remove_entry, 16, FTW_PHYS | FTW_MOUNT | FTW_DEPTH);
  if (!keep_top) rmdir(path.c_str());
}

bool make_dir_chain(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    if (mkdir(path.substr(0, slash).c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) return true;
  }
}

std::string read_whole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string octal(unsigned mode) {
  char text[16];
  std::snprintf(text, sizeof text, "%o", mode & 07777);
  return text;
}

void snapshot_into(const std::string& host, const std::string& key, tree* entries) {
  DIR* listing = opendir(host.c_str());
  while (dirent* entry = listing ? readdir(listing) : nullptr) {
    std::string name = entry->d_name, path = host + "/" + name, value;
    struct stat st;
    if (name == "." || name == ".." || lstat(path.c_str(), &st) != 0) continue;
    if (S_ISLNK(st.st_mode)) {
      char target[4096];
      ssize_t n = readlink(path.c_str(), target, sizeof target);
      value = link_to(std::string_view(target, n > 0 ? static_cast<size_t>(n) : 0));
    } else if (S_ISDIR(st.st_mode)) {
      value = std::string("\x01" "d").append(octal(st.st_mode));
      snapshot_into(path, key + "/" + name, entries);
    } else if (!S_ISREG(st.st_mode)) {
      value = fifo;  // never opened
    } else {
      value = read_whole(path);
      if ((st.st_mode & 07777) != 0644 || (!value.empty() && value[0] == '\x01'))
        value = with_mode(st.st_mode & 07777, value);
    }
    (*entries)[key + "/" + name] = value;
  }
  if (listing) closedir(listing);
}

bool write_entry(const std::string& path, const std::string& value) {
  std::string content = value;
  unsigned mode = 0644;
  bool is_dir = value.rfind("\x01" "d", 0) == 0;
  if (!is_dir) remove_tree(path);  // never written through a link or a second name
  if (value == gone) return true;
  if (!make_dir_chain(path.substr(0, path.rfind('/')))) return false;
  if (value.rfind("\x01l ", 0) == 0) return ::symlink(value.c_str() + 3, path.c_str()) == 0;
  if (value == fifo) return mkfifo(path.c_str(), 0644) == 0;
  if (is_dir)
    return (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) && chmod(path.c_str(), std::strtoul(value.c_str() + 2, nullptr, 8)) == 0;
  if (value.rfind("\x01" "f", 0) == 0) {
    mode = static_cast<unsigned>(std::strtoul(value.c_str() + 2, nullptr, 8));
    content = content_of(value);
  }
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool ok = fd >= 0 && write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()) &&
            fchmod(fd, mode) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

// Writes `entries` below the host directory `base`; false with *err set.
bool write_tree(const std::string& base, const tree& entries, std::string* err) {
  for (const auto& [path, value] : entries)
    if (!write_entry(base + path, value)) return *err = path + ": " + std::strerror(errno), false;
  return true;
}

// ---- the sandbox; this part runs in the forked child ----

[[noreturn]] void sandbox_failed(const std::string& what) {
  std::string text = "sandbox: " + what + ": " + std::strerror(errno) + "\n";
  ssize_t ignored = write(2, text.data(), text.size());
  (void)ignored;
  _exit(sandbox_fault);
}

void bind_dir(const std::string& from, const std::string& to, unsigned long flags) {
  if (mkdir(to.c_str(), 0755) != 0 || mount(from.c_str(), to.c_str(), nullptr, MS_BIND | flags, nullptr) != 0)
    sandbox_failed("cannot bind " + from);
}

// A tmpfs of `bytes` at the root's `dir`, holding what the directory held.
void place_on_tmpfs(const device_root& root, const std::string& dir, uint64_t bytes) {
  tree saved = root.snapshot({dir});
  std::string err, size = std::string("size=").append(std::to_string(bytes));
  if (mount("tmpfs", root.at(dir).c_str(), "tmpfs", 0, size.c_str()) != 0) sandbox_failed("cannot mount " + dir);
  if (!write_tree(root.path(), saved, &err)) sandbox_failed("cannot copy " + dir + " onto its tmpfs: " + err);
}

void copy_back(const device_root& root, const std::string& dir) {
  tree saved = root.snapshot({dir});
  std::string err;
  if (umount2(root.at(dir).c_str(), MNT_DETACH) != 0) sandbox_failed("cannot unmount " + dir);
  remove_tree(root.at(dir), true);
  if (!write_tree(root.path(), saved, &err))
    sandbox_failed("cannot copy " + dir + " back: " + err);
}

// The new "/" on a tmpfs at `slash`: every top-level directory of this
// machine bound in, its links copied, the root's flash, rw and ram in place
// of the machine's own.
void build_slash(const device_root& root, const std::string& slash) {
  if (mount("tmpfs", slash.c_str(), "tmpfs", 0, "mode=755") != 0) sandbox_failed("cannot mount a new /");
  DIR* top = opendir("/");
  while (dirent* entry = top ? readdir(top) : nullptr) {
    std::string name = entry->d_name, from = "/" + name, to = slash + "/" + name;
    struct stat st;
    if (name == "." || name == ".." || name == "flash" || name == "rw" || name == "ram" || lstat(from.c_str(), &st))
      continue;
    if (S_ISDIR(st.st_mode)) bind_dir(from, to, MS_REC);
    if (S_ISLNK(st.st_mode)) {
      char target[4096];
      ssize_t n = readlink(from.c_str(), target, sizeof target - 1);
      if (n < 0 || (target[n] = '\0', ::symlink(target, to.c_str())) != 0) sandbox_failed("cannot link " + from);
    }
  }
  if (top) closedir(top);
  for (const char* dir : {"/flash", "/rw", "/ram"}) bind_dir(root.at(dir), slash + dir, 0);
}

[[noreturn]] void sandbox_child(const device_root& root, const std::string& slash, char** argv, char** envp,
                                const run_options& opts) {
  signal(SIGPIPE, SIG_DFL);
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    sandbox_failed("no private mount namespace");
  if (opts.flash_bytes) place_on_tmpfs(root, "/flash", opts.flash_bytes);
  if (opts.ram_bytes) place_on_tmpfs(root, "/ram", opts.ram_bytes);
  build_slash(root, slash);
  pid_t pid = fork();
  if (pid == 0) {
    if (chroot(slash.c_str()) != 0 || chdir("/") != 0) sandbox_failed("cannot enter the new /");
    execvpe(argv[0], argv, envp);
    sandbox_failed(std::string("cannot execute ") + argv[0]);
  }
  int status = 0;
  while (pid > 0 && waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) sandbox_failed("waitpid");
  if (opts.flash_bytes) copy_back(root, "/flash");
  if (opts.ram_bytes) copy_back(root, "/ram");
  _exit(WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status));
}

std::string read_fd(int fd) {
  std::string text;
  char buffer[65536];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  close(fd);
  return text;
}

std::vector<char*> c_strings(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  for (std::string& word : words) pointers.push_back(word.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

std::string link_to(std::string_view target) { return std::string("\x01l ").append(target); }

std::string with_mode(unsigned mode, std::string_view content) {
  return std::string("\x01" "f").append(octal(mode)).append(" ").append(content);
}

std::string content_of(const std::string& value) {
  return value.rfind("\x01" "f", 0) == 0 ? value.substr(value.find(' ') + 1) : value;
}

device_root::device_root() : path_(make_temp_dir("installer-root-")) {
  for (const char* dir : root_layout) make_dirs(std::string("/") + dir);
}

device_root::~device_root() { remove_tree(path_); }

std::string device_root::at(std::string_view device_path) const { return path_ + std::string(device_path); }

void device_root::write_file(std::string_view device_path, std::string_view content, unsigned mode) const {
  put({{std::string(device_path), with_mode(mode, content)}});
}

void device_root::make_dirs(std::string_view device_path) const {
  if (!make_dir_chain(at(device_path))) ADD_FAILURE() << "mkdir " << device_path << ": " << std::strerror(errno);
}

void device_root::remove(std::string_view device_path) const { remove_tree(at(device_path)); }

void device_root::symlink(std::string_view content, std::string_view device_path) const {
  put({{std::string(device_path), link_to(content)}});
}

tree device_root::snapshot(const std::vector<std::string>& dirs) const {
  tree entries;
  for (const std::string& dir : dirs) snapshot_into(at(dir), dir, &entries);
  return entries;
}

void device_root::put(const tree& entries) const {
  std::string err;
  if (!write_tree(path_, entries, &err)) ADD_FAILURE() << "cannot write " << err;
}

run_result run_in(const device_root& root, std::vector<std::string> argv, const run_options& opts) {
  argv.insert(argv.begin(), opts.prefix.begin(), opts.prefix.end());
  std::vector<std::string> env = {"PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"};
  // Leak checking reads /proc at exit, which the change of root has left.
  const char* asan = std::getenv("ASAN_OPTIONS");
  env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + (asan && *asan ? ":" : "") + "detect_leaks=0");
  if (const char* ubsan = std::getenv("UBSAN_OPTIONS")) env.push_back(std::string("UBSAN_OPTIONS=") + ubsan);
  for (const auto& [name, value] : opts.env) env.push_back(name + "=" + value);
  std::vector<char*> arg_pointers = c_strings(argv), env_pointers = c_strings(env);
  std::string slash = make_temp_dir("installer-ns-");
  int in = memfd_create("in", 0), out = memfd_create("out", 0), err = memfd_create("err", 0);
  if (write(in, opts.input.data(), opts.input.size()) != static_cast<ssize_t>(opts.input.size()))
    ADD_FAILURE() << "cannot hold standard input";
  lseek(in, 0, SEEK_SET);
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in, 0), dup2(out, 1), dup2(err, 2);
    close_range(3, ~0u, 0);
    sandbox_child(root, slash, arg_pointers.data(), env_pointers.data(), opts);
  }
  int status = 0;
  while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  close(in);
  run_result result{read_fd(out), read_fd(err), WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status)};
  if (rmdir(slash.c_str()) != 0) ADD_FAILURE() << "sandbox mount point " << slash << " left: " << std::strerror(errno);
  if (pid < 0 || result.status == sandbox_fault) {
    ADD_FAILURE() << "the sandbox failed: " << result.err;
    result.status = -1;
  }
  return result;
}

bool sandbox_ready(std::string* why) {
  static const bool ready = [] {  // a private namespace with a tmpfs in it
    std::string dir = make_temp_dir("installer-probe-");
    pid_t pid = geteuid() == 0 ? fork() : -1;
    if (pid == 0)
      _exit(unshare(CLONE_NEWNS) || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
            mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1m"));
    int status = 1;
    if (pid > 0) waitpid(pid, &status, 0);
    rmdir(dir.c_str());
    return status == 0;
  }();
  if (!ready) *why = "the end-to-end tests need root with the right to make private mount namespaces";
  return ready;
}

std::string installer_path() { return INSTALLER_BIN; }
std::string source_dir() { return SOURCE_DIR; }

}  // namespace testsupport
