// Curve25519 point arithmetic for the older signature scheme.
//
// The curve is the Montgomery curve y^2 = x^3 + 486662x^2 + x over
// GF(2^255 - 19). The scheme needs one value: the x-coordinate of
// v*|P| + h*G, where |P| is the point with the given x and the even y (the
// square root whose value in 0..p-1 is even) and G is the point with x = 9 and
// the even y. Both scalars are used with all 256 bits, unreduced.
//
// Everything works on fixed-size data on the stack and allocates nothing.
// The computation is not constant-time: it only ever sees public values.
#pragma once

#include <cstdint>

namespace legacy25519 {

// Writes x(v*|P| + h*G) to `out` as 32 bytes little-endian, fully reduced;
// the point at infinity gives 0. `public_x`, `v` and `h` are 256-bit
// little-endian integers (public_x is taken modulo p). Returns false, leaving
// `out` zeroed, when public_x is not the x-coordinate of a curve point.
bool combined_x(const uint8_t public_x[32], const uint8_t v[32], const uint8_t h[32],
                uint8_t out[32]);

}  // namespace legacy25519
