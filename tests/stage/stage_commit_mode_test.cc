// The --commit and --cancel runs of the real program on a device root whose
// flash and ram are separate small tmpfs file systems, with manifests as a
// --safe upgrade leaves them in ram/MANIFEST.
#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "support/device_root.h"

namespace {

using testsupport::device_root;
using testsupport::run_installer;
using testsupport::run_options;
using testsupport::run_result;

constexpr size_t chunk = 16384;
constexpr const char* finishing = "finishing install... ";

std::string pattern(size_t size, char seed) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>(seed + (i / 997 + i) % 23);
  return text;
}

class CommitMode : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!testsupport::can_mount_tmpfs(&why)) GTEST_SKIP() << why;
  }
  run_result run(const char* mode, uint64_t flash_bytes = 1 << 20) {
    run_options options;
    options.flash_bytes = flash_bytes;
    options.ram_bytes = 2 << 20;
    options.slash_root = root_.path();  // --commit and --cancel act on the root at "/"
    return run_installer({mode}, options);
  }
  std::string mode_of(const std::string& device_path) const {
    auto entries = root_.snapshot("/flash");
    auto it = entries.find(device_path.substr(std::strlen("/flash/")));
    return it == entries.end() ? "(missing)" : it->second.substr(0, it->second.find(' ', 2));
  }

  device_root root_;
};

// Only the erasing spinner characters may stand between the two fixed texts.
void expect_spinner_output(const std::string& out) {
  const std::string start = std::string(finishing) + "|";
  ASSERT_GE(out.size(), start.size() + 3) << out;
  EXPECT_EQ(out.substr(0, start.size()), start) << "the copy draws the spinner";
  EXPECT_EQ(out.substr(out.size() - 3), "\b \n");
  std::string middle = out.substr(start.size(), out.size() - start.size() - 3);
  for (size_t i = 0; i < middle.size(); i += 2) {
    EXPECT_EQ(middle[i], '\b') << out;
    EXPECT_NE(std::string("|/-\\").find(middle[i + 1]), std::string::npos) << out;
  }
}

TEST_F(CommitMode, CarriesOutSavedManifest) {
  for (const char* file : {"/flash/old/a", "/flash/old/b", "/flash/old/.keep"}) root_.write_file(file, "old");
  root_.write_file("/flash/var/pdb/pkg/image", "an old image file");
  root_.write_file("/flash/.installer-AAAAAA", "moved within flash", 0700);
  const std::string library = pattern(3 * chunk + 100, 'a');
  root_.write_file("/ram/.installer-BBBBBB", library, 04751);
  root_.write_file("/ram/MANIFEST",
                   "M /flash/bin/new/tool /flash/.installer-AAAAAA\n"
                   "M /flash/lib/x.so /ram/.installer-BBBBBB\n"
                   "U /flash/old\n"
                   "L /flash/var/pdb/pkg/image /flash/bootimage\n");
  run_result result = run("--commit");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  expect_spinner_output(result.out);
  auto flash = root_.snapshot("/flash");
  EXPECT_EQ(flash["bin/new/tool"], "f 700 moved within flash");
  EXPECT_EQ(root_.read_file("/flash/lib/x.so"), library);
  EXPECT_EQ(mode_of("/flash/lib/x.so"), "f 4751");
  EXPECT_EQ(flash["var/pdb/pkg/image"], "l /flash/bootimage");
  EXPECT_FALSE(root_.exists("/flash/old/a"));
  EXPECT_FALSE(root_.exists("/flash/old/b"));
  EXPECT_TRUE(root_.exists("/flash/old/.keep"));
  EXPECT_FALSE(root_.exists("/flash/.installer-AAAAAA"));
  EXPECT_TRUE(root_.exists("/ram/.installer-BBBBBB")) << "a loaded move's source stays";
  EXPECT_TRUE(root_.exists("/ram/MANIFEST")) << "--commit leaves the file in place";
}

TEST_F(CommitMode, NoManifestCommitsNothing) {
  root_.write_file("/flash/file", "x");
  auto before = root_.snapshot("/flash");
  run_result result = run("--commit");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, std::string(finishing) + "\b \n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(root_.snapshot("/flash"), before);
}

// A copy from ram that meets a full flash used to leave the target cut short,
// and later to leave the other changes made and report success: now every
// copy is made before anything is renamed, and a failed one changes nothing.
TEST_F(CommitMode, CopyThatMeetsFullFlashKeepsOldTarget) {
  const std::string old_library = pattern(40000, 'A');
  root_.write_file("/flash/lib/x.so", old_library, 0755);
  root_.write_file("/flash/old", "kept");
  root_.write_file("/ram/.installer-CCCCCC", pattern(300 << 10, 'n'));
  root_.write_file("/ram/MANIFEST", "M /flash/lib/x.so /ram/.installer-CCCCCC\nU /flash/old\n");
  run_result result = run("--commit", 256 << 10);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, std::string(finishing) + "|\b \nERROR: commit failed: could not copy /ram/.installer-CCCCCC to " +
                            "/flash/lib/x.so: " + std::strerror(ENOSPC) + "\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(root_.read_file("/flash/old"), "kept");
  EXPECT_EQ(root_.read_file("/flash/lib/x.so"), old_library);
  EXPECT_EQ(mode_of("/flash/lib/x.so"), "f 755");
  EXPECT_EQ(root_.snapshot("/flash/lib").size(), 1u) << "no temporary left beside it";
}

// A cancelled --safe upgrade left its staged temporaries on flash and ram.
TEST_F(CommitMode, CancelDeletesStagedTemporariesAndTheManifest) {
  root_.write_file("/flash/.installer-DDDDDD", "staged beside its target");
  root_.write_file("/ram/.installer-EEEEEE", "staged in ram");
  root_.write_file("/rw/pckg/.download/pkg.npk", "a download");
  root_.write_file("/flash/keep", "installed");
  root_.write_file("/ram/MANIFEST",
                   "M /flash/bin/a /flash/.installer-DDDDDD\n"
                   "M /flash/bin/b /ram/.installer-EEEEEE\n"
                   "M /flash/var/pdb/pkg/image /rw/pckg/.download/pkg.npk\n"
                   "U /flash/keep\n"
                   "L /flash/var/pdb/pkg/link /flash/keep\n");
  run_result result = run("--cancel");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  EXPECT_FALSE(root_.exists("/flash/.installer-DDDDDD"));
  EXPECT_FALSE(root_.exists("/ram/.installer-EEEEEE"));
  EXPECT_FALSE(root_.exists("/ram/MANIFEST"));
  EXPECT_EQ(root_.read_file("/rw/pckg/.download/pkg.npk"), "a download");
  EXPECT_EQ(root_.read_file("/flash/keep"), "installed");
  EXPECT_FALSE(root_.exists("/flash/bin"));
}

}  // namespace
