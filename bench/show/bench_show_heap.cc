// The heap a run of the installer needs at its peak, malloc's own overhead
// included: runs the installer with the given arguments, as the program
// would, then prints on standard error the most memory malloc ever held from
// the system in its arenas, the most it held in blocks mapped on their own,
// and their sum (an upper bound of the peak, since the two maxima need not
// fall at the same moment).
//
//   bench_show_heap -r ROOT --show > /dev/null
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/driver.h"

namespace {

// What `write_report` writes to `fd`, read back through `scratch`, a
// temporary file made before the run changes root.
template <typename Report>
std::string capture(std::FILE* scratch, int fd, Report write_report) {
  if (!scratch) return {};
  int saved = dup(fd);
  dup2(fileno(scratch), fd);
  write_report();
  dup2(saved, fd);
  close(saved);
  std::string text;
  std::rewind(scratch);
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, scratch)) > 0) text.append(chunk, n);
  std::fclose(scratch);
  return text;
}

// The number after the last `key` in `report`, or 0.
size_t last_number_after(const std::string& report, const char* key) {
  size_t at = report.rfind(key);
  if (at == std::string::npos) return 0;
  return std::strtoull(report.c_str() + at + std::strlen(key), nullptr, 10);
}

}  // namespace

int main(int argc, char** argv) {
  std::FILE* info_file = std::tmpfile();
  std::FILE* stats_file = std::tmpfile();
  int status = run_installer(argc, argv);
  std::fflush(stdout);
  // malloc_info's totals follow the arenas: the last "max" is all arenas'.
  std::string info = capture(info_file, STDOUT_FILENO, [] {
    malloc_info(0, stdout);
    std::fflush(stdout);
  });
  std::string stats = capture(stats_file, STDERR_FILENO, [] { malloc_stats(); });
  size_t arenas = last_number_after(info, "<system type=\"max\" size=\"");
  size_t mapped = last_number_after(stats, "max mmap bytes   =");
  std::fprintf(stderr, "peak heap: arenas %zu, mapped %zu, at most %zu bytes\n", arenas, mapped, arenas + mapped);
  return status;
}
