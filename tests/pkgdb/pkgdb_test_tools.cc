#include "pkgdb/pkgdb_test_tools.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <set>

#include "msg/msg.h"
#include "platform/fs.h"
#include "stage/manifest.h"
#include "stage/out_file.h"
#include "stage/staging.h"
#include "support/device_root.h"

namespace pkgdb_test {

namespace {

// This process's own mount namespace, made once: what the tests mount is
// seen by no one else and never outlives the process.
bool own_mounts() {
  static const bool made = unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  return made;
}

// While it lives, the seam finds device paths under the device root; the
// umask and the alarm are put back afterwards.
class on_device_root {
 public:
  explicit on_device_root(const testsupport::device_root& root) : mask_(umask(022)) {
    umask(mask_);
    fs::set_device_root(root.path());
  }
  ~on_device_root() {
    alarm(0);
    umask(mask_);
    fs::set_device_root({});
  }

 private:
  const mode_t mask_;
};

}  // namespace

std::string run_in_root(const testsupport::device_root& root, const std::function<std::string()>& body,
                        const std::function<std::string()>& prepare) {
  if (std::string early = prepare ? prepare() : std::string(); !early.empty()) return early;
  on_device_root entered(root);
  return body();
}

void in_device_root(const std::function<void()>& body, uint64_t flash_bytes, uint64_t ram_bytes) {
  if ((flash_bytes || ram_bytes) && !(geteuid() == 0 && own_mounts()))
    GTEST_SKIP() << "a flash or ram of its own size is a tmpfs, which needs root rights and a private mount namespace";
  testsupport::device_root root;
  bool mounted = true;
  for (auto [where, bytes] : {std::pair{"/flash", flash_bytes}, std::pair{"/ram", ram_bytes}})
    if (bytes && mount("tmpfs", root.at(where).c_str(), "tmpfs", 0, std::string("size=").append(std::to_string(bytes)).c_str()))
      mounted = false, ADD_FAILURE() << "cannot mount a tmpfs on " << where;
  if (mounted) run_in_root(root, [&] { body(); return std::string(); });
  for (const char* where : {"/flash", "/ram"}) umount2(root.at(where).c_str(), MNT_DETACH);
}

std::string printed(const std::function<void(console&)>& fn) {
  char* data = nullptr;
  size_t size = 0;
  console screen;
  screen.out = screen.spinner.out = open_memstream(&data, &size);
  fn(screen);
  std::fclose(screen.out);
  std::string text(data, size);
  std::free(data);
  return text;
}

void put(const std::string& path, const std::string& content, mode_t mode) {
  int fd = fs::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  EXPECT_TRUE(fd >= 0 && fs::write_all(fd, content.data(), content.size()) && fs::fchmod(fd, mode) == 0) << path;
  if (fd >= 0) fs::close(fd);
}

std::string got(const std::string& path) {
  std::string text;
  if (std::FILE* file = fs::fopen_read(path.c_str())) {
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
    std::fclose(file);
  }
  return text;
}

bool exists(const std::string& path) {
  struct stat st;
  return fs::lstat(path.c_str(), &st) == 0;
}

std::string list_dir(const std::string& path) {
  std::set<std::string> names;
  DIR* dir = fs::opendir(path.c_str());
  while (const dirent* entry = dir ? readdir(dir) : nullptr) names.insert(entry->d_name);
  if (dir) closedir(dir);
  std::string text;
  for (const std::string& name : names)
    if (name != "." && name != "..") text.append(text.empty() ? "" : " ").append(name);
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
