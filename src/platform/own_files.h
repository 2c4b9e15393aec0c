// Opening files whose path someone else may have prepared.
//
// Whoever may put a file into a download directory, or into "/rw", may also
// put a symbolic link, a FIFO or a hard link there. Reading through a link
// reads what it points to; opening a FIFO waits for a writer forever; writing
// through a link or a second name of a file overwrites that file. These two
// calls are how the installer opens such paths.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

namespace fs {

// Opens `path` read-only when it is a regular file, and only then: a
// symbolic link at the path is not followed (ELOOP), and a FIFO or device
// is neither waited for nor kept (EINVAL). `*st` receives the opened file's
// status. Returns the descriptor or -1 with errno set.
int open_regular(const char* path, struct stat* st);

// Opens for writing a file that the program itself writes directly (a
// marker, the post-log, the stream install's received image). A regular
// file of the program's own user with no other name is opened in place,
// emptied when `append` is false; anything else at the path (a symbolic
// link, a FIFO, a device, a file of another user or one with a second name
// elsewhere) is replaced by a new file of mode `mode`, never followed or
// written through. A directory at the path is left alone (EISDIR). Every
// change goes through the file-system seam. Returns the descriptor or -1
// with errno set.
int open_own_file(const char* path, bool append, mode_t mode);

}  // namespace fs
