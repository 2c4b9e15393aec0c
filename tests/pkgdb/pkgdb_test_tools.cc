#include "pkgdb/pkgdb_test_tools.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "pkgdb/listing.h"
#include "support/device_root.h"

namespace pkgdb_test {

std::string describe(const std::vector<pkg_dep>& list, bool with_extra) {
  std::string text = "[";
  for (size_t i = 0; i < list.size(); ++i) {
    if (i) text += ",";
    text += list[i].name + " " + std::to_string(list[i].min_version) + " " + std::to_string(list[i].max_version);
    if (with_extra) text += " " + std::to_string(list[i].extra);
  }
  return text + "]";
}

std::string describe(const pkg_image& record) {
  char version[16];
  std::snprintf(version, sizeof version, "%08x", record.version);
  std::string files;
  for (const std::string& path : record.files) files += (files.empty() ? "" : ",") + path;
  return record.name + " v=" + version + " t=" + std::to_string(record.build_time) + " in=" +
         record.bundle.name + "/" + std::to_string(record.bundle.min_version) + "/" +
         std::to_string(record.bundle.max_version) + " bundle=" + std::to_string(record.is_bundle) +
         " dis=" + std::to_string(record.disabled) + " user=" + std::to_string(record.user_set) +
         " pend=" + std::to_string(record.pending) + " deps=" + describe(record.depends, false) +
         " prov=" + describe(record.provides, true) + " conf=" + describe(record.conflicts, false) +
         " files=[" + files + "] note=" + record.note;
}

std::string describe(const pkg_repo& repository) {
  std::string text;
  for (const pkg_image* record : repository.packages) text += describe(*record) + "\n";
  return text;
}

namespace {

void write_result(int fd, const std::string& result) {
  size_t done = 0;
  while (done < result.size()) {
    ssize_t n = write(fd, result.data() + done, result.size() - done);
    if (n <= 0) _exit(4);
    done += static_cast<size_t>(n);
  }
}

}  // namespace

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
    std::string failure = prepare ? prepare() : std::string();
    if (!failure.empty()) {
      write_result(fds[1], failure);
      _exit(0);
    }
    if (chroot(root.path().c_str()) != 0 || chdir("/") != 0) _exit(3);
    write_result(fds[1], body());
    _exit(0);
  }
  close(fds[1]);
  std::string result;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0) result.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  return result;
}

bool can_change_root() { return geteuid() == 0; }

std::string listing_of(const pkg_repo& repository) {
  char* data = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&data, &size);
  show_packages(repository, out);
  std::fclose(out);
  std::string text(data, size);
  std::free(data);
  return text;
}

}  // namespace pkgdb_test
