#include "stage/manifest.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <sys/stat.h>

#include "platform/fs.h"
#include "platform/paths.h"
#include "stage/leftovers.h"
#include "stage/out_file.h"
#include "stage/staging.h"

namespace {


// The characters that would break the line format, and their escapes.
struct escape {
  char raw;
  std::string_view coded;
};
constexpr escape escapes[] = {
    {' ', "\\040"}, {'\t', "\\011"}, {'\n', "\\012"}, {'\\', "\\134"}};

std::string encode_path(std::string_view path) {
  std::string coded;
  coded.reserve(path.size());
  for (char c : path) {
    bool replaced = false;
    for (const escape& e : escapes) {
      if (c == e.raw) {
        coded += e.coded;
        replaced = true;
        break;
      }
    }
    if (!replaced) coded += c;
  }
  return coded;
}

// Only the four escapes that encode_path writes are decoded; any other
// backslash stays as it is, so paths saved without escapes load unchanged.
std::string decode_path(std::string_view coded) {
  std::string path;
  path.reserve(coded.size());
  size_t i = 0;
  while (i < coded.size()) {
    bool decoded = false;
    if (coded[i] == '\\') {
      for (const escape& e : escapes) {
        if (coded.substr(i, e.coded.size()) == e.coded) {
          path += e.raw;
          i += e.coded.size();
          decoded = true;
          break;
        }
      }
    }
    if (!decoded) path += coded[i++];
  }
  return path;
}

// False when a staged file could not be taken away.
bool unlink_staged(const file_op& op) {
  if (op.kind != OP_STAGED || op.source.empty()) return true;
  return fs::unlink(op.source.c_str()) == 0 || errno == ENOENT;
}

std::string_view base_name(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view dir_name(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

bool has_control_byte(std::string_view path) {
  for (unsigned char c : path)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

bool has_dot_component(std::string_view path) {
  size_t at = 0;
  while (at <= path.size()) {
    size_t slash = path.find('/', at);
    if (slash == std::string_view::npos) slash = path.size();
    std::string_view component = path.substr(at, slash - at);
    if (component == "." || component == "..") return true;
    at = slash + 1;
  }
  return false;
}

// An absolute path without "." or ".." components or control bytes, strictly
// below `root` (which ends in "/").
bool is_clean_path_below(std::string_view path, std::string_view root) {
  return path.size() > root.size() && path.starts_with(root) && !has_dot_component(path) &&
         !has_control_byte(path) && path.find_first_not_of('/', root.size()) != std::string_view::npos;
}

// `dir` is `below` or one of its ancestors, no higher than "/flash".
bool is_dir_on_way_to(std::string_view dir, std::string_view below) {
  if (dir != "/flash" && !dir.starts_with(paths::flash_root)) return false;
  if (!below.starts_with(dir)) return false;
  return below.size() == dir.size() || below[dir.size()] == '/';
}

std::string saved_line(const std::string& target, const file_op& op) {
  switch (op.kind) {
    case OP_REMOVE:
      return "U " + encode_path(target) + "\n";
    case OP_LINK:
      return "L " + encode_path(target) + " " + encode_path(op.source) + "\n";
    case OP_MOVE:
    case OP_STAGED:
      return "M " + encode_path(target) + " " + encode_path(op.source) + "\n";
    default:
      return {};
  }
}

// Fields of a saved line: split at single spaces, the third field is the
// whole remainder. An empty field counts as missing: no saved line ever has
// an empty target or source.
struct saved_fields {
  std::string_view kind, target, source;
  int count = 0;
};

saved_fields split_line(std::string_view line) {
  saved_fields f;
  size_t first = line.find(' ');
  f.kind = line.substr(0, first);
  f.count = 1;
  if (first == std::string_view::npos) return f;
  std::string_view rest = line.substr(first + 1);
  size_t second = rest.find(' ');
  f.target = rest.substr(0, second);
  if (f.target.empty()) return f;
  f.count = 2;
  if (second == std::string_view::npos) return f;
  f.source = rest.substr(second + 1);
  if (!f.source.empty()) f.count = 3;
  return f;
}

// What one line of a saved manifest does: why it is malformed or refused
// (nothing when it is applied or skipped).
std::string apply_line(manifest& m, std::string_view line, bool judged) {
  saved_fields f = split_line(line);
  if (f.count < 2) return "malformed";
  std::string target = decode_path(f.target);
  file_op op;
  if (f.kind == "U") {
    op = {OP_REMOVE, {}};
  } else if (f.kind == "L" || f.kind == "M") {
    if (f.count < 3) return "malformed";
    op = {f.kind == "L" ? uint32_t{OP_LINK} : uint32_t{OP_MOVE}, decode_path(f.source)};
  } else {
    return {};  // lines of any other kind are skipped
  }
  if (judged) {
    std::string why = check_saved_entry(m, target, op);
    if (!why.empty()) return why;
  }
  add_op(m, target, std::move(op));
  return {};
}

// Writes `text` to a new file beside `path`, readable by all like any file
// the installer leaves behind, on the medium, and renames it into place.
bool replace_with(const std::string& path, const std::string& text) {
  std::string temporary = temporary_template(parent_dir(path));
  int fd = fs::mkstemp(temporary.data(), 0644);
  if (fd < 0) return false;
  out_file out;
  out.attach(fd);
  out.write(text);
  bool written = out.flush() && fs::fsync(fd) == 0;
  if (!out.close() && written) {
    errno = out.error();
    written = false;
  }
  if (written && fs::rename(temporary.c_str(), path.c_str()) == 0) return true;
  int err = errno;
  fs::unlink(temporary.c_str());
  errno = err;
  return false;
}

// Reads the proofs saved beside a manifest; a line that does not parse is
// no proof, so the download it names is refused.
void load_proofs(manifest& m, const std::string& path) {
  std::FILE* file = fs::fopen_read(path.c_str());
  if (!file) return;
  char* buffer = nullptr;
  size_t capacity = 0;
  for (ssize_t length; (length = getline(&buffer, &capacity, file)) > 0;) {
    std::string_view line(buffer, static_cast<size_t>(length));
    if (line.back() == '\n') line.remove_suffix(1);
    size_t blank = line.find(' ');
    if (blank == std::string_view::npos) continue;
    download_proof proof;
    if (parse_proof_fields(line.substr(blank + 1), &proof)) m.proofs[decode_path(line.substr(0, blank))] = proof;
  }
  std::free(buffer);
  std::fclose(file);
}

}  // namespace

void add_op(manifest& m, const std::string& target, file_op op) {
  std::optional<file_op> replaced = m.ops.put(target, op);
  // The replaced entry's staged file is of no use any more; never delete the
  // file the new entry itself takes its content from.
  if (replaced && replaced->source != op.source && !m.dry_run) unlink_staged(*replaced);
}

void stage_move(manifest& m, const std::string& source, const std::string& target) {
  add_op(m, target, {OP_MOVE, source});
}

void stage_link(manifest& m, const std::string& source, const std::string& target) {
  add_op(m, target, {OP_LINK, source});
}

// lstat: a dangling symbolic link is an existing path that must go too.
void stage_removal(manifest& m, const std::string& target) {
  struct stat st;
  if (fs::lstat(target.c_str(), &st) == 0)
    add_op(m, target, {OP_REMOVE, {}});
  else
    drop_op(m, target);
}

void drop_op(manifest& m, const std::string& target) {
  std::optional<file_op> dropped = m.ops.erase(target);
  if (dropped && !m.dry_run) unlink_staged(*dropped);
}

void add_listed_file(path_set& files, const manifest& m, const std::string& target) {
  if (std::optional<path_ref> stored = m.ops.stored_target(target))
    files.insert(m.ops.arena(), *stored);
  else
    files.insert(target);
}

void discard(manifest& m) {
  bool tidy = true;
  if (!m.dry_run)
    for (const auto& entry : m.ops) tidy = unlink_staged(entry.second) && tidy;
  m.ops.clear();
  m.proofs.clear();
  m.readied_downloads.clear();
  // A staged file that could not be taken away is left for a later sweep.
  if (m.places.marked && tidy) clear_staging_mark();
  m.places = {};
}

void stage_download_move(manifest& m, const std::string& source, const std::string& target,
                         const download_proof& proof) {
  add_op(m, target, {OP_MOVE, source});
  m.proofs[source] = proof;
}

void discard_saved(manifest& m) {
  for (const auto& [target, op] : m.ops) {
    struct stat st;
    if (op.kind == OP_MOVE && could_be_staged(op.source, target) && fs::lstat(op.source.c_str(), &st) == 0 &&
        S_ISREG(st.st_mode))
      fs::unlink(op.source.c_str());
  }
  discard(m);
}

bool could_be_staged(std::string_view source, std::string_view target) {
  if (!is_temporary_name(base_name(source))) return false;
  std::string_view dir = dir_name(source);
  if (dir == paths::ram_dir || dir == paths::fallback_staging_dir) return true;
  return !has_dot_component(source) && !has_control_byte(source) &&
         is_dir_on_way_to(dir, parent_dir(target));
}

bool is_download_path(std::string_view path) {
  std::string_view name = base_name(path);
  if (name.empty() || name[0] == '.' || has_control_byte(name)) return false;
  if (!name.ends_with(".npk") && !name.ends_with(".dpk")) return false;
  for (std::string_view dir : paths::download_dirs)
    if (path.size() == dir.size() + name.size() && path.starts_with(dir)) return true;
  return false;
}

std::string check_saved_entry(const manifest& m, const std::string& target, const file_op& op) {
  bool below_flash = is_clean_path_below(target, paths::flash_root);
  if (op.kind == OP_REMOVE) {
    if (below_flash || is_clean_path_below(target, paths::stored_images)) return {};
    return "the path removed is not below /flash/ or /rw/pckg/.images/";
  }
  if (!below_flash) return "the target is not below /flash/";
  if (op.kind == OP_LINK)
    return is_clean_path_below(op.source, paths::flash_root) ? "" : "the link does not point below /flash/";
  if (could_be_staged(op.source, target)) return {};
  if (!is_download_path(op.source)) return "the source is neither a staged file nor a download";
  if (m.proofs.count(op.source) == 0) return "the download was never verified";
  return {};
}

std::string proofs_path(const std::string& manifest_path) { return manifest_path + ".verified"; }

bool save_manifest(const manifest& m, const std::string& path) {
  std::string proofs;
  for (const auto& [target, op] : m.ops) {
    auto proof = m.proofs.find(op.source);
    if (op.kind == OP_MOVE && proof != m.proofs.end())
      proofs += encode_path(op.source) + " " + proof_fields(proof->second) + "\n";
  }
  if (proofs.empty()) {
    if (fs::unlink(proofs_path(path).c_str()) != 0 && errno != ENOENT) return false;
  } else if (!replace_with(proofs_path(path), proofs)) {
    return false;
  }
  std::string text;
  for (const auto& [target, op] : m.ops) text += saved_line(target, op);
  if (replace_with(path, text)) return true;
  int err = errno;
  fs::unlink(proofs_path(path).c_str());
  errno = err;
  return false;
}

void remove_saved_manifest(const std::string& path) {
  fs::unlink(path.c_str());
  fs::unlink(proofs_path(path).c_str());
}

bool load_manifest(manifest& m, const std::string& path, std::string* refusal) {
  std::FILE* file = fs::fopen_read(path.c_str());
  if (!file) return false;
  load_proofs(m, proofs_path(path));
  char* buffer = nullptr;
  size_t capacity = 0;
  bool result = true;
  for (unsigned number = 1;; ++number) {
    ssize_t length = getline(&buffer, &capacity, file);
    if (length < 0) {
      // End of file, or a read error: what was read so far counts only if
      // there is something.
      result = std::ferror(file) ? !m.empty() : true;
      break;
    }
    std::string_view line(buffer, static_cast<size_t>(length));
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (line.empty()) break;
    std::string why = apply_line(m, line, refusal != nullptr);
    if (!why.empty()) {
      if (refusal) *refusal = "line " + std::to_string(number) + " \"" + std::string(line) + "\": " + why;
      result = false;
      break;
    }
  }
  std::free(buffer);
  std::fclose(file);
  return result;
}
