// The one seam through which the installer reaches the device's trees.
//
// Every operation that creates, writes, renames or removes something while
// staging or committing goes through these wrappers, so a test build can
// count them and make a chosen one fail (or stop the process before it) to
// prove that a power cut or a full flash never corrupts installed files.
// Every read of the trees by path (a look at a path's status, a directory
// listing, an open for reading) goes through the seam as well, so that every
// path the program names passes here. The program's build maps them straight
// onto the system calls. Each returns what the system call returns and
// leaves errno as it left it.
//
// Calls relative to a directory descriptor (openat, fstatat, faccessat) go
// through the seam too: an absolute path given with a descriptor ignores it,
// so the seam treats such a path as any other, and a relative one is passed
// on unchanged (the descriptor itself was opened through the seam).
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>

#include <cstdio>
#include <string>

namespace fs {

// The directory under which every absolute path handed to the seam is found,
// for tests that lay out a device in a temporary directory. Empty (the
// default, and always in the program, which changes root instead) leaves
// paths as they are. Paths the seam hands back (mkstemp's) stay the
// device's own, without it. The system still follows the content of a
// symbolic link from its own root, so an absolute link inside the device
// resolves inside it only after a change of root, as the program makes.
void set_device_root(std::string root);
const std::string& device_root();

// Changes to the trees; the fault-injecting build counts each of them.
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

// Reads and queries, which change nothing: the fault-injecting build passes
// them through uncounted.
//
// Opens what stands at the path, never creating it (O_CLOEXEC is added):
// a file to read, or a device to query.
int open_existing(const char* path, int flags);
int openat(int dir_fd, const char* path, int flags);
int stat(const char* path, struct stat* st);
int lstat(const char* path, struct stat* st);
int fstatat(int dir_fd, const char* path, struct stat* st, int flags);
int faccessat(int dir_fd, const char* path, int mode, int flags);
int statfs(const char* path, struct statfs* info);
DIR* opendir(const char* path);
// fopen(3) for reading ("re").
std::FILE* fopen_read(const char* path);

}  // namespace fs
