// Arbitrary-precision integers for the signing tools: an owning wrapper of a
// GMP integer and conversions to and from the little-endian byte strings of
// keys and signatures.
#pragma once

#include <gmp.h>

#include <cstddef>
#include <cstdint>

class big_integer {
 public:
  big_integer() { mpz_init(value_); }
  explicit big_integer(unsigned long value) { mpz_init_set_ui(value_, value); }
  big_integer(const big_integer& other) { mpz_init_set(value_, other.value_); }
  big_integer(big_integer&& other) noexcept {
    mpz_init(value_);
    mpz_swap(value_, other.value_);
  }
  big_integer& operator=(const big_integer& other) {
    mpz_set(value_, other.value_);
    return *this;
  }
  big_integer& operator=(big_integer&& other) noexcept {
    mpz_swap(value_, other.value_);
    return *this;
  }
  ~big_integer() { mpz_clear(value_); }

  mpz_ptr get() { return value_; }
  mpz_srcptr get() const { return value_; }

 private:
  mpz_t value_;
};

// The non-negative integer whose `size` bytes are given least significant first.
big_integer from_little_endian(const uint8_t* bytes, size_t size);

// The low `size` bytes of a non-negative `value`, least significant first,
// zero-padded.
void to_little_endian(const big_integer& value, uint8_t* out, size_t size);
