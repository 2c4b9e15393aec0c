#include "install/install_e2e.h"

#include <cstring>

#include "keyfile.h"

namespace installtest {

namespace {

const key_file& test_keys() {
  static key_file keys;
  static bool loaded = false;
  if (!loaded) {
    std::string err;
    loaded = read_key_file(testsupport::test_key_file(), &keys, &err);
    EXPECT_TRUE(loaded) << err;
  }
  return keys;
}

pkgbuild::signer signer_for(signing how) {
  sign_scheme scheme = how == signing::legacy_only ? sign_scheme::legacy_only : sign_scheme::both;
  return [scheme](const uint8_t digest[32], std::string* trailer, std::string* err) {
    uint8_t bytes[132];
    size_t size = 0;
    if (!sign_digest(test_keys(), scheme, digest, bytes, &size, err)) return false;
    trailer->assign(reinterpret_cast<const char*>(bytes), size);
    return true;
  };
}

}  // namespace

pkgbuild::package_recipe package(const std::string& name, uint32_t version,
                               const std::string& content) {
  pkgbuild::package_recipe recipe;
  recipe.name = name;
  recipe.version = version;
  recipe.build_time = 1700000000;
  recipe.files = std::vector<pkgbuild::file_entry>{file("bin/" + name, content)};
  return recipe;
}

std::string build(const pkgbuild::package_recipe& source, signing how) {
  pkgbuild::package_recipe recipe = source;
  if (how == signing::legacy_only && recipe.signature_size == 132) recipe.signature_size = 68;
  std::string out, err;
  bool built = how == signing::none ? pkgbuild::build_package(recipe, nullptr, &out, &err)
                                    : pkgbuild::build_package(recipe, signer_for(how), &out, &err);
  EXPECT_TRUE(built) << err;
  return out;
}

std::string build_bundle(const pkgbuild::bundle_recipe& recipe,
                         const std::vector<std::string>& members) {
  std::string out, err;
  EXPECT_TRUE(pkgbuild::build_bundle(recipe, members, &out, &err)) << err;
  return out;
}

pkgbuild::bundle_recipe bundle(const std::string& name, uint32_t version,
                             std::optional<std::vector<pkg_dep>> member_list) {
  pkgbuild::bundle_recipe recipe;
  recipe.name = name;
  recipe.version = version;
  recipe.build_time = 1700000000;
  recipe.member_list = std::move(member_list);
  return recipe;
}

pkgbuild::file_entry file(const std::string& name, const std::string& data) {
  pkgbuild::file_entry entry;
  entry.name = name;
  entry.data = data;
  return entry;
}

testsupport::run_options with_env(const std::string& name, const std::string& value) {
  testsupport::run_options opts;
  opts.env.push_back({name, value});
  return opts;
}

pkg_dep dep(const std::string& name, uint32_t min_version, uint32_t max_version) {
  return pkg_dep{name, min_version, max_version, 0};
}

std::string noise(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  for (char& c : bytes) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 24);
  }
  return bytes;
}

std::vector<std::string> visible_lines(const std::string& out) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) break;  // a progress line left standing
    std::string line = out.substr(start, end - start);
    size_t cr = line.rfind('\r');
    if (cr != std::string::npos) line = line.substr(cr + 1);
    for (const char* control : {"\x1b[?25l", "\x1b[?25h"})
      for (size_t at; (at = line.find(control)) != std::string::npos;)
        line.erase(at, std::strlen(control));
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

std::map<std::string, std::string> flash_state(const testsupport::device_root& root) {
  std::map<std::string, std::string> state = root.snapshot("/flash");
  state.erase("var/pdb/image");
  state.erase("postlog");
  return state;
}

std::string version_line(uint32_t version, uint32_t build_time) {
  return std::to_string(version) + " " + std::to_string(build_time) + "\n";
}

void InstallE2E::SetUp() {
  std::string why;
  if (!testsupport::can_run_installer(&why)) GTEST_SKIP() << why;
}

testsupport::run_result InstallE2E::stream(const std::string& bytes,
                                           std::vector<std::string> args,
                                           testsupport::run_options opts) {
  std::vector<std::string> full = {"-r", root.path()};
  full.insert(full.end(), args.begin(), args.end());
  full.push_back("-");
  opts.input = bytes;
  return testsupport::run_installer(full, opts);
}

testsupport::run_result InstallE2E::run(std::vector<std::string> args,
                                        testsupport::run_options opts) {
  std::vector<std::string> full = {"-r", root.path()};
  full.insert(full.end(), args.begin(), args.end());
  return testsupport::run_installer(full, opts);
}

void InstallE2E::install(const std::string& bytes) {
  testsupport::run_result result = stream(bytes);
  ASSERT_EQ(result.status, 0) << result.out << result.err;
}

}  // namespace installtest
