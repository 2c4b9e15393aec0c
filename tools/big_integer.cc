#include "big_integer.h"

#include <cstring>

big_integer from_little_endian(const uint8_t* bytes, size_t size) {
  big_integer value;
  mpz_import(value.get(), size, -1, 1, 0, 0, bytes);
  return value;
}

void to_little_endian(const big_integer& value, uint8_t* out, size_t size) {
  std::memset(out, 0, size);
  // Only the low bytes are exported, so the output can never overrun.
  big_integer low;
  mpz_tdiv_r_2exp(low.get(), value.get(), 8 * size);
  mpz_export(out, nullptr, -1, 1, 0, 0, low.get());
}
