// The package file reader.
//
// A package file is an 8-byte file header (magic, length) followed by typed,
// length-prefixed parts (u16 type, u32 length, payload), all integers
// little-endian. pkg_stream is an input stream whose buffer, pkg_streambuf,
// has no buffer of its own: it confines reads to the current part's payload,
// skips parts the caller did not ask for, feeds every consumed byte into the
// package digest and copies every consumed byte (file header included) to an
// optional output.
#pragma once

#include <cstdint>
#include <istream>
#include <streambuf>
#include <string>
#include <vector>

#include "platform/crypto.h"

struct pkg_record;
struct pkg_dep;

class pkg_streambuf : public std::streambuf {
 public:
  // `source` and `copy` are borrowed and must outlive the buffer.
  pkg_streambuf(std::streambuf* source, bool hashing, std::streambuf* copy);

  std::streambuf* source() const { return source_; }
  std::streambuf* copy() const { return copy_; }
  bool hashing() const { return hashing_; }
  uint32_t part_offset() const { return part_offset_; }
  uint32_t part_length() const { return part_length_; }
  uint32_t remaining() const { return remaining_; }
  void consume_unhashed(uint32_t count) { remaining_ -= count; }  // the signature trailer
  // Finishes the active digest into digest() (zeroed 32 bytes at start; a
  // SHA-1 digest fills the first 20).
  void finish_digest();
  const uint8_t* digest() const { return digest_; }

  // Used by pkg_stream and by the trailer read of the signature check.
  // Reads up to `count` bytes straight from the source, repeating short
  // reads until the count is met or the source has truly ended; neither
  // hashed nor copied. Returns the count obtained.
  size_t read_source(char* buffer, size_t count);
  // Passes bytes consumed outside the part accounting (file header, part
  // headers, trailer) to the copy output.
  void copy_out(const char* data, size_t count);

 protected:
  std::streamsize showmanyc() override;
  std::streamsize xsgetn(char* buffer, std::streamsize count) override;
  int_type underflow() override;
  int_type uflow() override;
  pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) override;
  pos_type seekpos(pos_type pos, std::ios_base::openmode which) override;

 private:
  friend class pkg_stream;
  // Reads up to `count` source bytes; bytes put back earlier are re-reads,
  // everything else is hashed and copied. Leaves remaining_ alone.
  size_t read_through(char* buffer, size_t count);
  // Consumes `count` payload bytes without keeping them: a seek of the source
  // when neither digest nor copy would miss them, else reads in chunks.
  // False when the data ended first.
  bool skip(uint32_t count);
  // Starts the next part: called by pkg_stream::next_part with the part
  // header already read.
  void begin_part(const char header[6]);
  void hash(const char* data, size_t count);

  std::streambuf* source_;
  uint32_t part_offset_ = 0;
  uint32_t part_length_ = 0;
  uint32_t remaining_ = 0;
  std::streambuf* copy_;
  crypto::hasher sha1_{crypto::hasher::kind::sha1};
  crypto::hasher sha256_{crypto::hasher::kind::sha256};
  crypto::hasher* active_ = &sha1_;
  bool hashing_;
  uint8_t digest_[32] = {};
};

class pkg_stream : public std::istream {
 public:
  // Reads the file header at once. `source` and `copy` are borrowed.
  pkg_stream(std::streambuf* source, bool hashing, std::streambuf* copy = nullptr);
  ~pkg_stream() override;

  std::vector<uint32_t> wanted_types;

  // Type of the next wanted part, or -1 at the end or on failure.
  int next_part();
  int type() const { return type_; }
  uint32_t part_length() const { return buf_.part_length(); }
  uint32_t part_offset() const { return buf_.part_offset(); }
  uint32_t magic() const { return magic_; }
  // Length field of the file header plus 8, computed in 64 bits.
  uint64_t total_length() const { return total_length_; }
  pkg_streambuf& buf() { return buf_; }

  // Why the file is refused, in words for the user: the first cause any
  // reader of the stream found (a magic that is not a package's, a part cut
  // short, a name refused, a signature too weak), or "" when none was.
  // `subject` names what the cause is about (the package or bundle being
  // installed), "" until a header was read.
  void refuse(std::string cause);
  const std::string& refusal() const { return refusal_; }
  void set_subject(std::string subject) { subject_ = std::move(subject); }
  const std::string& subject() const { return subject_; }
  // Notes why a read of `what` from the current part came up short: the
  // part is shorter than that, or the file ends inside it.
  void refuse_short_read(const char* what);

 private:
  // Notes a part that ends before its declared length.
  void note_cut_short();

  pkg_streambuf buf_;
  std::string refusal_;
  std::string subject_;
  int type_ = -1;
  uint32_t magic_ = 0xFFFFFFFF;
  uint64_t total_length_ = 0;
};

// "part 9 (signature)", or "part 7" for a type the format does not name: how
// a part is named to the user.
std::string part_label(int type);

// Reads a package or bundle header (current part of type 1 or 18) and the
// optional parts that follow it in their fixed order. Refuses a name that is
// empty, ".", "..", or holds "/" or a control byte (leaving record.name
// untouched then).
bool read_package_header(pkg_record& record, pkg_stream& stream);
// Appends the entries of a dependency-list payload.
bool read_dep_list(pkg_stream& stream, std::vector<pkg_dep>& list);
