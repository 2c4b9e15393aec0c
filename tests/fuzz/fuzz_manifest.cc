// libFuzzer target: loads arbitrary bytes as the saved manifest
// "/ram/MANIFEST", then saves what was loaded and loads it again. The second
// load must give back exactly the entries of the first: a path that does not
// survive the round trip would make a later --commit move a wrong file onto
// a wrong path.
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_root.h"
#include "stage/manifest.h"

namespace {

constexpr const char* saved_path = "/ram/MANIFEST";
constexpr const char* resaved_path = "/ram/MANIFEST.again";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::enter_scratch_root("manifest", {"/ram", "/flash"});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::write_file(saved_path, std::string_view(reinterpret_cast<const char*>(data), size));
  manifest loaded;
  load_manifest(loaded, saved_path);
  for (const auto& [target, op] : loaded.ops) {
    // A loaded manifest owns no staged file, and a removal has no source.
    if (op.kind != OP_MOVE && op.kind != OP_LINK && op.kind != OP_REMOVE) std::abort();
    if (op.kind == OP_REMOVE && !op.source.empty()) std::abort();
  }
  if (!save_manifest(loaded, resaved_path)) std::abort();
  manifest again;
  bool reloaded = load_manifest(again, resaved_path);
  if (!loaded.empty() && !reloaded) std::abort();
  if (again.ops.size() != loaded.ops.size()) std::abort();
  for (auto a = loaded.ops.begin(), b = again.ops.begin(); a != loaded.ops.end(); ++a, ++b)
    if (a->first != b->first || a->second.kind != b->second.kind || a->second.source != b->second.source)
      std::abort();
  // What --commit accepts stays in the device's trees: no entry it keeps
  // may name a path outside them, or walk out of them with "..".
  manifest judged;
  std::string refusal;
  load_manifest(judged, saved_path, &refusal);
  for (const auto& [target, op] : judged.ops) {
    bool below = target.starts_with("/flash/") || (op.kind == OP_REMOVE && target.starts_with("/rw/pckg/.images/"));
    if (!below || target.find("/../") != std::string::npos || target.ends_with("/..")) std::abort();
    if (op.kind == OP_LINK && !op.source.starts_with("/flash/")) std::abort();
  }
  // Nothing here may own a staged file; discard deletes nothing on disk.
  discard(loaded);
  discard(again);
  discard(judged);
  return 0;
}
