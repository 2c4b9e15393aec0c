#include "pkgbuild.h"

#include <algorithm>
#include <cstring>
#include <zlib.h>

#include "pkgfile/pkg_stream.h"

namespace pkgbuild {

void put_u16(std::string* out, uint16_t value) {
  out->push_back(static_cast<char>(value & 0xFF));
  out->push_back(static_cast<char>(value >> 8));
}

void put_u32(std::string* out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<char>((value >> shift) & 0xFF));
}

namespace {

uint32_t get_u32(std::string_view bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

void put_name(std::string* out, std::string_view name) {
  std::string field(name.substr(0, pkg_name_size));
  field.resize(pkg_name_size, '\0');
  out->append(field);
}

}  // namespace

std::string file_header(uint32_t magic, uint32_t length) {
  std::string out;
  put_u32(&out, magic);
  put_u32(&out, length);
  return out;
}

std::string part(uint16_t type, std::string_view payload, std::optional<uint32_t> declared_length) {
  std::string out;
  put_u16(&out, type);
  put_u32(&out, declared_length.value_or(static_cast<uint32_t>(payload.size())));
  out.append(payload);
  return out;
}

std::string whole_file(std::string_view body, uint32_t magic) {
  return file_header(magic, static_cast<uint32_t>(body.size())) + std::string(body);
}

std::string header_payload(std::string_view name, uint32_t version, uint32_t build_time,
                           uint32_t flags, bool flags_field) {
  std::string out;
  put_name(&out, name);
  put_u32(&out, version);
  put_u32(&out, build_time);
  out.append(8, '\0');
  if (flags_field) put_u32(&out, flags);
  return out;
}

std::string dep_list_payload(const std::vector<pkg_dep>& entries, std::optional<uint16_t> count) {
  std::string out;
  put_u16(&out, count.value_or(static_cast<uint16_t>(entries.size())));
  for (const pkg_dep& dep : entries) {
    put_name(&out, dep.name);
    put_u32(&out, dep.min_version);
    put_u32(&out, 0);
    put_u32(&out, dep.max_version);
    put_u32(&out, static_cast<uint32_t>(dep.extra));
  }
  return out;
}

std::string container_content(const std::vector<file_entry>& entries) {
  std::string out;
  for (const file_entry& entry : entries) {
    put_u16(&out, entry.mode);
    out.append(21, '\0');
    out.push_back(static_cast<char>(entry.variant));
    put_u32(&out, static_cast<uint32_t>(entry.data.size()));
    put_u16(&out, static_cast<uint16_t>(entry.name.size()));
    out.append(entry.name);
    out.append(entry.data);
  }
  return out;
}

std::string zlib_compress(std::string_view raw, int level) {
  z_stream z{};
  deflateInit(&z, level);
  std::string out;
  char chunk[65536];
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
  z.avail_in = static_cast<uInt>(raw.size());
  int rc;
  do {
    z.next_out = reinterpret_cast<Bytef*>(chunk);
    z.avail_out = sizeof chunk;
    rc = deflate(&z, Z_FINISH);
    out.append(chunk, sizeof chunk - z.avail_out);
  } while (rc == Z_OK || rc == Z_BUF_ERROR);
  deflateEnd(&z);
  return out;
}

std::vector<std::string> package_parts(const package_recipe& recipe) {
  std::vector<std::string> parts;
  if (recipe.digest == digest_kind::sha256) parts.push_back(part(part_digest_sha256, ""));
  parts.push_back(part(part_package_header,
                       header_payload(recipe.name, recipe.version, recipe.build_time, recipe.flags)));
  const std::pair<pkg_part_type, const std::optional<std::string>*> texts[] = {
      {part_text_a, &recipe.text_a},
      {part_architecture, &recipe.arch},
      {part_text_b, &recipe.text_b},
      {part_note, &recipe.note},
  };
  for (const auto& [type, text] : texts)
    if (*text) parts.push_back(part(type, **text));
  const std::pair<pkg_part_type, const std::optional<std::vector<pkg_dep>>*> lists[] = {
      {part_depends, &recipe.depends},
      {part_provides, &recipe.provides},
      {part_conflicts, &recipe.conflicts},
  };
  for (const auto& [type, list] : lists)
    if (*list) parts.push_back(part(type, dep_list_payload(**list)));
  if (recipe.image_payload) parts.push_back(part(part_image_payload, *recipe.image_payload));
  if (recipe.files) parts.push_back(part(part_files, zlib_compress(container_content(*recipe.files))));
  if (recipe.signature_size > 0)
    parts.push_back(part(part_signature, std::string(recipe.signature_size, '\0')));
  return parts;
}

bool build_package(const package_recipe& recipe, const signer& sign, std::string* out,
                   std::string* err) {
  std::string body;
  for (const std::string& piece : package_parts(recipe)) body += piece;
  std::string file = whole_file(body, recipe.magic);
  if (sign && !sign_parts(&file, sign, err)) return false;
  *out = std::move(file);
  return true;
}

bool sign_parts(std::string* file, const signer& sign, std::string* err) {
  std::string original = *file;  // the signatures replace bytes of *file as it is read
  memory_source source(original);
  pkg_stream stream(source, true);
  stream.wanted_types = parts_of({part_signature});
  while (stream.next_part() == part_signature) {
    stream.finish_digest();
    std::string trailer;
    if (!sign(stream.digest(), &trailer, err)) return false;
    if (trailer.size() > stream.part_length()) {
      *err = "a signature of " + std::to_string(trailer.size()) + " bytes does not fit a part of " +
             std::to_string(stream.part_length());
      return false;
    }
    file->replace(stream.part_offset(), trailer.size(), trailer);
  }
  return true;
}

std::vector<part_info> list_parts(std::string_view file) {
  std::vector<part_info> parts;
  size_t at = pkg_file_header_size;
  while (file.size() >= at + pkg_part_header_size) {
    part_info info;
    info.offset = at;
    info.type = static_cast<uint16_t>(static_cast<unsigned char>(file[at]) |
                                      static_cast<unsigned char>(file[at + 1]) << 8);
    info.length = get_u32(file, at + 2);
    at += pkg_part_header_size;
    if (file.size() - at < info.length) break;
    parts.push_back(info);
    at += info.length;
  }
  return parts;
}

bool check_member(std::string_view file, std::string* err) {
  std::vector<part_info> parts = list_parts(file);
  auto is_type = [](uint16_t type) { return [type](const part_info& p) { return p.type == type; }; };
  // A bundle's own parts would be taken for the member's, and only its
  // first member would reach the new bundle.
  if (std::any_of(parts.begin(), parts.end(), is_type(part_bundle_header))) {
    *err = "is itself a bundle, and bundles do not nest";
    return false;
  }
  auto header = std::find_if(parts.begin(), parts.end(), is_type(part_package_header));
  if (header == parts.end()) {
    *err = "no package header";
    return false;
  }
  if (std::count_if(parts.begin(), parts.end(), is_type(part_package_header)) > 1) {
    *err = "holds more than one package";
    return false;
  }
  if (std::none_of(header, parts.end(), is_type(part_signature))) {
    *err = "not signed: no signature part";
    return false;
  }
  return true;
}

namespace {

// The span of a member file that goes into a bundle: its package header
// part through its signature part. *sha256 tells whether a SHA-256 marker
// precedes the header.
bool member_span(std::string_view file, std::string_view* span, bool* sha256, std::string* err) {
  if (!check_member(file, err)) return false;
  std::vector<part_info> parts = list_parts(file);
  auto header = std::find_if(parts.begin(), parts.end(),
                             [](const part_info& p) { return p.type == part_package_header; });
  auto signature =
      std::find_if(header, parts.end(), [](const part_info& p) { return p.type == part_signature; });
  *sha256 = std::any_of(parts.begin(), header,
                        [](const part_info& p) { return p.type == part_digest_sha256; });
  uint64_t end = signature->offset + pkg_part_header_size + signature->length;
  *span = file.substr(header->offset, end - header->offset);
  return true;
}

}  // namespace

bool build_bundle(const bundle_recipe& recipe, const std::vector<std::string>& members,
                  std::string* out, std::string* err) {
  if (members.empty()) {
    *err = "a bundle needs at least one member";
    return false;
  }
  std::string tail;
  std::optional<bool> sha256;
  for (size_t i = 0; i < members.size(); ++i) {
    std::string_view span;
    bool member_sha256 = false;
    if (!member_span(members[i], &span, &member_sha256, err)) {
      *err = "member " + std::to_string(i + 1) + ": " + *err;
      return false;
    }
    if (sha256 && *sha256 != member_sha256) {
      *err = "members mix SHA-1 and SHA-256 digests";
      return false;
    }
    sha256 = member_sha256;
    tail.append(span);
  }
  std::string body;
  if (*sha256) body += part(part_digest_sha256, "");
  body += part(part_bundle_header, header_payload(recipe.name, recipe.version, recipe.build_time, recipe.flags));
  const std::pair<pkg_part_type, const std::optional<std::string>*> texts[] = {
      {part_text_a, &recipe.text_a},
      {part_architecture, &recipe.arch},
      {part_text_b, &recipe.text_b},
      {part_note, &recipe.note},
  };
  for (const auto& [type, text] : texts)
    if (*text) body += part(type, **text);
  if (recipe.keep_image) body += part(part_image_payload, "");
  if (recipe.member_list) body += part(part_bundle_members, dep_list_payload(*recipe.member_list));
  body += tail;
  *out = whole_file(body, recipe.magic);
  return true;
}

}  // namespace pkgbuild
