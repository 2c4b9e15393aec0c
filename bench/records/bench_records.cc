// Benchmark of what the per-file records of one package cost on the heap:
// the manifest entry of each staged file and the installed package's "files"
// set, recorded as extraction records them, for a package of many files.
//
//   bench_records [FILES]   (10000 when not given)
//
// Prints the heap bytes the records take (mallinfo2's allocated bytes,
// mapped blocks included, so malloc's own overhead counts) in all and per
// file, and the time taken.
// Nothing is written to any file system: the staged names are only made up.
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "model/record.h"
#include "stage/manifest.h"

namespace {

// "/flash/usr/share/benchpkg/dir07/file0123.dat", a hundred files to a
// directory, in a shuffled order: a package lists its files in any order.
std::vector<std::string> targets(size_t count) {
  std::vector<std::string> paths;
  char path[96];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(path, sizeof path, "/flash/usr/share/benchpkg/dir%02zu/file%04zu.dat", i / 100, i % 100);
    paths.push_back(path);
  }
  std::shuffle(paths.begin(), paths.end(), std::mt19937(7));
  return paths;
}

// A staged file's name as staging makes it: in the target's directory,
// ".installer-" and six letters or digits.
std::string staged_name(const std::string& target, std::mt19937& random) {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string name = target.substr(0, target.rfind('/') + 1) + ".installer-";
  for (int i = 0; i < 6; ++i) name += letters[random() % 62];
  return name;
}

// Allocated bytes: those of the heap and those of the blocks malloc maps on
// their own (the large ones, beyond its mapping threshold).
size_t heap_used() {
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

}  // namespace

int main(int argc, char** argv) {
  size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 10000;
  std::vector<std::string> paths = targets(count);
  std::mt19937 random(11);
  // Made outside the measurement: the staged names are the file system's.
  std::vector<std::string> staged;
  for (const std::string& target : paths) staged.push_back(staged_name(target, random));

  size_t before = heap_used();
  auto start = std::chrono::steady_clock::now();
  {
    manifest m;
    m.dry_run = true;  // nothing to unlink
    pkg_image record("benchpkg");
    for (size_t i = 0; i < count; ++i) {
      add_op(m, paths[i], {OP_STAGED, staged[i]});
      add_listed_file(record.files, m, paths[i]);  // as extraction lists it
    }
    size_t entries = 0;
    for (const auto& entry : m.ops) entries += !entry.first.empty();
    auto took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    size_t used = heap_used() - before;
    std::printf("files=%zu entries=%zu listed=%zu heap=%zu bytes per_file=%.1f bytes (%.3f KiB) time=%.3f s\n", count,
                entries, record.files.size(), used, double(used) / double(count), double(used) / double(count) / 1024,
                took);
  }
  return 0;
}
