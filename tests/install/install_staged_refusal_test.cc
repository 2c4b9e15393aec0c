// What a refused package leaves in the manifest. The removal of the version
// it replaces is staged before its files are extracted and before its
// signature is read, so a package refused for its signature has already
// staged both; only the caller's discard keeps it out of the installed tree.
// The installation runs in a child process whose root is a device root, on a
// repository loaded from it, and reports back a transcript.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>

#include "install/install.h"
#include "install/install_e2e.h"
#include "msg/msg.h"
#include "pkgdb/load.h"
#include "pkgdb/pkgdb_test_tools.h"
#include "pkgdb/repo.h"
#include "stage/manifest.h"

namespace installtest {
namespace {

const uint32_t v71 = final_version(7, 1);
const uint32_t v72 = final_version(7, 2);

bool present(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

char kind_letter(uint32_t kind) {
  switch (kind) {
    case OP_REMOVE: return 'U';
    case OP_STAGED: return 'S';
    case OP_LINK: return 'L';
    default: return 'M';
  }
}

// The manifest's entries below the installed tree, and how many of its
// staged temporary files exist.
std::string describe(const manifest& m) {
  std::string text;
  int staged = 0, existing = 0;
  for (const auto& [target, op] : m.ops) {
    text += std::string(1, kind_letter(op.kind)) + " " + target + "\n";
    if (op.kind != OP_STAGED) continue;
    ++staged;
    if (present(op.source)) ++existing;
  }
  return text + "staged files on disk: " + std::to_string(existing) + " of " +
         std::to_string(staged) + "\n";
}

// Installs `bytes` as the stream install does (without the copy) and
// describes the result before and after the discard.
std::string install_then_discard(const std::string& bytes) {
  pkg_repo repository;
  char* printed = nullptr;
  size_t printed_size = 0;
  terminal().out = open_memstream(&printed, &printed_size);
  load_repository(repository, false, "i386");
  manifest m;
  std::stringbuf input(bytes);
  int status = install_stream(repository, m, &input, ALLOW_NEWER, {}, nullptr, nullptr);
  std::fclose(terminal().out);
  std::string text = "status " + std::to_string(status) + "\n";
  for (const std::string& line : visible_lines(std::string(printed, printed_size)))
    text += "said: " + line + "\n";
  std::free(printed);
  text += "installed:";
  for (const pkg_image* record : repository.packages) text += " " + record->name;
  text += '\n';
  text += describe(m);
  std::vector<std::string> sources;
  for (const auto& [target, op] : m.ops)
    if (op.kind == OP_STAGED) sources.push_back(op.source);
  discard(m);
  int left = 0;
  for (const std::string& source : sources) left += present(source) ? 1 : 0;
  return text + "after discard: " + std::to_string(m.ops.size()) + " entries, " +
         std::to_string(left) + " staged files on disk\n";
}

class InstallStagedRefusal : public InstallE2E {
 protected:
  void SetUp() override {
    InstallE2E::SetUp();
    if (IsSkipped()) return;
    if (!pkgdb_test::can_change_root()) GTEST_SKIP() << "needs the right to change root";
    pkgbuild::package_recipe old_recipe = package("alpha", v71, "old");
    old_recipe.files->push_back(file("lib/only-old", "gone with the old version"));
    ASSERT_NO_FATAL_FAILURE(install(build(old_recipe)));
    ASSERT_NO_FATAL_FAILURE(install(build(package("base", v71, "base"))));
  }

  // The transcript of installing `bytes`; flash must be as it was.
  std::string refused(const std::string& bytes) {
    auto before = flash_state(root);
    std::string transcript = pkgdb_test::run_in_root(root, [&] { return install_then_discard(bytes); });
    EXPECT_EQ(flash_state(root), before) << transcript;
    return transcript;
  }

  pkgbuild::package_recipe newer() {
    pkgbuild::package_recipe recipe = package("alpha", v72, "new");
    recipe.files->push_back(file("lib/only-new", "fresh"));
    return recipe;
  }
};

TEST_F(InstallStagedRefusal, BadSignatureHasStagedTheRemovalAndTheFiles) {
  // bin/alpha is in both versions: the new file staged over the old one's
  // removal shows that the removal came first. The database directory's
  // removal was taken back when the directory was claimed again.
  EXPECT_EQ(refused(build(newer(), signing::none)),
            "status 1\n"
            "said: ERROR: installation of alpha-7.2 failed: broken package\n"
            "installed: base\n"
            "S /flash/bin/alpha\n"
            "S /flash/lib/only-new\n"
            "U /flash/lib/only-old\n"
            "staged files on disk: 2 of 2\n"
            "after discard: 0 entries, 0 staged files on disk\n");
}

TEST_F(InstallStagedRefusal, RefusalByTheCandidateCheckStagesNothing) {
  pkgbuild::package_recipe recipe = newer();
  recipe.depends = std::vector<pkg_dep>{dep("gamma")};
  EXPECT_EQ(refused(build(recipe)),
            "status 1\n"
            "said: ERROR: can not install alpha-7.2: gamma is not installed, but is required\n"
            "installed: alpha base\n"
            "staged files on disk: 0 of 0\n"
            "after discard: 0 entries, 0 staged files on disk\n");
}

}  // namespace
}  // namespace installtest
