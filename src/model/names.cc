#include "model/names.h"

bool is_safe_package_name(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F || c == '/') return false;
  return true;
}
