#include "pkgfile/legacy25519.h"

#include <cstring>

// Implementation notes.
//
// Field elements are sixteen signed 64-bit limbs of 16 bits each (radix
// 2^16). Additions and subtractions do not carry; a product is reduced with
// 2^256 = 38 (mod p) and carried twice, which keeps every limb small enough
// for the next product. Only encode() reduces fully.
//
// Points are handled on the twisted Edwards curve
//   486664*x^2 + y^2 = 1 + 486660*x^2*y^2,
// which is birationally equivalent to the Montgomery curve by
//   (u, v) -> (u/v, (u-1)/(u+1)),   back: u = (1+y)/(1-y).
// Its coefficient a = 486664 is a square and d = 486660 is not, so the
// unified addition law in extended coordinates is complete: it needs no
// special cases for doubling, for the neutral element or for points of small
// order, and the map carries the group law over exactly. The Montgomery point
// (0, 0) maps to (0, -1) and the point at infinity to (0, 1); inverting zero
// yields zero, so both come out right without branches.

namespace legacy25519 {
namespace {

using fe = int64_t[16];

constexpr int64_t kLimbBase = 65536;

// p - 2, (p + 3) / 8 and (p - 1) / 4 as little-endian exponents.
constexpr uint8_t kInverseExponent[32] = {
    0xeb, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f};
constexpr uint8_t kSqrtExponent[32] = {
    0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x0f};
constexpr uint8_t kQuarterExponent[32] = {
    0xfb, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x1f};

constexpr int64_t kMontgomeryA = 486662;
constexpr int64_t kEdwardsA = 486664;
constexpr int64_t kEdwardsD = 486660;
constexpr int64_t kBaseX = 9;

void fe_set(fe out, int64_t small) {
  std::memset(out, 0, sizeof(fe));
  out[0] = small;
}

void fe_copy(fe out, const fe in) { std::memcpy(out, in, sizeof(fe)); }

void fe_add(fe out, const fe a, const fe b) {
  for (int i = 0; i < 16; ++i) out[i] = a[i] + b[i];
}

void fe_sub(fe out, const fe a, const fe b) {
  for (int i = 0; i < 16; ++i) out[i] = a[i] - b[i];
}

// One carry pass: limbs 0..14 end in [0, 2^16); the carry out of limb 15 is
// worth 2^256 = 38 and goes back into limb 0.
void fe_carry(fe o) {
  for (int i = 0; i < 16; ++i) {
    int64_t carry = o[i] >> 16;  // floor division, also for negative limbs
    o[i] -= carry * kLimbBase;
    if (i < 15) {
      o[i + 1] += carry;
    } else {
      o[0] += 38 * carry;
    }
  }
}

void fe_mul(fe out, const fe a, const fe b) {
  int64_t t[31] = {};
  for (int i = 0; i < 16; ++i) {
    for (int j = 0; j < 16; ++j) t[i + j] += a[i] * b[j];
  }
  for (int i = 0; i < 15; ++i) t[i] += 38 * t[i + 16];
  for (int i = 0; i < 16; ++i) out[i] = t[i];
  fe_carry(out);
  fe_carry(out);
}

void fe_square(fe out, const fe a) { fe_mul(out, a, a); }

// base^exponent, the exponent a 256-bit little-endian integer.
void fe_pow(fe out, const fe base, const uint8_t exponent[32]) {
  fe result, b;
  fe_set(result, 1);
  fe_copy(b, base);
  for (int bit = 255; bit >= 0; --bit) {
    fe_square(result, result);
    if ((exponent[bit / 8] >> (bit % 8)) & 1) fe_mul(result, result, b);
  }
  fe_copy(out, result);
}

// 1/a; zero for zero.
void fe_invert(fe out, const fe a) { fe_pow(out, a, kInverseExponent); }

// Fully reduced little-endian encoding, 0 <= value < p.
void fe_encode(uint8_t out[32], const fe a) {
  fe t;
  fe_copy(t, a);
  for (int pass = 0; pass < 4; ++pass) fe_carry(t);
  // Now 0 <= t < 2^256 < 2p + 38: at most two subtractions of p remain.
  for (int pass = 0; pass < 2; ++pass) {
    fe m;
    int64_t borrow = 0;
    for (int i = 0; i < 16; ++i) {
      int64_t limb_p = i == 0 ? 0xffed : i == 15 ? 0x7fff : 0xffff;
      m[i] = t[i] - limb_p - borrow;
      borrow = m[i] < 0 ? 1 : 0;
      m[i] += borrow * kLimbBase;
    }
    if (!borrow) fe_copy(t, m);
  }
  for (int i = 0; i < 16; ++i) {
    out[2 * i] = static_cast<uint8_t>(t[i] & 0xff);
    out[2 * i + 1] = static_cast<uint8_t>(t[i] >> 8);
  }
}

void fe_decode(fe out, const uint8_t in[32]) {
  for (int i = 0; i < 16; ++i) out[i] = in[2 * i] | static_cast<int64_t>(in[2 * i + 1]) << 8;
}

bool fe_equal(const fe a, const fe b) {
  uint8_t ea[32], eb[32];
  fe_encode(ea, a);
  fe_encode(eb, b);
  return std::memcmp(ea, eb, 32) == 0;
}

bool fe_is_odd(const fe a) {
  uint8_t e[32];
  fe_encode(e, a);
  return e[0] & 1;
}

// The even square root of a, if a is a square. p = 5 (mod 8): r = a^((p+3)/8)
// is a root of a or of -a; in the second case r*sqrt(-1) is a root of a.
bool fe_even_sqrt(fe out, const fe a) {
  fe r, check, minus_a, zero;
  fe_pow(r, a, kSqrtExponent);
  fe_square(check, r);
  fe_set(zero, 0);
  fe_sub(minus_a, zero, a);
  if (!fe_equal(check, a)) {
    if (!fe_equal(check, minus_a)) return false;
    fe two, sqrt_minus_one;
    fe_set(two, 2);
    fe_pow(sqrt_minus_one, two, kQuarterExponent);  // 2 is not a square mod p
    fe_mul(r, r, sqrt_minus_one);
  }
  if (fe_is_odd(r)) fe_sub(r, zero, r);
  fe_copy(out, r);
  return true;
}

// A point in extended coordinates: x = X/Z, y = Y/Z, x*y = T/Z.
struct point {
  fe x, y, z, t;
};

void point_identity(point* p) {
  fe_set(p->x, 0);
  fe_set(p->y, 1);
  fe_set(p->z, 1);
  fe_set(p->t, 0);
}

// Unified addition (also used for doubling): complete on this curve.
void point_add(point* out, const point& p, const point& q) {
  fe a, b, c, d, e, f, g, h, s1, s2, k;
  fe_mul(a, p.x, q.x);
  fe_mul(b, p.y, q.y);
  fe_set(k, kEdwardsD);
  fe_mul(c, p.t, q.t);
  fe_mul(c, c, k);
  fe_mul(d, p.z, q.z);
  fe_add(s1, p.x, p.y);
  fe_add(s2, q.x, q.y);
  fe_mul(e, s1, s2);
  fe_sub(e, e, a);
  fe_sub(e, e, b);
  fe_sub(f, d, c);
  fe_add(g, d, c);
  fe_set(k, kEdwardsA);
  fe_mul(h, a, k);
  fe_sub(h, b, h);
  fe_mul(out->x, e, f);
  fe_mul(out->y, g, h);
  fe_mul(out->t, e, h);
  fe_mul(out->z, f, g);
}

// The Edwards image of the Montgomery point with x = u and the even y.
bool point_from_montgomery_x(point* out, const fe u) {
  fe u2, rhs, term, v, one, inv;
  fe_set(one, 1);
  fe_square(u2, u);
  fe_mul(rhs, u2, u);
  fe_set(term, kMontgomeryA);
  fe_mul(term, term, u2);
  fe_add(rhs, rhs, term);
  fe_add(rhs, rhs, u);
  if (!fe_even_sqrt(v, rhs)) return false;
  fe_invert(inv, v);
  fe_mul(out->x, u, inv);
  fe_add(term, u, one);
  fe_invert(inv, term);
  fe_sub(term, u, one);
  fe_mul(out->y, term, inv);
  fe_set(out->z, 1);
  fe_mul(out->t, out->x, out->y);
  return true;
}

// u = (Z + Y) / (Z - Y); the neutral element (Z = Y) gives 0.
void point_montgomery_x(uint8_t out[32], const point& p) {
  fe num, den;
  fe_add(num, p.z, p.y);
  fe_sub(den, p.z, p.y);
  fe_invert(den, den);
  fe_mul(num, num, den);
  fe_encode(out, num);
}

int scalar_bit(const uint8_t s[32], int bit) { return (s[bit / 8] >> (bit % 8)) & 1; }

}  // namespace

bool combined_x(const uint8_t public_x[32], const uint8_t v[32], const uint8_t h[32],
                uint8_t out[32]) {
  std::memset(out, 0, 32);
  fe u;
  point p, g, sum, acc;
  fe_decode(u, public_x);
  if (!point_from_montgomery_x(&p, u)) return false;
  fe_set(u, kBaseX);
  if (!point_from_montgomery_x(&g, u)) return false;
  point_add(&sum, p, g);
  // Both scalars at once, from the top bit down (Shamir's trick).
  point_identity(&acc);
  for (int bit = 255; bit >= 0; --bit) {
    point_add(&acc, acc, acc);
    int bits = scalar_bit(v, bit) << 1 | scalar_bit(h, bit);
    if (bits == 3) point_add(&acc, acc, sum);
    if (bits == 2) point_add(&acc, acc, p);
    if (bits == 1) point_add(&acc, acc, g);
  }
  point_montgomery_x(out, acc);
  return true;
}

}  // namespace legacy25519
