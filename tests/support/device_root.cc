#include "support/device_root.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

namespace {

namespace fs = std::filesystem;

// Status of a sandbox whose own set-up failed: never the program's answer.
constexpr int sandbox_fault = 199;

std::string make_temp_dir(const char* stem) {
  std::string path = std::string("/tmp/") + stem + "XXXXXX";
  if (!mkdtemp(path.data())) ADD_FAILURE() << "mkdtemp " << path << ": " << std::strerror(errno);
  chmod(path.c_str(), 0755);
  return path;
}

// Removes a file or a whole tree without following links. No mount lies
// below it: the sandbox mounts only in a namespace of its own.
void remove_tree(const std::string& path) { std::error_code ignored; fs::remove_all(path, ignored); }

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

// The tree value of the entry at `path`; a FIFO or device is never opened.
std::string value_of(const std::string& path) {
  struct stat st;
  std::error_code ec;
  if (lstat(path.c_str(), &st) != 0) return gone;
  if (S_ISLNK(st.st_mode)) return link_to(fs::read_symlink(path, ec).native());
  if (S_ISDIR(st.st_mode)) return std::string("\x01" "d").append(octal(st.st_mode));
  if (!S_ISREG(st.st_mode)) return fifo;
  std::string content = read_whole(path);
  bool plain = (st.st_mode & 07777) == 0644 && (content.empty() || content[0] != '\x01');
  return plain ? content : with_mode(st.st_mode & 07777, content);
}

bool write_entry(const std::string& path, const std::string& value) {
  bool is_dir = value.rfind("\x01" "d", 0) == 0;
  if (!is_dir) remove_tree(path);  // never written through a link or a second name
  if (value == gone) return true;
  if (!make_dir_chain(path.substr(0, path.rfind('/')))) return false;
  if (value.rfind("\x01l ", 0) == 0) return ::symlink(value.c_str() + 3, path.c_str()) == 0;
  if (value == fifo) return mkfifo(path.c_str(), 0644) == 0;
  unsigned mode = is_dir || value.rfind("\x01" "f", 0) == 0 ? std::strtoul(value.c_str() + 2, nullptr, 8) : 0644;
  if (is_dir) return (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) && chmod(path.c_str(), mode) == 0;
  std::ofstream out(path, std::ios::binary);
  return (out << content_of(value)).flush() && chmod(path.c_str(), mode) == 0;
}

int status_of(int wait_status) { return WIFSIGNALED(wait_status) ? 128 + WTERMSIG(wait_status) : WEXITSTATUS(wait_status); }

// ---- the sandbox; this part runs in the forked child ----

[[noreturn]] void sandbox_failed(const std::string& what) {
  dprintf(2, "sandbox: %s: %s\n", what.c_str(), std::strerror(errno));
  _exit(sandbox_fault);
}

bool private_namespace() { return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0; }

void bind_dir(const std::string& from, const std::string& to, unsigned long flags) {
  if (mkdir(to.c_str(), 0755) != 0 || mount(from.c_str(), to.c_str(), nullptr, MS_BIND | flags, nullptr) != 0)
    sandbox_failed("cannot bind " + from);
}

// Puts a tmpfs of `bytes` at the root's `dir`, or with 0 takes it away
// again, and carries over what the directory holds.
void swap_tmpfs(const device_root& root, const std::string& dir, uint64_t bytes) {
  tree saved = root.snapshot({dir});
  std::string size = std::string("size=").append(std::to_string(bytes)), at = root.at(dir);
  if (bytes ? mount("tmpfs", at.c_str(), "tmpfs", 0, size.c_str()) != 0 : umount2(at.c_str(), MNT_DETACH) != 0)
    sandbox_failed("cannot mount or unmount the tmpfs at " + dir);
  if (!bytes) remove_tree(at), make_dir_chain(at);
  for (const auto& [path, value] : saved)
    if (!write_entry(root.at(path), value)) sandbox_failed("cannot carry over " + path);
}

// The new "/" on a tmpfs at `slash`: every top-level directory of this
// machine (or the one a top-level link names) bound in, the root's flash, rw
// and ram in place of the machine's own.
void build_slash(const device_root& root, const std::string& slash) {
  if (mount("tmpfs", slash.c_str(), "tmpfs", 0, "mode=755") != 0) sandbox_failed("cannot mount a new /");
  std::error_code ec;
  for (fs::directory_iterator it("/", ec), end; !ec && it != end; it.increment(ec)) {
    std::string from = it->path();
    if (from != "/flash" && from != "/rw" && from != "/ram" && it->is_directory(ec)) bind_dir(from, slash + from, MS_REC);
  }
  for (const char* dir : {"/flash", "/rw", "/ram"}) bind_dir(root.at(dir), slash + dir, 0);
}

[[noreturn]] void sandbox_child(const device_root& root, const std::string& slash, char** argv, char** envp,
                                const run_options& opts) {
  signal(SIGPIPE, SIG_DFL);
  if (!private_namespace()) sandbox_failed("no private mount namespace");
  const std::pair<const char*, uint64_t> sized[] = {{"/flash", opts.flash_bytes}, {"/ram", opts.ram_bytes}};
  for (const auto& [dir, bytes] : sized) if (bytes) swap_tmpfs(root, dir, bytes);
  build_slash(root, slash);
  pid_t pid = fork();
  if (pid == 0) {
    if (chroot(slash.c_str()) != 0 || chdir("/") != 0) sandbox_failed("cannot enter the new /");
    execvpe(argv[0], argv, envp);
    sandbox_failed(std::string("cannot execute ") + argv[0]);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) sandbox_failed("waitpid");
  for (const auto& [dir, bytes] : sized) if (bytes) swap_tmpfs(root, dir, 0);
  _exit(status_of(status));
}

std::vector<char*> c_strings(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  for (std::string& word : words) pointers.push_back(word.data());
  pointers.push_back(nullptr);
  return pointers;
}

// All that was written to the file `fd`, which is closed.
std::string taken(int fd) {
  std::string text = read_whole(std::string("/proc/self/fd/").append(std::to_string(fd)));
  close(fd);
  return text;
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
  for (const char* dir : {"flash/var/pdb", "flash/boot", "flash/rw/pckg", "flash/var/pckg", "rw/pckg/.download",
                          "rw/pckg/.images", "ram/pdb", "tmp", "dev", "proc"})
    make_dirs(std::string("/") + dir);
}

device_root::~device_root() { remove_tree(path_); }

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
  std::error_code ec;
  for (const std::string& dir : dirs)
    for (fs::recursive_directory_iterator it(at(dir), ec), end; !ec && it != end; it.increment(ec))
      entries[dir + it->path().native().substr(at(dir).size())] = value_of(it->path());
  return entries;
}

void device_root::put(const tree& entries) const {
  for (const auto& [path, value] : entries)
    if (!write_entry(at(path), value)) ADD_FAILURE() << "cannot write " << path << ": " << std::strerror(errno);
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
  if (pwrite(in, opts.input.data(), opts.input.size(), 0) != static_cast<ssize_t>(opts.input.size()))
    ADD_FAILURE() << "cannot hold standard input";
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in, 0), dup2(out, 1), dup2(err, 2);
    close_range(3, ~0u, 0);
    sandbox_child(root, slash, arg_pointers.data(), env_pointers.data(), opts);
  }
  int status = 0;
  while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) continue;
  close(in);
  run_result result{taken(out), taken(err), status_of(status)};
  if (rmdir(slash.c_str()) != 0) ADD_FAILURE() << "sandbox mount point " << slash << " left: " << std::strerror(errno);
  if (pid < 0 || result.status == sandbox_fault) result.status = -1;
  if (result.status < 0) ADD_FAILURE() << "the sandbox failed: " << result.err;
  return result;
}

bool sandbox_ready(std::string* why) {
  static const bool ready = [] {  // a private namespace with a tmpfs in it
    pid_t pid = geteuid() == 0 ? fork() : -1;
    if (pid == 0) _exit(!private_namespace() || mount("tmpfs", "/tmp", "tmpfs", 0, "size=1m") != 0);
    int status = 1;
    return pid > 0 && waitpid(pid, &status, 0) == pid && status == 0;
  }();
  if (!ready) *why = "the end-to-end tests need root with the right to make private mount namespaces";
  return ready;
}

}  // namespace testsupport
