// Scratch trees for the fuzz targets.
//
// Every reader that a fuzz target drives works on absolute device paths
// ("/flash/var/pdb/...", "/ram/MANIFEST"), so the target first changes root
// into a private scratch directory (a user and mount namespace when it is not
// root) and then writes each input's files there. The working directory stays
// where it was, so libFuzzer's corpus and artifact paths are given relative
// to it; absolute paths resolve inside the scratch root.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>

namespace fuzz {

// Creates the scratch root, a tmpfs with the given directories ("/proc" and a
// read-only "/usr" are always there, bound to the machine's own for the
// sanitizers and their symbolizer), and changes root into it. Aborts when
// that is impossible: a fuzz target must never write into the real trees.
void enter_scratch_root(const char* tag, std::initializer_list<const char*> dirs);

// Writes `content` to `path` (created or truncated); aborts on failure.
void write_file(const std::string& path, std::string_view content);
// Creates `path` and its missing parents; removes `path` and all below it.
inline void make_dirs(const std::string& path) { std::error_code e; std::filesystem::create_directories(path, e); }
inline void remove_tree(const std::string& path) { std::error_code e; std::filesystem::remove_all(path, e); }

// A property that does not hold ends the run, and libFuzzer keeps the input.
inline void require(bool holds) {
  if (!holds) std::abort();
}

}  // namespace fuzz

// The two entry points of a target: its scratch root (a tag and the
// directories in it) made once, then the block after the macro run for every
// input, which it gets as `input`.
#define FUZZ_TARGET(tag, ...)                                               \
  static void fuzz_one(std::string_view input);                             \
  extern "C" int LLVMFuzzerInitialize(int*, char***) {                      \
    fuzz::enter_scratch_root(tag, {__VA_ARGS__});                           \
    return 0;                                                               \
  }                                                                         \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { \
    fuzz_one(std::string_view(reinterpret_cast<const char*>(data), size));  \
    return 0;                                                               \
  }                                                                         \
  static void fuzz_one(std::string_view input)
