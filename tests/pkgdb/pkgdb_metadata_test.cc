#include "pkgdb/metadata.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pkgdb/pkgdb_test_tools.h"
#include "pkgdb/record.h"
#include "stage/manifest.h"
#include "support/device_root.h"

using namespace pkgdb_test;
using testsupport::device_root;

namespace {

constexpr uint32_t v1_2 = 0x01026600;  // 16934400
constexpr uint32_t v3_1 = 0x03016600;  // 50423296
const std::string dir = "/flash/var/pdb/tool/";

std::string escaped(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("\\n") : std::string(1, c);
  return out;
}

// Every entry of the manifest: target, kind and, for a staged file, its bytes.
std::string dump(const manifest& m) {
  std::string text;
  for (const auto& [target, op] : m.ops) {
    text += target + " " + std::to_string(op.kind);
    if (op.kind == OP_STAGED) {
      std::string content;
      if (std::FILE* file = std::fopen(op.source.c_str(), "rb")) {
        int c;
        while ((c = std::fgetc(file)) != EOF) content.push_back(static_cast<char>(c));
        std::fclose(file);
      } else {
        content = "<unreadable>";
      }
      text += " " + escaped(content);
    }
    text += "\n";
  }
  return text;
}

// What write_metadata returned, printed and staged, from inside the root.
std::string stage_in(const device_root& root, const pkg_image& record) {
  return run_in_root(root, [&record] {
    pkg_repo repository;
    char* data = nullptr;
    size_t size = 0;
    repository.out = open_memstream(&data, &size);
    manifest m;
    bool ok = write_metadata(repository, record, m);
    std::fclose(repository.out);
    std::string printed(data, size);
    std::free(data);
    std::string result = std::string(ok ? "ok\n" : "failed\n") + printed + dump(m);
    discard(m);
    return result;
  });
}

pkg_image tool_package() {
  pkg_image record("tool");
  record.version = v1_2;
  record.build_time = 1000;
  record.arch = "mipsbe";
  record.files = {"/flash/bin/tool"};
  return record;
}

struct metadata_case {
  const char* what;
  std::function<void(pkg_image&)> change;
  std::vector<const char*> existing;  // files already in the package's directory
  std::string expected;
};

class WriteMetadataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!can_change_root()) GTEST_SKIP() << "changing root needs root rights";
  }

  void run_cases(const std::vector<metadata_case>& cases) {
    for (const metadata_case& c : cases) {
      device_root root;
      root.make_dirs(dir);
      for (const char* file : c.existing) root.write_file(dir + file, "old\n");
      pkg_image record = tool_package();
      c.change(record);
      EXPECT_EQ(stage_in(root, record), c.expected) << c.what;
    }
  }
};

TEST_F(WriteMetadataTest, StagedFilesAndRemovals) {
  run_cases({
      {"a package without dependencies", [](pkg_image&) {}, {},
       "ok\n" + dir + "deps 1 \n" + dir + "files 1 flash/bin/tool\\n\n" + dir + "version 1 16934400 1000\\n\n"},
      {"its lists, in list order, the extra of provides signed",
       [](pkg_image& r) {
         r.depends = {{"zlib", 5, 0, 0}, {"base", 0, 4294967295u, 7}};
         r.provides = {{"svc", 1, 2, -1}};
         r.conflicts = {{"old", 0, 3, -5}};
         r.files = {"/flash/lib/b", "/flash/bin/a", "/", ""};
       },
       {},
       "ok\n" + dir + "conflicts 1 old 0 3\\n\n" + dir + "deps 1 zlib 5 0\\nbase 0 4294967295\\n\n" + dir +
           "files 1 flash/bin/a\\nflash/lib/b\\n\n" + dir + "provides 1 svc 1 2 -1\\n\n" + dir +
           "version 1 16934400 1000\\n\n"},
      {"a bundle member", [](pkg_image& r) { r.bundle = {"sys", v3_1, v3_1, 0}; }, {},
       "ok\n" + dir + "bundle 1 sys\\n\n" + dir + "deps 1 \n" + dir + "files 1 flash/bin/tool\\n\n" + dir +
           "version 1 16934400 1000\\n\n"},
      {"a stand-alone package whose old version was a member", [](pkg_image&) {}, {"bundle"},
       "ok\n" + dir + "bundle 4\n" + dir + "deps 1 \n" + dir + "files 1 flash/bin/tool\\n\n" + dir +
           "version 1 16934400 1000\\n\n"},
      {"stale lists of the old version are removed", [](pkg_image&) {}, {"provides", "conflicts"},
       "ok\n" + dir + "conflicts 4\n" + dir + "deps 1 \n" + dir + "files 1 flash/bin/tool\\n\n" + dir +
           "provides 4\n" + dir + "version 1 16934400 1000\\n\n"},
      {"a bundle record has no files, and a stale one goes",
       [](pkg_image& r) {
         r.is_bundle = true;
         r.files.clear();
       },
       {"files"}, "ok\n" + dir + "deps 1 \n" + dir + "files 4\n" + dir + "version 1 16934400 1000\\n\n"},
      {"disabled by the user", [](pkg_image& r) { r.disabled = r.user_set = true; }, {"enabled"},
       "ok\n" + dir + "deps 1 \n" + dir + "disabled 1 user\\n\n" + dir + "enabled 4\n" + dir +
           "files 1 flash/bin/tool\\n\n" + dir + "version 1 16934400 1000\\n\n"},
      {"disabled automatically", [](pkg_image& r) { r.disabled = true; }, {},
       "ok\n" + dir + "deps 1 \n" + dir + "disabled 1 auto\\n\n" + dir + "files 1 flash/bin/tool\\n\n" + dir +
           "version 1 16934400 1000\\n\n"},
      {"kept enabled by the user", [](pkg_image& r) { r.user_set = true; }, {"disabled"},
       "ok\n" + dir + "deps 1 \n" + dir + "disabled 4\n" + dir + "enabled 1 user\\n\n" + dir +
           "files 1 flash/bin/tool\\n\n" + dir + "version 1 16934400 1000\\n\n"},
      {"enabled automatically has neither state file", [](pkg_image&) {}, {"disabled", "enabled"},
       "ok\n" + dir + "deps 1 \n" + dir + "disabled 4\n" + dir + "enabled 4\n" + dir +
           "files 1 flash/bin/tool\\n\n" + dir + "version 1 16934400 1000\\n\n"},
      {"a package that keeps its image lists only its files",
       [](pkg_image& r) {
         r.keeps_image = true;
         r.depends = {{"zlib", 5, 0, 0}};
         r.bundle.name = "sys";
       },
       {"version", "deps", "provides", "conflicts", "bundle"},
       "ok\n" + dir + "bundle 4\n" + dir + "conflicts 4\n" + dir + "deps 4\n" + dir + "files 1 flash/bin/tool\\n\n" +
           dir + "provides 4\n" + dir + "version 4\n"},
      {"no metadata and no files",
       [](pkg_image& r) {
         r.flags = PKG_FLAG_NO_METADATA;
         r.files.clear();
         r.disabled = true;
       },
       {"version", "files"},
       "ok\n" + dir + "disabled 1 auto\\n\n" + dir + "files 4\n" + dir + "version 4\n"},
  });
}

// The stored form of a full path loads back as the same path.
TEST_F(WriteMetadataTest, FilesRoundTripThroughTheLoader) {
  device_root root;
  root.make_dirs(dir);
  pkg_image record = tool_package();
  record.files = {"/flash/bin/tool", "/flash/etc/a b", "/flash/lib/x.so"};
  std::string result = run_in_root(root, [&record] {
    pkg_repo repository;
    manifest m;
    if (!write_metadata(repository, record, m)) return std::string("failed");
    std::string text;
    if (std::FILE* file = std::fopen(m.ops.at(dir + "files").source.c_str(), "rb")) {
      int c;
      while ((c = std::fgetc(file)) != EOF) text.push_back(static_cast<char>(c));
      std::fclose(file);
    }
    discard(m);
    return text;
  });
  EXPECT_EQ(result, "flash/bin/tool\nflash/etc/a b\nflash/lib/x.so\n");
}

// Flash and ram on their own small file systems inside a private mount
// namespace of the child, filled or made read-only before write_metadata runs.
enum class flash_fault { full, read_only };

// Puts the root's flash and ram on small file systems of their own in a
// private mount namespace of the child: both filled up, or flash read-only.
std::string mount_flash(const device_root& root, flash_fault fault) {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return std::string("no mount namespace: ") + std::strerror(errno);
  for (const char* where : {"/flash", "/ram"})
    if (mount("tmpfs", root.at(where).c_str(), "tmpfs", 0, "size=256k") != 0)
      return std::string("mount failed: ") + std::strerror(errno);
  if (mkdir(root.at("/flash/var").c_str(), 0755) != 0 || mkdir(root.at("/flash/var/pdb").c_str(), 0755) != 0 ||
      mkdir(root.at(dir).c_str(), 0755) != 0)
    return "mkdir failed";
  if (fault == flash_fault::read_only) {
    if (mount(nullptr, root.at("/flash").c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0)
      return std::string("remount failed: ") + std::strerror(errno);
    return {};
  }
  for (const char* where : {"/flash/fill", "/ram/fill"}) {
    int fd = open(root.at(where).c_str(), O_WRONLY | O_CREAT, 0600);
    char block[4096] = {};
    while (write(fd, block, sizeof block) > 0) {
    }
    close(fd);
  }
  return {};
}

std::string stage_with_fault(const device_root& root, const pkg_image& record, flash_fault fault) {
  return run_in_root(
      root,
      [&record] {
        pkg_repo repository;
        char* data = nullptr;
        size_t size = 0;
        repository.out = open_memstream(&data, &size);
        manifest m;
        bool ok = write_metadata(repository, record, m);
        std::fclose(repository.out);
        std::string printed(data, size);
        std::free(data);
        discard(m);
        return std::string(ok ? "ok\n" : "failed\n") + printed;
      },
      [&root, fault] { return mount_flash(root, fault); });
}

TEST_F(WriteMetadataTest, WriteFailuresAreReportedWithTheirLabel) {
  pkg_image plain = tool_package();
  pkg_image image_disabled = tool_package();
  image_disabled.keeps_image = true;
  image_disabled.files.clear();
  image_disabled.disabled = true;
  pkg_image image_enabled = image_disabled;
  image_enabled.disabled = false;
  image_enabled.user_set = true;
  const struct {
    const char* what;
    const pkg_image& record;
    flash_fault fault;
    const char* expected;
  } cases[] = {
      {"a full flash fails the version file at close", plain, flash_fault::full,
       "failed\nERROR: installation of tool-1.2 failed: disk is too small\n"},
      {"a full flash fails a state file too", image_disabled, flash_fault::full,
       "failed\nERROR: installation of tool-1.2 failed: disk is too small\n"},
      {"read-only flash", plain, flash_fault::read_only,
       "failed\nERROR: installation of tool-1.2 failed: could not create meta/version: Read-only file system\n"},
      {"read-only flash, disabled", image_disabled, flash_fault::read_only,
       "failed\nERROR: installation of tool-1.2 failed: could not create meta/disabled: Read-only file system\n"},
      {"read-only flash, enabled", image_enabled, flash_fault::read_only,
       "failed\nERROR: installation of tool-1.2 failed: could not create meta/enabled: Read-only file system\n"},
  };
  for (const auto& c : cases) {
    device_root root;
    EXPECT_EQ(stage_with_fault(root, c.record, c.fault), c.expected) << c.what;
  }
}

}  // namespace
