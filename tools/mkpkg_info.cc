#include "mkpkg_info.h"

#include <cinttypes>
#include <cstdarg>
#include <ctime>

#include "keyfile.h"
#include "model/record.h"
#include "model/version.h"
#include "msg/msg.h"
#include "pkgbuild.h"
#include "pkgfile/inflater.h"
#include "pkgfile/legacy_signature.h"
#include "pkgfile/names.h"
#include "pkgfile/pkg_stream.h"
#include "pkgfile/verify.h"
#include "platform/crypto.h"

namespace {

void add(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void add(std::string* out, const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  *out += line;
}

const char* type_name(int type) {
  switch (type) {
    case part_package_header: return "package header";
    case part_text_b: return "text b";
    case part_depends: return "depends";
    case part_files: return "files";
    case part_signature: return "signature";
    case part_architecture: return "architecture";
    case part_conflicts: return "conflicts";
    case part_bundle_header: return "bundle header";
    case part_provides: return "provides";
    case part_bundle_members: return "bundle members";
    case part_image_payload: return "image payload";
    case part_note: return "note";
    case part_text_a: return "text a";
    case part_digest_sha256: return "SHA-256 digest marker";
    default: return "unknown";
  }
}

std::string shown(const std::string& text) {
  std::string quoted(1, '"');
  quoted += terminal_safe(text);
  quoted += '"';
  return quoted;
}

// The text, then the packed number in decimal (as "/ram/DOWNGRADE" takes
// it) and in hex.
std::string version_shown(uint32_t version) {
  char numbers[40];
  std::snprintf(numbers, sizeof numbers, " (%" PRIu32 ", 0x%08" PRIX32 ")", version, version);
  return version == 0 ? std::string("0") : version_text(version) + numbers;
}

void describe_list(std::string* out, const char* title, const std::vector<pkg_dep>& list) {
  add(out, "  %s: %zu entries\n", title, list.size());
  for (const pkg_dep& dep : list)
    add(out, "    %s min %s max %s extra %" PRId32 "\n", terminal_safe(dep.name).c_str(),
        version_shown(dep.min_version).c_str(), version_shown(dep.max_version).c_str(), dep.extra);
}

void describe_header(std::string* out, const pkg_image& record) {
  char when[64] = "?";
  time_t t = record.build_time;
  struct tm utc;
  if (gmtime_r(&t, &utc)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &utc);
  add(out, "%s %s\n", record.is_bundle ? "bundle" : "package", terminal_safe(record.name).c_str());
  add(out, "  version: %s\n", version_shown(record.version).c_str());
  add(out, "  build time: %" PRIu32 " (%s)\n", record.build_time, when);
  add(out, "  flags: 0x%" PRIX32 "\n", record.flags);
  add(out, "  architecture: %s\n", shown(record.arch).c_str());
  if (!record.text_a.empty()) add(out, "  text a: %s\n", shown(record.text_a).c_str());
  if (!record.text_b.empty()) add(out, "  text b: %s\n", shown(record.text_b).c_str());
  if (!record.note.empty()) add(out, "  note: %s\n", shown(record.note).c_str());
  describe_list(out, "depends", record.depends);
  describe_list(out, "provides", record.provides);
  describe_list(out, "conflicts", record.conflicts);
  if (record.keeps_image) add(out, "  keeps its image\n");
}

// " (refused by the installer)" for a regular file whose name the
// installer refuses, else empty.
const char* entry_verdict(uint16_t mode, const std::string& name) {
  std::string relative;
  if ((mode & file_mode_type_mask) != file_mode_regular) return "";
  return normalise_entry_name(name, &relative) && !is_installer_state(relative)
             ? ""
             : " (refused by the installer)";
}

// False when the container does not read whole or holds a refused name.
bool describe_files(std::string* out, pkg_stream& stream) {
  inflater container(stream);
  add(out, "  files:\n");
  char raw[pkg_file_entry_header_size];
  std::string name;
  bool sound = true;
  while (container.read(raw, sizeof raw) == sizeof raw) {
    auto b = reinterpret_cast<const unsigned char*>(raw);
    uint16_t mode = static_cast<uint16_t>(b[0] | b[1] << 8);
    uint32_t size = b[24] | b[25] << 8 | b[26] << 16 | static_cast<uint32_t>(b[27]) << 24;
    uint16_t name_length = static_cast<uint16_t>(b[28] | b[29] << 8);
    name.resize(name_length);
    if (container.read(name.data(), name_length) < name_length) {
      add(out, "    (entry name cut short)\n");
      return false;
    }
    const char* verdict = entry_verdict(mode, name);
    sound = sound && !*verdict;
    add(out, "    mode %06o variant %u size %" PRIu32 " %s%s\n", mode, b[23], size, shown(name).c_str(),
        verdict);
    if (container.skip(size) < size) {
      add(out, "    (entry data cut short)\n");
      return false;
    }
  }
  if (container.corrupt()) add(out, "    (compressed data corrupt)\n");
  else if (!container.finished()) add(out, "    (compressed data cut short)\n");
  return sound && !container.corrupt() && container.finished();
}

uint32_t big_endian_word(const std::vector<uint8_t>& bytes, size_t word) {
  const uint8_t* p = bytes.data() + 4 * word;
  return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

// The level as verify_package computes it, with the public entries of a key
// file in place of the built-in keys.
int level_under(const key_file& keys, pkg_stream& buf) {
  buf.finish_digest();
  size_t size = buf.remaining() >= 132 ? 132 : buf.remaining() >= 68 ? 68 : 0;
  uint8_t trailer[132];
  if (size == 0 || buf.read_unhashed(reinterpret_cast<char*>(trailer), size) < size) return 0;
  if (size == 132 && keys.has("ed25519-public") &&
      crypto::ed25519_verify(keys.entries.at("ed25519-public").data(), buf.digest(), 32, trailer + 68))
    return 2;
  if (!keys.has("legacy-public") || !keys.has("legacy-hash-iv") || !keys.has("legacy-hash-k")) return 0;
  uint32_t iv[8], k[64];
  for (size_t i = 0; i < 8; ++i) iv[i] = big_endian_word(keys.entries.at("legacy-hash-iv"), i);
  for (size_t i = 0; i < 64; ++i) k[i] = big_endian_word(keys.entries.at("legacy-hash-k"), i);
  legacy_key key{keys.entries.at("legacy-public").data(), iv, k};
  return legacy_verify_with(key, buf.digest(), trailer + 20, trailer + 36) ? 1 : 0;
}

// False when bytes after the last whole part form no part of their own.
bool describe_parts(std::string* out, std::string_view file) {
  add(out, "parts:\n");
  uint64_t end = pkg_file_header_size;
  for (const pkgbuild::part_info& p : pkgbuild::list_parts(file)) {
    add(out, "  at %" PRIu64 ": type %u (%s), %" PRIu32 " bytes\n", p.offset, p.type, type_name(p.type),
        p.length);
    end = p.offset + pkg_part_header_size + p.length;
  }
  if (end >= file.size()) return true;  // a file shorter than its header has no parts at all
  add(out, "  at %" PRIu64 ": %" PRIu64 " bytes that form no whole part\n", end, file.size() - end);
  return false;
}

// The magic and the declared size; false unless the file is a package of
// exactly its declared size.
bool describe_file_header(std::string* out, std::string_view file, const pkg_stream& stream) {
  bool is_package = stream.magic() == pkg_magic_primary || stream.magic() == pkg_magic_secondary;
  add(out, "file: %zu bytes, magic 0x%08" PRIX32, file.size(), stream.magic());
  if (stream.magic() == pkg_magic_primary)
    add(out, " (package)");
  else if (stream.magic() == pkg_magic_secondary)
    add(out, " (secondary package)");
  else
    add(out, " (not a package file)");
  bool whole = stream.total_length() == file.size();
  if (file.size() >= pkg_file_header_size)
    add(out, ", declared size %" PRIu64 "%s", stream.total_length(), whole ? "" : " (differs from the file)");
  add(out, "\n");
  return is_package && whole;
}

}  // namespace

bool describe_package(std::string_view file, const key_file* keys, std::string* out) {
  memory_source source(file);
  pkg_stream stream(source, true);
  bool sound = describe_file_header(out, file, stream);
  sound = describe_parts(out, file) && sound;
  bool has_header = false;
  stream.wanted_types = ((part_set{1} << (part_digest_sha256 + 1)) - 1) & ~part_set{1};  // types 1 to 25
  int type = stream.next_part();
  while (type >= 0) {
    if (type == part_package_header || type == part_bundle_header) {
      pkg_image record;
      has_header = true;
      if (!read_package_header(record, stream)) {
        add(out, "%s at %" PRIu32 ": refused (short header, unsafe name or bad list)\n", type_name(type),
            stream.part_offset());
        sound = false;
        type = stream.next_part();
        continue;
      }
      describe_header(out, record);
      type = stream.type();
      continue;
    }
    if (type == part_bundle_members) {
      std::vector<pkg_dep> members;
      bool listed = read_dep_list(stream, members);
      if (listed)
        describe_list(out, "bundle members", members);
      else
        add(out, "  bundle members: refused\n");
      sound = sound && listed;
    } else if (type == part_files) {
      sound = describe_files(out, stream) && sound;
    } else if (type == part_signature) {
      int level = keys ? level_under(*keys, stream) : verify_package(stream);
      add(out, "  signature: %" PRIu32 " bytes, level %d under %s\n", stream.part_length(), level,
          keys ? "the given key file" : "the built-in keys");
    } else {
      add(out, "  %s part of %" PRIu32 " bytes not read\n", type_name(type), stream.part_length());
    }
    type = stream.next_part();
  }
  return sound && has_header;
}
