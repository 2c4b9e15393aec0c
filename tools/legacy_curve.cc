#include "legacy_curve.h"

#include <openssl/bn.h>

#include <cstring>
#include <memory>

namespace legacy_curve {

// l = 2^252 + 27742317777372353535851937790883648493
const uint8_t group_order[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                 0xa2, 0xde, 0xf9, 0xde, 0x14, 0,    0,    0,    0,    0,    0,
                                 0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};

namespace {

struct bn_free {
  void operator()(BIGNUM* b) const { BN_free(b); }
};
using bn = std::unique_ptr<BIGNUM, bn_free>;

bn make_bn() { return bn(BN_new()); }
bn from_le(const uint8_t bytes[32]) { return bn(BN_lebin2bn(bytes, 32, nullptr)); }
bn from_word(unsigned long w) {
  bn b = make_bn();
  BN_set_word(b.get(), w);
  return b;
}

struct affine {
  bn x, y;
  bool infinity = true;
};

// The field and curve constants, and a scratch context.
class curve {
 public:
  curve() : ctx_(BN_CTX_new()), p_(make_bn()), a_(from_word(486662)) {
    BN_set_bit(p_.get(), 255);
    BN_sub_word(p_.get(), 19);
  }
  ~curve() { BN_CTX_free(ctx_); }

  // The point with this x and the even y.
  bool lift(const BIGNUM* x_in, affine* out) {
    bn x = make_bn(), rhs = make_bn(), t = make_bn();
    BN_nnmod(x.get(), x_in, p_.get(), ctx_);
    // rhs = x^3 + A x^2 + x
    BN_mod_sqr(t.get(), x.get(), p_.get(), ctx_);
    BN_mod_mul(rhs.get(), t.get(), x.get(), p_.get(), ctx_);
    BN_mod_mul(t.get(), t.get(), a_.get(), p_.get(), ctx_);
    BN_mod_add(rhs.get(), rhs.get(), t.get(), p_.get(), ctx_);
    BN_mod_add(rhs.get(), rhs.get(), x.get(), p_.get(), ctx_);
    bn y(BN_mod_sqrt(nullptr, rhs.get(), p_.get(), ctx_));
    if (!y) return false;
    BN_mod_sqr(t.get(), y.get(), p_.get(), ctx_);
    if (BN_cmp(t.get(), rhs.get()) != 0) return false;
    if (BN_is_odd(y.get())) BN_sub(y.get(), p_.get(), y.get());
    out->x = std::move(x);
    out->y = std::move(y);
    out->infinity = false;
    return true;
  }

  affine add(const affine& p, const affine& q) {
    if (p.infinity) return copy(q);
    if (q.infinity) return copy(p);
    if (BN_cmp(p.x.get(), q.x.get()) == 0) {
      if (BN_cmp(p.y.get(), q.y.get()) == 0) return twice(p);
      return {};  // q = -p
    }
    // lambda = (yq - yp) / (xq - xp)
    bn num = make_bn(), den = make_bn();
    BN_mod_sub(num.get(), q.y.get(), p.y.get(), p_.get(), ctx_);
    BN_mod_sub(den.get(), q.x.get(), p.x.get(), p_.get(), ctx_);
    return from_slope(num.get(), den.get(), p, q.x.get());
  }

  affine twice(const affine& p) {
    if (p.infinity || BN_is_zero(p.y.get())) return {};
    // lambda = (3x^2 + 2Ax + 1) / (2y)
    bn num = make_bn(), den = make_bn(), t = make_bn();
    BN_mod_sqr(num.get(), p.x.get(), p_.get(), ctx_);
    BN_mul_word(num.get(), 3);
    BN_mod_mul(t.get(), p.x.get(), a_.get(), p_.get(), ctx_);
    BN_lshift1(t.get(), t.get());
    BN_add(num.get(), num.get(), t.get());
    BN_add_word(num.get(), 1);
    BN_nnmod(num.get(), num.get(), p_.get(), ctx_);
    BN_lshift1(den.get(), p.y.get());
    return from_slope(num.get(), den.get(), p, p.x.get());
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
    if (!p.infinity) BN_bn2lebinpad(p.x.get(), out, 32);
  }

 private:
  affine copy(const affine& p) {
    affine out;
    if (p.infinity) return out;
    out.x = bn(BN_dup(p.x.get()));
    out.y = bn(BN_dup(p.y.get()));
    out.infinity = false;
    return out;
  }

  // x3 = lambda^2 - A - xp - xq, y3 = lambda (xp - x3) - yp.
  affine from_slope(const BIGNUM* num, const BIGNUM* den, const affine& p, const BIGNUM* xq) {
    bn lambda = make_bn(), inverse(BN_mod_inverse(nullptr, den, p_.get(), ctx_));
    BN_mod_mul(lambda.get(), num, inverse.get(), p_.get(), ctx_);
    affine out;
    out.x = make_bn();
    out.y = make_bn();
    out.infinity = false;
    BN_mod_sqr(out.x.get(), lambda.get(), p_.get(), ctx_);
    BN_mod_sub(out.x.get(), out.x.get(), a_.get(), p_.get(), ctx_);
    BN_mod_sub(out.x.get(), out.x.get(), p.x.get(), p_.get(), ctx_);
    BN_mod_sub(out.x.get(), out.x.get(), xq, p_.get(), ctx_);
    BN_mod_sub(out.y.get(), p.x.get(), out.x.get(), p_.get(), ctx_);
    BN_mod_mul(out.y.get(), out.y.get(), lambda.get(), p_.get(), ctx_);
    BN_mod_sub(out.y.get(), out.y.get(), p.y.get(), p_.get(), ctx_);
    return out;
  }

  BN_CTX* ctx_;
  bn p_, a_;
};

}  // namespace

bool combined_x(const uint8_t public_x[32], const uint8_t v[32], const uint8_t h[32],
                uint8_t out[32]) {
  std::memset(out, 0, 32);
  curve c;
  affine p, g;
  if (!c.lift(from_le(public_x).get(), &p) || !c.lift(from_word(9).get(), &g)) return false;
  c.encode_x(c.add(c.multiply(v, p), c.multiply(h, g)), out);
  return true;
}

void base_multiple(const uint8_t a[32], uint8_t x[32], bool* y_odd) {
  curve c;
  affine g;
  c.lift(from_word(9).get(), &g);
  affine result = c.multiply(a, g);
  c.encode_x(result, x);
  *y_odd = !result.infinity && BN_is_odd(result.y.get());
}

}  // namespace legacy_curve
