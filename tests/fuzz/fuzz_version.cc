// libFuzzer target: version texts. A text that parse_version accepts must
// be exactly the text version_text writes for the number it gave; and the
// first four bytes, read as a packed version of one of the four known types,
// must survive version_text and parse_version unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "model/version.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  uint32_t parsed = 0x5A5A5A5A;
  if (parse_version(text, &parsed)) {
    if (version_text(parsed) != text) std::abort();
  } else if (parsed != 0x5A5A5A5A) {
    std::abort();  // a refused text leaves the number untouched
  }
  if (size >= 4) {
    uint32_t packed;
    std::memcpy(&packed, data, 4);
    std::string printed = version_text(packed);
    if (printed.size() > 15) std::abort();
    uint32_t type = version_type(packed);
    bool known = type == 'a' || type == 'b' || type == 'c' || type == 'f';
    uint32_t back = 0;
    if (known && (!parse_version(printed, &back) || back != packed)) std::abort();
  }
  return 0;
}
