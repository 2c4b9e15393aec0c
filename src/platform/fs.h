// The one seam through which the installer changes the device's trees.
//
// Every operation that creates, writes, renames or removes something while
// staging or committing goes through these wrappers, so a test build can
// count them and make a chosen one fail (or stop the process before it) to
// prove that a power cut or a full flash never corrupts installed files.
// The program's build maps them straight onto the system calls. Each returns
// what the system call returns and leaves errno as it left it.
#pragma once

#include <sys/types.h>

namespace fs {

int open(const char* path, int flags, mode_t mode = 0);
ssize_t write(int fd, const void* data, size_t size);
int close(int fd);
int fsync(int fd);
int ftruncate(int fd, off_t length);
int fchmod(int fd, mode_t mode);
int fchown(int fd, uid_t owner, gid_t group);
// As mkstemp(3), with the new file's exact mode (0600 unless told
// otherwise) set in the same operation, whatever the umask.
int mkstemp(char* path_template, mode_t mode = 0600);
int mkdir(const char* path, mode_t mode);
int rename(const char* from, const char* to);
int link(const char* from, const char* to);
int unlink(const char* path);
int rmdir(const char* path);
int symlink(const char* content, const char* path);
void sync();

// Writes all of `size` bytes, repeating after EINTR and short writes.
// Returns false with errno set on failure.
bool write_all(int fd, const void* data, size_t size);

}  // namespace fs
