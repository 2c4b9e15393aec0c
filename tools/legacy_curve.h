// Curve25519 arithmetic for the signing tools, written independently of the
// installer's own (src/pkgfile/legacy25519.h) and deliberately simple: affine
// Montgomery-curve formulas over GMP big integers, double-and-add on each
// scalar separately. Slow, but easy to check by eye; the tests compare the
// installer's arithmetic against it.
#pragma once

#include <cstdint>

namespace legacy_curve {

// x(v*|P| + h*G), |P| and G taking the even y; 0 for the point at infinity.
// All scalars are 256-bit little-endian, unreduced. False when public_x is not
// the x-coordinate of a curve point.
bool combined_x(const uint8_t public_x[32], const uint8_t v[32], const uint8_t h[32],
                uint8_t out[32]);

// a*G for the generator G (x = 9, even y): its x, and whether its y is odd.
void base_multiple(const uint8_t a[32], uint8_t x[32], bool* y_odd);

// The prime order l of G, little-endian.
extern const uint8_t group_order[32];

}  // namespace legacy_curve
