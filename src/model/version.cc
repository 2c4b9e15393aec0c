#include "model/version.h"

#include "model/record.h"

namespace {

// Labels of the pre-release types, indexed by type - 'a'.
const char* const type_labels[] = {"alpha", "beta", "rc"};

const char* type_label(uint32_t type) {
  if (type < 'a' || type > 'c') return "";
  return type_labels[type - 'a'];
}

// Reads a decimal number of 1..3 digits no greater than 255 at text[*pos].
bool take_byte(std::string_view text, size_t* pos, uint32_t* value) {
  size_t start = *pos;
  uint32_t n = 0;
  while (*pos < text.size() && text[*pos] >= '0' && text[*pos] <= '9' && *pos - start < 3) {
    n = n * 10 + static_cast<uint32_t>(text[*pos] - '0');
    ++*pos;
  }
  if (*pos == start || n > 255) return false;
  // No leading zeros: version_text never writes them, so "02" is not a version.
  if (*pos - start > 1 && text[start] == '0') return false;
  *value = n;
  return true;
}

// Appends `n` in decimal: the listing prints thousands of versions, and
// snprintf costs more than the rest of a version's text.
void append_decimal(std::string& text, uint32_t n) {
  char digits[10];
  size_t count = 0;
  do digits[count++] = static_cast<char>('0' + n % 10);
  while ((n /= 10) != 0);
  while (count != 0) text.push_back(digits[--count]);
}

}  // namespace

std::string version_text(uint32_t version) {
  // 255.255alpha255 is the longest text: 15 characters, within the small
  // string buffer, so this allocates nothing.
  std::string text;
  uint32_t type = version_type(version), build = version_build(version);
  append_decimal(text, version_major(version));
  text += '.';
  append_decimal(text, version_minor(version));
  if (type == 'f') {
    if (build != 0) {
      text += '.';
      append_decimal(text, build);
    }
  } else {
    text += type_label(type);
    if (build != 0) append_decimal(text, build);
  }
  return text;
}

std::string package_text(const pkg_record& record) {
  return record.name + "-" + version_text(record.version);
}

std::string dep_text(const pkg_dep& dep) {
  if (dep.min_version == 0) return dep.name;
  return dep.name + "-" + version_text(dep.min_version);
}

std::string display_text(const pkg_image& record) {
  if (!record.bundle.name.empty()) return dep_text(record.bundle);
  return package_text(record);
}

int compare_packages(const pkg_record& a, const pkg_record& b) {
  const pkg_record* x = &a;
  const pkg_record* y = &b;
  int sign = 1;
  if (x->name != y->name) {
    const pkg_record* member = nullptr;
    for (const pkg_record* m : x->members)
      if (m->name == y->name) {
        member = m;
        break;
      }
    if (member) {
      x = member;
    } else {
      for (const pkg_record* m : y->members)
        if (m->name == x->name) {
          member = m;
          break;
        }
      if (!member) return 0;
      y = x;
      x = member;
      sign = -sign;
    }
  }
  if (x->version != y->version) return x->version > y->version ? sign : -sign;
  if (x->build_time != y->build_time) return x->build_time > y->build_time ? sign : -sign;
  return 0;
}

bool parse_version(std::string_view text, uint32_t* version) {
  size_t pos = 0;
  uint32_t major = 0, minor = 0, build = 0, type = 'f';
  if (!take_byte(text, &pos, &major)) return false;
  if (pos >= text.size() || text[pos] != '.') return false;
  ++pos;
  if (!take_byte(text, &pos, &minor)) return false;
  if (pos < text.size()) {
    if (text[pos] == '.') {
      ++pos;
      if (!take_byte(text, &pos, &build) || build == 0) return false;
    } else {
      std::string_view rest = text.substr(pos);
      bool matched = false;
      for (uint32_t t = 'a'; t <= 'c'; ++t) {
        std::string_view label = type_labels[t - 'a'];
        if (rest.substr(0, label.size()) == label) {
          type = t;
          pos += label.size();
          matched = true;
          break;
        }
      }
      if (!matched) return false;
      if (pos < text.size() && (!take_byte(text, &pos, &build) || build == 0)) return false;
    }
  }
  if (pos != text.size()) return false;
  *version = major << 24 | minor << 16 | type << 8 | build;
  return true;
}
