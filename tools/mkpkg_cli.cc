#include "mkpkg_cli.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>

#include "keyfile.h"
#include "mkpkg_checks.h"
#include "mkpkg_info.h"
#include "model/version.h"
#include "msg/msg.h"
#include "pkgbuild.h"
#include "pkgsign.h"

namespace {

const char usage_text[] =
    "usage: mkpkg build -o OUT --name NAME --version VERSION [options] [DIR]\n"
    "       mkpkg bundle -o OUT --name NAME --version VERSION [options] MEMBER...\n"
    "       mkpkg info [--keys FILE] FILE\n"
    "       mkpkg --version\n"
    "\n"
    "build options:\n"
    "  --build-time N          seconds since 1970 (default: now)\n"
    "  --arch TEXT  --note TEXT  --text-a TEXT  --text-b TEXT\n"
    "  --flags N               header flags (1 boot package, 2 no metadata)\n"
    "  --depends ENTRY  --provides ENTRY  --conflicts ENTRY\n"
    "                          ENTRY is NAME[:MIN[:MAX[:EXTRA]]], versions as text\n"
    "                          (\"6.48\", \"7.1beta3\"); repeat for more entries\n"
    "  --image FILE            image payload part\n"
    "  --variant CLASS:NAME:FILE  a file only for processor class 1..4\n"
    "  --digest sha1|sha256    package digest (default sha1)\n"
    "  --sign both|legacy|none signature scheme (default both)\n"
    "  --keys FILE             key file with the private halves\n"
    "  --secondary             the secondary file magic\n"
    "bundle options:\n"
    "  --build-time, --arch, --note, --text-a, --text-b, --flags, --secondary as above\n"
    "  --member-list ENTRY     a member installed disabled unless the user chose\n"
    "                          otherwise (repeat; none leaves the list out)\n"
    "  --no-keep-image         leave out the keep-image marker\n";

struct arg_error {
  std::string text;
};

// A cursor over the arguments of one subcommand.
class arg_cursor {
 public:
  explicit arg_cursor(const std::vector<std::string>& args) : args_(args) {}
  bool done() const { return at_ >= args_.size(); }
  const std::string& peek() const { return args_[at_]; }
  std::string take() { return args_[at_++]; }
  // The value of option `name`; false when missing.
  bool value(const std::string& name, std::string* out, std::string* err) {
    if (done()) {
      *err = "option " + name + " needs a value";
      return false;
    }
    *out = take();
    return true;
  }

 private:
  const std::vector<std::string>& args_;
  size_t at_ = 0;
};

bool parse_u32(const std::string& text, uint32_t* out) {
  int base = 10;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    first += 2;
  }
  auto [end, ec] = std::from_chars(first, last, *out, base);
  return ec == std::errc() && end == last && first != last;
}

bool parse_i32(const std::string& text, int32_t* out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> fields;
  size_t at = 0;
  for (;;) {
    size_t next = text.find(separator, at);
    fields.push_back(text.substr(at, next == std::string::npos ? next : next - at));
    if (next == std::string::npos) return fields;
    at = next + 1;
  }
}

// NAME[:MIN[:MAX[:EXTRA]]]
bool parse_dep(const std::string& recipe, pkg_dep* dep, std::string* err) {
  std::vector<std::string> fields = split(recipe, ':');
  if (fields.size() > 4 || fields[0].empty() || fields[0].size() > pkg_name_size) {
    *err = "bad entry '" + recipe + "': expected NAME[:MIN[:MAX[:EXTRA]]], a name of 1 to 16 bytes";
    return false;
  }
  dep->name = fields[0];
  uint32_t* versions[] = {&dep->min_version, &dep->max_version};
  for (size_t i = 1; i < fields.size() && i < 3; ++i) {
    if (!fields[i].empty() && !parse_version(fields[i], versions[i - 1])) {
      *err = "bad version '" + fields[i] + "' in '" + recipe + "'";
      return false;
    }
  }
  if (fields.size() == 4 && !parse_i32(fields[3], &dep->extra)) {
    *err = "bad extra value '" + fields[3] + "' in '" + recipe + "'";
    return false;
  }
  return true;
}

bool read_whole_file(const std::string& path, std::string* out, std::string* err) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *err = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream data;
  data << in.rdbuf();
  *out = data.str();
  return true;
}

bool write_whole_file(const std::string& path, const std::string& data, std::string* err) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  out.close();
  if (!out) {
    *err = "cannot write " + path;
    return false;
  }
  return true;
}

// What a source tree may hold that a package cannot carry.
const char* uncarried_kind(mode_t mode) {
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  return "of an unknown type";
}

// Entries for a directory tree, sorted by name at every level: regular
// files with their data and mode, directories as their type. Anything else
// (links, FIFOs, devices) is left out and named in *left_out.
bool collect_tree(const std::string& root, const std::string& relative,
                  std::vector<pkgbuild::file_entry>* entries, std::vector<std::string>* left_out,
                  std::string* err) {
  std::string dir = relative.empty() ? root : root + "/" + relative;
  DIR* handle = opendir(dir.c_str());
  if (!handle) {
    *err = "cannot read directory " + dir + ": " + std::strerror(errno);
    return false;
  }
  std::vector<std::string> names;
  while (dirent* entry = readdir(handle)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(handle);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string stored = relative.empty() ? name : relative + "/" + name;
    std::string path = root + "/" + stored;
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) {
      *err = "cannot examine " + path + ": " + std::strerror(errno);
      return false;
    }
    pkgbuild::file_entry entry;
    entry.name = stored;
    entry.mode = static_cast<uint16_t>(info.st_mode & 0xFFFF);
    if (S_ISREG(info.st_mode)) {
      if (!read_whole_file(path, &entry.data, err)) return false;
      entries->push_back(std::move(entry));
    } else if (S_ISDIR(info.st_mode)) {
      entries->push_back(std::move(entry));
      if (!collect_tree(root, stored, entries, left_out, err)) return false;
    } else {
      left_out->push_back(path + " is " + uncarried_kind(info.st_mode));
    }
  }
  return true;
}

// Options shared by build and bundle: header fields and texts.
struct header_options {
  std::string name;
  std::optional<uint32_t> version;
  uint32_t build_time = static_cast<uint32_t>(std::time(nullptr));
  uint32_t flags = 0;
  std::optional<std::string> text_a, arch, text_b, note;
  uint32_t magic = pkg_magic_primary;
};

// Handles one option of header_options; returns false when `option` is not
// one of them (*handled false) or its value is bad (*err set).
bool header_option(const std::string& option, arg_cursor& args, header_options* h, bool* handled,
                   std::string* err) {
  *handled = true;
  std::string value;
  if (option == "--secondary") {
    h->magic = pkg_magic_secondary;
    return true;
  }
  std::map<std::string, std::optional<std::string>*> texts = {
      {"--arch", &h->arch}, {"--note", &h->note}, {"--text-a", &h->text_a}, {"--text-b", &h->text_b}};
  bool known = texts.count(option) || option == "--name" || option == "--version" ||
               option == "--build-time" || option == "--flags";
  if (!known) {
    *handled = false;
    return true;
  }
  if (!args.value(option, &value, err)) return false;
  if (texts.count(option)) {
    *texts[option] = value;
  } else if (option == "--name") {
    h->name = value;
  } else if (option == "--version") {
    uint32_t version = 0;
    if (!parse_version(value, &version)) {
      *err = "bad version '" + value + "' (expected e.g. 6.48, 6.48.1, 7.1beta3, 2.6rc2)";
      return false;
    }
    h->version = version;
  } else {
    uint32_t* target = option == "--flags" ? &h->flags : &h->build_time;
    if (!parse_u32(value, target)) {
      *err = "bad number '" + value + "' for " + option;
      return false;
    }
  }
  return true;
}

bool check_header(const header_options& h, std::string* err) {
  if (h.name.empty() || h.name.size() > pkg_name_size) {
    *err = "--name must be 1 to 16 bytes";
    return false;
  }
  if (!h.version) {
    *err = "--version is required";
    return false;
  }
  return true;
}

struct build_options {
  header_options header;
  std::string output;
  std::optional<std::string> tree;
  std::vector<pkg_dep> depends, provides, conflicts;
  bool has_depends = false, has_provides = false, has_conflicts = false;
  std::optional<std::string> image_file;
  std::vector<std::string> variants;
  pkgbuild::digest_kind digest = pkgbuild::digest_kind::sha1;
  std::string sign = "both";
  std::optional<std::string> keys;
};

bool parse_build(const std::vector<std::string>& raw, build_options* o, std::string* err) {
  arg_cursor args(raw);
  while (!args.done()) {
    std::string option = args.take();
    bool handled = false;
    if (!header_option(option, args, &o->header, &handled, err)) return false;
    if (handled) continue;
    std::string value;
    if (option.empty() || option[0] != '-') {
      if (o->tree) {
        *err = "more than one directory given: " + *o->tree + " and " + option;
        return false;
      }
      o->tree = option;
      continue;
    }
    if (!args.value(option, &value, err)) return false;
    if (option == "-o" || option == "--output") {
      o->output = value;
    } else if (option == "--depends" || option == "--provides" || option == "--conflicts") {
      pkg_dep dep;
      if (!parse_dep(value, &dep, err)) return false;
      auto [list, has] = option == "--depends"    ? std::tie(o->depends, o->has_depends)
                          : option == "--provides" ? std::tie(o->provides, o->has_provides)
                                                   : std::tie(o->conflicts, o->has_conflicts);
      list.push_back(dep);
      has = true;
    } else if (option == "--image") {
      o->image_file = value;
    } else if (option == "--variant") {
      o->variants.push_back(value);
    } else if (option == "--digest") {
      if (value != "sha1" && value != "sha256") {
        *err = "--digest must be sha1 or sha256";
        return false;
      }
      o->digest = value == "sha1" ? pkgbuild::digest_kind::sha1 : pkgbuild::digest_kind::sha256;
    } else if (option == "--sign") {
      if (value != "both" && value != "legacy" && value != "none") {
        *err = "--sign must be both, legacy or none";
        return false;
      }
      o->sign = value;
    } else if (option == "--keys") {
      o->keys = value;
    } else {
      *err = "unknown option " + option;
      return false;
    }
  }
  if (o->output.empty()) {
    *err = "-o OUT is required";
    return false;
  }
  if (o->sign != "none" && !o->keys) {
    *err = "--sign " + o->sign + " needs --keys FILE (or --sign none)";
    return false;
  }
  return check_header(o->header, err);
}

// CLASS:NAME:FILE
bool variant_entry(const std::string& recipe, pkgbuild::file_entry* entry, std::string* err) {
  size_t first = recipe.find(':');
  size_t second = first == std::string::npos ? first : recipe.find(':', first + 1);
  uint32_t variant = 0;
  if (second == std::string::npos || !parse_u32(recipe.substr(0, first), &variant) || variant < 1 ||
      variant > 255 || second == first + 1) {
    *err = "bad --variant '" + recipe + "': expected CLASS:NAME:FILE with CLASS 1..255";
    return false;
  }
  std::string path = recipe.substr(second + 1);
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    *err = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  entry->variant = static_cast<uint8_t>(variant);
  entry->name = recipe.substr(first + 1, second - first - 1);
  entry->mode = static_cast<uint16_t>(S_IFREG | (info.st_mode & 07777));
  return read_whole_file(path, &entry->data, err);
}

bool make_signer(const std::string& scheme, const std::optional<std::string>& key_path,
                 pkgbuild::signer* signer, std::string* err) {
  if (scheme == "none") return true;
  key_file keys;
  if (!read_key_file(*key_path, &keys, err)) return false;
  *signer = key_file_signer(keys, scheme == "both" ? sign_scheme::both : sign_scheme::legacy_only);
  return true;
}

// The header fields that packages and bundles share.
template <typename recipe_type>
void copy_header(const header_options& h, recipe_type* recipe) {
  recipe->magic = h.magic;
  recipe->name = h.name;
  recipe->version = *h.version;
  recipe->build_time = h.build_time;
  recipe->flags = h.flags;
  recipe->text_a = h.text_a;
  recipe->arch = h.arch;
  recipe->text_b = h.text_b;
  recipe->note = h.note;
}

// The recipe for parsed options: reads the image, the tree and the variants.
bool make_recipe(const build_options& o, pkgbuild::package_recipe* recipe, std::vector<std::string>* left_out,
                 std::string* err) {
  copy_header(o.header, recipe);
  if (o.has_depends) recipe->depends = o.depends;
  if (o.has_provides) recipe->provides = o.provides;
  if (o.has_conflicts) recipe->conflicts = o.conflicts;
  recipe->digest = o.digest;
  recipe->signature_size = o.sign == "none" ? 0 : o.sign == "legacy" ? 68 : 132;
  if (o.image_file) {
    std::string image;
    if (!read_whole_file(*o.image_file, &image, err)) return false;
    recipe->image_payload = image;
  }
  if (!o.tree && o.variants.empty()) return true;
  recipe->files.emplace();
  if (o.tree && !collect_tree(*o.tree, "", &*recipe->files, left_out, err)) return false;
  for (const std::string& variant : o.variants) {
    pkgbuild::file_entry entry;
    if (!variant_entry(variant, &entry, err)) return false;
    recipe->files->push_back(std::move(entry));
  }
  return true;
}

int run_build(const std::vector<std::string>& raw, std::FILE* err_out) {
  build_options o;
  std::string err;
  if (!parse_build(raw, &o, &err)) {
    std::fprintf(err_out, "mkpkg build: %s\n%s", err.c_str(), usage_text);
    return 2;
  }
  pkgbuild::package_recipe recipe;
  std::vector<std::string> left_out;
  bool ok = check_package_name(o.header.name, &err) && check_list("--depends", o.depends, &err) &&
            check_list("--provides", o.provides, &err) && check_list("--conflicts", o.conflicts, &err) &&
            make_recipe(o, &recipe, &left_out, &err);
  for (const std::string& what : left_out)
    std::fprintf(err_out, "mkpkg build: warning: %s, which a package cannot carry; left out\n",
                 terminal_safe(what).c_str());
  pkgbuild::signer signer;
  std::string file;
  ok = ok && (!recipe.files || check_entries(*recipe.files, &err)) &&
       make_signer(o.sign, o.keys, &signer, &err) && pkgbuild::build_package(recipe, signer, &file, &err) &&
       write_whole_file(o.output, file, &err);
  if (!ok) {
    std::fprintf(err_out, "mkpkg build: %s\n", err.c_str());
    return 1;
  }
  return 0;
}

struct bundle_options {
  header_options header;
  pkgbuild::bundle_recipe recipe;
  std::string output;
  std::vector<std::string> member_paths;
};

bool parse_bundle(const std::vector<std::string>& raw, bundle_options* o, std::string* err) {
  arg_cursor args(raw);
  while (!args.done()) {
    std::string option = args.take();
    bool handled = false;
    if (!header_option(option, args, &o->header, &handled, err)) return false;
    if (handled) continue;
    std::string value;
    if (option == "--no-keep-image") {
      o->recipe.keep_image = false;
    } else if (option.empty() || option[0] != '-') {
      o->member_paths.push_back(option);
    } else if (!args.value(option, &value, err)) {
      return false;
    } else if (option == "-o" || option == "--output") {
      o->output = value;
    } else if (option == "--member-list") {
      pkg_dep dep;
      if (!parse_dep(value, &dep, err)) return false;
      if (!o->recipe.member_list) o->recipe.member_list.emplace();
      o->recipe.member_list->push_back(dep);
    } else {
      *err = "unknown option " + option;
      return false;
    }
  }
  if (o->output.empty()) {
    *err = "-o OUT is required";
    return false;
  }
  if (o->member_paths.empty()) {
    *err = "at least one member package is required";
    return false;
  }
  return check_header(o->header, err);
}

int run_bundle(const std::vector<std::string>& raw, std::FILE* err_out) {
  bundle_options o;
  std::string err;
  if (!parse_bundle(raw, &o, &err)) {
    std::fprintf(err_out, "mkpkg bundle: %s\n%s", err.c_str(), usage_text);
    return 2;
  }
  if (!o.recipe.keep_image)
    std::fprintf(err_out,
                 "mkpkg bundle: warning: without the keep-image marker the members restored from "
                 "the database are removed again by the next run\n");
  copy_header(o.header, &o.recipe);
  bool ok = check_package_name(o.header.name, &err) &&
            check_list("--member-list", o.recipe.member_list.value_or(std::vector<pkg_dep>{}), &err);
  std::vector<std::string> members(o.member_paths.size());
  for (size_t i = 0; ok && i < members.size(); ++i)
    ok = read_whole_file(o.member_paths[i], &members[i], &err) &&
         check_member(o.member_paths[i], members[i], &err);
  std::string file;
  ok = ok && pkgbuild::build_bundle(o.recipe, members, &file, &err) && write_whole_file(o.output, file, &err);
  if (!ok) {
    std::fprintf(err_out, "mkpkg bundle: %s\n", err.c_str());
    return 1;
  }
  return 0;
}

int run_info(const std::vector<std::string>& raw, std::FILE* out, std::FILE* err_out) {
  std::optional<std::string> keys_path, file_path;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == "--keys" && i + 1 < raw.size()) {
      keys_path = raw[++i];
    } else if (raw[i].rfind("--", 0) == 0 || file_path) {
      std::fprintf(err_out, "mkpkg info: unexpected argument %s\n%s", raw[i].c_str(), usage_text);
      return 2;
    } else {
      file_path = raw[i];
    }
  }
  if (!file_path) {
    std::fprintf(err_out, "mkpkg info: a package file is required\n%s", usage_text);
    return 2;
  }
  std::string err;
  key_file keys;
  if (keys_path && !read_key_file(*keys_path, &keys, &err)) {
    std::fprintf(err_out, "mkpkg info: %s\n", err.c_str());
    return 1;
  }
  std::string file;
  if (!read_whole_file(*file_path, &file, &err)) {
    std::fprintf(err_out, "mkpkg info: %s\n", err.c_str());
    return 1;
  }
  std::string description;
  bool readable = describe_package(file, keys_path ? &keys : nullptr, &description);
  std::fputs(description.c_str(), out);
  if (!readable) {
    std::fprintf(err_out, "mkpkg info: %s: not a package the installer can read whole\n",
                 terminal_safe(*file_path).c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int mkpkg_main(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  struct command {
    const char* name;
    std::function<int(const std::vector<std::string>&)> run;
  };
  const command commands[] = {
      {"build", [&](const auto& rest) { return run_build(rest, err); }},
      {"bundle", [&](const auto& rest) { return run_bundle(rest, err); }},
      {"info", [&](const auto& rest) { return run_info(rest, out, err); }},
      {"--version", [&](const auto&) { return std::fprintf(out, "mkpkg %s\n", MKPKG_VERSION) < 0; }},
  };
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    std::fputs(usage_text, args.empty() ? err : out);
    return args.empty() ? 2 : 0;
  }
  for (const command& c : commands)
    if (args[0] == c.name) return c.run(std::vector<std::string>(args.begin() + 1, args.end()));
  std::fprintf(err, "mkpkg: unknown command '%s'\n%s", args[0].c_str(), usage_text);
  return 2;
}
