// Shared tools of the unit tests: code that works on the device's absolute
// paths runs in a child process changed into a device root, and what the
// program prints is caught in a memory stream.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace testsupport {
class device_root;
}

namespace pkgdb_test {

// Runs `body` in a child process whose root is the device root and returns
// what it returned. `prepare`, when given, runs in the child before the root
// change; a text it returns ends the child with that text as the result. A
// child that cannot change root or dies fails the test.
std::string run_in_root(const testsupport::device_root& root, const std::function<std::string()>& body,
                        const std::function<std::string()>& prepare = {});

// True when this process may change root (tests skip otherwise).
bool can_change_root();

// Runs `body` in a child changed into a fresh device root; with sizes given,
// its /flash and /ram are tmpfs file systems of their own of that many bytes
// (in a private mount namespace). A failure inside the body fails the test.
void in_device_root(const std::function<void()>& body, uint64_t flash_bytes = 0, uint64_t ram_bytes = 0);

// What `fn` printed to the stream it is given. The terminal's stream, which
// `fn` may point at it, is put back afterwards.
std::string printed(const std::function<void(std::FILE*)>& fn);

}  // namespace pkgdb_test
