#include "stage_sandbox.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace stage_test {
namespace {

constexpr int unavailable_exit = 77;
constexpr int setup_failed_exit = 78;

// Reports a setup failure through the pipe and leaves the child.
[[noreturn]] void give_up(int report_fd, int code, const std::string& what) {
  std::string text = what + ": " + std::strerror(errno);
  if (write(report_fd, text.data(), text.size()) < 0) {
    // Nothing more to say: the exit code tells the parent.
  }
  _exit(code);
}

void mount_tmpfs(int report_fd, const std::string& path, uint64_t bytes) {
  if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) give_up(report_fd, setup_failed_exit, "mkdir " + path);
  std::string data = "size=" + std::to_string(bytes) + ",mode=755";
  if (mount("sandbox", path.c_str(), "tmpfs", 0, data.c_str()) != 0)
    give_up(report_fd, unavailable_exit, "mount tmpfs on " + path);
}

void enter_sandbox(int report_fd, const std::string& root, const sandbox_options& options) {
  if (unshare(CLONE_NEWNS) != 0) give_up(report_fd, unavailable_exit, "unshare(CLONE_NEWNS)");
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    give_up(report_fd, unavailable_exit, "make mounts private");
  mount_tmpfs(report_fd, root, 64 << 20);
  mount_tmpfs(report_fd, root + "/flash", options.flash_bytes);
  if (options.ram_bytes != 0) mount_tmpfs(report_fd, root + "/ram", options.ram_bytes);
  if (mkdir((root + "/tmp").c_str(), 01777) != 0) give_up(report_fd, setup_failed_exit, "mkdir tmp");
  if (options.boot_dir && mkdir((root + "/flash/boot").c_str(), 0755) != 0)
    give_up(report_fd, setup_failed_exit, "mkdir flash/boot");
  if (chroot(root.c_str()) != 0 || chdir("/") != 0) give_up(report_fd, unavailable_exit, "chroot");
  umask(022);
}

std::string read_all(int fd) {
  std::string text;
  char buffer[512];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  return text;
}

}  // namespace

sandbox_status run_in_sandbox(const sandbox_options& options, const std::function<void()>& body,
                              std::string* why) {
  char root_template[] = "/tmp/stage_sandbox.XXXXXX";
  if (!mkdtemp(root_template)) {
    *why = std::string("mkdtemp: ") + std::strerror(errno);
    return sandbox_status::unavailable;
  }
  std::string root = root_template;
  int report[2];
  if (pipe(report) != 0) {
    *why = "pipe failed";
    rmdir(root.c_str());
    return sandbox_status::unavailable;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t child = fork();
  if (child == 0) {
    close(report[0]);
    enter_sandbox(report[1], root, options);
    body();
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  close(report[1]);
  std::string reported = read_all(report[0]);
  close(report[0]);
  int status = 0;
  waitpid(child, &status, 0);
  rmdir(root.c_str());
  if (WIFEXITED(status) && WEXITSTATUS(status) == unavailable_exit) {
    *why = "sandbox unavailable: " + reported;
    return sandbox_status::unavailable;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return sandbox_status::passed;
  ADD_FAILURE() << "sandbox child ended with status " << status << " " << reported;
  return sandbox_status::failed;
}

void write_file(const std::string& path, const std::string& content, unsigned mode) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  ASSERT_TRUE(out) << "writing " << path;
  ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

uint64_t free_bytes(const std::string& path) {
  struct statfs info;
  if (statfs(path.c_str(), &info) != 0) return 0;
  return static_cast<uint64_t>(info.f_bfree) * static_cast<uint64_t>(info.f_bsize);
}

std::string capture_stderr(const std::function<void()>& fn) {
  std::fflush(stderr);
  FILE* sink = std::tmpfile();
  if (!sink) return "(no temporary file for stderr)";
  int saved = dup(STDERR_FILENO);
  dup2(fileno(sink), STDERR_FILENO);
  fn();
  std::fflush(stderr);
  dup2(saved, STDERR_FILENO);
  close(saved);
  std::rewind(sink);
  std::string text;
  int c;
  while ((c = std::fgetc(sink)) != EOF) text += static_cast<char>(c);
  std::fclose(sink);
  return text;
}

std::string list_dir(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(path.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : " ") + name;
  return text;
}

}  // namespace stage_test
