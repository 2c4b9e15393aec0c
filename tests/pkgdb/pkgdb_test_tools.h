// Shared tools of the unit tests: code that works on the device's absolute
// paths runs in this process with the file-system seam's device root set to
// a temporary device root, and what the program prints is caught in a memory
// stream; records and small file tools for the tests that run there.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "model/record.h"

namespace testsupport {
class device_root;
}
struct console;
struct manifest;

namespace pkgdb_test {

// Runs `body` on the device root and returns what it returned. `prepare`,
// when given, runs first; a text it returns is the result, and the body does
// not run. The console, the umask and the alarm are as before afterwards.
// The body reaches device paths through the seam (fs::, put, got, exists,
// list_dir) or as root.at(path): the process keeps its own root.
std::string run_in_root(const testsupport::device_root& root, const std::function<std::string()>& body,
                        const std::function<std::string()>& prepare = {});

// Runs `body` on a fresh device root; with sizes given, its /flash and /ram
// are tmpfs file systems of their own of that many bytes (mounted in this
// process's own mount namespace, as root only: skipped otherwise).
void in_device_root(const std::function<void()>& body, uint64_t flash_bytes = 0, uint64_t ram_bytes = 0);

// What `fn` printed on a fresh console it is given (messages, progress line
// and spinner alike).
std::string printed(const std::function<void(console&)>& fn);

constexpr uint32_t v2 = 0x02006600, v3 = 0x03006600, v4 = 0x04006600;

inline pkg_dep dep(const std::string& name, uint32_t min = 0, uint32_t max = 0, int32_t extra = 0) {
  return {name, min, max, extra};
}
template <class R = pkg_record>
R rec(const std::string& name, uint32_t version = v2, uint32_t build_time = 0) {
  R r(name);
  r.version = version;
  r.build_time = build_time;
  return r;
}

// Files of the device root, by device path: a failed write fails the test;
// a missing file reads as empty; list_dir gives the sorted names,
// blank-separated.
void put(const std::string& path, const std::string& content, mode_t mode = 0644);
std::string got(const std::string& path);
bool exists(const std::string& path);
std::string list_dir(const std::string& path);
// "target=kind:source;" per manifest entry in key order.
std::string ops_text(const manifest& m);
// Stages a file of `size` bytes for `target`, filled with 'x' when `fill`.
bool stage_file(manifest& m, const std::string& target, uint64_t size, mode_t mode = 0644, bool fill = false);

}  // namespace pkgdb_test
