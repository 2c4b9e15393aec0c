#include "pkgdb/pkgdb_test_tools.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "msg/msg.h"
#include "stage/manifest.h"
#include "stage/out_file.h"
#include "stage/staging.h"
#include "support/device_root.h"

namespace pkgdb_test {

std::string run_in_root(const testsupport::device_root& root, const std::function<std::string()>& body,
                        const std::function<std::string()>& prepare) {
  int fds[2];
  if (pipe(fds) != 0) {
    ADD_FAILURE() << "pipe failed";
    return {};
  }
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::string result = prepare ? prepare() : std::string();
    if (result.empty()) {
      if (chroot(root.path().c_str()) != 0 || chdir("/") != 0) _exit(3);
      result = body();
    }
    for (size_t done = 0; done < result.size();) {
      ssize_t n = write(fds[1], result.data() + done, result.size() - done);
      if (n <= 0) _exit(4);
      done += static_cast<size_t>(n);
    }
    std::fflush(nullptr);
    _exit(0);
  }
  close(fds[1]);
  std::string result;
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) result.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  return result;
}

bool can_change_root() { return geteuid() == 0; }

void in_device_root(const std::function<void()>& body, uint64_t flash_bytes, uint64_t ram_bytes) {
  if (!can_change_root()) GTEST_SKIP() << "changing root needs root rights";
  testsupport::device_root root;
  auto mounts = [&]() -> std::string {
    if (!flash_bytes && !ram_bytes) return {};
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      return "no private mount namespace";
    for (auto [where, bytes] : {std::pair{"/flash", flash_bytes}, std::pair{"/ram", ram_bytes}})
      if (bytes && mount("tmpfs", root.at(where).c_str(), "tmpfs", 0, ("size=" + std::to_string(bytes)).c_str()))
        return std::string("cannot mount tmpfs on ") + where;
    return {};
  };
  std::string result = run_in_root(
      root, [&] { body(); return std::string(::testing::Test::HasFailure() ? "failed" : "passed"); }, mounts);
  EXPECT_EQ(result, "passed");
}

std::string printed(const std::function<void(std::FILE*)>& fn) {
  char* data = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&data, &size);
  std::FILE* shown = terminal().out;
  fn(out);
  terminal().out = shown;
  std::fclose(out);
  std::string text(data, size);
  std::free(data);
  return text;
}

void put(const std::string& path, const std::string& content, mode_t mode) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  EXPECT_EQ(chmod(path.c_str(), mode), 0) << path;
}

std::string got(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string list_dir(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(path.c_str())) {
    while (const dirent* entry = readdir(dir))
      if (std::strcmp(entry->d_name, ".") && std::strcmp(entry->d_name, "..")) names.push_back(entry->d_name);
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : " ") + name;
  return text;
}

std::string ops_text(const manifest& m) {
  std::string text;
  for (const auto& [target, op] : m.ops) text += target + "=" + std::to_string(op.kind) + ":" + op.source + ";";
  return text;
}

bool stage_file(manifest& m, const std::string& target, uint64_t size, mode_t mode, bool fill) {
  out_file out;
  if (!open_staged_file(&out, m, target, size, mode)) return false;
  if (fill) out.write(std::string(size, 'x'));
  return out.close();
}

}  // namespace pkgdb_test
