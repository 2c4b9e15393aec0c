#include "pkgdb/listing.h"
#include "pkgdb/pkgdb_test_tools.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <memory>
#include <string>

#include "pkgdb/record.h"

namespace {

std::string blanks(size_t count) { return std::string(count, ' '); }

const std::string header_text = blanks(12) + "Name    " + blanks(6) + "Version " + blanks(15) + "Built" +
                                blanks(36) + "Note\n" + std::string(94, '-') + "\n";

// Captures what show_packages prints for a repository built in memory.
class ListingTest : public ::testing::Test {
 protected:
  pkg_image* add(const std::string& name, uint32_t version, uint32_t build_time) {
    auto record = std::make_unique<pkg_image>(name);
    record->version = version;
    record->build_time = build_time;
    return repository_.append(std::move(record));
  }

  std::string listing() { return pkgdb_test::listing_of(repository_); }

  pkg_repo repository_;
};

TEST_F(ListingTest, EmptyRepositoryPrintsHeaderAndRuleOnly) {
  EXPECT_EQ(listing(), header_text);
  EXPECT_EQ(header_text.find('\n'), 94u) << "the header line is as wide as a row";
}

TEST_F(ListingTest, RowsCarryWidthsMarkersAndDates) {
  add("abc", 0x01026600, 0);
  pkg_image* disabled = add("routing", 0x06306601, 1700000000);
  disabled->disabled = true;
  pkg_image* member = add("wireless", 0x0702630A, 0x7FFFFFFF);
  member->bundle = {"system", 0x07026600, 0x07026600, 0};
  member->note = "radio drivers";
  pkg_image* both = add("x", 0xFFFF61FF, 0x80000000);
  both->disabled = true;
  both->bundle.name = "b";
  const std::string expected =
      header_text +
      blanks(13) + "abc    " + blanks(10) + "1.2 Jan/01/1970 00:00:00" + blanks(40) + "\n" +
      blanks(9) + "routing X  " + blanks(7) + "6.48.1 Nov/14/2023 22:13:20" + blanks(40) + "\n" +
      blanks(8) + "wireless  B " + blanks(6) + "7.2rc10 Jan/19/2038 03:14:07" + blanks(27) + "radio drivers\n" +
      blanks(15) + "x XB " + "255.255alpha255 Jan/19/2038 03:14:08" + blanks(40) + "\n";
  EXPECT_EQ(listing(), expected);
}

TEST_F(ListingTest, LongTextsAreNeverCut) {
  add("a-very-long-package-name", 0x01006600, 0)->note = std::string(45, 'n');
  const std::string expected = header_text + "a-very-long-package-name    " + blanks(10) +
                               "1.0 Jan/01/1970 00:00:00" + std::string(45, 'n') + "\n";
  EXPECT_EQ(listing(), expected);
}

TEST_F(ListingTest, ControlBytesOfPackageTextsCannotReachTheTerminal) {
  add(std::string("ev\033il", 5), 0x01006600, 0)->note = std::string("n\0o\rte\x7f", 7);
  const std::string expected = header_text + blanks(11) + "ev?il    " + blanks(10) +
                               "1.0 Jan/01/1970 00:00:00" + blanks(33) + "n?o?te?\n";
  EXPECT_EQ(listing(), expected);
}

// Build times past 2038 convert through 64 bits, whatever time_t is here.
TEST_F(ListingTest, DatesPast2038) {
  const struct {
    uint32_t build_time;
    const char* text;
  } cases[] = {
      {0xF0000000, "Aug/05/2097 09:04:00"}, {0xFFFFFFFF, "Feb/07/2106 06:28:15"},
      {951782400, "Feb/29/2000 00:00:00"},  {4107542400, "Mar/01/2100 00:00:00"},
      {4107542399, "Feb/28/2100 23:59:59"}, {86399, "Jan/01/1970 23:59:59"},
  };
  for (const auto& c : cases) {
    repository_.packages.clear();
    add("p", 0, c.build_time);
    std::string text = listing();
    std::string row = text.substr(header_text.size());
    EXPECT_EQ(row.substr(34, 20), c.text) << c.build_time;
  }
}

// The conversion agrees with the C library's on a host whose time_t has 64
// bits, over the whole unsigned 32-bit range.
TEST_F(ListingTest, DatesAgreeWithTheHostCalendar) {
  if (sizeof(time_t) < 8) GTEST_SKIP() << "host time_t has 32 bits";
  for (uint64_t t = 0; t <= 0xFFFFFFFFu; t += 86400 * 7 + 12347) {
    repository_.packages.clear();
    add("p", 0, static_cast<uint32_t>(t));
    std::string row = listing().substr(header_text.size());
    time_t host_time = static_cast<time_t>(t);
    std::tm broken{};
    ASSERT_NE(gmtime_r(&host_time, &broken), nullptr);
    char host[128];
    std::strftime(host, sizeof host, "%b/%d/%Y %H:%M:%S", &broken);
    ASSERT_EQ(row.substr(34, 20), host) << t;
  }
}

}  // namespace
