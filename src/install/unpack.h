// Unpacking a package's files: the entries that extraction hands over become
// staged temporary files, and the progress bar follows them.
#pragma once

#include <cstdint>
#include <string>

struct console;
struct pkg_image;
struct manifest;
class pkg_stream;

// Called when the current part is part_files. Stages every regular file that
// suits this processor under "/flash" (or "/flash/x/<name>" for a disabled
// package), adds its target to record.files and redraws the progress bar.
// False after a failure has been reported (broken package, write failure,
// a refused entry name).
bool extract_files(console& screen, pkg_image& record, manifest& m, pkg_stream& stream);

// Records on the stream why `record` is refused; a member's cause names the
// member, since the refusal is the whole bundle's.
void refuse_package(pkg_stream& stream, const pkg_image& record, const std::string& cause);

// "installing <display text> [###   ]", 77 characters, drawn with set_progress.
// `read_ahead`: bytes of the package already read but not yet used.
void show_install_progress(console& screen, const pkg_image& record, pkg_stream& stream, uint64_t read_ahead = 0);
