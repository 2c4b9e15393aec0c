// libFuzzer target: version texts. A text that parse_version accepts must
// be exactly the text version_text writes for the number it gave; and the
// first four bytes, read as a packed version of one of the four known types,
// must survive version_text and parse_version unchanged.
#include <cstring>

#include "fuzz_root.h"
#include "model/version.h"

FUZZ_TARGET("version") {
  uint32_t parsed = 0x5A5A5A5A;
  if (parse_version(input, &parsed))
    fuzz::require(version_text(parsed) == input);
  else
    fuzz::require(parsed == 0x5A5A5A5A);  // a refused text leaves the number untouched
  if (input.size() < 4) return;
  uint32_t packed, back = 0;
  std::memcpy(&packed, input.data(), 4);
  std::string printed = version_text(packed);
  fuzz::require(printed.size() <= 15);
  if (std::string_view("abcf").find(static_cast<char>(version_type(packed))) != std::string_view::npos)
    fuzz::require(parse_version(printed, &back) && back == packed);
}
