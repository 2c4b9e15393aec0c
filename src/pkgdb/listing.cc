#include "pkgdb/listing.h"

#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "model/record.h"
#include "model/version.h"
#include "msg/msg.h"

namespace {

constexpr int name_width = 16;
constexpr int version_width = 13;
constexpr int built_width = 20;
constexpr int note_width = 40;
constexpr int rule_width = 94;  // the sum of a row's widths

// Writes `text` right-adjusted in a cell of at least `width` bytes; a longer
// text is written whole.
void put_cell(std::string& line, std::string_view text, int width) {
  if (text.size() < static_cast<size_t>(width)) line.append(static_cast<size_t>(width) - text.size(), ' ');
  line.append(text);
}

// Broken-down UTC time (date and time of day; the listing needs no weekday
// or day of the year) of a Unix time given in 64 bits, so that build times
// past 2038 convert even where time_t has 32 bits. Days to a civil date by
// the usual era arithmetic of the proleptic Gregorian calendar.
std::tm utc_time(uint64_t seconds) {
  std::tm out{};
  uint64_t days = seconds / 86400;
  uint64_t rest = seconds % 86400;
  out.tm_hour = static_cast<int>(rest / 3600);
  out.tm_min = static_cast<int>(rest % 3600 / 60);
  out.tm_sec = static_cast<int>(rest % 60);
  uint64_t z = days + 719468;  // days since 0000-03-01
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
  return out;
}

// The build time as strftime's "%b/%d/%Y %H:%M:%S" writes it in the C
// locale (the program never sets another), written by hand: strftime is the
// dearest step of a line, and the listing has thousands.
void put_built(std::string& line, uint32_t build_time) {
  static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  std::tm when = utc_time(build_time);
  auto two = [](char* at, int value) {
    at[0] = static_cast<char>('0' + value / 10);
    at[1] = static_cast<char>('0' + value % 10);
  };
  int year = when.tm_year + 1900;  // 1970 to 2106: four digits
  char text[20];
  std::memcpy(text, months + 3 * when.tm_mon, 3);
  text[3] = '/';
  two(text + 4, when.tm_mday);
  text[6] = '/';
  two(text + 7, year / 100);
  two(text + 9, year % 100);
  text[11] = ' ';
  two(text + 12, when.tm_hour);
  text[14] = ':';
  two(text + 15, when.tm_min);
  text[17] = ':';
  two(text + 18, when.tm_sec);
  put_cell(line, std::string_view(text, sizeof text), built_width);
}

// A cell of text from the database, with control bytes shown as "?".
void put_safe_cell(std::string& line, std::string_view text, int width) {
  put_cell(line, text, width);
  make_terminal_safe(line, line.size() - text.size());
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

void put_package_line(std::string& line, const package_listing& listing, const listing_row& row) {
  put_safe_cell(line, listing.name(row), name_width);
  line += ' ';
  line += row.disabled ? 'X' : ' ';
  line += row.in_bundle ? "B " : "  ";
  put_cell(line, version_text(row.version), version_width);
  line += ' ';
  put_built(line, row.build_time);
  put_safe_cell(line, listing.note(row), note_width);
  line += '\n';
}

}  // namespace

listing_row package_listing::row_of(const pkg_image& record) {
  listing_row row;
  row.name = texts.store(record.name);
  row.note = texts.store(record.note);
  row.version = record.version;
  row.build_time = record.build_time;
  row.disabled = record.disabled;
  row.in_bundle = !record.bundle.name.empty();
  return row;
}

void show_packages(const package_listing& listing, std::FILE* out) {
  // Lines are gathered and written some 16 KiB at a time: few writes, for
  // a buffer the device hardly feels.
  constexpr size_t batch = 16384;
  std::string text = header_line();
  text.reserve(batch + 512);
  for (const listing_row& row : listing.rows) {
    put_package_line(text, listing, row);
    if (text.size() >= batch) {
      std::fwrite(text.data(), 1, text.size(), out);
      text.clear();
    }
  }
  std::fwrite(text.data(), 1, text.size(), out);
  std::fflush(out);
}
