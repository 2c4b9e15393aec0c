// The test tools themselves: a snapshot must notice every kind of change, and
// the runner must really give the installer separate outputs, a clean
// environment and size-limited file systems.
#include "support/device_root.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <functional>

namespace testsupport {
namespace {

TEST(DeviceRoot, SnapshotNoticesEveryKindOfChange) {
  const struct {
    const char* what;
    std::function<void(const device_root&)> change;
  } changes[] = {
      {"nothing", [](const device_root&) {}},
      {"content of the same length", [](const device_root& r) { r.write_file("/flash/a/file", "abd"); }},
      {"mode", [](const device_root& r) { r.write_file("/flash/a/file", "abc", 0600); }},
      {"link target", [](const device_root& r) {
         r.remove("/flash/link");
         r.symlink("/flash/b", "/flash/link");
       }},
      {"new empty directory", [](const device_root& r) { r.make_dirs("/flash/a/new"); }},
      {"removed file", [](const device_root& r) { r.remove("/flash/a/file"); }},
      {"file turned link", [](const device_root& r) {
         r.remove("/flash/a/file");
         r.symlink("abc", "/flash/a/file");
       }},
  };
  for (const auto& c : changes) {
    device_root root;
    root.write_file("/flash/a/file", "abc");
    root.symlink("/flash/a", "/flash/link");
    auto before = root.snapshot();
    c.change(root);
    if (std::string(c.what) == "nothing")
      EXPECT_EQ(root.snapshot(), before);
    else
      EXPECT_NE(root.snapshot(), before) << c.what;
  }
}

TEST(DeviceRoot, SnapshotCoversOnlyTheNamedTree) {
  device_root root;
  auto before = root.snapshot("/flash");
  root.write_file("/ram/pdb/x/schedule", "1");
  EXPECT_EQ(root.snapshot("/flash"), before);
  EXPECT_EQ(root.snapshot("/ram").at("pdb/x/schedule"), "f 644 1");
}

class Runner : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!can_mount_tmpfs(&why)) GTEST_SKIP() << why;
  }
  // Runs a shell command in the installer's place, inside the namespace of `root`.
  run_result shell(const std::string& command, run_options opts = {}) {
    opts.prefix = {"/bin/sh", "-c", command, "sh"};
    return run_installer({"-r", root.path()}, opts);
  }
  device_root root;
};

TEST_F(Runner, KeepsInputOutputsStatusAndEnvironmentApart) {
  run_options opts;
  opts.input = std::string(200000, 'x');  // more than a pipe holds
  opts.env = {{"board", "b1"}, {"arch", ""}};
  run_result result = shell(R"(wc -c; echo "[$board|${arch-unset}|${HOME-unset}]" >&2; exit 5)", opts);
  EXPECT_EQ(result.out, "200000\n");
  EXPECT_EQ(result.err, "[b1||unset]\n");
  EXPECT_EQ(result.status, 5);
}

TEST_F(Runner, ReportsDeathBySignal) {
  EXPECT_EQ(shell("kill -TERM $$").status, 128 + 15);
}

TEST_F(Runner, RunSeesTheDeviceTreesAtTheTop) {
  device_root other;
  other.write_file("/ram/MANIFEST", "other");
  root.write_file("/flash/var/marker", "mine");
  run_options opts;
  opts.slash_root = other.path();
  run_result result = shell("cat /ram/MANIFEST; echo new > /ram/written; echo link > /flash/var/x", opts);
  EXPECT_EQ(result.out, "other");
  EXPECT_TRUE(other.exists("/ram/written"));
  EXPECT_FALSE(root.exists("/ram/written"));
  EXPECT_TRUE(other.exists("/flash/var/x"));

  result = shell("cat /flash/var/marker");  // slash root taken from -r
  EXPECT_EQ(result.out, "mine");
}

TEST_F(Runner, TmpfsPlacementFillsUpAndCopiesBack) {
  root.write_file("/flash/var/before", "kept");
  run_options opts;
  opts.flash_bytes = 64 * 1024;
  opts.ram_bytes = 64 * 1024;
  run_result result = shell(
      "cat /flash/var/before; echo small > /flash/small; "
      "head -c 200000 /dev/zero > /flash/big 2>/dev/null && echo fits; "
      "test $(stat -c %d /flash) != $(stat -c %d /ram) && echo apart; "
      "test $(stat -c %d /flash) != $(stat -c %d /rw) && echo apart; "
      "rm /flash/var/before",
      opts);
  EXPECT_EQ(result.out, "keptapart\napart\n") << result.err;
  EXPECT_EQ(root.read_file("/flash/small"), "small\n");
  EXPECT_FALSE(root.exists("/flash/var/before"));
  EXPECT_LE(root.read_file("/flash/big").size(), 64u * 1024);
}

TEST_F(Runner, ContentTooLargeForTheTmpfsFailsTheRun) {
  root.write_file("/flash/var/large", std::string(256 * 1024, 'x'));
  run_options opts;
  opts.flash_bytes = 64 * 1024;
  run_result result;
  EXPECT_NONFATAL_FAILURE(result = shell("true", opts), "cannot copy /flash onto its tmpfs");
  EXPECT_EQ(result.status, -1);
}

}  // namespace
}  // namespace testsupport
