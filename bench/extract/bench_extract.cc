// Benchmark driver for package extraction, run by bench/extract/run.py.
//
//   bench_extract install PACKAGE ROOT   read, hash, extract and verify
//                                        PACKAGE into staged files below ROOT
//                                        (changes root into ROOT: run as root)
//   bench_extract floor PACKAGE          SHA-1 of every byte and inflating of
//                                        the file container, nothing else
//
// Both print one line: "bytes=N files=N level=N" so the runner can check
// that the work was done.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <zlib.h>

#include "install/unpack.h"
#include "msg/msg.h"
#include "pkgdb/repo.h"
#include "pkgfile/fd_source.h"
#include "pkgfile/pkg_format.h"
#include "pkgfile/pkg_stream.h"
#include "pkgfile/verify.h"
#include "platform/crypto.h"
#include "stage/manifest.h"

namespace {

int install(const char* package, const char* root) {
  int fd = open(package, O_RDONLY | O_CLOEXEC);
  if (fd < 0 || chroot(root) != 0 || chdir("/") != 0) {
    std::perror("bench_extract");
    return 1;
  }
  fd_source source(fd);
  pkg_stream stream(source, true);
  stream.wanted_types = parts_of({part_package_header, part_files, part_signature});
  pkg_repo repository;
  console screen;
  screen.quiet = true;
  pkg_image record;
  manifest m;
  int level = -1;
  bool ok = true;
  for (int type = stream.next_part(); ok && type >= 0;) {
    if (type == part_package_header) {
      ok = read_package_header(record, stream);
      type = stream.type();
      continue;
    }
    if (type == part_files) ok = extract_files(screen, record, m, stream);
    if (type == part_signature) level = verify_package(stream);
    type = stream.next_part();
  }
  std::printf("bytes=%llu files=%zu level=%d\n", static_cast<unsigned long long>(stream.total_length()),
              record.files.size(), level);
  return ok ? 0 : 1;
}

// Reads exactly `size` bytes unless the file ends.
size_t read_full(int fd, char* buffer, size_t size) {
  size_t done = 0;
  for (ssize_t n; done < size && (n = read(fd, buffer + done, size - done)) > 0;) done += static_cast<size_t>(n);
  return done;
}

// The floor: the same bytes hashed, and the file container inflated, with
// nothing else: no part bookkeeping, no entries, no files.
int floor(const char* package) {
  int fd = open(package, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::perror("bench_extract");
    return 1;
  }
  crypto::hasher sha1(crypto::hasher::kind::sha1);
  static char in[65536], out[65536];
  uint64_t bytes = 0, inflated = 0;
  size_t got = read_full(fd, in, 8);
  bytes += got;
  for (;;) {
    char header[6];
    if (read_full(fd, header, 6) < 6) break;
    sha1.update(header, 6);
    bytes += 6;
    uint16_t type = static_cast<uint16_t>(static_cast<unsigned char>(header[0]) | static_cast<unsigned char>(header[1]) << 8);
    // Little-endian in the file, whatever the processor running this.
    auto length_bytes = reinterpret_cast<const unsigned char*>(header + 2);
    uint32_t length = static_cast<uint32_t>(length_bytes[0]) | static_cast<uint32_t>(length_bytes[1]) << 8 |
                      static_cast<uint32_t>(length_bytes[2]) << 16 | static_cast<uint32_t>(length_bytes[3]) << 24;
    z_stream z{};
    if (type == part_files) inflateInit(&z);
    while (length > 0) {
      size_t n = read_full(fd, in, std::min<size_t>(length, sizeof in));
      if (n == 0) break;
      sha1.update(in, n);
      bytes += n;
      length -= static_cast<uint32_t>(n);
      if (type != part_files) continue;
      z.next_in = reinterpret_cast<Bytef*>(in);
      z.avail_in = static_cast<uInt>(n);
      while (z.avail_in > 0) {
        z.next_out = reinterpret_cast<Bytef*>(out);
        z.avail_out = sizeof out;
        int rc = inflate(&z, Z_NO_FLUSH);
        inflated += sizeof out - z.avail_out;
        if (rc != Z_OK) break;
      }
    }
    if (type == part_files) inflateEnd(&z);
  }
  uint8_t digest[32];
  sha1.final(digest);
  close(fd);
  std::printf("bytes=%llu inflated=%llu\n", static_cast<unsigned long long>(bytes),
              static_cast<unsigned long long>(inflated));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "install") == 0) return install(argv[2], argv[3]);
  if (argc == 3 && std::strcmp(argv[1], "floor") == 0) return floor(argv[2]);
  std::fprintf(stderr, "usage: bench_extract install PACKAGE ROOT | floor PACKAGE\n");
  return 2;
}
