#include "support/scenario.h"

#include <algorithm>
#include <cstring>
#include <fnmatch.h>
#include <map>
#include <memory>
#include <set>

#include "keyfile.h"
#include "pkgsign.h"
#include "model/version.h"

namespace e2e {

namespace {

constexpr uint32_t build_time = 1700000000;

std::vector<std::string> split(std::string_view text, std::string_view by) {
  std::vector<std::string> parts;
  for (size_t start = 0; start <= text.size();) {
    size_t end = std::min(text.find(by, start), text.size());
    if (end > start) parts.emplace_back(text.substr(start, end - start));
    start = end + by.size();
  }
  return parts;
}

std::vector<pkg_dep> dep_list(std::string_view text) {
  std::vector<pkg_dep> list;
  for (const std::string& item : split(text, ",")) {
    size_t at = item.find(">=");
    list.push_back(pkg_dep{item.substr(0, at), at == std::string::npos ? 0 : version(item.substr(at + 2)), 0, 0});
  }
  return list;
}

pkgbuild::signer signer_for(signing how) {
  static const key_file keys = [] {
    key_file read;
    std::string err;
    EXPECT_TRUE(read_key_file(TEST_KEY_FILE, &read, &err)) << err;
    return read;
  }();
  return key_file_signer(keys, how == signing::legacy_only ? sign_scheme::legacy_only : sign_scheme::both);
}

signing signing_in(const std::vector<std::string>& words) {
  auto has = [&](const char* word) { return std::find(words.begin(), words.end(), word) != words.end(); };
  return has("unsigned") ? signing::none : has("legacy") ? signing::legacy_only : signing::both;
}

std::string build_from(std::string_view notation) {
  std::vector<std::string> members = split(notation, " + ");
  if (members.empty() || members[0].rfind("bundle ", 0) != 0) return build(recipe(notation), signing_in(split(notation, " ")));
  std::vector<std::string> words = split(members[0], " ");
  pkgbuild::bundle_recipe bundle;
  bundle.name = words.at(1);
  bundle.version = version(words.at(2));
  bundle.build_time = build_time;
  if (words.size() > 3 && words[3].rfind("list=", 0) == 0) bundle.member_list = dep_list(words[3].substr(5));
  std::vector<std::string> files;
  for (size_t i = 1; i < members.size(); ++i) files.push_back(pkg(members[i]));
  std::string out, err;
  EXPECT_TRUE(pkgbuild::build_bundle(bundle, files, &out, &err)) << notation << ": " << err;
  return out;
}

std::string brief(const std::string& value) {
  std::string text;
  for (char c : value.substr(0, 60)) text += (c >= ' ' && c < 127) ? c : '.';
  return value.size() <= 60 ? text : text + "...(" + std::to_string(value.size()) + " bytes)";
}

std::string shown(const tree& state, const std::string& path) {
  auto at = state.find(path);
  return at == state.end() ? "(missing)" : std::string(1, '"').append(brief(at->second)).append("\"");
}

// A key that covers many paths: it ends in "/" (the path and what is below
// it) or holds "*" (any text, "/" included).
bool is_pattern(const std::string& key) { return key.back() == '/' || key.find('*') != std::string::npos; }

bool covers(const std::string& key, const std::string& path) {
  return key.back() == '/' ? (path + "/").rfind(key, 0) == 0 : fnmatch(key.c_str(), path.c_str(), 0) == 0;
}

void compare(const tree& before, const tree& after, const tree& expect, bool dry_run) {
  std::set<std::string> paths, holders;
  for (const auto& [key, value] : expect) {
    for (size_t slash = key.find('/', 1); value != gone && slash < key.size() - 1; slash = key.find('/', slash + 1))
      holders.insert(key.substr(0, slash));
    if (is_pattern(key)) continue;
    bool present = after.count(key) > 0;
    // A plain value is a file's content, whatever its mode.
    bool coded = value.rfind("\x01", 0) == 0;
    if (value == gone ? present : value == any ? !present : !present || (coded ? after.at(key) : testsupport::content_of(after.at(key))) != value)
      ADD_FAILURE() << key << " is " << shown(after, key) << ", expected " << (value == gone ? "gone" : brief(value));
  }
  for (const tree* state : {&before, &after})
    for (const auto& entry : *state) paths.insert(entry.first);
  for (const std::string& path : paths) {
    auto b = before.find(path), a = after.find(path);
    if (expect.count(path) || (!dry_run && (path == "/flash/postlog" || path == "/flash/var/pdb/image"))) continue;
    const std::pair<const std::string, std::string>* pattern = nullptr;
    for (const auto& entry : expect)
      if (is_pattern(entry.first) && covers(entry.first, path) && (!pattern || entry.second == gone)) pattern = &entry;
    if (pattern) {
      if (pattern->second == gone && a != after.end()) ADD_FAILURE() << path << " is left, against " << pattern->first;
      continue;
    }
    if (holders.count(path) && a != after.end() && a->second.rfind("\x01" "d", 0) == 0) continue;
    if (b == before.end() || a == after.end() || b->second != a->second)
      ADD_FAILURE() << path << " changed: " << shown(before, path) << " became " << shown(after, path);
  }
}

}  // namespace

void check_run(const scenario& row, const run_result& result, const tree& before, const tree& after) {
  EXPECT_EQ(result.status, row.status) << result.out << result.err;
  lines seen = visible_lines(result.out), wanted = row.out;
  if (row.match == lines_are::any_order) std::sort(seen.begin(), seen.end()), std::sort(wanted.begin(), wanted.end());
  if (row.match != lines_are::unchecked && !(row.match == lines_are::exact_or_none && seen.empty())) {
    EXPECT_EQ(seen, wanted) << result.err;
  }
  if (row.err) {
    EXPECT_EQ(result.err, *row.err);
  }
  compare(before, after, row.expect, std::find(row.args.begin(), row.args.end(), "--dry-run") != row.args.end());
}

uint32_t version(std::string_view text) {
  uint32_t packed = 0;
  EXPECT_TRUE(parse_version(text, &packed)) << "version " << text;
  return packed;
}

std::string version_file(std::string_view text) {
  std::string line = std::to_string(version(text));
  return line.append(" ").append(std::to_string(build_time)).append("\n");
}

std::string noise(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  for (char& c : bytes) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 24);
  }
  return bytes;
}

pkgbuild::package_recipe recipe(std::string_view notation) {
  std::vector<std::string> words = split(notation, " ");
  pkgbuild::package_recipe made;
  made.name = words.at(0);
  made.version = version(words.at(1));
  made.build_time = build_time;
  made.files = std::vector<pkgbuild::file_entry>{{.name = "bin/" + made.name, .data = made.name + "-" + words[1]}};
  for (size_t i = 2; i < words.size(); ++i) {
    size_t eq = words[i].find('=');
    std::string key = words[i].substr(0, eq), value = eq == std::string::npos ? "" : words[i].substr(eq + 1);
    if (key == "boot") made.flags |= PKG_FLAG_BOOT;
    else if (key == "image") made.image_payload = value[0] == '~' ? noise(std::stoul(value.substr(1))) : value;
    else if (key == "depends") made.depends = dep_list(value);
    else if (key == "provides") made.provides = dep_list(value);
    else if (key == "conflicts") made.conflicts = dep_list(value);
    else if (eq == std::string::npos) continue;  // the signing words
    else {
      if (value[0] == '~') value = noise(std::stoul(value.substr(1)));
      auto& files = *made.files;
      auto same = std::find_if(files.begin(), files.end(), [&](const auto& f) { return f.name == key; });
      if (same != files.end()) same->data = value;
      else files.push_back({.name = key, .data = value});
    }
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
  if (known != built.end()) return known->second;
  std::string bytes = build_from(notation);
  built.emplace(std::string(notation), bytes);
  return bytes;
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
    line = line.substr(line.rfind('\r') == std::string::npos ? 0 : line.rfind('\r') + 1);
    for (const char* control : {"\x1b[?25l", "\x1b[?25h"})
      for (size_t at; (at = line.find(control)) != std::string::npos;) line.erase(at, std::strlen(control));
    found.push_back(line);
  }
  return found;
}

run_options options_of(const scenario& row) {
  return {.input = row.input, .env = row.env, .flash_bytes = row.flash_bytes, .ram_bytes = row.ram_bytes,
          .prefix = row.prefix};
}

void install_given(const device_root& root, const scenario& row) {
  for (const std::string& notation : row.given) {
    run_result given = run(root, {"-"}, {.input = pkg(notation), .env = row.env});
    ASSERT_EQ(given.status, 0) << notation << ": " << given.out << given.err;
  }
}

run_result run(const device_root& root, std::vector<std::string> args, run_options opts) {
  bool own_root = std::any_of(args.begin(), args.end(), [](const std::string& arg) {
    return arg == "-r" || arg == "--commit" || arg == "--cancel";
  });
  if (!own_root) args.insert(args.begin(), {"-r", root.path()});
  args.insert(args.begin(), testsupport::installer_path());
  return testsupport::run_in(root, args, opts);
}

void play(const std::vector<scenario>& rows) {
  std::unique_ptr<device_root> root;
  std::optional<std::pair<std::vector<std::string>, env_list>> given_key;
  tree given_state;
  for (const scenario& row : rows) {
    SCOPED_TRACE(row.name);
    if (!row.then || !root) {
      root = std::make_unique<device_root>();
      if (given_key && *given_key == std::pair{row.given, row.env}) {
        root->put(given_state);
      } else {
        ASSERT_NO_FATAL_FAILURE(install_given(*root, row));
        given_key = std::pair{row.given, row.env};
        given_state = root->snapshot();
      }
    }
    root->put(row.put);
    if (row.prepare) row.prepare(*root);
    tree before = root->snapshot();
    run_result result = run(*root, row.args, options_of(row));
    check_run(row, result, before, root->snapshot());
    if (row.check) row.check(*root, result);
  }
}

}  // namespace e2e
