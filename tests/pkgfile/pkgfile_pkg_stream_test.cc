#include "pkgfile/pkg_stream.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <thread>

#include "pkgbuild.h"
#include "pkgdb/record.h"
#include "pkgfile/fd_streambuf.h"
#include "pkgfile/pkg_format.h"
#include "pkgfile_test_sources.h"

namespace {

using pkgbuild::dep_list_payload;
using pkgbuild::header_payload;
using pkgbuild::part;
using pkgbuild::whole_file;
using pkgfile_test::make_source;
using pkgfile_test::recording_buf;
using pkgfile_test::source_kind;

const std::vector<uint32_t> install_types = {1, 18, 20, 16, 3, 19, 17, 21, 4, 9};
// Every type a caller may read.
const std::vector<uint32_t> all_types = {1, 2, 3, 4, 9, 16, 17, 18, 19, 20, 21, 23, 24};

std::string sha1_of(std::string_view data) {
  unsigned char out[32] = {};
  SHA1(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out);
  return std::string(reinterpret_cast<char*>(out), 32);
}

std::string sha256_of(std::string_view data) {
  unsigned char out[32];
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out);
  return std::string(reinterpret_cast<char*>(out), 32);
}

std::string digest_of(pkg_stream& stream) {
  return std::string(reinterpret_cast<const char*>(stream.buf().digest()), 32);
}

// Every combination the reader must behave the same under.
struct mode {
  source_kind kind;
  bool hashing;
  bool copying;
};

std::string describe(const mode& m) {
  return std::string(m.kind == source_kind::file ? "file" : "pipe") + (m.hashing ? "+hash" : "") +
         (m.copying ? "+copy" : "");
}

const mode all_modes[] = {
    {source_kind::file, false, false}, {source_kind::file, true, false},
    {source_kind::file, false, true},  {source_kind::file, true, true},
    {source_kind::pipe, false, false}, {source_kind::pipe, true, false},
    {source_kind::pipe, false, true},  {source_kind::pipe, true, true},
};

// A small package: header, texts, lists, an unknown part, files, signature.
std::string small_body() {
  return part(part_package_header, header_payload("demo", 0x01020066, 1234, 3)) +
         part(part_text_a, "alpha") + part(part_architecture, "mipsbe") +
         part(part_note, std::string("n\0te", 4)) +
         part(part_depends, dep_list_payload({{"system", 0x06000000, 0x07000000, 0}})) +
         part(7, "unknown payload") + part(part_files, "zzzz") +
         part(part_signature, std::string(68, 's'));
}

TEST(pkg_stream, file_header_outcomes) {
  struct row {
    std::string bytes;
    bool good;
    uint32_t magic;
    uint64_t total;
  } rows[] = {
      {"", false, pkg_magic_incomplete, 0},
      {std::string("\x1e\xf1\xd0\xba\x00\x00\x00", 7), false, pkg_magic_incomplete, 0},
      {pkgbuild::file_header(pkg_magic_primary, 0), true, pkg_magic_primary, 8},
      {pkgbuild::file_header(pkg_magic_secondary, 5), true, pkg_magic_secondary, 13},
      {pkgbuild::file_header(0x12345678, 0), false, 0x12345678, 8},
      // The declared total does not fit 32 bits: it must not wrap to 0.
      {pkgbuild::file_header(pkg_magic_primary, 0xFFFFFFF8), true, pkg_magic_primary, 0x100000000ull},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(testing::PrintToString(r.bytes));
    std::stringbuf source(r.bytes, std::ios_base::in);
    pkg_stream stream(&source, true);
    stream.wanted_types = install_types;
    EXPECT_EQ(r.good, stream.good());
    EXPECT_EQ(r.magic, stream.magic());
    if (r.good) { EXPECT_EQ(r.total, stream.total_length()); }
    EXPECT_EQ(-1, stream.next_part());
    EXPECT_EQ(-1, stream.type());
  }
}

TEST(pkg_stream, empty_file_finishes_digest_of_no_data) {
  std::stringbuf source(whole_file(""), std::ios_base::in);
  pkg_stream stream(&source, true);
  EXPECT_EQ(-1, stream.next_part());
  EXPECT_EQ(sha1_of(""), digest_of(stream));
}

// The digest covers the package header's header up to the signature part's
// header, skipped parts included, never the file header.
TEST(pkg_stream, digest_span_in_every_mode) {
  std::string prefix = part(7, "before the package");
  std::string body = prefix + small_body();
  std::string file = whole_file(body);
  size_t span_start = 8 + prefix.size();
  size_t span_end = file.size() - 68;  // up to the signature payload
  for (const mode& m : all_modes) {
    SCOPED_TRACE(describe(m));
    recording_buf source = make_source(file, m.kind);
    std::stringbuf copy;
    pkg_stream stream(&source, m.hashing, m.copying ? &copy : nullptr);
    stream.wanted_types = {part_signature};
    ASSERT_EQ(part_signature, stream.next_part());
    stream.buf().finish_digest();
    if (m.hashing) {
      EXPECT_EQ(sha1_of(std::string_view(file).substr(span_start, span_end - span_start)),
                digest_of(stream));
    }
    EXPECT_EQ(-1, stream.next_part());
    if (m.copying) { EXPECT_TRUE(file == copy.str()); }
  }
}

TEST(pkg_stream, sha256_marker_switches_digest_before_its_own_header) {
  std::string body = part(part_digest_sha256, "ignored") + small_body();
  std::string file = whole_file(body);
  recording_buf source = make_source(file, source_kind::pipe);
  pkg_stream stream(&source, true);
  stream.wanted_types = {part_signature};
  ASSERT_EQ(part_signature, stream.next_part());
  stream.buf().finish_digest();
  size_t span_start = 8 + part(part_digest_sha256, "ignored").size();
  EXPECT_EQ(sha256_of(std::string_view(file).substr(span_start, file.size() - 68 - span_start)),
            digest_of(stream));
}

TEST(pkg_stream, full_header_in_every_mode) {
  std::string file = whole_file(small_body());
  for (const mode& m : all_modes) {
    SCOPED_TRACE(describe(m));
    recording_buf source = make_source(file, m.kind);
    std::stringbuf copy;
    pkg_stream stream(&source, m.hashing, m.copying ? &copy : nullptr);
    stream.wanted_types = all_types;
    ASSERT_EQ(part_package_header, stream.next_part());
    pkg_image record;
    ASSERT_TRUE(read_package_header(record, stream));
    EXPECT_EQ("demo", record.name);
    EXPECT_EQ(0x01020066u, record.version);
    EXPECT_EQ(1234u, record.build_time);
    EXPECT_EQ(3u, record.flags);
    EXPECT_EQ("alpha", record.text_a);
    EXPECT_EQ("mipsbe", record.arch);
    EXPECT_EQ(std::string("n\0te", 4), record.note);
    ASSERT_EQ(1u, record.depends.size());
    EXPECT_EQ("system", record.depends[0].name);
    EXPECT_EQ(0x06000000u, record.depends[0].min_version);
    EXPECT_EQ(0x07000000u, record.depends[0].max_version);
    EXPECT_FALSE(record.keeps_image);
    // The unknown part 7 is skipped on the way to the files.
    EXPECT_EQ(part_files, stream.type());
    EXPECT_EQ(part_signature, stream.next_part());
    EXPECT_EQ(-1, stream.next_part());
    if (m.copying) { EXPECT_TRUE(file == copy.str()); }
  }
}

TEST(pkg_stream, header_variants) {
  struct row {
    const char* what;
    std::string body;
    std::string name;
    uint32_t flags;
    std::string arch;
    bool keeps_image;
    int type_after;
  } rows[] = {
      {"32-byte header: flags 0, stream stays good",
       part(1, header_payload("short", 1, 2, 9, false)) + part(part_note, "n"), "short", 0, "i386",
       false, part_signature},
      {"16-character name has no NUL", part(1, header_payload("abcdefghijklmnop", 1, 2, 0)),
       "abcdefghijklmnop", 0, "i386", false, -1},
      {"architecture after depends is not read",
       part(1, header_payload("a", 1, 2, 0)) + part(part_depends, dep_list_payload({})) +
           part(part_architecture, "arm"),
       "a", 0, "i386", false, part_architecture},
      {"image payload marks keeps_image and is left to the caller",
       part(18, header_payload("b", 1, 2, 0)) + part(part_image_payload, "x"), "b", 0, "i386", true,
       part_image_payload},
      {"header payload longer than 36 bytes", part(1, header_payload("c", 1, 2, 5) + "extra"), "c", 5,
       "i386", false, -1},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    std::string file = whole_file(r.body + (r.type_after == part_signature ? part(9, "") : ""));
    std::stringbuf source(file, std::ios_base::in);
    pkg_stream stream(&source, true);
    stream.wanted_types = install_types;
    stream.next_part();
    pkg_image record;
    ASSERT_TRUE(read_package_header(record, stream));
    EXPECT_EQ(r.name, record.name);
    EXPECT_EQ(r.flags, record.flags);
    EXPECT_EQ(r.arch, record.arch);
    EXPECT_EQ(r.keeps_image, record.keeps_image);
    EXPECT_EQ(r.type_after, stream.type());
  }
}

TEST(pkg_stream, header_refusals) {
  struct row {
    const char* what;
    std::string body;
  } rows[] = {
      {"header payload shorter than 32 bytes", part(1, header_payload("x", 1, 2, 0).substr(0, 31))},
      {"list cut short", part(1, header_payload("x", 1, 2, 0)) +
                             part(part_depends, dep_list_payload({{"a", 0, 0, 0}}, 2))},
      {"list count without its field", part(1, header_payload("x", 1, 2, 0)) + part(part_provides, "\x01")},
      {"not a header part", part(part_note, "n")},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    std::stringbuf source(whole_file(r.body), std::ios_base::in);
    pkg_stream stream(&source, true);
    stream.wanted_types = install_types;
    stream.wanted_types.push_back(part_note);
    stream.next_part();
    pkg_image record;
    EXPECT_FALSE(read_package_header(record, stream));
  }
}

// A name that leaves one plain path component would move the package's
// database directory and its staged removals elsewhere.
TEST(pkg_stream, unsafe_package_names_are_refused_and_name_kept) {
  const std::string refused[] = {"", ".", "..", "a/b", "/", std::string("a\x01", 2), "a\x7f", "tab\there"};
  for (const std::string& name : refused) {
    SCOPED_TRACE(testing::PrintToString(name));
    for (int type : {1, 18}) {
      std::stringbuf source(whole_file(part(type, header_payload(name, 1, 2, 0))), std::ios_base::in);
      pkg_stream stream(&source, false);
      stream.wanted_types = install_types;
      stream.next_part();
      pkg_image record("from-directory");
      EXPECT_FALSE(read_package_header(record, stream));
      EXPECT_EQ("from-directory", record.name);
    }
  }
  for (const std::string name : {"a.b", "..a", "x..", "with space", "\xc3\xa9t\xc3\xa9"}) {
    SCOPED_TRACE(name);
    std::stringbuf source(whole_file(part(1, header_payload(name, 1, 2, 0))), std::ios_base::in);
    pkg_stream stream(&source, false);
    stream.wanted_types = install_types;
    stream.next_part();
    pkg_image record;
    EXPECT_TRUE(read_package_header(record, stream));
    EXPECT_EQ(name, record.name);
  }
}

// List names are stored blank-separated in the database.
TEST(pkg_stream, unsafe_list_names_fail_the_list) {
  const std::string refused[] = {"", "a b", "\x01x", "x\x7f",
                                 " lead"};
  for (const std::string& name : refused) {
    SCOPED_TRACE(testing::PrintToString(name));
    for (int type : {part_depends, part_provides, part_conflicts}) {
      std::string body = part(1, header_payload("p", 1, 2, 0)) +
                         part(type, dep_list_payload({{"ok", 0, 0, 0}, {name, 1, 2, 3}}));
      std::stringbuf source(whole_file(body), std::ios_base::in);
      pkg_stream stream(&source, false);
      stream.wanted_types = install_types;
      stream.next_part();
      pkg_image record;
      EXPECT_FALSE(read_package_header(record, stream));
    }
  }
  std::stringbuf source(whole_file(part(part_conflicts, dep_list_payload({{"a-b.c_d", 1, 2, -7}}))),
                        std::ios_base::in);
  pkg_stream stream(&source, false);
  stream.wanted_types = {part_conflicts};
  ASSERT_EQ(part_conflicts, stream.next_part());
  std::vector<pkg_dep> list = {{"kept", 0, 0, 0}};
  ASSERT_TRUE(read_dep_list(stream, list));
  ASSERT_EQ(2u, list.size());
  EXPECT_EQ("kept", list[0].name);
  EXPECT_EQ("a-b.c_d", list[1].name);
  EXPECT_EQ(-7, list[1].extra);
}

// A text part declaring 4 GiB in a tiny file must not be allocated up front.
TEST(pkg_stream, declared_text_length_is_never_allocated) {
  std::string body = part(1, header_payload("p", 1, 2, 0)) + part(part_note, "tiny", 0xFFFFFFF0u);
  for (const mode& m : all_modes) {
    SCOPED_TRACE(describe(m));
    recording_buf source = make_source(whole_file(body), m.kind);
    pkg_stream stream(&source, m.hashing);
    stream.wanted_types = all_types;
    stream.next_part();
    pkg_image record;
    ASSERT_TRUE(read_package_header(record, stream));
    EXPECT_EQ("tiny", record.note);  // a text cut short keeps what arrived
    EXPECT_EQ(-1, stream.type());
  }
}

// Texts keep at most 64 KiB; the rest is skipped but still hashed and copied.
TEST(pkg_stream, long_text_is_cut_but_fully_hashed_and_copied) {
  std::string note(pkg_max_text + 1000, 'n');
  note[pkg_max_text] = 'X';
  std::string body = part(1, header_payload("p", 1, 2, 0)) + part(part_note, note) + part(9, "");
  std::string file = whole_file(body);
  for (const mode& m : all_modes) {
    SCOPED_TRACE(describe(m));
    recording_buf source = make_source(file, m.kind);
    std::stringbuf copy;
    pkg_stream stream(&source, true, m.copying ? &copy : nullptr);
    stream.wanted_types = all_types;
    stream.next_part();
    pkg_image record;
    ASSERT_TRUE(read_package_header(record, stream));
    EXPECT_EQ(pkg_max_text, record.note.size());
    EXPECT_EQ(std::string::npos, record.note.find('X'));
    ASSERT_EQ(part_signature, stream.type());
    stream.buf().finish_digest();
    EXPECT_EQ(sha1_of(std::string_view(file).substr(8)), digest_of(stream));
    if (m.copying) { EXPECT_TRUE(file == copy.str()); }
  }
}

TEST(pkg_stream, short_read_ends_the_part_sequence) {
  std::string file = whole_file(part(part_note, "abcd") + part(part_note, "next"));
  for (const mode& m : all_modes) {
    SCOPED_TRACE(describe(m));
    recording_buf source = make_source(file, m.kind);
    pkg_stream stream(&source, m.hashing);
    stream.wanted_types = {part_note};
    ASSERT_EQ(part_note, stream.next_part());
    char buffer[10];
    stream.read(buffer, 10);
    EXPECT_EQ(4, stream.gcount());
    EXPECT_EQ("abcd", std::string(buffer, 4));
    EXPECT_TRUE(stream.eof());
    EXPECT_TRUE(stream.fail());
    EXPECT_EQ(-1, stream.next_part());
  }
}

// Bytes put back and read again go into the digest and the copy once.
TEST(pkg_stream, put_back_bytes_are_hashed_and_copied_once) {
  std::string body = part(1, header_payload("p", 1, 2, 0)) + part(part_note, "abcdef") + part(9, "");
  std::string file = whole_file(body);
  for (const mode& m : all_modes) {
    if (!m.hashing && !m.copying) continue;
    SCOPED_TRACE(describe(m));
    recording_buf source = make_source(file, m.kind);
    std::stringbuf copy;
    pkg_stream stream(&source, m.hashing, m.copying ? &copy : nullptr);
    stream.wanted_types = {part_note, part_signature};
    ASSERT_EQ(part_note, stream.next_part());
    EXPECT_EQ('a', stream.get());
    EXPECT_EQ('b', stream.get());
    ASSERT_TRUE(stream.unget());
    ASSERT_TRUE(stream.putback('a'));
    EXPECT_EQ('a', stream.peek());
    char buffer[3];
    ASSERT_TRUE(stream.read(buffer, 3));
    EXPECT_EQ("abc", std::string(buffer, 3));
    EXPECT_EQ('d', stream.get());
    ASSERT_EQ(part_signature, stream.next_part());
    stream.buf().finish_digest();
    if (m.hashing) { EXPECT_EQ(sha1_of(std::string_view(file).substr(8)), digest_of(stream)); }
    if (m.copying) { EXPECT_TRUE(file == copy.str()); }
  }
}

TEST(pkg_stream, put_back_refusals) {
  std::string file = whole_file(part(part_note, "abc") + part(part_note, "def"));
  std::stringbuf source(file, std::ios_base::in);
  std::stringbuf copy;
  pkg_stream stream(&source, true, &copy);
  stream.wanted_types = {part_note};
  ASSERT_EQ(part_note, stream.next_part());
  // Nothing of the part consumed yet: the byte before it is the header's.
  EXPECT_FALSE(stream.unget());
  stream.clear();
  EXPECT_EQ('a', stream.get());
  // Only the byte consumed may go back.
  EXPECT_FALSE(stream.putback('z'));
  stream.clear();
  EXPECT_EQ('b', stream.get());
  EXPECT_EQ('c', stream.get());
  ASSERT_EQ(part_note, stream.next_part());
  EXPECT_EQ(-1, stream.next_part());
  EXPECT_TRUE(file == copy.str());
}

TEST(pkg_stream, positions_are_relative_to_the_part) {
  std::string file = whole_file(part(part_note, "0123456789") + part(part_text_a, "abcdef"));
  for (const mode& m : all_modes) {
    SCOPED_TRACE(describe(m));
    recording_buf source = make_source(file, m.kind);
    pkg_stream stream(&source, m.hashing);
    stream.wanted_types = {part_note, part_text_a};
    ASSERT_EQ(part_note, stream.next_part());
    EXPECT_EQ(14u, stream.part_offset());
    EXPECT_EQ(0, stream.tellg());
    ASSERT_TRUE(stream.seekg(3, std::ios_base::cur));
    EXPECT_EQ(3, stream.tellg());
    EXPECT_EQ('3', stream.get());
    // From the end: part length plus a negative offset.
    ASSERT_TRUE(stream.seekg(-2, std::ios_base::end));
    EXPECT_EQ(8, stream.tellg());
    EXPECT_EQ('8', stream.get());
    // Beyond the part, and before its start, fail.
    EXPECT_FALSE(stream.seekg(5, std::ios_base::cur));
    stream.clear();
    EXPECT_FALSE(stream.seekg(-100, std::ios_base::cur));
    stream.clear();
    EXPECT_FALSE(stream.seekg(std::numeric_limits<std::streamoff>::max(), std::ios_base::cur));
    stream.clear();
    EXPECT_EQ(9, stream.tellg());
    ASSERT_EQ(part_text_a, stream.next_part());
    EXPECT_EQ(0, stream.tellg());
    EXPECT_EQ(30u, stream.part_offset());
    EXPECT_EQ('a', stream.get());
  }
}

// Going back is possible only when neither digest nor copy would miss the
// bytes and the source can seek.
TEST(pkg_stream, backward_seek_only_without_digest_copy_on_a_file) {
  std::string file = whole_file(part(part_note, "0123456789"));
  for (const mode& m : all_modes) {
    SCOPED_TRACE(describe(m));
    recording_buf source = make_source(file, m.kind);
    std::stringbuf copy;
    pkg_stream stream(&source, m.hashing, m.copying ? &copy : nullptr);
    stream.wanted_types = {part_note};
    ASSERT_EQ(part_note, stream.next_part());
    ASSERT_TRUE(stream.seekg(6));
    bool may_go_back = m.kind == source_kind::file && !m.hashing && !m.copying;
    EXPECT_EQ(may_go_back, !stream.seekg(2).fail());
    stream.clear();
    EXPECT_EQ(may_go_back ? '2' : '6', stream.get());
  }
}

// Skipping reads in chunks of at most 16 KiB, and seeks instead only when
// nothing would miss the bytes.
TEST(pkg_stream, skipping_reads_in_bounded_chunks_or_seeks) {
  std::string big(100000, 'b');
  std::string file = whole_file(part(7, big) + part(part_note, "n"));
  for (const mode& m : all_modes) {
    SCOPED_TRACE(describe(m));
    recording_buf source = make_source(file, m.kind);
    std::stringbuf copy;
    pkg_stream stream(&source, m.hashing, m.copying ? &copy : nullptr);
    stream.wanted_types = {part_note};
    source.largest_read = 0;
    ASSERT_EQ(part_note, stream.next_part());
    EXPECT_EQ('n', stream.get());
    bool may_seek = !m.hashing && !m.copying;
    EXPECT_EQ(may_seek ? 1u : 0u, source.seeks);
    if (may_seek && m.kind == source_kind::file) {
      EXPECT_LE(source.largest_read, 8u) << "only headers are read when the skip seeks";
    } else {
      EXPECT_LE(source.largest_read, 16384u);
    }
  }
}

// A source without a get area, so in_avail() asks its showmanyc.
class unbuffered_buf : public std::streambuf {
 public:
  explicit unbuffered_buf(std::string data) : data_(std::move(data)) {}
  std::streamsize avail_answer = 0;

 protected:
  std::streamsize xsgetn(char* out, std::streamsize count) override {
    size_t n = std::min(static_cast<size_t>(count), data_.size() - at_);
    std::memcpy(out, data_.data() + at_, n);
    at_ += n;
    return static_cast<std::streamsize>(n);
  }
  int_type uflow() override { return at_ < data_.size() ? traits_type::to_int_type(data_[at_++]) : traits_type::eof(); }
  int_type underflow() override { return at_ < data_.size() ? traits_type::to_int_type(data_[at_]) : traits_type::eof(); }
  std::streamsize showmanyc() override { return avail_answer; }

 private:
  std::string data_;
  size_t at_ = 0;
};

TEST(pkg_stream, in_avail_follows_the_source_and_the_part) {
  std::string file = whole_file(part(part_note, "abcdef"));
  struct row {
    std::streamsize source_says;
    size_t consumed;
    std::streamsize expected;
  } rows[] = {{-1, 0, -1}, {1000, 0, 6}, {1000, 4, 2}, {3, 0, 3}, {0, 0, 0}};
  for (const row& r : rows) {
    SCOPED_TRACE(r.source_says);
    unbuffered_buf source(file);
    pkg_stream stream(&source, true);
    stream.wanted_types = {part_note};
    ASSERT_EQ(part_note, stream.next_part());
    stream.ignore(static_cast<std::streamsize>(r.consumed));
    source.avail_answer = r.source_says;
    EXPECT_EQ(r.expected, stream.rdbuf()->in_avail());
  }
}

// Cut a small package at every length: the reader stops cleanly, never
// reports more than is there, and the copy holds exactly what was consumed.
// Reads a package the way installation does: the header with its optional
// parts, then the remaining parts. Returns the types met, and whether the
// header read held.
std::string read_like_installation(pkg_stream& stream, bool* header_ok) {
  std::string sequence;
  *header_ok = false;
  int type = stream.next_part();
  if (type == part_package_header) {
    sequence = "1,";
    pkg_image record;
    *header_ok = read_package_header(record, stream);
    if (!*header_ok) return sequence;
    type = stream.type();
  }
  for (; type >= 0; type = stream.next_part()) sequence += std::to_string(type) + ",";
  return sequence;
}

TEST(pkg_stream, every_truncation_length) {
  std::string file = whole_file(small_body());
  size_t depends_at = file.find(part(part_depends, "").substr(0, 2) + '\x22');
  ASSERT_NE(std::string::npos, depends_at);
  size_t depends_end = depends_at + 6 + 0x22;
  std::string full_sequence;
  {
    std::stringbuf source(file, std::ios_base::in);
    pkg_stream stream(&source, true);
    stream.wanted_types = install_types;
    bool header_ok;
    full_sequence = read_like_installation(stream, &header_ok);
    ASSERT_TRUE(header_ok);
    ASSERT_EQ("1,4,9,", full_sequence);
  }
  for (size_t cut = 0; cut <= file.size(); ++cut) {
    SCOPED_TRACE(cut);
    for (const mode& m : all_modes) {
      SCOPED_TRACE(describe(m));
      std::string truncated = file.substr(0, cut);
      recording_buf source = make_source(truncated, m.kind);
      std::stringbuf copy;
      pkg_stream stream(&source, m.hashing, m.copying ? &copy : nullptr);
      stream.wanted_types = install_types;
      bool header_ok;
      std::string sequence = read_like_installation(stream, &header_ok);
      // The header needs its 32 bytes; a depends list whose part header
      // arrived must arrive whole.
      bool list_cut = cut >= depends_at + 6 && cut < depends_end;
      if (cut >= 8 + 6) {
        EXPECT_EQ(header_ok, cut >= 8 + 6 + 32 && !list_cut);
      }
      EXPECT_EQ(0u, full_sequence.find(sequence)) << sequence;
      // Every cut before the signature payload loses a part.
      if (cut < file.size() - 68) {
        EXPECT_NE(full_sequence, sequence);
      }
      if (header_ok || cut < 8 + 6) {
        EXPECT_EQ(-1, stream.next_part());
        if (m.copying) {
          EXPECT_TRUE(truncated == copy.str()) << "copy is the consumed prefix";
        }
      }
    }
  }
}

// A real pipe: the writer hands the package over in pieces larger than the
// pipe can hold, and the reader still sees every byte and digest.
TEST(pkg_stream, reads_from_a_real_pipe) {
  std::string big(300000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 1000);
  std::string body = part(1, header_payload("p", 1, 2, 0)) + part(7, big) + part(part_note, big) + part(9, "");
  std::string file = whole_file(body);
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  std::thread writer([&] {
    size_t at = 0;
    while (at < file.size()) {
      ssize_t n = write(fds[1], file.data() + at, std::min<size_t>(file.size() - at, 5000));
      if (n <= 0) break;
      at += static_cast<size_t>(n);
    }
    close(fds[1]);
  });
  fd_istreambuf source(fds[0]);
  std::stringbuf copy;
  pkg_stream stream(&source, true, &copy);
  stream.wanted_types = all_types;
  ASSERT_EQ(1, stream.next_part());
  pkg_image record;
  EXPECT_TRUE(read_package_header(record, stream));
  EXPECT_TRUE(big.substr(0, pkg_max_text) == record.note);
  EXPECT_EQ(part_signature, stream.type());
  stream.buf().finish_digest();
  EXPECT_EQ(sha1_of(std::string_view(file).substr(8)), digest_of(stream));
  EXPECT_EQ(-1, stream.next_part());
  writer.join();
  close(fds[0]);
  EXPECT_TRUE(file == copy.str());
}

}  // namespace
