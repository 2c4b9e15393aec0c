#include "legacy_curve.h"

#include <cstring>
#include <utility>

#include "big_integer.h"

namespace legacy_curve {

// l = 2^252 + 27742317777372353535851937790883648493
const uint8_t group_order[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                 0xa2, 0xde, 0xf9, 0xde, 0x14, 0,    0,    0,    0,    0,    0,
                                 0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};

namespace {

using big = big_integer;

struct affine {
  big x, y;
  bool infinity = true;
};

// The field p = 2^255 - 19, the curve's constant A and the field arithmetic,
// every result reduced into 0..p-1.
class curve {
 public:
  curve() : a_(486662) {
    mpz_ui_pow_ui(p_.get(), 2, 255);
    mpz_sub_ui(p_.get(), p_.get(), 19);
    // p = 5 mod 8: r^((p+3)/8) is a square root of r or of -r, and
    // 2^((p-1)/4) is a square root of -1 that turns one into the other.
    mpz_add_ui(root_exponent_.get(), p_.get(), 3);
    mpz_tdiv_q_2exp(root_exponent_.get(), root_exponent_.get(), 3);
    big quarter, two(2);
    mpz_sub_ui(quarter.get(), p_.get(), 1);
    mpz_tdiv_q_2exp(quarter.get(), quarter.get(), 2);
    mpz_powm(root_of_minus_one_.get(), two.get(), quarter.get(), p_.get());
  }

  // The point with this x and the even y.
  bool lift(const big& x_in, affine* out) {
    big x = reduce(x_in);
    // rhs = x^3 + A x^2 + x
    big square = mul(x, x);
    big rhs = add(add(mul(square, x), mul(square, a_)), x);
    big y;
    if (!root(rhs, &y)) return false;
    if (mpz_odd_p(y.get())) mpz_sub(y.get(), p_.get(), y.get());
    out->x = std::move(x);
    out->y = std::move(y);
    out->infinity = false;
    return true;
  }

  affine add(const affine& p, const affine& q) {
    if (p.infinity) return q;
    if (q.infinity) return p;
    if (mpz_cmp(p.x.get(), q.x.get()) == 0) {
      if (mpz_cmp(p.y.get(), q.y.get()) == 0) return twice(p);
      return {};  // q = -p
    }
    // lambda = (yq - yp) / (xq - xp)
    return from_slope(sub(q.y, p.y), sub(q.x, p.x), p, q.x);
  }

  affine twice(const affine& p) {
    if (p.infinity || mpz_sgn(p.y.get()) == 0) return {};
    // lambda = (3x^2 + 2Ax + 1) / (2y)
    big ax = mul(p.x, a_);
    big num = add(add(mul(big(3), mul(p.x, p.x)), add(ax, ax)), big(1));
    return from_slope(num, add(p.y, p.y), p, p.x);
  }

  // Double-and-add over all 256 bits of the scalar.
  affine multiply(const uint8_t scalar[32], const affine& p) {
    affine acc;
    for (int bit = 255; bit >= 0; --bit) {
      acc = twice(acc);
      if ((scalar[bit / 8] >> (bit % 8)) & 1) acc = add(acc, p);
    }
    return acc;
  }

  void encode_x(const affine& p, uint8_t out[32]) {
    std::memset(out, 0, 32);
    if (!p.infinity) to_little_endian(p.x, out, 32);
  }

 private:
  big reduce(const big& v) {
    big out;
    mpz_mod(out.get(), v.get(), p_.get());
    return out;
  }
  big add(const big& u, const big& v) {
    big out;
    mpz_add(out.get(), u.get(), v.get());
    return reduce(out);
  }
  big sub(const big& u, const big& v) {
    big out;
    mpz_sub(out.get(), u.get(), v.get());
    return reduce(out);
  }
  big mul(const big& u, const big& v) {
    big out;
    mpz_mul(out.get(), u.get(), v.get());
    return reduce(out);
  }

  // A square root of r (reduced) into *y, checked by squaring it; false
  // when r is not a square.
  bool root(const big& r, big* y) {
    mpz_powm(y->get(), r.get(), root_exponent_.get(), p_.get());
    if (mpz_cmp(mul(*y, *y).get(), r.get()) == 0) return true;
    *y = mul(*y, root_of_minus_one_);
    return mpz_cmp(mul(*y, *y).get(), r.get()) == 0;
  }

  // x3 = lambda^2 - A - xp - xq, y3 = lambda (xp - x3) - yp; den is not 0.
  affine from_slope(const big& num, const big& den, const affine& p, const big& xq) {
    big inverse;
    mpz_invert(inverse.get(), den.get(), p_.get());
    big lambda = mul(num, inverse);
    affine out;
    out.x = sub(sub(sub(mul(lambda, lambda), a_), p.x), xq);
    out.y = sub(mul(lambda, sub(p.x, out.x)), p.y);
    out.infinity = false;
    return out;
  }

  big p_, a_, root_exponent_, root_of_minus_one_;
};

}  // namespace

bool combined_x(const uint8_t public_x[32], const uint8_t v[32], const uint8_t h[32],
                uint8_t out[32]) {
  std::memset(out, 0, 32);
  curve c;
  affine p, g;
  if (!c.lift(from_little_endian(public_x, 32), &p) || !c.lift(big(9), &g)) return false;
  c.encode_x(c.add(c.multiply(v, p), c.multiply(h, g)), out);
  return true;
}

void base_multiple(const uint8_t a[32], uint8_t x[32], bool* y_odd) {
  curve c;
  affine g;
  c.lift(big(9), &g);
  affine result = c.multiply(a, g);
  c.encode_x(result, x);
  *y_odd = !result.infinity && mpz_odd_p(result.y.get());
}

}  // namespace legacy_curve
