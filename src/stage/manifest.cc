#include "stage/manifest.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <sys/stat.h>

#include "platform/fs.h"
#include "stage/out_file.h"

namespace {

// Staged temporary files are named "tmp" and six characters (the mkstemp
// template of the staging code).
constexpr std::string_view staged_name_prefix = "tmp";
constexpr size_t staged_name_length = 9;

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

void unlink_staged(const file_op& op) {
  if (op.kind == OP_STAGED && !op.source.empty()) fs::unlink(op.source.c_str());
}

bool is_staged_name(std::string_view path) {
  size_t slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  return name.size() == staged_name_length && name.substr(0, staged_name_prefix.size()) == staged_name_prefix;
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

enum class line_result { ok, malformed };

line_result apply_line(manifest& m, std::string_view line) {
  saved_fields f = split_line(line);
  if (f.count < 2) return line_result::malformed;
  std::string target = decode_path(f.target);
  if (f.kind == "U") {
    add_op(m, target, {OP_REMOVE, {}});
  } else if (f.kind == "L" || f.kind == "M") {
    if (f.count < 3) return line_result::malformed;
    add_op(m, target, {f.kind == "L" ? uint32_t{OP_LINK} : uint32_t{OP_MOVE}, decode_path(f.source)});
  }
  // Lines of any other kind are skipped.
  return line_result::ok;
}

bool write_saved_form(const manifest& m, int fd) {
  out_file out;
  out.attach(fd);
  for (const auto& [target, op] : m.ops) out.write(saved_line(target, op));
  // The file must be readable like any file the installer leaves behind;
  // mkstemp creates it for the owner only.
  if (out.flush() && fs::fchmod(fd, 0644) != 0) return false;
  if (!out.failed() && fs::fsync(fd) != 0) return false;
  if (!out.close()) {
    errno = out.error();
    return false;
  }
  return true;
}

}  // namespace

void add_op(manifest& m, const std::string& target, file_op op) {
  auto it = m.ops.find(target);
  if (it == m.ops.end()) {
    m.ops.emplace(target, std::move(op));
    return;
  }
  // The replaced entry's staged file is of no use any more; never delete the
  // file the new entry itself takes its content from.
  if (it->second.source != op.source) unlink_staged(it->second);
  it->second = std::move(op);
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
  if (lstat(target.c_str(), &st) == 0)
    add_op(m, target, {OP_REMOVE, {}});
  else
    drop_op(m, target);
}

void drop_op(manifest& m, const std::string& target) {
  auto it = m.ops.find(target);
  if (it == m.ops.end()) return;
  unlink_staged(it->second);
  m.ops.erase(it);
}

void discard(manifest& m) {
  for (const auto& entry : m.ops) unlink_staged(entry.second);
  m.ops.clear();
  m.places = {};
}

void discard_saved(manifest& m) {
  for (const auto& entry : m.ops) {
    const file_op& op = entry.second;
    if (op.kind == OP_MOVE && is_staged_name(op.source)) fs::unlink(op.source.c_str());
  }
  discard(m);
}

bool save_manifest(const manifest& m, const std::string& path) {
  std::string temporary = path + ".XXXXXX";
  int fd = fs::mkstemp(temporary.data());
  if (fd < 0) return false;
  bool written = write_saved_form(m, fd);
  if (written && fs::rename(temporary.c_str(), path.c_str()) == 0) return true;
  int err = errno;
  fs::unlink(temporary.c_str());
  errno = err;
  return false;
}

bool load_manifest(manifest& m, const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "re");
  if (!file) return false;
  char* buffer = nullptr;
  size_t capacity = 0;
  bool result = true;
  for (;;) {
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
    if (apply_line(m, line) == line_result::malformed) {
      result = false;
      break;
    }
  }
  std::free(buffer);
  std::fclose(file);
  return result;
}
