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
// The buffer never holds data of its own: gptr() stays null, so every read
// of the istream lands in xsgetn, uflow or underflow and is counted against
// the current part there. Nothing can be put back (the streambuf's default
// refuses), so the digest and the copy see every byte exactly once.
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

// Reads the rest of the current part as text, keeping at most pkg_max_text
// bytes. What is not kept is left for next_part() to skip, which still
// hashes and copies it. A text cut short keeps what arrived.
std::string read_text(pkg_stream& stream) {
  std::string text;
  char chunk[text_chunk];
  size_t wanted = std::min<size_t>(stream.part_length(), pkg_max_text);
  while (text.size() < wanted) {
    size_t piece = std::min(wanted - text.size(), text_chunk);
    stream.read(chunk, static_cast<std::streamsize>(piece));
    text.append(chunk, static_cast<size_t>(stream.gcount()));
    if (!stream) break;
  }
  return text;
}

}  // namespace

pkg_streambuf::pkg_streambuf(std::streambuf* source, bool hashing, std::streambuf* copy)
    : source_(source), copy_(copy), hashing_(hashing) {}

size_t pkg_streambuf::read_source(char* buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    std::streamsize got = source_->sgetn(buffer + done, static_cast<std::streamsize>(count - done));
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

void pkg_streambuf::copy_out(const char* data, size_t count) {
  if (copy_ && count > 0) copy_->sputn(data, static_cast<std::streamsize>(count));
}

void pkg_streambuf::hash(const char* data, size_t count) {
  if (hashing_ && count > 0) active_->update(data, count);
}

void pkg_streambuf::finish_digest() { active_->final(digest_); }

size_t pkg_streambuf::read_through(char* buffer, size_t count) {
  size_t got = read_source(buffer, count);
  hash(buffer, got);
  copy_out(buffer, got);
  return got;
}

bool pkg_streambuf::skip(uint32_t count) {
  if (count == 0) return true;
  if (!hashing_ && !copy_) {
    pos_type moved = source_->pubseekoff(count, std::ios_base::cur, std::ios_base::in);
    if (moved != pos_type(off_type(-1))) {
      remaining_ -= count;
      return true;
    }
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

void pkg_streambuf::begin_part(const char header[6]) {
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

std::streamsize pkg_streambuf::showmanyc() {
  std::streamsize available = source_->in_avail();
  if (available < 0) return -1;
  return std::min<std::streamsize>(available, remaining_);
}

std::streamsize pkg_streambuf::xsgetn(char* buffer, std::streamsize count) {
  if (remaining_ == 0 || count <= 0) return 0;
  size_t wanted = std::min<uint64_t>(static_cast<uint64_t>(count), remaining_);
  size_t got = read_through(buffer, wanted);
  remaining_ -= static_cast<uint32_t>(got);
  return static_cast<std::streamsize>(got);
}

pkg_streambuf::int_type pkg_streambuf::underflow() {
  if (remaining_ == 0) return traits_type::eof();
  return source_->sgetc();
}

pkg_streambuf::int_type pkg_streambuf::uflow() {
  if (remaining_ == 0) return traits_type::eof();
  int_type c = source_->sbumpc();
  if (traits_type::eq_int_type(c, traits_type::eof())) return c;
  --remaining_;
  char byte = traits_type::to_char_type(c);
  hash(&byte, 1);
  copy_out(&byte, 1);
  return c;
}

pkg_streambuf::pos_type pkg_streambuf::seekoff(off_type off, std::ios_base::seekdir dir,
                                               std::ios_base::openmode) {
  int64_t base = 0;
  if (dir == std::ios_base::cur)
    base = static_cast<int64_t>(part_length_) - static_cast<int64_t>(remaining_);
  else if (dir == std::ios_base::end)
    base = part_length_;
  int64_t offset = static_cast<int64_t>(off);
  // Offsets come from untrusted lengths: keep the sum from overflowing.
  if ((offset > 0 && base > INT64_MAX - offset)) return pos_type(off_type(-1));
  return seekpos(pos_type(off_type(base + offset)), std::ios_base::in);
}

pkg_streambuf::pos_type pkg_streambuf::seekpos(pos_type pos, std::ios_base::openmode) {
  const pos_type failed(off_type(-1));
  int64_t target = static_cast<int64_t>(off_type(pos));
  if (target < 0 || target > static_cast<int64_t>(part_length_)) return failed;
  uint32_t target_remaining = part_length_ - static_cast<uint32_t>(target);
  if (target_remaining == remaining_) return pos;
  int64_t current = static_cast<int64_t>(part_length_) - remaining_;
  if (!hashing_ && !copy_) {
    pos_type moved = source_->pubseekoff(target - current, std::ios_base::cur, std::ios_base::in);
    if (moved != failed) {
      remaining_ = target_remaining;
      return pos;
    }
  }
  if (target < current) return failed;
  if (!skip(remaining_ - target_remaining)) return failed;
  return pos;
}

pkg_stream::pkg_stream(std::streambuf* source, bool hashing, std::streambuf* copy)
    : std::istream(nullptr), buf_(source, hashing, copy) {
  rdbuf(&buf_);
  char header[pkg_file_header_size];
  size_t got = buf_.read_source(header, sizeof header);
  buf_.copy_out(header, got);
  if (got < sizeof header) {
    magic_ = pkg_magic_incomplete;
    setstate(std::ios_base::badbit);
    refuse(got == 0 ? "it is empty" : "it ends after " + std::to_string(got) + " bytes, inside the file header");
    return;
  }
  magic_ = get_u32(header);
  total_length_ = static_cast<uint64_t>(get_u32(header + 4)) + pkg_file_header_size;
  buf_.part_offset_ += static_cast<uint32_t>(pkg_file_header_size);
  if (magic_ != pkg_magic_primary && magic_ != pkg_magic_secondary) {
    setstate(std::ios_base::badbit);
    char text[64];
    std::snprintf(text, sizeof text, "not a package file (its magic is 0x%08x)", magic_);
    refuse(text);
  }
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
  if (buf_.remaining() > 0)
    note_cut_short();
  else
    refuse(part_label(type_) + " holds " + std::to_string(buf_.part_length()) + " bytes, too few for " +
           what);
}

void pkg_stream::note_cut_short() {
  refuse(part_label(type_) + " declares " + std::to_string(buf_.part_length()) +
         " bytes, but the file ends " + std::to_string(buf_.part_length() - buf_.remaining()) + " bytes into it");
}

pkg_stream::~pkg_stream() = default;

int pkg_stream::next_part() {
  if (bad() || fail()) return type_ = -1;
  clear();
  for (;;) {
    if (!buf_.skip(buf_.remaining_)) {
      note_cut_short();
      setstate(std::ios_base::eofbit | std::ios_base::failbit);
      return type_ = -1;
    }
    buf_.part_offset_ += buf_.part_length_;
    buf_.part_length_ = 0;
    char header[pkg_part_header_size];
    size_t got = buf_.read_source(header, sizeof header);
    if (got < sizeof header) {
      // The consumed bytes still belong to the copy; the digest ends here.
      buf_.copy_out(header, got);
      if (buf_.hashing_) buf_.finish_digest();
      setstate(std::ios_base::eofbit | std::ios_base::failbit);
      return type_ = -1;
    }
    buf_.begin_part(header);
    type_ = get_u16(header);
    if (std::find(wanted_types.begin(), wanted_types.end(), static_cast<uint32_t>(type_)) !=
        wanted_types.end())
      return type_;
  }
}

bool read_dep_list(pkg_stream& stream, std::vector<pkg_dep>& list) {
  char count_field[2];
  if (!stream.read(count_field, sizeof count_field)) {
    stream.refuse_short_read("a list");
    return false;
  }
  uint16_t count = get_u16(count_field);
  for (uint16_t i = 0; i < count; ++i) {
    char entry[pkg_dep_entry_size];
    if (!stream.read(entry, sizeof entry)) {
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
    record.text_a = read_text(stream);
    stream.next_part();
  }
  if (stream.type() == part_architecture) {
    record.arch = read_text(stream);
    stream.next_part();
  } else {
    record.arch = "i386";
  }
  if (stream.type() == part_text_b) {
    record.text_b = read_text(stream);
    stream.next_part();
  }
  if (stream.type() == part_note) {
    record.note = read_text(stream);
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
  if (!stream.read(header, sizeof header)) {
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
  if (stream.read(flags, sizeof flags)) {
    record.flags = get_u32(flags);
  } else {
    record.flags = 0;
    stream.clear();
  }
  stream.next_part();
  if (!read_optional_parts(record, stream)) return false;
  if (stream.type() == part_image_payload) record.keeps_image = true;
  return true;
}
