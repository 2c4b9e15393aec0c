// Decimal numbers in the text files the program reads: its database files,
// its saved proofs and its own marker files.
#pragma once

#include <charconv>
#include <string_view>
#include <system_error>
#include <type_traits>

// One word of decimal digits within the range of Number: no blank, no byte
// after the digits, a sign only for a signed type ('-', or a '+' that stands
// before a digit). *value is left alone when the word is refused.
template <typename Number>
bool parse_decimal(std::string_view word, Number* value) {
  if constexpr (std::is_signed_v<Number>) {
    if (word.size() > 1 && word[0] == '+' && word[1] != '-') word.remove_prefix(1);
  }
  if (word.empty()) return false;
  auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), *value);
  return ec == std::errc() && end == word.data() + word.size();
}
