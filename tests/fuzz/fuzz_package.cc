// libFuzzer target: reads a package file the way installation does, header,
// files and signature, from arbitrary bytes.
//
// Extraction stages real files at absolute paths, so the fuzzer first moves
// into a private scratch root of its own (fuzz_root.h) and discards every
// staged file after each input.
#include <cstdlib>
#include <sstream>
#include <string>

#include "fuzz_root.h"
#include "install/unpack.h"
#include "msg/msg.h"
#include "pkgdb/repo.h"
#include "pkgfile/pkg_format.h"
#include "pkgfile/pkg_stream.h"
#include "pkgfile/verify.h"
#include "stage/manifest.h"

namespace {

// A staged target must lie below "/flash/" and be a plain path: no "..",
// "." or empty component and no trailing "/", whatever the entry names said.
bool is_plain_flash_path(const std::string& target) {
  if (target.rfind("/flash/", 0) != 0 || target.back() == '/') return false;
  for (size_t start = 1; start < target.size();) {
    size_t end = target.find('/', start);
    if (end == std::string::npos) end = target.size();
    std::string_view component(target.data() + start, end - start);
    if (component.empty() || component == "." || component == "..") return false;
    for (char c : component)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::enter_scratch_root("package", {"/flash", "/ram", "/tmp"});
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
  terminal().quiet = true;
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
      if (!extract_files(record, m, stream)) break;
    } else if (type == part_signature) {
      verify_package(stream.buf());
    }
    type = stream.next_part();
  }
  for (const auto& [target, op] : m.ops)
    if (!is_plain_flash_path(target)) std::abort();
  // The copy output holds exactly a prefix of what was read, byte for byte.
  const std::string copied = copy.str();
  if (copied.size() > size || copied.compare(0, copied.size(), reinterpret_cast<const char*>(data), copied.size()) != 0)
    std::abort();
  discard(m);
  return 0;
}
