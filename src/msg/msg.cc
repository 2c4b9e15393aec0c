#include "msg/msg.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <sys/times.h>

#include "model/version.h"

namespace {

constexpr const char* warning_prefix = "WARNING: ";
constexpr const char* error_prefix = "ERROR: ";
constexpr const char* hide_cursor = "\033[?25l";
constexpr const char* show_cursor = "\033[?25h";
constexpr int progress_blank_width = 79;
constexpr uint32_t spinner_period = 20;
constexpr uint32_t tick_offset = 30000;
constexpr char spinner_chars[4] = {'|', '/', '-', '\\'};

void write_text(std::FILE* out, std::string_view text) { std::fwrite(text.data(), 1, text.size(), out); }

void emit(console& screen, const char* prefix, bool erase_progress, const char* format,
          va_list args) {
  if (erase_progress) set_progress(screen, "");
  char body[message_body_limit + 1];
  std::vsnprintf(body, sizeof body, format, args);
  if (screen.quiet) return;
  std::string text = prefix;
  text += terminal_safe(body);
  std::FILE* out = screen.out;
  if (!screen.progress_line.empty()) {
    std::fputc('\r', out);
    std::fprintf(out, "%*s", progress_blank_width, "");
    std::fputc('\r', out);
    std::fflush(out);
  }
  write_text(out, text);
  std::fputc('\n', out);
  std::fflush(out);
  if (!screen.progress_line.empty()) {
    write_text(out, screen.progress_line);
    std::fflush(out);
  }
  screen.messages.push_back(std::move(text));
}

}  // namespace

void make_terminal_safe(std::string& text, size_t from) {
  for (size_t i = from; i < text.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7F) text[i] = '?';
  }
}

std::string terminal_safe(std::string_view text) {
  std::string safe(text);
  make_terminal_safe(safe, 0);
  return safe;
}

void info(console& screen, const char* format, ...) {
  va_list args;
  va_start(args, format);
  emit(screen, "", true, format, args);
  va_end(args);
}

void warning(console& screen, const char* format, ...) {
  va_list args;
  va_start(args, format);
  emit(screen, warning_prefix, false, format, args);
  va_end(args);
}

void error(console& screen, const char* format, ...) {
  va_list args;
  va_start(args, format);
  emit(screen, error_prefix, true, format, args);
  va_end(args);
}

void set_progress(console& screen, std::string_view raw_text) {
  if (screen.quiet) return;
  std::string text = terminal_safe(raw_text);
  if (text == screen.progress_line) return;
  std::FILE* out = screen.out;
  std::fputs(hide_cursor, out);
  std::fputc('\r', out);
  write_text(out, text);
  if (screen.progress_line.size() > text.size())
    std::fprintf(out, "%*s", static_cast<int>(screen.progress_line.size() - text.size()), "");
  std::fputc('\r', out);
  std::fputs(show_cursor, out);
  std::fflush(out);
  screen.progress_line = std::move(text);
}

void report_write_failure(console& screen, const pkg_image& record, const char* label) {
  int err = errno;
  std::string name = display_text(record);
  if (err == ENOSPC)
    error(screen, "installation of %s failed: disk is too small", name.c_str());
  else if (err == EIO)
    error(screen, "installation of %s failed: disk error", name.c_str());
  else
    error(screen, "installation of %s failed: could not create %s: %s", name.c_str(), label,
          std::strerror(err));
}

void explain_refusal(std::string_view subject, std::string_view cause) {
  std::fprintf(stderr, "installer: %s: %s\n", terminal_safe(subject).c_str(), terminal_safe(cause).c_str());
  std::fflush(stderr);
}

void report_broken_package(console& screen, const pkg_image& record) {
  error(screen, "installation of %s failed: broken package", display_text(record).c_str());
}

uint32_t uptime_ticks() {
  struct tms unused;
  clock_t ticks = times(&unused);
  if (ticks == static_cast<clock_t>(-1)) return tick_offset - static_cast<uint32_t>(errno);
  return static_cast<uint32_t>(ticks) + tick_offset;
}

namespace {

// Writes the spinner character at the current index and moves the index on,
// wrapping after the backslash. The index is kept in range in both steps: a
// tick counter that wraps to 0 sends the spinner back to its first step.
void spinner_step(console::spinner_state& spinner, std::FILE* out, bool erase_previous) {
  if (erase_previous) std::fputc('\b', out);
  std::fputc(spinner_chars[spinner.index % 4], out);
  spinner.index = (spinner.index + 1) % 4;
  std::fflush(out);
}

}  // namespace

void spinner_tick(console& screen) {
  console::spinner_state& spinner = screen.spinner;
  std::FILE* out = spinner.out ? spinner.out : stdout;
  uint32_t now = spinner.clock ? spinner.clock() : uptime_ticks();
  if (spinner.last_tick == 0) {
    spinner.last_tick = now;
    spinner_step(spinner, out, false);
  } else if (now - spinner.last_tick > spinner_period) {
    // Catch up one period per call rather than jump to now.
    spinner.last_tick += spinner_period;
    spinner_step(spinner, out, true);
  }
}
