#include "support/scenario.h"

#include <algorithm>
#include <fnmatch.h>
#include <ranges>

#include "keyfile.h"
#include "pkgsign.h"
#include "model/version.h"

namespace e2e {

using testsupport::content_of;

static constexpr uint32_t build_time = 1700000000;

// The non-empty pieces of `text` between the separators `by`.
static std::vector<std::string> split(std::string_view text, std::string_view by) {
  std::vector<std::string> parts;
  for (auto part : std::views::split(text, by)) if (!part.empty()) parts.emplace_back(part.begin(), part.end());
  return parts;
}

// "a,b>=7.2": names, each with its lowest version or none.
static std::vector<pkg_dep> dep_list(std::string_view text) {
  std::vector<pkg_dep> list;
  for (const std::string& item : split(text, ","))
    if (std::vector<std::string> named = split(item, ">="); !named.empty())
      list.push_back({named[0], named.size() > 1 ? version(named[1]) : 0, 0, 0});
  return list;
}

static pkgbuild::signer signer_for(signing how) {
  static const key_file keys = [read = key_file{}, err = std::string()]() mutable {
    EXPECT_TRUE(read_key_file(TEST_KEY_FILE, &read, &err)) << err;
    return read;
  }();
  return key_file_signer(keys, how == signing::legacy_only ? sign_scheme::legacy_only : sign_scheme::both);
}

static std::string build_from(std::string_view notation) {
  std::vector<std::string> members = split(notation, " + "), words = split(notation, " ");
  auto has = [&](const char* word) { return std::ranges::find(words, word) != words.end(); };
  if (words.at(0) != "bundle")
    return build(recipe(notation), has("unsigned") ? signing::none : has("legacy") ? signing::legacy_only : signing::both);
  pkgbuild::bundle_recipe bundle;
  bundle.name = words.at(1), bundle.version = version(words.at(2)), bundle.build_time = build_time;
  if (words.size() > 3 && words[3].starts_with("list=")) bundle.member_list = dep_list(words[3].substr(5));
  std::vector<std::string> files;
  for (const std::string& member : std::views::drop(members, 1)) files.push_back(pkg(member));
  std::string out, err;
  EXPECT_TRUE(pkgbuild::build_bundle(bundle, files, &out, &err)) << notation << ": " << err;
  return out;
}

// A value (or "(missing)") for a failure message, printable, cut after 60 bytes.
static std::string shown(const std::string* value) {
  return value ? ::testing::PrintToString(value->substr(0, 60)) + (value->size() > 60 ? "..." : "") : "(missing)";
}

// A key that covers many paths: it ends in "/" (the path and what is below
// it) or holds "*" (any text, "/" included). Such a key covers itself.
static bool covers(const std::string& key, const std::string& path) {
  return key.back() == '/' ? (path + "/").starts_with(key)
                           : key.find('*') != std::string::npos && fnmatch(key.c_str(), path.c_str(), 0) == 0;
}

void check_run(const scenario& row, const run_result& result, const tree& before, const tree& after) {
  EXPECT_EQ(result.status, row.status) << result.out << result.err;
  lines seen = visible_lines(result.out), wanted = row.out;
  if (row.match == lines_are::any_order) std::ranges::sort(seen), std::ranges::sort(wanted);
  bool unchecked = row.match == lines_are::unchecked || (row.match == lines_are::exact_or_none && seen.empty());
  EXPECT_EQ(unchecked ? wanted : seen, wanted) << result.err;
  EXPECT_EQ(result.err, row.err.value_or(result.err));
  bool dry_run = std::ranges::find(row.args, "--dry-run") != row.args.end();
  tree paths = before;  // every path of the three trees
  for (const tree* state : {&after, &row.expect}) paths.insert(state->begin(), state->end());
  for (const auto& [path, ignored] : paths) {
    auto find = [&](const tree& state) { auto at = state.find(path); return at == state.end() ? nullptr : &at->second; };
    const std::string *was = find(before), *is = find(after), *want = find(row.expect);
    bool exact = want && !covers(path, path);  // a plain value is a file's content, whatever its mode
    if (exact && (*want == gone ? is != nullptr : !is || (*want != any && *is != *want && content_of(*is) != *want)))
      ADD_FAILURE() << path << " is " << shown(is) << ", expected " << (*want == gone ? "gone" : shown(want));
    if (want || (!dry_run && (path == "/flash/postlog" || path == "/flash/var/pdb/image"))) continue;
    const std::string* covered = nullptr;  // the value of a key that covers the path, gone first
    for (const auto& [key, value] : row.expect)
      if (covers(key, path) && (!covered || value == gone)) covered = &value;
    auto holds = [&](const auto& e) { return e.second != gone && e.first.starts_with(path + "/"); };  // expected below
    bool holder = is && is->starts_with("\x01" "d") && std::ranges::any_of(row.expect, holds);
    if (covered ? *covered == gone && is : !holder && (!was || !is || *was != *is))
      ADD_FAILURE() << path << (covered ? " should be gone: " : " changed: ") << shown(was) << " became " << shown(is);
  }
}

uint32_t version(std::string_view text) {
  uint32_t packed = 0;
  EXPECT_TRUE(parse_version(text, &packed)) << "version " << text;
  return packed;
}

std::string version_file(std::string_view text) {
  return std::to_string(version(text)).append(" ").append(std::to_string(build_time)).append("\n");
}

std::string noise(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 24);
  return bytes;
}

pkgbuild::package_recipe recipe(std::string_view notation) {
  std::vector<std::string> words = split(notation, " ");
  pkgbuild::package_recipe made;
  made.name = words.at(0), made.version = version(words.at(1)), made.build_time = build_time;
  made.files.emplace(1, pkgbuild::file_entry{.name = "bin/" + made.name, .data = made.name + "-" + words[1]});
  for (const std::string& word : std::views::drop(words, 2)) {
    size_t eq = word.find('=');
    std::string key = word.substr(0, eq), value = eq == std::string::npos ? "" : word.substr(eq + 1);
    if (value.starts_with('~')) value = noise(std::stoul(value.substr(1)));
    auto same = std::ranges::find(*made.files, key, &pkgbuild::file_entry::name);
    if (key == "boot") made.flags |= PKG_FLAG_BOOT;
    else if (key == "image") made.image_payload = value;
    else if (key == "depends" || key == "provides" || key == "conflicts")
      (key == "depends" ? made.depends : key == "provides" ? made.provides : made.conflicts) = dep_list(value);
    else if (eq == std::string::npos) continue;  // the signing words
    else if (same != made.files->end()) same->data = value;
    else made.files->push_back({.name = key, .data = value});
  }
  return made;
}

std::string build(const pkgbuild::package_recipe& source, signing how) {
  pkgbuild::package_recipe made = source;
  if (how == signing::legacy_only && made.signature_size == 132) made.signature_size = 68;
  std::string out, err;
  EXPECT_TRUE(pkgbuild::build_package(made, how == signing::none ? nullptr : signer_for(how), &out, &err)) << err;
  return out;
}

std::string pkg(std::string_view notation) {
  static std::map<std::string, std::string, std::less<>> built;
  auto known = built.find(notation);
  return known != built.end() ? known->second : built[std::string(notation)] = build_from(notation);
}

std::string signed_with(std::string file, signing how) {
  std::string err;
  EXPECT_TRUE(pkgbuild::sign_parts(&file, signer_for(how), &err)) << err;
  return file;
}

lines visible_lines(const std::string& out) {
  lines found;
  for (size_t start = 0, end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = out.substr(start, end - start);
    line.erase(0, line.rfind('\r') + 1);  // what the progress line drew over is not seen, nor its cursor codes
    for (size_t at; (at = line.find("\x1b[?25")) != std::string::npos;) line.erase(at, 6);  // "l" hides, "h" shows
    found.push_back(line);
  }
  return found;
}

run_options options_of(const scenario& row) {
  return {row.input, row.env, row.flash_bytes, row.ram_bytes, row.prefix};
}

void install_given(const device_root& root, const scenario& row) {
  // The trees that given packages leave, installed once and then copied.
  static std::map<std::pair<std::vector<std::string>, env_list>, tree> installed;
  if (auto known = installed.find({row.given, row.env}); known != installed.end()) return root.put(known->second);
  for (const std::string& notation : row.given) {
    run_result given = run(root, {"-"}, {.input = pkg(notation), .env = row.env});
    ASSERT_EQ(given.status, 0) << notation << ": " << given.out << given.err;
  }
  installed[{row.given, row.env}] = root.snapshot();
}

run_result run(const device_root& root, std::vector<std::string> args, run_options opts) {
  if (std::ranges::none_of(args, [](const std::string& a) { return a == "-r" || a == "--commit" || a == "--cancel"; }))
    args.insert(args.begin(), {"-r", root.path()});
  args.insert(args.begin(), testsupport::installer_path());
  return testsupport::run_in(root, args, opts);
}

void play(const std::vector<scenario>& rows) {
  std::optional<device_root> root;
  for (const scenario& row : rows) {
    SCOPED_TRACE(row.name);
    // A fresh root with the given packages, unless the row goes on from the previous one.
    ASSERT_NO_FATAL_FAILURE(row.then && root ? void() : install_given(root.emplace(), row));
    root->put(row.put);
    if (row.prepare) row.prepare(*root);
    tree before = root->snapshot();
    run_result result = run(*root, row.args, options_of(row));
    check_run(row, result, before, root->snapshot());
    if (row.check) row.check(*root, result);
  }
}

}  // namespace e2e
