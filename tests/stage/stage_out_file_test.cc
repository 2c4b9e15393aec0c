#include "stage/out_file.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "stage_sandbox.h"

namespace {

using stage_test::free_bytes;
using stage_test::read_file;

int create(const std::string& path) { return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644); }

// Small writes are buffered and large ones go straight to the file; the
// bytes must still land in the order they were written.
TEST(OutFile, MixedWritesKeepTheirOrder) {
  char name[] = "/tmp/stage_out_file.XXXXXX";
  int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  std::string expected;
  out_file out;
  out.attach(fd);
  for (size_t size : {size_t{3}, size_t{16380}, size_t{40000}, size_t{1}, size_t{16384}, size_t{7}}) {
    std::string piece(size, static_cast<char>('a' + expected.size() % 26));
    out.write(piece);
    expected += piece;
  }
  EXPECT_TRUE(out.close());
  EXPECT_FALSE(out.is_open());
  EXPECT_EQ(read_file(name), expected);
  unlink(name);
}

TEST(OutFile, UnattachedWriterFailsWithBadDescriptor) {
  out_file out;
  out.write("x");
  EXPECT_TRUE(out.failed());
  EXPECT_EQ(out.error(), EBADF);
  EXPECT_FALSE(out.close());
}

TEST(OutFile, FirstFailureIsKeptAndReportedAtClose) {
  stage_test::sandbox_options options;
  options.flash_bytes = 64 << 10;
  IN_SANDBOX(options, [] {
    int fd = create("/flash/full");
    ASSERT_GE(fd, 0);
    out_file out;
    out.attach(fd);
    std::string block(free_bytes("/flash") + 1, 'x');
    out.write(block);
    EXPECT_TRUE(out.failed());
    out.write("more");
    EXPECT_FALSE(out.close());
    EXPECT_EQ(out.error(), ENOSPC);
    // A new descriptor starts clean.
    ASSERT_EQ(unlink("/flash/full"), 0);
    out.attach(create("/flash/again"));
    out.write("fine");
    EXPECT_TRUE(out.close());
    EXPECT_EQ(read_file("/flash/again"), "fine");
  });
}

}  // namespace
