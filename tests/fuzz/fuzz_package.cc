// libFuzzer target: reads a package file the way installation does, header,
// files and signature, from arbitrary bytes. Extraction stages real files at
// absolute paths, inside the target's scratch root; every staged file is
// discarded after each input.
#include <algorithm>

#include "fuzz_root.h"
#include "install/unpack.h"
#include "model/record.h"
#include "msg/msg.h"
#include "pkgfile/pkg_format.h"
#include "pkgfile/pkg_stream.h"
#include "pkgfile/verify.h"
#include "stage/manifest.h"

FUZZ_TARGET("package", "/flash", "/ram", "/tmp") {
  memory_source source(input);
  string_sink copy;
  pkg_stream stream(source, true, &copy);
  stream.wanted_types = parts_of({part_package_header, part_bundle_header, part_bundle_members, part_architecture,
                         part_depends,        part_provides,      part_conflicts,      part_image_payload,
                         part_files,          part_signature});
  console screen;
  screen.quiet = true;
  manifest m;
  pkg_image record;
  for (int type = stream.next_part(); type >= 0;) {
    if (type == part_package_header || type == part_bundle_header) {
      record = pkg_image();
      if (!read_package_header(record, stream)) break;
      type = stream.type();
      continue;
    }
    std::vector<pkg_dep> members;
    if (type == part_bundle_members) read_dep_list(stream, members);
    if (type == part_files && !record.name.empty() && !extract_files(screen, record, m, stream)) break;
    if (type == part_signature) verify_package(stream);
    type = stream.next_part();
  }
  // A staged target lies below "/flash/" and is a plain path: no "..", "."
  // or empty component, no trailing "/" and no control character, whatever
  // the entry names said.
  for (const auto& [target, op] : m.ops)
    fuzz::require(target.starts_with("/flash/") && !target.ends_with('/') &&
                  std::filesystem::path(target).lexically_normal().native() == target &&
                  std::none_of(target.begin(), target.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; }));
  // The copy output holds exactly a prefix of what was read, byte for byte.
  fuzz::require(input.starts_with(copy.bytes));
  discard(m);
}
