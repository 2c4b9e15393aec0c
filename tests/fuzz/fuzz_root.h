// Scratch trees for the fuzz targets.
//
// Every reader that a fuzz target drives works on absolute device paths
// ("/flash/var/pdb/...", "/ram/MANIFEST"), which the program hands to its
// file-system seam: the target makes a private scratch directory (a tmpfs in
// a mount namespace of its own, and a user namespace when it is not root),
// sets it as the seam's device root, and writes each input's files below it.
// libFuzzer's corpus and artifact paths stay the machine's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>

namespace fuzz {

// Creates the scratch root, a tmpfs with the given device directories, and
// makes it the seam's device root. Aborts when that is impossible.
void enter_scratch_root(const char* tag, std::initializer_list<const char*> dirs);

// Where a device path of the scratch trees is on this machine.
std::string scratch_path(const std::string& device_path);
// Writes `content` to the device path (created or truncated); aborts on failure.
void write_file(const std::string& path, std::string_view content);
// Creates the device path and its missing parents; removes it and all below it.
inline void make_dirs(const std::string& path) {
  std::error_code e;
  std::filesystem::create_directories(scratch_path(path), e);
}
inline void remove_tree(const std::string& path) {
  std::error_code e;
  std::filesystem::remove_all(scratch_path(path), e);
}

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
