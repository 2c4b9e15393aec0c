#include "platform/fs_faults.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fs.h"
#include "platform/fs_path.h"
#include "platform/fs_unique.h"

// Linked only into the test program installer-faults: the same wrappers as
// fs.cc, each of which first asks the plan whether to go on, fail or stop.
namespace {

enum class plan_kind { pass, count, trace, fail, stop };

struct fault_plan {
  plan_kind kind = plan_kind::pass;
  unsigned long at = 0;  // the operation that fails or is not reached
  int error = 0;
};

struct fault_state {
  fault_plan plan;
  unsigned long done = 0;  // operations asked for so far
};

fault_state state;

void say(const std::string& line) {
  std::string text = fs::fault_log_prefix + line + "\n";
  ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
  (void)ignored;
}

void print_total() { say(std::to_string(state.done) + " operations"); }

bool read_number(const std::string& text, unsigned long* value) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  *value = std::strtoul(text.c_str(), nullptr, 10);
  return *value > 0;
}

bool read_plan(const std::string& text, fault_plan* plan) {
  if (text.empty()) return true;
  if (text == "count" || text == "trace") {
    plan->kind = text == "count" ? plan_kind::count : plan_kind::trace;
    return true;
  }
  size_t colon = text.find(':');
  if (colon == std::string::npos || !read_number(text.substr(0, colon), &plan->at)) return false;
  std::string what = text.substr(colon + 1);
  if (what == "stop") {
    plan->kind = plan_kind::stop;
    return true;
  }
  plan->kind = plan_kind::fail;
  plan->error = what == "EIO" ? EIO : what == "ENOSPC" ? ENOSPC : 0;
  return plan->error != 0;
}

// Reads the plan before main runs, so that a bad plan stops the run before
// it has done anything.
struct plan_reader {
  plan_reader() {
    const char* text = std::getenv(fs::fault_plan_variable);
    if (!read_plan(text ? text : "", &state.plan)) {
      say(std::string("cannot read the plan \"") + text + "\"");
      _exit(fs::fault_plan_status);
    }
    if (state.plan.kind == plan_kind::count || state.plan.kind == plan_kind::trace) std::atexit(print_total);
  }
};
plan_reader reader;

std::string describe(const char* name, const char* path) { return std::string(name) + " " + path; }
std::string describe(const char* name, int fd) { return std::string(name) + " fd " + std::to_string(fd); }

// Numbers the next operation and carries out the plan for it. True when the
// operation must fail with errno set instead of being made.
template <typename Subject>
bool is_failed(const char* name, Subject subject) {
  unsigned long number = ++state.done;
  const fault_plan& plan = state.plan;
  if (plan.kind == plan_kind::trace) say(std::to_string(number) + " " + describe(name, subject));
  if (number != plan.at) return false;
  if (plan.kind == plan_kind::stop) {
    say("stopped before operation " + std::to_string(number) + " (" + describe(name, subject) + ")");
    _exit(fs::fault_stop_status);
  }
  say(std::string(plan.error == EIO ? "EIO" : "ENOSPC") + " injected at operation " + std::to_string(number) +
      " (" + describe(name, subject) + ")");
  errno = plan.error;
  return true;
}

}  // namespace

namespace fs {

using detail::device_path;

int open(const char* path, int flags, mode_t mode) {
  return is_failed("open", path) ? -1 : ::open(device_path(path), flags | O_CLOEXEC, mode);
}
ssize_t write(int fd, const void* data, size_t size) {
  return is_failed("write", fd) ? -1 : ::write(fd, data, size);
}
int close(int fd) {
  if (!is_failed("close", fd)) return ::close(fd);
  int err = errno;
  ::close(fd);
  errno = err;
  return -1;
}
int fsync(int fd) { return is_failed("fsync", fd) ? -1 : ::fsync(fd); }
int ftruncate(int fd, off_t length) { return is_failed("ftruncate", fd) ? -1 : ::ftruncate(fd, length); }
int fchmod(int fd, mode_t mode) { return is_failed("fchmod", fd) ? -1 : ::fchmod(fd, mode); }
int fchown(int fd, uid_t owner, gid_t group) { return is_failed("fchown", fd) ? -1 : ::fchown(fd, owner, group); }
int mkstemp(char* path_template, mode_t mode) {
  return is_failed("mkstemp", path_template) ? -1 : detail::create_unique(path_template, mode);
}
int mkdir(const char* path, mode_t mode) { return is_failed("mkdir", path) ? -1 : ::mkdir(device_path(path), mode); }
int rename(const char* from, const char* to) {
  if (is_failed("rename", (std::string(from) + " " + to).c_str())) return -1;
  return ::rename(device_path(from), device_path(to));
}
int link(const char* from, const char* to) {
  return is_failed("link", (std::string(from) + " " + to).c_str()) ? -1 : ::link(device_path(from), device_path(to));
}
int unlink(const char* path) { return is_failed("unlink", path) ? -1 : ::unlink(device_path(path)); }
int rmdir(const char* path) { return is_failed("rmdir", path) ? -1 : ::rmdir(device_path(path)); }
int symlink(const char* content, const char* path) {
  if (is_failed("symlink", (std::string(path) + " -> " + content).c_str())) return -1;
  return ::symlink(content, device_path(path));
}
void sync() {
  if (!is_failed("sync", "")) ::sync();
}

}  // namespace fs
