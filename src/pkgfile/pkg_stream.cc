#include "pkgfile/pkg_stream.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "model/names.h"
#include "model/record.h"
#include "pkgfile/names.h"
#include "pkgfile/pkg_format.h"

// Implementation notes.
//
// The stream holds no data of its own: every read is counted against the
// current part as it passes, and nothing can be put back, so the digest and
// the copy see every byte exactly once.
//
// Bulk reads and skips go straight to the source. A pipe hands over what it
// has, so every source read is repeated until the count is met or the source
// reports a real end.

namespace {

// Largest piece read at once while skipping a part the caller did not ask
// for: the one chunk the reader holds in memory.
constexpr size_t skip_chunk = 16384;
// Texts are read in pieces as bytes arrive, never allocated from their
// declared length.
constexpr size_t text_chunk = 4096;

// The name field: up to the first NUL, at most 16 bytes.
std::string get_name(const char* field) {
  const void* nul = std::memchr(field, 0, pkg_name_size);
  size_t size = nul ? static_cast<size_t>(static_cast<const char*>(nul) - field) : pkg_name_size;
  return std::string(field, size);
}

}  // namespace

pkg_stream::pkg_stream(byte_source& source, bool hashing, byte_sink* copy)
    : source_(source), copy_(copy), hashing_(hashing) {
  char header[pkg_file_header_size];
  size_t got = read_source(header, sizeof header);
  copy_out(header, got);
  if (got < sizeof header) {
    magic_ = pkg_magic_incomplete;
    failed_ = true;
    refuse(got == 0 ? "it is empty" : "it ends after " + std::to_string(got) + " bytes, inside the file header");
    return;
  }
  magic_ = get_u32(header);
  total_length_ = static_cast<uint64_t>(get_u32(header + 4)) + pkg_file_header_size;
  part_offset_ += static_cast<uint32_t>(pkg_file_header_size);
  if (magic_ != pkg_magic_primary && magic_ != pkg_magic_secondary) {
    failed_ = true;
    char text[64];
    std::snprintf(text, sizeof text, "not a package file (its magic is 0x%08x)", magic_);
    refuse(text);
  }
}

size_t pkg_stream::read_source(char* buffer, size_t count) { return read_full(source_, buffer, count); }

void pkg_stream::copy_out(const char* data, size_t count) {
  if (copy_ && count > 0) copy_->write(data, count);
}

void pkg_stream::hash(const char* data, size_t count) {
  if (hashing_ && count > 0) active_->update(data, count);
}

void pkg_stream::finish_digest() { active_->final(digest_); }

size_t pkg_stream::read_through(char* buffer, size_t count) {
  size_t got = read_source(buffer, count);
  hash(buffer, got);
  copy_out(buffer, got);
  return got;
}

size_t pkg_stream::read(char* buffer, size_t count) {
  size_t got = read_through(buffer, std::min<size_t>(count, remaining_));
  remaining_ -= static_cast<uint32_t>(got);
  return got;
}

bool pkg_stream::read_exact(char* buffer, size_t count) {
  if (failed_) return false;
  if (read(buffer, count) == count) return true;
  failed_ = true;
  return false;
}

std::string pkg_stream::read_text() {
  std::string text;
  if (failed_) return text;
  char chunk[text_chunk];
  size_t wanted = std::min<size_t>(part_length_, pkg_max_text);
  while (text.size() < wanted) {
    size_t piece = std::min(wanted - text.size(), text_chunk);
    size_t got = read(chunk, piece);
    text.append(chunk, got);
    if (got < piece) {
      failed_ = true;
      break;
    }
  }
  return text;
}

size_t pkg_stream::read_unhashed(char* buffer, size_t count) {
  size_t got = read_source(buffer, std::min<size_t>(count, remaining_));
  copy_out(buffer, got);
  remaining_ -= static_cast<uint32_t>(got);
  return got;
}

bool pkg_stream::skip_payload(uint32_t count) {
  if (count == 0) return true;
  if (!hashing_ && !copy_) {
    uint32_t passed = static_cast<uint32_t>(source_.skip(count));
    remaining_ -= passed;
    return passed == count;
  }
  char chunk[skip_chunk];
  while (count > 0) {
    size_t piece = std::min<size_t>(count, skip_chunk);
    size_t got = read_through(chunk, piece);
    remaining_ -= static_cast<uint32_t>(got);
    count -= static_cast<uint32_t>(got);
    if (got < piece) return false;
  }
  return true;
}

void pkg_stream::begin_part(const char header[6]) {
  uint16_t type = get_u16(header);
  copy_out(header, pkg_part_header_size);
  if (hashing_) {
    // The SHA-256 marker's own header already belongs to the new digest; a
    // package header closes the previous package's digest and opens its own.
    if (type == part_digest_sha256)
      active_ = &sha256_;
    else if (type == part_package_header)
      finish_digest();
    hash(header, pkg_part_header_size);
  }
  part_offset_ += static_cast<uint32_t>(pkg_part_header_size);
  part_length_ = remaining_ = get_u32(header + 2);
}

std::string part_label(int type) {
  static const std::pair<int, const char*> names[] = {
      {part_package_header, "package header"}, {part_text_b, "text"},         {part_depends, "depends"},
      {part_files, "files"},                   {part_signature, "signature"}, {part_architecture, "architecture"},
      {part_conflicts, "conflicts"},           {part_bundle_header, "bundle header"},
      {part_provides, "provides"},             {part_bundle_members, "bundle members"},
      {part_image_payload, "image"},           {part_note, "note"},           {part_text_a, "text"},
      {part_digest_sha256, "SHA-256 marker"}};
  std::string label = "part " + std::to_string(type);
  for (const auto& [known, name] : names)
    if (known == type) return label + " (" + name + ")";
  return label;
}

void pkg_stream::refuse(std::string cause) {
  if (refusal_.empty()) refusal_ = std::move(cause);
}

void pkg_stream::refuse_short_read(const char* what) {
  if (remaining_ > 0)
    note_cut_short();
  else
    refuse(part_label(type_) + " holds " + std::to_string(part_length_) + " bytes, too few for " +
           what);
}

void pkg_stream::note_cut_short() {
  refuse(part_label(type_) + " declares " + std::to_string(part_length_) +
         " bytes, but the file ends " + std::to_string(part_length_ - remaining_) + " bytes into it");
}

int pkg_stream::next_part() {
  if (failed_) return type_ = -1;
  for (;;) {
    if (!skip_payload(remaining_)) {
      note_cut_short();
      failed_ = true;
      return type_ = -1;
    }
    part_offset_ += part_length_;
    part_length_ = 0;
    char header[pkg_part_header_size];
    size_t got = read_source(header, sizeof header);
    if (got < sizeof header) {
      // The consumed bytes still belong to the copy; the digest ends here.
      copy_out(header, got);
      if (hashing_) finish_digest();
      failed_ = true;
      return type_ = -1;
    }
    begin_part(header);
    type_ = get_u16(header);
    if (holds_part(wanted_types, type_)) return type_;
  }
}

bool read_dep_list(pkg_stream& stream, std::vector<pkg_dep>& list) {
  char count_field[2];
  if (!stream.read_exact(count_field, sizeof count_field)) {
    stream.refuse_short_read("a list");
    return false;
  }
  uint16_t count = get_u16(count_field);
  for (uint16_t i = 0; i < count; ++i) {
    char entry[pkg_dep_entry_size];
    if (!stream.read_exact(entry, sizeof entry)) {
      stream.refuse_short_read(("the " + std::to_string(count) + " entries of its list").c_str());
      return false;
    }
    pkg_dep dep;
    dep.name = get_name(entry);
    if (!is_safe_dep_name(dep.name)) {
      stream.refuse("the list of " + part_label(stream.type()) + " names \"" + dep.name +
                    "\", which is no package name");
      return false;
    }
    dep.min_version = get_u32(entry + 16);
    dep.max_version = get_u32(entry + 24);
    dep.extra = static_cast<int32_t>(get_u32(entry + 28));
    list.push_back(std::move(dep));
  }
  return true;
}

namespace {

// The optional parts after a header, in the only order they are read.
bool read_optional_parts(pkg_record& record, pkg_stream& stream) {
  if (stream.type() == part_text_a) {
    record.text_a = stream.read_text();
    stream.next_part();
  }
  if (stream.type() == part_architecture) {
    record.arch = stream.read_text();
    stream.next_part();
  } else {
    record.arch = "i386";
  }
  if (stream.type() == part_text_b) {
    record.text_b = stream.read_text();
    stream.next_part();
  }
  if (stream.type() == part_note) {
    record.note = stream.read_text();
    stream.next_part();
  }
  const std::pair<int, std::vector<pkg_dep>*> lists[] = {
      {part_depends, &record.depends},
      {part_provides, &record.provides},
      {part_conflicts, &record.conflicts},
  };
  for (const auto& [type, list] : lists) {
    if (stream.type() != type) continue;
    if (!read_dep_list(stream, *list)) return false;
    stream.next_part();
  }
  return true;
}

}  // namespace

bool read_package_header(pkg_record& record, pkg_stream& stream) {
  if (stream.type() != part_package_header && stream.type() != part_bundle_header) return false;
  record.is_bundle = stream.type() == part_bundle_header;
  char header[pkg_header_min_size];
  if (!stream.read_exact(header, sizeof header)) {
    stream.refuse_short_read("a package header");
    return false;
  }
  std::string name = get_name(header);
  if (!is_safe_package_name(name)) {
    stream.refuse("its header names \"" + name + "\", which is no package name");
    return false;
  }
  record.name = std::move(name);
  record.version = get_u32(header + 16);
  record.build_time = get_u32(header + 20);
  char flags[4];
  // The flags are optional: a shorter header leaves them 0.
  record.flags = stream.read(flags, sizeof flags) == sizeof flags ? get_u32(flags) : 0;
  stream.next_part();
  if (!read_optional_parts(record, stream)) return false;
  if (stream.type() == part_image_payload) record.keeps_image = true;
  return true;
}
