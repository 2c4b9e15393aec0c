// The installer's Curve25519 arithmetic against the signing tools' plain
// big-integer affine arithmetic (tools/legacy_curve.h), on chosen edge
// scalars and on many random ones.
#include "pkgfile/legacy25519.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <string>

#include "legacy_curve.h"
#include "platform/keys.h"

namespace {

using bytes32 = std::array<uint8_t, 32>;

std::string hex(const bytes32& b) {
  std::string out;
  char buf[3];
  for (int i = 31; i >= 0; --i) {
    std::snprintf(buf, sizeof(buf), "%02x", b[i]);
    out += buf;
  }
  return out;
}

bytes32 small(uint64_t value) {
  bytes32 b{};
  for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(value >> (8 * i));
  return b;
}

bytes32 order() {
  bytes32 b;
  std::memcpy(b.data(), legacy_curve::group_order, 32);
  return b;
}

// l*m + add, for small m and add (no overflow out of 256 bits for m <= 15).
bytes32 order_times(unsigned m, unsigned add) {
  bytes32 l = order(), out{};
  unsigned carry = add;
  for (int i = 0; i < 32; ++i) {
    unsigned value = l[i] * m + carry;
    out[i] = static_cast<uint8_t>(value);
    carry = value >> 8;
  }
  return out;
}

bytes32 all_ones() {
  bytes32 b;
  b.fill(0xff);
  return b;
}

bytes32 field_prime_plus(uint8_t add) {  // p + add, for add < 19
  bytes32 b;
  b.fill(0xff);
  b[0] = static_cast<uint8_t>(0xed + add);
  b[31] = 0x7f;
  return b;
}

bytes32 built_in_public() {
  bytes32 b;
  std::memcpy(b.data(), keys::legacy_public, 32);
  return b;
}

class legacy25519_test : public ::testing::Test {
 protected:
  // Both implementations agree on the result, or both refuse the point.
  void expect_same(const bytes32& public_x, const bytes32& v, const bytes32& h) {
    bytes32 ours, reference;
    ours.fill(0xaa);
    bool ours_ok = legacy25519::combined_x(public_x.data(), v.data(), h.data(), ours.data());
    bool reference_ok = legacy_curve::combined_x(public_x.data(), v.data(), h.data(), reference.data());
    EXPECT_EQ(reference_ok, ours_ok) << "P " << hex(public_x);
    EXPECT_EQ(hex(reference), hex(ours)) << "P " << hex(public_x) << "\nv " << hex(v) << "\nh " << hex(h);
  }

  bytes32 random_bytes() {
    bytes32 b;
    for (auto& byte : b) byte = static_cast<uint8_t>(rng_());
    return b;
  }

  std::mt19937 rng_{7341};
};

TEST_F(legacy25519_test, edge_scalars_agree_with_reference) {
  const bytes32 p = built_in_public();
  const struct {
    const char* what;
    bytes32 v, h;
  } cases[] = {
      {"both zero: infinity", small(0), small(0)},
      {"G alone", small(0), small(1)},
      {"P alone", small(1), small(0)},
      {"P + G", small(1), small(1)},
      {"2P + 3G", small(2), small(3)},
      {"l*G: infinity", small(0), order()},
      {"l*P: infinity", order(), small(0)},
      {"(l+1)*G", small(0), order_times(1, 1)},
      {"8l*P + (8l+5)*G", order_times(8, 0), order_times(8, 5)},
      {"all bits set", all_ones(), all_ones()},
      {"l-1", order_times(1, 0), order_times(1, 0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    expect_same(p, c.v, c.h);
  }
}

TEST_F(legacy25519_test, known_results) {
  const bytes32 p = built_in_public();
  bytes32 out;
  ASSERT_TRUE(legacy25519::combined_x(p.data(), small(0).data(), small(1).data(), out.data()));
  EXPECT_EQ(hex(small(9)), hex(out)) << "1*G has x = 9";
  ASSERT_TRUE(legacy25519::combined_x(p.data(), small(1).data(), small(0).data(), out.data()));
  EXPECT_EQ(hex(p), hex(out)) << "1*P has the public x";
  ASSERT_TRUE(legacy25519::combined_x(p.data(), small(0).data(), order().data(), out.data()));
  EXPECT_EQ(hex(small(0)), hex(out)) << "infinity encodes as 0";
}

TEST_F(legacy25519_test, odd_public_points_agree_with_reference) {
  const struct {
    const char* what;
    bytes32 public_x;
  } cases[] = {
      {"P = G: P + G is a doubling", small(9)},
      {"P = G given as p + 9, unreduced", field_prime_plus(9)},
      {"P = (0, 0) of order 2", small(0)},
      {"x = p, which is 0", field_prime_plus(0)},
      {"x = 2: not on the curve", small(2)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    expect_same(c.public_x, small(3), small(5));
    expect_same(c.public_x, small(2), small(0));
    expect_same(c.public_x, all_ones(), order_times(1, 0));
  }
}

TEST_F(legacy25519_test, refused_point_leaves_zero) {
  bytes32 out;
  out.fill(0xaa);
  EXPECT_FALSE(legacy25519::combined_x(small(2).data(), small(1).data(), small(1).data(), out.data()));
  EXPECT_EQ(hex(small(0)), hex(out));
}

TEST_F(legacy25519_test, random_scalars_agree_with_reference) {
  const bytes32 p = built_in_public();
  for (int round = 0; round < 48; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    bytes32 h = random_bytes();
    if (round % 2) {  // clamped like the verifier's h
      h[0] &= 0xf8;
      h[31] = (h[31] & 0x7f) | 0x40;
    }
    expect_same(p, random_bytes(), h);
  }
}

TEST_F(legacy25519_test, random_public_points_agree_with_reference) {
  // About half of all x are on the curve; the rest must be refused by both.
  for (int round = 0; round < 24; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    expect_same(random_bytes(), random_bytes(), random_bytes());
  }
}

}  // namespace
