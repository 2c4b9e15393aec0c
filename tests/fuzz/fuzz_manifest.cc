// libFuzzer target: loads arbitrary bytes as the saved manifest
// "/ram/MANIFEST", then saves what was loaded and loads it again. The second
// load must give back exactly the entries of the first: a path that does not
// survive the round trip would make a later --commit move a wrong file onto
// a wrong path.
#include "fuzz_root.h"
#include "stage/manifest.h"

FUZZ_TARGET("manifest", "/ram", "/flash") {
  fuzz::write_file("/ram/MANIFEST", input);
  manifest loaded, again, judged;
  load_manifest(loaded, "/ram/MANIFEST");
  // A loaded manifest owns no staged file, and a removal has no source.
  for (const auto& [target, op] : loaded.ops)
    fuzz::require((op.kind == OP_MOVE || op.kind == OP_LINK || op.kind == OP_REMOVE) &&
                  (op.kind != OP_REMOVE || op.source.empty()));
  fuzz::require(save_manifest(loaded, "/ram/MANIFEST.again"));
  fuzz::require(load_manifest(again, "/ram/MANIFEST.again") || loaded.empty());
  fuzz::require(again.ops.size() == loaded.ops.size());
  for (auto a = loaded.ops.begin(), b = again.ops.begin(); a != loaded.ops.end(); ++a, ++b)
    fuzz::require(a->first == b->first && a->second.kind == b->second.kind && a->second.source == b->second.source);
  // What --commit accepts stays in the device's trees: no entry it keeps
  // may name a path outside them, or walk out of them with "..".
  std::string refusal;
  load_manifest(judged, "/ram/MANIFEST", &refusal);
  for (const auto& [target, op] : judged.ops) {
    bool below = target.starts_with("/flash/") || (op.kind == OP_REMOVE && target.starts_with("/rw/pckg/.images/"));
    fuzz::require(below && target.find("/../") == std::string::npos && !target.ends_with("/.."));
    fuzz::require(op.kind != OP_LINK || op.source.starts_with("/flash/"));
  }
  // Nothing here may own a staged file; discard deletes nothing on disk.
  discard(loaded);
  discard(again);
  discard(judged);
}
