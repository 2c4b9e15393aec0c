// Messages and progress: informational, warning and error lines, the
// in-place progress line, the copy spinner and the message log.
//
// All output goes to the console's `out` stream (standard output in the
// program). Every printed message is also appended to `messages`, which
// becomes the post-log. Quiet mode silences messages and the progress line,
// not the spinner.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

struct pkg_image;

// The terminal output of one run. The driver makes one console for the run
// and hands it to everything that prints; nothing reaches it otherwise.
struct console {
  // Where messages and the progress line go. Tests point it at a memory
  // stream; the program leaves it at standard output.
  std::FILE* out = stdout;
  bool quiet = false;                 // no message or progress line is printed
  std::string progress_line;          // text shown on the progress line
  std::vector<std::string> messages;  // every printed message, prefix included
  // The message log began with the lines of the post-log, which this run
  // took over (and so rewrites).
  bool postlog_taken = false;

  // The copy spinner: it goes on across files, so its state lives as long
  // as the console.
  struct spinner_state {
    uint32_t last_tick = 0;
    uint32_t index = 0;
    uint32_t (*clock)() = nullptr;  // nullptr: uptime_ticks
    std::FILE* out = nullptr;       // nullptr: standard output
  } spinner;
};

// Largest formatted message body; longer bodies are cut. The prefix comes on
// top of it.
inline constexpr size_t message_body_limit = 255;

// Package texts (names, notes, architectures) come from untrusted files and
// the database. Every byte below 0x20 and the byte 0x7F becomes '?', so such
// a text can never move the cursor or change the terminal.
std::string terminal_safe(std::string_view text);
// The same in place, for the bytes of `text` from `from` on.
void make_terminal_safe(std::string& text, size_t from);

// Message lines. The format is the system's own; package texts are only ever
// passed as arguments. info and error erase the progress line first; a
// warning is printed above it and the progress line is drawn again. The
// formatted body goes through terminal_safe before it is printed and logged
// (the system's own formats hold no control bytes, so only the package texts
// in it change); so does the text of set_progress.
void info(console& screen, const char* format, ...) __attribute__((format(printf, 2, 3)));
void warning(console& screen, const char* format, ...) __attribute__((format(printf, 2, 3)));
void error(console& screen, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Replaces the progress line; an empty text erases it. Writes nothing when
// the text is unchanged or output is quiet.
void set_progress(console& screen, std::string_view text);

// "installation of %s failed: ..." chosen by the current errno (ENOSPC, EIO,
// anything else with the label and strerror).
void report_write_failure(console& screen, const pkg_image& record, const char* label);
// "installation of %s failed: broken package".
void report_broken_package(console& screen, const pkg_image& record);

// Why something was refused, for the user, on standard error as
// "installer: <subject>: <cause>": the standard-output lines stay those of
// the system, and this line is written in quiet mode too.
void explain_refusal(std::string_view subject, std::string_view cause);

// Advances the console's copy spinner by at most one step (written to
// standard output).
void spinner_tick(console& screen);
// times() + 30000, or 30000 - errno when times() fails.
uint32_t uptime_ticks();

