#include "pkgdb/listing.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "msg/msg.h"
#include "pkgdb/record.h"
#include "select/version.h"

namespace {

constexpr int name_width = 16;
constexpr int version_width = 13;
constexpr int built_width = 20;
constexpr int note_width = 40;
constexpr int rule_width = 94;  // the sum of a row's widths
constexpr const char* built_format = "%b/%d/%Y %H:%M:%S";

// Writes `text` right-adjusted in a cell of at least `width` bytes; a longer
// text is written whole.
void put_cell(std::string& line, std::string_view text, int width) {
  if (text.size() < static_cast<size_t>(width)) line.append(static_cast<size_t>(width) - text.size(), ' ');
  line.append(text);
}

// Broken-down UTC time of a Unix time given in 64 bits, so that build times
// past 2038 convert even where time_t has 32 bits. Days to a civil date by
// the usual era arithmetic of the proleptic Gregorian calendar.
std::tm utc_time(uint64_t seconds) {
  std::tm out{};
  uint64_t days = seconds / 86400;
  uint64_t rest = seconds % 86400;
  out.tm_hour = static_cast<int>(rest / 3600);
  out.tm_min = static_cast<int>(rest % 3600 / 60);
  out.tm_sec = static_cast<int>(rest % 60);
  out.tm_wday = static_cast<int>((days + 4) % 7);  // 1970-01-01 was a Thursday
  uint64_t z = days + 719468;                      // days since 0000-03-01
  uint64_t era = z / 146097;
  uint64_t day_of_era = z - era * 146097;
  uint64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  uint64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  uint64_t mp = (5 * day_of_year + 2) / 153;  // month counted from March
  uint64_t day = day_of_year - (153 * mp + 2) / 5 + 1;
  uint64_t month = mp < 10 ? mp + 3 : mp - 9;
  uint64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  out.tm_mday = static_cast<int>(day);
  out.tm_mon = static_cast<int>(month - 1);
  out.tm_year = static_cast<int>(year - 1900);
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  static const int month_starts[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  out.tm_yday = month_starts[month - 1] + static_cast<int>(day) - 1 + (leap && month > 2 ? 1 : 0);
  return out;
}

std::string built_text(uint32_t build_time) {
  std::tm when = utc_time(build_time);
  char text[128];
  size_t size = std::strftime(text, sizeof text, built_format, &when);
  return std::string(text, size);
}

std::string header_line() {
  std::string line;
  put_cell(line, "Name", name_width);
  line += "    ";
  put_cell(line, "Version", version_width);
  line += " ";
  put_cell(line, "Built", built_width);
  put_cell(line, "Note", note_width);
  line += '\n';
  line.append(rule_width, '-');
  line += '\n';
  return line;
}

std::string package_line(const pkg_image& record) {
  std::string line;
  put_cell(line, terminal_safe(record.name), name_width);
  line += ' ';
  line += record.disabled ? 'X' : ' ';
  line += record.bundle.name.empty() ? "  " : "B ";
  put_cell(line, version_text(record.version), version_width);
  line += ' ';
  put_cell(line, built_text(record.build_time), built_width);
  put_cell(line, terminal_safe(record.note), note_width);
  line += '\n';
  return line;
}

}  // namespace

void show_packages(const pkg_repo& repository, std::FILE* out) {
  std::string text = header_line();
  std::fwrite(text.data(), 1, text.size(), out);
  for (const pkg_image* record : repository.packages) {
    text = package_line(*record);
    std::fwrite(text.data(), 1, text.size(), out);
  }
  std::fflush(out);
}
