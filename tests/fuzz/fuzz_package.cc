// libFuzzer target: reads a package file the way installation does, header,
// files and signature, from arbitrary bytes.
//
// Extraction stages real files at absolute paths, so the fuzzer first moves
// into a private scratch root of its own (a user and mount namespace when it
// is not root) and discards every staged file after each input. The working
// directory stays where it was, so give libFuzzer its corpus and artifact
// paths relative to it; absolute paths then resolve inside the scratch root.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "pkgdb/record.h"
#include "pkgfile/extract.h"
#include "pkgfile/pkg_format.h"
#include "pkgfile/pkg_stream.h"
#include "pkgfile/verify.h"
#include "stage/manifest.h"

namespace {

void write_text(const char* path, const std::string& text) {
  int fd = open(path, O_WRONLY);
  if (fd < 0) return;
  ssize_t ignored = write(fd, text.data(), text.size());
  (void)ignored;
  close(fd);
}

// Changes root into a fresh scratch directory; aborts when that is
// impossible, because extraction must never write into the real trees.
void enter_scratch_root() {
  char pattern[] = "/tmp/fuzz-package-XXXXXX";
  char* root = mkdtemp(pattern);
  if (!root) std::abort();
  for (const char* dir : {"/flash", "/ram", "/tmp", "/proc"}) mkdir((std::string(root) + dir).c_str(), 0755);
  uid_t uid = geteuid();
  gid_t gid = getegid();
  if (unshare(uid == 0 ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS) != 0) {
    std::perror("fuzz_package: unshare");
    std::abort();
  }
  if (uid != 0) {
    write_text("/proc/self/setgroups", "deny");
    write_text("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    write_text("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
  }
  // The sanitizers read /proc at exit; it stays visible inside the root.
  std::string proc = std::string(root) + "/proc";
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("/proc", proc.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
    std::perror("fuzz_package: mount");
    std::abort();
  }
  if (chroot(root) != 0) {
    std::perror("fuzz_package: chroot");
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  enter_scratch_root();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::stringbuf source(std::string(reinterpret_cast<const char*>(data), size), std::ios_base::in);
  std::stringbuf copy;
  pkg_stream stream(&source, true, &copy);
  stream.wanted_types = {part_package_header, part_bundle_header, part_bundle_members,
                         part_architecture, part_depends, part_provides, part_conflicts,
                         part_image_payload, part_files, part_signature};
  pkg_repo repository;
  repository.quiet = true;
  manifest m;
  pkg_image record;
  int type = stream.next_part();
  while (type >= 0) {
    if (type == part_package_header || type == part_bundle_header) {
      record = pkg_image();
      if (!read_package_header(record, stream)) break;
      type = stream.type();
      continue;
    }
    if (type == part_bundle_members) {
      std::vector<pkg_dep> members;
      read_dep_list(stream, members);
    } else if (type == part_files && !record.name.empty()) {
      if (!extract_files(repository, record, m, stream)) break;
    } else if (type == part_signature) {
      verify_package(stream.buf());
    }
    type = stream.next_part();
  }
  discard(m);
  return 0;
}
