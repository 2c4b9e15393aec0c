// verify_package over real package streams: trailer lengths, both schemes,
// the digest span, and what reaches the copy output.
#include "pkgfile/verify.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "keyfile.h"
#include "pkgfile/pkg_format.h"
#include "pkgfile/pkg_stream.h"
#include "sign.h"

namespace {

using bytes = std::vector<uint8_t>;

void put16(bytes* out, uint16_t v) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}
void put32(bytes* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put_part(bytes* out, uint16_t type, const bytes& payload) {
  put16(out, type);
  put32(out, static_cast<uint32_t>(payload.size()));
  out->insert(out->end(), payload.begin(), payload.end());
}

// A source that hands out at most 7 bytes per bulk read and cannot seek, as
// a pipe does.
class trickle_buf : public std::stringbuf {
 public:
  explicit trickle_buf(const std::string& s) : std::stringbuf(s, std::ios_base::in) {}

 protected:
  std::streamsize xsgetn(char* s, std::streamsize n) override {
    return std::stringbuf::xsgetn(s, std::min<std::streamsize>(n, 7));
  }
  pos_type seekoff(off_type, std::ios_base::seekdir, std::ios_base::openmode) override { return -1; }
  pos_type seekpos(pos_type, std::ios_base::openmode) override { return -1; }
};

enum class digest_kind { sha1, sha256 };

// One package: [25] 1 24 9 [trailing bytes of the file]. The signed span runs
// from the header part's header to the signature part's header inclusive.
struct package {
  bytes file;
  size_t span_begin = 0, span_end = 0;
  uint8_t digest[32] = {};
};

struct layout {
  digest_kind kind = digest_kind::sha1;
  uint32_t signature_length = 68;        // declared payload length
  size_t trailer_present = SIZE_MAX;     // bytes of the payload actually in the file
  bytes after;                           // file bytes after the signature part
};

class verify_test : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string err;
    ASSERT_TRUE(read_key_file(TEST_KEY_FILE, &keys_, &err)) << err;
  }

  // Builds the package and its digest; the payload of the signature part is
  // left for the caller (`trailer`, cut or padded to the layout).
  package build(const layout& l, const bytes& trailer) {
    package p;
    bytes body;
    if (l.kind == digest_kind::sha256) put_part(&body, part_digest_sha256, bytes{0xde, 0xad});
    p.span_begin = 8 + body.size();
    bytes header(36, 0);
    std::memcpy(header.data(), "signed", 6);
    header[16] = 1;
    put_part(&body, part_package_header, header);
    put_part(&body, part_text_a, bytes{'h', 'e', 'l', 'l', 'o', 0, 1, 2});
    put_part(&body, 7, bytes(40, 0x5a));
    put16(&body, part_signature);
    put32(&body, l.signature_length);
    p.span_end = 8 + body.size();
    bytes payload = trailer;
    payload.resize(l.signature_length, 0xcc);
    if (l.trailer_present < payload.size()) payload.resize(l.trailer_present);
    body.insert(body.end(), payload.begin(), payload.end());
    body.insert(body.end(), l.after.begin(), l.after.end());
    put32(&p.file, pkg_magic_primary);
    put32(&p.file, static_cast<uint32_t>(body.size()));
    p.file.insert(p.file.end(), body.begin(), body.end());
    compute_digest(&p, l.kind);
    return p;
  }

  static void compute_digest(package* p, digest_kind kind) {
    const uint8_t* span = p->file.data() + p->span_begin;
    size_t size = p->span_end - p->span_begin;
    if (kind == digest_kind::sha1) {
      SHA1(span, size, p->digest);
    } else {
      SHA256(span, size, p->digest);
    }
  }

  bytes sign(const package& p, sign_scheme scheme) {
    uint8_t trailer[132];
    size_t size = 0;
    std::string err;
    EXPECT_TRUE(sign_digest(keys_, scheme, p.digest, trailer, &size, &err)) << err;
    return bytes(trailer, trailer + size);
  }

  // A signed package: built once to learn its digest, then with the trailer.
  package signed_package(const layout& l, sign_scheme scheme) {
    package unsigned_package = build(l, {});
    return build(l, sign(unsigned_package, scheme));
  }

  struct outcome {
    int type = -1;       // type of the part the stream stopped at
    int level = -1;      // verify_package's result, when at a signature part
    uint32_t remaining_after = 0;
    int next_type = -2;  // next_part() after verifying
    std::string copy;
  };

  static outcome run(const bytes& file, bool hashing = true, bool pipe = false) {
    std::string text(file.begin(), file.end());
    std::stringbuf plain(text, std::ios_base::in);
    trickle_buf trickle(text);
    std::stringbuf copy;
    std::streambuf* source = pipe ? static_cast<std::streambuf*>(&trickle) : &plain;
    outcome o;
    {
      pkg_stream stream(source, hashing, &copy);
      stream.wanted_types = {part_package_header, part_signature, part_architecture};
      do o.type = stream.next_part();
      while (o.type != -1 && o.type != part_signature);
      if (o.type == part_signature) {
        o.level = verify_package(stream.buf());
        o.remaining_after = stream.buf().remaining();
        o.copy = copy.str();
        o.next_type = stream.next_part();
      }
    }
    return o;
  }

  key_file keys_;
};

TEST_F(verify_test, levels_by_scheme_and_digest) {
  struct {
    const char* what;
    digest_kind kind;
    sign_scheme scheme;
    uint32_t length;
    int level;
  } cases[] = {
      {"older scheme, SHA-1", digest_kind::sha1, sign_scheme::legacy_only, 68, 1},
      {"older scheme, SHA-256", digest_kind::sha256, sign_scheme::legacy_only, 68, 1},
      {"both, SHA-256", digest_kind::sha256, sign_scheme::both, 132, 2},
      {"both, SHA-1 digest padded with zeros", digest_kind::sha1, sign_scheme::both, 132, 2},
      {"100 bytes: a 68-byte trailer", digest_kind::sha1, sign_scheme::legacy_only, 100, 1},
      {"140 bytes: a 132-byte trailer", digest_kind::sha256, sign_scheme::both, 140, 2},
  };
  for (const auto& c : cases) {
    layout l;
    l.kind = c.kind;
    l.signature_length = c.length;
    for (bool pipe : {false, true}) {
      outcome o = run(signed_package(l, c.scheme).file, true, pipe);
      ASSERT_EQ(part_signature, o.type) << c.what;
      EXPECT_EQ(c.level, o.level) << c.what << (pipe ? " (pipe)" : "");
      EXPECT_EQ(c.length - (c.length >= 132 ? 132 : 68), o.remaining_after) << c.what;
      EXPECT_EQ(-1, o.next_type) << c.what << ": the rest of the part is skipped to the end";
    }
  }
}

TEST_F(verify_test, short_or_missing_trailers_give_zero) {
  layout l;
  l.signature_length = 67;
  outcome o = run(signed_package(l, sign_scheme::legacy_only).file);
  EXPECT_EQ(0, o.level) << "67 bytes";
  EXPECT_EQ(67u, o.remaining_after) << "nothing of a 67-byte part is read";

  for (uint32_t length : {68u, 132u}) {
    layout cut;
    cut.signature_length = length;
    cut.trailer_present = length - 1;
    sign_scheme scheme = length == 132 ? sign_scheme::both : sign_scheme::legacy_only;
    o = run(signed_package(cut, scheme).file);
    EXPECT_EQ(0, o.level) << "trailer of " << length << " cut short";
    EXPECT_EQ(-1, o.next_type);
  }
}

TEST_F(verify_test, stream_without_digest_gives_zero) {
  outcome o = run(signed_package(layout{}, sign_scheme::legacy_only).file, false);
  EXPECT_EQ(0, o.level);
  EXPECT_EQ(68u, o.remaining_after) << "the trailer is left in the part";
}

TEST_F(verify_test, failed_ed25519_falls_back_to_the_older_scheme) {
  layout l;
  l.kind = digest_kind::sha256;
  l.signature_length = 132;
  package p = signed_package(l, sign_scheme::both);
  const size_t trailer = p.span_end;
  struct {
    const char* what;
    size_t offset;
    int level;
  } cases[] = {
      {"Ed25519 signature byte", trailer + 100, 1},
      {"last Ed25519 byte", trailer + 131, 1},
      {"older scheme's c, Ed25519 intact", trailer + 25, 2},
      {"older scheme's v, Ed25519 intact", trailer + 40, 2},
  };
  for (const auto& c : cases) {
    bytes file = p.file;
    file[c.offset] ^= 0x10;
    EXPECT_EQ(c.level, run(file).level) << c.what;
  }
  bytes both_broken = p.file;
  both_broken[trailer + 30] ^= 1;
  both_broken[trailer + 70] ^= 1;
  EXPECT_EQ(0, run(both_broken).level);
}

TEST_F(verify_test, short_trailer_never_reaches_ed25519) {
  // A 68-byte part followed in the file by a valid Ed25519 signature: reading
  // 132 bytes would find it.
  layout l;
  l.kind = digest_kind::sha256;
  package p = build(l, {});
  bytes both = sign(p, sign_scheme::both);
  l.after.push_back(part_architecture);
  l.after.push_back(0);
  l.after.push_back(64);
  l.after.insert(l.after.end(), 3, 0);
  l.after.insert(l.after.end(), both.begin() + 68, both.end());
  bytes trailer(both.begin(), both.begin() + 68);
  package good = build(l, trailer);
  EXPECT_EQ(1, run(good.file).level);
  trailer[20] ^= 1;  // break the older signature
  package bad = build(l, trailer);
  EXPECT_EQ(0, run(bad.file).level);
  EXPECT_EQ(part_architecture, run(bad.file).next_type);
}

TEST_F(verify_test, unread_trailer_bytes_do_not_matter) {
  for (sign_scheme scheme : {sign_scheme::legacy_only, sign_scheme::both}) {
    layout l;
    l.kind = digest_kind::sha256;
    l.signature_length = scheme == sign_scheme::both ? 132 : 68;
    package p = signed_package(l, scheme);
    int expected = scheme == sign_scheme::both ? 2 : 1;
    for (size_t i = 0; i < 20; ++i) {
      bytes file = p.file;
      file[p.span_end + i] = static_cast<uint8_t>(0xff - i);
      EXPECT_EQ(expected, run(file).level) << "trailer byte " << i;
    }
  }
}

TEST_F(verify_test, every_signed_byte_counts) {
  for (sign_scheme scheme : {sign_scheme::legacy_only, sign_scheme::both}) {
    layout l;
    l.kind = scheme == sign_scheme::both ? digest_kind::sha256 : digest_kind::sha1;
    l.signature_length = scheme == sign_scheme::both ? 132 : 68;
    package p = signed_package(l, scheme);
    ASSERT_EQ(scheme == sign_scheme::both ? 2 : 1, run(p.file).level);
    size_t reached = 0;
    for (size_t i = p.span_begin; i < p.span_end; ++i) {
      bytes file = p.file;
      file[i] ^= 0x04;
      outcome o = run(file);
      // A changed part header may hide the signature part; when it is still
      // found, no signature may hold.
      if (o.type != part_signature) continue;
      ++reached;
      EXPECT_EQ(0, o.level) << "signed byte " << i;
    }
    EXPECT_GE(reached, p.span_end - p.span_begin - 4 * 6) << "most changes still reach the signature";
    // The file header is not signed.
    bytes file = p.file;
    file[4] ^= 0x40;
    EXPECT_EQ(scheme == sign_scheme::both ? 2 : 1, run(file).level) << "file header length";
  }
}

TEST_F(verify_test, copy_output_receives_the_trailer) {
  for (bool pipe : {false, true}) {
    layout l;
    l.signature_length = 100;
    l.after = {static_cast<uint8_t>(part_architecture), 0, 4, 0, 0, 0, 'p', 'p', 'c', 0};
    package p = signed_package(l, sign_scheme::legacy_only);
    outcome o = run(p.file, true, pipe);
    ASSERT_EQ(1, o.level);
    std::string expected(p.file.begin(), p.file.begin() + static_cast<long>(p.span_end + 68));
    EXPECT_EQ(expected, o.copy) << (pipe ? "pipe" : "file");
  }
}

}  // namespace
