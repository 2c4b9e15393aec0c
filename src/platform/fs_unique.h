// Creation of a file under a fresh name, shared by both builds of the seam.
#pragma once

#include <sys/types.h>

namespace fs::detail {

// Replaces the trailing "XXXXXX" of path_template with letters that name no
// existing entry and creates that file (O_EXCL, O_CLOEXEC, read and write),
// with exactly `mode`, whatever the umask or the directory's default access
// list (at worst the new file is briefly more restricted). The file is made
// under the seam's device root when one is set; the template keeps the
// device's path. Creation with its mode is one operation of the seam.
// Returns the descriptor, or -1 with errno set and no file left behind.
int create_unique(char* path_template, mode_t mode);

}  // namespace fs::detail
