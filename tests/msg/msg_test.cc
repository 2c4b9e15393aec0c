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
  auto out = [&](const std::function<void()>& fn) { return pkgdb_test::printed([&](std::FILE* f) { r.out = f; fn(); }); };
  EXPECT_EQ(out([&] { set_progress(r, ""); }), "") << "nothing shown: nothing to erase";
  EXPECT_EQ(out([&] { set_progress(r, "enabling a-1.0..."); }), hide + "\renabling a-1.0...\r" + show);
  EXPECT_EQ(out([&] { set_progress(r, "enabling a-1.0..."); }), "");
  EXPECT_EQ(out([&] { set_progress(r, "disabling b..."); }), hide + "\rdisabling b...   \r" + show) << "padded";
  // A warning stands above the progress line; an error or info erases it.
  EXPECT_EQ(out([&] { warning(r, "omitting %s", "x-1.0"); }),
            "\r" + std::string(79, ' ') + "\rWARNING: omitting x-1.0\ndisabling b...");
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
  EXPECT_EQ(r.messages, (std::vector<std::string>{"WARNING: omitting x-1.0", "ERROR: broken a.npk", body, "WARNING: " + body,
                                                  "installed ev?[2Jil????\xc3\xa9"}));
  EXPECT_EQ(out([&] { set_progress(r, "installing " + name); }), hide + "\rinstalling ev?[2Jil????\xc3\xa9\r" + show);
  EXPECT_EQ(terminal_safe(std::string("a\0b\x1f\x20~", 6)), "a?b? ~");
  r.quiet = true;
  EXPECT_EQ(out([&] { set_progress(r, "x"); info(r, "i"); error(r, "e"); }), "");
  EXPECT_EQ(r.messages.size(), 5u);
}

TEST(Messages, WriteFailureByErrno) {
  pkg_image member("member"), alone("alone");
  member.version = 0x02056603;
  member.bundle = {"bundle", 0x07016202, 0x07016202, 0};
  alone.version = 0x02056600;
  console r;
  for (auto [record, err, line] : {std::tuple{&member, ENOSPC, "bundle-7.1beta2 failed: disk is too small"},
                                   {&member, EIO, "bundle-7.1beta2 failed: disk error"},
                                   {&alone, EROFS, "alone-2.5 failed: could not create meta/deps: Read-only file system"}}) {
    errno = err;
    EXPECT_EQ(pkgdb_test::printed([&](std::FILE* f) { r.out = f; report_write_failure(r, *record, "meta/deps"); }),
              std::string("ERROR: installation of ") + line + "\n");
  }
}

uint32_t now = 0;
TEST(Messages, SpinnerStepsOncePerPeriod) {
  std::string text = pkgdb_test::printed([](std::FILE* f) {
    terminal().spinner = {.clock = [] { return now; }, .out = f};
    for (uint32_t t : {1000, 1020, 1021, 1040, 1041, 1200, 1200, 1200}) now = t, spinner_tick();
    terminal().spinner = {.clock = [] { return now; }, .out = f};
    for (int i = 0; i < 5; ++i) now = 0, spinner_tick();  // a clock at 0 restarts, the index still wraps
    terminal().spinner = {};
  });
  EXPECT_EQ(text, "|\b/\b-\b\\\b|\b/" "|/-\\|");
}

}  // namespace
