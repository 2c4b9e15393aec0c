// Messages, the progress line and the spinner as the terminal sees them.
#include "msg/msg.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "model/record.h"
#include "pkgdb/pkgdb_test_tools.h"

namespace {

const std::string hide = "\033[?25l", show = "\033[?25h";

TEST(Messages, ProgressLineAndMessages) {
  console r;
  auto out = [&](const std::function<void()>& fn) { return pkgdb_test::printed([&](console& c) { r.out = c.out, fn(); }); };
  EXPECT_EQ(out([&] { set_progress(r, "enabling a-1.0..."); }), hide + "\renabling a-1.0...\r" + show);
  EXPECT_EQ(out([&] { set_progress(r, "enabling a-1.0..."); }), "") << "unchanged: not drawn again";
  EXPECT_EQ(out([&] { set_progress(r, "disabling b..."); }), hide + "\rdisabling b...   \r" + show) << "padded";
  // A warning stands above the progress line; an error or info erases it.
  EXPECT_EQ(out([&] { warning(r, "omitting %s", "x-1.0"); }),
            std::string("\r").append(79, ' ') + "\rWARNING: omitting x-1.0\ndisabling b...");
  EXPECT_EQ(out([&] { error(r, "broken %s", "a.npk"); }), hide + "\r" + std::string(14, ' ') + "\r" + show + "ERROR: broken a.npk\n");
  EXPECT_EQ(r.progress_line, "");
  // The body is cut at 255 bytes, the prefix on top.
  std::string body(255, 'n');
  EXPECT_EQ(out([&] { info(r, "%s", (body + "cut").c_str()); warning(r, "%s", (body + "cut").c_str()); }),
            body + "\nWARNING: " + body + "\n");
  // A package name or note carrying terminal escapes used to reach the
  // terminal and the post-log raw.
  std::string name = "ev\033[2Jil\r\n\x7f\x01\xc3\xa9";
  EXPECT_EQ(out([&] { info(r, "installed %s", name.c_str()); }), "installed ev?[2Jil????\xc3\xa9\n");
  EXPECT_EQ(r.messages.back(), "installed ev?[2Jil????\xc3\xa9");
  EXPECT_EQ(out([&] { set_progress(r, "installing " + name); }), hide + "\rinstalling ev?[2Jil????\xc3\xa9\r" + show);
  // A write failure of a bundle's member names the bundle.
  pkg_image member("member");
  member.bundle = {"bundle", 0x07016202, 0x07016202, 0};
  errno = EIO;
  EXPECT_EQ(out([&] { report_write_failure(r, member, "meta/deps"); }), hide + "\r" + std::string(25, ' ') + "\r" + show +
                                                                           "ERROR: installation of bundle-7.1beta2 failed: disk error\n");
  r.quiet = true;
  EXPECT_EQ(out([&] { set_progress(r, "x"); info(r, "i"); error(r, "e"); }), "");
  EXPECT_EQ(r.messages.size(), 6u) << "nothing logged either";
}

uint32_t now = 0;
TEST(Messages, SpinnerStepsOncePerPeriod) {
  std::string text = pkgdb_test::printed([](console& c) {
    c.spinner.clock = [] { return now; };
    for (uint32_t t : {1000, 1020, 1021, 1040, 1041, 1200, 1200, 1200}) now = t, spinner_tick(c);
    c.spinner.last_tick = c.spinner.index = 0;
    for (int i = 0; i < 5; ++i) now = 0, spinner_tick(c);  // a clock at 0 restarts, the index still wraps
  });
  EXPECT_EQ(text, "|\b/\b-\b\\\b|\b/" "|/-\\|");
}

}  // namespace
