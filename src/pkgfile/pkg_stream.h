// The package file reader.
//
// A package file is an 8-byte file header (magic, length) followed by typed,
// length-prefixed parts (u16 type, u32 length, payload), all integers
// little-endian. pkg_stream has no buffer of its own: it confines reads to
// the current part's payload, skips parts the caller did not ask for, feeds
// every consumed byte into the package digest and copies every consumed byte
// (file header included) to an optional sink.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pkgfile/pkg_format.h"
#include "platform/byte_stream.h"
#include "platform/crypto.h"

struct pkg_record;
struct pkg_dep;

class pkg_stream : public byte_source {
 public:
  // Reads the file header at once. `source` and `copy` are borrowed and must
  // outlive the stream.
  pkg_stream(byte_source& source, bool hashing, byte_sink* copy = nullptr);
  pkg_stream(const pkg_stream&) = delete;
  pkg_stream& operator=(const pkg_stream&) = delete;

  part_set wanted_types = 0;

  // Type of the next wanted part, or -1 at the end or on failure.
  int next_part();
  int type() const { return type_; }
  uint32_t part_length() const { return part_length_; }
  uint32_t part_offset() const { return part_offset_; }
  uint32_t remaining() const { return remaining_; }
  uint32_t magic() const { return magic_; }
  // Length field of the file header plus 8, computed in 64 bits.
  uint64_t total_length() const { return total_length_; }

  // Reads up to `count` bytes of the current part's payload, hashed and
  // copied; 0 at the end of the part.
  size_t read(char* buffer, size_t count) override;
  // Reads exactly `count` bytes of the payload. False when fewer were left:
  // the stream has then failed, and next_part() finds no further part.
  bool read_exact(char* buffer, size_t count);
  bool failed() const { return failed_; }
  // Reads the rest of the current part as text, keeping at most
  // pkg_max_text bytes. What is not kept is left for next_part() to skip,
  // which still hashes and copies it. A text cut short keeps what arrived
  // and fails the stream.
  std::string read_text();

  bool hashing() const { return hashing_; }
  // Finishes the active digest into digest() (zeroed 32 bytes at start; a
  // SHA-1 digest fills the first 20).
  void finish_digest();
  const uint8_t* digest() const { return digest_; }
  // Reads up to `count` payload bytes that the digest does not cover (the
  // signature trailer): copied, counted against the part, never hashed.
  size_t read_unhashed(char* buffer, size_t count);

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
  // Reads up to `count` bytes straight from the source, repeating short
  // reads until the count is met or the source has truly ended; neither
  // hashed nor copied.
  size_t read_source(char* buffer, size_t count);
  // Passes bytes to the copy sink.
  void copy_out(const char* data, size_t count);
  void hash(const char* data, size_t count);
  // Reads up to `count` source bytes, hashed and copied. Leaves remaining_
  // alone.
  size_t read_through(char* buffer, size_t count);
  // Consumes `count` payload bytes without keeping them: a skip of the
  // source when neither digest nor copy would miss them, else reads in
  // chunks. False when the data ended first.
  bool skip_payload(uint32_t count);
  // Starts the next part, its header already read.
  void begin_part(const char header[6]);
  // Notes a part that ends before its declared length.
  void note_cut_short();

  byte_source& source_;
  byte_sink* copy_;
  uint32_t part_offset_ = 0;
  uint32_t part_length_ = 0;
  uint32_t remaining_ = 0;
  crypto::hasher sha1_{crypto::hasher::kind::sha1};
  crypto::hasher sha256_{crypto::hasher::kind::sha256};
  crypto::hasher* active_ = &sha1_;
  bool hashing_;
  bool failed_ = false;
  uint8_t digest_[32] = {};
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
