#include "msg/msg.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "pkgdb/record.h"

namespace {

const std::string hide = "\033[?25l";
const std::string show = "\033[?25h";
const std::string blank_line = "\r" + std::string(79, ' ') + "\r";

// A repository of its own whose output goes to a memory stream.
class Messages : public ::testing::Test {
 protected:
  void SetUp() override {
    repository.out = open_memstream(&buffer, &size);
    ASSERT_NE(repository.out, nullptr);
  }
  void TearDown() override {
    std::fclose(repository.out);
    std::free(buffer);
  }
  // Everything written since the last call.
  std::string written() {
    std::fflush(repository.out);
    std::string text(buffer + taken, size - taken);
    taken = size;
    return text;
  }

  pkg_repo repository;
  char* buffer = nullptr;
  size_t size = 0;
  size_t taken = 0;
};

TEST_F(Messages, WarningStandsAboveTheProgressLine) {
  set_progress(repository, "installing x [##  ]");
  EXPECT_EQ(written(), hide + "\rinstalling x [##  ]\r" + show);
  warning(repository, "omitting package %s: it is already installed", "x-1.0");
  EXPECT_EQ(written(), blank_line + "WARNING: omitting package x-1.0: it is already installed\n" +
                           "installing x [##  ]");
  EXPECT_EQ(repository.progress_line, "installing x [##  ]");
  EXPECT_EQ(repository.messages, std::vector<std::string>{"WARNING: omitting package x-1.0: it is already installed"});
}

TEST_F(Messages, ErrorAndInfoEraseTheProgressLineFirst) {
  const struct {
    void (*emit)(pkg_repo&);
    const char* line;
  } cases[] = {
      {[](pkg_repo& r) { error(r, "broken package %s", "a.npk"); }, "ERROR: broken package a.npk"},
      {[](pkg_repo& r) { info(r, "installed %s", "a-2.5"); }, "installed a-2.5"},
  };
  for (const auto& c : cases) {
    set_progress(repository, "abcdef");
    written();
    c.emit(repository);
    EXPECT_EQ(written(), hide + "\r" + "      " + "\r" + show + c.line + "\n") << c.line;
    EXPECT_EQ(repository.progress_line, "");
    EXPECT_EQ(repository.messages.back(), c.line);
  }
  EXPECT_EQ(repository.messages.size(), 2u);
}

TEST_F(Messages, LinesWithoutProgressAndTheirLog) {
  info(repository, "enabled %s", "a-1.0");
  warning(repository, "could not open repo");
  error(repository, "not enough space for upgrade");
  EXPECT_EQ(written(), "enabled a-1.0\nWARNING: could not open repo\nERROR: not enough space for upgrade\n");
  EXPECT_EQ(repository.messages,
            (std::vector<std::string>{"enabled a-1.0", "WARNING: could not open repo",
                                      "ERROR: not enough space for upgrade"}));
}

TEST_F(Messages, QuietWritesAndLogsNothing) {
  repository.quiet = true;
  set_progress(repository, "installing");
  info(repository, "installed %s", "a-1.0");
  warning(repository, "w");
  error(repository, "e");
  set_progress(repository, "");
  EXPECT_EQ(written(), "");
  EXPECT_TRUE(repository.messages.empty());
  EXPECT_EQ(repository.progress_line, "");
}

TEST_F(Messages, ProgressLineRedrawsOnlyWhatChanged) {
  set_progress(repository, "");  // nothing shown yet: nothing to erase
  EXPECT_EQ(written(), "");
  set_progress(repository, "enabling a-1.0...");
  EXPECT_EQ(written(), hide + "\renabling a-1.0...\r" + show);
  set_progress(repository, "enabling a-1.0...");
  EXPECT_EQ(written(), "");
  set_progress(repository, "disabling b...");  // three shorter: padded
  EXPECT_EQ(written(), hide + "\rdisabling b...   \r" + show);
  set_progress(repository, "uninstalling b-1.0...");  // longer: no padding
  EXPECT_EQ(written(), hide + "\runinstalling b-1.0...\r" + show);
  set_progress(repository, "");
  EXPECT_EQ(written(), hide + "\r" + std::string(21, ' ') + "\r" + show);
  EXPECT_TRUE(repository.messages.empty());
}

TEST_F(Messages, BodyIsCutAt255WithThePrefixOnTop) {
  std::string long_name(300, 'n');
  info(repository, "%s", long_name.c_str());
  warning(repository, "x%s", long_name.c_str());
  error(repository, "%s", long_name.c_str());
  std::string body(255, 'n');
  EXPECT_EQ(written(), body + "\nWARNING: x" + body.substr(1) + "\nERROR: " + body + "\n");
  ASSERT_EQ(repository.messages.size(), 3u);
  EXPECT_EQ(repository.messages[0], body);
  EXPECT_EQ(repository.messages[1].size(), 9u + 255u);
  EXPECT_EQ(repository.messages[2], "ERROR: " + body);
}

// A package name or note carrying terminal escapes used to reach the
// terminal and the post-log raw.
TEST_F(Messages, ControlBytesInPackageTextsBecomeQuestionMarks) {
  std::string name = "ev\033[2Jil\r\n\x7f\x01\xc3\xa9";
  info(repository, "installed %s", name.c_str());
  EXPECT_EQ(written(), "installed ev?[2Jil????\xc3\xa9\n");
  EXPECT_EQ(repository.messages.back(), "installed ev?[2Jil????\xc3\xa9");
  set_progress(repository, "installing " + name);
  EXPECT_EQ(written(), hide + "\rinstalling ev?[2Jil????\xc3\xa9\r" + show);
  EXPECT_EQ(terminal_safe(std::string("a\0b\x1f\x20~", 6)), "a?b? ~");
}

TEST_F(Messages, WriteFailureChosenByErrno) {
  pkg_image member("member");
  member.version = 0x02056603;
  member.bundle.name = "bundle";
  member.bundle.min_version = member.bundle.max_version = 0x07016202;
  pkg_image alone("alone");
  alone.version = 0x02056600;
  const struct {
    const pkg_image* record;
    int err;
    const char* line;
  } cases[] = {
      {&member, ENOSPC, "ERROR: installation of bundle-7.1beta2 failed: disk is too small"},
      {&member, EIO, "ERROR: installation of bundle-7.1beta2 failed: disk error"},
      {&alone, EACCES, "ERROR: installation of alone-2.5 failed: could not create meta/deps: Permission denied"},
      {&alone, EROFS, "ERROR: installation of alone-2.5 failed: could not create meta/deps: Read-only file system"},
  };
  for (const auto& c : cases) {
    errno = c.err;
    report_write_failure(repository, *c.record, "meta/deps");
    EXPECT_EQ(written(), std::string(c.line) + "\n");
  }
  report_broken_package(repository, member);
  EXPECT_EQ(written(), "ERROR: installation of bundle-7.1beta2 failed: broken package\n");
}

class Spinner : public Messages {
 protected:
  static uint32_t clock() { return now; }
  void SetUp() override {
    Messages::SetUp();
    spinner_reset_for_test(clock, repository.out);
  }
  void TearDown() override {
    spinner_reset_for_test(nullptr, nullptr);
    Messages::TearDown();
  }
  // The output of one tick at the given time.
  std::string tick_at(uint32_t time) {
    now = time;
    spinner_tick();
    return written();
  }
  static inline uint32_t now = 0;
};

TEST_F(Spinner, StepsOncePerPeriodAndWrapsAround) {
  EXPECT_EQ(tick_at(1000), "|");       // first step: no backspace
  EXPECT_EQ(tick_at(1020), "");        // 20 ticks is not more than the period
  EXPECT_EQ(tick_at(1021), "\b/");
  EXPECT_EQ(tick_at(1040), "");        // the period counts from 1020, not 1021
  EXPECT_EQ(tick_at(1041), "\b-");
  EXPECT_EQ(tick_at(1200), "\b\\");    // after a pause: one step per call
  EXPECT_EQ(tick_at(1200), "\b|");     // after the backslash the bar again
  EXPECT_EQ(tick_at(1200), "\b/");
}

TEST_F(Spinner, ClockWrappingToZeroStaysInRange) {
  // A clock reading of 0 leaves the spinner "not yet drawn", so every call
  // takes the first step again; the index must still wrap after four.
  std::string out;
  for (int i = 0; i < 6; ++i) out += tick_at(0);
  EXPECT_EQ(out, "|/-\\|/");
}

}  // namespace
