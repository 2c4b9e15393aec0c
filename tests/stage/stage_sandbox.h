// Test tool of the staging tests: runs a test body in a child process that
// sees a router's trees as its whole file system.
//
// The child enters a private mount namespace, mounts a fresh tmpfs as its
// root holding "/flash" and "/ram" (each a tmpfs of its own, so moves between
// them cross file systems) and "/tmp", and changes root into it. Free space,
// "/ram/MANIFEST" and the absolute paths of the staging code are then under
// the test's control, and nothing on the host is touched. Assertions in the
// body are reported by the child; the parent fails when the child failed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <gtest/gtest.h>

namespace stage_test {

struct sandbox_options {
  uint64_t flash_bytes = 1 << 20;  // size of the /flash tmpfs
  uint64_t ram_bytes = 4 << 20;    // size of the /ram tmpfs; 0: no /ram at all
  bool boot_dir = true;            // create /flash/boot
};

enum class sandbox_status { passed, failed, unavailable };

// Runs `body` in the sandbox and adds a failure when the child failed.
// `*why` says what is missing when unavailable.
sandbox_status run_in_sandbox(const sandbox_options& options, const std::function<void()>& body,
                              std::string* why);

// Small file helpers for use inside a body (plain paths, no root prefix).
void write_file(const std::string& path, const std::string& content, unsigned mode = 0644);
std::string read_file(const std::string& path);  // "" when missing
bool exists(const std::string& path);            // lstat succeeds
// Free bytes of the file system holding path (f_bfree x f_bsize).
uint64_t free_bytes(const std::string& path);
// What `fn` wrote to standard error.
std::string capture_stderr(const std::function<void()>& fn);
// Entries of a directory, sorted, without "." and "..".
std::string list_dir(const std::string& path);

}  // namespace stage_test

// Runs the body (a lambda) in a sandbox; skips the test with the reason when
// mount namespaces or tmpfs are not available.
#define IN_SANDBOX(options, ...)                                                              \
  do {                                                                                     \
    std::string sandbox_why;                                                               \
    auto sandbox_result = stage_test::run_in_sandbox((options), (__VA_ARGS__), &sandbox_why);     \
    if (sandbox_result == stage_test::sandbox_status::unavailable) GTEST_SKIP() << sandbox_why; \
  } while (0)
