// Where staged files are created, and the free-space check before a commit.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>

class out_file;
struct file_op;
struct manifest;

// Every temporary the installer makes in the device's trees (a staged file,
// a copy or a link on its way in, a directory on its way out) is named this
// prefix and six letters or digits: a name that neither a package nor
// another program uses, so that a later run can find what a run cut short
// left behind, and nothing else.
inline constexpr std::string_view temporary_prefix = ".installer-";
bool is_temporary_name(std::string_view file_name);
// `dir` + "/" + temporary_prefix + "XXXXXX", a template for fs::mkstemp.
std::string temporary_template(const std::string& dir);

// The path without trailing "/" characters, then its dirname:
// "/flash/var/pdb/x/" -> "/flash/var/pdb"; "", "///" and "image" -> ".".
std::string parent_dir(std::string_view path);

// True for a file this run staged beside its target: staging puts a file
// either in "/ram" (or "/tmp") or on its target's own file system, so that
// committing it is a rename that needs neither a copy nor more space. Known
// from the path alone, without asking the file system.
bool is_staged_beside_target(const file_op& op);

// The nearest existing directory at or above `dir` (a path that exists but
// is not a directory is climbed past); "" when there is none.
std::string nearest_existing_dir(std::string dir);

// Creates an empty staged temporary file for `target` (a temporary name):
// next to the target
// (in its nearest existing ancestor directory) when that file system has more
// than size_hint + 65536 bytes free, else in "/ram" ("/tmp" when "/ram" is
// missing and the hint is 0). Sets the mode when not 0, records
// target <- temporary as OP_STAGED in the manifest and attaches the
// descriptor to *out. Returns false with errno set (no manifest entry, *out
// not open) when the file cannot be created.
bool open_staged_file(out_file* out, manifest& m, const std::string& target, uint64_t size_hint,
                      mode_t mode);

// A path of a package's "files" list as the installed path: a full path
// below "/flash/", or one relative to "/flash".
std::string installed_path(std::string_view stored);

// True when committing the manifest leaves enough room on "/flash/boot" and
// "/flash" (more than 32768 bytes wherever the free count falls).
bool check_space(const manifest& m);
